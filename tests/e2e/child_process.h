// Runs a program as a child process the way a person at a shell would, but
// with everything a test needs to judge the run: both output streams kept
// apart, the exit status, and a deadline so that a hanging tool fails the
// test instead of blocking the suite.
#pragma once

#include <string>
#include <vector>

struct ChildLimits {
  // Largest file the child may write, in bytes; 0 for no limit. A write past
  // it fails with EFBIG (SIGXFSZ is ignored in the child), as on a full disk.
  unsigned long long max_file_bytes = 0;
  int timeout_seconds = 60;
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
