// The handle table of platform/posix/files.cpp, for the calls of
// platform/posix/zrq_files.cpp that open files in ways of their own.
#pragma once

#include "platform/win32_files.h"

// Makes the open descriptor `fd` a handle. A sequential handle writes where
// the descriptor stands, one write after the other (a pipe has no positions);
// any other writes at the position the handle keeps. INVALID_HANDLE_VALUE
// with the reason in *error when every handle is in use; `fd` stays open then.
HANDLE AdoptDescriptor(int fd, bool writable, bool sequential, DWORD* error);

// The descriptor under `handle`, or -1.
int DescriptorOf(HANDLE handle);

// Every open of the layer: relative to `folder` (AT_FDCWD for a path as
// given), tried again when a signal interrupts it.
int OpenRetrying(int folder, const char* path, int flags);
