#include "e2e_case.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "tool_under_test.h"

namespace {

const std::string kRunFolder = "run";

bool MeantForThisLeg(Legs legs) {
  switch (legs) {
    case Legs::kBoth: return true;
    case Legs::kLinuxOnly: return !OnWindows();
    case Legs::kWindowsOnly: return OnWindows();
  }
  return false;
}

// Wine's drive Y:, mapped to a folder for as long as this lives. Wine keeps
// its drives as links in the prefix's dosdevices folder and looks them up
// afresh on every path, so a running wine server sees the change.
class WineDriveY {
 public:
  explicit WineDriveY(const std::string& folder) {
    // The driver runs wine only with WINEPREFIX set (SetUpWine), so the
    // user's own prefix is never given a drive.
    const char* prefix = std::getenv("WINEPREFIX");
    if (prefix == nullptr || *prefix == '\0') throw std::runtime_error("WINEPREFIX is not set");
    link_ = std::string(prefix) + "/dosdevices/y:";
    // A drive Y: left by a run of this suite that was killed is taken back;
    // any other is someone else's: fail rather than take it.
    char target[4096] = {};
    if (readlink(link_.c_str(), target, sizeof target - 1) > 0 &&
        std::strstr(target, "/unzrq-test-") != nullptr) {
      unlink(link_.c_str());
    }
    if (symlink(folder.c_str(), link_.c_str()) != 0) {
      throw std::runtime_error("cannot map wine's drive Y: as " + link_);
    }
  }
  ~WineDriveY() { unlink(link_.c_str()); }
  WineDriveY(const WineDriveY&) = delete;
  WineDriveY& operator=(const WineDriveY&) = delete;

 private:
  std::string link_;
};

// Each line feed as CR LF, as a terminal passes it on to the screen.
std::string TerminalLines(const std::string& text) {
  std::string converted;
  for (char c : text) {
    if (c == '\n') converted += '\r';
    converted += c;
  }
  return converted;
}

// Wine's console host draws what the .exe writes to its console on the
// terminal character by character, between cursor commands of its own: a
// space is a cursor moved on by one column, and a line ends CR CR LF. This
// is the text it draws, its lines ending in "\n". The cursor commands are
// all wine's: one of the tool's own would come from a name left unescaped,
// and the escaped text expected in its place would be missing.
std::string TextOnWineConsole(const std::string& shown) {
  std::string text;
  for (std::size_t i = 0; i < shown.size(); ++i) {
    if (shown[i] == '\r') continue;
    if (shown[i] != '\x1b' || i + 1 == shown.size() || shown[i + 1] != '[') {
      text += shown[i];
      continue;
    }
    std::size_t end = i + 2;
    while (end < shown.size() && std::strchr("0123456789;?", shown[end]) != nullptr) ++end;
    if (end == shown.size()) break;
    if (shown[end] == 'C') {
      const std::string count = shown.substr(i + 2, end - i - 2);
      text.append(count.empty() ? 1 : std::stoul(count), ' ');
    }
    i = end;
  }
  return text;
}

}  // namespace

void RunCases(const std::vector<E2eCase>& cases) {
  bool ran = false;
  for (const E2eCase& test_case : cases) {
    if (!MeantForThisLeg(test_case.legs)) continue;
    RunCase(test_case);
    ran = true;
  }
  // A table that holds nothing for this build is reported skipped, not passed.
  if (!ran)
    GTEST_SKIP() << "no case of this table is for the " << (OnWindows() ? "Windows" : "Linux")
                 << " builds";
}

void RunCase(const E2eCase& test_case) {
  SCOPED_TRACE("case: " + test_case.name);
  FileTree inside = test_case.before;
  if (test_case.archive) inside[test_case.archive_name] = File(*test_case.archive);
  const CaseFolder folder(inside);

  ChildLimits limits;
  limits.max_file_bytes = test_case.max_file_bytes;
  // The Linux tool must survive a file-size limit by itself. Wine dies of
  // the signal, and no Windows system has such a limit to begin with.
  limits.ignore_size_signal = OnWindows();
  limits.output = test_case.standard_output;
  std::optional<WineDriveY> drive;
  std::string run_in = folder.working();
  if (OnWindows() && !test_case.run_on_drive_y_in.empty()) {
    drive.emplace(folder.working());
    // Wine names the folder it starts in by the drive whose root is nearest,
    // Y: here rather than Z:, the host's root.
    run_in += "/" + test_case.run_on_drive_y_in;
  }
  if (OnWindows() && limits.max_file_bytes > 0) {
    // A wine run starts the wine server when none is running, and the server
    // would inherit the limit and fail to save the prefix. A run without the
    // limit first (the usage, which creates nothing) leaves one running.
    RunTool({}, folder.working());
  }
  const ChildResult result = test_case.zrq ? RunZrq(test_case.args, run_in, limits)
                                           : RunTool(test_case.args, run_in, limits);

  ExpectExit(result, test_case.exit_code, test_case.err);
  if (test_case.standard_output != StandardOutput::kTerminal) {
    EXPECT_EQ(result.out, ConsoleLines(test_case.out)) << "standard output";
  } else if (OnWindows()) {
    EXPECT_EQ(TextOnWineConsole(result.out), test_case.out) << "the text on the terminal";
  } else {
    EXPECT_EQ(result.out, TerminalLines(test_case.out)) << "standard output on the terminal";
  }
  for (const auto& [path, node] : test_case.after) inside[path] = node;
  ExpectSameTree(InWorkingFolder(inside), folder.Snapshot());
}

CaseFolder::CaseFolder(const FileTree& tree) : working_(temporary_ / kRunFolder) {
  CreateTree(working_, tree);
}

FileTree CaseFolder::Snapshot() const { return SnapshotTree(temporary_.path()); }

FileTree InWorkingFolder(const FileTree& inside) {
  FileTree expected;
  expected[kRunFolder] = Folder();
  for (const auto& [path, node] : inside) {
    std::string full = kRunFolder + "/";
    full += path;
    expected[full] = node;
    for (std::size_t slash = full.find('/'); slash != std::string::npos;
         slash = full.find('/', slash + 1)) {
      expected[full.substr(0, slash)] = Folder();
    }
  }
  return expected;
}

void ExpectSameTree(const FileTree& expected, const FileTree& found) {
  EXPECT_EQ(DescribeTreeDifference(expected, found), "")
      << "the temporary folder differs from the expected files";
}

void ExpectExit(const ChildResult& result, int exit_code, const std::string& err) {
  EXPECT_EQ(result.failure, "");
  EXPECT_EQ(result.exit_status, ExitStatus(exit_code)) << "exit code";
  EXPECT_EQ(result.err, ConsoleLines(err)) << "standard error";
}

ChildLimits HeldAt(const std::string& out, std::function<void(int pid)> while_held) {
  ChildLimits limits;
  limits.hold_until = ConsoleLines(out);
  limits.while_held = std::move(while_held);
  return limits;
}

void KillNow(int pid) {
  kill(pid, SIGKILL);
  // Dead before its standard error is read: room in the pipe would otherwise
  // let the pending write through first.
  siginfo_t info;
  waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
}

void OverwriteBytes(const std::string& path, std::uint64_t offset, const Bytes& bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0) << path;
  EXPECT_EQ(pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)),
            static_cast<ssize_t>(bytes.size()))
      << path;
  close(fd);
}

TreeNode File(const Bytes& bytes) { return TreeNode{false, bytes}; }
TreeNode File(const std::string& text) { return File(Text(text)); }
TreeNode Folder() { return TreeNode{true, {}}; }
TreeNode Pipe() { return TreeNode{false, {}, true}; }
TreeNode Link(const std::string& target) { return TreeNode{false, {}, false, target}; }

Bytes Archive(const ArchiveLayout& layout) { return BuildArchive(layout).bytes; }

Bytes Concat(const Bytes& a, const Bytes& b) {
  Bytes joined = a;
  joined.insert(joined.end(), b.begin(), b.end());
  return joined;
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t length) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(from + length));
}

std::string FileLine(std::uint32_t size, std::uint32_t type, const std::string& name) {
  char prefix[64];  // the line's start is 28 characters at most
  (void)std::snprintf(prefix, sizeof prefix, "File: (0x%08X) Type:%X ", size, type);
  return prefix + name + " \n";
}

std::string ListedLine(std::uint32_t size, std::uint32_t type, const std::string& name) {
  const std::string empty = FileLine(size, type, "");  // "File: ... Type:T  \n"
  return empty.substr(0, empty.size() - 2) + name + ConsoleLines(" \n");
}

std::string DoneLine(int processed) {
  return "Done: " + std::to_string(processed) + " files processed.\n";
}
