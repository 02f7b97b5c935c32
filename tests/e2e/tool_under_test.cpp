#include "tool_under_test.h"

#include "wine_host.h"

ToolUnderTest& Tool() {
  static ToolUnderTest tool;
  return tool;
}

bool OnWindows() { return Tool().leg == Leg::kWindows; }

std::string ConsoleLines(const std::string& text) {
  if (!OnWindows()) return text;
  std::string converted;
  for (char c : text) {
    if (c == '\n') converted += '\r';
    converted += c;
  }
  return converted;
}

std::string OutputPath(const std::string& folder, const std::string& name) {
  return folder + (OnWindows() ? "\\" : "/") + name;
}

std::string SystemReason(const std::string& on_linux, const std::string& on_windows) {
  return OnWindows() ? on_windows : on_linux;
}

namespace {

// The program name a program at `path` sees as argument 0 when run as `name`.
std::string ProgramNameOf(const std::string& path, const std::string& name) {
  if (!OnWindows()) {
    // An emulator hands the tool the path it was given as argument 0.
    return Tool().launcher.empty() ? name : path;
  }
  // Wine shows a Unix path as seen through drive Z:, the Unix root.
  std::string shown = "Z:" + path;
  for (char& c : shown) {
    if (c == '/') c = '\\';
  }
  return shown;
}

ChildResult RunProgram(const std::string& path, const std::string& name,
                       const std::vector<std::string>& args, const std::string& working_dir,
                       const ChildLimits& limits) {
  std::vector<std::string> argv = Tool().launcher;
  std::string program;
  if (argv.empty()) {
    program = path;
    argv = {name};  // the tool must print argument 0 as it is given
  } else {
    program = argv.front();
    argv.push_back(path);
  }
  argv.insert(argv.end(), args.begin(), args.end());
  return OnWindows() ? RunUnderWine(program, argv, working_dir, limits)
                     : RunChild(program, argv, working_dir, limits);
}

}  // namespace

std::string ProgramName() { return ProgramNameOf(Tool().path, "unzrq"); }

std::string ZrqProgramName() { return ProgramNameOf(Tool().zrq_path, "zrq"); }

int ExitStatus(int returned) { return returned & 0xFF; }

ChildResult RunTool(const std::vector<std::string>& args, const std::string& working_dir,
                    const ChildLimits& limits) {
  return RunProgram(Tool().path, "unzrq", args, working_dir, limits);
}

ChildResult RunZrq(const std::vector<std::string>& args, const std::string& working_dir,
                   const ChildLimits& limits) {
  return RunProgram(Tool().zrq_path, "zrq", args, working_dir, limits);
}
