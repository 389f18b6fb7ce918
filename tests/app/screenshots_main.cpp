// Grabs the main window in each search mode to PNG files, from the real
// widgets on a directory made by the demo generator:
//   phonedir-screenshots DIRECTORY OUTPUT-DIRECTORY
// The window is built at its design resolution (120 pixels per inch).

#include <QAbstractButton>
#include <QDir>
#include <QLineEdit>
#include <QTest>

#include <cstdio>

#include "app/application.h"
#include "app/find_form.h"
#include "tests/app/message_box_watcher.h"
#include "tests/app/user_input.h"
#include "widgets/combo_box.h"
#include "widgets/data_grid.h"
#include "widgets/message_panel.h"
#include "widgets/placement.h"
#include "widgets/radio_group.h"

namespace {

bool Save(QWidget& window, const QString& file) {
  QCoreApplication::processEvents();
  const bool saved = window.grab().save(file);
  std::printf("%s %s\n", saved ? "wrote" : "could not write", qPrintable(file));
  return saved;
}

void Choose(app::TFindForm& form, int mode) {
  QTest::mouseClick(static_cast<QWidget*>(form.RadioSort->Button(mode)), Qt::LeftButton);
  QCoreApplication::processEvents();
}

}  // namespace

int main(int argc, char** argv) {
  app::TApplication application(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: phonedir-screenshots DIRECTORY OUTPUT-DIRECTORY\n");
    return 2;
  }
  app_test::TMessageBoxWatcher watcher;
  watcher.Echo = true;
  const QString output = QDir(QString::fromLocal8Bit(argv[2])).absolutePath();
  QDir().mkpath(output);
  if (!QDir::setCurrent(QString::fromLocal8Bit(argv[1]))) return 2;
  if (!app::TApplication::CreateForms(app::TFindForm::kDesignPixelsPerInch)) return 1;
  app::TFindForm& form = *app::FindForm;
  form.PlacementStore1->SetActive(false);
  form.show();
  if (!QTest::qWaitFor([&] { return form.StreetList().Count() > 0; }, 5000)) std::fprintf(stderr, "no street list\n");
  bool ok = true;

  app_test::TypeText(form.Edit1, QStringLiteral("23"));
  ok &= Save(form, output + "/phone.png");

  Choose(form, 1);
  app_test::TypeText(form.ComboBox1, QStringLiteral("лен"));
  form.ComboBox1DropDown();
  if (form.ComboBox1->count() > 0) form.ComboBox1->setEditText(form.ComboBox1->itemText(0));
  QTest::keyClick(form.ComboBox1, Qt::Key_Tab);
  app_test::TypeText(form.Edit3, QStringLiteral("1"));
  ok &= Save(form, output + "/address.png");

  Choose(form, 2);
  app_test::TypeText(form.Edit6, QStringLiteral("пет"));
  ok &= Save(form, output + "/name.png");

  app::TApplication::DestroyForms();
  return ok ? 0 : 1;
}
