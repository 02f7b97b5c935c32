#!/usr/bin/env python3
"""Writes the image reader's fuzz seeds: small bitmaps of every variant the
reader takes (info headers of each size and the core header, 8-bit palettes,
16-bit pixels with and without bit fields, 24- and 32-bit pixels, bottom-up
and top-down rows) and small PNG files of each colour type, one interlaced.
Standard library only.

    make_image_seeds.py OUTPUT_DIR                 # the seed corpus
    make_image_seeds.py --regressions OUTPUT_DIR   # the hand-made replay fixtures
"""
import os
import struct
import sys
import zlib


def bitmap(width, height, bits, header_bytes=40, compression=0, masks=(), palette=(),
           top_down=False, pixel=lambda x, y: x * 37 + y * 11):
    """A bitmap with every field filled in; `pixel` gives each stored value."""
    stride = (width * bits // 8 + 3) // 4 * 4
    rows = b""
    for stored in range(height):
        y = stored if top_down else height - 1 - stored
        row = b"".join((pixel(x, y) & ((1 << bits) - 1)).to_bytes(bits // 8, "little")
                       for x in range(width))
        rows += row + b"\0" * (stride - len(row))
    if header_bytes == 12:
        header = struct.pack("<IHHHH", 12, width, height, 1, bits)
        entries = b"".join(struct.pack("<BBB", c & 255, c >> 8 & 255, c >> 16 & 255)
                           for c in palette)
        after = b""
    else:
        header = struct.pack("<IiiHHIIiiII", header_bytes, width, -height if top_down else height,
                             1, bits, compression, len(rows), 2835, 2835, len(palette), 0)
        fields = b"".join(struct.pack("<I", m) for m in masks)
        if header_bytes > 40:
            header += (fields + b"\0" * header_bytes)[:header_bytes - 40]
            after = b""
        else:
            after = fields
        entries = b"".join(struct.pack("<I", c) for c in palette)
    offset = 14 + len(header) + len(after) + len(entries)
    size = offset + len(rows)
    return struct.pack("<2sIHHI", b"BM", size, 0, 0, offset) + header + after + entries + rows


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(
        ">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


def png(width, height, depth, colour_type, rows, palette=b"", transparency=b"", interlace=0):
    """A PNG of the given scanlines (each without its filter byte)."""
    data = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(
        ">IIBBBBB", width, height, depth, colour_type, 0, 0, interlace))
    if palette:
        data += chunk(b"PLTE", palette)
    if transparency:
        data += chunk(b"tRNS", transparency)
    raw = b"".join(b"\0" + row for row in rows)
    return data + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b"")


def seeds():
    yield "24-bit.bmp", bitmap(5, 3, 24)
    yield "24-bit-top-down.bmp", bitmap(3, 4, 24, top_down=True)
    yield "24-bit-core.bmp", bitmap(3, 2, 24, header_bytes=12)
    yield "24-bit-v4.bmp", bitmap(2, 2, 24, header_bytes=108)
    yield "32-bit.bmp", bitmap(3, 3, 32)
    yield "32-bit-v5-fields.bmp", bitmap(
        3, 2, 32, header_bytes=124, compression=3,
        masks=(0xFF0000, 0xFF00, 0xFF, 0xFF000000), top_down=True)
    yield "32-bit-alpha-fields.bmp", bitmap(
        2, 2, 32, compression=6, masks=(0xFF000000, 0xFF0000, 0xFF00, 0xFF))
    yield "16-bit-565.bmp", bitmap(3, 3, 16, compression=3, masks=(0xF800, 0x07E0, 0x001F))
    yield "16-bit-555.bmp", bitmap(3, 3, 16)
    yield "16-bit-56.bmp", bitmap(2, 2, 16, header_bytes=56, compression=3,
                                  masks=(0x7C00, 0x03E0, 0x001F, 0x8000))
    yield "8-bit.bmp", bitmap(5, 2, 8, palette=[i * 0x010203 for i in range(256)])
    yield "8-bit-few.bmp", bitmap(5, 2, 8, palette=[0, 0xFFFFFF, 0x808080],
                                  pixel=lambda x, y: (x + y) % 3)
    yield "8-bit-core.bmp", bitmap(3, 3, 8, header_bytes=12,
                                   palette=[i * 0x010101 for i in range(256)])
    rgb = [bytes((x * 40, y * 60, (x + y) * 20)) * 1 for y in range(3) for x in range(4)]
    rows = [b"".join(rgb[y * 4:(y + 1) * 4]) for y in range(3)]
    yield "rgb.png", png(4, 3, 8, 2, rows)
    yield "rgba.png", png(2, 2, 8, 6, [b"\x10\x20\x30\x40" * 2] * 2)
    yield "grey16.png", png(3, 2, 16, 0, [b"\x12\x34" * 3] * 2)
    yield "grey-alpha.png", png(2, 2, 8, 4, [b"\x80\xff" * 2] * 2)
    yield "grey2.png", png(5, 2, 2, 0, [b"\x1b\x40"] * 2)
    yield "palette.png", png(3, 2, 8, 3, [b"\x00\x01\x02"] * 2,
                             palette=b"\x00\x00\x00\xff\x00\x00\x00\xff\x00",
                             transparency=b"\x00\x80")
    yield "palette4.png", png(3, 2, 4, 3, [b"\x01\x20"] * 2, palette=b"\x10\x20\x30" * 3)
    yield "interlaced.png", png(2, 2, 8, 2, [b"\x01\x02\x03" * 2] * 2, interlace=1)


def regressions():
    # A header that claims 65535 x 65535 pixels in a file of 100 bytes.
    huge = bytearray(bitmap(2, 2, 24))
    struct.pack_into("<ii", huge, 18, 65535, 65535)
    yield "bitmap-65535-square-in-100-bytes.bmp", bytes(huge[:100]).ljust(100, b"\0")
    # A PNG whose entry would pass 4 GiB, with almost no image data.
    yield "png-entry-past-4-gib.png", png(65536, 32768, 8, 2, [])


def main(argv):
    wanted = regressions if argv[1:2] == ["--regressions"] else seeds
    folder = argv[-1]
    if len(argv) < 2:
        sys.exit("usage: make_image_seeds.py [--regressions] OUTPUT_DIR")
    os.makedirs(folder, exist_ok=True)
    for name, data in wanted():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    main(sys.argv)
