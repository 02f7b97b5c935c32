// One end-to-end case is a row of a table: {archive built in the test,
// arguments, what the working folder holds beforehand} -> {standard output,
// standard error, exit code, what the working folder holds afterwards}.
//
// Each case runs the real tool in a fresh working folder, "run", inside a
// fresh temporary folder; the whole temporary folder is compared afterwards,
// so a file written next to the working folder (say by a name that climbs
// with "..") shows as well as one written inside it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
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
  // `out` already ends its lines as the tool does (ListedLine) and is
  // compared as it stands: for a name holding a line feed, which stays the
  // one byte it is stored as.
  bool out_as_listed = false;
  // Windows leg: wine's drive Y: is the working folder, and the tool runs in
  // this folder of it (say "sub"), which is then the current folder of Y:.
  // Empty: no drive Y:, the tool runs in the working folder.
  std::string run_on_drive_y_in;
  // The archive changes under the tool: while the tool is held at its first
  // report, once standard output holds this text (see ChildLimits), the
  // archive's bytes at `change_at` become `change_to`. `after` then names the
  // archive as it ends.
  std::string change_after_out;
  std::uint32_t change_at = 0;
  Bytes change_to;
  // Killed, instead, while held there: the run ends by the signal, and one
  // leftover of a replacement, holding `leftover`, is expected in `folder`
  // beside `after`, its name as the README gives it.
  bool kill_while_held = false;
  std::string leftover_in;
  Bytes leftover;
  // Second names made after `before` is laid out: {new name, existing file}.
  std::vector<std::pair<std::string, std::string>> hard_links;
};

// Runs each case of the table meant for the leg under test; with none, the
// test is reported skipped.
void RunCases(const std::vector<E2eCase>& cases);

// Runs one case and checks everything it promises.
void RunCase(const E2eCase& test_case);

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
// for a case with `out_as_listed`; its other lines go through ConsoleLines.
std::string ListedLine(std::uint32_t size, std::uint32_t type, const std::string& name);
