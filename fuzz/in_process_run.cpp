#include "fuzz/in_process_run.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "driver/unzrq.h"
#include "zrq/zrq.h"

namespace {

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

// Emptied without closing it, and only when it holds something: on some
// file systems a file truncated and then closed is forced to disk, which
// would make thousands of runs crawl.
void Empty(std::FILE* file) {
  if (std::fflush(file) != 0) Fail("cannot write out a capture file");
  struct stat info;
  if (fstat(fileno(file), &info) != 0) Fail("cannot look at a capture file");
  if (info.st_size > 0 && ftruncate(fileno(file), 0) != 0) Fail("cannot empty a capture file");
  std::rewind(file);
}

std::string ReadBack(std::FILE* file) {
  if (std::fflush(file) != 0) Fail("cannot write out a capture file");
  std::rewind(file);
  std::string contents;
  char piece[4096];
  for (std::size_t read; (read = std::fread(piece, 1, sizeof piece, file)) > 0;) {
    contents.append(piece, read);
  }
  return contents;
}

using EntryFunction = int(int argc, char** argv);

ToolRun RunEntryInProcess(EntryFunction* entry, const std::vector<std::string>& arguments,
                          std::FILE* out, std::FILE* err, const std::string& working_dir,
                          int standard_output_fd) {
  std::vector<std::string> storage = arguments;
  std::vector<char*> argv;
  argv.reserve(storage.size() + 1);
  for (std::string& argument : storage) argv.push_back(argument.data());
  argv.push_back(nullptr);

  const bool catch_out = standard_output_fd < 0;
  if (catch_out) Empty(out);
  Empty(err);
  char previous_dir[4096] = {};
  if (!working_dir.empty()) {
    if (getcwd(previous_dir, sizeof previous_dir) == nullptr)
      Fail("cannot tell the current folder");
    if (chdir(working_dir.c_str()) != 0) Fail("cannot enter " + working_dir);
  }
  // What this process wrote before must not land in the capture; that its
  // own output cannot be written is no concern of the run's. Nor is an error
  // an earlier run left on the stream (the tool reports a failed write of
  // standard output by the stream's error flag, which a process of its own
  // would start without).
  (void)std::fflush(stdout);
  (void)std::fflush(stderr);
  std::clearerr(stdout);
  const int saved_out = dup(STDOUT_FILENO);
  if (saved_out < 0 || dup2(catch_out ? fileno(out) : standard_output_fd, STDOUT_FILENO) < 0) {
    Fail("cannot point standard output elsewhere");
  }
  std::FILE* const process_err = stderr;
  stderr = err;

  ToolRun run{entry(static_cast<int>(storage.size()), argv.data()), {}, {}};

  // Standard output may be a full device on purpose (standard_output_fd):
  // that the tool's output could not be written is the tool's to report.
  (void)std::fflush(stdout);
  std::clearerr(stdout);
  if (std::fflush(err) != 0) Fail("cannot write out the captured standard error");
  stderr = process_err;
  dup2(saved_out, STDOUT_FILENO);
  close(saved_out);
  if (!working_dir.empty() && chdir(previous_dir) != 0)
    Fail("cannot return to the previous folder");
  if (catch_out) run.out = ReadBack(out);
  run.err = ReadBack(err);
  return run;
}

}  // namespace

ToolRun RunInProcess(const std::vector<std::string>& arguments, std::FILE* out, std::FILE* err,
                     const std::string& working_dir, int standard_output_fd) {
  return RunEntryInProcess(RunUnzrq, arguments, out, err, working_dir, standard_output_fd);
}

ToolRun RunZrqInProcess(const std::vector<std::string>& arguments, std::FILE* out, std::FILE* err,
                        const std::string& working_dir) {
  return RunEntryInProcess(RunZrq, arguments, out, err, working_dir, -1);
}
