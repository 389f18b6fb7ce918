#pragma once
// Every message the program shows goes through ShowMessageBox: a modal box
// over the active window with one OK button. The box's object name is
// "MessageBox", so that whoever drives the program finds it.

#include <QMessageBox>
#include <QString>

namespace app {

void ShowMessageBox(const QString& text, const QString& caption, QMessageBox::Icon icon);

}  // namespace app
