#pragma once

#include "platform/win32_files.h"

// A write counts only when the file took every byte of it. A write that
// takes part of its bytes without failing (a file-size limit under some
// hosts) is followed by one for the rest, so that the call that fails is the
// one that tells the reason, taken into *error at once.
inline bool WriteAll(HANDLE output, const void* data, DWORD length, DWORD* error) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  while (length > 0) {
    DWORD written = 0;
    if (!WriteFile(output, bytes, length, &written, nullptr)) {
      *error = GetLastError();
      return false;
    }
    if (written == 0) {
      *error = ERROR_DISK_FULL;
      return false;
    }
    bytes += written;
    length -= written;
  }
  return true;
}
