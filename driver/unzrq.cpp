// The tool's one control flow: settle the output folder, open the archive
// twice, walk the directory once from the first record to the last, and hand
// each entry to the writer for its type.
//
// Two handles read the archive. The directory handle never moves during the
// walk, so the next record is always the next 80 bytes; the scanning handle is
// moved to each payload in turn and is the one the writers read from.
//
// Each entry goes through the same steps: its line is printed, its output is
// named (name, suffix and writer, decided in the one switch on the type), the
// name is judged, the path composed, the payload reached and an image's size
// learnt, all before anything is created; then the output is created and
// written (an image writer judges its bounds again on the width and height
// it reads itself), what became of it is reported, and it keeps or takes its
// name as its fate allows. Replacements of old files wait and take theirs in
// batches, each file's bytes flushed first (platform/publication.cpp); the
// walk publishes a batch when it is full or the disk needs its room.
#include "driver/unzrq.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "archive/archive_format.h"
#include "driver/messages.h"
#include "driver/output_names.h"
#include "platform/console.h"
#include "platform/file_system.h"
#include "publication/publication.h"
#include "writers/entry_writer.h"

namespace {

// Room for every byte of a name escaped as \xNN.
using ShownName = char[4 * DirectoryEntry::kNameBytes + 1];

// What the run keeps from its start to its end.
struct Run {
  const char* folder;
  HANDLE scanning;
  std::uint64_t archive_bytes;
  bool terminal;  // standard output is a terminal: names are shown escaped there too
};

// The driver's buffers for one entry at a time, owned by RunUnzrq for the
// whole run and overwritten by every record. Messages compose their paths
// and reasons in buffers of their own.
struct EntryBuffers {
  DirectoryEntry record;
  EntryName stored;                          // the name as stored, NUL-terminated
  ShownName shown;                           // the stored name fit for one line of a message
  OutputName file_name;                      // the name the output file gets
  char shown_path[4 * kOutputPathCapacity];  // the output path fit for one line of a message
};

// An argument as a message shows it: every byte a terminal may act on as
// \xNN. Room for the longest argument either system passes (Linux: 128 KiB;
// Windows: a command line of 32 Ki characters), each byte escaped; only the
// pages a message touches are ever used.
char g_shown_argument[4 * 128 * 1024 + 1];

const char* ShowArgument(const char* argument) {
  EscapeForMessage(argument, g_shown_argument, sizeof g_shown_argument);
  return g_shown_argument;
}

void PrintUsage(const char* program) {
  std::fprintf(stderr, kUsageLine, program);
  std::fprintf(stderr, "%s", kUsageInputLine);
  std::fprintf(stderr, "%s", kUsageOutputLine);
}

// Problems go to standard error after everything already said on standard
// output, so that a report follows the "File:" line it is about even when
// both streams go to the same place.
void Report(const char* format, ...) {
  // A failed write of standard output is told once, at the end (ferror).
  (void)std::fflush(stdout);
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stderr, format, arguments);
  va_end(arguments);
}

// The system's words for a failure, as a message shows them.
struct Reason {
  char text[kReasonCapacity];
  explicit Reason(DWORD code) { DescribeError(code, text, sizeof text); }
};

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
void PrintEntryLine(const Run& run, EntryBuffers& buffers) {
  CopyEntryName(buffers.record, buffers.stored);
  EscapeForMessage(buffers.stored, buffers.shown, sizeof buffers.shown);
  std::printf(kEntryLine, buffers.record.size(), buffers.record.type(),
              run.terminal ? buffers.shown : buffers.stored);
}

// The output file's name and the writer, decided from the type alone (the
// one decision zrq shares, in driver/output_names.cpp).
OutputPlan NameOutput(EntryBuffers& buffers) {
  return PlanOutput(buffers.record.type(), buffers.stored, buffers.file_name);
}

// Moves the scanning handle to the payload; reports when it cannot.
bool MoveToPayload(const Run& run, const EntryBuffers& buffers) {
  DWORD error = NO_ERROR;
  if (MoveToOffset(run.scanning, buffers.record.offset(), &error)) return true;
  Report(kPayloadMoveFailed, buffers.shown, buffers.record.offset(), Reason(error).text);
  return false;
}

// Judges the output name, composes the output path, reaches the payload and,
// for an image, learns its size: what can be known before the output is
// created, so that an entry refused here leaves nothing behind and replaces
// nothing. *bytes: about how large the output will be.
bool PrepareEntry(const Run& run, EntryBuffers& buffers, const OutputPlan& plan,
                  std::uint64_t* bytes) {
  // The name judged is the one the file really gets, suffix and all.
  if (!IsSafeOutputName(buffers.file_name)) {
    Report(kUnsafeName, buffers.shown);
    return false;
  }
  // Measured with the format that composes it.
  const int path_length =
      std::snprintf(nullptr, 0, kOutputPathFormat, run.folder, buffers.file_name);
  if (path_length < 0 || static_cast<std::size_t>(path_length) >= kOutputPathCapacity) {
    Report(kPathTooLong, buffers.shown);
    return false;
  }
  char path[kOutputPathCapacity];
  wsprintfA(path, kOutputPathFormat, run.folder, buffers.file_name);
  EscapeForMessage(path, buffers.shown_path, sizeof buffers.shown_path);
  if (!MoveToPayload(run, buffers)) return false;
  *bytes = buffers.record.size();
  if (!plan.image()) return true;
  // By the archive's size at the start, as zrq test judges it; the writer
  // judges again by the size when it writes.
  const EntryResult image = ForeseeEntry(plan.layout, run.scanning, buffers.record.offset(),
                                         buffers.record.size(), run.archive_bytes);
  switch (image.outcome) {
    case EntryOutcome::kTooLarge:
      Report(kImageTooLarge, buffers.shown, image.image.width, image.image.height);
      return false;
    case EntryOutcome::kSizeUnreadable:
      Report(kImageSizeReadFailed, buffers.shown, Reason(image.error).text);
      return false;
    default: break;
  }
  *bytes = BitmapFileBytes(image.image);
  // The writer reads the payload from its first byte again.
  return MoveToPayload(run, buffers);
}

// What becomes of an entry's output, from the writer's result alone: only a
// whole entry may take the place of a file that may be the whole entry from
// an earlier run; anything else keeps what the archive gave under a new name.
OutputFate FateOf(const EntryResult& result) {
  return result.outcome == EntryOutcome::kComplete ? OutputFate::kKeep : OutputFate::kIncomplete;
}

void ReportReadFailure(const EntryBuffers& buffers, const EntryResult& result, DWORD error,
                       bool image) {
  if (image) {
    Report(kBitmapReadFailed, buffers.shown, Reason(error).text);
  } else {
    Report(kEntryReadFailed, buffers.shown, static_cast<unsigned>(result.written),
           buffers.record.size(), Reason(error).text);
  }
}

// Tells what the writer met, if anything.
void ReportResult(const EntryBuffers& buffers, const EntryResult& result, bool image) {
  const char* shown = buffers.shown;
  switch (result.outcome) {
    case EntryOutcome::kComplete: break;
    case EntryOutcome::kWriteFailed:
      // Both failures are told, in the order they happened.
      if (result.read_error != NO_ERROR)
        ReportReadFailure(buffers, result, result.read_error, image);
      Report(kCannotWriteFile, buffers.shown_path, Reason(result.error).text);
      break;
    case EntryOutcome::kTruncated: Report(kEntryTruncated, shown); break;
    case EntryOutcome::kDamaged: Report(kEntryDamaged, shown); break;
    case EntryOutcome::kReadFailed: ReportReadFailure(buffers, result, result.error, image); break;
    // The size was judged before the output was made; the writer, reading it
    // again, found otherwise: the archive changed meanwhile, or its read failed.
    case EntryOutcome::kTooLarge:
      Report(kImageSizeChanged, shown, Reason(kErrorArchiveChanged).text);
      break;
    case EntryOutcome::kSizeUnreadable:
      Report(kImageSizeChanged, shown, Reason(result.error).text);
      break;
  }
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

void ReportRefusal(const EntryBuffers& buffers, const OutputRefusal& refusal) {
  if (refusal.error == kErrorOutputIsArchive) {
    Report(kWouldReplaceArchive, buffers.shown);
  } else if (refusal.error == kErrorShortName) {
    char shown_long[4 * MAX_PATH];
    EscapeForMessage(refusal.long_name, shown_long, sizeof shown_long);
    Report(kShortNameOfAnother, buffers.shown, shown_long);
  } else if (refusal.replacing) {
    Report(kCannotCreateReplacement, buffers.shown_path, Reason(refusal.error).text);
  } else {
    Report(kCannotCreateFile, buffers.shown_path, Reason(refusal.error).text);
  }
}

// Creates the output, hands it to the writer and finishes it. Returns false
// when something was reported; *published_ok false when the replacements
// published on the way reported something.
bool WriteOutput(const Run& run, const EntryBuffers& buffers, const OutputPlan& plan,
                 bool* published_ok) {
  OutputRefusal refusal;
  HANDLE output = CreateOutputFile(buffers.file_name, run.scanning, &refusal);
  if (output == INVALID_HANDLE_VALUE &&
      (refusal.error == kErrorWaitingAlias || refusal.error == kErrorRoomHeldByWaiting)) {
    // The name is only the short alias of a replacement of this run that is
    // waiting for its rename, or the replacements waiting hold the room
    // (an inode, a quota) the output needs: once renamed, they hold neither.
    if (!PublishReplacements(run)) *published_ok = false;
    output = CreateOutputFile(buffers.file_name, run.scanning, &refusal);
  }
  if (output == INVALID_HANDLE_VALUE) {
    ReportRefusal(buffers, refusal);
    return false;
  }
  EntryResult result = plan.writer(output, run.scanning, buffers.record.size());
  if (result.outcome == EntryOutcome::kWriteFailed &&
      WaitingReplacementsHoldTheRoom(output, result.error)) {
    // Written again, once, after the replacements that hold the disk's or
    // the quota's room have taken their names and given the room back.
    const OutputFinish dropped = FinishOutputFile(output, OutputFate::kIncomplete);
    if (dropped.leftover != nullptr) {
      Report(kLeftoverNotRemoved, ShownInFolder(run, dropped.leftover).text,
             Reason(dropped.leftover_error).text);
    }
    if (!PublishReplacements(run)) *published_ok = false;
    if (!MoveToPayload(run, buffers)) return false;
    output = CreateOutputFile(buffers.file_name, run.scanning, &refusal);
    if (output == INVALID_HANDLE_VALUE) {
      ReportRefusal(buffers, refusal);
      return false;
    }
    result = plan.writer(output, run.scanning, buffers.record.size());
  }
  ReportResult(buffers, result, plan.image());
  // A failed close or flush loses the bytes even of an entry already
  // reported, and is told after its report.
  const OutputFinish finished = FinishOutputFile(output, FateOf(result));
  bool reported = result.outcome != EntryOutcome::kComplete;
  if (finished.error != NO_ERROR) {
    Report(kCannotWriteFile, buffers.shown_path, Reason(finished.error).text);
    reported = true;
  }
  if (finished.leftover != nullptr) {
    Report(kLeftoverNotRemoved, ShownInFolder(run, finished.leftover).text,
           Reason(finished.leftover_error).text);
    reported = true;
  }
  return !reported;
}

// Reads and extracts every record. Returns the number of records processed;
// sets *damaged when anything was reported.
std::uint32_t WalkDirectory(const Run& run, HANDLE directory, std::uint32_t directory_offset,
                            EntryBuffers& buffers, bool* damaged) {
  std::uint32_t entry_count = 0;
  DWORD error = NO_ERROR;
  const ReadResult count = ReadEntryCount(directory, directory_offset, &entry_count, &error);
  if (count == ReadResult::kFailed) {
    Report(kCountReadFailed, directory_offset, Reason(error).text);
    *damaged = true;
    return 0;
  }
  // An empty file is an empty archive; any other file that ends before its
  // count has lost its directory, and saying "0 files" would hide that.
  if (count == ReadResult::kShort && run.archive_bytes > 0) {
    Report(kCountTruncated, directory_offset);
    *damaged = true;
    return 0;
  }
  std::uint32_t processed = 0;
  bool published_ok = true;
  for (std::uint32_t index = 0; index < entry_count; ++index) {
    // A record cut short or refused is not processed: its fields would be
    // half stale. This also ends a huge corrupt count at the end of the file.
    const ReadResult record = ReadDirectoryEntry(directory, &buffers.record, &error);
    if (record == ReadResult::kFailed) {
      Report(kRecordReadFailed, index, entry_count, Reason(error).text);
      *damaged = true;
      break;
    }
    if (record == ReadResult::kShort) {
      Report(kRecordsTruncated, index, entry_count);
      *damaged = true;
      break;
    }
    ++processed;
    PrintEntryLine(run, buffers);
    const OutputPlan plan = NameOutput(buffers);
    std::uint64_t bytes = 0;
    if (!PrepareEntry(run, buffers, plan, &bytes)) {
      *damaged = true;
      continue;
    }
    // Waiting replacements take their names before the batch overflows, and
    // before this output would find the disk full of them.
    if (ReplacementsDue(bytes) && !PublishReplacements(run)) *damaged = true;
    if (!WriteOutput(run, buffers, plan, &published_ok)) *damaged = true;
  }
  if (!PublishReplacements(run) || !published_ok) *damaged = true;
  return processed;
}

// Closes whatever the run opened, however it ends.
struct OpenedForRun {
  HANDLE directory = INVALID_HANDLE_VALUE;
  HANDLE scanning = INVALID_HANDLE_VALUE;
  bool folder = false;
  OpenedForRun() = default;
  OpenedForRun(const OpenedForRun&) = delete;
  OpenedForRun& operator=(const OpenedForRun&) = delete;
  ~OpenedForRun() {
    // Read-only handles: a failed close loses nothing.
    if (scanning != INVALID_HANDLE_VALUE) (void)CloseHandle(scanning);
    if (directory != INVALID_HANDLE_VALUE) (void)CloseHandle(directory);
    if (folder) CloseOutputFolder();
  }
};

}  // namespace

int RunUnzrq(int argc, char** argv) {
  PrepareProcess();
  if (argc < 2) {
    PrintUsage(argc > 0 ? argv[0] : "unzrq");
    return kExitSuccess;
  }
  BufferStandardOutput();
  const char* folder = argc >= 3 ? argv[2] : kDefaultOutputFolder;
  OpenedForRun opened;
  DWORD folder_error = NO_ERROR;
  if (!PrepareOutputFolder(folder, &folder_error)) {
    if (folder_error != NO_ERROR) {
      std::fprintf(stderr, kCannotOpenFolder, ShowArgument(folder), Reason(folder_error).text);
    } else {
      std::fprintf(stderr, kCannotCreateFolder, ShowArgument(folder));
    }
    return kExitCannotCreateFolder;
  }
  opened.folder = true;

  opened.directory = OpenArchive(argv[1]);
  if (opened.directory == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, kCannotOpenArchive, ShowArgument(argv[1]));
    return kExitCannotOpenArchive;
  }
  ArchiveHeader header = {};
  if (!ReadArchiveHeader(opened.directory, &header)) {
    std::fprintf(stderr, "%s", kCannotReadHeader);
    return kExitCannotReadArchive;
  }
  const std::uint32_t directory_offset = header.directory_offset();
  EntryBuffers buffers = {};
  char joinable[kOutputPathCapacity];
  Run run{SpellFolderForJoining(folder, joinable), INVALID_HANDLE_VALUE, 0,
          StandardOutputIsTerminal()};
  // The size bounds every image; without it no bound could be trusted.
  DWORD size_error = NO_ERROR;
  if (!FileBytes(opened.directory, &run.archive_bytes, &size_error)) {
    std::fprintf(stderr, kCannotReadSize, Reason(size_error).text);
    return kExitCannotReadArchive;
  }

  opened.scanning = OpenArchive(argv[1]);
  if (opened.scanning == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "%s", kCannotOpenScanning);
    return kExitCannotOpenScanning;
  }
  run.scanning = opened.scanning;

  bool damaged = false;
  const std::uint32_t processed =
      WalkDirectory(run, opened.directory, directory_offset, buffers, &damaged);
  std::printf(kSummaryLine, static_cast<int>(processed));

  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "%s", kCannotWriteOutput);
    return kExitDamaged;
  }
  return damaged ? kExitDamaged : kExitSuccess;
}
