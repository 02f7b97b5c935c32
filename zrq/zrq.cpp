// zrq, unzrq's companion: lists an archive, tests it, prints one entry, or
// packs files into a new archive. It reads archives with unzrq's own walk
// (driver/archive_walk.h), names outputs with unzrq's one decision
// (PlanOutput), judges entries by unzrq's own judgement, tells outcomes with
// unzrq's own step (driver/entry_reports.h), writes entries with unzrq's
// writers and archives with the format's own writer (archive/), so that what
// it says of an archive is what unzrq would do with it, and what it packs
// unzrq unpacks to the same files. Here: the usage and the dispatch; each
// command is a file of its own (zrq/commands.h).
#include "zrq/zrq.h"

#include <cstdio>
#include <cstring>

#include "driver/messages.h"
#include "driver/output_names.h"
#include "driver/reports.h"
#include "platform/console.h"
#include "platform/file_system.h"
#include "zrq/commands.h"

#ifndef ZRQ_VERSION
#define ZRQ_VERSION "unknown"
#endif

namespace {

// On standard error, a text stream; on standard output (--help), which takes
// bytes as they are, with the platform's line ends as every line there.
void PrintUsage(FILE* stream, const char* program) {
  if (stream == stderr) {
    std::fprintf(stream, kZrqUsage, program, program, program, program, program, program, program,
                 program);
    return;
  }
  // A program name longer than a path is cut short here, and only here.
  static char usage[std::size_t{1024} + 8 * kOutputPathCapacity];
  (void)std::snprintf(usage, sizeof usage, kZrqUsage, program, program, program, program, program,
                      program, program, program);
  for (const char* c = usage; *c != '\0'; ++c) {
    if (*c == '\n') {
      std::printf("%s", UNZRQ_LINE_END);
    } else {
      std::putchar(*c);
    }
  }
}

// The commands, by the name that runs them.
struct CommandRow {
  const char* name;
  Command* run;
};
constexpr CommandRow kCommands[] = {
    {"list", ListCommand},       {"test", TestCommand},       {"cat", CatCommand},
    {"create", CreateCommand},   {"extract", ExtractCommand}, {"mount", MountCommand},
    {"unmount", UnmountCommand},
};

}  // namespace

const char* Shown(const char* text, int slot) {
  // An argument or path as a message shows it, each byte escaped at most.
  static char shown[2][4 * kOutputPathCapacity + 1];
  EscapeForMessage(text, shown[slot], sizeof shown[slot]);
  return shown[slot];
}

int WrongArguments(const char* program, const char* command) {
  std::fprintf(stderr, kZrqWrongArguments, Shown(command));
  PrintUsage(stderr, program);
  return kZrqExitUsage;
}

int RunZrq(int argc, char** argv) {
  PrepareProcess();
  const char* program = argc > 0 ? argv[0] : "zrq";
  if (argc < 2) {
    PrintUsage(stderr, program);
    return kExitSuccess;
  }
  const char* command = argv[1];
  if (std::strcmp(command, "--help") == 0 || std::strcmp(command, "-h") == 0) {
    PrintUsage(stdout, program);
    return FinishStandardOutput(kExitSuccess);
  }
  if (std::strcmp(command, "--version") == 0) {
    std::printf(kZrqVersionLine, ZRQ_VERSION);
    return FinishStandardOutput(kExitSuccess);
  }
  for (const CommandRow& row : kCommands) {
    if (std::strcmp(command, row.name) == 0) return row.run(program, command, argc - 2, argv + 2);
  }
  std::fprintf(stderr, kZrqUnknownCommand, Shown(command));
  PrintUsage(stderr, program);
  return kZrqExitUsage;
}
