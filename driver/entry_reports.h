// The one step from what became of an entry to its message, for unzrq's
// writes, zrq's judgements and zrq cat's output alike.
#pragma once

#include "driver/archive_walk.h"

// Where the entry's bytes went, for the message of a failed write: a format
// taking the shown destination and the reason (kCannotWriteFile with the
// output path; zrq cat's own for standard output).
struct OutputShown {
  const char* cannot_write;
  const char* shown;
};

// When the outcome was met.
enum class OutcomeStage {
  kFirstJudgement,  // by ForeseeEntry, or by a writer that nothing judged before
  kAfterJudgement,  // by a writer after JudgeEntry had judged the image's size
};

// Tells what `result` says of `entry`, if anything: nothing for kComplete;
// a read refused before a failed write is told before it. An image's size
// judged once and found otherwise by the writer means the archive changed
// meanwhile, or its read failed.
void ReportEntryOutcome(const WalkedEntry& entry, const EntryResult& result, OutcomeStage stage,
                        OutputShown output);
