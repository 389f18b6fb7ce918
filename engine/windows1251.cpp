#include "tabula/windows1251.h"

#include <unicode/ucnv.h>

#include <vector>

namespace tabula {

namespace {

// Both directions of Windows-1251, built once from ICU's converter.
struct TCodePage {
  std::array<char16_t, 256> toUnicode{};
  std::vector<uint8_t> fromUnicode = std::vector<uint8_t>(65536, 0);
  std::vector<bool> mapped = std::vector<bool>(65536, false);

  TCodePage() {
    UErrorCode status = U_ZERO_ERROR;
    UConverter* converter = ucnv_open("windows-1251", &status);
    for (int b = 0; b < 256; ++b) {
      char16_t ch = static_cast<char16_t>(b);  // fallback: Latin-1 position
      if (converter && U_SUCCESS(status)) {
        char in = static_cast<char>(b);
        UChar out[4];
        UErrorCode st = U_ZERO_ERROR;
        ucnv_reset(converter);
        int32_t n = ucnv_toUChars(converter, out, 4, &in, 1, &st);
        if (U_SUCCESS(st) && n == 1 && out[0] != 0xFFFD && out[0] != 0x1A) ch = out[0];
        else if (b == 0x1A) ch = 0x1A;
      }
      toUnicode[b] = ch;
      if (!mapped[ch]) {
        mapped[ch] = true;
        fromUnicode[ch] = static_cast<uint8_t>(b);
      }
    }
    if (converter) ucnv_close(converter);
  }
};

const TCodePage& CodePage() {
  static const TCodePage page;
  return page;
}

// Windows-1251 text to UTF-16 into a caller's buffer.
void ToUtf16(std::string_view text, std::u16string& out) {
  const TCodePage& page = CodePage();
  out.resize(text.size());
  for (size_t i = 0; i < text.size(); ++i) out[i] = page.toUnicode[static_cast<uint8_t>(text[i])];
}

}  // namespace

char16_t Cp1251ToUnicode(uint8_t byte) { return CodePage().toUnicode[byte]; }

const std::array<char16_t, 256>& Cp1251UnicodeTable() { return CodePage().toUnicode; }

bool UnicodeToCp1251(char16_t ch, uint8_t& byte) {
  const TCodePage& page = CodePage();
  if (!page.mapped[ch]) return false;
  byte = page.fromUnicode[ch];
  return true;
}

std::string Cp1251ToUtf8(std::string_view text) {
  std::u16string wide;
  ToUtf16(text, wide);
  std::string out;
  out.reserve(text.size() * 2);
  for (char16_t ch : wide) {
    if (ch < 0x80) {
      out.push_back(static_cast<char>(ch));
    } else if (ch < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (ch >> 6)));
      out.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | (ch >> 12)));
      out.push_back(static_cast<char>(0x80 | ((ch >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
    }
  }
  return out;
}

std::string Utf8ToCp1251(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    auto c = static_cast<uint8_t>(text[i]);
    uint32_t cp;
    size_t extra;
    if (c < 0x80) { cp = c; extra = 0; }
    else if ((c & 0xE0) == 0xC0) { cp = c & 0x1F; extra = 1; }
    else if ((c & 0xF0) == 0xE0) { cp = c & 0x0F; extra = 2; }
    else if ((c & 0xF8) == 0xF0) { cp = c & 0x07; extra = 3; }
    else { out.push_back('?'); ++i; continue; }
    bool valid = true;
    for (size_t k = 1; k <= extra; ++k) {
      if (i + k >= text.size() || (static_cast<uint8_t>(text[i + k]) & 0xC0) != 0x80) { valid = false; break; }
      cp = (cp << 6) | (static_cast<uint8_t>(text[i + k]) & 0x3F);
    }
    if (!valid) { out.push_back('?'); ++i; continue; }
    i += extra + 1;
    uint8_t b;
    if (cp <= 0xFFFF && UnicodeToCp1251(static_cast<char16_t>(cp), b)) out.push_back(static_cast<char>(b));
    else out.push_back('?');
  }
  return out;
}

}  // namespace tabula
