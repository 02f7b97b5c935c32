#include "writers/entry_writer.h"
#include "writers/write_all.h"

namespace {
// Large enough that a big payload costs few system calls, small enough to
// keep the tool's memory flat whatever the archive holds.
constexpr DWORD kCopyChunkBytes = 128 * 1024;
}  // namespace

EntryOutcome CopyRaw(HANDLE output, HANDLE scanning, std::uint32_t size) {
  static unsigned char chunk[kCopyChunkBytes];
  std::uint32_t remaining = size;
  while (remaining > 0) {
    const DWORD wanted = remaining < kCopyChunkBytes ? remaining : kCopyChunkBytes;
    DWORD delivered = 0;
    ReadFile(scanning, chunk, wanted, &delivered, nullptr);
    // Only the bytes the archive delivered are written: never what an earlier
    // chunk left in the buffer.
    if (delivered > 0 && !WriteAll(output, chunk, delivered)) return EntryOutcome::kWriteFailed;
    if (delivered < wanted) return EntryOutcome::kTruncated;
    remaining -= delivered;
  }
  return EntryOutcome::kComplete;
}
