// How an output takes its name, on every system: one row per thing that can
// stand under the name, per fate, and per thing that can happen to the name
// while the output is written. The same rows run in-process on Linux and in
// both .exe under wine.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "owned_handle.h"
#include "tests/support/list_folder.h"
#include "tests/support/scratch_dir.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

const Bytes kOldBytes = PatternBytes(5000, 3);
const Bytes kEntryBytes = {'n', 'e', 'w'};
const Bytes kOtherBytes = {'o', 't', 'h', 'e', 'r'};

bool WriteBytes(HANDLE file, const Bytes& bytes) {
  DWORD written = 0;
  return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

bool IsTemporaryName(const std::string& name) {
  return name.starts_with(kTemporaryNamePrefix) && name.ends_with(kTemporaryNameSuffix) &&
         name.size() == kTemporaryNameBytes;
}

void MakeReadOnly(const std::string& path) {
  fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
}

// What the name holds afterwards.
enum class Holds { kNothing, kOld, kEntry, kOther, kFolder };

struct Row {
  const char* label;
  std::function<void(const ScratchDir&)> before;  // lays out the folder
  OutputFate fate;
  // Done to the folder while the output is being written.
  std::function<void(const ScratchDir&)> meanwhile;
  Holds holds;
  DWORD finish_error = NO_ERROR;  // NO_ERROR: published as the fate says
  bool kept_aside = false;        // the entry stays whole under its temporary name
};

void OldFile(const ScratchDir& dir) { WriteFileBytes(dir / "out", kOldBytes); }

TEST(Publication, EachFateOverEachKindOfName) {
  const std::vector<Row> rows = {
      {"new name, kept", nullptr, OutputFate::kKeep, nullptr, Holds::kEntry},
      {"new name, incomplete", nullptr, OutputFate::kIncomplete, nullptr, Holds::kEntry},
      {"new name, given up", nullptr, OutputFate::kDiscard, nullptr, Holds::kNothing},
      {"old file, kept", OldFile, OutputFate::kKeep, nullptr, Holds::kEntry},
      {"old file, incomplete", OldFile, OutputFate::kIncomplete, nullptr, Holds::kOld},
      {"old file, given up", OldFile, OutputFate::kDiscard, nullptr, Holds::kOld},
      {"read-only old file, kept",
       [](const ScratchDir& dir) {
         OldFile(dir);
         MakeReadOnly(dir / "out");
       },
       OutputFate::kKeep, nullptr, Holds::kEntry},
      // Another run fills the name while this one writes.
      {"name filled meanwhile, kept", nullptr, OutputFate::kKeep,
       [](const ScratchDir& dir) { WriteFileBytes(dir / "out", kOtherBytes); }, Holds::kEntry},
      {"name filled meanwhile, incomplete", nullptr, OutputFate::kIncomplete,
       [](const ScratchDir& dir) { WriteFileBytes(dir / "out", kOtherBytes); }, Holds::kOther},
      {"name filled meanwhile, given up", nullptr, OutputFate::kDiscard,
       [](const ScratchDir& dir) { WriteFileBytes(dir / "out", kOtherBytes); }, Holds::kOther},
      {"old file replaced by another run meanwhile, given up", OldFile, OutputFate::kDiscard,
       [](const ScratchDir& dir) { WriteFileBytes(dir / "out", kOtherBytes); }, Holds::kOther},
      // The rename over the name fails: the whole entry is not thrown away.
      {"old file turned into a folder meanwhile, kept", OldFile, OutputFate::kKeep,
       [](const ScratchDir& dir) {
         fs::remove(dir / "out");
         fs::create_directory(dir / "out");
       },
       Holds::kFolder, NO_ERROR, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    ScratchDir dir;
    if (row.before) row.before(dir);
    const Bytes before = fs::exists(dir / "out") ? ReadFileBytes(dir / "out") : Bytes{};
    OwnedOutput out(dir.path(), "out");
    ASSERT_TRUE(out.valid()) << out.error();
    ASSERT_TRUE(WriteBytes(out.get(), kEntryBytes));
    // Until it is finished the output is nowhere under the name.
    EXPECT_EQ(fs::exists(dir / "out") ? ReadFileBytes(dir / "out") : Bytes{}, before);
    if (row.meanwhile) row.meanwhile(dir);
    const DWORD finished = out.Finish(row.fate);
    if (row.kept_aside) {
      EXPECT_NE(finished, NO_ERROR);
      EXPECT_EQ(out.outcome(), ReplaceOutcome::kKeptAside);
      ASSERT_TRUE(IsTemporaryName(out.temporary())) << out.temporary();
      EXPECT_EQ(ReadFileBytes(dir / out.temporary()), kEntryBytes);
    } else {
      EXPECT_EQ(finished, row.finish_error);
    }
    switch (row.holds) {
      case Holds::kNothing: EXPECT_FALSE(fs::exists(dir / "out")); break;
      case Holds::kOld: EXPECT_EQ(ReadFileBytes(dir / "out"), kOldBytes); break;
      case Holds::kEntry: EXPECT_EQ(ReadFileBytes(dir / "out"), kEntryBytes); break;
      case Holds::kOther: EXPECT_EQ(ReadFileBytes(dir / "out"), kOtherBytes); break;
      case Holds::kFolder: EXPECT_TRUE(fs::is_directory(dir / "out")); break;
    }
    // Nothing else is left in the folder but a kept-aside entry.
    std::vector<std::string> expected;
    if (row.holds != Holds::kNothing) expected.push_back("out");
    if (row.kept_aside) expected.insert(expected.begin(), out.temporary());
    EXPECT_EQ(ListFolder(dir.path()), expected);
  }
}

// What the run must not replace is refused before anything is written, and
// stays as it was.
TEST(Publication, RefusedNames) {
  ScratchDir dir;
  WriteFileBytes(dir / "archive", kOldBytes);
  fs::create_directory(dir / "folder");
  fs::create_hard_link(dir / "archive", dir / "second-name");
  OwnedHandle archive(OpenArchive((dir / "archive").c_str()));
  ASSERT_TRUE(archive.valid());
  struct Case {
    const char* name;
    DWORD error;
  } const cases[] = {
      {"archive", kErrorOutputIsArchive},
      {"second-name", kErrorOutputIsArchive},
      {"folder", kErrorNameIsFolder},
  };
  for (const Case& c : cases) {
    OwnedOutput out(dir.path(), c.name, archive.get());
    EXPECT_FALSE(out.valid()) << c.name;
    EXPECT_EQ(out.error(), c.error) << c.name;
    EXPECT_FALSE(out.refusal().replacing) << c.name;
  }
  EXPECT_EQ(ReadFileBytes(dir / "archive"), kOldBytes);
  EXPECT_TRUE(fs::is_directory(dir / "folder"));
  EXPECT_EQ(ListFolder(dir.path()), (std::vector<std::string>{"archive", "folder", "second-name"}));
}

// A file held open elsewhere without leave to delete it refuses the rename
// (Windows); after a few tries the entry stays whole under its temporary
// name, and the old file stays.
TEST(Publication, AFileHeldOpenElsewhereKeepsTheEntryAside) {
#ifndef _WIN32
  GTEST_SKIP() << "an open file never stops a rename here";
#else
  ScratchDir dir;
  OldFile(dir);
  HANDLE held = CreateFileA((dir / "out").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  OwnedOutput out(dir.path(), "out");
  ASSERT_TRUE(out.valid());
  ASSERT_TRUE(WriteBytes(out.get(), kEntryBytes));
  EXPECT_NE(out.Finish(), NO_ERROR);
  CloseHandle(held);
  EXPECT_EQ(out.outcome(), ReplaceOutcome::kKeptAside);
  EXPECT_EQ(ReadFileBytes(dir / "out"), kOldBytes);
  EXPECT_EQ(ReadFileBytes(dir / out.temporary()), kEntryBytes);
#endif
}

// A folder where files may be written but no name made: a new name and a
// replacement are both refused, the replacement saying that it needed a name.
// The end-to-end suite shows the same with an immutable folder, as root.
TEST(Publication, AFolderWhereNoNameCanBeMade) {
#ifdef _WIN32
  GTEST_SKIP() << "folder permissions are not POSIX modes here";
#else
  if (geteuid() == 0) GTEST_SKIP() << "root may make names in any folder";
  ScratchDir dir;
  OldFile(dir);
  ASSERT_EQ(chmod(dir.path().c_str(), 0500), 0);
  {
    OwnedOutput replacing(dir.path(), "out");
    EXPECT_FALSE(replacing.valid());
    EXPECT_TRUE(replacing.refusal().replacing);
  }
  {
    OwnedOutput fresh(dir.path(), "fresh");
    EXPECT_FALSE(fresh.valid());
    EXPECT_FALSE(fresh.refusal().replacing);
  }
  chmod(dir.path().c_str(), 0700);
  EXPECT_EQ(ReadFileBytes(dir / "out"), kOldBytes);
#endif
}

}  // namespace
