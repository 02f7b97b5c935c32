// libFuzzer target: the whole tool, run in-process on an archive made of the
// fuzz input, checked against what it promises for any archive at all.
//
// Each input is written as an archive file under one temporary root made at
// start-up; the output folder beside it is emptied, RunUnzrq runs on the two,
// and then the root is inspected. A broken promise prints what the tool said
// on standard error and aborts, so libFuzzer keeps the input as a crash.
//
// Promises checked after every run:
// - the root holds the archive and the output folder and nothing else; the
//   folder holds regular files only (no folders, no links);
// - no output file is larger than twice the archive plus the 54 bitmap
//   header bytes, and there is at most one output file per 80-byte record
//   the archive could hold;
// - the archive is unchanged;
// - exit 0 exactly when nothing was reported on standard error, and no exit
//   code but 0, -3 and -5 (the folder exists and the archive opens, so the
//   other early failures cannot happen).
// Hangs and unbounded memory are libFuzzer's -timeout and -rss_limit_mb.
//
// Bit 0 of the archive's first byte (never interpreted by the tool) puts the
// archive inside the output folder instead of beside it, so that entries
// named like the archive meet the very file being read.
#include <dirent.h>
#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver/unzrq.h"

namespace {

// Plain entries of type 1 named "a_wav" and of any plain type named "a.wav"
// both land on this name.
constexpr const char kArchiveName[] = "a.wav";
constexpr const char kFolderName[] = "out";
constexpr std::uint64_t kBitmapHeaderBytes = 54;
constexpr std::uint64_t kRecordBytes = 80;

std::string g_root;
std::string g_folder;
FILE* g_tool_stderr = nullptr;  // what the tool writes to standard error
int g_fuzzer_stderr = -1;       // the real standard error, for our own reports

// Nothing is left behind in the temporary folder, whichever way the process
// ends: normally, on a broken promise, or on a sanitizer report.
void RemoveTemporaryRoot() {
  if (g_root.empty()) return;
  if (DIR* folder = opendir(g_folder.c_str())) {
    while (const dirent* entry = readdir(folder)) unlink((g_folder + "/" + entry->d_name).c_str());
    closedir(folder);
  }
  rmdir(g_folder.c_str());
  unlink((g_root + "/" + kArchiveName).c_str());
  rmdir(g_root.c_str());
  unlink((g_root + ".stderr").c_str());
}

struct RunContext {
  const std::uint8_t* data;
  std::size_t size;
  std::string archive_path;
  bool archive_in_folder;
  int exit_code;
};

[[noreturn]] void BrokenPromise(const RunContext& run, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

[[noreturn]] void BrokenPromise(const RunContext& run, const char* format, ...) {
  FILE* report = fdopen(dup(g_fuzzer_stderr), "w");
  if (report == nullptr) std::abort();
  std::fprintf(report, "\n==unzrq-fuzzer== BROKEN PROMISE: ");
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(report, format, arguments);
  va_end(arguments);
  std::fprintf(report, "\n==unzrq-fuzzer== archive %zu bytes, %s the output folder, exit %d\n",
               run.size, run.archive_in_folder ? "inside" : "beside", run.exit_code);
  std::fprintf(report, "==unzrq-fuzzer== the tool's standard error:\n");
  std::fflush(g_tool_stderr);
  std::rewind(g_tool_stderr);
  char line[1024];
  while (std::fgets(line, sizeof line, g_tool_stderr) != nullptr) std::fputs(line, report);
  std::fflush(report);
  RemoveTemporaryRoot();
  std::abort();
}

void Fail(const char* what, const std::string& path) {
  std::fprintf(stderr, "unzrq-fuzzer: %s %s: %s\n", what, path.c_str(), std::strerror(errno));
  std::abort();
}

void WriteWholeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) Fail("cannot create", path);
  while (size > 0) {
    const ssize_t done = write(fd, data, size);
    if (done < 0) Fail("cannot write", path);
    data += done;
    size -= static_cast<std::size_t>(done);
  }
  close(fd);
}

bool FileHoldsExactly(const std::string& path, const std::uint8_t* data, std::size_t size) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::vector<std::uint8_t> contents(size + 1);
  std::size_t total = 0;
  for (;;) {
    const ssize_t done = read(fd, contents.data() + total, contents.size() - total);
    if (done <= 0) break;
    total += static_cast<std::size_t>(done);
    if (total == contents.size()) break;
  }
  close(fd);
  return total == size && (size == 0 || std::memcmp(contents.data(), data, size) == 0);
}

std::vector<std::string> ListFolder(const std::string& path) {
  std::vector<std::string> names;
  DIR* folder = opendir(path.c_str());
  if (folder == nullptr) Fail("cannot list", path);
  while (const dirent* entry = readdir(folder)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      names.emplace_back(entry->d_name);
    }
  }
  closedir(folder);
  return names;
}

// The output folder is emptied before every run; after a run it can only
// hold regular files (anything else has already failed the check).
void EmptyOutputFolder() {
  for (const std::string& name : ListFolder(g_folder)) {
    const std::string path = g_folder + "/" + name;
    if (unlink(path.c_str()) != 0) Fail("cannot remove", path);
  }
}

void CheckExitAndMessages(const RunContext& run, long stderr_bytes) {
  const int code = run.exit_code;
  if (code != 0 && code != -3 && code != -5) {
    BrokenPromise(run, "exit code %d is not one an archive can cause", code);
  }
  if (code == 0 && stderr_bytes > 0) {
    BrokenPromise(run, "exit 0 after %ld bytes on standard error", stderr_bytes);
  }
  if (code != 0 && stderr_bytes == 0) {
    BrokenPromise(run, "exit %d with nothing on standard error", code);
  }
}

void CheckRoot(const RunContext& run) {
  for (const std::string& name : ListFolder(g_root)) {
    const std::string path = g_root + "/" + name;
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) Fail("cannot stat", path);
    const bool is_folder = name == kFolderName && S_ISDIR(info.st_mode);
    const bool is_archive = !run.archive_in_folder && name == kArchiveName && S_ISREG(info.st_mode);
    if (!is_folder && !is_archive) {
      BrokenPromise(run, "\"%s\" appeared outside the output folder", name.c_str());
    }
  }
}

void CheckOutputFolder(const RunContext& run) {
  const std::uint64_t largest_output =
      2 * static_cast<std::uint64_t>(run.size) + kBitmapHeaderBytes;
  const std::uint64_t most_outputs = run.size / kRecordBytes + 1;
  std::uint64_t outputs = 0;
  for (const std::string& name : ListFolder(g_folder)) {
    const std::string path = g_folder + "/" + name;
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) Fail("cannot stat", path);
    if (!S_ISREG(info.st_mode)) {
      BrokenPromise(run, "\"%s\" in the output folder is not a regular file", name.c_str());
    }
    if (run.archive_in_folder && name == kArchiveName) continue;
    ++outputs;
    if (static_cast<std::uint64_t>(info.st_size) > largest_output) {
      BrokenPromise(run, "\"%s\" holds %lld bytes, more than the archive can supply (%llu)",
                    name.c_str(), static_cast<long long>(info.st_size),
                    static_cast<unsigned long long>(largest_output));
    }
  }
  if (outputs > most_outputs) {
    BrokenPromise(run, "%llu output files from an archive with room for %llu records",
                  static_cast<unsigned long long>(outputs),
                  static_cast<unsigned long long>(most_outputs));
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  // Keep sanitizer and libFuzzer reports on the real standard error, then
  // give the tool its own: glibc lets `stderr` be reassigned, and libFuzzer
  // took its copy of the pointer before this runs.
  g_fuzzer_stderr = dup(STDERR_FILENO);
  if (g_fuzzer_stderr < 0) std::abort();
  __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(g_fuzzer_stderr)));

  std::string parent = "/dev/shm";  // memory-backed when there is one
  if (const char* tmpdir = std::getenv("TMPDIR"); tmpdir != nullptr && *tmpdir != '\0') {
    parent = tmpdir;
  } else if (access(parent.c_str(), W_OK | X_OK) != 0) {
    parent = "/tmp";
  }
  std::string pattern = parent + "/unzrq-fuzz-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) Fail("cannot make a folder from", pattern);
  g_root = pattern;
  g_folder = g_root + "/" + kFolderName;
  if (mkdir(g_folder.c_str(), 0755) != 0) Fail("cannot make", g_folder);

  const std::string captured = g_root + ".stderr";
  g_tool_stderr = std::fopen(captured.c_str(), "w+e");
  if (g_tool_stderr == nullptr) Fail("cannot create", captured);
  std::setvbuf(g_tool_stderr, nullptr, _IONBF, 0);
  stderr = g_tool_stderr;

  const int null_output = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null_output < 0 || dup2(null_output, STDOUT_FILENO) < 0) Fail("cannot open", "/dev/null");
  close(null_output);

  std::atexit(RemoveTemporaryRoot);
  __sanitizer_set_death_callback(RemoveTemporaryRoot);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  RunContext run{data, size, {}, size > 0 && (data[0] & 1) != 0, 0};
  const std::string beside = g_root + "/" + kArchiveName;
  unlink(beside.c_str());
  EmptyOutputFolder();
  run.archive_path = run.archive_in_folder ? g_folder + "/" + kArchiveName : beside;
  WriteWholeFile(run.archive_path, data, size);

  std::fflush(g_tool_stderr);
  if (ftruncate(fileno(g_tool_stderr), 0) != 0) Fail("cannot truncate", g_root + ".stderr");
  std::rewind(g_tool_stderr);

  char program[] = "unzrq";
  std::string archive = run.archive_path;
  std::string folder = g_folder;
  char* arguments[] = {program, archive.data(), folder.data(), nullptr};
  run.exit_code = RunUnzrq(3, arguments);

  std::fflush(stdout);
  std::fflush(g_tool_stderr);
  const long stderr_bytes = std::ftell(g_tool_stderr);

  CheckExitAndMessages(run, stderr_bytes);
  CheckRoot(run);
  CheckOutputFolder(run);
  if (!FileHoldsExactly(run.archive_path, data, size)) {
    BrokenPromise(run, "the archive file was changed");
  }
  return 0;
}
