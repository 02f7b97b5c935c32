// Plain entries: the payload's bytes are the output file's bytes, whatever
// the size, wherever the payload lies, and whatever the output refuses.
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "e2e_case.h"
#include "tests/support/list_folder.h"
#include "tool_under_test.h"

namespace {

std::string Truncated(const std::string& shown) {
  return "Error: \"" + shown + "\" is truncated: the archive ends inside its payload.\n";
}

TEST(RawCopy, SizesAndPlacement) {
  // On and around the sizes where a transfer changes its way: 16 KiB, from
  // which the Linux file layer has the kernel copy file to file, or reads and
  // writes straight to the kernel, rather than through its buffer; 64 KiB,
  // that buffer; 128 KiB, the chunk CopyRaw moves at a time where the kernel
  // does not copy (Windows, another file system). Then a chunk and a buffered
  // tail (147455), and several chunks.
  const std::vector<std::size_t> sizes = {0,     1,      16383,  16384,  16385,  65535, 65536,
                                          65537, 131071, 131072, 131073, 147455, 300000};
  ArchiveLayout by_size;
  std::string out;
  FileTree files;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const std::string name = "size" + std::to_string(sizes[i]);
    const Bytes payload = PatternBytes(sizes[i], static_cast<std::uint32_t>(i) + 1);
    const std::uint32_t type = i % 2 == 0 ? 3 : 42;  // unknown types are copied raw as well
    by_size.entries.push_back({.name = name, .type = type, .payload = payload});
    out += FileLine(static_cast<std::uint32_t>(sizes[i]), type, name);
    files["velkard/" + name] = File(payload);
  }

  // Payloads that overlap, repeat, and lie out of order; the first payload
  // starts right behind the 8-byte header.
  const Bytes shared = PatternBytes(3000, 7);
  ArchiveLayout overlapping{.entries = {{.name = "whole", .type = 3, .payload = shared},
                                        {.name = "middle",
                                         .type = 3,
                                         .has_offset = true,
                                         .offset = 8 + 1000,
                                         .has_size = true,
                                         .size = 1500},
                                        {.name = "again_WAV",
                                         .type = 1,
                                         .has_offset = true,
                                         .offset = 8,
                                         .has_size = true,
                                         .size = 3000},
                                        {.name = "header",
                                         .type = 9,
                                         .has_offset = true,
                                         .offset = 0,
                                         .has_size = true,
                                         .size = 8}}};
  const Bytes overlapping_archive = Archive(overlapping);

  RunCases({
      {.name = "sizes 0 to 300000 around 16, 64 and 128 KiB, types 3 and unknown",
       .archive = Archive(by_size),
       .args = {"archive.zrq"},
       .out = out + DoneLine(static_cast<int>(sizes.size())),
       .after = files},
      {.name = "overlapping and repeated payloads each get their full bytes",
       .archive = overlapping_archive,
       .args = {"archive.zrq"},
       .out = FileLine(3000, 3, "whole") + FileLine(1500, 3, "middle") +
              FileLine(3000, 1, "again_WAV") + FileLine(8, 9, "header") + DoneLine(4),
       .after = {{"velkard/whole", File(shared)},
                 {"velkard/middle", File(Slice(shared, 1000, 1500))},
                 {"velkard/again.WAV", File(shared)},
                 {"velkard/header", File(Slice(overlapping_archive, 0, 8))}}},
  });
}

TEST(RawCopy, PayloadPastTheEndOfTheArchive) {
  // Directory first, so that the last payload ends the file. The directory
  // of 3 records takes 4 + 240 bytes: the first payload starts at 252.
  const Bytes first = PatternBytes(1500, 3);
  const Bytes last = PatternBytes(2500, 4);
  ArchiveLayout cut{
      .entries =
          {{.name = "first", .type = 3, .payload = first},
           {.name = "last", .type = 3, .payload = last, .has_size = true, .size = 2500 + 100},
           {.name = "first_again",
            .type = 3,
            .has_offset = true,
            .offset = 252,
            .has_size = true,
            .size = 1500}},
      .directory = DirectoryPlace::kAfterHeader};
  const Bytes cut_archive = Archive(cut);
  ArchiveLayout beyond{.entries = {{.name = "nothing_there",
                                    .type = 3,
                                    .has_offset = true,
                                    .offset = 1000000,
                                    .has_size = true,
                                    .size = 10},
                                   {.name = "empty_far",
                                    .type = 3,
                                    .has_offset = true,
                                    .offset = 1000000,
                                    .has_size = true,
                                    .size = 0},
                                   {.name = "empty_at_start",
                                    .type = 1,
                                    .has_offset = true,
                                    .offset = 0,
                                    .has_size = true,
                                    .size = 0}}};
  const Bytes beyond_archive = Archive(beyond);
  RunCases({
      {.name = "the output holds exactly the bytes that exist, reported, the walk goes on",
       .archive = cut_archive,
       .args = {"archive.zrq"},
       .out = FileLine(1500, 3, "first") + FileLine(2600, 3, "last") +
              FileLine(1500, 3, "first_again") + DoneLine(3),
       .err = Truncated("last"),
       .exit_code = -5,
       .after = {{"velkard/first", File(first)},
                 {"velkard/last", File(last)},
                 {"velkard/first_again", File(first)}}},
      {.name = "a payload past a 128 KiB boundary that ends early",
       .archive = Archive({.entries = {{.name = "big",
                                        .type = 3,
                                        .payload = PatternBytes(140000),
                                        .has_size = true,
                                        .size = 1000000}},
                           .directory = DirectoryPlace::kAfterHeader}),
       .args = {"archive.zrq"},
       .out = FileLine(1000000, 3, "big") + DoneLine(1),
       .err = Truncated("big"),
       .exit_code = -5,
       .after = {{"velkard/big", File(PatternBytes(140000))}}},
      {.name = "an offset beyond the end gives an empty file, reported unless the size is 0",
       .archive = beyond_archive,
       .args = {"archive.zrq"},
       .out = FileLine(10, 3, "nothing_there") + FileLine(0, 3, "empty_far") +
              FileLine(0, 1, "empty_at_start") + DoneLine(3),
       .err = Truncated("nothing_there"),
       .exit_code = -5,
       .after = {{"velkard/nothing_there", File(Bytes{})},
                 {"velkard/empty_far", File(Bytes{})},
                 {"velkard/empty_at_start", File(Bytes{})}}},
  });
}

TEST(RawCopy, OutputThatCannotBeWritten) {
  const Bytes big = PatternBytes(10000, 5);
  RunCases({
      {.name = "a folder already has the entry's name: reported, the walk goes on",
       .archive = Archive({.entries = {{.name = "taken", .type = 3, .payload = Text("x")},
                                       {.name = "free", .type = 3, .payload = Text("y")}}}),
       .args = {"archive.zrq"},
       .out = FileLine(1, 3, "taken") + FileLine(1, 3, "free") + DoneLine(2),
       .err = "Couldn't create output file \"" + OutputPath("velkard", "taken") +
              "\": " + SystemReason("Is a directory", "Access denied") + "\n",
       .exit_code = -5,
       .after = {{"velkard/free", File("y")}},
       .before = {{"velkard/taken/inside", File("stays")}}},
      // Writing into it would lose the entry, or wait forever for a reader.
      {.name = "a named pipe already has the entry's name: reported, nothing written into it",
       .archive = Archive({.entries = {{.name = "piped", .type = 3, .payload = Text("x")},
                                       {.name = "free", .type = 3, .payload = Text("y")}}}),
       .args = {"archive.zrq"},
       .out = FileLine(1, 3, "piped") + FileLine(1, 3, "free") + DoneLine(2),
       .err = "Couldn't create output file \"" + OutputPath("velkard", "piped") +
              "\": " + SystemReason("Not a regular file", "Access denied") + "\n",
       .exit_code = -5,
       .after = {{"velkard/free", File("y")}},
       .before = {{"velkard/piped", Pipe()}}},
      // The file size limit fails writes with EFBIG, as a full disk fails
      // them; under wine the write fails the same way, at the same byte, and
      // wine calls the failure a general one.
      {.name = "a write fails half way: reported, smaller entries still written",
       .archive =
           Archive({.entries = {{.name = "small", .type = 3, .payload = Text("fits")},
                                {.name = "big", .type = 3, .payload = big},
                                {.name = "small_too", .type = 3, .payload = Text("fits too")}}}),
       .args = {"archive.zrq"},
       .out = FileLine(4, 3, "small") + FileLine(10000, 3, "big") + FileLine(8, 3, "small_too") +
              DoneLine(3),
       .err = "Couldn't write output file \"" + OutputPath("velkard", "big") +
              "\": " + SystemReason("File too large", "General failure") + "\n",
       .exit_code = -5,
       .after = {{"velkard/small", File("fits")},
                 {"velkard/big", File(Slice(big, 0, 4096))},
                 {"velkard/small_too", File("fits too")}},
       .max_file_bytes = 4096},
      // The same while replacing: the old file is not given up for a part of
      // the new one, while a new name keeps what it got.
      {.name = "a write that fails while replacing an old file leaves the old file whole",
       .archive = Archive({.entries = {{.name = "big", .type = 3, .payload = big},
                                       {.name = "fresh", .type = 3, .payload = big}}}),
       .args = {"archive.zrq"},
       .out = FileLine(10000, 3, "big") + FileLine(10000, 3, "fresh") + DoneLine(2),
       .err = "Couldn't write output file \"" + OutputPath("velkard", "big") +
              "\": " + SystemReason("File too large", "General failure") + "\n" +
              "Couldn't write output file \"" + OutputPath("velkard", "fresh") +
              "\": " + SystemReason("File too large", "General failure") + "\n",
       .exit_code = -5,
       .after = {{"velkard/fresh", File(Slice(big, 0, 4096))}},
       .before = {{"velkard/big", File("the old big file")}},
       .max_file_bytes = 4096},
  });
}

// A file standing under an output name is replaced as a name, never written
// through: what a link points to, in the folder or outside it, and a hard
// link's other name keep their bytes.
TEST(RawCopy, ReplacingANameNeverWritesThroughIt) {
  const Bytes archive =
      Archive({.entries = {{.name = "soft", .type = 3, .payload = Text("new soft")},
                           {.name = "dangling", .type = 3, .payload = Text("new d")},
                           {.name = "hard", .type = 3, .payload = Text("new hard")},
                           {.name = "old", .type = 3, .payload = Text("new old")}}});
  FileTree files = {{"archive.zrq", File(archive)},
                    {"keep/secret", File("secret")},
                    {"keep/other", File("other")},
                    {"velkard/soft", Link("../keep/secret")},
                    {"velkard/dangling", Link("../keep/nowhere")},
                    {"velkard/old", File("an old file, longer than the new one")}};
  const CaseFolder folder(files);
  ASSERT_EQ(link((folder / "keep/other").c_str(), (folder / "velkard/hard").c_str()), 0);

  const ChildResult run = RunTool({"archive.zrq"}, folder.working());
  ExpectExit(run, 0, "");
  EXPECT_EQ(run.out, ConsoleLines(FileLine(8, 3, "soft") + FileLine(5, 3, "dangling") +
                                  FileLine(8, 3, "hard") + FileLine(7, 3, "old") + DoneLine(4)));
  files["velkard/soft"] = File("new soft");
  files["velkard/dangling"] = File("new d");
  files["velkard/hard"] = File("new hard");
  files["velkard/old"] = File("new old");
  ExpectSameTree(InWorkingFolder(files), folder.Snapshot());
}

// The leftovers of a replacement in `folder`, by name.
std::vector<std::string> Leftovers(const std::string& folder) {
  std::vector<std::string> names;
  for (const std::string& name : ListFolder(folder)) {
    if (name.starts_with(".unzrq-partial-")) names.push_back(name);
  }
  return names;
}

// Killed once the new file is written and before it takes the name, the
// tool leaves the old file whole and the new one beside it, under a name the
// README gives. It is held there by waiting on standard error to report the
// entry cut short.
TEST(RawCopy, ARunKilledWhileReplacingAFileLeavesTheOldFileWhole) {
  // Wine's server takes a write to a full pipe and lets the program go on,
  // so nothing holds the .exe at a known moment; OutputThatCannotBeWritten
  // interrupts its replacement with a failed write instead.
  if (OnWindows()) GTEST_SKIP() << "nothing holds the .exe at a known moment under wine";
  const Bytes cut = PatternBytes(3000, 7);
  const Bytes archive = Archive(
      {.entries = {{.name = "cut", .type = 3, .payload = cut, .has_size = true, .size = 5000}},
       .directory = DirectoryPlace::kAfterHeader});
  const FileTree files = {{"archive.zrq", File(archive)},
                          {"velkard/cut", File("the old file, whole")}};
  const CaseFolder folder(files);
  const std::string line = FileLine(5000, 3, "cut");
  const ChildResult run =
      RunTool({"archive.zrq"}, folder.working(), HeldAt(line, [&folder, &cut](int pid) {
                // Standard output may reach the pipe before the report that
                // waits: the kill waits for the new file to be whole, which
                // it is before the tool reports.
                for (int wait = 0; wait < 500; ++wait) {
                  const std::vector<std::string> names = Leftovers(folder / "velkard");
                  if (names.size() == 1 && ReadFileBytes(folder / "velkard/" + names[0]) == cut) {
                    break;
                  }
                  usleep(10000);
                }
                KillNow(pid);
              }));
  EXPECT_EQ(run.failure, "the tool was killed by signal Killed");
  EXPECT_EQ(run.out, ConsoleLines(line));
  EXPECT_EQ(run.err, "");

  // The leftover's name holds the process and the clock: only its shape is known.
  FileTree found = folder.Snapshot();
  const std::vector<std::string> leftovers = Leftovers(folder / "velkard");
  ASSERT_EQ(leftovers.size(), 1u);
  const std::string& leftover = leftovers[0];
  EXPECT_EQ(leftover.size(), 71u) << leftover;
  EXPECT_TRUE(leftover.ends_with("-left-by-a-stopped-run")) << leftover;
  EXPECT_TRUE(found["run/velkard/" + leftover] == File(cut)) << leftover;
  found.erase("run/velkard/" + leftover);
  ExpectSameTree(InWorkingFolder(files), found);
}

// Two runs into one folder at once, into a fresh folder and over the files
// of a run before: every name ends up holding one run's whole entry, never a
// mix, and no temporary file is left. A run that cannot replace a file the
// other still has open (Windows) keeps its entry under its temporary name and
// says so. How far the runs overlap is up to
// the machine; the promise holds however they do.
TEST(RawCopy, TwoRunsAtOnceEachLeaveWholeEntries) {
  constexpr int kEntries = 6;
  constexpr std::size_t kEntryBytes = std::size_t{512} * 1024;
  ArchiveLayout layouts[2];
  for (int run = 0; run < 2; ++run) {
    for (int entry = 0; entry < kEntries; ++entry) {
      layouts[run].entries.push_back(
          {.name = "entry" + std::to_string(entry),
           .type = 3,
           .payload = PatternBytes(kEntryBytes, static_cast<std::uint32_t>(100 * run + entry))});
    }
  }
  const ScratchDir temporary;
  WriteFileBytes(temporary.path() + "/a.zrq", Archive(layouts[0]));
  WriteFileBytes(temporary.path() + "/b.zrq", Archive(layouts[1]));
  for (const char* round : {"into a fresh folder", "over the files of a run before"}) {
    SCOPED_TRACE(round);
    ChildResult results[2];
    std::thread first([&] { results[0] = RunTool({"a.zrq", "out"}, temporary.path()); });
    results[1] = RunTool({"b.zrq", "out"}, temporary.path());
    first.join();
    for (const ChildResult& result : results) {
      EXPECT_EQ(result.failure, "");
      EXPECT_TRUE(result.exit_status == 0 || result.exit_status == ExitStatus(-5))
          << result.exit_status;
      std::size_t line = 0;
      for (std::size_t end; (end = result.err.find('\n', line)) != std::string::npos;
           line = end + 1) {
        EXPECT_TRUE(result.err.compare(line, 30, "Couldn't replace output file \"") == 0 &&
                    result.err.find("; the entry is kept whole as \"", line) < end)
            << result.err.substr(line, end - line);
      }
    }
    FileTree files = SnapshotTree(temporary.path() + "/out");
    // An entry kept aside is one run's whole entry under a temporary name.
    for (auto it = files.begin(); it != files.end();) {
      if (!it->first.starts_with(".unzrq-partial-")) {
        ++it;
        continue;
      }
      bool whole = false;
      for (const ArchiveLayout& layout : layouts) {
        for (const TestEntry& entry : layout.entries) whole = whole || it->second.bytes == entry.payload;
      }
      EXPECT_TRUE(OnWindows() && whole) << it->first;
      it = files.erase(it);
    }
    EXPECT_EQ(files.size(), static_cast<std::size_t>(kEntries));
    for (int entry = 0; entry < kEntries; ++entry) {
      const std::string name = "entry" + std::to_string(entry);
      const auto found = files.find(name);
      ASSERT_NE(found, files.end()) << name;
      EXPECT_TRUE(found->second.bytes == layouts[0].entries[entry].payload ||
                  found->second.bytes == layouts[1].entries[entry].payload)
          << name << " holds neither run's entry whole";
    }
  }
}

}  // namespace
