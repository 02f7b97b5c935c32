#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "platform/console.h"

void PrepareProcess() {
  // Neither can fail for these signals; were it to, the write concerned
  // would end the process instead of being reported.
  (void)std::signal(SIGPIPE, SIG_IGN);
  (void)std::signal(SIGXFSZ, SIG_IGN);
  // A standard stream closed by the caller (>&-) would lend its number to the
  // archive or an output file, and what is printed would land in that file.
  // /dev/null opened for reading holds the number instead, so that printing
  // there still fails, and is reported, as on a closed stream.
  for (int stream = 0; stream <= 2; ++stream) {
    if (fcntl(stream, F_GETFD) != -1 || errno != EBADF) continue;
    const int held = open("/dev/null", O_RDONLY);  // the lowest free number: `stream`
    if (held >= 0 && held != stream) close(held);
  }
}

// The C library already buffers standard output fully when it is not a terminal.
void BufferStandardOutput() {}

bool StandardOutputIsTerminal() { return isatty(STDOUT_FILENO) != 0; }
