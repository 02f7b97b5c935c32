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

// What stands under `path`: whether it is the very file `file` has open,
// under any name or link, and whether it is a file on a disk at all. False
// when nothing can be opened there.
bool LookAt(const char* path, HANDLE file, bool* same, bool* disk_file, bool* folder) {
  HANDLE other = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (other == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION a;
  BY_HANDLE_FILE_INFORMATION b;
  const bool known = GetFileInformationByHandle(other, &a) != FALSE;
  *same = known && GetFileInformationByHandle(file, &b) &&
          a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
          a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
  *disk_file = GetFileType(other) == FILE_TYPE_DISK;
  *folder = known && (a.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  CloseHandle(other);
  return true;
}

// The output being written under a temporary name, to be renamed over its
// own when it is finished; or, for a name created in place, that name, to be
// removed if the entry is given up. One output is open at a time.
struct OutputNames {
  HANDLE file = INVALID_HANDLE_VALUE;
  bool temporary = false;
  char path[MAX_PATH];
  char temporary_path[MAX_PATH];
};
OutputNames g_output;

// A name no entry can give, longer than any output name, that says what it
// is: kTemporaryNamePrefix, the process, a count and the clock in
// hexadecimal, and kTemporaryNameSuffix. False when the path would pass
// MAX_PATH.
bool ComposeTemporaryPath(const char* path, unsigned attempt, char* out) {
  const char* last = path;
  for (const char* c = path; *c != '\0'; ++c) {
    if (*c == '\\' || *c == '/') last = c + 1;
  }
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const unsigned long long clock =
      static_cast<unsigned long long>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
  const int length = std::snprintf(out, MAX_PATH, "%.*s%s%08lx-%08x-%016llx%s",
                                   static_cast<int>(last - path), path, kTemporaryNamePrefix,
                                   static_cast<unsigned long>(GetCurrentProcessId()), attempt,
                                   clock, kTemporaryNameSuffix);
  return length > 0 && length < MAX_PATH;
}

HANDLE CreateNew(const char* path) {
  return CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
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

HANDLE CreateOutputFile(const char* path, HANDLE archive, DWORD* error) {
  // Most output names are new: a file this call creates cannot be the
  // archive, a link or a device.
  HANDLE output = CreateNew(path);
  bool temporary = false;
  if (output == INVALID_HANDLE_VALUE) {
    const DWORD reason = GetLastError();
    bool same = false;
    bool disk_file = true;
    bool folder = false;
    if (reason != ERROR_FILE_EXISTS && reason != ERROR_ALREADY_EXISTS) {
      // A sharing violation on the archive's own name says little: say why.
      *error = LookAt(path, archive, &same, &disk_file, &folder) && same ? kErrorOutputIsArchive
                                                                        : reason;
      return INVALID_HANDLE_VALUE;
    }
    // Something stands under the name (under another letter case, short
    // name or code-page spelling too). It is never opened for writing: a
    // link is not followed, and another run's file is not written into.
    if (LookAt(path, archive, &same, &disk_file, &folder)) {
      if (same) {
        *error = kErrorOutputIsArchive;
        return INVALID_HANDLE_VALUE;
      }
      if (folder) {
        *error = ERROR_ACCESS_DENIED;
        return INVALID_HANDLE_VALUE;
      }
      // A pipe or device under the name (under wine, a host FIFO) is
      // someone's, not an old output.
      if (!disk_file) {
        *error = kErrorNotRegularFile;
        return INVALID_HANDLE_VALUE;
      }
    }
    static unsigned attempts = 0;
    for (int tries = 0; tries < 8 && output == INVALID_HANDLE_VALUE; ++tries) {
      if (!ComposeTemporaryPath(path, ++attempts, g_output.temporary_path)) {
        *error = ERROR_FILENAME_EXCED_RANGE;
        return INVALID_HANDLE_VALUE;
      }
      output = CreateNew(g_output.temporary_path);
      if (output == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (output == INVALID_HANDLE_VALUE) {
      *error = GetLastError();
      return INVALID_HANDLE_VALUE;
    }
    temporary = true;
  } else if (GetFileType(output) != FILE_TYPE_DISK) {
    // Created, yet no file on a disk: a device name the checks did not know.
    CloseHandle(output);
    *error = kErrorNotRegularFile;
    return INVALID_HANDLE_VALUE;
  }
  g_output.file = output;
  g_output.temporary = temporary;
  std::snprintf(g_output.path, sizeof g_output.path, "%s", path);
  *error = NO_ERROR;
  return output;
}

DWORD FinishOutputFile(HANDLE output, OutputFate fate) {
  if (output != g_output.file) return ERROR_INVALID_HANDLE;
  g_output.file = INVALID_HANDLE_VALUE;
  DWORD result = CloseHandle(output) ? NO_ERROR : GetLastError();
  // Renamed over the old name only when whole; a new name keeps what it got.
  const bool rename_over = g_output.temporary && fate == OutputFate::kKeep && result == NO_ERROR;
  if (rename_over &&
      !MoveFileExA(g_output.temporary_path, g_output.path, MOVEFILE_REPLACE_EXISTING)) {
    result = GetLastError();
  }
  const bool remove = g_output.temporary ? !rename_over || result != NO_ERROR
                                         : fate == OutputFate::kDiscard;
  const char* written = g_output.temporary ? g_output.temporary_path : g_output.path;
  if (remove && !DeleteFileA(written) && result == NO_ERROR) result = GetLastError();
  return result;
}

DWORD CopyFileData(HANDLE /*from*/, HANDLE /*to*/, DWORD /*length*/) {
  // No call copies between two open handles here: ReadFile and WriteFile do it.
  return 0;
}

void DescribeError(DWORD code, char* out, std::size_t capacity) {
  if (code == kErrorOutputIsArchive) {
    std::snprintf(out, capacity, "The file is the archive being read");
    return;
  }
  if (code == kErrorNotRegularFile) {
    code = ERROR_ACCESS_DENIED;  // what opening a device or pipe as a file says here
  }
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                code, 0, out, static_cast<DWORD>(capacity), nullptr);
  // The system's texts end in a full stop and a line end; the messages add their own.
  while (length > 0 && (out[length - 1] == '\r' || out[length - 1] == '\n' ||
                        out[length - 1] == ' ' || out[length - 1] == '.')) {
    --length;
  }
  if (length == 0) {
    std::snprintf(out, capacity, "system error %lu", static_cast<unsigned long>(code));
  } else {
    out[length] = '\0';
  }
}
