// What `zrq mount` asks of the system: a read-only folder served through
// FUSE (platform/posix/fuse_server.cpp, built where libfuse 3 was found),
// reads of the archive at any offset from any thread, the archive's identity,
// the mount's log, and the unmount. The server only asks and answers: which
// files the folder holds and what each holds is decided by the caller
// (zrq/mount.cpp), through the callbacks of MountedFolder.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "platform/win32_files.h"

// The folder's files are numbered from 0; a number the callbacks gave is
// valid for the whole mount.
struct MountedFolder {
  // How many numbers there are; a number may stand for no file (absent).
  std::uint32_t (*number_count)();
  // False for a number that stands for no file.
  bool (*present)(std::uint32_t file);
  // The file called `name`, or false.
  bool (*find)(const char* name, std::uint32_t* file);
  const char* (*name_of)(std::uint32_t file);
  std::uint64_t (*bytes_of)(std::uint32_t file);
  // Whether the file may be opened now: false makes the open fail with EIO.
  bool (*may_open)(std::uint32_t file);
  // Fills `out` with the `length` bytes from `offset` on, all inside the
  // file: true, or false for EIO (the caller has told why).
  bool (*read)(std::uint32_t file, std::uint64_t offset, std::uint32_t length, unsigned char* out);
  // For a file whose bytes lie in the archive as they are (a plain file):
  // true, with where the `length` bytes from `offset` on start in the
  // archive, checked as `read` checks them, so that the server may have the
  // kernel move them itself. False to have them made by `read`.
  bool (*locate)(std::uint32_t file, std::uint64_t offset, std::uint64_t* position);
  // Called after the kernel moved them: false when they may not have been
  // the archive's (the caller has told why); they were sent all the same.
  bool (*check_after_move)();
  // The archive, for the bytes `locate` points at.
  HANDLE archive;
  // Every file's time, the archive's.
  std::int64_t seconds;
  std::int64_t nanoseconds;
};

enum class MountOutcome {
  kEnded,         // served until unmounted or stopped (Ctrl-C, SIGTERM)
  kInBackground,  // this is the command: a process of its own serves the folder
  kNotMounted,    // nothing mounted: *reason says why
};

struct MountResult {
  MountOutcome outcome;
  char reason[256];
};

// Mounts `folder` read-only on `mount_point` and serves it. In the
// foreground, until it is unmounted or the process is stopped. Otherwise a
// process of its own serves it, in a session of its own, and the caller's
// returns kInBackground only once the mount point answers, so that the
// command ends with the folder served.
MountResult ServeFolder(const char* mount_point, const char* archive, bool foreground,
                        const MountedFolder& folder);

// Tells a line of the mount's log: standard error in the foreground, the
// system log (as "zrq") once the server runs in the background.
void TellMountLog(const char* format, ...);

// Takes the FUSE file system off `mount_point`: umount2 for root, else
// fusermount3 -u. False with the reason in `reason` (`capacity` bytes).
bool UnmountFolder(const char* mount_point, char* reason, std::size_t capacity);

// The archive as the mount checks it on each access: its length and time.
struct FileIdentity {
  std::uint64_t bytes;
  std::int64_t seconds;
  std::int64_t nanoseconds;
};

// The identity of the file under `file` now. False with the reason in *error.
bool IdentityOf(HANDLE file, FileIdentity* identity, DWORD* error);

// Reads up to `length` bytes at `offset` without moving `file`, from any
// thread: *delivered is less only where the file ends. False with the reason
// in *error when the system refuses.
bool ReadFileAt(HANDLE file, std::uint64_t offset, unsigned char* out, std::uint32_t length,
                std::uint32_t* delivered, DWORD* error);
