// zrq's platform calls over KERNEL32 (platform/zrq_files.h).
#include <cstdio>
#include <cstring>

#include "platform/zrq_files.h"

namespace {

HANDLE g_listing = INVALID_HANDLE_VALUE;
WIN32_FIND_DATAA g_found;
bool g_found_waiting = false;  // FindFirstFileA's name, not yet handed out

}  // namespace

HANDLE OpenStandardOutput(DWORD* error) {
  const HANDLE standard = GetStdHandle(STD_OUTPUT_HANDLE);
  HANDLE own = INVALID_HANDLE_VALUE;
  // A handle of its own: closing it leaves standard output open for the
  // messages that may follow. A pipe, a console and a file all write where
  // they stand, so nothing else is needed for a pipe.
  if (standard == nullptr || standard == INVALID_HANDLE_VALUE ||
      !DuplicateHandle(GetCurrentProcess(), standard, GetCurrentProcess(), &own, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    *error = standard == nullptr ? ERROR_INVALID_HANDLE : GetLastError();
    if (*error == NO_ERROR) *error = ERROR_INVALID_HANDLE;
    return INVALID_HANDLE_VALUE;
  }
  return own;
}

bool OpenFolderListing(const char* folder, DWORD* error) {
  char pattern[MAX_PATH];
  const int length = std::snprintf(pattern, sizeof pattern, kOutputPathFormat, folder, "*");
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof pattern) {
    *error = ERROR_FILENAME_EXCED_RANGE;
    return false;
  }
  g_listing = FindFirstFileA(pattern, &g_found);
  if (g_listing == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    // An empty drive root lists nothing at all; anything else has "." at least.
    if (*error == ERROR_FILE_NOT_FOUND) {
      *error = NO_ERROR;
      g_found_waiting = false;
      return true;
    }
    return false;
  }
  g_found_waiting = true;
  return true;
}

const char* NextFolderName(DWORD* error) {
  for (;;) {
    if (!g_found_waiting) {
      if (g_listing == INVALID_HANDLE_VALUE) return nullptr;
      if (!FindNextFileA(g_listing, &g_found)) {
        const DWORD code = GetLastError();
        if (code != ERROR_NO_MORE_FILES) *error = code;
        return nullptr;
      }
    }
    g_found_waiting = false;
    if (std::strcmp(g_found.cFileName, ".") != 0 && std::strcmp(g_found.cFileName, "..") != 0) {
      return g_found.cFileName;
    }
  }
}

void CloseFolderListing() {
  if (g_listing != INVALID_HANDLE_VALUE) FindClose(g_listing);
  g_listing = INVALID_HANDLE_VALUE;
  g_found_waiting = false;
}

bool IdentifyFile(HANDLE file, FileIdentity* identity, DWORD* error) {
  BY_HANDLE_FILE_INFORMATION information = {};
  if (!GetFileInformationByHandle(file, &information)) {
    *error = GetLastError();
    return false;
  }
  *identity = {
      information.dwVolumeSerialNumber,
      static_cast<std::uint64_t>(information.nFileIndexHigh) << 32 | information.nFileIndexLow};
  return true;
}

namespace {

// A reparse point is a link only when its tag says so: a file a cloud
// service keeps a placeholder of, or one deduplicated, is a file.
bool IsSymbolicLink(const char* path) {
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA(path, &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return found.dwReserved0 == IO_REPARSE_TAG_SYMLINK;
}

}  // namespace

bool LookAtPath(const char* path, PathKind* kind, DWORD* error) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
      *kind = PathKind::kMissing;
      return true;
    }
    *error = code;
    return false;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsSymbolicLink(path)) {
    *kind = PathKind::kLink;
  } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    *kind = PathKind::kFolder;
  } else if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
    *kind = PathKind::kOther;
  } else {
    *kind = PathKind::kFile;
  }
  return true;
}

bool ResolveLink(const char* path, char* target, DWORD* error) {
  // Opened for no access at all, which a folder allows too: only its final
  // name is asked for.
  const HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return false;
  }
  char final_path[kOutputPathCapacity + 4];
  const DWORD length = GetFinalPathNameByHandleA(file, final_path, sizeof final_path,
                                                 FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  const DWORD code = GetLastError();
  CloseHandle(file);
  if (length == 0 || length >= sizeof final_path) {
    *error = length == 0 ? code : ERROR_FILENAME_EXCED_RANGE;
    return false;
  }
  // "\\?\C:\folder\file": the prefix off where a drive letter follows, as
  // the ANSI calls take the rest without it.
  const char* shown = final_path;
  if (std::strncmp(final_path, "\\\\?\\", 4) == 0 && final_path[5] == ':') shown += 4;
  if (std::strlen(shown) >= kOutputPathCapacity) {
    *error = ERROR_FILENAME_EXCED_RANGE;
    return false;
  }
  std::memcpy(target, shown, std::strlen(shown) + 1);
  return true;
}
