"""The modder's edits of unpacked files, made with Pillow as another program
would make them, and the check of what comes back after packing and
unpacking again.

usage: modder_edit.py edit FOLDER [--png]
       modder_edit.py tobmp PICTURE.png
       modder_edit.py check EDITED UNPACKED

edit: in each bitmap of FOLDER one pixel becomes a colour that 16-bit colour
cannot hold exactly, and each is saved another way: card.bmp as a 24-bit
bitmap (Pillow's own), wide.bmp as a 32-bit one, tall.bmp as a 24-bit bitmap
stored top-down, and icon.bmp (with --png) as icon.png in its place. The
script menu.lua gets a line more.

tobmp: the PNG saved as a 24-bit bitmap of the same stem in its place, for
a zrq built without a PNG reader.

check: every file of EDITED is in UNPACKED: a picture (X.bmp or X.png) as
the bitmap X.bmp whose every pixel is the edited one taken to the nearest
colour unzrq writes back (8-bit channels: red and blue (v + 4) >> 3 at most
31, green (v + 2) >> 2 at most 63, widened by a shift), any other file byte
for byte; and UNPACKED holds nothing else.
"""
import os
import struct
import sys

try:
    from PIL import Image
except ImportError:
    sys.exit("Pillow is missing: install python3-pil (this check must not be skipped)")

ODD_COLOUR = (13, 201, 77)  # no channel a value unzrq writes


def write_top_down(image, path):
    """A 24-bit bitmap with a negative height: rows stored from the top."""
    width, height = image.size
    stride = (3 * width + 3) // 4 * 4
    rows = b""
    for y in range(height):
        row = b"".join(bytes((b, g, r)) for r, g, b in (image.getpixel((x, y)) for x in range(width)))
        rows += row + b"\0" * (stride - len(row))
    header = struct.pack("<IiiHHIIiiII", 40, width, -height, 1, 24, 0, len(rows), 3780, 3780, 0, 0)
    with open(path, "wb") as file:
        file.write(b"BM" + struct.pack("<IHHI", 14 + len(header) + len(rows), 0, 0, 14 + len(header)))
        file.write(header + rows)


def edit(folder, png):
    for name in ("card", "wide", "tall", "icon"):
        path = os.path.join(folder, name + ".bmp")
        with Image.open(path) as opened:
            image = opened.convert("RGB")
        image.putpixel((image.size[0] - 1, 0), ODD_COLOUR)
        if name == "card":
            image.save(path, "BMP")
        elif name == "wide":
            image.convert("RGBA").save(path, "BMP")
        elif name == "tall":
            write_top_down(image, path)
        elif png:
            image.save(os.path.join(folder, "icon.png"), "PNG")
            os.remove(path)
        else:
            image.save(path, "BMP")
    with open(os.path.join(folder, "menu.lua"), "ab") as file:
        file.write(b"show_map()\n")


def rounded(colour):
    red, green, blue = colour[:3]
    return (min(31, (red + 4) >> 3) << 3, min(63, (green + 2) >> 2) << 2, min(31, (blue + 4) >> 3) << 3)


def check(edited, unpacked):
    problems = []
    expected_names = set()
    for name in sorted(os.listdir(edited)):
        stem, extension = os.path.splitext(name)
        if extension in (".bmp", ".png"):
            back = stem + ".bmp"
            expected_names.add(back)
            with Image.open(os.path.join(edited, name)) as a, Image.open(os.path.join(unpacked, back)) as b:
                a = a.convert("RGB")
                if b.format != "BMP" or b.mode != "RGB" or a.size != b.size:
                    problems.append(f"{back}: {b.format} {b.mode} {b.size}, edited {a.size}")
                    continue
                for y in range(a.size[1]):
                    for x in range(a.size[0]):
                        want = rounded(a.getpixel((x, y)))
                        got = b.getpixel((x, y))
                        if tuple(got) != want:
                            problems.append(f"{back} ({x}, {y}): {got}, expected {want}")
        else:
            expected_names.add(name)
            with open(os.path.join(edited, name), "rb") as a, open(os.path.join(unpacked, name), "rb") as b:
                if a.read() != b.read():
                    problems.append(f"{name}: bytes differ")
    extra = set(os.listdir(unpacked)) - expected_names
    if extra:
        problems.append(f"unpacked also holds {sorted(extra)}")
    for problem in problems:
        print(problem)
    return 1 if problems else 0


def to_bitmap(path):
    with Image.open(path) as opened:
        opened.convert("RGB").save(os.path.splitext(path)[0] + ".bmp", "BMP")
    os.remove(path)


def main():
    if sys.argv[1] == "edit":
        edit(sys.argv[2], "--png" in sys.argv[3:])
        return 0
    if sys.argv[1] == "tobmp":
        to_bitmap(sys.argv[2])
        return 0
    return check(sys.argv[2], sys.argv[3])


if __name__ == "__main__":
    sys.exit(main())
