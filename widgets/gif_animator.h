#pragma once
// TGIFAnimator: shows a TGIFImage and, while Animate is on, steps through its
// frames with the delays stored in the GIF, composing each frame over the
// ones before it according to their disposal methods. Its clock is a
// TThreadTimer; every tick is handled on the GUI thread.

#include <QImage>

#include <optional>
#include <vector>

#include "widgets/gif_image.h"
#include "widgets/image_control.h"
#include "widgets/thread_timer.h"

namespace widgets {

class TGIFAnimator : public TImageControl {
  Q_OBJECT

 public:
  explicit TGIFAnimator(QWidget* parent = nullptr);
  ~TGIFAnimator() override;

  bool Animate() const { return animate_; }
  void SetAnimate(bool value);
  bool AutoSize() const { return autoSize_; }
  void SetAutoSize(bool value);
  bool Center() const { return center_; }
  void SetCenter(bool value);
  int FrameIndex() const { return frameIndex_; }
  void SetFrameIndex(int value);
  TGIFImage& Image() { return image_; }
  void SetImage(const TGIFImage& image);  // the owned image copies it
  bool Loop() const { return loop_; }
  void SetLoop(bool value) { loop_ = value; }
  bool Stretch() const { return stretch_; }
  void SetStretch(bool value);
  bool Transparent() const { return transparent_; }
  void SetTransparent(bool value);

  TNotifyEvent OnChange;        // the image changed
  TNotifyEvent OnFrameChanged;  // the frame index changed
  TNotifyEvent OnStart;         // animation started
  TNotifyEvent OnStop;          // animation stopped
  // Mouse clicks on the picture. Without a handler the click goes on to the
  // parent (the banner strip's double click still reaches the strip).
  TNotifyEvent OnClick;
  TNotifyEvent OnDblClick;

  TThreadTimer& Timer() { return timer_; }

  // The timer interval for a frame: 0 when the index is outside the frame
  // list or the image has fewer than 2 frames, else max(DelayMs, 1).
  int TickInterval(int index) const;
  // The timer's handler while animating: the next frame (0 after the last).
  void AdvanceFrame();
  // Bound to the image's change notification.
  void HandleImageChange();
  // With AutoSize, gives the control the image's logical screen size.
  void FitToPicture();

  // Frame n composed over the frames before it, on a bitmap of the logical
  // screen size. `keyColor` receives the picture's transparent color when
  // the image's current frame has one and Transparent is on.
  // Showing the frames in turn costs one frame each: the picture before
  // frame n is kept and reused by the call for n + 1 while the frames it
  // was built from are unchanged.
  QImage ComposeFrame(int n, std::optional<QRgb>* keyColor = nullptr);
  // The control's picture as painted: the client area, with what lies
  // behind left transparent when the image has transparency or is empty.
  QImage PaintPicture();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  void RefreshPicture();

  // What a frame looked like when it went into the kept picture.
  struct TFrameStamp {
    qint64 BitmapKey = 0;  // QImage::cacheKey of the bitmap drawn, 0 when none was drawn
    QPoint Origin;
    int Width = 0;
    int Height = 0;
    int Disposal = 0;
    std::optional<QRgb> TransparentKey;
    bool operator==(const TFrameStamp&) const = default;
  };
  TFrameStamp StampOf(int index);
  // The picture before frame `Next` is drawn: the background, then frames
  // Restart .. Next - 1 as ComposeFrame applies them.
  struct TComposed {
    QImage Picture;
    int Next = -1;  // -1: nothing kept
    int Restart = 0;
    QRgb Background = 0;
    std::vector<TFrameStamp> Stamps;  // frames Restart .. Next - 1
  };
  TComposed composed_;

  TThreadTimer timer_;
  TGIFImage image_;
  bool animate_ = false;
  bool autoSize_ = true;
  bool center_ = false;
  bool loop_ = true;
  bool stretch_ = false;
  bool transparent_ = true;
  int frameIndex_ = -1;
};

}  // namespace widgets
