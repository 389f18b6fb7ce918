#pragma once
// Locale services on ICU: the language
// driver named by a table's language id and sort id (collation, case
// mapping, the key mapping of string fields), and the locale format record
// under which text is read.
//
// A table's language id (low 16 bits) and sort id (high 16 bits) form a
// Windows locale identifier; ICU's LCID tables turn it into an ICU locale.
// An identifier ICU cannot map is "not installed" (error 15878 at open).

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tabula/windows1251.h"

struct UCollator;

namespace tabula {

// ---- Language driver ----

// One table locale: a collator for case-sensitive and one for
// case-insensitive comparison, and byte tables for the case and key
// mappings. Drivers are created once per locale identifier and live until
// the process ends, so pointers to them stay valid; all operations are
// const and safe to call from several threads.
class TLanguageDriver {
 public:
  // The driver for a language id / sort id pair, or nullptr when langId is 0
  // or the identifier is not an installed locale.
  static const TLanguageDriver* Find(uint16_t langId, uint16_t sortId);

  uint32_t Lcid() const { return lcid_; }
  const std::string& LocaleName() const { return localeName_; }

  // Locale comparison of two Windows-1251 texts, each taken up to its first
  // zero byte; -1, 0 or 1. Case differences are ignored when caseInsensitive.
  int Compare(std::string_view left, std::string_view right, bool caseInsensitive) const;
  // The same for texts already cut at their first zero byte (none inside).
  int CompareWhole(std::string_view left, std::string_view right, bool caseInsensitive) const;
  // True when two texts (cut at their first zero byte) surely collate
  // unequal with case taken into account without asking the collator: their
  // bytes differ and every byte is one the collator tells apart alone.
  bool SurelyUnequal(std::string_view left, std::string_view right) const {
    if (left == right) return false;
    for (char c : left)
      if (!distinct_[static_cast<uint8_t>(c)]) return false;
    for (char c : right)
      if (!distinct_[static_cast<uint8_t>(c)]) return false;
    return true;
  }

  uint8_t UpperByte(uint8_t b) const { return upper_[b]; }
  uint8_t LowerByte(uint8_t b) const { return lower_[b]; }
  std::string Upper(std::string_view text) const;
  std::string Lower(std::string_view text) const;

  // The key mapping of a string field: the half-width form of each
  // character, upper-cased when the index is case-insensitive. Windows-1251
  // has no full-width characters, so the half-width step leaves its text as
  // it is; the table is still built from the Unicode width data.
  uint8_t KeyByte(uint8_t b, bool upperCase) const { return upperCase ? keyUpper_[b] : keyPlain_[b]; }

  ~TLanguageDriver();
  TLanguageDriver(const TLanguageDriver&) = delete;
  TLanguageDriver& operator=(const TLanguageDriver&) = delete;

 private:
  TLanguageDriver(uint32_t lcid, std::string localeName);
  void FindDistinctBytes();

  uint32_t lcid_;
  std::string localeName_;
  UCollator* collator_ = nullptr;      // tertiary strength: case matters
  UCollator* collatorNoCase_ = nullptr;  // secondary strength: case ignored
  std::array<uint8_t, 256> upper_{};
  std::array<uint8_t, 256> lower_{};
  std::array<uint8_t, 256> keyPlain_{};
  std::array<uint8_t, 256> keyUpper_{};
  // Bytes whose characters the case-sensitive collator tells apart one by
  // one (see FindDistinctBytes).
  std::array<bool, 256> distinct_{};
};

// The ICU locale name for a language id / sort id pair ("ru_RU"), empty when
// the pair is not an installed locale (and for language id 0).
std::string LocaleNameForIds(uint16_t langId, uint16_t sortId);
// True when the pair names an installed locale; language id 0 is "no
// locale" and counts as installed (nothing is needed).
bool IsLocaleInstalled(uint16_t langId, uint16_t sortId);

// ---- Comparison and case mapping ----

// Unsigned byte order over count bytes: -1, 0 or 1.
int CompareBytes(const void* left, const void* right, size_t count);

// The engine's string comparison. Texts are taken up to their first zero
// byte. With a language driver (langId != 0) the locale comparison, each
// text cut to `length` characters when length != 0. Without one, byte order
// over `length` bytes (or the longer text and its terminating zero when
// length is 0), upper-casing ASCII letters only when caseInsensitive;
// bytes beyond a text's end count as zero.
int CompareStrings(uint16_t langId, uint16_t sortId, std::string_view left, bool caseInsensitive,
                   size_t length, std::string_view right);

// Case mapping: with a language driver the locale's mapping, without one
// ASCII letters only. Texts keep their length (one byte per character).
std::string UpperText(uint16_t langId, uint16_t sortId, std::string_view text);
std::string LowerText(uint16_t langId, uint16_t sortId, std::string_view text);
// ASCII-only mapping (the "no language driver" rule), in place.
void UpperAscii(std::string& text);

// ---- Locale format record ----

// The number, date and time format settings under which text is read and
// written. Texts are Windows-1251; formats use the run time's letters
// (d dd ddd dddd, M MM MMM MMMM, yy yyyy, h hh, n/mm, ss, AMPM).
struct TLocaleFormats {
  std::string CurrencyString;
  uint8_t CurrencyFormat = 0;
  uint8_t NegCurrencyFormat = 0;
  char ThousandSeparator = ',';
  char DecimalSeparator = '.';
  uint8_t CurrencyDecimals = 2;
  char DateSeparator = '/';
  std::string ShortDateFormat;
  std::string LongDateFormat;
  char TimeSeparator = ':';
  std::string TimeAMString;
  std::string TimePMString;
  std::string ShortTimeFormat;
  std::string LongTimeFormat;
  std::array<std::string, 12> ShortMonthNames;
  std::array<std::string, 12> LongMonthNames;
  std::array<std::string, 7> ShortDayNames;  // Sunday first
  std::array<std::string, 7> LongDayNames;

  bool operator==(const TLocaleFormats&) const = default;
};

// The fixed settings used for tables without a language driver ("M/d/yyyy",
// '.' decimals, English names), whatever the user's locale.
const TLocaleFormats& DefaultLocaleFormats();

// Builds a format record. useThreadLocale: from the process's locale (ICU's
// default locale, taken from the environment). Otherwise from the table's
// locale when langId != 0, else the fixed defaults. Records built from a
// table locale are cached per identifier.
TLocaleFormats LoadLocaleFormats(bool useThreadLocale, uint16_t langId, uint16_t sortId);

// The process's current format record (starts as the process locale's).
// Both hold FormatSettingsLock() while they copy.
TLocaleFormats SaveFormatSettings();
void ApplyFormatSettings(const TLocaleFormats& formats);

// Installs a table's format record for the lifetime of the object and puts
// the saved one back when it ends, whatever happens in between.
class TFormatSettingsScope {
 public:
  explicit TFormatSettingsScope(const TLocaleFormats& formats);
  ~TFormatSettingsScope();
  TFormatSettingsScope(const TFormatSettingsScope&) = delete;
  TFormatSettingsScope& operator=(const TFormatSettingsScope&) = delete;

 private:
  TLocaleFormats saved_;
};

}  // namespace tabula
