// The one header of the platform layer: what the driver and the writers ask
// of the operating system beyond the Win32-named file calls themselves (the
// path separator, the longest path, the names a file system refuses, how a
// folder is spelt, opening a file on a disk for reading, making output
// files and giving them their names, copying inside the kernel, far moves,
// and the system's words for a failure). platform/posix/ and platform/windows/
// each give all of it for their system; how an output takes its name is
// decided once, in publication/ (publication/publication.h), over a few
// calls each system gives (platform/output_primitives.h).
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
// Another file stands under the name of one of the run's temporaries.
inline constexpr DWORD kErrorNotOwnTemporary = 0x20010009u;
// No room for a replacement while the run's waiting replacements hold it:
// publishing them first frees it.
inline constexpr DWORD kErrorRoomHeldByWaiting = 0x2001000Au;

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
