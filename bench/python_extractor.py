#!/usr/bin/python3
"""The extractor a user would write in an afternoon: the benchmark's peer.

Same command line, same per-entry lines and the same output files as unzrq
for a well-formed archive: plain entries copied (type 1 with its extension
restored), types 2, 4 and 5 written as 24-bit bottom-up bitmaps. Each payload
is read whole and converted with numpy; nothing here streams.

Usage: python_extractor.py ARCHIVE [OUTPUT_FOLDER]
"""

import os
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "archive"))
import zrq_format  # noqa: E402

RESTORED_EXTENSIONS = (b"WAV", b"LUA", b"MSM", b"MP3")


def restore_extension(name):
    underscore = name.rfind(b"_")
    if underscore >= 0 and name[underscore + 1:].upper() in RESTORED_EXTENSIONS:
        return name[:underscore] + b"." + name[underscore + 1:]
    return name


def bitmap_bytes(width, height, pixel_bytes):
    header = zrq_format.bitmap_header(width, height)
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
        count = 0
        for entry in zrq_format.read_directory(archive):
            count += 1
            name = entry.name
            out.write(b"File: (0x%08X) Type:%X %s \n" % (entry.size, entry.type, name))
            archive.seek(entry.offset)
            payload = archive.read(entry.size)
            if entry.type in zrq_format.IMAGE_TYPES:
                width, height, first_row = zrq_format.image_size(entry.type, entry.size, payload)
                data = bitmap_bytes(width, height,
                                    payload[first_row:first_row + 2 * width * height])
                name += b".bmp"
            else:
                if entry.type == zrq_format.TYPE_RENAMED_RAW:
                    name = restore_extension(name)
                data = payload
            with open(os.path.join(folder, name), "wb") as output:
                output.write(data)
    out.write(b"Done: %d files processed.\n" % count)


if __name__ == "__main__":
    main()
