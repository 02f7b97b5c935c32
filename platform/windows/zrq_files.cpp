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
