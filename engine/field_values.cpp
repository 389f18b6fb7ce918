#include "tabula/field_values.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <ctime>
#include <limits>

#include "tabula/field_types.h"
#include "framework/core/exceptions.h"

namespace tabula {

namespace {

using int128 = __int128;

constexpr int64_t kPow10[] = {1,          10,          100,          1000,          10000,
                              100000,     1000000,     10000000,     100000000,     1000000000,
                              10000000000LL};

int ClampScale(int scale) { return scale < 0 ? 0 : (scale > 4 ? 4 : scale); }

[[noreturn]] void RaiseConvert(std::string_view text, const char* what) {
  throw fw::EConvertError("'" + std::string(text) + "' " + what);
}

[[noreturn]] void RaiseFloat(std::string_view text) { RaiseConvert(text, "is not a valid floating point value"); }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

// A decimal number taken apart: value = sign * digits * 10^exponent.
struct TDecimal {
  bool negative = false;
  std::string digits;  // without leading zeros; empty = zero
  int exponent = 0;
};

// blanks [+|-] digits [decimal-separator digits] [(E|e) [+|-] digits] blanks
bool ParseDecimal(std::string_view text, char decimalSeparator, TDecimal& out) {
  text = Trim(text);
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) out.negative = text[i++] == '-';
  bool anyDigit = false;
  int fraction = 0;
  bool inFraction = false;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c >= '0' && c <= '9') {
      anyDigit = true;
      if (!(out.digits.empty() && c == '0')) out.digits.push_back(c);
      if (inFraction) ++fraction;
    } else if (c == decimalSeparator && !inFraction) {
      inFraction = true;
    } else {
      break;
    }
  }
  if (!anyDigit) return false;
  long exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool expNegative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) expNegative = text[i++] == '-';
    size_t start = i;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
      if (exponent < 100000) exponent = exponent * 10 + (text[i] - '0');
    }
    if (i == start) return false;
    if (expNegative) exponent = -exponent;
  }
  if (i != text.size()) return false;
  out.exponent = static_cast<int>(exponent) - fraction;
  return true;
}

// Unsigned digits times 10^shift, rounded half away from zero when shift is
// negative; false when the result exceeds `limit`.
bool ScaleDigits(const std::string& digits, int shift, uint64_t limit, uint64_t& result) {
  int keep = static_cast<int>(digits.size()) + shift;  // digits before the cut
  int128 value = 0;
  for (int i = 0; i < keep && i < static_cast<int>(digits.size()); ++i) {
    value = value * 10 + (digits[static_cast<size_t>(i)] - '0');
    if (value > static_cast<int128>(limit)) return false;
  }
  for (int i = static_cast<int>(digits.size()); i < keep; ++i) {
    value *= 10;
    if (value > static_cast<int128>(limit)) return false;
  }
  if (keep >= 0 && keep < static_cast<int>(digits.size()) && digits[static_cast<size_t>(keep)] >= '5') ++value;
  if (value > static_cast<int128>(limit)) return false;
  result = static_cast<uint64_t>(value);
  return true;
}

// days since 1970-01-01 of a proleptic Gregorian date
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

constexpr int64_t kDayNumberOfEpoch = 719163;  // day number of 1970-01-01

// ---- Date and time scanning ----

class TScanner {
 public:
  explicit TScanner(std::string_view text) : text_(text) {}
  void SkipBlanks() {
    while (pos_ < text_.size() && IsBlank(text_[pos_])) ++pos_;
  }
  bool AtEnd() const { return pos_ >= text_.size(); }
  size_t Pos() const { return pos_; }
  void SetPos(size_t pos) { pos_ = pos; }
  // digits; `length` gets how many there were
  bool Number(int& value, int& length) {
    SkipBlanks();
    value = 0;
    length = 0;
    while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') {
      if (length >= 9) return false;
      value = value * 10 + (text_[pos_] - '0');
      ++pos_;
      ++length;
    }
    return length > 0;
  }
  bool Char(char c) {
    SkipBlanks();
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool Word(std::string_view word) {
    SkipBlanks();
    if (word.empty() || text_.size() - pos_ < word.size()) return false;
    if (!EqualsNoCase(text_.substr(pos_, word.size()), word)) return false;
    pos_ += word.size();
    return true;
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

enum class TDateOrder { MDY, DMY, YMD };

TDateOrder DateOrder(const std::string& format) {
  for (char c : format) {
    switch (c) {
      case 'd': case 'D': return TDateOrder::DMY;
      case 'm': case 'M': return TDateOrder::MDY;
      case 'y': case 'Y': return TDateOrder::YMD;
      default: break;
    }
  }
  return TDateOrder::MDY;
}

int CurrentYear() {
  int year, month, day;
  DecodeDayNumber(TodayDayNumber(), year, month, day);
  return year;
}

bool ScanDate(TScanner& scanner, const TLocaleFormats& formats, int32_t& dayNumber) {
  int n1, n2, n3 = 0, l1, l2, l3 = 0;
  if (!scanner.Number(n1, l1) || !scanner.Char(formats.DateSeparator) || !scanner.Number(n2, l2)) return false;
  bool hasThird = false;
  size_t afterSecond = scanner.Pos();
  if (scanner.Char(formats.DateSeparator)) {
    if (scanner.Number(n3, l3)) hasThird = true;
    else scanner.SetPos(afterSecond);
  }
  TDateOrder order = DateOrder(formats.ShortDateFormat);
  int year, month, day, yearLength;
  if (hasThird) {
    switch (order) {
      case TDateOrder::MDY: month = n1; day = n2; year = n3; yearLength = l3; break;
      case TDateOrder::DMY: day = n1; month = n2; year = n3; yearLength = l3; break;
      default: year = n1; yearLength = l1; month = n2; day = n3; break;
    }
    if (yearLength <= 2) {
      // Two-digit years fall in the hundred years beginning 50 years ago.
      int windowStart = CurrentYear() - 50;
      int century = windowStart - windowStart % 100;
      year += century;
      if (year < windowStart) year += 100;
    }
  } else {
    year = CurrentYear();
    if (order == TDateOrder::DMY) { day = n1; month = n2; }
    else { month = n1; day = n2; }
  }
  if (!IsValidDate(year, month, day)) return false;
  dayNumber = EncodeDayNumber(year, month, day);
  return true;
}

bool ScanAmPm(TScanner& scanner, const TLocaleFormats& formats, int& baseHour) {
  if (scanner.Word(formats.TimeAMString) || scanner.Word("AM")) { baseHour = 0; return true; }
  if (scanner.Word(formats.TimePMString) || scanner.Word("PM")) { baseHour = 12; return true; }
  return false;
}

bool ScanTime(TScanner& scanner, const TLocaleFormats& formats, int32_t& timeMs) {
  int baseHour = -1;
  ScanAmPm(scanner, formats, baseHour);
  int hour, minute = 0, second = 0, ms = 0, length;
  if (!scanner.Number(hour, length)) return false;
  if (scanner.Char(formats.TimeSeparator)) {
    if (!scanner.Number(minute, length)) return false;
    if (scanner.Char(formats.TimeSeparator)) {
      if (!scanner.Number(second, length)) return false;
      if (scanner.Char(formats.DecimalSeparator)) {
        if (!scanner.Number(ms, length)) return false;
      }
    }
  }
  if (baseHour < 0) ScanAmPm(scanner, formats, baseHour);
  if (baseHour >= 0) {
    if (hour == 0 || hour > 12) return false;
    if (hour == 12) hour = 0;
    hour += baseHour;
  }
  if (hour >= 24 || minute >= 60 || second >= 60 || ms >= 1000) return false;
  timeMs = EncodeTimeMs(hour, minute, second, ms);
  return true;
}

bool LocalNow(std::tm& parts, int& millisecond) {
  auto now = std::chrono::system_clock::now();
  std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  auto sinceEpoch = now.time_since_epoch();
  millisecond = static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count() % 1000);
  if (millisecond < 0) millisecond += 1000;
  return localtime_r(&seconds, &parts) != nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// BCD
// ---------------------------------------------------------------------------

TCurrency RoundCurrency(int scale, TCurrency value) {
  scale = ClampScale(scale);
  if (value == 0 || scale == 4) return value;
  int64_t unit = kPow10[4 - scale];
  int128 quotient = value / unit;
  int64_t remainder = value % unit;
  int64_t absRemainder = remainder < 0 ? -remainder : remainder;
  if (absRemainder * 2 >= unit) quotient += value < 0 ? -1 : 1;
  int128 result = quotient * unit;
  if (result > std::numeric_limits<int64_t>::max() || result < std::numeric_limits<int64_t>::min())
    throw fw::EConvertError("Currency value out of range");
  return static_cast<TCurrency>(result);
}

int64_t CurrencyToBcd(int scale, TCurrency value) {
  scale = ClampScale(scale);
  TCurrency rounded = RoundCurrency(scale, value);
  bool negative = rounded < 0;
  uint64_t magnitude = negative ? static_cast<uint64_t>(0) - static_cast<uint64_t>(rounded)
                                : static_cast<uint64_t>(rounded);
  unsigned __int128 stored = static_cast<unsigned __int128>(magnitude / static_cast<uint64_t>(kPow10[4 - scale])) * 10 +
                             static_cast<unsigned>(scale);
  if (stored > static_cast<unsigned __int128>(std::numeric_limits<int64_t>::max()))
    throw fw::EConvertError("BCD value out of range");
  int64_t result = static_cast<int64_t>(stored);
  return negative ? -result : result;
}

TCurrency BcdToCurrency(int64_t stored) {
  bool negative = stored < 0;
  uint64_t magnitude = negative ? static_cast<uint64_t>(0) - static_cast<uint64_t>(stored)
                                : static_cast<uint64_t>(stored);
  int scale = static_cast<int>(magnitude % 10);
  uint64_t digits = magnitude / 10;
  unsigned __int128 value;
  if (scale <= 4) {
    value = static_cast<unsigned __int128>(digits) * static_cast<uint64_t>(kPow10[4 - scale]);
  } else {
    uint64_t divisor = static_cast<uint64_t>(kPow10[scale - 4]);
    value = digits / divisor;
    if ((digits % divisor) * 2 >= divisor) ++value;
  }
  if (value > static_cast<unsigned __int128>(std::numeric_limits<int64_t>::max()))
    throw fw::EConvertError("BCD value out of range");
  int64_t result = static_cast<int64_t>(value);
  return negative ? -result : result;
}

double BcdToFloat(int64_t stored) {
  bool negative = stored < 0;
  uint64_t magnitude = negative ? static_cast<uint64_t>(0) - static_cast<uint64_t>(stored)
                                : static_cast<uint64_t>(stored);
  int scale = static_cast<int>(magnitude % 10);
  // Through decimal text, so the double is the one nearest the decimal value.
  std::string text = std::to_string(magnitude / 10) + "e-" + std::to_string(scale);
  double value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return negative ? -value : value;
}

int CompareBcd(int64_t left, int64_t right) {
  auto widen = [](int64_t stored) -> int128 {
    bool negative = stored < 0;
    uint64_t magnitude = negative ? static_cast<uint64_t>(0) - static_cast<uint64_t>(stored)
                                  : static_cast<uint64_t>(stored);
    int scale = static_cast<int>(magnitude % 10);
    int128 value = static_cast<int128>(magnitude / 10) * kPow10[9 - scale];
    return negative ? -value : value;
  };
  int128 a = widen(left), b = widen(right);
  return a < b ? -1 : (a > b ? 1 : 0);
}

// ---------------------------------------------------------------------------
// Dates and times
// ---------------------------------------------------------------------------

bool IsValidDate(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  int limit = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
  return day <= limit;
}

int32_t EncodeDayNumber(int year, int month, int day) {
  return static_cast<int32_t>(DaysFromCivil(year, month, day) + kDayNumberOfEpoch);
}

void DecodeDayNumber(int32_t dayNumber, int& year, int& month, int& day) {
  int64_t z = static_cast<int64_t>(dayNumber) - kDayNumberOfEpoch + 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t y = yoe + era * 400;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(y + (month <= 2));
}

int32_t EncodeTimeMs(int hour, int minute, int second, int millisecond) {
  return ((hour * 60 + minute) * 60 + second) * 1000 + millisecond;
}

double EncodeTimestamp(int32_t dayNumber, int32_t timeMs) {
  return static_cast<double>(dayNumber) * static_cast<double>(kMsPerDay) + timeMs;
}

void SplitTimestamp(double timestamp, int32_t& dayNumber, int32_t& timeMs) {
  double rounded = std::round(timestamp);
  if (!std::isfinite(rounded) || std::fabs(rounded) > 9.0e17) {
    dayNumber = 0;
    timeMs = 0;
    return;
  }
  auto ms = static_cast<int64_t>(rounded);
  int64_t day = ms / kMsPerDay;
  int64_t rest = ms % kMsPerDay;
  if (rest < 0) {
    rest += kMsPerDay;
    --day;
  }
  dayNumber = static_cast<int32_t>(day);
  timeMs = static_cast<int32_t>(rest);
}

int32_t TodayDayNumber() {
  std::tm parts{};
  int ms;
  LocalNow(parts, ms);
  return EncodeDayNumber(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday);
}

int32_t NowTimeMs() {
  std::tm parts{};
  int ms;
  LocalNow(parts, ms);
  return EncodeTimeMs(parts.tm_hour, parts.tm_min, parts.tm_sec > 59 ? 59 : parts.tm_sec, ms);
}

double NowTimestamp() {
  std::tm parts{};
  int ms;
  LocalNow(parts, ms);
  return EncodeTimestamp(EncodeDayNumber(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday),
                         EncodeTimeMs(parts.tm_hour, parts.tm_min, parts.tm_sec > 59 ? 59 : parts.tm_sec, ms));
}

// ---------------------------------------------------------------------------
// Text to value
// ---------------------------------------------------------------------------

bool TextToBoolean(std::string_view text) {
  if (EqualsNoCase(text, "TRUE")) return true;
  if (EqualsNoCase(text, "FALSE")) return false;
  RaiseConvert(text, "is not a valid boolean value");
}

int64_t TextToInteger(std::string_view text) {
  std::string_view trimmed = Trim(text);
  size_t i = 0;
  bool negative = false;
  if (i < trimmed.size() && (trimmed[i] == '+' || trimmed[i] == '-')) negative = trimmed[i++] == '-';
  if (i == trimmed.size()) RaiseConvert(text, "is not a valid integer value");
  uint64_t limit = negative ? static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + 1
                            : static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  uint64_t value = 0;
  for (; i < trimmed.size(); ++i) {
    char c = trimmed[i];
    if (c < '0' || c > '9') RaiseConvert(text, "is not a valid integer value");
    unsigned digit = static_cast<unsigned>(c - '0');
    if (value > (limit - digit) / 10) RaiseConvert(text, "is not a valid integer value");
    value = value * 10 + digit;
  }
  return negative ? static_cast<int64_t>(static_cast<uint64_t>(0) - value) : static_cast<int64_t>(value);
}

double TextToFloat(std::string_view text, const TLocaleFormats& formats) {
  TDecimal decimal;
  if (!ParseDecimal(text, formats.DecimalSeparator, decimal)) RaiseFloat(text);
  if (decimal.digits.empty()) return decimal.negative ? -0.0 : 0.0;
  std::string ascii = decimal.digits + "e" + std::to_string(decimal.exponent);
  double value = 0;
  auto [end, error] = std::from_chars(ascii.data(), ascii.data() + ascii.size(), value);
  if (error == std::errc::result_out_of_range) {
    // Underflow reads as zero; overflow is not a number this system can hold.
    if (decimal.exponent > 0) RaiseFloat(text);
    value = 0;
  } else if (error != std::errc() || end != ascii.data() + ascii.size()) {
    RaiseFloat(text);
  }
  return decimal.negative ? -value : value;
}

TCurrency TextToCurrency(std::string_view text, const TLocaleFormats& formats) {
  TDecimal decimal;
  if (!ParseDecimal(text, formats.DecimalSeparator, decimal)) RaiseFloat(text);
  if (decimal.digits.empty()) return 0;
  if (decimal.exponent + 4 > 40) RaiseFloat(text);
  uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  uint64_t magnitude;
  if (!ScaleDigits(decimal.digits, decimal.exponent + 4, limit, magnitude)) RaiseFloat(text);
  auto value = static_cast<int64_t>(magnitude);
  return decimal.negative ? -value : value;
}

int32_t TextToDate(std::string_view text, const TLocaleFormats& formats) {
  TScanner scanner(text);
  int32_t day;
  if (!ScanDate(scanner, formats, day)) RaiseConvert(text, "is not a valid date");
  scanner.SkipBlanks();
  if (!scanner.AtEnd()) RaiseConvert(text, "is not a valid date");
  return day;
}

int32_t TextToTime(std::string_view text, const TLocaleFormats& formats) {
  TScanner scanner(text);
  int32_t ms;
  if (!ScanTime(scanner, formats, ms)) RaiseConvert(text, "is not a valid time");
  scanner.SkipBlanks();
  if (!scanner.AtEnd()) RaiseConvert(text, "is not a valid time");
  return ms;
}

double TextToDateTime(std::string_view text, const TLocaleFormats& formats) {
  {
    TScanner scanner(text);
    int32_t day;
    if (ScanDate(scanner, formats, day)) {
      scanner.SkipBlanks();
      if (scanner.AtEnd()) return EncodeTimestamp(day, 0);
      int32_t ms;
      if (ScanTime(scanner, formats, ms)) {
        scanner.SkipBlanks();
        if (scanner.AtEnd()) return EncodeTimestamp(day, ms);
      }
    }
  }
  TScanner scanner(text);
  int32_t ms;
  if (ScanTime(scanner, formats, ms)) {
    scanner.SkipBlanks();
    if (scanner.AtEnd()) return EncodeTimestamp(kDateDelta, ms);
  }
  RaiseConvert(text, "is not a valid date and time");
}

bool TextToFieldValue(uint8_t fieldType, uint8_t scale, std::string_view text, const TLocaleFormats& formats,
                      std::string& out, bool allowWords) {
  out.clear();
  auto put = [&out](auto store, auto value, size_t width) {
    out.assign(width, '\0');
    store(out.data(), value);
  };
  switch (fieldType) {
    case kFldString:
      out.assign(text.data(), text.size());
      out.push_back('\0');
      return true;
    case kFldDate: {
      int32_t day = allowWords && EqualsNoCase(Trim(text), "DATE") ? TodayDayNumber() : TextToDate(text, formats);
      put(StoreI32, day, 4);
      return true;
    }
    case kFldTime: {
      int32_t ms = allowWords && EqualsNoCase(Trim(text), "TIME") ? NowTimeMs() : TextToTime(text, formats);
      put(StoreI32, ms, 4);
      return true;
    }
    case kFldTimestamp: {
      std::string_view word = Trim(text);
      double value;
      if (allowWords && EqualsNoCase(word, "NOW")) value = NowTimestamp();
      else if (allowWords && EqualsNoCase(word, "DATE")) value = EncodeTimestamp(TodayDayNumber(), 0);
      else if (allowWords && EqualsNoCase(word, "TIME")) value = EncodeTimestamp(kDateDelta, NowTimeMs());
      else value = TextToDateTime(text, formats);
      put(StoreF64, value, 8);
      return true;
    }
    case kFldBoolean:
      put(StoreU16, static_cast<uint16_t>(TextToBoolean(text) ? 1 : 0), 2);
      return true;
    case kFldInt16: {
      int64_t value = TextToInteger(text);
      if (value < -32768 || value > 32767) RaiseConvert(text, "is not a valid integer value");
      put(StoreI16, static_cast<int16_t>(value), 2);
      return true;
    }
    case kFldUInt16: {
      int64_t value = TextToInteger(text);
      if (value < 0 || value > 65535) RaiseConvert(text, "is not a valid integer value");
      put(StoreU16, static_cast<uint16_t>(value), 2);
      return true;
    }
    case kFldInt32: {
      int64_t value = TextToInteger(text);
      if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max())
        RaiseConvert(text, "is not a valid integer value");
      put(StoreI32, static_cast<int32_t>(value), 4);
      return true;
    }
    case kFldFloat:
      put(StoreF64, TextToFloat(text, formats), 8);
      return true;
    case kFldBcd:
      put(StoreI64, CurrencyToBcd(scale, TextToCurrency(text, formats)), 8);
      return true;
    default:
      return false;
  }
}

bool IsValidFieldText(std::string_view text, uint8_t fieldType, const TLocaleFormats& formats) {
  if (text.empty()) return true;
  try {
    std::string value;
    TextToFieldValue(fieldType, 0, text, formats, value, true);
    return true;
  } catch (const fw::EConvertError&) {
    return false;
  }
}

bool IsValidFieldText(std::string_view text, uint8_t fieldType) {
  if (text.empty()) return true;
  return IsValidFieldText(text, fieldType, SaveFormatSettings());
}

int CompareFieldValues(uint8_t fieldType, const uint8_t* left, const uint8_t* right, size_t width,
                       uint16_t langId, uint16_t sortId) {
  auto order = [](auto a, auto b) { return a < b ? -1 : (b < a ? 1 : 0); };
  switch (fieldType) {
    case kFldString:
      return CompareStrings(langId, sortId, std::string_view(reinterpret_cast<const char*>(left), width), false, 0,
                            std::string_view(reinterpret_cast<const char*>(right), width));
    case kFldDate:
    case kFldTime:
    case kFldInt32:
      return order(LoadI32(left), LoadI32(right));
    case kFldInt16:
      return order(LoadI16(left), LoadI16(right));
    case kFldUInt16:
      return order(LoadU16(left), LoadU16(right));
    case kFldFloat:
    case kFldTimestamp:
      return order(LoadF64(left), LoadF64(right));
    case kFldBcd:
      return CompareBcd(LoadI64(left), LoadI64(right));
    default:
      return 0;
  }
}

}  // namespace tabula
