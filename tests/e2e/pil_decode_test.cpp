// Bitmaps written by the tool must open in the image libraries people use,
// with the right pixels: Pillow decodes them here, independently of our own
// reading of the format.
#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <map>

#include "e2e_case.h"
#include "tool_under_test.h"

namespace {

struct Colour {
  std::uint16_t rgb565;
  int red, green, blue;  // what a decoder must show: channels shifted up, low bits zero
};

const std::map<char, Colour> kPalette = {
    {'R', {Rgb565(31, 0, 0), 248, 0, 0}},   {'G', {Rgb565(0, 63, 0), 0, 252, 0}},
    {'B', {Rgb565(0, 0, 31), 0, 0, 248}},   {'W', {0xFFFF, 248, 252, 248}},
    {'M', {Rgb565(16, 8, 4), 128, 32, 32}},
};

// An image drawn as rows of palette letters, top row first.
struct Drawing {
  std::string file;
  std::vector<std::string> rows;
};

std::vector<std::uint16_t> Pixels(const Drawing& drawing) {
  std::vector<std::uint16_t> pixels;
  for (const std::string& row : drawing.rows) {
    for (char c : row) pixels.push_back(kPalette.at(c).rgb565);
  }
  return pixels;
}

std::string ExpectationsJson(const std::vector<Drawing>& drawings) {
  std::string json = "[";
  for (const Drawing& drawing : drawings) {
    if (json.size() > 1) json += ",";
    json += "{\"file\": \"" + drawing.file +
            "\", \"width\": " + std::to_string(drawing.rows[0].size()) +
            ", \"height\": " + std::to_string(drawing.rows.size()) + ", \"rows\": [";
    for (std::size_t y = 0; y < drawing.rows.size(); ++y) {
      json += y > 0 ? ",[" : "[";
      for (std::size_t x = 0; x < drawing.rows[y].size(); ++x) {
        const Colour& colour = kPalette.at(drawing.rows[y][x]);
        json += (x > 0 ? ",[" : "[") + std::to_string(colour.red) + "," +
                std::to_string(colour.green) + "," + std::to_string(colour.blue) + "]";
      }
      json += "]";
    }
    json += "]}";
  }
  return json + "]";
}

TEST(BitmapsDecodeInPillow, EveryPixel) {
  // Red on blue with distinct corners, so that a flipped image, a mirrored
  // row or swapped red and blue all show.
  const Drawing card{"card.bmp", {"RBBBW", "BRBBB", "BBRBG"}};
  std::vector<Drawing> sized = {card};
  for (int width = 1; width <= 4; ++width) {
    sized.push_back({"width" + std::to_string(width) + ".bmp",
                     {std::string(width, 'R'), "G" + std::string(width - 1, 'M')}});
  }
  const Drawing sprite{"sprite.bmp",
                       {std::string(16, 'R') + std::string(16, 'B'), std::string(31, 'M') + "W"}};

  ArchiveLayout layout;
  for (const Drawing& drawing : sized) {
    const std::string name = drawing.file.substr(0, drawing.file.size() - 4);
    layout.entries.push_back(
        {.name = name,
         .type = 5,
         .payload = SizedImagePayload(static_cast<std::uint32_t>(drawing.rows[0].size()),
                                      static_cast<std::uint32_t>(drawing.rows.size()),
                                      Pixels(drawing), 0xAA)});
  }
  layout.entries.push_back(
      {.name = "sprite", .type = 2, .payload = FixedWidthImagePayload(Pixels(sprite), 0xAA)});
  std::vector<Drawing> all = sized;
  all.push_back(sprite);

  const ScratchDir temporary;
  const std::string& root = temporary.path();
  CreateTree(root, {{"archive.zrq", File(Archive(layout))},
                    {"expected.json", File(ExpectationsJson(all))}});

  const ChildResult unpacked = RunTool({"archive.zrq", "bitmaps"}, root);
  ASSERT_EQ(unpacked.failure, "");
  ASSERT_EQ(unpacked.err, "");
  ASSERT_EQ(unpacked.exit_status, 0) << unpacked.out;

  const ChildResult decoded =
      RunChild(UNZRQ_PIL_PYTHON, {"python3", UNZRQ_DECODE_SCRIPT, "bitmaps", "expected.json"}, root,
               ChildLimits{});
  EXPECT_EQ(decoded.failure, "");
  EXPECT_EQ(decoded.exit_status, 0) << decoded.out << decoded.err;
  EXPECT_EQ(decoded.err, "");
  std::cout << decoded.out;
}

}  // namespace
