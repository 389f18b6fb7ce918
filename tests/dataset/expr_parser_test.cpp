// The filter expression parser: its messages, and the buffers it builds,
// byte for byte where the layout matters and decoded by the engine where
// the constants' conversions matter.

#include "dataset/expr_parser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tabula/engine_error.h"
#include "tabula/field_types.h"
#include "tabula/field_values.h"
#include "tabula/filter_expr.h"
#include "tabula/locale.h"
#include "framework/core/exceptions.h"

namespace {

using namespace tabula;
using namespace tabula::db;

struct TTestFields : TFilterFieldSource {
  std::vector<TFilterField> Fields = {
      {"Numtel", 1, TFilterFieldKind::kData, TFilterDataType::kString, 0},
      {"Name", 2, TFilterFieldKind::kData, TFilterDataType::kString, 0},
      {"Flag", 3, TFilterFieldKind::kData, TFilterDataType::kBoolean, 0},
      {"Small", 4, TFilterFieldKind::kData, TFilterDataType::kSmallint, 0},
      {"Cnt", 5, TFilterFieldKind::kData, TFilterDataType::kInteger, 0},
      {"Id", 6, TFilterFieldKind::kData, TFilterDataType::kAutoInc, 0},
      {"W", 7, TFilterFieldKind::kData, TFilterDataType::kWord, 0},
      {"F", 8, TFilterFieldKind::kData, TFilterDataType::kFloat, 0},
      {"Cur", 9, TFilterFieldKind::kData, TFilterDataType::kCurrency, 0},
      {"Amount", 10, TFilterFieldKind::kData, TFilterDataType::kBcd, 2},
      {"D", 11, TFilterFieldKind::kData, TFilterDataType::kDate, 0},
      {"T", 12, TFilterFieldKind::kData, TFilterDataType::kTime, 0},
      {"Dt", 13, TFilterFieldKind::kData, TFilterDataType::kDateTime, 0},
      {"Calc", 14, TFilterFieldKind::kOther, TFilterDataType::kInteger, 0},
      {"Memo", 15, TFilterFieldKind::kData, TFilterDataType::kOther, 0},
      {"Inner", 16, TFilterFieldKind::kInternalCalc, TFilterDataType::kInteger, 0},
      {"Two Words", 17, TFilterFieldKind::kData, TFilterDataType::kString, 0},
      {"CalcFlag", 18, TFilterFieldKind::kOther, TFilterDataType::kBoolean, 0},
  };

  const TFilterField* FindFilterField(const std::string& name) const override {
    for (const auto& f : Fields) {
      if (f.Name.size() != name.size()) continue;
      bool same = true;
      for (size_t i = 0; i < name.size() && same; ++i)
        same = std::toupper(static_cast<unsigned char>(f.Name[i])) == std::toupper(static_cast<unsigned char>(name[i]));
      if (same) return &f;
    }
    return nullptr;
  }
};

std::vector<uint8_t> Parse(const std::string& text, uint32_t options = 0) {
  TTestFields fields;
  return TExprParser(text, fields, options).FilterData();
}

std::string ErrorOf(const std::string& text, uint32_t options = 0) {
  try {
    Parse(text, options);
  } catch (const fw::EDatabaseError& e) {
    return e.Message;
  } catch (const fw::Exception& e) {
    return "other: " + e.Message;
  }
  return "no error";
}

std::vector<uint8_t> Hex(const std::string& hex) {
  std::vector<uint8_t> bytes;
  std::string digits;
  for (char c : hex)
    if (std::isxdigit(static_cast<unsigned char>(c))) digits.push_back(c);
  for (size_t i = 0; i + 1 < digits.size(); i += 2) bytes.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return bytes;
}

// ---------------------------------------------------------------- messages

TEST(ExprParserTest, MessagesForBadTexts) {
  const struct {
    const char* text;
    uint32_t options;
    const char* message;
  } cases[] = {
      {"Numtel = 'abc", 0, "Unterminated string constant"},
      {"Numtel = 'it''s", 0, "Unterminated string constant"},
      {"[Numtel = '1'", 0, "Unterminated field name"},
      {"Numtel # '1'", 0, "Invalid filter expression character: '#'"},
      {"Numtel != '1'", 0, "Invalid filter expression character: '!'"},
      {"Numtel = '1' ; ", 0, "Invalid filter expression character: ';'"},
      {"", 0, "Expression expected but nothing found"},
      {"   ", 0, "Expression expected but nothing found"},
      {"Numtel =", 0, "Expression expected but nothing found"},
      {"Numtel = = '1'", 0, "Expression expected but '=' found"},
      {"Numtel = '1' AND", 0, "Expression expected but nothing found"},
      {"Numtel = '1' AND OR Name = 'x'", 0, "Expression expected but 'OR' found"},
      {"( )", 0, "Expression expected but ')' found"},
      {"NOT NOT Flag", 0, "Expression expected but 'NOT' found"},
      {"(Numtel = '1'", 0, "')' expected but nothing found"},
      {"(Numtel = '1' Name", 0, "')' expected but 'Name' found"},
      {"(Small = 1 'x')", 0, "')' expected but ''x'' found"},
      {"Small = 1 = 2", 0, "Filter expression incorrectly terminated"},
      {"Small = 1 Name", 0, "Filter expression incorrectly terminated"},
      {"Small = 1)", 0, "Filter expression incorrectly terminated"},
      {"Numtel", 0, "Field 'Numtel' is not of type Boolean"},
      {"Flag AND Small", 0, "Field 'Small' is not of type Boolean"},
      {"NOT [Name]", 0, "Field 'Name' is not of type Boolean"},
      {"CalcFlag", 0, "Field 'CalcFlag' cannot be used in a filter expression"},
      {"Calc = 1", 0, "Field 'Calc' cannot be used in a filter expression"},
      {"1 = Calc", 0, "Field 'Calc' cannot be used in a filter expression"},
      {"Small = Calc", 0, "Field 'Calc' cannot be used in a filter expression"},
      {"Memo = 'x'", 0, "Field 'Memo' cannot be used in a filter expression"},
      {"Name > NULL", 0, "NULL only allowed with '=' and '<>'"},
      {"NULL <= Small", 0, "NULL only allowed with '=' and '<>'"},
      {"Small = 32768", 0, "Constant out of range"},
      {"Small = -32769", 0, "Constant out of range"},
      {"Small = '40000'", 0, "Constant out of range"},
      {"W = -1", 0, "Constant out of range"},
      {"W = 65536", 0, "Constant out of range"},
      {"Cnt = 2147483648", 0, "Constant out of range"},
      {"Small = 1e10", 0, "Constant out of range"},
      {"5", 0, "Incorrectly formed filter expression"},
      {"'abc'", 0, "Incorrectly formed filter expression"},
      {"Flag AND TRUE", 0, "Incorrectly formed filter expression"},
      {"5 = 5", 0, "Incorrectly formed filter expression"},
      {"NULL = NULL", 0, "Incorrectly formed filter expression"},
      {"(Small = 1) = (Small = 2)", 0, "Incorrectly formed filter expression"},
      {"Nofield = 1", 0, "Field 'Nofield' not found"},
      {"[No field] = 1", 0, "Field 'No field' not found"},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorOf(c.text, c.options), c.message) << c.text;
}

TEST(ExprParserTest, ConversionErrorsOfTextConstantsAreTheRunTimesOwn) {
  EXPECT_EQ(ErrorOf("Flag = 'yes'"), "other: 'yes' is not a valid boolean value");
  EXPECT_EQ(ErrorOf("D = 'soon'").rfind("other: 'soon'", 0), 0u);
  EXPECT_EQ(ErrorOf("F = 'many'").rfind("other: 'many'", 0), 0u);
}

TEST(ExprParserTest, HostileNestingIsRefusedNotOverflowed) {
  EXPECT_EQ(ErrorOf(std::string(100000, '(')), "Filter expression too complex");
  std::string chain = "Small = 1";
  for (int i = 0; i < 3000; ++i) chain += " AND Small = 1";
  EXPECT_EQ(ErrorOf(chain), "Filter expression too complex");
  // A text of modest size goes through.
  std::string modest = "Small = 1";
  for (int i = 0; i < 100; ++i) modest += " OR Small = " + std::to_string(i);
  EXPECT_NO_THROW(Parse(modest));
}

// ---------------------------------------------------------------- buffers

TEST(ExprParserTest, ComparisonBufferByteForByte) {
  const std::vector<uint8_t> expected = Hex(
      "0000 3900 FFFF 0A00 3000"                       // header: size 57, node area 38 bytes
      "02000000 05000000 0C00 1800"                    // binary >, field at 12, constant at 24
      "04000000 0D000000 0100 0000"                    // field 1, name at literal 0
      "05000000 0E000000 0100 0200 0700"               // string constant of 2 bytes at literal 7
      "4E756D74656C00 3500");                          // "Numtel", "5"
  EXPECT_EQ(Parse("Numtel > 5"), expected);
  EXPECT_EQ(Parse("5 < Numtel"), expected);
  EXPECT_EQ(Parse("  (numtel>5)  "), expected);
  EXPECT_EQ(Parse("[Numtel] > '5'"), expected);
}

TEST(ExprParserTest, PartialCompareBuffers) {
  EXPECT_EQ(Parse("Numtel = '1234*'"),
            Hex("0000 4000 FFFF 0A00 3400"
                "03000000 03000000 0000 0400 1000 1C00"  // string compare, not case-insensitive, partial 4
                "04000000 0D000000 0100 0000"
                "05000000 0E000000 0100 0500 0700"
                "4E756D74656C00 3132333400"));
  EXPECT_EQ(Parse("Numtel = '1234*'", kFilterNoPartialCompare),
            Hex("0000 3D00 FFFF 0A00 3000"
                "02000000 03000000 0C00 1800"
                "04000000 0D000000 0100 0000"
                "05000000 0E000000 0100 0600 0700"
                "4E756D74656C00 313233342A00"));
  // A lone '*' is an ordinary character; <> takes a partial length too.
  EXPECT_EQ(Parse("Numtel = '*'")[10], 2);
  const auto notEqual = Parse("Numtel <> 'ab*'");
  EXPECT_EQ(notEqual[10], kNodeCompare);
  EXPECT_EQ(notEqual[14], kOpNotEqual);
  EXPECT_EQ(notEqual[20], 2);  // partial length
  // Ordering operators never become string compares.
  EXPECT_EQ(Parse("Numtel > 'ab*'", kFilterCaseInsensitive)[10], kNodeBinary);
}

TEST(ExprParserTest, NullTestsAndBooleanFieldAlone) {
  EXPECT_EQ(Parse("Name = NULL"),
            Hex("0000 2500 FFFF 0A00 2000"
                "01000000 01000000 0A00"                 // is blank, field at 10
                "04000000 0D000000 0200 0000"
                "4E616D6500"));
  const auto notBlank = Parse("NULL <> Name");
  EXPECT_EQ(notBlank[10], kNodeUnary);
  EXPECT_EQ(notBlank[14], kOpIsNotNull);
  EXPECT_EQ(Parse("Flag"),
            Hex("0000 3700 FFFF 0A00 3000"
                "02000000 03000000 0C00 1800"            // Flag = TRUE
                "04000000 0D000000 0300 0000"
                "05000000 0E000000 0400 0200 0500"
                "466C616700 FFFF"));
  EXPECT_EQ(Parse("Flag = true"), Parse("Flag"));
}

TEST(ExprParserTest, LogicBuffersWriteEachNodeBeforeItsOperands) {
  // NOT (a) OR b AND c: OR at 0, NOT at 12, a under it, then AND, b, c.
  const auto buffer = Parse("NOT Flag OR Small = 1 AND Cnt = 2");
  TFilterFieldLookup lookup = [](const std::string& name, TFilterFieldInfo& info) {
    info = {};
    info.FieldType = name == "Flag" ? kFldBoolean : name == "Small" ? kFldInt16 : kFldInt32;
    return true;
  };
  TFilterConversion c = ConvertFilterBuffer(buffer.data(), buffer.size(), lookup);
  ASSERT_EQ(c.Code, 0);
  EXPECT_EQ(c.Root->Operator, kOpOr);
  EXPECT_EQ(c.Root->Left->Operator, kOpNot);
  EXPECT_EQ(c.Root->Left->Left->Operator, kOpEqual);
  EXPECT_EQ(c.Root->Right->Operator, kOpAnd);
  EXPECT_EQ(c.Root->Right->Left->Left->FieldName, "Small");
  EXPECT_EQ(c.Root->Right->Right->Left->FieldName, "Cnt");
  EXPECT_EQ(LoadU32(buffer.data() + 10), kNodeBinary);
  EXPECT_EQ(LoadU16(buffer.data() + 10 + 8), 12);  // NOT right after OR
}

TEST(ExprParserTest, CyrillicConstantsStayInWindows1251) {
  const std::string ivan = Utf8ToCp1251("Иван");
  ASSERT_EQ(ivan, "\xC8\xE2\xE0\xED");
  const auto plain = Parse("Name = '" + ivan + "'");
  const std::vector<uint8_t> tail = Hex("4E616D6500 C8E2E0ED00");
  ASSERT_GE(plain.size(), tail.size());
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), plain.end() - static_cast<long>(tail.size())));
  EXPECT_EQ(plain[10], kNodeBinary);
  const auto ci = Parse("Name = '" + ivan + "'", kFilterCaseInsensitive);
  EXPECT_EQ(ci[10], kNodeCompare);
  EXPECT_EQ(ci[18], 1);  // case-insensitive
  EXPECT_EQ(ci[20], 0);  // whole strings
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), ci.end() - static_cast<long>(tail.size())));
  // A Cyrillic field name needs brackets: unbracketed, only its first letter
  // forms the identifier.
  EXPECT_EQ(ErrorOf(Utf8ToCp1251("Имя = 'x'")), "Field '" + Utf8ToCp1251("И") + "' not found");
}

TEST(ExprParserTest, StringConstantsDoubleQuotesAndLimits) {
  TFilterFieldLookup lookup = [](const std::string&, TFilterFieldInfo& info) {
    info = {};
    info.FieldType = kFldString;
    return true;
  };
  auto constantOf = [&](const std::string& text, uint32_t options = 0) {
    auto buffer = Parse(text, options);
    TFilterConversion c = ConvertFilterBuffer(buffer.data(), buffer.size(), lookup);
    EXPECT_EQ(c.Code, 0) << text;
    return c.Root ? c.Root->Right.get() ? std::string(c.Root->Right->ConstValue.begin(), c.Root->Right->ConstValue.end())
                                        : std::string()
                  : std::string();
  };
  EXPECT_EQ(constantOf("Name = 'it''s'"), std::string("it's\0", 5));
  // 300 characters: 256 kept by the scanner, 255 by the constant.
  EXPECT_EQ(constantOf("Name = '" + std::string(300, 'x') + "'").size(), 256u);
  // The empty string is a constant of size 1 (blank), never a string compare.
  auto empty = Parse("Name = ''", kFilterCaseInsensitive);
  EXPECT_EQ(empty[10], kNodeBinary);
}

TEST(ExprParserTest, ConstantsConvertToTheFieldsType) {
  TTestFields fields;
  TFilterFieldLookup lookup = [&](const std::string& name, TFilterFieldInfo& info) {
    info = {};
    info.FieldType = kFldString;  // the engine's types are not needed to decode constants
    return fields.FindFilterField(name) != nullptr;
  };
  auto bytes = [](auto value) {
    std::vector<uint8_t> v(sizeof value);
    std::memcpy(v.data(), &value, sizeof value);
    return v;
  };
  std::vector<uint8_t> bcd(kBcdLiteralSize, 0);
  StoreI64(bcd.data(), 12342);
  std::vector<uint8_t> bcdNegative(kBcdLiteralSize, 0);
  StoreI64(bcdNegative.data(), -5002);
  const struct {
    const char* text;
    uint8_t type;
    std::vector<uint8_t> value;
  } cases[] = {
      {"Small = -5", kFldInt16, bytes(int16_t{-5})},
      {"Small = '-32768'", kFldInt16, bytes(int16_t{-32768})},
      {"Small = 2.5", kFldInt16, bytes(int16_t{2})},
      {"Cnt = 100000", kFldInt32, bytes(int32_t{100000})},
      {"Cnt = ' 42 '", kFldInt32, bytes(int32_t{42})},
      {"Id = 7", kFldInt32, bytes(int32_t{7})},
      {"Inner = 3", kFldInt32, bytes(int32_t{3})},
      {"W = 65535", kFldUInt16, bytes(uint16_t{65535})},
      {"Flag = FALSE", kFldBoolean, bytes(int16_t{0})},
      {"Flag = 'true'", kFldBoolean, bytes(int16_t{-1})},
      {"F = 1.5", kFldFloat, bytes(1.5)},
      {"F = '-2.25e1'", kFldFloat, bytes(-22.5)},
      {"Cur = 3", kFldFloat, bytes(3.0)},
      {"Amount = 12.34", kFldBcd, bcd},
      {"Amount = 12.3449", kFldBcd, bcd},
      {"Amount = '-5'", kFldBcd, bcdNegative},
      {"D = '3/15/2024'", kFldDate, bytes(EncodeDayNumber(2024, 3, 15))},
      {"D = 0", kFldDate, bytes(int32_t{kDateDelta})},
      {"T = '10:30'", kFldTime, bytes(int32_t{(10 * 60 + 30) * 60000})},
      {"T = 0.5", kFldTime, bytes(int32_t{12 * 3600000})},
      {"Dt = '3/15/2024 10:30'", kFldTimestamp,
       bytes(EncodeTimestamp(EncodeDayNumber(2024, 3, 15), (10 * 60 + 30) * 60000))},
      {"Dt = 1.25", kFldTimestamp, bytes((kDateDelta + 1.25) * 86400000.0)},
      {"Name = 123", kFldString, {'1', '2', '3', 0}},
      {"Name = TRUE", kFldString, {'T', 'r', 'u', 'e', 0}},
      {"Small <> Cnt", kFldNone, {}},
  };
  for (const auto& c : cases) {
    auto buffer = Parse(c.text);
    TFilterConversion conv = ConvertFilterBuffer(buffer.data(), buffer.size(), lookup);
    ASSERT_EQ(conv.Code, 0) << c.text;
    const TFilterNode* constant = conv.Root->Right.get();
    ASSERT_NE(constant, nullptr) << c.text;
    if (c.type == kFldNone) {
      EXPECT_TRUE(constant->IsField()) << c.text;
      continue;
    }
    ASSERT_TRUE(constant->IsConstant()) << c.text;
    EXPECT_EQ(constant->ConstType, c.type) << c.text;
    EXPECT_EQ(constant->ConstValue, c.value) << c.text;
  }
}

TEST(ExprParserTest, NumberTokensAndKeywordsIgnoreCase) {
  // "or"/"and"/"not" in any case; a number token runs over digits, signs, '.', 'E'.
  EXPECT_EQ(Parse("not Flag or Small = 1 and Cnt = -2"), Parse("NOT Flag OR Small = 1 AND Cnt = -2"));
  EXPECT_EQ(Parse("F = 1E3"), Parse("F = 1000"));
  EXPECT_EQ(ErrorOf("Small = 1-2").rfind("other: '1-2'", 0), 0u);
}

}  // namespace
