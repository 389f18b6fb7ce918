#include "widgets/image_control.h"

namespace widgets {

TImageControl::TImageControl(QWidget* parent) : QWidget(parent) {
  setAutoFillBackground(false);
  resize(kDefaultWidth, kDefaultHeight);
}

}  // namespace widgets
