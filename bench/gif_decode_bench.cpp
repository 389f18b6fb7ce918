// GIF decoding against giflib (the peer, linked here only), like with like:
//
//   Indices/...    the bytes parsed and every frame's raster decoded to one
//                  palette index per pixel (TGIFImage + GifLzwDecode against
//                  giflib's DGifSlurp, which does the same);
//   Bitmaps/...    what TGIFImage does for the animator: load, then every
//                  frame's bitmap (against DGifSlurp again);
//   Animation/...  what the animator shows: every frame composed over the ones
//                  before it on an RGB picture of the logical screen
//                  (TGIFAnimator::ComposeFrame for n = 0, 1, ... against
//                  DGifSlurp and a plain player that draws each frame over
//                  a canvas and copies the canvas out).
//
// Two animations of 40 frames on a 480 x 320 screen:
//   photo   256 colors, every frame full size, smooth bands with a little
//           noise, every other frame interlaced (the one the first
//           measurement used);
//   banner  16 colors, flat areas and stripes (long runs: long code
//           strings), a full first frame, then 200 x 120 patches at moving
//           places with a transparent color, as optimisers write banners.

#include <benchmark/benchmark.h>
#include <gif_lib.h>

#include <QApplication>
#include <QPalette>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "widgets/gif_animator.h"
#include "widgets/gif_image.h"
#include "widgets/gif_lzw.h"

namespace {

constexpr int kWidth = 480;
constexpr int kHeight = 320;
constexpr int kFrames = 40;

const std::string& PhotoGif() {
  static const std::string bytes = [] {
    widgets::TGIFImage image;
    uint32_t state = 1;
    QVector<QRgb> colors;
    for (int i = 0; i < 256; ++i) colors.push_back(qRgb(i, (i * 3) & 0xff, 255 - i));
    for (int f = 0; f < kFrames; ++f) {
      QImage bitmap(kWidth, kHeight, QImage::Format_Indexed8);
      bitmap.setColorTable(colors);
      for (int y = 0; y < kHeight; ++y) {
        uchar* line = bitmap.scanLine(y);
        for (int x = 0; x < kWidth; ++x) {
          state = state * 1103515245u + 12345u;
          const double v = 96 + 80 * std::sin((x + f * 6) / 23.0) + 60 * std::cos((y - f * 4) / 17.0);
          line[x] = static_cast<uchar>(static_cast<int>(v + ((state >> 16) & 7)) & 0xff);
        }
      }
      widgets::TGIFFrame frame;
      frame.Bitmap = bitmap;
      frame.Decoded = true;
      frame.DelayMs = 50;
      frame.IsInterlaced = (f % 2) == 1;
      image.SetFrame(f, frame);
    }
    image.SetLooping(true, 0);
    return image.SaveToBytes();
  }();
  return bytes;
}

const std::string& BannerGif() {
  static const std::string bytes = [] {
    widgets::TGIFImage image;
    QVector<QRgb> colors;
    for (int i = 0; i < 16; ++i) colors.push_back(qRgb(i * 16, 255 - i * 12, (i * 85) & 0xff));
    const QRgb key = colors[15];
    for (int f = 0; f < kFrames; ++f) {
      const int w = f == 0 ? kWidth : 200;
      const int h = f == 0 ? kHeight : 120;
      QImage bitmap(w, h, QImage::Format_Indexed8);
      bitmap.setColorTable(colors);
      for (int y = 0; y < h; ++y) {
        uchar* line = bitmap.scanLine(y);
        for (int x = 0; x < w; ++x) {
          int v = ((x + f * 7) / 40 + y / 32) % 6;               // flat tiles
          if (((x / 3 + y / 5 + f) % 23) == 0) v = 6 + (y % 8);  // thin stripes, "lettering"
          if (f > 0 && ((x / 25 + y / 20) % 3) == 0) v = 15;     // holes: the transparent color
          line[x] = static_cast<uchar>(v);
        }
      }
      widgets::TGIFFrame frame;
      frame.Bitmap = bitmap;
      frame.Decoded = true;
      frame.DelayMs = 80;
      frame.Disposal = 1;
      if (f > 0) {
        frame.Origin = QPoint((f * 37) % (kWidth - w), (f * 23) % (kHeight - h));
        frame.TransparentKey = key;
      }
      image.SetFrame(f, frame);
    }
    image.SetLooping(true, 0);
    return image.SaveToBytes();
  }();
  return bytes;
}

const std::string& Animation(int which) { return which == 0 ? PhotoGif() : BannerGif(); }

void Label(benchmark::State& state, const std::string& bytes) {
  state.SetLabel(state.range(0) == 0 ? "photo" : "banner");
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}

// --- giflib ---------------------------------------------------------------

struct TMemory {
  const std::string* bytes;
  std::size_t pos;
};

int ReadMemory(GifFileType* gif, GifByteType* buffer, int length) {
  auto* memory = static_cast<TMemory*>(gif->UserData);
  const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(length), memory->bytes->size() - memory->pos);
  std::memcpy(buffer, memory->bytes->data() + memory->pos, n);
  memory->pos += n;
  return static_cast<int>(n);
}

struct TGifCloser {
  void operator()(GifFileType* gif) const {
    int error = 0;
    DGifCloseFile(gif, &error);
  }
};
using TGifFile = std::unique_ptr<GifFileType, TGifCloser>;

TGifFile Slurp(const std::string& bytes) {
  TMemory memory{&bytes, 0};
  int error = 0;
  TGifFile gif(DGifOpen(&memory, ReadMemory, &error));
  if (gif == nullptr || DGifSlurp(gif.get()) != GIF_OK || gif->ImageCount != kFrames) return nullptr;
  return gif;
}

// A plain player over giflib's frames: a canvas of the logical screen; each
// frame drawn over it (its transparent index left out), the canvas copied
// out as the frame shown, then the frame disposed of (2: its rectangle back
// to the background).
class TGiflibPlayer {
 public:
  explicit TGiflibPlayer(const GifFileType& gif, QRgb background) : gif_(gif), background_(background) {
    canvas_ = QImage(gif.SWidth, gif.SHeight, QImage::Format_RGB32);
    canvas_.fill(background);
  }

  QImage Next() {
    const SavedImage& saved = gif_.SavedImages[frame_];
    const GifImageDesc& d = saved.ImageDesc;
    GraphicsControlBlock gcb{};
    gcb.TransparentColor = NO_TRANSPARENT_COLOR;
    DGifSavedExtensionToGCB(const_cast<GifFileType*>(&gif_), frame_, &gcb);
    const ColorMapObject* map = d.ColorMap != nullptr ? d.ColorMap : gif_.SColorMap;
    QRgb colors[256];
    for (int i = 0; i < 256; ++i) {
      const GifColorType& c = map->Colors[i % map->ColorCount];
      colors[i] = qRgb(c.Red, c.Green, c.Blue);
    }
    const int right = std::min(d.Left + d.Width, canvas_.width());
    const int bottom = std::min(d.Top + d.Height, canvas_.height());
    for (int y = d.Top; y < bottom; ++y) {
      const GifByteType* src = saved.RasterBits + static_cast<std::size_t>(y - d.Top) * d.Width;
      auto* dst = reinterpret_cast<QRgb*>(canvas_.scanLine(y)) + d.Left;
      for (int x = 0; x < right - d.Left; ++x) {
        if (src[x] != gcb.TransparentColor) dst[x] = colors[src[x]];
      }
    }
    QImage shown = canvas_.copy();
    if (gcb.DisposalMode == DISPOSE_BACKGROUND) {
      for (int y = d.Top; y < bottom; ++y) {
        auto* dst = reinterpret_cast<QRgb*>(canvas_.scanLine(y)) + d.Left;
        std::fill(dst, dst + (right - d.Left), background_);
      }
    }
    ++frame_;
    return shown;
  }

 private:
  const GifFileType& gif_;
  QRgb background_;
  QImage canvas_;
  int frame_ = 0;
};

// The window color the animator fills with when the first frame has no key.
QRgb WindowColor() { return QApplication::palette().color(QPalette::Base).rgb(); }

// --- the benchmarks ---------------------------------------------------------

void BM_Indices_TGIFImage(benchmark::State& state) {
  const std::string& bytes = Animation(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    widgets::TGIFImage image;
    image.ParseGifData(bytes);
    for (int i = 0; i < image.FrameCount(); ++i) {
      const widgets::TGIFFrame& frame = image.Frame(i);
      std::vector<uint8_t> indices(static_cast<std::size_t>(frame.Width()) * frame.Height());
      widgets::TLzwTarget target;
      target.Top = indices.data();
      target.RowStride = frame.Width();
      target.Width = frame.Width();
      target.Height = frame.Height();
      target.Depth = 8;
      target.BitsPerPixel = 8;
      target.Interlaced = frame.IsInterlaced;
      widgets::GifLzwDecode(frame.Item->Raster, target);
      benchmark::DoNotOptimize(indices.data());
    }
  }
  Label(state, bytes);
}
BENCHMARK(BM_Indices_TGIFImage)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

void BM_Indices_Giflib(benchmark::State& state) {
  const std::string& bytes = Animation(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    TGifFile gif = Slurp(bytes);
    if (gif == nullptr) {
      state.SkipWithError("giflib could not read the animation");
      break;
    }
    benchmark::DoNotOptimize(gif->SavedImages[kFrames - 1].RasterBits);
  }
  Label(state, bytes);
}
BENCHMARK(BM_Indices_Giflib)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

void BM_Bitmaps_TGIFImage(benchmark::State& state) {
  const std::string& bytes = Animation(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    widgets::TGIFImage image;
    image.LoadGifData(bytes);
    for (int i = 0; i < image.FrameCount(); ++i) benchmark::DoNotOptimize(image.FrameBitmap(i).constBits());
  }
  Label(state, bytes);
}
BENCHMARK(BM_Bitmaps_TGIFImage)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

void BM_Animation_TGIFAnimator(benchmark::State& state) {
  const std::string& bytes = Animation(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    widgets::TGIFAnimator animator;
    animator.Image().LoadGifData(bytes);
    for (int n = 0; n < animator.Image().FrameCount(); ++n) {
      const QImage picture = animator.ComposeFrame(n);
      benchmark::DoNotOptimize(picture.constBits());
    }
  }
  Label(state, bytes);
}
BENCHMARK(BM_Animation_TGIFAnimator)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

void BM_Animation_Giflib(benchmark::State& state) {
  const std::string& bytes = Animation(static_cast<int>(state.range(0)));
  const QRgb window = WindowColor();
  for (auto _ : state) {
    TGifFile gif = Slurp(bytes);
    if (gif == nullptr) {
      state.SkipWithError("giflib could not read the animation");
      break;
    }
    TGiflibPlayer player(*gif, window);
    for (int n = 0; n < kFrames; ++n) {
      const QImage picture = player.Next();
      benchmark::DoNotOptimize(picture.constBits());
    }
  }
  Label(state, bytes);
}
BENCHMARK(BM_Animation_Giflib)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

// Both sides of the comparisons must do the same work: the indices, the
// bitmaps and the composed pictures are checked against giflib once before
// any timing.
bool SameResults() {
  for (int which = 0; which < 2; ++which) {
    const std::string& bytes = Animation(which);
    TGifFile gif = Slurp(bytes);
    if (gif == nullptr) return false;
    widgets::TGIFAnimator animator;
    widgets::TGIFImage& image = animator.Image();
    image.LoadGifData(bytes);
    if (image.FrameCount() != kFrames) return false;
    TGiflibPlayer player(*gif, WindowColor());
    for (int n = 0; n < kFrames; ++n) {
      const SavedImage& saved = gif->SavedImages[n];
      const QImage& bitmap = image.FrameBitmap(n);
      if (bitmap.width() != saved.ImageDesc.Width || bitmap.height() != saved.ImageDesc.Height) return false;
      for (int y = 0; y < bitmap.height(); ++y) {
        for (int x = 0; x < bitmap.width(); ++x) {
          if (bitmap.pixelIndex(x, y) != saved.RasterBits[y * saved.ImageDesc.Width + x]) return false;
        }
      }
      if (animator.ComposeFrame(n) != player.Next()) return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (!SameResults()) {
    std::fprintf(stderr, "TGIFImage and giflib disagree on the benchmark animations\n");
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
