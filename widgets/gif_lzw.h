#pragma once
// The variable-length LZW of GIF rasters: the decoder that fills a frame's
// pixel rows and the encoder that writes them back.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace widgets {

// Where decoded pixels go: rows of `Width` pixels of `Depth` bits (1, 4 or 8;
// 1-bit pixels from the most significant bit of each byte, 4-bit pixels high
// nibble first). `Top` points at row 0 and `RowStride` is the signed distance
// from one row to the next (negative for bottom-up bitmaps). Every pixel of
// every row is written, 0 where the raster does not reach; bytes past a
// row's last pixel are left alone. Rows of 8-bit pixels that follow one
// another without a gap (RowStride == Width, not interlaced) are decoded
// into directly; other layouts through a run of one byte per pixel.
struct TLzwTarget {
  uint8_t* Top = nullptr;
  std::ptrdiff_t RowStride = 0;
  int Width = 0;
  int Height = 0;
  int Depth = 8;
  int BitsPerPixel = 8;  // each value is masked to this many bits
  bool Interlaced = false;
};

// Called with the raster position in percent; may throw to cancel.
using TLzwProgress = std::function<void(int percent)>;

// Decodes a raster (the code size byte followed by data sub-blocks) into the
// target. Returns true when the raster is damaged: an impossible code, a code
// chain over 4096 entries, or data that run out before every row has been
// written. A damaged raster keeps what was decoded up to that point. In
// strict mode an impossible code or an over-long chain raises 61094 instead.
// A code size byte outside 2..9 raises 61095.
bool GifLzwDecode(std::string_view raster, const TLzwTarget& target, bool tolerant = true,
                  const TLzwProgress& progress = nullptr);

// Encodes `count` pixel values (each masked to codeSize bits) with
// the given initial code size (2..8) into a raster: the code size byte, data
// sub-blocks of up to 255 bytes and the zero-length terminator.
std::string GifLzwEncode(const uint8_t* pixels, std::size_t count, int codeSize);

}  // namespace widgets
