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
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "plain_entries.h"

namespace {

using namespace plain_entries;

char g_path[4096];

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

  g_program = "minimal_extract";
  const int archive = open(argv[2], O_RDONLY | O_CLOEXEC);
  if (archive < 0) Fail("opening", argv[2]);
  if (mkdir(folder, 0777) != 0 && errno != EEXIST) Fail("creating", folder);

  int status = 0;
  ForEachEntry(archive, [&](const Entry& entry) {
    if (IsImage(entry.type)) {
      std::fprintf(stderr, "minimal_extract: skipped image entry %s\n", entry.name);
      status = 1;
      return;
    }
    const int length = std::snprintf(g_path, sizeof g_path, "%s/%s", folder, entry.name);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof g_path) {
      errno = ENAMETOOLONG;
      Fail("naming", entry.name);
    }
    const int output = open(g_path, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
    if (output < 0) Fail("creating", g_path);
    if (kernel_copy) {
      CopyByKernel(archive, entry.offset, entry.size, output, g_path, chunk);
    } else {
      CopyByReadWrite(archive, entry.offset, entry.size, output, g_path, chunk);
    }
    if (close(output) != 0) Fail("closing", g_path);
  });
  return status;
}
