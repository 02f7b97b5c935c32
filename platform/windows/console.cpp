#include <cstdio>

#include "platform/console.h"
#include "platform/win32_files.h"

void PrepareProcess() {
  // A missing or empty drive is told as a failed call, never as a dialog box
  // waiting for someone to click it.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
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
