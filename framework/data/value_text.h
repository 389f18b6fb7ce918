#pragma once
// Values as text: the format settings the field objects use, and the
// conversions between numbers, currency, dates and times and their text.
// Text is Windows-1251 bytes; only ASCII digits and signs are read.
//
// A date-time value (TDateTime) counts days since 1899-12-30, the time of
// day being the fraction. Day numbers count from 0001-01-01 = 1.

#include <cstdint>
#include <string>
#include <string_view>

namespace fw {

using TDateTime = double;
inline constexpr int32_t kDateDelta = 693594;  // day number of 1899-12-30
inline constexpr int64_t kMsPerDay = 86400000;
inline constexpr int64_t kCurrencyScale = 10000;  // currency counts 1/10000 units

struct TFormatSettings {
  char DecimalSeparator = '.';
  char DateSeparator = '.';
  char TimeSeparator = ':';
  // Letters: d/dd day, m/mm month, yy/yyyy year (any letter case).
  std::string ShortDateFormat = "dd.mm.yyyy";
  // Letters: h/hh hour, n/nn minute, s/ss second.
  std::string LongTimeFormat = "hh:nn:ss";
  std::string TimeAMString = "AM";
  std::string TimePMString = "PM";
  // Two-digit years fall in the 100 years that begin this many years ago.
  int TwoDigitYearWindow = 50;
};

// The process's settings; the application may change them at start-up.
TFormatSettings& FormatSettings();

// ---- Numbers ----
std::string IntToText(int64_t value);
// Blanks around, an optional sign, decimal digits (or "$" / "0x" then hex
// digits); false when the text is not such a number or does not fit.
bool TryTextToInt(std::string_view text, int64_t& value);
// Shortest text with at most 15 significant digits, e.g. "1.5", "1E20".
std::string FloatToText(double value, const TFormatSettings& settings = FormatSettings());
// Blanks around, sign, digits with the decimal separator, optional exponent.
bool TryTextToFloat(std::string_view text, double& value, const TFormatSettings& settings = FormatSettings());
// Currency held as 1/10000 units: text with `decimals` places (0..4),
// rounded half away from zero.
std::string CurrencyToText(int64_t units, int decimals, const TFormatSettings& settings = FormatSettings());
// Exact reading of a decimal text into 1/10000 units (rounded half away
// from zero past the fourth decimal); false when it is not a number or
// does not fit.
bool TryTextToCurrency(std::string_view text, int64_t& units, const TFormatSettings& settings = FormatSettings());

// ---- Dates and times ----
int32_t EncodeDayNumber(int year, int month, int day);
void DecodeDayNumber(int32_t dayNumber, int& year, int& month, int& day);
bool IsValidDate(int year, int month, int day);
// Date-time value <-> day number and milliseconds of the day (rounded to
// the millisecond).
TDateTime ComposeDateTime(int32_t dayNumber, int64_t msOfDay);
void SplitDateTime(TDateTime value, int32_t& dayNumber, int64_t& msOfDay);

std::string DateToText(TDateTime value, const TFormatSettings& settings = FormatSettings());
std::string TimeToText(TDateTime value, const TFormatSettings& settings = FormatSettings());
// The date, and the time after a blank unless it is midnight.
std::string DateTimeToText(TDateTime value, const TFormatSettings& settings = FormatSettings());
// Day, month and year in the order of the short date format, separated by
// the date separator; a missing year is this year.
bool TryTextToDate(std::string_view text, TDateTime& value, const TFormatSettings& settings = FormatSettings());
// h[:n[:s[.zzz]]] with an optional AM/PM marker.
bool TryTextToTime(std::string_view text, TDateTime& value, const TFormatSettings& settings = FormatSettings());
// A date, a date and a time, or a time alone.
bool TryTextToDateTime(std::string_view text, TDateTime& value, const TFormatSettings& settings = FormatSettings());

}  // namespace fw
