// The two image payload layouts: they differ only in how the width and
// height are learnt before the rows are handed to WriteBitmap.
#include "archive/archive_format.h"
#include "writers/entry_writer.h"

namespace {

constexpr std::uint32_t kFixedWidth = 32;
constexpr std::uint32_t kFixedPrefixBytes = 72;
constexpr std::uint32_t kFixedRowBytes = 2 * kFixedWidth;
constexpr std::uint32_t kSizedPrefixBytes = 76;
constexpr DWORD kSizeFieldsBytes = 8;

// A payload shorter than its prefix has no whole row; its height must not
// wrap around to four billion.
std::uint32_t FixedWidthHeight(std::uint32_t size) {
  return size < kFixedPrefixBytes ? 0 : (size - kFixedPrefixBytes) / kFixedRowBytes;
}

// Reads the width and height that open a type-5 payload; fields the archive
// cannot supply read as zero. Sets *delivered to how many of their bytes
// arrived; false when the system refused the read.
bool ReadSizeFields(HANDLE scanning, ImageSize* image, DWORD* delivered) {
  unsigned char fields[kSizeFieldsBytes] = {};
  *delivered = 0;
  const bool read = ReadFile(scanning, fields, kSizeFieldsBytes, delivered, nullptr) != FALSE;
  image->width = LoadLittleEndian32(fields);
  image->height = LoadLittleEndian32(fields + 4);
  return read;
}

}  // namespace

EntryOutcome ConvertFixedWidthImage(HANDLE output, HANDLE scanning, std::uint32_t size) {
  if (size < kFixedPrefixBytes) {
    const EntryOutcome written = WriteBitmap(output, scanning, kFixedWidth, 0);
    return written == EntryOutcome::kWriteFailed ? written : EntryOutcome::kDamaged;
  }
  SetFilePointer(scanning, kFixedPrefixBytes, nullptr, FILE_CURRENT);
  return WriteBitmap(output, scanning, kFixedWidth, FixedWidthHeight(size));
}

EntryOutcome ConvertSizedImage(HANDLE output, HANDLE scanning, std::uint32_t /*size*/) {
  ImageSize image;
  DWORD delivered = 0;
  const bool read = ReadSizeFields(scanning, &image, &delivered);
  const DWORD read_error = GetLastError();
  SetFilePointer(scanning, kSizedPrefixBytes - kSizeFieldsBytes, nullptr, FILE_CURRENT);
  const EntryOutcome written = WriteBitmap(output, scanning, image.width, image.height);
  if (written == EntryOutcome::kComplete && !read) {
    SetLastError(read_error);
    return EntryOutcome::kReadFailed;
  }
  if (written == EntryOutcome::kComplete && delivered < kSizeFieldsBytes) {
    return EntryOutcome::kTruncated;
  }
  return written;
}

bool PeekImageSize(HANDLE scanning, std::uint32_t type, std::uint32_t size, ImageSize* image) {
  if (type != kTypeSizedImage) {
    *image = ImageSize{kFixedWidth, FixedWidthHeight(size)};
    return true;
  }
  DWORD delivered = 0;
  // After a refused read the entry is given up, and the reason must survive.
  if (!ReadSizeFields(scanning, image, &delivered)) return false;
  SetFilePointer(scanning, -static_cast<LONG>(delivered), nullptr, FILE_CURRENT);
  return true;
}

std::uint64_t BitmapFileBytes(ImageSize image) {
  const std::uint64_t row = 3ull * image.width + image.width % 4;
  return 54 + static_cast<std::uint64_t>(image.height) * row;
}

bool BitmapFitsArchive(ImageSize image, std::uint64_t archive_bytes) {
  const std::uint64_t width = image.width;
  const std::uint64_t height = image.height;
  // biWidth and biHeight are signed: from 2^31 up they mean something else.
  if (width > INT32_MAX || height > INT32_MAX) return false;
  if (width > 0 && height > 0) {
    // The walk moves down to the last row, and back over two rows at a time.
    if (2 * width * (height - 1) > INT32_MAX) return false;
    if (4 * width > 0x80000000ull) return false;
  }
  // Past the checks above the product cannot overflow.
  const std::uint64_t bytes = BitmapFileBytes(image);
  return bytes <= UINT32_MAX && bytes <= 2 * archive_bytes + 54;
}
