// unzrq_e2e --tool <unzrq or unzrq.exe> [--zrq <zrq or zrq.exe>]
//           [--wine [--make-wine-prefix] | --emulator <command>] [gtest options]
//
// The same cases judge every build. --wine runs the .exe under the wine loader
// of its machine type (wine for a 32-bit, wine64 for a 64-bit .exe) and expects
// the Windows conventions (CR LF, backslash, 8-bit exit codes); with
// --make-wine-prefix it only creates the prefix ($WINEPREFIX, which must be
// set: the user's own ~/.wine is never used) the runs share.
// --emulator runs a Linux build made for another machine through <command>,
// a program and its leading arguments separated by ';' (a CMake list).
// --zrq names the companion program of the same build, run the same way;
// without it zrq's cases report themselves skipped.
//
// Exit status 77 means the leg cannot run on this host at all (a 32-bit .exe
// where the kernel runs no 32-bit x86 programs); the reason is printed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <string>

#include "tool_under_test.h"
#include "wine_host.h"

namespace {

constexpr int kUsageError = 2;

std::vector<std::string> SplitList(const std::string& list) {
  std::vector<std::string> items;
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find(';', start);
    if (end == std::string::npos) end = list.size();
    if (end > start) items.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return items;
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // The cases are listed (for CTest, one test per case and build) without a tool.
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  ToolUnderTest& tool = Tool();
  bool make_wine_prefix = false;
  std::vector<std::string> emulator;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--tool" && i + 1 < argc) {
      tool.path = std::filesystem::absolute(argv[++i]).string();
    } else if (arg == "--zrq" && i + 1 < argc) {
      tool.zrq_path = std::filesystem::absolute(argv[++i]).string();
    } else if (arg == "--wine") {
      tool.leg = Leg::kWindows;
    } else if (arg == "--make-wine-prefix") {
      make_wine_prefix = true;
    } else if (arg == "--emulator" && i + 1 < argc) {
      emulator = SplitList(argv[++i]);
    } else {
      std::cerr << "unknown argument: " << arg << "\n";
      return kUsageError;
    }
  }
  if (tool.path.empty() || access(tool.path.c_str(), R_OK) != 0) {
    std::cerr << "usage: " << argv[0]
              << " --tool <path to unzrq or unzrq.exe> [--zrq <path to zrq or zrq.exe>] [--wine "
                 "[--make-wine-prefix] | --emulator <command>]\n"
              << "(the tool to test is missing: '" << tool.path << "')\n";
    return kUsageError;
  }
  if (tool.leg == Leg::kWindows) {
    const WineSetUp wine = SetUpWine(tool.path);
    if (wine.status != 0) return wine.status;
    tool.launcher = {wine.loader};
    if (make_wine_prefix) {
      const std::string failure = MakeWinePrefix(wine.loader);
      if (failure.empty()) return 0;
      std::cerr << "Could not make the wine prefix: " << failure << "\n";
      return 1;
    }
  } else if (!emulator.empty()) {
    if (access(emulator.front().c_str(), X_OK) != 0) {
      std::cerr << "the emulator is missing: '" << emulator.front() << "'\n";
      return kUsageError;
    }
    tool.launcher = emulator;
  } else if (make_wine_prefix) {
    std::cerr << "--make-wine-prefix goes with --wine\n";
    return kUsageError;
  }
  return RUN_ALL_TESTS();
}
