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
#include "zrq/commands.h"

namespace {

// Room for every byte of a name escaped as \xNN.
using ShownName = char[4 * DirectoryEntry::kNameBytes + 1];

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

// Reads exactly `length` bytes at `position`. kShort when the file ends first.
ReadResult ReadAt(HANDLE file, std::uint64_t position, unsigned char* bytes, DWORD length,
                  DWORD* error) {
  if (!MoveToOffset(file, position, error)) return ReadResult::kFailed;
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
    Report(kZrqCannotReadInput, Shown(path), Reason(size_error).text);
    refused = true;
  } else if (packing.images && length > suffix &&
             std::strcmp(stored + length - suffix, kBitmapSuffix) == 0) {
    DWORD read_error = NO_ERROR;
    if (!ReadBitmapSize(file, file_bytes, &image, &read_error)) {
      if (read_error != NO_ERROR) {
        Report(kZrqCannotReadInput, Shown(path), Reason(read_error).text);
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
  FillDirectoryEntry(&input.record, stored, static_cast<std::uint32_t>(payload_bytes), type);
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
  if (read == ReadResult::kFailed)
    Report(kZrqCannotReadInput, Shown(source.path), Reason(error).text);
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
  HANDLE file = OpenForReading(path);
  if (file == INVALID_HANDLE_VALUE) {
    Report(kZrqCannotOpenInput, Shown(path), Reason(GetLastError()).text);
    return false;
  }
  SetEntryOffset(&input.record, static_cast<std::uint32_t>(out.writer.position));
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
        Report(kZrqCannotReadInput, Shown(path), Reason(read_error).text);
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

int Create(const char* archive_path, char** inputs, int count, bool images) {
  Packing packing{inputs, images, {}, false};
  GatherInputs(packing, count);
  std::uint64_t total = ArchiveHeader::kBytes + kEntryCountBytes;
  for (const Input& input : packing.entries) {
    total += input.record.size() + std::uint64_t{DirectoryEntry::kBytes};
  }
  if (!packing.refused && total > kLargestArchiveBytes) {
    Report(kZrqArchiveTooLarge, Shown(archive_path), static_cast<unsigned long long>(total));
    packing.refused = true;
  }
  if (packing.refused) {
    Report(kZrqNotCreated, Shown(archive_path));
    return kZrqExitNotCreated;
  }
  char temporary[kOutputPathCapacity];
  DWORD error = NO_ERROR;
  const HANDLE file = CreateTemporaryBeside(archive_path, temporary, &error);
  ArchiveOut out{{file, 0, 0, 0}, archive_path};
  if (file == INVALID_HANDLE_VALUE) {
    Report(kZrqCannotCreateArchive, Shown(archive_path), Reason(error).text);
    Report(kZrqNotCreated, Shown(archive_path));
    return kZrqExitNotCreated;
  }
  if (!WriteArchive(out, file, packing)) {
    if (!DiscardTemporary(file, temporary, &error)) {
      Report(kLeftoverNotRemoved, Shown(temporary), Reason(error).text);
    }
    Report(kZrqNotCreated, Shown(archive_path));
    return kZrqExitNotCreated;
  }
  if (!KeepTemporary(file, temporary, archive_path, &error)) {
    Report(kZrqCannotWriteArchive, Shown(archive_path), Reason(error).text);
    Report(kZrqNotCreated, Shown(archive_path));
    return kZrqExitNotCreated;
  }
  std::printf(kZrqCreated, static_cast<unsigned>(packing.entries.size()), Shown(archive_path),
              static_cast<unsigned long long>(out.writer.position));
  return FinishStandardOutput(kExitSuccess);
}

}  // namespace

int CreateCommand(const char* program, const char* command, int count, char** arguments) {
  const bool images = count > 0 && std::strcmp(arguments[0], "--images") == 0;
  const int first = images ? 1 : 0;
  if (count < first + 2) return WrongArguments(program, command);
  return Create(arguments[first], arguments + first + 1, count - first - 1, images);
}
