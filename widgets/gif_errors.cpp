#include "widgets/gif_errors.h"

#include <cstdio>

namespace widgets {

namespace {

// The texts are kept here in UTF-8 and handed out in Windows-1251, the code
// page of every message below the widgets. They use only ASCII and the
// Russian alphabet.
std::string ToWindows1251(const char* utf8) {
  std::string out;
  const auto* p = reinterpret_cast<const unsigned char*>(utf8);
  while (*p != 0) {
    if (*p < 0x80) {
      out += static_cast<char>(*p++);
      continue;
    }
    const unsigned code = ((p[0] & 0x1fu) << 6) | (p[1] & 0x3fu);
    p += 2;
    if (code >= 0x410 && code <= 0x44f) {
      out += static_cast<char>(0xc0 + (code - 0x410));
    } else if (code == 0x401) {
      out += static_cast<char>(0xa8);
    } else if (code == 0x451) {
      out += static_cast<char>(0xb8);
    } else {
      out += '?';
    }
  }
  return out;
}

const char* Utf8Text(int id) {
  switch (id) {
    case kGifErrUnknownVersion: return "Неизвестная версия изображения GIF";
    case kGifErrEncodeDepth: return "Ошибка кодировки данных в формат GIF";
    case kGifErrBadData: return "Неверные данные в формате GIF";
    case kGifErrCodeSize: return "Размер кода GIF не принадлежит диапазону от 2 до 9";
    case kGifErrColorCount: return "Неверное число цветов; должно быть степенью числа 2";
    case kGifErrUnknownExtension: return "Неопределенное расширение GIF: ";
    case kGifErrNoData: return "Нет данных для записи в формате GIF";
    case kGifErrResize: return "Невозможно изменить размер изображения GIF";
    default: return "";
  }
}

}  // namespace

std::string GifErrorText(int id) {
  std::string text = ToWindows1251(Utf8Text(id));
  if (id == kGifErrUnknownExtension) text += "%.2x";
  return text;
}

void RaiseGifError(int id, int label) {
  std::string text = ToWindows1251(Utf8Text(id));
  if (id == kGifErrUnknownExtension) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%.2x", label & 0xff);
    text += hex;
  }
  throw fw::EInvalidGraphicOperation(text);
}

}  // namespace widgets
