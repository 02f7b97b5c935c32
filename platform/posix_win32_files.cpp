// The Win32 file calls the tool uses, over POSIX file descriptors.
//
// Handles live in a small fixed table: the tool never holds more than three
// files open (directory, scanning, current output), so nothing is allocated
// per file. Each handle owns one fixed buffer, used as read-ahead on a
// read-only handle and as write-behind on a writable one, so that the many
// small transfers of a walk (80-byte records, small payloads, bitmap headers)
// do not each become a system call. Large transfers go straight to the kernel:
// copying them through the buffer would only add a copy. The handle keeps its own position and
// transfers with pread/pwrite, so a move costs no system call.
#include "platform/file_system.h"
#include "platform/win32_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t kBufferBytes = 64 * 1024;
constexpr std::size_t kDirectTransferBytes = 16 * 1024;
constexpr int kHandleSlots = 8;

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

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EFBIG: return ERROR_HANDLE_DISK_FULL;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EIO: return ERROR_WRITE_FAULT;
    default: return ERROR_ACCESS_DENIED;
  }
}

BOOL FailWith(DWORD error) {
  g_last_error = error;
  return FALSE;
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
      g_last_error = ErrorFromErrno(errno);
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
      g_last_error = errno == EIO ? ERROR_READ_FAULT : ErrorFromErrno(errno);
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
  if (mkdir(path, 0777) != 0) return FailWith(ErrorFromErrno(errno));
  g_last_error = NO_ERROR;
  return TRUE;
}

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD /*share_mode*/,
                   LPSECURITY_ATTRIBUTES /*security*/, DWORD disposition, DWORD /*flags*/,
                   HANDLE /*template_file*/) {
  OpenFile* slot = nullptr;
  for (OpenFile& file : g_files) {
    if (file.fd < 0) {
      slot = &file;
      break;
    }
  }
  if (slot == nullptr) {
    g_last_error = ERROR_TOO_MANY_OPEN_FILES;
    return INVALID_HANDLE_VALUE;
  }

  const bool writable = (access & GENERIC_WRITE) != 0;
  int flags = O_CLOEXEC | O_NONBLOCK;
  flags |= writable ? ((access & GENERIC_READ) ? O_RDWR : O_WRONLY) : O_RDONLY;
  if (disposition == CREATE_ALWAYS) {
    // A link already standing under an output name is not followed: the new
    // file must land in the folder it was asked for, not wherever a link points.
    flags |= O_CREAT | O_TRUNC | O_NOFOLLOW;
    // A file-size limit should fail the write and be reported, not end the process.
    static const bool size_limit_signal_ignored = std::signal(SIGXFSZ, SIG_IGN) != SIG_ERR;
    (void)size_limit_signal_ignored;
  }

  int fd;
  do {
    fd = open(path, flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    g_last_error = errno == ELOOP ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno);
    return INVALID_HANDLE_VALUE;
  }
  // Only regular files: a folder cannot be opened as a file (as on Windows),
  // and a pipe or device would make reads block or never end.
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    g_last_error = ERROR_ACCESS_DENIED;
    return INVALID_HANDLE_VALUE;
  }

  slot->fd = fd;
  slot->writable = writable;
  slot->position = 0;
  slot->buffer_start = 0;
  slot->buffer_used = 0;
  g_last_error = NO_ERROR;
  return slot;
}

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD bytes_to_read, LPDWORD bytes_read,
              LPOVERLAPPED /*overlapped*/) {
  if (bytes_read != nullptr) *bytes_read = 0;
  OpenFile* file = Lookup(handle);
  if (file == nullptr) return FailWith(ERROR_INVALID_HANDLE);
  g_last_error = NO_ERROR;
  if (file->writable) {
    if (!FlushWrites(*file)) return FALSE;
    std::size_t delivered = 0;
    if (!ReadAllAt(file->fd, static_cast<unsigned char*>(buffer), bytes_to_read, file->position,
                   &delivered)) {
      return FALSE;
    }
    file->position += delivered;
    if (bytes_read != nullptr) *bytes_read = static_cast<DWORD>(delivered);
    g_last_error = NO_ERROR;
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
    if (!ReadAllAt(file->fd, file->buffer, kBufferBytes, file->position, &delivered)) break;
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
  if (file == nullptr) return FailWith(ERROR_INVALID_HANDLE);
  if (!file->writable) return FailWith(ERROR_ACCESS_DENIED);

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
  g_last_error = NO_ERROR;
  return TRUE;
}

DWORD SetFilePointer(HANDLE handle, LONG distance, PLONG distance_high, DWORD move_method) {
  OpenFile* file = Lookup(handle);
  if (file == nullptr) {
    g_last_error = ERROR_INVALID_HANDLE;
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
    g_last_error = ERROR_INVALID_PARAMETER;
    return INVALID_SET_FILE_POINTER;
  }
  const std::int64_t target = base + move;
  if (target < 0) {
    g_last_error = ERROR_NEGATIVE_SEEK;
    return INVALID_SET_FILE_POINTER;
  }
  // Without a high part the new position must be expressible in the 32-bit result.
  if (distance_high == nullptr && target >= static_cast<std::int64_t>(INVALID_SET_FILE_POINTER)) {
    g_last_error = ERROR_INVALID_PARAMETER;
    return INVALID_SET_FILE_POINTER;
  }
  file->position = static_cast<std::uint64_t>(target);
  if (distance_high != nullptr) *distance_high = static_cast<LONG>(target >> 32);
  g_last_error = NO_ERROR;
  return static_cast<DWORD>(target);
}

DWORD GetFileSize(HANDLE handle, LPDWORD size_high) {
  OpenFile* file = Lookup(handle);
  if (file == nullptr) {
    g_last_error = ERROR_INVALID_HANDLE;
    return INVALID_FILE_SIZE;
  }
  if (!FlushWrites(*file)) return INVALID_FILE_SIZE;
  struct stat info;
  if (fstat(file->fd, &info) != 0) {
    g_last_error = ErrorFromErrno(errno);
    return INVALID_FILE_SIZE;
  }
  const std::uint64_t size = static_cast<std::uint64_t>(info.st_size);
  if (size_high != nullptr) *size_high = static_cast<DWORD>(size >> 32);
  g_last_error = NO_ERROR;
  return static_cast<DWORD>(size);
}

DWORD GetFileAttributesA(LPCSTR path) {
  struct stat info;
  if (stat(path, &info) != 0) {
    g_last_error = ErrorFromErrno(errno);
    return INVALID_FILE_ATTRIBUTES;
  }
  g_last_error = NO_ERROR;
  return S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
}

BOOL CloseHandle(HANDLE handle) {
  OpenFile* file = Lookup(handle);
  if (file == nullptr) return FailWith(ERROR_INVALID_HANDLE);
  // Buffered bytes are written now; a failure here is the last chance to tell
  // the caller that the file did not get all its bytes.
  bool ok = FlushWrites(*file);
  if (close(file->fd) != 0 && ok) {
    g_last_error = ErrorFromErrno(errno);
    ok = false;
  }
  file->fd = -1;
  file->buffer_used = 0;
  if (ok) g_last_error = NO_ERROR;
  return ok ? TRUE : FALSE;
}

DWORD GetLastError() { return g_last_error; }

void SetLastError(DWORD error) { g_last_error = error; }

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

// Lives beside the handle table because it needs the descriptor behind a handle.
bool IsSameFile(const char* path, HANDLE handle) {
  OpenFile* file = Lookup(handle);
  struct stat at_path;
  struct stat open_file;
  if (file == nullptr || stat(path, &at_path) != 0 || fstat(file->fd, &open_file) != 0) {
    return false;
  }
  return at_path.st_dev == open_file.st_dev && at_path.st_ino == open_file.st_ino;
}
