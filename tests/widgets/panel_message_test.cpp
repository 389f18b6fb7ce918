#include "widgets/message_panel.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QTest>

#include <memory>
#include <stdexcept>

namespace {

using widgets::TAlignment;
using widgets::TBevelCut;
using widgets::TGlyphLayout;
using widgets::TMessagePanel;

class TQtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "panel_message_test";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<QApplication>(argc, argv);
  }
  void TearDown() override { app_.reset(); }

 private:
  std::unique_ptr<QApplication> app_;
};
[[maybe_unused]] const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new TQtEnvironment);

// A panel whose timer never fires by itself, so the test drives every step.
std::unique_ptr<TMessagePanel> MakePanel(int width, int height, const QStringList& lines) {
  auto panel = std::make_unique<TMessagePanel>();
  panel->resize(width, height);
  panel->SetInterval(1000000);
  panel->SetLines(lines);
  QPalette pal = panel->palette();
  pal.setColor(QPalette::Window, Qt::white);
  pal.setColor(QPalette::WindowText, Qt::black);
  pal.setColor(QPalette::Light, Qt::red);
  panel->setPalette(pal);
  return panel;
}

void Steps(TMessagePanel& panel, int count) {
  for (int i = 0; i < count; ++i) panel.ScrollStep();
}

// Pixels of the picture in the columns [x0, x1) that are not the white background.
int CountInk(const QImage& image, int x0 = 0, int x1 = -1) {
  if (x1 < 0) x1 = image.width();
  int count = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = x0; x < x1; ++x) count += (image.pixel(x, y) & 0xFFFFFF) != 0xFFFFFF;
  }
  return count;
}

// Pixels that come from the red highlight copy of engraved text.
int CountReddish(const QImage& image) {
  int count = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QRgb p = image.pixel(x, y);
      count += qRed(p) > 160 && qGreen(p) < 120 && qBlue(p) < 120;
    }
  }
  return count;
}

TEST(MessagePanel, StepsStopOrWrapAfterTheLastLine) {
  struct TCase {
    const char* name;
    int lines;
    bool cycled;
  } cases[] = {{"five lines", 5, false}, {"five lines cycled", 5, true}, {"one line", 1, false},
               {"one line cycled", 1, true}, {"no lines", 0, false}, {"no lines cycled", 0, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QStringList lines;
    for (int i = 0; i < c.lines; ++i) lines << QString("Line %1").arg(i);
    auto panel = MakePanel(300, 80, lines);
    panel->SetCycled(c.cycled);
    int starts = 0;
    int stops = 0;
    panel->OnStartPlay = [&](QObject* sender) { starts += sender == panel.get(); };
    panel->OnStopPlay = [&](QObject* sender) { stops += sender == panel.get(); };
    panel->SetActive(true);
    EXPECT_EQ(starts, 1);
    EXPECT_TRUE(panel->Timer()->Enabled());
    const int h = panel->LineHeight();
    const int limit = std::max(c.lines - 1, 0) * h;
    // Up to the limit the text moves one pixel per step.
    Steps(*panel, limit);
    EXPECT_EQ(panel->ScrollOffset(), limit);
    EXPECT_TRUE(panel->Active());
    // The step after the limit wraps or stops.
    panel->ScrollStep();
    EXPECT_EQ(panel->Active(), c.cycled);
    EXPECT_EQ(panel->ScrollOffset(), 0);
    EXPECT_EQ(stops, c.cycled ? 0 : 1);
    EXPECT_EQ(panel->Timer()->Enabled(), c.cycled);
    if (c.cycled) {
      // Something is drawn exactly when there are lines.
      EXPECT_EQ(CountInk(panel->TextPicture()) > 0, c.lines > 0);
    } else {
      EXPECT_TRUE(panel->TextPicture().isNull());
    }
  }
}

TEST(MessagePanel, TextMovesUpAndIsPlacedByAlignmentAndStyle) {
  auto panel = MakePanel(400, 60, {"MMMM", ""});
  QFont font("DejaVu Sans");
  font.setPixelSize(14);
  panel->setFont(font);
  panel->SetAlignment(TAlignment::taLeftJustify);
  panel->SetActive(true);
  panel->ScrollStep();
  const QImage& picture = panel->TextPicture();
  ASSERT_EQ(picture.size(), panel->TextRect().size());
  const int half = picture.width() / 2;
  EXPECT_GT(CountInk(picture, 0, half), 0);
  EXPECT_EQ(CountInk(picture, half), 0);
  EXPECT_EQ(CountReddish(picture), 0);  // no engraving with bvNone

  // Once the second (empty) line is at the top, the picture is blank.
  Steps(*panel, panel->LineHeight() - 1);
  EXPECT_EQ(panel->ScrollOffset(), panel->LineHeight());
  EXPECT_EQ(CountInk(panel->TextPicture()), 0);

  panel->SetActive(false);
  panel->SetAlignment(TAlignment::taRightJustify);
  panel->SetTextStyle(TBevelCut::bvRaised);
  panel->SetActive(true);
  panel->ScrollStep();
  EXPECT_EQ(CountInk(panel->TextPicture(), 0, half), 0);
  EXPECT_GT(CountInk(panel->TextPicture(), half), 0);
  EXPECT_GT(CountReddish(panel->TextPicture()), 0);  // the highlight copy

  // Right-to-left reading mirrors the alignment.
  panel->setLayoutDirection(Qt::RightToLeft);
  panel->ScrollStep();
  EXPECT_GT(CountInk(panel->TextPicture(), 0, half), 0);
  EXPECT_EQ(CountInk(panel->TextPicture(), half), 0);
}

TEST(MessagePanel, LineHeightFollowsFontAndStyle) {
  auto panel = MakePanel(300, 80, {"a"});
  QFont font("DejaVu Sans");
  font.setPixelSize(20);
  panel->setFont(font);
  panel->SetActive(true);
  const QFontMetrics metrics(font);
  EXPECT_EQ(panel->LineHeight(), metrics.height() + metrics.leading());
  panel->SetTextStyle(TBevelCut::bvLowered);
  EXPECT_EQ(panel->LineHeight(), metrics.height() + metrics.leading() + 1);
  // A font too tall for one byte keeps the height at 255, never 0.
  font.setPixelSize(400);
  panel->setFont(font);
  EXPECT_EQ(panel->LineHeight(), 255);
  panel->SetCycled(true);
  panel->ScrollStep();  // no division by zero
  EXPECT_TRUE(panel->Active());
}

TEST(MessagePanel, LaysOutTextAndGlyph) {
  QImage glyph(16, 10, QImage::Format_RGB32);
  glyph.fill(Qt::blue);
  struct TCase {
    const char* name;
    int width, height;
    TBevelCut outer, inner;
    int bevelWidth, borderWidth;
    bool withGlyph;
    TGlyphLayout layout;
    QPoint glyphAt;
    QRect text;
  } cases[] = {
      // Interior (4, 4)-(196, 76): border 0 + 3 + the outer bevel.
      {"left", 200, 80, TBevelCut::bvLowered, TBevelCut::bvNone, 1, 0, true, TGlyphLayout::glGlyphLeft,
       {7, 35}, QRect(QPoint(23, 4), QPoint(195, 75))},
      {"right", 200, 80, TBevelCut::bvLowered, TBevelCut::bvNone, 1, 0, true, TGlyphLayout::glGlyphRight,
       {177, 35}, QRect(QPoint(4, 4), QPoint(176, 75))},
      {"top", 200, 80, TBevelCut::bvLowered, TBevelCut::bvNone, 1, 0, true, TGlyphLayout::glGlyphTop,
       {92, 6}, QRect(QPoint(4, 16), QPoint(195, 75))},
      {"bottom", 200, 80, TBevelCut::bvLowered, TBevelCut::bvNone, 1, 0, true, TGlyphLayout::glGlyphBottom,
       {92, 64}, QRect(QPoint(4, 4), QPoint(195, 63))},
      {"no glyph", 200, 80, TBevelCut::bvLowered, TBevelCut::bvNone, 1, 0, false, TGlyphLayout::glGlyphLeft,
       {7, 40}, QRect(QPoint(7, 4), QPoint(195, 75))},
      // Inset 1 (border) + 3 + 2 (inner bevel only).
      {"inner bevel and border", 200, 80, TBevelCut::bvNone, TBevelCut::bvRaised, 2, 1, false,
       TGlyphLayout::glGlyphTop, {100, 8}, QRect(QPoint(6, 8), QPoint(193, 73))},
      // A glyph taller than the interior stays at the interior's top.
      {"tall glyph", 200, 14, TBevelCut::bvLowered, TBevelCut::bvNone, 1, 0, true, TGlyphLayout::glGlyphLeft,
       {7, 4}, QRect(QPoint(23, 4), QPoint(195, 9))},
      {"too small", 9, 9, TBevelCut::bvLowered, TBevelCut::bvNone, 1, 0, false, TGlyphLayout::glGlyphLeft,
       {7, 4}, QRect()},
      {"glyph fills it", 24, 80, TBevelCut::bvLowered, TBevelCut::bvNone, 1, 0, true, TGlyphLayout::glGlyphRight,
       {4, 35}, QRect()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto panel = MakePanel(c.width, c.height, {"one", "two"});
    panel->SetBevelOuter(c.outer);
    panel->SetBevelInner(c.inner);
    panel->SetBevelWidth(c.bevelWidth);
    panel->SetBorderWidth(c.borderWidth);
    if (c.withGlyph) panel->SetGlyph(glyph);
    panel->SetGlyphLayout(c.layout);
    panel->SetActive(true);
    EXPECT_EQ(panel->GlyphOrigin(), c.glyphAt);
    EXPECT_EQ(panel->TextRect(), c.text);
    EXPECT_EQ(panel->TextPicture().size(), c.text.isEmpty() ? QSize(0, 0) : c.text.size());
    Steps(*panel, 3);  // an empty text rectangle draws nothing, and does not fail
    EXPECT_EQ(panel->ScrollOffset(), 3);
  }
}

TEST(MessagePanel, ResizeAndGlyphChangesRecomputeTheLayoutWhileActive) {
  auto panel = MakePanel(200, 80, {"one"});
  panel->show();  // a hidden widget gets its resize events only when shown
  panel->SetActive(true);
  EXPECT_EQ(panel->TextRect(), QRect(QPoint(7, 4), QPoint(195, 75)));
  panel->resize(300, 40);
  EXPECT_EQ(panel->TextRect(), QRect(QPoint(7, 4), QPoint(295, 35)));
  EXPECT_EQ(panel->TextPicture().size(), QSize(289, 32));
  QImage glyph(20, 8, QImage::Format_RGB32);
  glyph.fill(Qt::green);
  panel->SetGlyph(glyph);
  EXPECT_EQ(panel->TextRect().left(), 27);
  panel->SetGlyphLayout(TGlyphLayout::glGlyphRight);
  EXPECT_EQ(panel->TextRect().right() + 1, 296 - 20 - 3);
}

TEST(MessagePanel, HidesVisibleChildrenWhileActive) {
  auto panel = MakePanel(300, 80, {"a", "b"});
  auto* shown = new QLabel("animator", panel.get());
  auto* hidden = new QLabel("hidden", panel.get());
  auto* doomed = new QLabel("doomed", panel.get());
  hidden->hide();
  panel->show();
  ASSERT_TRUE(shown->isVisible());

  panel->SetActive(true);
  EXPECT_FALSE(shown->isVisible());
  EXPECT_FALSE(hidden->isVisible());
  EXPECT_FALSE(doomed->isVisible());
  delete doomed;  // gone while hidden: stopping must not touch it
  panel->SetLines({"new", "lines"});
  panel->SetActive(true);  // already active: nothing changes
  EXPECT_FALSE(shown->isVisible());

  panel->SetActive(false);
  EXPECT_TRUE(shown->isVisible());
  EXPECT_FALSE(hidden->isVisible());  // it was not visible when the panel started

  // A second round remembers afresh.
  hidden->show();
  panel->SetActive(true);
  EXPECT_FALSE(hidden->isVisible());
  panel->SetActive(false);
  EXPECT_TRUE(hidden->isVisible());
  EXPECT_TRUE(shown->isVisible());
}

TEST(MessagePanel, FailingEventsLeaveAConsistentPanel) {
  auto panel = MakePanel(300, 80, {"a", "b"});
  auto* child = new QLabel("animator", panel.get());
  panel->show();

  panel->OnStartPlay = [](QObject*) { throw std::runtime_error("start refused"); };
  EXPECT_THROW(panel->SetActive(true), std::runtime_error);
  EXPECT_FALSE(panel->Active());
  EXPECT_FALSE(panel->Timer()->Enabled());
  EXPECT_TRUE(child->isVisible());
  EXPECT_TRUE(panel->TextPicture().isNull());

  panel->OnStartPlay = nullptr;
  panel->OnStopPlay = [](QObject*) { throw std::runtime_error("stop refused"); };
  panel->SetActive(true);
  EXPECT_FALSE(child->isVisible());
  EXPECT_THROW(panel->SetActive(false), std::runtime_error);
  EXPECT_FALSE(panel->Active());
  EXPECT_TRUE(child->isVisible());  // shown again although the event failed
}

TEST(MessagePanel, LineChangesRestartTheText) {
  auto panel = MakePanel(300, 80, {"a", "b", "c"});
  panel->SetActive(true);
  Steps(*panel, 7);
  EXPECT_EQ(panel->ScrollOffset(), 7);
  panel->AddLine("d");
  EXPECT_EQ(panel->ScrollOffset(), 0);
  Steps(*panel, 2);
  panel->ClearLines();
  EXPECT_EQ(panel->ScrollOffset(), 0);
  Steps(*panel, 2);
  panel->SetLines({"x"});
  EXPECT_EQ(panel->ScrollOffset(), 0);
}

TEST(MessagePanel, TheTimerDrivesTheSteps) {
  auto panel = MakePanel(300, 80, {"a", "b", "c"});
  panel->SetInterval(5);
  EXPECT_EQ(panel->Timer()->Interval(), 5u);
  panel->show();
  panel->SetActive(true);
  EXPECT_TRUE(QTest::qWaitFor([&] { return panel->ScrollOffset() >= 3; }, 5000));
  panel->SetActive(false);
  QTest::qWait(30);
  EXPECT_EQ(panel->ScrollOffset(), 0);  // no step after stopping
}

TEST(MessagePanel, DestroyingAnActivePanelStopsIt) {
  int stops = 0;
  QWidget owner;
  auto* panel = new TMessagePanel(&owner);
  panel->SetLines({"a", "b"});
  panel->OnStopPlay = [&](QObject*) { ++stops; };
  panel->SetActive(true);
  delete panel;
  EXPECT_EQ(stops, 1);
}

}  // namespace
