#include "tests/app/message_box_watcher.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>

#include <cstdio>

namespace app_test {

TMessageBoxWatcher::TMessageBoxWatcher() {
  connect(&timer_, &QTimer::timeout, this, [this] { Look(); });
  timer_.start(10);
}

TMessageBoxWatcher::~TMessageBoxWatcher() { timer_.stop(); }

void TMessageBoxWatcher::Clear() {
  texts_.clear();
  captions_.clear();
}

void TMessageBoxWatcher::Look() {
  auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
  if (box == nullptr || !box->isVisible()) return;
  texts_ << box->text();
  captions_ << box->windowTitle();
  if (Echo) std::fprintf(stderr, "message box: %s\n", qPrintable(box->text()));
  if (QAbstractButton* ok = box->button(QMessageBox::Ok)) {
    ok->click();
  } else {
    box->done(0);
  }
}

}  // namespace app_test
