// What differs between the file systems the tool runs on, beyond the file
// calls themselves: the path separator, the longest path, the names a file
// system refuses, and whether a path leads to a file that is already open.
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

// Output path formats, composed with wsprintfA from the folder and the name.
inline constexpr const char kPlainPathFormat[] = "%s" UNZRQ_PATH_SEPARATOR "%s";
inline constexpr const char kBitmapPathFormat[] = "%s" UNZRQ_PATH_SEPARATOR "%s.bmp";

// False for names this platform's file system would refuse or reinterpret
// (on Windows: device names such as CON, a colon, a trailing dot or space).
// The caller has already refused what no platform accepts.
bool FileSystemAcceptsName(const char* name);

// True where creating a file over one that is open for reading (as the
// archive is, without write sharing) is refused by the system itself, so the
// check below is needed only to name the reason once a create has failed.
#ifdef _WIN32
inline constexpr bool kOpenFilesRefuseReplacement = true;
#else
inline constexpr bool kOpenFilesRefuseReplacement = false;
#endif

// True when `path` names the very file `file` has open, under any name or
// link. Used so that an entry can never replace the archive being read.
bool IsSameFile(const char* path, HANDLE file);
