// The command line: usage, the output folder, and the failures that stop the
// tool before it reads any record.
#include <gtest/gtest.h>

#include "e2e_case.h"
#include "tool_under_test.h"

namespace {

std::string Usage() {
  return "Usage: " + ProgramName() +
         " InputFile.zrq [OutputDir]\n"
         "     where: InputFile is a valid ZRQ archive file\n"
         "            OutputDir is an optional output folder. \"velkard\" by default\n\n";
}

// One small archive for every case here: its own content is not the point.
ArchiveLayout TwoEntries() {
  return {.entries = {{.name = "first", .type = 3, .payload = Text("one")},
                      {.name = "second_LUA", .type = 1, .payload = Text("two!")}}};
}

std::string TwoEntriesOut() {
  return FileLine(3, 3, "first") + FileLine(4, 1, "second_LUA") + DoneLine(2);
}

FileTree TwoEntriesIn(const std::string& folder) {
  return {{folder + "/first", File("one")}, {folder + "/second.LUA", File("two!")}};
}

TEST(CommandLine, ArgumentsAndOutputFolder) {
  RunCases({
      {.name = "no arguments: usage on standard error, nothing created",
       .archive = Archive(TwoEntries()),
       .args = {},
       .err = Usage(),
       .exit_code = 0},
      {.name = "archive only: entries land in velkard",
       .archive = Archive(TwoEntries()),
       .args = {"archive.zrq"},
       .out = TwoEntriesOut(),
       .after = TwoEntriesIn("velkard")},
      {.name = "explicit output folder",
       .archive = Archive(TwoEntries()),
       .args = {"archive.zrq", "unpacked"},
       .out = TwoEntriesOut(),
       .after = TwoEntriesIn("unpacked")},
      {.name = "arguments after the output folder are ignored",
       .archive = Archive(TwoEntries()),
       .args = {"archive.zrq", "unpacked", "extra", "more"},
       .out = TwoEntriesOut(),
       .after = TwoEntriesIn("unpacked")},
      {.name = "output folder inside an existing folder",
       .archive = Archive(TwoEntries()),
       .args = {"archive.zrq", "parent/unpacked"},
       .out = TwoEntriesOut(),
       .after = TwoEntriesIn("parent/unpacked"),
       .before = {{"parent", Folder()}}},
      {.name = "existing folder: other files stay, same names are replaced",
       .archive = Archive(TwoEntries()),
       .args = {"archive.zrq"},
       .out = TwoEntriesOut(),
       .after = TwoEntriesIn("velkard"),
       .before = {{"velkard/keep.txt", File("kept")},
                  {"velkard/first", File("an older and longer file")},
                  {"velkard/sub/deep", File("kept too")}}},
  });
}

TEST(CommandLine, FailuresBeforeTheWalk) {
  RunCases({
      {.name = "missing archive: -2, the folder stays",
       .args = {"missing.zrq"},
       .err = "Couldn't open archive file: \"missing.zrq\"\n",
       .exit_code = -2,
       .after = {{"velkard", Folder()}}},
      {.name = "missing archive with an explicit folder",
       .args = {"missing.zrq", "out"},
       .err = "Couldn't open archive file: \"missing.zrq\"\n",
       .exit_code = -2,
       .after = {{"out", Folder()}}},
      {.name = "a folder given as the archive: -2",
       .args = {"somedir"},
       .err = "Couldn't open archive file: \"somedir\"\n",
       .exit_code = -2,
       .after = {{"velkard", Folder()}},
       .before = {{"somedir", Folder()}}},
      {.name = "output folder's parent missing: -1, nothing created",
       .archive = Archive(TwoEntries()),
       .args = {"archive.zrq", "nowhere/unpacked"},
       .err = "Couldn't create output folder \"nowhere/unpacked\"\n",
       .exit_code = -1},
      {.name = "output folder path is a plain file: -1, the file unchanged",
       .archive = Archive(TwoEntries()),
       .args = {"archive.zrq"},
       .err = "Couldn't create output folder \"velkard\"\n",
       .exit_code = -1,
       .before = {{"velkard", File("not a folder")}}},
      {.name = "explicit output folder is the archive itself: -1",
       .archive = Archive(TwoEntries()),
       .args = {"archive.zrq", "archive.zrq"},
       .err = "Couldn't create output folder \"archive.zrq\"\n",
       .exit_code = -1},
  });
}

}  // namespace
