// How both programs tell the user: problems on standard error in the order
// of what standard output already said, the system's words for a failure,
// an argument shown escaped however long it is, and the end of standard
// output, whose failed write is told once.
#pragma once

#include <cstddef>

#include "platform/file_system.h"

// Prints a report on standard error after everything already said on
// standard output, so that a report follows the line it is about even when
// both streams go to the same place.
void Report(const char* format, ...);

// The system's words for a failure, as a message shows them.
struct Reason {
  char text[kReasonCapacity];
  explicit Reason(DWORD code) { DescribeError(code, text, sizeof text); }
};

// Prints `format` on standard error with `argument` (a command-line argument
// of any length) escaped as EscapeForMessage escapes it in place of the
// format's first %s, and `reason` in place of a second one if it has it. The
// argument is escaped piece by piece, so no buffer needs room for the
// longest command line.
void ReportArgument(const char* format, const char* argument, const char* reason = "");

// Flushes standard output: a write that failed there is told once, here, and
// the run then ends with kExitDamaged; otherwise with `exit_code`.
int FinishStandardOutput(int exit_code);
