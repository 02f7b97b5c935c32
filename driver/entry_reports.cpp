#include "driver/entry_reports.h"

#include "driver/messages.h"
#include "driver/reports.h"

namespace {

void ReportReadFailure(const WalkedEntry& entry, const EntryResult& result, DWORD error) {
  if (entry.plan.image()) {
    Report(kBitmapReadFailed, entry.shown, Reason(error).text);
  } else {
    Report(kEntryReadFailed, entry.shown, static_cast<unsigned>(result.written),
           entry.record.size(), Reason(error).text);
  }
}

}  // namespace

void ReportEntryOutcome(const WalkedEntry& entry, const EntryResult& result, OutcomeStage stage,
                        OutputShown output) {
  const char* shown = entry.shown;
  const bool judged_before = stage == OutcomeStage::kAfterJudgement;
  switch (result.outcome) {
    case EntryOutcome::kComplete: break;
    case EntryOutcome::kWriteFailed:
      // Both failures are told, in the order they happened.
      if (result.read_error != NO_ERROR) ReportReadFailure(entry, result, result.read_error);
      Report(output.cannot_write, output.shown, Reason(result.error).text);
      break;
    case EntryOutcome::kTruncated: Report(kEntryTruncated, shown); break;
    case EntryOutcome::kDamaged: Report(kEntryDamaged, shown); break;
    case EntryOutcome::kReadFailed: ReportReadFailure(entry, result, result.error); break;
    case EntryOutcome::kTooLarge:
      if (judged_before) {
        Report(kImageSizeChanged, shown, Reason(kErrorArchiveChanged).text);
      } else {
        Report(kImageTooLarge, shown, result.image.width, result.image.height);
      }
      break;
    case EntryOutcome::kSizeUnreadable:
      if (judged_before) {
        Report(kImageSizeChanged, shown, Reason(result.error).text);
      } else {
        Report(kImageSizeReadFailed, shown, Reason(result.error).text);
      }
      break;
  }
}
