#include "platform/file_system.h"
#include "writers/entry_writer.h"
#include "writers/write_all.h"

namespace {
// Large enough that a big payload costs few system calls, small enough to
// keep the tool's memory flat whatever the archive holds.
constexpr DWORD kCopyChunkBytes = 128 * 1024;
}  // namespace

EntryOutcome CopyRaw(HANDLE output, HANDLE scanning, std::uint32_t size) {
  // Where the kernel copies file to file itself, the bytes never pass through
  // this process; whatever it leaves is moved below, where a short or failed
  // read or a failed write shows.
  std::uint32_t remaining = size - CopyFileData(scanning, output, size);
  unsigned char chunk[kCopyChunkBytes];
  while (remaining > 0) {
    const DWORD wanted = remaining < kCopyChunkBytes ? remaining : kCopyChunkBytes;
    DWORD delivered = 0;
    const bool read = ReadFile(scanning, chunk, wanted, &delivered, nullptr) != FALSE;
    // Only the bytes the archive delivered are written: never what an earlier
    // chunk left in the buffer.
    if (delivered > 0 && !WriteAll(output, chunk, delivered)) return EntryOutcome::kWriteFailed;
    if (!read) return EntryOutcome::kReadFailed;
    if (delivered < wanted) return EntryOutcome::kTruncated;
    remaining -= delivered;
  }
  return EntryOutcome::kComplete;
}
