// zrq extract: unzrq's own run (driver/unzrq.h, ExtractArchive) over the
// entries a user chooses by shell wildcards, into the current folder or the
// one -C names, optionally leaving every file that exists as it is. Lines,
// messages, writers and the publication of outputs are unzrq's; what is
// zrq's is the choice of entries and the patterns no entry matched.
#include <cstdio>
#include <cstring>
#include <vector>

#include "driver/messages.h"
#include "driver/reports.h"
#include "driver/unzrq.h"
#include "zrq/commands.h"
#include "zrq/wildcard.h"

namespace {

// The patterns of one run and which of them matched an entry.
struct Patterns {
  char** texts;
  int count;
  std::vector<bool> matched;  // one per pattern, made once before the walk
};

// An entry is chosen when any pattern matches its stored name or its output
// name. Every pattern is tried, so that each one that matches is marked.
bool Wanted(const WalkedEntry& entry, void* context) {
  Patterns& patterns = *static_cast<Patterns*>(context);
  bool wanted = false;
  for (int i = 0; i < patterns.count; ++i) {
    if (MatchesWildcard(patterns.texts[i], entry.stored) ||
        MatchesWildcard(patterns.texts[i], entry.file_name)) {
      patterns.matched[i] = true;
      wanted = true;
    }
  }
  return wanted;
}

// The current folder, as tar and unzip extract into it.
constexpr char kCurrentFolder[] = ".";

}  // namespace

// extract ARCHIVE [-C FOLDER] [--keep] [PATTERN...]: the options may stand
// anywhere before a "--", after which every argument is a pattern (one that
// starts with "-" among them).
int ExtractCommand(const char* program, const char* command, int count, char** arguments) {
  const char* archive = nullptr;
  const char* folder = nullptr;
  bool keep = false;
  // The patterns are gathered in place, at the front of the arguments.
  int patterns = 0;
  bool options_end = false;
  for (int i = 0; i < count; ++i) {
    char* argument = arguments[i];
    if (!options_end && std::strcmp(argument, "--") == 0) {
      options_end = true;
    } else if (!options_end && std::strcmp(argument, "--keep") == 0) {
      keep = true;
    } else if (!options_end && std::strcmp(argument, "-C") == 0) {
      if (folder != nullptr || i + 1 == count) return WrongArguments(program, command);
      folder = arguments[++i];
    } else if (!options_end && argument[0] == '-' && argument[1] != '\0') {
      return WrongArguments(program, command);
    } else if (archive == nullptr) {
      archive = argument;
    } else {
      arguments[patterns++] = argument;
    }
  }
  if (archive == nullptr) return WrongArguments(program, command);

  Patterns chosen{arguments, patterns, std::vector<bool>(static_cast<std::size_t>(patterns))};
  ExtractChoice choice;
  if (patterns > 0) {
    choice.wanted = Wanted;
    choice.context = &chosen;
  }
  choice.keep_existing = keep;
  const int exit_code =
      ExtractArchive(archive, folder != nullptr ? folder : kCurrentFolder, choice);
  // A run that stopped before the walk has matched nothing, and says why.
  if (exit_code != kExitSuccess && exit_code != kExitDamaged) return exit_code;
  bool unmatched = false;
  for (int i = 0; i < patterns; ++i) {
    if (chosen.matched[static_cast<std::size_t>(i)]) continue;
    ReportArgument(kZrqNoEntryMatches, arguments[i]);
    unmatched = true;
  }
  // Problems of the archive say more than a pattern that met nothing (which
  // a damaged directory may well explain).
  if (exit_code == kExitDamaged || !unmatched) return exit_code;
  return kZrqExitNoSuchEntry;
}
