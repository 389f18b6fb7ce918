// TGIFAnimator: timer intervals, frame stepping, Loop, sizing, placement of
// the picture, composition, transparency, and the real clock end to end.

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QMouseEvent>
#include <QThread>

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
