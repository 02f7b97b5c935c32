// What zrq asks of the system beyond what unzrq asks: standard output as a
// handle the writers can write to, and the names in a folder to be packed.
// (A new archive is made beside its name as a replacement is:
// CreateTemporaryBeside in publication/publication.h.)
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
