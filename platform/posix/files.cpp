// The file layer on POSIX systems: the Win32 file calls the tool uses, over
// file descriptors, and the rest of platform/file_system.h.
//
// Handles live in a fixed table of three: the tool never holds more files
// open than the directory and scanning handles on the archive and the current
// output, so nothing is allocated per file. A handle keeps its own position
// and transfers with pread/pwrite, so a move costs no system call. A handle
// on the archive reads ahead into a fixed buffer, so that the many small
// reads of a walk (80-byte records, small payloads) do not each become a
// system call; large reads go straight to the kernel. Writes go straight to
// the file: the writers already hand over whole pieces, so a buffer would
// save no call, and a failed write is told by the call that made it.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/file_system.h"
#include "platform/output_primitives.h"
#include "platform/posix/handles.h"
#include "platform/win32_files.h"

namespace {

constexpr std::size_t kReadAheadBytes = std::size_t{64} * 1024;
constexpr std::size_t kDirectReadBytes = std::size_t{16} * 1024;
constexpr int kHandleSlots = 3;

// The tool's own codes and what they say.
constexpr const char kOwnReasonArchive[] = "The file is the archive being read";
constexpr const char kOwnReasonNotRegular[] = "Not a regular file";

struct OpenFile {
  int fd = -1;
  bool writable = false;
  bool sequential = false;  // writes where the descriptor stands (standard output)
  std::uint64_t position = 0;
  // Read-ahead: the file's bytes [buffer_start, buffer_start + buffer_used).
  std::uint64_t buffer_start = 0;
  std::size_t buffer_used = 0;
  unsigned char buffer[kReadAheadBytes];
};

OpenFile g_files[kHandleSlots];
DWORD g_last_error = NO_ERROR;

// The output folder, opened once per run: every output is made, looked up
// and named relative to it.
int g_folder = -1;

BOOL Fail(DWORD code) {
  g_last_error = code;
  return FALSE;
}

BOOL FailWithErrno(int error) { return Fail(ErrorFromErrno(error)); }

void Succeed() { g_last_error = NO_ERROR; }

OpenFile* FreeSlot() {
  for (OpenFile& file : g_files) {
    if (file.fd < 0) return &file;
  }
  return nullptr;
}

HANDLE Adopt(OpenFile* slot, int fd, bool writable) {
  slot->fd = fd;
  slot->writable = writable;
  slot->sequential = false;
  slot->position = 0;
  slot->buffer_start = 0;
  slot->buffer_used = 0;
  Succeed();
  return slot;
}

int OpenRetrying(const char* path, int flags) {
  int fd;
  do {
    fd = open(path, flags, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

OpenFile* Lookup(HANDLE handle) {
  for (OpenFile& file : g_files) {
    if (handle == &file && file.fd >= 0) return &file;
  }
  return nullptr;
}

// Writes all of [data, data + length) at `offset`, or where `fd` stands when
// `sequential` (a pipe has no offsets), or reports why not.
bool WriteAllAt(int fd, const unsigned char* data, std::size_t length, std::uint64_t offset,
                bool sequential, std::size_t* done_total) {
  *done_total = 0;
  while (length > 0) {
    const ssize_t done = sequential ? write(fd, data, length)
                                    : pwrite(fd, data, length, static_cast<off_t>(offset));
    if (done < 0) {
      if (errno == EINTR) continue;
      FailWithErrno(errno);
      return false;
    }
    data += done;
    length -= static_cast<std::size_t>(done);
    offset += static_cast<std::uint64_t>(done);
    *done_total += static_cast<std::size_t>(done);
  }
  return true;
}

// Reads up to `length` bytes at `offset`; stops early only at the end of the
// file. On failure, *delivered still counts the bytes that arrived before it.
bool ReadAllAt(int fd, unsigned char* data, std::size_t length, std::uint64_t offset,
               std::size_t* delivered) {
  *delivered = 0;
  while (length > 0) {
    const ssize_t done = pread(fd, data, length, static_cast<off_t>(offset));
    if (done < 0) {
      if (errno == EINTR) continue;
      FailWithErrno(errno);
      return false;
    }
    if (done == 0) break;
    data += done;
    length -= static_cast<std::size_t>(done);
    offset += static_cast<std::uint64_t>(done);
    *delivered += static_cast<std::size_t>(done);
  }
  return true;
}

}  // namespace

BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES /*security*/) {
  if (mkdir(path, 0777) != 0) return FailWithErrno(errno);
  Succeed();
  return TRUE;
}

// Opens existing files for reading, the only way the tool opens a file by
// this call; output files come from CreateOutputFile.
HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD /*share_mode*/,
                   LPSECURITY_ATTRIBUTES /*security*/, DWORD disposition, DWORD /*flags*/,
                   HANDLE /*template_file*/) {
  OpenFile* slot = FreeSlot();
  if (slot == nullptr) {
    FailWithErrno(EMFILE);
    return INVALID_HANDLE_VALUE;
  }
  if (access != GENERIC_READ || disposition != OPEN_EXISTING) {
    FailWithErrno(EINVAL);
    return INVALID_HANDLE_VALUE;
  }
  const int fd = OpenRetrying(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    FailWithErrno(errno);
    return INVALID_HANDLE_VALUE;
  }
  // Only regular files: a folder cannot be opened as a file (as on Windows),
  // and a pipe or device would make reads block or never end.
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    Fail(kErrorNotRegularFile);
    return INVALID_HANDLE_VALUE;
  }
  return Adopt(slot, fd, false);
}

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD bytes_to_read, LPDWORD bytes_read,
              LPOVERLAPPED /*overlapped*/) {
  if (bytes_read != nullptr) *bytes_read = 0;
  OpenFile* file = Lookup(handle);
  if (file == nullptr || file->writable) return FailWithErrno(EBADF);
  Succeed();

  unsigned char* out = static_cast<unsigned char*>(buffer);
  std::size_t remaining = bytes_to_read;
  std::size_t total = 0;
  bool failed = false;
  while (remaining > 0) {
    const std::uint64_t buffer_end = file->buffer_start + file->buffer_used;
    if (file->position >= file->buffer_start && file->position < buffer_end) {
      const std::size_t available = static_cast<std::size_t>(buffer_end - file->position);
      const std::size_t take = available < remaining ? available : remaining;
      std::memcpy(out, file->buffer + (file->position - file->buffer_start), take);
      out += take;
      remaining -= take;
      total += take;
      file->position += take;
      continue;
    }
    std::size_t delivered = 0;
    if (remaining < kDirectReadBytes &&
        ReadAllAt(file->fd, file->buffer, kReadAheadBytes, file->position, &delivered)) {
      file->buffer_start = file->position;
      file->buffer_used = delivered;
      if (delivered == 0) break;
      continue;
    }
    // A large read goes straight to the caller. So does a small one whose
    // read-ahead failed: the read-ahead reached past what was asked, perhaps
    // into a bad sector, and only a failure of the bytes asked for counts.
    file->buffer_used = 0;
    failed = !ReadAllAt(file->fd, out, remaining, file->position, &delivered);
    total += delivered;
    file->position += delivered;
    break;
  }
  if (bytes_read != nullptr) *bytes_read = static_cast<DWORD>(total);
  if (failed) return FALSE;
  Succeed();
  return TRUE;
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD bytes_to_write, LPDWORD bytes_written,
               LPOVERLAPPED /*overlapped*/) {
  if (bytes_written != nullptr) *bytes_written = 0;
  OpenFile* file = Lookup(handle);
  if (file == nullptr || !file->writable) return FailWithErrno(EBADF);
  std::size_t done = 0;
  const unsigned char* bytes = static_cast<const unsigned char*>(buffer);
  const bool ok =
      WriteAllAt(file->fd, bytes, bytes_to_write, file->position, file->sequential, &done);
  file->position += done;
  if (bytes_written != nullptr) *bytes_written = static_cast<DWORD>(done);
  if (!ok) return FALSE;
  Succeed();
  return TRUE;
}

DWORD SetFilePointer(HANDLE handle, LONG distance, PLONG distance_high, DWORD move_method) {
  OpenFile* file = Lookup(handle);
  if (file == nullptr) {
    FailWithErrno(EBADF);
    return INVALID_SET_FILE_POINTER;
  }
  std::int64_t move = distance;
  if (distance_high != nullptr) {
    move = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(static_cast<std::uint32_t>(*distance_high)) << 32) |
        static_cast<std::uint32_t>(distance));
  }
  std::int64_t base = 0;
  if (move_method == FILE_CURRENT) {
    base = static_cast<std::int64_t>(file->position);
  } else if (move_method != FILE_BEGIN) {
    FailWithErrno(EINVAL);
    return INVALID_SET_FILE_POINTER;
  }
  const std::int64_t target = base + move;
  if (target < 0) {
    Fail(ERROR_NEGATIVE_SEEK);
    return INVALID_SET_FILE_POINTER;
  }
  // Without a high part the new position must fit the 32-bit result, as on
  // Windows.
  if (distance_high == nullptr && target > static_cast<std::int64_t>(UINT32_MAX)) {
    FailWithErrno(EINVAL);
    return INVALID_SET_FILE_POINTER;
  }
  file->position = static_cast<std::uint64_t>(target);
  if (distance_high != nullptr) *distance_high = static_cast<LONG>(target >> 32);
  Succeed();
  return static_cast<DWORD>(target);
}

DWORD GetFileSize(HANDLE handle, LPDWORD size_high) {
  OpenFile* file = Lookup(handle);
  struct stat info;
  if (file == nullptr) {
    FailWithErrno(EBADF);
    return INVALID_FILE_SIZE;
  }
  if (fstat(file->fd, &info) != 0) {
    FailWithErrno(errno);
    return INVALID_FILE_SIZE;
  }
  const std::uint64_t size = static_cast<std::uint64_t>(info.st_size);
  if (size_high != nullptr) *size_high = static_cast<DWORD>(size >> 32);
  Succeed();
  return static_cast<DWORD>(size);
}

DWORD GetFileAttributesA(LPCSTR path) {
  struct stat info;
  if (stat(path, &info) != 0) {
    FailWithErrno(errno);
    return INVALID_FILE_ATTRIBUTES;
  }
  Succeed();
  return S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
}

BOOL CloseHandle(HANDLE handle) {
  OpenFile* file = Lookup(handle);
  if (file == nullptr) return FailWithErrno(EBADF);
  const int fd = file->fd;
  file->fd = -1;
  file->buffer_used = 0;
  // A file system that writes back late (NFS) tells a lost write here.
  if (close(fd) != 0 && errno != EINTR) return FailWithErrno(errno);
  Succeed();
  return TRUE;
}

DWORD GetLastError() { return g_last_error; }

int wsprintfA(LPSTR out, LPCSTR format, ...) {
  // Like the Windows call there is no buffer size: the caller sizes `out` for
  // what it composes. The Windows call stops at 1024 characters, above MAX_PATH;
  // this one stops at the longest path here, kOutputPathCapacity.
  va_list arguments;
  va_start(arguments, format);
  const int length = std::vsnprintf(out, kOutputPathCapacity, format, arguments);
  va_end(arguments);
  const int longest = static_cast<int>(kOutputPathCapacity) - 1;
  return length > longest ? longest : length;
}

// Any byte but NUL and "/" makes a name here, and those two are refused before
// this is asked; stored names (63 bytes at most) are far below NAME_MAX.
bool FileSystemAcceptsName(const char* /*name*/) { return true; }

const char* SpellFolderForJoining(const char* folder, char* buffer) {
  const std::size_t length = std::strlen(folder);
  // Too long for any output path: every entry is refused as such anyway.
  if (length + 1 > kOutputPathCapacity) return folder;
  std::memcpy(buffer, folder, length + 1);
  // "out/" joins as "out/name", not "out//name"; "/" as "/name".
  if (length > 0 && folder[length - 1] == '/') buffer[length - 1] = '\0';
  return buffer;
}

// CreateFileA here opens regular files only.
HANDLE OpenArchive(const char* path) {
  return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool OpenFolderForOutputs(const char* folder, DWORD* error) {
  int fd;
  do {
    fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    *error = ErrorFromErrno(errno);
    return false;
  }
  g_folder = fd;
  return true;
}

void CloseFolderForOutputs() {
  if (g_folder >= 0) close(g_folder);
  g_folder = -1;
}

bool LookAtName(const char* name, HANDLE archive, NameKind* kind, char* /*long_name*/,
                DWORD* error) {
  struct stat existing;
  if (fstatat(g_folder, name, &existing, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) {
      *error = ErrorFromErrno(errno);
      return false;
    }
    *kind = NameKind::kAbsent;
    return true;
  }
  struct stat of_archive;
  const OpenFile* source = Lookup(archive);
  // A link is a name like any other: replacing it leaves its target alone,
  // wherever that is and whatever it is. Its own identity is never the
  // archive's, as lstat describes the link itself.
  if (source != nullptr && fstat(source->fd, &of_archive) == 0 &&
      existing.st_dev == of_archive.st_dev && existing.st_ino == of_archive.st_ino) {
    *kind = NameKind::kArchive;
  } else if (S_ISDIR(existing.st_mode)) {
    *kind = NameKind::kFolder;
  } else if (S_ISREG(existing.st_mode) || S_ISLNK(existing.st_mode)) {
    *kind = NameKind::kFile;
  } else {
    *kind = NameKind::kOther;
  }
  return true;
}

HANDLE CreateUnnamedOutput(DWORD* error) {
  OpenFile* slot = FreeSlot();
  if (slot == nullptr) {
    *error = ErrorFromErrno(EMFILE);
    return INVALID_HANDLE_VALUE;
  }
  int fd;
  do {
    fd = openat(g_folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    // A kernel or file system without unnamed files says so in one of these
    // ways (an old kernel takes the flag for O_DIRECTORY).
    const bool unsupported = errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL;
    *error = unsupported ? ERROR_NOT_SUPPORTED : ErrorFromErrno(errno);
    return INVALID_HANDLE_VALUE;
  }
  return Adopt(slot, fd, true);
}

HANDLE CreateNamedOutput(const char* name, DWORD* error) {
  OpenFile* slot = FreeSlot();
  if (slot == nullptr) {
    *error = ErrorFromErrno(EMFILE);
    return INVALID_HANDLE_VALUE;
  }
  int fd;
  do {
    fd = openat(g_folder, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    *error = ErrorFromErrno(errno);
    return INVALID_HANDLE_VALUE;
  }
  return Adopt(slot, fd, true);
}

bool LinkOutput(HANDLE output, const char* name, bool* exists, DWORD* error) {
  *exists = false;
  const OpenFile* file = Lookup(output);
  if (file == nullptr) {
    *error = ErrorFromErrno(EBADF);
    return false;
  }
  // The file itself, where the kernel lets this process name it so (newer
  // kernels let the one who opened it; older ones only a privileged one);
  // else by its entry under /proc, which takes a walk through /proc on every
  // file and so comes second.
  if (linkat(file->fd, "", g_folder, name, AT_EMPTY_PATH) == 0) return true;
  if (errno == EEXIST) {
    *exists = true;
    *error = ErrorFromErrno(errno);
    return false;
  }
  char by_number[32];
  (void)std::snprintf(by_number, sizeof by_number, "/proc/self/fd/%d", file->fd);  // fits
  if (linkat(AT_FDCWD, by_number, g_folder, name, AT_SYMLINK_FOLLOW) == 0) return true;
  *exists = errno == EEXIST;
  *error = ErrorFromErrno(errno);
  return false;
}

bool RenameToNewName(const char* from, const char* to, bool* exists, DWORD* error) {
  *exists = false;
  if (renameat2(g_folder, from, g_folder, to, RENAME_NOREPLACE) == 0) return true;
  if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
    // A file system without the flag: a second name made beside the first,
    // which fails just the same when the name is taken, then the first goes.
    if (linkat(g_folder, from, g_folder, to, 0) == 0) {
      unlinkat(g_folder, from, 0);
      return true;
    }
  }
  *exists = errno == EEXIST;
  *error = ErrorFromErrno(errno);
  return false;
}

bool RenameOverName(const char* from, const char* to, DWORD* error) {
  if (renameat(g_folder, from, g_folder, to) == 0) return true;
  *error = ErrorFromErrno(errno);
  return false;
}

bool RemoveOwnName(const char* name, DWORD* error) {
  if (unlinkat(g_folder, name, 0) == 0) return true;
  *error = ErrorFromErrno(errno);
  return false;
}

bool DropOutput(HANDLE output, const char* temporary, DWORD* error) {
  CloseHandle(output);
  return temporary == nullptr || RemoveOwnName(temporary, error);
}

// The batch's one flush of the file system does it. Starting each file's
// writing at its close (sync_file_range) was measured and made the batches
// no faster.
DWORD BeginFlush(HANDLE /*output*/) { return NO_ERROR; }

DWORD FlushFolder() {
  if (syncfs(g_folder) != 0) return ErrorFromErrno(errno);
  return NO_ERROR;
}

// FlushFolder flushes every file of the folder's file system, closed or not.
DWORD FlushClosedOutput(const char* /*temporary*/) { return NO_ERROR; }

void TemporaryNameSeed(unsigned* process, unsigned long long* clock) {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  *process = static_cast<unsigned>(getpid());
  *clock = static_cast<unsigned long long>(now.tv_sec) * 1000000000ull +
           static_cast<unsigned long long>(now.tv_nsec);
}

DWORD CopyFileData(HANDLE from, HANDLE to, DWORD length) {
  OpenFile* source = Lookup(from);
  OpenFile* target = Lookup(to);
  // Small pieces are cheaper through the read-ahead; a sequential output
  // has no position to copy to.
  if (source == nullptr || target == nullptr || !target->writable || target->sequential ||
      length < kDirectReadBytes) {
    return 0;
  }
  DWORD copied = 0;
  while (copied < length) {
    loff_t from_offset = static_cast<loff_t>(source->position);
    loff_t to_offset = static_cast<loff_t>(target->position);
    const ssize_t done =
        copy_file_range(source->fd, &from_offset, target->fd, &to_offset, length - copied, 0);
    if (done < 0 && errno == EINTR) continue;
    // Declined (another file system, no support), at the end of the source,
    // or failed: ReadFile and WriteFile move the rest and tell which.
    if (done <= 0) break;
    source->position += static_cast<std::uint64_t>(done);
    target->position += static_cast<std::uint64_t>(done);
    copied += static_cast<DWORD>(done);
  }
  Succeed();
  return copied;
}

void DescribeError(DWORD code, char* out, std::size_t capacity) {
  const char* reason = nullptr;
  if (code == kErrorOutputIsArchive) {
    reason = kOwnReasonArchive;
  } else if (code == kErrorNotRegularFile) {
    reason = kOwnReasonNotRegular;
  } else if (code == kErrorNameIsFolder) {
    reason = std::strerror(EISDIR);
  } else if ((code & 0xFFFF0000u) == kErrnoCode) {
    reason = std::strerror(static_cast<int>(code & 0xFFFFu));
  }
  if (reason != nullptr) {
    (void)std::snprintf(out, capacity, "%s", reason);  // a reason cut short is still told
  } else {
    (void)std::snprintf(out, capacity, "system error %lu", static_cast<unsigned long>(code));
  }
}

// --- For platform/posix/zrq_files.cpp (platform/posix/handles.h) ---

HANDLE AdoptDescriptor(int fd, bool writable, bool sequential, DWORD* error) {
  OpenFile* slot = FreeSlot();
  if (slot == nullptr) {
    *error = ErrorFromErrno(EMFILE);
    return INVALID_HANDLE_VALUE;
  }
  const HANDLE handle = Adopt(slot, fd, writable);
  slot->sequential = sequential;
  return handle;
}

int DescriptorOf(HANDLE handle) {
  const OpenFile* file = Lookup(handle);
  return file == nullptr ? -1 : file->fd;
}
