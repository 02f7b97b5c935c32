// One end-to-end case is a row of a table: {archive built in the test,
// arguments, what the working folder holds beforehand} -> {standard output,
// standard error, exit code, what the working folder holds afterwards}.
// A case that is no row of a table (it changes the archive under the tool,
// kills it, makes links) is a plain test made of the same building blocks,
// declared below: a CaseFolder, RunTool with ChildLimits, ExpectExit and
// ExpectSameTree.
//
// Each case runs the real tool in a fresh working folder, "run", inside a
// fresh temporary folder; the whole temporary folder is compared afterwards,
// so a file written next to the working folder (say by a name that climbs
// with "..") shows as well as one written inside it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "child_process.h"
#include "file_tree.h"
#include "tests/support/scratch_dir.h"

enum class Legs { kBoth, kLinuxOnly, kWindowsOnly };

struct E2eCase {
  std::string name;
  std::optional<Bytes> archive;   // written into the working folder as `archive_name`
  std::vector<std::string> args;  // argv[1] onwards
  std::string out;                // expected standard output, lines ending in "\n"
  std::string err;                // expected standard error, lines ending in "\n"
  int exit_code = 0;              // as the tool returns it, e.g. -5
  // What the run adds or replaces, relative to the working folder; parent
  // folders are implied. Everything in `before` and the archive must still be
  // there unchanged unless listed here, and nothing else may appear.
  FileTree after;
  FileTree before;  // laid out in the working folder before the run
  std::string archive_name = "archive.zrq";
  Legs legs = Legs::kBoth;
  unsigned long long max_file_bytes = 0;  // see ChildLimits
  // kReaderGone and kClosed leave nothing to read: `out` stays empty. On
  // kTerminal `out` is the text the terminal shows (see RunCase).
  StandardOutput standard_output = StandardOutput::kRead;
  // Windows leg: wine's drive Y: is the working folder, and the tool runs in
  // this folder of it (say "sub"), which is then the current folder of Y:.
  // Empty: no drive Y:, the tool runs in the working folder.
  std::string run_on_drive_y_in;
  bool zrq = false;  // runs zrq instead of unzrq
};

// Runs each case of the table meant for the leg under test; with none, the
// test is reported skipped.
void RunCases(const std::vector<E2eCase>& cases);

// Runs one case and checks everything it promises.
void RunCase(const E2eCase& test_case);

// --- Building blocks of a case ------------------------------------------

// A fresh temporary folder, removed with everything in it however the test
// ends, holding the working folder "run" laid out with `tree` (CreateTree).
class CaseFolder {
 public:
  explicit CaseFolder(const FileTree& tree);

  // Where the tool runs.
  const std::string& working() const { return working_; }
  // A path in the working folder.
  std::string operator/(const std::string& path) const { return working_ + "/" + path; }
  // Everything in the temporary folder now, the working folder as "run".
  FileTree Snapshot() const;

 private:
  ScratchDir temporary_;
  std::string working_;
};

// What CaseFolder::Snapshot must give when the working folder holds exactly
// `inside`: the paths under "run/", with every folder a path implies.
FileTree InWorkingFolder(const FileTree& inside);

// `found` is `expected`, or the test fails with every difference.
void ExpectSameTree(const FileTree& expected, const FileTree& found);

// The tool ended by itself with `exit_code` (as it returns it, e.g. -5) and
// wrote exactly `err` to standard error (lines ending in "\n").
void ExpectExit(const ChildResult& result, int exit_code, const std::string& err);

// Limits that hold the tool at its first report, once its standard output
// holds `out` (lines ending in "\n"), and run `while_held` there (see
// ChildLimits): for a test that changes the archive under the tool, or
// kills it, at a known moment.
ChildLimits HeldAt(const std::string& out, std::function<void(int pid)> while_held);

// For `while_held`: kills the tool, and returns once it is dead, so that
// nothing it still had to write gets out.
void KillNow(int pid);

// Writes `bytes` over the file's own from `offset` on, in place, as another
// program writing the archive would.
void OverwriteBytes(const std::string& path, std::uint64_t offset, const Bytes& bytes);

// Table helpers.
TreeNode File(const Bytes& bytes);
TreeNode File(const std::string& text);
TreeNode Folder();
TreeNode Pipe();
TreeNode Link(const std::string& target);
Bytes Archive(const ArchiveLayout& layout);
Bytes Concat(const Bytes& a, const Bytes& b);
Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t length);

// Expected console text, typed out independently of the tool's own tables.
// "File: (0x%08X) Type:%X %s \n"
std::string FileLine(std::uint32_t size, std::uint32_t type, const std::string& name);
// "Done: %d files processed.\n"
std::string DoneLine(int processed);

// FileLine with the line end the tool writes and the name's bytes as stored,
// for a name holding a line feed, which stays the one byte it is stored as
// (ConsoleLines would end a line there); other lines go through ConsoleLines.
std::string ListedLine(std::uint32_t size, std::uint32_t type, const std::string& name);
