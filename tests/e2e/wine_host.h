// What running the Windows .exe on this machine takes: the wine loader for
// the .exe's machine type, a kernel that runs that machine's programs, and
// the wine prefix the runs share.
#pragma once

#include <string>

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
