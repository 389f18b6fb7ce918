// Expression operators: null rules, comparison type pairs, logic,
// arithmetic by type pair, and the string comparison node.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tabula/field_values.h"
#include "tabula/locale.h"
#include "tabula/operators.h"

namespace tabula {
namespace {

TValueCell I16(int16_t v) { TValueCell c; c.SetInt16(v); return c; }
TValueCell U16(uint16_t v) { TValueCell c; c.SetUInt16(v); return c; }
TValueCell I32(int32_t v) { TValueCell c; c.SetInt32(v); return c; }
TValueCell F(double v) { TValueCell c; c.SetFloat(v); return c; }
TValueCell Bcd(int64_t stored) { TValueCell c; c.SetBcd(stored, static_cast<uint8_t>(BcdScale(stored))); return c; }
TValueCell Date(int32_t v) { TValueCell c; c.SetInt32(v, kFldDate); return c; }
TValueCell Time(int32_t v) { TValueCell c; c.SetInt32(v, kFldTime); return c; }
TValueCell Ts(double v) { TValueCell c; c.SetFloat(v, kFldTimestamp); return c; }
TValueCell Str(const std::string& s) { TValueCell c; c.SetString(s); return c; }
TValueCell Bool(bool v) { TValueCell c; c.SetBoolean(v); return c; }
TValueCell NullOf(uint8_t type) { TValueCell c; c.SetNull(type); return c; }
TValueCell NullConstant() { TValueCell c; c.FieldType = kFldNone; return c; }

// The result of a binary operator, or "untouched" when out stayed as it was.
struct TResult {
  bool untouched = false;
  TValueCell cell;
};

TResult Binary(uint8_t op, const TValueCell& l, const TValueCell& r, uint16_t langId = 0) {
  TResult result;
  result.cell.FieldType = 99;  // a marker no operator writes
  ApplyBinary(op, l, r, langId, 0, result.cell);
  result.untouched = result.cell.FieldType == 99;
  return result;
}

// 1 true, 0 false, -1 no result.
int Truth(uint8_t op, const TValueCell& l, const TValueCell& r, uint16_t langId = 0) {
  TResult res = Binary(op, l, r, langId);
  if (res.untouched) return -1;
  EXPECT_EQ(res.cell.FieldType, kFldBoolean);
  EXPECT_TRUE(res.cell.AsUInt16() == 0 || res.cell.AsUInt16() == 0xFFFF);  // 0 or all bits set
  return res.cell.AsBoolean() ? 1 : 0;
}

TEST(Operators, NullRulesOfEquality) {
  struct Case { TValueCell l, r; int equal, notEqual; };
  const std::vector<Case> cases = {
      {NullOf(kFldInt32), I32(0), 0, 1},             // one null
      {I32(0), NullOf(kFldInt32), 0, 1},
      {NullOf(kFldInt32), NullOf(kFldInt32), 1, 0},  // two nulls
      {NullOf(kFldString), NullConstant(), 0, 1},    // null field vs constant not flagged null: one null
      {I32(5), NullConstant(), 0, 1},                // the NULL constant: is the other null?
      {NullConstant(), Str("x"), 0, 1},
      {NullConstant(), NullConstant(), 1, 0},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(Truth(kOpEqual, cases[i].l, cases[i].r), cases[i].equal) << i;
    EXPECT_EQ(Truth(kOpNotEqual, cases[i].l, cases[i].r), cases[i].notEqual) << i;
  }
  // Ordering operators have no null rule: a null compares by its zero bytes.
  EXPECT_EQ(Truth(kOpLess, NullOf(kFldInt32), I32(1)), 1);
  EXPECT_EQ(Truth(kOpGreater, NullOf(kFldInt32), I32(-1)), 1);
  EXPECT_EQ(Truth(kOpLess, NullConstant(), I32(1)), -1);
}

TEST(Operators, ComparisonTypePairs) {
  struct Case { const char* name; TValueCell l, r; int eq, lt, ge; };
  const std::vector<Case> cases = {
      {"str", Str("ab"), Str("abc"), 0, 1, 0},
      {"i16/u16", I16(-1), U16(65535), 0, 1, 0},
      {"i16/u16 eq", I16(5), U16(5), 1, 0, 1},
      {"i32/i16", I32(70000), I16(4464), 0, 0, 1},
      {"i32/f", I32(2), F(2.5), 0, 1, 0},
      {"f/i16", F(-1.0), I16(-1), 1, 0, 1},
      {"bcd/i32", Bcd(50), I32(5), 1, 0, 1},          // 5
      {"bcd/f", Bcd(12342), F(12.35), 0, 1, 0},       // 12.34
      {"f/bcd", F(12.34), Bcd(12342), 1, 0, 1},
      {"bcd/bcd", Bcd(12342), Bcd(123403), 1, 0, 1},  // 12.34 vs 12.340
      {"date", Date(10), Date(11), 0, 1, 0},
      {"time", Time(500), Time(400), 0, 0, 1},
      {"date/ts", Date(2), Ts(2.0 * 86400000), 1, 0, 1},
      {"ts/date", Ts(2.0 * 86400000 + 1), Date(2), 0, 0, 1},
      {"ts/ts", Ts(5), Ts(6), 0, 1, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Truth(kOpEqual, c.l, c.r), c.eq) << c.name;
    EXPECT_EQ(Truth(kOpNotEqual, c.l, c.r), 1 - c.eq) << c.name;
    EXPECT_EQ(Truth(kOpLess, c.l, c.r), c.lt) << c.name;
    EXPECT_EQ(Truth(kOpGreaterEqual, c.l, c.r), c.ge) << c.name;
    EXPECT_EQ(Truth(kOpGreater, c.l, c.r), c.ge && !c.eq ? 1 : 0) << c.name;
    EXPECT_EQ(Truth(kOpLessEqual, c.l, c.r), c.lt || c.eq ? 1 : 0) << c.name;
  }
  // Booleans: equality only, nonzero counts as true.
  TValueCell two;
  two.SetUInt16(2);
  two.FieldType = kFldBoolean;
  EXPECT_EQ(Truth(kOpEqual, Bool(true), two), 1);
  EXPECT_EQ(Truth(kOpLess, Bool(false), Bool(true)), -1);
  // Pairs no comparison handles leave the result alone.
  EXPECT_EQ(Truth(kOpEqual, Str("5"), I32(5)), -1);
  EXPECT_EQ(Truth(kOpLess, Date(1), Time(1)), -1);
  // Strings compare under the table's language driver, case-sensitively.
  std::string yo = Utf8ToCp1251("ёж"), ye = Utf8ToCp1251("ез");
  EXPECT_EQ(Truth(kOpLess, Str(yo), Str(ye)), 1);          // bytes: 0xB8 < 0xE5
  EXPECT_EQ(Truth(kOpLess, Str(yo), Str(ye), 0x0419), 1);  // locale: ё with е, ж before з
  EXPECT_EQ(Truth(kOpGreater, Str(Utf8ToCp1251("Я")), Str(Utf8ToCp1251("а")), 0x0419), 1);
  EXPECT_EQ(Truth(kOpEqual, Str("abc"), Str("ABC"), 0x0419), 0);
}

TEST(Operators, Logic) {
  EXPECT_EQ(Truth(kOpAnd, Bool(true), Bool(false)), 0);
  EXPECT_EQ(Truth(kOpOr, Bool(true), Bool(false)), 1);
  EXPECT_EQ(Truth(kOpAnd, Bool(true), Bool(true)), 1);
  EXPECT_EQ(Truth(kOpAnd, Bool(true), I32(1)), -1);
  EXPECT_EQ(Truth(kOpNot, Bool(true), Bool(true)), -1);  // not binary
  TValueCell out;
  ApplyUnary(kOpNot, Bool(false), out);
  EXPECT_EQ(out.AsUInt16(), 0xFFFF);
  ApplyUnary(kOpIsNull, NullOf(kFldDate), out);
  EXPECT_TRUE(out.AsBoolean());
  ApplyUnary(kOpIsNotNull, NullOf(kFldDate), out);
  EXPECT_FALSE(out.AsBoolean());
  ApplyUnary(kOpIsNull, NullConstant(), out);
  EXPECT_TRUE(out.AsBoolean());
}

TEST(Operators, UnaryNegateAndPlus) {
  TValueCell out;
  ApplyUnary(kOpNegate, I32(7), out);
  EXPECT_EQ(out.FieldType, kFldInt32);
  EXPECT_EQ(out.AsInt32(), -7);
  ApplyUnary(kOpNegate, I32(INT32_MIN), out);  // wraps in 32 bits
  EXPECT_EQ(out.AsInt32(), INT32_MIN);
  ApplyUnary(kOpNegate, I16(-32768), out);
  EXPECT_EQ(out.AsInt16(), -32768);
  ApplyUnary(kOpNegate, Date(3), out);
  EXPECT_EQ(out.FieldType, kFldDate);
  EXPECT_EQ(out.AsInt32(), -3);
  ApplyUnary(kOpNegate, Ts(1.5), out);
  EXPECT_EQ(out.FieldType, kFldTimestamp);
  EXPECT_EQ(out.AsFloat(), -1.5);
  ApplyUnary(kOpNegate, Bcd(12342), out);
  EXPECT_EQ(out.AsInt64(), -12342);
  EXPECT_EQ(out.Scale, 2);
  ApplyUnary(kOpPlus, Bcd(-123403), out);  // re-stored at its scale
  EXPECT_EQ(out.AsInt64(), -123403);
  TValueCell untouched = Str("keep");
  ApplyUnary(kOpNegate, Str("x"), untouched);
  EXPECT_EQ(untouched.AsString(), "keep");
}

TEST(Operators, ArithmeticByTypePair) {
  struct Case { const char* name; uint8_t op; TValueCell l, r; uint8_t type; double value; };
  const std::vector<Case> cases = {
      {"i+i", kOpAdd, I16(2), U16(3), kFldInt32, 5},
      {"i*i", kOpMultiply, I32(-4), I16(3), kFldInt32, -12},
      {"i/i", kOpDivide, I32(7), I32(2), kFldFloat, 3.5},
      {"i-f", kOpSubtract, I32(1), F(0.25), kFldFloat, 0.75},
      {"f/f", kOpDivide, F(1), F(4), kFldFloat, 0.25},
      {"f*bcd", kOpMultiply, F(2), Bcd(12342), kFldFloat, 24.68},
      {"bcd-f", kOpSubtract, Bcd(12342), F(0.34), kFldFloat, 12.0},
      {"date+i", kOpAdd, Date(2), I32(1), kFldDate, 3},
      {"date-i", kOpSubtract, Date(2), I32(5), kFldDate, -3},
      {"i+date", kOpAdd, I32(1), Date(2), kFldInt32, 3},
      {"date-date", kOpSubtract, Date(10), Date(3), kFldInt32, 7},
      {"time+i", kOpAdd, Time(1000), I32(5), kFldInt32, 1005},
      {"time-time", kOpSubtract, Time(1000), Time(1500), kFldInt32, -500},
      {"ts+i", kOpAdd, Ts(EncodeTimestamp(5, 1000)), I32(2), kFldTimestamp, EncodeTimestamp(7, 1000)},
      {"i+ts", kOpAdd, I32(2), Ts(EncodeTimestamp(5, 1000)), kFldTimestamp, EncodeTimestamp(7, 1000)},
      {"ts-i", kOpSubtract, Ts(EncodeTimestamp(5, 1000)), I32(2), kFldTimestamp, EncodeTimestamp(3, 1000)},
      {"ts-date", kOpSubtract, Ts(EncodeTimestamp(9, 3600000)), Date(4), kFldInt32, 5},
      {"ts-time", kOpSubtract, Ts(EncodeTimestamp(9, 3600000)), Time(1000), kFldInt32, 3599000},
      {"ts-ts", kOpSubtract, Ts(EncodeTimestamp(9, 10)), Ts(EncodeTimestamp(8, 0)), kFldFloat, 86400010},
  };
  for (const Case& c : cases) {
    TResult res = Binary(c.op, c.l, c.r);
    ASSERT_FALSE(res.untouched) << c.name;
    EXPECT_FALSE(res.cell.IsNull) << c.name;
    EXPECT_EQ(res.cell.FieldType, c.type) << c.name;
    double got = c.type == kFldFloat || c.type == kFldTimestamp ? res.cell.AsFloat() : res.cell.AsInt32();
    EXPECT_DOUBLE_EQ(got, c.value) << c.name;
  }
}

TEST(Operators, BcdArithmeticKeepsTheBcdOperandsScale) {
  struct Case { uint8_t op; TValueCell l, r; int64_t stored; };
  const std::vector<Case> cases = {
      {kOpAdd, Bcd(12342), I32(1), 13342},          // 12.34 + 1 = 13.34
      {kOpAdd, I32(1), Bcd(12342), 13342},
      {kOpMultiply, Bcd(12342), I32(3), 37022},     // 37.02
      {kOpDivide, Bcd(100), I32(3), 30},            // 10 / 3 at scale 0 = 3
      {kOpDivide, Bcd(10002), I32(3), 3332},        // 10.00 / 3 = 3.33
      {kOpDivide, I32(1), Bcd(3002), 332},          // 1 / 3.00 = 0.33
      {kOpMultiply, Bcd(151), Bcd(151), 231},       // 1.5 * 1.5 = 2.25 -> 2.3, halves away from zero
      {kOpSubtract, Bcd(12342), Bcd(50003), 7342},  // 12.34 - 5.000 at the left one's scale
      {kOpSubtract, Bcd(-12342), I32(1), -13342},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    TResult res = Binary(cases[i].op, cases[i].l, cases[i].r);
    ASSERT_FALSE(res.untouched) << i;
    EXPECT_EQ(res.cell.FieldType, kFldBcd) << i;
    EXPECT_FALSE(res.cell.IsNull) << i;
    EXPECT_EQ(res.cell.AsInt64(), cases[i].stored) << i;
  }
}

TEST(Operators, DivisionByZeroIsNullAndStringsConcatenate) {
  for (const TValueCell& zero : {I32(0), F(0.0), Bcd(2)}) {
    TResult res = Binary(kOpDivide, I32(5), zero);
    ASSERT_FALSE(res.untouched);
    EXPECT_TRUE(res.cell.IsNull);
  }
  TResult joined = Binary(kOpAdd, Str("ab"), Str("cd"));
  EXPECT_EQ(joined.cell.AsString(), "abcd");
  TResult longJoin = Binary(kOpAdd, Str(std::string(200, 'x')), Str(std::string(200, 'y')));
  EXPECT_EQ(longJoin.cell.AsString().size(), 254u);  // cut to fit the value area with its zero
  // Pairs the arithmetic does not handle.
  EXPECT_TRUE(Binary(kOpMultiply, Date(1), I32(2)).untouched);
  EXPECT_TRUE(Binary(kOpSubtract, Str("a"), Str("b")).untouched);
  EXPECT_TRUE(Binary(kOpAdd, Date(1), Date(2)).untouched);
  EXPECT_TRUE(Binary(kOpAdd, F(1), Date(2)).untouched);
}

TEST(Operators, StringCompareNode) {
  auto node = [](uint8_t op, uint8_t partial, bool ci, uint16_t langId, const TValueCell& left,
                 const TValueCell& right) {
    TValueCell out;
    out.FieldType = 99;
    CompareStringNode(op, partial, ci, langId, 0, out, right, left);
    return out.FieldType == 99 ? -1 : (out.AsBoolean() ? 1 : 0);
  };
  std::string lowerRu = Utf8ToCp1251("иванов"), upperRu = Utf8ToCp1251("ИВАНОВ");
  EXPECT_EQ(node(kOpEqual, 0, true, 0, Str("abc"), Str("ABC")), 1);
  EXPECT_EQ(node(kOpEqual, 0, true, 0, Str(lowerRu), Str(upperRu)), 0);
  EXPECT_EQ(node(kOpEqual, 0, true, 0x0419, Str(lowerRu), Str(upperRu)), 1);
  EXPECT_EQ(node(kOpEqual, 3, false, 0, Str("abcdef"), Str("abc")), 1);  // prefix match
  EXPECT_EQ(node(kOpNotEqual, 3, false, 0, Str("abxdef"), Str("abc")), 1);
  EXPECT_EQ(node(kOpEqual, 0, false, 0, NullOf(kFldString), Str("a")), 0);
  EXPECT_EQ(node(kOpNotEqual, 0, false, 0, NullOf(kFldString), Str("a")), 1);
  EXPECT_EQ(node(kOpEqual, 0, false, 0, Str("a"), NullConstant()), 0);
  EXPECT_EQ(node(kOpNotEqual, 0, false, 0, Str("a"), NullConstant()), 1);
  EXPECT_EQ(node(kOpLess, 0, false, 0, Str("a"), Str("b")), -1);  // only = and <>
}

}  // namespace
}  // namespace tabula
