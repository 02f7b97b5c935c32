// Preloaded into the tool by the end-to-end suite, this makes the kernel
// behave like those that offer only the plainest calls (older kernels, or a
// sandbox that forbids the rest): no submission ring, so that each
// replacement is flushed on its own, one after the other. The tool must
// unpack and replace there as anywhere else.
#include <dlfcn.h>
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

// The C library names its parameters with reserved identifiers, which this
// definition does not copy.
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
