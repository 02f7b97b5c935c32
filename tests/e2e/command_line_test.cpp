// The command line: usage, the output folder, and the failures that stop the
// tool before it reads any record.
#include <gtest/gtest.h>

#include <utility>

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

// `folder` relative to the working folder; empty for the working folder itself.
FileTree TwoEntriesIn(const std::string& folder) {
  const std::string prefix = folder.empty() ? "" : folder + "/";
  return {{prefix + "first", File("one")}, {prefix + "second.LUA", File("two!")}};
}

std::string CannotOpen(const std::string& archive) {
  return "Couldn't open archive file: \"" + archive + "\"\n";
}

std::string Repeated(const std::string& text, std::size_t count) {
  std::string repeated;
  for (std::size_t i = 0; i < count; ++i) repeated += text;
  return repeated;
}

// Every archive argument here names something that is no file on a disk.
E2eCase NoArchive(const std::string& title, const std::string& archive,
                  const FileTree& before = {}) {
  return {.name = title,
          .args = {archive, "out"},
          .err = CannotOpen(archive),
          .exit_code = -2,
          .after = {{"out", Folder()}},
          .before = before};
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
      {.name = "a trailing separator is not doubled in the paths reported",
       .archive = Archive(TwoEntries()),
       .args = {"archive.zrq", "unpacked/"},
       .out = TwoEntriesOut(),
       .err = "Couldn't create output file \"" + OutputPath("unpacked", "first") +
              "\": " + SystemReason("Is a directory", "Access denied") + "\n",
       .exit_code = -5,
       .after = {{"unpacked/second.LUA", File("two!")}},
       .before = {{"unpacked/first/inside", File("stays")}}},
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
       .err = CannotOpen("missing.zrq"),
       .exit_code = -2,
       .after = {{"velkard", Folder()}}},
      {.name = "missing archive with an explicit folder",
       .args = {"missing.zrq", "out"},
       .err = CannotOpen("missing.zrq"),
       .exit_code = -2,
       .after = {{"out", Folder()}}},
      {.name = "a folder given as the archive: -2",
       .args = {"somedir"},
       .err = CannotOpen("somedir"),
       .exit_code = -2,
       .after = {{"velkard", Folder()}},
       .before = {{"somedir", Folder()}}},
      {.name = "output folder's parent missing: -1, nothing created",
       .archive = Archive(TwoEntries()),
       .args = {"archive.zrq", "nowhere/unpacked"},
       .err = "Couldn't create output folder \"nowhere/unpacked\"\n",
       .exit_code = -1},
      // Control bytes in a path would retitle a terminal or clear it.
      {.name = "an archive path's control bytes are shown escaped",
       .args = {"\x1B]0;owned\x07.zrq"},
       .err = "Couldn't open archive file: \"\\x1B]0;owned\\x07.zrq\"\n",
       .exit_code = -2,
       .after = {{"velkard", Folder()}}},
      // Shown whole however long: the escape is printed piece by piece.
      {.name = "a long archive path is shown whole, each control byte escaped",
       .args = {std::string(5000, '\x01') + ".zrq"},
       .err = CannotOpen(Repeated("\\x01", 5000) + ".zrq"),
       .exit_code = -2,
       .after = {{"velkard", Folder()}}},
      {.name = "an output folder's control bytes are shown escaped",
       .archive = Archive(TwoEntries()),
       .args = {"archive.zrq", "\x1B[2J/out"},
       .err = "Couldn't create output folder \"\\x1B[2J/out\"\n",
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
      {.name = "a device as the output folder: -1",
       .archive = Archive(TwoEntries()),
       .args = {"archive.zrq", "/dev/null"},
       .err = "Couldn't create output folder \"/dev/null\"\n",
       .exit_code = -1},
      // On Linux these are names like any other.
      {.name = "the null device by its Windows name as the output folder: -1",
       .archive = Archive(TwoEntries()),
       .args = {"archive.zrq", "NUL"},
       .err = "Couldn't create output folder \"NUL\"\n",
       .exit_code = -1,
       .legs = Legs::kWindowsOnly},
  });
}

// Only a file on a disk is an archive. Under wine "/dev/null" is the host's
// device, seen through drive Z:; on Linux the Windows device names are just
// missing files, refused the same way.
TEST(CommandLine, ArchivesThatAreNoFiles) {
  RunCases({
      NoArchive("the null device", "/dev/null"),
      NoArchive("an endless device", "/dev/zero"),
      NoArchive("a named pipe", "pipe.zrq", {{"pipe.zrq", Pipe()}}),
      NoArchive("the null device by its Windows name", "NUL"),
      NoArchive("the null device with an extension", "nul.zrq"),
      NoArchive("the null device by its device path", "\\\\.\\NUL"),
  });
}

// Listing lines that cannot be written cost the listing, never an entry.
TEST(CommandLine, StandardOutputThatCannotBeWritten) {
  RunCases({
      {.name = "the reader has quit (| head): every entry written, the failure told, -5",
       .archive = Archive(TwoEntries()),
       .args = {"archive.zrq"},
       .err = "Error: Failed to write to standard output.\n",
       .exit_code = -5,
       .after = TwoEntriesIn("velkard"),
       .standard_output = StandardOutput::kReaderGone},
      {.name = "no standard output at all (>&-): the same",
       .archive = Archive(TwoEntries()),
       .args = {"archive.zrq"},
       .err = "Error: Failed to write to standard output.\n",
       .exit_code = -5,
       .after = TwoEntriesIn("velkard"),
       .standard_output = StandardOutput::kClosed},
  });
}

// Drive letters are Windows' own. The run has a drive Y:, the working folder,
// and runs in Y:\sub, the current folder of Y:.
TEST(CommandLine, OutputFolderSpellingsOnWindows) {
  const std::vector<std::pair<std::string, std::string>> spellings = {
      {"Y:", "sub"},  // the drive's current folder, not its root
      {"Y:.", "sub"},
      {"Y:new", "sub/new"},         // made in the drive's current folder
      {"Y:\\", ""},                 // the drive's root
      {"Y:\\sub\\", "sub"},         // a trailing separator
      {"\\\\?\\Y:\\sub\\", "sub"},  // taken literally: a doubled separator would fail
  };
  std::vector<E2eCase> cases;
  cases.reserve(spellings.size());
  for (const auto& [folder, lands_in] : spellings) {
    cases.push_back({.name = folder + " as the output folder",
                     .archive = Archive(TwoEntries()),
                     .args = {"Y:\\archive.zrq", folder},
                     .out = TwoEntriesOut(),
                     .after = TwoEntriesIn(lands_in),
                     .before = {{"sub", Folder()}},
                     .legs = Legs::kWindowsOnly,
                     .run_on_drive_y_in = "sub"});
  }
  RunCases(cases);
}

}  // namespace
