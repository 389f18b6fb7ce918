#include "app/banner_text.h"

#include "widgets/text_codec.h"

namespace app {

namespace {

// The part of s before its first carriage return; empty when it has none.
std::string LineOf(const std::string& s) {
  const size_t cr = s.find('\r');
  return cr == std::string::npos ? std::string() : s.substr(0, cr);
}

}  // namespace

QStringList BannerTextLines(std::string text) {
  constexpr size_t kLookAhead = 1000;
  QStringList lines{QString(), QString()};
  std::string line = LineOf(text);
  while (!line.empty()) {
    lines << widgets::FromWindows1251(line);
    // What follows the carriage return and the character after it.
    const size_t cr = text.find('\r');
    text = cr + 2 >= text.size() ? std::string() : text.substr(cr + 2, kLookAhead);
    line = LineOf(text);
  }
  lines << QString() << QString();
  return lines;
}

}  // namespace app
