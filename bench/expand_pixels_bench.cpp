// Nanoseconds per pixel of each pixel conversion path this CPU has.
//
//   expand_pixels_bench [milliseconds per measurement, default 200]
//
// Converts rows held in the cache, as the bitmap writer does (it converts
// from a 64 KiB source block into a 128 KiB output buffer), for the row
// widths the benchmark archives have: 1024-pixel images, 32-pixel sprites,
// 32,768-pixel pieces of wide rows, and a few narrow and odd widths. Each
// figure is the best of five measurements; other work on the machine only
// ever makes a measurement slower.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "writers/expand_pixels.h"

namespace {

constexpr std::uint32_t kSourceBytes = 64 * 1024;

// Converts the whole source block as rows of `width` pixels, `rounds` times.
void ConvertBlock(PixelPath path, const unsigned char* source, unsigned char* out,
                  std::uint32_t width, std::uint32_t rounds) {
  const std::uint32_t rows = kSourceBytes / (2 * width);
  for (std::uint32_t round = 0; round < rounds; ++round) {
    for (std::uint32_t row = 0; row < rows; ++row) {
      ExpandPixelsOn(path, source + std::size_t{2} * width * row, width,
                     out + std::size_t{3} * width * row);
    }
  }
}

double NanosecondsPerPixel(PixelPath path, const unsigned char* source, unsigned char* out,
                           std::uint32_t width, double milliseconds) {
  const std::uint32_t pixels_per_round = kSourceBytes / (2 * width) * width;
  // Rounds for about the requested time, found from a short first try.
  std::uint32_t rounds = 16;
  for (;;) {
    const auto start = std::chrono::steady_clock::now();
    ConvertBlock(path, source, out, width, rounds);
    const double elapsed =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count();
    if (elapsed > milliseconds / 20 || rounds > (1u << 24)) {
      rounds = static_cast<std::uint32_t>(rounds * (milliseconds / 5) / elapsed) + 1;
      break;
    }
    rounds *= 4;
  }
  double best = 1e30;
  for (int trial = 0; trial < 5; ++trial) {
    const auto start = std::chrono::steady_clock::now();
    ConvertBlock(path, source, out, width, rounds);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double per_pixel = seconds * 1e9 / (double(rounds) * pixels_per_round);
    if (per_pixel < best) best = per_pixel;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const double milliseconds = argc > 1 ? std::atof(argv[1]) : 200.0;
  std::vector<unsigned char> source(kSourceBytes);
  std::uint32_t state = 12345;
  for (unsigned char& byte : source) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<unsigned char>(state >> 16);
  }
  std::vector<unsigned char> out(kSourceBytes / 2 * 3 + 1);

  const std::uint32_t widths[] = {1024, 32, 32768, 333, 17, 3};
  std::printf("ns per pixel, best of 5 (%.0f ms each), source block in cache\n", milliseconds);
  std::printf("%-8s", "path");
  for (const std::uint32_t width : widths) std::printf(" %8s%-5u", "width ", width);
  std::printf("\n");
  for (const PixelPath path : kPixelPaths) {
    std::printf("%-8s", PixelPathName(path));
    for (const std::uint32_t width : widths) {
      if (PixelPathAvailable(path)) {
        std::printf(" %13.3f",
                    NanosecondsPerPixel(path, source.data(), out.data(), width, milliseconds));
      } else {
        std::printf(" %13s", "(no CPU)");
      }
    }
    std::printf("\n");
  }
  // Keeps the conversions from being optimised away.
  unsigned checksum = 0;
  for (const unsigned char byte : out) checksum += byte;
  std::printf("checksum %u\n", checksum);
  return 0;
}
