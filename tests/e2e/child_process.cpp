#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

// POSIX leaves the declaration to the program: <unistd.h> has it only under
// _GNU_SOURCE, which g++ happens to define.
extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace {

// Only async-signal-safe calls between fork and exec.
// `out_fd` is -1 for a child without standard output.
[[noreturn]] void ExecChild(const std::string& program, char* const* argv,
                            const std::string& working_dir, const ChildLimits& limits, int out_fd,
                            int err_fd) {
  const int null_fd = open("/dev/null", O_RDONLY);
  if (null_fd < 0 || dup2(null_fd, 0) < 0 || dup2(err_fd, 2) < 0) _exit(126);
  if (out_fd < 0 ? close(1) != 0 : dup2(out_fd, 1) < 0) _exit(126);
  if (chdir(working_dir.c_str()) != 0) _exit(126);
  // Inherited through exec. It cannot fail for this signal; were it to, the
  // case would see the signal end the child.
  if (limits.ignore_size_signal) (void)signal(SIGXFSZ, SIG_IGN);
  if (limits.max_file_bytes > 0) {
    const rlimit limit{limits.max_file_bytes, limits.max_file_bytes};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
  }
  execve(program.c_str(), argv, environ);
  _exit(127);
}

// A pseudo-terminal: the side the test reads in `*reader`, the side the child
// writes to in `*screen`. False if the system has none to give.
bool OpenTerminal(int* reader, int* screen) {
  *reader = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (*reader < 0) return false;
  const char* name = nullptr;
  if (grantpt(*reader) == 0 && unlockpt(*reader) == 0 && (name = ptsname(*reader)) != nullptr) {
    *screen = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (*screen >= 0) {
      // The size of an ordinary window, so that no line of a case wraps.
      const winsize size{24, 80, 0, 0};
      ioctl(*screen, TIOCSWINSZ, &size);
      return true;
    }
  }
  close(*reader);
  return false;
}

}  // namespace

ChildResult RunChild(const std::string& program, const std::vector<std::string>& argv,
                     const std::string& working_dir, const ChildLimits& limits) {
  ChildResult result;
  int out_pipe[2];
  int err_pipe[2];
  if (limits.output == StandardOutput::kTerminal) {
    if (!OpenTerminal(&out_pipe[0], &out_pipe[1])) {
      result.failure = "no pseudo-terminal";
      return result;
    }
  } else if (pipe2(out_pipe, O_CLOEXEC) != 0) {
    result.failure = "pipe failed";
    return result;
  }
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    result.failure = "pipe failed";
    return result;
  }
  std::vector<char*> raw_argv;
  raw_argv.reserve(argv.size() + 1);
  for (const std::string& arg : argv) raw_argv.push_back(const_cast<char*>(arg.c_str()));
  raw_argv.push_back(nullptr);
  if (limits.output == StandardOutput::kReaderGone || limits.output == StandardOutput::kClosed) {
    // Closed before the child exists, so that no write of the child can
    // reach a reader, however early it comes.
    close(out_pipe[0]);
    out_pipe[0] = -1;
  }
  const int child_out = limits.output == StandardOutput::kClosed ? -1 : out_pipe[1];
  std::size_t filler = 0;
  bool held = !limits.hold_until.empty();
  if (held) {
    fcntl(err_pipe[1], F_SETPIPE_SZ, 4096);
    fcntl(err_pipe[1], F_SETFL, O_NONBLOCK);
    const char fill[512] = {};
    for (ssize_t put; (put = write(err_pipe[1], fill, sizeof fill)) > 0;) filler += put;
    fcntl(err_pipe[1], F_SETFL, 0);
  }

  const pid_t pid = fork();
  if (pid == 0) {
    ExecChild(program, raw_argv.data(), working_dir, limits, child_out, err_pipe[1]);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (pid < 0) {
    if (out_pipe[0] >= 0) close(out_pipe[0]);
    close(err_pipe[0]);
    result.failure = "fork failed";
    return result;
  }

  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(limits.timeout_seconds);
  pollfd streams[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int status = 0;
  bool child_done = false;
  // The end of the run is the child's exit, not the end of its output
  // streams: a server the child starts (wine starts one) may inherit them and
  // hold them open long after the child is gone.
  while (true) {
    if (held && result.out.find(limits.hold_until) != std::string::npos) {
      if (limits.while_held) limits.while_held(pid);
      held = false;
    }
    // A held standard error is not read, so that the child waits on it.
    streams[1].events = held ? 0 : POLLIN;
    poll(streams, 2, 20);
    if (!child_done && waitpid(pid, &status, WNOHANG) == pid) {
      child_done = true;
      for (pollfd& stream : streams) fcntl(stream.fd, F_SETFL, O_NONBLOCK);
    }
    for (int i = 0; i < 2; ++i) {
      if (streams[i].fd < 0 || (i == 1 && held && !child_done)) continue;
      // After the exit, everything the child wrote is already in the pipe.
      while (child_done || (streams[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        char buffer[4096];
        const ssize_t got = read(streams[i].fd, buffer, sizeof buffer);
        if (got > 0) {
          sinks[i]->append(buffer, static_cast<std::size_t>(got));
          if (!child_done) break;  // back to poll: the pipe may hold no more
          continue;
        }
        if (got < 0 && errno == EINTR) continue;
        // A terminal tells with EIO that no one holds its other side any more.
        if (got == 0 || (got < 0 && errno == EIO)) {
          close(streams[i].fd);
          streams[i].fd = -1;  // poll ignores negative descriptors
        }
        break;
      }
    }
    if (child_done) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      result.timed_out = true;
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
  }
  for (pollfd& stream : streams) {
    if (stream.fd >= 0) close(stream.fd);
  }

  if (filler > 0) result.err.erase(0, std::min(filler, result.err.size()));
  if (result.timed_out) {
    result.failure =
        "the tool did not finish within " + std::to_string(limits.timeout_seconds) + " s";
  } else if (WIFEXITED(status)) {
    result.exited = true;
    result.exit_status = WEXITSTATUS(status);
    if (result.exit_status == 126 || result.exit_status == 127) {
      // What a failed chdir or exec in the child reports: a bad --tool shows here.
      result.failure = "exit status " + std::to_string(result.exit_status) + ": could " + program +
                       " be started?";
    }
  } else if (WIFSIGNALED(status)) {
    result.failure = std::string("the tool was killed by signal ") + strsignal(WTERMSIG(status));
  }
  return result;
}
