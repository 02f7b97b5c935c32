#include <cstdio>
#include <cstring>

#include "platform/file_system.h"
#include "platform/output_primitives.h"

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

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Closes `file` and fails as an open of a folder does.
HANDLE Refuse(HANDLE file) {
  CloseHandle(file);
  SetLastError(ERROR_ACCESS_DENIED);
  return INVALID_HANDLE_VALUE;
}

// The output folder as kOutputPathFormat joins it; every output name is
// joined to it to make the path the system takes.
char g_folder[MAX_PATH];
bool g_folder_open = false;

// `name` in the output folder, into `path` (MAX_PATH bytes). False when the
// path would not fit, as CreateFileA would refuse it.
bool JoinToFolder(const char* name, char* path, DWORD* error) {
  const int length = std::snprintf(nullptr, 0, kOutputPathFormat, g_folder, name);
  if (!g_folder_open || length < 0 || length >= MAX_PATH) {
    *error = g_folder_open ? ERROR_FILENAME_EXCED_RANGE : ERROR_INVALID_HANDLE;
    return false;
  }
  wsprintfA(path, kOutputPathFormat, g_folder, name);
  return true;
}

// Whether `file` is `path`'s very file, and whether that is a file on a disk
// at all. The name is opened with no access and without following a link.
bool Identify(const char* path, HANDLE file, bool* same, bool* disk_file) {
  HANDLE other = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (other == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION a;
  BY_HANDLE_FILE_INFORMATION b;
  *same = GetFileInformationByHandle(other, &a) && GetFileInformationByHandle(file, &b) &&
          a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
          a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
  *disk_file = GetFileType(other) == FILE_TYPE_DISK;
  CloseHandle(other);
  return true;
}

HANDLE CreateForWriting(const char* path, DWORD* error) {
  // DELETE, so that a given-up output can be removed through this handle.
  HANDLE file = CreateFileA(path, GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    *error = code == ERROR_FILE_EXISTS ? ERROR_ALREADY_EXISTS : code;
    return file;
  }
  if (GetFileType(file) != FILE_TYPE_DISK) {
    // Created, yet no file on a disk: a device name the checks did not know.
    CloseHandle(file);
    *error = kErrorNotRegularFile;
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

}  // namespace

bool OpenFolderForOutputs(const char* folder, DWORD* error) {
  if (std::strlen(folder) + 2 > sizeof g_folder) {
    *error = ERROR_FILENAME_EXCED_RANGE;
    return false;
  }
  char spelt[MAX_PATH];
  (void)std::snprintf(g_folder, sizeof g_folder, "%s", SpellFolderForJoining(folder, spelt));
  g_folder_open = true;
  return true;
}

void CloseFolderForOutputs() { g_folder_open = false; }

bool LookAtName(const char* name, HANDLE archive, NameKind* kind, char* long_name,
                DWORD* error) {
  char path[MAX_PATH];
  if (!JoinToFolder(name, path, error)) return false;
  // The folder's own listing says what stands there without opening it: a
  // link is a reparse point, and the long name of what a short alias names.
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(path, &found);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code != ERROR_FILE_NOT_FOUND && code != ERROR_NO_MORE_FILES) {
      *error = code;
      return false;
    }
    *kind = NameKind::kAbsent;
    return true;
  }
  FindClose(search);
  const DWORD attributes = found.dwFileAttributes;
  if (lstrcmpiA(found.cFileName, name) != 0 && found.cAlternateFileName[0] != '\0' &&
      lstrcmpiA(found.cAlternateFileName, name) == 0) {
    // Writing there would write into a file of another name.
    (void)std::snprintf(long_name, MAX_PATH, "%s", found.cFileName);
    *kind = NameKind::kShortAlias;
    return true;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    *kind = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? NameKind::kLinkToFolder
                                                         : NameKind::kFile;
    return true;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    *kind = NameKind::kFolder;
    return true;
  }
  bool same = false;
  bool disk_file = true;
  if (Identify(path, archive, &same, &disk_file)) {
    if (same) {
      *kind = NameKind::kArchive;
      return true;
    }
    // A pipe or a device under the name (under wine, a host FIFO).
    if (!disk_file) {
      *kind = NameKind::kOther;
      return true;
    }
  }
  *kind = NameKind::kFile;
  return true;
}

HANDLE CreateUnnamedOutput(DWORD* error) {
  // Files here always have a name: outputs are made under temporary ones.
  *error = ERROR_NOT_SUPPORTED;
  return INVALID_HANDLE_VALUE;
}

HANDLE CreateNamedOutput(const char* name, DWORD* error) {
  char path[MAX_PATH];
  if (!JoinToFolder(name, path, error)) return INVALID_HANDLE_VALUE;
  return CreateForWriting(path, error);
}

bool LinkOutput(HANDLE /*output*/, const char* /*name*/, bool* exists, DWORD* error) {
  *exists = false;
  *error = ERROR_NOT_SUPPORTED;
  return false;
}

bool RenameToNewName(const char* from, const char* to, bool* exists, DWORD* error) {
  *exists = false;
  char from_path[MAX_PATH];
  char to_path[MAX_PATH];
  if (!JoinToFolder(from, from_path, error) || !JoinToFolder(to, to_path, error)) return false;
  if (MoveFileExA(from_path, to_path, MOVEFILE_WRITE_THROUGH)) return true;
  *error = GetLastError();
  *exists = *error == ERROR_ALREADY_EXISTS || *error == ERROR_FILE_EXISTS;
  return false;
}

bool RenameOverName(const char* from, const char* to, DWORD* error) {
  char from_path[MAX_PATH];
  char to_path[MAX_PATH];
  if (!JoinToFolder(from, from_path, error) || !JoinToFolder(to, to_path, error)) return false;
  // A file held open elsewhere (a viewer, an indexer, a virus scanner) refuses
  // to be replaced for a moment: the rename is tried again a few times, about
  // a second in all, before the entry is left under its temporary name.
  for (DWORD wait = 10;; wait *= 2) {
    if (MoveFileExA(from_path, to_path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return true;
    }
    *error = GetLastError();
    if (*error == ERROR_ACCESS_DENIED) {
      // A read-only file is replaced as on Linux, where only the folder's
      // permissions decide: its flag is taken off first.
      const DWORD attributes = GetFileAttributesA(to_path);
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
          (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
          SetFileAttributesA(to_path, attributes & ~FILE_ATTRIBUTE_READONLY)) {
        continue;
      }
    }
    if ((*error != ERROR_SHARING_VIOLATION && *error != ERROR_ACCESS_DENIED &&
         *error != ERROR_LOCK_VIOLATION) ||
        wait > 640) {
      return false;
    }
    Sleep(wait);
  }
}

bool RemoveOwnName(const char* name, DWORD* error) {
  char path[MAX_PATH];
  if (!JoinToFolder(name, path, error)) return false;
  if (DeleteFileA(path)) return true;
  *error = GetLastError();
  return false;
}

bool DropOutput(HANDLE output, const char* temporary, DWORD* error) {
  // Removed through its own handle: the name it had may already be another's.
  FILE_DISPOSITION_INFO disposition = {TRUE};
  const bool marked = SetFileInformationByHandle(output, FileDispositionInfo, &disposition,
                                                 sizeof disposition) != FALSE;
  CloseHandle(output);
  if (marked || temporary == nullptr) return true;
  return RemoveOwnName(temporary, error);
}

DWORD BeginFlush(HANDLE output) {
  // No call here flushes a whole file system without rights over the volume:
  // each replacement is flushed on its own, before it is closed.
  return FlushFileBuffers(output) ? NO_ERROR : GetLastError();
}

// Each replacement was flushed by BeginFlush or FlushClosedOutput.
DWORD FlushFolder() { return NO_ERROR; }

DWORD FlushClosedOutput(const char* temporary) {
  char path[MAX_PATH];
  DWORD error = NO_ERROR;
  if (!JoinToFolder(temporary, path, &error)) return error;
  HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  if (!FlushFileBuffers(file)) error = GetLastError();
  CloseHandle(file);
  return error;
}

void TemporaryNameSeed(unsigned* process, unsigned long long* clock) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  *process = static_cast<unsigned>(GetCurrentProcessId());
  *clock = static_cast<unsigned long long>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
}

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

DWORD CopyFileData(HANDLE /*from*/, HANDLE /*to*/, DWORD /*length*/) {
  // No call copies between two open handles here: ReadFile and WriteFile do it.
  return 0;
}

void DescribeError(DWORD code, char* out, std::size_t capacity) {
  if (code == kErrorOutputIsArchive) {
    (void)std::snprintf(out, capacity, "The file is the archive being read");
    return;
  }
  if (code == kErrorShortName) {
    (void)std::snprintf(out, capacity, "The name is the short name of another file");
    return;
  }
  if (code == kErrorLinkToFolder) {
    (void)std::snprintf(out, capacity, "A link to a folder stands there, and no file can replace it");
    return;
  }
  if (code == kErrorNotRegularFile || code == kErrorNameIsFolder) {
    code = ERROR_ACCESS_DENIED;  // what opening a folder, a device or a pipe as a file says here
  }
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                code, 0, out, static_cast<DWORD>(capacity), nullptr);
  // The system's texts end in a full stop and a line end; the messages add their own.
  while (length > 0 && (out[length - 1] == '\r' || out[length - 1] == '\n' ||
                        out[length - 1] == ' ' || out[length - 1] == '.')) {
    --length;
  }
  if (length == 0) {
    (void)std::snprintf(out, capacity, "system error %lu", static_cast<unsigned long>(code));
  } else {
    out[length] = '\0';
  }
}
