// Key bounds of single filter conditions.

#include "engine/filter_bounds.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tabula/field_types.h"
#include "engine/key_encoding.h"
#include "tabula/locale.h"
#include "tabula/operators.h"

namespace {

using namespace tabula;

std::vector<uint8_t> Hex(const std::string& hex) {
  std::vector<uint8_t> bytes;
  std::string digits;
  for (char c : hex)
    if (std::isxdigit(static_cast<unsigned char>(c))) digits.push_back(c);
  for (size_t i = 0; i + 1 < digits.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return bytes;
}

TKeyBounds Int16Bounds(uint8_t op, int16_t value, bool descending, bool fieldDescending = false) {
  uint8_t stored[2];
  StoreI16(stored, value);
  TKeyBoundsRequest r;
  r.Operator = op;
  r.FieldType = kFldInt16;
  r.Width = 2;
  r.Value = stored;
  r.IndexDescending = descending;
  r.FieldDescending = fieldDescending;
  r.KeyLength = 7;  // the field (3 bytes) and a 4-byte suffix
  return BuildKeyBounds(r);
}

TEST(FilterBoundsTest, EachOperatorAscendingAndDescending) {
  const struct {
    uint8_t op;
    bool descending;
    const char* low;
    const char* high;
    bool invert;
  } cases[] = {
      {kOpIsNull, false, "00 0000 00000000", "00 FFFF FFFFFFFF", false},
      {kOpIsNotNull, false, "01 0000 00000000", "01 FFFF FFFFFFFF", false},
      {kOpEqual, false, "01 8005 00000000", "01 8005 FFFFFFFF", false},
      {kOpNotEqual, false, "01 8005 00000000", "01 8005 FFFFFFFF", true},
      {kOpGreater, false, "01 8006 00000000", "01 FFFF FFFFFFFF", false},
      {kOpGreaterEqual, false, "01 8005 00000000", "01 FFFF FFFFFFFF", false},
      {kOpLess, false, "01 0000 00000000", "01 8004 FFFFFFFF", false},
      {kOpLessEqual, false, "01 0000 00000000", "01 8005 FFFFFFFF", false},
      // Descending: ordering bounds change places; fills are 0xFF low, 0x00 high.
      {kOpIsNull, true, "00 FFFF FFFFFFFF", "00 0000 00000000", false},
      {kOpIsNotNull, true, "01 FFFF FFFFFFFF", "01 0000 00000000", false},
      {kOpEqual, true, "01 8005 FFFFFFFF", "01 8005 00000000", false},
      {kOpNotEqual, true, "01 8005 FFFFFFFF", "01 8005 00000000", true},
      {kOpGreater, true, "01 FFFF FFFFFFFF", "01 8006 00000000", false},
      {kOpGreaterEqual, true, "01 FFFF FFFFFFFF", "01 8005 00000000", false},
      {kOpLess, true, "01 8004 FFFFFFFF", "01 0000 00000000", false},
      {kOpLessEqual, true, "01 8005 FFFFFFFF", "01 0000 00000000", false},
  };
  for (const auto& c : cases) {
    TKeyBounds b = Int16Bounds(c.op, 5, c.descending);
    EXPECT_EQ(b.Low, Hex(c.low)) << int(c.op) << (c.descending ? " desc" : "");
    EXPECT_EQ(b.High, Hex(c.high)) << int(c.op) << (c.descending ? " desc" : "");
    EXPECT_EQ(b.Invert, c.invert);
  }
}

TEST(FilterBoundsTest, PlusAndMinusOneCarryAcrossTheFieldAndItsPresenceByte) {
  EXPECT_EQ(Int16Bounds(kOpGreater, 255, false).Low, Hex("01 8100 00000000"));       // 80 FF + 1
  EXPECT_EQ(Int16Bounds(kOpLess, 256, false).High, Hex("01 80FF FFFFFFFF"));         // 81 00 - 1
  EXPECT_EQ(Int16Bounds(kOpGreater, 32767, false).Low, Hex("02 0000 00000000"));     // above every value
  EXPECT_EQ(Int16Bounds(kOpLess, -32768, false).High, Hex("00 FFFF FFFFFFFF"));      // below every value
  // Nothing lies below the smallest value: the low bound is above the high one.
  TKeyBounds none = Int16Bounds(kOpLess, -32768, false);
  EXPECT_GT(CompareBytes(none.Low.data(), none.High.data(), none.Low.size()), 0);
}

TEST(FilterBoundsTest, StringsCarryOverTheirCharactersAndKeepTheTerminatorPosition) {
  auto bounds = [](uint8_t op, const char* text, uint8_t partial, bool ci) {
    uint8_t stored[5] = {};
    std::memcpy(stored, text, std::strlen(text));
    TKeyBoundsRequest r;
    r.Operator = op;
    r.FieldType = kFldString;
    r.Width = 5;  // four characters and the terminator
    r.Value = stored;
    r.PartialLength = partial;
    r.CaseInsensitive = ci;
    r.KeyLength = 6;
    return BuildKeyBounds(r);
  };
  EXPECT_EQ(bounds(kOpGreater, "ab", 0, false).Low, Hex("01 61 62 00 01 00"));
  EXPECT_EQ(bounds(kOpGreater, "abcd", 0, false).Low, Hex("01 61 62 63 65 00"));
  EXPECT_EQ(bounds(kOpLess, "ab", 0, false).High, Hex("01 61 61 FF FF 00"));
  EXPECT_EQ(bounds(kOpEqual, "ab", 0, true).Low, Hex("01 41 42 00 00 00"));
  TKeyBounds prefix = bounds(kOpEqual, "ab", 2, false);
  EXPECT_EQ(prefix.Low, Hex("01 61 62 00 00 00"));
  EXPECT_EQ(prefix.High, Hex("01 61 62 FF FF FF"));
  // A partial length longer than the field counts as the whole field.
  EXPECT_EQ(bounds(kOpEqual, "ab", 200, false).High, Hex("01 61 62 00 00 00"));
}

TEST(FilterBoundsTest, AFieldDescendingOnItsOwnGetsInvertedSwappedBounds) {
  // Stored keys of such a field are inverted: Small = 6 is FE 7F F9.
  TKeyBounds b = Int16Bounds(kOpGreater, 5, false, true);
  EXPECT_EQ(b.Low, Hex("FE 0000 00000000"));
  EXPECT_EQ(b.High, Hex("FE 7FF9 FFFFFFFF"));
  uint8_t six[2], key[3];
  StoreI16(six, 6);
  EncodeKeyField(kFldInt16, 2, true, six, true, false, nullptr, key);
  EXPECT_EQ(std::vector<uint8_t>(key, key + 3), Hex("FE 7F F9"));
  TKeyBounds blank = Int16Bounds(kOpIsNull, 0, false, true);
  EXPECT_EQ(blank.Low, Hex("FF 0000 00000000"));
  EXPECT_EQ(blank.High, Hex("FF FFFF FFFFFFFF"));
}

TEST(FilterBoundsTest, BooleanTrueConstantHasTheKeyOfAStoredTrue) {
  TFilterNode condition;
  condition.NodeClass = kNodeBinary;
  condition.Operator = kOpEqual;
  condition.Left = std::make_unique<TFilterNode>();
  condition.Left->NodeClass = kNodeField;
  condition.Left->Field.FieldType = kFldBoolean;
  condition.Left->Field.Width = 2;
  condition.Right = std::make_unique<TFilterNode>();
  condition.Right->NodeClass = kNodeConstant;
  condition.Right->ConstType = kFldBoolean;
  condition.Right->ConstSize = 2;
  condition.Right->ConstValue = {0xFF, 0xFF};  // -1, the expression's true
  TIndexDescriptor index;
  index.FieldCount = 1;
  index.KeyLength = 3;
  TKeyBounds bounds;
  ASSERT_TRUE(BuildConditionBounds(condition, index, nullptr, bounds));
  const uint8_t storedTrue[2] = {1, 0};
  uint8_t key[3];
  EncodeKeyField(kFldBoolean, 2, true, storedTrue, false, false, nullptr, key);
  EXPECT_EQ(bounds.Low, std::vector<uint8_t>(key, key + 3));
  EXPECT_EQ(bounds.High, std::vector<uint8_t>(key, key + 3));
  // A constant of another type than the field is not answered from the index.
  condition.Right->ConstType = kFldInt16;
  EXPECT_FALSE(BuildConditionBounds(condition, index, nullptr, bounds));
}

TEST(FilterBoundsTest, FittingIndexFollowsSlotOrderAndCaseSetting) {
  TIndexHeader h = TIndexHeader::NewFile();
  h.SecondaryCount = 3;
  h.Descriptors[0].FieldCount = 1;
  h.Descriptors[0].FieldNumbers[0] = 1;
  h.Descriptors[1].FieldCount = 1;
  h.Descriptors[1].FieldNumbers[0] = 2;
  h.Descriptors[1].CaseInsensitive = true;
  h.Descriptors[2].FieldCount = 2;
  h.Descriptors[2].FieldNumbers[0] = 2;
  h.Descriptors[3].FieldCount = 1;
  h.Descriptors[3].FieldNumbers[0] = 3;
  TFilterFieldInfo name{2, kFldString, 0, 11, 0, 9};
  TFilterFieldInfo number{1, kFldInt32, 0, 4, 0, 21};
  TFilterFieldInfo other{4, kFldInt32, 0, 4, 0, 26};
  EXPECT_EQ(FindFittingIndex(h, number, false, false), 0);
  EXPECT_EQ(FindFittingIndex(h, number, true, false), 0);  // case settings matter for strings only
  EXPECT_EQ(FindFittingIndex(h, name, true, false), 1);
  EXPECT_EQ(FindFittingIndex(h, name, false, false), 2);
  EXPECT_EQ(FindFittingIndex(h, name, false, true), 1);
  EXPECT_EQ(FindFittingIndex(h, other, false, false), -1);
  h.NoPrimaryIndex = 1;
  EXPECT_EQ(FindFittingIndex(h, name, true, false), -1);
}

}  // namespace
