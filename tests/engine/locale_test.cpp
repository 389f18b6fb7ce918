// Locale services: the code page, language drivers, string comparison and
// case mapping with and without a driver, locale format records.

#include <gtest/gtest.h>
#include <unicode/uchar.h>

#include <fstream>
#include <random>
#include <string>

#include "tabula/data_file.h"
#include "tabula/engine_error.h"
#include "tabula/field_types.h"
#include "tabula/file_session.h"
#include "tabula/locale.h"
#include "tabula/memory_file.h"
#include "engine/os_file.h"
#include "tabula/table_creator.h"
#include "framework/core/ini_file.h"
#include "tests/support/temp_dir.h"

namespace tabula {
namespace {

constexpr uint16_t kRussian = 0x0419;

// Windows-1251 text from a UTF-8 literal.
std::string W(const char* utf8) { return Utf8ToCp1251(utf8); }


TEST(CodePage, CyrillicBytesAndRoundTrip) {
  EXPECT_EQ(W("Ёё"), "\xA8\xB8");
  EXPECT_EQ(W("АЯая"), "\xC0\xDF\xE0\xFF");
  EXPECT_EQ(W("€"), "\x88");
  EXPECT_EQ(W("中"), "?");
  for (int b = 1; b < 256; ++b) {
    std::string one(1, static_cast<char>(b));
    EXPECT_EQ(Utf8ToCp1251(Cp1251ToUtf8(one)), one) << b;
  }
}

// Every place that compares names without regard to letter case folds by
// the one Windows-1251 table: field names, in-memory file names, names of
// files on disk and ini names agree, the letters outside the Cyrillic run
// (Ї, Ґ, Ў, Ё) included; characters without case never match another.
TEST(CodePage, NamesFoldByOneLetterCase) {
  InitializeEngine();
  testing_support::TempDir dir;
  const struct {
    const char* Upper;
    const char* Lower;
    bool Same;
  } kCases[] = {
      {"XЇЖАК", "xїжак", true}, {"XҐАНОК", "xґанок", true}, {"XЎЗОР", "xўзор", true}, {"XЁЖ", "xёж", true},
      {"ZEBRA", "zebra", true}, {"Я1", "я1", true}, {"X№1", "x№1", true}, {"XЇ1", "xІ1", false}, {"XA", "xА", false},
  };
  int n = 0;
  for (const auto& c : kCases) {
    const std::string upper = W(c.Upper);
    const std::string lower = W(c.Lower);
    SCOPED_TRACE(c.Lower);
    EXPECT_EQ(SameTextIgnoringCase(upper, lower), c.Same);
    EXPECT_EQ(fw::SameIniName(upper, lower), c.Same);
    EXPECT_EQ(TMemoryFileList::SameName(" " + upper + ".DAT", lower + ".dat "), c.Same);
    // Two fields whose names differ only in letter case are one name.
    TFieldDef a;
    a.Name = upper;
    a.FieldType = kFldInt32;
    TFieldDef b = a;
    b.Name = lower;
    b.FieldNo = 2;
    a.FieldNo = 1;
    int code = 0;
    try {
      CheckFieldDefs({a, b}, 0, 0, true, "t.DAT");
    } catch (const ETabulaEngineError& e) {
      code = e.Code();
    }
    EXPECT_EQ(code, c.Same ? int(kErrFieldName) : 0);
    // A file on disk named in upper case is found by its lower-case name.
    const std::string file = dir.File("f" + std::to_string(++n) + upper + ".DAT");
    { std::ofstream(file) << "x"; }
    const std::string asked = dir.File("f" + std::to_string(n) + lower + ".dat");
    EXPECT_EQ(OsFileExists(asked), c.Same) << OsResolvePath(asked);
  }
  ShutdownEngine();
}

TEST(LanguageDriver, InstalledLocales) {
  EXPECT_TRUE(IsLocaleInstalled(0, 0));  // no locale needed
  EXPECT_TRUE(IsLocaleInstalled(kRussian, 0));
  EXPECT_EQ(LocaleNameForIds(kRussian, 0), "ru_RU");
  EXPECT_EQ(LocaleNameForIds(0x0407, 1), "de_DE@collation=phonebook");
  EXPECT_FALSE(IsLocaleInstalled(0x1234, 0));
  EXPECT_EQ(TLanguageDriver::Find(0x1234, 0), nullptr);
  const TLanguageDriver* ru = TLanguageDriver::Find(kRussian, 0);
  ASSERT_NE(ru, nullptr);
  EXPECT_EQ(ru, TLanguageDriver::Find(kRussian, 0));  // cached
  EXPECT_EQ(ru->Lcid(), 0x0419u);
}

TEST(CompareStrings, WithAndWithoutLanguageDriver) {
  struct Case {
    const char* left;
    const char* right;
    bool caseInsensitive;
    size_t length;
    int withoutDriver;
    int russian;
  };
  const Case cases[] = {
      {"abc", "ABC", true, 0, 0, 0},
      {"абв", "АБВ", true, 0, 1, 0},     // without a driver only ASCII is folded
      {"абв", "АБВ", false, 0, 1, -1},   // lower case first in the locale
      {"ab", "abc", false, 0, -1, -1},   // a proper prefix sorts first
      {"ab", "abc", false, 2, 0, 0},     // ...and equals with a partial length
      {"ёж", "еж", false, 0, -1, 1},     // bytes: Ё (0xB8) below е; locale: е then ё
      {"ёж", "ез", false, 0, -1, -1},    // ё sorts with е, before з
      {"Ёлка", "ель", true, 0, -1, -1},  // Ё is е with a mark: к before ь
      {"ЁЖ", "ёж", true, 0, -1, 0},
      {"Я", "а", false, 0, -1, 1},       // bytes: Я (0xDF) below а (0xE0)
      {"", "", false, 0, 0, 0},
      {"", "a", false, 0, -1, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.left) + " / " + c.right);
    std::string l = W(c.left), r = W(c.right);
    EXPECT_EQ(CompareStrings(0, 0, l, c.caseInsensitive, c.length, r), c.withoutDriver);
    EXPECT_EQ(CompareStrings(0, 0, r, c.caseInsensitive, c.length, l), -c.withoutDriver);
    EXPECT_EQ(CompareStrings(kRussian, 0, l, c.caseInsensitive, c.length, r), c.russian);
    EXPECT_EQ(CompareStrings(kRussian, 0, r, c.caseInsensitive, c.length, l), -c.russian);
  }
  // Texts end at their first zero byte.
  EXPECT_EQ(CompareStrings(0, 0, std::string("ab\0x", 4), false, 0, "ab"), 0);
  EXPECT_EQ(CompareStrings(kRussian, 0, std::string("ab\0x", 4), false, 0, "ab"), 0);
  EXPECT_EQ(CompareBytes("\x01\xFF", "\x01\x02", 2), 1);
}

TEST(CompareStrings, RussianAlphabetOrder) {
  // The 33 letters in alphabetical order, Ё after Е.
  std::string alphabet = W("абвгдеёжзийклмнопрстуфхцчшщъыьэюя");
  ASSERT_EQ(alphabet.size(), 33u);
  for (size_t i = 0; i + 1 < alphabet.size(); ++i) {
    std::string a(1, alphabet[i]), b(1, alphabet[i + 1]);
    EXPECT_EQ(CompareStrings(kRussian, 0, a, false, 0, b), -1) << i;
    std::string upperA = UpperText(kRussian, 0, a);
    EXPECT_EQ(CompareStrings(kRussian, 0, upperA, true, 0, a), 0) << i;
  }
}

TEST(CompareStrings, UnequalWithoutTheCollatorOnlyWhereTheCollatorSaysSo) {
  const TLanguageDriver* ru = TLanguageDriver::Find(kRussian, 0);
  ASSERT_NE(ru, nullptr);
  // Every pair of one-byte texts, and random short texts over every byte
  // and over letters, digits and punctuation: whatever the shortcut calls
  // unequal, the collator does too.
  std::vector<std::string> texts;
  for (int b = 1; b < 256; ++b) texts.emplace_back(1, char(b));
  std::mt19937 rng(5);
  const std::string common = W("аеёиЕЁИйЙaAeE1 -.'") + "\xAD\x7F";
  for (int n = 0; n < 600; ++n) {
    std::string text;
    const size_t length = 1 + rng() % 3;
    for (size_t k = 0; k < length; ++k)
      text += n % 2 ? char(1 + rng() % 255) : common[rng() % common.size()];
    texts.push_back(text);
  }
  int shortcuts = 0;
  for (size_t i = 0; i < texts.size(); ++i) {
    for (size_t j = i; j < texts.size(); j += 1 + j % 3) {
      if (!ru->SurelyUnequal(texts[i], texts[j])) continue;
      ++shortcuts;
      ASSERT_NE(ru->Compare(texts[i], texts[j], false), 0) << i << " " << j;
    }
  }
  // It answers the common case: texts of letters, digits and spaces.
  EXPECT_GT(shortcuts, 10000);
  EXPECT_TRUE(ru->SurelyUnequal(W("Елка 12"), W("елка 12")));
  EXPECT_TRUE(ru->SurelyUnequal(W("дом 12а"), W("дом 12")));
  EXPECT_FALSE(ru->SurelyUnequal(W("дом"), W("дом")));
  EXPECT_FALSE(ru->SurelyUnequal("ab\x01", "ab"));  // a control character collates as nothing
}

TEST(CaseMapping, LocaleAndAscii) {
  EXPECT_EQ(UpperText(kRussian, 0, W("ёлка ґ abc")), W("ЁЛКА Ґ ABC"));
  EXPECT_EQ(LowerText(kRussian, 0, W("ЁЛКА ЇЖ ABC")), W("ёлка їж abc"));
  EXPECT_EQ(UpperText(0, 0, W("ёлка abc")), W("ёлка ABC"));
  EXPECT_EQ(LowerText(0, 0, W("ЁЛКА ABC")), W("ЁЛКА abc"));
  // µ has no upper-case form in the code page: it is left as it is.
  EXPECT_EQ(UpperText(kRussian, 0, W("µ")), W("µ"));
  // The text ends at its first zero byte.
  EXPECT_EQ(UpperText(kRussian, 0, std::string("a\0b", 3)), "A");
}

TEST(CaseMapping, KeyMappingIsHalfWidthPlusOptionalUpperCase) {
  const TLanguageDriver* ru = TLanguageDriver::Find(kRussian, 0);
  ASSERT_NE(ru, nullptr);
  for (int b = 0; b < 256; ++b) {
    auto byte = static_cast<uint8_t>(b);
    // No character of the code page has a full-width compatibility form,
    // so the half-width step keeps every byte.
    EXPECT_NE(u_getIntPropertyValue(Cp1251ToUnicode(byte), UCHAR_DECOMPOSITION_TYPE), U_DT_WIDE) << b;
    EXPECT_EQ(ru->KeyByte(byte, false), byte) << b;
    EXPECT_EQ(ru->KeyByte(byte, true), ru->UpperByte(byte)) << b;
  }
}

TEST(LocaleFormats, FixedDefaults) {
  const TLocaleFormats& f = DefaultLocaleFormats();
  EXPECT_EQ(f.CurrencyString, "$");
  EXPECT_EQ(f.ShortDateFormat, "M/d/yyyy");
  EXPECT_EQ(f.LongDateFormat, "dddd, MMMM dd, yyyy");
  EXPECT_EQ(f.ShortTimeFormat, "h:mm AMPM");
  EXPECT_EQ(f.LongTimeFormat, "h:mm:ss AMPM");
  EXPECT_EQ(f.ShortMonthNames[11], "Dec");
  EXPECT_EQ(f.LongDayNames[0], "Sunday");
  EXPECT_EQ(f.CurrencyDecimals, 2);
  EXPECT_EQ(LoadLocaleFormats(false, 0, 0), f);
  EXPECT_EQ(LoadLocaleFormats(false, 0x1234, 0), f);  // not installed: nothing better to offer
}

TEST(LocaleFormats, BuiltFromTableLocale) {
  TLocaleFormats us = LoadLocaleFormats(false, 0x0409, 0);
  EXPECT_EQ(us.ShortDateFormat, "M/d/yyyy");
  EXPECT_EQ(us.ShortTimeFormat, "h:mm AMPM");
  EXPECT_EQ(us.CurrencyString, "$");
  EXPECT_EQ(us.CurrencyFormat, 0);
  EXPECT_EQ(us.LongMonthNames[0], "January");

  TLocaleFormats ru = LoadLocaleFormats(false, kRussian, 0);
  EXPECT_EQ(ru.ThousandSeparator, '\xA0');  // no-break space
  EXPECT_EQ(ru.CurrencyFormat, 3);          // "1 $"
  EXPECT_EQ(ru.NegCurrencyFormat, 8);       // "-1 $"
  EXPECT_EQ(ru.CurrencyString, "RUB");      // the rouble sign has no Windows-1251 byte
  EXPECT_EQ(ru.LongMonthNames[0], W("январь"));
  EXPECT_EQ(ru.LongDayNames[0], W("воскресенье"));
  EXPECT_NE(ru.LongDateFormat.find("dddd"), std::string::npos);
  EXPECT_NE(ru.LongDateFormat.find("MMMM"), std::string::npos);
}

}  // namespace
}  // namespace tabula
