// RGB565 rows in, a 24-bit bottom-up bitmap out, in constant memory.
//
// The source stores rows top to bottom and the bitmap bottom to top, so the
// source is walked backwards: a block of whole rows (or, for rows wider than
// the block, one row in pieces) is read forward in one transfer and its rows
// are emitted last to first; then the handle moves back to the block above.
// Neither the image nor a whole row is ever held, however large.
#include <cstring>

#include "archive/little_endian.h"
#include "writers/entry_writer.h"
#include "writers/write_all.h"

namespace {

constexpr std::uint32_t kBitmapHeaderBytes = 54;
constexpr DWORD kSourceBlockBytes = 64 * 1024;  // even: always whole pixels
constexpr std::uint32_t kPixelsPerPiece = kSourceBlockBytes / 2;
// Room for one block's rows however narrow: a 1-pixel row turns 2 bytes into 4.
constexpr std::uint32_t kPendingBytes = 2 * kSourceBlockBytes;

void FillBitmapHeaders(unsigned char* header, std::uint32_t width, std::uint32_t height) {
  // BITMAPFILEHEADER
  header[0] = 'B';  // bfType
  header[1] = 'M';
  StoreLittleEndian32(header + 2, 0);                    // bfSize: left 0, readers do not need it
  StoreLittleEndian16(header + 6, 0);                    // bfReserved1
  StoreLittleEndian16(header + 8, 0);                    // bfReserved2
  StoreLittleEndian32(header + 10, kBitmapHeaderBytes);  // bfOffBits
  // BITMAPINFOHEADER
  StoreLittleEndian32(header + 14, 40);      // biSize
  StoreLittleEndian32(header + 18, width);   // biWidth
  StoreLittleEndian32(header + 22, height);  // biHeight: positive, rows bottom-up
  StoreLittleEndian16(header + 26, 1);       // biPlanes
  StoreLittleEndian16(header + 28, 24);      // biBitCount
  StoreLittleEndian32(header + 30, 0);       // biCompression: BI_RGB
  StoreLittleEndian32(header + 34, 0);       // biSizeImage
  StoreLittleEndian32(header + 38, 1000);    // biXPelsPerMeter
  StoreLittleEndian32(header + 42, 1000);    // biYPelsPerMeter
  StoreLittleEndian32(header + 46, 0);       // biClrUsed
  StoreLittleEndian32(header + 50, 0);       // biClrImportant
}

// Blue, green, red by plain shifts: 5 bits become 0-248, 6 bits 0-252. Each
// pixel is stored as one 4-byte word whose top byte the next pixel (or the
// row's padding) overwrites, which is why the output needs one spare byte.
void ExpandPixels(const unsigned char* source, std::uint32_t count, unsigned char* out) {
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t pixel = source[0] | static_cast<std::uint32_t>(source[1]) << 8;
    unsigned char blue_green_red[4];
    StoreLittleEndian32(blue_green_red,
                        (pixel & 0x1F) << 3 | ((pixel >> 5) & 0x3F) << 10 | (pixel >> 11) << 19);
    std::memcpy(out, blue_green_red, 4);
    source += 2;
    out += 3;
  }
}

// The bitmap's bytes on their way to the file, written in large pieces.
struct PendingOutput {
  HANDLE file;
  unsigned char bytes[kPendingBytes + 1];  // + the byte ExpandPixels may overrun
  std::uint32_t used;
};

bool Flush(PendingOutput& pending) {
  const DWORD length = pending.used;
  pending.used = 0;
  return length == 0 || WriteAll(pending.file, pending.bytes, length);
}

// Space for `length` more bytes, flushing first when they would not fit.
unsigned char* Reserve(PendingOutput& pending, std::uint32_t length, bool* write_failed) {
  if (pending.used + length > kPendingBytes && !Flush(pending)) {
    *write_failed = true;
    return nullptr;
  }
  unsigned char* space = pending.bytes + pending.used;
  pending.used += length;
  return space;
}

// The scanning handle as the walk sees it: where it stands, relative to the
// first byte of the top row, whether the archive has failed to supply
// anything asked of it, and whether that was because the system refused.
struct SourceCursor {
  HANDLE file;
  std::int64_t position;
  bool incomplete;
  bool read_failed;
  DWORD read_error;  // the system's reason for the first refused read
};

bool MoveTo(SourceCursor& cursor, std::int64_t target) {
  while (cursor.position != target) {
    std::int64_t step = target - cursor.position;
    if (step > INT32_MAX) step = INT32_MAX;
    if (step < INT32_MIN) step = INT32_MIN;
    const DWORD result =
        SetFilePointer(cursor.file, static_cast<LONG>(step), nullptr, FILE_CURRENT);
    if (result == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return false;
    cursor.position += step;
  }
  return true;
}

// Reads `length` bytes from `offset`. What the archive cannot supply reads as
// zero (black), down to whole pixels: never stale bytes from an earlier block.
void ReadSource(SourceCursor& cursor, std::int64_t offset, unsigned char* block, DWORD length) {
  DWORD delivered = 0;
  if (MoveTo(cursor, offset)) {
    if (!ReadFile(cursor.file, block, length, &delivered, nullptr) && !cursor.read_failed) {
      cursor.read_failed = true;
      cursor.read_error = GetLastError();
    }
    cursor.position += delivered;
  }
  if (delivered < length) {
    const DWORD whole_pixels = delivered & ~DWORD{1};
    std::memset(block + whole_pixels, 0, length - whole_pixels);
    cursor.incomplete = true;
  }
}

}  // namespace

EntryOutcome WriteBitmap(HANDLE output, HANDLE scanning, std::uint32_t width,
                         std::uint32_t height) {
  static unsigned char block[kSourceBlockBytes];
  static PendingOutput pending;
  pending.file = output;
  pending.used = kBitmapHeaderBytes;
  FillBitmapHeaders(pending.bytes, width, height);

  SourceCursor source{scanning, 0, false, false, NO_ERROR};
  bool write_failed = false;
  const std::uint64_t row_bytes = 2ull * width;
  const std::uint32_t padding = width % 4;
  static const unsigned char kZeros[4] = {};

  if (width > 0 && row_bytes <= kSourceBlockBytes) {
    const std::uint32_t rows_per_block = kSourceBlockBytes / static_cast<std::uint32_t>(row_bytes);
    const std::uint32_t out_row_bytes = 3 * width + padding;
    for (std::uint32_t end = height; end > 0 && !write_failed;) {
      const std::uint32_t rows = end < rows_per_block ? end : rows_per_block;
      const std::uint32_t first = end - rows;
      ReadSource(source, static_cast<std::int64_t>(first * row_bytes), block,
                 static_cast<DWORD>(rows * row_bytes));
      for (std::uint32_t row = rows; row-- > 0;) {
        unsigned char* out = Reserve(pending, out_row_bytes, &write_failed);
        if (out == nullptr) break;
        ExpandPixels(block + row * row_bytes, width, out);
        std::memcpy(out + 3 * width, kZeros, padding);
      }
      end = first;
    }
  } else if (width > 0) {
    // Rows wider than a block: each row is read forward in pieces.
    for (std::uint32_t row = height; row-- > 0 && !write_failed;) {
      for (std::uint32_t done = 0; done < width;) {
        const std::uint32_t pixels =
            width - done < kPixelsPerPiece ? width - done : kPixelsPerPiece;
        ReadSource(source, static_cast<std::int64_t>(row * row_bytes + 2ull * done), block,
                   2 * pixels);
        unsigned char* out = Reserve(pending, 3 * pixels, &write_failed);
        if (out == nullptr) break;
        ExpandPixels(block, pixels, out);
        done += pixels;
      }
      unsigned char* out = write_failed ? nullptr : Reserve(pending, padding, &write_failed);
      if (out != nullptr) std::memcpy(out, kZeros, padding);
    }
  }

  if (write_failed || !Flush(pending)) return EntryOutcome::kWriteFailed;
  if (source.read_failed) {
    // The calls since then succeeded; the caller asks for the failure's reason.
    SetLastError(source.read_error);
    return EntryOutcome::kReadFailed;
  }
  return source.incomplete ? EntryOutcome::kTruncated : EntryOutcome::kComplete;
}
