#include "tools/demo/banner_canvas.h"

#include <algorithm>
#include <array>
#include <optional>
#include <stdexcept>
#include <string>

#include "tabula/locale.h"

namespace demo {

namespace {

struct TGlyphSource {
  const char* Character;  // UTF-8, one character
  const char* Rows[7];    // '#' set, '.' clear, five columns each
};

// clang-format off
constexpr TGlyphSource kGlyphs[] = {
    {"А", {".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
    {"Б", {"#####", "#....", "#....", "####.", "#...#", "#...#", "####."}},
    {"В", {"####.", "#...#", "#...#", "####.", "#...#", "#...#", "####."}},
    {"Г", {"#####", "#....", "#....", "#....", "#....", "#....", "#...."}},
    {"Д", {"..##.", ".#.#.", ".#.#.", ".#.#.", ".#.#.", "#####", "#...#"}},
    {"Е", {"#####", "#....", "#....", "####.", "#....", "#....", "#####"}},
    {"Ё", {".#.#.", "#####", "#....", "####.", "#....", "#....", "#####"}},
    {"Ж", {"#.#.#", "#.#.#", ".###.", "..#..", ".###.", "#.#.#", "#.#.#"}},
    {"З", {".###.", "#...#", "....#", "..##.", "....#", "#...#", ".###."}},
    {"И", {"#...#", "#...#", "#..##", "#.#.#", "##..#", "#...#", "#...#"}},
    {"Й", {".#.#.", "..#..", "#...#", "#..##", "#.#.#", "##..#", "#...#"}},
    {"К", {"#...#", "#..#.", "#.#..", "##...", "#.#..", "#..#.", "#...#"}},
    {"Л", {"..###", ".#..#", ".#..#", ".#..#", ".#..#", ".#..#", "#...#"}},
    {"М", {"#...#", "##.##", "#.#.#", "#.#.#", "#...#", "#...#", "#...#"}},
    {"Н", {"#...#", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
    {"О", {".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
    {"П", {"#####", "#...#", "#...#", "#...#", "#...#", "#...#", "#...#"}},
    {"Р", {"####.", "#...#", "#...#", "####.", "#....", "#....", "#...."}},
    {"С", {".###.", "#...#", "#....", "#....", "#....", "#...#", ".###."}},
    {"Т", {"#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."}},
    {"У", {"#...#", "#...#", "#...#", ".####", "....#", "#...#", ".###."}},
    {"Ф", {"..#..", ".###.", "#.#.#", "#.#.#", "#.#.#", ".###.", "..#.."}},
    {"Х", {"#...#", "#...#", ".#.#.", "..#..", ".#.#.", "#...#", "#...#"}},
    {"Ц", {"#..#.", "#..#.", "#..#.", "#..#.", "#..#.", "#####", "....#"}},
    {"Ч", {"#...#", "#...#", "#...#", ".####", "....#", "....#", "....#"}},
    {"Ш", {"#.#.#", "#.#.#", "#.#.#", "#.#.#", "#.#.#", "#.#.#", "#####"}},
    {"Щ", {"#.#.#", "#.#.#", "#.#.#", "#.#.#", "#.#.#", "#####", "....#"}},
    {"Ъ", {"##...", ".#...", ".#...", ".###.", ".#..#", ".#..#", ".###."}},
    {"Ы", {"#...#", "#...#", "#...#", "##..#", "#.#.#", "#.#.#", "##..#"}},
    {"Ь", {"#....", "#....", "#....", "####.", "#...#", "#...#", "####."}},
    {"Э", {".###.", "#...#", "....#", "..###", "....#", "#...#", ".###."}},
    {"Ю", {"#..#.", "#.#.#", "#.#.#", "###.#", "#.#.#", "#.#.#", "#..#."}},
    {"Я", {".####", "#...#", "#...#", ".####", "..#.#", ".#..#", "#...#"}},
    {"0", {".###.", "#...#", "#..##", "#.#.#", "##..#", "#...#", ".###."}},
    {"1", {"..#..", ".##..", "..#..", "..#..", "..#..", "..#..", ".###."}},
    {"2", {".###.", "#...#", "....#", "...#.", "..#..", ".#...", "#####"}},
    {"3", {"#####", "...#.", "..#..", "...#.", "....#", "#...#", ".###."}},
    {"4", {"...#.", "..##.", ".#.#.", "#..#.", "#####", "...#.", "...#."}},
    {"5", {"#####", "#....", "####.", "....#", "....#", "#...#", ".###."}},
    {"6", {"..##.", ".#...", "#....", "####.", "#...#", "#...#", ".###."}},
    {"7", {"#####", "....#", "...#.", "..#..", ".#...", ".#...", ".#..."}},
    {"8", {".###.", "#...#", "#...#", ".###.", "#...#", "#...#", ".###."}},
    {"9", {".###.", "#...#", "#...#", ".####", "....#", "...#.", ".##.."}},
    {" ", {".....", ".....", ".....", ".....", ".....", ".....", "....."}},
    {".", {".....", ".....", ".....", ".....", ".....", ".##..", ".##.."}},
    {",", {".....", ".....", ".....", ".....", ".##..", "..#..", ".#..."}},
    {"-", {".....", ".....", ".....", ".###.", ".....", ".....", "....."}},
    {"!", {"..#..", "..#..", "..#..", "..#..", "..#..", ".....", "..#.."}},
    {":", {".....", ".##..", ".##..", ".....", ".##..", ".##..", "....."}},
    {"«", {".....", "..#.#", ".#.#.", "#.#..", ".#.#.", "..#.#", "....."}},
    {"»", {".....", "#.#..", ".#.#.", "..#.#", ".#.#.", "#.#..", "....."}},
};
// clang-format on

using TGlyph = std::array<uint8_t, TBannerCanvas::kGlyphHeight>;  // row bits, bit 4 = left column

// The font by Windows-1251 byte.
const std::array<std::optional<TGlyph>, 256>& Font() {
  static const std::array<std::optional<TGlyph>, 256> font = [] {
    std::array<std::optional<TGlyph>, 256> out{};
    for (const TGlyphSource& g : kGlyphs) {
      const std::string byte = tabula::Utf8ToCp1251(g.Character);
      TGlyph glyph{};
      for (int row = 0; row < TBannerCanvas::kGlyphHeight; ++row)
        for (int col = 0; col < TBannerCanvas::kGlyphWidth; ++col)
          if (g.Rows[row][col] == '#') glyph[size_t(row)] |= uint8_t(1 << (TBannerCanvas::kGlyphWidth - 1 - col));
      out[uint8_t(byte.at(0))] = glyph;
    }
    return out;
  }();
  return font;
}

const TGlyph& GlyphOf(char c) {
  const auto& glyph = Font()[uint8_t(c)];
  if (!glyph)
    throw std::invalid_argument("the banner font has no character " + tabula::Cp1251ToUtf8(std::string(1, c)));
  return *glyph;
}

}  // namespace

TBannerCanvas::TBannerCanvas(int width, int height, const QVector<QRgb>& palette)
    : image_(width, height, QImage::Format_Indexed8) {
  if (palette.isEmpty() || palette.size() > 16) throw std::invalid_argument("a banner palette has 1 to 16 colors");
  image_.setColorTable(palette);
  Fill(0);
}

void TBannerCanvas::Fill(int color) { image_.fill(uint(color)); }

void TBannerCanvas::FillRect(int x, int y, int width, int height, int color) {
  const int left = std::max(x, 0), right = std::min(x + width, image_.width());
  const int top = std::max(y, 0), bottom = std::min(y + height, image_.height());
  for (int row = top; row < bottom; ++row) {
    uchar* line = image_.scanLine(row);
    for (int col = left; col < right; ++col) line[col] = uchar(color);
  }
}

void TBannerCanvas::FillCircle(int centerX, int centerY, int radius, int color) {
  for (int dy = -radius; dy <= radius; ++dy) {
    int half = 0;
    while ((half + 1) * (half + 1) + dy * dy <= radius * radius) ++half;
    FillRect(centerX - half, centerY + dy, 2 * half + 1, 1, color);
  }
}

int TBannerCanvas::TextWidth(int scale, std::string_view text) {
  // One blank column between characters.
  return text.empty() ? 0 : int(text.size()) * (kGlyphWidth + 1) * scale - scale;
}

void TBannerCanvas::DrawText(int x, int y, int scale, int color, std::string_view text) {
  for (const char c : text) {
    const TGlyph& glyph = GlyphOf(c);
    for (int row = 0; row < kGlyphHeight; ++row)
      for (int col = 0; col < kGlyphWidth; ++col)
        if (glyph[size_t(row)] & (1 << (kGlyphWidth - 1 - col)))
          FillRect(x + col * scale, y + row * scale, scale, scale, color);
    x += (kGlyphWidth + 1) * scale;
  }
}

}  // namespace demo
