#include "tests/app/user_input.h"

#include <QTest>
#include <QWidget>

namespace app_test {

void TypeText(QWidget* widget, const QString& text) {
  for (const QChar ch : text) {
    const Qt::Key key = ch.isDigit()    ? Qt::Key(Qt::Key_0 + ch.digitValue())
                        : ch == u' '    ? Qt::Key_Space
                        : ch.isLetter() && ch.unicode() < 128 ? Qt::Key(ch.toUpper().unicode())
                                                              : Qt::Key_unknown;
    QTest::sendKeyEvent(QTest::Press, widget, key, QString(ch), Qt::NoModifier);
    QTest::sendKeyEvent(QTest::Release, widget, key, QString(ch), Qt::NoModifier);
  }
}

void Backspace(QWidget* widget, int count) {
  for (int i = 0; i < count; ++i) QTest::keyClick(widget, Qt::Key_Backspace);
}

}  // namespace app_test
