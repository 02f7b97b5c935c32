// The pixel conversion is nearly all of an image's CPU time, so besides the
// portable loop there are vector versions for x86, compiled for their
// instruction sets alone (GCC target attributes) and chosen per call from what
// the CPU reports, so one binary runs on any x86 and uses what it finds.
//
// The vector versions work in 16-bit lanes, one pixel each:
//   blue | green << 8 = (pixel << 3) & 0x00F8 | (pixel << 5) & 0xFC00
//   red              = (pixel >> 8) & 0x00F8
// Interleaving those two words gives 4 bytes per pixel (blue, green, red, 0);
// a byte shuffle drops every fourth byte, so four pixels make 12 bytes at the
// bottom of a 16-byte register. Each 16-byte store is followed by the next
// one 12 bytes further on, which overwrites its 4 surplus bytes. The last
// group of a call is stored exactly (8 + 4 bytes) so that nothing beyond the
// spare byte is ever touched, and it may overlap groups already written:
// converting a pixel twice writes the same bytes.
//
// All loads and stores are unaligned and nothing is kept on the stack: the
// 32-bit Windows stack is only 4-byte aligned.
#include "writers/expand_pixels.h"

#include <cstring>

#include "archive/little_endian.h"

#if defined(__x86_64__) || defined(__i386__)
#define UNZRQ_X86_PIXEL_PATHS 1
#include <immintrin.h>
#endif

namespace {

// One pixel at a time: a 4-byte word per pixel whose top byte the next pixel
// (or the spare byte) takes.
void ExpandPixelsScalar(const unsigned char* source, std::uint32_t count, unsigned char* out) {
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

#ifdef UNZRQ_X86_PIXEL_PATHS

#define UNZRQ_SSSE3 __attribute__((target("ssse3"), always_inline)) inline
#define UNZRQ_AVX2 __attribute__((target("avx2"), always_inline)) inline

// Byte indices that keep blue, green, red of each 4-byte pixel and move them
// together at the register's bottom; the top 4 bytes become zero.
#define UNZRQ_DROP_FOURTH_BYTE 0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -128, -128, -128, -128

// Eight pixels as two registers of four pixels' 12 bytes each.
struct Expanded128 {
  __m128i first;
  __m128i second;
};

UNZRQ_SSSE3 Expanded128 Expand8(const unsigned char* source) {
  const __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source));
  const __m128i blue = _mm_and_si128(_mm_slli_epi16(pixels, 3), _mm_set1_epi16(0x00F8));
  const __m128i green =
      _mm_and_si128(_mm_slli_epi16(pixels, 5), _mm_set1_epi16(static_cast<short>(0xFC00)));
  const __m128i red = _mm_and_si128(_mm_srli_epi16(pixels, 8), _mm_set1_epi16(0x00F8));
  const __m128i blue_green = _mm_or_si128(blue, green);
  const __m128i drop_fourth = _mm_setr_epi8(UNZRQ_DROP_FOURTH_BYTE);
  return {_mm_shuffle_epi8(_mm_unpacklo_epi16(blue_green, red), drop_fourth),
          _mm_shuffle_epi8(_mm_unpackhi_epi16(blue_green, red), drop_fourth)};
}

// The 12 bytes at the bottom of `twelve`, and not one more.
UNZRQ_SSSE3 void Store12(unsigned char* out, __m128i twelve) {
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), twelve);
  const std::int32_t last_four = _mm_cvtsi128_si32(_mm_srli_si128(twelve, 8));
  std::memcpy(out + 8, &last_four, 4);
}

// 24 bytes out; 4 more are written behind them.
UNZRQ_SSSE3 void Expand8Overrunning(const unsigned char* source, unsigned char* out) {
  const Expanded128 expanded = Expand8(source);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), expanded.first);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 12), expanded.second);
}

UNZRQ_SSSE3 void Expand8Exactly(const unsigned char* source, unsigned char* out) {
  const Expanded128 expanded = Expand8(source);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), expanded.first);
  Store12(out + 12, expanded.second);
}

__attribute__((target("ssse3"))) void ExpandPixelsSsse3(const unsigned char* source,
                                                        std::uint32_t count, unsigned char* out) {
  if (count < 8) {
    ExpandPixelsScalar(source, count, out);
    return;
  }
  // While more than 8 pixels remain, the 4 bytes written past a group fall
  // on the next pixel's 3 bytes and the spare byte behind them at the latest.
  const unsigned char* const last_group = source + std::size_t{2} * (count - 8);
  unsigned char* const last_out = out + std::size_t{3} * (count - 8);
  for (; source < last_group; source += std::size_t{2} * 8, out += std::size_t{3} * 8) {
    Expand8Overrunning(source, out);
  }
  Expand8Exactly(last_group, last_out);
}

// Sixteen pixels: each 128-bit half of the registers works as Expand8 does,
// the low half on pixels 0-7 and the high half on pixels 8-15.
struct Expanded256 {
  __m256i first;   // pixels 0-3 | pixels 8-11
  __m256i second;  // pixels 4-7 | pixels 12-15
};

UNZRQ_AVX2 Expanded256 Expand16(const unsigned char* source) {
  const __m256i pixels = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source));
  const __m256i blue = _mm256_and_si256(_mm256_slli_epi16(pixels, 3), _mm256_set1_epi16(0x00F8));
  const __m256i green =
      _mm256_and_si256(_mm256_slli_epi16(pixels, 5), _mm256_set1_epi16(static_cast<short>(0xFC00)));
  const __m256i red = _mm256_and_si256(_mm256_srli_epi16(pixels, 8), _mm256_set1_epi16(0x00F8));
  const __m256i blue_green = _mm256_or_si256(blue, green);
  const __m256i drop_fourth = _mm256_setr_epi8(UNZRQ_DROP_FOURTH_BYTE, UNZRQ_DROP_FOURTH_BYTE);
  return {_mm256_shuffle_epi8(_mm256_unpacklo_epi16(blue_green, red), drop_fourth),
          _mm256_shuffle_epi8(_mm256_unpackhi_epi16(blue_green, red), drop_fourth)};
}

// 48 bytes out; 4 more are written behind them.
UNZRQ_AVX2 void Expand16Overrunning(const unsigned char* source, unsigned char* out) {
  const Expanded256 expanded = Expand16(source);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(expanded.first));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 12), _mm256_castsi256_si128(expanded.second));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 24),
                   _mm256_extracti128_si256(expanded.first, 1));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 36),
                   _mm256_extracti128_si256(expanded.second, 1));
}

UNZRQ_AVX2 void Expand16Exactly(const unsigned char* source, unsigned char* out) {
  const Expanded256 expanded = Expand16(source);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(expanded.first));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 12), _mm256_castsi256_si128(expanded.second));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 24),
                   _mm256_extracti128_si256(expanded.first, 1));
  Store12(out + 36, _mm256_extracti128_si256(expanded.second, 1));
}

__attribute__((target("avx2"))) void ExpandPixelsAvx2(const unsigned char* source,
                                                      std::uint32_t count, unsigned char* out) {
  if (count < 16) {
    ExpandPixelsSsse3(source, count, out);
    return;
  }
  const unsigned char* const last_group = source + std::size_t{2} * (count - 16);
  unsigned char* const last_out = out + std::size_t{3} * (count - 16);
  for (; source < last_group; source += std::size_t{2} * 16, out += std::size_t{3} * 16) {
    Expand16Overrunning(source, out);
  }
  Expand16Exactly(last_group, last_out);
}

#endif  // UNZRQ_X86_PIXEL_PATHS

}  // namespace

const char* PixelPathName(PixelPath path) {
  switch (path) {
    case PixelPath::kScalar: return "scalar";
    case PixelPath::kSsse3: return "ssse3";
    case PixelPath::kAvx2: return "avx2";
  }
  return "?";
}

bool PixelPathAvailable(PixelPath path) {
#ifdef UNZRQ_X86_PIXEL_PATHS
  // The compiler's runtime asks the CPU once (for AVX2 also whether the
  // system saves the wide registers); later calls return at once.
  __builtin_cpu_init();
#endif
  switch (path) {
    case PixelPath::kScalar: return true;
#ifdef UNZRQ_X86_PIXEL_PATHS
    case PixelPath::kSsse3: return __builtin_cpu_supports("ssse3");
    case PixelPath::kAvx2: return __builtin_cpu_supports("avx2");
#else
    case PixelPath::kSsse3:
    case PixelPath::kAvx2: return false;
#endif
  }
  return false;
}

void ExpandPixelsOn(PixelPath path, const unsigned char* source, std::uint32_t count,
                    unsigned char* out) {
  switch (path) {
#ifdef UNZRQ_X86_PIXEL_PATHS
    case PixelPath::kAvx2: ExpandPixelsAvx2(source, count, out); return;
    case PixelPath::kSsse3: ExpandPixelsSsse3(source, count, out); return;
#else
    case PixelPath::kAvx2:
    case PixelPath::kSsse3:
#endif
    case PixelPath::kScalar: ExpandPixelsScalar(source, count, out); return;
  }
}

PixelPath FastestPixelPath() {
  return PixelPathAvailable(PixelPath::kAvx2)    ? PixelPath::kAvx2
         : PixelPathAvailable(PixelPath::kSsse3) ? PixelPath::kSsse3
                                                 : PixelPath::kScalar;
}

