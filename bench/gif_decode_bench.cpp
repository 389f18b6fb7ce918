// Decoding a large animated GIF: TGIFImage (load, then every frame's bitmap)
// against giflib's DGifSlurp on the same bytes in memory.

#include <benchmark/benchmark.h>
#include <gif_lib.h>

#include <cmath>
#include <cstring>
#include <string>

#include "widgets/gif_image.h"

namespace {

constexpr int kWidth = 480;
constexpr int kHeight = 320;
constexpr int kFrames = 40;

// 40 frames of 480 x 320 with 256 colors: moving smooth bands with a little
// noise, like a photographic banner; every other frame interlaced.
const std::string& AnimatedGif() {
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

void BM_TGIFImage(benchmark::State& state) {
  const std::string& bytes = AnimatedGif();
  for (auto _ : state) {
    widgets::TGIFImage image;
    image.LoadGifData(bytes);
    for (int i = 0; i < image.FrameCount(); ++i) benchmark::DoNotOptimize(image.FrameBitmap(i).constBits());
  }
  state.SetItemsProcessed(state.iterations() * kWidth * kHeight * kFrames);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_TGIFImage)->Unit(benchmark::kMillisecond);

void BM_Giflib(benchmark::State& state) {
  const std::string& bytes = AnimatedGif();
  for (auto _ : state) {
    TMemory memory{&bytes, 0};
    int error = 0;
    GifFileType* gif = DGifOpen(&memory, ReadMemory, &error);
    if (gif == nullptr || DGifSlurp(gif) != GIF_OK || gif->ImageCount != kFrames) {
      state.SkipWithError("giflib could not read the animation");
      if (gif != nullptr) DGifCloseFile(gif, &error);
      break;
    }
    benchmark::DoNotOptimize(gif->SavedImages[kFrames - 1].RasterBits);
    DGifCloseFile(gif, &error);
  }
  state.SetItemsProcessed(state.iterations() * kWidth * kHeight * kFrames);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_Giflib)->Unit(benchmark::kMillisecond);

}  // namespace
