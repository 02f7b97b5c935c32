// The two image payload layouts: they differ only in how the width and
// height are learnt before the rows are handed to the bitmap writer. Both
// apply the archive's bound to the very width and height they then write,
// whatever the file held when anything else looked at it.
#include "archive/archive_format.h"
#include "platform/file_system.h"
#include "writers/entry_writer.h"

namespace {

constexpr std::uint32_t kFixedWidth = 32;
constexpr std::uint32_t kFixedPrefixBytes = 72;
constexpr std::uint32_t kFixedRowBytes = 2 * kFixedWidth;
constexpr std::uint32_t kSizedPrefixBytes = kSizedImagePrefixBytes;
constexpr DWORD kSizeFieldsBytes = 8;

// A payload shorter than its prefix has no whole row; its height must not
// wrap around to four billion.
std::uint32_t FixedWidthHeight(std::uint32_t size) {
  return size < kFixedPrefixBytes ? 0 : (size - kFixedPrefixBytes) / kFixedRowBytes;
}

// kComplete when an image of this size may be written from an archive of
// `archive_bytes`; otherwise kTooLarge, with nothing written.
EntryResult Bound(ImageSize image, std::uint64_t archive_bytes) {
  if (!BitmapFitsArchive(image, archive_bytes)) {
    return {.outcome = EntryOutcome::kTooLarge, .image = image};
  }
  return {.outcome = EntryOutcome::kComplete, .image = image};
}

// kComplete when an image of this size may be written from this archive as
// it is now; otherwise what to return instead, with nothing written.
EntryResult CheckBound(HANDLE scanning, ImageSize image) {
  std::uint64_t archive_bytes = 0;
  DWORD error = NO_ERROR;
  if (!FileBytes(scanning, &archive_bytes, &error)) {
    return {.outcome = EntryOutcome::kSizeUnreadable, .error = error, .image = image};
  }
  return Bound(image, archive_bytes);
}

// Reads a sized image's width and height from where `scanning` stands;
// fields the archive cannot supply read as zero, and *delivered counts the
// bytes that came. Without them nothing can be known of the image: false,
// with kSizeUnreadable in *refused.
bool ReadImageSize(HANDLE scanning, ImageSize* image, DWORD* delivered, EntryResult* refused) {
  unsigned char fields[kSizeFieldsBytes] = {};
  *delivered = 0;
  const bool read = ReadFile(scanning, fields, kSizeFieldsBytes, delivered, nullptr) != FALSE;
  *image = {LoadLittleEndian32(fields), LoadLittleEndian32(fields + 4)};
  if (!read) *refused = {.outcome = EntryOutcome::kSizeUnreadable, .error = GetLastError(), .image = *image};
  return read;
}

}  // namespace

EntryResult ConvertFixedWidthImage(HANDLE output, HANDLE scanning, std::uint32_t size) {
  if (size < kFixedPrefixBytes) {
    EntryResult written = WriteBitmap(output, scanning, kFixedWidth, 0, 0);
    if (written.outcome != EntryOutcome::kWriteFailed) written.outcome = EntryOutcome::kDamaged;
    return written;
  }
  const ImageSize image{kFixedWidth, FixedWidthHeight(size)};
  const EntryResult bound = CheckBound(scanning, image);
  if (bound.outcome != EntryOutcome::kComplete) return bound;
  return WriteBitmap(output, scanning, image.width, image.height, kFixedPrefixBytes);
}

EntryResult ConvertSizedImage(HANDLE output, HANDLE scanning, std::uint32_t /*size*/) {
  ImageSize image;
  DWORD delivered = 0;
  EntryResult refused;
  // Without its size nothing can be known of the image, so nothing is written.
  if (!ReadImageSize(scanning, &image, &delivered, &refused)) return refused;
  const EntryResult bound = CheckBound(scanning, image);
  if (bound.outcome != EntryOutcome::kComplete) return bound;
  EntryResult written = WriteBitmap(output, scanning, image.width, image.height,
                                          kSizedPrefixBytes - delivered);
  if (written.outcome == EntryOutcome::kComplete && delivered < kSizeFieldsBytes) {
    written.outcome = EntryOutcome::kTruncated;
  }
  return written;
}

// The writers' own steps, without the transfer: the bound each image writer
// applies, then whether the bytes it would read all lie inside the archive.
// A read past the end delivers nothing, so an entry whose bytes reach past
// it comes out truncated; a payload the writer reads nothing of does not.
EntryResult ForeseeEntry(PayloadLayout layout, HANDLE scanning, std::uint32_t offset,
                         std::uint32_t size, std::uint64_t archive_bytes) {
  // The first byte past what the writer reads; 0 when it reads nothing.
  std::uint64_t end = size == 0 ? 0 : std::uint64_t{offset} + size;
  EntryResult result{.outcome = EntryOutcome::kComplete};
  switch (layout) {
    case PayloadLayout::kRaw: break;
    case PayloadLayout::kFixedWidthImage: {
      if (size < kFixedPrefixBytes) {
        return {.outcome = EntryOutcome::kDamaged, .image = {kFixedWidth, 0}};
      }
      result = Bound({kFixedWidth, FixedWidthHeight(size)}, archive_bytes);
      const std::uint64_t rows = result.image.height;
      end = rows == 0 ? 0 : std::uint64_t{offset} + kFixedPrefixBytes + rows * kFixedRowBytes;
      break;
    }
    case PayloadLayout::kSizedImage: {
      ImageSize image;
      DWORD delivered = 0;
      if (!ReadImageSize(scanning, &image, &delivered, &result)) return result;
      result = Bound(image, archive_bytes);
      const std::uint64_t pixels = std::uint64_t{image.width} * image.height;
      end = pixels == 0 ? 0 : std::uint64_t{offset} + kSizedPrefixBytes + 2 * pixels;
      // The fields cut short make the image truncated whatever follows.
      if (delivered < kSizeFieldsBytes) end = archive_bytes + 1;
      break;
    }
  }
  if (result.outcome == EntryOutcome::kComplete && end > archive_bytes) {
    result.outcome = EntryOutcome::kTruncated;
  }
  return result;
}

bool BitmapFitsArchive(ImageSize image, std::uint64_t archive_bytes) {
  const std::uint64_t width = image.width;
  const std::uint64_t height = image.height;
  // biWidth and biHeight are signed: from 2^31 up they mean something else.
  // However far apart the rows lie, the walk reaches them by signed 32-bit
  // steps, so the distances set no bound of their own.
  if (width > INT32_MAX || height > INT32_MAX) return false;
  // Below 2^31 each, the product cannot overflow.
  const std::uint64_t bytes = BitmapFileBytes(image);
  return bytes <= UINT32_MAX && bytes <= 2 * archive_bytes + kBitmapHeaderBytes;
}
