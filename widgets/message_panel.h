#pragma once
// TMessagePanel: a panel that, while active, scrolls its lines of text
// upwards through its interior one pixel per timer tick, optionally beside a
// small picture (the glyph). The text is drawn engraved on an off-screen
// picture the size of the text rectangle and copied onto the panel. While
// active the panel hides its visible child controls and shows them again
// when it stops.
//
// The panel paints its own framework-panel look: background in `Color`, an
// outer and an inner bevel of `BevelWidth` pixels and a border of
// `BorderWidth` pixels between them; it never shows a caption.

#include <QFrame>
#include <QImage>
#include <QPointer>
#include <QStringList>

#include <functional>
#include <vector>

#include "widgets/thread_timer.h"

class QPainter;

namespace widgets {

// Look of a bevel, and of engraved text.
enum class TBevelCut { bvNone, bvLowered, bvRaised, bvSpace };
// Horizontal placement of each line.
enum class TAlignment { taLeftJustify, taRightJustify, taCenter };
// Side of the text area where the glyph goes.
enum class TGlyphLayout { glGlyphLeft, glGlyphRight, glGlyphTop, glGlyphBottom };

class TMessagePanel : public QFrame {
  Q_OBJECT

 public:
  explicit TMessagePanel(QWidget* parent = nullptr);
  ~TMessagePanel() override;
  TMessagePanel(const TMessagePanel&) = delete;
  TMessagePanel& operator=(const TMessagePanel&) = delete;

  // Scrolling on or off. Switching on starts at the first line, hides the
  // visible children and calls OnStartPlay; if that fails the panel stays
  // off and the failure is passed on. Switching off shows the hidden
  // children again and calls OnStopPlay.
  bool Active() const { return active_; }
  void SetActive(bool value);

  TAlignment Alignment() const { return alignment_; }
  void SetAlignment(TAlignment value);
  // After the last line, start again instead of stopping.
  bool Cycled() const { return cycled_; }
  void SetCycled(bool value) { cycled_ = value; }
  // The picture beside the text. A picture without an alpha channel is drawn
  // without the colour of its bottom-left pixel (its transparent colour).
  const QImage& Glyph() const { return glyph_; }
  void SetGlyph(const QImage& value);
  TGlyphLayout GlyphLayout() const { return glyphLayout_; }
  void SetGlyphLayout(TGlyphLayout value);
  // Milliseconds between scroll steps (the timer's interval).
  unsigned Interval() const;
  void SetInterval(unsigned value);
  // The text, one line per entry. Every change starts again at the first line.
  const QStringList& Lines() const { return lines_; }
  void SetLines(const QStringList& value);
  void AddLine(const QString& line);
  void ClearLines();
  TBevelCut TextStyle() const { return textStyle_; }
  void SetTextStyle(TBevelCut value);

  // The framework panel's properties.
  TBevelCut BevelOuter() const { return bevelOuter_; }
  void SetBevelOuter(TBevelCut value);
  TBevelCut BevelInner() const { return bevelInner_; }
  void SetBevelInner(TBevelCut value);
  int BevelWidth() const { return bevelWidth_; }
  void SetBevelWidth(int value);
  int BorderWidth() const { return borderWidth_; }
  void SetBorderWidth(int value);
  // Background colour (the palette's window colour); the font colour is the
  // palette's window-text colour.
  QColor Color() const;
  void SetColor(const QColor& value);

  // Events, each called with the panel as sender.
  TNotifyEvent OnStartPlay;
  TNotifyEvent OnStopPlay;
  TNotifyEvent OnDblClick;

  // One scroll step: the timer's handler, public so that a caller may drive
  // the panel itself. Moves the text up one pixel, wraps or stops after the
  // last line, then draws the text on the off-screen picture and repaints it.
  void ScrollStep();

  // State, for those who draw around the panel and for tests.
  int ScrollOffset() const { return scrollOffset_; }
  int LineHeight() const { return lineHeight_; }
  // The text rectangle in panel coordinates; empty when the panel is too small.
  QRect TextRect() const;
  QPoint GlyphOrigin() const { return glyphOrigin_; }
  // The off-screen picture (null while inactive or when the text rectangle is empty).
  const QImage& TextPicture() const { return picture_; }
  TThreadTimer* Timer() const { return timer_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  // A rectangle with exclusive right and bottom, as the layout rules use them.
  struct TBox {
    int left = 0, top = 0, right = 0, bottom = 0;
  };

  void RecalcMetrics();
  void LayoutRects();
  void DrawText();
  void UpdateActiveChildren();
  void DrawBevel(QPainter& painter, TBox& box, TBevelCut cut) const;

  bool active_ = false;
  bool destroying_ = false;
  TAlignment alignment_ = TAlignment::taCenter;
  bool cycled_ = false;
  QImage glyph_;
  QImage glyphPaint_;  // the glyph with its transparent colour cleared
  TGlyphLayout glyphLayout_ = TGlyphLayout::glGlyphLeft;
  QStringList lines_;
  TBevelCut textStyle_ = TBevelCut::bvNone;
  TBevelCut bevelOuter_ = TBevelCut::bvLowered;
  TBevelCut bevelInner_ = TBevelCut::bvNone;
  int bevelWidth_ = 1;
  int borderWidth_ = 0;

  int scrollOffset_ = 0;
  int lineHeight_ = 1;
  TBox textRect_;
  QPoint glyphOrigin_;
  QImage picture_;
  bool pictureDrawn_ = false;  // the picture holds text drawn by a step
  std::vector<QPointer<QWidget>> hiddenChildren_;
  TThreadTimer* timer_ = nullptr;
};

}  // namespace widgets
