#include "archive_builder.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "tests/support/read_little_endian.h"

void AppendLittleEndian32(Bytes& bytes, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8)
    bytes.push_back(static_cast<std::uint8_t>(value >> shift));
}

void AppendLittleEndian16(Bytes& bytes, std::uint16_t value) {
  bytes.push_back(static_cast<std::uint8_t>(value));
  bytes.push_back(static_cast<std::uint8_t>(value >> 8));
}

namespace {

void PutLittleEndian32(Bytes& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes.at(at + i) = static_cast<std::uint8_t>(value >> (8 * i));
}

void AppendRecord(Bytes& out, const TestEntry& entry, std::uint32_t offset) {
  // The name field has no terminator of its own: a name of full width fills it.
  std::uint8_t name[zrq_layout::kNameBytes] = {};
  std::copy_n(entry.name.data(), std::min<std::size_t>(entry.name.size(), zrq_layout::kNameBytes),
              name);
  out.insert(out.end(), name, name + zrq_layout::kNameBytes);
  AppendLittleEndian32(out, offset);
  AppendLittleEndian32(
      out, entry.has_size ? entry.size : static_cast<std::uint32_t>(entry.payload.size()));
  AppendLittleEndian32(out, entry.unused);
  AppendLittleEndian32(out, entry.type);
}

}  // namespace

BuiltArchive BuildArchive(const ArchiveLayout& layout) {
  BuiltArchive built;
  Bytes& out = built.bytes;
  out.assign(zrq_layout::kHeaderBytes, 0);
  PutLittleEndian32(out, 0, layout.header_unused);
  const std::uint32_t count = layout.has_entry_count
                                  ? layout.entry_count
                                  : static_cast<std::uint32_t>(layout.entries.size());
  const std::uint32_t directory_bytes =
      zrq_layout::kCountBytes +
      zrq_layout::kRecordBytes * static_cast<std::uint32_t>(layout.entries.size());

  std::uint32_t next_payload = zrq_layout::kHeaderBytes;
  if (layout.directory == DirectoryPlace::kAfterHeader) next_payload += directory_bytes;
  Bytes payloads;
  for (const TestEntry& entry : layout.entries) {
    if (entry.has_offset) {
      built.payload_offsets.push_back(entry.offset);
      continue;
    }
    built.payload_offsets.push_back(next_payload + static_cast<std::uint32_t>(payloads.size()));
    payloads.insert(payloads.end(), entry.payload.begin(), entry.payload.end());
  }

  Bytes directory;
  AppendLittleEndian32(directory, count);
  for (std::size_t i = 0; i < layout.entries.size(); ++i)
    AppendRecord(directory, layout.entries[i], built.payload_offsets[i]);

  if (layout.directory == DirectoryPlace::kAfterHeader) {
    built.directory_offset = zrq_layout::kHeaderBytes;
    out.insert(out.end(), directory.begin(), directory.end());
    out.insert(out.end(), payloads.begin(), payloads.end());
  } else {
    out.insert(out.end(), payloads.begin(), payloads.end());
    built.directory_offset = static_cast<std::uint32_t>(out.size());
    out.insert(out.end(), directory.begin(), directory.end());
  }
  PutLittleEndian32(out, 4,
                    layout.has_directory_offset ? layout.directory_offset : built.directory_offset);
  return built;
}

std::uint16_t Rgb565(unsigned red5, unsigned green6, unsigned blue5) {
  return static_cast<std::uint16_t>((red5 & 0x1F) << 11 | (green6 & 0x3F) << 5 | (blue5 & 0x1F));
}

Bytes SizedImagePayload(std::uint32_t width, std::uint32_t height,
                        const std::vector<std::uint16_t>& pixels, std::uint8_t prefix_fill) {
  Bytes out;
  AppendLittleEndian32(out, width);
  AppendLittleEndian32(out, height);
  out.insert(out.end(), zrq_layout::kSizedPrefixBytes - zrq_layout::kSizeFieldsBytes, prefix_fill);
  for (std::uint16_t pixel : pixels) AppendLittleEndian16(out, pixel);
  return out;
}

Bytes FixedWidthImagePayload(const std::vector<std::uint16_t>& pixels, std::uint8_t prefix_fill) {
  Bytes out(zrq_layout::kFixedPrefixBytes, prefix_fill);
  for (std::uint16_t pixel : pixels) AppendLittleEndian16(out, pixel);
  return out;
}

Bytes BitmapHeaders(std::uint32_t width, std::uint32_t height) {
  Bytes out = {'B', 'M'};
  AppendLittleEndian32(out, 0);  // bfSize
  AppendLittleEndian16(out, 0);
  AppendLittleEndian16(out, 0);
  for (std::uint32_t value : {54u, 40u, width, height}) AppendLittleEndian32(out, value);
  AppendLittleEndian16(out, 1);
  AppendLittleEndian16(out, 24);
  for (std::uint32_t value : {0u, 0u, 1000u, 1000u, 0u, 0u}) AppendLittleEndian32(out, value);
  return out;
}

std::string Shape(std::uint32_t width, std::uint32_t height) {
  return std::to_string(width) + " x " + std::to_string(height);
}

void AppendBitmapPixel(Bytes& out, std::uint16_t pixel) {
  out.push_back(static_cast<std::uint8_t>((pixel & 0x1F) * 8));
  out.push_back(static_cast<std::uint8_t>(((pixel >> 5) & 0x3F) * 4));
  out.push_back(static_cast<std::uint8_t>((pixel >> 11) * 8));
}

Bytes ExpectedBitmap(std::uint32_t width, std::uint32_t height,
                     const std::vector<std::uint16_t>& pixels) {
  Bytes out = BitmapHeaders(width, height);
  for (std::uint32_t row = height; row-- > 0;) {
    for (std::uint32_t column = 0; column < width; ++column) {
      const std::size_t index = static_cast<std::size_t>(row) * width + column;
      AppendBitmapPixel(out, index < pixels.size() ? pixels[index] : 0);
    }
    out.insert(out.end(), width % 4, 0);
  }
  return out;
}

Bytes PatternBytes(std::size_t length, std::uint32_t seed) {
  Bytes out(length);
  std::uint32_t state = seed * 2654435761u + 1;
  for (std::uint8_t& byte : out) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<std::uint8_t>(state >> 16);
  }
  return out;
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::vector<std::uint16_t> PatternPixels(std::size_t count, std::uint32_t seed) {
  const Bytes noise = PatternBytes(2 * count, seed);
  std::vector<std::uint16_t> pixels(count);
  for (std::size_t i = 0; i < count; ++i) {
    pixels[i] = static_cast<std::uint16_t>(ReadLittleEndian(&noise[2 * i], 2));
  }
  return pixels;
}

void WriteFileBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  if (!file) throw std::runtime_error("cannot write " + path);
}

Bytes ReadFileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}
