#include <cstdio>
#include <cstring>

#include "platform/file_system.h"

namespace {

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9 open devices whatever their extension
// ("nul.txt" is still the null device), so they can never be output names.
bool IsDeviceName(const char* name) {
  std::size_t stem = std::strcspn(name, ".");
  while (stem > 0 && name[stem - 1] == ' ') --stem;
  char upper[8] = {};
  if (stem < 3 || stem > 7) return false;
  for (std::size_t i = 0; i < stem; ++i) upper[i] = UpperAscii(name[i]);
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* device : kDevices) {
    if (std::strcmp(upper, device) == 0) return true;
  }
  if (stem == 4 && (std::strncmp(upper, "COM", 3) == 0 || std::strncmp(upper, "LPT", 3) == 0)) {
    const unsigned char digit = static_cast<unsigned char>(upper[3]);
    // Windows also reserves the superscript digits 1, 2 and 3 of the ANSI code page.
    return (digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
  }
  return false;
}

// True when `path` names the very file `file` has open, under any name or link.
bool IsSameFile(const char* path, HANDLE file) {
  HANDLE other = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (other == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION a;
  BY_HANDLE_FILE_INFORMATION b;
  const bool same = GetFileInformationByHandle(other, &a) && GetFileInformationByHandle(file, &b) &&
                    a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
                    a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
  CloseHandle(other);
  return same;
}

}  // namespace

bool FileSystemAcceptsName(const char* name) {
  // A colon would address a drive or an alternate data stream; the others are
  // wildcards or quoting that CreateFileA refuses.
  if (std::strpbrk(name, "<>:\"|?*") != nullptr) return false;
  // Windows strips trailing dots and spaces, so "a." would land on "a".
  const std::size_t length = std::strlen(name);
  if (length > 0 && (name[length - 1] == '.' || name[length - 1] == ' ')) return false;
  return !IsDeviceName(name);
}

HANDLE CreateOutputFile(const char* path, HANDLE archive, bool* is_archive) {
  *is_archive = false;
  // The archive is open without write sharing, so the system itself refuses
  // to replace it under any name; only then is it worth asking why.
  HANDLE output = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (output == INVALID_HANDLE_VALUE) {
    const DWORD reason = GetLastError();
    *is_archive = IsSameFile(path, archive);
    SetLastError(reason);
  }
  return output;
}

DWORD CopyFileData(HANDLE /*from*/, HANDLE /*to*/, DWORD /*length*/) {
  // No call copies between two open handles here: ReadFile and WriteFile do it.
  return 0;
}

void DescribeLastError(char* out, std::size_t capacity) {
  const DWORD error = GetLastError();
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                error, 0, out, static_cast<DWORD>(capacity), nullptr);
  // The system's texts end in a full stop and a line end; the messages add their own.
  while (length > 0 && (out[length - 1] == '\r' || out[length - 1] == '\n' ||
                        out[length - 1] == ' ' || out[length - 1] == '.')) {
    --length;
  }
  if (length == 0) {
    std::snprintf(out, capacity, "system error %lu", static_cast<unsigned long>(error));
  } else {
    out[length] = '\0';
  }
}
