#include "e2e_case.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "tests/support/remove_tree.h"
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

// The tree the temporary folder must hold after the run.
FileTree ExpectedTree(const E2eCase& test_case) {
  FileTree inside = test_case.before;
  if (test_case.archive) inside[test_case.archive_name] = File(*test_case.archive);
  for (const auto& [path, node] : test_case.after) inside[path] = node;

  FileTree expected;
  expected[kRunFolder] = Folder();
  for (const auto& [path, node] : inside) {
    const std::string full = kRunFolder + "/" + path;
    expected[full] = node;
    for (std::size_t slash = full.find('/'); slash != std::string::npos;
         slash = full.find('/', slash + 1)) {
      expected[full.substr(0, slash)] = Folder();
    }
  }
  return expected;
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
        std::strstr(target, "/unzrq-e2e-") != nullptr) {
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

}  // namespace

TemporaryFolder::TemporaryFolder() {
  path = (std::filesystem::temp_directory_path() / "unzrq-e2e-XXXXXX").string();
  if (mkdtemp(path.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
}

TemporaryFolder::~TemporaryFolder() { RemoveTree(path); }

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
  const TemporaryFolder temporary;
  const std::string& root = temporary.path;
  const std::string working = root + "/" + kRunFolder;
  FileTree setup = test_case.before;
  if (test_case.archive) setup[test_case.archive_name] = File(*test_case.archive);
  CreateTree(working, setup);

  ChildLimits limits;
  limits.max_file_bytes = test_case.max_file_bytes;
  // The Linux tool must survive a file-size limit by itself. Wine dies of
  // the signal, and no Windows system has such a limit to begin with.
  limits.ignore_size_signal = OnWindows();
  limits.output = test_case.standard_output;
  std::optional<WineDriveY> drive;
  std::string run_in = working;
  if (OnWindows() && !test_case.run_on_drive_y_in.empty()) {
    drive.emplace(working);
    // Wine names the folder it starts in by the drive whose root is nearest,
    // Y: here rather than Z:, the host's root.
    run_in += "/" + test_case.run_on_drive_y_in;
  }
  if (OnWindows() && limits.max_file_bytes > 0) {
    // A wine run starts the wine server when none is running, and the server
    // would inherit the limit and fail to save the prefix. A run without the
    // limit first (the usage, which creates nothing) leaves one running.
    RunTool({}, working);
  }
  const ChildResult result = RunTool(test_case.args, run_in, limits);

  EXPECT_EQ(result.failure, "");
  EXPECT_EQ(result.out, ConsoleLines(test_case.out)) << "standard output";
  EXPECT_EQ(result.err, ConsoleLines(test_case.err)) << "standard error";
  EXPECT_EQ(result.exit_status, ExitStatus(test_case.exit_code)) << "exit code";
  const std::string difference =
      DescribeTreeDifference(ExpectedTree(test_case), SnapshotTree(root));
  EXPECT_EQ(difference, "") << "the temporary folder differs from the expected files";
}

TreeNode File(const Bytes& bytes) { return TreeNode{false, bytes}; }
TreeNode File(const std::string& text) { return File(Text(text)); }
TreeNode Folder() { return TreeNode{true, {}}; }
TreeNode Pipe() { return TreeNode{false, {}, true}; }

Bytes Archive(const ArchiveLayout& layout) { return BuildArchive(layout).bytes; }

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

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
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, "File: (0x%08X) Type:%X ", size, type);
  return prefix + name + " \n";
}

std::string DoneLine(int processed) {
  return "Done: " + std::to_string(processed) + " files processed.\n";
}
