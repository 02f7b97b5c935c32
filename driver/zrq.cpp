// zrq, unzrq's companion: lists an archive, tests it, prints one entry, or
// packs files into a new archive. It reads archives with unzrq's own reader
// (archive/archive_format.h), names outputs with unzrq's one decision
// (PlanOutput), judges names and images by unzrq's own checks and writes
// entries with unzrq's writers, so that what it says of an archive is what
// unzrq would do with it, and what it packs unzrq unpacks to the same files.
//
// `list` and `test` are one walk over the directory: each record is judged
// as unzrq's walk judges it (name, path, payload, then what the writer would
// make of it, foreseen from the archive's size and an image's width and
// height, ForeseeEntry) and every problem is told with unzrq's own message.
// `cat` runs the writer for one entry with standard output as its output.
// `create` gathers every input first and refuses the lot when any input
// cannot become an entry that unpacks to it; only then is the archive
// written, beside its name, and renamed there once whole.
#include "driver/zrq.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "archive/archive_format.h"
#include "archive/little_endian.h"
#include "driver/messages.h"
#include "driver/output_names.h"
#include "platform/console.h"
#include "platform/file_system.h"
#include "platform/zrq_files.h"
#include "writers/entry_writer.h"
#include "writers/write_all.h"

#ifndef ZRQ_VERSION
#define ZRQ_VERSION "unknown"
#endif

namespace {

// Room for every byte of a name escaped as \xNN.
using ShownName = char[4 * DirectoryEntry::kNameBytes + 1];
// An argument or path as a message shows it, each byte escaped at most.
using ShownPath = char[4 * kOutputPathCapacity + 1];

// Problems go to standard error after everything already said on standard
// output, so that the two keep their order when they go to the same place.
void Report(const char* format, ...) {
  (void)std::fflush(stdout);  // a failed write of standard output is told at the end
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stderr, format, arguments);
  va_end(arguments);
}

// The system's words for `code`; one at a time is ever needed.
const char* Reason(DWORD code) {
  static char reason[kReasonCapacity];
  DescribeError(code, reason, sizeof reason);
  return reason;
}

// An argument or path fit for a message; two can be shown at once.
const char* Shown(const char* text, int slot = 0) {
  static ShownPath shown[2];
  EscapeForMessage(text, shown[slot], sizeof shown[slot]);
  return shown[slot];
}

// On standard error, a text stream; on standard output (--help), which takes
// bytes as they are, with the platform's line ends as every line there.
void PrintUsage(FILE* stream, const char* program) {
  if (stream == stderr) {
    std::fprintf(stream, kZrqUsage, program, program, program, program, program);
    return;
  }
  // A program name longer than a path is cut short here, and only here.
  static char usage[std::size_t{1024} + 5 * kOutputPathCapacity];
  (void)std::snprintf(usage, sizeof usage, kZrqUsage, program, program, program, program, program);
  for (const char* c = usage; *c != '\0'; ++c) {
    if (*c == '\n') {
      std::printf("%s", UNZRQ_LINE_END);
    } else {
      std::putchar(*c);
    }
  }
}

// The standard output's end: a write that failed is told once, here.
int FinishStandardOutput(int exit_code) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "%s", kCannotWriteOutput);
    return kExitDamaged;
  }
  return exit_code;
}

// --- Reading an archive, as unzrq opens it --------------------------------

struct OpenedArchive {
  HANDLE directory = INVALID_HANDLE_VALUE;
  HANDLE scanning = INVALID_HANDLE_VALUE;
  std::uint32_t directory_offset = 0;
  std::uint64_t bytes = 0;  // the archive's size, read once as unzrq reads it
};

void CloseArchive(OpenedArchive& archive) {
  if (archive.scanning != INVALID_HANDLE_VALUE) CloseHandle(archive.scanning);
  if (archive.directory != INVALID_HANDLE_VALUE) CloseHandle(archive.directory);
}

// Opens the archive twice and reads its header and size, with unzrq's
// messages and exit codes. Returns kExitSuccess or the code to end with.
int OpenArchiveAsUnzrqDoes(const char* path, OpenedArchive& archive) {
  archive.directory = OpenArchive(path);
  if (archive.directory == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, kCannotOpenArchive, Shown(path));
    return kExitCannotOpenArchive;
  }
  ArchiveHeader header = {};
  if (!ReadArchiveHeader(archive.directory, &header)) {
    std::fprintf(stderr, "%s", kCannotReadHeader);
    return kExitCannotReadArchive;
  }
  archive.directory_offset = header.directory_offset();
  DWORD high = 0;
  const DWORD low = GetFileSize(archive.directory, &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
    std::fprintf(stderr, kCannotReadSize, Reason(GetLastError()));
    return kExitCannotReadArchive;
  }
  archive.bytes = static_cast<std::uint64_t>(high) << 32 | low;
  archive.scanning = OpenArchive(path);
  if (archive.scanning == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "%s", kCannotOpenScanning);
    return kExitCannotOpenScanning;
  }
  return kExitSuccess;
}

// Reads the entry count as unzrq's walk does, telling what it tells. False
// when the walk ends before its first record.
bool ReadCount(const OpenedArchive& archive, std::uint32_t* entry_count) {
  DWORD error = NO_ERROR;
  const ReadResult count =
      ReadEntryCount(archive.directory, archive.directory_offset, entry_count, &error);
  if (count == ReadResult::kFailed) {
    Report(kCountReadFailed, archive.directory_offset, Reason(error));
    return false;
  }
  // An empty file is an empty archive; any other that ends before its count
  // has lost its directory.
  if (count == ReadResult::kShort && archive.bytes > 0) {
    Report(kCountTruncated, archive.directory_offset);
    return false;
  }
  return true;
}

// The next record, or false when the walk ends there (told as unzrq tells it).
bool ReadRecord(const OpenedArchive& archive, std::uint32_t index, std::uint32_t entry_count,
                DirectoryEntry* record) {
  DWORD error = NO_ERROR;
  const ReadResult read = ReadDirectoryEntry(archive.directory, record, &error);
  if (read == ReadResult::kFailed) {
    Report(kRecordReadFailed, index, entry_count, Reason(error));
    return false;
  }
  if (read == ReadResult::kShort) {
    Report(kRecordsTruncated, index, entry_count);
    return false;
  }
  return true;
}

// One record and what unzrq would make of it.
struct JudgedEntry {
  DirectoryEntry record;
  EntryName stored;
  ShownName shown;
  OutputName file_name;
  OutputPlan plan;
  EntryResult foreseen;
  bool skipped;     // unzrq writes nothing for it
  bool incomplete;  // unzrq writes it, but not whole
};

// unzrq's steps for one entry, up to the output's creation, then the
// writer's outcome foreseen: the same checks in the same order, told with
// the same messages. The output folder is unzrq's default, as nothing is
// written: what only the folder decides (an old file, a folder standing
// under the name, the rights) is not judged.
void JudgeEntry(const OpenedArchive& archive, JudgedEntry& entry) {
  CopyEntryName(entry.record, entry.stored);
  EscapeForMessage(entry.stored, entry.shown, sizeof entry.shown);
  entry.plan = PlanOutput(entry.record.type(), entry.stored, entry.file_name);
  entry.foreseen = {.outcome = EntryOutcome::kComplete};
  entry.skipped = true;
  entry.incomplete = false;
  if (!IsSafeOutputName(entry.file_name)) {
    Report(kUnsafeName, entry.shown);
    return;
  }
  const int path_length =
      std::snprintf(nullptr, 0, kOutputPathFormat, kDefaultOutputFolder, entry.file_name);
  if (path_length < 0 || static_cast<std::size_t>(path_length) >= kOutputPathCapacity) {
    Report(kPathTooLong, entry.shown);
    return;
  }
  DWORD error = NO_ERROR;
  if (!MoveToOffset(archive.scanning, entry.record.offset(), &error)) {
    Report(kPayloadMoveFailed, entry.shown, entry.record.offset(), Reason(error));
    return;
  }
  entry.foreseen = ForeseeEntry(entry.plan.layout, archive.scanning, entry.record.offset(),
                                entry.record.size(), archive.bytes);
  entry.skipped = false;
  switch (entry.foreseen.outcome) {
    case EntryOutcome::kComplete: break;
    case EntryOutcome::kTruncated:
      Report(kEntryTruncated, entry.shown);
      entry.incomplete = true;
      break;
    case EntryOutcome::kDamaged:
      Report(kEntryDamaged, entry.shown);
      entry.incomplete = true;
      break;
    case EntryOutcome::kTooLarge:
      Report(kImageTooLarge, entry.shown, entry.foreseen.image.width, entry.foreseen.image.height);
      entry.skipped = true;
      break;
    case EntryOutcome::kSizeUnreadable:
      Report(kImageSizeReadFailed, entry.shown, Reason(entry.foreseen.error));
      entry.skipped = true;
      break;
    case EntryOutcome::kReadFailed:
    case EntryOutcome::kWriteFailed: break;  // only a transfer meets these
  }
}

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

void PrintJsonEntry(std::uint32_t index, const JudgedEntry& entry) {
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
  if (entry.plan.image() && !entry.skipped) {
    std::printf(", \"width\": %u, \"height\": %u", entry.foreseen.image.width,
                entry.foreseen.image.height);
  }
  std::printf(", \"fate\": \"%s\"}",
              entry.skipped ? "skipped" : (entry.incomplete ? "incomplete" : "written"));
}

void PrintListLine(std::uint32_t index, const JudgedEntry& entry, bool terminal) {
  // On a terminal names are shown escaped, as in unzrq's lines; into a pipe
  // or a file their bytes go unchanged.
  ShownName shown_output;
  EscapeForMessage(entry.file_name, shown_output, sizeof shown_output);
  std::printf(kZrqListLine, index, entry.record.type(), entry.record.size(), entry.record.offset(),
              terminal ? entry.shown : entry.stored, terminal ? shown_output : entry.file_name);
  if (entry.plan.image() && !entry.skipped) {
    std::printf(kZrqListImage, entry.foreseen.image.width, entry.foreseen.image.height);
  }
  if (entry.skipped) std::printf("%s", kZrqListSkipped);
  if (!entry.skipped && entry.incomplete) std::printf("%s", kZrqListIncomplete);
  std::printf("%s", kZrqListEnd);
}

enum class WalkOutput { kNone, kLines, kJson };

// `list` and `test`: every record judged, in directory order.
int ListOrTest(const char* path, WalkOutput output) {
  BufferStandardOutput();
  OpenedArchive archive;
  const int opened = OpenArchiveAsUnzrqDoes(path, archive);
  if (opened != kExitSuccess) {
    CloseArchive(archive);
    return opened;
  }
  const bool terminal = StandardOutputIsTerminal();
  std::uint32_t entry_count = 0;
  bool damaged = !ReadCount(archive, &entry_count);
  if (damaged) entry_count = 0;
  if (output == WalkOutput::kJson) std::printf("{\"entries\": [" UNZRQ_LINE_END);
  JudgedEntry entry;
  std::uint32_t processed = 0;
  std::uint32_t failing = 0;
  for (std::uint32_t index = 0; index < entry_count; ++index) {
    if (!ReadRecord(archive, index, entry_count, &entry.record)) {
      damaged = true;
      break;
    }
    ++processed;
    JudgeEntry(archive, entry);
    if (entry.skipped || entry.incomplete) ++failing;
    if (output == WalkOutput::kLines) PrintListLine(index, entry, terminal);
    if (output == WalkOutput::kJson) PrintJsonEntry(index, entry);
  }
  CloseArchive(archive);
  const bool directory_damaged = damaged;
  if (failing > 0) damaged = true;
  if (output == WalkOutput::kJson) {
    std::printf("%s], \"records\": %u, \"failing\": %u, \"damaged\": %s}" UNZRQ_LINE_END,
                processed == 0 ? "" : UNZRQ_LINE_END, processed, failing,
                damaged ? "true" : "false");
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

// --- cat ------------------------------------------------------------------

// The entry whose file unzrq would leave under `name`: the last whose output
// name it is (a later entry replaces an earlier one's file); failing that,
// the last whose stored name it is.
int Cat(const char* path, const char* name) {
  OpenedArchive archive;
  const int opened = OpenArchiveAsUnzrqDoes(path, archive);
  if (opened != kExitSuccess) {
    CloseArchive(archive);
    return opened;
  }
  std::uint32_t entry_count = 0;
  bool damaged = !ReadCount(archive, &entry_count);
  if (damaged) entry_count = 0;
  JudgedEntry entry;
  DirectoryEntry by_output = {};
  DirectoryEntry by_stored = {};
  bool found_output = false;
  bool found_stored = false;
  for (std::uint32_t index = 0; index < entry_count; ++index) {
    if (!ReadRecord(archive, index, entry_count, &entry.record)) {
      damaged = true;
      break;
    }
    CopyEntryName(entry.record, entry.stored);
    (void)PlanOutput(entry.record.type(), entry.stored, entry.file_name);
    if (std::strcmp(entry.file_name, name) == 0) {
      by_output = entry.record;
      found_output = true;
    } else if (std::strcmp(entry.stored, name) == 0) {
      by_stored = entry.record;
      found_stored = true;
    }
  }
  if (!found_output && !found_stored) {
    Report(kZrqNoSuchEntry, Shown(name));
    CloseArchive(archive);
    return damaged ? kExitDamaged : kZrqExitNoSuchEntry;
  }
  entry.record = found_output ? by_output : by_stored;
  CopyEntryName(entry.record, entry.stored);
  EscapeForMessage(entry.stored, entry.shown, sizeof entry.shown);
  entry.plan = PlanOutput(entry.record.type(), entry.stored, entry.file_name);

  DWORD error = NO_ERROR;
  if (!MoveToOffset(archive.scanning, entry.record.offset(), &error)) {
    Report(kPayloadMoveFailed, entry.shown, entry.record.offset(), Reason(error));
    CloseArchive(archive);
    return kExitDamaged;
  }
  HANDLE output = OpenStandardOutput(&error);
  if (output == INVALID_HANDLE_VALUE) {
    Report(kZrqCannotWriteStandardOutput, entry.shown, Reason(error));
    CloseArchive(archive);
    return kExitDamaged;
  }
  const EntryResult result = entry.plan.writer(output, archive.scanning, entry.record.size());
  CloseHandle(output);
  CloseArchive(archive);
  switch (result.outcome) {
    case EntryOutcome::kComplete: break;
    case EntryOutcome::kWriteFailed:
      Report(kZrqCannotWriteStandardOutput, entry.shown, Reason(result.error));
      return kExitDamaged;
    case EntryOutcome::kTruncated: Report(kEntryTruncated, entry.shown); return kExitDamaged;
    case EntryOutcome::kDamaged: Report(kEntryDamaged, entry.shown); return kExitDamaged;
    case EntryOutcome::kReadFailed:
      if (entry.plan.image()) {
        Report(kBitmapReadFailed, entry.shown, Reason(result.error));
      } else {
        Report(kEntryReadFailed, entry.shown, static_cast<unsigned>(result.written),
               entry.record.size(), Reason(result.error));
      }
      return kExitDamaged;
    case EntryOutcome::kTooLarge:
      Report(kImageTooLarge, entry.shown, result.image.width, result.image.height);
      return kExitDamaged;
    case EntryOutcome::kSizeUnreadable:
      Report(kImageSizeReadFailed, entry.shown, Reason(result.error));
      return kExitDamaged;
  }
  // The directory past the entry may be damaged; the entry itself is whole.
  return damaged ? kExitDamaged : kExitSuccess;
}

// --- create ---------------------------------------------------------------

// The largest archive whose every offset a 32-bit field holds: the reader
// reaches any of them (MoveToOffset moves in signed 32-bit steps).
constexpr std::uint64_t kLargestArchive = UINT32_MAX;

// One input on its way to becoming an entry. The record is the one written
// (its offset filled in when the payload is); the file is found again from
// the argument it came from and its output name, which is its own name.
struct Input {
  DirectoryEntry record;
  std::uint32_t argument;
  bool from_folder;
};

struct Packing {
  char** inputs;  // the FILE|FOLDER arguments
  bool images;
  std::vector<Input> entries;  // every input, in archive order
  bool refused;
};

// The name a file given by its path is packed under: its last component.
const char* LastComponent(const char* path) {
  const char* name = path;
  for (const char* c = path; *c != '\0'; ++c) {
    // Both separators wherever the backslash is one; a drive's colon too.
    if (*c == '/' || (UNZRQ_PATH_SEPARATOR[0] == '\\' && (*c == '\\' || *c == ':'))) {
      name = c + 1;
    }
  }
  return name;
}

// The input's path: the argument itself, or the folder's path and the name.
void InputPath(const Packing& packing, const Input& input, char* path) {
  const char* argument = packing.inputs[input.argument];
  if (!input.from_folder) {
    (void)std::snprintf(path, kOutputPathCapacity, "%s", argument);
    return;
  }
  EntryName stored;
  OutputName file_name;
  CopyEntryName(input.record, stored);
  (void)PlanOutput(input.record.type(), stored, file_name);
  char joinable[kOutputPathCapacity];
  (void)std::snprintf(path, kOutputPathCapacity, kOutputPathFormat,
                      SpellFolderForJoining(argument, joinable), file_name);
}

bool IsRestorableExtension(const char* extension) {
  // RestoreExtension's own test, on a name made of the extension alone.
  char probe[8] = "x_";
  if (std::strlen(extension) > 3) return false;
  std::strcat(probe, extension);
  RestoreExtension(probe);
  return probe[1] == '.';
}

// Moves `file` to `position`, which may lie past 4 GiB.
bool MoveToPosition(HANDLE file, std::uint64_t position, DWORD* error) {
  LONG high = static_cast<LONG>(position >> 32);
  if (SetFilePointer(file, static_cast<LONG>(position & 0xFFFFFFFFu), &high, FILE_BEGIN) ==
          INVALID_SET_FILE_POINTER &&
      GetLastError() != NO_ERROR) {
    *error = GetLastError();
    return false;
  }
  return true;
}

// Reads exactly `length` bytes at `position`. kShort when the file ends first.
ReadResult ReadAt(HANDLE file, std::uint64_t position, unsigned char* bytes, DWORD length,
                  DWORD* error) {
  if (!MoveToPosition(file, position, error)) return ReadResult::kFailed;
  DWORD delivered = 0;
  if (!ReadFile(file, bytes, length, &delivered, nullptr)) {
    *error = GetLastError();
    return ReadResult::kFailed;
  }
  return delivered == length ? ReadResult::kComplete : ReadResult::kShort;
}

// A bitmap as unzrq writes it: its 54 header bytes exactly FillBitmapHeaders'
// for its width and height, and its length exactly theirs. Its pixels are
// judged as they are packed. A header that cannot be read sets *error.
bool ReadBitmapSize(HANDLE file, std::uint64_t file_bytes, ImageSize* image, DWORD* error) {
  unsigned char header[kBitmapHeaderBytes];
  *error = NO_ERROR;
  if (file_bytes < kBitmapHeaderBytes ||
      ReadAt(file, 0, header, kBitmapHeaderBytes, error) != ReadResult::kComplete) {
    return false;
  }
  image->width = LoadLittleEndian32(header + 18);
  image->height = LoadLittleEndian32(header + 22);
  unsigned char expected[kBitmapHeaderBytes];
  FillBitmapHeaders(expected, image->width, image->height);
  return std::memcmp(header, expected, kBitmapHeaderBytes) == 0 && image->width <= INT32_MAX &&
         image->height <= INT32_MAX && BitmapFileBytes(*image) == file_bytes;
}

// Makes `file_name` (the path `path`, argument `argument`) an entry, or
// tells why it cannot be one.
void GatherFile(Packing& packing, const char* path, const char* file_name, std::uint32_t argument,
                bool from_folder) {
  Input input{};
  input.argument = argument;
  input.from_folder = from_folder;
  HANDLE file = OpenArchive(path);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      Report(kZrqInputIsFolder, Shown(path));
    } else {
      Report(kZrqCannotOpenInput, Shown(path), Reason(error));
    }
    packing.refused = true;
    return;
  }
  DWORD high = 0;
  const DWORD low = GetFileSize(file, &high);
  const DWORD size_error = low == INVALID_FILE_SIZE ? GetLastError() : NO_ERROR;
  const std::uint64_t file_bytes = static_cast<std::uint64_t>(high) << 32 | low;

  // The entry name and type that unpack to `file_name`: a bitmap unzrq could
  // have written is a sized image (with --images); one of the four restorable
  // extensions goes back behind an underscore; anything else stays as it is.
  char stored[kOutputPathCapacity];
  (void)std::snprintf(stored, sizeof stored, "%s", file_name);
  std::uint32_t type = 3;
  std::uint64_t payload_bytes = file_bytes;
  const std::size_t length = std::strlen(stored);
  const std::size_t suffix = std::strlen(kBitmapSuffix);
  ImageSize image{0, 0};
  bool refused = false;
  if (size_error != NO_ERROR) {
    Report(kZrqCannotReadInput, Shown(path), Reason(size_error));
    refused = true;
  } else if (packing.images && length > suffix &&
             std::strcmp(stored + length - suffix, kBitmapSuffix) == 0) {
    DWORD read_error = NO_ERROR;
    if (!ReadBitmapSize(file, file_bytes, &image, &read_error)) {
      if (read_error != NO_ERROR) {
        Report(kZrqCannotReadInput, Shown(path), Reason(read_error));
      } else {
        Report(kZrqBitmapHeader, Shown(path));
      }
      refused = true;
    }
    stored[length - suffix] = '\0';
    type = kTypeSizedImage;
    payload_bytes = kSizedImagePrefixBytes + 2 * std::uint64_t{image.width} * image.height;
  } else {
    char* point = std::strrchr(stored, '.');
    if (point != nullptr && IsRestorableExtension(point + 1)) {
      *point = '_';
      type = kTypeRenamedRaw;
    }
  }
  CloseHandle(file);
  if (refused) {
    packing.refused = true;
    return;
  }
  if (payload_bytes > UINT32_MAX) {
    Report(kZrqInputTooLarge, Shown(path), static_cast<unsigned long long>(payload_bytes));
    packing.refused = true;
    return;
  }
  if (std::strlen(stored) >= DirectoryEntry::kNameBytes) {
    Report(kZrqNameTooLong, Shown(path), Shown(stored, 1));
    packing.refused = true;
    return;
  }
  // unzrq would refuse to write it, here or on another system.
  if (!IsSafeOutputName(file_name)) {
    Report(kZrqNameUnusable, Shown(path));
    packing.refused = true;
    return;
  }
  std::memcpy(input.record.bytes + DirectoryEntry::kNameAt, stored, std::strlen(stored));
  StoreLittleEndian32(input.record.bytes + DirectoryEntry::kSizeAt,
                      static_cast<std::uint32_t>(payload_bytes));
  StoreLittleEndian32(input.record.bytes + DirectoryEntry::kTypeAt, type);
  // The entry must unpack under the very name it came from.
  EntryName check_stored;
  OutputName check_output;
  CopyEntryName(input.record, check_stored);
  (void)PlanOutput(type, check_stored, check_output);
  if (std::strcmp(check_output, file_name) != 0) {
    Report(kZrqNameNotRestorable, Shown(path));
    packing.refused = true;
    return;
  }
  packing.entries.push_back(input);
}

// Output names compared as a file system that ignores letter case would:
// an archive must unpack to the same files wherever it is opened.
int CompareFolded(const char* a, const char* b) {
  for (;; ++a, ++b) {
    unsigned char x = static_cast<unsigned char>(*a);
    unsigned char y = static_cast<unsigned char>(*b);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y || x == '\0') return x < y ? -1 : (x > y ? 1 : 0);
  }
}

void OutputNameOf(const Input& input, OutputName file_name) {
  EntryName stored;
  CopyEntryName(input.record, stored);
  (void)PlanOutput(input.record.type(), stored, file_name);
}

// Every input of every argument, each folder's files in the order of their
// names, so that the same files make the same archive. Tells every input
// that cannot be packed and every pair that would unpack to one file.
void GatherInputs(Packing& packing, int count) {
  char path[kOutputPathCapacity];
  char joinable[kOutputPathCapacity];
  for (int argument = 0; argument < count; ++argument) {
    const char* given = packing.inputs[argument];
    const DWORD attributes = GetFileAttributesA(given);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      GatherFile(packing, given, LastComponent(given), static_cast<std::uint32_t>(argument), false);
      continue;
    }
    DWORD error = NO_ERROR;
    if (!OpenFolderListing(given, &error)) {
      Report(kZrqCannotListFolder, Shown(given), Reason(error));
      packing.refused = true;
      continue;
    }
    const std::size_t first = packing.entries.size();
    const char* folder = SpellFolderForJoining(given, joinable);
    while (const char* name = NextFolderName(&error)) {
      const int length = std::snprintf(path, sizeof path, kOutputPathFormat, folder, name);
      if (length < 0 || static_cast<std::size_t>(length) >= sizeof path) {
        Report(kZrqCannotOpenInput, Shown(name), Reason(ERROR_FILENAME_EXCED_RANGE));
        packing.refused = true;
        continue;
      }
      GatherFile(packing, path, name, static_cast<std::uint32_t>(argument), true);
    }
    CloseFolderListing();
    if (error != NO_ERROR) {
      Report(kZrqCannotListFolder, Shown(given), Reason(error));
      packing.refused = true;
    }
    std::sort(packing.entries.begin() + static_cast<std::ptrdiff_t>(first), packing.entries.end(),
              [](const Input& a, const Input& b) {
                OutputName x;
                OutputName y;
                OutputNameOf(a, x);
                OutputNameOf(b, y);
                return std::strcmp(x, y) < 0;
              });
  }
  // Collisions: neighbours once sorted by the folded output name.
  std::vector<std::uint32_t> order(packing.entries.size());
  for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  const std::vector<Input>& entries = packing.entries;
  std::stable_sort(order.begin(), order.end(), [&entries](std::uint32_t a, std::uint32_t b) {
    OutputName x;
    OutputName y;
    OutputNameOf(entries[a], x);
    OutputNameOf(entries[b], y);
    return CompareFolded(x, y) < 0;
  });
  for (std::size_t i = 1; i < order.size(); ++i) {
    OutputName earlier;
    OutputName later;
    OutputNameOf(entries[order[i - 1]], earlier);
    OutputNameOf(entries[order[i]], later);
    if (CompareFolded(earlier, later) != 0) continue;
    char other[kOutputPathCapacity];
    InputPath(packing, entries[order[i]], path);
    InputPath(packing, entries[order[i - 1]], other);
    ShownName shown_name;
    EscapeForMessage(later, shown_name, sizeof shown_name);
    Report(kZrqNamesCollide, Shown(path), shown_name, Shown(other, 1));
    packing.refused = true;
  }
}

// The archive being written and where it stands.
struct ArchiveOut {
  HANDLE file;
  const char* path;
  std::uint64_t position;
};

bool WriteToArchive(ArchiveOut& out, const void* bytes, DWORD length) {
  DWORD error = NO_ERROR;
  if (!WriteAll(out.file, bytes, length, &error)) {
    Report(kZrqCannotWriteArchive, Shown(out.path), Reason(error));
    return false;
  }
  out.position += length;
  return true;
}

// A bitmap being packed: its file and path, and the archive it goes into.
struct BitmapSource {
  HANDLE file;
  const char* path;
  ImageSize image;
};

// Read in blocks of whole 3-byte pixels, written as 2-byte ones.
constexpr DWORD kBitmapBlockBytes = 96 * 1024;
unsigned char g_bitmap_block[kBitmapBlockBytes];
unsigned char g_payload_pixels[2 * (kBitmapBlockBytes / 3)];

// `length` bytes of the bitmap at `position` into the block, or tells why not.
bool ReadBitmapBytes(const BitmapSource& source, std::uint64_t position, DWORD length) {
  DWORD error = NO_ERROR;
  const ReadResult read = ReadAt(source.file, position, g_bitmap_block, length, &error);
  if (read == ReadResult::kFailed) Report(kZrqCannotReadInput, Shown(source.path), Reason(error));
  if (read == ReadResult::kShort) Report(kZrqInputChanged, Shown(source.path));
  return read == ReadResult::kComplete;
}

// `count` pixels at `from` (row `row` from the top, from column `column`) as
// RGB565 into the archive. Each must be one unzrq writes: the low bits of
// every channel zero, or the image would not come back the same.
bool PackPixels(ArchiveOut& out, const BitmapSource& source, const unsigned char* from,
                std::uint32_t count, std::uint32_t row, std::uint32_t column) {
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned blue = from[3 * i];
    const unsigned green = from[3 * i + 1];
    const unsigned red = from[3 * i + 2];
    if ((blue & 7) != 0 || (green & 3) != 0 || (red & 7) != 0) {
      Report(kZrqBitmapPixel, Shown(source.path), row, column + static_cast<std::uint32_t>(i));
      return false;
    }
    StoreLittleEndian16(
        g_payload_pixels + 2 * i,
        static_cast<std::uint16_t>((red >> 3) << 11 | (green >> 2) << 5 | blue >> 3));
  }
  return WriteToArchive(out, g_payload_pixels, 2 * count);
}

bool PaddingIsZero(const BitmapSource& source, const unsigned char* bytes, std::uint32_t row) {
  for (std::uint32_t i = 0; i < RowPaddingBytes(source.image.width); ++i) {
    if (bytes[i] != 0) {
      Report(kZrqBitmapPadding, Shown(source.path), row);
      return false;
    }
  }
  return true;
}

// A bitmap's rows, bottom-up with blue, green, red and padding, back into
// RGB565 rows from the top: a block of whole rows at a time, read in one
// piece and turned around, or for rows wider than the block, piece by piece.
bool PackBitmap(ArchiveOut& out, const BitmapSource& source) {
  const ImageSize image = source.image;
  unsigned char prefix[kSizedImagePrefixBytes] = {};
  StoreLittleEndian32(prefix, image.width);
  StoreLittleEndian32(prefix + 4, image.height);
  if (!WriteToArchive(out, prefix, kSizedImagePrefixBytes)) return false;
  if (image.width == 0 || image.height == 0) return true;

  const std::uint64_t row_bytes = BitmapRowBytes(image.width);
  const std::uint64_t rows_per_block = kBitmapBlockBytes / row_bytes;
  if (rows_per_block >= 1) {
    for (std::uint32_t row = 0; row < image.height;) {
      const std::uint32_t rows =
          static_cast<std::uint32_t>(std::min<std::uint64_t>(rows_per_block, image.height - row));
      // Rows row .. row + rows - 1 from the top lie bottom-up in the file.
      const std::uint64_t first_in_file = image.height - row - rows;
      if (!ReadBitmapBytes(source, kBitmapHeaderBytes + first_in_file * row_bytes,
                           static_cast<DWORD>(rows * row_bytes))) {
        return false;
      }
      for (std::uint32_t q = 0; q < rows; ++q) {
        const unsigned char* bytes = g_bitmap_block + (rows - 1 - q) * row_bytes;
        if (!PackPixels(out, source, bytes, image.width, row + q, 0) ||
            !PaddingIsZero(source, bytes + 3ull * image.width, row + q)) {
          return false;
        }
      }
      row += rows;
    }
    return true;
  }
  for (std::uint32_t row = 0; row < image.height; ++row) {
    const std::uint64_t start = kBitmapHeaderBytes + (image.height - 1ull - row) * row_bytes;
    for (std::uint32_t column = 0; column < image.width;) {
      const std::uint32_t count =
          std::min<std::uint32_t>(kBitmapBlockBytes / 3, image.width - column);
      if (!ReadBitmapBytes(source, start + 3ull * column, 3 * count) ||
          !PackPixels(out, source, g_bitmap_block, count, row, column)) {
        return false;
      }
      column += count;
    }
    if (!ReadBitmapBytes(source, start + 3ull * image.width, RowPaddingBytes(image.width)) ||
        !PaddingIsZero(source, g_bitmap_block, row)) {
      return false;
    }
  }
  return true;
}

// Writes one input's payload where the archive stands.
bool PackInput(ArchiveOut& out, const Packing& packing, Input& input) {
  char path[kOutputPathCapacity];
  InputPath(packing, input, path);
  HANDLE file = OpenArchive(path);
  if (file == INVALID_HANDLE_VALUE) {
    Report(kZrqCannotOpenInput, Shown(path), Reason(GetLastError()));
    return false;
  }
  StoreLittleEndian32(input.record.bytes + DirectoryEntry::kOffsetAt,
                      static_cast<std::uint32_t>(out.position));
  const std::uint32_t size = input.record.size();
  bool packed = false;
  if (input.record.type() == kTypeSizedImage) {
    DWORD high = 0;
    const DWORD low = GetFileSize(file, &high);
    ImageSize image{0, 0};
    DWORD read_error = NO_ERROR;
    if (!ReadBitmapSize(file, static_cast<std::uint64_t>(high) << 32 | low, &image, &read_error) ||
        kSizedImagePrefixBytes + 2 * std::uint64_t{image.width} * image.height != size) {
      if (read_error != NO_ERROR) {
        Report(kZrqCannotReadInput, Shown(path), Reason(read_error));
      } else {
        Report(kZrqInputChanged, Shown(path));
      }
    } else {
      packed = PackBitmap(out, {file, path, image});
    }
  } else {
    DWORD high = 0;
    const DWORD low = GetFileSize(file, &high);
    if (low != size || high != 0) {
      Report(kZrqInputChanged, Shown(path));
    } else {
      // unzrq's own copy, from the input to the archive.
      const EntryResult copied = CopyRaw(out.file, file, size);
      out.position += copied.written;
      switch (copied.outcome) {
        case EntryOutcome::kComplete: packed = true; break;
        case EntryOutcome::kWriteFailed:
          Report(kZrqCannotWriteArchive, Shown(out.path), Reason(copied.error));
          break;
        case EntryOutcome::kReadFailed:
          Report(kZrqCannotReadInput, Shown(path), Reason(copied.error));
          break;
        default: Report(kZrqInputChanged, Shown(path)); break;
      }
    }
  }
  CloseHandle(file);
  return packed;
}

// Payloads from offset 8 on, in order, then the directory behind them, then
// the header's pointer to it.
bool WriteArchive(ArchiveOut& out, Packing& packing) {
  const unsigned char header[ArchiveHeader::kBytes] = {};
  if (!WriteToArchive(out, header, sizeof header)) return false;
  for (Input& input : packing.entries) {
    if (!PackInput(out, packing, input)) return false;
  }
  const std::uint64_t directory_offset = out.position;
  unsigned char count[kEntryCountBytes];
  StoreLittleEndian32(count, static_cast<std::uint32_t>(packing.entries.size()));
  if (!WriteToArchive(out, count, sizeof count)) return false;
  // The records in large pieces.
  static unsigned char records[1024 * DirectoryEntry::kBytes];
  std::size_t used = 0;
  for (std::size_t i = 0; i < packing.entries.size(); ++i) {
    std::memcpy(records + used, packing.entries[i].record.bytes, DirectoryEntry::kBytes);
    used += DirectoryEntry::kBytes;
    if (used == sizeof records || i + 1 == packing.entries.size()) {
      if (!WriteToArchive(out, records, static_cast<DWORD>(used))) return false;
      used = 0;
    }
  }
  unsigned char pointer[4];
  StoreLittleEndian32(pointer, static_cast<std::uint32_t>(directory_offset));
  DWORD error = NO_ERROR;
  const std::uint64_t end = out.position;
  if (!MoveToOffset(out.file, 4, &error)) {
    Report(kZrqCannotWriteArchive, Shown(out.path), Reason(error));
    return false;
  }
  if (!WriteToArchive(out, pointer, sizeof pointer)) return false;
  out.position = end;
  return true;
}

int Create(const char* archive_path, char** inputs, int count, bool images) {
  Packing packing{inputs, images, {}, false};
  GatherInputs(packing, count);
  std::uint64_t total = ArchiveHeader::kBytes + kEntryCountBytes;
  for (const Input& input : packing.entries) {
    total += input.record.size() + std::uint64_t{DirectoryEntry::kBytes};
  }
  if (!packing.refused && total > kLargestArchive) {
    Report(kZrqArchiveTooLarge, Shown(archive_path), static_cast<unsigned long long>(total));
    packing.refused = true;
  }
  if (packing.refused) {
    Report(kZrqNotCreated, Shown(archive_path));
    return kZrqExitNotCreated;
  }
  char temporary[kOutputPathCapacity];
  DWORD error = NO_ERROR;
  ArchiveOut out{CreateArchiveBeside(archive_path, temporary, &error), archive_path, 0};
  if (out.file == INVALID_HANDLE_VALUE) {
    Report(kZrqCannotCreateArchive, Shown(archive_path), Reason(error));
    Report(kZrqNotCreated, Shown(archive_path));
    return kZrqExitNotCreated;
  }
  if (!WriteArchive(out, packing)) {
    if (!DiscardArchive(out.file, temporary, &error)) {
      Report(kLeftoverNotRemoved, Shown(temporary), Reason(error));
    }
    Report(kZrqNotCreated, Shown(archive_path));
    return kZrqExitNotCreated;
  }
  if (!PutArchiveInPlace(out.file, temporary, archive_path, &error)) {
    Report(kZrqCannotWriteArchive, Shown(archive_path), Reason(error));
    Report(kZrqNotCreated, Shown(archive_path));
    return kZrqExitNotCreated;
  }
  std::printf(kZrqCreated, static_cast<unsigned>(packing.entries.size()), Shown(archive_path),
              static_cast<unsigned long long>(out.position));
  return FinishStandardOutput(kExitSuccess);
}

int WrongArguments(const char* program, const char* command) {
  std::fprintf(stderr, kZrqWrongArguments, Shown(command));
  PrintUsage(stderr, program);
  return kZrqExitUsage;
}

}  // namespace

int RunZrq(int argc, char** argv) {
  PrepareProcess();
  const char* program = argc > 0 ? argv[0] : "zrq";
  if (argc < 2) {
    PrintUsage(stderr, program);
    return kExitSuccess;
  }
  const char* command = argv[1];
  if (std::strcmp(command, "--help") == 0 || std::strcmp(command, "-h") == 0) {
    PrintUsage(stdout, program);
    return FinishStandardOutput(kExitSuccess);
  }
  if (std::strcmp(command, "--version") == 0) {
    std::printf(kZrqVersionLine, ZRQ_VERSION);
    return FinishStandardOutput(kExitSuccess);
  }
  if (std::strcmp(command, "list") == 0) {
    if (argc == 3) return ListOrTest(argv[2], WalkOutput::kLines);
    if (argc == 4 && std::strcmp(argv[2], "--json") == 0) {
      return ListOrTest(argv[3], WalkOutput::kJson);
    }
    return WrongArguments(program, command);
  }
  if (std::strcmp(command, "test") == 0) {
    if (argc == 3) return ListOrTest(argv[2], WalkOutput::kNone);
    return WrongArguments(program, command);
  }
  if (std::strcmp(command, "cat") == 0) {
    if (argc == 4) return Cat(argv[2], argv[3]);
    return WrongArguments(program, command);
  }
  if (std::strcmp(command, "create") == 0) {
    const bool images = argc > 2 && std::strcmp(argv[2], "--images") == 0;
    const int first = images ? 3 : 2;
    if (argc < first + 2) return WrongArguments(program, command);
    return Create(argv[first], argv + first + 1, argc - first - 1, images);
  }
  std::fprintf(stderr, kZrqUnknownCommand, Shown(command));
  PrintUsage(stderr, program);
  return kZrqExitUsage;
}
