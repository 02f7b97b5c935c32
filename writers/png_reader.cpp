// PNG files back into RGB565 rows, through the distribution's libpng where
// the build found it (ZRQ_HAVE_PNG); without it a PNG file is refused as one
// this build cannot read.
//
// libpng decodes a row at a time into the reader's own row buffer, turned to
// 8-bit red, green and blue whatever the file holds: palettes expanded, grey
// made colour, 16-bit samples scaled to 8 bits (to the nearest), fewer bits
// widened as libpng widens them, alpha dropped (an entry has none). The gamma
// and colour-space chunks change nothing: the samples are taken as stored.
// Interlaced files are refused, as their rows come whole only once the
// image is held whole, and so are files wider than the row buffer, before
// libpng allocates anything for a row.
//
// libpng tells errors by a long jump back into the function that called it;
// each function here that calls libpng sets its jump point first and holds
// nothing that would need undoing on the way out, and CloseImage frees what
// libpng holds however the reader stopped.
#include "writers/image_reader.h"

#ifdef ZRQ_HAVE_PNG

#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>

#include "archive/little_endian.h"

namespace {

ImageReader* ReaderOf(png_structp png) { return static_cast<ImageReader*>(png_get_io_ptr(png)); }

// Reads on from where the last read stopped; the file's end or a failure
// is kept in the refusal and stops libpng.
void ReadFromFile(png_structp png, png_bytep bytes, png_size_t length) {
  ImageReader* reader = ReaderOf(png);
  while (length > 0) {
    const DWORD asked = length > 0x10000000u ? 0x10000000u : static_cast<DWORD>(length);
    DWORD delivered = 0;
    if (!ReadFile(reader->file, bytes, asked, &delivered, nullptr)) {
      reader->refusal.problem = ImageProblem::kReadFailed;
      reader->refusal.error = GetLastError();
      png_error(png, "read failed");
    }
    if (delivered == 0) {
      reader->refusal.problem = ImageProblem::kEndsInside;
      reader->refusal.field = "image data";
      reader->refusal.file_bytes = reader->file_bytes;
      png_error(png, "file ended");
    }
    bytes += delivered;
    length -= delivered;
  }
}

// Keeps libpng's words unless the reader already knows the cause, and
// jumps back.
[[noreturn]] void Stop(png_structp png, png_const_charp message) {
  ImageReader* reader = static_cast<ImageReader*>(png_get_error_ptr(png));
  if (reader->refusal.problem == ImageProblem::kNone) {
    reader->refusal.problem = ImageProblem::kDecoder;
    (void)std::snprintf(reader->refusal.decoder_text, sizeof reader->refusal.decoder_text, "%s",
                        message);
  }
  png_longjmp(png, 1);
}

// Warnings change nothing that is read; the user is told only of refusals.
void Ignore(png_structp /*png*/, png_const_charp /*message*/) {}

bool Refuse(ImageReader* reader, const char* field, std::int64_t value, const char* meaning) {
  reader->refusal.problem = ImageProblem::kUnsupported;
  reader->refusal.field = field;
  reader->refusal.value = value;
  reader->refusal.meaning = meaning;
  return false;
}

// Reads the header chunks and sets the decoding up; false with the refusal.
// Called with the jump point set.
bool ReadHeaders(ImageReader* reader, png_structp png, png_infop info) {
  png_read_info(png, info);
  const png_uint_32 width = png_get_image_width(png, info);
  const png_uint_32 height = png_get_image_height(png, info);
  const int interlace = png_get_interlace_type(png, info);
  if (interlace != PNG_INTERLACE_NONE) {
    return Refuse(reader, "interlace method", interlace, "Adam7, whose rows come whole only last");
  }
  // Checked before libpng allocates anything for a row, which it does for
  // the width the header says.
  if (width > kPngWidestRow) {
    return Refuse(reader, "width", width, "wider than the 65536 pixels of a PNG row zrq holds");
  }
  const std::uint64_t payload = ImagePayloadBytes(width, height);
  if (payload > UINT32_MAX) {
    reader->refusal.problem = ImageProblem::kTooLarge;
    reader->refusal.width = width;
    reader->refusal.height = height;
    reader->refusal.needed = payload;
    return false;
  }
  png_set_expand(png);
  png_set_scale_16(png);
  png_set_strip_alpha(png);
  png_set_gray_to_rgb(png);
  png_read_update_info(png, info);
  if (png_get_bit_depth(png, info) != 8 || png_get_channels(png, info) != 3 ||
      png_get_rowbytes(png, info) != 3ull * width) {
    reader->refusal.problem = ImageProblem::kDecoder;
    (void)std::snprintf(reader->refusal.decoder_text, sizeof reader->refusal.decoder_text,
                        "rows of %u bits in %u channels", png_get_bit_depth(png, info),
                        png_get_channels(png, info));
    return false;
  }
  reader->width = width;
  reader->height = height;
  return true;
}

}  // namespace

bool OpenPng(ImageReader* reader) {
  DWORD error = NO_ERROR;
  if (SetFilePointer(reader->file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER &&
      (error = GetLastError()) != NO_ERROR) {
    reader->refusal.problem = ImageProblem::kReadFailed;
    reader->refusal.error = error;
    return false;
  }
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, reader, Stop, Ignore);
  png_infop info = png == nullptr ? nullptr : png_create_info_struct(png);
  reader->png = png;
  reader->png_info = info;
  if (info == nullptr) {
    reader->refusal.problem = ImageProblem::kDecoder;
    (void)std::snprintf(reader->refusal.decoder_text, sizeof reader->refusal.decoder_text,
                        "out of memory");
    return false;
  }
  png_set_read_fn(png, reader, ReadFromFile);
  // libpng's own bounds on the size (a million rows) would refuse images an
  // entry holds; the width is bounded below, before anything is allocated for
  // a row, and the height by the entry's size.
  png_set_user_limits(png, 0x7FFFFFFF, 0x7FFFFFFF);
  if (setjmp(png_jmpbuf(png))) return false;
  return ReadHeaders(reader, png, info);
}

namespace {

// Decodes the next row into the row buffer. Called with the jump point set.
void DecodeRow(ImageReader* reader) {
  png_read_row(static_cast<png_structp>(reader->png), reader->source, nullptr);
}

}  // namespace

bool ReadPngPixels(ImageReader* reader, std::uint32_t* count) {
  png_structp png = static_cast<png_structp>(reader->png);
  if (setjmp(png_jmpbuf(png))) return false;
  std::uint32_t done = 0;
  while (done < kImagePiecePixels && reader->next_row < reader->height) {
    if (reader->next_column == 0) DecodeRow(reader);
    std::uint32_t pixels = reader->width - reader->next_column;
    if (pixels > kImagePiecePixels - done) pixels = kImagePiecePixels - done;
    const unsigned char* from = reader->source + std::size_t{3} * reader->next_column;
    unsigned char* out = reader->pixels + std::size_t{2} * done;
    for (std::uint32_t i = 0; i < pixels; ++i) {
      bool rounded = false;
      StoreLittleEndian16(out + std::size_t{2} * i,
                          Rgb565FromRgb(from[std::size_t{3} * i], from[std::size_t{3} * i + 1],
                                        from[std::size_t{3} * i + 2], &rounded));
      reader->rounded += rounded ? 1 : 0;
    }
    done += pixels;
    PassPixels(reader, pixels);
  }
  *count = done;
  return true;
}

void ClosePng(ImageReader* reader) {
  png_structp png = static_cast<png_structp>(reader->png);
  png_infop info = static_cast<png_infop>(reader->png_info);
  if (png != nullptr) png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr);
  reader->png = nullptr;
  reader->png_info = nullptr;
}

#else

bool OpenPng(ImageReader* reader) {
  reader->refusal.problem = ImageProblem::kNoPngReader;
  return false;
}

bool ReadPngPixels(ImageReader* reader, std::uint32_t* /*count*/) {
  reader->refusal.problem = ImageProblem::kNoPngReader;
  return false;
}

void ClosePng(ImageReader* /*reader*/) {}

#endif
