#pragma once
// The crossing between the Windows-1251 bytes that everything below the
// widgets speaks and the QString of the screen. Bytes the code page leaves
// undefined come through as the control character of the same number.

#include <QString>

#include <string>
#include <string_view>

namespace widgets {

QString FromWindows1251(std::string_view bytes);
// A character without a Windows-1251 byte becomes the substitute byte 0x1A,
// which no text in the tables holds, so it matches nothing.
std::string ToWindows1251(const QString& text);

}  // namespace widgets
