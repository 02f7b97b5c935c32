// Which images are written at all, seen from whole runs of the tool: an
// image whose pixels are in the archive is written in full and exactly; a
// bitmap the archive cannot supply (more than twice its bytes plus the
// headers) or the bitmap format cannot express is refused and leaves no file
// behind; and however far apart an image's rows lie, up to and past the reach
// of one signed 32-bit move, the rows written are the right ones.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "captured_run.h"
#include "checked_run.h"
#include "owned_handle.h"
#include "tests/support/list_folder.h"
#include "tests/support/read_little_endian.h"
#include "tests/support/scratch_dir.h"
#include "writer_run.h"
#include "writers/entry_writer.h"

namespace {

std::string TooLarge(const std::string& name, std::uint32_t width, std::uint32_t height) {
  return "Error: Skipped \"" + name + "\": a " + Shape(width, height) +
         " image is larger than the archive can hold.\n";
}

TEST(BitmapFileBytes, HeadersPlusPaddedRows) {
  struct Case {
    ImageSize image;
    std::uint64_t bytes;
  } const cases[] = {
      {{0, 3}, 54},
      {{3, 0}, 54},
      {{1, 1}, 58},
      {{2, 1}, 54 + 8},
      {{3, 2}, 54 + 2 * 12},
      {{4, 1}, 54 + 12},
      {{32, 3}, 342},
      {{0x7FFFFFFF, 1}, 54 + 3ull * 0x7FFFFFFF + 3},
      {{0x7FFFFFFF, 0x7FFFFFFF}, 54 + 0x7FFFFFFFull * (3ull * 0x7FFFFFFF + 3)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BitmapFileBytes(c.image), c.bytes) << Shape(c.image.width, c.image.height);
  }
}

TEST(ImageBounds, ACompleteImageIsWrittenExactlyWhateverItsShape) {
  struct Case {
    std::uint32_t type;
    std::uint32_t width;
    std::uint32_t height;
  } const cases[] = {
      {5, 1, 1},     {5, 2, 1},       {5, 3, 7},     {5, 4, 4},     {5, 5, 3},     {5, 1, 70000},
      {5, 40000, 2}, {5, 1024, 1024}, {5, 65535, 1}, {5, 1, 65535}, {2, 32, 2100}, {4, 32, 1},
  };
  PromiseChecker checker;
  for (const Case& c : cases) {
    const std::vector<std::uint16_t> pixels =
        PatternPixels(std::size_t{c.width} * c.height, c.width);
    const Bytes payload =
        c.type == 5 ? SizedImagePayload(c.width, c.height, pixels) : FixedWidthImagePayload(pixels);
    const std::string label = "type " + std::to_string(c.type) + " " + Shape(c.width, c.height);
    const PromiseCheck check =
        CheckedRun(checker, BuildArchive({.entries = {{"img", c.type, payload}}}).bytes, label);
    EXPECT_EQ(check.run.exit_code, 0) << label << ": " << check.run.err;
    EXPECT_TRUE(ReadFileBytes(checker.OutputPath("img.bmp")) ==
                ExpectedBitmap(c.width, c.height, pixels))
        << label;
  }
}

// Refused or not, the walk goes on to the entry behind.
TEST(ImageBounds, WhatTheBitmapFormatCannotExpressIsRefusedBeforeItsFileIsMade) {
  struct Case {
    const char* label;
    std::uint32_t width;
    std::uint32_t height;
    bool written;  // as the headers alone: there are no pixels to write
  } const cases[] = {
      {"height 2^31", 1, 0x80000000u, false},
      {"width 0xFFFFFFFF", 0xFFFFFFFFu, 1, false},
      {"height 0xFFFFFFFF", 1, 0xFFFFFFFFu, false},
      {"width 2^31 with no rows", 0x80000000u, 0, false},
      {"height 2^31 with no columns", 0, 0x80000000u, false},
      {"width 0, height 2^31 - 1", 0, 0x7FFFFFFF, true},
      {"height 0, width 2^31 - 1", 0x7FFFFFFF, 0, true},
  };
  PromiseChecker checker;
  for (const Case& c : cases) {
    const Bytes archive =
        BuildArchive({.entries = {{"img", 5, SizedImagePayload(c.width, c.height, {})},
                                  {"after", 3, PatternBytes(5)}}})
            .bytes;
    const PromiseCheck check = CheckedRun(checker, archive, c.label);
    if (c.written) {
      EXPECT_EQ(check.run.exit_code, 0) << c.label << ": " << check.run.err;
      EXPECT_EQ(check.outputs, (std::vector<std::string>{"after", "img.bmp"})) << c.label;
      EXPECT_TRUE(ReadFileBytes(checker.OutputPath("img.bmp")) == BitmapHeaders(c.width, c.height))
          << c.label;
    } else {
      EXPECT_EQ(check.run.exit_code, -5) << c.label;
      EXPECT_EQ(check.run.err, TooLarge("img", c.width, c.height)) << c.label;
      EXPECT_EQ(check.outputs, std::vector<std::string>{"after"}) << c.label;
    }
  }
}

// A one-pixel-wide image turns each 2-byte pixel into 4 bytes: its bitmap
// meets twice the archive plus the headers exactly, and one row more passes
// it. The archive holds none of the pixels, so the written one is black and
// reported as cut short.
TEST(ImageBounds, TheBitmapMayReachTwiceTheArchivePlusItsHeadersAndNoFurther) {
  auto archive = [](std::uint32_t height) {
    return BuildArchive({.entries = {{"img", 5, SizedImagePayload(1, height, {})},
                                     {"after", 3, PatternBytes(6)}}})
        .bytes;
  };
  const std::size_t archive_bytes = archive(0).size();
  ASSERT_EQ(archive_bytes % 2, 0u);
  const auto tallest = static_cast<std::uint32_t>(archive_bytes / 2);
  PromiseChecker checker;

  const PromiseCheck fits = CheckedRun(checker, archive(tallest), "the tallest");
  EXPECT_EQ(fits.run.exit_code, -5);
  EXPECT_EQ(fits.run.err, "Error: \"img\" is truncated: the archive ends inside its payload.\n");
  EXPECT_EQ(ReadFileBytes(checker.OutputPath("img.bmp")).size(), 2 * archive_bytes + 54);

  const PromiseCheck too_tall = CheckedRun(checker, archive(tallest + 1), "one row more");
  EXPECT_EQ(too_tall.run.exit_code, -5);
  EXPECT_EQ(too_tall.run.err, TooLarge("img", 1, tallest + 1));
  EXPECT_EQ(too_tall.outputs, std::vector<std::string>{"after"});
}

// Rows 2 GiB apart need archives of 2 GiB and more: they are sparse files
// here, with only the bytes the written rows come from stored, and the
// bitmap is cut by a file size limit once its first rows are out. Those rows
// must be the archive's last ones, from the right place, however far the
// walk moves to reach them, past the reach of one signed 32-bit move too:
// the walk gets there by several.
constexpr std::uint32_t kFarPayloadOffset = 8 + 4 + 80;  // behind the header and one record
constexpr std::uint64_t kFarPixelsOffset = kFarPayloadOffset + 76;
constexpr std::size_t kFarOutputLimit = std::size_t{256} * 1024;

// The byte stored at `offset`: a different one for every nearby offset, so
// that a row read from the wrong place shows.
std::uint8_t FarSourceByte(std::uint64_t offset) {
  return static_cast<std::uint8_t>((offset * 0x9E3779B97F4A7C15ull) >> 56);
}

// The first kFarOutputLimit bytes of the bitmap, and the span of the archive
// that their pixels come from.
Bytes FarBitmapStart(std::uint32_t width, std::uint32_t height, std::uint64_t* first,
                     std::uint64_t* end) {
  Bytes bitmap = BitmapHeaders(width, height);
  *first = UINT64_MAX;
  *end = 0;
  for (std::uint64_t row = height; row-- > 0 && bitmap.size() < kFarOutputLimit;) {
    const std::uint64_t row_start = kFarPixelsOffset + 2ull * width * row;
    for (std::uint64_t column = 0; column < width && bitmap.size() < kFarOutputLimit; ++column) {
      const std::uint64_t at = row_start + 2 * column;
      const std::uint8_t stored[] = {FarSourceByte(at), FarSourceByte(at + 1)};
      AppendBitmapPixel(bitmap, static_cast<std::uint16_t>(ReadLittleEndian(stored, 2)));
      *first = std::min(*first, at);
      *end = std::max(*end, at + 2);
    }
    bitmap.insert(bitmap.end(), width % 4, 0);
  }
  bitmap.resize(std::min(bitmap.size(), kFarOutputLimit));
  return bitmap;
}

void WriteAt(int fd, const Bytes& bytes, std::uint64_t offset) {
  ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)),
            static_cast<ssize_t>(bytes.size()));
}

// One type-5 entry "far" whose pixels end the file; only [first, end) is stored.
void WriteFarArchive(const std::string& path, std::uint32_t width, std::uint32_t height,
                     std::uint64_t first, std::uint64_t end) {
  const std::uint64_t pixel_bytes = 2ull * width * height;
  Bytes head;
  AppendLittleEndian32(head, 0);
  AppendLittleEndian32(head, 8);  // the directory, right behind the header
  AppendLittleEndian32(head, 1);
  Bytes name(64, 0);
  name[0] = 'f', name[1] = 'a', name[2] = 'r';
  head.insert(head.end(), name.begin(), name.end());
  AppendLittleEndian32(head, kFarPayloadOffset);
  AppendLittleEndian32(
      head, static_cast<std::uint32_t>(std::min<std::uint64_t>(76 + pixel_bytes, 0xFFFFFFFFu)));
  AppendLittleEndian32(head, 0);
  AppendLittleEndian32(head, 5);
  const Bytes prefix = SizedImagePayload(width, height, {});
  head.insert(head.end(), prefix.begin(), prefix.end());
  ASSERT_EQ(head.size(), kFarPixelsOffset);

  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, static_cast<off_t>(kFarPixelsOffset + pixel_bytes)), 0);
  WriteAt(fd, head, 0);
  Bytes stored(end - first);
  for (std::uint64_t at = first; at < end; ++at) stored[at - first] = FarSourceByte(at);
  WriteAt(fd, stored, first);
  close(fd);
}

// Runs the tool with output files limited to kFarOutputLimit bytes. Without
// the limit a gigabyte bitmap would be written: when it cannot be set, the
// tool is not run at all.
void RunWithOutputLimit(const std::string& archive, const std::string& folder,
                        const std::string& capture_folder, ToolRun* run) {
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit limited = saved;
  limited.rlim_cur = kFarOutputLimit;
  // Past the limit a write fails with EFBIG instead of ending the process.
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction previous;
  ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &previous), 0);
  if (setrlimit(RLIMIT_FSIZE, &limited) == 0) {
    *run = RunCaptured({"unzrq", archive, folder}, capture_folder, capture_folder);
    setrlimit(RLIMIT_FSIZE, &saved);
  } else {
    ADD_FAILURE() << "cannot limit the size of output files";
  }
  sigaction(SIGXFSZ, &previous, nullptr);
}

TEST(ImageBounds, RowsFarApartAreReadFromTheRightPlace) {
  enum class Outcome { kWritten, kRefused };
  struct Case {
    const char* label;
    std::uint32_t width;
    std::uint32_t height;
    Outcome outcome;
  } const cases[] = {
      {"the last row 2^31 - 8 bytes past the first", 4, 1u << 28, Outcome::kWritten},
      {"padded rows, the last 2^31 - 18 bytes past the first", 5, 214748364, Outcome::kWritten},
      {"one row of 2^30 bytes", 1u << 29, 1, Outcome::kWritten},
      {"two rows of 2^30 bytes", 1u << 29, 2, Outcome::kWritten},
      // Every row the limit lets out lies more than 2^31 bytes past the first.
      {"the last rows beyond 2^31 bytes past the first", 4, (1u << 28) + (1u << 16),
       Outcome::kWritten},
      {"padded rows, the last beyond 2^31 bytes past the first", 5, 214748365 + (1u << 15),
       Outcome::kWritten},
      {"one row of 2^30 + 2 bytes", (1u << 29) + 1, 1, Outcome::kWritten},
      {"one row of 2^31 bytes", 1u << 30, 1, Outcome::kWritten},
      {"a bitmap of 4 GiB and its headers", 1, 1u << 30, Outcome::kRefused},
      {"a bitmap beyond 4 GiB", (1u << 29) - 1, 3, Outcome::kRefused},
  };
  // The archives are sparse, but a limit on file sizes counts them whole.
  std::uint64_t largest_archive = 0;
  for (const Case& c : cases) {
    largest_archive =
        std::max<std::uint64_t>(largest_archive, kFarPixelsOffset + 2ull * c.width * c.height);
  }
  rlimit file_size;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &file_size), 0);
  if (file_size.rlim_cur != RLIM_INFINITY && file_size.rlim_cur < largest_archive) {
    GTEST_SKIP() << "files are limited to " << file_size.rlim_cur << " bytes here, and the "
                 << "archives of this test reach " << largest_archive;
  }
  for (const Case& c : cases) {
    const std::string label = Shape(c.width, c.height) + ", " + c.label;
    ScratchDir dir;
    std::uint64_t first = 0;
    std::uint64_t end = 0;
    const Bytes expected = FarBitmapStart(c.width, c.height, &first, &end);
    WriteFarArchive(dir / "far.zrq", c.width, c.height, first, end);
    ASSERT_FALSE(HasFatalFailure()) << label;
    ASSERT_EQ(mkdir((dir / "capture").c_str(), 0755), 0);

    ToolRun run{};
    RunWithOutputLimit(dir / "far.zrq", dir / "out", dir / "capture", &run);
    ASSERT_FALSE(HasFailure()) << label;
    const bool refused = run.err == TooLarge("far", c.width, c.height);
    EXPECT_EQ(run.exit_code, -5) << label;
    if (c.outcome == Outcome::kRefused) {
      EXPECT_TRUE(refused) << label << ": " << run.err;
      EXPECT_EQ(ListFolder(dir / "out"), std::vector<std::string>{}) << label;
      continue;
    }
    EXPECT_EQ(run.err,
              "Couldn't write output file \"" + dir / "out/far.bmp" + "\": File too large\n")
        << label;
    const Bytes written = ReadFileBytes(dir / "out/far.bmp");
    ASSERT_EQ(written.size(), kFarOutputLimit) << label;
    const auto mismatch = std::mismatch(written.begin(), written.end(), expected.begin());
    EXPECT_TRUE(mismatch.first == written.end())
        << label << ": first difference at byte " << (mismatch.first - written.begin());
  }
}

// The writer bounds the very width and height it reads, from wherever the
// payload lies and however much of it the archive holds; a refused image
// gets no byte written.
TEST(ImageWriters, TheSizeBoundIsTheSizeRead) {
  Bytes archive = PatternBytes(30);
  const Bytes payload = SizedImagePayload(0x01020304, 0x0A0B0C0D, {}, 0x77);
  archive.insert(archive.end(), payload.begin(), payload.end());
  struct Case {
    const char* label;
    EntryWriter* writer;
    std::uint32_t size;
    std::uint32_t position;
    ImageSize expected;
    EntryOutcome outcome;
  } const cases[] = {
      {"type 5", ConvertSizedImage, 76, 30, {0x01020304, 0x0A0B0C0D}, EntryOutcome::kTooLarge},
      {"type 5 six bytes before the end", ConvertSizedImage, 76, 30 + 76 - 6,
       {0x77777777, 0x7777}, EntryOutcome::kTooLarge},
      {"type 5 past the end", ConvertSizedImage, 76, 30 + 76, {0, 0}, EntryOutcome::kTruncated},
      {"type 2", ConvertFixedWidthImage, 72 + 64, 30, {32, 1}, EntryOutcome::kTruncated},
      {"type 2 of 0xFFFFFFFF", ConvertFixedWidthImage, 0xFFFFFFFF, 30,
       {32, (0xFFFFFFFFu - 72) / 64}, EntryOutcome::kTooLarge},
  };
  for (const Case& c : cases) {
    const WriterRun run = RunWriter(c.writer, archive, c.position, c.size);
    EXPECT_EQ(run.result.outcome, c.outcome) << c.label << ": " << OutcomeName(run.result.outcome);
    EXPECT_EQ(run.result.image.width, c.expected.width) << c.label;
    EXPECT_EQ(run.result.image.height, c.expected.height) << c.label;
    if (c.outcome == EntryOutcome::kTooLarge) {
      EXPECT_EQ(run.result.written, 0u) << c.label;
      EXPECT_TRUE(run.output.empty()) << c.label;
    } else {
      EXPECT_EQ(run.result.written, BitmapFileBytes(c.expected)) << c.label;
      EXPECT_EQ(run.output.size(), BitmapFileBytes(c.expected)) << c.label;
    }
  }
}

}  // namespace
