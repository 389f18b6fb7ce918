#include "app/message_box.h"

#include <QApplication>

namespace app {

void ShowMessageBox(const QString& text, const QString& caption, QMessageBox::Icon icon) {
  QMessageBox box(icon, caption, text, QMessageBox::Ok, QApplication::activeWindow());
  box.setObjectName(QStringLiteral("MessageBox"));
  box.exec();
}

}  // namespace app
