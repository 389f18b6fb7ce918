#include "widgets/gif_animator.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>

#include <algorithm>

namespace widgets {

TGIFAnimator::TGIFAnimator(QWidget* parent) : TImageControl(parent), timer_(this) {
  picture_ = &image_;
  image_.OnChange = [this] { HandleImageChange(); };
}

TGIFAnimator::~TGIFAnimator() {
  OnChange = nullptr;
  OnFrameChanged = nullptr;
  OnStart = nullptr;
  OnStop = nullptr;
  OnClick = nullptr;
  OnDblClick = nullptr;
  SetAnimate(false);
  image_.OnChange = nullptr;
  picture_ = nullptr;
}

void TGIFAnimator::SetAnimate(bool value) {
  if (value == animate_) return;
  if (value) {
    timer_.SetOnTimer([this](QObject*) { AdvanceFrame(); });
    timer_.SetEnabled(true);
    animate_ = timer_.Enabled();
    if (OnStart) OnStart(this);
  } else {
    timer_.SetEnabled(false);
    timer_.SetOnTimer(nullptr);
    animate_ = false;
    if (OnStop) OnStop(this);
    RefreshPicture();
  }
}

void TGIFAnimator::SetAutoSize(bool value) {
  if (value == autoSize_) return;
  autoSize_ = value;
  FitToPicture();
  RefreshPicture();
}

void TGIFAnimator::SetCenter(bool value) {
  if (value == center_) return;
  center_ = value;
  RefreshPicture();
  if (animate_) repaint();
}

void TGIFAnimator::SetStretch(bool value) {
  if (value == stretch_) return;
  stretch_ = value;
  RefreshPicture();
  if (animate_) repaint();
}

void TGIFAnimator::SetTransparent(bool value) {
  if (value == transparent_) return;
  transparent_ = value;
  RefreshPicture();
  if (animate_) repaint();
}

void TGIFAnimator::SetFrameIndex(int value) {
  if (value == frameIndex_ || value < 0 || value >= image_.FrameCount()) return;
  frameIndex_ = value;
  timer_.SetInterval(static_cast<unsigned>(TickInterval(value)));
  if (OnFrameChanged) OnFrameChanged(this);
  RefreshPicture();
}

void TGIFAnimator::SetImage(const TGIFImage& image) { image_.AssignFrom(image); }

int TGIFAnimator::TickInterval(int index) const {
  if (image_.FrameCount() < 2 || index < 0 || index >= image_.FrameCount()) return 0;
  return std::max<int>(image_.Frame(index).DelayMs, 1);
}

void TGIFAnimator::AdvanceFrame() {
  if (isHidden() || image_.FrameCount() < 2) return;
  frameIndex_ = (frameIndex_ + 1 >= image_.FrameCount()) ? 0 : frameIndex_ + 1;
  try {
    if (OnFrameChanged) OnFrameChanged(this);
    repaint();
  } catch (...) {
    timer_.SetInterval(static_cast<unsigned>(TickInterval(frameIndex_)));
    throw;
  }
  timer_.SetInterval(static_cast<unsigned>(TickInterval(frameIndex_)));
  if (!loop_ && frameIndex_ == 0) SetAnimate(false);
}

void TGIFAnimator::HandleImageChange() {
  FitToPicture();
  frameIndex_ = image_.CurrentFrame();
  if (frameIndex_ >= 0 && image_.FrameCount() > 0) {
    timer_.SetInterval(static_cast<unsigned>(TickInterval(frameIndex_)));
  }
  if (OnChange) OnChange(this);
  RefreshPicture();
}

void TGIFAnimator::FitToPicture() {
  if (loading_ || !autoSize_ || image_.IsEmpty()) return;
  setGeometry(x(), y(), image_.ScreenWidth(), image_.ScreenHeight());
}

void TGIFAnimator::resizeEvent(QResizeEvent* event) {
  TImageControl::resizeEvent(event);
  FitToPicture();
}

void TGIFAnimator::mousePressEvent(QMouseEvent* event) {
  if (OnClick && event->button() == Qt::LeftButton) {
    event->accept();
  } else {
    TImageControl::mousePressEvent(event);
  }
}

void TGIFAnimator::mouseReleaseEvent(QMouseEvent* event) {
  if (OnClick && event->button() == Qt::LeftButton) {
    event->accept();
    if (rect().contains(event->position().toPoint())) OnClick(this);
  } else {
    TImageControl::mouseReleaseEvent(event);
  }
}

void TGIFAnimator::mouseDoubleClickEvent(QMouseEvent* event) {
  if (OnDblClick && event->button() == Qt::LeftButton) {
    event->accept();
    OnDblClick(this);
  } else {
    TImageControl::mouseDoubleClickEvent(event);
  }
}

void TGIFAnimator::RefreshPicture() {
  if (image_.PaletteModified() && !isHidden() && !loading_) {
    // Colors are true colors here: there is no palette to realize.
    image_.SetPaletteModified(false);
  }
  update();
}

namespace {

// Draws an indexed bitmap at `at` over an RGB32 picture, leaving out the
// pixels of the key color, the way a painter draws the keyed copy (see
// GifKeyedImage). Returns false, drawing nothing, for what a painter must
// draw: other formats, colors neither opaque nor fully transparent, and
// pixel values past the color table.
bool DrawIndexed(QImage& picture, const QImage& bitmap, QPoint at, std::optional<QRgb> key) {
  const bool mono = bitmap.format() == QImage::Format_Mono;
  if (!mono && bitmap.format() != QImage::Format_Indexed8) return false;
  const int colorCount = bitmap.colorCount();
  if (colorCount < (mono ? 2 : 1)) return false;
  // Per value: the color to put, and the bits of the picture kept (all for
  // a see-through value, none for an opaque one).
  QRgb put[256] = {};
  QRgb keep[256];
  std::fill(std::begin(keep), std::end(keep), 0xffffffffu);
  for (int i = 0; i < std::min(colorCount, 256); ++i) {
    const QRgb c = bitmap.color(i);
    const bool keyed = key && (c | 0xff000000u) == (*key | 0xff000000u);
    if (keyed || qAlpha(c) == 0) continue;
    if (qAlpha(c) != 255) return false;
    put[i] = c;
    keep[i] = 0;
  }
  const int left = at.x();
  const int top = at.y();
  if (left < 0 || top < 0) return false;
  const int w = std::min(bitmap.width(), picture.width() - left);
  const int h = std::min(bitmap.height(), picture.height() - top);
  if (w <= 0 || h <= 0) return true;
  if (!mono && colorCount < 256) {
    for (int y = 0; y < h; ++y) {
      const uchar* src = bitmap.constScanLine(y);
      if (*std::max_element(src, src + w) >= colorCount) return false;
    }
  }
  for (int y = 0; y < h; ++y) {
    const uchar* src = bitmap.constScanLine(y);
    auto* dst = reinterpret_cast<QRgb*>(picture.scanLine(top + y)) + left;
    if (mono) {
      for (int x = 0; x < w; ++x) {
        const int v = (src[x >> 3] >> (7 - (x & 7))) & 1;
        dst[x] = (dst[x] & keep[v]) | put[v];
      }
    } else {
      for (int x = 0; x < w; ++x) dst[x] = (dst[x] & keep[src[x]]) | put[src[x]];
    }
  }
  return true;
}

}  // namespace

TGIFAnimator::TFrameStamp TGIFAnimator::StampOf(int index) {
  const TGIFFrame& frame = image_.Frame(index);
  TFrameStamp stamp;
  stamp.Origin = frame.Origin;
  stamp.Width = frame.Width();
  stamp.Height = frame.Height();
  stamp.Disposal = frame.Disposal;
  stamp.TransparentKey = frame.TransparentKey;
  if (frame.Disposal <= 1) stamp.BitmapKey = image_.FrameBitmap(index).cacheKey();
  return stamp;
}

QImage TGIFAnimator::ComposeFrame(int n, std::optional<QRgb>* keyColor) {
  if (keyColor != nullptr) keyColor->reset();
  const int width = image_.ScreenWidth();
  const int height = image_.ScreenHeight();
  if (static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4 > TGIFImage::kMaxBitmapBytes) {
    throw fw::EOutOfResources("Out of system resources");
  }
  if (width == 0 || height == 0) return QImage(width, height, QImage::Format_RGB32);

  // The background: the current frame's key color, else the image's
  // background when it is transparent, else the window color.
  std::optional<QRgb> key;
  QRgb background = QApplication::palette().color(QPalette::Base).rgb();
  const int current = image_.CurrentFrame();
  if (current >= 0 && current < image_.FrameCount() && image_.Frame(current).TransparentKey) {
    key = *image_.Frame(current).TransparentKey | 0xff000000u;
    background = *key;
  } else if (image_.Background() && image_.HasTransparency()) {
    background = *image_.Background() | 0xff000000u;
  }
  const auto blank = [&] {
    QImage picture(width, height, QImage::Format_RGB32);
    if (picture.isNull()) throw fw::EOutOfResources("Out of system resources");
    picture.fill(background);
    return picture;
  };
  n = std::min(n, image_.FrameCount() - 1);
  if (n < 0) return blank();
  // Restart point: the last full-screen frame disposed to the background
  // before n hides everything before it.
  int restart = 0;
  for (int i = n - 1; i >= 1; --i) {
    const TGIFFrame& frame = image_.Frame(i);
    if (frame.Disposal == 2 && frame.Width() == width && frame.Height() == height) {
      restart = i;
      break;
    }
  }

  // Start from the kept picture when it was built from the same restart
  // point, background and frames, and lies at or before n.
  TComposed kept = std::move(composed_);
  composed_ = TComposed();
  bool reuse = kept.Next >= 0 && kept.Next <= n && kept.Restart == restart && kept.Background == background &&
               kept.Picture.size() == QSize(width, height);
  for (int i = restart; reuse && i < kept.Next; ++i) reuse = kept.Stamps[static_cast<std::size_t>(i - restart)] == StampOf(i);
  TComposed base;
  if (reuse) {
    base = std::move(kept);
  } else {
    base.Picture = blank();
    base.Next = restart;
    base.Restart = restart;
    base.Background = background;
  }

  QPainter painter;
  const auto drawFrame = [&](QImage& picture, int i) {
    const QImage& bitmap = image_.FrameBitmap(i);
    if (bitmap.isNull()) return;
    const TGIFFrame& frame = image_.Frame(i);
    if (DrawIndexed(picture, bitmap, frame.Origin, frame.TransparentKey)) return;
    painter.begin(&picture);
    if (frame.TransparentKey) {
      painter.drawImage(frame.Origin, GifKeyedImage(bitmap, *frame.TransparentKey));
    } else {
      painter.drawImage(frame.Origin, bitmap);
    }
    painter.end();
  };
  for (int i = base.Next; i < n; ++i) {
    const TGIFFrame& frame = image_.Frame(i);
    if (frame.Disposal <= 1) {
      drawFrame(base.Picture, i);
    } else if (frame.Disposal == 2 && i > restart) {
      const QRect area = QRect(frame.Origin, QSize(frame.Width(), frame.Height())) & base.Picture.rect();
      for (int y = area.top(); y <= area.bottom(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(base.Picture.scanLine(y));
        std::fill(line + area.left(), line + area.left() + area.width(), background);
      }
    }
    base.Stamps.push_back(StampOf(i));
  }
  base.Next = n;

  QImage picture;
  if (image_.Frame(n).Disposal <= 1) {
    // The picture shown is also the next frame's starting point (it is
    // copied only if the caller still holds it when the next frame is drawn).
    drawFrame(base.Picture, n);
    base.Stamps.push_back(StampOf(n));
    base.Next = n + 1;
    picture = base.Picture;
  } else {
    picture = base.Picture.copy();
    if (picture.isNull()) throw fw::EOutOfResources("Out of system resources");
    drawFrame(picture, n);
  }
  composed_ = std::move(base);
  if (key && transparent_ && keyColor != nullptr) *keyColor = key;
  return picture;
}

QImage TGIFAnimator::PaintPicture() {
  QImage offscreen(size(), QImage::Format_ARGB32_Premultiplied);
  if (offscreen.isNull()) return offscreen;
  // Where the control paints nothing, Qt shows the parent and the controls
  // behind it: leave those pixels transparent.
  if (image_.HasTransparency() || image_.IsEmpty()) {
    offscreen.fill(Qt::transparent);
  } else {
    offscreen.fill(palette().color(backgroundRole()));
  }
  if (!image_.IsEmpty() && image_.ScreenWidth() > 0 && image_.ScreenHeight() > 0) {
    std::optional<QRgb> key;
    const QImage picture = ComposeFrame(frameIndex_ < 0 ? 0 : frameIndex_, &key);
    QRect destination;
    if (stretch_) {
      destination = rect();
    } else if (center_) {
      destination = QRect((width() - picture.width()) / 2, (height() - picture.height()) / 2, picture.width(),
                          picture.height());
    } else {
      destination = QRect(0, 0, picture.width(), picture.height());
    }
    QPainter painter(&offscreen);
    if (key && transparent_) {
      painter.drawImage(destination, GifKeyedImage(picture, *key));
    } else {
      painter.drawImage(destination, picture);
    }
  }
  return offscreen;
}

void TGIFAnimator::paintEvent(QPaintEvent*) {
  drawing_ = true;
  struct TDone {
    bool& flag;
    ~TDone() { flag = false; }
  } done{drawing_};
  const QImage picture = PaintPicture();
  QPainter painter(this);
  painter.drawImage(0, 0, picture);
}

}  // namespace widgets
