// Pictures back into images: the reader of bitmaps (and, where the build has
// a PNG decoder, of PNG files) that turns a file another program wrote into
// the RGB565 rows a sized-image entry holds, beside the writers that turn
// those rows into bitmaps.
//
// It reads in constant memory, whatever the header says: a bitmap's every
// field is checked against the file's real length before anything is read
// past the headers, a PNG's size against the entry it would make (its data is
// compressed; libpng stops where it ends), and the pixels come out a bounded
// piece at a time, in the order a sized-image payload stores them (top row
// first, each row left to right), however the file stores its rows (bottom-up
// or top-down) and however wide they are. Nothing is allocated from a
// header's word: the bitmap reader holds one block of the file, the PNG
// reader one decoded row of at most kPngWidestRow pixels.
//
// How a pixel becomes a 16-bit colour. unzrq widens each 5- or 6-bit channel
// by a plain shift with the low bits zero (red and blue 0, 8, ... 248; green
// 0, 4, ... 252). A channel whose value is one of those goes in exactly, so
// that a bitmap unzrq wrote comes back bit for bit. Any other value is taken
// to the nearest value unzrq would write back, ties upwards, and past the
// top one (249-255 for red and blue, 253-255 for green) to the top one: an
// 8-bit v becomes (v + 4) >> 3 (at most 31) for red and blue, (v + 2) >> 2
// (at most 63) for green. Channels of other widths (bit fields, a PNG's
// 16-bit samples scaled to 8) are read as that many bits of the same scale:
// n bits narrowed to t by (v + 2^(n-t-1)) >> (n-t), widened by a shift. A
// pixel with any channel not taken exactly counts as rounded.
//
// Use: one ImageReader (large: keep it static, not on the stack) serves one
// file at a time. OpenImage on a file the caller opened (OpenArchive) tells
// its width and height, so that the entry's size (ImagePayloadBytes) is known
// and a file is refused before anything is written; CloseImage lets go of
// what the decoder holds (the file stays the caller's). To pack it, open it
// again, check the size is the one measured, then pull its pixels with
// ReadImagePixels (or push them with StreamImagePixels), and read `rounded`
// at the end. Every failure leaves its cause in `refusal`; FormatImageRefusal
// makes the message zrq reports for it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32_files.h"

// Pixels handed out at most at once by ReadImagePixels (2 bytes each).
inline constexpr std::uint32_t kImagePiecePixels = 16384;
// The bitmap reader's block of the file: a piece of the widest pixels.
inline constexpr std::uint32_t kImageSourceBytes = 4 * kImagePiecePixels;
// The widest PNG this reader decodes: libpng hands out whole rows only.
inline constexpr std::uint32_t kPngWidestRow = 65536;
static_assert(kImageSourceBytes <= 3 * kPngWidestRow);

enum class ImageFileKind { kNone, kBitmap, kPng };

// Why an image is refused. The fields a problem does not name are zero.
enum class ImageProblem {
  kNone,
  kReadFailed,     // the system refused a read or a move: `error`
  kChanged,        // the file ended before what its opening measured (it changed since)
  kNotAnImage,     // it starts with neither "BM" nor the PNG signature
  kNoPngReader,    // a PNG file, and this build has no PNG decoder
  kEndsInside,     // the file ends, after `file_bytes` bytes, inside its `field` (a part)
  kUnsupported,    // header field `field` holds `value`, which means `meaning`
  kOffsetPastEnd,  // field `field` holds `value`, past the end of the file (`file_bytes`)
  kBitFields,      // the bit fields `masks` (red, green, blue) are not usable masks
  kRowsPastEnd,    // width x height pixels of `bits` need `needed` bytes from `offset`
  kPaletteIndex,   // row `row`, column `column` holds palette index `value` of `colours`
  kTooLarge,       // width x height pixels need an entry of `needed` bytes
  kDecoder,        // the PNG decoder stopped: `decoder_text`
};

struct ImageRefusal {
  ImageProblem problem;
  const char* field;    // a header field's name, or the part of the file it ends in
  std::int64_t value;   // the field's value; kPaletteIndex: the index
  const char* meaning;  // kUnsupported: what the value is, in words
  std::uint32_t width, height, bits;
  std::uint32_t row, column, colours;
  std::uint32_t masks[3];
  std::uint64_t offset, needed, file_bytes;
  DWORD error;
  char decoder_text[160];
};

struct ImageReader {
  // Known once OpenImage has succeeded.
  ImageFileKind kind;
  std::uint32_t width;
  std::uint32_t height;
  // Pixels rounded to a 16-bit colour so far (all of them once every pixel was read).
  std::uint64_t rounded;
  // Why the last call returned false.
  ImageRefusal refusal;

  // The rest is the reader's own.
  HANDLE file;
  std::uint64_t file_bytes;
  std::uint32_t next_row;  // the next pixel to hand out, from the top
  std::uint32_t next_column;
  // A bitmap: where its rows are and how its pixels are read.
  std::uint64_t pixel_offset;  // bfOffBits
  std::uint64_t stride;        // bytes from one row to the next, padding included
  bool top_down;
  std::uint32_t pixel_bytes;      // 1 (palette), 2, 3 or 4
  std::uint32_t channel_mask[3];  // red, green, blue
  std::uint32_t channel_shift[3];
  std::uint32_t channel_bits[3];
  bool blue_green_red;    // 24 or 32 bits with the plain masks: read without them
  std::uint32_t colours;  // palette entries
  std::uint16_t palette[256];
  bool palette_rounded[256];
  std::uint64_t held_start;  // the file's bytes `source` holds
  std::uint64_t held_end;
  // A PNG: the decoder's state.
  void* png;
  void* png_info;
  // A bitmap's block of the file (its first kImageSourceBytes), or the
  // PNG's row decoded last.
  unsigned char source[3 * kPngWidestRow];
  // The pieces handed out.
  unsigned char pixels[2 * kImagePiecePixels];
};

// Reads the headers of the image in `file` (open for reading, standing
// anywhere) and checks them against the file's length. True with `kind`,
// `width` and `height` set; false with `refusal`. CloseImage follows either way.
bool OpenImage(ImageReader* reader, HANDLE file);

// The next pixels, RGB565 little-endian in the order a sized-image payload
// holds them: up to kImagePiecePixels of them at *pixels (valid until the next
// call), their count in *count, 0 once every pixel was handed out. A piece may
// end inside a row and cover several rows. False with `refusal`; after that
// only CloseImage is called.
bool ReadImagePixels(ImageReader* reader, const unsigned char** pixels, std::uint32_t* count);

// Where pixels are pushed: false stops the stream (the sink tells its own failure).
using ImageSink = bool(void* context, const unsigned char* bytes, std::uint32_t length);

// Every remaining pixel through `sink`. False with `refusal` when the reader
// failed, or with refusal.problem kNone when the sink stopped it.
bool StreamImagePixels(ImageReader* reader, ImageSink* sink, void* context);

// Lets go of what the decoder holds. The file stays open.
void CloseImage(ImageReader* reader);

// The length of a sized-image entry of this size: 76 bytes of prefix, then
// two bytes a pixel. An entry holds 4294967295 bytes at most.
inline constexpr std::uint64_t ImagePayloadBytes(std::uint32_t width, std::uint32_t height) {
  return 76 + 2ull * width * height;
}

// The message zrq reports for `refusal` about the input shown as
// `shown_path` (already escaped for a message), into `text`.
void FormatImageRefusal(const ImageRefusal& refusal, const char* shown_path, char* text,
                        std::size_t capacity);

// Channels to a 16-bit colour, for the readers and their tests: `value` of
// `bits` bits to `target` bits, as the top of this file says; *rounded set
// when it was not taken exactly (left as it was otherwise).
std::uint32_t NarrowChannel(std::uint32_t value, std::uint32_t bits, std::uint32_t target,
                            bool* rounded);
// Red, green, blue of 8 bits each.
std::uint16_t Rgb565FromRgb(std::uint32_t red, std::uint32_t green, std::uint32_t blue,
                            bool* rounded);

// The two readers behind OpenImage and ReadImagePixels, each given a reader
// whose file, length and kind are set and whose refusal is clear.
bool OpenBitmap(ImageReader* reader);
bool ReadBitmapPixels(ImageReader* reader, std::uint32_t* count);
bool OpenPng(ImageReader* reader);
bool ReadPngPixels(ImageReader* reader, std::uint32_t* count);
void ClosePng(ImageReader* reader);
// Moves both readers' place past `pixels` just handed out of the current
// row, to the next row's start when the row is done.
void PassPixels(ImageReader* reader, std::uint32_t pixels);

enum class ImageBytes { kRead, kShort, kFailed };
// Exactly `length` bytes at `position`. kFailed sets refusal (kReadFailed);
// kShort, the file ending first, is the caller's to judge.
ImageBytes ReadImageBytes(ImageReader* reader, std::uint64_t position, unsigned char* bytes,
                          std::uint32_t length);
