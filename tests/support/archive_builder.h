// Builds ZRQ archives in memory for tests: entries with names, types and
// payloads; payloads placed one after another or at explicit offsets (so that
// they can overlap or point anywhere); the directory behind the header or at
// the end; and any record field or byte overridden afterwards, so that a
// fixture can be damaged in exactly the way a test is about.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// The archive's layout, restated for the tests rather than taken from the
// code under test.
namespace zrq_layout {
inline constexpr std::uint32_t kHeaderBytes = 8;  // 4 never read, then the directory's offset
inline constexpr std::uint32_t kCountBytes = 4;   // the directory's entry count
inline constexpr std::uint32_t kRecordBytes = 80;
inline constexpr std::uint32_t kNameBytes = 64;         // a record's first field
inline constexpr std::uint32_t kFixedPrefixBytes = 72;  // types 2 and 4
inline constexpr std::uint32_t kSizedPrefixBytes = 76;  // type 5, width and height included
inline constexpr std::uint32_t kSizeFieldsBytes = 8;    // type 5's width and height
}  // namespace zrq_layout

struct TestEntry {
  std::string name;  // stored as is; 64 bytes or more are cut to 64 with no NUL
  std::uint32_t type = 3;
  Bytes payload;  // written into the archive unless `offset` is set
  // When set, the record points here and `payload` is not written; `size`
  // defaults to the payload's length.
  bool has_offset = false;
  std::uint32_t offset = 0;
  bool has_size = false;
  std::uint32_t size = 0;
  std::uint32_t unused = 0;  // record bytes 72-75, never interpreted
};

enum class DirectoryPlace { kAfterPayloads, kAfterHeader };

struct ArchiveLayout {
  std::vector<TestEntry> entries;
  DirectoryPlace directory = DirectoryPlace::kAfterPayloads;
  std::uint32_t header_unused = 0;  // header bytes 0-3, never interpreted
  bool has_entry_count = false;     // overrides the count written
  std::uint32_t entry_count = 0;
  bool has_directory_offset = false;  // overrides the header's pointer
  std::uint32_t directory_offset = 0;
};

// Where things landed, for tests that damage a built archive.
struct BuiltArchive {
  Bytes bytes;
  std::uint32_t directory_offset = 0;
  std::vector<std::uint32_t> payload_offsets;  // per entry, as stored in its record
  std::uint32_t RecordOffset(std::size_t index) const {
    return directory_offset + zrq_layout::kCountBytes +
           zrq_layout::kRecordBytes * static_cast<std::uint32_t>(index);
  }
};

BuiltArchive BuildArchive(const ArchiveLayout& layout);

// Little-endian writers for building payloads (tests/support has the reader).
void AppendLittleEndian32(Bytes& bytes, std::uint32_t value);
void AppendLittleEndian16(Bytes& bytes, std::uint16_t value);

// RGB565 pixel from 5-bit red, 6-bit green, 5-bit blue.
std::uint16_t Rgb565(unsigned red5, unsigned green6, unsigned blue5);

// Image payloads: `pixels` row by row from the top, `width` per row.
// Type 5: width, height, 68 prefix bytes (filled with `prefix_fill`), pixels.
Bytes SizedImagePayload(std::uint32_t width, std::uint32_t height,
                        const std::vector<std::uint16_t>& pixels, std::uint8_t prefix_fill = 0);
// Types 2 and 4: 72 prefix bytes (filled with `prefix_fill`), then pixels, 32 per row.
Bytes FixedWidthImagePayload(const std::vector<std::uint16_t>& pixels,
                             std::uint8_t prefix_fill = 0);

// The bitmap file the tool must write for an image of these pixels: headers,
// rows bottom-up, blue-green-red, padding. Computed independently of the tool.
Bytes ExpectedBitmap(std::uint32_t width, std::uint32_t height,
                     const std::vector<std::uint16_t>& pixels);
// Its 54 header bytes alone, for images too large to build whole.
Bytes BitmapHeaders(std::uint32_t width, std::uint32_t height);
// An image's size as the tool's messages and the tests' labels write it: "W x H".
std::string Shape(std::uint32_t width, std::uint32_t height);
// One RGB565 pixel as the bitmap stores it: blue, green, red.
void AppendBitmapPixel(Bytes& out, std::uint16_t pixel);

// Distinct, non-repeating test bytes.
Bytes PatternBytes(std::size_t length, std::uint32_t seed = 1);
// The bytes of `text`, without a NUL.
Bytes Text(const std::string& text);
// The same as RGB565 pixels.
std::vector<std::uint16_t> PatternPixels(std::size_t count, std::uint32_t seed = 1);

void WriteFileBytes(const std::string& path, const Bytes& bytes);
Bytes ReadFileBytes(const std::string& path);
