// TGIFImage loading and decoding: the block loop, extensions, frames, the
// LZW decoder's tolerance, the bitmap layout, errors, and saving.

#include <gtest/gtest.h>

#include <QMimeData>
#include <QPainter>

#include <algorithm>
#include <map>
#include <sstream>

#include "tests/widgets/gif_test_util.h"
#include "widgets/gif_encoder.h"
#include "widgets/gif_image.h"
#include "widgets/gif_lzw.h"

using namespace widgets;
using namespace gif_test;

namespace {

// Codes packed least significant bit first at the given widths, as one
// raster with the code size byte and sub-blocks.
std::string PackCodes(int codeSize, const std::vector<std::pair<int, int>>& codesAndWidths) {
  std::string data;
  uint32_t bits = 0;
  int count = 0;
  for (const auto& [code, width] : codesAndWidths) {
    bits |= static_cast<uint32_t>(code) << count;
    count += width;
    while (count >= 8) {
      data += static_cast<char>(bits & 0xff);
      bits >>= 8;
      count -= 8;
    }
  }
  if (count > 0) data += static_cast<char>(bits & 0xff);
  std::string raster(1, static_cast<char>(codeSize));
  for (std::size_t pos = 0; pos < data.size(); pos += 255) {
    const std::size_t n = std::min<std::size_t>(255, data.size() - pos);
    raster += static_cast<char>(n);
    raster += data.substr(pos, n);
  }
  raster += '\0';
  return raster;
}

std::string Descriptor(int width, int height, int localBits, bool interlaced = false) {
  std::string out = "\x2c";
  Word(out, 0);
  Word(out, 0);
  Word(out, width);
  Word(out, height);
  out += static_cast<char>((localBits > 0 ? 0x80 | (localBits - 1) : 0) | (interlaced ? 0x40 : 0));
  if (localBits > 0) Table(out, localBits);
  return out;
}

std::vector<int> Indices(const QImage& bitmap) {
  std::vector<int> out;
  for (int y = 0; y < bitmap.height(); ++y) {
    for (int x = 0; x < bitmap.width(); ++x) out.push_back(bitmap.pixelIndex(x, y));
  }
  return out;
}

std::vector<int> AsInts(const std::vector<uint8_t>& v) { return std::vector<int>(v.begin(), v.end()); }

std::string ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const fw::Exception& e) {
    return e.Message;
  }
  return "no error";
}

TEST(GifImageTest, HeaderSignatureAndVersion) {
  const std::vector<uint8_t> pixels = Pattern(4, 2);
  struct TCase {
    const char* header;
    int version;  // -1: 61092
  } cases[] = {{"GIF89a", 2}, {"gif89A", 2}, {"GIF87a", 1}, {"Gif87A", 1}, {"GIF88a", -1}, {"JIF89a", -1}};
  for (const TCase& c : cases) {
    const std::string gif = Header(2, 2, 1, 0, c.header) + Image(0, 0, 2, 2, 0, pixels, 2) + ";";
    TGIFImage image;
    if (c.version < 0) {
      EXPECT_EQ(ErrorOf([&] { image.LoadGifData(gif); }), GifErrorText(kGifErrUnknownVersion)) << c.header;
    } else {
      image.LoadGifData(gif);
      EXPECT_EQ(image.Version(), c.version) << c.header;
      EXPECT_EQ(image.FrameCount(), 1);
    }
  }
}

TEST(GifImageTest, LoadErrors) {
  const std::vector<uint8_t> pixels = Pattern(4, 2);
  const std::string text61097 = GifErrorText(kGifErrUnknownExtension);
  struct TCase {
    std::string name;
    std::string gif;
    std::string error;
  } cases[] = {
      {"code size 1", Header(2, 2, 1) + Descriptor(2, 2, 0) + PackCodes(1, {{2, 2}, {1, 2}, {3, 2}}) + ";",
       GifErrorText(kGifErrCodeSize)},
      {"code size 10", Header(2, 2, 1) + Descriptor(2, 2, 0) + PackCodes(10, {{1024, 11}, {1, 11}}) + ";",
       GifErrorText(kGifErrCodeSize)},
      {"unknown extension", Header(2, 2, 1) + "\x21\x42\x00" + Image(0, 0, 2, 2, 0, pixels, 2) + ";",
       text61097.substr(0, text61097.size() - 4) + "42"},
      {"no color table anywhere", Header(2, 2, 0) + Image(0, 0, 2, 2, 0, pixels, 2) + ";",
       GifErrorText(kGifErrColorCount)},
      {"header cut short", std::string("GIF89a\x10", 7), "Stream read error"},
      {"global table cut short", Header(2, 2, 3).substr(0, 20), "Stream read error"},
      {"descriptor cut short", Header(2, 2, 1) + Descriptor(2, 2, 0).substr(0, 5), "Stream read error"},
      {"graphic control cut short", Header(2, 2, 1) + "\x21\xf9\x04\x01", "Stream read error"},
      {"garbage after extensions", Header(2, 2, 1) + Comment("x") + "X", "Stream read error"},
      {"garbage instead of a block", Header(2, 2, 1) + "X", "Stream read error"},
  };
  for (const TCase& c : cases) {
    TGIFImage image;
    EXPECT_EQ(ErrorOf([&] { image.LoadGifData(c.gif); }), c.error) << c.name;
  }
  EXPECT_EQ(ErrorOf([] { TGIFImage().SetWidth(10); }), GifErrorText(kGifErrResize));
}

TEST(GifImageTest, AcceptedOddities) {
  const std::vector<uint8_t> pixels = Pattern(9, 4);
  const std::string frame = Image(0, 0, 3, 3, 0, pixels, 2);
  struct TCase {
    std::string name;
    std::string gif;
    int frames;
  } cases[] = {
      {"empty data", "", 0},
      {"no blocks", Header(3, 3, 2), 0},
      {"trailer only", Header(3, 3, 2) + ";", 0},
      {"no trailer", Header(3, 3, 2) + frame, 1},
      {"zeros between frames", Header(3, 3, 2) + frame + std::string(3, '\0') + frame + ";", 2},
      {"junk after a frame", Header(3, 3, 2) + frame + "junk", 1},
      {"plain text extension", Header(3, 3, 2) + "\x21\x01\x0c" + std::string(12, 'p') + "\x02hi" + '\0' + frame, 1},
      {"application extension", Header(3, 3, 2) + "\x21\xff\x0b" "ABCDEFGH1.0\x01x" + '\0' + frame + ";", 1},
  };
  for (const TCase& c : cases) {
    TGIFImage image;
    ASSERT_NO_THROW(image.LoadGifData(c.gif)) << c.name;
    EXPECT_EQ(image.FrameCount(), c.frames) << c.name;
    EXPECT_EQ(image.IsEmpty(), c.frames == 0) << c.name;
    if (c.frames > 0) {
      EXPECT_EQ(Indices(image.FrameBitmap(0)), AsInts(pixels)) << c.name;
      EXPECT_FALSE(image.Frame(0).IsCorrupt) << c.name;
    } else {
      EXPECT_EQ(image.ScreenWidth(), 0);
      EXPECT_EQ(image.FrameWidth(), 0);
      EXPECT_TRUE(image.CurrentPalette().isEmpty());
    }
  }
}

TEST(GifImageTest, LoopingExtension) {
  const std::string frame = Image(0, 0, 2, 1, 0, Pattern(2, 2), 2);
  struct TCase {
    std::string extension;
    bool looping;
    int count;
  } cases[] = {
      {"", false, 1},
      {Looping(0), true, 0},
      {Looping(5), true, 5},
      {Looping(40000), true, 30000},
      {"\x21\xff\x0bNETSCAPE2.0\x02\x01\x05" + std::string(1, '\0'), false, 1},  // sub-block too short
      {"\x21\xff\x0bNETSCAPE2.0\x03\x02\x05\x00" + std::string(1, '\0'), false, 1},  // not the loop sub-block
  };
  for (const TCase& c : cases) {
    TGIFImage image;
    image.LoadGifData(Header(2, 1, 1) + c.extension + frame + ";");
    EXPECT_EQ(image.Looping(), c.looping);
    EXPECT_EQ(image.LoopCount(), c.count);
  }
}

TEST(GifImageTest, GraphicControlApplied) {
  const std::string frame = Image(0, 0, 2, 1, 0, Pattern(2, 4), 2);
  struct TCase {
    std::string name;
    std::string extensions;
    int delayMs;
    int disposal;
    int keyIndex;  // -1 none
  } cases[] = {
      {"none", "", 0, 0, -1},
      {"delay 0", Gce(1, 0), 0, 1, -1},
      {"delay 7", Gce(2, 7), 70, 2, -1},
      {"larger of two delays", Gce(1, 7) + Gce(3, 3), 70, 3, -1},
      {"delay beyond 16 bits", Gce(0, 7000), (7000 * 10) & 0xffff, 0, -1},
      {"transparent index", Gce(0, 0, 2), 0, 0, 2},
      {"flag cleared later", Gce(0, 0, 1) + Gce(0, 0), 0, 0, -1},
      {"plain text drops what came before", Gce(2, 9, 1) + "\x21\x01\x0c" + std::string(12, 'p') + '\0', 0, 0, -1},
      {"disposal above 3 kept", Gce(7, 1), 10, 7, -1},
  };
  for (const TCase& c : cases) {
    TGIFImage image;
    image.LoadGifData(Header(2, 1, 2) + c.extensions + frame + ";");
    ASSERT_EQ(image.FrameCount(), 1) << c.name;
    const TGIFFrame& f = image.Frame(0);
    EXPECT_EQ(f.DelayMs, c.delayMs) << c.name;
    EXPECT_EQ(f.Disposal, c.disposal) << c.name;
    if (c.keyIndex < 0) {
      EXPECT_FALSE(f.TransparentKey.has_value()) << c.name;
      EXPECT_FALSE(image.HasTransparency()) << c.name;
    } else {
      ASSERT_TRUE(f.TransparentKey.has_value()) << c.name;
      EXPECT_EQ(*f.TransparentKey, TestColor(c.keyIndex)) << c.name;
      EXPECT_TRUE(image.HasTransparency());
      image.SetTransparent(false);
      EXPECT_FALSE(image.HasTransparency());
    }
  }
}

TEST(GifImageTest, TransparentIndexJustPastTheTable) {
  // A 1-bit table, code size 2, the value 2 marked transparent (gifsicle
  // writes such frames): 2 is see-through, the other values keep their colors.
  TGIFImage image;
  image.LoadGifData(Header(4, 1, 1) + Gce(0, 0, 2) + Image(0, 0, 4, 1, 0, {0, 1, 2, 3}, 2) + ";");
  const TGIFFrame& frame = image.Frame(0);
  ASSERT_TRUE(frame.TransparentKey.has_value());
  EXPECT_NE(*frame.TransparentKey, TestColor(0));
  EXPECT_NE(*frame.TransparentKey, TestColor(1));
  const QImage& bitmap = image.FrameBitmap(0);
  EXPECT_EQ(bitmap.color(bitmap.pixelIndex(0, 0)), TestColor(0));
  EXPECT_EQ(bitmap.color(bitmap.pixelIndex(1, 0)), TestColor(1));
  EXPECT_EQ(bitmap.color(bitmap.pixelIndex(2, 0)), *frame.TransparentKey);
  EXPECT_EQ(bitmap.color(bitmap.pixelIndex(3, 0)), TestColor(1));  // 3 shows what 3 & 1 shows
  EXPECT_TRUE(image.HasTransparency());
  // An index far beyond a full 8-bit table cannot be marked.
  TGIFImage full;
  full.LoadGifData(Header(2, 1, 8) + Gce(0, 0, 255) + Image(0, 0, 2, 1, 0, {0, 255}, 8) + ";");
  EXPECT_EQ(*full.Frame(0).TransparentKey, TestColor(255));
}

TEST(GifImageTest, CommentsWithoutAnImageBecomeTheImageComment) {
  const std::string frame = Image(0, 0, 2, 1, 0, Pattern(2, 2), 2);
  TGIFImage image;
  image.LoadGifData(Header(2, 1, 1) + Comment("frame note") + frame + Comment("one\r\ntwo") + Comment("three") + ";");
  EXPECT_EQ(image.Data().Comment, (std::vector<std::string>{"one", "two", "", "three"}));
  ASSERT_EQ(image.Frame(0).Extensions.size(), 1u);
  EXPECT_EQ(image.Frame(0).Extensions[0].Kind, TExtensionKind::ekComment);
  EXPECT_EQ(image.Frame(0).Extensions[0].Data, std::vector<std::string>{"frame note"});
}

TEST(GifImageTest, BackgroundAndGlobalTable) {
  TGIFImage image;
  image.LoadGifData(Header(5, 4, 3, 6) + Image(1, 1, 2, 1, 0, Pattern(2, 8), 3) + ";");
  ASSERT_TRUE(image.Background().has_value());
  EXPECT_EQ(*image.Background(), TestColor(6));
  EXPECT_EQ(image.ScreenWidth(), 5);
  EXPECT_EQ(image.ScreenHeight(), 4);
  EXPECT_EQ(image.FrameWidth(), 2);
  EXPECT_EQ(image.Frame(0).Origin, QPoint(1, 1));
  EXPECT_EQ(image.Data().BitsPerPixel, 3);
  EXPECT_EQ(image.CurrentPalette().size(), 16);  // 3 bits are held in a 4-bit bitmap
  TGIFImage noBackground;
  noBackground.LoadGifData(Header(5, 4, 1, 6) + Image(0, 0, 2, 1, 0, Pattern(2, 2), 2) + ";");
  EXPECT_FALSE(noBackground.Background().has_value());  // index beyond the table
}

TEST(GifImageTest, DibLayout) {
  // A 1-pixel-wide 1-bit frame has rows of 4 bytes, bottom row first, the
  // pixel in the most significant bit.
  TGIFImage image;
  image.LoadGifData(Header(1, 3, 1) + Image(0, 0, 1, 3, 0, {1, 0, 1}, 2) + ";");
  const std::vector<uint8_t> dib = image.DecodeFrameDib(0);
  ASSERT_EQ(dib.size(), 54u + 8u + 3u * 4u);
  EXPECT_EQ(dib[0], 'B');
  EXPECT_EQ(dib[10], 62);  // pixel offset
  EXPECT_EQ(dib[28], 1);   // depth
  EXPECT_EQ(dib[22], 3);   // height, bottom-up
  EXPECT_EQ(std::vector<uint8_t>(dib.begin() + 62, dib.end()),
            (std::vector<uint8_t>{0x80, 0, 0, 0, 0, 0, 0, 0, 0x80, 0, 0, 0}));

  // A 3-bit table in a 4-bit bitmap: palette entries beyond it are bytes of 128.
  TGIFImage eight;
  eight.LoadGifData(Header(3, 1, 3) + Image(0, 0, 3, 1, 0, {7, 1, 5}, 3) + ";");
  const std::vector<uint8_t> dib4 = eight.DecodeFrameDib(0);
  EXPECT_EQ(dib4[28], 4);
  for (int i = 8; i < 16; ++i) {
    for (int b = 0; b < 4; ++b) EXPECT_EQ(dib4[54 + 4 * i + b], 128);
  }
  const uint32_t c1 = TestColor(1);
  EXPECT_EQ(dib4[54 + 4], c1 & 0xff);          // blue first
  EXPECT_EQ(dib4[54 + 6], (c1 >> 16) & 0xff);  // then green, red
  EXPECT_EQ(dib4[54 + 64], 0x71);              // 7 then 1, high nibble first
  EXPECT_EQ(dib4[54 + 65], 0x50);
  EXPECT_EQ(Indices(eight.FrameBitmap(0)), (std::vector<int>{7, 1, 5}));
  // The bitmap shows the memory image's palette.
  const QImage& bitmap = eight.FrameBitmap(0);
  ASSERT_EQ(bitmap.colorCount(), 16);
  for (int i = 0; i < 16; ++i) {
    const uint8_t* entry = &dib4[54 + 4 * i];
    EXPECT_EQ(bitmap.color(i), qRgb(entry[2], entry[1], entry[0])) << i;
  }
}

TEST(GifImageTest, ValuesAreMaskedToTheFrameDepth) {
  // A 2-bit frame whose raster (code size 4) carries values up to 15.
  TGIFImage image;
  image.LoadGifData(Header(4, 1, 2) + Image(0, 0, 4, 1, 0, {13, 2, 15, 4}, 4) + ";");
  EXPECT_EQ(Indices(image.FrameBitmap(0)), (std::vector<int>{1, 2, 3, 0}));
}

TEST(GifImageTest, InterlacedRowOrder) {
  struct TCase {
    int height;
    std::vector<int> order;  // image row of each stored row
  } cases[] = {{1, {0}}, {2, {0, 1}}, {3, {0, 2, 1}}, {5, {0, 4, 2, 1, 3}}, {10, {0, 8, 4, 2, 6, 1, 3, 5, 7, 9}}};
  for (const TCase& c : cases) {
    std::vector<uint8_t> stored;
    for (int i = 0; i < c.height; ++i) {
      stored.push_back(static_cast<uint8_t>(i));
      stored.push_back(static_cast<uint8_t>(i));
    }
    TGIFImage image;
    image.LoadGifData(Header(2, c.height, 4) + Image(0, 0, 2, c.height, 0, stored, 4, true) + ";");
    const QImage& bitmap = image.FrameBitmap(0);
    for (int i = 0; i < c.height; ++i) {
      EXPECT_EQ(bitmap.pixelIndex(1, c.order[static_cast<std::size_t>(i)]), i) << "height " << c.height;
    }
    EXPECT_TRUE(image.Frame(0).IsInterlaced);
  }
}

TEST(GifImageTest, TruncatedRasterKeepsCompleteRows) {
  // Noise, so that the raster spans several sub-blocks.
  const int width = 32;
  const int height = 32;
  std::vector<uint8_t> pixels(width * height);
  uint32_t state = 99;
  for (uint8_t& p : pixels) {
    state = state * 1103515245u + 12345u;
    p = static_cast<uint8_t>(state >> 16);
  }
  const std::string full = Header(width, height, 8) + Image(0, 0, width, height, 0, pixels, 8) + ";";
  const std::size_t rasterStart = Header(width, height, 8).size() + 10;
  ASSERT_GT(full.size(), rasterStart + 800);
  for (std::size_t cut : {rasterStart + 2, rasterStart + 40, rasterStart + 300, rasterStart + 700, full.size() - 5}) {
    TGIFImage image;
    ASSERT_NO_THROW(image.LoadGifData(full.substr(0, cut))) << cut;
    ASSERT_EQ(image.FrameCount(), 1);
    EXPECT_TRUE(image.Frame(0).IsCorrupt) << cut;
    const QImage& bitmap = image.FrameBitmap(0);
    ASSERT_EQ(bitmap.height(), height);
    int complete = 0;
    while (complete < height) {
      bool same = true;
      for (int x = 0; x < width; ++x) same = same && bitmap.pixelIndex(x, complete) == pixels[complete * width + x];
      if (!same) break;
      ++complete;
    }
    // Rows after the first incomplete one keep value 0.
    for (int y = complete + 1; y < height; ++y) {
      for (int x = 0; x < width; ++x) ASSERT_EQ(bitmap.pixelIndex(x, y), 0) << cut << " row " << y;
    }
    if (cut > rasterStart + 600) {
      EXPECT_GE(complete, 2) << cut;
    }
  }
  TGIFImage whole;
  whole.LoadGifData(full);
  EXPECT_FALSE(whole.Frame(0).IsCorrupt);
}

TEST(GifImageTest, StreamsWithoutALeadingClearCode) {
  // Code size 2: clear 4, end 5. Codes 1, 2 (entry 6 = 1 2), 6 (entry 7 = 2 1;
  // the next free entry reaches 8, so codes grow to 4 bits), 7, end.
  TGIFImage image;
  image.LoadGifData(Header(6, 1, 2) + Descriptor(6, 1, 0) + PackCodes(2, {{1, 3}, {2, 3}, {6, 3}, {7, 4}, {5, 4}}) + ";");
  EXPECT_EQ(Indices(image.FrameBitmap(0)), (std::vector<int>{1, 2, 1, 2, 2, 1}));
  EXPECT_FALSE(image.Frame(0).IsCorrupt);
}

TEST(GifImageTest, CodeSizeNine) {
  TGIFImage image;
  image.LoadGifData(Header(3, 1, 8) + Descriptor(3, 1, 0) + PackCodes(9, {{512, 10}, {5, 10}, {7, 10}, {514, 10}, {513, 10}}) + ";");
  EXPECT_EQ(Indices(image.FrameBitmap(0)), (std::vector<int>{5, 7, 5}));
}

// Writes codes without ever clearing the table: once it is full the encoder
// goes on with 12-bit codes of the entries it has.
std::string EncodeWithoutClear(const std::vector<uint8_t>& pixels, int codeSize) {
  std::vector<std::pair<int, int>> codes;
  std::map<std::pair<int, int>, int> table;
  const int clear = 1 << codeSize;
  int nextFree = clear + 2;
  int width = codeSize + 1;
  codes.push_back({clear, width});
  int prefix = pixels[0];
  for (std::size_t i = 1; i < pixels.size(); ++i) {
    const auto it = table.find({prefix, pixels[i]});
    if (it != table.end()) {
      prefix = it->second;
      continue;
    }
    codes.push_back({prefix, width});
    if (nextFree < 4096) {
      table[{prefix, pixels[i]}] = nextFree++;
      if (nextFree > (1 << width) && width < 12) ++width;
    }
    prefix = pixels[i];
  }
  codes.push_back({prefix, width});
  if (nextFree >= (1 << width) && width < 12) ++width;
  codes.push_back({clear + 1, width});
  return PackCodes(codeSize, codes);
}

TEST(GifImageTest, FullTableKeepsTwelveBitCodesWithoutNewEntries) {
  const int width = 200;
  const int height = 200;
  std::vector<uint8_t> pixels(width * height);
  uint32_t state = 12345;
  for (uint8_t& p : pixels) {
    state = state * 1103515245u + 12345u;
    p = static_cast<uint8_t>((state >> 16) % 60);
  }
  TGIFImage image;
  image.LoadGifData(Header(width, height, 8) + Descriptor(width, height, 0) + EncodeWithoutClear(pixels, 8) + ";");
  EXPECT_EQ(Indices(image.FrameBitmap(0)), AsInts(pixels));
  EXPECT_FALSE(image.Frame(0).IsCorrupt);
}

// The decoder fills every pixel of every row layout alike: straight runs,
// padded rows, interlaced and bottom-up rows, 4- and 1-bit packing; pixels
// the raster does not reach are 0, whatever the memory held before, and
// the bytes past a row's pixels are left alone. Cut rasters keep a prefix
// of the pixels. The large frame outgrows the decoder's first scratch run.
TEST(GifImageTest, EveryRowLayoutGetsTheSamePixels) {
  struct TSource {
    const char* name;
    int width, height, values;
    std::vector<uint8_t> pixels;
  };
  const auto make = [](const char* name, int width, int height, int values, auto value) {
    TSource source{name, width, height, values, {}};
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) source.pixels.push_back(static_cast<uint8_t>(value(x, y) % values));
    }
    return source;
  };
  uint32_t state = 7;
  const auto noise = [&state](int, int) {
    state = state * 1103515245u + 12345u;
    return static_cast<int>(state >> 16);
  };
  const TSource sources[] = {
      make("noise", 61, 37, 256, noise),
      make("runs", 200, 90, 200, [](int x, int y) { return (x / 37 + y / 11) * 13 + (x % 97 == 0 ? 5 : 0); }),
      make("nibbles", 45, 23, 16, [&](int x, int y) { return (x / 3 + y) ^ (noise(x, y) & 1); }),
      make("bits", 77, 41, 2, [&](int x, int y) { return x / 9 + y / 4 + (noise(x, y) % 29 == 0); }),
      make("large", 3000, 1500, 2, [](int x, int y) { return x / 50 + y / 30 + (x * y % 1009 == 0); }),
  };
  struct TLayout {
    const char* name;
    int depth;
    int pad;  // bytes past each row's pixels
    bool interlaced, bottomUp;
  };
  const TLayout layouts[] = {{"straight", 8, 0, false, false}, {"padded", 8, 3, false, false},
                             {"interlaced", 8, 0, true, false}, {"bottom-up", 8, 1, false, true},
                             {"4-bit", 4, 2, true, true},       {"1-bit", 1, 1, false, false}};
  for (const TSource& source : sources) {
    const int codeSize = source.values <= 4 ? 2 : source.values <= 16 ? 4 : 8;
    const std::string full = GifLzwEncode(source.pixels.data(), source.pixels.size(), codeSize);
    std::vector<std::size_t> cuts = {full.size(), full.size() / 2 + 1};
    if (source.pixels.size() < 100000) cuts.insert(cuts.end(), {3, full.size() / 5, full.size() - 3});
    for (const std::size_t cut : cuts) {
      const std::string raster = full.substr(0, cut);
      std::vector<uint8_t> first;  // what the first layout decoded, in stream order
      for (const TLayout& layout : layouts) {
        if ((1 << layout.depth) < source.values) continue;
        const std::size_t rowBytes = static_cast<std::size_t>((source.width * layout.depth + 7) / 8);
        const std::size_t stride = rowBytes + static_cast<std::size_t>(layout.pad);
        std::vector<uint8_t> memory(stride * static_cast<std::size_t>(source.height), 0xaa);
        TLzwTarget target;
        target.Top = memory.data() + (layout.bottomUp ? (source.height - 1) * stride : 0);
        target.RowStride = layout.bottomUp ? -static_cast<std::ptrdiff_t>(stride) : static_cast<std::ptrdiff_t>(stride);
        target.Width = source.width;
        target.Height = source.height;
        target.Depth = layout.depth;
        target.BitsPerPixel = layout.depth;
        target.Interlaced = layout.interlaced;
        const bool damaged = GifLzwDecode(raster, target);
        const std::string where = std::string(source.name) + " " + layout.name + " cut " + std::to_string(cut);
        EXPECT_EQ(damaged, cut != full.size()) << where;

        std::vector<int> rows;  // image row of each stored row
        for (int y = 0; y < source.height; ++y) rows.push_back(y);
        if (layout.interlaced) {
          rows.clear();
          for (const auto& [start, step] : {std::pair{0, 8}, {4, 8}, {2, 4}, {1, 2}}) {
            for (int y = start; y < source.height; y += step) rows.push_back(y);
          }
        }
        std::vector<uint8_t> stream;
        bool padKept = true;
        for (const int y : rows) {
          const uint8_t* row = target.Top + static_cast<std::ptrdiff_t>(y) * target.RowStride;
          for (int x = 0; x < source.width; ++x) {
            const int value = layout.depth == 8   ? row[x]
                              : layout.depth == 4 ? (row[x >> 1] >> ((x & 1) ? 0 : 4)) & 0x0f
                                                  : (row[x >> 3] >> (7 - (x & 7))) & 1;
            stream.push_back(static_cast<uint8_t>(value));
          }
          for (int b = 0; b < layout.pad; ++b) padKept = padKept && row[rowBytes + static_cast<std::size_t>(b)] == 0xaa;
        }
        EXPECT_TRUE(padKept) << where;
        if (first.empty()) {
          first = stream;
          std::size_t same = 0;
          while (same < stream.size() && stream[same] == source.pixels[same]) ++same;
          if (cut == full.size()) {
            EXPECT_EQ(same, stream.size()) << where;
          }
          EXPECT_EQ(std::count(stream.begin() + static_cast<std::ptrdiff_t>(same), stream.end(), 0),
                    static_cast<std::ptrdiff_t>(stream.size() - same))
              << where << ": pixels past the decoded ones are not 0";
        } else {
          EXPECT_TRUE(stream == first) << where << " differs from the straight layout";
        }
      }
    }
  }
}

TEST(GifImageTest, ImpossibleCodesMarkTheFrameCorrupt) {
  // Code size 2: code 7 before any entry exists.
  const std::string raster = PackCodes(2, {{4, 3}, {1, 3}, {7, 3}, {5, 3}});
  TGIFImage image;
  image.LoadGifData(Header(4, 1, 2) + Descriptor(4, 1, 0) + raster + ";");
  EXPECT_TRUE(image.Frame(0).IsCorrupt);
  EXPECT_EQ(Indices(image.FrameBitmap(0)), (std::vector<int>{1, 0, 0, 0}));
  // In strict mode the same raster is an error.
  std::vector<uint8_t> row(4);
  TLzwTarget target;
  target.Top = row.data();
  target.RowStride = 4;
  target.Width = 4;
  target.Height = 1;
  target.BitsPerPixel = 2;
  EXPECT_EQ(ErrorOf([&] { GifLzwDecode(raster, target, false); }), GifErrorText(kGifErrBadData));
}

TEST(GifImageTest, FailedFirstFrameIsRemoved) {
  const std::string bad = Descriptor(2, 1, 0) + PackCodes(12, {{0, 13}});
  const std::string good = Image(0, 0, 2, 1, 0, {1, 0}, 2);
  TGIFImage image;
  EXPECT_EQ(ErrorOf([&] { image.LoadGifData(Header(2, 1, 1) + bad + good + ";"); }), GifErrorText(kGifErrCodeSize));
  EXPECT_EQ(image.FrameCount(), 1);
  EXPECT_EQ(Indices(image.FrameBitmap(0)), (std::vector<int>{1, 0}));
}

TEST(GifImageTest, FramesAreDecodedLazily) {
  const std::string bad = Descriptor(2, 1, 0) + PackCodes(12, {{0, 13}});
  TGIFImage image;
  int changes = 0;
  image.OnChange = [&] { ++changes; };
  image.LoadGifData(Header(2, 1, 1) + Image(0, 0, 2, 1, 0, {1, 0}, 2) + bad + ";");
  EXPECT_EQ(changes, 1);
  EXPECT_TRUE(image.PaletteModified());
  EXPECT_TRUE(image.Frame(0).Decoded);
  EXPECT_FALSE(image.Frame(1).Decoded);
  EXPECT_EQ(ErrorOf([&] { image.FrameBitmap(1); }), GifErrorText(kGifErrCodeSize));
}

TEST(GifImageTest, ProgressAndCancellation) {
  const std::vector<uint8_t> pixels = Pattern(64 * 64, 200);
  const std::string gif = Header(64, 64, 8) + Image(0, 0, 64, 64, 0, pixels, 8) + Image(0, 0, 64, 64, 0, pixels, 8) + ";";
  TGIFImage image;
  std::vector<TProgressStage> stages;
  int lastPercent = -1;
  image.OnProgress = [&](TProgressStage stage, int percent, const std::string&) {
    stages.push_back(stage);
    if (stage == TProgressStage::psRunning) {
      EXPECT_GE(percent, lastPercent);
      lastPercent = percent;
    }
  };
  image.LoadGifData(gif);
  ASSERT_GE(stages.size(), 3u);
  EXPECT_EQ(stages.front(), TProgressStage::psStarting);
  EXPECT_EQ(stages.back(), TProgressStage::psEnding);
  EXPECT_GE(lastPercent, 90);
  image.OnProgress = [](TProgressStage stage, int percent, const std::string&) {
    if (stage == TProgressStage::psRunning && percent > 50) throw EAbort();
  };
  EXPECT_TRUE(image.FrameBitmap(1).isNull());
}

TEST(GifImageTest, StoredDataAndStreams) {
  TGIFImage source;
  source.LoadGifData(Header(3, 2, 2) + Gce(0, 4) + Image(0, 0, 3, 2, 0, Pattern(6, 4), 2) + ";");
  std::stringstream stored;
  stored << "pre";
  source.SaveStoredData(stored);
  stored << "post";
  stored.seekg(3);
  TGIFImage loaded;
  loaded.LoadStoredData(stored);
  EXPECT_EQ(Indices(loaded.FrameBitmap(0)), AsInts(Pattern(6, 4)));
  EXPECT_EQ(loaded.Frame(0).DelayMs, 40);
  std::string rest;
  stored >> rest;
  EXPECT_EQ(rest, "post");

  std::stringstream shortCount("\x10\x00\x00\x00GIF");
  EXPECT_EQ(ErrorOf([&] { loaded.LoadStoredData(shortCount); }), "Stream read error");
  EXPECT_EQ(ErrorOf([&] { loaded.LoadGifFile("/nonexistent/picture.gif"); }).rfind("Cannot open file", 0), 0u);
}

TEST(GifImageTest, AssignFromAGraphic) {
  EnsureApp();
  QImage graphic(4, 2, QImage::Format_ARGB32);
  graphic.fill(Qt::transparent);
  graphic.setPixel(1, 1, qRgb(0, 128, 0));
  TGIFImage image;
  image.AssignFrom(graphic);
  ASSERT_EQ(image.FrameCount(), 1);
  EXPECT_EQ(image.ScreenWidth(), 4);
  EXPECT_EQ(image.ScreenHeight(), 2);
  ASSERT_TRUE(image.Frame(0).TransparentKey.has_value());
  EXPECT_EQ(*image.Frame(0).TransparentKey, qRgb(255, 0, 255));
  EXPECT_TRUE(image.HasTransparency());

  // Drawn with transparency, the key color leaves what was there.
  QImage canvas(4, 2, QImage::Format_RGB32);
  canvas.fill(qRgb(10, 20, 30));
  {
    QPainter painter(&canvas);
    image.DrawFrame(painter, canvas.rect());
  }
  EXPECT_EQ(canvas.pixel(0, 0), qRgb(10, 20, 30));
  EXPECT_EQ(canvas.pixel(1, 1), qRgb(0, 128, 0));

  // Copies share the data and keep the frames.
  TGIFImage copy(image);
  EXPECT_EQ(&copy.Data(), &image.Data());
  EXPECT_EQ(copy.FrameCount(), 1);
  EXPECT_EQ(copy.Frame(0).Owner, &copy);
}

TEST(GifImageTest, LoadClipboard) {
  EnsureApp();
  const std::string gif = Header(3, 1, 2) + Image(0, 0, 3, 1, 0, {3, 2, 1}, 2) + ";";
  QByteArray raw(4, '\0');
  raw[0] = static_cast<char>(gif.size());
  raw.append(gif.data(), static_cast<qsizetype>(gif.size()));
  QMimeData mime;
  mime.setData(TGIFImage::kClipboardFormat, raw);
  TGIFImage image;
  image.LoadClipboard(mime);
  ASSERT_EQ(image.FrameCount(), 1);
  EXPECT_FALSE(image.Frame(0).Decoded);  // not decoded on the way in
  EXPECT_EQ(Indices(image.FrameBitmap(0)), (std::vector<int>{3, 2, 1}));

  raw[0] = static_cast<char>(gif.size() + 1);  // longer than the data
  mime.setData(TGIFImage::kClipboardFormat, raw);
  EXPECT_EQ(ErrorOf([&] { image.LoadClipboard(mime); }), "Stream read error");

  QMimeData picture;
  QImage graphic(5, 4, QImage::Format_RGB32);
  graphic.fill(qRgb(1, 2, 3));
  picture.setImageData(graphic);
  image.LoadClipboard(picture);
  ASSERT_EQ(image.FrameCount(), 1);
  EXPECT_EQ(image.FrameWidth(), 5);
  EXPECT_EQ(image.FrameBitmap(0).pixel(4, 3), qRgb(1, 2, 3));
}

TEST(GifImageTest, SavingErrors) {
  TGIFImage image;
  TGIFFrame frame;
  frame.Bitmap = QImage(2, 2, QImage::Format_RGB32);
  frame.Decoded = true;
  image.SetFrame(0, frame);
  EXPECT_EQ(ErrorOf([&] { image.SaveToBytes(); }), GifErrorText(kGifErrEncodeDepth));
  image.SetFrame(0, TGIFFrame());
  EXPECT_EQ(ErrorOf([&] { image.SaveToBytes(); }), GifErrorText(kGifErrNoData));
}

TEST(GifImageTest, SaveAndLoadKeepEverything) {
  TGIFImage source;
  source.LoadGifData(Header(6, 5, 0) + Looping(3) + Gce(2, 12, 1) + Image(1, 2, 3, 2, 1, {0, 1, 1, 0, 1, 1}, 2) +
                     Gce(3, 5) + Image(0, 0, 6, 5, 3, Pattern(30, 8), 3, true) +
                     Image(2, 2, 2, 2, 8, {200, 7, 255, 0}, 8) + Comment("made here") + ";");
  TGIFImage copy;
  copy.LoadGifData(source.SaveToBytes());
  ASSERT_EQ(copy.FrameCount(), 3);
  EXPECT_TRUE(copy.Looping());
  EXPECT_EQ(copy.LoopCount(), 3);
  EXPECT_EQ(copy.Data().Comment, std::vector<std::string>{"made here"});
  EXPECT_EQ(copy.ScreenWidth(), 6);
  for (int i = 0; i < 3; ++i) {
    const TGIFFrame& a = source.Frame(i);
    const TGIFFrame& b = copy.Frame(i);
    EXPECT_EQ(a.Origin, b.Origin);
    EXPECT_EQ(a.DelayMs, b.DelayMs);
    EXPECT_EQ(a.Disposal, b.Disposal);
    EXPECT_EQ(a.TransparentKey, b.TransparentKey);
    EXPECT_EQ(a.IsInterlaced, b.IsInterlaced);
    const QImage& x = source.FrameBitmap(i);
    const QImage& y = copy.FrameBitmap(i);
    ASSERT_EQ(x.size(), y.size());
    for (int py = 0; py < x.height(); ++py) {
      for (int px = 0; px < x.width(); ++px) EXPECT_EQ(x.pixel(px, py), y.pixel(px, py)) << i;
    }
  }
}

}  // namespace
