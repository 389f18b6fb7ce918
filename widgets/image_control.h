#pragma once
// TImageControl: the base of controls that show a picture without a window
// of their own: 105 x 105 by default, no background of its own (the parent
// and the controls behind it show through where it paints nothing).

#include <QWidget>

namespace widgets {

class TGIFImage;

class TImageControl : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kDefaultWidth = 105;
  static constexpr int kDefaultHeight = 105;

  explicit TImageControl(QWidget* parent = nullptr);

  // True while the owning form is being built from its stored description;
  // sizing to the picture waits until it ends.
  bool Loading() const { return loading_; }
  void SetLoading(bool value) { loading_ = value; }
  // True while the control paints itself.
  bool Drawing() const { return drawing_; }

 protected:
  bool drawing_ = false;
  bool loading_ = false;
  TGIFImage* picture_ = nullptr;  // the image whose palette the control shows
};

}  // namespace widgets
