#pragma once
// TMessageBoxWatcher: answers the program's message boxes as a user would.
// While it lives it looks for a modal QMessageBox every few milliseconds,
// notes its text and caption and presses its OK button.

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

namespace app_test {

class TMessageBoxWatcher : public QObject {
  Q_OBJECT

 public:
  TMessageBoxWatcher();
  ~TMessageBoxWatcher() override;

  // Texts and captions of the boxes answered, in order.
  const QStringList& Texts() const { return texts_; }
  const QStringList& Captions() const { return captions_; }
  void Clear();
  // Also print each text on stderr (for programs that are not tests).
  bool Echo = false;

 private:
  void Look();

  QTimer timer_;
  QStringList texts_;
  QStringList captions_;
};

}  // namespace app_test
