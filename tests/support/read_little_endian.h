// The tests' one reader of little-endian numbers, written out here rather
// than taken from the product, so that a test never checks the format's
// byte order with the code it checks.
#pragma once

#include <cstdint>

// The `count` bytes (1 to 4) at `bytes` as an unsigned number, lowest first.
inline std::uint32_t ReadLittleEndian(const std::uint8_t* bytes, int count) {
  std::uint32_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}
