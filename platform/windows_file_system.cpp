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

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Closes `file` and fails as an open of a folder does.
HANDLE Refuse(HANDLE file) {
  CloseHandle(file);
  SetLastError(ERROR_ACCESS_DENIED);
  return INVALID_HANDLE_VALUE;
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

const char* SpellFolderForJoining(const char* folder, char* buffer) {
  const std::size_t length = std::strlen(folder);
  // Too long for any output path: every entry is refused as such anyway.
  if (length + 2 > kOutputPathCapacity) return folder;
  std::memcpy(buffer, folder, length + 1);
  // A bare drive such as Y: is that drive's current folder, but Y: followed
  // by a backslash is its root; Y:. keeps the meaning when one follows.
  const char letter = static_cast<char>(folder[0] | 0x20);
  if (length == 2 && folder[1] == ':' && letter >= 'a' && letter <= 'z') {
    buffer[2] = '.';
    buffer[3] = '\0';
    return buffer;
  }
  // A folder that ends in a separator (out\, C:\, or \ for the root of the
  // current drive) gives that one up, so that the join does not double it:
  // \ joined to \name would be a network path, and a path that starts with
  // \\?\ is taken literally, an empty component included.
  if (length > 0 && IsSeparator(folder[length - 1])) buffer[length - 1] = '\0';
  return buffer;
}

HANDLE OpenArchive(const char* path) {
  HANDLE archive = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (archive == INVALID_HANDLE_VALUE) return archive;
  // NUL, CON, pipes and, under wine, the host's character devices are of
  // another type. A whole disk or volume (\\.\C:) and, under wine, a host
  // block device are of the disk type too, but only a file has information
  // of its own, the identity that IsSameFile compares included.
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(archive) != FILE_TYPE_DISK || !GetFileInformationByHandle(archive, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return Refuse(archive);
  }
  return archive;
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
    return output;
  }
  // A pipe or a device under the name (under wine, a host FIFO) opens like a
  // file; writing into it would lose the entry or wait for a reader forever.
  // The type alone is asked: file information costs far more under wine.
  if (GetFileType(output) != FILE_TYPE_DISK) return Refuse(output);
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
