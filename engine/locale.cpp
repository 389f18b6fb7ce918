#include "tabula/locale.h"

#include <unicode/ucnv.h>
#include <unicode/ucol.h>
#include <unicode/uchar.h>
#include <unicode/ucurr.h>
#include <unicode/udat.h>
#include <unicode/uloc.h>
#include <unicode/unorm2.h>
#include <unicode/unum.h>
#include <unicode/ustring.h>
#include <unicode/uset.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/engine_locks.h"

namespace tabula {

// ---------------------------------------------------------------------------
// Code page helpers
// ---------------------------------------------------------------------------

namespace {

// UTF-16 to Windows-1251; false when some character has no byte.
bool FromUtf16(const UChar* text, int32_t length, std::string& out) {
  out.clear();
  bool complete = true;
  for (int32_t i = 0; i < length; ++i) {
    uint8_t b;
    if (UnicodeToCp1251(static_cast<char16_t>(text[i]), b)) {
      out.push_back(static_cast<char>(b));
    } else {
      out.push_back('?');
      complete = false;
    }
  }
  return complete;
}

std::string_view UpToZero(std::string_view text) {
  size_t zero = text.find('\0');
  return zero == std::string_view::npos ? text : text.substr(0, zero);
}

}  // namespace

// ---------------------------------------------------------------------------
// Locale identifiers and language drivers
// ---------------------------------------------------------------------------

std::string LocaleNameForIds(uint16_t langId, uint16_t sortId) {
  if (langId == 0) return {};
  uint32_t lcid = (static_cast<uint32_t>(sortId) << 16) | langId;
  char name[ULOC_FULLNAME_CAPACITY] = {};
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = uloc_getLocaleForLCID(lcid, name, sizeof name, &status);
  if (U_FAILURE(status) || length <= 0 || status == U_STRING_NOT_TERMINATED_WARNING) return {};
  std::string result(name, static_cast<size_t>(length));
  if (result == "root") return {};
  return result;
}

bool IsLocaleInstalled(uint16_t langId, uint16_t sortId) {
  return langId == 0 || TLanguageDriver::Find(langId, sortId) != nullptr;
}

TLanguageDriver::TLanguageDriver(uint32_t lcid, std::string localeName)
    : lcid_(lcid), localeName_(std::move(localeName)) {
  UErrorCode status = U_ZERO_ERROR;
  // The platform the tables come from orders scripts the same way in every
  // locale (Latin before Cyrillic); some tailorings (Russian among them)
  // move their own script first. Index order must match the tables written
  // there, so every collator is opened without script reordering.
  auto open = [&](UCollationStrength strength) -> UCollator* {
    UErrorCode st = U_ZERO_ERROR;
    UCollator* collator = ucol_open(localeName_.c_str(), &st);
    if (U_FAILURE(st)) return nullptr;
    ucol_setStrength(collator, strength);
    const int32_t none = UCOL_REORDER_CODE_NONE;
    st = U_ZERO_ERROR;
    ucol_setReorderCodes(collator, &none, 1, &st);
    if (U_FAILURE(st)) {
      ucol_close(collator);
      return nullptr;
    }
    return collator;
  };
  collator_ = open(UCOL_TERTIARY);
  collatorNoCase_ = open(UCOL_SECONDARY);

  status = U_ZERO_ERROR;
  const UNormalizer2* nfkc = unorm2_getNFKCInstance(&status);
  if (U_FAILURE(status)) nfkc = nullptr;

  const std::array<char16_t, 256>& toUnicode = Cp1251UnicodeTable();
  for (int b = 0; b < 256; ++b) {
    UChar ch = toUnicode[b];
    auto mapOne = [&](bool upper) -> uint8_t {
      UChar out[8];
      UErrorCode st = U_ZERO_ERROR;
      int32_t n = upper ? u_strToUpper(out, 8, &ch, 1, localeName_.c_str(), &st)
                        : u_strToLower(out, 8, &ch, 1, localeName_.c_str(), &st);
      uint8_t mapped;
      if (U_SUCCESS(st) && n == 1 && UnicodeToCp1251(static_cast<char16_t>(out[0]), mapped)) return mapped;
      return static_cast<uint8_t>(b);
    };
    upper_[b] = mapOne(true);
    lower_[b] = mapOne(false);

    // Half-width form: a character whose compatibility decomposition is
    // <wide> maps to its narrow form when that has a byte in the code page.
    uint8_t narrow = static_cast<uint8_t>(b);
    if (nfkc && u_getIntPropertyValue(ch, UCHAR_DECOMPOSITION_TYPE) == U_DT_WIDE) {
      UChar out[8];
      UErrorCode st = U_ZERO_ERROR;
      int32_t n = unorm2_normalize(nfkc, &ch, 1, out, 8, &st);
      uint8_t mapped;
      if (U_SUCCESS(st) && n == 1 && UnicodeToCp1251(static_cast<char16_t>(out[0]), mapped)) narrow = mapped;
    }
    keyPlain_[b] = narrow;
  }
  for (int b = 0; b < 256; ++b) keyUpper_[b] = upper_[keyPlain_[b]];
  FindDistinctBytes();
}

// Printable ASCII and the letters of the code page are candidates. One
// stays when, under the case-sensitive collator, its character is no
// expansion, is in no contraction made only of candidates, has a primary
// weight, and collates unequal to every other candidate. Each such
// character then collates as one element of its own that differs from the
// others', and elements with a primary weight line up position by position
// at every level: two texts of such bytes collate equal only when their
// bytes are the same.
void TLanguageDriver::FindDistinctBytes() {
  if (collator_ == nullptr) return;
  const std::array<char16_t, 256>& toUnicode = Cp1251UnicodeTable();
  std::array<bool, 256> candidate{};
  std::array<bool, 65536> candidateChar{};
  for (int b = 0; b < 256; ++b) {
    candidate[size_t(b)] = (b >= 0x20 && b <= 0x7E) || b >= 0xC0 || b == 0xA8 || b == 0xB8;
    if (candidate[size_t(b)]) candidateChar[toUnicode[size_t(b)]] = true;
  }
  UErrorCode status = U_ZERO_ERROR;
  USet* contractions = uset_openEmpty();
  USet* expansions = uset_openEmpty();
  ucol_getContractionsAndExpansions(collator_, contractions, expansions, true, &status);
  if (U_FAILURE(status)) {
    uset_close(contractions);
    uset_close(expansions);
    return;
  }
  std::array<bool, 65536> inContraction{};
  const int32_t items = uset_getItemCount(contractions);
  for (int32_t i = 0; i < items; ++i) {
    UChar32 start = 0;
    UChar32 end = 0;
    UChar text[64];
    UErrorCode st = U_ZERO_ERROR;
    const int32_t length = uset_getItem(contractions, i, &start, &end, text, 64, &st);
    if (U_FAILURE(st) || length > 64) {
      // A contraction too long to look at: trust no candidate.
      uset_close(contractions);
      uset_close(expansions);
      return;
    }
    if (length == 0) {
      for (UChar32 c = start; c <= end && c < 65536; ++c) inContraction[size_t(c)] = true;
      continue;
    }
    const bool allCandidates = std::all_of(text, text + length, [&](UChar c) { return candidateChar[c]; });
    if (allCandidates)
      for (int32_t k = 0; k < length; ++k) inContraction[text[k]] = true;
  }
  std::vector<uint8_t> kept;
  for (int b = 0; b < 256; ++b) {
    if (!candidate[size_t(b)]) continue;
    const UChar ch = toUnicode[size_t(b)];
    if (inContraction[ch] || uset_contains(expansions, ch)) continue;
    uint8_t key[64];
    const int32_t keyLength = ucol_getSortKey(collator_, &ch, 1, key, int32_t(sizeof key));
    // A sort key starting with the level separator has no primary weight.
    if (keyLength <= 1 || keyLength > int32_t(sizeof key) || key[0] <= 1) continue;
    kept.push_back(uint8_t(b));
  }
  uset_close(contractions);
  uset_close(expansions);
  std::vector<bool> alone(kept.size(), true);
  for (size_t i = 0; i < kept.size(); ++i) {
    const UChar a = toUnicode[kept[i]];
    for (size_t j = i + 1; j < kept.size(); ++j) {
      const UChar b = toUnicode[kept[j]];
      if (ucol_strcoll(collator_, &a, 1, &b, 1) == UCOL_EQUAL) alone[i] = alone[j] = false;
    }
  }
  for (size_t i = 0; i < kept.size(); ++i) distinct_[kept[i]] = alone[i];
}

TLanguageDriver::~TLanguageDriver() {
  if (collator_) ucol_close(collator_);
  if (collatorNoCase_) ucol_close(collatorNoCase_);
}

const TLanguageDriver* TLanguageDriver::Find(uint16_t langId, uint16_t sortId) {
  if (langId == 0) return nullptr;
  uint32_t lcid = (static_cast<uint32_t>(sortId) << 16) | langId;
  // Most callers ask for the same table locale again and again.
  thread_local uint32_t lastLcid = 0;
  thread_local const TLanguageDriver* lastDriver = nullptr;
  if (lcid == lastLcid && lastLcid != 0) return lastDriver;

  static std::mutex registryLock;
  static std::map<uint32_t, std::unique_ptr<TLanguageDriver>> registry;
  std::lock_guard<std::mutex> guard(registryLock);
  auto it = registry.find(lcid);
  if (it == registry.end()) {
    std::unique_ptr<TLanguageDriver> driver;
    std::string name = LocaleNameForIds(langId, sortId);
    if (!name.empty()) {
      driver.reset(new TLanguageDriver(lcid, name));
      if (!driver->collator_ || !driver->collatorNoCase_) driver.reset();
    }
    it = registry.emplace(lcid, std::move(driver)).first;
  }
  lastLcid = lcid;
  lastDriver = it->second.get();
  return lastDriver;
}

int TLanguageDriver::Compare(std::string_view left, std::string_view right, bool caseInsensitive) const {
  return CompareWhole(UpToZero(left), UpToZero(right), caseInsensitive);
}

int TLanguageDriver::CompareWhole(std::string_view left, std::string_view right, bool caseInsensitive) const {
  // The same bytes collate equal: no conversion, no collator (an index walk
  // over equal keys compares little else).
  if (left == right) return 0;
  const std::array<char16_t, 256>& toUnicode = Cp1251UnicodeTable();
  // Keys and field values are at most a few hundred bytes: convert on the
  // stack and only fall back to the heap for longer texts.
  constexpr size_t kStack = 512;
  UChar leftStack[kStack];
  UChar rightStack[kStack];
  std::vector<UChar> leftHeap;
  std::vector<UChar> rightHeap;
  UChar* l = leftStack;
  UChar* r = rightStack;
  if (left.size() > kStack) { leftHeap.resize(left.size()); l = leftHeap.data(); }
  if (right.size() > kStack) { rightHeap.resize(right.size()); r = rightHeap.data(); }
  for (size_t i = 0; i < left.size(); ++i) l[i] = toUnicode[static_cast<uint8_t>(left[i])];
  for (size_t i = 0; i < right.size(); ++i) r[i] = toUnicode[static_cast<uint8_t>(right[i])];
  UCollationResult result = ucol_strcoll(caseInsensitive ? collatorNoCase_ : collator_, l,
                                         static_cast<int32_t>(left.size()), r,
                                         static_cast<int32_t>(right.size()));
  return result == UCOL_LESS ? -1 : (result == UCOL_GREATER ? 1 : 0);
}

std::string TLanguageDriver::Upper(std::string_view text) const {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(upper_[static_cast<uint8_t>(c)]);
  return out;
}

std::string TLanguageDriver::Lower(std::string_view text) const {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(lower_[static_cast<uint8_t>(c)]);
  return out;
}

// ---------------------------------------------------------------------------
// Comparison and case mapping
// ---------------------------------------------------------------------------

int CompareBytes(const void* left, const void* right, size_t count) {
  int result = count == 0 ? 0 : std::memcmp(left, right, count);
  return result < 0 ? -1 : (result > 0 ? 1 : 0);
}

int CompareStrings(uint16_t langId, uint16_t sortId, std::string_view left, bool caseInsensitive,
                   size_t length, std::string_view right) {
  left = UpToZero(left);
  right = UpToZero(right);
  if (langId != 0) {
    if (const TLanguageDriver* driver = TLanguageDriver::Find(langId, sortId)) {
      if (length != 0) {
        left = left.substr(0, std::min(length, left.size()));
        right = right.substr(0, std::min(length, right.size()));
      }
      return driver->Compare(left, right, caseInsensitive);
    }
    // A locale that is not installed never gets this far for an open table
    // (it is refused with 15878); anything else falls back to byte order.
  }
  size_t count = length != 0 ? length : std::max(left.size(), right.size()) + 1;
  for (size_t i = 0; i < count; ++i) {
    uint8_t a = i < left.size() ? static_cast<uint8_t>(left[i]) : 0;
    uint8_t b = i < right.size() ? static_cast<uint8_t>(right[i]) : 0;
    if (caseInsensitive) {
      if (a >= 'a' && a <= 'z') a = static_cast<uint8_t>(a - 'a' + 'A');
      if (b >= 'a' && b <= 'z') b = static_cast<uint8_t>(b - 'a' + 'A');
    }
    if (a != b) return a < b ? -1 : 1;
    if (a == 0) return 0;  // both texts ended
  }
  return 0;
}

void UpperAscii(std::string& text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
}

std::string UpperText(uint16_t langId, uint16_t sortId, std::string_view text) {
  text = UpToZero(text);
  if (const TLanguageDriver* driver = TLanguageDriver::Find(langId, sortId)) return driver->Upper(text);
  std::string out(text);
  UpperAscii(out);
  return out;
}

std::string LowerText(uint16_t langId, uint16_t sortId, std::string_view text) {
  text = UpToZero(text);
  if (const TLanguageDriver* driver = TLanguageDriver::Find(langId, sortId)) return driver->Lower(text);
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// ---------------------------------------------------------------------------
// Locale format records
// ---------------------------------------------------------------------------

namespace {

TLocaleFormats MakeDefaults() {
  TLocaleFormats f;
  f.CurrencyString = "$";
  f.CurrencyFormat = 0;
  f.NegCurrencyFormat = 0;
  f.ThousandSeparator = ',';
  f.DecimalSeparator = '.';
  f.CurrencyDecimals = 2;
  f.DateSeparator = '/';
  f.ShortDateFormat = "M/d/yyyy";
  f.LongDateFormat = "dddd, MMMM dd, yyyy";
  f.TimeSeparator = ':';
  f.TimeAMString = "AM";
  f.TimePMString = "PM";
  f.ShortTimeFormat = "h:mm AMPM";
  f.LongTimeFormat = "h:mm:ss AMPM";
  f.ShortMonthNames = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  f.LongMonthNames = {"January", "February", "March",     "April",   "May",      "June",
                      "July",    "August",   "September", "October", "November", "December"};
  f.ShortDayNames = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  f.LongDayNames = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
  return f;
}

// A one-character setting from ICU text: the single Windows-1251 byte, or
// the fallback when the text is not exactly one such character.
char OneChar(const UChar* text, int32_t length, char fallback) {
  uint8_t b;
  if (length == 1 && UnicodeToCp1251(static_cast<char16_t>(text[0]), b) && b != 0) return static_cast<char>(b);
  return fallback;
}

std::u16string DatePattern(UDateFormatStyle timeStyle, UDateFormatStyle dateStyle, const char* locale) {
  UErrorCode status = U_ZERO_ERROR;
  UDateFormat* format = udat_open(timeStyle, dateStyle, locale, nullptr, 0, nullptr, 0, &status);
  if (U_FAILURE(status)) return {};
  UChar buffer[256];
  int32_t n = udat_toPattern(format, false, buffer, 256, &status);
  udat_close(format);
  if (U_FAILURE(status) || n < 0 || n > 256) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(buffer), static_cast<size_t>(n));
}

bool IsPatternLetter(char16_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// An ICU date pattern in the run time's letters: years are always written
// with four digits, months and days keep their width, weekday names become
// ddd/dddd, eras and other fields are dropped; quoted text stays quoted.
std::string ConvertDatePattern(const std::u16string& pattern) {
  std::string out;
  size_t i = 0;
  while (i < pattern.size()) {
    char16_t c = pattern[i];
    if (c == '\'') {
      size_t close = pattern.find('\'', i + 1);
      if (close == i + 1) { out += "''"; i += 2; continue; }  // '' is one quote
      if (close == std::u16string::npos) close = pattern.size();
      std::string literal;
      FromUtf16(reinterpret_cast<const UChar*>(pattern.data() + i + 1), static_cast<int32_t>(close - i - 1), literal);
      out += '\'' + literal + '\'';
      i = close + 1;
      continue;
    }
    if (IsPatternLetter(c)) {
      size_t count = 1;
      while (i + count < pattern.size() && pattern[i + count] == c) ++count;
      i += count;
      switch (c) {
        case 'y': case 'Y': case 'u': out += "yyyy"; break;
        case 'M': case 'L': out += count == 1 ? "M" : count == 2 ? "MM" : count == 3 ? "MMM" : "MMMM"; break;
        case 'd': out += count == 1 ? "d" : "dd"; break;
        case 'E': case 'c': case 'e': out += count >= 4 ? "dddd" : "ddd"; break;
        default: break;  // era and the like: dropped
      }
      continue;
    }
    std::string one;
    UChar ch = c;
    FromUtf16(&ch, 1, one);
    out += one;
    ++i;
  }
  // Dropping a field can leave blanks or commas at either end.
  while (!out.empty() && (out.back() == ' ' || out.back() == ',')) out.pop_back();
  size_t first = out.find_first_not_of(" ,");
  return first == std::string::npos ? std::string() : out.substr(first);
}

// The first separator between two fields of a pattern (outside quotes).
char PatternSeparator(const std::u16string& pattern, char fallback) {
  bool inQuote = false;
  bool seenField = false;
  for (char16_t c : pattern) {
    if (c == '\'') { inQuote = !inQuote; continue; }
    if (inQuote) continue;
    if (IsPatternLetter(c)) { seenField = true; continue; }
    if (seenField && c != ' ' && c != 0xA0 && c != 0x202F) {
      UChar ch = c;
      return OneChar(&ch, 1, fallback);
    }
  }
  return fallback;
}

// Windows currency format codes from an ICU currency pattern: 0 "$1",
// 1 "1$", 2 "$ 1", 3 "1 $"; negative formats for the implicit minus sign and
// for parentheses.
void CurrencyFormats(const std::u16string& pattern, uint8_t& positive, uint8_t& negative) {
  std::u16string positivePart = pattern.substr(0, pattern.find(';'));
  size_t symbol = positivePart.find(u'\u00A4');
  size_t digit = positivePart.find_first_of(u"#0");
  positive = 0;
  negative = 1;
  if (symbol == std::u16string::npos || digit == std::u16string::npos) return;
  auto isSpace = [](char16_t c) { return c == ' ' || c == 0xA0 || c == 0x202F; };
  bool before = symbol < digit;
  bool spaced;
  if (before) {
    spaced = symbol + 1 < positivePart.size() && isSpace(positivePart[symbol + 1]);
  } else {
    spaced = symbol > 0 && isSpace(positivePart[symbol - 1]);
  }
  positive = before ? (spaced ? 2 : 0) : (spaced ? 3 : 1);
  static const uint8_t kMinus[4] = {1, 5, 9, 8};
  static const uint8_t kParens[4] = {0, 4, 14, 15};
  size_t semicolon = pattern.find(';');
  bool parens = semicolon != std::u16string::npos && semicolon + 1 < pattern.size() && pattern[semicolon + 1] == '(';
  negative = parens ? kParens[positive] : kMinus[positive];
}

std::string IcuSymbol(UDateFormat* format, UDateFormatSymbolType type, int32_t index) {
  UChar buffer[128];
  UErrorCode status = U_ZERO_ERROR;
  int32_t n = udat_getSymbols(format, type, index, buffer, 128, &status);
  std::string out;
  if (U_SUCCESS(status) && n > 0 && n <= 128) FromUtf16(buffer, n, out);
  return out;
}

TLocaleFormats FormatsFromLocale(const std::string& locale) {
  TLocaleFormats f = MakeDefaults();
  const char* name = locale.c_str();
  UErrorCode status = U_ZERO_ERROR;
  UChar buffer[256];

  // Numbers.
  if (UNumberFormat* number = unum_open(UNUM_DECIMAL, nullptr, 0, name, nullptr, &status); U_SUCCESS(status)) {
    status = U_ZERO_ERROR;
    int32_t n = unum_getSymbol(number, UNUM_DECIMAL_SEPARATOR_SYMBOL, buffer, 256, &status);
    if (U_SUCCESS(status)) f.DecimalSeparator = OneChar(buffer, n, '.');
    status = U_ZERO_ERROR;
    n = unum_getSymbol(number, UNUM_GROUPING_SEPARATOR_SYMBOL, buffer, 256, &status);
    if (U_SUCCESS(status)) f.ThousandSeparator = OneChar(buffer, n, ',');
    unum_close(number);
  }

  // Currency.
  status = U_ZERO_ERROR;
  if (UNumberFormat* currency = unum_open(UNUM_CURRENCY, nullptr, 0, name, nullptr, &status); U_SUCCESS(status)) {
    status = U_ZERO_ERROR;
    int32_t n = unum_getSymbol(currency, UNUM_CURRENCY_SYMBOL, buffer, 256, &status);
    std::string symbol;
    bool complete = U_SUCCESS(status) && n > 0 && n <= 256 && FromUtf16(buffer, n, symbol);
    UChar iso[4] = {};
    UErrorCode isoStatus = U_ZERO_ERROR;
    int32_t isoLength = ucurr_forLocale(name, iso, 4, &isoStatus);
    if (complete) {
      f.CurrencyString = symbol;
    } else if (U_SUCCESS(isoStatus) && isoLength == 3) {
      // The symbol has no Windows-1251 form (for example the rouble sign):
      // the ISO code stands in for it.
      FromUtf16(iso, 3, f.CurrencyString);
    }
    if (U_SUCCESS(isoStatus) && isoLength == 3) {
      UErrorCode digitsStatus = U_ZERO_ERROR;
      int32_t digits = ucurr_getDefaultFractionDigits(iso, &digitsStatus);
      if (U_SUCCESS(digitsStatus) && digits >= 0 && digits <= 9) f.CurrencyDecimals = static_cast<uint8_t>(digits);
    }
    status = U_ZERO_ERROR;
    n = unum_toPattern(currency, false, buffer, 256, &status);
    if (U_SUCCESS(status) && n > 0 && n <= 256)
      CurrencyFormats(std::u16string(reinterpret_cast<const char16_t*>(buffer), static_cast<size_t>(n)),
                      f.CurrencyFormat, f.NegCurrencyFormat);
    unum_close(currency);
  }

  // Dates.
  std::u16string shortDate = DatePattern(UDAT_NONE, UDAT_SHORT, name);
  std::u16string longDate = DatePattern(UDAT_NONE, UDAT_FULL, name);
  std::u16string time = DatePattern(UDAT_MEDIUM, UDAT_NONE, name);
  if (!shortDate.empty()) {
    f.DateSeparator = PatternSeparator(shortDate, '/');
    std::string converted = ConvertDatePattern(shortDate);
    if (!converted.empty()) f.ShortDateFormat = converted;
  }
  if (!longDate.empty()) {
    std::string converted = ConvertDatePattern(longDate);
    if (!converted.empty()) f.LongDateFormat = converted;
  }

  // Times: hour with or without leading zero, " AMPM" for 12-hour clocks.
  if (!time.empty()) {
    f.TimeSeparator = PatternSeparator(time, ':');
    bool leadingZero = time.find(u"HH") != std::u16string::npos || time.find(u"hh") != std::u16string::npos ||
                       time.find(u"KK") != std::u16string::npos || time.find(u"kk") != std::u16string::npos;
    bool twelveHour = time.find(u'h') != std::u16string::npos || time.find(u'K') != std::u16string::npos;
    std::string hour = leadingZero ? "hh" : "h";
    std::string suffix = twelveHour ? " AMPM" : "";
    f.ShortTimeFormat = hour + ":mm" + suffix;
    f.LongTimeFormat = hour + ":mm:ss" + suffix;
  }

  status = U_ZERO_ERROR;
  if (UDateFormat* symbols = udat_open(UDAT_SHORT, UDAT_SHORT, name, nullptr, 0, nullptr, 0, &status);
      U_SUCCESS(status)) {
    auto take = [&](UDateFormatSymbolType type, int32_t index, std::string& target) {
      std::string value = IcuSymbol(symbols, type, index);
      if (!value.empty()) target = value;
    };
    take(UDAT_AM_PMS, 0, f.TimeAMString);
    take(UDAT_AM_PMS, 1, f.TimePMString);
    for (int m = 0; m < 12; ++m) {
      take(UDAT_STANDALONE_SHORT_MONTHS, m, f.ShortMonthNames[m]);
      take(UDAT_STANDALONE_MONTHS, m, f.LongMonthNames[m]);
    }
    for (int d = 0; d < 7; ++d) {  // ICU numbers the weekdays from 1 = Sunday
      take(UDAT_STANDALONE_SHORT_WEEKDAYS, d + 1, f.ShortDayNames[d]);
      take(UDAT_STANDALONE_WEEKDAYS, d + 1, f.LongDayNames[d]);
    }
    udat_close(symbols);
  }
  return f;
}

struct TProcessFormats {
  bool initialized = false;
  TLocaleFormats formats;
};

TProcessFormats& ProcessFormats() {
  static TProcessFormats state;
  return state;
}

}  // namespace

const TLocaleFormats& DefaultLocaleFormats() {
  static const TLocaleFormats defaults = MakeDefaults();
  return defaults;
}

TLocaleFormats LoadLocaleFormats(bool useThreadLocale, uint16_t langId, uint16_t sortId) {
  if (useThreadLocale) return FormatsFromLocale(uloc_getDefault());
  if (langId == 0) return DefaultLocaleFormats();
  std::string name = LocaleNameForIds(langId, sortId);
  if (name.empty()) return DefaultLocaleFormats();
  static std::mutex cacheLock;
  static std::map<uint32_t, TLocaleFormats> cache;
  uint32_t lcid = (static_cast<uint32_t>(sortId) << 16) | langId;
  std::lock_guard<std::mutex> guard(cacheLock);
  auto it = cache.find(lcid);
  if (it == cache.end()) it = cache.emplace(lcid, FormatsFromLocale(name)).first;
  return it->second;
}

TLocaleFormats SaveFormatSettings() {
  std::lock_guard<std::recursive_mutex> guard(FormatSettingsLock());
  TProcessFormats& state = ProcessFormats();
  if (!state.initialized) {
    state.formats = LoadLocaleFormats(true, 0, 0);
    state.initialized = true;
  }
  return state.formats;
}

void ApplyFormatSettings(const TLocaleFormats& formats) {
  std::lock_guard<std::recursive_mutex> guard(FormatSettingsLock());
  TProcessFormats& state = ProcessFormats();
  state.formats = formats;
  state.initialized = true;
}

TFormatSettingsScope::TFormatSettingsScope(const TLocaleFormats& formats) : saved_(SaveFormatSettings()) {
  ApplyFormatSettings(formats);
}

TFormatSettingsScope::~TFormatSettingsScope() { ApplyFormatSettings(saved_); }

}  // namespace tabula
