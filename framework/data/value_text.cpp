#include "framework/data/value_text.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <vector>

namespace fw {

namespace {

std::string_view Trim(std::string_view text) {
  size_t b = 0;
  size_t e = text.size();
  while (b < e && (text[b] == ' ' || text[b] == '\t')) ++b;
  while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t')) --e;
  return text.substr(b, e - b);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

char Lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

int CurrentYear() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local.tm_year + 1900;
}

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

constexpr int64_t kDayNumberOf1970 = 719163;

}  // namespace

TFormatSettings& FormatSettings() {
  static TFormatSettings settings;
  return settings;
}

// ---------------------------------------------------------------- numbers

std::string IntToText(int64_t value) { return std::to_string(value); }

bool TryTextToInt(std::string_view text, int64_t& value) {
  text = Trim(text);
  bool negative = false;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  int base = 10;
  if (!text.empty() && text[0] == '$') {
    base = 16;
    text.remove_prefix(1);
  } else if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return false;
  uint64_t magnitude = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
  if (error != std::errc() || end != text.data() + text.size()) return false;
  const uint64_t limit = negative ? uint64_t(std::numeric_limits<int64_t>::max()) + 1 : uint64_t(std::numeric_limits<int64_t>::max());
  if (magnitude > limit) return false;
  value = negative ? int64_t(0 - magnitude) : int64_t(magnitude);
  return true;
}

std::string FloatToText(double value, const TFormatSettings& settings) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.15g", value);
  std::string out;
  for (const char* p = buffer; *p; ++p) {
    if (*p == '.') {
      out += settings.DecimalSeparator;
    } else if (*p == 'e') {
      out += 'E';
      ++p;
      if (*p == '-') out += '-';
      if (*p != '-' && *p != '+') --p;
      ++p;
      while (*p == '0' && p[1] != 0) ++p;  // no leading zeros in the exponent
      out += p;
      break;
    } else {
      out += *p;
    }
  }
  return out;
}

bool TryTextToFloat(std::string_view text, double& value, const TFormatSettings& settings) {
  text = Trim(text);
  std::string plain;
  bool negative = false;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  bool digits = false;
  size_t i = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i, digits = true) plain += text[i];
  if (i < text.size() && text[i] == settings.DecimalSeparator) {
    plain += '.';
    for (++i; i < text.size() && IsDigit(text[i]); ++i, digits = true) plain += text[i];
  }
  if (!digits) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    plain += 'e';
    ++i;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) plain += text[i++];
    bool exponentDigits = false;
    for (; i < text.size() && IsDigit(text[i]); ++i, exponentDigits = true) plain += text[i];
    if (!exponentDigits) return false;
  }
  if (i != text.size()) return false;
  double parsed = 0;
  auto [end, error] = std::from_chars(plain.data(), plain.data() + plain.size(), parsed);
  if (error != std::errc() || end != plain.data() + plain.size()) return false;
  value = negative ? -parsed : parsed;
  return true;
}

std::string CurrencyToText(int64_t units, int decimals, const TFormatSettings& settings) {
  if (decimals < 0) decimals = 0;
  if (decimals > 4) decimals = 4;
  static const int64_t kPowers[] = {1, 10, 100, 1000, 10000};
  const int64_t step = kPowers[4 - decimals];
  const bool negative = units < 0;
  // Work on the magnitude as unsigned: the smallest value has no positive twin.
  uint64_t magnitude = negative ? uint64_t(0) - uint64_t(units) : uint64_t(units);
  magnitude = (magnitude + uint64_t(step) / 2) / uint64_t(step);  // half away from zero
  const uint64_t scale = uint64_t(kPowers[decimals]);
  std::string out = negative && magnitude != 0 ? "-" : "";
  out += std::to_string(magnitude / scale);
  if (decimals > 0) {
    std::string fraction = std::to_string(magnitude % scale);
    out += settings.DecimalSeparator;
    out += std::string(size_t(decimals) - fraction.size(), '0') + fraction;
  }
  return out;
}

bool TryTextToCurrency(std::string_view text, int64_t& units, const TFormatSettings& settings) {
  std::string_view t = Trim(text);
  bool negative = false;
  if (!t.empty() && (t[0] == '-' || t[0] == '+')) {
    negative = t[0] == '-';
    t.remove_prefix(1);
  }
  // Exact reading of digits[.digits]; anything else goes through a double.
  uint64_t whole = 0;
  size_t i = 0;
  bool digits = false;
  bool exact = true;
  constexpr uint64_t kMaxWhole = uint64_t(std::numeric_limits<int64_t>::max()) / uint64_t(kCurrencyScale);
  for (; i < t.size() && IsDigit(t[i]); ++i, digits = true) {
    whole = whole * 10 + uint64_t(t[i] - '0');
    if (whole > kMaxWhole) return false;
  }
  uint64_t fraction = 0;
  int fractionDigits = 0;
  bool roundUp = false;
  if (i < t.size() && t[i] == settings.DecimalSeparator) {
    for (++i; i < t.size() && IsDigit(t[i]); ++i, digits = true) {
      if (fractionDigits < 4) {
        fraction = fraction * 10 + uint64_t(t[i] - '0');
        ++fractionDigits;
      } else if (fractionDigits == 4) {
        roundUp = t[i] >= '5';
        ++fractionDigits;
      }
    }
  }
  if (!digits) return false;
  if (i != t.size()) exact = false;
  if (!exact) {
    double value = 0;
    if (!TryTextToFloat(text, value, settings)) return false;
    const double scaled = std::round(value * double(kCurrencyScale));
    if (!(std::fabs(scaled) < 9.2e18)) return false;
    units = int64_t(scaled);
    return true;
  }
  while (fractionDigits < 4) {
    fraction *= 10;
    ++fractionDigits;
  }
  uint64_t magnitude = whole * uint64_t(kCurrencyScale) + fraction + (roundUp ? 1 : 0);
  if (magnitude > uint64_t(std::numeric_limits<int64_t>::max())) return false;
  units = negative ? -int64_t(magnitude) : int64_t(magnitude);
  return true;
}

// ---------------------------------------------------------------- dates

bool IsValidDate(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

int32_t EncodeDayNumber(int year, int month, int day) {
  return int32_t(DaysFromCivil(year, month, day) + kDayNumberOf1970);
}

void DecodeDayNumber(int32_t dayNumber, int& year, int& month, int& day) {
  int64_t z = int64_t(dayNumber) - kDayNumberOf1970 + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = int(doy - (153 * mp + 2) / 5 + 1);
  month = int(mp < 10 ? mp + 3 : mp - 9);
  year = int(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

TDateTime ComposeDateTime(int32_t dayNumber, int64_t msOfDay) {
  return double(dayNumber - kDateDelta) + double(msOfDay) / double(kMsPerDay);
}

void SplitDateTime(TDateTime value, int32_t& dayNumber, int64_t& msOfDay) {
  const double total = std::round(value * double(kMsPerDay));
  int64_t ms = std::isfinite(total) && std::fabs(total) < 9e17 ? int64_t(total) : 0;
  int64_t days = ms / kMsPerDay;
  int64_t rest = ms % kMsPerDay;
  if (rest < 0) {
    rest += kMsPerDay;
    --days;
  }
  dayNumber = int32_t(days + kDateDelta);
  msOfDay = rest;
}

namespace {

std::string Padded(int value, size_t width) {
  std::string s = std::to_string(value);
  if (s.size() < width) s.insert(0, width - s.size(), '0');
  return s;
}

// Formats by runs of the pattern letters; '/' and ':' stand for the
// settings' separators, everything else is copied.
std::string FormatByPattern(const std::string& pattern, int year, int month, int day, int hour, int minute,
                            int second, const TFormatSettings& settings) {
  std::string out;
  for (size_t i = 0; i < pattern.size();) {
    const char c = Lower(pattern[i]);
    size_t run = 1;
    while (i + run < pattern.size() && Lower(pattern[i + run]) == c) ++run;
    switch (c) {
      case 'd': out += Padded(day, run >= 2 ? 2 : 1); break;
      case 'm': out += Padded(month, run >= 2 ? 2 : 1); break;
      case 'y': out += run <= 2 ? Padded(year % 100, 2) : Padded(year, 4); break;
      case 'h': out += Padded(hour, run >= 2 ? 2 : 1); break;
      case 'n': out += Padded(minute, run >= 2 ? 2 : 1); break;
      case 's': out += Padded(second, run >= 2 ? 2 : 1); break;
      case '/': out.append(run, settings.DateSeparator); break;
      case ':': out.append(run, settings.TimeSeparator); break;
      default: out.append(run, pattern[i]); break;
    }
    i += run;
  }
  return out;
}

// Splits "12.03.2024" into its numbers; false for anything but digits and
// single separators.
bool SplitNumbers(std::string_view text, char separator, std::vector<std::string_view>& parts) {
  parts.clear();
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == separator) {
      if (i == start) return false;
      parts.push_back(text.substr(start, i - start));
      start = i + 1;
    } else if (!IsDigit(text[i])) {
      return false;
    }
  }
  return true;
}

int ToInt(std::string_view digits) {
  int v = 0;
  for (char c : digits) {
    v = v * 10 + (c - '0');
    if (v > 100000) return 100000;
  }
  return v;
}

}  // namespace

std::string DateToText(TDateTime value, const TFormatSettings& settings) {
  int32_t dayNumber;
  int64_t ms;
  SplitDateTime(value, dayNumber, ms);
  int y, m, d;
  DecodeDayNumber(dayNumber, y, m, d);
  return FormatByPattern(settings.ShortDateFormat, y, m, d, 0, 0, 0, settings);
}

std::string TimeToText(TDateTime value, const TFormatSettings& settings) {
  int32_t dayNumber;
  int64_t ms;
  SplitDateTime(value, dayNumber, ms);
  const int seconds = int(ms / 1000);
  return FormatByPattern(settings.LongTimeFormat, 0, 0, 0, seconds / 3600, seconds / 60 % 60, seconds % 60, settings);
}

std::string DateTimeToText(TDateTime value, const TFormatSettings& settings) {
  int32_t dayNumber;
  int64_t ms;
  SplitDateTime(value, dayNumber, ms);
  std::string out = DateToText(value, settings);
  if (ms != 0) {
    out += ' ';
    out += TimeToText(value, settings);
  }
  return out;
}

bool TryTextToDate(std::string_view text, TDateTime& value, const TFormatSettings& settings) {
  std::vector<std::string_view> parts;
  if (!SplitNumbers(Trim(text), settings.DateSeparator, parts) || parts.size() < 2 || parts.size() > 3) return false;
  // Field order from the short date format: the first d, m and y.
  std::string order;
  for (char c : settings.ShortDateFormat) {
    const char l = Lower(c);
    if ((l == 'd' || l == 'm' || l == 'y') && order.find(l) == std::string::npos) order += l;
  }
  if (order.size() != 3) order = "dmy";
  if (parts.size() == 2) order.erase(order.find('y'), 1);
  int day = 0, month = 0, year = CurrentYear();
  for (size_t i = 0; i < parts.size(); ++i) {
    const int v = ToInt(parts[i]);
    if (order[i] == 'd') day = v;
    if (order[i] == 'm') month = v;
    if (order[i] == 'y') {
      year = v;
      if (parts[i].size() <= 2) {
        const int first = CurrentYear() - settings.TwoDigitYearWindow;
        year = first - first % 100 + v;
        if (year < first) year += 100;
      }
    }
  }
  if (!IsValidDate(year, month, day)) return false;
  value = double(EncodeDayNumber(year, month, day) - kDateDelta);
  return true;
}

bool TryTextToTime(std::string_view text, TDateTime& value, const TFormatSettings& settings) {
  std::string_view t = Trim(text);
  int marker = 0;  // 1 AM, 2 PM
  for (int k = 1; k <= 2 && marker == 0; ++k) {
    const std::string& word = k == 1 ? settings.TimeAMString : settings.TimePMString;
    if (!word.empty() && t.size() > word.size() && SameText(t.substr(t.size() - word.size()), word)) {
      marker = k;
      t = Trim(t.substr(0, t.size() - word.size()));
    }
  }
  int milliseconds = 0;
  if (const size_t dot = t.find_first_of(".,"); dot != std::string_view::npos && dot > 0) {
    std::string_view ms = t.substr(dot + 1);
    if (ms.empty() || ms.size() > 3) return false;
    for (char c : ms)
      if (!IsDigit(c)) return false;
    milliseconds = ToInt(ms) * (ms.size() == 1 ? 100 : ms.size() == 2 ? 10 : 1);
    t = t.substr(0, dot);
  }
  std::vector<std::string_view> parts;
  if (!SplitNumbers(t, settings.TimeSeparator, parts) || parts.empty() || parts.size() > 3) return false;
  if (milliseconds != 0 && parts.size() != 3) return false;
  int hour = ToInt(parts[0]);
  const int minute = parts.size() > 1 ? ToInt(parts[1]) : 0;
  const int second = parts.size() > 2 ? ToInt(parts[2]) : 0;
  if (marker != 0) {
    if (hour < 1 || hour > 12) return false;
    hour = hour % 12 + (marker == 2 ? 12 : 0);
  }
  if (hour > 23 || minute > 59 || second > 59) return false;
  value = double((hour * 3600 + minute * 60 + second) * 1000 + milliseconds) / double(kMsPerDay);
  return true;
}

bool TryTextToDateTime(std::string_view text, TDateTime& value, const TFormatSettings& settings) {
  std::string_view t = Trim(text);
  if (TryTextToDate(t, value, settings)) return true;
  if (const size_t blank = t.find(' '); blank != std::string_view::npos) {
    TDateTime date = 0;
    TDateTime time = 0;
    if (TryTextToDate(t.substr(0, blank), date, settings) && TryTextToTime(t.substr(blank + 1), time, settings)) {
      value = date + time;
      return true;
    }
  }
  return TryTextToTime(t, value, settings);
}

}  // namespace fw
