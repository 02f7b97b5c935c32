// Integers in the archive and in bitmap headers are little-endian whatever the
// host; they are assembled byte by byte, never by reinterpreting memory.
#pragma once

#include <cstdint>

inline std::uint32_t LoadLittleEndian32(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

inline void StoreLittleEndian16(unsigned char* bytes, std::uint16_t value) {
  bytes[0] = static_cast<unsigned char>(value);
  bytes[1] = static_cast<unsigned char>(value >> 8);
}

inline void StoreLittleEndian32(unsigned char* bytes, std::uint32_t value) {
  bytes[0] = static_cast<unsigned char>(value);
  bytes[1] = static_cast<unsigned char>(value >> 8);
  bytes[2] = static_cast<unsigned char>(value >> 16);
  bytes[3] = static_cast<unsigned char>(value >> 24);
}
