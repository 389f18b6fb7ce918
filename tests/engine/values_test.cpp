// Field values: BCD stored form, date and time encodings, text forms of
// defaults and limits under a table's locale.

#include <gtest/gtest.h>
#include <unicode/uloc.h>

#include <cstdlib>
#include <string>

#include "tabula/field_types.h"
#include "tabula/field_values.h"
#include "tabula/locale.h"
#include "framework/core/exceptions.h"

namespace tabula {
namespace {

TEST(FieldTypes, DataSizeFollowsTheTypeTable) {
  struct Case { uint8_t type; uint8_t size; int expected; };
  const Case cases[] = {
      {kFldNone, 7, 7},      {kFldString, 20, 21}, {kFldString, 250, 251}, {kFldDate, 0, 4},
      {kFldBlob, 0, 4},      {kFldBoolean, 0, 2},  {kFldInt16, 0, 2},       {kFldInt32, 0, 4},
      {kFldFloat, 0, 8},     {kFldBcd, 0, 8},      {kFldBytes, 16, 16},     {kFldTime, 0, 4},
      {kFldTimestamp, 0, 8}, {kFldUInt16, 0, 2},   {kFldUInt32, 0, 4},      {kFldExtended, 0, 10},
      {kFldVarBytes, 9, 9},  {16, 5, 5},           {200, 3, 3},
  };
  for (const Case& c : cases) EXPECT_EQ(FieldDataSize(c.type, c.size), c.expected) << int(c.type);
  EXPECT_EQ(FieldSlotSize(kFldInt32, kSubAutoInc, 0), 0);
  EXPECT_EQ(FieldSlotSize(kFldInt32, 0, 0), 5);
}

TEST(Bcd, StoredFormsAndRoundTrip) {
  struct Case { int scale; TCurrency currency; int64_t stored; TCurrency readBack; };
  const Case cases[] = {
      {2, 123400, 12342, 123400},      // 12.34
      {0, -50000, -50, -50000},        // -5
      {3, 5000, 5003, 5000},           // 0.5
      {4, 12346, 123464, 12346},       // 1.2346
      {2, 12350, 1242, 12400},         // 1.235 rounds to 1.24
      {2, -12350, -1242, -12400},      // halves away from zero
      {2, 12349, 1232, 12300},         // 1.2349 rounds down
      {6, 12346, 123464, 12346},       // a scale above 4 counts as 4
      {2, 0, 2, 0},                    // zero keeps its scale digit
      {2, -40, 2, 0},                  // -0.004 rounds to zero, no sign
      {0, 922337203685477LL * 10000, 9223372036854770, 922337203685477LL * 10000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    EXPECT_EQ(CurrencyToBcd(c.scale, c.currency), c.stored);
    EXPECT_EQ(BcdToCurrency(c.stored), c.readBack);
  }
  EXPECT_DOUBLE_EQ(BcdToFloat(12342), 12.34);
  EXPECT_DOUBLE_EQ(BcdToFloat(-50), -5.0);
  EXPECT_DOUBLE_EQ(BcdToFloat(5003), 0.5);
  EXPECT_EQ(RoundCurrency(0, 5000), 10000);
  EXPECT_EQ(RoundCurrency(0, -5000), -10000);
  EXPECT_EQ(RoundCurrency(1, 4999), 5000);
}

TEST(Bcd, ValuesBeyondSixtyFourBitsAreConversionErrors) {
  // 922337203685477.5807 at scale 4 would need 20 digits.
  EXPECT_THROW(CurrencyToBcd(4, INT64_MAX), fw::EConvertError);
  // A stored value whose currency does not fit (damaged file).
  EXPECT_THROW(BcdToCurrency(INT64_MAX - 7), fw::EConvertError);  // ...800, scale 0
  // Scale digits above 4 on a damaged value read rounded to 4 decimals.
  EXPECT_EQ(BcdToCurrency(1234566), 1235);  // 0.123456 -> 0.1235
  EXPECT_EQ(CompareBcd(12342, 1232), 1);     // 12.34 > 12.3
  EXPECT_EQ(CompareBcd(-50, 5), -1);
  EXPECT_EQ(CompareBcd(50, 501), 0);         // 5 == 5.0
}

TEST(Dates, DayNumbersAndTimestamps) {
  EXPECT_EQ(EncodeDayNumber(1, 1, 1), 1);
  EXPECT_EQ(EncodeDayNumber(1899, 12, 30), 693594);
  EXPECT_EQ(EncodeDayNumber(2000, 3, 1) - EncodeDayNumber(2000, 2, 28), 2);  // leap year
  EXPECT_EQ(EncodeDayNumber(1900, 3, 1) - EncodeDayNumber(1900, 2, 28), 1);
  for (int32_t day : {1, 59, 60, 693594, 730120, 3652059}) {
    int y, m, d;
    DecodeDayNumber(day, y, m, d);
    EXPECT_EQ(EncodeDayNumber(y, m, d), day);
  }
  EXPECT_FALSE(IsValidDate(2023, 2, 29));
  EXPECT_TRUE(IsValidDate(2024, 2, 29));

  double ts = EncodeTimestamp(730120, EncodeTimeMs(13, 45, 30, 250));
  int32_t day, ms;
  SplitTimestamp(ts + 0.4, day, ms);  // rounded to a whole millisecond first
  EXPECT_EQ(day, 730120);
  EXPECT_EQ(ms, 49530250);
  SplitTimestamp(EncodeTimestamp(730120, 0) - 0.4, day, ms);  // rounds up to midnight
  EXPECT_EQ(day, 730120);
  EXPECT_EQ(ms, 0);
}

TEST(TextForms, Booleans) {
  EXPECT_TRUE(TextToBoolean("true"));
  EXPECT_FALSE(TextToBoolean("FALSE"));
  EXPECT_TRUE(TextToBoolean("True"));
  try {
    TextToBoolean("yes");
    FAIL() << "no conversion error";
  } catch (const fw::EConvertError& e) {
    EXPECT_EQ(e.Message, "'yes' is not a valid boolean value");
  }
}

TEST(TextForms, AcceptedTextPerType) {
  const TLocaleFormats& f = DefaultLocaleFormats();
  struct Case { const char* text; uint8_t type; bool ok; };
  const Case cases[] = {
      {"", kFldDate, true},           {"anything", kFldString, true}, {"\x01\xff", kFldBytes, true},
      {"date", kFldDate, true},       {"12/31/2020", kFldDate, true}, {"31/12/2020", kFldDate, false},
      {"TIME", kFldDate, false},      {"NOW", kFldDate, false},       {"2/30/2020", kFldDate, false},
      {"TRUE", kFldBoolean, true},    {"false", kFldBoolean, true},   {"1", kFldBoolean, false},
      {"-32768", kFldInt16, true},    {"32767", kFldInt16, true},     {"32768", kFldInt16, false},
      {"12a", kFldInt16, false},      {"2147483647", kFldInt32, true}, {"2147483648", kFldInt32, false},
      {" -5 ", kFldInt32, true},      {"65535", kFldUInt16, true},    {"-1", kFldUInt16, false},
      {"1.5e3", kFldFloat, true},     {"1,5", kFldFloat, false},      {"-.25", kFldFloat, true},
      {"1e999", kFldFloat, false},    {"12.3456", kFldBcd, true},     {"abc", kFldBcd, false},
      {"time", kFldTime, true},       {"13:45", kFldTime, true},      {"1:45 PM", kFldTime, true},
      {"13:45 PM", kFldTime, false},  {"24:00", kFldTime, false},     {"DATE", kFldTime, false},
      {"now", kFldTimestamp, true},   {"Date", kFldTimestamp, true},  {"TIME", kFldTimestamp, true},
      {"1/2/2003 4:05:06", kFldTimestamp, true}, {"4:05", kFldTimestamp, true},
      {"1/2/2003 x", kFldTimestamp, false},      {"whatever", kFldUInt32, true},
  };
  for (const Case& c : cases) EXPECT_EQ(IsValidFieldText(c.text, c.type, f), c.ok) << c.text << " type " << int(c.type);
}

TEST(TextForms, FieldValuesFromText) {
  const TLocaleFormats& f = DefaultLocaleFormats();
  std::string out;
  ASSERT_TRUE(TextToFieldValue(kFldDate, 0, "12/31/2020", f, out));
  EXPECT_EQ(LoadI32(out.data()), EncodeDayNumber(2020, 12, 31));
  ASSERT_TRUE(TextToFieldValue(kFldTime, 0, "1:02:03.5 PM", f, out));
  EXPECT_EQ(LoadI32(out.data()), EncodeTimeMs(13, 2, 3, 5));
  ASSERT_TRUE(TextToFieldValue(kFldTime, 0, "12:30 AM", f, out));
  EXPECT_EQ(LoadI32(out.data()), EncodeTimeMs(0, 30, 0, 0));
  ASSERT_TRUE(TextToFieldValue(kFldTimestamp, 0, "1/2/2003 4:05:06", f, out));
  EXPECT_EQ(LoadF64(out.data()), EncodeTimestamp(EncodeDayNumber(2003, 1, 2), EncodeTimeMs(4, 5, 6, 0)));
  ASSERT_TRUE(TextToFieldValue(kFldTimestamp, 0, "4:05", f, out));  // a time alone is on 1899-12-30
  EXPECT_EQ(LoadF64(out.data()), EncodeTimestamp(693594, EncodeTimeMs(4, 5, 0, 0)));
  ASSERT_TRUE(TextToFieldValue(kFldBcd, 2, "1.235", f, out));
  EXPECT_EQ(LoadI64(out.data()), 1242);
  ASSERT_TRUE(TextToFieldValue(kFldBcd, 0, "-5", f, out));
  EXPECT_EQ(LoadI64(out.data()), -50);
  ASSERT_TRUE(TextToFieldValue(kFldBoolean, 0, "True", f, out));
  EXPECT_EQ(out, std::string("\x01\x00", 2));
  ASSERT_TRUE(TextToFieldValue(kFldUInt16, 0, "65535", f, out));
  EXPECT_EQ(LoadU16(out.data()), 65535);
  ASSERT_TRUE(TextToFieldValue(kFldString, 0, "abc", f, out));
  EXPECT_EQ(out, std::string("abc\0", 4));
  ASSERT_TRUE(TextToFieldValue(kFldFloat, 0, "2.5E-1", f, out));
  EXPECT_EQ(LoadF64(out.data()), 0.25);
  EXPECT_FALSE(TextToFieldValue(kFldBlob, 0, "x", f, out));
  EXPECT_TRUE(out.empty());
  // Limits are read without the words.
  EXPECT_THROW(TextToFieldValue(kFldDate, 0, "DATE", f, out, false), fw::EConvertError);

  // Two-digit years fall within 50 years of now; a missing year is this year.
  int thisYear, m, d;
  DecodeDayNumber(TodayDayNumber(), thisYear, m, d);
  int y;
  DecodeDayNumber(TextToDate("3/4", f), y, m, d);
  EXPECT_EQ(y, thisYear);
  EXPECT_EQ(m, 3);
  DecodeDayNumber(TextToDate("1/1/" + std::to_string((thisYear + 10) % 100), f), y, m, d);
  EXPECT_EQ(y, thisYear + 10);
  DecodeDayNumber(TextToDate("1/1/" + std::to_string((thisYear - 60 + 100) % 100), f), y, m, d);
  EXPECT_EQ(y, thisYear + 40);
}

TEST(TextForms, WordsGiveTheCurrentDateAndTime) {
  const TLocaleFormats& f = DefaultLocaleFormats();
  std::string out;
  int32_t before = TodayDayNumber();
  ASSERT_TRUE(TextToFieldValue(kFldDate, 0, "DATE", f, out));
  int32_t after = TodayDayNumber();
  EXPECT_GE(LoadI32(out.data()), before);
  EXPECT_LE(LoadI32(out.data()), after);

  ASSERT_TRUE(TextToFieldValue(kFldTimestamp, 0, "date", f, out));
  int32_t day, ms;
  SplitTimestamp(LoadF64(out.data()), day, ms);
  EXPECT_GE(day, before);
  EXPECT_EQ(ms, 0);

  ASSERT_TRUE(TextToFieldValue(kFldTimestamp, 0, "TIME", f, out));
  SplitTimestamp(LoadF64(out.data()), day, ms);
  EXPECT_EQ(day, 693594);

  double nowBefore = NowTimestamp();
  ASSERT_TRUE(TextToFieldValue(kFldTimestamp, 0, "NOW", f, out));
  EXPECT_GE(LoadF64(out.data()), nowBefore);
  EXPECT_LE(LoadF64(out.data()), NowTimestamp());
}

TEST(TextForms, NoLanguageDriverReadsFixedFormatsWhateverTheUserLocale) {
  setenv("LC_ALL", "de_DE.UTF-8", 1);
  setenv("LANG", "de_DE.UTF-8", 1);
  UErrorCode status = U_ZERO_ERROR;
  uloc_setDefault("de_DE", &status);
  ASSERT_TRUE(U_SUCCESS(status));
  TLocaleFormats user = LoadLocaleFormats(true, 0, 0);
  ASSERT_EQ(user.DecimalSeparator, ',');
  ASSERT_EQ(user.DateSeparator, '.');
  ApplyFormatSettings(user);

  // The table has no language driver: its record is the fixed one.
  TLocaleFormats table = LoadLocaleFormats(false, 0, 0);
  EXPECT_EQ(table.ShortDateFormat, "M/d/yyyy");
  EXPECT_EQ(table.DecimalSeparator, '.');
  std::string out;
  ASSERT_TRUE(TextToFieldValue(kFldDate, 0, "2/3/2004", table, out));
  EXPECT_EQ(LoadI32(out.data()), EncodeDayNumber(2004, 2, 3));
  ASSERT_TRUE(TextToFieldValue(kFldFloat, 0, "1.5", table, out));
  EXPECT_EQ(LoadF64(out.data()), 1.5);

  // Reading under the process settings follows the user's locale instead,
  // and a table scope swaps the record in and back out.
  EXPECT_TRUE(IsValidFieldText("3.2.2004", kFldDate));
  EXPECT_FALSE(IsValidFieldText("2/3/2004", kFldDate));
  {
    TFormatSettingsScope scope(table);
    EXPECT_TRUE(IsValidFieldText("2/3/2004", kFldDate));
    EXPECT_TRUE(IsValidFieldText("1.5", kFldFloat));
  }
  EXPECT_EQ(SaveFormatSettings(), user);
}

TEST(TextForms, RussianTableReadsDayMonthYear) {
  TLocaleFormats ru = LoadLocaleFormats(false, 0x0419, 0);
  EXPECT_EQ(ru.DateSeparator, '.');
  EXPECT_EQ(ru.DecimalSeparator, ',');
  EXPECT_EQ(ru.ShortDateFormat, "dd.MM.yyyy");
  EXPECT_EQ(ru.ShortTimeFormat, "hh:mm");
  EXPECT_EQ(ru.LongTimeFormat, "hh:mm:ss");
  std::string out;
  ASSERT_TRUE(TextToFieldValue(kFldDate, 0, "03.02.2004", ru, out));
  EXPECT_EQ(LoadI32(out.data()), EncodeDayNumber(2004, 2, 3));
  ASSERT_TRUE(TextToFieldValue(kFldBcd, 2, "12,34", ru, out));
  EXPECT_EQ(LoadI64(out.data()), 12342);
  EXPECT_FALSE(IsValidFieldText("12.34", kFldFloat, ru));
}

TEST(FieldCompare, LimitOrderPerType) {
  uint8_t a[8] = {}, b[8] = {};
  StoreI16(a, -1);
  StoreI16(b, 1);
  EXPECT_EQ(CompareFieldValues(kFldInt16, a, b, 2, 0, 0), -1);
  StoreU16(a, 65535);
  EXPECT_EQ(CompareFieldValues(kFldUInt16, a, b, 2, 0, 0), 1);
  StoreI64(a, 12342);  // 12.34
  StoreI64(b, 123003);  // 12.300
  EXPECT_EQ(CompareFieldValues(kFldBcd, a, b, 8, 0, 0), 1);
  StoreF64(a, -0.5);
  StoreF64(b, -0.25);
  EXPECT_EQ(CompareFieldValues(kFldTimestamp, a, b, 8, 0, 0), -1);
  EXPECT_EQ(CompareFieldValues(kFldBoolean, a, b, 2, 0, 0), 0);  // not checked
  uint8_t s1[6] = {'a', 'b', 0, 0, 0, 0}, s2[6] = {'a', 'b', 'c', 0, 0, 0};
  EXPECT_EQ(CompareFieldValues(kFldString, s1, s2, 6, 0, 0), -1);
}

}  // namespace
}  // namespace tabula
