// RGB565 rows in, a 24-bit bottom-up bitmap out, in constant memory.
//
// The source stores rows top to bottom and the bitmap bottom to top, so the
// source is walked backwards, one piece at a time: a piece is a whole row, or
// for rows wider than the source block a part of one, and the pieces come in
// the bitmap's order (last row first, each row left to right). When a piece
// is not in the block read last, one read fetches it together with as many
// whole rows above it as the block holds, so narrow rows cost one read per
// block and wide rows one read per piece. Neither the image nor a whole wide
// row is ever held, however large.
#include <cstring>

#include "archive/little_endian.h"
#include "platform/file_system.h"
#include "writers/entry_writer.h"
#include "writers/expand_pixels.h"
#include "writers/write_all.h"

namespace {

constexpr DWORD kSourceBlockBytes = 64 * 1024;  // even: always whole pixels
constexpr std::uint32_t kPixelsPerPiece = kSourceBlockBytes / 2;
constexpr unsigned char kZeros[4] = {};
// Room for one block's rows however narrow: a 1-pixel row turns 2 bytes into 4.
constexpr std::uint32_t kPendingBytes = 2 * kSourceBlockBytes;

}  // namespace

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

namespace {

// The bitmap's bytes on their way to the file, written in large pieces.
struct PendingOutput {
  HANDLE file;
  unsigned char bytes[kPendingBytes + 1];  // + ExpandPixelsOn's spare byte
  std::uint32_t used;
  DWORD written;  // bytes that reached the file
  DWORD error;    // the reason of the write that failed
};

bool Flush(PendingOutput& pending) {
  const DWORD length = pending.used;
  pending.used = 0;
  if (length > 0 && !WriteAll(pending.file, pending.bytes, length, &pending.error)) return false;
  pending.written += length;
  return true;
}

// Space for `length` more bytes, flushing first when they would not fit.
unsigned char* Reserve(PendingOutput& pending, std::uint32_t length) {
  if (pending.used + length > kPendingBytes && !Flush(pending)) return nullptr;
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
  DWORD read_error;  // the system's reason for the first refused read or move
};

void NoteFailure(SourceCursor& cursor, DWORD error) {
  if (cursor.read_failed) return;
  cursor.read_failed = true;
  cursor.read_error = error;
}

// Moves by signed 32-bit steps; the rows of an image may lie past 4 GiB in
// the file, where the high part of the position carries them.
bool MoveTo(SourceCursor& cursor, std::int64_t target) {
  while (cursor.position != target) {
    std::int64_t step = target - cursor.position;
    if (step > INT32_MAX) step = INT32_MAX;
    if (step < INT32_MIN) step = INT32_MIN;
    DWORD error = NO_ERROR;
    if (!MoveBy(cursor.file, static_cast<LONG>(step), &error)) {
      NoteFailure(cursor, error);
      return false;
    }
    cursor.position += step;
  }
  return true;
}

// Reads `length` bytes from `offset`. What the archive cannot supply reads as
// zero (black), down to whole pixels: never stale bytes from an earlier block.
void ReadSource(SourceCursor& cursor, std::int64_t offset, unsigned char* block, DWORD length) {
  DWORD delivered = 0;
  if (MoveTo(cursor, offset)) {
    if (!ReadFile(cursor.file, block, length, &delivered, nullptr)) {
      NoteFailure(cursor, GetLastError());
    }
    cursor.position += delivered;
  }
  if (delivered < length) {
    const DWORD whole_pixels = delivered & ~DWORD{1};
    std::memset(block + whole_pixels, 0, length - whole_pixels);
    cursor.incomplete = true;
  }
}

// Part of one source row, in the order the bitmap stores them.
struct Piece {
  std::uint32_t row;  // counted from the source's top
  std::uint32_t first_pixel;
  std::uint32_t pixels;
};

// The first piece: the left end of the source's last row (height > 0).
Piece FirstPiece(std::uint32_t width, std::uint32_t height) {
  return {height - 1, 0, width < kPixelsPerPiece ? width : kPixelsPerPiece};
}

// The piece after `piece`, or false past the end of the source's top row.
bool NextPiece(Piece* piece, std::uint32_t width) {
  std::uint32_t first_pixel = piece->first_pixel + piece->pixels;
  if (first_pixel == width) {
    if (piece->row == 0) return false;
    --piece->row;
    first_pixel = 0;
  }
  piece->first_pixel = first_pixel;
  piece->pixels = width - first_pixel < kPixelsPerPiece ? width - first_pixel : kPixelsPerPiece;
  return true;
}

// The source bytes a block holds, relative to the first byte of the top row.
struct BlockSpan {
  std::int64_t start;
  std::int64_t end;
};

}  // namespace

EntryResult WriteBitmap(HANDLE output, HANDLE scanning, std::uint32_t width, std::uint32_t height,
                        std::uint32_t prefix_bytes) {
  unsigned char block[kSourceBlockBytes];
  PendingOutput pending;
  pending.file = output;
  pending.used = kBitmapHeaderBytes;
  pending.written = 0;
  pending.error = NO_ERROR;
  FillBitmapHeaders(pending.bytes, width, height);

  SourceCursor source{scanning, -static_cast<std::int64_t>(prefix_bytes), false, false, NO_ERROR};
  bool write_failed = false;
  const std::int64_t row_bytes = 2ll * width;
  const std::uint32_t padding = RowPaddingBytes(width);
  BlockSpan held{0, 0};
  // Asked once per bitmap: narrow rows are converted in a few nanoseconds,
  // and asking the CPU for every row would add a sixth to that.
  const PixelPath pixel_path = FastestPixelPath();

  if (width > 0 && height > 0) {
    Piece piece = FirstPiece(width, height);
    do {
      const std::int64_t start = piece.row * row_bytes + 2ll * piece.first_pixel;
      const std::int64_t end = start + 2ll * piece.pixels;
      if (start < held.start || end > held.end) {
        std::int64_t rows_above = (kSourceBlockBytes - (end - start)) / row_bytes;
        if (rows_above > piece.row) rows_above = piece.row;
        held = {start - rows_above * row_bytes, end};
        ReadSource(source, held.start, block, static_cast<DWORD>(held.end - held.start));
      }
      const bool row_ends = piece.first_pixel + piece.pixels == width;
      unsigned char* out = Reserve(pending, 3 * piece.pixels + (row_ends ? padding : 0));
      if (out == nullptr) {
        write_failed = true;
        break;
      }
      ExpandPixelsOn(pixel_path, block + (start - held.start), piece.pixels, out);
      if (row_ends) std::memcpy(out + std::size_t{3} * piece.pixels, kZeros, padding);
    } while (NextPiece(&piece, width));
  }

  const ImageSize image{width, height};
  if (write_failed || !Flush(pending)) {
    return {.outcome = EntryOutcome::kWriteFailed,
            .written = pending.written,
            .error = pending.error,
            .image = image,
            .read_error = source.read_failed ? source.read_error : NO_ERROR};
  }
  if (source.read_failed) {
    return {.outcome = EntryOutcome::kReadFailed,
            .written = pending.written,
            .error = source.read_error,
            .image = image};
  }
  return {.outcome = source.incomplete ? EntryOutcome::kTruncated : EntryOutcome::kComplete,
          .written = pending.written,
          .image = image};
}
