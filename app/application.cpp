#include "app/application.h"

#include <QDir>
#include <QFileInfo>

#include "app/find_form.h"
#include "app/message_box.h"
#include "app/ul_view_form.h"
#include "framework/core/exceptions.h"
#include "widgets/exception_display.h"
#include "widgets/text_codec.h"

namespace app {

namespace {

const QString kTitle = QStringLiteral("Поиск телефонов");

QString MessageOf(const std::exception& error) {
  // The run time's errors carry Windows-1251 text; others say what they are.
  if (const auto* own = dynamic_cast<const fw::Exception*>(&error)) return widgets::FromWindows1251(own->Message);
  return QString::fromLocal8Bit(error.what());
}

}  // namespace

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setOrganizationName(QStringLiteral("borvino"));
  setApplicationName(QStringLiteral("phonedir"));
  setApplicationDisplayName(kTitle);
  widgets::SetExceptionDisplay(&TApplication::ShowException);
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& error) {
    ShowException(error);
  }
  return false;
}

void TApplication::ShowException(const std::exception& error) {
  ShowMessageBox(MessageOf(error), kTitle, QMessageBox::Critical);
}

bool TApplication::CreateForms(int pixelsPerInch) {
  try {
    FindForm = new TFindForm(pixelsPerInch);
    FindForm->OpenTables();
    UlViewForm = new TUlViewForm(FindForm, pixelsPerInch);
    FindForm->SetStreetPicker(UlViewForm);
    return true;
  } catch (const ETableOpenError& error) {
    DestroyForms();
    const QString path = QDir::toNativeSeparators(QFileInfo(widgets::FromWindows1251(error.TableName)).absoluteFilePath());
    ShowMessageBox(QStringLiteral("Не удалось открыть таблицу %1\n(%2):\n%3")
                       .arg(widgets::FromWindows1251(error.TableName), path, widgets::FromWindows1251(error.Reason)),
                   kTitle, QMessageBox::Critical);
    return false;
  } catch (const std::exception& error) {
    DestroyForms();
    ShowException(error);
    return false;
  }
}

void TApplication::DestroyForms() {
  delete UlViewForm;
  UlViewForm = nullptr;
  delete FindForm;
  FindForm = nullptr;
}

int TApplication::Run() {
  if (!CreateForms()) return 1;
  FindForm->show();
  const int status = exec();
  DestroyForms();
  return status;
}

}  // namespace app
