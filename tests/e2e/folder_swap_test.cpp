// The output folder renamed and swapped for a link while the tool writes
// into it: every output still lands in the folder the run opened, none in
// the link's target. Another thread of the test makes the swap the moment
// the first output appears, racing the run's many small outputs.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "e2e_case.h"
#include "file_tree.h"
#include "tool_under_test.h"

namespace {

constexpr int kEntries = 1000;

std::string EntryName(int i) {
  char name[16];
  (void)std::snprintf(name, sizeof name, "f%04d", i);
  return name;
}

// How many of the tree's files lie in it (its folders not counted).
int CountFiles(const FileTree& tree) {
  int files = 0;
  for (const auto& [path, node] : tree) {
    if (!node.is_folder && !node.is_pipe && node.link_to.empty()) ++files;
  }
  return files;
}

// Whether the run has made its first output in `out`: the first new name,
// or a temporary beside the old files.
bool FirstOutputMade(const std::string& out, bool replacing) {
  if (!replacing) return access((out + "/" + EntryName(0)).c_str(), F_OK) == 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(out, error)) {
    if (entry.path().filename().string().starts_with(".unzrq-partial-")) return true;
  }
  return false;
}

struct SwapRow {
  const char* label;
  bool old_files;  // every name holds an old file: each output is a replacement
};

TEST(FolderSwap, AFolderSwappedForALinkMidRunMovesNoOutput) {
  const SwapRow rows[] = {
      {"new names", false},
      {"replacements", true},
  };
  std::vector<TestEntry> entries;
  entries.reserve(kEntries);
  for (int i = 0; i < kEntries; ++i) {
    entries.push_back({.name = EntryName(i), .type = 3, .payload = Text("new " + EntryName(i))});
  }
  const Bytes archive = Archive({.entries = entries});
  for (const SwapRow& row : rows) {
    SCOPED_TRACE(row.label);
    FileTree before = {{"elsewhere", Folder()}};
    if (row.old_files) {
      for (int i = 0; i < kEntries; ++i) before["out/" + EntryName(i)] = File("old");
    }
    CaseFolder folder(before);
    WriteFileBytes(folder / "archive.zrq", archive);
    std::atomic<bool> done{false};
    std::atomic<bool> swapped{false};
    std::thread swapper([&] {
      // The swap comes with the first output the run makes: a new name, or
      // the temporary of the first replacement, while the others are still
      // to be made.
      while (!done.load()) {
        if (FirstOutputMade(folder / "out", row.old_files)) {
          if (std::rename((folder / "out").c_str(), (folder / "out.moved").c_str()) == 0 &&
              symlink("elsewhere", (folder / "out").c_str()) == 0) {
            swapped.store(true);
          }
          return;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
    const ChildResult run = RunTool({"archive.zrq", "out"}, folder.working());
    done.store(true);
    swapper.join();
    ASSERT_TRUE(swapped.load()) << "the run ended before the folder could be swapped";
    const int outside = CountFiles(SnapshotTree(folder / "elsewhere"));
    EXPECT_EQ(outside, 0) << outside << " of " << kEntries << " outputs landed outside the folder";
    const FileTree inside = SnapshotTree(folder / "out.moved");
    if (!row.old_files) {
      // Every new name is made through the folder's handle: all of them
      // land in it, whole, and the run has nothing to say.
      EXPECT_EQ(run.exit_status, 0) << run.err;
      EXPECT_EQ(run.err, "");
      int whole = 0;
      for (int i = 0; i < kEntries; ++i) {
        const auto found = inside.find(EntryName(i));
        if (found != inside.end() && found->second == File("new " + EntryName(i))) ++whole;
      }
      EXPECT_EQ(whole, kEntries);
      EXPECT_EQ(CountFiles(inside), kEntries);
    } else {
      // Every temporary is made in the folder. A rename after the swap may
      // be refused where the system renames by the folder's old path
      // (wine): the entry is then kept whole under its temporary name, in
      // the folder, beside its old file, and said.
      int named = 0;
      for (int i = 0; i < kEntries; ++i) named += inside.contains(EntryName(i)) ? 1 : 0;
      EXPECT_EQ(named, kEntries);
      EXPECT_GE(CountFiles(inside), kEntries);
      if (run.exit_status == 0) {
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(CountFiles(inside), kEntries);
      }
    }
  }
}

// Outputs are made relative to the open folder on Windows too: in a folder
// whose path leaves no room for a temporary name within 260 bytes, an old
// file is still replaced, as a new name is written.
TEST(FolderSwap, AReplacementInAFolderOfALongPath) {
  const std::string folder(200, 'w');
  RunCases({
      {.name = "Windows: an old file in a folder of 200 characters is replaced",
       .archive = Archive({.entries = {{.name = "old", .type = 3, .payload = Text("new")},
                                       {.name = "fresh", .type = 3, .payload = Text("too")}}}),
       .args = {"archive.zrq", folder},
       .out = FileLine(3, 3, "old") + FileLine(3, 3, "fresh") + DoneLine(2),
       .after = {{folder + "/old", File("new")}, {folder + "/fresh", File("too")}},
       .before = {{folder + "/old", File("the old file")}},
       .legs = Legs::kWindowsOnly},
  });
}

}  // namespace
