#!/usr/bin/python3
"""The extractor a user would write in an afternoon: the benchmark's peer.

Same command line, same per-entry lines and the same output files as unzrq
for a well-formed archive: plain entries copied (type 1 with its extension
restored), types 2, 4 and 5 written as 24-bit bottom-up bitmaps. Each payload
is read whole and converted with numpy; nothing here streams.

Usage: python_extractor.py ARCHIVE [OUTPUT_FOLDER]
"""

import os
import struct
import sys

import numpy as np

RECORD = struct.Struct("<64sIIII")
RESTORED_EXTENSIONS = (b"WAV", b"LUA", b"MSM", b"MP3")


def restore_extension(name):
    underscore = name.rfind(b"_")
    if underscore >= 0 and name[underscore + 1:].upper() in RESTORED_EXTENSIONS:
        return name[:underscore] + b"." + name[underscore + 1:]
    return name


def bitmap_bytes(width, height, pixel_bytes):
    header = struct.pack("<2sIHHIIIIHHIIiiII", b"BM", 0, 0, 0, 54,
                         40, width, height, 1, 24, 0, 0, 1000, 1000, 0, 0)
    wanted = 2 * width * height
    if len(pixel_bytes) < wanted:  # missing pixels are black
        pixel_bytes = pixel_bytes + bytes(wanted - len(pixel_bytes))
    pixels = np.frombuffer(pixel_bytes, dtype="<u2", count=width * height).reshape(height, width)
    rows = np.zeros((height, 3 * width + width % 4), dtype=np.uint8)
    rows[:, 0:3 * width:3] = (pixels & 0x1F) << 3
    rows[:, 1:3 * width:3] = ((pixels >> 5) & 0x3F) << 2
    rows[:, 2:3 * width:3] = (pixels >> 11) << 3
    return header + rows[::-1].tobytes()


def main():
    if len(sys.argv) < 2:
        sys.exit("usage: python_extractor.py ARCHIVE [OUTPUT_FOLDER]")
    folder = os.fsencode(sys.argv[2] if len(sys.argv) > 2 else "velkard")
    os.makedirs(folder, exist_ok=True)
    out = sys.stdout.buffer
    with open(sys.argv[1], "rb") as archive:
        directory_offset, = struct.unpack("<4xI", archive.read(8))
        archive.seek(directory_offset)
        count, = struct.unpack("<I", archive.read(4))
        directory = archive.read(RECORD.size * count)
        for index in range(count):
            raw_name, offset, size, _, entry_type = RECORD.unpack_from(directory, index * RECORD.size)
            name = raw_name.split(b"\0", 1)[0]
            out.write(b"File: (0x%08X) Type:%X %s \n" % (size, entry_type, name))
            archive.seek(offset)
            payload = archive.read(size)
            if entry_type in (2, 4):
                height = (size - 72) // 64 if size >= 72 else 0
                data = bitmap_bytes(32, height, payload[72:72 + 64 * height])
                name += b".bmp"
            elif entry_type == 5:
                width, height = struct.unpack_from("<II", payload.ljust(8, b"\0"))
                data = bitmap_bytes(width, height, payload[76:76 + 2 * width * height])
                name += b".bmp"
            else:
                if entry_type == 1:
                    name = restore_extension(name)
                data = payload
            with open(os.path.join(folder, name), "wb") as output:
                output.write(data)
    out.write(b"Done: %d files processed.\n" % count)


if __name__ == "__main__":
    main()
