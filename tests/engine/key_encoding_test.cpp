// Key encodings and the key comparison walk: encoded key order must equal
// value order for every key type, ascending and descending, with and
// without a language driver.

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "tabula/field_types.h"
#include "tabula/field_values.h"
#include "engine/key_compare.h"
#include "engine/key_encoding.h"
#include "tabula/locale.h"

namespace tabula {
namespace {

using TBytes = std::vector<uint8_t>;

int Sign(double v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

TEST(KeyBounds, IncrementDecrementFill) {
  struct Case { TBytes in; TBytes increment; TBytes decrement; };
  const std::vector<Case> cases = {
      {{0x00, 0xFF, 0xFF}, {0x01, 0x00, 0x00}, {0x00, 0xFF, 0xFE}},
      {{0xFF, 0xFF}, {0xFF, 0xFF}, {0xFF, 0xFE}},
      {{0x01, 0x00}, {0x01, 0x01}, {0x00, 0xFF}},
      {{0x00, 0x00}, {0x00, 0x01}, {0x00, 0x00}},
      {{0x12, 0x34}, {0x12, 0x35}, {0x12, 0x33}},
      {{}, {}, {}},
  };
  for (const Case& c : cases) {
    TBytes up = c.in, down = c.in;
    IncrementKey(up.data(), up.size());
    DecrementKey(down.data(), down.size());
    EXPECT_EQ(up, c.increment);
    EXPECT_EQ(down, c.decrement);
  }
  TBytes key = {1, 2, 3, 4};
  FillKeyHigh(key.data(), 1, 3);
  EXPECT_EQ(key, (TBytes{1, 0xFF, 0xFF, 4}));
  FillKeyLow(key.data(), 2, 4);
  EXPECT_EQ(key, (TBytes{1, 0xFF, 0, 0}));
  FillKeyLow(key.data(), 3, 3);  // empty span: nothing
  FillKeyHigh(key.data(), 3, 1);
  EXPECT_EQ(key, (TBytes{1, 0xFF, 0, 0}));
  InvertBytes(key.data(), 2);
  EXPECT_EQ(key, (TBytes{0xFE, 0x00, 0, 0}));
}

TBytes Encode(uint8_t type, const TBytes& value, bool present = true, bool descending = false,
              bool caseInsensitive = false, const TLanguageDriver* driver = nullptr) {
  TBytes out(value.size() + 1);
  EncodeKeyField(type, value.size(), present, value.data(), descending, caseInsensitive, driver, out.data());
  return out;
}

TBytes Le(uint64_t v, size_t width) {
  TBytes b(width);
  for (size_t i = 0; i < width; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
  return b;
}

TBytes Dbl(double d) {
  TBytes b(8);
  StoreF64(b.data(), d);
  return b;
}

TEST(KeyEncoding, FixedExamples) {
  EXPECT_EQ(Encode(kFldInt16, Le(static_cast<uint16_t>(-1), 2)), (TBytes{1, 0x7F, 0xFF}));
  EXPECT_EQ(Encode(kFldInt16, Le(0, 2)), (TBytes{1, 0x80, 0x00}));
  EXPECT_EQ(Encode(kFldUInt16, Le(65535, 2)), (TBytes{1, 0xFF, 0xFF}));
  EXPECT_EQ(Encode(kFldInt32, Le(0x01020304, 4)), (TBytes{1, 0x81, 0x02, 0x03, 0x04}));
  EXPECT_EQ(Encode(kFldBoolean, Le(1, 2), false), (TBytes{0, 0x00, 0x01}));
  EXPECT_EQ(Encode(kFldFloat, Dbl(1.0)), (TBytes{1, 0xBF, 0xF0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Encode(kFldFloat, Dbl(-1.0)), (TBytes{1, 0x40, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(Encode(kFldFloat, Dbl(-0.0)), Encode(kFldFloat, Dbl(0.0)));
  EXPECT_EQ(Encode(kFldBytes, {9, 8, 7}), (TBytes{1, 9, 8, 7}));      // raw
  EXPECT_EQ(Encode(kFldUInt32, Le(1, 4)), (TBytes{1, 1, 0, 0, 0}));   // raw, as the file format has it
  // Strings: zero padding, ASCII-only upper-casing without a driver.
  EXPECT_EQ(Encode(kFldString, {'a', 'b', 0, 'x', 0}, true, false, true), (TBytes{1, 'A', 'B', 0, 0, 0}));
  // Descending without a driver: all inverted except the string's last byte.
  EXPECT_EQ(Encode(kFldString, {'a', 0, 0}, true, true), (TBytes{0xFE, 0x9E, 0xFF, 0}));
  EXPECT_EQ(Encode(kFldInt16, Le(0, 2), true, true), (TBytes{0xFE, 0x7F, 0xFF}));
  // With a driver nothing is inverted; case-insensitive keys are upper-cased by the locale.
  const TLanguageDriver* ru = TLanguageDriver::Find(0x0419, 0);
  ASSERT_NE(ru, nullptr);
  EXPECT_EQ(Encode(kFldInt16, Le(0, 2), true, true, false, ru), (TBytes{1, 0x80, 0x00}));
  std::string yo = Utf8ToCp1251("ёж");
  EXPECT_EQ(Encode(kFldString, {uint8_t(yo[0]), uint8_t(yo[1]), 0}, true, true, true, ru),
            (TBytes{1, 0xA8, 0xC6, 0}));
}

// ---- Property test: key order equals value order ----

struct TValueGen {
  uint8_t type;
  size_t width;
};

// A random stored value of the type (little-endian record encoding) and a
// double or string that orders the same way.
struct TSample {
  TBytes stored;
  double number = 0;
  std::string text;
  bool present = true;
};

// BCD samples use the scale of their field: the stored form orders by value
// only among values of one scale, which every value of a field shares.
TSample MakeSample(uint8_t type, size_t width, std::mt19937& rng, const std::string& alphabet, int bcdScale = 2) {
  TSample s;
  s.stored.assign(width, 0);
  auto pick = [&](int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(rng); };
  // Small ranges make ties frequent, large ones reach the extremes.
  bool small = pick(0, 1) == 0;
  switch (type) {
    case kFldInt16: { auto v = static_cast<int16_t>(small ? pick(-3, 3) : pick(-32768, 32767)); StoreI16(s.stored.data(), v); s.number = v; break; }
    case kFldUInt16:
    case kFldBoolean: { auto v = static_cast<uint16_t>(small ? pick(0, 3) : pick(0, 65535)); StoreU16(s.stored.data(), v); s.number = v; break; }
    case kFldInt32:
    case kFldDate:
    case kFldTime: { auto v = static_cast<int32_t>(small ? pick(-3, 3) : pick(INT32_MIN, INT32_MAX)); StoreI32(s.stored.data(), v); s.number = v; break; }
    case kFldFloat:
    case kFldTimestamp: {
      double v = small ? static_cast<double>(pick(-3, 3)) * 0.5
                       : std::ldexp(static_cast<double>(pick(-1000000, 1000000)), static_cast<int>(pick(-60, 60)));
      StoreF64(s.stored.data(), v);
      s.number = v;
      break;
    }
    case kFldBcd: {
      int scale = bcdScale;
      TCurrency c = small ? pick(-3, 3) * 5000 : pick(-900000000000000LL, 900000000000000LL);
      int64_t stored = CurrencyToBcd(scale, c);
      StoreI64(s.stored.data(), stored);
      s.number = static_cast<double>(stored);  // unused: BCD order is checked with CompareBcd
      break;
    }
    case kFldString: {
      size_t length = static_cast<size_t>(pick(0, static_cast<int64_t>(width) - 1));
      for (size_t i = 0; i < length; ++i) s.text.push_back(alphabet[static_cast<size_t>(pick(0, static_cast<int64_t>(alphabet.size()) - 1))]);
      std::copy(s.text.begin(), s.text.end(), s.stored.begin());
      break;
    }
    default: break;
  }
  s.present = pick(0, 15) != 0;
  if (!s.present) {
    std::fill(s.stored.begin(), s.stored.end(), 0);  // a NULL field has zero data bytes
    s.number = 0;
    s.text.clear();
  }
  return s;
}

int ExpectedOrder(uint8_t type, const TSample& a, const TSample& b, const TLanguageDriver* driver,
                  bool caseInsensitive) {
  if (a.present != b.present) return a.present ? 1 : -1;  // NULL first
  if (!a.present) return 0;
  if (type == kFldBcd) return CompareBcd(LoadI64(a.stored.data()), LoadI64(b.stored.data()));
  if (type == kFldString) {
    if (driver) return driver->Compare(a.text, b.text, caseInsensitive);
    return CompareStrings(0, 0, a.text, caseInsensitive, 0, b.text);
  }
  return Sign(a.number - b.number);
}

TEST(KeyOrderProperty, EveryTypeAscendingAndDescending) {
  const std::string alphabet = Utf8ToCp1251("aAbBzZ-аАяЯеЕёЁжЖ");
  const TLanguageDriver* ru = TLanguageDriver::Find(0x0419, 0);
  ASSERT_NE(ru, nullptr);
  const TValueGen gens[] = {{kFldInt16, 2},  {kFldUInt16, 2}, {kFldBoolean, 2},   {kFldInt32, 4},
                            {kFldDate, 4},   {kFldTime, 4},   {kFldFloat, 8},     {kFldTimestamp, 8},
                            {kFldBcd, 8},    {kFldString, 7}};
  std::mt19937 rng(20240607);
  for (const TValueGen& gen : gens) {
    for (const TLanguageDriver* driver : {static_cast<const TLanguageDriver*>(nullptr), ru}) {
      for (bool fieldDescending : {false, true}) {
        for (bool caseInsensitive : {false, true}) {
          if (gen.type != kFldString && caseInsensitive) continue;
          TKeyLayout layout;
          layout.Fields = {{gen.type, static_cast<uint8_t>(gen.width), static_cast<uint8_t>(fieldDescending)}};
          layout.Driver = driver;
          int scale = std::uniform_int_distribution<int>(0, 4)(rng);
          for (int i = 0; i < 400; ++i) {
            TSample a = MakeSample(gen.type, gen.width, rng, alphabet, scale);
            TSample b = i % 7 == 0 ? a : MakeSample(gen.type, gen.width, rng, alphabet, scale);
            TBytes ka = Encode(gen.type, a.stored, a.present, fieldDescending, caseInsensitive, driver);
            TBytes kb = Encode(gen.type, b.stored, b.present, fieldDescending, caseInsensitive, driver);
            int ascending = ExpectedOrder(gen.type, a, b, driver, caseInsensitive);
            int expected = ascending;
            // Bytes are inverted only without a driver; with one, CompareKeys
            // reverses descending strings and other types stay ascending.
            bool reversed = fieldDescending && (driver == nullptr || gen.type == kFldString);
            if (reversed && a.present == b.present) expected = -expected;
            if (fieldDescending && driver == nullptr && a.present != b.present) expected = -expected;
            ASSERT_EQ(CompareKeys(layout, ka.data(), kb.data(), ka.size(), false), expected)
                << "type " << int(gen.type) << " driver " << (driver != nullptr) << " desc " << fieldDescending
                << " ci " << caseInsensitive << " a '" << a.text << "' " << a.number << " b '" << b.text << "' "
                << b.number;
            // The whole-index flag reverses the order. With a driver it
            // overrides the field's own flag (as key building ignores the
            // per-field bytes of a wholly descending index).
            ASSERT_EQ(CompareKeys(layout, ka.data(), kb.data(), ka.size(), true), driver ? -ascending : -expected);
          }
        }
      }
    }
  }
}

TEST(KeyOrderProperty, CompositeKeysWithLanguageDriver) {
  // string(6) + 32-bit integer + string(6, descending), Russian driver, and
  // the same without a driver; compared field by field as values.
  const std::string alphabet = Utf8ToCp1251("aAеёЁжЖ");
  const TLanguageDriver* ru = TLanguageDriver::Find(0x0419, 0);
  std::mt19937 rng(77);
  for (const TLanguageDriver* driver : {static_cast<const TLanguageDriver*>(nullptr), ru}) {
    TKeyLayout layout;
    layout.Fields = {{kFldString, 6, 0}, {kFldInt32, 4, 0}, {kFldString, 6, 1}};
    layout.Driver = driver;
    size_t keyLength = 7 + 5 + 7;
    for (int i = 0; i < 3000; ++i) {
      TSample a[3], b[3];
      for (int f = 0; f < 3; ++f) {
        uint8_t type = layout.Fields[f].FieldType;
        a[f] = MakeSample(type, layout.Fields[f].Width, rng, alphabet);
        b[f] = i % 3 == 0 && f < 2 ? a[f] : MakeSample(type, layout.Fields[f].Width, rng, alphabet);
      }
      TBytes ka, kb;
      for (int f = 0; f < 3; ++f) {
        bool desc = layout.Fields[f].Descending != 0;
        TBytes ea = Encode(layout.Fields[f].FieldType, a[f].stored, a[f].present, desc, false, driver);
        TBytes eb = Encode(layout.Fields[f].FieldType, b[f].stored, b[f].present, desc, false, driver);
        ka.insert(ka.end(), ea.begin(), ea.end());
        kb.insert(kb.end(), eb.begin(), eb.end());
      }
      ASSERT_EQ(ka.size(), keyLength);
      int expected = 0;
      for (int f = 0; f < 3 && expected == 0; ++f) {
        expected = ExpectedOrder(layout.Fields[f].FieldType, a[f], b[f], driver, false);
        // The descending string: without a driver its inverted bytes reverse
        // everything (presence too); with one only the value is reversed.
        if (f == 2 && (driver == nullptr || a[f].present == b[f].present)) expected = -expected;
      }
      ASSERT_EQ(CompareKeys(layout, ka.data(), kb.data(), keyLength, false), expected) << i;
      // A partial key over the first field only.
      int first = ExpectedOrder(kFldString, a[0], b[0], driver, false);
      ASSERT_EQ(CompareKeys(layout, ka.data(), kb.data(), 7, false), first) << i;
    }
  }
}

TEST(KeyCompare, SystemIndexAndPartialStringAlwaysBytes) {
  const TLanguageDriver* ru = TLanguageDriver::Find(0x0419, 0);
  std::string yo = Utf8ToCp1251("ё"), ye = Utf8ToCp1251("е");
  TKeyLayout layout;
  layout.Fields = {{kFldString, 3, 0}};
  layout.Driver = ru;
  TBytes a = {1, uint8_t(yo[0]), 'x', 0}, b = {1, uint8_t(ye[0]), 'y', 0};
  EXPECT_EQ(CompareKeys(layout, a.data(), b.data(), 4, false), -1);  // locale: ёx < еy (x < y)
  EXPECT_EQ(CompareKeys(layout, a.data(), b.data(), 2, false), 1);   // partial: ё after е
  layout.BytesOnly = true;
  EXPECT_EQ(CompareKeys(layout, a.data(), b.data(), 4, false), -1);  // 0xB8 < 0xE5
  TBytes c = {1, uint8_t(ye[0]), 'x', 0};
  EXPECT_EQ(CompareKeys(layout, c.data(), b.data(), 4, false), -1);
  EXPECT_EQ(CompareKeys(layout, b.data(), c.data(), 4, true), -1);
}

}  // namespace
}  // namespace tabula
