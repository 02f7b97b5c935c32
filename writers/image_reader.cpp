// What the bitmap and PNG readers share: recognising the file, handing out
// its pixels, the rounding to 16-bit colour, and the words of a refusal.
#include <cstdio>
#include <cstring>

#include "driver/messages.h"
#include "platform/file_system.h"
#include "writers/image_reader.h"

namespace {

constexpr unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

void Forget(ImageReader* reader, HANDLE file) {
  reader->kind = ImageFileKind::kNone;
  reader->width = 0;
  reader->height = 0;
  reader->rounded = 0;
  reader->refusal = {};
  reader->file = file;
  reader->file_bytes = 0;
  reader->next_row = 0;
  reader->next_column = 0;
  reader->held_start = 0;
  reader->held_end = 0;
  reader->png = nullptr;
  reader->png_info = nullptr;
}

// Moves `file` to `position`, which may lie past 4 GiB.
bool MoveTo(HANDLE file, std::uint64_t position, DWORD* error) {
  LONG high = static_cast<LONG>(position >> 32);
  if (SetFilePointer(file, static_cast<LONG>(position & 0xFFFFFFFFu), &high, FILE_BEGIN) ==
      INVALID_SET_FILE_POINTER) {
    const DWORD code = GetLastError();
    if (code != NO_ERROR) {
      *error = code;
      return false;
    }
  }
  return true;
}

}  // namespace

ImageBytes ReadImageBytes(ImageReader* reader, std::uint64_t position, unsigned char* bytes,
                          std::uint32_t length) {
  DWORD error = NO_ERROR;
  if (!MoveTo(reader->file, position, &error)) {
    reader->refusal.problem = ImageProblem::kReadFailed;
    reader->refusal.error = error;
    return ImageBytes::kFailed;
  }
  std::uint32_t done = 0;
  while (done < length) {
    DWORD delivered = 0;
    if (!ReadFile(reader->file, bytes + done, length - done, &delivered, nullptr)) {
      reader->refusal.problem = ImageProblem::kReadFailed;
      reader->refusal.error = GetLastError();
      return ImageBytes::kFailed;
    }
    if (delivered == 0) return ImageBytes::kShort;
    done += delivered;
  }
  return ImageBytes::kRead;
}

std::uint32_t NarrowChannel(std::uint32_t value, std::uint32_t bits, std::uint32_t target,
                            bool* rounded) {
  if (bits <= target) return value << (target - bits);
  const std::uint32_t dropped = bits - target;
  if ((value & ((std::uint64_t{1} << dropped) - 1)) != 0) *rounded = true;
  const std::uint64_t nearest =
      (std::uint64_t{value} + (std::uint64_t{1} << (dropped - 1))) >> dropped;
  const std::uint64_t top = (std::uint64_t{1} << target) - 1;
  return static_cast<std::uint32_t>(nearest < top ? nearest : top);
}

std::uint16_t Rgb565FromRgb(std::uint32_t red, std::uint32_t green, std::uint32_t blue,
                            bool* rounded) {
  return static_cast<std::uint16_t>(NarrowChannel(red, 8, 5, rounded) << 11 |
                                    NarrowChannel(green, 8, 6, rounded) << 5 |
                                    NarrowChannel(blue, 8, 5, rounded));
}

bool OpenImage(ImageReader* reader, HANDLE file) {
  Forget(reader, file);
  DWORD error = NO_ERROR;
  if (!FileBytes(file, &reader->file_bytes, &error)) {
    reader->refusal.problem = ImageProblem::kReadFailed;
    reader->refusal.error = error;
    return false;
  }
  unsigned char start[sizeof kPngSignature] = {};
  const std::uint32_t length = reader->file_bytes < sizeof start
                                   ? static_cast<std::uint32_t>(reader->file_bytes)
                                   : static_cast<std::uint32_t>(sizeof start);
  const ImageBytes read = ReadImageBytes(reader, 0, start, length);
  if (read == ImageBytes::kFailed) return false;
  if (read == ImageBytes::kShort) {
    reader->refusal.problem = ImageProblem::kChanged;
    return false;
  }
  if (length >= 2 && start[0] == 'B' && start[1] == 'M') {
    reader->kind = ImageFileKind::kBitmap;
    return OpenBitmap(reader);
  }
  if (length == sizeof kPngSignature && std::memcmp(start, kPngSignature, length) == 0) {
    reader->kind = ImageFileKind::kPng;
    return OpenPng(reader);
  }
  reader->refusal.problem = ImageProblem::kNotAnImage;
  return false;
}

bool ReadImagePixels(ImageReader* reader, const unsigned char** pixels, std::uint32_t* count) {
  *pixels = reader->pixels;
  *count = 0;
  if (reader->width == 0 || reader->next_row >= reader->height) return true;
  switch (reader->kind) {
    case ImageFileKind::kBitmap: return ReadBitmapPixels(reader, count);
    case ImageFileKind::kPng: return ReadPngPixels(reader, count);
    case ImageFileKind::kNone: break;
  }
  return true;
}

bool StreamImagePixels(ImageReader* reader, ImageSink* sink, void* context) {
  for (;;) {
    const unsigned char* pixels = nullptr;
    std::uint32_t count = 0;
    if (!ReadImagePixels(reader, &pixels, &count)) return false;
    if (count == 0) return true;
    if (!sink(context, pixels, 2 * count)) {
      reader->refusal = {};
      return false;
    }
  }
}

void CloseImage(ImageReader* reader) {
  if (reader->kind == ImageFileKind::kPng) ClosePng(reader);
}

void FormatImageRefusal(const ImageRefusal& refusal, const char* shown_path, char* text,
                        std::size_t capacity) {
  const ImageRefusal& r = refusal;
  const auto wide = [](std::uint64_t value) { return static_cast<unsigned long long>(value); };
  const auto number = [](std::int64_t value) { return static_cast<long long>(value); };
  int written = 0;
  switch (r.problem) {
    case ImageProblem::kNone: text[0] = '\0'; return;
    case ImageProblem::kReadFailed: {
      char reason[kReasonCapacity];
      DescribeError(r.error, reason, sizeof reason);
      written = std::snprintf(text, capacity, kZrqCannotReadInput, shown_path, reason);
      break;
    }
    case ImageProblem::kChanged:
      written = std::snprintf(text, capacity, kZrqInputChanged, shown_path);
      break;
    case ImageProblem::kNotAnImage:
      written = std::snprintf(text, capacity, kZrqImageUnknown, shown_path);
      break;
    case ImageProblem::kNoPngReader:
      written = std::snprintf(text, capacity, kZrqImageNoPng, shown_path);
      break;
    case ImageProblem::kEndsInside:
      written = std::snprintf(text, capacity, kZrqImageEndsInside, shown_path, wide(r.file_bytes),
                              r.field);
      break;
    case ImageProblem::kUnsupported:
      written = std::snprintf(text, capacity, kZrqImageField, shown_path, r.field, number(r.value),
                              r.meaning);
      break;
    case ImageProblem::kOffsetPastEnd:
      written = std::snprintf(text, capacity, kZrqImageOffsetPastEnd, shown_path, r.field,
                              number(r.value), wide(r.file_bytes));
      break;
    case ImageProblem::kBitFields:
      written = std::snprintf(text, capacity, kZrqImageBitFields, shown_path, r.masks[0],
                              r.masks[1], r.masks[2]);
      break;
    case ImageProblem::kRowsPastEnd:
      written = std::snprintf(text, capacity, kZrqImageRowsPastEnd, shown_path, r.width, r.height,
                              r.bits, wide(r.needed), wide(r.offset), wide(r.file_bytes));
      break;
    case ImageProblem::kPaletteIndex:
      written = std::snprintf(text, capacity, kZrqImagePaletteIndex, shown_path, r.row, r.column,
                              number(r.value), r.colours);
      break;
    case ImageProblem::kTooLarge:
      written = std::snprintf(text, capacity, kZrqImageTooLarge, shown_path, r.width, r.height,
                              wide(r.needed));
      break;
    case ImageProblem::kDecoder:
      written = std::snprintf(text, capacity, kZrqImageDecoder, shown_path, r.decoder_text);
      break;
  }
  if (written < 0 && capacity > 0) text[0] = '\0';
}

void PassPixels(ImageReader* reader, std::uint32_t pixels) {
  reader->next_column += pixels;
  if (reader->next_column == reader->width) {
    reader->next_column = 0;
    ++reader->next_row;
  }
}
