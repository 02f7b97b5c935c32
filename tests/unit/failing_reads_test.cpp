// What the user is told when the system fails under the tool rather than the
// archive being short: a read the kernel refuses (a bad sector, a dropped
// network share), standard output on a full device, and standard output on a
// terminal, where names must not drive the screen.
//
// The failures are injected below the file layer: this test binary is linked
// with pread, pwrite, copy_file_range and fstat wrapped (see CMakeLists.txt).
// The wrappers fail every read that touches one chosen offset with EIO,
// every write into one chosen output file with ENOSPC, and the next reading
// of the archive's length after an image's size has been read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "captured_run.h"
#include "owned_handle.h"
#include "tests/support/list_folder.h"
#include "tests/support/scratch_dir.h"
#include "writers/image_reader.h"

namespace {

// The archive offset whose reads fail, and how; negative for none.
std::int64_t g_failing_offset = -1;
int g_failing_errno = EIO;

bool Touches(std::int64_t from, std::size_t length) {
  return g_failing_offset >= from && g_failing_offset < from + static_cast<std::int64_t>(length);
}

// Sets the failing offset for one scope, so that a failed expectation cannot
// leave it set for the tests after it.
class FailingReadsAt {
 public:
  FailingReadsAt(std::int64_t offset, int error) {
    g_failing_offset = offset;
    g_failing_errno = error;
  }
  ~FailingReadsAt() {
    g_failing_offset = -1;
    g_failing_errno = EIO;
  }
};

// Whether the bitmap's writes fail, as on a full disk. An output has no name
// while it is written, so the bitmap is known by its first bytes: the file
// descriptor whose write at offset 0 begins with "BM", until a write at
// offset 0 begins otherwise (the next output, which may get the same number).
bool g_bitmap_full = false;
int g_full_fd = -1;

bool WritesFail(int fd, const void* buffer, std::size_t length, off_t offset) {
  if (!g_bitmap_full) return false;
  if (offset == 0) {
    const bool bitmap = length >= 2 && std::memcmp(buffer, "BM", 2) == 0;
    g_full_fd = bitmap ? fd : -1;
  }
  return fd == g_full_fd;
}

// An image whose size is read at this offset: the next reading of the
// archive's length after that read fails. The image was judged before its
// output was made by the archive's size at the start; the length read next
// is the writer's own judgement of it.
std::int64_t g_size_read_again_at = -1;
int g_lengths_until_failure = 0;

class LengthFailsAfterSizeAt {
 public:
  explicit LengthFailsAfterSizeAt(std::int64_t offset) { g_size_read_again_at = offset; }
  ~LengthFailsAfterSizeAt() {
    g_size_read_again_at = -1;
    g_lengths_until_failure = 0;
  }
};

class FullBitmap {
 public:
  explicit FullBitmap(bool full) { g_bitmap_full = full; }
  ~FullBitmap() {
    g_bitmap_full = false;
    g_full_fd = -1;
  }
};

}  // namespace

extern "C" {
ssize_t __real_pread(int fd, void* buffer, size_t length, off_t offset);
ssize_t __real_pwrite(int fd, const void* buffer, size_t length, off_t offset);
ssize_t __real_copy_file_range(int fd_in, loff_t* off_in, int fd_out, loff_t* off_out,
                               size_t length, unsigned flags);

int __real_fstat(int fd, struct stat* info);

ssize_t __wrap_pread(int fd, void* buffer, size_t length, off_t offset) {
  if (Touches(offset, length)) {
    errno = g_failing_errno;
    return -1;
  }
  if (g_size_read_again_at >= offset &&
      g_size_read_again_at < offset + static_cast<std::int64_t>(length)) {
    g_lengths_until_failure = 1;
  }
  return __real_pread(fd, buffer, length, offset);
}

int __wrap_fstat(int fd, struct stat* info) {
  if (g_lengths_until_failure > 0 && --g_lengths_until_failure == 0) {
    errno = EIO;
    return -1;
  }
  return __real_fstat(fd, info);
}

ssize_t __wrap_pwrite(int fd, const void* buffer, size_t length, off_t offset) {
  if (WritesFail(fd, buffer, length, offset)) {
    errno = ENOSPC;
    return -1;
  }
  return __real_pwrite(fd, buffer, length, offset);
}

ssize_t __wrap_copy_file_range(int fd_in, loff_t* off_in, int fd_out, loff_t* off_out,
                               size_t length, unsigned flags) {
  if (off_in != nullptr && Touches(*off_in, length)) {
    errno = g_failing_errno;
    return -1;
  }
  return __real_copy_file_range(fd_in, off_in, fd_out, off_out, length, flags);
}
}

namespace {

constexpr char kArchiveName[] = "archive.zrq";
constexpr char kFolderName[] = "out";

std::string Line(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Line(const char* format, ...) {
  char line[512];
  va_list arguments;
  va_start(arguments, format);
  (void)std::vsnprintf(line, sizeof line, format, arguments);  // every line fits
  va_end(arguments);
  return line;
}

// Large enough that the copy goes through the kernel's own file-to-file copy
// first and through several chunks after it.
const Bytes kBig = PatternBytes(std::size_t{300} * 1024, 7);
const Bytes kSmall = PatternBytes(100, 8);
const std::vector<std::uint16_t> kPixels(std::size_t{3} * 40, Rgb565(31, 0, 0));

ArchiveLayout Layout() {
  return {.entries = {{.name = "small", .type = 3, .payload = kSmall},
                      {.name = "big", .type = 3, .payload = kBig},
                      {.name = "card", .type = 5, .payload = SizedImagePayload(3, 40, kPixels)},
                      {.name = "after", .type = 3, .payload = Text("still here")}}};
}

struct Extraction {
  ToolRun captured;
  std::vector<std::string> files;
  Bytes big;
  Bytes card;
};

Extraction Extract(const Bytes& archive, std::int64_t failing_offset, bool bitmap_full = false,
                   int failing_errno = EIO, const Bytes* old_big = nullptr) {
  ScratchDir dir;
  ScratchDir capture;
  WriteFileBytes(dir / kArchiveName, archive);
  if (old_big != nullptr) {
    std::filesystem::create_directory(dir / kFolderName);
    WriteFileBytes(dir / kFolderName + "/big", *old_big);
  }
  Extraction run;
  {
    FailingReadsAt failing(failing_offset, failing_errno);
    FullBitmap full(bitmap_full);
    run.captured = RunCaptured({"unzrq", kArchiveName, kFolderName}, dir.path(), capture.path());
  }
  run.files = ListFolder(dir / kFolderName);
  for (const std::string& name : run.files) {
    if (name == "big") run.big = ReadFileBytes(dir / kFolderName + "/big");
    if (name == "card.bmp") run.card = ReadFileBytes(dir / kFolderName + "/card.bmp");
  }
  return run;
}

std::string AllLines(std::uint32_t processed) {
  std::string out = "File: (0x00000064) Type:3 small \n";
  out += Line("File: (0x%08X) Type:3 big \n", static_cast<unsigned>(kBig.size()));
  out += Line("File: (0x%08X) Type:5 card \n", static_cast<unsigned>(76 + 2 * kPixels.size()));
  out += "File: (0x0000000A) Type:3 after \n";
  std::string kept;
  std::size_t start = 0;
  for (std::uint32_t line = 0; line < processed; ++line) {
    const std::size_t end = out.find('\n', start) + 1;
    kept += out.substr(start, end - start);
    start = end;
  }
  return kept + Line("Done: %u files processed.\n", processed);
}

TEST(FailingReads, AreToldApartFromTruncationAndEndTheEntryLikeIt) {
  const BuiltArchive built = BuildArchive(Layout());
  const std::uint32_t big_at = built.payload_offsets[1];
  const std::uint32_t card_at = built.payload_offsets[2];
  const std::vector<std::string> all_files = {"after", "big", "card.bmp", "small"};
  const Bytes whole_card = ExpectedBitmap(3, 40, kPixels);

  // Reads fail at a byte inside the big payload: the copy through the kernel
  // stops there, and the read that takes over is refused too.
  {
    const std::uint32_t failing = big_at + 200 * 1024 + 5;
    const Extraction run = Extract(built.bytes, failing);
    EXPECT_EQ(run.captured.exit_code, -5);
    EXPECT_EQ(run.captured.out, AllLines(4));
    // What was read before the failure is in the output, and nothing else.
    ASSERT_FALSE(run.big.empty());
    ASSERT_LT(run.big.size(), kBig.size());
    EXPECT_TRUE(std::equal(run.big.begin(), run.big.end(), kBig.begin()));
    EXPECT_EQ(run.captured.err,
              Line("Error: \"big\" is incomplete: reading the archive failed after %u of %u bytes "
                   "(Input/output error); the rest is missing.\n",
                   static_cast<unsigned>(run.big.size()), static_cast<unsigned>(kBig.size())));
    EXPECT_EQ(run.files, all_files);
    EXPECT_EQ(run.card, whole_card);
  }
  // Inside the first piece of an entry behind a small one: part of the
  // piece comes from what was read ahead for the small entry, and the reason
  // of the failure survives the write of those bytes. An errno that Windows
  // has no code for is told in its own words.
  for (const int error : {EIO, ESTALE}) {
    const Extraction run = Extract(built.bytes, big_at + 100 * 1024, false, error);
    EXPECT_EQ(run.captured.exit_code, -5);
    ASSERT_FALSE(run.big.empty());
    ASSERT_LT(run.big.size(), 100u * 1024 + 1);
    EXPECT_TRUE(std::equal(run.big.begin(), run.big.end(), kBig.begin()));
    EXPECT_EQ(run.captured.err,
              Line("Error: \"big\" is incomplete: reading the archive failed after %u of %u bytes "
                   "(%s); the rest is missing.\n",
                   static_cast<unsigned>(run.big.size()), static_cast<unsigned>(kBig.size()),
                   std::strerror(error)));
  }
  // The same over the file of an earlier run: the old file is whole, and it
  // stays, rather than a part of the new one.
  {
    const Bytes old_big = PatternBytes(5000, 9);
    const Extraction run = Extract(built.bytes, big_at + 100 * 1024, false, EIO, &old_big);
    EXPECT_EQ(run.captured.exit_code, -5);
    EXPECT_EQ(run.big, old_big);
    EXPECT_EQ(run.files, all_files);
  }
  // Inside an image's pixels: the bitmap keeps its length, unread pixels black.
  {
    const Extraction run = Extract(built.bytes, card_at + 76 + 10);
    EXPECT_EQ(run.captured.exit_code, -5);
    EXPECT_EQ(run.captured.out, AllLines(4));
    EXPECT_EQ(run.captured.err,
              "Error: \"card\" is incomplete: reading the archive failed (Input/output error); "
              "pixels not read are black.\n");
    ASSERT_EQ(run.card.size(), whole_card.size());
    EXPECT_NE(run.card, whole_card);
    EXPECT_EQ(run.big, kBig);
  }
  // Inside an image's width and height: nothing can be known of it, so
  // nothing is created.
  {
    const Extraction run = Extract(built.bytes, card_at + 2);
    EXPECT_EQ(run.captured.exit_code, -5);
    EXPECT_EQ(run.captured.out, AllLines(4));
    EXPECT_EQ(run.captured.err,
              "Error: Skipped \"card\": reading its image size failed (Input/output error).\n");
    EXPECT_EQ(run.files, (std::vector<std::string>{"after", "big", "small"}));
  }
  // The image's size is judged before its output is made; when the writer's
  // own reading of it fails after that, the file stays empty, and says so.
  {
    Extraction run;
    {
      const LengthFailsAfterSizeAt failing(card_at);
      run = Extract(built.bytes, -1);
    }
    EXPECT_EQ(run.captured.exit_code, -5);
    EXPECT_EQ(run.captured.out, AllLines(4));
    EXPECT_EQ(run.captured.err,
              "Error: \"card\" is empty: its image size could not be read again (Input/output "
              "error).\n");
    EXPECT_EQ(run.files, all_files);
    EXPECT_TRUE(run.card.empty());
    EXPECT_EQ(run.big, kBig);
  }
  // The directory: a failed count ends the walk before it starts, a failed
  // record ends it there; neither is called a truncated archive.
  {
    const Extraction run = Extract(built.bytes, built.directory_offset + 1);
    EXPECT_EQ(run.captured.exit_code, -5);
    EXPECT_EQ(run.captured.out, AllLines(0));
    EXPECT_EQ(run.captured.err,
              Line("Error: Failed to read the entry count at 0x%08X: Input/output error.\n",
                   built.directory_offset));
    EXPECT_TRUE(run.files.empty());
  }
  {
    const Extraction run = Extract(built.bytes, built.RecordOffset(2) + 70);
    EXPECT_EQ(run.captured.exit_code, -5);
    EXPECT_EQ(run.captured.out, AllLines(2));
    EXPECT_EQ(run.captured.err,
              "Error: Failed to read the directory after 2 of 4 records: Input/output error.\n");
    EXPECT_EQ(run.files, (std::vector<std::string>{"big", "small"}));
  }
  // A failed read, and then the bitmap cannot be written: both are told, in
  // the order they happened.
  {
    const Extraction run = Extract(built.bytes, card_at + 76 + 10, true);
    EXPECT_EQ(run.captured.exit_code, -5);
    EXPECT_EQ(run.captured.out, AllLines(4));
    EXPECT_EQ(run.captured.err,
              "Error: \"card\" is incomplete: reading the archive failed (Input/output error); "
              "pixels not read are black.\n"
              "Couldn't write output file \"out/card.bmp\": No space left on device\n");
    EXPECT_EQ(run.big, kBig);
  }
  // No fault: the same archive is whole.
  {
    const Extraction run = Extract(built.bytes, -1);
    EXPECT_EQ(run.captured.exit_code, 0);
    EXPECT_EQ(run.captured.err, "");
    EXPECT_EQ(run.big, kBig);
    EXPECT_EQ(run.card, whole_card);
  }
}

// Points standard output at `fd` for one run of the tool in `dir`.
int RunWithStandardOutput(int fd, const ScratchDir& dir, const ScratchDir& capture,
                          std::string* err) {
  const ToolRun run =
      RunCaptured({"unzrq", kArchiveName, kFolderName}, dir.path(), capture.path(), fd);
  *err = run.err;
  return run.exit_code;
}

TEST(StandardOutput, AFullDeviceIsReportedAndEveryEntryStillWritten) {
  ScratchDir dir;
  ScratchDir capture;
  WriteFileBytes(dir / kArchiveName, BuildArchive(Layout()).bytes);
  const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(full, 0);
  std::string err;
  EXPECT_EQ(RunWithStandardOutput(full, dir, capture, &err), -5);
  close(full);
  EXPECT_EQ(err, "Error: Failed to write to standard output.\n");
  EXPECT_EQ(ListFolder(dir / kFolderName),
            (std::vector<std::string>{"after", "big", "card.bmp", "small"}));
  // The failure was that run's: the next run in this process, as the fuzzer
  // and the sweeps make them, writes its standard output and says nothing.
  const ToolRun next =
      RunCaptured({"unzrq", kArchiveName, kFolderName}, dir.path(), capture.path());
  EXPECT_EQ(next.exit_code, 0);
  EXPECT_EQ(next.err, "");
}

// On a terminal a name's control bytes are shown as \xNN; into a pipe or a
// file (every other test here) they are written as stored.
TEST(StandardOutput, OnATerminalNamesCannotDriveTheScreen) {
  ScratchDir dir;
  ScratchDir capture;
  const std::string hostile = "\x1b]0;pwned\x07\x1b[2J";
  WriteFileBytes(dir / kArchiveName,
                 BuildArchive({.entries = {{.name = hostile, .type = 3, .payload = Text("x")},
                                           {.name = "plain", .type = 3, .payload = Text("y")}}})
                     .bytes);
  const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  ASSERT_EQ(grantpt(terminal), 0);
  ASSERT_EQ(unlockpt(terminal), 0);
  const int screen = open(ptsname(terminal), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(screen, 0);
  std::string err;
  EXPECT_EQ(RunWithStandardOutput(screen, dir, capture, &err), -5);
  close(screen);
  std::string shown;
  char chunk[4096];
  for (ssize_t got; (got = read(terminal, chunk, sizeof chunk)) > 0;) shown.append(chunk, got);
  close(terminal);
  // The terminal turns each line feed into CR LF.
  EXPECT_EQ(shown,
            "File: (0x00000001) Type:3 \\x1B]0;pwned\\x07\\x1B[2J \r\n"
            "File: (0x00000001) Type:3 plain \r\n"
            "Done: 2 files processed.\r\n");
  EXPECT_EQ(err,
            "Error: Skipped \"\\x1B]0;pwned\\x07\\x1B[2J\": the name cannot be used as a file "
            "name.\n");
}

}  // namespace

namespace {

// Large: one for the test.
ImageReader g_image_reader;

struct ImageRead {
  bool opened = false;
  bool read = false;
  std::string message;
};

// Opens the bitmap `bytes` with reads at `failing_offset` refused, or with the
// file cut to `shrink_to` bytes once opened; reads every pixel.
ImageRead ReadBitmapFailing(const Bytes& bytes, std::int64_t failing_offset,
                            std::int64_t shrink_to = -1) {
  ScratchDir dir;
  WriteFileBytes(dir / "in.bmp", bytes);
  OwnedHandle file(OpenArchive((dir / "in.bmp").c_str()));
  EXPECT_TRUE(file.valid());
  ImageRead result;
  {
    FailingReadsAt failing(failing_offset, EIO);
    result.opened = OpenImage(&g_image_reader, file.get());
    if (result.opened && shrink_to >= 0) {
      std::filesystem::resize_file(dir / "in.bmp", static_cast<std::uintmax_t>(shrink_to));
    }
    const unsigned char* pixels = nullptr;
    std::uint32_t count = 0;
    while (result.opened && (result.read = ReadImagePixels(&g_image_reader, &pixels, &count)) &&
           count > 0) {
    }
  }
  char text[512];
  FormatImageRefusal(g_image_reader.refusal, "in.bmp", text, sizeof text);
  result.message = text;
  CloseImage(&g_image_reader);
  return result;
}

}  // namespace

// A read the system refuses is told with its reason, in the headers and in
// the rows alike; a file that shrank after it was measured is a change, not
// a damaged bitmap.
TEST(FailingReads, OfAnImageAreToldApartFromAShortFile) {
  // 200 x 200 pixels: rows past the reader's first block.
  const std::uint32_t side = 200;
  const Bytes bitmap = ExpectedBitmap(side, side, PatternPixels(std::size_t{side} * side, 3));
  const std::string failed =
      "Error: Cannot pack \"in.bmp\": reading it failed (Input/output error).\n";
  const struct {
    const char* label;
    std::int64_t failing_offset;
    std::int64_t shrink_to;
    bool opened;
    std::string message;
  } cases[] = {
      {"the signature", 0, -1, false, failed},
      {"the info header", 20, -1, false, failed},
      {"the last row, read first", 60, -1, true, failed},
      {"the top row, read last", static_cast<std::int64_t>(bitmap.size()) - 10, -1, true, failed},
      {"a file cut once measured", -1, 1000, true,
       "Error: Cannot pack \"in.bmp\": it changed while the archive was written.\n"},
  };
  for (const auto& c : cases) {
    const ImageRead result = ReadBitmapFailing(bitmap, c.failing_offset, c.shrink_to);
    EXPECT_EQ(result.opened, c.opened) << c.label;
    EXPECT_FALSE(result.read) << c.label;
    EXPECT_EQ(result.message, c.message) << c.label;
  }
}
