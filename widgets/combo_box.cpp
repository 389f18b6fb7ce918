#include "widgets/combo_box.h"

#include <QApplication>
#include <QFocusEvent>
#include <QAbstractItemView>
#include <QLineEdit>

namespace widgets {

TComboBox::TComboBox(QWidget* parent) : QComboBox(parent) {
  setEditable(true);
  setInsertPolicy(QComboBox::NoInsert);
  // Completion would change the typed text behind the handlers' back.
  setCompleter(nullptr);
}

void TComboBox::ClearItems() {
  const QString text = currentText();
  clear();
  setEditText(text);
}

void TComboBox::AddItems(const QStringList& items) {
  const QString text = currentText();
  addItems(items);
  setCurrentIndex(-1);
  setEditText(text);
}

void TComboBox::showPopup() {
  if (OnDropDown) OnDropDown(this);
  QComboBox::showPopup();
}

void TComboBox::focusOutEvent(QFocusEvent* event) {
  QComboBox::focusOutEvent(event);
  FocusLeft(event->reason());
}

void TComboBox::FocusLeft(Qt::FocusReason reason) {
  // The list opening, or another window (a message box, the street picker)
  // becoming active, is not leaving the box.
  if (reason == Qt::PopupFocusReason || reason == Qt::ActiveWindowFocusReason) return;
  // Nor is the focus going to the box's own list.
  QWidget* now = QApplication::focusWidget();
  if (now != nullptr && (now == this || isAncestorOf(now) || now->window() == view()->window())) return;
  if (OnExit) OnExit(this);
}

}  // namespace widgets
