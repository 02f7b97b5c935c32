// What zrq asks of the system beyond what unzrq asks: standard output as a
// handle the writers can write to, the names in a folder to be packed, and a
// new archive made beside its name and put there only once it is whole.
// platform/posix/zrq_files.cpp and platform/windows/zrq_files.cpp give it.
#pragma once

#include <cstddef>

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
HANDLE CreateArchiveBeside(const char* path, char* temporary, DWORD* error);

// The archive's bytes reach the disk, the file is closed and renamed over
// `path`. False with the reason in *error when any step fails; the temporary
// file is then removed.
bool PutArchiveInPlace(HANDLE file, const char* temporary, const char* path, DWORD* error);

// Gives the archive up: closed and removed. False with the reason in *error
// when it could not be removed and stays under `temporary`.
bool DiscardArchive(HANDLE file, const char* temporary, DWORD* error);
