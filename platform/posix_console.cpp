#include <unistd.h>

#include <csignal>

#include "platform/console.h"

void PrepareProcess() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

// The C library already buffers standard output fully when it is not a terminal.
void BufferStandardOutput() {}

bool StandardOutputIsTerminal() { return isatty(STDOUT_FILENO) != 0; }
