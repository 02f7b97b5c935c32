// The Linux file layer under the tool: the driver and the writers rely on the
// exact semantics of each call, so they are pinned here one by one.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "archive/archive_format.h"
#include "archive_builder.h"
#include "owned_handle.h"
#include "platform/file_system.h"
#include "platform/win32_files.h"
#include "tests/support/list_folder.h"
#include "tests/support/scratch_dir.h"

namespace {

DWORD CurrentPosition(HANDLE file) { return SetFilePointer(file, 0, nullptr, FILE_CURRENT); }

// Positions beyond 2^31 can only be reached by moves from the current position.
void MoveToPosition(HANDLE file, std::uint64_t target) {
  const LONG first = target > INT32_MAX ? INT32_MAX : static_cast<LONG>(target);
  SetFilePointer(file, first, nullptr, FILE_BEGIN);
  if (target > INT32_MAX) {
    SetFilePointer(file, static_cast<LONG>(target - INT32_MAX), nullptr, FILE_CURRENT);
  }
  ASSERT_EQ(CurrentPosition(file), static_cast<DWORD>(target));
}

TEST(PosixFiles, CreateDirectoryReportsWhatIsInTheWay) {
  ScratchDir dir;
  WriteFileBytes(dir / "plain", {1, 2, 3});
  struct Case {
    std::string path;
    BOOL created;
    DWORD error;  // NO_ERROR here stands for "any reason but already-exists"
  } const cases[] = {
      {dir / "new", TRUE, NO_ERROR},
      {dir / "new", FALSE, ERROR_ALREADY_EXISTS},
      {dir / "plain", FALSE, ERROR_ALREADY_EXISTS},  // a file counts, as on Windows
      {dir / "missing/child", FALSE, NO_ERROR},      // only the last component is made
  };
  for (const Case& c : cases) {
    // A failure just before must not show through a success.
    ASSERT_EQ(GetFileAttributesA((dir / "missing").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(CreateDirectoryA(c.path.c_str(), nullptr), c.created) << c.path;
    if (c.created) {
      EXPECT_EQ(GetLastError(), NO_ERROR) << c.path;
    } else if (c.error == ERROR_ALREADY_EXISTS) {
      EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS) << c.path;
    } else {
      EXPECT_NE(GetLastError(), ERROR_ALREADY_EXISTS) << c.path;
    }
  }
}

TEST(PosixFiles, OpenForReadingOpensRegularFilesOnly) {
  ScratchDir dir;
  WriteFileBytes(dir / "archive", {1, 2, 3});
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  struct Case {
    std::string path;
    bool opens;
  } const cases[] = {
      {dir / "archive", true},
      {dir / "missing", false},
      {dir.path(), false},    // a folder is no archive, as on Windows
      {dir / "fifo", false},  // would block or never end
  };
  for (const Case& c : cases) {
    OwnedHandle file(OpenForReading(c.path.c_str()));
    EXPECT_EQ(file.valid(), c.opens) << c.path;
  }
}

bool WriteBytes(HANDLE file, const Bytes& bytes) {
  DWORD written = 0;
  return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

// A link standing under an output name is replaced as a name: the file it
// points to, inside the folder or out of it, keeps its bytes and its other
// names.
TEST(PosixFiles, CreateOutputFileNeverWritesThroughALink) {
  ScratchDir dir;
  const Bytes original = PatternBytes(100);
  const Bytes entry = {'n', 'e', 'w'};
  WriteFileBytes(dir / "target", original);
  ASSERT_EQ(symlink((dir / "target").c_str(), (dir / "to-file").c_str()), 0);
  ASSERT_EQ(symlink((dir / "elsewhere").c_str(), (dir / "dangling").c_str()), 0);
  ASSERT_EQ(link((dir / "target").c_str(), (dir / "hard").c_str()), 0);
  for (const char* name : {"to-file", "dangling", "hard"}) {
    OwnedOutput out(dir.path(), name);
    ASSERT_TRUE(out.valid()) << name;
    ASSERT_TRUE(WriteBytes(out.get(), entry));
    EXPECT_EQ(out.Finish(), NO_ERROR) << name;
    struct stat info;
    ASSERT_EQ(lstat((dir / name).c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode)) << name;
    EXPECT_EQ(ReadFileBytes(dir / name), entry) << name;
  }
  EXPECT_EQ(ReadFileBytes(dir / "target"), original);
  EXPECT_FALSE(std::filesystem::exists(dir / "elsewhere"));
}

TEST(PosixFiles, MovesBySigned32BitDistances) {
  ScratchDir dir;
  WriteFileBytes(dir / "file", PatternBytes(1000));
  OwnedHandle file(OpenForReading((dir / "file").c_str()));
  ASSERT_TRUE(file.valid());
  constexpr DWORD kFailure = INVALID_SET_FILE_POINTER;
  constexpr std::uint64_t kFail = 1ull << 40;
  struct Case {
    std::uint64_t start;
    DWORD method;
    LONG distance;
    std::uint64_t result;  // kFail: the move fails and the position stays at `start`
  } const cases[] = {
      {100, FILE_BEGIN, 0, 0},
      {100, FILE_BEGIN, 500, 500},
      {100, FILE_BEGIN, 5000, 5000},  // beyond the end is a place, not an error
      {100, FILE_BEGIN, -1, kFail},
      {100, FILE_BEGIN, INT32_MIN, kFail},
      {100, FILE_CURRENT, 0, 100},
      {100, FILE_CURRENT, 10, 110},
      {100, FILE_CURRENT, -100, 0},
      {100, FILE_CURRENT, -101, kFail},
      {0, FILE_BEGIN, INT32_MAX, 0x7FFFFFFF},
      {0x7FFFFFFF, FILE_CURRENT, INT32_MAX, 0xFFFFFFFE},
      {0xFFFFFFFE, FILE_CURRENT, 1, 0xFFFFFFFF},  // the failure value, yet a place: the code tells
      {0xFFFFFFFE, FILE_CURRENT, INT32_MAX, kFail},
      {0x7FFFFFFF, FILE_CURRENT, INT32_MIN, kFail},
      {0xFFFFFFFE, FILE_CURRENT, INT32_MIN, 0x7FFFFFFE},
  };
  for (const Case& c : cases) {
    MoveToPosition(file.get(), c.start);
    // A failure just before must not show through a success.
    ASSERT_EQ(SetFilePointer(file.get(), -1, nullptr, FILE_BEGIN), kFailure);
    const DWORD result = SetFilePointer(file.get(), c.distance, nullptr, c.method);
    const std::string label = "start " + std::to_string(c.start) + " method " +
                              std::to_string(c.method) + " distance " + std::to_string(c.distance);
    EXPECT_EQ(result, c.result == kFail ? kFailure : c.result) << label;
    if (c.result == kFail) {
      EXPECT_NE(GetLastError(), NO_ERROR) << label;
      EXPECT_EQ(CurrentPosition(file.get()), static_cast<DWORD>(c.start)) << label;
    } else {
      EXPECT_EQ(GetLastError(), NO_ERROR) << label;  // how a caller tells 0xFFFFFFFF apart
      EXPECT_EQ(CurrentPosition(file.get()), c.result) << label;
    }
  }
}

// Past 4 GiB the high part of the position carries the move, while the
// distance stays a signed 32-bit value; every offset a 32-bit field holds
// is reached from the start.
TEST(PosixFiles, FarPositionsAreCarriedByTheHighPart) {
  ScratchDir dir;
  WriteFileBytes(dir / "file", PatternBytes(10));
  OwnedHandle file(OpenForReading((dir / "file").c_str()));
  ASSERT_TRUE(file.valid());
  auto Position = [&file] {
    LONG high = 0;
    const DWORD low = SetFilePointer(file.get(), 0, &high, FILE_CURRENT);
    return static_cast<std::uint64_t>(static_cast<std::uint32_t>(high)) << 32 | low;
  };
  for (const std::uint32_t offset : {0u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu}) {
    DWORD error = NO_ERROR;
    ASSERT_TRUE(MoveToOffset(file.get(), offset, &error)) << offset;
    EXPECT_EQ(Position(), offset);
  }
  struct Step {
    LONG distance;
    std::uint64_t position;  // after the step
  } const steps[] = {
      {INT32_MAX, 0xFFFFFFFFull + INT32_MAX},
      {1, 0x17FFFFFFFull},
      {INT32_MIN, 0xFFFFFFFFull},
      {INT32_MAX, 0x17FFFFFFEull},
      {-INT32_MAX, 0xFFFFFFFFull},
  };
  for (const Step& step : steps) {
    DWORD error = NO_ERROR;
    ASSERT_TRUE(MoveBy(file.get(), step.distance, &error)) << step.distance;
    EXPECT_EQ(Position(), step.position) << step.distance;
  }
  // Before the start is no place: the move fails, says why, and stays.
  DWORD error = NO_ERROR;
  ASSERT_TRUE(MoveToOffset(file.get(), 0, &error));
  EXPECT_FALSE(MoveBy(file.get(), -1, &error));
  EXPECT_NE(error, NO_ERROR);
  EXPECT_EQ(Position(), 0u);
}

TEST(PosixFiles, ReadingAtOrPastTheEndDeliversWhatExistsAndSucceeds) {
  ScratchDir dir;
  const Bytes content = PatternBytes(1000);
  WriteFileBytes(dir / "file", content);
  OwnedHandle file(OpenForReading((dir / "file").c_str()));
  ASSERT_TRUE(file.valid());
  struct Case {
    std::uint64_t start;
    DWORD wanted;
    DWORD delivered;
  } const cases[] = {
      {0, 0, 0},       {995, 10, 5},      {1000, 10, 0},       {5000, 10, 0},
      {0, 1000, 1000}, {0, 200000, 1000}, {0xFFFFFFFE, 10, 0}, {999, 70000, 1},
  };
  std::vector<unsigned char> buffer(200000);
  for (const Case& c : cases) {
    MoveToPosition(file.get(), c.start);
    DWORD delivered = 12345;
    EXPECT_TRUE(ReadFile(file.get(), buffer.data(), c.wanted, &delivered, nullptr));
    EXPECT_EQ(delivered, c.delivered) << "start " << c.start << " wanted " << c.wanted;
    EXPECT_EQ(CurrentPosition(file.get()), static_cast<DWORD>(c.start + c.delivered));
    for (DWORD i = 0; i < delivered && i < c.delivered; ++i) {
      ASSERT_EQ(buffer[i], content[c.start + i]) << "start " << c.start << " byte " << i;
    }
  }
}

// Two handles on one file, as the driver holds them, each moved and read at
// random: every read must give the file's bytes whatever the read-ahead
// buffers held before.
TEST(PosixFiles, ReadAheadStaysExactUnderRandomMovesAndReads) {
  ScratchDir dir;
  const Bytes content = PatternBytes(300000, 7);
  const std::int64_t file_bytes = static_cast<std::int64_t>(content.size());
  WriteFileBytes(dir / "file", content);
  OwnedHandle first(OpenForReading((dir / "file").c_str()));
  OwnedHandle second(OpenForReading((dir / "file").c_str()));
  ASSERT_TRUE(first.valid() && second.valid());
  HANDLE handles[2] = {first.get(), second.get()};
  std::int64_t positions[2] = {0, 0};
  DWORD last_delivered[2] = {0, 0};

  std::mt19937 engine(20240611);
  auto random = [&engine] { return static_cast<std::uint32_t>(engine()); };
  std::vector<unsigned char> buffer(160000);
  for (int step = 0; step < 3000; ++step) {
    const int which = static_cast<int>(random() % 2);
    HANDLE file = handles[which];
    std::int64_t& position = positions[which];
    // A move before the start fails and leaves the position; any other lands where asked.
    auto MoveRelative = [&](LONG distance) {
      const DWORD result = SetFilePointer(file, distance, nullptr, FILE_CURRENT);
      if (position + distance < 0) {
        ASSERT_EQ(result, INVALID_SET_FILE_POINTER);
      } else {
        position += distance;
        ASSERT_EQ(result, static_cast<DWORD>(position));
      }
    };
    const unsigned move_kind = random() % 10;
    if (move_kind < 2) {
      // Back to a byte or two before the last read: the bitmap writer steps
      // back like this, to just before where the read-ahead was filled.
      ASSERT_NO_FATAL_FAILURE(
          MoveRelative(-static_cast<LONG>(last_delivered[which] + random() % 3)));
    } else if (move_kind < 5) {
      const LONG target = static_cast<LONG>(random() % (content.size() + 100));
      ASSERT_EQ(SetFilePointer(file, target, nullptr, FILE_BEGIN), static_cast<DWORD>(target));
      position = target;
    } else if (move_kind < 7) {
      ASSERT_NO_FATAL_FAILURE(MoveRelative(static_cast<LONG>(random() % 400001) - 200000));
    }
    const unsigned size_kind = random() % 20;
    const DWORD wanted = size_kind < 12   ? 1 + random() % 200
                         : size_kind < 17 ? 200 + random() % 70000
                                          : 65536 + random() % 90000;
    DWORD delivered = 0;
    ASSERT_TRUE(ReadFile(file, buffer.data(), wanted, &delivered, nullptr));
    const std::int64_t expected =
        position >= file_bytes ? 0 : std::min<std::int64_t>(wanted, file_bytes - position);
    ASSERT_EQ(delivered, expected) << "step " << step;
    ASSERT_TRUE(std::equal(buffer.begin(), buffer.begin() + delivered, content.begin() + position))
        << "step " << step << " position " << position << " wanted " << wanted;
    position += delivered;
    last_delivered[which] = delivered;
  }
}

TEST(PosixFiles, EverySmallAndLargeWriteReachesTheFile) {
  ScratchDir dir;
  OwnedOutput out(dir.path(), "out");
  ASSERT_TRUE(out.valid());
  const Bytes content = PatternBytes(1500000, 3);
  std::mt19937 engine(99);
  auto random = [&engine] { return static_cast<std::uint32_t>(engine()); };
  std::size_t done = 0;
  while (done < content.size()) {
    const unsigned kind = random() % 10;
    std::size_t piece = kind < 6   ? 1 + random() % 100
                        : kind < 9 ? 1000 + random() % 5000
                                   : 65536 + random() % 40000;
    piece = std::min(piece, content.size() - done);
    DWORD written = 0;
    ASSERT_TRUE(
        WriteFile(out.get(), content.data() + done, static_cast<DWORD>(piece), &written, nullptr));
    ASSERT_EQ(written, piece);
    done += piece;
  }
  ASSERT_EQ(out.Finish(), NO_ERROR);
  EXPECT_EQ(ReadFileBytes(dir / "out"), content);
}

// A write the file system refuses comes back as a failure from the very
// WriteFile that made it, with its reason. The file-size limit is set in a
// child process so that this process keeps its own.
TEST(PosixFiles, RefusedWritesAreReported) {
  constexpr rlim_t kLimit = 4096;
  struct Case {
    const char* label;
    std::size_t piece;
    int pieces;
    bool refused;
  } const cases[] = {
      {"small writes past the limit", 100, 100, true},
      {"one large write past the limit", 100000, 1, true},
      {"one write straddling the limit", 5000, 1, true},
      {"small writes up to the limit", 64, 64, false},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const rlimit limit{kLimit, kLimit};
      (void)std::signal(SIGXFSZ, SIG_IGN);  // cannot fail for this signal
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(3);
      DWORD error = NO_ERROR;
      OutputRefusal refusal;
      if (!OpenOutputFolder(dir.path().c_str(), &error)) _exit(4);
      HANDLE out = CreateOutputFile("out", INVALID_HANDLE_VALUE, &refusal);
      if (out == INVALID_HANDLE_VALUE) _exit(4);
      const Bytes piece = PatternBytes(c.piece);
      bool failed = false;
      for (int i = 0; i < c.pieces && !failed; ++i) {
        DWORD written = 0;
        if (!WriteFile(out, piece.data(), static_cast<DWORD>(piece.size()), &written, nullptr)) {
          failed = true;
          if (GetLastError() != ErrorFromErrno(EFBIG)) _exit(5);
        } else if (written != piece.size()) {
          _exit(6);
        }
      }
      if (FinishOutputFile(out, OutputFate::kIncomplete).error != NO_ERROR) _exit(7);
      _exit(failed ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << c.label;
    EXPECT_EQ(WEXITSTATUS(status), c.refused ? 1 : 0) << c.label;
  }
}

// An output replaces a file or a link standing under its name (a link to
// the archive, a folder, a pipe or a device too: the link goes, its target
// stays), but never the archive under any of its names, a folder or a pipe.
TEST(PosixFiles, CreateOutputFileNeverReplacesTheArchive) {
  ScratchDir dir;
  const Bytes content = PatternBytes(64);
  WriteFileBytes(dir / "archive", content);
  WriteFileBytes(dir / "elsewhere", content);
  WriteFileBytes(dir / "older", content);
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0700), 0);
  ASSERT_EQ(link((dir / "archive").c_str(), (dir / "hard").c_str()), 0);
  ASSERT_EQ(symlink((dir / "archive").c_str(), (dir / "soft").c_str()), 0);
  ASSERT_EQ(symlink((dir / "elsewhere").c_str(), (dir / "link").c_str()), 0);
  OwnedHandle archive(OpenForReading((dir / "archive").c_str()));
  ASSERT_TRUE(archive.valid());
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink((dir / "sub").c_str(), (dir / "to-folder").c_str()), 0);
  ASSERT_EQ(symlink((dir / "fifo").c_str(), (dir / "to-fifo").c_str()), 0);
  ASSERT_EQ(symlink("/dev/null", (dir / "to-device").c_str()), 0);
  struct Case {
    std::string name;
    DWORD error;  // NO_ERROR: created
  } const cases[] = {
      {"archive", kErrorOutputIsArchive},
      {"hard", kErrorOutputIsArchive},
      {"soft", NO_ERROR},  // the link goes, the archive stays
      {"link", NO_ERROR},
      {"to-folder", NO_ERROR},
      {"to-fifo", NO_ERROR},
      {"to-device", NO_ERROR},
      {"sub", kErrorNameIsFolder},
      {"fifo", kErrorNotRegularFile},
      {"new", NO_ERROR},
      {"older", NO_ERROR},
  };
  for (const Case& c : cases) {
    OwnedOutput output(dir.path(), c.name, archive.get());
    EXPECT_EQ(output.valid(), c.error == NO_ERROR) << c.name;
    if (output.valid()) {
      EXPECT_EQ(GetFileSize(output.get(), nullptr), 0u) << c.name;
      EXPECT_EQ(output.Finish(), NO_ERROR) << c.name;
      struct stat info;
      ASSERT_EQ(lstat((dir / c.name).c_str(), &info), 0) << c.name;
      EXPECT_TRUE(S_ISREG(info.st_mode)) << c.name;
    } else {
      EXPECT_EQ(output.error(), c.error) << c.name;
    }
  }
  EXPECT_EQ(ReadFileBytes(dir / "archive"), content);
  EXPECT_EQ(ReadFileBytes(dir / "elsewhere"), content);
  EXPECT_EQ(ReadFileBytes(dir / "older"), Bytes{});
  EXPECT_EQ(ReadFileBytes(dir / "soft"), Bytes{});
  EXPECT_TRUE(std::filesystem::is_directory(dir / "sub"));
}

// Successful and failed opens alike give their handle back: a long walk
// opens far more files than the layer has handles.
TEST(PosixFiles, HandlesAreReleased) {
  ScratchDir dir;
  WriteFileBytes(dir / "archive", PatternBytes(10));
  for (int round = 0; round < 100; ++round) {
    OwnedHandle missing(OpenForReading((dir / "missing").c_str()));
    OwnedHandle folder(OpenForReading(dir.path().c_str()));
    OwnedOutput nowhere(dir / "no-such-folder", "out");
    EXPECT_FALSE(missing.valid() || folder.valid() || nowhere.valid());
    OwnedHandle archive(OpenForReading((dir / "archive").c_str()));
    OwnedOutput out(dir.path(), "out" + std::to_string(round % 3));
    ASSERT_TRUE(archive.valid() && out.valid()) << "round " << round;
    EXPECT_TRUE(archive.Close());
    EXPECT_EQ(out.Finish(), NO_ERROR);
  }
}

}  // namespace
