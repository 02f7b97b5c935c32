// The writers turn one entry's payload into the bytes of one output file.
//
// Every writer has the same call shape: the output file (just created, empty,
// open for writing), the scanning handle on the archive positioned at the
// payload's first byte, and the record's size. A writer reads from the
// scanning handle, moving it only relative to where it stands, and writes the
// output from its start. It reports nothing itself: it returns what became of
// the entry and the driver tells the user.
#pragma once

#include <cstdint>

#include "platform/win32_files.h"

enum class EntryOutcome {
  kComplete,     // the output holds every byte the entry promises
  kTruncated,    // the archive ended inside the entry: the output holds what exists
                 // (a bitmap keeps its full length, with black for missing pixels)
  kDamaged,      // the payload is too short for its image prefix: an empty bitmap was written
  kReadFailed,   // the system refused to read the archive: the output holds what was read
                 // (a bitmap keeps its full length, with black for pixels not read)
  kWriteFailed,  // the output file refused a write and is incomplete
};

using EntryWriter = EntryOutcome(HANDLE output, HANDLE scanning, std::uint32_t size);

// Types 1 and 3 and every type without a writer of its own: the payload unchanged.
EntryWriter CopyRaw;
// Types 2 and 4: a 72-byte prefix, then RGB565 rows 32 pixels wide.
EntryWriter ConvertFixedWidthImage;
// Type 5: width and height, a prefix up to byte 76, then RGB565 rows.
EntryWriter ConvertSizedImage;

// Writes a 24-bit bottom-up bitmap of `width` x `height` RGB565 pixels whose
// top row starts where `scanning` stands. The file is always
// 54 + height * (3 * width + width % 4) bytes long.
EntryOutcome WriteBitmap(HANDLE output, HANDLE scanning, std::uint32_t width, std::uint32_t height);

struct ImageSize {
  std::uint32_t width;
  std::uint32_t height;
};

// The width and height an image writer will use for this entry, learnt
// without moving the scanning handle (it is back where it was on return).
// False when the system refused to read them; the handle has then moved.
bool PeekImageSize(HANDLE scanning, std::uint32_t type, std::uint32_t size, ImageSize* image);

// Length of the bitmap file for an image of this size.
std::uint64_t BitmapFileBytes(ImageSize image);

// False for an image no archive of `archive_bytes` bytes can really hold:
// one whose bitmap would exceed twice the archive plus the headers (two
// source bytes never make more than four output bytes), whose walk through
// the source leaves the signed 32-bit range of file moves, or whose
// dimensions or length the bitmap format cannot express.
bool BitmapFitsArchive(ImageSize image, std::uint64_t archive_bytes);
