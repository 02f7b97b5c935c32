// The tool's one control flow: settle the output folder, open the archive
// twice, walk the directory once from the first record to the last, and hand
// each entry to the writer for its type.
//
// Two handles read the archive. The directory handle never moves during the
// walk, so the next record is always the next 80 bytes; the scanning handle is
// moved to each payload in turn and is the one the writers read from.
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

// A stored name may fill all 64 bytes without a NUL; then the 64 bytes are the name.
using EntryName = char[DirectoryEntry::kNameBytes + 1];
// Room for every byte of a name escaped as \xNN.
using MessageName = char[4 * DirectoryEntry::kNameBytes + 1];

void PrintUsage(const char* program) {
  std::fprintf(stderr, kUsageLine, program);
  std::fprintf(stderr, "%s", kUsageInputLine);
  std::fprintf(stderr, "%s", kUsageOutputLine);
}

// Problems go to standard error after everything already said on standard
// output, so that a report follows the "File:" line it is about even when
// both streams go to the same place.
void Report(const char* format, ...) {
  std::fflush(stdout);
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stderr, format, arguments);
  va_end(arguments);
}

// The folder exists afterwards, or it could not be made: a plain file of the
// same name is no folder to write into.
bool PrepareOutputFolder(const char* folder) {
  if (CreateDirectoryA(folder, nullptr)) return true;
  if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
  const DWORD attributes = GetFileAttributesA(folder);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

HANDLE OpenArchive(const char* path) {
  return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::uint64_t FileBytes(HANDLE file) {
  DWORD high = 0;
  const DWORD low = GetFileSize(file, &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return 0;
  return static_cast<std::uint64_t>(high) << 32 | low;
}

// What the walk shares between entries: nothing here changes from one entry
// to the next except the path buffer's contents.
struct Walk {
  const char* folder;
  HANDLE scanning;
  std::uint64_t archive_bytes;
  char* path;  // kOutputPathCapacity bytes, the driver's one path buffer
};

// Writes one entry's output file. Returns false when something was reported.
bool ExtractEntry(const Walk& walk, const DirectoryEntry& record) {
  EntryName stored;
  std::memcpy(stored, record.name(), DirectoryEntry::kNameBytes);
  stored[DirectoryEntry::kNameBytes] = '\0';
  std::printf(kEntryLine, record.size(), record.type(), stored);

  EntryName name;
  std::memcpy(name, stored, sizeof name);
  MessageName shown;
  EscapeForMessage(stored, shown, sizeof shown);

  const char* path_format = kPlainPathFormat;
  EntryWriter* writer = CopyRaw;
  bool image = false;
  switch (record.type()) {
    case kTypeRenamedRaw: RestoreExtension(name); break;
    case kTypeFixedWidthImage:
    case kTypeFixedWidthImageAlt:
      path_format = kBitmapPathFormat;
      writer = ConvertFixedWidthImage;
      image = true;
      break;
    case kTypeSizedImage:
      path_format = kBitmapPathFormat;
      writer = ConvertSizedImage;
      image = true;
      break;
    default:  // type 3 and every unknown type: the payload as it is
      break;
  }

  if (!IsSafeOutputName(name)) {
    Report(kUnsafeName, shown);
    return false;
  }
  if (record.offset() >= kFirstUnreachableOffset) {
    Report(kOffsetOutOfRange, shown, record.offset());
    return false;
  }
  const std::size_t path_length = std::strlen(walk.folder) + std::strlen(path_format) - 4 +
                                  std::strlen(name);  // each "%s" is replaced
  if (path_length >= kOutputPathCapacity) {
    Report(kPathTooLong, shown);
    return false;
  }
  wsprintfA(walk.path, path_format, walk.folder, name);
  // Creating the output empties any file already there, so where the system
  // would not refuse it, an archive reachable under this name must be caught first.
  if (!kOpenFilesRefuseReplacement && IsSameFile(walk.path, walk.scanning)) {
    Report(kWouldReplaceArchive, shown);
    return false;
  }

  SetFilePointer(walk.scanning, static_cast<LONG>(record.offset()), nullptr, FILE_BEGIN);
  if (image) {
    const ImageSize size = PeekImageSize(walk.scanning, record.type(), record.size());
    if (!BitmapFitsArchive(size, walk.archive_bytes)) {
      Report(kImageTooLarge, shown, size.width, size.height);
      return false;
    }
  }

  HANDLE output = CreateFileA(walk.path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (output == INVALID_HANDLE_VALUE) {
    if (kOpenFilesRefuseReplacement && IsSameFile(walk.path, walk.scanning)) {
      Report(kWouldReplaceArchive, shown);
    } else {
      Report(kCannotCreateFile, walk.path);
    }
    return false;
  }
  const EntryOutcome outcome = writer(output, walk.scanning, record.size());
  const bool closed = CloseHandle(output) != FALSE;

  if (outcome == EntryOutcome::kWriteFailed || !closed) {
    Report(kCannotWriteFile, walk.path);
    return false;
  }
  if (outcome == EntryOutcome::kTruncated) {
    Report(kEntryTruncated, shown);
    return false;
  }
  if (outcome == EntryOutcome::kDamaged) {
    Report(kEntryDamaged, shown);
    return false;
  }
  return true;
}

}  // namespace

int RunUnzrq(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage(argc > 0 ? argv[0] : "unzrq");
    return kExitSuccess;
  }
  BufferStandardOutput();
  const char* folder = argc >= 3 ? argv[2] : kDefaultOutputFolder;
  if (!PrepareOutputFolder(folder)) {
    std::fprintf(stderr, kCannotCreateFolder, folder);
    return kExitCannotCreateFolder;
  }

  HANDLE directory = OpenArchive(argv[1]);
  if (directory == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, kCannotOpenArchive, argv[1]);
    return kExitCannotOpenArchive;
  }
  ArchiveHeader header = {};
  if (!ReadArchiveHeader(directory, &header)) {
    std::fprintf(stderr, "%s", kCannotReadHeader);
    CloseHandle(directory);
    return kExitBadHeader;
  }
  // A move to 2^31 or beyond fails, and the count would then be read from
  // wherever the handle stands: refuse rather than read the wrong place.
  const std::uint32_t directory_offset = header.directory_offset();
  if (directory_offset >= kFirstUnreachableOffset) {
    std::fprintf(stderr, kDirectoryOutOfRange, directory_offset);
    CloseHandle(directory);
    return kExitBadHeader;
  }
  SetFilePointer(directory, static_cast<LONG>(directory_offset), nullptr, FILE_BEGIN);
  unsigned char count_bytes[kEntryCountBytes] = {};
  DWORD count_delivered = 0;
  ReadFile(directory, count_bytes, kEntryCountBytes, &count_delivered, nullptr);
  const std::uint32_t entry_count = LoadLittleEndian32(count_bytes);

  HANDLE scanning = OpenArchive(argv[1]);
  if (scanning == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "%s", kCannotOpenScanning);
    CloseHandle(directory);
    return kExitCannotOpenScanning;
  }

  char path[kOutputPathCapacity];
  const Walk walk{folder, scanning, FileBytes(directory), path};
  bool damaged = false;
  std::uint32_t processed = 0;
  // An empty file is an empty archive; any other file that ends before its
  // count has lost its directory, and saying "0 files" would hide that.
  if (count_delivered < kEntryCountBytes && walk.archive_bytes > 0) {
    Report(kCountTruncated, directory_offset);
    damaged = true;
  } else {
    DirectoryEntry record = {};
    for (std::uint32_t index = 0; index < entry_count; ++index) {
      DWORD delivered = 0;
      ReadFile(directory, record.bytes, DirectoryEntry::kBytes, &delivered, nullptr);
      // A record cut short is not processed: its fields would be half stale.
      // This also ends a huge corrupt count at the end of the file.
      if (delivered < DirectoryEntry::kBytes) {
        Report(kRecordsTruncated, index, entry_count);
        damaged = true;
        break;
      }
      ++processed;
      if (!ExtractEntry(walk, record)) damaged = true;
    }
  }
  std::printf(kSummaryLine, static_cast<int>(processed));

  CloseHandle(scanning);
  CloseHandle(directory);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "%s", kCannotWriteOutput);
    return kExitDamaged;
  }
  return damaged ? kExitDamaged : kExitSuccess;
}
