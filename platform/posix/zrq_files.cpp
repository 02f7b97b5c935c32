// zrq's platform calls over POSIX (platform/zrq_files.h). Handles come from
// the table of platform/posix/files.cpp (platform/posix/handles.h), so that
// ReadFile, WriteFile and SetFilePointer serve them as every other handle.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/stat.h>

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/posix/handles.h"
#include "platform/zrq_files.h"

namespace {

DIR* g_listing = nullptr;

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
