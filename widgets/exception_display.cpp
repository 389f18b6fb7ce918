#include "widgets/exception_display.h"

#include <QtGlobal>

namespace widgets {

namespace {

std::function<void(const std::exception&)>& Display() {
  static std::function<void(const std::exception&)> display = [](const std::exception& error) {
    qWarning("%s", error.what());
  };
  return display;
}

}  // namespace

void SetExceptionDisplay(std::function<void(const std::exception&)> display) { Display() = std::move(display); }

void ShowException(const std::exception& error) {
  if (Display()) Display()(error);
}

}  // namespace widgets
