// Reading a ZRQ archive's plain entries with as few system calls as they
// need, for the benchmark's floor (minimal_extract): the header once, the
// directory 1,024 records at a time, payloads by pread or the kernel copy.
// Any failure stops the program with a message and exit 2. Linux only.

#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <strings.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace plain_entries {

inline constexpr std::size_t kHeaderBytes = 8;
inline constexpr std::size_t kRecordBytes = 80;
inline constexpr std::size_t kNameBytes = 64;
inline constexpr std::size_t kOffsetAt = 64;
inline constexpr std::size_t kSizeAt = 68;
inline constexpr std::size_t kTypeAt = 76;
inline constexpr std::uint32_t kTypeRenamedRaw = 1;
inline constexpr std::uint32_t kTypeFixedWidthImage = 2;
inline constexpr std::uint32_t kTypeFixedWidthImageAlt = 4;
inline constexpr std::uint32_t kTypeSizedImage = 5;

// The directory is read this many records at a time: one read per 1,024
// entries instead of one per entry.
inline constexpr std::size_t kRecordsPerRead = 1024;
inline constexpr std::size_t kMaxChunkBytes = 1 << 20;

// Set by the program before any failure can happen: the name in messages.
inline const char* g_program = "bench";

inline std::uint32_t Le32(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

[[noreturn]] inline void Fail(const char* what, const char* where) {
  std::fprintf(stderr, "%s: %s %s: %s\n", g_program, what, where, std::strerror(errno));
  std::exit(2);
}

[[noreturn]] inline void FailShort(const char* what, const char* where) {
  std::fprintf(stderr, "%s: %s %s: the archive ends early\n", g_program, what, where);
  std::exit(2);
}

// Reads exactly `length` bytes at `offset`, or stops the program.
inline void ReadExactly(int fd, void* out, std::size_t length, off_t offset, const char* what) {
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

inline void WriteExactly(int fd, const unsigned char* data, std::size_t length, const char* path) {
  while (length > 0) {
    const ssize_t put = write(fd, data, length);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) Fail("writing", path);
    data += put;
    length -= static_cast<std::size_t>(put);
  }
}

inline unsigned char g_chunk[kMaxChunkBytes];

inline void CopyByReadWrite(int archive, off_t offset, std::size_t size, int output,
                            const char* path, std::size_t chunk) {
  while (size > 0) {
    const std::size_t piece = size < chunk ? size : chunk;
    ReadExactly(archive, g_chunk, piece, offset, path);
    WriteExactly(output, g_chunk, piece, path);
    offset += static_cast<off_t>(piece);
    size -= piece;
  }
}

inline void CopyByKernel(int archive, off_t offset, std::size_t size, int output, const char* path,
                         std::size_t chunk) {
  loff_t from = offset;
  loff_t to = 0;
  while (size > 0) {
    const ssize_t done = copy_file_range(archive, &from, output, &to, size, 0);
    if (done < 0 && errno == EINTR) continue;
    if (done < 0 && (errno == EXDEV || errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL)) {
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

// unzrq's output name of a type-1 entry: "_WAV" -> ".WAV" (also LUA, MSM,
// MP3, any case).
inline void RestoreExtension(char* name) {
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

struct Entry {
  char name[kNameBytes + 1];  // the output name, extension restored
  std::uint32_t type;
  off_t offset;
  std::size_t size;
};

inline bool IsImage(std::uint32_t type) {
  return type == kTypeFixedWidthImage || type == kTypeFixedWidthImageAlt || type == kTypeSizedImage;
}

// Calls visit(const Entry&) for every entry in directory order, images too.
template <typename Visit>
void ForEachEntry(int archive, Visit&& visit) {
  static unsigned char records[kRecordsPerRead * kRecordBytes];
  unsigned char header[kHeaderBytes];
  ReadExactly(archive, header, sizeof header, 0, "the header");
  const off_t directory = Le32(header + 4);
  unsigned char count_bytes[4];
  ReadExactly(archive, count_bytes, sizeof count_bytes, directory, "the entry count");
  const std::uint32_t count = Le32(count_bytes);
  off_t next_record = directory + 4;
  for (std::uint32_t first = 0; first < count; first += kRecordsPerRead) {
    const std::size_t batch = count - first < kRecordsPerRead ? count - first : kRecordsPerRead;
    ReadExactly(archive, records, batch * kRecordBytes, next_record, "the directory");
    next_record += static_cast<off_t>(batch * kRecordBytes);
    for (std::size_t i = 0; i < batch; ++i) {
      const unsigned char* record = records + i * kRecordBytes;
      Entry entry;
      std::memcpy(entry.name, record, kNameBytes);
      entry.name[kNameBytes] = '\0';
      entry.type = Le32(record + kTypeAt);
      entry.offset = Le32(record + kOffsetAt);
      entry.size = Le32(record + kSizeAt);
      if (entry.type == kTypeRenamedRaw) RestoreExtension(entry.name);
      visit(entry);
    }
  }
}

}  // namespace plain_entries
