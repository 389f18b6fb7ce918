#include "widgets/text_codec.h"

#include <QStringDecoder>
#include <QStringEncoder>

namespace widgets {

QString FromWindows1251(std::string_view bytes) {
  QStringDecoder decoder("windows-1251");
  return decoder.decode(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
}

std::string ToWindows1251(const QString& text) {
  QStringEncoder encoder("windows-1251");
  const QByteArray bytes = encoder.encode(text);
  return std::string(bytes.constData(), size_t(bytes.size()));
}

}  // namespace widgets
