// The writers turn one entry's payload into the bytes of one output file.
//
// Every writer has the same call shape: the output file (just created, empty,
// open for writing), the scanning handle on the archive positioned at the
// payload's first byte, and the record's size. A writer reads from the
// scanning handle, moving it only relative to where it stands, and writes the
// output from its start. It reports nothing itself: it returns what became of
// the entry, with the system's reason taken at the call that failed, and the
// driver tells the user.
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
  // The two below wrote nothing. unzrq judges both before it makes the
  // output (ForeseeEntry); met by the writer after all (the archive changed
  // meanwhile), they leave the output empty.
  kTooLarge,         // the image's width and height are more than the archive can hold
  kSizeUnreadable,   // the system refused to read the image's width and height
};

struct ImageSize {
  std::uint32_t width;
  std::uint32_t height;
};

// Built with designated initializers: the three DWORD fields are easily swapped.
struct EntryResult {
  EntryOutcome outcome;
  DWORD written = 0;             // bytes that reached the output file
  DWORD error = NO_ERROR;        // kReadFailed, kWriteFailed, kSizeUnreadable: the failed call's reason
  ImageSize image = {0, 0};      // images: the width and height the writer used or refused
  DWORD read_error = NO_ERROR;   // kWriteFailed: the reason of a read refused before it, if one was
};

using EntryWriter = EntryResult(HANDLE output, HANDLE scanning, std::uint32_t size);

// A type-5 payload's prefix: width, height and 68 bytes never read, then the rows.
inline constexpr std::uint32_t kSizedImagePrefixBytes = 76;

// What a writer reads of its payload.
enum class PayloadLayout {
  kRaw,              // the payload's bytes, as many as the record's size
  kFixedWidthImage,  // a 72-byte prefix, then rows 32 pixels wide
  kSizedImage,       // width and height, the rest of a 76-byte prefix, then rows
};

// Types 1 and 3 and every type without a writer of its own: the payload unchanged.
EntryWriter CopyRaw;
// Types 2 and 4: a 72-byte prefix, then RGB565 rows 32 pixels wide.
EntryWriter ConvertFixedWidthImage;
// Type 5: width and height, a prefix up to byte 76, then RGB565 rows. An
// image larger than the archive can hold, by the width and height this very
// call reads, is refused before anything is written.
EntryWriter ConvertSizedImage;

// Writes a 24-bit bottom-up bitmap of `width` x `height` RGB565 pixels whose
// top row starts `prefix_bytes` after where `scanning` stands: the walk's
// first move takes it over the rest of the payload's prefix. The file is
// always BitmapFileBytes({width, height}) bytes long.
EntryResult WriteBitmap(HANDLE output, HANDLE scanning, std::uint32_t width, std::uint32_t height,
                        std::uint32_t prefix_bytes);

// What the writer for `layout` would make of the payload of `size` bytes at
// `offset`, with `scanning` standing there, in an archive of `archive_bytes`,
// told without writing anything and without reading more than a sized
// image's width and height: kComplete, kTruncated, kDamaged, kTooLarge or
// kSizeUnreadable, with the image's size, by the same bound the writers
// apply. Only a transfer itself can meet kReadFailed or kWriteFailed. For
// listing and testing an archive in milliseconds, whatever its payloads weigh,
// and for judging an image before its output is made.
EntryResult ForeseeEntry(PayloadLayout layout, HANDLE scanning, std::uint32_t offset,
                         std::uint32_t size, std::uint64_t archive_bytes);

// The bitmap's 54 header bytes for an image of this size, as WriteBitmap
// writes them.
void FillBitmapHeaders(unsigned char* header, std::uint32_t width, std::uint32_t height);

// The bitmap's geometry, for the writer and for the bound alike.
inline constexpr std::uint32_t kBitmapHeaderBytes = 54;
// Each row of 3-byte pixels is padded to a multiple of 4 bytes.
inline constexpr std::uint32_t RowPaddingBytes(std::uint32_t width) { return width % 4; }
inline constexpr std::uint64_t BitmapRowBytes(std::uint32_t width) {
  return 3ull * width + RowPaddingBytes(width);
}
// Length of the bitmap file for an image of this size.
inline constexpr std::uint64_t BitmapFileBytes(ImageSize image) {
  return kBitmapHeaderBytes + static_cast<std::uint64_t>(image.height) * BitmapRowBytes(image.width);
}

// False for an image no archive of `archive_bytes` bytes can really hold:
// one whose bitmap would exceed twice the archive plus the headers (two
// source bytes never make more than four output bytes), or whose dimensions
// or length the bitmap format cannot express.
bool BitmapFitsArchive(ImageSize image, std::uint64_t archive_bytes);
