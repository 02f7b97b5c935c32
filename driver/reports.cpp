#include "driver/reports.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "driver/messages.h"
#include "driver/output_names.h"

void Report(const char* format, ...) {
  // A failed write of standard output is told once, at the end (ferror).
  (void)std::fflush(stdout);
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stderr, format, arguments);
  va_end(arguments);
}

void ReportArgument(const char* format, const char* argument, const char* reason) {
  const char* conversion = std::strstr(format, "%s");
  if (conversion == nullptr) {
    std::fprintf(stderr, "%s", format);
    return;
  }
  (void)std::fwrite(format, 1, static_cast<std::size_t>(conversion - format), stderr);
  char piece[256];
  for (std::size_t from = 0; argument[from] != '\0';) {
    from = EscapeForMessageFrom(argument, from, piece, sizeof piece);
    std::fputs(piece, stderr);
  }
  std::fprintf(stderr, conversion + 2, reason);
}

int FinishStandardOutput(int exit_code) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "%s", kCannotWriteOutput);
    return kExitDamaged;
  }
  return exit_code;
}
