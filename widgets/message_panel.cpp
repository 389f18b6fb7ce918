#include "widgets/message_panel.h"

#include <QEvent>
#include <QFontMetrics>
#include <QPainter>
#include <QPalette>

#include <algorithm>

namespace widgets {

namespace {

// The space kept between the bevels and the text on every side.
constexpr int kInteriorMargin = 3;
// The glyph's distance from the interior edge beside it.
constexpr int kGlyphSideGap = 3;
constexpr int kGlyphEndGap = 2;
// The line height is kept in one byte.
constexpr int kMaxLineHeight = 255;
constexpr unsigned kDefaultInterval = 30;

Qt::Alignment ToQtAlignment(TAlignment alignment) {
  // AlignLeft and AlignRight follow the painter's layout direction, so a
  // right-to-left panel mirrors them as the framework does.
  switch (alignment) {
    case TAlignment::taLeftJustify: return Qt::AlignLeft;
    case TAlignment::taRightJustify: return Qt::AlignRight;
    case TAlignment::taCenter: return Qt::AlignHCenter;
  }
  return Qt::AlignHCenter;
}

// The glyph as painted: a picture without an alpha channel loses the colour
// of its bottom-left pixel, which is its transparent colour.
QImage TransparentGlyph(const QImage& glyph) {
  if (glyph.isNull()) return QImage();
  if (glyph.hasAlphaChannel()) return glyph.convertToFormat(QImage::Format_ARGB32_Premultiplied);
  QImage image = glyph.convertToFormat(QImage::Format_ARGB32);
  const QRgb key = image.pixel(0, image.height() - 1);
  for (int y = 0; y < image.height(); ++y) {
    auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < image.width(); ++x) {
      if (row[x] == key) row[x] = 0;
    }
  }
  return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

}  // namespace

TMessagePanel::TMessagePanel(QWidget* parent) : QFrame(parent) {
  setFrameShape(QFrame::NoFrame);
  timer_ = new TThreadTimer(this);
  timer_->SetEnabled(false);
  timer_->SetInterval(kDefaultInterval);
  timer_->SetOnTimer([this](QObject*) { ScrollStep(); });
}

TMessagePanel::~TMessagePanel() {
  destroying_ = true;
  try {
    SetActive(false);
  } catch (...) {
    // OnStopPlay failing while the panel goes away has nobody to report to.
  }
  timer_->SetOnTimer(nullptr);
}

void TMessagePanel::SetActive(bool value) {
  if (value == active_) return;
  active_ = value;
  scrollOffset_ = 0;
  // The children follow the new state and the panel repaints even when an
  // event handler fails, so a failed handler never leaves them hidden.
  const auto finish = [this] {
    scrollOffset_ = 0;
    if (!destroying_) UpdateActiveChildren();
    update();
  };
  if (value) {
    try {
      RecalcMetrics();
      timer_->SetEnabled(true);
      if (OnStartPlay) OnStartPlay(this);
    } catch (...) {
      active_ = false;
      timer_->SetEnabled(false);
      picture_ = QImage();
      pictureDrawn_ = false;
      finish();
      throw;
    }
  } else {
    timer_->SetEnabled(false);
    picture_ = QImage();
    pictureDrawn_ = false;
    try {
      if (OnStopPlay) OnStopPlay(this);
    } catch (...) {
      finish();
      throw;
    }
  }
  finish();
}

void TMessagePanel::UpdateActiveChildren() {
  if (active_) {
    for (QObject* object : children()) {
      auto* child = qobject_cast<QWidget*>(object);
      if (child == nullptr || child->isWindow() || !child->isVisibleTo(this)) continue;
      hiddenChildren_.emplace_back(child);
      child->hide();
    }
  } else {
    // A child destroyed while hidden has dropped out of the list by itself.
    for (const QPointer<QWidget>& child : hiddenChildren_) {
      if (child) {
        child->show();
        child->update();
      }
    }
    hiddenChildren_.clear();
  }
}

void TMessagePanel::SetAlignment(TAlignment value) {
  if (value == alignment_) return;
  alignment_ = value;
  if (active_) update();
}

void TMessagePanel::SetGlyph(const QImage& value) {
  glyph_ = value;
  glyphPaint_ = TransparentGlyph(value);
  if (active_) {
    RecalcMetrics();
    update();
  }
}

void TMessagePanel::SetGlyphLayout(TGlyphLayout value) {
  if (value == glyphLayout_) return;
  glyphLayout_ = value;
  if (active_) {
    RecalcMetrics();
    update();
  }
}

unsigned TMessagePanel::Interval() const { return timer_->Interval(); }

void TMessagePanel::SetInterval(unsigned value) { timer_->SetInterval(value); }

void TMessagePanel::SetLines(const QStringList& value) {
  lines_ = value;
  scrollOffset_ = 0;
  if (active_) update();
}

void TMessagePanel::AddLine(const QString& line) {
  lines_.append(line);
  scrollOffset_ = 0;
  if (active_) update();
}

void TMessagePanel::ClearLines() {
  lines_.clear();
  scrollOffset_ = 0;
  if (active_) update();
}

void TMessagePanel::SetTextStyle(TBevelCut value) {
  if (value == textStyle_) return;
  textStyle_ = value;
  if (active_) {
    RecalcMetrics();  // the line height depends on it
    update();
  }
}

void TMessagePanel::SetBevelOuter(TBevelCut value) {
  bevelOuter_ = value;
  if (active_) RecalcMetrics();
  update();
}

void TMessagePanel::SetBevelInner(TBevelCut value) {
  bevelInner_ = value;
  if (active_) RecalcMetrics();
  update();
}

void TMessagePanel::SetBevelWidth(int value) {
  bevelWidth_ = std::max(value, 0);
  if (active_) RecalcMetrics();
  update();
}

void TMessagePanel::SetBorderWidth(int value) {
  borderWidth_ = std::max(value, 0);
  if (active_) RecalcMetrics();
  update();
}

QColor TMessagePanel::Color() const { return palette().color(QPalette::Window); }

void TMessagePanel::SetColor(const QColor& value) {
  QPalette pal = palette();
  pal.setColor(QPalette::Window, value);
  setPalette(pal);  // arrives as a palette change
}

QRect TMessagePanel::TextRect() const {
  return QRect(textRect_.left, textRect_.top, textRect_.right - textRect_.left, textRect_.bottom - textRect_.top);
}

void TMessagePanel::RecalcMetrics() {
  const QFontMetrics metrics(font());
  int height = std::clamp(metrics.height() + metrics.leading(), 1, kMaxLineHeight);
  if (textStyle_ != TBevelCut::bvNone) height = std::min(height + 1, kMaxLineHeight);
  lineHeight_ = height;
  LayoutRects();
  const QSize size(textRect_.right - textRect_.left, textRect_.bottom - textRect_.top);
  if (picture_.size() != size || picture_.isNull()) {
    picture_ = size.isEmpty() ? QImage() : QImage(size, QImage::Format_ARGB32_Premultiplied);
    if (!picture_.isNull()) picture_.fill(Color());
    pictureDrawn_ = false;
  }
}

void TMessagePanel::LayoutRects() {
  int inset = borderWidth_ + kInteriorMargin;
  if (bevelOuter_ != TBevelCut::bvNone) inset += bevelWidth_;
  if (bevelInner_ != TBevelCut::bvNone) inset += bevelWidth_;
  TBox r{inset, inset, width() - inset, height() - inset};
  const int gw = glyph_.isNull() ? 0 : glyph_.width();
  const int gh = glyph_.isNull() ? 0 : glyph_.height();
  int gx = 0;
  int gy = 0;
  switch (glyphLayout_) {
    case TGlyphLayout::glGlyphLeft:
      gx = r.left + kGlyphSideGap;
      gy = std::max((r.top + r.bottom - gh) / 2, r.top);
      r.left = gx + gw;
      break;
    case TGlyphLayout::glGlyphRight:
      gx = std::max(r.right - gw - kGlyphSideGap, r.left);
      gy = std::max((r.top + r.bottom - gh) / 2, r.top);
      r.right = gx;
      break;
    case TGlyphLayout::glGlyphTop:
      gy = r.top + kGlyphEndGap;
      gx = std::max((r.left + r.right - gw) / 2, r.left);
      r.top = gy + gh;
      break;
    case TGlyphLayout::glGlyphBottom:
      gy = std::max(r.bottom - gh - kGlyphEndGap, r.top);
      gx = std::max((r.left + r.right - gw) / 2, r.left);
      r.bottom = gy;
      break;
  }
  glyphOrigin_ = QPoint(gx, gy);
  if (r.right <= r.left || r.bottom <= r.top) r = TBox{};
  textRect_ = r;
}

void TMessagePanel::ScrollStep() {
  if (!active_) return;  // a tick that was on its way when the panel stopped
  const int count = static_cast<int>(lines_.size());
  if (scrollOffset_ < (count - 1) * lineHeight_) {
    ++scrollOffset_;
  } else if (cycled_) {
    scrollOffset_ = 0;
  } else {
    SetActive(false);
    return;
  }
  DrawText();
}

void TMessagePanel::DrawText() {
  const int count = static_cast<int>(lines_.size());
  if (count == 0 || picture_.isNull()) return;
  QPainter painter(&picture_);
  painter.fillRect(picture_.rect(), Color());
  painter.setFont(font());
  painter.setLayoutDirection(layoutDirection());
  const int flags = Qt::TextSingleLine | Qt::TextExpandTabs | Qt::AlignTop | ToQtAlignment(alignment_);
  const QColor fontColor = palette().color(QPalette::WindowText);
  const QColor highlight = palette().color(QPalette::Light);
  int shift = 0;
  if (textStyle_ == TBevelCut::bvLowered) shift = 1;
  if (textStyle_ == TBevelCut::bvRaised) shift = -1;
  int top = -(scrollOffset_ % lineHeight_);
  // A blank line follows the last one, so the text leaves the panel cleanly.
  for (int i = scrollOffset_ / lineHeight_; i <= count; ++i) {
    if (top >= picture_.height()) break;
    const QString text = i < count ? lines_[i] : QStringLiteral(" ");
    const QRect line(0, top, picture_.width(), lineHeight_);
    if (shift != 0) {
      painter.setPen(highlight);
      painter.drawText(line.translated(shift, shift), flags, text);
    }
    painter.setPen(fontColor);
    painter.drawText(line, flags, text);
    top += lineHeight_;
  }
  painter.end();
  pictureDrawn_ = true;
  update(TextRect());
}

void TMessagePanel::DrawBevel(QPainter& painter, TBox& box, TBevelCut cut) const {
  QColor topLeft = Color();
  QColor bottomRight = Color();
  if (cut == TBevelCut::bvRaised) {
    topLeft = palette().color(QPalette::Light);
    bottomRight = palette().color(QPalette::Dark);
  } else if (cut == TBevelCut::bvLowered) {
    topLeft = palette().color(QPalette::Dark);
    bottomRight = palette().color(QPalette::Light);
  }
  for (int i = 0; i < bevelWidth_ && box.right > box.left && box.bottom > box.top; ++i) {
    const int w = box.right - box.left;
    const int h = box.bottom - box.top;
    painter.fillRect(box.left, box.top, w, 1, topLeft);
    painter.fillRect(box.left, box.top, 1, h, topLeft);
    painter.fillRect(box.left, box.bottom - 1, w, 1, bottomRight);
    painter.fillRect(box.right - 1, box.top, 1, h, bottomRight);
    ++box.left;
    ++box.top;
    --box.right;
    --box.bottom;
  }
}

void TMessagePanel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  TBox box{0, 0, width(), height()};
  painter.fillRect(rect(), Color());
  if (bevelOuter_ != TBevelCut::bvNone) DrawBevel(painter, box, bevelOuter_);
  box.left += borderWidth_;
  box.top += borderWidth_;
  box.right -= borderWidth_;
  box.bottom -= borderWidth_;
  if (bevelInner_ != TBevelCut::bvNone) DrawBevel(painter, box, bevelInner_);
  if (!active_) return;
  if (!glyphPaint_.isNull()) painter.drawImage(glyphOrigin_, glyphPaint_);
  // The text area shows the picture of the last scroll step.
  if (pictureDrawn_ && !picture_.isNull()) painter.drawImage(QPoint(textRect_.left, textRect_.top), picture_);
}

void TMessagePanel::resizeEvent(QResizeEvent* event) {
  QFrame::resizeEvent(event);
  if (active_) RecalcMetrics();
}

void TMessagePanel::changeEvent(QEvent* event) {
  QFrame::changeEvent(event);
  if (event->type() == QEvent::FontChange || event->type() == QEvent::PaletteChange) {
    if (active_) RecalcMetrics();
    update();
  }
}

void TMessagePanel::mouseDoubleClickEvent(QMouseEvent* event) {
  QFrame::mouseDoubleClickEvent(event);
  if (OnDblClick) OnDblClick(this);
}

}  // namespace widgets
