// What differs between the file systems the tool runs on, beyond the file
// calls themselves: the path separator, the longest path, the names a file
// system refuses, how a folder is spelt, opening an archive that is a file on
// a disk, creating an output file that is never the archive, copying inside
// the kernel, and the system's words for a failure.
#pragma once

#include <cstddef>

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

// False for names this platform's file system would refuse or reinterpret
// (on Windows: device names such as CON, a colon, a trailing dot or space).
// The caller has already refused what no platform accepts.
bool FileSystemAcceptsName(const char* name);

// The output folder as it must be spelt for kOutputPathFormat, which puts one
// separator between folder and name: `folder` itself, or a copy of it made in
// `buffer` (kOutputPathCapacity bytes).
const char* SpellFolderForJoining(const char* folder, char* buffer);

// Opens the archive for shared reading, as the directory handle and the
// scanning handle both are. Only a file on a disk is an archive: a device
// would read as empty or as endless bytes, and a pipe would hand its bytes to
// one of the two handles only, so opening one fails as a missing file does.
HANDLE OpenArchive(const char* path);

// Creates the output file at `path`, replacing a file already there, open
// for reading and writing and empty. Never a device or a pipe standing under
// the name, which would swallow the bytes or never take them all. Never the
// archive that `archive` has open, under any of its names or links: then it
// fails and sets *is_archive, so that the caller can say why. On any other
// failure GetLastError and DescribeLastError tell the reason.
HANDLE CreateOutputFile(const char* path, HANDLE archive, bool* is_archive);

// Copies up to `length` bytes from where `from` stands to where `to` stands,
// inside the kernel where it can do that itself, and moves both handles on
// by the count it returns. It stops early, without a report, where the
// kernel declines, the source ends or either file fails: the caller moves
// the rest with ReadFile and WriteFile, which tell which of those it was.
DWORD CopyFileData(HANDLE from, HANDLE to, DWORD length);

// The system's reason for the last failed file call, as a short phrase
// without a final full stop ("No space left on device"), into `out`.
void DescribeLastError(char* out, std::size_t capacity);

// Room for any reason DescribeLastError gives.
inline constexpr std::size_t kReasonCapacity = 256;
