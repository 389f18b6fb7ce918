#pragma once
// TApplication: the program's application object. Its default exception
// handler shows an error that escapes an event handler in a message box,
// and the program goes on. The forms' and widgets' handlers hand their
// errors to it at their own edge (widgets/exception_display.h), since Qt's
// code is built without exception support; the override of notify catches
// whatever else would leave an event handler.
//
// Run is the whole program: it creates the main window FindForm (which
// opens the directory's tables in the current directory) and the street
// picker UlViewForm, shows the main window and runs the message loop until
// it closes. A table that cannot be opened at start is reported in a
// message box naming the file and the reason, and Run answers 1.

#include <QApplication>

#include <exception>

namespace app {

class TApplication : public QApplication {
  Q_OBJECT

 public:
  TApplication(int& argc, char** argv);

  bool notify(QObject* receiver, QEvent* event) override;

  // Shows an error as the default handler does.
  static void ShowException(const std::exception& error);

  // Creates FindForm and UlViewForm for a screen of pixelsPerInch (0: the
  // screen's) and opens the tables. On a table that cannot be opened the
  // forms are freed again, the message box is shown and the answer is false;
  // any other error on the way is shown as the default handler shows it.
  static bool CreateForms(int pixelsPerInch = 0);
  static void DestroyForms();

  // The program; answers its exit status.
  static int Run();
};

}  // namespace app
