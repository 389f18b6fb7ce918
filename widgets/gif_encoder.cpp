#include "widgets/gif_encoder.h"

#include <algorithm>
#include <vector>

#include "widgets/gif_image.h"
#include "widgets/gif_lzw.h"

namespace widgets {

namespace {

void PutWord(std::string& out, int v) {
  out += static_cast<char>(v & 0xff);
  out += static_cast<char>((v >> 8) & 0xff);
}

// Rows in the order they are stored: straight, or the four interlace passes.
std::vector<int> RowOrder(int height, bool interlaced) {
  std::vector<int> rows;
  rows.reserve(static_cast<std::size_t>(height));
  if (!interlaced) {
    for (int y = 0; y < height; ++y) rows.push_back(y);
    return rows;
  }
  static constexpr int kStart[4] = {0, 4, 2, 1};
  static constexpr int kStep[4] = {8, 8, 4, 2};
  for (int pass = 0; pass < 4; ++pass) {
    for (int y = kStart[pass]; y < height; y += kStep[pass]) rows.push_back(y);
  }
  return rows;
}

}  // namespace

int GifBitmapDepth(const QImage& bitmap) {
  switch (bitmap.format()) {
    case QImage::Format_Mono:
    case QImage::Format_MonoLSB:
      return 1;
    case QImage::Format_Indexed8:
      return bitmap.colorCount() <= 16 ? 4 : 8;
    default:
      RaiseGifError(kGifErrEncodeDepth);
  }
}

std::string GifEncodeRaster(const QImage& bitmap, bool interlaced) {
  const int depth = GifBitmapDepth(bitmap);
  const int width = bitmap.width();
  const int height = bitmap.height();
  std::vector<uint8_t> pixels;
  pixels.reserve(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
  for (const int y : RowOrder(height, interlaced)) {
    const uchar* line = bitmap.constScanLine(y);
    if (depth == 1) {
      const bool lsb = bitmap.format() == QImage::Format_MonoLSB;
      for (int x = 0; x < width; ++x) {
        const int bit = lsb ? (line[x >> 3] >> (x & 7)) : (line[x >> 3] >> (7 - (x & 7)));
        pixels.push_back(static_cast<uint8_t>(bit & 1));
      }
    } else {
      const uint8_t mask = depth == 4 ? 0x0f : 0xff;
      for (int x = 0; x < width; ++x) pixels.push_back(line[x] & mask);
    }
  }
  return GifLzwEncode(pixels.data(), pixels.size(), std::max(2, depth));
}

std::string GifEncode(TGIFImage& image) {
  // Decode and check every frame before writing anything.
  for (int i = 0; i < image.FrameCount(); ++i) {
    if (image.Frame(i).Item->Raster.empty() && !image.Frame(i).Decoded) RaiseGifError(kGifErrNoData);
    if (image.FrameBitmap(i).isNull()) RaiseGifError(kGifErrNoData);
    GifBitmapDepth(image.Frame(i).Bitmap);
  }

  int screenWidth = image.ScreenWidth();
  int screenHeight = image.ScreenHeight();
  for (int i = 0; i < image.FrameCount(); ++i) {
    const TGIFFrame& frame = image.Frame(i);
    screenWidth = std::max(screenWidth, frame.Origin.x() + frame.Bitmap.width());
    screenHeight = std::max(screenHeight, frame.Origin.y() + frame.Bitmap.height());
  }

  std::string out = "GIF89a";
  PutWord(out, std::min(screenWidth, 0xffff));
  PutWord(out, std::min(screenHeight, 0xffff));
  const int resolution = std::clamp(image.Data().ColorResolution, 1, 8);
  out += static_cast<char>((resolution - 1) << 4);  // no global color table
  out += '\0';                                      // background index
  out += static_cast<char>(image.Data().AspectRatio);

  if (image.Looping()) {
    out += "\x21\xff\x0bNETSCAPE2.0";
    out += "\x03\x01";
    PutWord(out, image.LoopCount());
    out += '\0';
  }

  for (int i = 0; i < image.FrameCount(); ++i) {
    const TGIFFrame& frame = image.Frame(i);
    const QImage& bitmap = frame.Bitmap;
    const int depth = GifBitmapDepth(bitmap);
    const int entries = 1 << depth;
    QVector<QRgb> colors = bitmap.colorTable();
    if (colors.size() < 2 && depth == 1) colors = {qRgb(0, 0, 0), qRgb(255, 255, 255)};

    int transparentIndex = -1;
    if (frame.TransparentKey) {
      for (int c = 0; c < std::min<int>(static_cast<int>(colors.size()), entries); ++c) {
        if ((colors[c] | 0xff000000u) == (*frame.TransparentKey | 0xff000000u)) {
          transparentIndex = c;
          break;
        }
      }
    }
    if (frame.DelayMs != 0 || frame.Disposal != 0 || transparentIndex >= 0) {
      out += "\x21\xf9\x04";
      out += static_cast<char>(((frame.Disposal & 7) << 2) | (transparentIndex >= 0 ? 1 : 0));
      PutWord(out, frame.DelayMs / 10);
      out += static_cast<char>(std::max(transparentIndex, 0));
      out += '\0';
    }

    out += '\x2c';
    PutWord(out, frame.Origin.x());
    PutWord(out, frame.Origin.y());
    PutWord(out, bitmap.width());
    PutWord(out, bitmap.height());
    out += static_cast<char>(0x80 | (frame.IsInterlaced ? 0x40 : 0) | (depth - 1));
    for (int c = 0; c < entries; ++c) {
      const QRgb color = c < colors.size() ? colors[c] : qRgb(0, 0, 0);
      out += static_cast<char>(qRed(color));
      out += static_cast<char>(qGreen(color));
      out += static_cast<char>(qBlue(color));
    }
    out += GifEncodeRaster(bitmap, frame.IsInterlaced);
  }

  // The image comment, as extensions that no image follows.
  if (!image.Data().Comment.empty()) {
    std::string text;
    for (std::size_t i = 0; i < image.Data().Comment.size(); ++i) {
      if (i > 0) text += "\r\n";
      text += image.Data().Comment[i];
    }
    out += "\x21\xfe";
    for (std::size_t pos = 0; pos < text.size(); pos += 255) {
      const std::size_t length = std::min<std::size_t>(255, text.size() - pos);
      out += static_cast<char>(length);
      out.append(text, pos, length);
    }
    out += '\0';
  }
  out += '\x3b';
  return out;
}

}  // namespace widgets
