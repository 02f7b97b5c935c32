#include <cstdio>

#include "platform/console.h"
#include "platform/win32_files.h"

void BufferStandardOutput() {
  // The C runtime leaves a character device such as NUL unbuffered, and under
  // some hosts every character then costs a call of its own.
  DWORD mode = 0;
  if (!GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode)) {
    std::setvbuf(stdout, nullptr, _IOFBF, 16 * 1024);
  }
}
