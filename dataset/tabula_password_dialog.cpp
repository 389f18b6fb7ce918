#include "dataset/tabula_password_dialog.h"

#include <QGroupBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

#include "dataset/tabula_session.h"
#include "tabula/locale.h"

namespace tabula::db {

namespace {

template <class TWidget>
TWidget* Make(QWidget* parent, const char* name, const QString& text, const QRect& geometry) {
  auto* widget = new TWidget(text, parent);
  widget->setObjectName(name);
  widget->setGeometry(geometry);
  return widget;
}

}  // namespace

TTabulaPasswordDialog::TTabulaPasswordDialog(TTabulaSession& session, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      session_(session) {
  setObjectName("PasswordDialog");
  setWindowTitle("Enter password");
  setFixedSize(273, 132);
  GroupBox1 = Make<QGroupBox>(this, "GroupBox1", "Password", QRect(8, 8, 257, 81));
  Edit = new QLineEdit(GroupBox1);
  Edit->setObjectName("Edit");
  Edit->setGeometry(16, 18, 225, 21);
  Edit->setEchoMode(QLineEdit::Password);
  Edit->setStyleSheet("lineedit-password-character: 42");  // '*'
  AddButton = Make<QPushButton>(GroupBox1, "AddButton", "&Add", QRect(16, 46, 65, 25));
  RemoveButton = Make<QPushButton>(GroupBox1, "RemoveButton", "&Remove", QRect(88, 46, 65, 25));
  RemoveAllButton = Make<QPushButton>(GroupBox1, "RemoveAllButton", "Re&move all", QRect(160, 46, 81, 25));
  OKButton = Make<QPushButton>(this, "OKButton", "&OK", QRect(109, 98, 75, 25));
  CancelButton = Make<QPushButton>(this, "CancelButton", "Cancel", QRect(190, 98, 75, 25));
  for (QPushButton* button : {AddButton, RemoveButton, RemoveAllButton, CancelButton}) button->setAutoDefault(false);
  OKButton->setDefault(true);
  AddButton->setEnabled(false);
  RemoveButton->setEnabled(false);
  OKButton->setEnabled(false);

  connect(Edit, &QLineEdit::textChanged, this, [this] { EditChange(); });
  connect(AddButton, &QPushButton::clicked, this, [this] { AddButtonClick(); });
  connect(RemoveButton, &QPushButton::clicked, this, [this] { RemoveButtonClick(); });
  connect(RemoveAllButton, &QPushButton::clicked, this, [this] { RemoveAllButtonClick(); });
  connect(OKButton, &QPushButton::clicked, this, [this] { OKButtonClick(); });
  connect(CancelButton, &QPushButton::clicked, this, [this] { reject(); });

  if (parent == nullptr) {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
      const QRect area = screen->availableGeometry();
      move(area.center() - QPoint(width() / 2, height() / 2));
    }
  }
  Edit->setFocus();
}

std::string TTabulaPasswordDialog::EditText() const { return Utf8ToCp1251(Edit->text().toStdString()); }

void TTabulaPasswordDialog::EditChange() {
  const bool hasText = !Edit->text().isEmpty();
  AddButton->setEnabled(hasText);
  RemoveButton->setEnabled(hasText);
  OKButton->setEnabled(hasText || passwordAdded_);
}

void TTabulaPasswordDialog::AddButtonClick() {
  session_.AddSessionPassword(EditText());
  passwordAdded_ = true;
  Edit->clear();
  EditChange();
  Edit->setFocus();
}

void TTabulaPasswordDialog::RemoveButtonClick() {
  session_.DropSessionPassword(EditText());
  Edit->clear();
  Edit->setFocus();
}

void TTabulaPasswordDialog::RemoveAllButtonClick() {
  session_.ClearSessionPasswords();
  Edit->setFocus();
}

void TTabulaPasswordDialog::OKButtonClick() {
  const std::string text = EditText();
  if (!text.empty()) session_.AddSessionPassword(text);
  accept();
}

bool ShowPasswordDialog(TTabulaSession& session) {
  TTabulaPasswordDialog dialog(session);
  return dialog.exec() == QDialog::Accepted;
}

void InstallPasswordDialog() { SetPasswordDialog(ShowPasswordDialog); }

}  // namespace tabula::db
