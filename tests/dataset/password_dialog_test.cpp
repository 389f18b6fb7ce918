// The password dialog under the offscreen platform: its layout and enable
// rules, what each button does to the session's password list, and an
// enciphered table opened through it (a password that differs only in
// letter case brings the dialog back; Cancel leaves the table closed).

#include "dataset/tabula_password_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

#include "dataset/tabula_session.h"
#include "dataset/tabula_session_list.h"
#include "dataset/tabula_table.h"
#include "tabula/engine_error.h"
#include "tabula/field_types.h"
#include "tabula/file_session.h"
#include "tabula/table_creator.h"
#include "tests/dataset/dataset_test_util.h"

namespace {

using tabula::db::Session;
using tabula::db::TTabulaPasswordDialog;

class TQtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "password_dialog_test";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<QApplication>(argc, argv);
  }
  void TearDown() override {
    tabula::db::FinalizeSessions();
    app_.reset();
  }

 private:
  std::unique_ptr<QApplication> app_;
};
[[maybe_unused]] const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new TQtEnvironment);

bool Knows(const std::string& password) {
  Session().SetActive(true);
  return Session().EngineSession()->SessionKnowsPassword(password);
}

TEST(PasswordDialogTest, LayoutEnableRulesAndButtons) {
  Session().ClearSessionPasswords();
  TTabulaPasswordDialog dialog(Session());
  EXPECT_EQ(dialog.windowTitle(), "Enter password");
  EXPECT_EQ(dialog.size(), QSize(273, 132));
  EXPECT_EQ(dialog.GroupBox1->title(), "Password");
  struct TButton {
    QPushButton* Button;
    const char* Text;
    QRect Geometry;
    bool Enabled;
  } buttons[] = {{dialog.AddButton, "&Add", {16, 46, 65, 25}, false},
                 {dialog.RemoveButton, "&Remove", {88, 46, 65, 25}, false},
                 {dialog.RemoveAllButton, "Re&move all", {160, 46, 81, 25}, true},
                 {dialog.OKButton, "&OK", {109, 98, 75, 25}, false},
                 {dialog.CancelButton, "Cancel", {190, 98, 75, 25}, true}};
  for (const TButton& b : buttons) {
    EXPECT_EQ(b.Button->text(), b.Text);
    EXPECT_EQ(b.Button->geometry(), b.Geometry) << b.Text;
    EXPECT_EQ(b.Button->isEnabled(), b.Enabled) << b.Text;
  }
  EXPECT_TRUE(dialog.OKButton->isDefault());
  EXPECT_EQ(dialog.Edit->echoMode(), QLineEdit::Password);
  EXPECT_EQ(dialog.Edit->geometry().topLeft(), QPoint(16, 18));

  QTest::keyClicks(dialog.Edit, "alpha");
  EXPECT_TRUE(dialog.AddButton->isEnabled() && dialog.RemoveButton->isEnabled() && dialog.OKButton->isEnabled());
  QTest::mouseClick(dialog.AddButton, Qt::LeftButton);
  EXPECT_TRUE(Knows("alpha"));
  EXPECT_TRUE(dialog.PasswordAdded());
  EXPECT_TRUE(dialog.Edit->text().isEmpty());
  EXPECT_FALSE(dialog.AddButton->isEnabled() || dialog.RemoveButton->isEnabled());
  EXPECT_TRUE(dialog.OKButton->isEnabled());  // a password was added
  QTest::keyClicks(dialog.Edit, "beta");
  QTest::mouseClick(dialog.AddButton, Qt::LeftButton);
  QTest::keyClicks(dialog.Edit, "alpha");
  QTest::mouseClick(dialog.RemoveButton, Qt::LeftButton);
  EXPECT_FALSE(Knows("alpha"));
  EXPECT_TRUE(Knows("beta"));
  QTest::mouseClick(dialog.RemoveAllButton, Qt::LeftButton);
  EXPECT_FALSE(Knows("beta"));
  // OK with an empty edit closes the dialog and adds nothing.
  QTest::mouseClick(dialog.OKButton, Qt::LeftButton);
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_FALSE(Knows(""));

  TTabulaPasswordDialog cancelled(Session());
  QTest::keyClicks(cancelled.Edit, "gamma");
  QTest::mouseClick(cancelled.CancelButton, Qt::LeftButton);
  EXPECT_EQ(cancelled.result(), QDialog::Rejected);
  EXPECT_FALSE(Knows("gamma"));
}

// Answers each password dialog that comes up with the next step.
class TDialogScript {
 public:
  explicit TDialogScript(std::vector<std::function<void(TTabulaPasswordDialog&)>> steps) : steps_(std::move(steps)) {
    QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
    timer_.start(5);
  }
  int Shown() const { return shown_; }

 private:
  void Poll() {
    auto* dialog = dynamic_cast<TTabulaPasswordDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr || dialog == last_) return;
    last_ = dialog;
    QObject::connect(dialog, &QDialog::finished, [this] { last_ = nullptr; });
    const size_t step = size_t(shown_++);
    if (step < steps_.size()) steps_[step](*dialog);
    else dialog->reject();
  }
  std::vector<std::function<void(TTabulaPasswordDialog&)>> steps_;
  QTimer timer_;
  TTabulaPasswordDialog* last_ = nullptr;
  int shown_ = 0;
};

void Type(TTabulaPasswordDialog& dialog, const char* text) {
  QTest::keyClicks(dialog.Edit, text);
  QTest::mouseClick(dialog.OKButton, Qt::LeftButton);
}

TEST(PasswordDialogTest, EncipheredTableOpensThroughTheDialog) {
  dataset_test::TCurrentDir cwd;
  tabula::TFieldDef field;
  field.Name = "Code";
  field.FieldType = tabula::kFldInt32;
  tabula::TTableOptions options;
  options.Password = "Secret";
  tabula::CreateTable(cwd.File("locked.DAT"), {field}, {}, options);
  tabula::db::InstallPasswordDialog();
  Session().OnPassword = nullptr;
  Session().ClearSessionPasswords();
  tabula::db::TTabulaTable table;
  table.SetTableName("locked.DAT");
  {
    TDialogScript script({[](TTabulaPasswordDialog& d) { QTest::mouseClick(d.CancelButton, Qt::LeftButton); }});
    try {
      table.Open();
      ADD_FAILURE() << "opened without a password";
    } catch (const tabula::ETabulaEngineError& e) {
      EXPECT_EQ(e.Code(), tabula::kErrPasswordRequired);
    }
    EXPECT_EQ(script.Shown(), 1);
    EXPECT_FALSE(table.Active());
  }
  {
    // Letter case counts: "secret" is not the table's password.
    TDialogScript script({[](TTabulaPasswordDialog& d) { Type(d, "secret"); },
                          [](TTabulaPasswordDialog& d) { Type(d, "Secret"); }});
    table.Open();
    EXPECT_EQ(script.Shown(), 2);
    EXPECT_TRUE(table.Active());
    EXPECT_EQ(table.RecordCount(), 0);
  }
  table.Close();
  tabula::db::SetPasswordDialog(nullptr);
  Session().ClearSessionPasswords();
}

}  // namespace
