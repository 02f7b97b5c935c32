// What running a Windows .exe on this machine takes: the wine loader for
// the .exe's machine type, a kernel that runs that machine's programs, and
// the wine prefix the runs share, which is always one of the tests' own.
#pragma once

#include <string>
#include <vector>

#include "child_process.h"

enum class ExeMachine { kUnknown, kI386, kAmd64 };

// The machine type in the .exe's PE header.
ExeMachine ReadExeMachine(const std::string& exe_path);

// The first executable named `name` on PATH, as a shell would find it; "" if none.
std::string FindOnPath(const std::string& name);

// The wine loader that runs programs of `machine`; "" if none is installed.
std::string FindWineLoader(ExeMachine machine);

enum class HostSupport { kRuns, kKernelCannot, kBroken };

struct HostProbe {
  HostSupport support = HostSupport::kBroken;
  std::string detail;  // what the probe saw, for the message
};

// Whether this host runs 32-bit x86 Linux programs, the kind the 32-bit wine
// loader is, judged by starting the i386 dynamic loader.
HostProbe ProbeI386Programs();

// Creates the prefix $WINEPREFIX names with `loader` and waits until the wine
// server has written it out. Returns "" or what went wrong.
std::string MakeWinePrefix(const std::string& loader);

// Exit status of a test program that cannot run on this host at all (a
// 32-bit .exe where the kernel runs no 32-bit x86 programs); the tests'
// SKIP_RETURN_CODE.
inline constexpr int kCannotRunHere = 77;

struct WineSetUp {
  int status = 0;      // 0 when the .exe can run; else what main() ends with
  std::string loader;  // the wine loader for the .exe, when it can
};

// Checks that this host can run the .exe under wine and picks the loader.
// The prefix must be named by $WINEPREFIX: wine's default, the user's own
// ~/.wine, is never used, nor changed by a drive mapping. Says why on
// standard output (cannot run here: kCannotRunHere) or standard error
// (something to install or set: 2). Sets WINEDEBUG=-all, so that wine's own
// diagnostics do not mix with the program's standard error.
WineSetUp SetUpWine(const std::string& exe_path);

// Runs `argv` (argv[0] is `program`, the wine loader) like RunChild. Rarely
// the wine loader ends with status 1 and not a byte of output, which no
// program under test gives (the tool's statuses are 0 and 251-255, a test
// program's failures say what failed): wine failed to start it. Such a run is
// tried again, at most twice; each retry prints a line saying so and the
// CTest label "wine-retried", so that the summary of a CTest run counts the
// tests that needed one.
ChildResult RunUnderWine(const std::string& program, const std::vector<std::string>& argv,
                         const std::string& working_dir, const ChildLimits& limits);
