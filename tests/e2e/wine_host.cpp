#include "wine_host.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <vector>

#include "child_process.h"
#include "tests/support/read_little_endian.h"

// POSIX leaves the declaration to the program: <unistd.h> has it only under
// _GNU_SOURCE, which g++ happens to define.
extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace {

// The i386 ABI's program interpreter: every dynamically linked 32-bit x86
// program, wine's 32-bit loader included, starts with it.
const char kI386Interpreter[] = "/lib/ld-linux.so.2";

// Debian keeps the 64-bit loader off PATH, beside the wrapper-selected one.
const char kDebianWine64[] = "/usr/lib/wine/wine64";

bool WineFailedToStart(const ChildResult& result) {
  return result.exited && result.exit_status == 1 && result.out.empty() && result.err.empty();
}

std::string ShowRun(const std::vector<std::string>& argv, const ChildResult& result) {
  std::string command;
  for (const std::string& arg : argv) command += (command.empty() ? "" : " ") + arg;
  std::cout << "$ " << command << "\n" << result.out << result.err;
  if (!result.failure.empty()) return command + ": " + result.failure;
  if (!result.exited || result.exit_status != 0) {
    return command + ": exit status " + std::to_string(result.exit_status);
  }
  return "";
}

}  // namespace

ExeMachine ReadExeMachine(const std::string& exe_path) {
  std::ifstream exe(exe_path, std::ios::binary);
  std::uint8_t dos_header[64] = {};
  if (!exe.read(reinterpret_cast<char*>(dos_header), sizeof dos_header))
    return ExeMachine::kUnknown;
  if (dos_header[0] != 'M' || dos_header[1] != 'Z') return ExeMachine::kUnknown;
  std::uint8_t pe_header[6] = {};
  exe.seekg(ReadLittleEndian(dos_header + 0x3C, 4));
  if (!exe.read(reinterpret_cast<char*>(pe_header), sizeof pe_header)) return ExeMachine::kUnknown;
  if (std::memcmp(pe_header, "PE\0\0", 4) != 0) return ExeMachine::kUnknown;
  switch (ReadLittleEndian(pe_header + 4, 2)) {
    case 0x014C: return ExeMachine::kI386;
    case 0x8664: return ExeMachine::kAmd64;
  }
  return ExeMachine::kUnknown;
}

std::string FindOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "";
  std::size_t start = 0;
  while (start <= folders.size()) {
    std::size_t end = folders.find(':', start);
    if (end == std::string::npos) end = folders.size();
    std::string candidate = folders.substr(start, end - start) + "/" + name;
    if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

std::string FindWineLoader(ExeMachine machine) {
  switch (machine) {
    case ExeMachine::kI386:
      // The `wine` command runs 32-bit programs when the 32-bit loader is installed.
      return FindOnPath("wine");
    case ExeMachine::kAmd64: {
      std::string on_path = FindOnPath("wine64");
      if (!on_path.empty()) return on_path;
      return access(kDebianWine64, X_OK) == 0 ? kDebianWine64 : "";
    }
    case ExeMachine::kUnknown: break;
  }
  return "";
}

HostProbe ProbeI386Programs() {
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
  char* argv[] = {const_cast<char*>(kI386Interpreter), const_cast<char*>("--version"), nullptr};
  pid_t pid = 0;
  // glibc's posix_spawn returns the error of the exec itself.
  const int error = posix_spawn(&pid, kI386Interpreter, &quiet, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&quiet);
  const std::string tried = std::string(kI386Interpreter) + " --version: ";
  if (error == ENOEXEC) return {HostSupport::kKernelCannot, tried + std::strerror(error)};
  if (error != 0) return {HostSupport::kBroken, tried + std::strerror(error)};
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return {HostSupport::kBroken, tried + "did not exit with status 0"};
  }
  return {HostSupport::kRuns, tried + "ran"};
}

std::string MakeWinePrefix(const std::string& loader) {
  ChildLimits limits;
  limits.timeout_seconds = 240;
  const std::vector<std::string> boot = {loader, "wineboot", "--init"};
  std::string booted = ShowRun(boot, RunChild(loader, boot, ".", limits));
  if (!booted.empty()) return booted;
  // The server writes the prefix out when its last client is gone; -w waits for that.
  const std::string server = FindOnPath("wineserver");
  if (server.empty()) return "no wineserver on PATH";
  const std::vector<std::string> wait = {server, "-w"};
  return ShowRun(wait, RunChild(server, wait, ".", limits));
}

WineSetUp SetUpWine(const std::string& exe_path) {
  constexpr int kUsageError = 2;
  WineSetUp setup;
  const char* prefix = std::getenv("WINEPREFIX");
  if (prefix == nullptr || *prefix == '\0') {
    std::cerr << "WINEPREFIX is not set. The tests run wine in a prefix of their own, never in "
                 "the default ~/.wine. By hand, set it to the one ctest makes in the build tree "
                 "(wineprefix for the 32-bit .exe, wineprefix64 for the 64-bit one), or make "
                 "another with unzrq_e2e --tool <the .exe> --wine --make-wine-prefix.\n";
    setup.status = kUsageError;
    return setup;
  }
  const ExeMachine machine = ReadExeMachine(exe_path);
  if (machine == ExeMachine::kUnknown) {
    std::cerr << exe_path << " is not a 32-bit or 64-bit x86 Windows program\n";
    setup.status = kUsageError;
    return setup;
  }
  if (machine == ExeMachine::kI386) {
    const HostProbe probe = ProbeI386Programs();
    if (probe.support == HostSupport::kKernelCannot) {
      std::cout << "SKIPPED: this kernel cannot run 32-bit x86 programs (" << probe.detail
                << "), so no wine can run the 32-bit .exe here. The 64-bit .exe runs the same "
                   "Windows code under wine64.\n";
      setup.status = kCannotRunHere;
      return setup;
    }
    if (probe.support == HostSupport::kBroken) {
      std::cerr << "The 32-bit .exe needs the 32-bit wine (" << probe.detail
                << "). Debian: dpkg --add-architecture i386; apt-get install wine32\n";
      setup.status = kUsageError;
      return setup;
    }
  }
  setup.loader = FindWineLoader(machine);
  if (setup.loader.empty()) {
    std::cerr << (machine == ExeMachine::kI386
                      ? "No wine on PATH for the 32-bit .exe (Debian: wine wine32)\n"
                      : "No wine64 on PATH or in /usr/lib/wine for the 64-bit .exe (Debian: "
                        "wine64)\n");
    setup.status = kUsageError;
    return setup;
  }
  setenv("WINEDEBUG", "-all", 1);
  return setup;
}

ChildResult RunUnderWine(const std::string& program, const std::vector<std::string>& argv,
                         const std::string& working_dir, const ChildLimits& limits) {
  ChildResult result = RunChild(program, argv, working_dir, limits);
  for (int retry = 0; retry < 2 && WineFailedToStart(result); ++retry) {
    std::cout << "wine ended with status 1 and no output; running it again\n"
                 "<CTestLabel>wine-retried</CTestLabel>\n";
    result = RunChild(program, argv, working_dir, limits);
  }
  return result;
}
