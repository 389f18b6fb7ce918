// The decoder and the encoder against giflib (a test oracle only): a corpus
// of GIFs made at test time by ImageMagick and gifsicle, the GIF files of the
// installed packages, and round trips of our own encoder.

#include <gif_lib.h>
#include <gtest/gtest.h>

#include <QPalette>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <memory>
#include <random>

#include "tests/support/temp_dir.h"
#include "tests/widgets/gif_test_util.h"
#include "widgets/gif_animator.h"
#include "widgets/gif_image.h"

using namespace widgets;
using namespace gif_test;
namespace fs = std::filesystem;

namespace {

struct TOracleFrame {
  int Left = 0, Top = 0, Width = 0, Height = 0;
  bool Interlaced = false;
  std::vector<uint8_t> Indices;
  std::vector<QRgb> Colors;
  int TransparentIndex = -1;
  int DelayHundredths = 0;
  int Disposal = 0;

  std::optional<QRgb> Key() const {
    if (TransparentIndex < 0 || TransparentIndex >= static_cast<int>(Colors.size())) return std::nullopt;
    return Colors[static_cast<std::size_t>(TransparentIndex)];
  }
};

struct TOracle {
  bool Ok = false;
  int ScreenWidth = 0, ScreenHeight = 0;
  std::optional<QRgb> Background;
  bool AnyLocalTable = false;
  std::vector<TOracleFrame> Frames;
};

std::vector<QRgb> ColorsOf(const ColorMapObject* map) {
  std::vector<QRgb> colors;
  if (map == nullptr) return colors;
  for (int i = 0; i < map->ColorCount; ++i) colors.push_back(qRgb(map->Colors[i].Red, map->Colors[i].Green, map->Colors[i].Blue));
  return colors;
}

TOracle ReadWithGiflib(const std::string& path) {
  TOracle oracle;
  int error = 0;
  GifFileType* gif = DGifOpenFileName(path.c_str(), &error);
  if (gif == nullptr) return oracle;
  if (DGifSlurp(gif) != GIF_OK || gif->ImageCount == 0) {
    DGifCloseFile(gif, &error);
    return oracle;
  }
  oracle.ScreenWidth = gif->SWidth;
  oracle.ScreenHeight = gif->SHeight;
  const std::vector<QRgb> global = ColorsOf(gif->SColorMap);
  if (gif->SBackGroundColor < static_cast<int>(global.size())) oracle.Background = global[static_cast<std::size_t>(gif->SBackGroundColor)];
  for (int i = 0; i < gif->ImageCount; ++i) {
    const SavedImage& saved = gif->SavedImages[i];
    TOracleFrame frame;
    frame.Left = saved.ImageDesc.Left;
    frame.Top = saved.ImageDesc.Top;
    frame.Width = saved.ImageDesc.Width;
    frame.Height = saved.ImageDesc.Height;
    frame.Interlaced = saved.ImageDesc.Interlace;
    frame.Indices.assign(saved.RasterBits, saved.RasterBits + static_cast<std::size_t>(frame.Width) * frame.Height);
    frame.Colors = saved.ImageDesc.ColorMap != nullptr ? ColorsOf(saved.ImageDesc.ColorMap) : global;
    oracle.AnyLocalTable = oracle.AnyLocalTable || saved.ImageDesc.ColorMap != nullptr;
    GraphicsControlBlock gcb;
    if (DGifSavedExtensionToGCB(gif, i, &gcb) == GIF_OK) {
      frame.TransparentIndex = gcb.TransparentColor;
      frame.DelayHundredths = gcb.DelayTime;
      frame.Disposal = gcb.DisposalMode;
    }
    oracle.Frames.push_back(std::move(frame));
  }
  oracle.Ok = true;
  DGifCloseFile(gif, &error);
  return oracle;
}

// Every frame of the file decodes to the indices and colors giflib reads.
void ExpectSameFrames(const std::string& path, const TOracle& oracle, TGIFImage& image) {
  ASSERT_EQ(image.FrameCount(), static_cast<int>(oracle.Frames.size())) << path;
  EXPECT_EQ(image.ScreenWidth(), oracle.ScreenWidth) << path;
  EXPECT_EQ(image.ScreenHeight(), oracle.ScreenHeight) << path;
  for (int i = 0; i < image.FrameCount(); ++i) {
    const TOracleFrame& expected = oracle.Frames[static_cast<std::size_t>(i)];
    const QImage& bitmap = image.FrameBitmap(i);
    const TGIFFrame& frame = image.Frame(i);
    EXPECT_FALSE(frame.IsCorrupt) << path << " frame " << i;
    EXPECT_EQ(frame.Origin, QPoint(expected.Left, expected.Top)) << path << " frame " << i;
    EXPECT_EQ(frame.IsInterlaced, expected.Interlaced) << path << " frame " << i;
    EXPECT_EQ(frame.DelayMs, static_cast<uint16_t>(expected.DelayHundredths * 10)) << path << " frame " << i;
    EXPECT_EQ(frame.Disposal, expected.Disposal) << path << " frame " << i;
    if (expected.TransparentIndex >= static_cast<int>(expected.Colors.size())) {
      // An index past the table: a key color of its own, found nowhere in the table.
      ASSERT_TRUE(frame.TransparentKey.has_value()) << path << " frame " << i;
      EXPECT_EQ(std::count(expected.Colors.begin(), expected.Colors.end(), *frame.TransparentKey), 0) << path;
    } else {
      EXPECT_EQ(frame.TransparentKey, expected.Key()) << path << " frame " << i;
    }
    ASSERT_EQ(bitmap.width(), expected.Width) << path << " frame " << i;
    ASSERT_EQ(bitmap.height(), expected.Height) << path << " frame " << i;
    int mismatches = 0;
    for (int y = 0; y < expected.Height && mismatches < 5; ++y) {
      for (int x = 0; x < expected.Width && mismatches < 5; ++x) {
        const int want = expected.Indices[static_cast<std::size_t>(y) * expected.Width + x];
        const int got = bitmap.pixelIndex(x, y);
        const bool sameColor = want >= static_cast<int>(expected.Colors.size()) ||
                               bitmap.color(got) == expected.Colors[static_cast<std::size_t>(want)];
        if (got != want || !sameColor) {
          ++mismatches;
          ADD_FAILURE() << path << " frame " << i << " pixel " << x << "," << y << ": " << got << " want " << want;
        }
      }
    }
  }
}

// The composition written plainly from giflib's frames: the background, the
// restart point, disposals 0-3, and each frame's key color left out.
// A transparent index past the table is see-through by index; the first
// frame's key color (the background) is the one the image chose for it.
std::vector<QRgb> ReferenceComposition(const TOracle& oracle, int n, QRgb window, std::optional<QRgb> firstKey) {
  const int sw = oracle.ScreenWidth;
  const int sh = oracle.ScreenHeight;
  bool anyKey = false;
  for (const TOracleFrame& f : oracle.Frames) anyKey = anyKey || f.TransparentIndex >= 0;
  QRgb background = window;
  if (firstKey) {
    background = *firstKey;
  } else if (oracle.Background && anyKey) {
    background = *oracle.Background;
  }
  std::vector<QRgb> pixels(static_cast<std::size_t>(sw) * sh, background);
  auto draw = [&](const TOracleFrame& f) {
    for (int y = 0; y < f.Height; ++y) {
      for (int x = 0; x < f.Width; ++x) {
        const int sx = f.Left + x;
        const int sy = f.Top + y;
        if (sx >= sw || sy >= sh) continue;
        const int index = f.Indices[static_cast<std::size_t>(y) * f.Width + x];
        if (index >= static_cast<int>(f.Colors.size()) && index == f.TransparentIndex) continue;
        const QRgb color = f.Colors[static_cast<std::size_t>(index) % f.Colors.size()];
        if (f.Key() && *f.Key() == color) continue;
        pixels[static_cast<std::size_t>(sy) * sw + sx] = color;
      }
    }
  };
  int restart = 0;
  for (int i = n - 1; i >= 1; --i) {
    const TOracleFrame& f = oracle.Frames[static_cast<std::size_t>(i)];
    if (f.Disposal == 2 && f.Width == sw && f.Height == sh) {
      restart = i;
      break;
    }
  }
  for (int i = restart; i < n; ++i) {
    const TOracleFrame& f = oracle.Frames[static_cast<std::size_t>(i)];
    if (f.Disposal <= 1) {
      draw(f);
    } else if (f.Disposal == 2 && i > restart) {
      for (int y = f.Top; y < std::min(sh, f.Top + f.Height); ++y) {
        for (int x = f.Left; x < std::min(sw, f.Left + f.Width); ++x) pixels[static_cast<std::size_t>(y) * sw + x] = background;
      }
    }
  }
  draw(oracle.Frames[static_cast<std::size_t>(n)]);
  return pixels;
}

void ExpectSameComposition(const std::string& path, const TOracle& oracle) {
  TGIFAnimator animator;
  animator.Image().LoadGifFile(path);
  const QRgb window = QApplication::palette().color(QPalette::Base).rgb();
  for (int n = 0; n < animator.Image().FrameCount(); ++n) {
    std::optional<QRgb> key;
    const QImage picture = animator.ComposeFrame(n, &key);
    const std::optional<QRgb> firstKey = animator.Image().Frame(0).TransparentKey;
    EXPECT_EQ(key.has_value(), oracle.Frames[0].TransparentIndex >= 0) << path;
    EXPECT_EQ(key, firstKey) << path;
    const std::vector<QRgb> expected = ReferenceComposition(oracle, n, window, firstKey);
    ASSERT_EQ(picture.size(), QSize(oracle.ScreenWidth, oracle.ScreenHeight));
    int mismatches = 0;
    for (int y = 0; y < picture.height() && mismatches < 5; ++y) {
      for (int x = 0; x < picture.width() && mismatches < 5; ++x) {
        if (picture.pixel(x, y) != expected[static_cast<std::size_t>(y) * oracle.ScreenWidth + x]) {
          ++mismatches;
          ADD_FAILURE() << path << " composed frame " << n << " differs at " << x << "," << y;
        }
      }
    }
  }
}

class GifCorpusTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<testing_support::TempDir>();
    if (!fs::exists("/usr/bin/convert") || !fs::exists("/usr/bin/gifsicle")) return;
    const std::string d = dir_->Path().string() + "/";
    // ImageMagick starts slowly: one run writes the whole ImageMagick part
    // of the corpus, each file from a parenthesised branch.
    std::string command = "/usr/bin/convert -seed 3 -size 41x29 plasma:";
    std::vector<std::string> names;
    auto branch = [&](const std::string& name, const std::string& steps) {
      command += " \\( " + steps + " -write " + d + name + " -delete 0--1 \\)";
      names.push_back(name);
    };
    // Global tables of every size, from 2 to 256 colors.
    for (int colors : {2, 3, 4, 5, 8, 13, 16, 17, 32, 33, 64, 100, 128, 129, 256}) {
      branch("colors" + std::to_string(colors) + ".gif", "-clone 0 -colors " + std::to_string(colors));
    }
    // One pixel wide, one pixel in all.
    branch("narrow.gif", "-clone 0 -resize 1x40! -colors 2");
    branch("narrow8.gif", "-clone 0 -resize 1x33! -colors 200");
    branch("dot.gif", "-size 1x1 xc:red");
    // Animations whose frames are quantized apart: local color tables.
    for (int colors : {2, 4, 16, 64, 256}) {
      std::string frames;
      for (int i = 0; i < 3; ++i) frames += " -seed " + std::to_string(30 + i * colors) + " -size 30x20 plasma:";
      branch("local" + std::to_string(colors) + ".gif", "-delay 7 -loop 0" + frames + " -colors " + std::to_string(colors));
    }
    // Frames with offsets over a background, disposed in every way.
    branch("offsets.gif",
           "-delay 5 -size 60x40 xc:skyblue -dispose none -page +5+5 -size 12x8 xc:red"
           " -dispose background -page +20+10 -size 10x10 xc:green -dispose previous"
           " -page +30+20 -size 9x7 xc:yellow -dispose none -page +40+2 -size 1x30 xc:black"
           " -page +0+0 -size 7x3 xc:white -loop 0");
    // Interlaced, of heights around the pass boundaries (the setting sticks, so last).
    command += " -interlace GIF";
    for (int height : {1, 2, 3, 4, 5, 7, 8, 9, 17, 64}) {
      branch("interlaced" + std::to_string(height) + ".gif",
             "-clone 0 -resize 23x" + std::to_string(height) + "! -colors 60");
    }
    command += " null:";
    gif_test::Run(command);
    for (const std::string& name : names) {
      if (fs::exists(d + name)) {
        files_.push_back(d + name);
      } else {
        failed_.push_back("convert did not write " + name);
      }
    }
    auto make = [&](const std::string& name, const std::string& commandLine) {
      if (gif_test::Run(commandLine)) {
        files_.push_back(d + name);
      } else {
        failed_.push_back(commandLine);
      }
    };
    // Many frames of different sizes and tables, put together by gifsicle.
    {
      std::string parts;
      for (int round = 0; round < 3; ++round) {
        for (int colors : {2, 3, 4, 5, 8, 13, 16, 17, 32, 33, 64, 100, 128, 129, 256}) {
          parts += " " + d + "colors" + std::to_string(colors) + ".gif";
        }
      }
      make("many.gif", "/usr/bin/gifsicle --delay 3 --loopcount=0" + parts + " -o " + d + "many.gif");
    }
    // gifsicle: optimized frames (offsets and transparency), disposals, delays.
    const std::string many = d + "many.gif";
    const std::string local = d + "local64.gif";
    make("opt2.gif", "/usr/bin/gifsicle -O2 " + many + " -o " + d + "opt2.gif");
    make("opt3.gif", "/usr/bin/gifsicle -O3 " + local + " -o " + d + "opt3.gif");
    for (const char* disposal : {"none", "asis", "background", "previous"}) {
      const std::string name = std::string("dispose_") + disposal + ".gif";
      make(name, "/usr/bin/gifsicle -O2 --disposal=" + std::string(disposal) + " " + many + " -o " + d + name);
    }
    make("transparent.gif", "/usr/bin/gifsicle --transparent=0 --delay 0 " + local + " -o " + d + "transparent.gif");
    make("gs_interlaced.gif", "/usr/bin/gifsicle --interlace --loopcount=3 " + many + " -o " + d + "gs_interlaced.gif");
    make("gs_crop.gif", "/usr/bin/gifsicle --crop 3,4+17x9 --colors 7 " + local + " -o " + d + "gs_crop.gif");
    make("bg_transparent.gif", "/usr/bin/gifsicle --transparent=1 --disposal=background -O2 " + d + "offsets.gif -o " + d +
                                   "bg_transparent.gif");
  }
  static void TearDownTestSuite() {
    files_.clear();
    failed_.clear();
    dir_.reset();
  }

  static std::unique_ptr<testing_support::TempDir> dir_;
  static std::vector<std::string> files_;
  static std::vector<std::string> failed_;
};

std::unique_ptr<testing_support::TempDir> GifCorpusTest::dir_;
std::vector<std::string> GifCorpusTest::files_;
std::vector<std::string> GifCorpusTest::failed_;

TEST_F(GifCorpusTest, DecoderAndCompositionAgreeWithGiflib) {
  if (files_.empty() && failed_.empty()) GTEST_SKIP() << "ImageMagick or gifsicle is missing";
  for (const std::string& command : failed_) ADD_FAILURE() << "corpus command failed: " << command;
  EnsureApp();
  bool sawLocal = false, sawInterlaced = false, sawTransparent = false, sawOffset = false;
  bool sawDisposal[4] = {};
  for (const std::string& path : files_) {
    const TOracle oracle = ReadWithGiflib(path);
    ASSERT_TRUE(oracle.Ok) << path;
    TGIFImage image;
    ASSERT_NO_THROW(image.LoadGifFile(path)) << path;
    ExpectSameFrames(path, oracle, image);
    sawLocal = sawLocal || oracle.AnyLocalTable;
    for (const TOracleFrame& f : oracle.Frames) {
      sawInterlaced = sawInterlaced || f.Interlaced;
      sawTransparent = sawTransparent || f.Key().has_value();
      sawOffset = sawOffset || f.Left > 0 || f.Top > 0;
      if (f.Disposal >= 0 && f.Disposal < 4) sawDisposal[f.Disposal] = true;
    }
  }
  // The corpus covers what it is meant to.
  EXPECT_TRUE(sawLocal && sawInterlaced && sawTransparent && sawOffset);
  EXPECT_TRUE(sawDisposal[0] && sawDisposal[1] && sawDisposal[2] && sawDisposal[3]);

  // Every frame composed by the animator, against a plain reference.
  for (const std::string& path : files_) ExpectSameComposition(path, ReadWithGiflib(path));
}

TEST(GifInstalledFilesTest, DecoderAgreesWithGiflib) {
  std::vector<std::string> paths;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator("/usr/share", fs::directory_options::skip_permission_denied, ec);
       it != fs::recursive_directory_iterator() && paths.size() < 60; it.increment(ec)) {
    if (ec) break;
    const fs::path& p = it->path();
    std::string ext = p.extension().string();
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext == ".gif" && it->is_regular_file(ec) && it->file_size(ec) < (4u << 20)) paths.push_back(p.string());
  }
  if (paths.empty()) GTEST_SKIP() << "no GIF files under /usr/share";
  EnsureApp();
  int compared = 0;
  for (const std::string& path : paths) {
    const TOracle oracle = ReadWithGiflib(path);
    if (!oracle.Ok) continue;  // giflib cannot read it either
    TGIFImage image;
    ASSERT_NO_THROW(image.LoadGifFile(path)) << path;
    ExpectSameFrames(path, oracle, image);
    ExpectSameComposition(path, oracle);
    ++compared;
  }
  RecordProperty("compared", compared);
  EXPECT_GT(compared, 0);
}

// Our encoder's 1-, 4- and 8-bit frames, read back by giflib and by our decoder.
TEST(GifEncoderTest, RoundTripsThroughGiflibAndTheDecoder) {
  EnsureApp();
  testing_support::TempDir dir;
  std::mt19937 random(7);
  struct TCase {
    int depth;
    int colors;
    int width, height;
    bool interlaced;
    bool runs;  // long runs of one value: long code chains
  } cases[] = {
      {1, 2, 1, 1, false, false},    {1, 2, 1, 50, true, false},    {1, 2, 33, 17, false, false},
      {1, 2, 300, 200, false, true}, {4, 16, 37, 23, true, false},  {4, 5, 64, 64, false, false},
      {4, 16, 250, 250, false, true}, {8, 256, 300, 200, false, false}, {8, 256, 17, 9, true, false},
      {8, 200, 400, 300, false, true}, {8, 256, 1, 70, false, false},
  };
  int index = 0;
  for (const TCase& c : cases) {
    const std::string path = dir.File("case" + std::to_string(index++) + ".gif");
    QImage bitmap(c.width, c.height, c.depth == 1 ? QImage::Format_Mono : QImage::Format_Indexed8);
    QVector<QRgb> colors;
    for (int i = 0; i < c.colors; ++i) colors.push_back(TestColor(i * 3 + 1));
    bitmap.setColorTable(colors);
    std::uniform_int_distribution<int> pick(0, c.colors - 1);
    for (int y = 0; y < c.height; ++y) {
      for (int x = 0; x < c.width; ++x) {
        const int value = c.runs ? ((x / 97 + y / 41) % c.colors) : pick(random);
        bitmap.setPixel(x, y, static_cast<uint>(value));
      }
    }
    TGIFImage image;
    image.AssignFrom(bitmap);
    image.Frame(0).IsInterlaced = c.interlaced;
    image.Frame(0).DelayMs = 120;
    image.Frame(0).Disposal = 2;
    TGIFFrame second = image.Frame(0);
    second.Origin = QPoint(0, 0);
    second.DelayMs = 0;
    second.Disposal = 1;
    image.SetFrame(1, second);
    image.SaveToFile(path);

    const TOracle oracle = ReadWithGiflib(path);
    ASSERT_TRUE(oracle.Ok) << path;
    ASSERT_EQ(oracle.Frames.size(), 2u);
    const int tableSize = 1 << c.depth;
    for (const TOracleFrame& f : oracle.Frames) {
      EXPECT_EQ(static_cast<int>(f.Colors.size()), tableSize) << path;
      ASSERT_EQ(f.Width, c.width);
      ASSERT_EQ(f.Height, c.height);
      int mismatches = 0;
      for (int y = 0; y < c.height && mismatches < 5; ++y) {
        for (int x = 0; x < c.width && mismatches < 5; ++x) {
          if (f.Indices[static_cast<std::size_t>(y) * c.width + x] != bitmap.pixelIndex(x, y)) {
            ++mismatches;
            ADD_FAILURE() << path << " giflib reads another value at " << x << "," << y;
          }
        }
      }
      for (int i = 0; i < c.colors; ++i) EXPECT_EQ(f.Colors[static_cast<std::size_t>(i)], colors[i]) << path;
    }
    EXPECT_EQ(oracle.Frames[0].DelayHundredths, 12);
    EXPECT_EQ(oracle.Frames[0].Disposal, 2);
    EXPECT_EQ(oracle.Frames[0].Interlaced, c.interlaced);

    TGIFImage reloaded;
    reloaded.LoadGifFile(path);
    ExpectSameFrames(path, oracle, reloaded);
  }
}

}  // namespace
