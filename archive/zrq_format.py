"""The ZRQ archive layout and the bitmap header, for the Python tools: the
sample and benchmark archive generators, the fuzz seed corpus and the Python
extractor the benchmark compares against. Standard library only.

An archive is an 8-byte header (4 bytes no reader uses, then the directory's
offset), payloads anywhere, and the directory: a 4-byte entry count and one
80-byte record per entry (a 64-byte NUL-padded name, the payload's offset and
size, 4 bytes no reader uses, the type). Integers are 32-bit little-endian.
Offsets are 32-bit, so every directory and payload starts below 4 GiB.

Image payloads: types 2 and 4 are a 72-byte prefix and rows of 32 RGB565
pixels; type 5 is the width and height, the rest of a 76-byte prefix, then
width x height RGB565 pixels. They become 24-bit bottom-up bitmaps.
"""

import collections
import struct

HEADER = struct.Struct("<II")  # unused, directory offset
COUNT = struct.Struct("<I")
RECORD = struct.Struct("<64sIIII")  # name, offset, size, unused, type
HEADER_BYTES = HEADER.size
COUNT_BYTES = COUNT.size
RECORD_BYTES = RECORD.size
NAME_BYTES = 64
OFFSET_LIMIT = 1 << 32  # the first offset a record cannot name

TYPE_RENAMED_RAW = 1  # plain file, the name's last underscore may become a point
TYPE_FIXED_WIDTH_IMAGE = 2
TYPE_RAW = 3
TYPE_FIXED_WIDTH_IMAGE_ALT = 4  # same layout as type 2
TYPE_SIZED_IMAGE = 5
IMAGE_TYPES = (TYPE_FIXED_WIDTH_IMAGE, TYPE_FIXED_WIDTH_IMAGE_ALT, TYPE_SIZED_IMAGE)

FIXED_PREFIX_BYTES = 72
FIXED_WIDTH = 32
SIZED_PREFIX_BYTES = 76
SIZE_FIELDS = struct.Struct("<II")  # width, height, at the start of a type-5 payload
SIZED_PREFIX_REST_BYTES = SIZED_PREFIX_BYTES - SIZE_FIELDS.size

BITMAP_HEADER_BYTES = 54


def record(name, offset, size, entry_type, unused=0):
    """One directory record; `name` is bytes of at most 64 (no NUL needed at 64)."""
    if len(name) > NAME_BYTES:
        raise ValueError("name longer than %d bytes: %r" % (NAME_BYTES, name))
    mask = 0xFFFFFFFF
    return RECORD.pack(name, offset & mask, size & mask, unused & mask, entry_type & mask)


def sized_image_prefix(width, height, rest=None):
    """The 76 bytes that open a type-5 payload; `rest` fills bytes 8-75 (zeros by default)."""
    if rest is None:
        rest = bytes(SIZED_PREFIX_REST_BYTES)
    assert len(rest) == SIZED_PREFIX_REST_BYTES
    return SIZE_FIELDS.pack(width & 0xFFFFFFFF, height & 0xFFFFFFFF) + rest


class ArchiveWriter:
    """Writes an archive front to back into a binary file: the header, the
    payloads in the order added, then the directory. Only the records are
    kept in memory; close() writes them and points the header at them."""

    def __init__(self, file, header_unused=0):
        self.file = file
        self.header_unused = header_unused
        self.file.write(HEADER.pack(header_unused & 0xFFFFFFFF, 0))  # offset set by close()
        self.position = HEADER_BYTES
        self.records = bytearray()
        self.count = 0

    def add(self, name, entry_type, *parts, offset=None, size=None, unused=0):
        """Appends the payload `parts`; the record points at them unless an
        `offset` and `size` of its own are given (the parts are written all
        the same)."""
        payload_offset = self.position
        for part in parts:
            self.file.write(part)
            self.position += len(part)
        if offset is None:
            offset, size = payload_offset, self.position - payload_offset
        self.records += record(name, offset, size, entry_type, unused)
        self.count += 1

    def close(self, count=None, directory_offset=None):
        """Writes the directory (with `count` in place of the real count if
        given) and points the header at it (or at `directory_offset`).
        Returns the archive's length."""
        place = self.position
        self.file.write(COUNT.pack((self.count if count is None else count) & 0xFFFFFFFF))
        self.file.write(self.records)
        self.file.seek(0)
        self.file.write(HEADER.pack(self.header_unused & 0xFFFFFFFF,
                                    (place if directory_offset is None else directory_offset)
                                    & 0xFFFFFFFF))
        self.file.seek(0, 2)
        return place + COUNT_BYTES + len(self.records)


Entry = collections.namedtuple("Entry", "name offset size type")


def read_directory(archive):
    """The entries of a well-formed archive open for binary reading, in
    order, each name cut at its NUL. The directory is read whole before the
    first entry is given, so the caller may move the file between entries."""
    _, directory_offset = HEADER.unpack(archive.read(HEADER_BYTES))
    archive.seek(directory_offset)
    count, = COUNT.unpack(archive.read(COUNT_BYTES))
    directory = archive.read(RECORD_BYTES * count)

    def entries():
        for name, offset, size, _, entry_type in RECORD.iter_unpack(directory):
            yield Entry(name.split(b"\0", 1)[0], offset, size, entry_type)
    return entries()


def image_size(entry_type, size, payload):
    """Width, height and first pixel row's offset of an image entry whose
    record gives `size` and whose payload starts with `payload`."""
    if entry_type == TYPE_SIZED_IMAGE:
        fields = payload[:SIZE_FIELDS.size].ljust(SIZE_FIELDS.size, b"\0")
        width, height = SIZE_FIELDS.unpack(fields)
        return width, height, SIZED_PREFIX_BYTES
    rows = (size - FIXED_PREFIX_BYTES) // (2 * FIXED_WIDTH) if size >= FIXED_PREFIX_BYTES else 0
    return FIXED_WIDTH, rows, FIXED_PREFIX_BYTES


def bitmap_header(width, height):
    """The 54 header bytes of a 24-bit bottom-up bitmap as unzrq writes it:
    no file size, no image size, 1000 pixels per metre."""
    return struct.pack("<2sIHHIIIIHHIIiiII", b"BM", 0, 0, 0, BITMAP_HEADER_BYTES,
                       40, width, height, 1, 24, 0, 0, 1000, 1000, 0, 0)
