// Thousands of damaged GIFs (fixed seeds): each one loads to an image or
// fails with one of the picture errors; never a crash, a sanitizer report or
// a hang. Every frame is decoded, composed by the animator and saved again.

#include <gtest/gtest.h>

#include <random>
#include <set>

#include "tests/widgets/gif_test_util.h"
#include "widgets/gif_animator.h"
#include "widgets/gif_image.h"

using namespace widgets;
using namespace gif_test;

namespace {

std::vector<std::string> Bases() {
  std::vector<std::string> bases;
  // An animation with everything: global and local tables, extensions,
  // offsets, interlacing, transparency, disposals, a comment.
  bases.push_back(Header(24, 16, 4, 3) + Looping(0) + Comment("base") + Gce(0, 5, 3) +
                  Image(0, 0, 24, 16, 0, Pattern(24 * 16, 16), 4) + Gce(2, 7, 1) +
                  Image(3, 2, 10, 9, 2, Pattern(90, 4, 1), 2, true) + Gce(3, 0) +
                  Image(20, 10, 4, 6, 8, Pattern(24, 256, 5), 8) + Gce(1, 2, 0) +
                  Image(0, 0, 24, 16, 1, Pattern(24 * 16, 2, 2), 2) + Comment("end") + ";");
  // One large 8-bit frame (several sub-blocks, table resets).
  std::vector<uint8_t> noise(90 * 70);
  uint32_t state = 5;
  for (uint8_t& p : noise) {
    state = state * 1103515245u + 12345u;
    p = static_cast<uint8_t>(state >> 20);
  }
  bases.push_back(Header(90, 70, 8) + Image(0, 0, 90, 70, 0, noise, 8) + ";");
  // A narrow 1-bit frame, 87a, no trailer.
  bases.push_back(Header(1, 40, 1, 0, "GIF87a") + Image(0, 0, 1, 40, 0, Pattern(40, 2), 2));
  return bases;
}

std::string Mutate(const std::string& base, std::mt19937& random) {
  std::string gif = base;
  auto pick = [&](std::size_t n) { return n == 0 ? 0 : std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
  const int operations = 1 + static_cast<int>(pick(4));
  for (int op = 0; op < operations && !gif.empty(); ++op) {
    switch (pick(7)) {
      case 0:  // a random byte
        gif[pick(gif.size())] = static_cast<char>(pick(256));
        break;
      case 1:  // one bit
        gif[pick(gif.size())] ^= static_cast<char>(1 << pick(8));
        break;
      case 2:  // cut short
        gif.resize(pick(gif.size()));
        break;
      case 3: {  // bytes inserted
        std::string bytes(1 + pick(8), '\0');
        for (char& c : bytes) c = static_cast<char>(pick(256));
        gif.insert(pick(gif.size()), bytes);
        break;
      }
      case 4: {  // a range removed
        const std::size_t at = pick(gif.size());
        gif.erase(at, 1 + pick(32));
        break;
      }
      case 5: {  // a range repeated
        const std::size_t at = pick(gif.size());
        gif.insert(at, gif.substr(at, 1 + pick(64)));
        break;
      }
      default:  // an interesting value in the header or a descriptor
        gif[pick(std::min<std::size_t>(gif.size(), 64))] = static_cast<char>(std::vector<int>{0, 1, 0x7f, 0x80, 0xff}[pick(5)]);
        break;
    }
  }
  return gif;
}

TEST(GifFuzzTest, DamagedFilesGiveAnImageOrAnError) {
  EnsureApp();
  std::set<std::string> allowed = {"Stream read error", "Out of system resources"};
  for (int id = kGifErrUnknownVersion; id <= kGifErrResize; ++id) allowed.insert(GifErrorText(id));
  const std::string unknownExtension = GifErrorText(kGifErrUnknownExtension);
  const std::string unknownPrefix = unknownExtension.substr(0, unknownExtension.size() - 4);

  const std::vector<std::string> bases = Bases();
  int loaded = 0;
  int failed = 0;
  TGIFAnimator animator;
  animator.SetAutoSize(false);
  for (int seed = 0; seed < 12000; ++seed) {
    std::mt19937 random(static_cast<uint32_t>(seed));
    const std::string gif = Mutate(bases[static_cast<std::size_t>(seed) % bases.size()], random);
    try {
      TGIFImage& image = animator.Image();
      image.LoadGifData(gif);
      ++loaded;
      for (int i = 0; i < image.FrameCount(); ++i) {
        const QImage& bitmap = image.FrameBitmap(i);
        if (!bitmap.isNull()) {
          ASSERT_EQ(bitmap.width(), image.Frame(i).Width());
          ASSERT_EQ(bitmap.height(), image.Frame(i).Height());
        }
      }
      if (seed % 4 == 0) {
        for (int i = 0; i < image.FrameCount(); ++i) animator.ComposeFrame(i);
        animator.PaintPicture();
      }
      if (seed % 8 == 0 && image.FrameCount() > 0) {
        TGIFImage again;
        again.LoadGifData(image.SaveToBytes());
        ASSERT_EQ(again.FrameCount(), image.FrameCount()) << "seed " << seed;
      }
    } catch (const fw::Exception& e) {
      ++failed;
      const bool known = allowed.count(e.Message) > 0 || e.Message.rfind(unknownPrefix, 0) == 0;
      ASSERT_TRUE(known) << "seed " << seed << ": " << e.Message;
    }
  }
  // Both outcomes occur: the mutations neither all break nor all miss.
  EXPECT_GT(loaded, 1200);
  EXPECT_GT(failed, 1200);
  RecordProperty("loaded", loaded);
  RecordProperty("failed", failed);
}

}  // namespace
