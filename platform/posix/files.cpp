// The file layer on POSIX systems: the Win32 file calls the tool uses, over
// file descriptors, and the rest of platform/file_system.h.
//
// Handles live in a fixed table of three, so nothing is allocated per file:
// no program holds more handles at once (unzrq and zrq cat: the directory and
// scanning handles on the archive and the current output; zrq create: the new
// archive and one input). Descriptors that are no handle (the output folder,
// a folder being listed, the replacements waiting for their rename, which
// publication holds as HeldFile) are kept apart from the table. A handle keeps its own position
// and transfers with pread/pwrite, so a move costs no system call. A handle
// on the archive reads ahead into a fixed buffer, so that the many small
// reads of a walk (80-byte records, small payloads) do not each become a
// system call; large reads go straight to the kernel. Writes go straight to
// the file: the writers already hand over whole pieces, so a buffer would
// save no call, and a failed write is told by the call that made it.
#include <fcntl.h>
#include <linux/io_uring.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
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
constexpr const char kOwnReasonNotRegular[] = "Not a regular file";

struct OpenFile {
  int fd = -1;
  bool writable = false;
  bool sequential = false;  // writes where the descriptor stands (standard output)
  std::uint64_t position = 0;
  // A file opened for reading (the archive): its identity, taken at the open,
  // so that a name can be told to be it without asking the system again.
  dev_t device = 0;
  ino_t inode = 0;
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

// The kernel declined to copy between the archive and the output folder
// (another file system, or no support): not asked again until the folder is
// opened anew.
bool g_copy_declined = false;

// The kernel's submission ring, set up at the first batch of flushes and
// kept for the run. Where the kernel refuses it (too old, or a sandbox that
// forbids it), each file is flushed on its own.
struct Ring {
  int fd = -1;
  bool refused = false;
  void* sq_map = nullptr;
  std::size_t sq_bytes = 0;
  void* cq_map = nullptr;
  std::size_t cq_bytes = 0;
  void* sqe_map = nullptr;
  std::size_t sqe_bytes = 0;
  unsigned* sq_tail = nullptr;
  unsigned* sq_mask = nullptr;
  unsigned* sq_array = nullptr;
  unsigned* cq_head = nullptr;
  unsigned* cq_tail = nullptr;
  unsigned* cq_mask = nullptr;
  io_uring_sqe* sqes = nullptr;
  io_uring_cqe* cqes = nullptr;
};

Ring g_ring;

void CloseRing() {
  if (g_ring.sqe_map != nullptr) munmap(g_ring.sqe_map, g_ring.sqe_bytes);
  if (g_ring.cq_map != nullptr && g_ring.cq_map != g_ring.sq_map)
    munmap(g_ring.cq_map, g_ring.cq_bytes);
  if (g_ring.sq_map != nullptr) munmap(g_ring.sq_map, g_ring.sq_bytes);
  if (g_ring.fd >= 0) close(g_ring.fd);
  g_ring = Ring{};
}

void* MapRing(std::size_t bytes, off_t part) {
  void* map =
      mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, g_ring.fd, part);
  return map == MAP_FAILED ? nullptr : map;
}

bool OpenRing() {
  if (g_ring.fd >= 0) return true;
  if (g_ring.refused) return false;
  io_uring_params params;
  std::memset(&params, 0, sizeof params);
  const long fd = syscall(__NR_io_uring_setup, static_cast<unsigned>(kFlushWindow), &params);
  if (fd < 0) {
    g_ring.refused = true;
    return false;
  }
  g_ring.fd = static_cast<int>(fd);
  g_ring.sq_bytes = params.sq_off.array + params.sq_entries * sizeof(unsigned);
  g_ring.cq_bytes = params.cq_off.cqes + params.cq_entries * sizeof(io_uring_cqe);
  const bool single = (params.features & IORING_FEAT_SINGLE_MMAP) != 0;
  if (single) {
    if (g_ring.cq_bytes > g_ring.sq_bytes) g_ring.sq_bytes = g_ring.cq_bytes;
    g_ring.cq_bytes = g_ring.sq_bytes;
  }
  g_ring.sqe_bytes = params.sq_entries * sizeof(io_uring_sqe);
  g_ring.sq_map = MapRing(g_ring.sq_bytes, IORING_OFF_SQ_RING);
  g_ring.cq_map = single ? g_ring.sq_map : MapRing(g_ring.cq_bytes, IORING_OFF_CQ_RING);
  g_ring.sqe_map = MapRing(g_ring.sqe_bytes, IORING_OFF_SQES);
  if (g_ring.sq_map == nullptr || g_ring.cq_map == nullptr || g_ring.sqe_map == nullptr) {
    CloseRing();
    g_ring.refused = true;
    return false;
  }
  auto* sq = static_cast<unsigned char*>(g_ring.sq_map);
  auto* cq = static_cast<unsigned char*>(g_ring.cq_map);
  g_ring.sq_tail = reinterpret_cast<unsigned*>(sq + params.sq_off.tail);
  g_ring.sq_mask = reinterpret_cast<unsigned*>(sq + params.sq_off.ring_mask);
  g_ring.sq_array = reinterpret_cast<unsigned*>(sq + params.sq_off.array);
  g_ring.cq_head = reinterpret_cast<unsigned*>(cq + params.cq_off.head);
  g_ring.cq_tail = reinterpret_cast<unsigned*>(cq + params.cq_off.tail);
  g_ring.cq_mask = reinterpret_cast<unsigned*>(cq + params.cq_off.ring_mask);
  g_ring.cqes = reinterpret_cast<io_uring_cqe*>(cq + params.cq_off.cqes);
  g_ring.sqes = static_cast<io_uring_sqe*>(g_ring.sqe_map);
  // The kernel's workers for file work are few by default (four per
  // processor); the flushes of a window wait on the disk, not on a
  // processor, so each gets one. Refused by older kernels: fewer overlap.
  unsigned workers[2] = {static_cast<unsigned>(kFlushWindow), 0};
  (void)syscall(__NR_io_uring_register, g_ring.fd, IORING_REGISTER_IOWQ_MAX_WORKERS, workers, 2);
  return true;
}

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

OpenFile* Lookup(HANDLE handle) {
  for (OpenFile& file : g_files) {
    if (handle == &file && file.fd >= 0) return &file;
  }
  return nullptr;
}

// Moves up to `length` bytes at `offset` with `transfer` (pread or pwrite),
// piece by piece until all have moved, a read stopping early only at the end
// of the file. On failure *done still counts the bytes moved before it.
template <typename Byte, typename Transfer>
bool TransferAllAt(Transfer transfer, int fd, Byte* data, std::size_t length, std::uint64_t offset,
                   std::size_t* done) {
  *done = 0;
  while (length > 0) {
    const ssize_t moved = transfer(fd, data, length, static_cast<off_t>(offset));
    if (moved < 0) {
      if (errno == EINTR) continue;
      FailWithErrno(errno);
      return false;
    }
    if (moved == 0) break;
    data += moved;
    length -= static_cast<std::size_t>(moved);
    offset += static_cast<std::uint64_t>(moved);
    *done += static_cast<std::size_t>(moved);
  }
  return true;
}

// Writes all of [data, data + length) at `offset`, or where `fd` stands when
// `sequential` (a pipe has no offsets), or reports why not.
bool WriteAllAt(int fd, const unsigned char* data, std::size_t length, std::uint64_t offset,
                bool sequential, std::size_t* done) {
  if (sequential) {
    return TransferAllAt([](int to, const unsigned char* bytes, std::size_t count,
                            off_t /*at*/) { return write(to, bytes, count); },
                         fd, data, length, offset, done);
  }
  return TransferAllAt(pwrite, fd, data, length, offset, done);
}

// Reads up to `length` bytes at `offset`; stops early only at the end of the
// file. On failure, *delivered still counts the bytes that arrived before it.
bool ReadAllAt(int fd, unsigned char* data, std::size_t length, std::uint64_t offset,
               std::size_t* delivered) {
  return TransferAllAt(pread, fd, data, length, offset, delivered);
}

}  // namespace

BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES /*security*/) {
  if (mkdir(path, 0777) != 0) return FailWithErrno(errno);
  Succeed();
  return TRUE;
}

// Only regular files, and only for reading: output files come from
// CreateOutputFile, zrq create's new archive from CreateTemporaryBeside.
HANDLE OpenForReading(const char* path) {
  OpenFile* slot = FreeSlot();
  if (slot == nullptr) {
    FailWithErrno(EMFILE);
    return INVALID_HANDLE_VALUE;
  }
  const int fd = OpenRetrying(AT_FDCWD, path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
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
  slot->device = info.st_dev;
  slot->inode = info.st_ino;
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
const char* SpellFolderForJoining(const char* folder, char* buffer) {
  const std::size_t length = std::strlen(folder);
  // Too long for any output path: every entry is refused as such anyway.
  if (length + 1 > kOutputPathCapacity) return folder;
  std::memcpy(buffer, folder, length + 1);
  // "out/" joins as "out/name", not "out//name"; "/" as "/name".
  if (length > 0 && folder[length - 1] == '/') buffer[length - 1] = '\0';
  return buffer;
}

namespace {

bool OpenFolder(const char* folder, DWORD* error) {
  // For its path only: every call below works relative to it, and none needs
  // to read it, so a folder that may be written but not listed is no obstacle.
  const int fd = OpenRetrying(AT_FDCWD, folder, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    *error = ErrorFromErrno(errno);
    return false;
  }
  g_folder = fd;
  g_copy_declined = false;
  return true;
}

void CloseFolder() {
  CloseRing();
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
  const OpenFile* source = Lookup(archive);
  // A link is a name like any other: replacing it leaves its target alone,
  // wherever that is and whatever it is. Its own identity is never the
  // archive's, as lstat describes the link itself.
  if (source != nullptr && !source->writable && existing.st_dev == source->device &&
      existing.st_ino == source->inode) {
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

HANDLE CreateNamed(const char* name, DWORD* error) {
  OpenFile* slot = FreeSlot();
  if (slot == nullptr) {
    *error = ErrorFromErrno(EMFILE);
    return INVALID_HANDLE_VALUE;
  }
  // O_EXCL fails on anything standing there, a link included, dangling or not.
  const int fd = OpenRetrying(g_folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    *error = ErrorFromErrno(errno);
    return INVALID_HANDLE_VALUE;
  }
  return Adopt(slot, fd, true);
}

bool RenameOver(const char* from, const char* to, DWORD* error) {
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
  (void)CloseHandle(output);  // its bytes are given up: how the close went does not matter
  return RemoveOwnName(temporary, error);
}

DWORD StartWriteBack(HANDLE output) {
  const OpenFile* file = Lookup(output);
  if (file == nullptr) return ErrorFromErrno(EBADF);
  if (sync_file_range(file->fd, 0, 0, SYNC_FILE_RANGE_WRITE) == 0) return NO_ERROR;
  return ErrorFromErrno(errno);
}

// The time of a file's last change, in nanoseconds: an inode number freed
// is soon given to a new file, whose change time is its own.
std::uint64_t ChangeStamp(const struct stat& info) {
  return static_cast<std::uint64_t>(info.st_ctim.tv_sec) * 1000000000ull +
         static_cast<std::uint64_t>(info.st_ctim.tv_nsec);
}

bool SameFile(const struct stat& info, const HeldFile& held) {
  return S_ISREG(info.st_mode) && static_cast<std::uint64_t>(info.st_dev) == held.volume &&
         static_cast<std::uint64_t>(info.st_ino) == held.identity &&
         ChangeStamp(info) == held.stamp;
}

bool Hold(HANDLE output, bool keep_open, HeldFile* held, DWORD* error) {
  OpenFile* file = Lookup(output);
  if (file == nullptr) {
    *error = ErrorFromErrno(EBADF);
    return false;
  }
  struct stat info;
  const bool known = fstat(file->fd, &info) == 0;
  if (known) {
    held->volume = static_cast<std::uint64_t>(info.st_dev);
    held->identity = static_cast<std::uint64_t>(info.st_ino);
    held->stamp = ChangeStamp(info);
  } else {
    *error = ErrorFromErrno(errno);
  }
  if (keep_open && known) {
    // The descriptor leaves the handle table with the file.
    held->open = file->fd;
    file->fd = -1;
    file->buffer_used = 0;
    return true;
  }
  if (!CloseHandle(output) && known) {
    *error = GetLastError();
    return false;
  }
  return known;
}

bool OpenHeld(const char* name, HeldFile* held, DWORD* error) {
  // Never through a link, and a pipe put under the name cannot make the open
  // wait for a writer. For reading, else for writing (a umask may have left
  // the file only one of the two).
  constexpr int kFlags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int fd = OpenRetrying(g_folder, name, O_RDONLY | kFlags);
  if (fd < 0 && errno == EACCES) fd = OpenRetrying(g_folder, name, O_WRONLY | kFlags);
  if (fd < 0) {
    *error = errno == ELOOP ? kErrorNotOwnTemporary : ErrorFromErrno(errno);
    return false;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !SameFile(info, *held)) {
    *error = kErrorNotOwnTemporary;
    close(fd);
    return false;
  }
  held->open = fd;
  return true;
}

bool IsHeldFile(const char* name, const HeldFile& held, bool* same, DWORD* error) {
  struct stat info;
  if (fstatat(g_folder, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
    *error = ErrorFromErrno(errno);
    return false;
  }
  *same = SameFile(info, held);
  return true;
}

DWORD LetGo(HeldFile* held) {
  const int fd = static_cast<int>(held->open);
  held->open = -1;
  if (fd >= 0 && close(fd) != 0 && errno != EINTR) return ErrorFromErrno(errno);
  return NO_ERROR;
}

// Each file's own flush, all of them at once through the kernel's
// submission ring: the file system commits them together, where one after
// another each would wait for the disk.
DWORD FlushTogether(const HeldFile* files, std::size_t count, DWORD* errors) {
  if (count > kFlushWindow || !OpenRing()) return ERROR_NOT_SUPPORTED;
  unsigned submitted = 0;
  unsigned tail = *g_ring.sq_tail;
  for (std::size_t i = 0; i < count; ++i) {
    errors[i] = NO_ERROR;
    const unsigned index = tail & *g_ring.sq_mask;
    io_uring_sqe& entry = g_ring.sqes[index];
    std::memset(&entry, 0, sizeof entry);
    entry.opcode = IORING_OP_FSYNC;
    entry.fd = static_cast<int>(files[i].open);
    entry.fsync_flags = IORING_FSYNC_DATASYNC;
    entry.user_data = i;
    g_ring.sq_array[index] = index;
    ++tail;
    ++submitted;
  }
  __atomic_store_n(g_ring.sq_tail, tail, __ATOMIC_RELEASE);
  unsigned to_submit = submitted;
  unsigned completed = 0;
  while (completed < submitted) {
    const long entered = syscall(__NR_io_uring_enter, g_ring.fd, to_submit, submitted - completed,
                                 IORING_ENTER_GETEVENTS, nullptr, 0);
    if (entered < 0 && errno != EINTR) {
      // The ring failed under the flushes: none of them can be trusted, and
      // it is not used again in the run.
      const DWORD error = ErrorFromErrno(errno);
      CloseRing();
      g_ring.refused = true;
      for (std::size_t i = 0; i < count; ++i) errors[i] = error;
      return NO_ERROR;
    }
    if (entered > 0) {
      to_submit -=
          static_cast<unsigned>(entered) < to_submit ? static_cast<unsigned>(entered) : to_submit;
    }
    unsigned head = *g_ring.cq_head;
    const unsigned ready = __atomic_load_n(g_ring.cq_tail, __ATOMIC_ACQUIRE);
    for (; head != ready; ++head, ++completed) {
      const io_uring_cqe& done = g_ring.cqes[head & *g_ring.cq_mask];
      if (done.res < 0 && done.user_data < count)
        errors[done.user_data] = ErrorFromErrno(-done.res);
    }
    __atomic_store_n(g_ring.cq_head, head, __ATOMIC_RELEASE);
  }
  return NO_ERROR;
}

DWORD MakeDurable(HeldFile* files, std::size_t count, Durability how, DWORD* errors) {
  if (how == Durability::kTogether) return FlushTogether(files, count, errors);
  if (how == Durability::kFileSystem && count > 0) {
    // The error of a write lost anywhere on the file system since the
    // descriptor was opened.
    errors[0] = syncfs(static_cast<int>(files[0].open)) == 0 ? NO_ERROR : ErrorFromErrno(errno);
    return NO_ERROR;
  }
  for (std::size_t i = 0; i < count; ++i) {
    errors[i] = fdatasync(static_cast<int>(files[i].open)) == 0 ? NO_ERROR : ErrorFromErrno(errno);
  }
  return NO_ERROR;
}

void DescribeFileSystem(FileSystemFacts* facts) {
  *facts = FileSystemFacts{};
  struct statfs info;
  if (fstatfs(g_folder, &info) == 0) {
    switch (static_cast<unsigned long>(info.f_type)) {
      case 0xEF53: facts->kind = FileSystemKind::kExt4; break;
      case 0x58465342: facts->kind = FileSystemKind::kXfs; break;
      case 0x9123683E: facts->kind = FileSystemKind::kBtrfs; break;
      case 0x65735546: facts->kind = FileSystemKind::kFuse; break;
      default: facts->kind = FileSystemKind::kOther; break;
    }
  }
  struct utsname names;
  if (uname(&names) == 0 &&
      std::sscanf(names.release, "%u.%u", &facts->kernel_major, &facts->kernel_minor) != 2) {
    facts->kernel_major = 0;
    facts->kernel_minor = 0;
  }
}

std::size_t OpenFilesAllowed() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return std::size_t{1} << 20;
  }
  return static_cast<std::size_t>(limit.rlim_cur);
}

bool FreeSpace(std::uint64_t* bytes) {
  struct statfs info;
  if (fstatfs(g_folder, &info) != 0) return false;
  *bytes = static_cast<std::uint64_t>(info.f_bavail) * static_cast<std::uint64_t>(info.f_bsize);
  return true;
}

// A file's mode never stops a rename here: only the folder's permissions do.
bool ReadOnlyMarkOf(const char* name, ReadOnlyMark* mark) {
  struct stat info;
  if (fstatat(g_folder, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
  *mark = ReadOnlyMark{};
  mark->names = static_cast<DWORD>(info.st_nlink);
  mark->volume = static_cast<std::uint64_t>(info.st_dev);
  mark->identity = static_cast<std::uint64_t>(info.st_ino);
  return true;
}

// Sets the owner's write permission as `attributes` says.
bool SetAttributes(const char* name, const ReadOnlyMark& mark, DWORD attributes) {
  struct stat info;
  if (fstatat(g_folder, name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode) ||
      static_cast<std::uint64_t>(info.st_dev) != mark.volume ||
      static_cast<std::uint64_t>(info.st_ino) != mark.identity) {
    return false;
  }
  const mode_t mode =
      (attributes & kReadOnlyAttribute) != 0 ? info.st_mode & ~S_IWUSR : info.st_mode | S_IWUSR;
  return fchmodat(g_folder, name, mode & 07777, 0) == 0;
}

void Pause(unsigned milliseconds) {
  struct timespec wait {};
  wait.tv_sec = static_cast<time_t>(milliseconds / 1000);
  wait.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

void TemporaryNameSeed(unsigned* process, unsigned long long* clock) {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  *process = static_cast<unsigned>(getpid());
  *clock = static_cast<unsigned long long>(now.tv_sec) * 1000000000ull +
           static_cast<unsigned long long>(now.tv_nsec);
}

// The temporaries a stop removes, once publication has named them.
std::atomic<const LiveTemporaries*> g_live{nullptr};
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void RemoveTemporariesAndStop(int signal_number) {
  const int saved = errno;
  const LiveTemporaries* live = g_live.load();
  const TemporaryNameComposer compose = live->compose.load();
  const unsigned next = live->next.load();
  if (compose != nullptr && g_folder >= 0) {
    char name[kTemporaryCapacity];
    for (unsigned number = live->first.load(); number < next; ++number) {
      compose(number, name);
      (void)unlinkat(g_folder, name, 0);
    }
  }
  // Stopped as the signal would have stopped it, exit status included.
  (void)signal(signal_number, SIG_DFL);
  (void)raise(signal_number);
  errno = saved;
}

void RemoveOnStop(const LiveTemporaries* live) {
  if (g_live.exchange(live) != nullptr) return;
  for (const int signal_number : kStopSignals) {
    struct sigaction current {};
    // A signal the caller chose to ignore stays ignored.
    if (sigaction(signal_number, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = RemoveTemporariesAndStop;
    sigfillset(&action.sa_mask);
    (void)sigaction(signal_number, &action, nullptr);
  }
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
    false,
};

DWORD CopyFileData(HANDLE from, HANDLE to, DWORD length) {
  OpenFile* source = Lookup(from);
  OpenFile* target = Lookup(to);
  // Small pieces are cheaper through the read-ahead; a sequential output
  // has no position to copy to.
  if (source == nullptr || target == nullptr || !target->writable || target->sequential ||
      length < kDirectReadBytes || g_copy_declined) {
    return 0;
  }
  DWORD copied = 0;
  while (copied < length) {
    loff_t from_offset = static_cast<loff_t>(source->position);
    loff_t to_offset = static_cast<loff_t>(target->position);
    const ssize_t done =
        copy_file_range(source->fd, &from_offset, target->fd, &to_offset, length - copied, 0);
    if (done < 0 && errno == EINTR) continue;
    // Declined between these two files (another file system, no support):
    // between the archive and this folder it will be declined every time.
    if (done < 0 && (errno == EXDEV || errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL)) {
      g_copy_declined = true;
    }
    // Declined, at the end of the source, or failed: ReadFile and WriteFile
    // move the rest and tell which.
    if (done <= 0) break;
    source->position += static_cast<std::uint64_t>(done);
    target->position += static_cast<std::uint64_t>(done);
    copied += static_cast<DWORD>(done);
  }
  Succeed();
  return copied;
}

void DescribeError(DWORD code, char* out, std::size_t capacity) {
  const char* reason = DescribeOwnError(code);
  if (reason == nullptr && code == kErrorNotRegularFile) reason = kOwnReasonNotRegular;
  if (reason == nullptr && code == kErrorNameIsFolder) reason = std::strerror(EISDIR);
  if (reason == nullptr && (code & 0xFFFF0000u) == kErrnoCode) {
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

int OpenRetrying(int folder, const char* path, int flags) {
  int fd;
  do {
    fd = openat(folder, path, flags, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}
