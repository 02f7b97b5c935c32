// The one way tests, the fuzzer and the replay run the whole tool in this
// process, as its entry point would, with what it prints caught.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// What one in-process run of the tool said.
struct ToolRun {
  int exit_code;
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs RunUnzrq on `arguments` (argv from argv[0] on). `out` and `err` are
// files open for update that catch standard output and standard error; they
// are emptied first and read back afterwards, so that a caller may use the
// same two files run after run.
//
// Standard error is caught by pointing the C library's stderr at `err`, not
// by moving descriptor 2, so that sanitizer and libFuzzer reports still reach
// the process's own standard error. Standard output is caught at descriptor
// 1, because the tool asks the descriptor whether it is a terminal: a test
// run from a terminal must not make the tool believe it writes to one. With
// `standard_output_fd` set, descriptor 1 is pointed there instead (a full
// device, a terminal) and `out` may be null; ToolRun::out is then empty.
// With `working_dir` set, the run's current folder is that one. Streams,
// descriptors and the current folder are restored before returning.
ToolRun RunInProcess(const std::vector<std::string>& arguments, std::FILE* out, std::FILE* err,
                     const std::string& working_dir = {}, int standard_output_fd = -1);

// The same for zrq's RunZrq (its standard output always caught).
ToolRun RunZrqInProcess(const std::vector<std::string>& arguments, std::FILE* out, std::FILE* err,
                        const std::string& working_dir = {});
