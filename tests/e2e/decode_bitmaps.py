"""Opens bitmaps written by unzrq with Pillow and compares every pixel.

usage: decode_bitmaps.py <folder> <expectations.json>

The expectations file lists, for each bitmap in <folder>, its width, height
and its pixels as [red, green, blue] rows from the top. Pillow reads the file
on its own terms, so a flipped row order, swapped channels or bad padding
show as wrong pixels, and a malformed header as a file that does not open.
"""
import json
import os
import sys

try:
    from PIL import Image
except ImportError:
    sys.exit("Pillow is missing: install python3-pil (this check must not be skipped)")


def check(folder, expected):
    problems = []
    path = os.path.join(folder, expected["file"])
    with Image.open(path) as image:
        if image.format != "BMP" or image.mode != "RGB":
            return [f"{expected['file']}: format {image.format}, mode {image.mode}"]
        if image.size != (expected["width"], expected["height"]):
            return [f"{expected['file']}: size {image.size}"]
        for y, row in enumerate(expected["rows"]):
            for x, colour in enumerate(row):
                got = image.getpixel((x, y))
                if list(got) != colour:
                    problems.append(f"{expected['file']} ({x}, {y}): {got}, expected {colour}")
    return problems


def main():
    folder, expectations = sys.argv[1], sys.argv[2]
    with open(expectations) as file:
        bitmaps = json.load(file)
    problems = []
    pixels = 0
    for expected in bitmaps:
        problems += check(folder, expected)
        pixels += expected["width"] * expected["height"]
    for problem in problems:
        print(problem)
    if problems:
        return 1
    print(f"{len(bitmaps)} bitmaps, {pixels} pixels as expected")
    return 0


if __name__ == "__main__":
    sys.exit(main())
