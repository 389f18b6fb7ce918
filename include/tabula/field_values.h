#pragma once
// Field values: the BCD stored form and currency, the date, time and
// timestamp encodings, and the reading of field values from text (defaults
// and limits of field descriptors) under a locale format record.
//
// Text is Windows-1251 bytes. Conversion failures raise fw::EConvertError.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tabula/locale.h"

namespace tabula {

// A currency value: a signed count of 1/10000 units.
using TCurrency = int64_t;
constexpr TCurrency kCurrencyUnit = 10000;

// ---- BCD stored form ----
// The stored form is the value's decimal digits at `scale` decimals followed
// by one more digit holding the scale (0..4); the sign applies to the whole:
// 12.34 at scale 2 is 12342, -5 at scale 0 is -50, 0.5 at scale 3 is 5003.

// Rounds to `scale` decimals (capped at 4), halves away from zero.
TCurrency RoundCurrency(int scale, TCurrency value);
// Raises EConvertError when the stored form does not fit in 64 bits.
int64_t CurrencyToBcd(int scale, TCurrency value);
// Raises EConvertError when the value does not fit a currency. A scale
// digit above 4 (damaged data) is read with the value rounded to 4 decimals.
TCurrency BcdToCurrency(int64_t stored);
double BcdToFloat(int64_t stored);
// The scale digit of a stored value.
inline int BcdScale(int64_t stored) {
  return static_cast<int>(stored < 0 ? -(stored % 10) : stored % 10);
}
// Exact order of two stored BCD values: -1, 0 or 1.
int CompareBcd(int64_t left, int64_t right);

// ---- Dates and times ----
// Day number 1 is 0001-01-01 (proleptic Gregorian); 693594 is 1899-12-30.

int32_t EncodeDayNumber(int year, int month, int day);
void DecodeDayNumber(int32_t dayNumber, int& year, int& month, int& day);
bool IsValidDate(int year, int month, int day);
int32_t EncodeTimeMs(int hour, int minute, int second, int millisecond);
// Timestamp: day number * 86400000 + milliseconds of the day, as a double.
double EncodeTimestamp(int32_t dayNumber, int32_t timeMs);
// Splits a timestamp after rounding it to a whole millisecond.
void SplitTimestamp(double timestamp, int32_t& dayNumber, int32_t& timeMs);

// The local date and time of day now.
int32_t TodayDayNumber();
int32_t NowTimeMs();
double NowTimestamp();

// ---- Text to value ----

// "TRUE" or "FALSE" in any letter case; anything else raises EConvertError
// "'<text>' is not a valid boolean value".
bool TextToBoolean(std::string_view text);

// Numbers: blanks around the text are allowed; no thousand separators.
int64_t TextToInteger(std::string_view text);  // any 64-bit integer
double TextToFloat(std::string_view text, const TLocaleFormats& formats);
TCurrency TextToCurrency(std::string_view text, const TLocaleFormats& formats);

// Dates and times in the short date format's field order, with the date and
// time separators of `formats`. Two-digit years fall in the 100 years that
// begin 50 years before the current year; a date without year is in the
// current year. Times: h[:m[:s[.zzz]]] with an optional AM/PM marker.
int32_t TextToDate(std::string_view text, const TLocaleFormats& formats);
int32_t TextToTime(std::string_view text, const TLocaleFormats& formats);
// A date, a date and a time, or a time alone (on day 693594, 1899-12-30).
double TextToDateTime(std::string_view text, const TLocaleFormats& formats);

// True when `text` is a valid default, minimum or maximum for the type
// (empty text always is). Never raises. The first form reads numbers, dates
// and times under the process's current format settings, the second under
// the given record.
bool IsValidFieldText(std::string_view text, uint8_t fieldType);
bool IsValidFieldText(std::string_view text, uint8_t fieldType, const TLocaleFormats& formats);

// Converts a default or limit text to the field's stored value bytes:
// fixed-width types get exactly their data width (field_types.h); a string
// gets its text and a terminating zero (the caller cuts and pads it to the
// field). With allowWords, "DATE", "TIME" and "NOW" (any case) stand for the
// current date, time and timestamp as the date, time and timestamp types
// accept them (limits are read without the words). Returns false, leaving
// `out` empty, for types that have no text form (blobs, bytes, 32-bit
// unsigned, extended). Raises EConvertError for a text that is not valid.
bool TextToFieldValue(uint8_t fieldType, uint8_t scale, std::string_view text, const TLocaleFormats& formats,
                      std::string& out, bool allowWords = true);

// Orders two stored values of one field for the minimum and maximum checks:
// strings by the table's locale (byte order without one), dates, times and
// timestamps as date-time values, integers, floats and BCD numerically.
// `width` is the field's data width. Types that are not checked (boolean,
// blob, bytes, 32-bit unsigned, extended) compare equal.
int CompareFieldValues(uint8_t fieldType, const uint8_t* left, const uint8_t* right, size_t width,
                       uint16_t langId, uint16_t sortId);

}  // namespace tabula
