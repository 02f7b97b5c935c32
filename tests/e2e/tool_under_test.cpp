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

std::string ProgramName() {
  if (!OnWindows()) {
    // An emulator hands the tool the path it was given as argument 0.
    return Tool().launcher.empty() ? "unzrq" : Tool().path;
  }
  // Wine shows a Unix path as seen through drive Z:, the Unix root.
  std::string name = "Z:" + Tool().path;
  for (char& c : name) {
    if (c == '/') c = '\\';
  }
  return name;
}

int ExitStatus(int returned) { return returned & 0xFF; }

ChildResult RunTool(const std::vector<std::string>& args, const std::string& working_dir,
                    const ChildLimits& limits) {
  std::vector<std::string> argv = Tool().launcher;
  std::string program;
  if (argv.empty()) {
    program = Tool().path;
    argv = {"unzrq"};  // the tool must print argument 0 as it is given
  } else {
    program = argv.front();
    argv.push_back(Tool().path);
  }
  argv.insert(argv.end(), args.begin(), args.end());
  return OnWindows() ? RunUnderWine(program, argv, working_dir, limits)
                     : RunChild(program, argv, working_dir, limits);
}
