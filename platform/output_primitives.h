// The few things each system does for the publication of outputs
// (platform/publication.cpp), given by platform/posix/files.cpp and
// platform/windows/files.cpp. Every name here is a name in the output folder
// that OpenOutputFolder opened; none of these calls decides anything the
// other system's could decide differently.
#pragma once

#include "platform/file_system.h"

// What stands under a name, looked at without opening it for writing and
// without following a link.
enum class NameKind {
  kAbsent,
  kFile,          // a file, or a link to anything but a folder: replaced as a name
  kLinkToFolder,  // a link to a folder: Windows cannot replace it with a file
  kFolder,
  kOther,         // a device, a pipe, a socket: someone's, not an old output
  kArchive,       // the very file the archive handle has open
  kShortAlias,    // Windows: only another file's short 8.3 alias (its name in *long_name)
};

// Opens and closes the folder every call below works in.
bool OpenFolderForOutputs(const char* folder, DWORD* error);
void CloseFolderForOutputs();

// Looks at `name`. On a failure other than absence, kAbsent is not claimed:
// false with the reason in *error.
bool LookAtName(const char* name, HANDLE archive, NameKind* kind, char* long_name,
                DWORD* error);

// Creates an output with no name at all in the folder, to be named by
// LinkOutput. INVALID_HANDLE_VALUE where the system or file system cannot:
// the caller uses a temporary name instead.
HANDLE CreateUnnamedOutput(DWORD* error);

// Creates `name` afresh, failing with ERROR_ALREADY_EXISTS's meaning when
// anything stands there.
HANDLE CreateNamedOutput(const char* name, DWORD* error);

// Gives the unnamed output `output` the name `name`; fails rather than
// replace anything that stands there (*exists set).
bool LinkOutput(HANDLE output, const char* name, bool* exists, DWORD* error);

// Renames `from` to `to` when nothing stands under `to` (else *exists set
// and nothing changes).
bool RenameToNewName(const char* from, const char* to, bool* exists, DWORD* error);

// Renames `from` over `to`, replacing what stands there in one step.
bool RenameOverName(const char* from, const char* to, DWORD* error);

// Removes the name `name` (only ever one of the run's own temporaries).
bool RemoveOwnName(const char* name, DWORD* error);

// Gives up `output` before it takes a name, and closes it: an unnamed output
// simply ends; one under a temporary name is removed through its handle
// where the system allows, else by that name. False with the reason when the
// temporary could not be removed: it is left in the folder.
bool DropOutput(HANDLE output, const char* temporary, DWORD* error);

// Called for an output that will replace an old file, before it is closed:
// starts or completes the writing of its bytes to the disk.
DWORD BeginFlush(HANDLE output);

// Called once before a batch of replacements is renamed: every byte written
// to the folder's file system reaches the disk.
DWORD FlushFolder();

// Called for a replacement that was already closed when it became one (a
// new name that appeared meanwhile): its bytes reach the disk.
DWORD FlushClosedOutput(const char* temporary);

// Numbers that make a temporary name of this run unlike any other's.
void TemporaryNameSeed(unsigned* process, unsigned long long* clock);
