// How an output takes its name, on every system: one row per thing that can
// stand under the name, per fate, and per thing that can happen to the name
// while the output is written; then one row per call of the system that can
// refuse, through stand-ins for the system's calls, so that every fallback
// is taken here whatever the file system under the test allows. The same
// rows run in-process on Linux and in both .exe under wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "owned_handle.h"
#include "platform/output_primitives.h"
#include "publication/publication.h"
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

Bytes HeldBy(const std::string& path) { return fs::exists(path) ? ReadFileBytes(path) : Bytes{}; }

// What the name holds afterwards.
enum class Holds { kNothing, kOld, kEntry, kOther, kFolder, kPipe };

void OldFile(const ScratchDir& dir) { WriteFileBytes(dir / "out", kOldBytes); }

void ExpectHolds(const ScratchDir& dir, Holds holds) {
  const std::string out = dir / "out";
  switch (holds) {
    case Holds::kNothing: EXPECT_FALSE(fs::exists(out)); break;
    case Holds::kOld: EXPECT_EQ(HeldBy(out), kOldBytes); break;
    case Holds::kEntry: EXPECT_EQ(HeldBy(out), kEntryBytes); break;
    case Holds::kOther: EXPECT_EQ(HeldBy(out), kOtherBytes); break;
    case Holds::kFolder: EXPECT_TRUE(fs::is_directory(out)); break;
    case Holds::kPipe: EXPECT_TRUE(fs::is_fifo(fs::symlink_status(out))); break;
  }
}

struct Row {
  const char* label;
  std::function<void(const ScratchDir&)> before;  // lays out the folder
  OutputFate fate;
  // Done to the folder while the output is being written.
  std::function<void(const ScratchDir&)> meanwhile;
  Holds holds;
  bool kept_aside = false;  // the entry stays whole under its temporary name
  bool posix_only = false;  // the folder cannot be laid out so under wine
};

TEST(Publication, EachFateOverEachKindOfName) {
  const std::vector<Row> rows = {
      // A new name is written in place: what was written stays, whole or not.
      {"new name, kept", nullptr, OutputFate::kKeep, nullptr, Holds::kEntry},
      {"new name, incomplete", nullptr, OutputFate::kIncomplete, nullptr, Holds::kEntry},
      // An old file is replaced only by a whole entry.
      {"old file, kept", OldFile, OutputFate::kKeep, nullptr, Holds::kEntry},
      {"old file, incomplete", OldFile, OutputFate::kIncomplete, nullptr, Holds::kOld},
      {"read-only old file, kept",
       [](const ScratchDir& dir) {
         OldFile(dir);
         MakeReadOnly(dir / "out");
       },
       OutputFate::kKeep, nullptr, Holds::kEntry},
      // Another run changes the name while this one writes its replacement.
      {"old file replaced by another run meanwhile, kept", OldFile, OutputFate::kKeep,
       [](const ScratchDir& dir) { WriteFileBytes(dir / "out", kOtherBytes); }, Holds::kEntry},
      {"old file replaced by another run meanwhile, incomplete", OldFile, OutputFate::kIncomplete,
       [](const ScratchDir& dir) { WriteFileBytes(dir / "out", kOtherBytes); }, Holds::kOther},
      {"old file removed meanwhile, kept", OldFile, OutputFate::kKeep,
       [](const ScratchDir& dir) { fs::remove(dir / "out"); }, Holds::kEntry},
      // What is never replaced is judged again before the rename: the whole
      // entry is not thrown away.
      {"old file turned into a folder meanwhile, kept", OldFile, OutputFate::kKeep,
       [](const ScratchDir& dir) {
         fs::remove(dir / "out");
         fs::create_directory(dir / "out");
       },
       Holds::kFolder, true},
#ifndef _WIN32
      {"old file turned into a pipe meanwhile, kept", OldFile, OutputFate::kKeep,
       [](const ScratchDir& dir) {
         fs::remove(dir / "out");
         ASSERT_EQ(mkfifo((dir / "out").c_str(), 0600), 0);
       },
       Holds::kPipe, true, true},
#endif
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    ScratchDir dir;
    if (row.before) row.before(dir);
    const bool replaces = fs::exists(dir / "out");
    const Bytes before = HeldBy(dir / "out");
    OwnedOutput out(dir.path(), "out");
    ASSERT_TRUE(out.valid()) << out.error();
    ASSERT_TRUE(WriteBytes(out.get(), kEntryBytes));
    // A replacement is nowhere under the name until it is finished; a new
    // name holds what was written at once.
    EXPECT_EQ(HeldBy(dir / "out"), replaces ? before : kEntryBytes);
    if (row.meanwhile) row.meanwhile(dir);
    const DWORD finished = out.Finish(row.fate);
    if (row.kept_aside) {
      EXPECT_NE(finished, NO_ERROR);
      EXPECT_EQ(out.outcome(), ReplaceOutcome::kKeptAside);
      ASSERT_TRUE(IsTemporaryName(out.temporary())) << out.temporary();
      EXPECT_EQ(ReadFileBytes(dir / out.temporary()), kEntryBytes);
    } else {
      EXPECT_EQ(finished, NO_ERROR);
    }
    ExpectHolds(dir, row.holds);
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

// CreateOutputFileUnlessTaken (zrq extract --keep): whatever stands under a
// name is left as it is, a link that points nowhere and the archive among
// them; only a name nothing holds is made.
TEST(Publication, UnlessTakenLeavesWhateverStands) {
  ScratchDir dir;
  WriteFileBytes(dir / "archive", kOldBytes);
  WriteFileBytes(dir / "old", kOldBytes);
  fs::create_directory(dir / "folder");
  std::vector<std::string> taken = {"archive", "folder", "old"};
#ifndef _WIN32
  fs::create_symlink("nowhere", dir / "dangling");
  fs::create_symlink("old", dir / "link");
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  taken.insert(taken.end(), {"dangling", "link", "pipe"});
#endif
  std::sort(taken.begin(), taken.end());
  OwnedHandle archive(OpenArchive((dir / "archive").c_str()));
  ASSERT_TRUE(archive.valid());
  OutputRefusal refusal = {};
  ASSERT_TRUE(OpenOutputFolder(dir.path().c_str(), &refusal.error));
  for (const std::string& name : taken) {
    EXPECT_EQ(CreateOutputFileUnlessTaken(name.c_str(), archive.get(), &refusal),
              INVALID_HANDLE_VALUE)
        << name;
    EXPECT_EQ(refusal.error, static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << name;
  }
  HANDLE fresh = CreateOutputFileUnlessTaken("fresh", archive.get(), &refusal);
  ASSERT_NE(fresh, INVALID_HANDLE_VALUE) << refusal.error;
  EXPECT_TRUE(WriteBytes(fresh, kEntryBytes));
  EXPECT_EQ(FinishOutputFile(fresh, OutputFate::kKeep).error, static_cast<DWORD>(NO_ERROR));
  CloseOutputFolder();
  EXPECT_EQ(ReadFileBytes(dir / "old"), kOldBytes);
  EXPECT_EQ(ReadFileBytes(dir / "archive"), kOldBytes);
  EXPECT_EQ(ReadFileBytes(dir / "fresh"), kEntryBytes);
  std::vector<std::string> expected = taken;
  expected.push_back("fresh");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(ListFolder(dir.path()), expected);
}

// Stand-ins for the system's calls: each passes to the system's own unless
// its row tells it to refuse, and counts its calls.
struct StandIn {
  int create_refusals = 0;  // the first creates say something stands there
  bool look_fails = false;  // looking at a name fails
  DWORD create_temporary_error = NO_ERROR;
  int create_temporary_refusals = 1000;  // how many creates of a temporary the error refuses
  int names_short = 0;               // the next creates of a name say the run is out of descriptors
  int temporaries_short = 0;         // the same for the next creates of a temporary
  int reopens_short = 0;             // the same for the next opens of a temporary let go
  std::size_t open_files = 0;        // how many files the run may hold open; 0: the system's say
  bool together_fails_once = false;  // the first file of a flush together fails, once
  bool flush_files_unsupported = false;  // no flush of several files at once
  DWORD flush_error = NO_ERROR;          // every flush fails so
  DWORD file_system_error = NO_ERROR;    // the flush of the file system fails so
  bool rename_fails = false;
  bool drop_fails = false;
  bool no_room = false;
  bool file_system_unsupported = false;  // the file system's own flush cannot be trusted
  int creates = 0;
  int flush_file_system_calls = 0;
  int flush_files_calls = 0;
  int flush_file_calls = 0;
  int pauses = 0;
};

StandIn g_stand_in;

const OutputPrimitives& System() { return kSystemOutputPrimitives; }

HANDLE StandInCreate(const char* name, DWORD* error) {
  ++g_stand_in.creates;
  if (g_stand_in.create_refusals > 0 && !IsTemporaryName(name)) {
    --g_stand_in.create_refusals;
    *error = ERROR_ALREADY_EXISTS;
    return INVALID_HANDLE_VALUE;
  }
  int& short_of_descriptors =
      IsTemporaryName(name) ? g_stand_in.temporaries_short : g_stand_in.names_short;
  if (short_of_descriptors > 0) {
    --short_of_descriptors;
    *error = kErrorTooManyOpenFiles;
    return INVALID_HANDLE_VALUE;
  }
  if (g_stand_in.create_temporary_error != NO_ERROR && IsTemporaryName(name) &&
      g_stand_in.create_temporary_refusals-- > 0) {
    *error = g_stand_in.create_temporary_error;
    return INVALID_HANDLE_VALUE;
  }
  return System().create_named(name, error);
}

bool StandInLook(const char* name, HANDLE archive, NameKind* kind, char* long_name, DWORD* error) {
  if (g_stand_in.look_fails) {
    *error = ERROR_ACCESS_DENIED;
    return false;
  }
  return System().look_at_name(name, archive, kind, long_name, error);
}

// Each file's own flush, as the system gives it, one by one.
void FlushEach(HeldFile* files, std::size_t count, DWORD* errors) {
  for (std::size_t i = 0; i < count; ++i) {
    errors[i] = g_stand_in.flush_error;
    if (errors[i] == NO_ERROR) {
      (void)System().make_durable(&files[i], 1, Durability::kOneByOne, &errors[i]);
    }
  }
}

DWORD StandInMakeDurable(HeldFile* files, std::size_t count, Durability how, DWORD* errors) {
  switch (how) {
    case Durability::kFileSystem:
      ++g_stand_in.flush_file_system_calls;
      errors[0] = g_stand_in.file_system_error != NO_ERROR ? g_stand_in.file_system_error
                                                           : g_stand_in.flush_error;
      if (errors[0] == NO_ERROR) {
        // Whatever the host can, a flush of the file system that can be trusted.
        (void)System().make_durable(files, 1, Durability::kFileSystem, errors);
        if (errors[0] == ERROR_NOT_SUPPORTED) errors[0] = NO_ERROR;
      }
      return NO_ERROR;
    case Durability::kTogether:
      ++g_stand_in.flush_files_calls;
      if (g_stand_in.flush_files_unsupported) return ERROR_NOT_SUPPORTED;
      // A system that flushes several at once, whatever this one can do (the
      // system's own way is taken by every run of the tool).
      FlushEach(files, count, errors);
      if (g_stand_in.together_fails_once) {
        // A completion of the ring that failed, for a reason of the ring's own.
        g_stand_in.together_fails_once = false;
        errors[0] = kErrorWriteFailed;
      }
      return NO_ERROR;
    case Durability::kOneByOne:
      g_stand_in.flush_file_calls += static_cast<int>(count);
      FlushEach(files, count, errors);
      return NO_ERROR;
  }
  return ERROR_NOT_SUPPORTED;
}

void StandInDescribe(FileSystemFacts* facts) {
  // A file system whose flush can be trusted, or one whose flush cannot.
  *facts = {g_stand_in.file_system_unsupported ? FileSystemKind::kFuse : FileSystemKind::kExt4, 6,
            1};
}

bool StandInRename(const char* from, const char* to, DWORD* error) {
  if (g_stand_in.rename_fails) {
    *error = ERROR_ACCESS_DENIED;
    return false;
  }
  return System().rename_over(from, to, error);
}

bool StandInDrop(HANDLE output, const char* temporary, DWORD* error) {
  if (g_stand_in.drop_fails) {
    (void)CloseHandle(output);
    *error = ERROR_ACCESS_DENIED;
    return false;
  }
  return System().drop_output(output, temporary, error);
}

bool StandInFreeSpace(std::uint64_t* bytes) {
  if (g_stand_in.no_room) {
    *bytes = 0;
    return true;
  }
  return System().free_space(bytes);
}

void StandInPause(unsigned /*milliseconds*/) { ++g_stand_in.pauses; }

bool StandInOpenHeld(const char* name, HeldFile* held, DWORD* error) {
  if (g_stand_in.reopens_short > 0) {
    --g_stand_in.reopens_short;
    *error = kErrorTooManyOpenFiles;
    return false;
  }
  return System().open_held(name, held, error);
}

std::size_t StandInOpenFilesAllowed() {
  return g_stand_in.open_files != 0 ? g_stand_in.open_files : System().open_files_allowed();
}

OutputPrimitives StandIns() {
  OutputPrimitives calls = kSystemOutputPrimitives;
  calls.look_at_name = StandInLook;
  calls.create_named = StandInCreate;
  calls.rename_over = StandInRename;
  calls.drop_output = StandInDrop;
  calls.make_durable = StandInMakeDurable;
  calls.describe_file_system = StandInDescribe;
  calls.free_space = StandInFreeSpace;
  calls.pause = StandInPause;
  calls.open_held = StandInOpenHeld;
  calls.open_files_allowed = StandInOpenFilesAllowed;
  return calls;
}

const OutputPrimitives kStandIns = StandIns();

// Publication over the stand-ins for as long as it lives.
class StandingIn {
 public:
  explicit StandingIn(const StandIn& row) {
    g_stand_in = row;
    UseOutputPrimitives(&kStandIns);
  }
  ~StandingIn() { UseOutputPrimitives(nullptr); }
  StandingIn(const StandingIn&) = delete;
  StandingIn& operator=(const StandingIn&) = delete;
};

// Each call the system may refuse, refused: what the name holds afterwards,
// what is told, and that the fallback was taken.
TEST(Publication, EachRefusalOfTheSystem) {
  struct Case {
    const char* label;
    bool old_file;  // an old file stands under the name
    StandIn stand_in;
    DWORD create_error;  // NO_ERROR: the output is made
    bool replacing = false;
    DWORD finish_error = NO_ERROR;  // the first failure Finish tells
    ReplaceOutcome outcome = ReplaceOutcome::kReplaced;
    Holds holds = Holds::kEntry;
    bool leftover = false;  // a temporary stays in the folder
  } const cases[] = {
      {"a name that vanishes after refusing the create is created at the next try",
       false,
       {.create_refusals = 1},
       NO_ERROR},
      // Under wine, a host's link that points nowhere: the create bumps into
      // it, the listing does not show it. It is replaced as a name.
      {"a name the create keeps finding and no look sees is replaced as a name",
       false,
       {.create_refusals = 100},
       NO_ERROR},
      {"a name that cannot be looked at is refused with the reason",
       true,
       {.look_fails = true},
       ERROR_ACCESS_DENIED,
       false,
       NO_ERROR,
       ReplaceOutcome::kReplaced,
       Holds::kOld},
      {"no temporary can be made beside an old file",
       true,
       {.create_temporary_error = ERROR_ACCESS_DENIED},
       ERROR_ACCESS_DENIED,
       true,
       NO_ERROR,
       ReplaceOutcome::kReplaced,
       Holds::kOld},
      {"several files cannot be flushed at once: each is flushed alone",
       true,
       {.flush_files_unsupported = true},
       NO_ERROR},
      {"a failed flush leaves the old file and removes the new one",
       true,
       {.flush_error = ERROR_DISK_FULL},
       NO_ERROR,
       false,
       ERROR_DISK_FULL,
       ReplaceOutcome::kDropped,
       Holds::kOld},
      {"a failed flush, one file at a time",
       true,
       {.flush_files_unsupported = true, .flush_error = ERROR_DISK_FULL},
       NO_ERROR,
       false,
       ERROR_DISK_FULL,
       ReplaceOutcome::kDropped,
       Holds::kOld},
      {"a failed rename keeps the entry aside",
       true,
       {.rename_fails = true},
       NO_ERROR,
       false,
       ERROR_ACCESS_DENIED,
       ReplaceOutcome::kKeptAside,
       Holds::kOld,
       true},
      {"an incomplete replacement that cannot be removed is named",
       true,
       {.drop_fails = true},
       NO_ERROR,
       false,
       NO_ERROR,
       ReplaceOutcome::kReplaced,
       Holds::kOld,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDir dir;
    if (c.old_file) OldFile(dir);
    const StandingIn standing_in(c.stand_in);
    OwnedOutput out(dir.path(), "out");
    ASSERT_EQ(out.valid(), c.create_error == NO_ERROR) << out.error();
    if (!out.valid()) {
      EXPECT_EQ(out.error(), c.create_error);
      EXPECT_EQ(out.refusal().replacing, c.replacing);
    } else {
      ASSERT_TRUE(WriteBytes(out.get(), kEntryBytes));
      // The drop row gives the replacement up.
      const OutputFate fate = c.stand_in.drop_fails ? OutputFate::kIncomplete : OutputFate::kKeep;
      EXPECT_EQ(out.Finish(fate), c.finish_error);
      EXPECT_EQ(out.outcome(), c.outcome);
      EXPECT_EQ(out.left_over(), c.leftover && c.stand_in.drop_fails);
    }
    ExpectHolds(dir, c.holds);
    const std::vector<std::string> names = ListFolder(dir.path());
    const bool temporary_left = std::any_of(
        names.begin(), names.end(), [](const std::string& n) { return IsTemporaryName(n); });
    EXPECT_EQ(temporary_left, c.leftover);
    if (c.stand_in.flush_files_unsupported && out.outcome() != ReplaceOutcome::kKeptAside) {
      EXPECT_EQ(g_stand_in.flush_file_calls, 1);
    }
  }
}

// Replacements wait for their batch. A batch of more than a window is
// flushed with the whole file system where that can be trusted, else a
// window at a time, else one file at a time; the disk's room publishes a
// batch early; a failed flush keeps every old file of its batch.
TEST(Publication, ReplacementsWaitForTheirBatch) {
  constexpr int kFiles = static_cast<int>(kFlushWindow) + 3;
  struct Case {
    const char* label;
    StandIn stand_in;
    int file_system_flushes;
    int window_flushes;
    int file_flushes;
    bool replaced = true;
  } const cases[] = {
      {"the file system at once", {}, 1, 0, 0},
      {"a window at a time", {.file_system_unsupported = true}, 0, 2, 0},
      {"one at a time",
       {.flush_files_unsupported = true, .file_system_unsupported = true},
       0,
       1,
       kFiles},
      // A failed flush of the file system may be another program's lost
      // write: each file is flushed on its own before any is dropped, and a
      // file whose flush together failed, once more alone.
      {"a failed flush of the file system and of every file",
       {.flush_error = ERROR_DISK_FULL},
       1,
       2,
       kFiles,
       false},
      {"a failed flush of the file system, the files' own flushes whole",
       {.file_system_error = kErrorWriteFailed},
       1,
       2,
       0},
  };
  ScratchDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    for (int i = 0; i < kFiles; ++i) WriteFileBytes(dir / std::to_string(i), kOldBytes);
    const StandingIn standing_in(c.stand_in);
    DWORD error = NO_ERROR;
    ASSERT_TRUE(OpenOutputFolder(dir.path().c_str(), &error)) << error;
    for (int i = 0; i < kFiles; ++i) {
      OutputRefusal refusal;
      HANDLE file = CreateOutputFile(std::to_string(i).c_str(), INVALID_HANDLE_VALUE, &refusal);
      ASSERT_NE(file, INVALID_HANDLE_VALUE) << refusal.error;
      ASSERT_TRUE(WriteBytes(file, kEntryBytes));
      ASSERT_EQ(FinishOutputFile(file, OutputFate::kKeep).error, NO_ERROR);
      EXPECT_FALSE(ReplacementsDue(1));
    }
    g_stand_in.no_room = true;
    EXPECT_TRUE(ReplacementsDue(1));
    // Until published, every old file stays.
    EXPECT_EQ(ReadFileBytes(dir / "0"), kOldBytes);
    ReplaceReport report;
    int published = 0;
    while (PublishNextReplacement(&report)) {
      EXPECT_EQ(report.outcome, c.replaced ? ReplaceOutcome::kReplaced : ReplaceOutcome::kDropped);
      EXPECT_EQ(std::string(report.name), std::to_string(published));
      ++published;
    }
    EXPECT_EQ(published, kFiles);
    EXPECT_FALSE(ReplacementsDue(1));  // nothing waits
    CloseOutputFolder();
    EXPECT_EQ(g_stand_in.flush_file_system_calls, c.file_system_flushes);
    EXPECT_EQ(g_stand_in.flush_files_calls, c.window_flushes);
    EXPECT_EQ(g_stand_in.flush_file_calls, c.file_flushes);
    for (int i = 0; i < kFiles; ++i) {
      EXPECT_EQ(ReadFileBytes(dir / std::to_string(i)), c.replaced ? kEntryBytes : kOldBytes);
    }
    EXPECT_EQ(ListFolder(dir.path()).size(), static_cast<std::size_t>(kFiles));
  }
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

// A read-only old file with a second name keeps its flag: taking it off
// would take it off the other name as well. Windows refuses the rename over
// it, and the entry stays aside; wine renames over it as over any file. The
// other name keeps its bytes and its flag either way (here only the
// folder's mode decides).
TEST(Publication, AReadOnlyFileWithOtherNamesKeepsItsFlag) {
#ifndef _WIN32
  GTEST_SKIP() << "a file's own mode never stops a rename here";
#else
  ScratchDir dir;
  OldFile(dir);
  fs::create_hard_link(dir / "out", dir / "other-name");
  MakeReadOnly(dir / "out");
  OwnedOutput out(dir.path(), "out");
  ASSERT_TRUE(out.valid());
  ASSERT_TRUE(WriteBytes(out.get(), kEntryBytes));
  const DWORD finished = out.Finish();
  if (out.outcome() == ReplaceOutcome::kKeptAside) {
    EXPECT_EQ(finished, kErrorHardLinkedReadOnly);
    EXPECT_EQ(ReadFileBytes(dir / "out"), kOldBytes);
  } else {
    EXPECT_EQ(finished, NO_ERROR);
    EXPECT_EQ(ReadFileBytes(dir / "out"), kEntryBytes);
  }
  EXPECT_EQ(ReadFileBytes(dir / "other-name"), kOldBytes);
  EXPECT_NE(GetFileAttributesA((dir / "other-name").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  fs::permissions(dir / "other-name", fs::perms::owner_write, fs::perm_options::add);
#endif
}

// A replacement waiting for its rename has a short alias of its own
// (Windows); an entry of that name is not another file's alias: the waiting
// replacements are published, and the name is free.
TEST(Publication, TheShortAliasOfAWaitingReplacementIsNoOtherFile) {
#ifndef _WIN32
  GTEST_SKIP() << "no short names here";
#else
  ScratchDir dir;
  OldFile(dir);
  DWORD error = NO_ERROR;
  ASSERT_TRUE(OpenOutputFolder(dir.path().c_str(), &error));
  OutputRefusal refusal;
  HANDLE file = CreateOutputFile("out", INVALID_HANDLE_VALUE, &refusal);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(WriteBytes(file, kEntryBytes));
  ASSERT_EQ(FinishOutputFile(file, OutputFate::kKeep).error, NO_ERROR);
  std::string alias;
  for (const std::string& name : ListFolder(dir.path())) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((dir / name).c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    FindClose(search);
    if (IsTemporaryName(name)) alias = found.cAlternateFileName;
  }
  if (alias.empty()) {
    CloseOutputFolder();
    GTEST_SKIP() << "this file system gives no short names";
  }
  EXPECT_EQ(CreateOutputFile(alias.c_str(), INVALID_HANDLE_VALUE, &refusal), INVALID_HANDLE_VALUE);
  EXPECT_EQ(refusal.error, kErrorWaitingAlias);
  ReplaceReport report;
  while (PublishNextReplacement(&report)) EXPECT_EQ(report.outcome, ReplaceOutcome::kReplaced);
  file = CreateOutputFile(alias.c_str(), INVALID_HANDLE_VALUE, &refusal);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << refusal.error;
  ASSERT_TRUE(WriteBytes(file, kOtherBytes));
  ASSERT_EQ(FinishOutputFile(file, OutputFate::kKeep).error, NO_ERROR);
  CloseOutputFolder();
  EXPECT_EQ(ReadFileBytes(dir / "out"), kEntryBytes);
  EXPECT_EQ(ReadFileBytes(dir / alias), kOtherBytes);
#endif
}

// A folder where files may be written but no name made: a new name and a
// replacement are both refused, the replacement saying that it needed a name.
// A folder that may be written but not read takes new names as any other.
TEST(Publication, FolderPermissions) {
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
  ASSERT_EQ(chmod(dir.path().c_str(), 0300), 0);
  {
    OwnedOutput fresh(dir.path(), "fresh");
    ASSERT_TRUE(fresh.valid()) << fresh.error();
    ASSERT_TRUE(WriteBytes(fresh.get(), kEntryBytes));
    EXPECT_EQ(fresh.Finish(), NO_ERROR);
    OwnedOutput replacing(dir.path(), "out");
    ASSERT_TRUE(replacing.valid()) << replacing.error();
    ASSERT_TRUE(WriteBytes(replacing.get(), kEntryBytes));
    EXPECT_EQ(replacing.Finish(), NO_ERROR);
  }
  chmod(dir.path().c_str(), 0700);
  EXPECT_EQ(ReadFileBytes(dir / "fresh"), kEntryBytes);
  EXPECT_EQ(ReadFileBytes(dir / "out"), kEntryBytes);
#endif
}

// Makes and finishes a replacement of `name` in the open output folder.
void Replace(const std::string& name, const Bytes& bytes) {
  OutputRefusal refusal;
  HANDLE file = CreateOutputFile(name.c_str(), INVALID_HANDLE_VALUE, &refusal);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << refusal.error;
  ASSERT_TRUE(WriteBytes(file, bytes));
  ASSERT_EQ(FinishOutputFile(file, OutputFate::kKeep).error, NO_ERROR);
}

// Publishes what waits; each report's outcome and reason by output name.
std::map<std::string, std::pair<ReplaceOutcome, DWORD>> PublishAll() {
  std::map<std::string, std::pair<ReplaceOutcome, DWORD>> reports;
  ReplaceReport report;
  while (PublishNextReplacement(&report)) reports[report.name] = {report.outcome, report.error};
  return reports;
}

// The run's temporaries in the folder, in the order they were made.
std::vector<std::string> Temporaries(const ScratchDir& dir) {
  std::vector<std::string> names;
  for (const std::string& name : ListFolder(dir.path())) {
    if (IsTemporaryName(name)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Someone puts something else under the temporary name of a waiting
// replacement: a pipe, another file, a link, or nothing. Whether the run
// still holds the temporary open or let go of it (its descriptors are
// short), that name is never renamed over the output nor removed, nothing
// waits for a partner on the pipe, and the report says why; the other
// replacement of the batch takes its name.
TEST(Publication, AWaitingTemporarySwappedIsNeverRenamed) {
  enum class Swap { kPipe, kOtherFile, kLink, kNothing };
  struct Case {
    const char* label;
    Swap swap;
    bool held_open;
  } const cases[] = {
#ifndef _WIN32
      // Windows refuses to remove a file the run holds open.
      {"a pipe, held open", Swap::kPipe, true},
      {"another file, held open", Swap::kOtherFile, true},
      {"a link to the old file, held open", Swap::kLink, true},
      {"nothing, held open", Swap::kNothing, true},
      {"a pipe, let go", Swap::kPipe, false},
      {"a link to the old file, let go", Swap::kLink, false},
#endif
      {"another file, let go", Swap::kOtherFile, false},
      {"nothing, let go", Swap::kNothing, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDir dir;
    WriteFileBytes(dir / "a", kOldBytes);
    WriteFileBytes(dir / "b", kOldBytes);
    // Allowed one open file, the run holds the first of a batch alone.
    const StandingIn standing_in({.open_files = c.held_open ? std::size_t{0} : std::size_t{1}});
    DWORD error = NO_ERROR;
    ASSERT_TRUE(OpenOutputFolder(dir.path().c_str(), &error)) << error;
    Replace("a", kEntryBytes);
    Replace("b", kEntryBytes);
    const std::vector<std::string> temporaries = Temporaries(dir);
    ASSERT_EQ(temporaries.size(), 2u);
    const std::string swapped = dir / temporaries[1];
    fs::remove(swapped);
    switch (c.swap) {
#ifndef _WIN32
      case Swap::kPipe: ASSERT_EQ(mkfifo(swapped.c_str(), 0600), 0); break;
#else
      case Swap::kPipe: break;
#endif
      case Swap::kOtherFile: WriteFileBytes(swapped, kOtherBytes); break;
      case Swap::kLink: fs::create_symlink(dir / "a", swapped); break;
      case Swap::kNothing: break;
    }
    const auto reports = PublishAll();
    CloseOutputFolder();
    EXPECT_EQ(reports.at("a").first, ReplaceOutcome::kReplaced);
    EXPECT_EQ(reports.at("b").first, ReplaceOutcome::kNotOwn);
    if (c.swap != Swap::kNothing) {
      EXPECT_EQ(reports.at("b").second, kErrorNotOwnTemporary);
    }
    EXPECT_EQ(ReadFileBytes(dir / "a"), kEntryBytes);
    EXPECT_EQ(ReadFileBytes(dir / "b"), kOldBytes);
    const fs::file_status left = fs::symlink_status(swapped);
    switch (c.swap) {
      case Swap::kPipe: EXPECT_TRUE(fs::is_fifo(left)); break;
      case Swap::kOtherFile: EXPECT_EQ(ReadFileBytes(swapped), kOtherBytes); break;
      case Swap::kLink: EXPECT_TRUE(fs::is_symlink(left)); break;
      case Swap::kNothing: EXPECT_FALSE(fs::exists(left)); break;
    }
  }
}

// The run is out of descriptors at each step where it opens one: a new
// name's create, a temporary's create, the reopening of a temporary let go,
// with a batch waiting that holds some open. It lets go of what it holds,
// or flushes one file at a time, and every old file is replaced.
TEST(Publication, OutOfDescriptorsAtEachStep) {
  constexpr int kFiles = static_cast<int>(kFlushWindow) + 3;
  struct Case {
    const char* label;
    StandIn stand_in;
  } const cases[] = {
      {"a new name's create", {.names_short = 1}},
      {"a temporary's create", {.temporaries_short = 1}},
      {"a temporary's reopening, together",
       {.reopens_short = 5, .open_files = 1, .file_system_unsupported = true}},
      {"a temporary's reopening, one by one",
       {.reopens_short = 5,
        .open_files = 1,
        .flush_files_unsupported = true,
        .file_system_unsupported = true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDir dir;
    for (int i = 0; i < kFiles; ++i) WriteFileBytes(dir / std::to_string(i), kOldBytes);
    StandIn row = c.stand_in;
    const int names_short = row.names_short;
    const int temporaries_short = row.temporaries_short;
    row.names_short = 0;
    row.temporaries_short = 0;
    const StandingIn standing_in(row);
    DWORD error = NO_ERROR;
    ASSERT_TRUE(OpenOutputFolder(dir.path().c_str(), &error)) << error;
    for (int i = 0; i < kFiles - 1; ++i) Replace(std::to_string(i), kEntryBytes);
    // Short of descriptors while the batch waits.
    g_stand_in.names_short = names_short;
    g_stand_in.temporaries_short = temporaries_short;
    Replace(std::to_string(kFiles - 1), kEntryBytes);
    OutputRefusal refusal;
    g_stand_in.names_short = names_short;
    HANDLE fresh = CreateOutputFile("fresh", INVALID_HANDLE_VALUE, &refusal);
    ASSERT_NE(fresh, INVALID_HANDLE_VALUE) << refusal.error;
    ASSERT_TRUE(WriteBytes(fresh, kEntryBytes));
    ASSERT_EQ(FinishOutputFile(fresh, OutputFate::kKeep).error, NO_ERROR);
    const auto reports = PublishAll();
    CloseOutputFolder();
    EXPECT_EQ(reports.size(), static_cast<std::size_t>(kFiles));
    for (const auto& [name, report] : reports) {
      EXPECT_EQ(report.first, ReplaceOutcome::kReplaced) << name << " " << report.second;
    }
    for (int i = 0; i < kFiles; ++i) EXPECT_EQ(ReadFileBytes(dir / std::to_string(i)), kEntryBytes);
    EXPECT_EQ(g_stand_in.reopens_short, 0);
    EXPECT_TRUE(Temporaries(dir).empty());
  }
}

// A disk or a quota with no room for a replacement while a batch waits
// beside its old files: no room for the temporary's name (no free inode, a
// quota on files) asks the caller to publish the batch and try again; no
// room for its bytes says that the entry may be written again once the
// batch is published. With nothing waiting, neither is asked.
TEST(Publication, NoRoomWithABatchWaiting) {
  const DWORD no_rooms[] = {ERROR_DISK_FULL, kErrorQuotaExceeded};
  for (const DWORD no_room : no_rooms) {
    SCOPED_TRACE(no_room);
    ScratchDir dir;
    WriteFileBytes(dir / "a", kOldBytes);
    WriteFileBytes(dir / "b", kOldBytes);
    const StandingIn standing_in(
        {.create_temporary_error = no_room, .create_temporary_refusals = 0});
    DWORD error = NO_ERROR;
    ASSERT_TRUE(OpenOutputFolder(dir.path().c_str(), &error)) << error;
    Replace("a", kEntryBytes);
    // The temporary's create.
    g_stand_in.create_temporary_refusals = 1;
    OutputRefusal refusal;
    EXPECT_EQ(CreateOutputFile("b", INVALID_HANDLE_VALUE, &refusal), INVALID_HANDLE_VALUE);
    EXPECT_EQ(refusal.error, kErrorRoomHeldByWaiting);
    EXPECT_EQ(PublishAll().at("a").first, ReplaceOutcome::kReplaced);
    HANDLE b = CreateOutputFile("b", INVALID_HANDLE_VALUE, &refusal);
    ASSERT_NE(b, INVALID_HANDLE_VALUE) << refusal.error;
    // Its bytes: nothing waits now.
    EXPECT_FALSE(WaitingReplacementsHoldTheRoom(b, no_room));
    ASSERT_TRUE(WriteBytes(b, kEntryBytes));
    ASSERT_EQ(FinishOutputFile(b, OutputFate::kKeep).error, NO_ERROR);
    WriteFileBytes(dir / "c", kOldBytes);
    HANDLE c = CreateOutputFile("c", INVALID_HANDLE_VALUE, &refusal);
    ASSERT_NE(c, INVALID_HANDLE_VALUE) << refusal.error;
    EXPECT_TRUE(WaitingReplacementsHoldTheRoom(c, no_room));
    EXPECT_FALSE(WaitingReplacementsHoldTheRoom(c, kErrorWriteFailed));
    ASSERT_EQ(FinishOutputFile(c, OutputFate::kIncomplete).error, NO_ERROR);
    // A new name is written in place: no batch holds its room.
    HANDLE fresh = CreateOutputFile("fresh", INVALID_HANDLE_VALUE, &refusal);
    ASSERT_NE(fresh, INVALID_HANDLE_VALUE) << refusal.error;
    EXPECT_FALSE(WaitingReplacementsHoldTheRoom(fresh, no_room));
    ASSERT_EQ(FinishOutputFile(fresh, OutputFate::kKeep).error, NO_ERROR);
    EXPECT_EQ(PublishAll().at("b").first, ReplaceOutcome::kReplaced);
    // With nothing waiting, no room for a temporary is final.
    g_stand_in.create_temporary_refusals = 1;
    EXPECT_EQ(CreateOutputFile("c", INVALID_HANDLE_VALUE, &refusal), INVALID_HANDLE_VALUE);
    EXPECT_EQ(refusal.error, no_room);
    EXPECT_TRUE(refusal.replacing);
    CloseOutputFolder();
    EXPECT_EQ(ReadFileBytes(dir / "a"), kEntryBytes);
    EXPECT_EQ(ReadFileBytes(dir / "b"), kEntryBytes);
    EXPECT_EQ(ReadFileBytes(dir / "c"), kOldBytes);
  }
}

// One file made whole beside its name, as zrq create makes its archive:
// kept over an old file or a new name, or discarded; a temporary swapped
// for another file meanwhile is never renamed. Nothing else is left.
TEST(Publication, ATemporaryFileBesideItsName) {
  enum class End { kKeep, kDiscard, kKeepSwapped };
  struct Case {
    const char* label;
    bool old_file;
    End end;
    Holds holds;
  } const cases[] = {
      {"kept over an old file", true, End::kKeep, Holds::kEntry},
      {"kept under a new name", false, End::kKeep, Holds::kEntry},
      {"discarded beside an old file", true, End::kDiscard, Holds::kOld},
      {"discarded, no old file", false, End::kDiscard, Holds::kNothing},
#ifndef _WIN32
      // Windows refuses to remove a file held open.
      {"its temporary swapped for another file", true, End::kKeepSwapped, Holds::kOld},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDir dir;
    if (c.old_file) OldFile(dir);
    const std::string path = dir / "out";
    char temporary[kOutputPathCapacity];
    DWORD error = NO_ERROR;
    HANDLE file = CreateTemporaryBeside(path.c_str(), temporary, &error);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << error;
    const std::string temporary_path = temporary;
    ASSERT_EQ(temporary_path.rfind(dir.path(), 0), 0u) << temporary_path;
    EXPECT_TRUE(IsTemporaryName(temporary_path.substr(dir.path().size() + 1))) << temporary_path;
    ASSERT_TRUE(WriteBytes(file, kEntryBytes));
    switch (c.end) {
      case End::kKeep:
        EXPECT_TRUE(KeepTemporary(file, temporary, path.c_str(), &error)) << error;
        break;
      case End::kDiscard: EXPECT_TRUE(DiscardTemporary(file, temporary, &error)) << error; break;
      case End::kKeepSwapped:
        fs::remove(temporary_path);
        WriteFileBytes(temporary_path, kOtherBytes);
        EXPECT_FALSE(KeepTemporary(file, temporary, path.c_str(), &error));
        EXPECT_EQ(error, kErrorNotOwnTemporary);
        EXPECT_EQ(ReadFileBytes(temporary_path), kOtherBytes);
        fs::remove(temporary_path);
        break;
    }
    ExpectHolds(dir, c.holds);
    std::vector<std::string> expected;
    if (c.holds != Holds::kNothing) expected.push_back("out");
    EXPECT_EQ(ListFolder(dir.path()), expected);
  }
}

}  // namespace
