// What zrq asks of the system beyond what unzrq asks: standard output as a
// handle the writers can write to, the names in a folder to be packed, and a
// new archive made beside its name and put there only once it is whole.
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

// A new archive is written under a temporary name beside `path`, in the same
// folder, so that a reader never meets it half written and a run that fails
// leaves the file under `path` as it was: ".zrq-partial-" and the process
// number appended, which `temporary` (kOutputPathCapacity bytes) receives.
// Created afresh (never over a file that stands there), empty and open for
// writing, and moved with SetFilePointer like any file.
#define ZRQ_ARCHIVE_TEMPORARY_INFIX ".zrq-partial-"
inline constexpr const char kArchiveTemporaryInfix[] = ZRQ_ARCHIVE_TEMPORARY_INFIX;
HANDLE CreateArchiveBeside(const char* path, char* temporary, DWORD* error);

// The archive's bytes reach the disk, the file is closed and renamed over
// `path`. False with the reason in *error when any step fails; the temporary
// file is then removed.
bool PutArchiveInPlace(HANDLE file, const char* temporary, const char* path, DWORD* error);

// Removes the file `path` (kept as a copy) if the run is ended by SIGINT,
// SIGTERM or SIGHUP, or on Windows by Ctrl-C, Ctrl-Break or the console's
// closing, and ends the run as that signal or event would have; a signal
// the run was started ignoring stays ignored. One file at a time; nullptr
// forgets it. A SIGKILL or a power cut still leaves it behind.
void RemoveOnInterrupt(const char* path);

// Gives the archive up: closed and removed. False with the reason in *error
// when it could not be removed and stays under `temporary`.
bool DiscardArchive(HANDLE file, const char* temporary, DWORD* error);

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
// link (a symbolic link, or on Windows any reparse point), a folder, or
// anything else (a device, a pipe). False with the reason in *error when the
// system cannot tell; a path that is not there is kMissing, not a failure.
enum class PathKind { kMissing, kFile, kLink, kFolder, kOther };
bool LookAtPath(const char* path, PathKind* kind, DWORD* error);

// The path the link `path` finally leads to, every link on the way
// followed, into `target` (kOutputPathCapacity bytes). False with the reason
// in *error, also when the link leads to nothing that exists.
bool ResolveLink(const char* path, char* target, DWORD* error);
