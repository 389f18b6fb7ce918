#pragma once
// TUlViewForm (unit UlViewUnit): the street picker. A borderless window,
// wholly filled by the list box ListBox1, shown modally by the main form
// when several streets contain the typed text. A double click on an item,
// or Enter on the selected item, puts the item's text into the main form's
// street box and closes the picker. The first street is selected when the
// picker opens; Enter with nothing selected does nothing; Escape closes the
// picker without a choice.

#include <QDialog>

class QListWidget;

namespace app {

class TFindForm;

class TUlViewForm : public QDialog {
  Q_OBJECT

 public:
  // The picker of `findForm`'s street box; pixelsPerInch as TFindForm's.
  explicit TUlViewForm(TFindForm* findForm, int pixelsPerInch = 0);
  ~TUlViewForm() override;

  // Adds a street name to the list, one line high.
  void AddStreet(const QString& name);

  void ListBox1DblClick();
  // Answers whether the key was taken.
  bool ListBox1KeyPress(int key);

  QListWidget* ListBox1 = nullptr;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void Choose();

  TFindForm* findForm_;
  int itemHeight_ = 16;
};

}  // namespace app
