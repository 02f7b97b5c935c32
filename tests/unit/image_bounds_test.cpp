// Which images are written at all: the bitmap an archive asks for must be one
// the archive can really hold, so that a few corrupt bytes never turn into
// gigabytes of output or moves outside the 32-bit range.
#include <gtest/gtest.h>

#include <string>

#include "archive_builder.h"
#include "owned_handle.h"
#include "scratch_dir.h"
#include "writers/entry_writer.h"

namespace {

constexpr std::uint64_t kHugeArchive = std::uint64_t{1} << 40;

TEST(BitmapFileBytes, HeadersPlusPaddedRows) {
  struct Case {
    ImageSize image;
    std::uint64_t bytes;
  } const cases[] = {
      {{0, 3}, 54},
      {{3, 0}, 54},
      {{1, 1}, 58},
      {{2, 1}, 54 + 8},
      {{3, 2}, 54 + 2 * 12},
      {{4, 1}, 54 + 12},
      {{32, 3}, 342},
      {{0x7FFFFFFF, 1}, 54 + 3ull * 0x7FFFFFFF + 3},
      {{0x7FFFFFFF, 0x7FFFFFFF}, 54 + 0x7FFFFFFFull * (3ull * 0x7FFFFFFF + 3)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BitmapFileBytes(c.image), c.bytes) << c.image.width << " x " << c.image.height;
  }
}

TEST(BitmapFitsArchive, RefusesWhatNoArchiveOfThatSizeHolds) {
  struct Case {
    const char* label;
    ImageSize image;
    std::uint64_t archive_bytes;
    bool fits;
  } const cases[] = {
      {"type 2 of size 0xFFFFFFFF", {32, (0xFFFFFFFFu - 72) / 64}, 200, false},
      {"type 5 of 65535 x 65535", {65535, 65535}, 200, false},
      {"width 2^31", {0x80000000u, 1}, kHugeArchive, false},
      {"height 2^31", {1, 0x80000000u}, kHugeArchive, false},
      {"width 0xFFFFFFFF", {0xFFFFFFFFu, 1}, kHugeArchive, false},
      {"height 0xFFFFFFFF", {1, 0xFFFFFFFFu}, kHugeArchive, false},
      {"width 2^31 with no rows", {0x80000000u, 0}, kHugeArchive, false},
      {"height 2^31 with no columns", {0, 0x80000000u}, kHugeArchive, false},
      // The move down to the last row, 2 x width x (height - 1), must fit.
      {"move to the last row of 2^31", {4, (1u << 28) + 1}, kHugeArchive, false},
      {"move to the last row of 2^31 - 8", {4, 1u << 28}, kHugeArchive, true},
      // The move back over two rows, 4 x width, must fit.
      {"move back over two rows of 2^31 + 4", {(1u << 29) + 1, 1}, kHugeArchive, false},
      {"move back over two rows of 2^31", {1u << 29, 1}, kHugeArchive, true},
      {"output beyond 32 bits", {(1u << 29) - 1, 3}, kHugeArchive, false},
      {"width 0, height 2^31 - 1", {0, 0x7FFFFFFF}, 0, true},
      {"width 0, height 0", {0, 0}, 0, true},
      {"height 0, width 2^31 - 1", {0x7FFFFFFF, 0}, 0, true},
      // Two source bytes make at most four output bytes, plus the headers.
      {"four bytes a pixel, just held", {1, 1000}, 2000, true},
      {"one pixel more than held", {1, 1001}, 2000, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BitmapFitsArchive(c.image, c.archive_bytes), c.fits) << c.label;
  }
}

// However it is shaped, an image whose pixels are all in the archive is written.
TEST(BitmapFitsArchive, ACompleteImageAlwaysFits) {
  const ImageSize shapes[] = {{1, 1},     {2, 1},     {3, 7},     {4, 4},
                              {5, 3},     {1, 70000}, {40000, 2}, {1024, 1024},
                              {65535, 1}, {1, 65535}, {32, 2100}};
  for (const ImageSize& image : shapes) {
    const std::uint64_t payload = 76 + 2ull * image.width * image.height;
    const std::uint64_t smallest_archive = 8 + 4 + 80 + payload;
    EXPECT_TRUE(BitmapFitsArchive(image, smallest_archive)) << image.width << " x " << image.height;
  }
  for (std::uint32_t width = 1; width <= 40; ++width) {
    for (std::uint32_t height = 1; height <= 40; ++height) {
      EXPECT_TRUE(BitmapFitsArchive({width, height}, 2ull * width * height))
          << width << " x " << height << " with nothing but its pixels";
    }
  }
}

// The size is learnt before the output file is made, and the scanning handle
// must be back at the payload for the writer.
TEST(PeekImageSize, ReadsTheSizeAndLeavesTheHandleWhereItWas) {
  ScratchDir dir;
  Bytes archive = PatternBytes(30);
  const Bytes payload = SizedImagePayload(0x01020304, 0x0A0B0C0D, {}, 0x77);
  archive.insert(archive.end(), payload.begin(), payload.end());
  WriteFileBytes(dir / "archive", archive);
  OwnedHandle scanning(OpenForReading(dir / "archive"));
  ASSERT_TRUE(scanning.valid());

  struct Case {
    const char* label;
    std::uint32_t type;
    std::uint32_t size;
    std::uint32_t position;
    ImageSize expected;
  } const cases[] = {
      {"type 5", 5, 76, 30, {0x01020304, 0x0A0B0C0D}},
      {"type 5 six bytes before the end", 5, 76, 30 + 76 - 6, {0x77777777, 0x7777}},
      {"type 5 past the end", 5, 76, 30 + 76, {0, 0}},
      {"type 2", 2, 264, 30, {32, 3}},
      {"type 4", 4, 265, 30, {32, 3}},
      {"type 2 of 0xFFFFFFFF", 2, 0xFFFFFFFF, 30, {32, (0xFFFFFFFFu - 72) / 64}},
      {"type 2 shorter than its prefix", 2, 71, 30, {32, 0}},
  };
  for (const Case& c : cases) {
    SetFilePointer(scanning.get(), static_cast<LONG>(c.position), nullptr, FILE_BEGIN);
    ImageSize image;
    EXPECT_TRUE(PeekImageSize(scanning.get(), c.type, c.size, &image)) << c.label;
    EXPECT_EQ(image.width, c.expected.width) << c.label;
    EXPECT_EQ(image.height, c.expected.height) << c.label;
    EXPECT_EQ(SetFilePointer(scanning.get(), 0, nullptr, FILE_CURRENT), c.position) << c.label;
  }
}

}  // namespace
