#pragma once
// TBannerCanvas: an indexed 16-color picture on which the demo banners are
// drawn: filled rectangles and circles, and text in a built-in 5 x 7 pixel
// font (upper-case Cyrillic, digits, a few punctuation marks) scaled by a
// whole factor. It draws with its own code rather than QPainter and system
// fonts, so a picture is the same on every machine and needs no running
// GUI application.

#include <QImage>

#include <string_view>

namespace demo {

class TBannerCanvas {
 public:
  // `palette` holds at most 16 colors; pixels start as color 0.
  TBannerCanvas(int width, int height, const QVector<QRgb>& palette);

  void Fill(int color);
  // Clipped to the canvas.
  void FillRect(int x, int y, int width, int height, int color);
  void FillCircle(int centerX, int centerY, int radius, int color);
  // Text in Windows-1251 with its top left corner at (x, y); each font pixel
  // becomes a scale x scale square. A character the font lacks raises
  // std::invalid_argument.
  void DrawText(int x, int y, int scale, int color, std::string_view text);
  static int TextWidth(int scale, std::string_view text);
  static int TextHeight(int scale) { return kGlyphHeight * scale; }

  const QImage& Image() const { return image_; }

  static constexpr int kGlyphWidth = 5;
  static constexpr int kGlyphHeight = 7;

 private:
  QImage image_;
};

}  // namespace demo
