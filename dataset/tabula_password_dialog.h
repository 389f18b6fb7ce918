#pragma once
// TTabulaPasswordDialog: the modal dialog that asks for the password of an
// enciphered table. Each password the user adds goes into the session's
// password list at once, so the table's open can try it; OK adds what is
// in the edit box and closes the dialog, Cancel closes it without adding
// anything more. This is the only Qt code of the dataset layer; it is its
// own library (dataset_password_dialog) so that the rest stays Qt-free.

#include <QDialog>

class QGroupBox;
class QLineEdit;
class QPushButton;

namespace tabula::db {

class TTabulaSession;

class TTabulaPasswordDialog : public QDialog {
 public:
  // A dialog for `session`'s password list; `parent` may be null (the
  // dialog then belongs to the application and is centred on the screen).
  explicit TTabulaPasswordDialog(TTabulaSession& session, QWidget* parent = nullptr);

  TTabulaSession& Session() const { return session_; }
  // True once a password was added while the dialog was open.
  bool PasswordAdded() const { return passwordAdded_; }

  QGroupBox* GroupBox1 = nullptr;
  QLineEdit* Edit = nullptr;
  QPushButton* AddButton = nullptr;
  QPushButton* RemoveButton = nullptr;
  QPushButton* RemoveAllButton = nullptr;
  QPushButton* OKButton = nullptr;
  QPushButton* CancelButton = nullptr;

 private:
  void EditChange();
  void AddButtonClick();
  void RemoveButtonClick();
  void RemoveAllButtonClick();
  void OKButtonClick();
  // The edit box's text in Windows-1251.
  std::string EditText() const;

  TTabulaSession& session_;
  bool passwordAdded_ = false;
};

// Shows the dialog for the session modally; true when it was closed with OK.
bool ShowPasswordDialog(TTabulaSession& session);
// Makes ShowPasswordDialog the dialog that sessions without an OnPassword
// handler show when a table needs a password.
void InstallPasswordDialog();

}  // namespace tabula::db
