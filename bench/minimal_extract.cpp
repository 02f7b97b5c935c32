// The floor of the raw table: an extractor that makes only the system calls
// plain entries need, nothing else. It opens the archive once, reads the
// directory in large blocks, and for each entry creates the output with one
// open(O_CREAT | O_EXCL | O_WRONLY), moves the payload and closes it; no
// look before or after, no buffering layer, no messages per entry.
//
//   minimal_extract rw|kcopy ARCHIVE FOLDER [CHUNK_KIB]
//
// rw:    pread pieces of CHUNK_KIB (64 by default) into one buffer, write them.
// kcopy: copy_file_range of the whole payload, looped until it is all moved;
//        where the kernel declines (another file system, no support), the rest
//        goes the rw way.
//
// Output names are unzrq's for plain entries: type 1 restores an extension
// ("_WAV" -> ".WAV", also LUA, MSM, MP3, any case); every other plain type
// keeps its stored name. Image entries (types 2, 4, 5) are not this
// program's business: it skips them and exits 1 at the end, so that it is
// never taken for a full extractor by mistake. Any failure stops it with a
// message and exit 2. Linux only.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t kHeaderBytes = 8;
constexpr std::size_t kRecordBytes = 80;
constexpr std::size_t kNameBytes = 64;
constexpr std::size_t kOffsetAt = 64;
constexpr std::size_t kSizeAt = 68;
constexpr std::size_t kTypeAt = 76;
constexpr std::uint32_t kTypeRenamedRaw = 1;
constexpr std::uint32_t kTypeFixedWidthImage = 2;
constexpr std::uint32_t kTypeFixedWidthImageAlt = 4;
constexpr std::uint32_t kTypeSizedImage = 5;

// The directory is read this many records at a time: one read per 1,024
// entries instead of one per entry.
constexpr std::size_t kRecordsPerRead = 1024;
constexpr std::size_t kMaxChunkBytes = 1 << 20;

unsigned char g_records[kRecordsPerRead * kRecordBytes];
unsigned char g_chunk[kMaxChunkBytes];
char g_path[4096];

std::uint32_t Le32(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

[[noreturn]] void Fail(const char* what, const char* where) {
  std::fprintf(stderr, "minimal_extract: %s %s: %s\n", what, where, std::strerror(errno));
  std::exit(2);
}

[[noreturn]] void FailShort(const char* what, const char* where) {
  std::fprintf(stderr, "minimal_extract: %s %s: the archive ends early\n", what, where);
  std::exit(2);
}

// Reads exactly `length` bytes at `offset`, or stops the program.
void ReadExactly(int fd, void* out, std::size_t length, off_t offset, const char* what) {
  std::size_t done = 0;
  while (done < length) {
    const ssize_t got = pread(fd, static_cast<unsigned char*>(out) + done, length - done,
                              offset + static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) Fail("reading", what);
    if (got == 0) FailShort("reading", what);
    done += static_cast<std::size_t>(got);
  }
}

void WriteExactly(int fd, const unsigned char* data, std::size_t length, const char* path) {
  while (length > 0) {
    const ssize_t put = write(fd, data, length);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) Fail("writing", path);
    data += put;
    length -= static_cast<std::size_t>(put);
  }
}

void CopyByReadWrite(int archive, off_t offset, std::size_t size, int output, const char* path,
                     std::size_t chunk) {
  while (size > 0) {
    const std::size_t piece = size < chunk ? size : chunk;
    ReadExactly(archive, g_chunk, piece, offset, path);
    WriteExactly(output, g_chunk, piece, path);
    offset += static_cast<off_t>(piece);
    size -= piece;
  }
}

void CopyByKernel(int archive, off_t offset, std::size_t size, int output, const char* path,
                  std::size_t chunk) {
  loff_t from = offset;
  loff_t to = 0;
  while (size > 0) {
    const ssize_t done = copy_file_range(archive, &from, output, &to, size, 0);
    if (done < 0 && errno == EINTR) continue;
    if (done < 0 && (errno == EXDEV || errno == EOPNOTSUPP || errno == ENOSYS ||
                     errno == EINVAL)) {
      // Declined: the output's position is still where the copy stopped,
      // as the offsets were passed explicitly.
      if (lseek(output, to, SEEK_SET) < 0) Fail("seeking in", path);
      CopyByReadWrite(archive, from, size, output, path, chunk);
      return;
    }
    if (done < 0) Fail("copying into", path);
    if (done == 0) FailShort("copying into", path);
    size -= static_cast<std::size_t>(done);
  }
}

void RestoreExtension(char* name) {
  char* underscore = std::strrchr(name, '_');
  if (underscore == nullptr) return;
  static const char* const kExtensions[] = {"WAV", "LUA", "MSM", "MP3"};
  for (const char* extension : kExtensions) {
    if (strcasecmp(underscore + 1, extension) == 0) {
      *underscore = '.';
      return;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || argc > 5 ||
      (std::strcmp(argv[1], "rw") != 0 && std::strcmp(argv[1], "kcopy") != 0)) {
    std::fprintf(stderr, "usage: minimal_extract rw|kcopy ARCHIVE FOLDER [CHUNK_KIB]\n");
    return 2;
  }
  const bool kernel_copy = std::strcmp(argv[1], "kcopy") == 0;
  const char* folder = argv[3];
  std::size_t chunk = std::size_t{64} * 1024;
  if (argc == 5) {
    chunk = std::strtoul(argv[4], nullptr, 10) * 1024;
    if (chunk == 0 || chunk > kMaxChunkBytes) {
      std::fprintf(stderr, "minimal_extract: CHUNK_KIB must be 1 to %zu\n", kMaxChunkBytes >> 10);
      return 2;
    }
  }

  const int archive = open(argv[2], O_RDONLY | O_CLOEXEC);
  if (archive < 0) Fail("opening", argv[2]);
  if (mkdir(folder, 0777) != 0 && errno != EEXIST) Fail("creating", folder);

  unsigned char header[kHeaderBytes];
  ReadExactly(archive, header, sizeof header, 0, "the header");
  const off_t directory = Le32(header + 4);
  unsigned char count_bytes[4];
  ReadExactly(archive, count_bytes, sizeof count_bytes, directory, "the entry count");
  const std::uint32_t count = Le32(count_bytes);

  int status = 0;
  off_t next_record = directory + 4;
  for (std::uint32_t first = 0; first < count; first += kRecordsPerRead) {
    const std::size_t batch = count - first < kRecordsPerRead ? count - first : kRecordsPerRead;
    ReadExactly(archive, g_records, batch * kRecordBytes, next_record, "the directory");
    next_record += static_cast<off_t>(batch * kRecordBytes);
    for (std::size_t i = 0; i < batch; ++i) {
      const unsigned char* record = g_records + i * kRecordBytes;
      char name[kNameBytes + 1];
      std::memcpy(name, record, kNameBytes);
      name[kNameBytes] = '\0';
      const std::uint32_t type = Le32(record + kTypeAt);
      if (type == kTypeFixedWidthImage || type == kTypeFixedWidthImageAlt ||
          type == kTypeSizedImage) {
        std::fprintf(stderr, "minimal_extract: skipped image entry %s\n", name);
        status = 1;
        continue;
      }
      if (type == kTypeRenamedRaw) RestoreExtension(name);
      const int length = std::snprintf(g_path, sizeof g_path, "%s/%s", folder, name);
      if (length < 0 || static_cast<std::size_t>(length) >= sizeof g_path) {
        errno = ENAMETOOLONG;
        Fail("naming", name);
      }
      const int output = open(g_path, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
      if (output < 0) Fail("creating", g_path);
      const off_t offset = Le32(record + kOffsetAt);
      const std::size_t size = Le32(record + kSizeAt);
      if (kernel_copy) {
        CopyByKernel(archive, offset, size, output, g_path, chunk);
      } else {
        CopyByReadWrite(archive, offset, size, output, g_path, chunk);
      }
      if (close(output) != 0) Fail("closing", g_path);
    }
  }
  return status;
}
