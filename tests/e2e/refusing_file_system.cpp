// Preloaded into the tool by the end-to-end suite, this makes an ordinary
// file system behave like the ones that offer only the plainest calls
// (network and cloud mounts, the shared folders of virtual machines): no
// unnamed files, no hard links, no rename that refuses to replace, no
// file-system-wide flush, and no submission ring in the kernel. The tool must
// unpack and replace there as anywhere else.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>

namespace {

template <typename Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

// The C library names its parameters with reserved identifiers, which these
// definitions do not copy.
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
int openat(int folder, const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    va_list arguments;
    va_start(arguments, flags);
    mode = static_cast<mode_t>(va_arg(arguments, unsigned));
    va_end(arguments);
  }
  if ((flags & O_TMPFILE) == O_TMPFILE) {
    errno = EOPNOTSUPP;
    return -1;
  }
  static const auto next = Next<int (*)(int, const char*, int, ...)>("openat");
  return next(folder, path, flags, mode);
}

int linkat(int, const char*, int, const char*, int) {
  errno = EPERM;
  return -1;
}

int renameat2(int, const char*, int, const char*, unsigned) {
  errno = EINVAL;
  return -1;
}

int syncfs(int) {
  errno = EIO;
  return -1;
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
long syscall(long number, ...) {
  va_list arguments;
  va_start(arguments, number);
  long a[6];
  for (long& argument : a) argument = va_arg(arguments, long);
  va_end(arguments);
  if (number == SYS_io_uring_setup) {
    errno = ENOSYS;
    return -1;
  }
  static const auto next = Next<long (*)(long, ...)>("syscall");
  return next(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

}  // extern "C"
