// RGB565 pixels to the blue, green, red bytes of a 24-bit bitmap.
//
// Each channel is widened by a plain shift with the low bits zero: 5-bit blue
// and red become 0-248, 6-bit green 0-252. The conversion has a portable path
// and, on x86, vector paths that the CPU is asked for at run time; all of them
// write the same bytes.
#pragma once

#include <cstdint>

// The ways of doing it, for tests and the benchmark to call one by one.
enum class PixelPath { kScalar, kSsse3, kAvx2 };
inline constexpr PixelPath kPixelPaths[] = {PixelPath::kScalar, PixelPath::kSsse3,
                                            PixelPath::kAvx2};

const char* PixelPathName(PixelPath path);

// True when this build has the path and this CPU can run it.
bool PixelPathAvailable(PixelPath path);

// The fastest path this build and this CPU have.
PixelPath FastestPixelPath();

// Converts `count` pixels of 2 little-endian bytes each, starting at
// `source`, into 3 * `count` bytes at `out`, on the given path, which must be
// available. One byte behind those may be written too (the spare byte): the
// caller must own it, and its value is unspecified, so whatever comes next
// (the next pixels or the row's padding) is written after this call. The
// caller asks FastestPixelPath once, not for every row.
void ExpandPixelsOn(PixelPath path, const unsigned char* source, std::uint32_t count,
                    unsigned char* out);
