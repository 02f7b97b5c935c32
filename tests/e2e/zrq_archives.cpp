// Archives the zrq cases share (zrq_archives.h).
#include "zrq_archives.h"

#include <filesystem>
#include <set>

#include "e2e_case.h"
#include "tool_under_test.h"

// One entry of every kind unzrq writes: the restorable extensions and one
// that is not, plain and unknown types, an empty payload, a payload large
// enough for the kernel's own copy, fixed-width images (one with bytes after
// its last row) and sized images of odd widths, of no pixels at all, and
// large enough to be packed in several pieces.
std::vector<TestEntry> EveryKind() {
  return {{.name = "intro_WAV", .type = 1, .payload = PatternBytes(44, 1)},
          {.name = "menu_lua", .type = 1, .payload = Text("show_menu()\n")},
          {.name = "level_1_MSM", .type = 1, .payload = PatternBytes(15, 2)},
          {.name = "a_b_mp3", .type = 1, .payload = PatternBytes(9, 3)},
          {.name = "notes_txt", .type = 1, .payload = Text("keeps its underscore")},
          {.name = "readme.txt", .type = 3, .payload = Text("type 3 keeps its name")},
          {.name = "x_WAV", .type = 3, .payload = PatternBytes(5, 4)},
          {.name = "empty", .type = 3, .payload = {}},
          {.name = "big.dat", .type = 9, .payload = PatternBytes(300000, 5)},
          {.name = "zero_type", .type = 0, .payload = PatternBytes(7, 6)},
          {.name = "arrow",
           .type = 2,
           .payload = Concat(FixedWidthImagePayload(PatternPixels(96, 7)), Text("tail"))},
          {.name = "gradient", .type = 4, .payload = FixedWidthImagePayload(PatternPixels(64, 8))},
          {.name = "one", .type = 5, .payload = SizedImagePayload(1, 1, {Rgb565(31, 0, 0)})},
          {.name = "odd", .type = 5, .payload = SizedImagePayload(3, 2, PatternPixels(6, 9))},
          {.name = "tall", .type = 5, .payload = SizedImagePayload(33, 7, PatternPixels(231, 10))},
          {.name = "no_rows", .type = 5, .payload = SizedImagePayload(5, 0, {})},
          {.name = "no_columns", .type = 5, .payload = SizedImagePayload(0, 4, {})},
          // Rows that fill more than one of create's blocks, and rows wider than one.
          {.name = "blocks",
           .type = 5,
           .payload = SizedImagePayload(1001, 40, PatternPixels(40040, 16))},
          {.name = "wide",
           .type = 5,
           .payload = SizedImagePayload(33001, 2, PatternPixels(66002, 17))}};
}

namespace {

// A small archive of the three payload layouts, to be cut and damaged.
BuiltArchive ThreeLayouts(DirectoryPlace directory) {
  return BuildArchive(
      {.entries =
           {{.name = "plain", .type = 3, .payload = PatternBytes(40, 11)},
            {.name = "sized", .type = 5, .payload = SizedImagePayload(3, 2, PatternPixels(6, 12))},
            {.name = "fixed", .type = 2, .payload = FixedWidthImagePayload(PatternPixels(64, 13))}},
       .directory = directory});
}

}  // namespace

std::vector<std::pair<std::string, Bytes>> DamagedAndHostile() {
  std::vector<std::pair<std::string, Bytes>> archives;
  archives.reserve(64);
  // Cut inside the count and the records (directory last), and inside each
  // payload's prefix, its image size and its rows (directory first).
  const BuiltArchive last = ThreeLayouts(DirectoryPlace::kAfterPayloads);
  std::set<std::size_t> cuts = {0, 4, 7};
  for (std::size_t i = 0; i <= 3; ++i) {
    for (std::size_t near : {last.RecordOffset(i) - 1, last.RecordOffset(i) + 1}) cuts.insert(near);
  }
  for (std::size_t cut : cuts) {
    archives.push_back({"directory cut at " + std::to_string(cut), Slice(last.bytes, 0, cut)});
  }
  const BuiltArchive first = ThreeLayouts(DirectoryPlace::kAfterHeader);
  cuts = {first.bytes.size() - 1};
  for (std::uint32_t offset : first.payload_offsets) {
    for (std::uint32_t near :
         {offset, offset + 1, offset + 5, offset + 30, offset + 75, offset + 77}) {
      cuts.insert(near);
    }
  }
  for (std::size_t cut : cuts) {
    archives.push_back({"payloads cut at " + std::to_string(cut), Slice(first.bytes, 0, cut)});
  }
  const std::uint32_t past_end = 0x7FFFFFF0;
  const std::vector<std::pair<std::string, std::vector<TestEntry>>> tables = {
      {"hostile names",
       {{.name = "../up", .payload = Text("u")},
        {.name = "a/b", .payload = Text("s")},
        {.name = "a\\b", .payload = Text("b")},
        {.name = "", .payload = Text("e")},
        {.name = "..", .payload = Text("d")},
        {.name = "esc\x1b[2J", .payload = Text("c")},
        {.name = "CON", .payload = Text("w")},
        {.name = "colon:name", .payload = Text("n")},
        {.name = "trailing.", .payload = Text("t")},
        {.name = std::string(64, 'L'), .payload = Text("l")},
        {.name = "same", .payload = Text("first")},
        {.name = "same", .payload = Text("second")}}},
      {"payloads out of reach",
       {{.name = "past_end",
         .payload = {},
         .has_offset = true,
         .offset = past_end,
         .has_size = true,
         .size = 10},
        {.name = "empty_past_end", .payload = {}, .has_offset = true, .offset = past_end},
        {.name = "far",
         .payload = {},
         .has_offset = true,
         .offset = 0xFFFFFFF0,
         .has_size = true,
         .size = 4},
        {.name = "huge_image", .type = 5, .payload = SizedImagePayload(65535, 65535, {})},
        {.name = "image_past_end",
         .type = 5,
         .payload = {},
         .has_offset = true,
         .offset = past_end,
         .has_size = true,
         .size = 80},
        {.name = "short_fixed", .type = 4, .payload = PatternBytes(71, 14)},
        {.name = "rows_missing",
         .type = 5,
         .payload = Slice(SizedImagePayload(4, 4, PatternPixels(16, 15)), 0, 90)}}}};
  for (const auto& [name, entries] : tables) {
    archives.push_back({name, Archive({.entries = entries})});
  }
  archives.push_back({"huge count", Archive({.entries = {{.name = "only", .payload = Text("1")}},
                                             .has_entry_count = true,
                                             .entry_count = 0xFFFFFFFF})});
  archives.push_back(
      {"directory past 2 GiB",
       Archive({.entries = {}, .has_directory_offset = true, .directory_offset = 0x80000010})});
  for (const auto& entry : std::filesystem::directory_iterator(UNZRQ_FUZZ_REGRESSIONS)) {
    archives.push_back({entry.path().filename().string(), ReadFileBytes(entry.path().string())});
  }
  archives.push_back({"sample.zrq", ReadFileBytes(UNZRQ_SAMPLE_ARCHIVE)});
  return archives;
}

std::string ZrqUsage() {
  const std::string p = ZrqProgramName();
  return "Usage: " + p + " list [--json] ARCHIVE\n       " + p + " test ARCHIVE\n       " + p +
         " cat ARCHIVE NAME\n       " + p +
         " create [--images] [--force] [--host-names] ARCHIVE FILE|FOLDER...\n       " + p +
         " extract ARCHIVE [-C FOLDER] [--keep] [PATTERN...]\n       " + p +
         " mount [-f|--foreground] ARCHIVE MOUNTPOINT\n       " + p +
         " unmount MOUNTPOINT\n       " + p + " --help | --version\n";
}
