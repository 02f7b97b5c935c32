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

// The output folder, opened once: every output is made, looked at, renamed
// and removed relative to this handle, never by a path joined to the
// folder's, so that the folder renamed and swapped for a link or a junction
// during the run cannot redirect a single output.
HANDLE g_folder = INVALID_HANDLE_VALUE;
const NativeFileCalls* g_native = nullptr;

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// What a listing says when nothing matches the name asked for.
constexpr NTSTATUS kNoSuchFile = static_cast<NTSTATUS>(0xC000000Fu);
constexpr NTSTATUS kNoMoreFiles = static_cast<NTSTATUS>(0x80000006u);

// The code page KERNEL32 reads a path's bytes in.
UINT PathCodePage() { return AreFileApisANSI() ? CP_ACP : CP_OEMCP; }

// `name` in the code page paths are read in, as UTF-16 into `wide`
// (MAX_PATH characters).
bool WidenName(const char* name, WCHAR* wide, USHORT* bytes, DWORD* error) {
  const int length = MultiByteToWideChar(PathCodePage(), 0, name, -1, wide, MAX_PATH);
  if (length <= 0) {
    const DWORD code = GetLastError();
    *error = code == ERROR_INSUFFICIENT_BUFFER ? ERROR_FILENAME_EXCED_RANGE : code;
    return false;
  }
  *bytes = static_cast<USHORT>((length - 1) * sizeof(WCHAR));
  return true;
}

// The Win32 code of a native call's status, as KERNEL32 would report it.
DWORD ErrorOf(NTSTATUS status) {
  const DWORD error = g_native->status_to_error(status);
  return error == NO_ERROR ? ERROR_INVALID_FUNCTION : error;
}

// Opens or creates the name of `wide_bytes` bytes at `wide` in the folder
// through the folder's handle. Names are matched in any letter case, as
// KERNEL32's own opens match them. A handle for synchronous calls, with a
// file position, as CreateFileA gives.
HANDLE OpenInFolderWide(WCHAR* wide, USHORT wide_bytes, ACCESS_MASK access, ULONG share,
                        ULONG disposition, ULONG options, DWORD* error) {
  if (g_folder == INVALID_HANDLE_VALUE) {
    *error = ERROR_INVALID_HANDLE;
    return INVALID_HANDLE_VALUE;
  }
  UNICODE_STRING object_name = {wide_bytes, wide_bytes, wide};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &object_name, OBJ_CASE_INSENSITIVE, g_folder, nullptr);
  IO_STATUS_BLOCK status_block;
  HANDLE file = INVALID_HANDLE_VALUE;
  const NTSTATUS status = g_native->create_file(
      &file, access | SYNCHRONIZE, &attributes, &status_block, nullptr, FILE_ATTRIBUTE_NORMAL,
      share, disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (!NT_SUCCESS(status)) {
    *error = ErrorOf(status);
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

HANDLE OpenInFolder(const char* name, ACCESS_MASK access, ULONG share, ULONG disposition,
                    ULONG options, DWORD* error) {
  WCHAR wide[MAX_PATH];
  USHORT bytes = 0;
  if (!WidenName(name, wide, &bytes, error)) return INVALID_HANDLE_VALUE;
  return OpenInFolderWide(wide, bytes, access, share, disposition, options, error);
}

// An existing name in the folder, the name itself: a link is opened as the
// link, never followed.
HANDLE OpenNameItself(const char* name, ACCESS_MASK access, DWORD* error) {
  return OpenInFolder(name, access, kShareAll, FILE_OPEN, FILE_OPEN_REPARSE_POINT, error);
}

// What the run compares of a file it opened by a name in the folder.
struct FileFacts {
  DWORD attributes;
  DWORD links;
  std::uint64_t volume;
  std::uint64_t identity;  // the file's number on its volume
  // When the file was made: a number freed may be given to a new file
  // (under wine, the host's inode number), whose creation time is its own.
  std::uint64_t stamp;
};

std::uint64_t g_folder_volume = 0;

// The facts of a file opened by a name in the folder, asked of the file
// itself: never of its path, which wine would walk again. The name itself
// is opened, never a link's target nor a mount point's volume, so the
// file lies on the folder's volume.
bool FactsOf(HANDLE file, FileFacts* facts, DWORD* error) {
  FILE_BASIC_INFORMATION basic = {};
  FILE_STANDARD_INFORMATION standard = {};
  FILE_INTERNAL_INFORMATION internal = {};
  IO_STATUS_BLOCK status_block;
  NTSTATUS status = g_native->query_information_file(file, &status_block, &basic, sizeof basic,
                                                     FileBasicInformation);
  if (NT_SUCCESS(status)) {
    status = g_native->query_information_file(file, &status_block, &standard, sizeof standard,
                                              FileStandardInformation);
  }
  if (NT_SUCCESS(status)) {
    status = g_native->query_information_file(file, &status_block, &internal, sizeof internal,
                                              FileInternalInformation);
  }
  if (!NT_SUCCESS(status)) {
    *error = ErrorOf(status);
    return false;
  }
  *facts = {basic.FileAttributes, standard.NumberOfLinks, g_folder_volume,
            static_cast<std::uint64_t>(internal.IndexNumber.QuadPart),
            static_cast<std::uint64_t>(basic.CreationTime.QuadPart)};
  return true;
}

// Whether `file` is the very file under `name`, and whether that is a file
// on a disk at all. The name is opened for its attributes only, without
// following a link.
bool Identify(const char* name, HANDLE file, bool* same, bool* disk_file) {
  DWORD error = NO_ERROR;
  HANDLE other = OpenNameItself(name, FILE_READ_ATTRIBUTES, &error);
  if (other == INVALID_HANDLE_VALUE) return false;
  FileFacts standing = {};
  BY_HANDLE_FILE_INFORMATION info;
  *same = FactsOf(other, &standing, &error) && GetFileInformationByHandle(file, &info) &&
          info.dwVolumeSerialNumber == standing.volume &&
          (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow) ==
              standing.identity;
  *disk_file = GetFileType(other) == FILE_TYPE_DISK;
  CloseHandle(other);
  return true;
}

// Removes the file `file` has open, by that handle: whatever name it has
// now, and nothing that stands under its old name instead.
bool RemoveThrough(HANDLE file, DWORD* error) {
  FILE_DISPOSITION_INFORMATION disposition = {TRUE};
  IO_STATUS_BLOCK status_block;
  const NTSTATUS status = g_native->set_information_file(
      file, &status_block, &disposition, sizeof disposition, FileDispositionInformation);
  if (NT_SUCCESS(status)) return true;
  *error = ErrorOf(status);
  return false;
}

}  // namespace

const NativeFileCalls* NativeCalls(DWORD* error) {
  static NativeFileCalls calls = {};
  static bool found = false;
  if (found) return &calls;
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  if (ntdll == nullptr) {
    *error = GetLastError();
    return nullptr;
  }
  // Each call's own type, from the untyped address the loader gives.
  auto find = [ntdll](const char* name, auto* call) {
    const FARPROC address = GetProcAddress(ntdll, name);
    std::memcpy(call, &address, sizeof address);
    return address != nullptr;
  };
  if (!find("NtCreateFile", &calls.create_file) ||
      !find("NtQueryInformationFile", &calls.query_information_file) ||
      !find("NtSetInformationFile", &calls.set_information_file) ||
      !find("NtQueryDirectoryFile", &calls.query_directory_file) ||
      !find("NtQueryVolumeInformationFile", &calls.query_volume_information_file) ||
      !find("RtlNtStatusToDosError", &calls.status_to_error)) {
    *error = GetLastError();
    return nullptr;
  }
  found = true;
  return &calls;
}

namespace {

bool OpenFolder(const char* folder, DWORD* error) {
  g_native = NativeCalls(error);
  if (g_native == nullptr) return false;
  // Opened as given (C:\ is the root, Y: that drive's current folder), a
  // link or a junction followed once, here. Only the folder's attributes are
  // read through the handle, so a folder that may be written but not listed
  // is opened as any other; others may rename or remove it meanwhile, which
  // moves nothing the run makes.
  HANDLE handle = CreateFileA(folder, FILE_READ_ATTRIBUTES | FILE_TRAVERSE | SYNCHRONIZE, kShareAll,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) {
    *error = GetLastError();
    CloseHandle(handle);
    return false;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    *error = ERROR_DIRECTORY;
    CloseHandle(handle);
    return false;
  }
  g_folder = handle;
  g_folder_volume = info.dwVolumeSerialNumber;
  return true;
}

void ForgetChecked();

void CloseFolder() {
  ForgetChecked();
  if (g_folder != INVALID_HANDLE_VALUE) CloseHandle(g_folder);
  g_folder = INVALID_HANDLE_VALUE;
}

// Names as the file system compares them: code point by code point, letter
// case aside, not by the rules of a language.
bool SameName(const char* a, const char* b) {
  WCHAR wide_a[MAX_PATH];
  WCHAR wide_b[MAX_PATH];
  if (MultiByteToWideChar(PathCodePage(), 0, a, -1, wide_a, MAX_PATH) == 0 ||
      MultiByteToWideChar(PathCodePage(), 0, b, -1, wide_b, MAX_PATH) == 0) {
    return std::strcmp(a, b) == 0;
  }
  return CompareStringOrdinal(wide_a, -1, wide_b, -1, TRUE) == CSTR_EQUAL;
}

// Only these reparse points are links; the others (deduplicated, cloud or
// app files) stand for the file or folder they hold.
// A listing that gives no tag at all (wine, for the host's links) is taken
// at its attribute.
bool IsLink(DWORD attributes, DWORD tag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         (tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT || tag == 0);
}

// What the folder's listing says of one name: its attributes, its reparse
// tag, its long name and its short alias (empty when it has none), in the
// code page paths are read in.
struct Listed {
  DWORD attributes;
  DWORD tag;
  char name[MAX_PATH];
  char alias[16];
};

// The listing's entry for `name` (a short alias matches the file it is the
// alias of). False with the reason, else *found false when nothing of that
// name is listed. The folder is listed through a handle of its own, opened
// through the folder's, as a listing keeps the first name it was asked for.
bool FindListed(const char* name, Listed* listed, bool* found, DWORD* error) {
  WCHAR wide[MAX_PATH];
  USHORT bytes = 0;
  if (!WidenName(name, wide, &bytes, error)) return false;
  WCHAR itself[1] = {};
  HANDLE listing = OpenInFolderWide(itself, 0, FILE_LIST_DIRECTORY, kShareAll, FILE_OPEN,
                                    FILE_DIRECTORY_FILE, error);
  if (listing == INVALID_HANDLE_VALUE) return false;
  union {
    FILE_BOTH_DIR_INFORMATION entry;
    unsigned char bytes[sizeof(FILE_BOTH_DIR_INFORMATION) + MAX_PATH * sizeof(WCHAR)];
  } buffer;
  UNICODE_STRING mask = {bytes, bytes, wide};
  IO_STATUS_BLOCK status_block;
  const NTSTATUS status = g_native->query_directory_file(
      listing, nullptr, nullptr, nullptr, &status_block, &buffer, sizeof buffer,
      FileBothDirectoryInformation, TRUE, &mask, TRUE);
  CloseHandle(listing);
  if (status == kNoSuchFile || status == kNoMoreFiles) {
    *found = false;
    return true;
  }
  if (!NT_SUCCESS(status)) {
    *error = ErrorOf(status);
    return false;
  }
  const FILE_BOTH_DIR_INFORMATION& entry = buffer.entry;
  listed->attributes = entry.FileAttributes;
  // The listing gives a reparse point's tag where the extended attributes'
  // size would stand.
  listed->tag = entry.EaSize;
  const int name_length = WideCharToMultiByte(
      PathCodePage(), 0, entry.FileName, static_cast<int>(entry.FileNameLength / sizeof(WCHAR)),
      listed->name, MAX_PATH - 1, nullptr, nullptr);
  const int alias_length =
      WideCharToMultiByte(PathCodePage(), 0, entry.ShortName, entry.ShortNameLength / sizeof(WCHAR),
                          listed->alias, sizeof listed->alias - 1, nullptr, nullptr);
  listed->name[name_length > 0 ? name_length : 0] = '\0';
  listed->alias[alias_length > 0 ? alias_length : 0] = '\0';
  *found = true;
  return true;
}

bool LookAtName(const char* name, HANDLE archive, NameKind* kind, char* long_name, DWORD* error) {
  // The folder's own listing says what stands there without opening it: a
  // link is a reparse point, and the long name of what a short alias names.
  Listed found;
  bool listed = false;
  if (!FindListed(name, &found, &listed, error)) return false;
  if (!listed) {
    *kind = NameKind::kAbsent;
    return true;
  }
  if (!SameName(found.name, name) && found.alias[0] != '\0' && SameName(found.alias, name)) {
    // Writing there would write into a file of another name.
    (void)std::snprintf(long_name, MAX_PATH, "%s", found.name);
    *kind = NameKind::kShortAlias;
    return true;
  }
  const bool folder = (found.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (IsLink(found.attributes, found.tag)) {
    *kind = folder ? NameKind::kLinkToFolder : NameKind::kFile;
    return true;
  }
  if (folder) {
    *kind = NameKind::kFolder;
    return true;
  }
  bool same = false;
  bool disk_file = true;
  if (Identify(name, archive, &same, &disk_file)) {
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
  // Readable by others while it is written, as a new name is written in
  // place; shared for deletion, so that a stop's handler
  // (RemoveTemporariesOnStop), which runs while the run's handle is open, can
  // remove a temporary. The create fails on anything that stands there, a
  // link included, dangling or not.
  HANDLE file = OpenInFolder(name, FILE_GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                             FILE_CREATE, FILE_NON_DIRECTORY_FILE, error);
  if (file == INVALID_HANDLE_VALUE) return file;
  if (GetFileType(file) != FILE_TYPE_DISK) {
    // Created, yet no file on a disk: a device the checks did not know.
    CloseHandle(file);
    *error = kErrorNotRegularFile;
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

HANDLE OpenAttributes(const char* name) {
  DWORD error = NO_ERROR;
  return OpenNameItself(name, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, &error);
}

// The read-only flag of the file under `name` itself (a link's own, not its
// target's).
bool ReadOnlyMarkOf(const char* name, ReadOnlyMark* mark) {
  HANDLE file = OpenAttributes(name);
  if (file == INVALID_HANDLE_VALUE) return false;
  FileFacts facts = {};
  DWORD error = NO_ERROR;
  const bool known = FactsOf(file, &facts, &error);
  if (known) {
    mark->read_only = (facts.attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
                      (facts.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    mark->attributes = facts.attributes;
    mark->names = facts.links;
    mark->volume = facts.volume;
    mark->identity = facts.identity;
  }
  CloseHandle(file);
  return known;
}

// Sets the attributes through a handle on the file itself, if it is still
// the one the mark was taken from.
bool SetAttributes(const char* name, const ReadOnlyMark& mark, DWORD attributes) {
  HANDLE file = OpenAttributes(name);
  if (file == INVALID_HANDLE_VALUE) return false;
  FileFacts facts = {};
  DWORD error = NO_ERROR;
  bool done = false;
  if (FactsOf(file, &facts, &error) && facts.volume == mark.volume &&
      facts.identity == mark.identity) {
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes = attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
    done = SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) != FALSE;
  }
  CloseHandle(file);
  return done;
}

// The temporary IsHeldFile found last to be the run's own file, and that
// file's identity. The rename or the removal that follows opens the name,
// checks that identity on the handle it opened and goes through that
// handle, so that nothing put under the temporary's name after the look can
// take the output's name or be removed. No handle is kept between the two:
// one with the right to rename the file would keep others from opening it
// without leave to delete it.
struct CheckedTemporary {
  char name[kTemporaryCapacity];
  HeldFile held;
};

CheckedTemporary g_checked = {};

void ForgetChecked() { g_checked.name[0] = '\0'; }

// Renames the file `file` has open to `to` in the folder, through both
// handles: the file renamed is the one opened, and the name it takes is in
// the folder first opened, wherever that folder is now.
bool RenameThrough(HANDLE file, const char* to, DWORD* error) {
  union {
    FILE_RENAME_INFORMATION rename;
    unsigned char bytes[sizeof(FILE_RENAME_INFORMATION) + MAX_PATH * sizeof(WCHAR)];
  } buffer = {};
  USHORT bytes = 0;
  if (!WidenName(to, buffer.rename.FileName, &bytes, error)) return false;
  buffer.rename.ReplaceIfExists = TRUE;
  buffer.rename.RootDirectory = g_folder;
  buffer.rename.FileNameLength = bytes;
  IO_STATUS_BLOCK status_block;
  const NTSTATUS status = g_native->set_information_file(
      file, &status_block, &buffer, static_cast<ULONG>(sizeof buffer), FileRenameInformation);
  if (NT_SUCCESS(status)) return true;
  *error = ErrorOf(status);
  return false;
}

// One of the run's temporaries, opened to be renamed or removed: the name
// itself, a file, never a folder and never through a link.
HANDLE OpenOwnName(const char* name, DWORD* error) {
  return OpenInFolder(name, DELETE | FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN,
                      FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, error);
}

bool IsHeld(HANDLE file, const HeldFile& held);

// `name` opened to be renamed or removed; when it is the temporary
// IsHeldFile looked at last, only while it still holds that file.
HANDLE OpenChecked(const char* name, DWORD* error) {
  HANDLE file = OpenOwnName(name, error);
  if (file == INVALID_HANDLE_VALUE || std::strcmp(g_checked.name, name) != 0) return file;
  if (!IsHeld(file, g_checked.held)) {
    CloseHandle(file);
    *error = kErrorNotOwnTemporary;
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

bool RenameOver(const char* from, const char* to, DWORD* error) {
  HANDLE file = OpenChecked(from, error);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool renamed = RenameThrough(file, to, error);
  CloseHandle(file);
  if (renamed) ForgetChecked();
  return renamed;
}

bool RemoveOwnName(const char* name, DWORD* error) {
  HANDLE file = OpenChecked(name, error);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool removed = RemoveThrough(file, error);
  CloseHandle(file);
  if (removed) ForgetChecked();
  return removed;
}

bool DropOutput(HANDLE output, const char* temporary, DWORD* error) {
  // Only ever one of the run's own temporaries, a name no one else makes:
  // removed only while it still holds the file the output was written to.
  FileFacts written = {};
  const bool known = FactsOf(output, &written, error);
  (void)CloseHandle(output);  // its bytes are given up: how the close went does not matter
  if (!known) return RemoveOwnName(temporary, error);
  HANDLE file = OpenOwnName(temporary, error);
  if (file == INVALID_HANDLE_VALUE) return false;
  FileFacts standing = {};
  bool removed = false;
  if (FactsOf(file, &standing, error)) {
    if (standing.identity != written.identity || standing.stamp != written.stamp) {
      *error = kErrorNotOwnTemporary;
    } else {
      removed = RemoveThrough(file, error);
    }
  }
  CloseHandle(file);
  return removed;
}

// No call here starts the writing of a file's bytes without waiting for it:
// make_durable writes them.
DWORD StartWriteBack(HANDLE /*output*/) { return ERROR_NOT_SUPPORTED; }

bool Hold(HANDLE output, bool keep_open, HeldFile* held, DWORD* error) {
  FileFacts facts = {};
  const bool known = FactsOf(output, &facts, error);
  if (known) {
    held->volume = facts.volume;
    held->identity = facts.identity;
    held->stamp = facts.stamp;
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
  FileFacts facts = {};
  DWORD error = NO_ERROR;
  return GetFileType(file) == FILE_TYPE_DISK && FactsOf(file, &facts, &error) &&
         (facts.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
         facts.volume == held.volume && facts.identity == held.identity &&
         facts.stamp == held.stamp;
}

bool OpenHeld(const char* name, HeldFile* held, DWORD* error) {
  // Looked at first through a handle that reads nothing (a pipe never waits
  // for a partner there), never through a link; only the very file checked
  // is then opened again for the flush's writing, through that handle.
  HANDLE look = OpenNameItself(name, FILE_READ_ATTRIBUTES, error);
  if (look == INVALID_HANDLE_VALUE) return false;
  if (!IsHeld(look, *held)) {
    CloseHandle(look);
    *error = kErrorNotOwnTemporary;
    return false;
  }
  HANDLE file = ReOpenFile(look, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, 0);
  if (file == INVALID_HANDLE_VALUE) *error = GetLastError();
  CloseHandle(look);
  if (file == INVALID_HANDLE_VALUE) return false;
  held->open = reinterpret_cast<std::intptr_t>(file);
  return true;
}

bool IsHeldFile(const char* name, const HeldFile& held, bool* same, DWORD* error) {
  ForgetChecked();
  HANDLE file = OpenNameItself(name, FILE_READ_ATTRIBUTES, error);
  if (file == INVALID_HANDLE_VALUE) return false;
  *same = IsHeld(file, held);
  CloseHandle(file);
  if (*same && std::strlen(name) < sizeof g_checked.name) {
    std::memcpy(g_checked.name, name, std::strlen(name) + 1);
    g_checked.held = held;
  }
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

// The bytes the run may still write on the folder's volume, asked through
// the folder's handle (a share's root included, whose path alone would
// need its trailing backslash): what the user's quota leaves, not the
// volume's own free space. False when the system cannot tell.
bool FreeSpace(std::uint64_t* bytes) {
  if (g_folder == INVALID_HANDLE_VALUE) return false;
  FILE_FS_FULL_SIZE_INFORMATION size = {};
  IO_STATUS_BLOCK status_block;
  const NTSTATUS status = g_native->query_volume_information_file(
      g_folder, &status_block, &size, sizeof size, FileFsFullSizeInformation);
  if (!NT_SUCCESS(status) || size.CallerAvailableAllocationUnits.QuadPart < 0) return false;
  *bytes = static_cast<std::uint64_t>(size.CallerAvailableAllocationUnits.QuadPart) *
           size.SectorsPerAllocationUnit * size.BytesPerSector;
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
    DWORD error = NO_ERROR;
    for (unsigned number = live->first.load(); number < next; ++number) {
      compose(number, name);
      HANDLE file = OpenOwnName(name, &error);
      if (file == INVALID_HANDLE_VALUE) continue;
      (void)RemoveThrough(file, &error);
      CloseHandle(file);
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
