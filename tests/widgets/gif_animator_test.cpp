// TGIFAnimator: timer intervals, frame stepping, Loop, sizing, placement of
// the picture, composition, transparency, and the real clock end to end.

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QMouseEvent>
#include <QThread>

#include <functional>

#include "tests/widgets/gif_test_util.h"
#include "widgets/gif_animator.h"

using namespace widgets;
using namespace gif_test;

namespace {

// Frames of one color each over a screen of the given size; delays in hundredths.
std::string Animation(int width, int height, const std::vector<int>& delays, int disposal = 1) {
  std::string gif = Header(width, height, 3) + Looping(0);
  int color = 1;
  for (int delay : delays) {
    gif += Gce(disposal, delay) + Image(0, 0, width, height, 0, std::vector<uint8_t>(static_cast<std::size_t>(width) * height, static_cast<uint8_t>(color)), 3);
    color = color % 7 + 1;
  }
  return gif + ";";
}

class GifAnimatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureApp();
    parent_ = std::make_unique<QWidget>();
    parent_->resize(600, 100);
    animator_ = new TGIFAnimator(parent_.get());
    animator_->setObjectName("GIFAnimator1");
    parent_->show();
  }
  void TearDown() override { parent_.reset(); }

  std::unique_ptr<QWidget> parent_;
  TGIFAnimator* animator_ = nullptr;
};

TEST_F(GifAnimatorTest, Defaults) {
  TGIFAnimator fresh;
  EXPECT_EQ(fresh.size(), QSize(105, 105));
  EXPECT_FALSE(fresh.Animate());
  EXPECT_TRUE(fresh.AutoSize());
  EXPECT_TRUE(fresh.Loop());
  EXPECT_TRUE(fresh.Transparent());
  EXPECT_FALSE(fresh.Center());
  EXPECT_FALSE(fresh.Stretch());
  EXPECT_TRUE(fresh.Image().IsEmpty());
}

TEST_F(GifAnimatorTest, TickIntervals) {
  animator_->Image().LoadGifData(Animation(4, 2, {0, 7, 3000}));
  struct TCase {
    int index;
    int interval;
  } cases[] = {{0, 1}, {1, 70}, {2, 30000}, {3, 0}, {-1, 0}};
  for (const TCase& c : cases) EXPECT_EQ(animator_->TickInterval(c.index), c.interval) << c.index;
  EXPECT_EQ(animator_->FrameIndex(), 0);
  EXPECT_EQ(animator_->Timer().Interval(), 1u);
  animator_->Image().LoadGifData(Animation(4, 2, {7}));
  EXPECT_EQ(animator_->TickInterval(0), 0);  // one frame
}

TEST_F(GifAnimatorTest, OneFrameAnimationKeepsStill) {
  animator_->Image().LoadGifData(Animation(4, 2, {5}));
  animator_->SetAnimate(true);
  EXPECT_TRUE(animator_->Animate());
  EXPECT_EQ(animator_->Timer().Interval(), 0u);
  EXPECT_FALSE(animator_->Timer().IsRunning());
  animator_->AdvanceFrame();
  EXPECT_EQ(animator_->FrameIndex(), 0);
}

TEST_F(GifAnimatorTest, AdvanceWrapsAndLoopOffStops) {
  animator_->Image().LoadGifData(Animation(4, 2, {1, 2, 3}));
  std::vector<int> seen;
  int stops = 0;
  animator_->OnFrameChanged = [&](QObject* sender) {
    EXPECT_EQ(sender, animator_);
    seen.push_back(animator_->FrameIndex());
  };
  animator_->OnStop = [&](QObject*) { ++stops; };
  animator_->SetAnimate(true);
  EXPECT_TRUE(animator_->Timer().IsRunning());
  for (int i = 0; i < 4; ++i) animator_->AdvanceFrame();
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 0, 1}));
  EXPECT_EQ(animator_->Timer().Interval(), 20u);
  EXPECT_TRUE(animator_->Animate());  // Loop on

  animator_->SetLoop(false);
  animator_->AdvanceFrame();
  animator_->AdvanceFrame();
  EXPECT_EQ(animator_->FrameIndex(), 0);
  EXPECT_FALSE(animator_->Animate());
  EXPECT_EQ(stops, 1);
  EXPECT_FALSE(animator_->Timer().IsRunning());

  // Hidden, the frame does not move.
  animator_->hide();
  animator_->AdvanceFrame();
  EXPECT_EQ(animator_->FrameIndex(), 0);
}

TEST_F(GifAnimatorTest, FrameIndexSetter) {
  animator_->Image().LoadGifData(Animation(4, 2, {1, 2, 3}));
  int changes = 0;
  animator_->OnFrameChanged = [&](QObject*) { ++changes; };
  for (int bad : {3, -1, 0}) animator_->SetFrameIndex(bad);  // out of range, or unchanged
  EXPECT_EQ(animator_->FrameIndex(), 0);
  EXPECT_EQ(changes, 0);
  animator_->SetFrameIndex(2);
  EXPECT_EQ(animator_->FrameIndex(), 2);
  EXPECT_EQ(animator_->Timer().Interval(), 30u);
  EXPECT_EQ(changes, 1);
}

TEST_F(GifAnimatorTest, ImageChangeFitsAndNotifies) {
  int changes = 0;
  animator_->OnChange = [&](QObject*) { ++changes; };
  animator_->move(7, 3);
  animator_->Image().LoadGifData(Animation(468, 60, {4, 4}));
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(animator_->geometry(), QRect(7, 3, 468, 60));
  animator_->resize(100, 60);
  EXPECT_EQ(animator_->width(), 468);  // snaps back

  animator_->SetAutoSize(false);
  animator_->resize(100, 30);
  EXPECT_EQ(animator_->size(), QSize(100, 30));
  animator_->SetAutoSize(true);
  EXPECT_EQ(animator_->size(), QSize(468, 60));

  TGIFImage other;
  other.LoadGifData(Animation(20, 10, {1}));
  animator_->SetImage(other);
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(animator_->size(), QSize(20, 10));
}

// A 40 x 10 picture: left half color 1, right half color 2.
std::string Halves() {
  std::vector<uint8_t> pixels;
  for (int y = 0; y < 10; ++y) {
    for (int x = 0; x < 40; ++x) pixels.push_back(x < 20 ? 1 : 2);
  }
  return Header(40, 10, 2) + Image(0, 0, 40, 10, 0, pixels, 2) + ";";
}

TEST_F(GifAnimatorTest, PicturePlacement) {
  animator_->SetAutoSize(false);
  animator_->Image().LoadGifData(Halves());
  animator_->resize(20, 10);
  // Plain: at (0, 0), cut at the right.
  QImage painted = animator_->PaintPicture();
  EXPECT_EQ(painted.pixel(19, 5), TestColor(1));
  // Centered and wider than the control: a negative left offset.
  animator_->SetCenter(true);
  painted = animator_->PaintPicture();
  EXPECT_EQ(painted.pixel(9, 5), TestColor(1));
  EXPECT_EQ(painted.pixel(10, 5), TestColor(2));
  // Stretched: the whole picture in the client area.
  animator_->SetStretch(true);
  animator_->resize(80, 20);
  painted = animator_->PaintPicture();
  EXPECT_EQ(painted.pixel(5, 15), TestColor(1));
  EXPECT_EQ(painted.pixel(75, 15), TestColor(2));
}

TEST_F(GifAnimatorTest, FullScreenBackgroundDisposalHidesEarlierFrames) {
  const std::vector<uint8_t> full(16, 1);
  const std::string gif = Header(4, 4, 3) + Gce(0, 1) + Image(0, 0, 4, 4, 0, full, 3) + Gce(2, 1) +
                          Image(0, 0, 4, 4, 0, std::vector<uint8_t>(16, 2), 3) + Gce(1, 1) +
                          Image(1, 1, 2, 2, 0, std::vector<uint8_t>(4, 3), 3) + Gce(1, 1) +
                          Image(0, 0, 1, 1, 0, {4}, 3) + ";";
  animator_->Image().LoadGifData(gif);
  const QRgb window = QApplication::palette().color(QPalette::Base).rgb();
  QImage frame = animator_->ComposeFrame(1);
  EXPECT_EQ(frame.pixel(0, 0), TestColor(2));
  frame = animator_->ComposeFrame(2);  // restart at frame 1: frame 0 is gone
  EXPECT_EQ(frame.pixel(0, 0), window);
  EXPECT_EQ(frame.pixel(1, 1), TestColor(3));
  frame = animator_->ComposeFrame(3);
  EXPECT_EQ(frame.pixel(0, 0), TestColor(4));
  EXPECT_EQ(frame.pixel(3, 3), window);
  EXPECT_EQ(frame.pixel(2, 2), TestColor(3));
  EXPECT_EQ(animator_->ComposeFrame(99).pixel(0, 0), TestColor(4));  // clamped to the last frame
}

// Frames of every disposal, offsets, transparency and a frame reaching past
// the screen; frame 3 covers the screen and is disposed to the background.
std::string Disposals() {
  const auto noise = [](int count, int seed) {
    std::vector<uint8_t> pixels;
    for (int i = 0; i < count; ++i) pixels.push_back(static_cast<uint8_t>((i * 5 + i / 3 + seed) % 8));
    return pixels;
  };
  return Header(12, 9, 3, 2) + Gce(0, 1) + Image(0, 0, 12, 9, 0, noise(108, 0), 3) + Gce(1, 1, 6) +
         Image(2, 1, 6, 5, 0, noise(30, 1), 3) + Gce(2, 1) + Image(5, 4, 4, 4, 0, noise(16, 2), 3) + Gce(2, 1, 0) +
         Image(0, 0, 12, 9, 0, noise(108, 3), 3) + Gce(3, 1) + Image(1, 2, 3, 3, 0, noise(9, 4), 3) + Gce(1, 1, 7) +
         Image(9, 6, 5, 5, 0, noise(25, 5), 3) + Gce(0, 1) + Image(4, 0, 3, 2, 0, noise(6, 6), 3) + ";";
}

// Each frame as a fresh animator composes it from the frames alone.
QImage Fresh(const TGIFImage& image, int n) {
  TGIFAnimator fresh;
  fresh.SetImage(image);
  return fresh.ComposeFrame(n);
}

TEST_F(GifAnimatorTest, KeptPictureFollowsTheFrames) {
  animator_->Image().LoadGifData(Disposals());
  TGIFImage& image = animator_->Image();
  const int count = image.FrameCount();
  ASSERT_EQ(count, 7);
  std::vector<QImage> expected;
  for (int n = 0; n < count; ++n) expected.push_back(Fresh(image, n));
  EXPECT_NE(expected[2], expected[4]);
  // Forwards twice (wrapping), the same frame again, backwards, skipping.
  std::vector<int> order;
  for (int n = 0; n < 2 * count; ++n) order.push_back(n % count);
  for (int n : {6, 6, 5, 3, 1, 0, 2, 6, 4, 5}) order.push_back(n);
  std::vector<QImage> held;  // pictures the caller keeps must not change afterwards
  for (const int n : order) {
    held.push_back(animator_->ComposeFrame(n));
    EXPECT_EQ(held.back(), expected[static_cast<std::size_t>(n)]) << "frame " << n;
  }
  for (std::size_t i = 0; i < held.size(); ++i) EXPECT_EQ(held[i], expected[static_cast<std::size_t>(order[i])]) << i;

  // A change to a frame already in the kept picture is seen at the next
  // frame: compose frames 0..k, change, compose k + 1.
  const struct {
    int k;
    std::function<void()> change;
  } changes[] = {
      {1, [&] { image.Frame(1).Origin = QPoint(3, 3); }},
      {1, [&] { image.Frame(1).TransparentKey.reset(); }},
      {1, [&] { image.Frame(0).Bitmap.setPixel(0, 0, 6); }},
      {1, [&] { image.Frame(0).Disposal = 3; }},
      {4, [&] { image.SetCurrentFrame(3); }},  // the current frame's key becomes the background
      {5, [&] { image.Frame(5).Origin = QPoint(0, 0); }},
  };
  for (const auto& c : changes) {
    for (int n = 0; n <= c.k; ++n) animator_->ComposeFrame(n);
    const QImage before = Fresh(image, c.k + 1);
    c.change();
    const QImage after = Fresh(image, c.k + 1);
    EXPECT_NE(before, after) << "change " << (&c - changes) << " shows nothing";
    EXPECT_EQ(animator_->ComposeFrame(c.k + 1), after) << "a change after frame " << c.k;
  }
}

// Indexed bitmaps are drawn by hand; they must come out as a painter draws
// the same pixels from an RGB bitmap.
TEST_F(GifAnimatorTest, IndexedFramesComposeAsPaintedOnes) {
  QImage mono(13, 5, QImage::Format_Mono);
  mono.setColorTable({TestColor(1), TestColor(2)});
  QImage indexed(9, 7, QImage::Format_Indexed8);
  indexed.setColorTable({TestColor(3), TestColor(4), qRgba(9, 9, 9, 0), TestColor(2)});
  for (int y = 0; y < 7; ++y) {
    for (int x = 0; x < 13; ++x) {
      if (y < 5) mono.setPixel(x, y, static_cast<uint>((x * 3 + y) % 5 == 0));
      if (x < 9) indexed.setPixel(x, y, static_cast<uint>((x + 2 * y) % 4));
    }
  }
  struct TCase {
    const char* name;
    QImage bitmap;
    QPoint origin;
    std::optional<QRgb> key;
  } cases[] = {
      {"mono", mono, QPoint(1, 1), std::nullopt},     {"mono keyed", mono, QPoint(0, 2), TestColor(2)},
      {"indexed", indexed, QPoint(2, 0), std::nullopt}, {"indexed keyed, past the screen", indexed, QPoint(8, 3), TestColor(4)},
  };
  for (const TCase& c : cases) {
    QImage results[2];
    for (int painted = 0; painted < 2; ++painted) {
      // The file's logical screen is kept: frames may reach past it.
      const int w = c.bitmap.width();
      const int h = c.bitmap.height();
      TGIFAnimator animator;
      animator.Image().LoadGifData(Header(14, 8, 2) + Image(0, 0, 14, 8, 0, Pattern(14 * 8, 4), 2) +
                                   Image(c.origin.x(), c.origin.y(), w, h, 0, Pattern(w * h, 4), 2) + ";");
      TGIFFrame& frame = animator.Image().Frame(1);
      frame.Bitmap = painted ? c.bitmap.convertToFormat(QImage::Format_ARGB32) : c.bitmap;
      frame.Decoded = true;
      frame.TransparentKey = c.key;
      results[painted] = animator.ComposeFrame(1);
      ASSERT_EQ(results[painted].size(), QSize(14, 8)) << c.name;
    }
    EXPECT_EQ(results[0], results[1]) << c.name;
  }
}

TEST_F(GifAnimatorTest, TransparentPixelsShowWhatIsBehind) {
  const std::string gif = Header(2, 1, 2) + Gce(0, 0, 0) + Image(0, 0, 2, 1, 0, {0, 3}, 2) + ";";
  animator_->Image().LoadGifData(gif);
  QImage painted = animator_->PaintPicture();
  EXPECT_EQ(qAlpha(painted.pixel(0, 0)), 0);
  EXPECT_EQ(painted.pixel(1, 0), TestColor(3));
  animator_->SetTransparent(false);
  painted = animator_->PaintPicture();
  EXPECT_EQ(painted.pixel(0, 0), TestColor(0));
}

TEST_F(GifAnimatorTest, ClockAdvancesFramesOnTheGuiThread) {
  animator_->Image().LoadGifData(Animation(4, 2, {1, 1, 1}));
  int changes = 0;
  bool offThread = false;
  animator_->OnFrameChanged = [&](QObject*) {
    ++changes;
    offThread = offThread || QThread::currentThread() != QCoreApplication::instance()->thread();
  };
  animator_->SetAnimate(true);
  QElapsedTimer clock;
  clock.start();
  while (changes < 6 && clock.elapsed() < 5000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  animator_->SetAnimate(false);
  EXPECT_GE(changes, 6);
  EXPECT_FALSE(offThread);
  // No more ticks once stopped.
  const int stopped = changes;
  clock.restart();
  while (clock.elapsed() < 100) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  EXPECT_EQ(changes, stopped);
}

// Records the double clicks that reach it.
class TClickCounter : public QWidget {
 public:
  int DoubleClicks = 0;

 protected:
  void mouseDoubleClickEvent(QMouseEvent*) override { ++DoubleClicks; }
};

TEST_F(GifAnimatorTest, DoubleClicksReachTheParentUnlessHandled) {
  TClickCounter strip;
  auto* animator = new TGIFAnimator(&strip);
  strip.show();
  auto doubleClick = [&] {
    const QPointF at(5, 5);
    QMouseEvent event(QEvent::MouseButtonDblClick, at, animator->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(animator, &event);
  };
  doubleClick();
  EXPECT_EQ(strip.DoubleClicks, 1);
  int handled = 0;
  animator->OnDblClick = [&](QObject*) { ++handled; };
  doubleClick();
  EXPECT_EQ(handled, 1);
  EXPECT_EQ(strip.DoubleClicks, 1);
}

TEST_F(GifAnimatorTest, DestroyedWhileAnimating) {
  animator_->Image().LoadGifData(Animation(4, 2, {0, 0}));
  animator_->SetAnimate(true);
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < 50) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  delete animator_;  // ticks may be queued
  animator_ = nullptr;
  QCoreApplication::processEvents();
  SUCCEED();
}

}  // namespace
