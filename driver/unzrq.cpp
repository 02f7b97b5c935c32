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
// name is judged, the path composed and the payload reached, the output is
// created and written (an image writer judges its bounds on the width and
// height it reads), what became of it is reported, and it takes its name as
// its fate allows. Replacements of old files take theirs in batches, after
// one flush (platform/publication.cpp).
#include "driver/unzrq.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "archive/archive_format.h"
#include "driver/messages.h"
#include "driver/output_names.h"
#include "platform/console.h"
#include "platform/file_system.h"
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
// whole run and overwritten by every record.
struct EntryBuffers {
  DirectoryEntry record;
  EntryName stored;      // the name as stored, NUL-terminated
  ShownName shown;       // the stored name fit for one line of a message
  OutputName file_name;  // the name the output file gets
  char path[kOutputPathCapacity];
  char shown_path[4 * kOutputPathCapacity];  // the path fit for one line of a message
  char shown_other[4 * kOutputPathCapacity];  // a second path in the same message
  char reason[kReasonCapacity];
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

// The system's words for `code`, in `buffers.reason`.
const char* Reason(EntryBuffers& buffers, DWORD code) {
  DescribeError(code, buffers.reason, sizeof buffers.reason);
  return buffers.reason;
}

// The folder exists afterwards and is open for the outputs, or it could not
// be made: a plain file of the same name is no folder to write into.
bool PrepareOutputFolder(const char* folder) {
  // Asked even after a create succeeds: some hosts report a device name as created.
  if (!CreateDirectoryA(folder, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
  const DWORD attributes = GetFileAttributesA(folder);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return false;
  }
  DWORD error = NO_ERROR;
  return OpenOutputFolder(folder, &error);
}

bool ArchiveBytes(HANDLE archive, std::uint64_t* bytes, DWORD* error) {
  DWORD high = 0;
  const DWORD low = GetFileSize(archive, &high);
  if (low == INVALID_FILE_SIZE && (*error = GetLastError()) != NO_ERROR) return false;
  *bytes = static_cast<std::uint64_t>(high) << 32 | low;
  return true;
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

// Judges the output name, composes the output path and moves the scanning
// handle to the payload: what can be known before the output is created, so
// that an entry refused here leaves nothing behind and replaces nothing.
bool PrepareEntry(const Run& run, EntryBuffers& buffers) {
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
  wsprintfA(buffers.path, kOutputPathFormat, run.folder, buffers.file_name);
  EscapeForMessage(buffers.path, buffers.shown_path, sizeof buffers.shown_path);
  DWORD error = NO_ERROR;
  if (!MoveToOffset(run.scanning, buffers.record.offset(), &error)) {
    Report(kPayloadMoveFailed, buffers.shown, buffers.record.offset(), Reason(buffers, error));
    return false;
  }
  return true;
}

void ReportReadFailure(EntryBuffers& buffers, const EntryResult& result, DWORD error,
                       bool image) {
  if (image) {
    Report(kBitmapReadFailed, buffers.shown, Reason(buffers, error));
  } else {
    Report(kEntryReadFailed, buffers.shown, static_cast<unsigned>(result.written),
           buffers.record.size(), Reason(buffers, error));
  }
}

// Tells what became of an entry, from the writer's own result, and says
// what becomes of its output.
OutputFate ReportResult(EntryBuffers& buffers, const EntryResult& result, bool image) {
  const char* shown = buffers.shown;
  switch (result.outcome) {
    case EntryOutcome::kComplete: break;
    case EntryOutcome::kWriteFailed:
      // Both failures are told, in the order they happened.
      if (result.read_error != NO_ERROR) ReportReadFailure(buffers, result, result.read_error, image);
      Report(kCannotWriteFile, buffers.shown_path, Reason(buffers, result.error));
      return OutputFate::kIncomplete;
    // What the archive holds of the entry takes a new name, but never the
    // place of a file that may be the whole entry from an earlier run.
    case EntryOutcome::kTruncated: Report(kEntryTruncated, shown); return OutputFate::kIncomplete;
    case EntryOutcome::kDamaged: Report(kEntryDamaged, shown); return OutputFate::kIncomplete;
    case EntryOutcome::kReadFailed:
      // The archive holds more than the system let through: a file it would
      // replace may be the whole of it, from an earlier run.
      ReportReadFailure(buffers, result, result.error, image);
      return OutputFate::kIncomplete;
    case EntryOutcome::kTooLarge:
      Report(kImageTooLarge, shown, result.image.width, result.image.height);
      return OutputFate::kDiscard;
    case EntryOutcome::kSizeUnreadable:
      Report(kImageSizeReadFailed, shown, Reason(buffers, result.error));
      return OutputFate::kDiscard;
  }
  return OutputFate::kKeep;
}

// `name` in the output folder, as a message shows it, into `shown`.
void ShowInFolder(const Run& run, EntryBuffers& buffers, const char* name, char* shown) {
  wsprintfA(buffers.path, kOutputPathFormat, run.folder, name);
  EscapeForMessage(buffers.path, shown, sizeof buffers.shown_path);
}

// Renames the waiting replacements over their names, their bytes flushed to
// the disk first, and tells each that failed. Returns false when something
// was reported.
bool PublishReplacements(const Run& run, EntryBuffers& buffers) {
  bool published = true;
  ReplaceReport report;
  while (PublishNextReplacement(&report)) {
    if (report.outcome == ReplaceOutcome::kReplaced) continue;
    published = false;
    ShowInFolder(run, buffers, report.name, buffers.shown_path);
    ShowInFolder(run, buffers, report.temporary, buffers.shown_other);
    if (report.outcome == ReplaceOutcome::kKeptAside) {
      Report(kReplacementKeptAside, buffers.shown_path, Reason(buffers, report.error),
             buffers.shown_other);
      continue;
    }
    Report(kCannotWriteFile, buffers.shown_path, Reason(buffers, report.error));
    if (report.outcome == ReplaceOutcome::kLeftBehind) {
      Report(kLeftoverNotRemoved, buffers.shown_other, Reason(buffers, report.leftover_error));
    }
  }
  return published;
}

void ReportRefusal(EntryBuffers& buffers, OutputRefusal& refusal) {
  if (refusal.error == kErrorOutputIsArchive) {
    Report(kWouldReplaceArchive, buffers.shown);
  } else if (refusal.error == kErrorShortName) {
    EscapeForMessage(refusal.long_name, buffers.shown_other, sizeof buffers.shown_other);
    Report(kShortNameOfAnother, buffers.shown, buffers.shown_other);
  } else if (refusal.replacing) {
    Report(kCannotCreateReplacement, buffers.shown_path, Reason(buffers, refusal.error));
  } else {
    Report(kCannotCreateFile, buffers.shown_path, Reason(buffers, refusal.error));
  }
}

// Creates the output, hands it to the writer and finishes it. Returns false
// when something was reported.
bool WriteOutput(const Run& run, EntryBuffers& buffers, const OutputPlan& plan) {
  OutputRefusal refusal;
  HANDLE output = CreateOutputFile(buffers.file_name, run.scanning, &refusal);
  if (output == INVALID_HANDLE_VALUE) {
    ReportRefusal(buffers, refusal);
    return false;
  }
  const EntryResult result = plan.writer(output, run.scanning, buffers.record.size());
  const OutputFate fate = ReportResult(buffers, result, plan.image);
  // A failed close, link or flush loses the bytes even of an entry already
  // reported, and is told after its report.
  const OutputFinish finished = FinishOutputFile(output, fate);
  bool reported = result.outcome != EntryOutcome::kComplete;
  if (finished.error != NO_ERROR) {
    Report(kCannotWriteFile, buffers.shown_path, Reason(buffers, finished.error));
    reported = true;
  }
  if (finished.leftover != nullptr) {
    ShowInFolder(run, buffers, finished.leftover, buffers.shown_other);
    Report(kLeftoverNotRemoved, buffers.shown_other, Reason(buffers, finished.leftover_error));
    reported = true;
  }
  // A full queue is published before the next output may join it.
  if (ReplacementBatchFull() && !PublishReplacements(run, buffers)) {
    reported = true;
  }
  return !reported;
}

// One record, from its line to its report. Returns false when something was reported.
bool ExtractEntry(const Run& run, EntryBuffers& buffers) {
  PrintEntryLine(run, buffers);
  const OutputPlan plan = NameOutput(buffers);
  return PrepareEntry(run, buffers) && WriteOutput(run, buffers, plan);
}

// Reads and extracts every record. Returns the number of records processed;
// sets *damaged when anything was reported.
std::uint32_t WalkDirectory(const Run& run, HANDLE directory, std::uint32_t directory_offset,
                            EntryBuffers& buffers, bool* damaged) {
  std::uint32_t entry_count = 0;
  DWORD error = NO_ERROR;
  const ReadResult count = ReadEntryCount(directory, directory_offset, &entry_count, &error);
  if (count == ReadResult::kFailed) {
    Report(kCountReadFailed, directory_offset, Reason(buffers, error));
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
  for (std::uint32_t index = 0; index < entry_count; ++index) {
    // A record cut short or refused is not processed: its fields would be
    // half stale. This also ends a huge corrupt count at the end of the file.
    const ReadResult record = ReadDirectoryEntry(directory, &buffers.record, &error);
    if (record == ReadResult::kFailed) {
      Report(kRecordReadFailed, index, entry_count, Reason(buffers, error));
      *damaged = true;
      break;
    }
    if (record == ReadResult::kShort) {
      Report(kRecordsTruncated, index, entry_count);
      *damaged = true;
      break;
    }
    ++processed;
    if (!ExtractEntry(run, buffers)) *damaged = true;
  }
  if (!PublishReplacements(run, buffers)) *damaged = true;
  return processed;
}

}  // namespace

int RunUnzrq(int argc, char** argv) {
  PrepareProcess();
  if (argc < 2) {
    PrintUsage(argc > 0 ? argv[0] : "unzrq");
    return kExitSuccess;
  }
  BufferStandardOutput();
  const char* folder = argc >= 3 ? argv[2] : kDefaultOutputFolder;
  if (!PrepareOutputFolder(folder)) {
    std::fprintf(stderr, kCannotCreateFolder, ShowArgument(folder));
    return kExitCannotCreateFolder;
  }

  HANDLE directory = OpenArchive(argv[1]);
  if (directory == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, kCannotOpenArchive, ShowArgument(argv[1]));
    CloseOutputFolder();
    return kExitCannotOpenArchive;
  }
  ArchiveHeader header = {};
  if (!ReadArchiveHeader(directory, &header)) {
    std::fprintf(stderr, "%s", kCannotReadHeader);
    CloseOutputFolder();
    CloseHandle(directory);
    return kExitCannotReadArchive;
  }
  const std::uint32_t directory_offset = header.directory_offset();
  EntryBuffers buffers = {};
  char joinable[kOutputPathCapacity];
  Run run{SpellFolderForJoining(folder, joinable), INVALID_HANDLE_VALUE, 0,
          StandardOutputIsTerminal()};
  // The size bounds every image; without it no bound could be trusted.
  DWORD size_error = NO_ERROR;
  if (!ArchiveBytes(directory, &run.archive_bytes, &size_error)) {
    std::fprintf(stderr, kCannotReadSize, Reason(buffers, size_error));
    CloseOutputFolder();
    CloseHandle(directory);
    return kExitCannotReadArchive;
  }

  run.scanning = OpenArchive(argv[1]);
  if (run.scanning == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "%s", kCannotOpenScanning);
    CloseOutputFolder();
    CloseHandle(directory);
    return kExitCannotOpenScanning;
  }

  bool damaged = false;
  const std::uint32_t processed =
      WalkDirectory(run, directory, directory_offset, buffers, &damaged);
  std::printf(kSummaryLine, static_cast<int>(processed));

  CloseHandle(run.scanning);
  CloseHandle(directory);
  CloseOutputFolder();
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "%s", kCannotWriteOutput);
    return kExitDamaged;
  }
  return damaged ? kExitDamaged : kExitSuccess;
}
