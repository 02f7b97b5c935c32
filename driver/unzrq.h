#pragma once

#include "driver/archive_walk.h"

// Runs the tool on an argument vector: argv[1] is the archive, argv[2] the
// optional output folder. Returns the process exit code: 0, -1 to -4 for a
// failure that stops the run before the walk, -5 when the walk met problems
// (each reported on standard error; every good entry was still written).
int RunUnzrq(int argc, char** argv);

// Which entries a run writes. unzrq writes every entry and replaces what
// stands under an output's name (ExtractChoice{}).
struct ExtractChoice {
  // Called with each record named (NameEntry) before its line is printed;
  // an entry it returns false for is passed over without a word and is not
  // counted in the summary. nullptr: every entry.
  bool (*wanted)(const WalkedEntry& entry, void* context) = nullptr;
  void* context = nullptr;
  // An entry whose output name already stands in the folder (anything at
  // all, decided by the create itself) is judged but not written, and said
  // so: no problem. Nothing is ever replaced.
  bool keep_existing = false;
};

// unzrq's whole run after its arguments: the output folder made and opened,
// the archive opened, every chosen entry written with unzrq's lines and
// messages, the summary line. Returns the exit code, as RunUnzrq does.
int ExtractArchive(const char* archive_path, const char* folder, const ExtractChoice& choice);
