#pragma once
// Writing GIF data: a TGIFImage's frames as a GIF89a file, each frame with
// its own color table of 2, 16 or 256 entries (1-, 4- and 8-bit bitmaps).

#include <QImage>

#include <string>

namespace widgets {

class TGIFImage;

// The GIF depth of a bitmap: 1 for a one-bit bitmap, 4 for an indexed bitmap
// of at most 16 colors, 8 for one of more; any other bitmap raises 61093.
int GifBitmapDepth(const QImage& bitmap);

// The LZW raster (code size byte, sub-blocks, terminator) of a 1-, 4- or
// 8-bit bitmap, rows in interlaced order when asked.
std::string GifEncodeRaster(const QImage& bitmap, bool interlaced);

// The whole image as GIF89a bytes: the looping extension when the image
// loops, per frame a graphic control extension (delay, disposal,
// transparency) and the frame, the image comment, the trailer. Frames not
// decoded yet are decoded first; a frame without a bitmap raises 61098.
std::string GifEncode(TGIFImage& image);

}  // namespace widgets
