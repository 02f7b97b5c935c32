#!/usr/bin/env python3
"""Writes the fuzz seed corpus: tiny archives, each one a case the tool must
survive (each entry type, each image edge, overlaps, hostile names, broken
counts and offsets). Standard library only.

    make_seed_corpus.py OUTPUT_DIR                 # the seed corpus
    make_seed_corpus.py --regressions OUTPUT_DIR   # the hand-made replay fixtures

The archive layout is in archive/zrq_format.py. Bit 0 of the first header
byte (which the tool never reads) tells the fuzzer to put the archive inside
the output folder, where entries named like the archive meet it.
"""
import io
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "archive"))
import zrq_format  # noqa: E402

ARCHIVE_IN_FOLDER = 1


def u32(value):
    return struct.pack("<I", value & 0xFFFFFFFF)


def name_bytes(name):
    """Names longer than a record holds are cut, so that no NUL follows them."""
    raw = name if isinstance(name, bytes) else name.encode("latin-1")
    return raw[:zrq_format.NAME_BYTES]


def record(name, offset, size, entry_type):
    return zrq_format.record(name_bytes(name), offset, size, entry_type)


def archive(entries, header_unused=0, count=None, directory_offset=None, cut=None):
    """entries: (name, type, payload) or (name, type, payload, offset, size);
    payloads are laid out behind the header unless an offset is given."""
    data = io.BytesIO()
    writer = zrq_format.ArchiveWriter(data, header_unused)
    for entry in entries:
        name, entry_type, payload = entry[:3]
        if len(entry) > 3:
            writer.add(name_bytes(name), entry_type, payload, offset=entry[3], size=entry[4])
        else:
            writer.add(name_bytes(name), entry_type, payload)
    writer.close(count, directory_offset)
    return data.getvalue() if cut is None else data.getvalue()[:cut]


def pattern(length, seed=1):
    return bytes((seed * 131 + i * 29 + (i >> 8) * 7) & 0xFF for i in range(length))


def sized_image(width, height, pixel_bytes=None):
    if pixel_bytes is None:
        pixel_bytes = min(width * height * 2, 256)
    return zrq_format.sized_image_prefix(width, height) + pattern(pixel_bytes, 5)


def fixed_image(total_size):
    return pattern(total_size, 3)


def seeds():
    s = {}
    s["empty"] = b""
    s["header-only"] = zrq_format.HEADER.pack(0, 8)
    s["count-cut-after-2-bytes"] = zrq_format.HEADER.pack(0, 8) + b"\x01\x00"
    s["no-entries"] = archive([])
    s["no-entries-unused-header-bytes"] = archive([], header_unused=0xDEADBEEE)

    # Each type, with a payload fit for it.
    s["type-1-restored-name"] = archive([("intro_WAV", 1, pattern(40))])
    s["type-1-other-extensions"] = archive(
        [("a_lua", 1, b"x"), ("b_Msm", 1, b"yy"), ("c_mp3", 1, b""), ("d_txt", 1, b"z"),
         ("e_", 1, b"q"), ("_WAV", 1, b"r")])
    s["type-2-three-rows"] = archive([("card", 2, fixed_image(264))])
    s["type-3-plain"] = archive([("data.bin", 3, pattern(100))])
    s["type-4-odd-byte"] = archive([("card", 4, fixed_image(265))])
    s["type-5-two-by-two"] = archive([("pic", 5, sized_image(2, 2))])
    for entry_type in (0, 6, 7, 0x80000000, 0xFFFFFFFF):
        s["type-%08x-unknown" % entry_type] = archive([("blob", entry_type, pattern(17))])
    s["every-type"] = archive([("t%d" % t, t, sized_image(3, 2) if t == 5 else fixed_image(200))
                               for t in range(1, 7)])

    # Image edges.
    for size in (0, 1, 8, 71, 72, 73, 136, 264, 265):
        s["type-2-size-%d" % size] = archive([("img", 2, fixed_image(size))])
        s["type-4-size-%d" % size] = archive([("img", 4, fixed_image(size))])
    s["type-2-size-huge"] = archive([("img", 2, fixed_image(80), 8, 0xFFFFFFFF)])
    s["type-4-size-2g"] = archive([("img", 4, fixed_image(80), 8, 0x80000000)])
    edges = (0, 1, 2, 3, 4, 1 << 16, 1 << 31, 0xFFFFFFFF)
    for width in edges:
        for height in edges:
            s["type-5-%xx%x" % (width, height)] = archive([("img", 5, sized_image(width, height))])
    s["type-5-shorter-than-sizes"] = archive([("img", 5, u32(2))])
    s["type-5-no-payload"] = archive([("img", 5, b"")])
    s["type-5-pixels-cut"] = archive([("img", 5, sized_image(8, 8, 50))])
    s["type-5-pixels-past-size"] = archive(
        [("img", 5, sized_image(4, 4, 32), 8, 76), ("tail", 3, pattern(64))])
    s["type-5-65535-square"] = archive([("img", 5, sized_image(65535, 65535, 100))])

    # Overlapping and shared payloads.
    shared = pattern(120)
    s["overlap-same-offset"] = archive(
        [("one", 3, shared), ("two", 3, b"", 8, 120), ("three", 3, b"", 20, 50)])
    s["overlap-image-and-raw"] = archive(
        [("raw", 3, fixed_image(200)), ("img", 2, b"", 8, 200), ("img5", 5, b"", 8, 200)])
    s["payload-is-header"] = archive([("head", 3, b"", 0, 8)])
    s["payload-is-directory"] = archive([("dir", 3, pattern(10)), ("self", 3, b"", 18, 164)])
    s["duplicate-names"] = archive([("same", 3, b"first"), ("same", 3, b"second")])

    # Names.
    s["name-63-chars"] = archive([("n" * 63, 3, b"63")])
    s["name-64-no-nul"] = archive([("m" * 64, 3, b"64"), ("i" * 64, 5, sized_image(1, 1))])
    hostile = [b"..", b".", b"", b"a/b", b"a\\b", b"C:x", b"CON", b"a:b", b"trailing.",
               b"trailing ", b"/abs", b"../up", b"..\\up", b"\x01bell", b"esc\x1b[31m",
               b"del\x7f", b"tab\there", b"new\nline", b"\xe9t\xe9", b"\xff\xfe", b"nul\0after",
               b"lpt1", b"x" * 62 + b"_WAV"]
    s["names-hostile"] = archive([(name, 3, b"h") for name in hostile])
    s["names-hostile-images"] = archive(
        [(name, 5, sized_image(1, 1)) for name in hostile[:8]])
    s["names-hostile-renamed"] = archive([(b"../x_WAV", 1, b"1"), (b"._WAV", 1, b"2"),
                                          (b"_WAV", 1, b"3"), (b"a/_MP3", 1, b"4")])
    for index, name in enumerate(hostile):
        s["name-hostile-%02d" % index] = archive([(name, 3, b"h"), ("good", 3, b"g")])

    # An entry named like the archive, with the archive inside the output folder.
    s["name-like-archive"] = archive([("a.wav", 3, pattern(30)), ("after", 3, b"ok")],
                                     header_unused=ARCHIVE_IN_FOLDER)
    s["name-like-archive-type-1"] = archive([("a_wav", 1, pattern(30))],
                                            header_unused=ARCHIVE_IN_FOLDER)
    s["name-like-archive-beside"] = archive([("a.wav", 3, pattern(30))])

    # Counts.
    s["count-huge-one-record"] = archive([("only", 3, b"x")], count=0xFFFFFFFF)
    s["count-huge-no-records"] = archive([], count=0xFFFFFFFF)
    s["count-2g"] = archive([("only", 3, b"x")], count=0x80000000)
    s["count-too-high-by-one"] = archive([("a", 3, b"1"), ("b", 3, b"2")], count=3)
    s["record-cut-short"] = archive([("a", 3, b"1"), ("b", 3, b"2")], cut=zrq_format.HEADER_BYTES + 2 + zrq_format.COUNT_BYTES + zrq_format.RECORD_BYTES + 40)

    # Directory offsets.
    for offset in (0, 2, 4, 7, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF):
        s["directory-at-%08x" % offset] = archive([("a", 3, pattern(90))], directory_offset=offset)
    s["directory-past-end"] = archive([("a", 3, b"1")], directory_offset=500)
    s["directory-at-end"] = archive([("a", 3, b"1")], directory_offset=zrq_format.HEADER_BYTES + 1 + zrq_format.COUNT_BYTES + zrq_format.RECORD_BYTES)
    s["directory-behind-header"] = (zrq_format.HEADER.pack(0, 8) + zrq_format.COUNT.pack(1) +
                                    record("front", zrq_format.HEADER_BYTES + zrq_format.COUNT_BYTES + zrq_format.RECORD_BYTES, 5, 3) + b"hello")

    # Payload offsets and sizes.
    s["offset-plus-size-overflows"] = archive(
        [("wrap", 3, b"", 0x10, 0xFFFFFFF8), ("edge", 3, b"", 0x7FFFFFF0, 0x20),
         ("good", 3, b"good")])
    for offset in (0x7FFFFFFF, 0x80000000, 0xFFFFFFFF):
        s["offset-%08x" % offset] = archive([("far", 3, b"", offset, 4), ("good", 3, b"g")])
        s["image-offset-%08x" % offset] = archive([("far", 5, b"", offset, 100)])
    s["payload-past-end"] = archive([("long", 3, pattern(20), 8, 5000)])
    s["payload-starts-past-end"] = archive([("beyond", 3, b"", 100000, 10), ("good", 3, b"g")])
    s["image-past-end"] = archive([("img", 2, fixed_image(100), 8, 72 + 64 * 4)])

    s["many-small-entries"] = archive([("e%02d" % i, 1 + i % 6, pattern(i * 7, i))
                                       for i in range(24)])
    return s


def regressions():
    """Hostile archives kept in the repository so that the replay path always
    has inputs, whatever the fuzzer finds."""
    return {
        "count-huge-on-tiny-file": archive([("only", 3, b"x")], count=0xFFFFFFFF),
        "image-65535-square-in-small-archive": archive(
            [("huge", 5, sized_image(65535, 65535, 100)), ("good", 3, b"kept")]),
        "names-escaping-the-folder": archive(
            [(b"../escape", 3, b"1"), (b"..\\escape", 3, b"2"), (b"..", 3, b"3"),
             (b"/abs", 5, sized_image(1, 1)), (b"good", 3, b"kept")]),
    }


def main(argv):
    if len(argv) == 3 and argv[1] == "--regressions":
        out, cases, suffix = argv[2], regressions(), ".zrq"
    elif len(argv) == 2:
        out, cases, suffix = argv[1], seeds(), ""
    else:
        sys.stderr.write(__doc__)
        return 2
    os.makedirs(out, exist_ok=True)
    for name, data in sorted(cases.items()):
        with open(os.path.join(out, name + suffix), "wb") as file:
            file.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
