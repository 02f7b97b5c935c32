// Image entries become 24-bit bottom-up bitmaps, byte for byte, whatever the
// image's shape and wherever the archive ends.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "writer_run.h"

namespace {

constexpr std::uint32_t kBefore = 41;       // the payload starts mid-file
constexpr std::uint32_t kAfter = 23;        // and bytes follow it that belong to no row
constexpr std::uint8_t kPrefixFill = 0xA5;  // prefix bytes that must be ignored

std::vector<std::uint16_t> RandomPixels(std::size_t count, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<std::uint16_t> pixels(count);
  for (std::uint16_t& pixel : pixels) pixel = static_cast<std::uint16_t>(random());
  return pixels;
}

// Compares without printing megabytes when a large image differs.
void ExpectSameBytes(const Bytes& actual, const Bytes& expected, const std::string& label) {
  ASSERT_EQ(actual.size(), expected.size()) << label;
  const auto mismatch = std::mismatch(actual.begin(), actual.end(), expected.begin());
  EXPECT_TRUE(mismatch.first == actual.end())
      << label << ": first difference at byte " << (mismatch.first - actual.begin());
}

TEST(SizedImage, EveryShapeBecomesTheExpectedBitmap) {
  struct Shape2D {
    std::uint32_t width;
    std::uint32_t height;
  };
  std::vector<Shape2D> shapes;
  for (std::uint32_t width = 1; width <= 5; ++width) {
    for (std::uint32_t height = 0; height <= 3; ++height) shapes.push_back({width, height});
  }
  const Shape2D larger[] = {
      {0, 0},     {0, 3},      // no pixels: the headers alone
      {32, 3},    {1000, 70},  // rows in several blocks
      {1, 70000},              // narrow and tall: many rows per block, many blocks
      {32768, 3},              // a row exactly one block long
      {32769, 2},              // one pixel more: read in pieces
      {40000, 2},
  };
  shapes.insert(shapes.end(), std::begin(larger), std::end(larger));

  for (const Shape2D& shape : shapes) {
    const auto pixels =
        RandomPixels(std::size_t{shape.width} * shape.height, shape.width + 7 * shape.height);
    const Bytes payload = SizedImagePayload(shape.width, shape.height, pixels, kPrefixFill);
    const WriterRun run = RunWriter(ConvertSizedImage, Surround(kBefore, payload, kAfter), kBefore,
                                    static_cast<std::uint32_t>(payload.size()));
    const std::string label = Shape(shape.width, shape.height);
    EXPECT_EQ(run.result.outcome, EntryOutcome::kComplete)
        << label << ": " << OutcomeName(run.result.outcome);
    ExpectSameBytes(run.output, ExpectedBitmap(shape.width, shape.height, pixels), label);
  }
}

// Written out byte by byte rather than through ExpectedBitmap, so that the
// expansion and the row order do not rest on one shared reading.
TEST(SizedImage, ChannelsExpandByPlainShifts) {
  struct Case {
    std::uint16_t pixel;
    std::uint8_t blue, green, red;
  } const cases[] = {
      {0xFFFF, 248, 252, 248},  // not white
      {0xF800, 0, 0, 248},      // pure red
      {0x07E0, 0, 252, 0},     {0x001F, 248, 0, 0}, {0x0001, 8, 0, 0},
      {0x0020, 0, 4, 0},       {0x0800, 0, 0, 8},   {0x0000, 0, 0, 0},
  };
  for (const Case& c : cases) {
    const Bytes payload = SizedImagePayload(1, 1, {c.pixel});
    const WriterRun run = RunWriter(ConvertSizedImage, Surround(kBefore, payload, kAfter), kBefore,
                                    static_cast<std::uint32_t>(payload.size()));
    ASSERT_EQ(run.output.size(), 58u) << std::hex << c.pixel;
    EXPECT_EQ(Bytes(run.output.begin() + 54, run.output.end()), (Bytes{c.blue, c.green, c.red, 0}))
        << "pixel 0x" << std::hex << c.pixel;
  }
}

TEST(SizedImage, BottomRowComesFirst) {
  const std::uint16_t red = Rgb565(31, 0, 0);
  const std::uint16_t blue = Rgb565(0, 0, 31);
  const Bytes payload = SizedImagePayload(1, 2, {red, blue});
  const WriterRun run = RunWriter(ConvertSizedImage, Surround(kBefore, payload, kAfter), kBefore,
                                  static_cast<std::uint32_t>(payload.size()));
  ASSERT_EQ(run.output.size(), 62u);
  EXPECT_EQ(Bytes(run.output.begin() + 54, run.output.end()),
            (Bytes{248, 0, 0, 0, /* then the top row */ 0, 0, 248, 0}));
}

TEST(SizedImage, HeadersCarryTheFieldsReadersNeed) {
  const Bytes payload = SizedImagePayload(3, 2, RandomPixels(6, 1));
  const WriterRun run =
      RunWriter(ConvertSizedImage, payload, 0, static_cast<std::uint32_t>(payload.size()));
  ASSERT_EQ(run.output.size(), 54u + 2 * 12);
  const Bytes expected_headers = {
      'B', 'M', 0, 0, 0,    0, 0, 0, 0,    0, 54, 0, 0, 0,  // file header, bfSize left 0
      40,  0,   0, 0, 3,    0, 0, 0, 2,    0, 0,  0, 1, 0, 24, 0, 0, 0, 0, 0,
      0,   0,   0, 0, 0xE8, 3, 0, 0, 0xE8, 3, 0,  0, 0, 0, 0,  0, 0, 0, 0, 0};
  EXPECT_EQ(Bytes(run.output.begin(), run.output.begin() + 54), expected_headers);
}

// Types 2 and 4: 32 pixels wide, as many whole rows as follow the prefix.
TEST(FixedWidthImage, HeightComesFromTheSize) {
  struct Case {
    std::uint32_t size;
    std::uint32_t height;
    EntryOutcome outcome;
  } const cases[] = {
      {72, 0, EntryOutcome::kComplete},
      {72 + 64, 1, EntryOutcome::kComplete},
      {72 + 64 + 63, 1, EntryOutcome::kComplete},  // a part row is ignored
      {264, 3, EntryOutcome::kComplete},
      {265, 3, EntryOutcome::kComplete},
      {72 + 64 * 2100, 2100, EntryOutcome::kComplete},  // more than one block
      // Shorter than the prefix: no whole row rather than a height wrapped to billions.
      {71, 0, EntryOutcome::kDamaged},
      {1, 0, EntryOutcome::kDamaged},
      {0, 0, EntryOutcome::kDamaged},
  };
  for (const Case& c : cases) {
    const auto pixels = RandomPixels(32 * std::size_t{c.height}, c.size);
    Bytes payload = FixedWidthImagePayload(pixels, kPrefixFill);
    payload.resize(c.size, 0x3C);
    const WriterRun run =
        RunWriter(ConvertFixedWidthImage, Surround(kBefore, payload, kAfter), kBefore, c.size);
    const std::string label = "size " + std::to_string(c.size);
    EXPECT_EQ(run.result.outcome, c.outcome) << label << ": " << OutcomeName(run.result.outcome);
    ExpectSameBytes(run.output, ExpectedBitmap(32, c.height, pixels), label);
  }
}

// The archive ends inside the pixel rows: the bitmap keeps its full length,
// the pixels that exist are converted, and every missing one is black, the
// pixel cut in half included.
TEST(ImageCutByTheEndOfTheArchive, MissingPixelsAreBlack) {
  struct Case {
    std::uint32_t type;  // 5, or 2 for the fixed width
    std::uint32_t width;
    std::uint32_t height;
    std::uint32_t available;  // payload bytes before the archive ends
  } const cases[] = {
      {5, 3, 3, 76 + 9},          // four and a half pixels
      {5, 3, 3, 76},              // the prefix alone
      {5, 3, 3, 50},              // inside the prefix
      {5, 3, 2, 5},               // inside the height: it reads as 2, from its low byte
      {5, 3, 2, 2},               // inside the width: no height at all
      // Larger images are cut no further than the archive's bound on a
      // bitmap lets them be written at all (twice the archive and the headers).
      {5, 1000, 70, 76 + 120001},  // several blocks of rows
      {5, 1, 70000, 76 + 139901},
      {5, 40000, 2, 76 + 120003},  // rows read in pieces, cut in the second row
      {5, 40000, 1, 76 + 60001},   // cut in the first row
      {2, 32, 3, 72 + 64 + 33},
  };
  for (const Case& c : cases) {
    const auto pixels = RandomPixels(std::size_t{c.width} * c.height, c.available);
    Bytes payload = c.type == 5 ? SizedImagePayload(c.width, c.height, pixels, kPrefixFill)
                                : FixedWidthImagePayload(pixels, kPrefixFill);
    const std::uint32_t size = static_cast<std::uint32_t>(payload.size());
    payload.resize(c.available);
    const std::uint32_t prefix = c.type == 5 ? 76 : 72;
    const std::size_t whole_pixels = c.available > prefix ? (c.available - prefix) / 2 : 0;
    const std::vector<std::uint16_t> present(pixels.begin(), pixels.begin() + whole_pixels);
    const WriterRun run = RunWriter(c.type == 5 ? ConvertSizedImage : ConvertFixedWidthImage,
                                    Surround(kBefore, payload, 0), kBefore, size);
    const std::string label = "type " + std::to_string(c.type) + " " + Shape(c.width, c.height) +
                              " cut after " + std::to_string(c.available);
    EXPECT_EQ(run.result.outcome, EntryOutcome::kTruncated)
        << label << ": " << OutcomeName(run.result.outcome);
    // A cut inside the size fields leaves the bytes that exist: the heights
    // here fit their low byte, so any part of the field gives the whole height.
    const std::uint32_t height = c.type == 5 && c.available <= 4 ? 0 : c.height;
    ExpectSameBytes(run.output, ExpectedBitmap(c.width, height, present), label);
  }
}

}  // namespace
