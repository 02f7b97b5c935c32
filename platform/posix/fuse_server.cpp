// The mount's side of the system (platform/mount_server.h) over libfuse 3's
// low-level interface: one folder, inode 1, whose files are inodes 2 on,
// each the file number plus 2. Nothing changes while the folder is mounted,
// so names and attributes are given to the kernel to keep, and so is each
// file's cached content. One thread serves every request in turn, with one
// reply buffer made when the server starts.
#define FUSE_USE_VERSION 34
#include <fcntl.h>
#include <fuse3/fuse_log.h>
#include <fuse3/fuse_lowlevel.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/mount_server.h"
#include "platform/posix/handles.h"

namespace {

constexpr fuse_ino_t kRootInode = FUSE_ROOT_ID;
constexpr fuse_ino_t kFirstFileInode = 2;
// Nothing under the mount ever changes: the kernel may keep what it learns.
constexpr double kKeepSeconds = 365.0 * 24 * 3600;
// The largest read the kernel asks of a FUSE server (256 pages of 4 KiB),
// with room for the pixel converter's spare byte.
constexpr std::size_t kReplyBytes = (std::size_t{1} << 20) + 1;
constexpr std::size_t kDirectoryReplyBytes = std::size_t{64} * 1024;

const MountedFolder* g_folder = nullptr;
bool g_background = false;  // the log goes to the system log
unsigned char* g_reply = nullptr;
char* g_listing = nullptr;
uid_t g_owner = 0;
gid_t g_group = 0;
// The command's session once a server of its own serves the folder.
fuse_session* g_command_session = nullptr;
// The last thing libfuse said, for a mount that fails.
char g_fuse_said[256] = "";

void TellFuseMessage(enum fuse_log_level level, const char* format, va_list arguments) {
  if (level > FUSE_LOG_ERR) return;
  (void)std::vsnprintf(g_fuse_said, sizeof g_fuse_said, format, arguments);
  // One line, no final line end or full stop.
  std::size_t length = std::strlen(g_fuse_said);
  while (length > 0 && (g_fuse_said[length - 1] == '\n' || g_fuse_said[length - 1] == '.')) {
    g_fuse_said[--length] = '\0';
  }
  if (g_background) syslog(LOG_ERR, "%s", g_fuse_said);
}

void FillAttributes(fuse_ino_t inode, struct stat* attributes) {
  std::memset(attributes, 0, sizeof *attributes);
  attributes->st_ino = inode;
  attributes->st_uid = g_owner;
  attributes->st_gid = g_group;
  attributes->st_mtim.tv_sec = static_cast<time_t>(g_folder->seconds);
  attributes->st_mtim.tv_nsec = static_cast<long>(g_folder->nanoseconds);
  attributes->st_atim = attributes->st_mtim;
  attributes->st_ctim = attributes->st_mtim;
  if (inode == kRootInode) {
    attributes->st_mode = S_IFDIR | 0555;
    attributes->st_nlink = 2;
    return;
  }
  const std::uint64_t bytes =
      g_folder->bytes_of(static_cast<std::uint32_t>(inode - kFirstFileInode));
  attributes->st_mode = S_IFREG | 0444;
  attributes->st_nlink = 1;
  attributes->st_size = static_cast<off_t>(bytes);
  attributes->st_blksize = static_cast<blksize_t>(128) * 1024;
  attributes->st_blocks = static_cast<blkcnt_t>((bytes + 511) / 512);
}

// The file an inode stands for, or false.
bool FileOf(fuse_ino_t inode, std::uint32_t* file) {
  if (inode < kFirstFileInode || inode - kFirstFileInode >= g_folder->number_count()) return false;
  *file = static_cast<std::uint32_t>(inode - kFirstFileInode);
  return g_folder->present(*file);
}

void FillEntry(fuse_ino_t inode, fuse_entry_param* entry) {
  std::memset(entry, 0, sizeof *entry);
  entry->ino = inode;
  entry->attr_timeout = kKeepSeconds;
  entry->entry_timeout = kKeepSeconds;
  FillAttributes(inode, &entry->attr);
}

void Init(void* /*userdata*/, fuse_conn_info* connection) {
  connection->want |= connection->capable & FUSE_CAP_READDIRPLUS;
  connection->want &= ~FUSE_CAP_READDIRPLUS_AUTO;
  // A plain file's bytes go from the archive to the kernel through a pipe,
  // never through this process.
  connection->want |= connection->capable & (FUSE_CAP_SPLICE_WRITE | FUSE_CAP_SPLICE_MOVE);
}

void OpenFolder(fuse_req_t request, fuse_ino_t inode, fuse_file_info* info) {
  if (inode != kRootInode) {
    (void)fuse_reply_err(request, ENOTDIR);
    return;
  }
  // The folder never changes: a listing may be kept and given again.
  info->cache_readdir = 1;
  info->keep_cache = 1;
  (void)fuse_reply_open(request, info);
}

void Lookup(fuse_req_t request, fuse_ino_t parent, const char* name) {
  std::uint32_t file = 0;
  if (parent != kRootInode || !g_folder->find(name, &file)) {
    (void)fuse_reply_err(request, ENOENT);
    return;
  }
  fuse_entry_param entry;
  FillEntry(kFirstFileInode + file, &entry);
  (void)fuse_reply_entry(request, &entry);
}

void GetAttributes(fuse_req_t request, fuse_ino_t inode, fuse_file_info* /*info*/) {
  std::uint32_t file = 0;
  if (inode != kRootInode && !FileOf(inode, &file)) {
    (void)fuse_reply_err(request, ENOENT);
    return;
  }
  struct stat attributes;
  FillAttributes(inode, &attributes);
  (void)fuse_reply_attr(request, &attributes, kKeepSeconds);
}

// Readdir and readdirplus: "." and ".." at offsets 0 and 1, then the files
// in number order, each entry's offset the position after it.
void List(fuse_req_t request, fuse_ino_t inode, std::size_t size, off_t offset, bool plus) {
  if (inode != kRootInode) {
    (void)fuse_reply_err(request, ENOTDIR);
    return;
  }
  if (size > kDirectoryReplyBytes) size = kDirectoryReplyBytes;
  std::size_t used = 0;
  const std::uint64_t count = g_folder->number_count();
  for (std::uint64_t position = static_cast<std::uint64_t>(offset); position < count + 2;
       ++position) {
    const fuse_ino_t child = position < 2 ? kRootInode : kFirstFileInode + position - 2;
    if (position >= 2 && !g_folder->present(static_cast<std::uint32_t>(position - 2))) continue;
    const char* name = position == 0 ? "."
                       : position == 1
                           ? ".."
                           : g_folder->name_of(static_cast<std::uint32_t>(position - 2));
    const off_t next = static_cast<off_t>(position + 1);
    std::size_t needed = 0;
    if (plus) {
      fuse_entry_param entry;
      FillEntry(child, &entry);
      // "." and ".." are not looked up through readdirplus.
      if (position < 2) entry.ino = 0;
      if (position < 2) entry.attr.st_ino = child;
      needed = fuse_add_direntry_plus(request, g_listing + used, size - used, name, &entry, next);
    } else {
      struct stat attributes;
      std::memset(&attributes, 0, sizeof attributes);
      attributes.st_ino = child;
      attributes.st_mode = position < 2 ? S_IFDIR : S_IFREG;
      needed = fuse_add_direntry(request, g_listing + used, size - used, name, &attributes, next);
    }
    if (needed > size - used) break;
    used += needed;
  }
  (void)fuse_reply_buf(request, g_listing, used);
}

void ReadFolder(fuse_req_t request, fuse_ino_t inode, std::size_t size, off_t offset,
                fuse_file_info* /*info*/) {
  List(request, inode, size, offset, false);
}

void ReadFolderPlus(fuse_req_t request, fuse_ino_t inode, std::size_t size, off_t offset,
                    fuse_file_info* /*info*/) {
  List(request, inode, size, offset, true);
}

void Open(fuse_req_t request, fuse_ino_t inode, fuse_file_info* info) {
  std::uint32_t file = 0;
  if (!FileOf(inode, &file)) {
    (void)fuse_reply_err(request, inode == kRootInode ? EISDIR : ENOENT);
    return;
  }
  if ((info->flags & O_ACCMODE) != O_RDONLY) {
    (void)fuse_reply_err(request, EROFS);
    return;
  }
  if (!g_folder->may_open(file)) {
    (void)fuse_reply_err(request, EIO);
    return;
  }
  // The bytes of a file never change while mounted: what the kernel cached
  // of an earlier open stays good.
  info->keep_cache = 1;
  (void)fuse_reply_open(request, info);
}

void Read(fuse_req_t request, fuse_ino_t inode, std::size_t size, off_t offset,
          fuse_file_info* /*info*/) {
  std::uint32_t file = 0;
  if (!FileOf(inode, &file) || offset < 0) {
    (void)fuse_reply_err(request, EIO);
    return;
  }
  const std::uint64_t bytes = g_folder->bytes_of(file);
  const std::uint64_t from = static_cast<std::uint64_t>(offset);
  std::uint64_t length = from >= bytes ? 0 : bytes - from;
  if (length > size) length = size;
  if (length > kReplyBytes - 1) length = kReplyBytes - 1;
  std::uint64_t position = 0;
  if (length > 0 && g_folder->locate(file, from, &position)) {
    fuse_bufvec moved;
    std::memset(&moved, 0, sizeof moved);
    moved.count = 1;
    moved.buf[0].size = length;
    moved.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
    moved.buf[0].fd = DescriptorOf(g_folder->archive);
    moved.buf[0].pos = static_cast<off_t>(position);
    (void)fuse_reply_data(request, &moved, FUSE_BUF_SPLICE_MOVE);
    (void)g_folder->check_after_move();
    return;
  }
  if (length > 0 && !g_folder->read(file, from, static_cast<std::uint32_t>(length), g_reply)) {
    (void)fuse_reply_err(request, EIO);
    return;
  }
  (void)fuse_reply_buf(request, reinterpret_cast<const char*>(g_reply), length);
}

void StatFileSystem(fuse_req_t request, fuse_ino_t /*inode*/) {
  struct statvfs totals;
  std::memset(&totals, 0, sizeof totals);
  totals.f_bsize = 4096;
  totals.f_frsize = 4096;
  totals.f_files = g_folder->number_count();
  totals.f_namemax = 255;
  (void)fuse_reply_statfs(request, &totals);
}

fuse_lowlevel_ops Operations() {
  fuse_lowlevel_ops operations;
  std::memset(&operations, 0, sizeof operations);
  operations.init = Init;
  operations.lookup = Lookup;
  operations.getattr = GetAttributes;
  operations.opendir = OpenFolder;
  operations.readdir = ReadFolder;
  operations.readdirplus = ReadFolderPlus;
  operations.open = Open;
  operations.read = Read;
  operations.statfs = StatFileSystem;
  return operations;
}

void SetReason(MountResult& result, const char* reason) {
  result.outcome = MountOutcome::kNotMounted;
  (void)std::snprintf(result.reason, sizeof result.reason, "%s", reason);
}

// The server's own process: a session of its own, no terminal, its messages
// in the system log.
void BecomeServer() {
  (void)setsid();
  (void)chdir("/");
  const int nothing = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (nothing >= 0) {
    (void)dup2(nothing, STDIN_FILENO);
    (void)dup2(nothing, STDOUT_FILENO);
    (void)dup2(nothing, STDERR_FILENO);
    if (nothing > STDERR_FILENO) (void)close(nothing);
  }
  openlog("zrq", LOG_PID, LOG_USER);
  g_background = true;
}

// The command's side of a background mount: the folder is served once the
// mount point answers a look at it (the server has taken the kernel's first
// requests); a server that ended before makes it fail.
void AwaitServer(pid_t server, const char* mount_point, MountResult& result) {
  struct stat root;
  if (stat(mount_point, &root) == 0 && root.st_ino == kRootInode) {
    result.outcome = MountOutcome::kInBackground;
    return;
  }
  const int error = errno;
  int status = 0;
  if (waitpid(server, &status, WNOHANG) == server) {
    SetReason(result, "the server ended before the folder was served");
  } else {
    SetReason(result, std::strerror(error));
  }
}

}  // namespace

MountResult ServeFolder(const char* mount_point, const char* archive, bool foreground,
                        const MountedFolder& folder) {
  MountResult result{MountOutcome::kEnded, ""};
  g_folder = &folder;
  g_owner = getuid();
  g_group = getgid();
  struct stat point;
  if (stat(mount_point, &point) != 0) {
    SetReason(result, std::strerror(errno));
    return result;
  }
  if (!S_ISDIR(point.st_mode)) {
    SetReason(result, std::strerror(ENOTDIR));
    return result;
  }
  g_reply = static_cast<unsigned char*>(std::malloc(kReplyBytes));
  g_listing = static_cast<char*>(std::malloc(kDirectoryReplyBytes));
  if (g_reply == nullptr || g_listing == nullptr) {
    SetReason(result, std::strerror(ENOMEM));
    return result;
  }
  fuse_set_log_func(TellFuseMessage);
  // The archive's path names the file system in the mount table; commas
  // would split the options.
  char options[512];
  char source[256];
  std::size_t used = 0;
  for (const char* c = archive; *c != '\0' && used + 2 < sizeof source; ++c) {
    if (*c == ',' || *c == '\\') source[used++] = '\\';
    source[used++] = *c;
  }
  source[used] = '\0';
  (void)std::snprintf(options, sizeof options, "ro,default_permissions,subtype=zrq,fsname=%s",
                      source);
  char program[] = "zrq";
  char option_flag[] = "-o";
  char* arguments[] = {program, option_flag, options, nullptr};
  fuse_args args = FUSE_ARGS_INIT(3, arguments);
  const fuse_lowlevel_ops operations = Operations();
  fuse_session* session = fuse_session_new(&args, &operations, sizeof operations, nullptr);
  fuse_opt_free_args(&args);
  if (session == nullptr) {
    SetReason(result, g_fuse_said[0] != '\0' ? g_fuse_said : "FUSE refused the session");
    return result;
  }
  if (fuse_session_mount(session, mount_point) != 0) {
    SetReason(result, g_fuse_said[0] != '\0' ? g_fuse_said : "the system refused the mount");
    fuse_session_destroy(session);
    return result;
  }
  if (!foreground) {
    const pid_t server = fork();
    if (server < 0) {
      SetReason(result, std::strerror(errno));
      fuse_session_unmount(session);
      fuse_session_destroy(session);
      return result;
    }
    if (server > 0) {
      // The server holds the mount from here; this process lets go of it
      // without taking it down.
      AwaitServer(server, mount_point, result);
      if (result.outcome == MountOutcome::kNotMounted) {
        (void)kill(server, SIGTERM);
        (void)waitpid(server, nullptr, 0);
        fuse_session_unmount(session);
        fuse_session_destroy(session);
        return result;
      }
      // Left as it is: taking the session down here would unmount the
      // folder the server serves. The process ends with the command.
      g_command_session = session;
      return result;
    }
    BecomeServer();
  }
  if (fuse_set_signal_handlers(session) != 0) {
    TellMountLog("%s\n", g_fuse_said);
  }
  (void)fuse_session_loop(session);
  fuse_remove_signal_handlers(session);
  fuse_session_unmount(session);
  fuse_session_destroy(session);
  return result;
}

void TellMountLog(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  if (g_background) {
    vsyslog(LOG_ERR, format, arguments);
  } else {
    (void)std::vfprintf(stderr, format, arguments);
  }
  va_end(arguments);
}

bool UnmountFolder(const char* mount_point, char* reason, std::size_t capacity) {
  if (geteuid() == 0) {
    if (umount2(mount_point, UMOUNT_NOFOLLOW) == 0) return true;
    (void)std::snprintf(reason, capacity, "%s", std::strerror(errno));
    return false;
  }
  char program[] = "fusermount3";
  char unmount_flag[] = "-u";
  char quiet_flag[] = "-q";
  char point[PATH_MAX];
  if (std::snprintf(point, sizeof point, "%s", mount_point) >= static_cast<int>(sizeof point)) {
    (void)std::snprintf(reason, capacity, "%s", std::strerror(ENAMETOOLONG));
    return false;
  }
  char* const arguments[] = {program, unmount_flag, quiet_flag, point, nullptr};
  pid_t child = 0;
  const int spawned = posix_spawnp(&child, program, nullptr, nullptr, arguments, environ);
  if (spawned != 0) {
    (void)std::snprintf(reason, capacity, "fusermount3: %s", std::strerror(spawned));
    return false;
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      (void)std::snprintf(reason, capacity, "fusermount3: %s", std::strerror(errno));
      return false;
    }
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  (void)std::snprintf(reason, capacity, "fusermount3 -u failed (status %d)",
                      WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  return false;
}

bool IdentityOf(HANDLE file, FileIdentity* identity, DWORD* error) {
  struct stat now;
  const int fd = DescriptorOf(file);
  if (fd < 0 || fstat(fd, &now) != 0) {
    *error = ErrorFromErrno(fd < 0 ? EBADF : errno);
    return false;
  }
  identity->bytes = static_cast<std::uint64_t>(now.st_size);
  identity->seconds = now.st_mtim.tv_sec;
  identity->nanoseconds = now.st_mtim.tv_nsec;
  return true;
}

bool ReadFileAt(HANDLE file, std::uint64_t offset, unsigned char* out, std::uint32_t length,
                std::uint32_t* delivered, DWORD* error) {
  const int fd = DescriptorOf(file);
  *delivered = 0;
  if (fd < 0) {
    *error = ErrorFromErrno(EBADF);
    return false;
  }
  while (*delivered < length) {
    const ssize_t done =
        pread(fd, out + *delivered, length - *delivered, static_cast<off_t>(offset + *delivered));
    if (done < 0 && errno == EINTR) continue;
    if (done < 0) {
      *error = ErrorFromErrno(errno);
      return false;
    }
    if (done == 0) break;
    *delivered += static_cast<std::uint32_t>(done);
  }
  return true;
}
