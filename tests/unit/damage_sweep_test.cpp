// Whole runs on damaged archives: every prefix of a valid archive and a few
// hundred seeded single-byte corruptions of it. Whatever the damage, a run
// ends with exit 0 and a silent standard error, or with one of the tool's
// failure codes and at least one line saying why; it writes nothing outside
// its output folder, nothing larger than the archive can supply, and leaves
// the archive as it was.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "captured_run.h"
#include "driver/messages.h"
#include "scratch_dir.h"

namespace {

constexpr char kArchiveName[] = "archive.zrq";
constexpr char kFolderName[] = "out";

std::vector<std::uint16_t> Gradient(std::size_t count) {
  std::vector<std::uint16_t> pixels(count);
  for (std::size_t i = 0; i < count; ++i) pixels[i] = static_cast<std::uint16_t>(i * 2731 + 17);
  return pixels;
}

// One entry of each type. The type-2 image comes last and carries one byte
// after its last whole row, which no writer reads.
ArchiveLayout EveryType(DirectoryPlace directory) {
  ArchiveLayout layout;
  layout.directory = directory;
  Bytes tiles = FixedWidthImagePayload(Gradient(64), 0x11);
  tiles.push_back(0xEE);
  layout.entries = {
      {"voice_WAV", 1, PatternBytes(40, 1)},
      {"notes.txt", 3, PatternBytes(30, 3)},
      {"icons", 4, FixedWidthImagePayload(Gradient(32), 0x44)},
      {"title", 5, SizedImagePayload(3, 2, Gradient(6), 0x55)},
      {"blob", 9, PatternBytes(25, 9)},
      {"tiles", 2, tiles},
  };
  return layout;
}

const std::vector<std::string> kEveryTypeOutputs = {"blob",      "icons.bmp", "notes.txt",
                                                    "tiles.bmp", "title.bmp", "voice.WAV"};

bool IsFailureCode(int code) {
  for (int known : {kExitCannotCreateFolder, kExitCannotOpenArchive, kExitBadHeader,
                    kExitCannotOpenScanning, kExitDamaged}) {
    if (code == known) return true;
  }
  return false;
}

std::string LastLine(const std::string& text) {
  std::string trimmed = text;
  if (!trimmed.empty() && trimmed.back() == '\n') trimmed.pop_back();
  const std::size_t newline = trimmed.rfind('\n');
  return newline == std::string::npos ? trimmed : trimmed.substr(newline + 1);
}

// Runs the tool on `archive` in a fresh folder and checks every promise that
// holds whatever the archive holds. Returns the exit code.
int RunAndCheck(const Bytes& archive, const std::string& label, const ScratchDir& capture,
                std::vector<std::string>* outputs = nullptr) {
  ScratchDir dir;
  WriteFileBytes(dir / kArchiveName, archive);
  const CapturedRun run =
      RunCaptured({"unzrq", kArchiveName, kFolderName}, dir.path(), capture.path());

  if (run.exit_code == kExitSuccess) {
    EXPECT_EQ(run.err, "") << label;
  } else {
    EXPECT_TRUE(IsFailureCode(run.exit_code)) << label << ": exit " << run.exit_code;
    EXPECT_TRUE(!run.err.empty() && run.err.back() == '\n')
        << label << ": stderr \"" << run.err << "\"";
  }
  if (run.exit_code == kExitSuccess || run.exit_code == kExitDamaged) {
    EXPECT_EQ(LastLine(run.out).rfind("Done: ", 0), 0u)
        << label << ": stdout ends \"" << LastLine(run.out) << "\"";
  }

  EXPECT_EQ(ListFolder(dir.path()), (std::vector<std::string>{kArchiveName, kFolderName})) << label;
  EXPECT_TRUE(ReadFileBytes(dir / kArchiveName) == archive) << label << ": the archive changed";
  const std::uint64_t largest = 2 * archive.size() + 54;
  const std::vector<std::string> written = ListFolder(dir / kFolderName);
  for (const std::string& name : written) {
    struct stat info;
    const std::string path = dir / kFolderName + "/" + name;
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << label << ": " << name;
    EXPECT_TRUE(S_ISREG(info.st_mode)) << label << ": " << name << " is not a regular file";
    EXPECT_LE(static_cast<std::uint64_t>(info.st_size), largest) << label << ": " << name;
  }
  if (outputs != nullptr) *outputs = written;
  return run.exit_code;
}

struct SweepCase {
  const char* label;
  DirectoryPlace directory;
  // Prefix lengths, counted back from the full length, that still exit 0
  // besides the empty file, the 4-byte prefix and the full archive itself.
  std::set<std::size_t> also_whole_from_end;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const SweepCase& c, std::ostream* out) { *out << c.label; }

class DamageSweep : public ::testing::TestWithParam<SweepCase> {};

// A cut archive is never reported as a success, except where the bytes that
// are left make a complete archive of their own:
// - the empty file is the empty archive;
// - a 4-byte prefix holds the header's first four bytes, here zeros; the
//   pointer behind them reads as zero (a short header reads as zeros), so the
//   count is read from offset 0 and is zero: a complete empty archive;
// - with the directory at the front, cutting only the byte the type-2 image
//   ignores after its last whole row loses nothing: every entry is whole.
TEST_P(DamageSweep, EveryPrefixEndsCleanlyAndOnlyWholeArchivesSucceed) {
  const SweepCase& c = GetParam();
  ScratchDir capture;
  const Bytes archive = BuildArchive(EveryType(c.directory)).bytes;
  std::vector<std::string> outputs;
  ASSERT_EQ(RunAndCheck(archive, c.label, capture, &outputs), kExitSuccess);
  ASSERT_EQ(outputs, kEveryTypeOutputs);

  for (std::size_t length = 0; length < archive.size(); ++length) {
    const std::string label = std::string(c.label) + ", first " + std::to_string(length) + " of " +
                              std::to_string(archive.size()) + " bytes";
    const bool whole =
        length == 0 || length == 4 || c.also_whole_from_end.count(archive.size() - length) > 0;
    const int exit_code =
        RunAndCheck(Bytes(archive.begin(), archive.begin() + length), label, capture);
    EXPECT_EQ(exit_code, whole ? kExitSuccess : kExitDamaged) << label;
    if (HasFailure()) return;  // one broken prefix says enough
  }
}

TEST_P(DamageSweep, SeededSingleByteCorruptionsEndCleanly) {
  const SweepCase& c = GetParam();
  ScratchDir capture;
  const Bytes archive = BuildArchive(EveryType(c.directory)).bytes;
  std::mt19937 random(0x5EED);
  for (int round = 0; round < 200; ++round) {
    Bytes damaged = archive;
    const std::size_t position = random() % damaged.size();
    const auto flip = static_cast<std::uint8_t>(1 + random() % 255);  // never a no-op
    damaged[position] ^= flip;
    const std::string label = std::string(c.label) + ", byte " + std::to_string(position) +
                              " xor " + std::to_string(flip);
    RunAndCheck(damaged, label, capture);
    if (HasFailure()) return;
  }
}

// One test per layout, so that the two sweeps can run side by side.
INSTANTIATE_TEST_SUITE_P(
    Layouts, DamageSweep,
    ::testing::Values(
        SweepCase{"directory behind the payloads", DirectoryPlace::kAfterPayloads, {}},
        SweepCase{"directory in front of the payloads", DirectoryPlace::kAfterHeader, {1}}),
    [](const ::testing::TestParamInfo<SweepCase>& param) {
      return param.param.directory == DirectoryPlace::kAfterHeader ? std::string("DirectoryInFront")
                                                                   : std::string("DirectoryBehind");
    });

}  // namespace
