// Plain entries: the payload's bytes, no more and no fewer.
#include <gtest/gtest.h>

#include "writer_run.h"

namespace {

constexpr std::uint32_t kBefore = 37;  // the payload starts mid-file
constexpr std::uint32_t kAfter = 19;   // and bytes follow it that must not be copied

// Sizes about the copy's thresholds: 16 KiB, from which the kernel copies
// file to file on Linux (smaller pieces go through the archive's read-ahead);
// 64 KiB, the read-ahead's block; 128 KiB, the copy's chunk.
TEST(CopyRaw, CopiesExactlySizeBytesFromWhereTheHandleStands) {
  for (std::uint32_t size :
       {0u, 1u, 16u * 1024u - 1u, 16u * 1024u, 64u * 1024u - 1u, 64u * 1024u + 1u, 128u * 1024u,
        128u * 1024u + 1u, 300000u}) {
    const Bytes payload = PatternBytes(size, size);
    const WriterRun run = RunWriter(CopyRaw, Surround(kBefore, payload, kAfter), kBefore, size);
    EXPECT_EQ(run.result.outcome, EntryOutcome::kComplete) << "size " << size;
    EXPECT_TRUE(run.output == payload) << "size " << size;
    EXPECT_EQ(run.scanning_position, kBefore + size) << "size " << size;
  }
}

// The archive ends inside the payload: the output holds exactly the bytes
// that exist, never what an earlier chunk left in a buffer.
TEST(CopyRaw, PayloadCutByTheEndOfTheArchiveKeepsWhatExists) {
  struct Case {
    std::uint32_t size;
    std::uint32_t available;
  } const cases[] = {
      {10, 0},
      {5000, 3000},
      {16 * 1024 + 1, 16 * 1024},
      {64 * 1024 + 1, 64 * 1024 - 1},
      {128 * 1024 + 1, 128 * 1024},
      {300000, 128 * 1024 + 500},
      {0xFFFFFFFF, 2000},  // a corrupt size ends at the end of the file
  };
  for (const Case& c : cases) {
    const Bytes existing = PatternBytes(c.available, c.available);
    const WriterRun run = RunWriter(CopyRaw, Surround(kBefore, existing, 0), kBefore, c.size);
    EXPECT_EQ(run.result.outcome, EntryOutcome::kTruncated) << "size " << c.size;
    EXPECT_TRUE(run.output == existing)
        << "size " << c.size << ", " << run.output.size() << " bytes written of " << c.available;
  }
}

TEST(CopyRaw, PayloadStartingPastTheEndGivesAnEmptyFile) {
  const WriterRun run = RunWriter(CopyRaw, PatternBytes(100), 1000, 10);
  EXPECT_EQ(run.result.outcome, EntryOutcome::kTruncated);
  EXPECT_TRUE(run.output.empty());
}

}  // namespace
