#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "platform/console.h"
#include "platform/win32_files.h"

void PrepareProcess() {
  // A missing or empty drive is told as a failed call, never as a dialog box
  // waiting for someone to click it.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  // In text mode the C runtime writes every line feed as CR LF, a name's own
  // among them. The lines bring their CR LF themselves; a console shows the
  // same either way. A closed standard output has no descriptor to set.
  const int descriptor = _fileno(stdout);
  if (descriptor >= 0) _setmode(descriptor, _O_BINARY);
}

void BufferStandardOutput() {
  // The C runtime leaves a character device such as NUL unbuffered, and under
  // some hosts every character then costs a call of its own.
  if (!StandardOutputIsTerminal()) std::setvbuf(stdout, nullptr, _IOFBF, 16 * 1024);
}

bool StandardOutputIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != FALSE;
}
