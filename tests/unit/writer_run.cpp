#include "writer_run.h"

#include <gtest/gtest.h>

#include "owned_handle.h"
#include "tests/support/scratch_dir.h"

WriterRun RunWriter(EntryWriter* writer, const Bytes& archive, std::uint32_t payload_offset,
                    std::uint32_t size) {
  ScratchDir dir;
  WriteFileBytes(dir / "archive", archive);
  OwnedHandle scanning(OpenForReading((dir / "archive").c_str()));
  OwnedOutput output(dir.path(), "out");
  EXPECT_TRUE(scanning.valid() && output.valid());
  SetFilePointer(scanning.get(), static_cast<LONG>(payload_offset), nullptr, FILE_BEGIN);
  WriterRun run;
  run.result = writer(output.get(), scanning.get(), size);
  run.scanning_position = SetFilePointer(scanning.get(), 0, nullptr, FILE_CURRENT);
  EXPECT_EQ(output.Finish(), NO_ERROR);
  run.output = ReadFileBytes(dir / "out");
  return run;
}

Bytes Surround(std::uint32_t before, const Bytes& payload, std::uint32_t after) {
  Bytes archive = PatternBytes(before, 11);
  archive.insert(archive.end(), payload.begin(), payload.end());
  const Bytes tail = PatternBytes(after, 13);
  archive.insert(archive.end(), tail.begin(), tail.end());
  return archive;
}

const char* OutcomeName(EntryOutcome outcome) {
  switch (outcome) {
    case EntryOutcome::kComplete: return "complete";
    case EntryOutcome::kTruncated: return "truncated";
    case EntryOutcome::kDamaged: return "damaged";
    case EntryOutcome::kReadFailed: return "read failed";
    case EntryOutcome::kWriteFailed: return "write failed";
    case EntryOutcome::kTooLarge: return "too large";
    case EntryOutcome::kSizeUnreadable: return "size unreadable";
  }
  return "?";
}
