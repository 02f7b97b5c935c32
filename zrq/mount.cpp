// `zrq mount`: one folder holding, under the names unzrq would give them,
// the files unzrq would write, made from the archive only when read.
//
// At the mount the directory is walked once, by the walk unzrq and `zrq
// test` share (WalkArchive, JudgeEntry): each record judged by unzrq's own
// checks and every problem told once with unzrq's message. An entry unzrq
// skips is absent. Of entries that share an output name the folder shows the
// one unzrq leaves on a disk: the first one written under the name keeps it,
// and each later one that is whole replaces it. The entries and a hash table
// over their names are made then, once; serving a request costs a look in
// the table and the bytes asked for, never a walk.
//
// A plain file's bytes go from its payload to the kernel without passing
// through this process (spliced at the offset asked): bytes past the archive's
// end are absent, as in unzrq's file. A bitmap is made on demand: its header
// from the width and height alone, and of its rows only those a read
// touches, with the bitmap writer's pixel converter; pixels the archive
// cannot supply are black, as the writer makes them. Memory is fixed when
// the mount starts, whatever is read.
//
// The archive is opened once and its identity (length and time) checked on
// every open and every read: once it changes, each read fails with EIO and
// the log says why, so that no file ever mixes two archives.
#include <cstdio>
#include <cstring>

#include "driver/messages.h"
#include "zrq/commands.h"

#if defined(UNZRQ_HAVE_FUSE)

#include <vector>

#include "archive/archive_format.h"
#include "driver/archive_walk.h"
#include "driver/entry_reports.h"
#include "driver/output_names.h"
#include "platform/file_system.h"
#include "platform/mount_server.h"
#include "writers/entry_writer.h"
#include "writers/expand_pixels.h"

namespace {

const char* Reason(DWORD code) {
  static char reason[kReasonCapacity];
  DescribeError(code, reason, sizeof reason);
  return reason;
}

// Where a fixed-width image's rows start in its payload.
constexpr std::uint32_t kFixedWidthPrefixBytes = 72;

// One file of the folder: an entry unzrq writes, and how to make its bytes.
struct MountedFile {
  OutputName name;
  std::uint64_t bytes;   // the file's true length
  std::uint64_t source;  // a plain file's payload, or where an image's top row starts
  ImageSize image;
  bool is_image;
  bool whole;    // unzrq would write it whole
  bool present;  // the file unzrq leaves under its name
};

struct MountState {
  const char* archive_path = nullptr;
  OpenedArchive archive;  // open for the whole mount; its scanning handle is read with pread
  FileIdentity identity = {};
  bool changed = false;          // told once; every read fails from then on
  bool problems_served = false;  // something was told while serving
  std::vector<MountedFile> files;
  std::vector<std::uint32_t> table;  // file number + 1 per slot, 0 for none
  std::uint32_t table_mask = 0;
  PixelPath pixel_path = PixelPath::kScalar;
};

MountState g_mount;

std::uint32_t HashOf(const char* name) {
  std::uint32_t hash = 2166136261u;
  for (const char* c = name; *c != '\0'; ++c) {
    hash = (hash ^ static_cast<unsigned char>(*c)) * 16777619u;
  }
  return hash;
}

// The slot holding `name`, or the empty slot where it would go.
std::uint32_t SlotOf(const char* name) {
  std::uint32_t slot = HashOf(name) & g_mount.table_mask;
  while (g_mount.table[slot] != 0 &&
         std::strcmp(g_mount.files[g_mount.table[slot] - 1].name, name) != 0) {
    slot = (slot + 1) & g_mount.table_mask;
  }
  return slot;
}

// The files of the folder: each entry as unzrq's walk judges it (name,
// path, payload, what the writer would make of it), every problem told as
// `zrq test` tells it; an entry unzrq skips is left out.
bool IndexEntry(const OpenedArchive& archive, std::uint32_t /*index*/, WalkedEntry& entry,
                void* /*context*/) {
  NameEntry(entry);
  if (!JudgeEntry(archive, kDefaultOutputFolder, entry)) return true;
  if (entry.foreseen.outcome != EntryOutcome::kComplete) {
    ReportEntryOutcome(entry, entry.foreseen, OutcomeStage::kFirstJudgement, {});
  }
  MountedFile file;
  std::memcpy(file.name, entry.file_name, sizeof file.name);
  file.whole = entry.foreseen.outcome == EntryOutcome::kComplete;
  file.is_image = entry.plan.image();
  file.present = false;
  const std::uint32_t offset = entry.record.offset();
  if (file.is_image) {
    file.image = entry.foreseen.image;
    file.bytes = BitmapFileBytes(entry.foreseen.image);
    file.source = std::uint64_t{offset} + (entry.plan.layout == PayloadLayout::kSizedImage
                                               ? kSizedImagePrefixBytes
                                               : kFixedWidthPrefixBytes);
  } else {
    // What CopyRaw writes: the payload as far as the archive holds it.
    file.image = {0, 0};
    file.source = offset;
    const std::uint64_t left = offset >= archive.bytes ? 0 : archive.bytes - offset;
    file.bytes = entry.record.size() < left ? entry.record.size() : left;
  }
  g_mount.files.push_back(file);
  return true;
}

// Opens the archive as unzrq does and walks its directory once. Returns
// kExitSuccess or the code to end with.
int IndexArchive(const char* path) {
  g_mount.archive_path = path;
  const int opened = OpenArchiveForWalk(path, g_mount.archive);
  if (opened != kExitSuccess) return opened;
  DWORD error = NO_ERROR;
  if (!IdentityOf(g_mount.archive.scanning, &g_mount.identity, &error)) {
    std::fprintf(stderr, kCannotReadSize, Reason(error));
    return kExitCannotReadArchive;
  }
  WalkedEntry entry = {};
  bool directory_damaged = false;
  (void)WalkArchive(g_mount.archive, entry, IndexEntry, nullptr, &directory_damaged);
  // Names as on a disk: the first file written under a name takes it, and
  // every later whole one replaces what stands there.
  std::uint32_t slots = 16;
  while (slots < 2 * g_mount.files.size()) slots *= 2;
  g_mount.table.assign(slots, 0);
  g_mount.table_mask = slots - 1;
  for (std::uint32_t number = 0; number < g_mount.files.size(); ++number) {
    MountedFile& later = g_mount.files[number];
    const std::uint32_t slot = SlotOf(later.name);
    if (g_mount.table[slot] != 0) {
      if (!later.whole) continue;
      g_mount.files[g_mount.table[slot] - 1].present = false;
    }
    g_mount.table[slot] = number + 1;
    later.present = true;
  }
  g_mount.pixel_path = FastestPixelPath();
  return kExitSuccess;
}

// --- Serving --------------------------------------------------------------

// False once the archive is not the one indexed, told in the log once.
bool ArchiveUnchanged() {
  if (g_mount.changed) return false;
  FileIdentity now = {};
  DWORD error = NO_ERROR;
  const char* why = nullptr;
  if (!IdentityOf(g_mount.archive.scanning, &now, &error)) {
    why = Reason(error);
  } else if (now.bytes != g_mount.identity.bytes || now.seconds != g_mount.identity.seconds ||
             now.nanoseconds != g_mount.identity.nanoseconds) {
    why =
        now.bytes != g_mount.identity.bytes ? "its size differs" : "its modification time differs";
  }
  if (why == nullptr) return true;
  g_mount.changed = true;
  g_mount.problems_served = true;
  TellMountLog(kZrqArchiveChanged, Shown(g_mount.archive_path), why);
  return false;
}

bool ReadSource(const MountedFile& file, std::uint64_t at, unsigned char* out, std::uint32_t length,
                std::uint32_t* delivered) {
  DWORD error = NO_ERROR;
  if (ReadFileAt(g_mount.archive.scanning, file.source + at, out, length, delivered, &error))
    return true;
  g_mount.problems_served = true;
  TellMountLog(kZrqMountReadFailed, Shown(file.name), Reason(error));
  return false;
}

// The source bytes held for the rows being made, relative to the top row's
// first byte, and the pixels made of them.
constexpr std::uint32_t kSourceBlockBytes = 64 * 1024;  // even: whole pixels
constexpr std::uint32_t kPixelsPerPiece = kSourceBlockBytes / 2;
unsigned char g_source[kSourceBlockBytes];
unsigned char g_pixels[3 * kPixelsPerPiece + 1];  // + the converter's spare byte

struct HeldSource {
  std::uint64_t start;
  std::uint64_t end;
};

// Fetches [start, end) of the rows; what the archive cannot supply is
// black, down to whole pixels, as the bitmap writer makes it.
bool Fetch(const MountedFile& file, std::uint64_t start, std::uint64_t end, HeldSource* held) {
  const auto length = static_cast<std::uint32_t>(end - start);
  std::uint32_t delivered = 0;
  if (!ReadSource(file, start, g_source, length, &delivered)) return false;
  const std::uint32_t whole_pixels = delivered & ~std::uint32_t{1};
  if (whole_pixels < length) std::memset(g_source + whole_pixels, 0, length - whole_pixels);
  *held = {start, end};
  return true;
}

// Bytes [offset, offset + length) of an image's bitmap: the header, then
// for each bitmap row touched (bottom-up, so source rows upwards) only the
// pixels touched, and padding. Rows above the one being made are fetched
// with it, as far as a block and this read go.
bool ReadBitmap(const MountedFile& file, std::uint64_t offset, std::uint32_t length,
                unsigned char* out) {
  const std::uint64_t width = file.image.width;
  const std::uint64_t height = file.image.height;
  std::uint64_t position = offset;
  const std::uint64_t end = offset + length;
  unsigned char* at = out;
  if (position < kBitmapHeaderBytes) {
    unsigned char header[kBitmapHeaderBytes];
    FillBitmapHeaders(header, file.image.width, file.image.height);
    const std::uint64_t part = (end < kBitmapHeaderBytes ? end : kBitmapHeaderBytes) - position;
    std::memcpy(at, header + position, part);
    at += part;
    position += part;
  }
  if (position >= end) return true;
  const std::uint64_t row_bytes = BitmapRowBytes(file.image.width);
  const std::uint64_t pixel_bytes = 3 * width;
  const std::uint64_t source_row = 2 * width;
  // The first byte of the source row of the read's last byte: nothing
  // before it is needed.
  const std::uint64_t floor =
      (height - 1 - (end - 1 - kBitmapHeaderBytes) / row_bytes) * source_row;
  HeldSource held{0, 0};
  while (position < end) {
    const std::uint64_t row = (position - kBitmapHeaderBytes) / row_bytes;
    const std::uint64_t row_start = kBitmapHeaderBytes + row * row_bytes;
    const std::uint64_t first = position - row_start;
    const std::uint64_t last = end - row_start < row_bytes ? end - row_start : row_bytes;
    const std::uint64_t source_start = (height - 1 - row) * source_row;
    if (first < pixel_bytes) {
      const std::uint64_t pixels_end = last < pixel_bytes ? last : pixel_bytes;
      for (std::uint64_t column = first / 3; column < (pixels_end + 2) / 3;) {
        const std::uint64_t left = (pixels_end + 2) / 3 - column;
        const auto count =
            static_cast<std::uint32_t>(left < kPixelsPerPiece ? left : kPixelsPerPiece);
        const std::uint64_t piece_start = source_start + 2 * column;
        const std::uint64_t piece_end = piece_start + 2ull * count;
        if (piece_start < held.start || piece_end > held.end) {
          const std::uint64_t room = kSourceBlockBytes - 2ull * count;
          std::uint64_t start = piece_start > floor + room ? piece_start - room : floor;
          if (start > piece_start) start = piece_start;
          if (!Fetch(file, start, piece_end, &held)) return false;
        }
        ExpandPixelsOn(g_mount.pixel_path, g_source + (piece_start - held.start), count, g_pixels);
        const std::uint64_t from = first > 3 * column ? first : 3 * column;
        const std::uint64_t to =
            pixels_end < 3 * (column + count) ? pixels_end : 3 * (column + count);
        std::memcpy(at, g_pixels + (from - 3 * column), to - from);
        at += to - from;
        column += count;
      }
    }
    if (last > pixel_bytes) {
      const std::uint64_t from = first > pixel_bytes ? first : pixel_bytes;
      std::memset(at, 0, last - from);
      at += last - from;
    }
    position = row_start + last;
  }
  return true;
}

std::uint32_t NumberCount() { return static_cast<std::uint32_t>(g_mount.files.size()); }
bool Present(std::uint32_t file) { return g_mount.files[file].present; }
const char* NameOf(std::uint32_t file) { return g_mount.files[file].name; }
std::uint64_t BytesOf(std::uint32_t file) { return g_mount.files[file].bytes; }
bool MayOpen(std::uint32_t /*file*/) { return ArchiveUnchanged(); }

bool Find(const char* name, std::uint32_t* file) {
  if (std::strlen(name) >= sizeof(OutputName)) return false;
  const std::uint32_t number = g_mount.table[SlotOf(name)];
  if (number == 0) return false;
  *file = number - 1;
  return true;
}

bool Read(std::uint32_t number, std::uint64_t offset, std::uint32_t length, unsigned char* out) {
  if (!ArchiveUnchanged()) return false;
  const MountedFile& file = g_mount.files[number];
  if (file.is_image) {
    if (!ReadBitmap(file, offset, length, out)) return false;
  } else {
    std::uint32_t delivered = 0;
    if (!ReadSource(file, offset, out, length, &delivered)) return false;
  }
  // Checked again after the bytes were read, so that none of them can come
  // from an archive changed meanwhile; a plain file that fell short was cut.
  return ArchiveUnchanged();
}

bool Locate(std::uint32_t number, std::uint64_t offset, std::uint64_t* position) {
  const MountedFile& file = g_mount.files[number];
  if (file.is_image || !ArchiveUnchanged()) return false;
  *position = file.source + offset;
  return true;
}

int Mount(const char* archive, const char* mount_point, bool foreground) {
  const int indexed = IndexArchive(archive);
  if (indexed != kExitSuccess) return indexed;
  const MountedFolder folder{.number_count = NumberCount,
                             .present = Present,
                             .find = Find,
                             .name_of = NameOf,
                             .bytes_of = BytesOf,
                             .may_open = MayOpen,
                             .read = Read,
                             .locate = Locate,
                             .check_after_move = ArchiveUnchanged,
                             .archive = g_mount.archive.scanning,
                             .seconds = g_mount.identity.seconds,
                             .nanoseconds = g_mount.identity.nanoseconds};
  const MountResult result = ServeFolder(mount_point, archive, foreground, folder);
  if (result.outcome == MountOutcome::kNotMounted) {
    std::fprintf(stderr, kZrqCannotMount, Shown(archive), Shown(mount_point, 1), result.reason);
    return kZrqExitNotMounted;
  }
  return g_mount.problems_served ? kExitDamaged : kExitSuccess;
}

int Unmount(const char* mount_point) {
  char reason[kReasonCapacity];
  if (UnmountFolder(mount_point, reason, sizeof reason)) return kExitSuccess;
  std::fprintf(stderr, kZrqCannotUnmount, Shown(mount_point), reason);
  return kZrqExitNotMounted;
}

}  // namespace

#endif

namespace {

// Where zrq cannot mount, says so; otherwise returns -1.
int NotAvailable(const char* command) {
#if defined(_WIN32)
  std::fprintf(stderr, kZrqMountOnWindows, Shown(command));
  return kZrqExitNotMounted;
#elif !defined(UNZRQ_HAVE_FUSE)
  std::fprintf(stderr, kZrqMountWithoutFuse, Shown(command));
  return kZrqExitNotMounted;
#else
  (void)command;
  return -1;
#endif
}

}  // namespace

int MountCommand(const char* program, const char* command, int count, char** arguments) {
  const bool foreground = count > 0 && (std::strcmp(arguments[0], "-f") == 0 ||
                                        std::strcmp(arguments[0], "--foreground") == 0);
  const int first = foreground ? 1 : 0;
  if (count != first + 2) return WrongArguments(program, command);
  if (const int refused = NotAvailable(command); refused != -1) return refused;
#if defined(UNZRQ_HAVE_FUSE)
  return Mount(arguments[first], arguments[first + 1], foreground);
#else
  return kZrqExitNotMounted;
#endif
}

int UnmountCommand(const char* program, const char* command, int count, char** arguments) {
  if (count != 1) return WrongArguments(program, command);
  if (const int refused = NotAvailable(command); refused != -1) return refused;
#if defined(UNZRQ_HAVE_FUSE)
  return Unmount(arguments[0]);
#else
  (void)arguments;
  return kZrqExitNotMounted;
#endif
}
