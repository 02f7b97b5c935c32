// What zrq asks of the system beyond what unzrq asks: standard output as a
// handle the writers can write to, the names in a folder to be packed, and
// for create's judgements which file a handle has open, what stands under a
// path and where a link leads.
// (A new archive is made beside its name as a replacement is:
// CreateTemporaryBeside in publication/publication.h.)
// platform/posix/zrq_files.cpp and platform/windows/zrq_files.cpp give it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/file_system.h"

// Standard output as a handle for WriteFile, whatever it is (a pipe, a
// terminal, a file): each write follows the one before, as the stream does,
// so that a pipe takes the bytes as well as a file. Never moved, never read.
// CloseHandle lets go of the handle and leaves standard output itself open.
// INVALID_HANDLE_VALUE with the reason in *error when there is none.
HANDLE OpenStandardOutput(DWORD* error);

// The names in one folder, one at a time, "." and ".." left out, in the
// order the system lists them. One listing is open at a time.
bool OpenFolderListing(const char* folder, DWORD* error);
// The next name (valid until the next call), or nullptr at the end or on a
// failure, which sets *error (left NO_ERROR at the end).
const char* NextFolderName(DWORD* error);
void CloseFolderListing();

// The name zrq create gave its temporary archive before 4.0.0, ARCHIVE
// ".zrq-partial-" PID: a leftover of such a run is recognised by it.
inline constexpr const char kArchiveTemporaryInfix[] = ".zrq-partial-";

// Which file a handle has open, whatever name it was reached by (a link, a
// second hard link, another spelling of the path): the device and inode
// numbers, or the volume's serial number and the file's index. Two handles
// open on one file give equal identities.
struct FileIdentity {
  std::uint64_t volume;
  std::uint64_t file;
  bool operator==(const FileIdentity&) const = default;
};
bool IdentifyFile(HANDLE file, FileIdentity* identity, DWORD* error);

// What stands under `path` itself, a link not followed: nothing, a file, a
// link (a symbolic link; on Windows a reparse point tagged as one), a folder, or
// anything else (a device, a pipe). False with the reason in *error when the
// system cannot tell; a path that is not there is kMissing, not a failure.
enum class PathKind { kMissing, kFile, kLink, kFolder, kOther };
bool LookAtPath(const char* path, PathKind* kind, DWORD* error);

// The path the link `path` finally leads to, every link on the way
// followed, into `target` (kOutputPathCapacity bytes). False with the reason
// in *error, also when the link leads to nothing that exists.
bool ResolveLink(const char* path, char* target, DWORD* error);
