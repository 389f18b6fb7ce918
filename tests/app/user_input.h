#pragma once
// Typing as a user types: one key press and release per character, with
// the character as the event's text, so that any letter (Cyrillic
// included) reaches the widget as it would from a keyboard.

#include <QString>

class QWidget;

namespace app_test {

void TypeText(QWidget* widget, const QString& text);
// Backspace pressed `count` times.
void Backspace(QWidget* widget, int count);

}  // namespace app_test
