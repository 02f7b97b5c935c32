// zrq create: gathers every input first and refuses the lot when any input
// cannot become an entry that unpacks to it; only then is the archive
// written (archive/'s writer), beside its name, and renamed there once
// whole. Gathering turns each output name back into the entry name and type
// that unzrq turns into it; packing reads a bitmap back into RGB565.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "archive/archive_format.h"
#include "archive/little_endian.h"
#include "driver/messages.h"
#include "driver/output_names.h"
#include "driver/reports.h"
#include "platform/file_system.h"
#include "platform/zrq_files.h"
#include "publication/publication.h"
#include "writers/entry_writer.h"
#include "writers/image_reader.h"
#include "zrq/commands.h"
#include "zrq/create_guards.h"

namespace {

// Room for every byte of a name escaped as \xNN.
using ShownName = char[4 * DirectoryEntry::kNameBytes + 1];

// One input on its way to becoming an entry. The record is the one written
// (its offset filled in when the payload is); the file is found again from
// the argument it came from and its output name, which is its own name.
// What is told of an input as it is packed: that only this system's unzrq
// keeps its name, and why the other's would not.
enum class HostNote : std::uint8_t { kNone, kLost, kFolds, kAlias };

struct Input {
  DirectoryEntry record;
  std::uint32_t argument;
  bool from_folder;
  bool png;  // an image read from a PNG file, whose output is a bitmap of the same stem
  HostNote note;
  std::uint32_t other;  // kFolds and kAlias: the entry whose name it meets
};

struct CreateOptions {
  bool images;
  bool force;       // replaces a file under ARCHIVE that is no sound archive
  bool host_names;  // packs names only this system's unzrq keeps
};

struct Packing {
  char** inputs;  // the FILE|FOLDER arguments
  CreateOptions options;
  const ArchiveTarget* target;  // what stands under ARCHIVE
  std::vector<Input> entries;   // every input, in archive order
  bool refused;
  bool host_names_would_help;  // a name refused that --host-names would pack
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

// A picture's name ends in one of these; its entry's output is a bitmap.
constexpr char kPngSuffix[] = ".png";
static_assert(sizeof kPngSuffix == sizeof kBitmapSuffix);

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
  if (input.png) std::memcpy(file_name + std::strlen(stored), kPngSuffix, sizeof kPngSuffix);
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

bool EndsWith(const char* name, const char* suffix) {
  const std::size_t length = std::strlen(name);
  const std::size_t suffix_length = std::strlen(suffix);
  return length > suffix_length && std::strcmp(name + length - suffix_length, suffix) == 0;
}

// One reader serves every picture, one at a time; it holds a block of the
// file and a decoded row, too large for the stack.
ImageReader g_image_reader;

void ReportImageRefusal(const char* path) {
  char text[4 * kOutputPathCapacity + 512];
  FormatImageRefusal(g_image_reader.refusal, Shown(path), text, sizeof text);
  Report("%s", text);
}

// Makes `file_name` (the path `path`, argument `argument`) an entry, or
// tells why it cannot be one.
void GatherFile(Packing& packing, const char* path, const char* file_name, std::uint32_t argument,
                bool from_folder) {
  Input input{};
  input.argument = argument;
  input.from_folder = from_folder;
  HANDLE file = OpenForReading(path);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      Report(kZrqInputIsFolder, Shown(path));
    } else {
      Report(kZrqCannotOpenInput, Shown(path), Reason(error).text);
    }
    packing.refused = true;
    return;
  }
  if (IsArchiveItself(*packing.target, file)) {
    Report(kZrqSkippedArchive, Shown(path));
    CloseHandle(file);
    return;
  }
  DWORD high = 0;
  const DWORD low = GetFileSize(file, &high);
  const DWORD size_error = low == INVALID_FILE_SIZE ? GetLastError() : NO_ERROR;
  const std::uint64_t file_bytes = static_cast<std::uint64_t>(high) << 32 | low;

  // The entry name and type that unpack to `file_name`: a picture (a bitmap,
  // or a PNG file where this build reads them) is a sized image (with
  // --images) under its stem, its output the bitmap of that stem; one of the
  // four restorable extensions goes back behind an underscore; anything else
  // stays as it is.
  char stored[kOutputPathCapacity];
  (void)std::snprintf(stored, sizeof stored, "%s", file_name);
  std::uint32_t type = 3;
  std::uint64_t payload_bytes = file_bytes;
  OutputName expected_output;
  (void)std::snprintf(expected_output, sizeof expected_output, "%s", file_name);
  bool refused = false;
  if (size_error != NO_ERROR) {
    Report(kZrqCannotReadInput, Shown(path), Reason(size_error).text);
    refused = true;
  } else if (packing.options.images &&
             (EndsWith(stored, kBitmapSuffix) || EndsWith(stored, kPngSuffix))) {
    if (OpenImage(&g_image_reader, file)) {
      payload_bytes = ImagePayloadBytes(g_image_reader.width, g_image_reader.height);
    } else {
      ReportImageRefusal(path);
      refused = true;
    }
    CloseImage(&g_image_reader);
    input.png = EndsWith(stored, kPngSuffix);
    stored[std::strlen(stored) - std::strlen(kBitmapSuffix)] = '\0';
    if (input.png && std::strlen(stored) + sizeof kBitmapSuffix <= sizeof expected_output) {
      std::memcpy(expected_output + std::strlen(stored), kBitmapSuffix, sizeof kBitmapSuffix);
    }
    type = kTypeSizedImage;
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
  // unzrq would refuse to write it, here or on the other system.
  char character[2] = {};
  const NameLoss loss = JudgeNameOnBothSystems(expected_output, character);
  if (loss == NameLoss::kEverywhere) {
    Report(kZrqNameUnusable, Shown(path));
    packing.refused = true;
    return;
  }
  if (loss != NameLoss::kNone && packing.options.host_names && !kHostKeepsWindowsNames) {
    input.note = HostNote::kLost;
  } else if (loss != NameLoss::kNone) {
    const char* name = Shown(expected_output, 1);
    if (loss == NameLoss::kWindowsDevice) Report(kZrqNameWindowsDevice, Shown(path), name);
    if (loss == NameLoss::kWindowsTrailing) Report(kZrqNameWindowsTrailing, Shown(path), name);
    if (loss == NameLoss::kWindowsCharacter) {
      Report(kZrqNameWindowsCharacter, Shown(path), name, character);
    }
    packing.host_names_would_help = !kHostKeepsWindowsNames;
    packing.refused = true;
    return;
  }
  FillDirectoryEntry(&input.record, stored, static_cast<std::uint32_t>(payload_bytes), type);
  // The entry must unpack under the very name it came from (a PNG file's
  // under its stem's bitmap).
  EntryName check_stored;
  OutputName check_output;
  CopyEntryName(input.record, check_stored);
  (void)PlanOutput(type, check_stored, check_output);
  if (std::strcmp(check_output, expected_output) != 0) {
    Report(kZrqNameNotRestorable, Shown(path));
    packing.refused = true;
    return;
  }
  packing.entries.push_back(input);
}

void OutputNameOf(const Input& input, OutputName file_name) {
  EntryName stored;
  CopyEntryName(input.record, stored);
  (void)PlanOutput(input.record.type(), stored, file_name);
}

// A name shaped as a short alias, where another name gets one: on Windows
// that alias may be the very name, and unzrq there would not write it.
void RefuseShortAliases(Packing& packing) {
  const std::vector<Input>& entries = packing.entries;
  const auto long_name = std::find_if(entries.begin(), entries.end(), [](const Input& input) {
    OutputName name;
    OutputNameOf(input, name);
    return WindowsGivesShortAlias(name);
  });
  if (long_name == entries.end()) return;
  OutputName long_output;
  OutputNameOf(*long_name, long_output);
  ShownName shown_long;
  EscapeForMessage(long_output, shown_long, sizeof shown_long);
  char path[kOutputPathCapacity];
  for (Input& input : packing.entries) {
    OutputName name;
    OutputNameOf(input, name);
    if (!MayBeWindowsShortAlias(name)) continue;
    if (packing.options.host_names && !kHostKeepsWindowsNames) {
      input.note = HostNote::kAlias;
      input.other = static_cast<std::uint32_t>(long_name - entries.begin());
      continue;
    }
    InputPath(packing, input, path);
    Report(kZrqNameShortAlias, Shown(path), Shown(name, 1), shown_long);
    packing.host_names_would_help = !kHostKeepsWindowsNames;
    packing.refused = true;
  }
}

// Tells, as the input is packed, that only this system's unzrq keeps its name.
void TellHostNote(const Packing& packing, const Input& input, const char* path) {
  if (input.note == HostNote::kNone) return;
  if (input.note == HostNote::kLost) {
    Report(kZrqHostNameLost, Shown(path));
    return;
  }
  const Input& other = packing.entries[input.other];
  char other_path[kOutputPathCapacity];
  InputPath(packing, other, other_path);
  if (input.note == HostNote::kFolds) {
    Report(kZrqHostNameFolds, Shown(path), Shown(other_path, 1));
    return;
  }
  OutputName name;
  OutputName other_name;
  OutputNameOf(input, name);
  OutputNameOf(other, other_name);
  ShownName shown_other;
  EscapeForMessage(other_name, shown_other, sizeof shown_other);
  Report(kZrqHostNameAlias, Shown(path), Shown(name, 1), shown_other);
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
      if (IsToolsTemporaryName(LastComponent(given))) {
        Report(kZrqSkippedTemporary, Shown(given));
        continue;
      }
      GatherFile(packing, given, LastComponent(given), static_cast<std::uint32_t>(argument), false);
      continue;
    }
    DWORD error = NO_ERROR;
    if (!OpenFolderListing(given, &error)) {
      Report(kZrqCannotListFolder, Shown(given), Reason(error).text);
      packing.refused = true;
      continue;
    }
    const std::size_t first = packing.entries.size();
    const char* folder = SpellFolderForJoining(given, joinable);
    while (const char* name = NextFolderName(&error)) {
      const int length = std::snprintf(path, sizeof path, kOutputPathFormat, folder, name);
      if (length < 0 || static_cast<std::size_t>(length) >= sizeof path) {
        Report(kZrqCannotOpenInput, Shown(name), Reason(ERROR_FILENAME_EXCED_RANGE).text);
        packing.refused = true;
        continue;
      }
      if (IsToolsTemporaryName(name)) {
        Report(kZrqSkippedTemporary, Shown(path));
        continue;
      }
      GatherFile(packing, path, name, static_cast<std::uint32_t>(argument), true);
    }
    CloseFolderListing();
    if (error != NO_ERROR) {
      Report(kZrqCannotListFolder, Shown(given), Reason(error).text);
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
  // Collisions: neighbours once sorted by the output name as Windows folds
  // it, the stricter of the two systems.
  std::vector<std::uint32_t> order(packing.entries.size());
  for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  const std::vector<Input>& entries = packing.entries;
  std::stable_sort(order.begin(), order.end(), [&entries](std::uint32_t a, std::uint32_t b) {
    OutputName x;
    OutputName y;
    OutputNameOf(entries[a], x);
    OutputNameOf(entries[b], y);
    return CompareFoldedAsWindows(x, y) < 0;
  });
  for (std::size_t i = 1; i < order.size(); ++i) {
    OutputName earlier;
    OutputName later;
    OutputNameOf(entries[order[i - 1]], earlier);
    OutputNameOf(entries[order[i]], later);
    if (CompareFoldedAsWindows(earlier, later) != 0) continue;
    // Two names this system keeps apart, which Windows takes for one.
    if (packing.options.host_names && !kHostKeepsWindowsNames && std::strcmp(earlier, later) != 0) {
      packing.entries[order[i]].note = HostNote::kFolds;
      packing.entries[order[i]].other = order[i - 1];
      continue;
    }
    char other[kOutputPathCapacity];
    InputPath(packing, entries[order[i]], path);
    InputPath(packing, entries[order[i - 1]], other);
    ShownName shown_name;
    EscapeForMessage(later, shown_name, sizeof shown_name);
    Report(kZrqNamesCollide, Shown(path), shown_name, Shown(other, 1));
    packing.refused = true;
  }
  RefuseShortAliases(packing);
}

// The archive being written, and its name for messages.
struct ArchiveOut {
  ArchiveWriter writer;
  const char* path;
};

// Tells a failed write or move of the archive; returns false.
bool CannotWriteArchive(const ArchiveOut& out, DWORD error) {
  Report(kZrqCannotWriteArchive, Shown(out.path), Reason(error).text);
  return false;
}

bool WriteToArchive(ArchiveOut& out, const void* bytes, DWORD length) {
  DWORD error = NO_ERROR;
  return WriteArchiveBytes(&out.writer, bytes, length, &error) || CannotWriteArchive(out, error);
}

bool WriteImagePixels(void* context, const unsigned char* bytes, std::uint32_t length) {
  return WriteToArchive(*static_cast<ArchiveOut*>(context), bytes, length);
}

// A picture as a sized image: its width and height in the prefix, then its
// pixels, top row first, through the reader. Tells how many it rounded.
bool PackImage(ArchiveOut& out, HANDLE file, const char* path, std::uint32_t size) {
  if (!OpenImage(&g_image_reader, file)) {
    ReportImageRefusal(path);
    CloseImage(&g_image_reader);
    return false;
  }
  const std::uint32_t width = g_image_reader.width;
  const std::uint32_t height = g_image_reader.height;
  bool packed = false;
  if (ImagePayloadBytes(width, height) != size) {
    Report(kZrqInputChanged, Shown(path));
  } else {
    unsigned char prefix[kSizedImagePrefixBytes] = {};
    StoreLittleEndian32(prefix, width);
    StoreLittleEndian32(prefix + 4, height);
    packed = WriteToArchive(out, prefix, sizeof prefix) &&
             StreamImagePixels(&g_image_reader, WriteImagePixels, &out);
    // A failed write was told by the sink; a failed read is the reader's.
    if (!packed && g_image_reader.refusal.problem != ImageProblem::kNone) {
      ReportImageRefusal(path);
    }
  }
  if (packed && g_image_reader.rounded > 0) {
    const unsigned long long pixels = 1ull * width * height;
    Report(kZrqImageRounded, Shown(path), static_cast<unsigned long long>(g_image_reader.rounded),
           pixels);
  }
  CloseImage(&g_image_reader);
  return packed;
}

// Writes one input's payload where the archive stands.
bool PackInput(ArchiveOut& out, const Packing& packing, Input& input) {
  char path[kOutputPathCapacity];
  InputPath(packing, input, path);
  TellHostNote(packing, input, path);
  HANDLE file = OpenForReading(path);
  if (file == INVALID_HANDLE_VALUE) {
    Report(kZrqCannotOpenInput, Shown(path), Reason(GetLastError()).text);
    return false;
  }
  SetEntryOffset(&input.record, static_cast<std::uint32_t>(out.writer.position));
  const std::uint32_t size = input.record.size();
  bool packed = false;
  if (input.record.type() == kTypeSizedImage) {
    packed = PackImage(out, file, path, size);
  } else {
    DWORD high = 0;
    const DWORD low = GetFileSize(file, &high);
    if (low != size || high != 0) {
      Report(kZrqInputChanged, Shown(path));
    } else {
      // unzrq's own copy, from the input to the archive.
      const EntryResult copied = CopyRaw(out.writer.file, file, size);
      out.writer.position += copied.written;
      switch (copied.outcome) {
        case EntryOutcome::kComplete: packed = true; break;
        case EntryOutcome::kWriteFailed:
          Report(kZrqCannotWriteArchive, Shown(out.path), Reason(copied.error).text);
          break;
        case EntryOutcome::kReadFailed:
          Report(kZrqCannotReadInput, Shown(path), Reason(copied.error).text);
          break;
        default: Report(kZrqInputChanged, Shown(path)); break;
      }
    }
  }
  CloseHandle(file);
  return packed;
}

// The header, the payloads in order, then the directory behind them, and
// the header's pointer to it.
bool WriteArchive(ArchiveOut& out, HANDLE file, Packing& packing) {
  DWORD error = NO_ERROR;
  if (!StartArchive(&out.writer, file, &error)) return CannotWriteArchive(out, error);
  for (Input& input : packing.entries) {
    if (!PackInput(out, packing, input)) return false;
  }
  if (!StartDirectory(&out.writer, static_cast<std::uint32_t>(packing.entries.size()), &error)) {
    return CannotWriteArchive(out, error);
  }
  for (const Input& input : packing.entries) {
    if (!WriteDirectoryEntry(&out.writer, input.record, &error)) {
      return CannotWriteArchive(out, error);
    }
  }
  return FinishArchive(&out.writer, &error) || CannotWriteArchive(out, error);
}

// Whether the file standing under ARCHIVE may be replaced, told when not.
bool MayReplace(const char* archive_path, const ArchiveTarget& target, bool force) {
  const char* shown = Shown(archive_path);
  switch (target.standing) {
    case ArchiveStanding::kAbsent:
    case ArchiveStanding::kSound: return true;
    case ArchiveStanding::kNotFile: Report(kZrqArchiveNotFile, shown); return false;
    case ArchiveStanding::kLinkBroken:
      Report(kZrqArchiveLinkBroken, shown, Reason(target.error).text);
      return false;
    case ArchiveStanding::kNoDirectory:
      if (!force) Report(kZrqNotAnArchive, shown);
      return force;
    case ArchiveStanding::kEntryFails:
      if (!force) {
        ShownName name;
        EscapeForMessage(target.name, name, sizeof name);
        Report(kZrqArchiveEntryFails, shown, target.index, name);
      }
      return force;
    case ArchiveStanding::kUnreadable:
      if (!force) Report(kZrqArchiveUnreadable, shown, Reason(target.error).text);
      return force;
  }
  return false;
}

int NotCreated(const char* archive_path) {
  Report(kZrqNotCreated, Shown(archive_path));
  return kZrqExitNotCreated;
}

int Create(const char* archive_path, char** inputs, int count, CreateOptions options) {
  static ArchiveTarget target;
  JudgeArchiveTarget(archive_path, &target);
  if (!MayReplace(archive_path, target, options.force)) return NotCreated(archive_path);
  Packing packing{inputs, options, &target, {}, false, false};
  GatherInputs(packing, count);
  std::uint64_t directory_offset = ArchiveHeader::kBytes;
  for (const Input& input : packing.entries) directory_offset += input.record.size();
  const std::uint64_t total =
      directory_offset + kEntryCountBytes + packing.entries.size() * DirectoryEntry::kBytes;
  if (!packing.refused && total > kLargestArchiveBytes) {
    Report(kZrqArchiveTooLarge, Shown(archive_path), static_cast<unsigned long long>(total));
    packing.refused = true;
  }
  if (!packing.refused && directory_offset > kLargestPortableOffset) {
    Report(kZrqArchivePast2GiB, Shown(archive_path),
           static_cast<unsigned long long>(directory_offset));
    packing.refused = true;
  }
  if (packing.refused) {
    if (packing.host_names_would_help) Report("%s", kZrqHostNamesHint);
    return NotCreated(archive_path);
  }
  if (target.through_link) {
    Report(kZrqArchiveThroughLink, Shown(archive_path), Shown(target.path, 1));
  }
  char temporary[kOutputPathCapacity];
  DWORD error = NO_ERROR;
  const HANDLE file = CreateTemporaryBeside(target.path, temporary, &error);
  ArchiveOut out{{file, 0, 0, 0}, archive_path};
  if (file == INVALID_HANDLE_VALUE) {
    Report(kZrqCannotCreateArchive, Shown(archive_path), Reason(error).text);
    return NotCreated(archive_path);
  }
  if (!WriteArchive(out, file, packing)) {
    const bool discarded = DiscardTemporary(file, temporary, &error);
    if (!discarded) Report(kLeftoverNotRemoved, Shown(temporary), Reason(error).text);
    return NotCreated(archive_path);
  }
  if (!KeepTemporary(file, temporary, target.path, &error)) {
    Report(kZrqCannotWriteArchive, Shown(archive_path), Reason(error).text);
    return NotCreated(archive_path);
  }
  if (packing.entries.size() == 1) {
    std::printf(kZrqCreatedOne, Shown(archive_path),
                static_cast<unsigned long long>(out.writer.position));
  } else {
    std::printf(kZrqCreated, static_cast<unsigned>(packing.entries.size()), Shown(archive_path),
                static_cast<unsigned long long>(out.writer.position));
  }
  return FinishStandardOutput(kExitSuccess);
}

}  // namespace

// The options, in any order, come before ARCHIVE; "--" ends them, for an
// ARCHIVE whose name starts with two hyphens.
int CreateCommand(const char* program, const char* command, int count, char** arguments) {
  CreateOptions options = {};
  int first = 0;
  for (; first < count && std::strncmp(arguments[first], "--", 2) == 0; ++first) {
    const char* option = arguments[first];
    if (std::strcmp(option, "--") == 0) {
      ++first;
      break;
    }
    if (std::strcmp(option, "--images") == 0) {
      options.images = true;
    } else if (std::strcmp(option, "--force") == 0) {
      options.force = true;
    } else if (std::strcmp(option, "--host-names") == 0) {
      options.host_names = true;
    } else {
      return WrongArguments(program, command);
    }
  }
  if (count < first + 2) return WrongArguments(program, command);
  return Create(arguments[first], arguments + first + 1, count - first - 1, options);
}
