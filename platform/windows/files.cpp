#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/file_system.h"
#include "platform/output_primitives.h"

namespace {

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
  // Readable by others while it is written, as a new name is written in place;
  // shared for deletion, so that a stop's handler (RemoveTemporariesOnStop),
  // which runs while the run's handle is open, can remove a temporary.
  HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
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

namespace {

bool OpenFolder(const char* folder, DWORD* error) {
  if (std::strlen(folder) + 2 > sizeof g_folder) {
    *error = ERROR_FILENAME_EXCED_RANGE;
    return false;
  }
  char spelt[MAX_PATH];
  (void)std::snprintf(g_folder, sizeof g_folder, "%s", SpellFolderForJoining(folder, spelt));
  g_folder_open = true;
  return true;
}

void CloseFolder() { g_folder_open = false; }

// Names as the file system compares them: code point by code point, letter
// case aside, not by the rules of a language.
bool SameName(const char* a, const char* b) {
  WCHAR wide_a[MAX_PATH];
  WCHAR wide_b[MAX_PATH];
  if (MultiByteToWideChar(CP_ACP, 0, a, -1, wide_a, MAX_PATH) == 0 ||
      MultiByteToWideChar(CP_ACP, 0, b, -1, wide_b, MAX_PATH) == 0) {
    return std::strcmp(a, b) == 0;
  }
  return CompareStringOrdinal(wide_a, -1, wide_b, -1, TRUE) == CSTR_EQUAL;
}

// Only these reparse points are links; the others (deduplicated, cloud or
// app files) stand for the file or folder they hold.
// A listing that gives no tag at all (wine, for the host's links) is taken
// at its attribute.
bool IsLink(const WIN32_FIND_DATAA& found) {
  return (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         (found.dwReserved0 == IO_REPARSE_TAG_SYMLINK ||
          found.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT || found.dwReserved0 == 0);
}

bool LookAtName(const char* name, HANDLE archive, NameKind* kind, char* long_name, DWORD* error) {
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
  if (!SameName(found.cFileName, name) && found.cAlternateFileName[0] != '\0' &&
      SameName(found.cAlternateFileName, name)) {
    // Writing there would write into a file of another name.
    (void)std::snprintf(long_name, MAX_PATH, "%s", found.cFileName);
    *kind = NameKind::kShortAlias;
    return true;
  }
  const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (IsLink(found)) {
    *kind = folder ? NameKind::kLinkToFolder : NameKind::kFile;
    return true;
  }
  if (folder) {
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

HANDLE CreateNamed(const char* name, DWORD* error) {
  char path[MAX_PATH];
  if (!JoinToFolder(name, path, error)) return INVALID_HANDLE_VALUE;
  return CreateForWriting(path, error);
}

HANDLE OpenAttributes(const char* path) {
  return CreateFileA(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

std::uint64_t IdentityOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return static_cast<std::uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
}

// When the file was made: a file index freed may be given to a new file
// (under wine, the host's inode number), whose creation time is its own.
std::uint64_t CreationStamp(const BY_HANDLE_FILE_INFORMATION& info) {
  return static_cast<std::uint64_t>(info.ftCreationTime.dwHighDateTime) << 32 |
         info.ftCreationTime.dwLowDateTime;
}

// The read-only flag of the file under `name` itself (a link's own, not its
// target's).
bool ReadOnlyMarkOf(const char* name, ReadOnlyMark* mark) {
  char path[MAX_PATH];
  DWORD error = NO_ERROR;
  if (!JoinToFolder(name, path, &error)) return false;
  HANDLE file = OpenAttributes(path);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(file, &info) != FALSE;
  if (known) {
    mark->read_only = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 &&
                      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    mark->attributes = info.dwFileAttributes;
    mark->names = info.nNumberOfLinks;
    mark->volume = info.dwVolumeSerialNumber;
    mark->identity = IdentityOf(info);
  }
  CloseHandle(file);
  return known;
}

// Sets the attributes through a handle on the file itself, if it is still
// the one the mark was taken from.
bool SetAttributes(const char* name, const ReadOnlyMark& mark, DWORD attributes) {
  char path[MAX_PATH];
  DWORD error = NO_ERROR;
  if (!JoinToFolder(name, path, &error)) return false;
  HANDLE file = OpenAttributes(path);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  bool done = false;
  if (GetFileInformationByHandle(file, &info) && info.dwVolumeSerialNumber == mark.volume &&
      IdentityOf(info) == mark.identity) {
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes = attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
    done = SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) != FALSE;
  }
  CloseHandle(file);
  return done;
}

bool RenameOver(const char* from, const char* to, DWORD* error) {
  char from_path[MAX_PATH];
  char to_path[MAX_PATH];
  if (!JoinToFolder(from, from_path, error) || !JoinToFolder(to, to_path, error)) return false;
  if (MoveFileExA(from_path, to_path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  *error = GetLastError();
  return false;
}

bool RemoveOwnName(const char* name, DWORD* error) {
  char path[MAX_PATH];
  if (!JoinToFolder(name, path, error)) return false;
  if (DeleteFileA(path)) return true;
  *error = GetLastError();
  return false;
}

bool DropOutput(HANDLE output, const char* temporary, DWORD* error) {
  // Only ever one of the run's own temporaries, a name no one else makes.
  (void)CloseHandle(output);  // its bytes are given up: how the close went does not matter
  return RemoveOwnName(temporary, error);
}

// No call here starts the writing of a file's bytes without waiting for it:
// make_durable writes them.
DWORD StartWriteBack(HANDLE /*output*/) { return ERROR_NOT_SUPPORTED; }

bool Hold(HANDLE output, bool keep_open, HeldFile* held, DWORD* error) {
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(output, &info) != FALSE;
  if (known) {
    held->volume = info.dwVolumeSerialNumber;
    held->identity = IdentityOf(info);
    held->stamp = CreationStamp(info);
  } else {
    *error = GetLastError();
  }
  if (keep_open && known) {
    held->open = reinterpret_cast<std::intptr_t>(output);
    return true;
  }
  if (!CloseHandle(output) && known) {
    *error = GetLastError();
    return false;
  }
  return known;
}

// Whether `file` is held's file and a file on a disk.
bool IsHeld(HANDLE file, const HeldFile& held) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) &&
         (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
         info.dwVolumeSerialNumber == held.volume && IdentityOf(info) == held.identity &&
         CreationStamp(info) == held.stamp;
}

bool OpenHeld(const char* name, HeldFile* held, DWORD* error) {
  char path[MAX_PATH];
  if (!JoinToFolder(name, path, error)) return false;
  // Written to by the flush; never through a link.
  HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return false;
  }
  if (!IsHeld(file, *held)) {
    CloseHandle(file);
    *error = kErrorNotOwnTemporary;
    return false;
  }
  held->open = reinterpret_cast<std::intptr_t>(file);
  return true;
}

bool IsHeldFile(const char* name, const HeldFile& held, bool* same, DWORD* error) {
  char path[MAX_PATH];
  if (!JoinToFolder(name, path, error)) return false;
  HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return false;
  }
  *same = IsHeld(file, held);
  CloseHandle(file);
  return true;
}

DWORD LetGo(HeldFile* held) {
  HANDLE file = reinterpret_cast<HANDLE>(held->open);
  held->open = -1;
  if (file != INVALID_HANDLE_VALUE && !CloseHandle(file)) return GetLastError();
  return NO_ERROR;
}

// Each file's own bytes, one after the other: no call here flushes several
// files at once, nor a volume without rights over it.
DWORD MakeDurable(HeldFile* files, std::size_t count, Durability how, DWORD* errors) {
  if (how == Durability::kTogether) return ERROR_NOT_SUPPORTED;
  if (how == Durability::kFileSystem) {
    if (count > 0) errors[0] = ERROR_NOT_SUPPORTED;
    return NO_ERROR;
  }
  for (std::size_t i = 0; i < count; ++i) {
    errors[i] =
        FlushFileBuffers(reinterpret_cast<HANDLE>(files[i].open)) ? NO_ERROR : GetLastError();
  }
  return NO_ERROR;
}

// Nothing here says whether a volume's flush would report every failure.
void DescribeFileSystem(FileSystemFacts* facts) { *facts = FileSystemFacts{}; }

// A process may hold millions of handles.
std::size_t OpenFilesAllowed() { return std::size_t{1} << 24; }

bool FreeSpace(std::uint64_t* bytes) {
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExA(g_folder, &available, nullptr, nullptr)) return false;
  *bytes = available.QuadPart;
  return true;
}

void Pause(unsigned milliseconds) { Sleep(milliseconds); }

void TemporaryNameSeed(unsigned* process, unsigned long long* clock) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  *process = static_cast<unsigned>(GetCurrentProcessId());
  *clock = static_cast<unsigned long long>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
}

// The temporaries a stop removes, once publication has named them.
std::atomic<const LiveTemporaries*> g_live{nullptr};

// Runs on a thread of its own, while the run goes on.
BOOL WINAPI RemoveTemporariesOnStop(DWORD /*event*/) {
  const LiveTemporaries* live = g_live.load();
  const TemporaryNameComposer compose = live->compose.load();
  const unsigned next = live->next.load();
  if (compose != nullptr) {
    char name[kTemporaryCapacity];
    char path[MAX_PATH];
    DWORD error = NO_ERROR;
    for (unsigned number = live->first.load(); number < next; ++number) {
      compose(number, name);
      if (JoinToFolder(name, path, &error)) (void)DeleteFileA(path);
    }
  }
  return FALSE;  // the next handler, the system's, ends the process
}

void RemoveOnStop(const LiveTemporaries* live) {
  if (g_live.exchange(live) != nullptr) return;
  (void)SetConsoleCtrlHandler(RemoveTemporariesOnStop, TRUE);
}

}  // namespace

const OutputPrimitives kSystemOutputPrimitives = {
    OpenFolder,  CloseFolder,        LookAtName,
    CreateNamed, RenameOver,         RemoveOwnName,
    DropOutput,  StartWriteBack,     Hold,
    OpenHeld,    IsHeldFile,         LetGo,
    MakeDurable, DescribeFileSystem, OpenFilesAllowed,
    FreeSpace,   ReadOnlyMarkOf,     SetAttributes,
    Pause,       TemporaryNameSeed,  RemoveOnStop,
    true,
};

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

HANDLE OpenForReading(const char* path) {
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
  const char* own = DescribeOwnError(code);
  if (own != nullptr) {
    (void)std::snprintf(out, capacity, "%s", own);
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
