#include "platform/file_system.h"
#include "writers/entry_writer.h"
#include "writers/write_all.h"

namespace {
// Large enough that a big payload costs few system calls, small enough to
// keep the tool's memory flat whatever the archive holds.
constexpr DWORD kCopyChunkBytes = 128 * 1024;
}  // namespace

EntryResult CopyRaw(HANDLE output, HANDLE scanning, std::uint32_t size) {
  EntryResult result{.outcome = EntryOutcome::kComplete};
  // Where the kernel copies file to file itself, the bytes never pass through
  // this process; whatever it leaves is moved below, where a short or failed
  // read or a failed write shows.
  result.written = CopyFileData(scanning, output, size);
  unsigned char chunk[kCopyChunkBytes];
  while (result.written < size) {
    const DWORD remaining = size - result.written;
    const DWORD wanted = remaining < kCopyChunkBytes ? remaining : kCopyChunkBytes;
    DWORD delivered = 0;
    // The reason is taken before the bytes that did arrive are written: that
    // write is another call.
    const bool read = ReadFile(scanning, chunk, wanted, &delivered, nullptr) != FALSE;
    const DWORD read_error = read ? NO_ERROR : GetLastError();
    // Only the bytes the archive delivered are written: never what an earlier
    // chunk left in the buffer.
    if (delivered > 0 && !WriteAll(output, chunk, delivered, &result.error)) {
      result.outcome = EntryOutcome::kWriteFailed;
      result.read_error = read_error;
      return result;
    }
    result.written += delivered;
    if (!read) {
      return {.outcome = EntryOutcome::kReadFailed, .written = result.written, .error = read_error};
    }
    if (delivered < wanted) {
      result.outcome = EntryOutcome::kTruncated;
      return result;
    }
  }
  return result;
}
