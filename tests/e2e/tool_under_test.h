// The executable the suite judges, and the conventions that differ between
// the builds: the Linux tool runs directly, or through an emulator when it is
// built for another machine; the Windows .exe runs under wine, where the
// console ends lines with CR LF, the path separator is a backslash, and the
// program name the tool sees is wine's DOS form of its path.
#pragma once

#include <string>
#include <vector>

#include "child_process.h"

enum class Leg { kLinux, kWindows };

struct ToolUnderTest {
  std::string path;  // absolute
  Leg leg = Leg::kLinux;
  // The program, with its leading arguments, that the tool's path is handed
  // to: the wine loader on the Windows leg, an emulator for a Linux build of
  // another machine. Empty when the tool runs itself.
  std::vector<std::string> launcher;
  // The companion program zrq of the same build, run the same way; empty
  // when the suite was not given one (its cases then report themselves skipped).
  std::string zrq_path;
};

// Set once by main() from the command line.
ToolUnderTest& Tool();

bool OnWindows();

// `text` with every "\n" as the tool's console ends a line.
std::string ConsoleLines(const std::string& text);

// Folder and name joined the way the tool composes output paths.
std::string OutputPath(const std::string& folder, const std::string& name);

// The system's words for a failure as the tool under test shows them: the C
// library's on Linux, the system's message table (wine's) on Windows.
std::string SystemReason(const std::string& on_linux, const std::string& on_windows);

// The program name the tool prints in its usage text.
std::string ProgramName();

// The process exit status a return value of the tool arrives as (8 bits).
int ExitStatus(int returned);

// Runs the tool with `args` (argv[1] onwards) in `working_dir`.
ChildResult RunTool(const std::vector<std::string>& args, const std::string& working_dir,
                    const ChildLimits& limits = {});

// The same for zrq, and the program name it prints in its usage text.
ChildResult RunZrq(const std::vector<std::string>& args, const std::string& working_dir,
                   const ChildLimits& limits = {});
std::string ZrqProgramName();
