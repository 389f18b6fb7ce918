#pragma once
// TComboBox: an editable combo box with the two events a form hangs its
// handlers on: OnDropDown, run just before the list opens (the handler may
// refill the items), and OnExit, run when the input focus moves from the
// box to another control of the same window (not when the list opens or
// another window becomes active).

#include <QComboBox>

#include <functional>

namespace widgets {

class TComboBox : public QComboBox {
  Q_OBJECT

 public:
  explicit TComboBox(QWidget* parent = nullptr);

  // Removes every item and keeps the text in the edit box.
  void ClearItems();
  // Adds items and keeps the text in the edit box.
  void AddItems(const QStringList& items);

  std::function<void(QObject* sender)> OnDropDown;
  std::function<void(QObject* sender)> OnExit;

  void showPopup() override;

 protected:
  void focusOutEvent(QFocusEvent* event) override;

 private:
  void FocusLeft(Qt::FocusReason reason);
};

}  // namespace widgets
