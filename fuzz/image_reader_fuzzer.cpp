// The image readers' fuzz target: the input, written to a file, is read as
// zrq create reads an image, bitmap or PNG, and every promise of the reader
// is checked; a broken one aborts, so that libFuzzer keeps the input.
//
// The promises: an image is opened only with a size whose entry fits 32
// bits, and then hands out exactly width x height pixels, in pieces of at
// most kImagePiecePixels, with no more rounded than there are; a bitmap
// holds at least a byte for each of them; whatever is refused says why (a
// refusal and its message). Memory stays bounded whatever the header says
// (libFuzzer's -rss_limit_mb, and the sanitizers on every access).
//
// libFuzzer calls the two functions below; replay_main.cpp calls them on the
// kept inputs in every test build.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/file_system.h"
#include "tests/support/scratch_dir.h"
#include "writers/image_reader.h"

namespace {

ScratchDir* g_folder = nullptr;
std::string* g_path = nullptr;
ImageReader g_reader;

void RemoveFolder() {
  delete g_folder;
  g_folder = nullptr;
}

[[noreturn]] void Broken(const char* promise, std::size_t size) {
  std::fprintf(stderr, "\n==image-reader-fuzzer== input of %zu bytes: %s\n", size, promise);
  (void)std::fflush(stderr);  // about to abort: nothing to do if it fails
  RemoveFolder();
  std::abort();
}

bool WriteInput(const std::uint8_t* data, std::size_t size) {
  std::FILE* file = std::fopen(g_path->c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = size == 0 || std::fwrite(data, 1, size, file) == size;
  return std::fclose(file) == 0 && written;
}

// Reads every pixel; false with the refusal set when the reader refused.
bool ReadAll(std::size_t size, std::uint64_t* pixels) {
  *pixels = 0;
  for (;;) {
    const unsigned char* piece = nullptr;
    std::uint32_t count = 0;
    if (!ReadImagePixels(&g_reader, &piece, &count)) return false;
    if (count == 0) return true;
    if (count > kImagePiecePixels) Broken("a piece larger than the reader's buffer", size);
    if (piece != g_reader.pixels) Broken("a piece outside the reader's buffer", size);
    *pixels += count;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  g_folder = new ScratchDir;
  g_path = new std::string(*g_folder / "input");
  if (std::atexit(RemoveFolder) != 0) {
    std::fprintf(stderr, "==image-reader-fuzzer== the temporary folder will be left behind\n");
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!WriteInput(data, size)) Broken("the input could not be written to a file", size);
  HANDLE file = OpenArchive(g_path->c_str());
  if (file == INVALID_HANDLE_VALUE) Broken("the input's file could not be opened", size);
  const bool opened = OpenImage(&g_reader, file);
  bool read = false;
  if (opened) {
    const std::uint64_t width = g_reader.width;
    const std::uint64_t height = g_reader.height;
    if (g_reader.kind == ImageFileKind::kNone) Broken("an image of no kind", size);
    if (ImagePayloadBytes(g_reader.width, g_reader.height) > UINT32_MAX) {
      Broken("an image whose entry passes 4 GiB", size);
    }
    if (g_reader.kind == ImageFileKind::kBitmap && width * height > size) {
      Broken("a bitmap of more pixels than bytes", size);
    }
    std::uint64_t pixels = 0;
    read = ReadAll(size, &pixels);
    if (read && pixels != width * height) Broken("not every pixel handed out", size);
    if (read && g_reader.rounded > pixels) Broken("more pixels rounded than handed out", size);
  }
  const bool refused = !opened || !read;
  if (refused != (g_reader.refusal.problem != ImageProblem::kNone)) {
    Broken(refused ? "a refusal without its cause" : "a cause without a refusal", size);
  }
  char message[1024];
  FormatImageRefusal(g_reader.refusal, "input", message, sizeof message);
  if (refused && std::strncmp(message, "Error: Cannot pack \"input\"", 26) != 0) {
    Broken("a refusal without its message", size);
  }
  CloseImage(&g_reader);
  if (!CloseHandle(file)) Broken("the input's file could not be closed", size);
  return 0;
}
