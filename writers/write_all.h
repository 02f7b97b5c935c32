#pragma once

#include "platform/win32_files.h"

// A write counts only when the file took every byte of it.
inline bool WriteAll(HANDLE output, const void* data, DWORD length) {
  DWORD written = 0;
  return WriteFile(output, data, length, &written, nullptr) != FALSE && written == length;
}
