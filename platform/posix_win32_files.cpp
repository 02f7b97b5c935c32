// The Win32 file calls the tool uses, over POSIX file descriptors.
//
// Handles live in a fixed table of three: the tool never holds more files
// open than the directory and scanning handles on the archive and the current
// output, so nothing is allocated per file. Each handle owns one fixed buffer, used as read-ahead
// on a read-only handle and as write-behind on a writable one, so that the many small transfers of
// a walk (80-byte records, small payloads, bitmap headers) do not each become a system call. Large
// transfers go straight to the kernel: copying them through the buffer would only add a copy. The
// handle keeps its own position and transfers with pread/pwrite, so a move costs no system call.
#include "platform/file_system.h"
#include "platform/win32_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t kBufferBytes = 64 * 1024;
constexpr std::size_t kDirectTransferBytes = 16 * 1024;
constexpr int kHandleSlots = 3;

struct OpenFile {
  int fd = -1;
  bool writable = false;
  std::uint64_t position = 0;
  // Read-ahead: the file's bytes [buffer_start, buffer_start + buffer_used).
  // Write-behind: bytes for [buffer_start, buffer_start + buffer_used), not yet written.
  std::uint64_t buffer_start = 0;
  std::size_t buffer_used = 0;
  unsigned char buffer[kBufferBytes];
};

OpenFile g_files[kHandleSlots];
DWORD g_last_error = NO_ERROR;
// What DescribeLastError tells: the errno of the last failure, or 0 with a
// reason of the layer's own (a handle that is not open, a file that is not
// a regular file).
int g_last_errno = 0;
const char* g_last_reason = nullptr;

constexpr const char kNotRegularFile[] = "Not a regular file";
constexpr const char kNotOpen[] = "Not an open file";

// errno values and the Win32 codes the callers test, both ways. Where several
// errno values share a code, the first is the one a code set by a caller
// turns back into; an errno not listed is ERROR_ACCESS_DENIED, and a code
// not listed is EACCES.
struct ErrorPair {
  int errno_value;
  DWORD code;
};
constexpr ErrorPair kErrorPairs[] = {
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {EEXIST, ERROR_ALREADY_EXISTS},
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {ENOSPC, ERROR_DISK_FULL},
    {EDQUOT, ERROR_DISK_FULL},
    {EFBIG, ERROR_HANDLE_DISK_FULL},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EBADF, ERROR_INVALID_HANDLE},
    {EINVAL, ERROR_INVALID_PARAMETER},
    {EINVAL, ERROR_NEGATIVE_SEEK},
    {EIO, ERROR_WRITE_FAULT},
    {EIO, ERROR_READ_FAULT},
};

DWORD ErrorFromErrno(int error) {
  for (const ErrorPair& pair : kErrorPairs) {
    if (pair.errno_value == error) return pair.code;
  }
  return ERROR_ACCESS_DENIED;
}

int ErrnoFromError(DWORD code) {
  if (code == NO_ERROR) return 0;
  for (const ErrorPair& pair : kErrorPairs) {
    if (pair.code == code) return pair.errno_value;
  }
  return EACCES;
}

BOOL FailWith(DWORD error, const char* reason) {
  g_last_error = error;
  g_last_errno = 0;
  g_last_reason = reason;
  return FALSE;
}

BOOL FailWithErrno(int error) {
  g_last_error = ErrorFromErrno(error);
  g_last_errno = error;
  g_last_reason = nullptr;
  return FALSE;
}

void Succeed() {
  g_last_error = NO_ERROR;
  g_last_errno = 0;
  g_last_reason = nullptr;
}

OpenFile* FreeSlot() {
  for (OpenFile& file : g_files) {
    if (file.fd < 0) return &file;
  }
  return nullptr;
}

HANDLE Adopt(OpenFile* slot, int fd, bool writable) {
  slot->fd = fd;
  slot->writable = writable;
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

// Writes all of [data, data + length) at `offset`, or reports why not.
bool WriteAllAt(int fd, const unsigned char* data, std::size_t length, std::uint64_t offset) {
  while (length > 0) {
    ssize_t done = pwrite(fd, data, length, static_cast<off_t>(offset));
    if (done < 0) {
      if (errno == EINTR) continue;
      FailWithErrno(errno);
      return false;
    }
    data += done;
    length -= static_cast<std::size_t>(done);
    offset += static_cast<std::uint64_t>(done);
  }
  return true;
}

// Reads up to `length` bytes at `offset`; stops early only at the end of the file.
bool ReadAllAt(int fd, unsigned char* data, std::size_t length, std::uint64_t offset,
               std::size_t* delivered) {
  *delivered = 0;
  while (length > 0) {
    ssize_t done = pread(fd, data, length, static_cast<off_t>(offset));
    if (done < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      FailWithErrno(error);
      if (error == EIO) g_last_error = ERROR_READ_FAULT;
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

bool FlushWrites(OpenFile& file) {
  if (!file.writable || file.buffer_used == 0) return true;
  std::size_t pending = file.buffer_used;
  file.buffer_used = 0;
  return WriteAllAt(file.fd, file.buffer, pending, file.buffer_start);
}

}  // namespace

BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES /*security*/) {
  if (mkdir(path, 0777) != 0) return FailWithErrno(errno);
  Succeed();
  return TRUE;
}

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD /*share_mode*/,
                   LPSECURITY_ATTRIBUTES /*security*/, DWORD disposition, DWORD /*flags*/,
                   HANDLE /*template_file*/) {
  OpenFile* slot = FreeSlot();
  if (slot == nullptr) {
    FailWithErrno(EMFILE);
    return INVALID_HANDLE_VALUE;
  }

  const bool writable = (access & GENERIC_WRITE) != 0;
  int flags = O_CLOEXEC | O_NONBLOCK;
  flags |= writable ? ((access & GENERIC_READ) ? O_RDWR : O_WRONLY) : O_RDONLY;
  if (disposition == CREATE_ALWAYS) {
    // A link already standing under an output name is not followed: the new
    // file must land in the folder it was asked for, not wherever a link points.
    flags |= O_CREAT | O_TRUNC | O_NOFOLLOW;
  }

  const int fd = OpenRetrying(path, flags);
  if (fd < 0) {
    // A link under the name (ELOOP) is refused as Windows refuses a folder:
    // ERROR_ACCESS_DENIED, the code of every errno without one of its own.
    FailWithErrno(errno);
    return INVALID_HANDLE_VALUE;
  }
  // Only regular files: a folder cannot be opened as a file (as on Windows),
  // and a pipe or device would make reads block or never end.
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    FailWith(ERROR_ACCESS_DENIED, kNotRegularFile);
    return INVALID_HANDLE_VALUE;
  }
  return Adopt(slot, fd, writable);
}

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD bytes_to_read, LPDWORD bytes_read,
              LPOVERLAPPED /*overlapped*/) {
  if (bytes_read != nullptr) *bytes_read = 0;
  OpenFile* file = Lookup(handle);
  if (file == nullptr) return FailWith(ERROR_INVALID_HANDLE, kNotOpen);
  Succeed();
  if (file->writable) {
    if (!FlushWrites(*file)) return FALSE;
    std::size_t delivered = 0;
    if (!ReadAllAt(file->fd, static_cast<unsigned char*>(buffer), bytes_to_read, file->position,
                   &delivered)) {
      return FALSE;
    }
    file->position += delivered;
    if (bytes_read != nullptr) *bytes_read = static_cast<DWORD>(delivered);
    return TRUE;
  }

  unsigned char* out = static_cast<unsigned char*>(buffer);
  std::size_t remaining = bytes_to_read;
  std::size_t total = 0;
  while (remaining > 0) {
    const std::uint64_t buffer_end = file->buffer_start + file->buffer_used;
    if (file->position >= file->buffer_start && file->position < buffer_end) {
      std::size_t available = static_cast<std::size_t>(buffer_end - file->position);
      std::size_t take = available < remaining ? available : remaining;
      std::memcpy(out, file->buffer + (file->position - file->buffer_start), take);
      out += take;
      remaining -= take;
      total += take;
      file->position += take;
      continue;
    }
    std::size_t delivered = 0;
    if (remaining >= kDirectTransferBytes) {
      if (!ReadAllAt(file->fd, out, remaining, file->position, &delivered)) break;
      out += delivered;
      remaining -= delivered;
      total += delivered;
      file->position += delivered;
      break;
    }
    if (!ReadAllAt(file->fd, file->buffer, kBufferBytes, file->position, &delivered)) {
      // The read-ahead reached past what was asked, perhaps into a bad
      // sector: only a failure of the bytes asked for is a failed read.
      file->buffer_used = 0;
      Succeed();
      if (!ReadAllAt(file->fd, out, remaining, file->position, &delivered)) break;
      total += delivered;
      remaining -= delivered;
      file->position += delivered;
      break;
    }
    file->buffer_start = file->position;
    file->buffer_used = delivered;
    if (delivered == 0) break;
  }
  if (bytes_read != nullptr) *bytes_read = static_cast<DWORD>(total);
  if (remaining > 0 && g_last_error != NO_ERROR) return FALSE;
  return TRUE;
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD bytes_to_write, LPDWORD bytes_written,
               LPOVERLAPPED /*overlapped*/) {
  if (bytes_written != nullptr) *bytes_written = 0;
  OpenFile* file = Lookup(handle);
  if (file == nullptr) return FailWith(ERROR_INVALID_HANDLE, kNotOpen);
  if (!file->writable) return FailWithErrno(EBADF);

  const unsigned char* data = static_cast<const unsigned char*>(buffer);
  if (file->buffer_used > 0 && (file->buffer_start + file->buffer_used != file->position ||
                                file->buffer_used + bytes_to_write > kBufferBytes)) {
    if (!FlushWrites(*file)) return FALSE;
  }
  if (bytes_to_write >= kDirectTransferBytes) {
    if (!FlushWrites(*file)) return FALSE;
    if (!WriteAllAt(file->fd, data, bytes_to_write, file->position)) return FALSE;
  } else if (bytes_to_write > 0) {
    if (file->buffer_used == 0) file->buffer_start = file->position;
    std::memcpy(file->buffer + file->buffer_used, data, bytes_to_write);
    file->buffer_used += bytes_to_write;
  }
  file->position += bytes_to_write;
  if (bytes_written != nullptr) *bytes_written = bytes_to_write;
  Succeed();
  return TRUE;
}

DWORD SetFilePointer(HANDLE handle, LONG distance, PLONG distance_high, DWORD move_method) {
  OpenFile* file = Lookup(handle);
  if (file == nullptr) {
    FailWith(ERROR_INVALID_HANDLE, kNotOpen);
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
    FailWithErrno(EINVAL);
    g_last_error = ERROR_NEGATIVE_SEEK;
    return INVALID_SET_FILE_POINTER;
  }
  // Without a high part the new position must be expressible in the 32-bit result.
  if (distance_high == nullptr && target >= static_cast<std::int64_t>(INVALID_SET_FILE_POINTER)) {
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
  if (file == nullptr) {
    FailWith(ERROR_INVALID_HANDLE, kNotOpen);
    return INVALID_FILE_SIZE;
  }
  struct stat info;
  if (fstat(file->fd, &info) != 0) {
    FailWithErrno(errno);
    return INVALID_FILE_SIZE;
  }
  // Bytes still waiting in the write-behind buffer count, as they do on
  // Windows; writing them out here would move a write failure to a caller
  // that only asked for a size.
  std::uint64_t size = static_cast<std::uint64_t>(info.st_size);
  if (file->writable && file->buffer_used > 0 && file->buffer_start + file->buffer_used > size) {
    size = file->buffer_start + file->buffer_used;
  }
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
  if (file == nullptr) return FailWith(ERROR_INVALID_HANDLE, kNotOpen);
  // Buffered bytes are written now; a failure here is the last chance to tell
  // the caller that the file did not get all its bytes.
  bool ok = FlushWrites(*file);
  if (close(file->fd) != 0 && ok) {
    FailWithErrno(errno);
    ok = false;
  }
  file->fd = -1;
  file->buffer_used = 0;
  if (ok) Succeed();
  return ok ? TRUE : FALSE;
}

DWORD GetLastError() { return g_last_error; }

// A caller that keeps a failure's code to give it back later gets the same
// reason back; any other code is described by the nearest errno.
void SetLastError(DWORD error) {
  if (error == g_last_error) return;
  g_last_error = error;
  g_last_reason = nullptr;
  g_last_errno = ErrnoFromError(error);
}

int wsprintfA(LPSTR out, LPCSTR format, ...) {
  // Like the Windows call there is no buffer size: the caller sizes `out` for
  // what it composes. The Windows call stops at 1024 characters, above MAX_PATH;
  // this one stops at the longest path here, kOutputPathCapacity.
  va_list arguments;
  va_start(arguments, format);
  int length = std::vsnprintf(out, kOutputPathCapacity, format, arguments);
  va_end(arguments);
  const int longest = static_cast<int>(kOutputPathCapacity) - 1;
  return length > longest ? longest : length;
}

// The calls below live beside the handle table because they need the
// descriptors behind the handles.

HANDLE CreateOutputFile(const char* path, HANDLE archive, bool* is_archive) {
  *is_archive = false;
  OpenFile* slot = FreeSlot();
  if (slot == nullptr) {
    FailWithErrno(EMFILE);
    return INVALID_HANDLE_VALUE;
  }
  // Most output names are new: a file this call creates cannot be the
  // archive, a link or a device, so it needs no further look.
  int fd = OpenRetrying(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC);
  if (fd < 0 && errno == EEXIST) {
    // Something stands under the name already. It is looked at before it is
    // emptied: a link is not followed, and the archive itself, under this or
    // any other of its names, is never replaced.
    fd = OpenRetrying(path, O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd >= 0) {
      const OpenFile* source = Lookup(archive);
      struct stat existing;
      struct stat of_archive;
      if (fstat(fd, &existing) != 0) {
        FailWithErrno(errno);
      } else if (source != nullptr && fstat(source->fd, &of_archive) == 0 &&
                 existing.st_dev == of_archive.st_dev && existing.st_ino == of_archive.st_ino) {
        *is_archive = true;
        FailWith(ERROR_ACCESS_DENIED, "The file is the archive being read");
      } else if (!S_ISREG(existing.st_mode)) {
        FailWith(ERROR_ACCESS_DENIED, kNotRegularFile);
      } else if (ftruncate(fd, 0) != 0) {
        FailWithErrno(errno);
      } else {
        return Adopt(slot, fd, true);
      }
      close(fd);
      return INVALID_HANDLE_VALUE;
    }
  }
  if (fd < 0) {
    FailWithErrno(errno);
    return INVALID_HANDLE_VALUE;
  }
  return Adopt(slot, fd, true);
}

DWORD CopyFileData(HANDLE from, HANDLE to, DWORD length) {
  OpenFile* source = Lookup(from);
  OpenFile* target = Lookup(to);
  // Small pieces are cheaper through the buffers, and bytes waiting in the
  // target's buffer must reach the file first, by a write that can fail and
  // be reported.
  if (source == nullptr || target == nullptr || !target->writable || target->buffer_used > 0 ||
      length < kDirectTransferBytes) {
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

void DescribeLastError(char* out, std::size_t capacity) {
  const char* reason = g_last_errno != 0          ? std::strerror(g_last_errno)
                       : g_last_reason != nullptr ? g_last_reason
                                                  : "Unknown error";
  std::snprintf(out, capacity, "%s", reason);
}
