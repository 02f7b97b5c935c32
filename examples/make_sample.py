#!/usr/bin/env python3
"""Writes examples/sample.zrq: a small archive with a few entries of every
kind, so that one run of unzrq shows all it does.

  python3 examples/make_sample.py [examples/sample.zrq]

Plain entries of types 1 and 3 and one of an unknown type; type-1 names that
show the "_WAV" to ".WAV" restoration (and one that does not qualify); and one
image of each image type, drawn here: a colour test card (type 5), an arrow
sprite (type 2) and a gradient sprite (type 4)."""
import io
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "archive"))
import zrq_format  # noqa: E402


def rgb565(red, green, blue):
    """8-bit channels to one RGB565 pixel."""
    return (red >> 3) << 11 | (green >> 2) << 5 | (blue >> 3)


def pixels_bytes(pixels):
    return b"".join(struct.pack("<H", p) for p in pixels)


def test_card(width, height):
    """Eight colour bars over a grey ramp, with a black top-left corner mark
    so that a flipped or mirrored picture shows at once."""
    bars = [(255, 255, 255), (255, 255, 0), (0, 255, 255), (0, 255, 0),
            (255, 0, 255), (255, 0, 0), (0, 0, 255), (0, 0, 0)]
    pixels = []
    for y in range(height):
        for x in range(width):
            if x < 6 and y < 6:
                colour = (0, 0, 0)
            elif y < height * 2 // 3:
                colour = bars[x * len(bars) // width]
            else:
                level = x * 255 // (width - 1)
                colour = (level, level, level)
            pixels.append(rgb565(*colour))
    return pixels


def arrow_sprite():
    """A red arrow pointing up on blue, 32 x 32."""
    pixels = []
    for y in range(32):
        for x in range(32):
            in_head = y < 14 and abs(x - 15.5) <= y + 0.5
            in_shaft = y >= 14 and 11 <= x <= 20
            pixels.append(rgb565(255, 0, 0) if in_head or in_shaft else rgb565(0, 0, 200))
    return pixels


def gradient_sprite():
    """Red to green across, dark to light down, 32 x 16."""
    return [rgb565(255 - x * 8, x * 8, y * 16) for y in range(16) for x in range(32)]


def sized_image(width, height, pixels):
    return zrq_format.sized_image_prefix(width, height) + pixels_bytes(pixels)


def fixed_width_image(pixels):
    return bytes(zrq_format.FIXED_PREFIX_BYTES) + pixels_bytes(pixels)


def entries():
    wav = b"RIFF" + struct.pack("<I", 36) + b"WAVEfmt " + struct.pack(
        "<IHHIIHH", 16, 1, 1, 8000, 8000, 1, 8) + b"data" + struct.pack("<I", 0)
    return [
        (b"intro_WAV", 1, wav),
        (b"menu_lua", 1, b"-- menu script\nshow_menu()\n"),
        (b"level_1_MSM", 1, b"MSM level data\n"),
        (b"notes_txt", 1, b"txt is not a restored extension, so this keeps its underscore\n"),
        (b"readme.txt", 3, b"A sample archive made by unzrq's own generator.\n"),
        (b"intro_WAV", 3, b"type 3 keeps its name as stored\n"),
        (b"table.dat", 9, bytes(range(256)) * 4 + b"tail"),
        (b"test_card", 5, sized_image(64, 48, test_card(64, 48))),
        (b"arrow", 2, fixed_width_image(arrow_sprite())),
        (b"gradient", 4, fixed_width_image(gradient_sprite())),
    ]


def build():
    archive = io.BytesIO()
    writer = zrq_format.ArchiveWriter(archive)
    for name, entry_type, payload in entries():
        writer.add(name, entry_type, payload)
    writer.close()
    return archive.getvalue()


if __name__ == "__main__":
    path = sys.argv[1] if len(sys.argv) > 1 else "examples/sample.zrq"
    with open(path, "wb") as out:
        out.write(build())
