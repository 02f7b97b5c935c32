#include "driver/archive_walk.h"

#include <cstdio>

#include "driver/entry_reports.h"
#include "driver/messages.h"
#include "driver/reports.h"
#include "platform/file_system.h"

OpenedArchive::~OpenedArchive() {
  // Read-only handles: a failed close loses nothing.
  if (scanning != INVALID_HANDLE_VALUE) (void)CloseHandle(scanning);
  if (directory != INVALID_HANDLE_VALUE) (void)CloseHandle(directory);
}

int OpenArchiveForWalk(const char* path, OpenedArchive& archive) {
  archive.directory = OpenForReading(path);
  if (archive.directory == INVALID_HANDLE_VALUE) {
    ReportArgument(kCannotOpenArchive, path);
    return kExitCannotOpenArchive;
  }
  ArchiveHeader header = {};
  if (!ReadArchiveHeader(archive.directory, &header)) {
    std::fprintf(stderr, "%s", kCannotReadHeader);
    return kExitCannotReadArchive;
  }
  archive.directory_offset = header.directory_offset();
  // The size bounds every image; without it no bound could be trusted.
  DWORD size_error = NO_ERROR;
  if (!FileBytes(archive.directory, &archive.bytes, &size_error)) {
    std::fprintf(stderr, kCannotReadSize, Reason(size_error).text);
    return kExitCannotReadArchive;
  }
  archive.scanning = OpenForReading(path);
  if (archive.scanning == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "%s", kCannotOpenScanning);
    return kExitCannotOpenScanning;
  }
  return kExitSuccess;
}

void NameEntry(WalkedEntry& entry) {
  CopyEntryName(entry.record, entry.stored);
  EscapeForMessage(entry.stored, entry.shown, sizeof entry.shown);
  entry.plan = PlanOutput(entry.record.type(), entry.stored, entry.file_name);
}

bool MoveToPayload(const OpenedArchive& archive, const WalkedEntry& entry) {
  DWORD error = NO_ERROR;
  if (MoveToOffset(archive.scanning, entry.record.offset(), &error)) return true;
  Report(kPayloadMoveFailed, entry.shown, entry.record.offset(), Reason(error).text);
  return false;
}

bool JudgeEntry(const OpenedArchive& archive, const char* folder, WalkedEntry& entry) {
  entry.foreseen = {.outcome = EntryOutcome::kComplete};
  entry.shown_path[0] = '\0';
  // The name judged is the one the file really gets, suffix and all.
  if (!IsSafeOutputName(entry.file_name)) {
    Report(kUnsafeName, entry.shown);
    return false;
  }
  // Measured with the format that composes it: a long output folder leaves
  // less room for the names in it.
  const int path_length = std::snprintf(nullptr, 0, kOutputPathFormat, folder, entry.file_name);
  if (path_length < 0 || static_cast<std::size_t>(path_length) >= kOutputPathCapacity) {
    Report(kPathTooLong, entry.shown);
    return false;
  }
  char path[kOutputPathCapacity];
  wsprintfA(path, kOutputPathFormat, folder, entry.file_name);
  EscapeForMessage(path, entry.shown_path, sizeof entry.shown_path);
  if (!MoveToPayload(archive, entry)) return false;
  // Neither a raw payload nor a fixed-width image is read to be judged; a
  // sized image's width and height are.
  entry.foreseen = ForeseeEntry(entry.plan.layout, archive.scanning, entry.record.offset(),
                                entry.record.size(), archive.bytes);
  if (entry.foreseen.outcome == EntryOutcome::kTooLarge ||
      entry.foreseen.outcome == EntryOutcome::kSizeUnreadable) {
    ReportEntryOutcome(entry, entry.foreseen, OutcomeStage::kFirstJudgement, {});
    return false;
  }
  // The writer reads the payload from its first byte again.
  return !entry.plan.image() || MoveToPayload(archive, entry);
}

std::uint32_t WalkArchive(const OpenedArchive& archive, WalkedEntry& entry, EntryVisitor* visit,
                          void* context, bool* damaged) {
  std::uint32_t entry_count = 0;
  DWORD error = NO_ERROR;
  const ReadResult count =
      ReadEntryCount(archive.directory, archive.directory_offset, &entry_count, &error);
  if (count == ReadResult::kFailed) {
    Report(kCountReadFailed, archive.directory_offset, Reason(error).text);
    *damaged = true;
    return 0;
  }
  // An empty file is an empty archive; any other file that ends before its
  // count has lost its directory, and saying "0 files" would hide that.
  if (count == ReadResult::kShort && archive.bytes > 0) {
    Report(kCountTruncated, archive.directory_offset);
    *damaged = true;
    return 0;
  }
  std::uint32_t processed = 0;
  for (std::uint32_t index = 0; index < entry_count; ++index) {
    // A record cut short or refused is not processed: its fields would be
    // half stale. This also ends a huge corrupt count at the end of the file.
    const ReadResult record = ReadDirectoryEntry(archive.directory, &entry.record, &error);
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
    if (!visit(archive, index, entry, context)) *damaged = true;
  }
  return processed;
}
