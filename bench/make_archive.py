#!/usr/bin/python3
"""Writes a large synthetic ZRQ archive for the benchmark.

The archive is streamed to disk entry by entry (archive/zrq_format.py):
payloads first, right behind the 8-byte header, then the directory, then the
header is patched to point at it. Only the directory records (80 bytes per
entry) are kept in memory, so a gigabyte archive costs a few megabytes here.
Header bytes 0-3, which no reader uses, are zero.

Profiles:
  raw     1 MiB plain entries, mostly type 3, every fourth type 1 (names that
          turn "_WAV", "_mp3", ... into an extension, and some that must not)
  images  1024 x 1024 type-5 images (random or gradient pixels), each followed
          by a handful of 32-pixel-wide type-2 and type-4 sprites
  small   --entries plain entries of 1-4 KiB (types 1 and 3)
  mixed   all of the above plus odd image widths (row padding), tiny and empty
          images, empty entries and unknown types

Usage: make_archive.py PROFILE OUTPUT [--size 1G] [--entries N] [--seed N]
(--entries: the count of 'small', 100,000 by default; for 'images', a limit.)
"""

import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "archive"))
from zrq_format import (  # noqa: E402
    COUNT_BYTES, OFFSET_LIMIT, FIXED_PREFIX_BYTES, FIXED_WIDTH, NAME_BYTES,
    RECORD_BYTES, SIZED_PREFIX_BYTES, SIZED_PREFIX_REST_BYTES, TYPE_FIXED_WIDTH_IMAGE,
    TYPE_FIXED_WIDTH_IMAGE_ALT, TYPE_RAW, TYPE_RENAMED_RAW, TYPE_SIZED_IMAGE, ArchiveWriter,
    sized_image_prefix)


def parse_size(text):
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    text = text.strip().upper().rstrip("B").rstrip("I")
    if text and text[-1] in units:
        return int(float(text[:-1]) * units[text[-1]])
    return int(text)


class BenchArchive:
    """An ArchiveWriter that refuses what the benchmark never wants: names
    that repeat or do not fit with their NUL, and data past 4 GiB."""

    def __init__(self, path):
        self.file = open(path, "wb", buffering=1 << 20)
        self.writer = ArchiveWriter(self.file)
        self.names = set()

    @property
    def position(self):
        return self.writer.position

    @property
    def count(self):
        return self.writer.count

    def add(self, name, entry_type, *parts):
        encoded = name.encode("ascii")
        assert len(encoded) < NAME_BYTES and encoded not in self.names, name
        self.names.add(encoded)
        if self.position + sum(len(part) for part in parts) >= OFFSET_LIMIT:
            sys.exit("make_archive: archive would pass 4 GiB; ask for a smaller --size")
        # Record bytes 72-75 are never interpreted: fill them with something.
        self.writer.add(encoded, entry_type, *parts, unused=0xA5A5A5A5 ^ self.count)

    def close(self):
        directory_end = self.position + COUNT_BYTES + RECORD_BYTES * self.count
        if directory_end >= OFFSET_LIMIT:
            sys.exit("make_archive: directory would pass 4 GiB; ask for a smaller --size")
        total = self.writer.close()
        self.file.close()
        return total


def gradient_pixels(width, height, phase=0):
    """RGB565 bytes of a smooth image: red across, green down, blue diagonal."""
    x = np.arange(width, dtype=np.uint32)[None, :]
    y = np.arange(height, dtype=np.uint32)[:, None]
    red = (x * 32 // max(width, 1) + phase) % 32
    green = (y * 64 // max(height, 1) + phase) % 64
    blue = ((x + y) * 32 // max(width + height, 1)) % 32
    pixels = (red << 11 | green << 5 | blue).astype("<u2")
    return pixels.tobytes()


def image_pixels(rng, width, height, index):
    if index % 2 == 0:
        return rng.bytes(2 * width * height)
    return gradient_pixels(width, height, phase=index % 32)


def sized_image(rng, width, height, index):
    prefix = sized_image_prefix(width, height, rng.bytes(SIZED_PREFIX_REST_BYTES))
    return prefix, image_pixels(rng, width, height, index)


def fixed_width_image(rng, rows, index, odd_tail=False):
    tail = b"\x7f" if odd_tail else b""  # bytes after the last whole row are ignored
    return rng.bytes(FIXED_PREFIX_BYTES), image_pixels(rng, FIXED_WIDTH, rows, index) + tail


# Type-1 names: the last underscore before one of these becomes a point...
RESTORED_SUFFIXES = ["_WAV", "_mp3", "_Lua", "_MSM"]
# ...and before these it stays.
KEPT_SUFFIXES = ["_WAVE", "_txt", "_"]


def renamed_raw_name(stem, nth):
    """Name of the nth type-1 entry: one in five keeps its underscore."""
    if nth % 5 == 0:
        return stem + KEPT_SUFFIXES[nth // 5 % len(KEPT_SUFFIXES)]
    return stem + RESTORED_SUFFIXES[nth % len(RESTORED_SUFFIXES)]


def make_raw(archive, rng, size, entry_bytes=1 << 20):
    index = 0
    while archive.position + entry_bytes <= size:
        if index % 4 == 3:
            archive.add(renamed_raw_name("clip_%06d" % index, index // 4), TYPE_RENAMED_RAW,
                        rng.bytes(entry_bytes))
        else:
            archive.add("raw_%06d.dat" % index, TYPE_RAW, rng.bytes(entry_bytes))
        index += 1


def make_images(archive, rng, size, entries=None, side=1024, sprites_per_image=8):
    image_bytes = SIZED_PREFIX_BYTES + 2 * side * side
    index = 0
    while archive.position + image_bytes <= size:
        if entries is not None and archive.count + 1 + sprites_per_image > entries:
            break
        archive.add("pic_%05d" % index, TYPE_SIZED_IMAGE, *sized_image(rng, side, side, index))
        for sprite in range(sprites_per_image):
            rows = int(rng.integers(16, 513))
            sprite_type = TYPE_FIXED_WIDTH_IMAGE if sprite % 4 else TYPE_FIXED_WIDTH_IMAGE_ALT
            archive.add("spr_%05d_%d" % (index, sprite), sprite_type,
                        *fixed_width_image(rng, rows, index + sprite, odd_tail=sprite == 5))
        index += 1


def make_small(archive, rng, entries):
    sizes = rng.integers(1024, 4097, size=entries)
    pool = rng.bytes(1 << 22)  # distinct slices of one pool: generating is not what we time
    for index in range(entries):
        start = (index * 4099) % (len(pool) - 4096)
        payload = pool[start:start + int(sizes[index])]
        if index % 5 == 4:
            archive.add(renamed_raw_name("s%06d" % index, index // 5), TYPE_RENAMED_RAW, payload)
        else:
            archive.add("s%06d.bin" % index, TYPE_RAW, payload)


# Image shapes that exercise every row padding, rows wider than any
# reasonable buffer, and the degenerate sizes.
MIXED_IMAGE_SHAPES = [(333, 200), (1, 1), (17, 5), (640, 480), (1023, 7), (0, 3), (5, 0),
                      (2, 900), (40000, 3), (1024, 1024), (3, 3), (250, 250)]


def make_mixed(archive, rng, size):
    index = 0
    while True:
        kind = index % 10
        name = "m%06d" % index
        if kind == 0:
            parts = (name + ".big", TYPE_RAW, rng.bytes(1 << 20))
        elif kind == 1:
            parts = (renamed_raw_name(name, index // 10), TYPE_RENAMED_RAW,
                     rng.bytes(int(rng.integers(1, 300_000))))
        elif kind == 2:
            width, height = MIXED_IMAGE_SHAPES[index // 10 % len(MIXED_IMAGE_SHAPES)]
            parts = (name, TYPE_SIZED_IMAGE, *sized_image(rng, width, height, index))
        elif kind in (3, 4):
            parts = (name, TYPE_FIXED_WIDTH_IMAGE if kind == 3 else TYPE_FIXED_WIDTH_IMAGE_ALT,
                     *fixed_width_image(rng, int(rng.integers(0, 300)), index, index % 3 == 0))
        elif kind == 5:
            parts = (name + ".empty", TYPE_RAW, b"")
        elif kind == 6:
            parts = (name + ".unknown", 7 + index % 250, rng.bytes(int(rng.integers(1, 9000))))
        else:
            parts = (name + ".small", TYPE_RAW, rng.bytes(int(rng.integers(1024, 4097))))
        payload_bytes = sum(len(part) for part in parts[2:])
        if archive.position + payload_bytes > size:
            break
        archive.add(*parts)
        index += 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("profile", choices=["raw", "images", "small", "mixed"])
    parser.add_argument("output")
    parser.add_argument("--size", default="1G", help="payload bytes to aim for (1G, 64M, ...)")
    parser.add_argument("--entries", type=int,
                        help="entries of 'small' (100,000 by default), most entries of 'images'")
    parser.add_argument("--seed", type=int, default=5)
    options = parser.parse_args()

    rng = np.random.default_rng(options.seed)
    size = parse_size(options.size)
    archive = BenchArchive(options.output)
    if options.profile == "raw":
        make_raw(archive, rng, size)
    elif options.profile == "images":
        make_images(archive, rng, size, options.entries)
    elif options.profile == "small":
        make_small(archive, rng, 100_000 if options.entries is None else options.entries)
    else:
        make_mixed(archive, rng, size)
    total = archive.close()
    print("%s: %s, %d entries, %d bytes" % (options.output, options.profile, archive.count, total))


if __name__ == "__main__":
    main()
