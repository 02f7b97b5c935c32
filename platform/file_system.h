// The one header of the platform layer: what the driver and the writers ask
// of the operating system beyond the Win32-named file calls themselves (the
// path separator, the longest path, the names a file system refuses, how a
// folder is spelt, opening a file on a disk for reading, making output
// files and giving them their names, copying inside the kernel, far moves,
// and the system's words for a failure). platform/posix/ and platform/windows/
// each give all of it for their system; how an output takes its name is
// decided once, in platform/publication.cpp, over a few calls each system
// gives (platform/output_primitives.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32_files.h"

#ifdef _WIN32
#define UNZRQ_PATH_SEPARATOR "\\"
// MAX_PATH is what CreateFileA takes without the long-path prefix.
inline constexpr std::size_t kOutputPathCapacity = MAX_PATH;
#else
#include <limits.h>
#define UNZRQ_PATH_SEPARATOR "/"
inline constexpr std::size_t kOutputPathCapacity = PATH_MAX;
#endif

// kOutputPathCapacity above is the size of the output path buffer, its
// terminating NUL included.

// The output path, composed with wsprintfA from the folder and the output
// file's name.
inline constexpr const char kOutputPathFormat[] = "%s" UNZRQ_PATH_SEPARATOR "%s";

// Codes of the tool's own, beside the system's, in the range Win32 leaves to
// programs (bit 29) and above any errno the POSIX layer marks with that bit.
inline constexpr DWORD kErrorOutputIsArchive = 0x20010001u;  // the name is the archive being read
inline constexpr DWORD kErrorNotRegularFile = 0x20010002u;   // a device, pipe or folder stands there
inline constexpr DWORD kErrorShortName = 0x20010003u;        // the name is another file's short alias
inline constexpr DWORD kErrorLinkToFolder = 0x20010004u;     // a link to a folder, which no file replaces
inline constexpr DWORD kErrorNameIsFolder = 0x20010005u;     // a folder stands under the name
inline constexpr DWORD kErrorWaitingAlias = 0x20010006u;     // the short alias of a waiting replacement
inline constexpr DWORD kErrorArchiveChanged = 0x20010007u;   // the archive changed while it was read
inline constexpr DWORD kErrorHardLinkedReadOnly = 0x20010008u;  // a read-only file with hard links
// The name kErrorHardLinkedReadOnly had; kept until the last test using it is renamed.
inline constexpr DWORD kErrorSharedFile = kErrorHardLinkedReadOnly;

// Whether output names land on a file system with Windows' rules for names
// (devices, reserved characters, trailing points and spaces).
#ifdef _WIN32
inline constexpr bool kHostKeepsWindowsNames = true;
#else
inline constexpr bool kHostKeepsWindowsNames = false;
#endif

// The output folder as it must be spelt for kOutputPathFormat, which puts one
// separator between folder and name: `folder` itself, or a copy of it made in
// `buffer` (kOutputPathCapacity bytes).
const char* SpellFolderForJoining(const char* folder, char* buffer);

// Opens an existing file for shared reading: the archive (its directory
// handle and its scanning handle both), and zrq's inputs. Only a file on a
// disk is opened: a device would read as empty or as endless bytes, and a
// pipe would hand its bytes to one of the two handles only, so opening one
// fails as a missing file does.
HANDLE OpenForReading(const char* path);
// The name OpenForReading had when only the archive was opened; kept until
// the last test that calls it by that name is renamed.
inline HANDLE OpenArchive(const char* path) { return OpenForReading(path); }

// Outputs are made in the output folder, which the run opens once: every
// output is created, looked up, named and renamed relative to it, so a long
// folder path costs a temporary name nothing and, on Linux, a folder renamed
// or swapped for a link during the run cannot redirect a write. On Linux the
// folder is opened for its path only, so that a folder that may be written
// but not read (a drop box) is written as any other. On Windows the folder is
// kept as a path and joined as kOutputPathFormat joins it. False with the
// reason in *error when it cannot be opened.
bool OpenOutputFolder(const char* folder, DWORD* error);
// Closes it again; replacements still waiting are forgotten, their files left
// under their temporary names (the driver publishes them before this).
void CloseOutputFolder();

// Why CreateOutputFile failed, beside the system's reason.
struct OutputRefusal {
  DWORD error;
  // A file stands under the name and the replacement's own new file could
  // not be made beside it: replacing needs the right to create a name.
  bool replacing;
  // kErrorShortName: the name of the file that `name` is only a short alias of.
  char long_name[MAX_PATH];
};

// Creates the output for `name` in the output folder, empty and open for
// writing. A new name is made at once, by one create that fails rather than
// open anything that stands there, and the output is written in place. Only
// when something stands there is it looked at, never opened for writing and
// never followed: a file or a link is replaced as a name, by an output made
// under a temporary name beside it that takes the name only when it is kept
// whole; a folder, a device, a pipe, the archive `archive` has open (under
// any of its names) and, on Windows, a name that is only another file's
// short alias are refused. INVALID_HANDLE_VALUE and *refusal when the output
// cannot be made; kErrorWaitingAlias asks the caller to publish the waiting
// replacements (PublishNextReplacement) and try again.
HANDLE CreateOutputFile(const char* name, HANDLE archive, OutputRefusal* refusal);

// The same for a new name only: when anything at all stands under `name` (a
// file, a link, even one that points nowhere, a folder, the archive), it is
// left as it is and the refusal is ERROR_ALREADY_EXISTS. One exclusive
// create decides, so that nothing that appears meanwhile is replaced.
HANDLE CreateOutputFileUnlessTaken(const char* name, HANDLE archive, OutputRefusal* refusal);

// What becomes of an output when it is finished.
enum class OutputFate {
  kKeep,        // whole: it keeps or takes the name, replacing what stood there
  kIncomplete,  // cut short or failed: a new name keeps what was written, and an old
                // file is never replaced by it
};

// What FinishOutputFile did beyond the fate asked.
struct OutputFinish {
  DWORD error;           // NO_ERROR, or why the bytes could not be kept (close, flush)
  DWORD leftover_error;  // NO_ERROR, or why `leftover` could not be removed
  const char* leftover;  // a temporary file of this run left in the folder, or nullptr; valid
                         // until the next CreateOutputFile
};

// Finishes the output made by CreateOutputFile as `fate` says. A new name
// was written in place and is simply closed. A replacement kept whole waits
// in a queue (ReplacementsDue) so that its bytes reach the disk before its
// rename, many at once; one given up is dropped through its own handle or
// its own temporary name, never through the name it was meant for.
OutputFinish FinishOutputFile(HANDLE output, OutputFate fate);

// Replacements flushed together: enough that the flushes overlap and cost
// little per file, few enough that a run stopped leaves little behind.
// Fixed, so that the queue needs no allocation. Until its batch is renamed
// a replacement holds disk space beside the old file, so a batch also ends
// once its files hold kReplacementBatchBytes, and before an output for which
// the disk would have no room while they wait.
inline constexpr std::size_t kReplacementBatch = 4096;
inline constexpr std::uint64_t kReplacementBatchBytes = 64ull << 20;

// True when the waiting replacements are to be published
// (PublishNextReplacement) before the next output, of about `next_bytes`
// bytes, is made: the batch is full, or the disk has no room for that
// output while they wait.
bool ReplacementsDue(std::uint64_t next_bytes);

enum class ReplaceOutcome {
  kReplaced,   // the name now holds the new file, whole and on the disk
  kKeptAside,  // the rename failed: the entry stays whole under `temporary`
  kDropped,    // the flush failed: the old file stays, the new one is removed
  kLeftBehind  // the flush failed and the new file could not be removed either
};

struct ReplaceReport {
  ReplaceOutcome outcome;
  DWORD error;            // why it was not replaced
  DWORD leftover_error;   // kLeftBehind: why the temporary could not be removed
  const char* name;       // the output name, in the output folder
  const char* temporary;  // its temporary name there
};

// Publishes the waiting replacements one at a time, in the order they were
// finished: their bytes are made durable, each file's own, a window of them
// at a time, then each call renames one over its name. False when none waits.
bool PublishNextReplacement(ReplaceReport* report);

// A temporary name says what it is, so that the leftover of a run stopped
// before its replacements were published tells itself apart:
// ".unzrq-partial-" PROCESS "-" COUNT "-" CLOCK "-left-by-a-stopped-run", in
// hexadecimal, 71 bytes in all, longer than any output name can be (64
// bytes of name and ".bmp"), so that no entry can ever be given one.
inline constexpr const char kTemporaryNamePrefix[] = ".unzrq-partial-";
inline constexpr const char kTemporaryNameSuffix[] = "-left-by-a-stopped-run";
inline constexpr const char kTemporaryNameFormat[] = "%s%08x-%08x-%016llx%s";
inline constexpr std::size_t kTemporaryNameBytes = 71;

// Copies up to `length` bytes from where `from` stands to where `to` stands,
// inside the kernel where that is the faster way on the output's file
// system, and moves both handles on by the count it returns. It stops early,
// without a report, where the kernel declines, the source ends or either
// file fails: the caller moves the rest with ReadFile and WriteFile, which
// tell which of those it was.
DWORD CopyFileData(HANDLE from, HANDLE to, DWORD length);

// The system's words for the failure `code` (a GetLastError code, or one of
// the tool's own above), as a short phrase without a final full stop ("No
// space left on device"), into `out`.
void DescribeError(DWORD code, char* out, std::size_t capacity);

// The words for the tool's own codes above that mean the same on every
// system, or nullptr (kErrorNotRegularFile and kErrorNameIsFolder are said
// as each system says them).
const char* DescribeOwnError(DWORD code);

// Room for any reason DescribeError gives.
inline constexpr std::size_t kReasonCapacity = 256;

// The length of `file`, which may pass 4 GiB: GetFileSize's high part
// carries the rest, and a low part of 0xFFFFFFFF is a length like any other;
// only the code tells a failure. False with the reason in *error.
inline bool FileBytes(HANDLE file, std::uint64_t* bytes, DWORD* error) {
  DWORD high = 0;
  const DWORD low = GetFileSize(file, &high);
  if (low == INVALID_FILE_SIZE) {
    const DWORD code = GetLastError();
    if (code != NO_ERROR) {
      *error = code;
      return false;
    }
  }
  *bytes = static_cast<std::uint64_t>(high) << 32 | low;
  return true;
}

// Moves `file` by `distance` from where it stands, which may lie past 4 GiB:
// the distance is a signed 32-bit value, sign-extended into the high part,
// and the high part of the position carries the rest. A low part of
// 0xFFFFFFFF is a position like any other; only the code tells a failure.
// False with the reason in *error when the move fails.
inline bool MoveBy(HANDLE file, LONG distance, DWORD* error) {
  LONG high = distance < 0 ? -1 : 0;
  if (SetFilePointer(file, distance, &high, FILE_CURRENT) == INVALID_SET_FILE_POINTER) {
    const DWORD code = GetLastError();
    if (code != NO_ERROR) {
      *error = code;
      return false;
    }
  }
  return true;
}

// Moves `file` to `offset` from its start (an archive's offset, or a place
// in a larger input file), by signed 32-bit distances, one from the start and
// the rest from the current position. False with the reason in *error when a
// move fails.
inline bool MoveToOffset(HANDLE file, std::uint64_t offset, DWORD* error) {
  constexpr std::uint32_t kLongestMove = 0x7FFFFFFF;
  const std::uint32_t first =
      offset < kLongestMove ? static_cast<std::uint32_t>(offset) : kLongestMove;
  LONG high = 0;
  if (SetFilePointer(file, static_cast<LONG>(first), &high, FILE_BEGIN) ==
      INVALID_SET_FILE_POINTER) {
    const DWORD code = GetLastError();
    if (code != NO_ERROR) {
      *error = code;
      return false;
    }
  }
  for (std::uint64_t left = offset - first; left > 0;) {
    const std::uint32_t step =
        left < kLongestMove ? static_cast<std::uint32_t>(left) : kLongestMove;
    if (!MoveBy(file, static_cast<LONG>(step), error)) return false;
    left -= step;
  }
  return true;
}
