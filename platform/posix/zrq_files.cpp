// zrq's platform calls over POSIX (platform/zrq_files.h). Handles come from
// the table of platform/posix/files.cpp (platform/posix/handles.h), so that
// ReadFile, WriteFile and SetFilePointer serve them as every other handle.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>

#include <unistd.h>
#include <cstdio>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "platform/posix/handles.h"
#include "platform/zrq_files.h"

namespace {

DIR* g_listing = nullptr;

// The file an interrupt removes. The handler reads it only while it is
// armed, and it is armed only once the name is whole.
char g_interrupt_removes[kOutputPathCapacity];
volatile sig_atomic_t g_interrupt_armed = 0;

void RemoveAndEnd(int signal_number) {
  if (g_interrupt_armed != 0) (void)unlink(g_interrupt_removes);
  // Ends the run as the signal would have, so that the shell sees it.
  (void)signal(signal_number, SIG_DFL);
  (void)raise(signal_number);
}

constexpr const char kPartialFormat[] = "%s" ZRQ_ARCHIVE_TEMPORARY_INFIX "%08x";

}  // namespace

HANDLE OpenStandardOutput(DWORD* error) {
  // A handle of its own: closing it leaves standard output open for the
  // messages that may follow.
  const int fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (fd < 0) {
    *error = ErrorFromErrno(errno);
    return INVALID_HANDLE_VALUE;
  }
  const HANDLE handle = AdoptDescriptor(fd, true, true, error);
  if (handle == INVALID_HANDLE_VALUE) close(fd);
  return handle;
}

bool OpenFolderListing(const char* folder, DWORD* error) {
  g_listing = opendir(folder);
  if (g_listing != nullptr) return true;
  *error = ErrorFromErrno(errno);
  return false;
}

const char* NextFolderName(DWORD* error) {
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(g_listing);
    if (entry == nullptr) {
      if (errno != 0) *error = ErrorFromErrno(errno);
      return nullptr;
    }
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      return entry->d_name;
    }
  }
}

void CloseFolderListing() {
  if (g_listing != nullptr) closedir(g_listing);
  g_listing = nullptr;
}

HANDLE CreateArchiveBeside(const char* path, char* temporary, DWORD* error) {
  const int length = std::snprintf(temporary, kOutputPathCapacity, kPartialFormat, path,
                                   static_cast<unsigned>(getpid()));
  if (length < 0 || static_cast<std::size_t>(length) >= kOutputPathCapacity) {
    *error = ERROR_FILENAME_EXCED_RANGE;
    return INVALID_HANDLE_VALUE;
  }
  const int fd = OpenRetrying(AT_FDCWD, temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC);
  if (fd < 0) {
    *error = ErrorFromErrno(errno);
    return INVALID_HANDLE_VALUE;
  }
  const HANDLE handle = AdoptDescriptor(fd, true, false, error);
  if (handle == INVALID_HANDLE_VALUE) {
    close(fd);
    unlink(temporary);
  }
  return handle;
}

bool PutArchiveInPlace(HANDLE file, const char* temporary, const char* path, DWORD* error) {
  // Renamed before its bytes reach the disk, a power cut could leave an empty
  // file under the name that held the old archive.
  const int fd = DescriptorOf(file);
  bool whole = fd >= 0 && fsync(fd) == 0;
  if (!whole) *error = ErrorFromErrno(fd >= 0 ? errno : EBADF);
  if (!CloseHandle(file) && whole) {
    *error = GetLastError();
    whole = false;
  }
  if (whole && rename(temporary, path) == 0) return true;
  if (whole) *error = ErrorFromErrno(errno);
  unlink(temporary);
  return false;
}

bool DiscardArchive(HANDLE file, const char* temporary, DWORD* error) {
  CloseHandle(file);
  if (unlink(temporary) == 0) return true;
  *error = ErrorFromErrno(errno);
  return false;
}

bool IdentifyFile(HANDLE file, FileIdentity* identity, DWORD* error) {
  struct stat info = {};
  const int fd = DescriptorOf(file);
  if (fd < 0 || fstat(fd, &info) != 0) {
    *error = ErrorFromErrno(fd < 0 ? EBADF : errno);
    return false;
  }
  *identity = {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
  return true;
}

bool LookAtPath(const char* path, PathKind* kind, DWORD* error) {
  struct stat info = {};
  if (lstat(path, &info) != 0) {
    if (errno == ENOENT) {
      *kind = PathKind::kMissing;
      return true;
    }
    *error = ErrorFromErrno(errno);
    return false;
  }
  if (S_ISREG(info.st_mode)) {
    *kind = PathKind::kFile;
  } else if (S_ISLNK(info.st_mode)) {
    *kind = PathKind::kLink;
  } else if (S_ISDIR(info.st_mode)) {
    *kind = PathKind::kFolder;
  } else {
    *kind = PathKind::kOther;
  }
  return true;
}

bool ResolveLink(const char* path, char* target, DWORD* error) {
  // realpath writes at most PATH_MAX bytes, kOutputPathCapacity here.
  static_assert(kOutputPathCapacity >= PATH_MAX);
  if (realpath(path, target) != nullptr) return true;
  *error = ErrorFromErrno(errno);
  return false;
}

void RemoveOnInterrupt(const char* path) {
  g_interrupt_armed = 0;
  if (path == nullptr) return;
  (void)std::snprintf(g_interrupt_removes, sizeof g_interrupt_removes, "%s", path);
  g_interrupt_armed = 1;
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction action = {};
    // A signal ignored when the run began (nohup, a background job) stays ignored.
    if (sigaction(signal_number, nullptr, &action) != 0 || action.sa_handler == SIG_IGN) continue;
    action = {};
    action.sa_handler = RemoveAndEnd;
    sigemptyset(&action.sa_mask);
    (void)sigaction(signal_number, &action, nullptr);
  }
}
