// Runs a program as a child process the way a person at a shell would, but
// with everything a test needs to judge the run: both output streams kept
// apart, the exit status, and a deadline so that a hanging tool fails the
// test instead of blocking the suite.
#pragma once

#include <functional>
#include <string>
#include <vector>

// What the child's standard output is.
enum class StandardOutput {
  kRead,        // a pipe the test reads to the end
  kReaderGone,  // a pipe whose reader has quit before the child starts: every write fails
  kClosed,      // no descriptor at all, as `>&-` leaves it
  // A pseudo-terminal, as a person at a terminal has: `out` is what the
  // terminal received, each line feed turned into CR LF by the terminal.
  kTerminal,
};

// What the test sets up around the child.
struct ChildLimits {
  // Largest file the child may write, in bytes; 0 for no limit. A write past
  // it fails with EFBIG, as on a full disk, where SIGXFSZ is ignored.
  unsigned long long max_file_bytes = 0;
  // Ignores SIGXFSZ for the child (inherited through exec) instead of leaving
  // that to the child itself.
  bool ignore_size_signal = false;
  int timeout_seconds = 60;
  StandardOutput output = StandardOutput::kRead;
  // Holds the child at its first write to standard error: that is a pipe
  // already full when the child starts. Once standard output holds
  // `hold_until` (the tool writes out what it printed before any report),
  // `while_held` runs, and only then is standard error read. What the test
  // filled the pipe with is not part of `err`.
  std::string hold_until;
  std::function<void(int pid)> while_held;
};

struct ChildResult {
  std::string out;
  std::string err;
  bool exited = false;  // false: killed by a signal or by the deadline
  int exit_status = 0;  // the low 8 bits the process returned, when `exited`
  bool timed_out = false;
  std::string failure;  // why the child could not be run or judged, if it could not
};

// Runs `program` with `argv` (argv[0] included) in `working_dir`, with the
// current environment. Standard input is /dev/null.
ChildResult RunChild(const std::string& program, const std::vector<std::string>& argv,
                     const std::string& working_dir, const ChildLimits& limits);
