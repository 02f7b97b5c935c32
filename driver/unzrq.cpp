// The tool's one control flow: settle the output folder, open the archive
// twice, walk the directory once from the first record to the last, and hand
// each entry to the writer for its type.
//
// The walk, the naming and the judgement of each entry are the ones zrq uses
// too (driver/archive_walk.h): two handles read the archive, the directory
// handle never moved during the walk, the scanning handle moved to each
// payload in turn for the writers.
//
// Each entry goes through the same steps: its line is printed, its output is
// named (name, suffix and writer, decided in the one switch on the type), the
// name is judged, the path composed, the payload reached and an image's size
// learnt, all before anything is created (JudgeEntry); then the output is
// created and written (an image writer judges its bounds again on the width
// and height it reads itself), what became of it is reported
// (ReportEntryOutcome), and it keeps or takes its name as its fate allows.
// Replacements of old files wait and take theirs in batches, each file's
// bytes made durable first (publication/); the walk publishes a batch
// when it is full or the disk needs its room.
#include "driver/unzrq.h"

#include <cstdio>

#include "driver/archive_walk.h"
#include "driver/entry_reports.h"
#include "driver/messages.h"
#include "driver/output_names.h"
#include "driver/reports.h"
#include "platform/console.h"
#include "platform/file_system.h"
#include "publication/publication.h"
#include "writers/entry_writer.h"

namespace {

// What the run keeps from its start to its end.
struct Run {
  const char* folder;  // spelt for joining
  const OpenedArchive* archive;
  bool terminal;  // standard output is a terminal: names are shown escaped there too
  const ExtractChoice* choice;
  std::uint32_t extracted;  // entries chosen, whatever became of them
  bool published_ok;        // false once a replacement published on the way reported something
};

void PrintUsage(const char* program) {
  std::fprintf(stderr, kUsageLine, program);
  std::fprintf(stderr, "%s", kUsageInputLine);
  std::fprintf(stderr, "%s", kUsageOutputLine);
}

// A name in the output folder, as a message shows it.
struct ShownInFolder {
  char text[4 * kOutputPathCapacity];
  ShownInFolder(const Run& run, const char* name) {
    char path[kOutputPathCapacity];
    wsprintfA(path, kOutputPathFormat, run.folder, name);
    EscapeForMessage(path, text, sizeof text);
  }
};

// The folder exists afterwards and is open for the outputs, or it could not
// be made (false) or opened (false with the reason in *error): a plain file
// of the same name is no folder to write into.
bool PrepareOutputFolder(const char* folder, DWORD* error) {
  // Asked even after a create succeeds: some hosts report a device name as created.
  if (!CreateDirectoryA(folder, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
  const DWORD attributes = GetFileAttributesA(folder);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return false;
  }
  return OpenOutputFolder(folder, error);
}

// The record's line, its name as stored. On a terminal its control bytes (C1
// written as UTF-8 among them) are shown as \xNN, as in messages, so that a
// name cannot retitle the window or clear the screen; into a pipe or a file
// the bytes go unchanged, a line feed too.
void PrintEntryLine(const Run& run, const WalkedEntry& entry) {
  std::printf(kEntryLine, entry.record.size(), entry.record.type(),
              run.terminal ? entry.shown : entry.stored);
}

// What becomes of an entry's output, from the writer's result alone: only a
// whole entry may take the place of a file that may be the whole entry from
// an earlier run; anything else keeps what the archive gave under a new name.
OutputFate FateOf(const EntryResult& result) {
  return result.outcome == EntryOutcome::kComplete ? OutputFate::kKeep : OutputFate::kIncomplete;
}

// Renames the waiting replacements over their names, their bytes made
// durable first, and tells each that failed. Returns false when something
// was reported.
bool PublishReplacements(const Run& run) {
  bool published = true;
  ReplaceReport report;
  while (PublishNextReplacement(&report)) {
    if (report.outcome == ReplaceOutcome::kReplaced) continue;
    published = false;
    const ShownInFolder name(run, report.name);
    const ShownInFolder temporary(run, report.temporary);
    const Reason reason(report.error);
    if (report.outcome == ReplaceOutcome::kKeptAside) {
      Report(kReplacementKeptAside, name.text, reason.text, temporary.text);
      continue;
    }
    if (report.outcome == ReplaceOutcome::kNotOwn) {
      Report(kReplacementNotOwn, name.text, temporary.text, reason.text);
      continue;
    }
    Report(kCannotWriteFile, name.text, reason.text);
    if (report.outcome == ReplaceOutcome::kLeftBehind) {
      Report(kLeftoverNotRemoved, temporary.text, Reason(report.leftover_error).text);
    }
  }
  return published;
}

void ReportRefusal(const WalkedEntry& entry, const OutputRefusal& refusal) {
  if (refusal.error == kErrorOutputIsArchive) {
    Report(kWouldReplaceArchive, entry.shown);
  } else if (refusal.error == kErrorShortName) {
    char shown_long[4 * MAX_PATH];
    EscapeForMessage(refusal.long_name, shown_long, sizeof shown_long);
    Report(kShortNameOfAnother, entry.shown, shown_long);
  } else if (refusal.replacing) {
    Report(kCannotCreateReplacement, entry.shown_path, Reason(refusal.error).text);
  } else {
    Report(kCannotCreateFile, entry.shown_path, Reason(refusal.error).text);
  }
}

// Creates the output, hands it to the writer and finishes it. Returns false
// when something was reported.
bool WriteOutput(Run& run, const WalkedEntry& entry) {
  HANDLE scanning = run.archive->scanning;
  OutputRefusal refusal;
  const bool keep = run.choice->keep_existing;
  HANDLE output = keep ? CreateOutputFileUnlessTaken(entry.file_name, scanning, &refusal)
                       : CreateOutputFile(entry.file_name, scanning, &refusal);
  if (output == INVALID_HANDLE_VALUE &&
      (refusal.error == kErrorWaitingAlias || refusal.error == kErrorRoomHeldByWaiting)) {
    // The name is only the short alias of a replacement of this run that is
    // waiting for its rename, or the replacements waiting hold the room
    // (an inode, a quota) the output needs: once renamed, they hold neither.
    if (!PublishReplacements(run)) run.published_ok = false;
    output = CreateOutputFile(entry.file_name, scanning, &refusal);
  }
  if (output == INVALID_HANDLE_VALUE && keep && refusal.error == ERROR_ALREADY_EXISTS) {
    // Left as it is, as asked: told, but no problem.
    Report(kZrqKeptExisting, entry.shown_path);
    return true;
  }
  if (output == INVALID_HANDLE_VALUE) {
    ReportRefusal(entry, refusal);
    return false;
  }
  EntryResult result = entry.plan.writer(output, scanning, entry.record.size());
  if (result.outcome == EntryOutcome::kWriteFailed &&
      WaitingReplacementsHoldTheRoom(output, result.error)) {
    // Written again, once, after the replacements that hold the disk's or
    // the quota's room have taken their names and given the room back.
    const OutputFinish dropped = FinishOutputFile(output, OutputFate::kIncomplete);
    if (dropped.leftover != nullptr) {
      Report(kLeftoverNotRemoved, ShownInFolder(run, dropped.leftover).text,
             Reason(dropped.leftover_error).text);
    }
    if (!PublishReplacements(run)) run.published_ok = false;
    if (!MoveToPayload(*run.archive, entry)) return false;
    output = CreateOutputFile(entry.file_name, scanning, &refusal);
    if (output == INVALID_HANDLE_VALUE) {
      ReportRefusal(entry, refusal);
      return false;
    }
    result = entry.plan.writer(output, scanning, entry.record.size());
  }
  ReportEntryOutcome(entry, result, OutcomeStage::kAfterJudgement,
                     {kCannotWriteFile, entry.shown_path});
  // A failed close or flush loses the bytes even of an entry already
  // reported, and is told after its report.
  const OutputFinish finished = FinishOutputFile(output, FateOf(result));
  bool reported = result.outcome != EntryOutcome::kComplete;
  if (finished.error != NO_ERROR) {
    Report(kCannotWriteFile, entry.shown_path, Reason(finished.error).text);
    reported = true;
  }
  if (finished.leftover != nullptr) {
    Report(kLeftoverNotRemoved, ShownInFolder(run, finished.leftover).text,
           Reason(finished.leftover_error).text);
    reported = true;
  }
  return !reported;
}

// One record of the walk: its line, its judgement, then its output.
bool ExtractEntry(const OpenedArchive& archive, std::uint32_t /*index*/, WalkedEntry& entry,
                  void* context) {
  Run& run = *static_cast<Run*>(context);
  NameEntry(entry);
  if (run.choice->wanted != nullptr && !run.choice->wanted(entry, run.choice->context)) {
    return true;
  }
  ++run.extracted;
  PrintEntryLine(run, entry);
  if (!JudgeEntry(archive, run.folder, entry)) return false;
  // About how large the output will be.
  const std::uint64_t bytes =
      entry.plan.image() ? BitmapFileBytes(entry.foreseen.image) : entry.record.size();
  // Waiting replacements take their names before the batch overflows, and
  // before this output would find the disk full of them.
  bool written = true;
  if (ReplacementsDue(bytes) && !PublishReplacements(run)) written = false;
  if (!WriteOutput(run, entry)) written = false;
  return written;
}

// Closes the output folder however the run ends.
struct OpenedFolder {
  bool open = false;
  OpenedFolder() = default;
  OpenedFolder(const OpenedFolder&) = delete;
  OpenedFolder& operator=(const OpenedFolder&) = delete;
  ~OpenedFolder() {
    if (open) CloseOutputFolder();
  }
};

}  // namespace

int ExtractArchive(const char* archive_path, const char* folder, const ExtractChoice& choice) {
  BufferStandardOutput();
  OpenedFolder opened_folder;
  DWORD folder_error = NO_ERROR;
  if (!PrepareOutputFolder(folder, &folder_error)) {
    if (folder_error != NO_ERROR) {
      ReportArgument(kCannotOpenFolder, folder, Reason(folder_error).text);
    } else {
      ReportArgument(kCannotCreateFolder, folder);
    }
    return kExitCannotCreateFolder;
  }
  opened_folder.open = true;

  // Declared after the folder, so that the archive is closed before it.
  OpenedArchive archive;
  const int opened = OpenArchiveForWalk(archive_path, archive);
  if (opened != kExitSuccess) return opened;

  char joinable[kOutputPathCapacity];
  Run run{SpellFolderForJoining(folder, joinable),
          &archive,
          StandardOutputIsTerminal(),
          &choice,
          0,
          true};
  WalkedEntry entry = {};
  bool damaged = false;
  (void)WalkArchive(archive, entry, ExtractEntry, &run, &damaged);
  if (!PublishReplacements(run) || !run.published_ok) damaged = true;
  std::printf(kSummaryLine, static_cast<int>(run.extracted));
  return FinishStandardOutput(damaged ? kExitDamaged : kExitSuccess);
}

int RunUnzrq(int argc, char** argv) {
  PrepareProcess();
  if (argc < 2) {
    PrintUsage(argc > 0 ? argv[0] : "unzrq");
    return kExitSuccess;
  }
  const char* folder = argc >= 3 ? argv[2] : kDefaultOutputFolder;
  return ExtractArchive(argv[1], folder, ExtractChoice{});
}
