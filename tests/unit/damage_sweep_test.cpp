// Whole runs on damaged archives: every prefix of a valid archive and a few
// hundred seeded single-byte corruptions of it. Whatever the damage, every
// promise the tool makes for any archive holds (fuzz/promises.h: a clean end
// with a report for every failure, nothing outside the output folder, nothing
// larger than the archive can supply, the archive left as it was, zrq test
// telling what unzrq told), and a cut archive is never reported as a success.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "checked_run.h"
#include "driver/messages.h"

namespace {

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
  PromiseChecker checker;
  const Bytes archive = BuildArchive(EveryType(c.directory)).bytes;
  const PromiseCheck whole_archive = CheckedRun(checker, archive, c.label);
  ASSERT_EQ(whole_archive.run.exit_code, kExitSuccess);
  ASSERT_EQ(whole_archive.outputs, kEveryTypeOutputs);

  for (std::size_t length = 0; length < archive.size(); ++length) {
    const std::string label = std::string(c.label) + ", first " + std::to_string(length) + " of " +
                              std::to_string(archive.size()) + " bytes";
    const bool whole =
        length == 0 || length == 4 || c.also_whole_from_end.count(archive.size() - length) > 0;
    const PromiseCheck check =
        CheckedRun(checker, Bytes(archive.begin(), archive.begin() + length), label);
    EXPECT_EQ(check.run.exit_code, whole ? kExitSuccess : kExitDamaged) << label;
    if (HasFailure()) return;  // one broken prefix says enough
  }
}

TEST_P(DamageSweep, SeededSingleByteCorruptionsEndCleanly) {
  const SweepCase& c = GetParam();
  PromiseChecker checker;
  const Bytes archive = BuildArchive(EveryType(c.directory)).bytes;
  std::mt19937 random(0x5EED);
  for (int round = 0; round < 200; ++round) {
    Bytes damaged = archive;
    const std::size_t position = random() % damaged.size();
    const auto flip = static_cast<std::uint8_t>(1 + random() % 255);  // never a no-op
    damaged[position] ^= flip;
    const std::string label = std::string(c.label) + ", byte " + std::to_string(position) +
                              " xor " + std::to_string(flip);
    CheckedRun(checker, damaged, label);
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
