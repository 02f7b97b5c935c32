// Every way of converting pixels writes the same bytes: each of the 65,536
// pixel values, rows of every short width, rows cut into two pieces at every
// point, and nothing written past the one spare byte a call may use.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "writers/expand_pixels.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr unsigned char kUntouched = 0xEE;  // fills output bytes no call may write
constexpr std::size_t kGuardBytes = 64;     // checked behind the spare byte

// The channels written out as the bitmap defines them, one pixel at a time.
Bytes ExpectedBytes(const std::vector<std::uint16_t>& pixels) {
  Bytes bytes;
  for (const std::uint16_t pixel : pixels) {
    bytes.push_back(static_cast<unsigned char>((pixel & 0x1F) * 8));         // blue
    bytes.push_back(static_cast<unsigned char>(((pixel >> 5) & 0x3F) * 4));  // green
    bytes.push_back(static_cast<unsigned char>((pixel >> 11) * 8));          // red
  }
  return bytes;
}

std::vector<std::uint16_t> PatternPixels(std::size_t count, std::uint32_t seed) {
  std::vector<std::uint16_t> pixels(count);
  std::uint32_t state = seed * 2654435761u + 1;
  for (std::uint16_t& pixel : pixels) {
    state = state * 1103515245u + 12345u;
    pixel = static_cast<std::uint16_t>(state >> 12);
  }
  return pixels;
}

// The source as the archive holds it, in a heap block of exactly its size
// (so that the sanitizer sees any read past it), `shift` bytes into the
// block so that odd addresses are tried too.
struct Source {
  std::unique_ptr<unsigned char[]> storage;
  const unsigned char* bytes;
};

Source MakeSource(const std::vector<std::uint16_t>& pixels, std::size_t shift) {
  Source source{std::make_unique<unsigned char[]>(shift + 2 * pixels.size()), nullptr};
  unsigned char* bytes = source.storage.get() + shift;
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    bytes[2 * i] = static_cast<unsigned char>(pixels[i]);
    bytes[2 * i + 1] = static_cast<unsigned char>(pixels[i] >> 8);
  }
  source.bytes = bytes;
  return source;
}

// Converts the row in pieces cut at `cuts` (ascending pixel indices), each
// piece written right behind the previous one as the writer does, and
// returns the output: the row's bytes, the spare byte, then the guard.
Bytes ExpandInPieces(PixelPath path, const Source& source, std::uint32_t count,
                     const std::vector<std::uint32_t>& cuts, std::size_t out_shift) {
  Bytes out(out_shift + 3 * std::size_t{count} + 1 + kGuardBytes, kUntouched);
  std::uint32_t first = 0;
  for (std::size_t i = 0; i <= cuts.size(); ++i) {
    const std::uint32_t end = i < cuts.size() ? cuts[i] : count;
    ExpandPixelsOn(path, source.bytes + 2 * std::size_t{first}, end - first,
                   out.data() + out_shift + 3 * std::size_t{first});
    first = end;
  }
  return Bytes(out.begin() + out_shift, out.end());
}

// True when the row's bytes are right and nothing past the spare byte moved.
::testing::AssertionResult RowIsExact(const Bytes& out, const Bytes& expected) {
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (out[i] != expected[i]) {
      return ::testing::AssertionFailure() << "byte " << i << " (pixel " << i / 3 << ") is "
                                           << int{out[i]} << ", not " << int{expected[i]};
    }
  }
  for (std::size_t i = expected.size() + 1; i < out.size(); ++i) {
    if (out[i] != kUntouched) {
      return ::testing::AssertionFailure()
             << "byte " << i << " written, " << i - expected.size() << " past the row's end";
    }
  }
  return ::testing::AssertionSuccess();
}

class ExpandPixelsPath : public ::testing::TestWithParam<PixelPath> {
 protected:
  void SetUp() override {
    if (!PixelPathAvailable(GetParam())) {
      GTEST_SKIP() << "this build or CPU has no " << PixelPathName(GetParam()) << " path";
    }
  }
};

TEST_P(ExpandPixelsPath, EveryPixelValue) {
  std::vector<std::uint16_t> pixels(65536);
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<std::uint16_t>(i);
  const Bytes expected = ExpectedBytes(pixels);
  for (std::size_t shift = 0; shift < 2; ++shift) {
    const Source source = MakeSource(pixels, shift);
    const Bytes out = ExpandInPieces(GetParam(), source, 65536, {}, shift);
    EXPECT_TRUE(RowIsExact(out, expected)) << "source shifted by " << shift;
  }
}

TEST_P(ExpandPixelsPath, EveryShortWidthCutAtEveryPixel) {
  for (std::uint32_t width = 0; width <= 70; ++width) {
    const auto pixels = PatternPixels(width, width);
    const Bytes expected = ExpectedBytes(pixels);
    const Source source = MakeSource(pixels, width % 2);
    for (std::uint32_t cut = 0; cut <= width; ++cut) {
      const std::vector<std::uint32_t> cuts =
          cut == 0 ? std::vector<std::uint32_t>{} : std::vector<std::uint32_t>{cut};
      const Bytes out = ExpandInPieces(GetParam(), source, width, cuts, cut % 4);
      EXPECT_TRUE(RowIsExact(out, expected)) << "width " << width << " cut at " << cut;
    }
  }
}

// Long rows in many uneven pieces, as the writer hands over a wide row.
TEST_P(ExpandPixelsPath, LongRowsInUnevenPieces) {
  const std::uint32_t widths[] = {1024, 1031, 32768, 40000};
  for (const std::uint32_t width : widths) {
    const auto pixels = PatternPixels(width, width);
    const Bytes expected = ExpectedBytes(pixels);
    const Source source = MakeSource(pixels, 0);
    std::vector<std::uint32_t> cuts;
    for (std::uint32_t cut = 1, step = 1; cut < width; cut += step, step = step * 3 % 97 + 1) {
      cuts.push_back(cut);
    }
    EXPECT_TRUE(RowIsExact(ExpandInPieces(GetParam(), source, width, {}, 0), expected))
        << "width " << width << " whole";
    EXPECT_TRUE(RowIsExact(ExpandInPieces(GetParam(), source, width, cuts, 1), expected))
        << "width " << width << " in " << cuts.size() + 1 << " pieces";
  }
}

INSTANTIATE_TEST_SUITE_P(EveryPath, ExpandPixelsPath, ::testing::ValuesIn(kPixelPaths),
                         [](const ::testing::TestParamInfo<PixelPath>& param) {
                           return std::string(PixelPathName(param.param));
                         });

// The path the writer asks for is one of those above and gives the same bytes.
TEST(ExpandPixels, FastestPathGivesTheSameBytes) {
  const auto pixels = PatternPixels(1000, 3);
  const Source source = MakeSource(pixels, 0);
  Bytes chosen(3 * pixels.size() + 1 + kGuardBytes, kUntouched);
  const PixelPath fastest = FastestPixelPath();
  ASSERT_TRUE(PixelPathAvailable(fastest));
  ExpandPixelsOn(fastest, source.bytes, 1000, chosen.data());
  EXPECT_TRUE(RowIsExact(chosen, ExpectedBytes(pixels)));
}

}  // namespace
