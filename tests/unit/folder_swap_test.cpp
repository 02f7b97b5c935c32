// The output folder renamed and another put under its name (a new folder,
// or a link to one) between two calls of the system, at each call that
// makes, renames or removes a name: nothing the run makes, renames or
// removes lands in what now stands under the folder's old name. The swap is
// made by a stand-in for the system's call, just before it passes to the
// system's own, so that the moment is exact on every build, the .exe files
// under wine included.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "platform/output_primitives.h"
#include "tests/support/list_folder.h"
#include "tests/support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;

const Bytes kOldBytes = {'o', 'l', 'd'};
const Bytes kEntryBytes = {'n', 'e', 'w'};
const Bytes kForeignBytes = {'f', 'o', 'r', 'e', 'i', 'g', 'n'};

// Which call the swap comes before.
enum class SwapBefore { kCreate, kRename, kDrop };

struct Swap {
  SwapBefore before = SwapBefore::kCreate;
  bool to_link = false;  // a link to the other folder, else the other folder itself
  std::string folder;    // the folder as the run opened it
  std::string moved;     // where it is renamed to
  std::string other;     // what takes its name, or the link's target
  bool done = false;
  std::string failure;  // why the swap could not be made
};

Swap g_swap;

void SwapNow(SwapBefore call) {
  if (g_swap.done || g_swap.before != call) return;
  g_swap.done = true;
  std::error_code error;
  fs::rename(g_swap.folder, g_swap.moved, error);
  if (!error) {
    if (g_swap.to_link) {
      fs::create_directory_symlink(g_swap.other, g_swap.folder, error);
    } else {
      fs::rename(g_swap.other, g_swap.folder, error);
    }
  }
  if (error) g_swap.failure = error.message();
}

const OutputPrimitives& System() { return kSystemOutputPrimitives; }

HANDLE SwappingCreate(const char* name, DWORD* error) {
  SwapNow(SwapBefore::kCreate);
  return System().create_named(name, error);
}

bool SwappingRename(const char* from, const char* to, DWORD* error) {
  SwapNow(SwapBefore::kRename);
  return System().rename_over(from, to, error);
}

bool SwappingDrop(HANDLE output, const char* temporary, DWORD* error) {
  SwapNow(SwapBefore::kDrop);
  return System().drop_output(output, temporary, error);
}

OutputPrimitives SwappingPrimitives() {
  OutputPrimitives swapping = kSystemOutputPrimitives;
  swapping.create_named = SwappingCreate;
  swapping.rename_over = SwappingRename;
  swapping.drop_output = SwappingDrop;
  return swapping;
}

bool WriteBytes(HANDLE file, const Bytes& bytes) {
  DWORD written = 0;
  return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

TEST(FolderSwap, NothingLandsUnderTheFoldersOldName) {
  struct Case {
    const char* label;
    SwapBefore before;
    bool old_file;  // "out" holds an old file: the output replaces it
    OutputFate fate;
  } const cases[] = {
      {"before a new name is made", SwapBefore::kCreate, false, OutputFate::kKeep},
      {"before a replacement's temporary is made", SwapBefore::kCreate, true, OutputFate::kKeep},
      {"before a replacement is renamed over the old file", SwapBefore::kRename, true,
       OutputFate::kKeep},
      {"before an incomplete replacement is removed", SwapBefore::kDrop, true,
       OutputFate::kIncomplete},
  };
  const OutputPrimitives swapping = SwappingPrimitives();
  for (const bool to_link : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.label) + (to_link ? ", a link" : ", a folder"));
      ScratchDir dir;
      const std::string folder = dir / "folder";
      fs::create_directory(folder);
      fs::create_directory(dir / "other");
      if (c.old_file) WriteFileBytes(folder + "/out", kOldBytes);
      // A first output before the swap, so that the folder is in use.
      WriteFileBytes(folder + "/first", kOldBytes);
      g_swap = Swap{};
      g_swap.before = c.before;
      g_swap.to_link = to_link;
      g_swap.folder = folder;
      g_swap.moved = dir / "moved";
      g_swap.other = dir / "other";
      UseOutputPrimitives(&swapping);
      DWORD error = NO_ERROR;
      ASSERT_TRUE(OpenOutputFolder(folder.c_str(), &error)) << error;
      OutputRefusal refusal;
      HANDLE file = CreateOutputFile("out", INVALID_HANDLE_VALUE, &refusal);
      ASSERT_NE(file, INVALID_HANDLE_VALUE) << refusal.error;
      ASSERT_TRUE(WriteBytes(file, kEntryBytes));
      const OutputFinish finish = FinishOutputFile(file, c.fate);
      EXPECT_EQ(finish.error, NO_ERROR);
      ReplaceReport report{};
      bool reported = false;
      while (PublishNextReplacement(&report)) reported = true;
      CloseOutputFolder();
      UseOutputPrimitives(nullptr);
      if (!g_swap.failure.empty()) {
        // Windows makes a link to a folder only with a right a user may lack.
        ASSERT_TRUE(to_link) << g_swap.failure;
        continue;
      }
      ASSERT_TRUE(g_swap.done);
      // The other folder stays as it was, empty, under the folder's old name
      // or behind the link there.
      EXPECT_EQ(ListFolder(to_link ? dir / "other" : folder), std::vector<std::string>{});
      const std::string moved = dir / "moved";
      const std::vector<std::string> names = ListFolder(moved);
      if (!c.old_file) {
        EXPECT_EQ(names, (std::vector<std::string>{"first", "out"}));
        EXPECT_EQ(ReadFileBytes(moved + "/out"), kEntryBytes);
      } else if (c.fate == OutputFate::kKeep) {
        ASSERT_TRUE(reported);
        // Where a rename goes by the folder's first path after all (wine),
        // it is refused once the folder is gone from there: the entry is
        // kept whole beside the old file, in the folder first opened.
        if (report.outcome == ReplaceOutcome::kKeptAside) {
          EXPECT_EQ(ReadFileBytes(moved + "/out"), kOldBytes);
          EXPECT_EQ(ReadFileBytes(moved + "/" + report.temporary), kEntryBytes);
        } else {
          EXPECT_EQ(report.outcome, ReplaceOutcome::kReplaced);
          EXPECT_EQ(ReadFileBytes(moved + "/out"), kEntryBytes);
          EXPECT_EQ(names, (std::vector<std::string>{"first", "out"}));
        }
      } else {
        EXPECT_EQ(ReadFileBytes(moved + "/out"), kOldBytes);
      }
      EXPECT_EQ(ReadFileBytes(moved + "/first"), kOldBytes);
    }
  }
}

// Another file put under a waiting replacement's temporary name, just
// before the look that finds it is the run's own, or between that look and
// the rename: it is never renamed over the output, nor removed, and the old
// file stays. Windows renames through a handle opened on the temporary and
// checked to hold the run's file, so no call is left between the check and
// the rename; a rename by names (Linux) leaves that one call.
std::string g_temporary_folder;
bool g_swap_temporary = false;

void PutForeignFile(const char* temporary) {
  if (!g_swap_temporary) return;
  g_swap_temporary = false;
  // Made beside it first and renamed over it, so that the foreign file
  // cannot be given the number the run's file had.
  const std::string side = g_temporary_folder + "/foreign";
  WriteFileBytes(side, kForeignBytes);
  fs::rename(side, g_temporary_folder + "/" + temporary);
}

bool SwappingLook(const char* name, const HeldFile& held, bool* same, DWORD* error) {
  PutForeignFile(name);
  return System().is_held_file(name, held, same, error);
}

bool SwappingRenameOfTemporary(const char* from, const char* to, DWORD* error) {
  PutForeignFile(from);
  return System().rename_over(from, to, error);
}

TEST(FolderSwap, AnotherFileUnderAWaitingTemporaryIsNeverRenamed) {
  struct Case {
    const char* label;
    bool between_look_and_rename;
  } const cases[] = {
      {"before the look at the temporary", false},
      {"between the look and the rename", true},
  };
  OutputPrimitives swapping = kSystemOutputPrimitives;
  swapping.is_held_file = SwappingLook;
  swapping.rename_over = SwappingRenameOfTemporary;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
#ifndef _WIN32
    if (c.between_look_and_rename) continue;  // a rename by names: that one call remains
#endif
    ScratchDir dir;
    WriteFileBytes(dir / "out", kOldBytes);
    g_temporary_folder = dir.path();
    UseOutputPrimitives(&swapping);
    DWORD error = NO_ERROR;
    ASSERT_TRUE(OpenOutputFolder(dir.path().c_str(), &error)) << error;
    OutputRefusal refusal;
    HANDLE file = CreateOutputFile("out", INVALID_HANDLE_VALUE, &refusal);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << refusal.error;
    ASSERT_TRUE(WriteBytes(file, kEntryBytes));
    EXPECT_EQ(FinishOutputFile(file, OutputFate::kKeep).error, NO_ERROR);
    // Only the look or the rename of the temporary puts the foreign file
    // there; every other call passes to the system's own.
    swapping.is_held_file = c.between_look_and_rename ? System().is_held_file : SwappingLook;
    g_swap_temporary = true;
    ReplaceReport report{};
    std::string temporary;
    int reports = 0;
    while (PublishNextReplacement(&report)) {
      ++reports;
      temporary = report.temporary;
      EXPECT_EQ(report.error, kErrorNotOwnTemporary);
      EXPECT_EQ(report.outcome, ReplaceOutcome::kNotOwn);  // never "kept whole as" a foreign file
    }
    CloseOutputFolder();
    UseOutputPrimitives(nullptr);
    swapping.is_held_file = SwappingLook;
    EXPECT_EQ(reports, 1);
    EXPECT_FALSE(g_swap_temporary);
    EXPECT_EQ(ReadFileBytes(dir / "out"), kOldBytes);
    EXPECT_EQ(ReadFileBytes(dir / temporary), kForeignBytes);
    EXPECT_EQ(ListFolder(dir.path()).size(), 2u);
  }
}

}  // namespace
