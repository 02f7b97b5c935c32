// unzrq_e2e --tool <unzrq or unzrq.exe> [--wine] [gtest options]
//
// The same cases judge both builds: --wine runs the tool under wine and
// expects the Windows conventions (CR LF, backslash, 8-bit exit codes).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include "tool_under_test.h"

namespace {

// The first executable named `name` on PATH, as a shell would find it.
std::string FindOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "";
  std::size_t start = 0;
  while (start <= folders.size()) {
    std::size_t end = folders.find(':', start);
    if (end == std::string::npos) end = folders.size();
    const std::string candidate = folders.substr(start, end - start) + "/" + name;
    if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  ToolUnderTest& tool = Tool();
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--tool" && i + 1 < argc) {
      tool.path = std::filesystem::absolute(argv[++i]).string();
    } else if (arg == "--wine") {
      tool.leg = Leg::kWindows;
    } else {
      std::cerr << "unknown argument: " << arg << "\n";
      return 2;
    }
  }
  if (tool.path.empty() || access(tool.path.c_str(), R_OK) != 0) {
    std::cerr << "usage: " << argv[0] << " --tool <path to unzrq or unzrq.exe> [--wine]\n"
              << "(the tool to test is missing: '" << tool.path << "')\n";
    return 2;
  }
  if (tool.leg == Leg::kWindows) {
    tool.wine = FindOnPath("wine");
    if (tool.wine.empty()) {
      std::cerr << "--wine given but no wine on PATH\n";
      return 2;
    }
    // Wine's own diagnostics would mix with the tool's standard error.
    setenv("WINEDEBUG", "-all", 1);
  }
  return RUN_ALL_TESTS();
}
