// zrq list and zrq test: one walk over the directory, each record judged as
// unzrq's walk judges it (name, path, payload, then what the writer would
// make of it, foreseen from the archive's size and an image's width and
// height) and every problem told with unzrq's own message, as a listing, as
// JSON, or as a verdict alone.
#include <cstdio>
#include <cstring>

#include "driver/archive_walk.h"
#include "driver/entry_reports.h"
#include "driver/messages.h"
#include "driver/reports.h"
#include "platform/console.h"
#include "zrq/commands.h"

namespace {

enum class WalkOutput { kNone, kLines, kJson };

// What the walk keeps across its records.
struct Listing {
  WalkOutput output;
  bool terminal;
  std::uint32_t failing;  // entries unzrq would skip or write incomplete
  std::uint64_t bytes;    // the records' sizes, summed
};

// What unzrq would do with a judged entry.
struct Fate {
  bool skipped;     // unzrq writes nothing for it
  bool incomplete;  // unzrq writes it, but not whole
};

// A name for JSON: quote, backslash and control bytes escaped; a byte that
// is no part of well-formed UTF-8 as \u00XX (the byte's value as a code
// point); "name_bytes" beside it gives every name exactly.
void PrintJsonString(const char* text) {
  std::putchar('"');
  for (std::size_t i = 0; text[i] != '\0'; ++i) {
    const unsigned char byte = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    if (byte >= 0xC2 && byte <= 0xDF) length = 2;
    if (byte >= 0xE0 && byte <= 0xEF) length = 3;
    if (byte >= 0xF0 && byte <= 0xF4) length = 4;
    bool well_formed = length > 0;
    for (std::size_t k = 1; k < length && well_formed; ++k) {
      well_formed = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    }
    // No overlong forms, no surrogates, nothing past U+10FFFF.
    const unsigned char second = well_formed ? static_cast<unsigned char>(text[i + 1]) : 0;
    if ((byte == 0xE0 && second < 0xA0) || (byte == 0xED && second > 0x9F) ||
        (byte == 0xF0 && second < 0x90) || (byte == 0xF4 && second > 0x8F)) {
      well_formed = false;
    }
    if (well_formed) {
      (void)std::fwrite(text + i, 1, length, stdout);
      i += length - 1;
    } else if (byte == '"' || byte == '\\') {
      std::printf("\\%c", byte);
    } else if (byte < 0x20 || byte >= 0x7F) {
      std::printf("\\u%04X", byte);
    } else {
      std::putchar(byte);
    }
  }
  std::putchar('"');
}

void PrintJsonEntry(std::uint32_t index, const WalkedEntry& entry, Fate fate) {
  std::printf("%s    {\"index\": %u, \"type\": %u, \"size\": %u, \"offset\": %u, \"name\": ",
              index == 0 ? "" : "," UNZRQ_LINE_END, index, entry.record.type(), entry.record.size(),
              entry.record.offset());
  PrintJsonString(entry.stored);
  std::printf(", \"name_bytes\": \"");
  for (const char* c = entry.stored; *c != '\0'; ++c) {
    std::printf("%02X", static_cast<unsigned char>(*c));
  }
  std::printf("\", \"output\": ");
  PrintJsonString(entry.file_name);
  if (entry.plan.image() && !fate.skipped) {
    std::printf(", \"width\": %u, \"height\": %u", entry.foreseen.image.width,
                entry.foreseen.image.height);
  }
  std::printf(", \"fate\": \"%s\"}",
              fate.skipped ? "skipped" : (fate.incomplete ? "incomplete" : "written"));
}

void PrintListLine(std::uint32_t index, const WalkedEntry& entry, Fate fate, bool terminal) {
  // On a terminal names are shown escaped, as in unzrq's lines; into a pipe
  // or a file their bytes go unchanged.
  ShownName shown_output;
  EscapeForMessage(entry.file_name, shown_output, sizeof shown_output);
  char image[32] = "";
  if (entry.plan.image() && !fate.skipped) {
    (void)std::snprintf(image, sizeof image, kZrqListImage, entry.foreseen.image.width,
                        entry.foreseen.image.height);
  }
  std::printf(kZrqListLine, index, entry.record.type(), entry.record.size(), image,
              terminal ? entry.shown : entry.stored, terminal ? shown_output : entry.file_name);
  if (fate.skipped) std::printf("%s", kZrqListSkipped);
  if (!fate.skipped && fate.incomplete) std::printf("%s", kZrqListIncomplete);
  std::printf("%s", kZrqListEnd);
}

// unzrq's steps for one entry, up to the output's creation, then the
// writer's outcome foreseen and told as the writer would tell it. The output
// folder is unzrq's default, as nothing is written: what only the folder
// decides (an old file, a folder standing under the name, the rights) is not
// judged.
bool ListEntry(const OpenedArchive& archive, std::uint32_t index, WalkedEntry& entry,
               void* context) {
  Listing& listing = *static_cast<Listing*>(context);
  NameEntry(entry);
  Fate fate{!JudgeEntry(archive, kDefaultOutputFolder, entry), false};
  if (!fate.skipped && entry.foreseen.outcome != EntryOutcome::kComplete) {
    ReportEntryOutcome(entry, entry.foreseen, OutcomeStage::kFirstJudgement, {});
    fate.incomplete = true;
  }
  if (fate.skipped || fate.incomplete) ++listing.failing;
  listing.bytes += entry.record.size();
  if (listing.output == WalkOutput::kLines) PrintListLine(index, entry, fate, listing.terminal);
  if (listing.output == WalkOutput::kJson) PrintJsonEntry(index, entry, fate);
  // A failing entry makes the verdict, not the directory, damaged.
  return true;
}

// `list` and `test`: every record judged, in directory order.
int ListOrTest(const char* path, WalkOutput output) {
  BufferStandardOutput();
  OpenedArchive archive;
  const int opened = OpenArchiveForWalk(path, archive);
  if (opened != kExitSuccess) return opened;
  Listing listing{output, StandardOutputIsTerminal(), 0, 0};
  if (output == WalkOutput::kJson) std::printf("{\"entries\": [" UNZRQ_LINE_END);
  if (output == WalkOutput::kLines) std::printf("%s", kZrqListHeader);
  WalkedEntry entry = {};
  bool directory_damaged = false;
  const std::uint32_t processed =
      WalkArchive(archive, entry, ListEntry, &listing, &directory_damaged);
  const std::uint32_t failing = listing.failing;
  const bool damaged = directory_damaged || failing > 0;
  if (output == WalkOutput::kJson) {
    std::printf("%s], \"records\": %u, \"failing\": %u, \"damaged\": %s}" UNZRQ_LINE_END,
                processed == 0 ? "" : UNZRQ_LINE_END, processed, failing,
                damaged ? "true" : "false");
  }
  if (output == WalkOutput::kLines) {
    std::printf(kZrqListTotal, processed, kZrqListEntryWords[processed == 1 ? 0 : 1],
                static_cast<unsigned long long>(listing.bytes),
                kZrqListByteWords[listing.bytes == 1 ? 0 : 1]);
  }
  if (output == WalkOutput::kNone) {
    if (directory_damaged) {
      std::printf(kZrqTestDirectoryDamaged, processed, failing);
    } else if (damaged) {
      std::printf(kZrqTestFailed, processed, failing);
    } else {
      std::printf(kZrqTestPassed, processed);
    }
  }
  return FinishStandardOutput(damaged ? kExitDamaged : kExitSuccess);
}

}  // namespace

int ListCommand(const char* program, const char* command, int count, char** arguments) {
  // An option where the archive should be (`list --json` alone) is no
  // archive's name: the usage says what is missing.
  if (count == 1 && arguments[0][0] == '-' && arguments[0][1] != '\0') {
    return WrongArguments(program, command);
  }
  if (count == 1) return ListOrTest(arguments[0], WalkOutput::kLines);
  if (count == 2 && std::strcmp(arguments[0], "--json") == 0) {
    return ListOrTest(arguments[1], WalkOutput::kJson);
  }
  return WrongArguments(program, command);
}

int TestCommand(const char* program, const char* command, int count, char** arguments) {
  if (count == 1) return ListOrTest(arguments[0], WalkOutput::kNone);
  return WrongArguments(program, command);
}
