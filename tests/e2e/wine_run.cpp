// unzrq_wine_run <program.exe> [arguments]
//
// Runs a Windows test program (the unit tables cross-built with mingw-w64)
// under the wine loader of its machine type, in the prefix $WINEPREFIX names,
// and ends as the program ended, its output passed through. A wine start that
// fails is tried again as for the end-to-end cases (RunUnderWine). Exit
// status 77: this host cannot run the .exe at all; the reason is printed.
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "wine_host.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: " << argv[0] << " <program.exe> [arguments]\n";
    return 2;
  }
  const std::string exe = std::filesystem::absolute(argv[1]).string();
  if (access(exe.c_str(), R_OK) != 0) {
    std::cerr << "the program to run is missing: '" << exe << "'\n";
    return 2;
  }
  const WineSetUp wine = SetUpWine(exe);
  if (wine.status != 0) return wine.status;
  std::vector<std::string> command = {wine.loader, exe};
  command.insert(command.end(), argv + 2, argv + argc);
  ChildLimits limits;
  limits.timeout_seconds = 280;  // below the tests' TIMEOUT, so that this says why
  const ChildResult result = RunUnderWine(wine.loader, command, ".", limits);
  std::cout << result.out << std::flush;
  std::cerr << result.err << std::flush;
  if (!result.failure.empty()) {
    std::cerr << "could not run " << exe << ": " << result.failure << "\n";
    return 1;
  }
  if (!result.exited) {
    std::cerr << exe << (result.timed_out ? " did not end in time\n" : " was killed by a signal\n");
    return 1;
  }
  return result.exit_status;
}
