// zrq cat: one entry's output, as unzrq would write it, on standard output.
#include <cstring>

#include "driver/archive_walk.h"
#include "driver/entry_reports.h"
#include "driver/messages.h"
#include "driver/reports.h"
#include "platform/zrq_files.h"
#include "zrq/commands.h"

namespace {

// The entry whose file unzrq would leave under `name`: the last whose output
// name it is (a later entry replaces an earlier one's file); failing that,
// the last whose stored name it is.
struct Search {
  const char* name;
  DirectoryEntry by_output;
  DirectoryEntry by_stored;
  bool found_output;
  bool found_stored;
};

bool LookAtEntry(const OpenedArchive& /*archive*/, std::uint32_t /*index*/, WalkedEntry& entry,
                 void* context) {
  Search& search = *static_cast<Search*>(context);
  NameEntry(entry);
  if (std::strcmp(entry.file_name, search.name) == 0) {
    search.by_output = entry.record;
    search.found_output = true;
  } else if (std::strcmp(entry.stored, search.name) == 0) {
    search.by_stored = entry.record;
    search.found_stored = true;
  }
  return true;
}

int Cat(const char* path, const char* name) {
  OpenedArchive archive;
  const int opened = OpenArchiveForWalk(path, archive);
  if (opened != kExitSuccess) return opened;
  Search search{name, {}, {}, false, false};
  WalkedEntry entry = {};
  bool damaged = false;
  (void)WalkArchive(archive, entry, LookAtEntry, &search, &damaged);
  if (!search.found_output && !search.found_stored) {
    Report(kZrqNoSuchEntry, Shown(name));
    return damaged ? kExitDamaged : kZrqExitNoSuchEntry;
  }
  entry.record = search.found_output ? search.by_output : search.by_stored;
  NameEntry(entry);
  if (!MoveToPayload(archive, entry)) return kExitDamaged;
  DWORD error = NO_ERROR;
  HANDLE output = OpenStandardOutput(&error);
  if (output == INVALID_HANDLE_VALUE) {
    Report(kZrqCannotWriteStandardOutput, entry.shown, Reason(error).text);
    return kExitDamaged;
  }
  const EntryResult result = entry.plan.writer(output, archive.scanning, entry.record.size());
  CloseHandle(output);
  if (result.outcome != EntryOutcome::kComplete) {
    // Nothing judged the entry before its writer did.
    ReportEntryOutcome(entry, result, OutcomeStage::kFirstJudgement,
                       {kZrqCannotWriteStandardOutput, entry.shown});
    return kExitDamaged;
  }
  // The directory past the entry may be damaged; the entry itself is whole.
  return damaged ? kExitDamaged : kExitSuccess;
}

}  // namespace

int CatCommand(const char* program, const char* command, int count, char** arguments) {
  if (count == 2) return Cat(arguments[0], arguments[1]);
  return WrongArguments(program, command);
}
