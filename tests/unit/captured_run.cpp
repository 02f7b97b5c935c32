#include "captured_run.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "driver/unzrq.h"

namespace {

// Points `stream_fd` where `target_fd` points and returns the descriptor it had.
int RedirectTo(int stream_fd, int target_fd) {
  const int saved = dup(stream_fd);
  if (saved < 0 || dup2(target_fd, stream_fd) < 0) throw std::runtime_error("cannot redirect");
  return saved;
}

// Points `stream_fd` at a fresh file and returns the descriptor it had. The
// old file is removed rather than truncated: on some file systems truncating
// a file that has data forces it to disk, which would make a sweep of
// thousands of runs crawl.
int Redirect(int stream_fd, const std::string& path) {
  unlink(path.c_str());
  const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (file < 0) throw std::runtime_error("cannot redirect to " + path);
  const int saved = RedirectTo(stream_fd, file);
  close(file);
  return saved;
}

void Restore(int stream_fd, int saved) {
  dup2(saved, stream_fd);
  close(saved);
}

std::string ReadText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace

CapturedRun RunCaptured(const std::vector<std::string>& arguments, const std::string& working_dir,
                        const std::string& capture_dir, int standard_output_fd) {
  std::vector<std::string> storage = arguments;
  std::vector<char*> argv;
  for (std::string& argument : storage) argv.push_back(argument.data());
  argv.push_back(nullptr);

  char previous_dir[4096];
  if (getcwd(previous_dir, sizeof previous_dir) == nullptr || chdir(working_dir.c_str()) != 0) {
    throw std::runtime_error("cannot enter " + working_dir);
  }
  const std::string out_path = capture_dir + "/stdout";
  const std::string err_path = capture_dir + "/stderr";
  std::fflush(stdout);
  std::fflush(stderr);
  const bool capture_out = standard_output_fd < 0;
  const int saved_out = capture_out ? Redirect(STDOUT_FILENO, out_path)
                                    : RedirectTo(STDOUT_FILENO, standard_output_fd);
  const int saved_err = Redirect(STDERR_FILENO, err_path);

  CapturedRun run;
  run.exit_code = RunUnzrq(static_cast<int>(storage.size()), argv.data());

  std::fflush(stdout);
  std::fflush(stderr);
  Restore(STDOUT_FILENO, saved_out);
  Restore(STDERR_FILENO, saved_err);
  if (chdir(previous_dir) != 0) throw std::runtime_error("cannot return to the previous folder");
  if (capture_out) run.out = ReadText(out_path);
  run.err = ReadText(err_path);
  return run;
}
