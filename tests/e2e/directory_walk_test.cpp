// The directory walk: where the directory sits, the per-entry line, the
// summary, and directories that are empty, cut short or out of reach.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <utility>

#include "e2e_case.h"
#include "tool_under_test.h"

namespace {

std::vector<TestEntry> ThreeEntries() {
  return {{.name = "alpha", .type = 3, .payload = Text("AAAA")},
          {.name = "beta_MSM", .type = 1, .payload = Text("BB")},
          {.name = "gamma", .type = 7, .payload = Text("G")}};
}

std::string ThreeEntriesOut() {
  return FileLine(4, 3, "alpha") + FileLine(2, 1, "beta_MSM") + FileLine(1, 7, "gamma") +
         DoneLine(3);
}

FileTree ThreeEntriesFiles() {
  return {{"velkard/alpha", File("AAAA")},
          {"velkard/beta.MSM", File("BB")},
          {"velkard/gamma", File("G")}};
}

std::string CountMissing(std::uint32_t directory_offset) {
  char line[96];  // holds the line whatever the offset
  (void)std::snprintf(
      line, sizeof line,
      "Error: Directory is truncated: the archive ends before the entry count at 0x%08X.\n",
      directory_offset);
  return line;
}

Bytes WithoutLastBytes(Bytes bytes, std::size_t count) {
  bytes.resize(bytes.size() - count);
  return bytes;
}

TEST(DirectoryWalk, PlacementAndLines) {
  ArchiveLayout behind_header{.entries = ThreeEntries(), .directory = DirectoryPlace::kAfterHeader};
  ArchiveLayout ignored_bytes{.entries = ThreeEntries(), .header_unused = 0xDEADBEEF};
  for (TestEntry& entry : ignored_bytes.entries) entry.unused = 0xFFFFFFFF;
  RunCases({
      {.name = "empty 0-byte archive: the summary alone",
       .archive = Bytes{},
       .args = {"archive.zrq"},
       .out = "Done: 0 files processed.\n",
       .after = {{"velkard", Folder()}}},
      {.name = "entry_count 0",
       .archive = Archive({}),
       .args = {"archive.zrq"},
       .out = "Done: 0 files processed.\n",
       .after = {{"velkard", Folder()}}},
      {.name = "a file shorter than the header reads as zeros: an empty archive",
       .archive = Bytes(6, 0),
       .args = {"archive.zrq"},
       .out = "Done: 0 files processed.\n",
       .after = {{"velkard", Folder()}}},
      {.name = "directory at the end, behind the payloads",
       .archive = Archive({.entries = ThreeEntries()}),
       .args = {"archive.zrq"},
       .out = ThreeEntriesOut(),
       .after = ThreeEntriesFiles()},
      {.name = "directory right behind the header",
       .archive = Archive(behind_header),
       .args = {"archive.zrq"},
       .out = ThreeEntriesOut(),
       .after = ThreeEntriesFiles()},
      {.name = "header bytes 0-3 and record bytes 72-75 are never interpreted",
       .archive = Archive(ignored_bytes),
       .args = {"archive.zrq"},
       .out = ThreeEntriesOut(),
       .after = ThreeEntriesFiles()},
      {.name = "the File: line: size as 8 upper-case hex digits, type without leading zeros",
       .archive = Archive(
           {.entries = {{.name = "tenth", .type = 10, .payload = PatternBytes(200)},
                        {.name = "odd", .type = 0xDEADBEEF, .payload = Text("x")},
                        {.name = "none", .type = 0, .payload = {}},
                        {.name = "Mixed Case name", .type = 3, .payload = PatternBytes(0xABC)}}}),
       .args = {"archive.zrq"},
       .out = "File: (0x000000C8) Type:A tenth \n"
              "File: (0x00000001) Type:DEADBEEF odd \n"
              "File: (0x00000000) Type:0 none \n"
              "File: (0x00000ABC) Type:3 Mixed Case name \n"
              "Done: 4 files processed.\n",
       .after = {{"velkard/tenth", File(PatternBytes(200))},
                 {"velkard/odd", File("x")},
                 {"velkard/none", File(Bytes{})},
                 {"velkard/Mixed Case name", File(PatternBytes(0xABC))}}},
  });
}

TEST(DirectoryWalk, DamagedDirectory) {
  ArchiveLayout one_more_than_stored{
      .entries = ThreeEntries(), .has_entry_count = true, .entry_count = 4};
  ArchiveLayout huge_count{.entries = {{.name = "only", .type = 3, .payload = Text("1")}},
                           .has_entry_count = true,
                           .entry_count = 0xFFFFFFFF};
  const Bytes three = Archive({.entries = ThreeEntries()});
  const std::uint32_t three_directory = BuildArchive({.entries = ThreeEntries()}).directory_offset;
  RunCases({
      {.name = "fewer records than entry_count: the records there are processed, -5",
       .archive = Archive(one_more_than_stored),
       .args = {"archive.zrq"},
       .out = FileLine(4, 3, "alpha") + FileLine(2, 1, "beta_MSM") + FileLine(1, 7, "gamma") +
              DoneLine(3),
       .err = "Error: Directory is truncated: the archive ends after 3 of 4 records.\n",
       .exit_code = -5,
       .after = ThreeEntriesFiles()},
      {.name = "a record cut short is not processed",
       .archive = WithoutLastBytes(three, 30),
       .args = {"archive.zrq"},
       .out = FileLine(4, 3, "alpha") + FileLine(2, 1, "beta_MSM") + DoneLine(2),
       .err = "Error: Directory is truncated: the archive ends after 2 of 3 records.\n",
       .exit_code = -5,
       .after = {{"velkard/alpha", File("AAAA")}, {"velkard/beta.MSM", File("BB")}}},
      {.name = "a huge count on a tiny file ends at once",
       .archive = Archive(huge_count),
       .args = {"archive.zrq"},
       .out = FileLine(1, 3, "only") + DoneLine(1),
       .err = "Error: Directory is truncated: the archive ends after 1 of 4294967295 records.\n",
       .exit_code = -5,
       .after = {{"velkard/only", File("1")}}},
      {.name = "directory_offset at the end of the file: the count is missing, -5",
       .archive = Archive({.entries = ThreeEntries(),
                           .has_directory_offset = true,
                           .directory_offset = static_cast<std::uint32_t>(three.size())}),
       .args = {"archive.zrq"},
       .out = DoneLine(0),
       .err = CountMissing(static_cast<std::uint32_t>(three.size())),
       .exit_code = -5,
       .after = {{"velkard", Folder()}}},
      {.name = "the file ends 2 bytes into the count",
       .archive = WithoutLastBytes(three, three.size() - three_directory - 2),
       .args = {"archive.zrq"},
       .out = DoneLine(0),
       .err = CountMissing(three_directory),
       .exit_code = -5,
       .after = {{"velkard", Folder()}}},
      // Far offsets are reached, and the file is found to end before them.
      {.name = "directory_offset 2^31 past the end of a small file",
       .archive = Archive({.entries = ThreeEntries(),
                           .has_directory_offset = true,
                           .directory_offset = 0x80000000}),
       .args = {"archive.zrq"},
       .out = DoneLine(0),
       .err = CountMissing(0x80000000),
       .exit_code = -5,
       .after = {{"velkard", Folder()}}},
      {.name = "directory_offset 0xFFFFFFFF past the end of a small file",
       .archive = Archive({.entries = ThreeEntries(),
                           .has_directory_offset = true,
                           .directory_offset = 0xFFFFFFFF}),
       .args = {"archive.zrq", "out"},
       .out = DoneLine(0),
       .err = CountMissing(0xFFFFFFFF),
       .exit_code = -5,
       .after = {{"out", Folder()}}},
      {.name = "entry offsets of 2^31 and more past the end of a small file are truncated, -5",
       .archive = Archive({.entries = {{.name = "before", .type = 3, .payload = Text("b")},
                                       {.name = "far",
                                        .type = 3,
                                        .payload = Text("never"),
                                        .has_offset = true,
                                        .offset = 0x80000000,
                                        .has_size = true,
                                        .size = 5},
                                       {.name = "farther",
                                        .type = 5,
                                        .has_offset = true,
                                        .offset = 0xFFFFFFF0,
                                        .has_size = true,
                                        .size = 80},
                                       {.name = "after", .type = 3, .payload = Text("a")}}}),
       .args = {"archive.zrq"},
       .out = FileLine(1, 3, "before") + FileLine(5, 3, "far") + FileLine(80, 5, "farther") +
              FileLine(1, 3, "after") + DoneLine(4),
       .err = "Error: \"far\" is truncated: the archive ends inside its payload.\n"
              "Error: \"farther\" is truncated: the archive ends inside its payload.\n",
       .exit_code = -5,
       .after = {{"velkard/before", File("b")},
                 {"velkard/far", File("")},
                 {"velkard/farther.bmp", File(BitmapHeaders(0, 0))},
                 {"velkard/after", File("a")}}},
  });
}

// Every offset a 32-bit field can hold is reached, however far past the
// reach of one signed 32-bit move from the start it lies, and rows that
// run on past 4 GiB are read where they lie. The archive is a sparse file of
// 4 GiB and a few KiB: only the pieces below are stored.
TEST(DirectoryWalk, OffsetsAnywhereBelow4GiBAreReached) {
  constexpr std::uint32_t kDirectory = 0x88000000;  // 2 GiB + 128 MiB
  constexpr std::uint32_t kMid = 0x90000000;        // 2.25 GiB
  constexpr std::uint32_t kAcross = 0xFFFFF000;     // 4 KiB below 4 GiB, 8 KiB long
  constexpr std::uint32_t kTall = 0xFFFFFF00;       // inside that, its rows crossing 4 GiB
  const Bytes mid = PatternBytes(1000, 21);
  const Bytes across = PatternBytes(8192, 22);
  const std::vector<std::uint16_t> pixels = PatternPixels(std::size_t{3} * 100, 23);
  const Bytes tall = SizedImagePayload(3, 100, pixels);

  Bytes header;
  AppendLittleEndian32(header, 0);
  AppendLittleEndian32(header, kDirectory);
  Bytes directory;
  AppendLittleEndian32(directory, 3);
  const std::pair<std::string, std::vector<std::uint32_t>> records[] = {
      {"mid", {kMid, static_cast<std::uint32_t>(mid.size()), 3}},
      {"across", {kAcross, static_cast<std::uint32_t>(across.size()), 3}},
      {"tall", {kTall, static_cast<std::uint32_t>(tall.size()), 5}},
  };
  for (const auto& [name, fields] : records) {
    Bytes record(64, 0);
    std::copy(name.begin(), name.end(), record.begin());
    AppendLittleEndian32(record, fields[0]);
    AppendLittleEndian32(record, fields[1]);
    AppendLittleEndian32(record, 0);
    AppendLittleEndian32(record, fields[2]);
    directory.insert(directory.end(), record.begin(), record.end());
  }
  const std::pair<std::uint64_t, const Bytes*> pieces[] = {
      {0, &header}, {kDirectory, &directory}, {kMid, &mid}, {kAcross, &across}, {kTall, &tall}};

  const ScratchDir temporary;
  const std::string archive = temporary.path() + "/far.zrq";
  const int fd = open(archive.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  bool stored = ftruncate(fd, static_cast<off_t>(0x100000000ull + 16ull * 1024)) == 0;
  for (const auto& [offset, bytes] : pieces) {
    stored = stored && pwrite(fd, bytes->data(), bytes->size(), static_cast<off_t>(offset)) ==
                           static_cast<ssize_t>(bytes->size());
  }
  close(fd);
  ASSERT_TRUE(stored) << "cannot store a sparse archive of 4 GiB here";
  // The image's payload lies inside the one that crosses 4 GiB: that one
  // holds what the file holds there.
  Bytes across_stored(across.size());
  const int reader = open(archive.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  ASSERT_EQ(pread(reader, across_stored.data(), across_stored.size(), kAcross),
            static_cast<ssize_t>(across_stored.size()));
  close(reader);

  const ChildResult run = RunTool({"far.zrq", "out"}, temporary.path());
  EXPECT_EQ(run.failure, "");
  EXPECT_EQ(run.out, ConsoleLines(FileLine(1000, 3, "mid") + FileLine(8192, 3, "across") +
                                  FileLine(76 + 600, 5, "tall") + DoneLine(3)));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_TRUE(ReadFileBytes(temporary.path() + "/out/mid") == mid);
  EXPECT_TRUE(ReadFileBytes(temporary.path() + "/out/across") == across_stored);
  EXPECT_TRUE(ReadFileBytes(temporary.path() + "/out/tall.bmp") == ExpectedBitmap(3, 100, pixels));
}

}  // namespace
