// Bitmaps and PNG files as other programs write them, read back into the
// RGB565 rows of a sized-image entry over real files: each variant of the
// formats taken, the rounding to 16-bit colour and its count, unzrq's own
// bitmaps bit for bit, and each refusal with the field and value it names.
// The files are built byte by byte here, not by the code under test.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "owned_handle.h"
#include "tests/support/scratch_dir.h"
#include "writer_run.h"
#include "writers/image_reader.h"

namespace {

// --- building files ------------------------------------------------------

void Put16(Bytes& bytes, std::size_t at, std::uint32_t value) {
  bytes[at] = static_cast<std::uint8_t>(value);
  bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

void Put32(Bytes& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

struct BitmapLayout {
  std::uint32_t header_bytes = 40;  // 12, 40, 52, 56, 108, 124
  std::int32_t width = 0;
  std::int32_t height = 0;  // negative: rows top-down
  std::uint32_t bits = 24;
  std::uint32_t compression = 0;
  std::vector<std::uint32_t> masks;    // in the header (52 bytes and up) or after a 40-byte one
  std::vector<std::uint32_t> palette;  // 0xRRGGBB
  std::uint32_t colours_used = 0;
  std::uint32_t planes = 1;
  std::vector<std::uint32_t> pixels;  // each pixel's stored value, top row first
  std::uint8_t padding_fill = 0;      // what other programs may leave in the padding
  std::int64_t pixel_offset = -1;     // bfOffBits when not where the rows start
};

BitmapLayout Bitmap(std::int32_t width, std::int32_t height, std::uint32_t bits) {
  BitmapLayout layout;
  layout.width = width;
  layout.height = height;
  layout.bits = bits;
  return layout;
}

// The bitmap with every field filled in as a paint program would: file
// length, image length, a resolution of 72 dots per inch.
Bytes BuildBitmap(const BitmapLayout& layout) {
  const bool core = layout.header_bytes == 12;
  Bytes file(14 + layout.header_bytes, 0);
  file[0] = 'B';
  file[1] = 'M';
  Put32(file, 14, layout.header_bytes);
  if (core) {
    Put16(file, 18, static_cast<std::uint32_t>(layout.width));
    Put16(file, 20, static_cast<std::uint32_t>(layout.height));
    Put16(file, 22, layout.planes);
    Put16(file, 24, layout.bits);
  } else {
    Put32(file, 18, static_cast<std::uint32_t>(layout.width));
    Put32(file, 22, static_cast<std::uint32_t>(layout.height));
    Put16(file, 26, layout.planes);
    Put16(file, 28, layout.bits);
    Put32(file, 30, layout.compression);
    Put32(file, 38, 2835);
    Put32(file, 42, 2835);
    Put32(file, 46, layout.colours_used);
    if (layout.header_bytes >= 52) {
      for (std::size_t i = 0; i < layout.masks.size() && i < 4; ++i) {
        if (14 + 40 + 4 * i + 4 <= file.size()) Put32(file, 14 + 40 + 4 * i, layout.masks[i]);
      }
    } else {
      for (std::uint32_t mask : layout.masks) AppendLittleEndian32(file, mask);
    }
  }
  for (std::uint32_t colour : layout.palette) {
    file.push_back(static_cast<std::uint8_t>(colour));
    file.push_back(static_cast<std::uint8_t>(colour >> 8));
    file.push_back(static_cast<std::uint8_t>(colour >> 16));
    if (!core) file.push_back(0);
  }
  const std::size_t rows_at = file.size();
  const std::uint32_t width = static_cast<std::uint32_t>(layout.width);
  const std::uint32_t height =
      static_cast<std::uint32_t>(layout.height < 0 ? -layout.height : layout.height);
  const std::size_t pixel_bytes = layout.bits / 8;
  const std::size_t stride = (pixel_bytes * width + 3) / 4 * 4;
  for (std::uint32_t stored = 0; stored < height; ++stored) {
    const std::uint32_t row = layout.height < 0 ? stored : height - 1 - stored;
    for (std::uint32_t column = 0; column < width; ++column) {
      const std::uint32_t value = layout.pixels.at(std::size_t{row} * width + column);
      for (std::size_t b = 0; b < pixel_bytes; ++b) {
        file.push_back(static_cast<std::uint8_t>(value >> (8 * b)));
      }
    }
    for (std::size_t b = pixel_bytes * width; b < stride; ++b) file.push_back(layout.padding_fill);
  }
  Put32(file, 2, static_cast<std::uint32_t>(file.size()));
  Put32(file, 10,
        static_cast<std::uint32_t>(layout.pixel_offset >= 0 ? layout.pixel_offset : rows_at));
  if (!core) Put32(file, 34, static_cast<std::uint32_t>(file.size() - rows_at));
  return file;
}

std::uint32_t Crc32(const std::uint8_t* bytes, std::size_t length) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < length; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

void AppendBigEndian32(Bytes& bytes, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    bytes.push_back(static_cast<std::uint8_t>(value >> shift));
}

void AppendChunk(Bytes& png, const char* type, const Bytes& data) {
  AppendBigEndian32(png, static_cast<std::uint32_t>(data.size()));
  const std::size_t typed_at = png.size();
  png.insert(png.end(), type, type + 4);
  png.insert(png.end(), data.begin(), data.end());
  AppendBigEndian32(png, Crc32(png.data() + typed_at, png.size() - typed_at));
}

// A zlib stream of stored (uncompressed) blocks.
Bytes StoredZlib(const Bytes& raw) {
  Bytes stream = {0x78, 0x01};
  std::size_t at = 0;
  do {
    const std::size_t length = std::min<std::size_t>(raw.size() - at, 65535);
    stream.push_back(at + length == raw.size() ? 1 : 0);
    stream.push_back(static_cast<std::uint8_t>(length));
    stream.push_back(static_cast<std::uint8_t>(length >> 8));
    stream.push_back(static_cast<std::uint8_t>(~length));
    stream.push_back(static_cast<std::uint8_t>(~length >> 8));
    stream.insert(stream.end(), raw.begin() + static_cast<std::ptrdiff_t>(at),
                  raw.begin() + static_cast<std::ptrdiff_t>(at + length));
    at += length;
  } while (at < raw.size());
  std::uint32_t a = 1;
  std::uint32_t b = 0;
  for (std::uint8_t byte : raw) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  AppendBigEndian32(stream, b << 16 | a);
  return stream;
}

struct PngSpec {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint8_t depth = 8;
  std::uint8_t colour_type = 2;  // 0 grey, 2 RGB, 3 palette, 4 grey+alpha, 6 RGBA
  std::uint8_t interlace = 0;
  Bytes rows;                          // the scanlines as stored, without filter bytes
  std::vector<std::uint32_t> palette;  // 0xRRGGBB
  Bytes transparency;                  // tRNS
};

PngSpec Png(std::uint32_t width, std::uint32_t height, std::uint8_t colour_type = 2) {
  PngSpec layout;
  layout.width = width;
  layout.height = height;
  layout.colour_type = colour_type;
  return layout;
}

Bytes BuildPng(const PngSpec& layout) {
  Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes header;
  AppendBigEndian32(header, layout.width);
  AppendBigEndian32(header, layout.height);
  header.push_back(layout.depth);
  header.push_back(layout.colour_type);
  header.push_back(0);
  header.push_back(0);
  header.push_back(layout.interlace);
  AppendChunk(png, "IHDR", header);
  if (!layout.palette.empty()) {
    Bytes palette;
    for (std::uint32_t colour : layout.palette) {
      palette.push_back(static_cast<std::uint8_t>(colour >> 16));
      palette.push_back(static_cast<std::uint8_t>(colour >> 8));
      palette.push_back(static_cast<std::uint8_t>(colour));
    }
    AppendChunk(png, "PLTE", palette);
  }
  if (!layout.transparency.empty()) AppendChunk(png, "tRNS", layout.transparency);
  const std::size_t row_bytes = layout.height == 0 ? 0 : layout.rows.size() / layout.height;
  Bytes raw;
  for (std::uint32_t row = 0; row < layout.height; ++row) {
    raw.push_back(0);  // no filter
    raw.insert(raw.end(), layout.rows.begin() + static_cast<std::ptrdiff_t>(row * row_bytes),
               layout.rows.begin() + static_cast<std::ptrdiff_t>((row + 1) * row_bytes));
  }
  AppendChunk(png, "IDAT", StoredZlib(raw));
  AppendChunk(png, "IEND", {});
  return png;
}

// --- reading them ----------------------------------------------------------

struct Reading {
  bool opened = false;
  bool read = false;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint16_t> pixels;
  std::uint64_t rounded = 0;
  std::string message;  // the refusal as zrq reports it
};

// Large: one for the whole program.
ImageReader g_reader;

std::string Message(const ImageRefusal& refusal) {
  char text[1024];
  FormatImageRefusal(refusal, "in.bmp", text, sizeof text);
  return text;
}

Reading ReadImage(const Bytes& file) {
  ScratchDir dir;
  WriteFileBytes(dir / "in.bmp", file);
  OwnedHandle handle(OpenArchive((dir / "in.bmp").c_str()));
  EXPECT_TRUE(handle.valid());
  Reading reading;
  reading.opened = OpenImage(&g_reader, handle.get());
  if (reading.opened) {
    reading.width = g_reader.width;
    reading.height = g_reader.height;
    const unsigned char* pixels = nullptr;
    std::uint32_t count = 0;
    while ((reading.read = ReadImagePixels(&g_reader, &pixels, &count)) && count > 0) {
      EXPECT_LE(count, kImagePiecePixels);
      for (std::uint32_t i = 0; i < count; ++i) {
        reading.pixels.push_back(static_cast<std::uint16_t>(pixels[std::size_t{2} * i] |
                                                            pixels[std::size_t{2} * i + 1] << 8));
      }
    }
    reading.rounded = g_reader.rounded;
  }
  reading.message = Message(g_reader.refusal);
  CloseImage(&g_reader);
  return reading;
}

// The 16-bit colour of 8-bit channels as the reader's header documents it:
// the nearest value unzrq writes back, ties up, the top one past it.
std::uint16_t Expected565(std::uint32_t red, std::uint32_t green, std::uint32_t blue) {
  const auto five = [](std::uint32_t v) { return std::min<std::uint32_t>(31, (v + 4) / 8); };
  const auto six = [](std::uint32_t v) { return std::min<std::uint32_t>(63, (v + 2) / 4); };
  return static_cast<std::uint16_t>(five(red) << 11 | six(green) << 5 | five(blue));
}

bool Exact(std::uint32_t red, std::uint32_t green, std::uint32_t blue) {
  return red % 8 == 0 && green % 4 == 0 && blue % 8 == 0;
}

// 0xRRGGBB colours, some exact, some not, some at the clamp.
std::vector<std::uint32_t> Colours(std::size_t count, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<std::uint32_t> colours(count);
  for (std::uint32_t& colour : colours) {
    colour = random() & 0xFFFFFF;
    if (random() % 2 == 0) colour &= 0xF8FCF8;  // exact
  }
  return colours;
}

std::uint32_t RedOf(std::uint32_t c) { return c >> 16 & 0xFF; }
std::uint32_t GreenOf(std::uint32_t c) { return c >> 8 & 0xFF; }
std::uint32_t BlueOf(std::uint32_t c) { return c & 0xFF; }

void ExpectColours(const Reading& reading, const std::vector<std::uint32_t>& colours,
                   const std::string& label) {
  ASSERT_TRUE(reading.opened && reading.read) << label << ": " << reading.message;
  ASSERT_EQ(reading.pixels.size(), colours.size()) << label;
  std::uint64_t rounded = 0;
  for (std::size_t i = 0; i < colours.size(); ++i) {
    const std::uint32_t c = colours[i];
    ASSERT_EQ(reading.pixels[i], Expected565(RedOf(c), GreenOf(c), BlueOf(c)))
        << label << ": pixel " << i << " of colour " << std::hex << c;
    rounded += Exact(RedOf(c), GreenOf(c), BlueOf(c)) ? 0 : 1;
  }
  EXPECT_EQ(reading.rounded, rounded) << label;
}

// --- the rounding ---------------------------------------------------------------

TEST(ImageReaderRounding, EachChannelGoesToTheNearestValueUnzrqWritesBack) {
  struct Case {
    std::uint32_t value, bits, target, expected;
    bool rounded;
  } const cases[] = {
      {0, 8, 5, 0, false},       {8, 8, 5, 1, false},   {248, 8, 5, 31, false},
      {3, 8, 5, 0, true},        {4, 8, 5, 1, true},    {12, 8, 5, 2, true},    // ties go up
      {251, 8, 5, 31, true},     {252, 8, 5, 31, true}, {255, 8, 5, 31, true},  // clamped
      {252, 8, 6, 63, false},    {1, 8, 6, 0, true},    {2, 8, 6, 1, true},
      {254, 8, 6, 63, true},     {255, 8, 6, 63, true}, {31, 5, 5, 31, false},
      {31, 5, 6, 62, false},     {63, 6, 6, 63, false}, {0x3FF, 10, 5, 31, true},
      {0x200, 10, 5, 16, false}, {15, 4, 5, 30, false},
  };
  for (const Case& c : cases) {
    bool rounded = false;
    EXPECT_EQ(NarrowChannel(c.value, c.bits, c.target, &rounded), c.expected)
        << c.value << " of " << c.bits << " bits to " << c.target;
    EXPECT_EQ(rounded, c.rounded) << c.value << " of " << c.bits << " bits to " << c.target;
  }
}

// --- bitmaps taken ----------------------------------------------------------

TEST(BitmapReader, EveryVariantOtherProgramsWriteIsTaken) {
  struct Variant {
    const char* label;
    std::uint32_t header_bytes, bits, compression;
    std::vector<std::uint32_t> masks;
    bool top_down;
  } const variants[] = {
      {"24-bit", 40, 24, 0, {}, false},
      {"24-bit top-down", 40, 24, 0, {}, true},
      {"24-bit core header", 12, 24, 0, {}, false},
      {"24-bit V4", 108, 24, 0, {}, true},
      {"24-bit V5", 124, 24, 0, {}, false},
      {"32-bit", 40, 32, 0, {}, false},
      {"32-bit bit fields after the header", 40, 32, 3, {0xFF0000, 0xFF00, 0xFF}, false},
      {"32-bit alpha bit fields", 40, 32, 6, {0xFF0000, 0xFF00, 0xFF, 0xFF000000}, true},
      {"32-bit V5 bit fields with alpha", 124, 32, 3, {0xFF0000, 0xFF00, 0xFF, 0xFF000000}, true},
      {"32-bit V4 bit fields, red at the top",
       108,
       32,
       3,
       {0xFF000000, 0xFF0000, 0xFF00, 0xFF},
       false},
      {"32-bit 56-byte header", 56, 32, 3, {0xFF0000, 0xFF00, 0xFF, 0}, false},
  };
  for (const Variant& v : variants) {
    for (std::int32_t width : {1, 2, 3, 4, 5, 7}) {
      const std::int32_t height = 3;
      const std::vector<std::uint32_t> colours = Colours(std::size_t(width) * height, width);
      BitmapLayout layout;
      layout.header_bytes = v.header_bytes;
      layout.width = width;
      layout.height = v.top_down ? -height : height;
      layout.bits = v.bits;
      layout.compression = v.compression;
      layout.masks = v.masks;
      layout.padding_fill = 0xEE;
      for (std::uint32_t c : colours) {
        std::uint32_t value = c;
        if (v.bits == 32) value |= 0x5A000000;  // alpha or nothing: ignored
        if (!v.masks.empty() && v.masks[0] == 0xFF000000) value = c << 8 | 0x5A;
        layout.pixels.push_back(value);
      }
      ExpectColours(ReadImage(BuildBitmap(layout)), colours,
                    std::string(v.label) + " " + std::to_string(width) + " wide");
    }
  }
}

TEST(BitmapReader, SixteenBitPixelsWidenByShifts) {
  // 5-6-5 bit fields go in bit for bit; 5-5-5 (no bit fields) takes each
  // 5-bit channel as unzrq's shift would widen it: exact as well.
  std::vector<std::uint32_t> values;
  for (std::uint32_t v = 0; v < 65536; v += 7) values.push_back(v);
  values.push_back(0xFFFF);
  const std::int32_t width = 5;
  values.resize(values.size() / width * width);
  const std::int32_t height = static_cast<std::int32_t>(values.size()) / width;
  struct Case {
    const char* label;
    std::uint32_t header_bytes, compression;
    std::vector<std::uint32_t> masks;
  } const cases[] = {
      {"5-6-5 bit fields", 40, 3, {0xF800, 0x07E0, 0x001F}},
      {"5-6-5 in a V5 header", 124, 3, {0xF800, 0x07E0, 0x001F}},
      {"5-5-5 without bit fields", 40, 0, {}},
      {"5-5-5 bit fields", 40, 3, {0x7C00, 0x03E0, 0x001F}},
  };
  for (const Case& c : cases) {
    BitmapLayout layout = Bitmap(width, height, 16);
    layout.header_bytes = c.header_bytes;
    layout.compression = c.compression;
    layout.masks = c.masks;
    std::vector<std::uint16_t> expected;
    for (std::uint32_t v : values) {
      const bool five_six_five = !c.masks.empty() && c.masks[0] == 0xF800;
      layout.pixels.push_back(five_six_five ? v : v & 0x7FFF);
      expected.push_back(static_cast<std::uint16_t>(
          five_six_five ? v : ((v >> 10) & 31) << 11 | ((v >> 5) & 31) << 6 | (v & 31)));
    }
    const Reading reading = ReadImage(BuildBitmap(layout));
    ASSERT_TRUE(reading.opened && reading.read) << c.label << ": " << reading.message;
    EXPECT_EQ(reading.pixels, expected) << c.label;
    EXPECT_EQ(reading.rounded, 0u) << c.label;
  }
}

TEST(BitmapReader, PalettesAreLookedUp) {
  struct Case {
    const char* label;
    std::uint32_t header_bytes;
    std::uint32_t colours_used;  // 0: all 256
    bool top_down;
  } const cases[] = {
      {"256 colours, biClrUsed 0", 40, 0, false},
      {"3 colours", 40, 3, false},
      {"17 colours, top-down, V5", 124, 17, true},
      {"core header", 12, 0, false},
  };
  for (const Case& c : cases) {
    const std::uint32_t colours = c.colours_used == 0 ? 256 : c.colours_used;
    BitmapLayout layout = Bitmap(5, c.top_down ? -4 : 4, 8);
    layout.header_bytes = c.header_bytes;
    layout.colours_used = c.colours_used;
    layout.palette = Colours(colours, colours);
    std::vector<std::uint32_t> expected;
    for (std::uint32_t i = 0; i < 20; ++i) {
      const std::uint32_t index = (i * 37 + 3) % colours;
      layout.pixels.push_back(index);
      expected.push_back(layout.palette[index]);
    }
    ExpectColours(ReadImage(BuildBitmap(layout)), expected, c.label);
  }
}

TEST(BitmapReader, ShapesAcrossBlocksAndPieces) {
  struct Size {
    std::int32_t width, height;
    std::uint32_t bits;
  } const shapes[] = {
      {0, 0, 24},      {0, 5, 24},     {5, 0, 24},      // no pixels at all
      {1, 70000, 24},  {3, 30000, 8},                   // many rows a block, many blocks
      {16384, 2, 32},  {16385, 3, 24}, {40000, 2, 32},  // a piece a row, and rows in pieces
      {21845, -3, 24},                                  // a row just inside the block, top-down
  };
  for (const Size& s : shapes) {
    const std::uint32_t height = static_cast<std::uint32_t>(s.height < 0 ? -s.height : s.height);
    BitmapLayout layout = Bitmap(s.width, s.height, s.bits);
    if (s.bits == 8) layout.palette = Colours(256, 5);
    std::vector<std::uint32_t> expected =
        Colours(static_cast<std::size_t>(s.width) * height, s.width + height);
    for (std::uint32_t& c : expected) {
      if (s.bits == 8) {
        layout.pixels.push_back(c & 0xFF);
        c = layout.palette[c & 0xFF];
      } else {
        layout.pixels.push_back(c);
      }
    }
    const Reading reading = ReadImage(BuildBitmap(layout));
    const std::string label = Shape(static_cast<std::uint32_t>(s.width), height);
    EXPECT_EQ(reading.width, static_cast<std::uint32_t>(s.width)) << label;
    EXPECT_EQ(reading.height, height) << label;
    ExpectColours(reading, expected, label);
  }
}

// What unzrq writes comes back as it was, every pixel exact.
TEST(BitmapReader, UnzrqsOwnBitmapsRoundTripBitForBit) {
  struct Size {
    std::uint32_t width, height;
  } const shapes[] = {{1, 1}, {3, 5}, {32, 3}, {1000, 70}, {1, 70000}, {40000, 2}, {0, 0}, {0, 3}};
  for (const Size& s : shapes) {
    std::vector<std::uint16_t> pixels = PatternPixels(std::size_t{s.width} * s.height, s.width);
    const Bytes payload = SizedImagePayload(s.width, s.height, pixels);
    const WriterRun run =
        RunWriter(ConvertSizedImage, payload, 0, static_cast<std::uint32_t>(payload.size()));
    const Reading reading = ReadImage(run.output);
    const std::string label = Shape(s.width, s.height);
    ASSERT_TRUE(reading.opened && reading.read) << label << ": " << reading.message;
    EXPECT_EQ(reading.width, s.width) << label;
    EXPECT_EQ(reading.height, s.height) << label;
    EXPECT_TRUE(reading.pixels == pixels) << label;
    EXPECT_EQ(reading.rounded, 0u) << label;
    EXPECT_EQ(ImagePayloadBytes(reading.width, reading.height), payload.size()) << label;
  }
}

// --- refusals -------------------------------------------------------------

std::string Refused(const char* detail) {
  return std::string("Error: Cannot pack \"in.bmp\" as an image: ") + detail + "\n";
}

BitmapLayout SmallBitmap() {
  BitmapLayout layout = Bitmap(2, 2, 24);
  layout.pixels = {0, 0, 0, 0};
  return layout;
}

TEST(BitmapReader, EachRefusalNamesItsFieldAndValue) {
  struct Case {
    const char* label;
    Bytes file;
    std::string message;
  };
  std::vector<Case> cases;
  const auto with = [&](const char* label, const BitmapLayout& layout, const char* detail) {
    cases.push_back({label, BuildBitmap(layout), Refused(detail)});
  };
  const auto damaged = [&](const char* label, std::size_t at, std::uint32_t value, int bytes,
                           const char* detail) {
    Bytes file = BuildBitmap(SmallBitmap());
    if (bytes == 2) Put16(file, at, value);
    if (bytes == 4) Put32(file, at, value);
    cases.push_back({label, file, Refused(detail)});
  };
  BitmapLayout rle = SmallBitmap();
  rle.bits = 8;
  rle.compression = 1;
  rle.palette = {0, 0xFFFFFF};
  rle.colours_used = 2;
  with("RLE8", rle, "its biCompression is 1 (RLE8), which zrq does not read.");
  damaged("RLE4", 30, 2, 4, "its biCompression is 2 (RLE4), which zrq does not read.");
  damaged("JPEG", 30, 4, 4, "its biCompression is 4 (JPEG), which zrq does not read.");
  damaged("bit fields on 24 bits", 30, 3, 4,
          "its biCompression is 3 (bit fields on pixels not of 16 or 32 bits), which zrq does "
          "not read.");
  damaged("4 bits", 28, 4, 2, "its biBitCount is 4 (16 colours), which zrq does not read.");
  damaged("1 bit", 28, 1, 2, "its biBitCount is 1 (2 colours), which zrq does not read.");
  damaged("biSize 41", 14, 41, 4,
          "its biSize is 41 (no header zrq knows), which zrq does not read.");
  damaged("no planes", 26, 0, 2, "its biPlanes is 0 (not 1), which zrq does not read.");
  damaged("negative width", 18, static_cast<std::uint32_t>(-2), 4,
          "its biWidth is -2 (negative), which zrq does not read.");
  damaged("bfOffBits past the end", 10, 5000, 4,
          "its bfOffBits 5000 points past the end of the file (70 bytes).");
  damaged("bfOffBits in the header", 10, 20, 4,
          "its bfOffBits is 20 (inside the headers), which zrq does not read.");
  damaged("rows past the end", 22, 3, 4,
          "2 x 3 pixels of 24 bits need 22 bytes from byte 54, and the file ends after 70.");
  {
    Bytes huge = BuildBitmap(SmallBitmap());
    Put32(huge, 18, 65535);
    Put32(huge, 22, 65535);
    huge.resize(100, 0);
    cases.push_back({"65535 x 65535 in 100 bytes", huge,
                     Refused("65535 x 65535 pixels of 24 bits need 12884705277 bytes from byte "
                             "54, and the file ends after 100.")});
  }
  BitmapLayout many = SmallBitmap();
  many.bits = 8;
  many.colours_used = 300;
  with("biClrUsed 300", many,
       "its biClrUsed is 300 (more colours than 8 bits can index), which "
       "zrq does not read.");
  BitmapLayout index = SmallBitmap();
  index.bits = 8;
  index.palette = {0, 0xFFFFFF};
  index.colours_used = 2;
  index.pixels = {0, 1, 1, 5};
  with("palette index past the palette", index,
       "row 1, column 1 holds palette index 5, past its 2 colours.");
  BitmapLayout gaps = SmallBitmap();
  gaps.bits = 16;
  gaps.compression = 3;
  gaps.masks = {0xF00F, 0x07E0, 0x001F};
  with("a mask with a gap", gaps,
       "its bit fields (red 0000F00F, green 000007E0, blue 0000001F) are not masks zrq reads.");
  BitmapLayout overlap = gaps;
  overlap.masks = {0xF800, 0x0FE0, 0x001F};
  with("overlapping masks", overlap,
       "its bit fields (red 0000F800, green 00000FE0, blue 0000001F) are not masks zrq reads.");
  BitmapLayout wide = gaps;
  wide.masks = {0x1F0000, 0x07E0, 0x001F};
  with("a mask past the pixel", wide,
       "its bit fields (red 001F0000, green 000007E0, blue 0000001F) are not masks zrq reads.");
  BitmapLayout zero = gaps;
  zero.masks = {0, 0x07E0, 0x001F};
  with("an empty mask", zero,
       "its bit fields (red 00000000, green 000007E0, blue 0000001F) are not masks zrq reads.");

  const Bytes whole = BuildBitmap(SmallBitmap());
  const struct {
    std::size_t length;
    const char* part;
  } cuts[] = {{2, "file header"}, {13, "file header"}, {14, "info header"}, {30, "info header"}};
  for (const auto& cut : cuts) {
    cases.push_back({"cut",
                     Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut.length)),
                     Refused(("the file ends after " + std::to_string(cut.length) +
                              " bytes, inside its " + cut.part + ".")
                                 .c_str())});
  }
  BitmapLayout palette_cut = SmallBitmap();
  palette_cut.bits = 8;
  palette_cut.palette = Colours(256, 1);
  Bytes cut_palette = BuildBitmap(palette_cut);
  cut_palette.resize(300);
  cases.push_back({"cut in the palette", cut_palette,
                   Refused("the file ends after 300 bytes, inside its palette.")});
  Bytes cut_fields = BuildBitmap(gaps);
  cut_fields.resize(60);
  cases.push_back({"cut in the bit fields", cut_fields,
                   Refused("the file ends after 60 bytes, inside its bit fields.")});
  cases.push_back({"empty", {}, Refused("it is neither a BMP nor a PNG file.")});
  cases.push_back({"text", Text("hello, world"), Refused("it is neither a BMP nor a PNG file.")});

  for (const Case& c : cases) {
    const Reading reading = ReadImage(c.file);
    EXPECT_FALSE(reading.opened && reading.read) << c.label;
    EXPECT_EQ(reading.message, c.message) << c.label;
  }
}

// --- PNG --------------------------------------------------------------------

bool PngBuilt() {
#ifdef ZRQ_HAVE_PNG
  return true;
#else
  return false;
#endif
}

TEST(PngReader, WithoutLibpngAPngIsRefusedAsSuch) {
  if (PngBuilt()) GTEST_SKIP() << "this build reads PNG files";
  PngSpec layout = Png(1, 1);
  layout.rows = {1, 2, 3};
  const Reading reading = ReadImage(BuildPng(layout));
  EXPECT_FALSE(reading.opened);
  EXPECT_EQ(reading.message,
            Refused("it is a PNG file, and this zrq was built without a PNG reader."));
}

TEST(PngReader, EveryColourTypeBecomesRgb565) {
  if (!PngBuilt()) GTEST_SKIP() << "this build has no PNG reader (libpng was not found)";
  const std::vector<std::uint32_t> colours = Colours(std::size_t{7} * 3, 9);
  struct Case {
    const char* label;
    PngSpec layout;
    std::vector<std::uint32_t> expected;
  };
  std::vector<Case> cases;
  {
    PngSpec rgb = Png(7, 3);
    for (std::uint32_t c : colours) {
      rgb.rows.insert(rgb.rows.end(),
                      {std::uint8_t(RedOf(c)), std::uint8_t(GreenOf(c)), std::uint8_t(BlueOf(c))});
    }
    cases.push_back({"RGB", rgb, colours});
    PngSpec rgba = rgb;
    rgba.colour_type = 6;
    rgba.rows.clear();
    for (std::uint32_t c : colours) {
      rgba.rows.insert(rgba.rows.end(), {std::uint8_t(RedOf(c)), std::uint8_t(GreenOf(c)),
                                         std::uint8_t(BlueOf(c)), 0x40});
    }
    cases.push_back({"RGBA, alpha ignored", rgba, colours});
    PngSpec wide = rgb;
    wide.depth = 16;
    wide.rows.clear();
    for (std::uint32_t c : colours) {
      for (std::uint32_t v : {RedOf(c), GreenOf(c), BlueOf(c)}) {
        wide.rows.insert(wide.rows.end(), {std::uint8_t(v), std::uint8_t(v)});  // v * 257
      }
    }
    cases.push_back({"16-bit RGB", wide, colours});
  }
  {
    PngSpec palette = Png(7, 3, 3);
    palette.palette = Colours(5, 4);
    palette.transparency = {0, 128};
    std::vector<std::uint32_t> expected;
    for (std::uint32_t i = 0; i < 21; ++i) {
      palette.rows.push_back(static_cast<std::uint8_t>(i % 5));
      expected.push_back(palette.palette[i % 5]);
    }
    cases.push_back({"palette with transparency", palette, expected});
    PngSpec grey = Png(7, 3, 0);
    expected.clear();
    for (std::uint32_t i = 0; i < 21; ++i) {
      const std::uint32_t v = i * 12;
      grey.rows.push_back(static_cast<std::uint8_t>(v));
      expected.push_back(v << 16 | v << 8 | v);
    }
    cases.push_back({"grey", grey, expected});
    PngSpec small_grey = Png(2, 2, 0);
    small_grey.depth = 4;
    small_grey.rows = {0x0F, 0x85};  // 0, 15 / 8, 5: each level * 17
    cases.push_back({"4-bit grey", small_grey, {0, 0xFFFFFF, 0x888888, 0x555555}});
  }
  for (const Case& c : cases) {
    const Reading reading = ReadImage(BuildPng(c.layout));
    EXPECT_EQ(reading.width, c.layout.width) << c.label;
    EXPECT_EQ(reading.height, c.layout.height) << c.label;
    ExpectColours(reading, c.expected, c.label);
  }
}

TEST(PngReader, RowsWiderThanAPieceAndManyRows) {
  if (!PngBuilt()) GTEST_SKIP() << "this build has no PNG reader (libpng was not found)";
  for (const auto& [width, height] :
       {std::pair{20000u, 2u}, std::pair{1u, 20000u}, std::pair{0u, 0u},
        std::pair{1u, 1000001u}}) {  // taller than libpng's own bound
    PngSpec layout = Png(width, height);
    const std::vector<std::uint32_t> colours = Colours(std::size_t{width} * height, width);
    for (std::uint32_t c : colours) {
      layout.rows.insert(layout.rows.end(), {std::uint8_t(RedOf(c)), std::uint8_t(GreenOf(c)),
                                             std::uint8_t(BlueOf(c))});
    }
    if (width == 0) {
      // A PNG of no pixels is no PNG: libpng refuses a zero width.
      EXPECT_FALSE(ReadImage(BuildPng(layout)).opened);
      continue;
    }
    ExpectColours(ReadImage(BuildPng(layout)), colours, Shape(width, height));
  }
}

TEST(PngReader, EachRefusalIsNamed) {
  if (!PngBuilt()) GTEST_SKIP() << "this build has no PNG reader (libpng was not found)";
  PngSpec small = Png(2, 2);
  small.rows = Bytes(12, 0x80);
  const Bytes whole = BuildPng(small);
  struct Case {
    const char* label;
    Bytes file;
    std::string message;  // its start, for libpng's own words
  };
  std::vector<Case> cases;
  PngSpec interlaced = small;
  interlaced.interlace = 1;
  cases.push_back({"interlaced", BuildPng(interlaced),
                   Refused("its interlace method is 1 (Adam7, whose rows come whole only last), "
                           "which zrq does not read.")});
  const PngSpec large = Png(65536, 32768);
  Bytes large_file = BuildPng(large);
  cases.push_back({"too large", large_file,
                   Refused("65536 x 32768 pixels need an entry of 4294967372 bytes, 4294967295 "
                           "at most.")});
  const PngSpec wide = Png(70000, 1);
  cases.push_back({"wider than a row", BuildPng(wide),
                   Refused("its width is 70000 (wider than the 65536 pixels of a PNG row zrq "
                           "holds), which zrq does not read.")});
  const std::size_t cut = whole.size() - 30;  // inside the image data
  cases.push_back(
      {"cut", Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut)),
       Refused(("the file ends after " + std::to_string(cut) + " bytes, inside its image data.")
                   .c_str())});
  Bytes bad_crc = whole;
  bad_crc[29] ^= 1;  // IHDR's CRC
  cases.push_back({"a damaged header", bad_crc,
                   "Error: Cannot pack \"in.bmp\" as an image: the PNG decoder refused it ("});
  for (const Case& c : cases) {
    const Reading reading = ReadImage(c.file);
    EXPECT_FALSE(reading.opened && reading.read) << c.label;
    EXPECT_EQ(reading.message.substr(0, c.message.size()), c.message) << c.label;
  }
}

// --- streaming --------------------------------------------------------------

TEST(ImageReader, StreamPushesEveryPixelAndStopsWhenTheSinkDoes) {
  BitmapLayout layout = Bitmap(300, 200, 24);
  const std::vector<std::uint32_t> colours = Colours(std::size_t{300} * 200, 3);
  layout.pixels = colours;
  ScratchDir dir;
  WriteFileBytes(dir / "in.bmp", BuildBitmap(layout));
  OwnedHandle handle(OpenArchive((dir / "in.bmp").c_str()));
  struct Sink {
    Bytes bytes;
    std::size_t calls = 0;
    std::size_t stop_after = SIZE_MAX;
  };
  const auto take = [](void* context, const unsigned char* bytes, std::uint32_t length) {
    Sink& sink = *static_cast<Sink*>(context);
    sink.bytes.insert(sink.bytes.end(), bytes, bytes + length);
    return ++sink.calls < sink.stop_after;
  };
  Sink whole;
  ASSERT_TRUE(OpenImage(&g_reader, handle.get()));
  EXPECT_TRUE(StreamImagePixels(&g_reader, take, &whole));
  CloseImage(&g_reader);
  ASSERT_EQ(whole.bytes.size(), 2u * colours.size());
  for (std::size_t i = 0; i < colours.size(); ++i) {
    const std::uint32_t c = colours[i];
    ASSERT_EQ(whole.bytes[2 * i] | whole.bytes[2 * i + 1] << 8,
              Expected565(RedOf(c), GreenOf(c), BlueOf(c)))
        << i;
  }
  Sink stopped;
  stopped.stop_after = 1;
  ASSERT_TRUE(OpenImage(&g_reader, handle.get()));
  EXPECT_FALSE(StreamImagePixels(&g_reader, take, &stopped));
  EXPECT_EQ(g_reader.refusal.problem, ImageProblem::kNone);
  EXPECT_EQ(stopped.calls, 1u);
  CloseImage(&g_reader);
}

}  // namespace
