#pragma once
// The lines a text banner shows in the strip: two empty lines, the banner's
// lines, two empty lines. A banner's text holds lines that each end in a
// carriage return and line feed; the lines shown are the first one and
// those after it up to the first empty one, a line without its carriage
// return is not shown, and after the first line at most 1000 characters of
// the text are looked at.

#include <QStringList>

#include <string>

namespace app {

// text: Windows-1251.
QStringList BannerTextLines(std::string text);

}  // namespace app
