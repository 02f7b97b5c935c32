// Bitmaps as other programs write them, back into RGB565 rows.
//
// Taken: the 14-byte file header, then the 12-byte core header or an info
// header of 40 bytes or one of its successors (52, 56, 108 and 124 bytes;
// what they add beyond the bit fields, colour spaces and profiles, changes no
// pixel value and is not read); 8-bit palettes, 16-bit pixels (5-5-5 without
// bit fields, any masks with them), 24- and 32-bit pixels (any masks with bit
// fields); rows bottom-up or, with a negative height, top-down. Sizes,
// resolutions, colour counts of pixels without a palette and the image's
// byte count are not needed and not read. A 32-bit pixel's alpha is ignored:
// an entry has no alpha. Compressed bitmaps and pixels of fewer than 8 bits
// are refused, with the field that says so.
//
// The rows are read in blocks: as many whole rows as the block holds, in one
// read whichever way they lie in the file, or for wider rows the pieces of
// one; the file is never held whole.
#include <algorithm>
#include <cstring>

#include "archive/little_endian.h"
#include "writers/image_reader.h"

namespace {

constexpr std::uint32_t kFileHeaderBytes = 14;
constexpr std::uint32_t kCoreHeaderBytes = 12;
constexpr std::uint32_t kLargestHeaderBytes = 124;

std::uint32_t Load16(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8;
}

bool Refuse(ImageReader* reader, const char* field, std::int64_t value, const char* meaning) {
  reader->refusal.problem = ImageProblem::kUnsupported;
  reader->refusal.field = field;
  reader->refusal.value = value;
  reader->refusal.meaning = meaning;
  return false;
}

bool EndsInside(ImageReader* reader, const char* part) {
  reader->refusal.problem = ImageProblem::kEndsInside;
  reader->refusal.field = part;
  reader->refusal.file_bytes = reader->file_bytes;
  return false;
}

// Reads a part of the headers, which the caller checked the file holds.
bool ReadPart(ImageReader* reader, std::uint64_t position, unsigned char* bytes,
              std::uint32_t length, const char* part) {
  const ImageBytes read = ReadImageBytes(reader, position, bytes, length);
  if (read == ImageBytes::kShort) return EndsInside(reader, part);
  return read == ImageBytes::kRead;
}

const char* CompressionName(std::uint32_t compression) {
  switch (compression) {
    case 1: return "RLE8";
    case 2: return "RLE4";
    case 4: return "JPEG";
    case 5: return "PNG";
    case 11: return "CMYK";
    case 12: return "CMYK RLE8";
    case 13: return "CMYK RLE4";
    default: return "no compression zrq knows";
  }
}

const char* BitCountName(std::uint32_t bits) {
  switch (bits) {
    case 1: return "2 colours";
    case 2: return "4 colours";
    case 4: return "16 colours";
    default: return "no pixel size zrq knows";
  }
}

// Sets one channel's mask, or false when it is no contiguous run of bits.
bool TakeMask(ImageReader* reader, int channel, std::uint32_t mask) {
  if (mask == 0) return false;
  std::uint32_t shift = 0;
  while (((mask >> shift) & 1) == 0) ++shift;
  std::uint32_t bits = 0;
  while (shift + bits < 32 && ((mask >> (shift + bits)) & 1) != 0) ++bits;
  if (shift + bits < 32 && (mask >> (shift + bits)) != 0) return false;
  reader->channel_mask[channel] = mask;
  reader->channel_shift[channel] = shift;
  reader->channel_bits[channel] = bits;
  return true;
}

bool TakeMasks(ImageReader* reader, const std::uint32_t masks[3], std::uint32_t bits) {
  const std::uint32_t pixel_mask = bits == 32 ? 0xFFFFFFFFu : (1u << bits) - 1;
  bool usable =
      (masks[0] & masks[1]) == 0 && (masks[1] & masks[2]) == 0 && (masks[0] & masks[2]) == 0;
  for (int channel = 0; channel < 3 && usable; ++channel) {
    usable = (masks[channel] & ~pixel_mask) == 0 && TakeMask(reader, channel, masks[channel]);
  }
  if (usable) return true;
  reader->refusal.problem = ImageProblem::kBitFields;
  std::memcpy(reader->refusal.masks, masks, sizeof reader->refusal.masks);
  return false;
}

// Reads the palette of `colours` entries of `entry_bytes` (blue, green, red[, unused]).
bool TakePalette(ImageReader* reader, std::uint64_t start, std::uint32_t colours,
                 std::uint32_t entry_bytes) {
  if (!ReadPart(reader, start, reader->source, colours * entry_bytes, "palette")) return false;
  reader->colours = colours;
  for (std::uint32_t i = 0; i < colours; ++i) {
    const unsigned char* entry = reader->source + std::size_t{i} * entry_bytes;
    bool rounded = false;
    reader->palette[i] = Rgb565FromRgb(entry[2], entry[1], entry[0], &rounded);
    reader->palette_rounded[i] = rounded;
  }
  return true;
}

// a * b + c, or the largest value where that does not fit.
std::uint64_t SaturatingMultiplyAdd(std::uint64_t a, std::uint64_t b, std::uint64_t c) {
  if (a != 0 && b > (UINT64_MAX - c) / a) return UINT64_MAX;
  return a * b + c;
}

}  // namespace

bool OpenBitmap(ImageReader* reader) {
  const std::uint64_t file_bytes = reader->file_bytes;
  unsigned char start[kFileHeaderBytes + 4];
  if (file_bytes < kFileHeaderBytes) return EndsInside(reader, "file header");
  if (file_bytes < sizeof start) return EndsInside(reader, "info header");
  if (!ReadPart(reader, 0, start, sizeof start, "info header")) return false;
  const std::uint32_t pixel_offset = LoadLittleEndian32(start + 10);  // bfOffBits
  const std::uint32_t header_bytes = LoadLittleEndian32(start + 14);  // biSize
  const bool core = header_bytes == kCoreHeaderBytes;
  if (!core && header_bytes != 40 && header_bytes != 52 && header_bytes != 56 &&
      header_bytes != 108 && header_bytes != kLargestHeaderBytes) {
    return Refuse(reader, "biSize", header_bytes, "no header zrq knows");
  }
  if (file_bytes < kFileHeaderBytes + header_bytes) return EndsInside(reader, "info header");
  unsigned char header[kLargestHeaderBytes];
  if (!ReadPart(reader, kFileHeaderBytes, header, header_bytes, "info header")) return false;

  std::int64_t width = 0;
  std::int64_t height = 0;
  std::uint32_t planes = 0;
  std::uint32_t bits = 0;
  std::uint32_t compression = 0;
  std::uint32_t colours_used = 0;
  if (core) {
    width = Load16(header + 4);
    height = Load16(header + 6);
    planes = Load16(header + 8);
    bits = Load16(header + 10);
  } else {
    width = static_cast<std::int32_t>(LoadLittleEndian32(header + 4));
    height = static_cast<std::int32_t>(LoadLittleEndian32(header + 8));
    planes = Load16(header + 12);
    bits = Load16(header + 14);
    compression = LoadLittleEndian32(header + 16);
    colours_used = LoadLittleEndian32(header + 32);
  }
  if (planes != 1) return Refuse(reader, core ? "bcPlanes" : "biPlanes", planes, "not 1");
  if (width < 0) return Refuse(reader, "biWidth", width, "negative");
  if (height == INT32_MIN) return Refuse(reader, "biHeight", height, "no row count");
  reader->top_down = height < 0;
  if (height < 0) height = -height;
  const bool known_bits = bits == 8 || bits == 24 || (!core && (bits == 16 || bits == 32));
  if (!known_bits)
    return Refuse(reader, core ? "bcBitCount" : "biBitCount", bits, BitCountName(bits));

  // Where the headers end: the info header, the masks behind a 40-byte one, the palette.
  std::uint64_t headers_end = kFileHeaderBytes + header_bytes;
  const bool bit_fields = compression == 3 || compression == 6;
  if (compression != 0 && !bit_fields) {
    return Refuse(reader, "biCompression", compression, CompressionName(compression));
  }
  if (bit_fields && bits != 16 && bits != 32) {
    return Refuse(reader, "biCompression", compression,
                  "bit fields on pixels not of 16 or 32 bits");
  }
  if (bits == 8) {
    const std::uint32_t colours = core || colours_used == 0 ? 256 : colours_used;
    if (colours > 256) {
      return Refuse(reader, "biClrUsed", colours_used, "more colours than 8 bits can index");
    }
    const std::uint32_t entry_bytes = core ? 3 : 4;
    if (file_bytes < headers_end + std::uint64_t{colours} * entry_bytes)
      return EndsInside(reader, "palette");
    if (!TakePalette(reader, headers_end, colours, entry_bytes)) return false;
    headers_end += std::uint64_t{colours} * entry_bytes;
  } else {
    std::uint32_t masks[3] = {0xFF0000u, 0xFF00u, 0xFFu};
    if (bits == 16) {
      masks[0] = 0x7C00u;
      masks[1] = 0x03E0u;
      masks[2] = 0x001Fu;
    }
    if (bit_fields) {
      unsigned char stored[16];
      const unsigned char* fields = header + 40;
      if (header_bytes == 40) {
        const std::uint32_t field_bytes = compression == 6 ? 16 : 12;
        if (file_bytes < headers_end + field_bytes) return EndsInside(reader, "bit fields");
        if (!ReadPart(reader, headers_end, stored, field_bytes, "bit fields")) return false;
        headers_end += field_bytes;
        fields = stored;
      }
      for (int channel = 0; channel < 3; ++channel) {
        masks[channel] = LoadLittleEndian32(fields + std::ptrdiff_t{4} * channel);
      }
    }
    if (!TakeMasks(reader, masks, bits)) return false;
  }

  if (pixel_offset > file_bytes) {
    reader->refusal.problem = ImageProblem::kOffsetPastEnd;
    reader->refusal.field = "bfOffBits";
    reader->refusal.value = pixel_offset;
    reader->refusal.file_bytes = file_bytes;
    return false;
  }
  if (pixel_offset < headers_end) {
    return Refuse(reader, "bfOffBits", pixel_offset, "inside the headers");
  }

  const std::uint64_t pixel_bytes = bits / 8;
  const std::uint64_t row_bytes = pixel_bytes * static_cast<std::uint64_t>(width);
  const std::uint64_t stride = (row_bytes + 3) / 4 * 4;
  if (width > 0 && height > 0) {
    const std::uint64_t needed =
        SaturatingMultiplyAdd(stride, static_cast<std::uint64_t>(height - 1), row_bytes);
    if (needed > file_bytes - pixel_offset) {
      reader->refusal.problem = ImageProblem::kRowsPastEnd;
      reader->refusal.width = static_cast<std::uint32_t>(width);
      reader->refusal.height = static_cast<std::uint32_t>(height);
      reader->refusal.bits = bits;
      reader->refusal.needed = needed;
      reader->refusal.offset = pixel_offset;
      reader->refusal.file_bytes = file_bytes;
      return false;
    }
  }
  const std::uint64_t payload =
      ImagePayloadBytes(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height));
  if (payload > UINT32_MAX) {
    reader->refusal.problem = ImageProblem::kTooLarge;
    reader->refusal.width = static_cast<std::uint32_t>(width);
    reader->refusal.height = static_cast<std::uint32_t>(height);
    reader->refusal.needed = payload;
    return false;
  }
  reader->width = static_cast<std::uint32_t>(width);
  reader->height = static_cast<std::uint32_t>(height);
  reader->pixel_offset = pixel_offset;
  reader->stride = stride;
  reader->pixel_bytes = bits / 8;
  reader->blue_green_red = bits >= 24 && reader->channel_mask[0] == 0xFF0000u &&
                           reader->channel_mask[1] == 0xFF00u && reader->channel_mask[2] == 0xFFu;
  return true;
}

namespace {

// Brings the file's bytes [start, end) of row `row` into the block, with as
// many of the rows after it as fit, when the block does not hold them yet.
bool Hold(ImageReader* reader, std::uint32_t row, std::uint64_t row_start, std::uint64_t start,
          std::uint64_t end) {
  if (start >= reader->held_start && end <= reader->held_end) return true;
  const std::uint64_t row_bytes = std::uint64_t{reader->pixel_bytes} * reader->width;
  std::uint64_t first = start;
  std::uint64_t last = end;
  if (row_bytes <= kImageSourceBytes) {
    std::uint64_t rows = 1 + (kImageSourceBytes - row_bytes) / reader->stride;
    if (rows > reader->height - row) rows = reader->height - row;
    // The rows after this one lie above it in the file when it is top-down, below otherwise.
    if (reader->top_down) {
      first = row_start;
      last = row_start + (rows - 1) * reader->stride + row_bytes;
    } else {
      first = row_start - (rows - 1) * reader->stride;
      last = row_start + row_bytes;
    }
  }
  reader->held_start = 0;
  reader->held_end = 0;
  const ImageBytes read =
      ReadImageBytes(reader, first, reader->source, static_cast<std::uint32_t>(last - first));
  if (read == ImageBytes::kShort) reader->refusal.problem = ImageProblem::kChanged;
  if (read != ImageBytes::kRead) return false;
  reader->held_start = first;
  reader->held_end = last;
  return true;
}

// Each 8-bit channel's nearest 16-bit field, in place in the RGB565 word, as
// NarrowChannel rounds it (ties up, the top clamped): three small tables
// turn a pixel into one word with three loads rather than three roundings.
struct ChannelTables {
  std::uint16_t red[256];
  std::uint16_t green[256];
  std::uint16_t blue[256];
};

constexpr ChannelTables MakeChannelTables() {
  ChannelTables tables{};
  for (std::uint32_t v = 0; v < 256; ++v) {
    const std::uint32_t five = (v + 4) >> 3 < 31 ? (v + 4) >> 3 : 31;
    const std::uint32_t six = (v + 2) >> 2 < 63 ? (v + 2) >> 2 : 63;
    tables.red[v] = static_cast<std::uint16_t>(five << 11);
    tables.green[v] = static_cast<std::uint16_t>(six << 5);
    tables.blue[v] = static_cast<std::uint16_t>(five);
  }
  return tables;
}

constexpr ChannelTables kChannelTables = MakeChannelTables();

// The common case, and unzrq's own bitmaps: blue, green and red bytes (and,
// for 4-byte pixels, one ignored), as the channel masks would read them,
// without masks. The pixel's width is a constant of each instance, so that
// the loop is a plain walk. Returns the pixels rounded.
template <std::uint32_t kPixelBytes>
std::uint32_t ConvertBlueGreenRedOf(const unsigned char* from, std::uint32_t pixels,
                                    unsigned char* out) {
  std::uint32_t rounded = 0;
  for (std::uint32_t i = 0; i < pixels; ++i) {
    const unsigned char* bytes = from + std::size_t{i} * kPixelBytes;
    const unsigned blue = bytes[0];
    const unsigned green = bytes[1];
    const unsigned red = bytes[2];
    rounded += ((blue & 7) | (green & 3) | (red & 7)) != 0 ? 1 : 0;
    StoreLittleEndian16(
        out + std::size_t{2} * i,
        static_cast<std::uint16_t>(kChannelTables.red[red] | kChannelTables.green[green] |
                                   kChannelTables.blue[blue]));
  }
  return rounded;
}

std::uint32_t ConvertBlueGreenRed(const unsigned char* from, std::uint32_t pixel_bytes,
                                  std::uint32_t pixels, unsigned char* out) {
  return pixel_bytes == 3 ? ConvertBlueGreenRedOf<3>(from, pixels, out)
                          : ConvertBlueGreenRedOf<4>(from, pixels, out);
}

}  // namespace

bool ReadBitmapPixels(ImageReader* reader, std::uint32_t* count) {
  std::uint32_t done = 0;
  const std::uint32_t pixel_bytes = reader->pixel_bytes;
  while (done < kImagePiecePixels && reader->next_row < reader->height) {
    const std::uint32_t row = reader->next_row;
    const std::uint32_t column = reader->next_column;
    std::uint32_t pixels = reader->width - column;
    if (pixels > kImagePiecePixels - done) pixels = kImagePiecePixels - done;
    const std::uint64_t row_in_file = reader->top_down ? row : reader->height - 1ull - row;
    const std::uint64_t row_start = reader->pixel_offset + row_in_file * reader->stride;
    const std::uint64_t start = row_start + std::uint64_t{column} * pixel_bytes;
    if (!Hold(reader, row, row_start, start, start + std::uint64_t{pixels} * pixel_bytes)) {
      return false;
    }
    const unsigned char* from = reader->source + (start - reader->held_start);
    unsigned char* out = reader->pixels + std::size_t{2} * done;
    if (pixel_bytes == 1) {
      for (std::uint32_t i = 0; i < pixels; ++i) {
        const std::uint32_t index = from[i];
        if (index >= reader->colours) {
          reader->refusal.problem = ImageProblem::kPaletteIndex;
          reader->refusal.row = row;
          reader->refusal.column = column + i;
          reader->refusal.value = index;
          reader->refusal.colours = reader->colours;
          return false;
        }
        StoreLittleEndian16(out + std::size_t{2} * i, reader->palette[index]);
        reader->rounded += reader->palette_rounded[index] ? 1 : 0;
      }
    } else if (reader->blue_green_red) {
      reader->rounded += ConvertBlueGreenRed(from, pixel_bytes, pixels, out);
    } else {
      for (std::uint32_t i = 0; i < pixels; ++i) {
        const unsigned char* bytes = from + std::size_t{i} * pixel_bytes;
        std::uint32_t value = 0;
        for (std::uint32_t b = 0; b < pixel_bytes; ++b) value |= std::uint32_t{bytes[b]} << (8 * b);
        bool rounded = false;
        std::uint32_t channels[3];
        for (int c = 0; c < 3; ++c) {
          channels[c] = NarrowChannel((value & reader->channel_mask[c]) >> reader->channel_shift[c],
                                      reader->channel_bits[c], c == 1 ? 6 : 5, &rounded);
        }
        StoreLittleEndian16(
            out + std::size_t{2} * i,
            static_cast<std::uint16_t>(channels[0] << 11 | channels[1] << 5 | channels[2]));
        reader->rounded += rounded ? 1 : 0;
      }
    }
    done += pixels;
    PassPixels(reader, pixels);
  }
  *count = done;
  return true;
}
