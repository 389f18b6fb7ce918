// The tool's pieces: CSV reading and writing, field values as text, the
// schema file format.
#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <sstream>

#include "tabula/field_types.h"
#include "tabula/locale.h"
#include "tests/support/temp_dir.h"
#include "tools/tabula/csv.h"
#include "tools/tabula/schema.h"
#include "tools/tabula/table_checker.h"
#include "tools/tabula/tool_error.h"
#include "tools/tabula/value_text.h"

namespace tabula::tool {
namespace {

std::vector<std::vector<std::string>> ReadAll(const std::string& text, TTextEncoding enc = TTextEncoding::kCp1251) {
  std::istringstream in(text);
  TCsvReader reader(in, "t.csv", enc);
  std::vector<std::vector<std::string>> rows;
  std::vector<TCsvField> row;
  while (reader.ReadRow(row)) {
    rows.emplace_back();
    for (const TCsvField& f : row) rows.back().push_back(f.IsNull() ? "<NULL>" : f.Text);
  }
  return rows;
}

TEST(Csv, ReadsQuotingAndLineEnds) {
  using R = std::vector<std::vector<std::string>>;
  const struct {
    const char* Text;
    R Rows;
  } kCases[] = {
      {"a,b\r\nc,d\r\n", {{"a", "b"}, {"c", "d"}}},
      {"a,b\nc,d", {{"a", "b"}, {"c", "d"}}},
      {"\"x,y\",\"say \"\"hi\"\"\"\n", {{"x,y", "say \"hi\""}}},
      {"\"two\nlines\",z\n", {{"two\nlines", "z"}}},
      {",\\N,\"\\N\",\"\"\n", {{"<NULL>", "<NULL>", "\\N", ""}}},
      {"a,\n", {{"a", "<NULL>"}}},
      {"a,", {{"a", "<NULL>"}}},
      {"\n\r\na\n\n", {{"a"}}},
  };
  for (const auto& c : kCases) EXPECT_EQ(ReadAll(c.Text), c.Rows) << c.Text;
}

TEST(Csv, FaultsCarryLineAndColumn) {
  const struct {
    const char* Text;
    int64_t Line, Column;
    const char* Reason;
  } kCases[] = {
      {"a,b\nc,\"open\n", 2, 3, "not closed"},
      {"a,\"q\"x\n", 1, 6, "after the closing quote"},
      {"ok\nab\"c\n", 2, 3, "quote inside"},
      {"h\n\xE4\xB8\x80x\n", 2, 1, "U+4E00 has no Windows-1251"},
      {"h\nab\xFF\n", 2, 3, "invalid UTF-8"},
  };
  for (const auto& c : kCases) {
    try {
      ReadAll(c.Text, TTextEncoding::kUtf8);
      ADD_FAILURE() << "no error for " << c.Text;
    } catch (const ECsvError& e) {
      EXPECT_EQ(e.Line, c.Line) << c.Text;
      EXPECT_EQ(e.Column, c.Column) << c.Text;
      EXPECT_NE(e.Reason.find(c.Reason), std::string::npos) << e.what();
    }
  }
}

TEST(Csv, Utf8AndCp1251RoundTrip) {
  const std::string cp1251 = Utf8ToCp1251("Иванов, \"Пётр\"\nул. Ленина");
  for (TTextEncoding enc : {TTextEncoding::kUtf8, TTextEncoding::kCp1251}) {
    std::ostringstream out;
    TCsvWriter writer(out, enc);
    writer.WriteRow({cp1251, "\\N", "", "plain"}, {false, false, true, false});
    if (enc == TTextEncoding::kUtf8) {
      EXPECT_NE(out.str().find("Иванов"), std::string::npos);
    }
    // A UTF-8 file may begin with a byte order mark.
    const std::string bom = enc == TTextEncoding::kUtf8 ? "\xEF\xBB\xBF" : "";
    const auto rows = ReadAll(bom + out.str(), enc);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{cp1251, "\\N", "<NULL>", "plain"}));
  }
}

TFieldDesc Field(uint8_t type, uint8_t size = 0, uint8_t scale = 0, uint8_t subType = 0) {
  TFieldDesc d;
  d.FieldType = type;
  d.Size = size;
  d.Scale = scale;
  d.SubType = subType;
  d.DeriveDataSize();
  return d;
}

TEST(ValueText, TextsRoundTripThroughStoredValues) {
  const struct {
    TFieldDesc Desc;
    const char* Text;
  } kCases[] = {
      {Field(kFldString, 10), "Тверь"},
      {Field(kFldDate), "0001-01-01"},
      {Field(kFldDate), "1899-12-30"},
      {Field(kFldDate), "9999-12-31"},
      {Field(kFldTime), "23:59:59.999"},
      {Field(kFldTimestamp), "2021-03-04 05:06:07.008"},
      {Field(kFldBoolean), "true"},
      {Field(kFldInt16), "-32768"},
      {Field(kFldInt32), "2147483647"},
      {Field(kFldUInt16), "65535"},
      {Field(kFldUInt32), "4294967295"},
      {Field(kFldFloat), "-27.887289306438202"},
      {Field(kFldFloat), "-0.0"},
      {Field(kFldFloat), "1e+16"},
      {Field(kFldFloat), "1.5e-05"},
      {Field(kFldFloat), "0.0001"},
      {Field(kFldFloat), "123.0"},
      {Field(kFldExtended), "3.141592653589793"},
      {Field(kFldBcd, 0, 2), "-798.82"},
      {Field(kFldBcd, 0, 2), "0.05"},
      {Field(kFldBcd, 0, 0), "922337203685477580"},
      {Field(kFldBcd, 0, 4), "-1.0000"},
      {Field(kFldBytes, 6), "9e0200000000"},
  };
  std::vector<uint8_t> data;
  for (const auto& c : kCases) {
    const std::string text = Utf8ToCp1251(c.Text);
    ParseFieldValue(c.Desc, text, data);
    ASSERT_EQ(data.size(), c.Desc.DataSize);
    EXPECT_EQ(Cp1251ToUtf8(FormatFieldValue(c.Desc, data.data())), c.Text) << FieldTypeName(c.Desc);
  }
}

TEST(ValueText, LenientInputsReadAsTheirCanonicalForm) {
  const struct {
    TFieldDesc Desc;
    const char* In;
    const char* Out;
  } kCases[] = {
      {Field(kFldBoolean), "FALSE", "false"},
      {Field(kFldBoolean), "1", "true"},
      {Field(kFldTime), "07:05", "07:05:00.000"},
      {Field(kFldTimestamp), "2020-02-29T10:00", "2020-02-29 10:00:00.000"},
      {Field(kFldTimestamp), "2020-02-29", "2020-02-29 00:00:00.000"},
      {Field(kFldBcd, 0, 2), "12.3", "12.30"},
      {Field(kFldBcd, 0, 2), "-0", "0.00"},
      {Field(kFldBytes, 4), "AB", "ab000000"},
  };
  std::vector<uint8_t> data;
  for (const auto& c : kCases) {
    ParseFieldValue(c.Desc, c.In, data);
    EXPECT_EQ(FormatFieldValue(c.Desc, data.data()), c.Out) << c.In;
  }
}

TEST(ValueText, RefusesTextsThatDoNotFit) {
  const struct {
    TFieldDesc Desc;
    const char* Text;
    const char* Reason;
  } kCases[] = {
      {Field(kFldString, 3), "four", "longer than the field's 3"},
      {Field(kFldDate), "2021-02-29", "not a valid date"},
      {Field(kFldDate), "31.12.2020", "YYYY-MM-DD"},
      {Field(kFldTime), "24:00:00", "not a valid time"},
      {Field(kFldInt16), "32768", "out of the range"},
      {Field(kFldUInt16), "-1", "out of the range"},
      {Field(kFldInt32), "12a", "not a whole number"},
      {Field(kFldUInt32), "", "not a whole number"},
      {Field(kFldFloat), "inf", "not a number"},
      {Field(kFldBcd, 0, 2), "1.234", "more than 2 decimals"},
      {Field(kFldBcd, 0, 0), "922337203685477581", "too large"},
      {Field(kFldBoolean), "yes", "not a boolean"},
      {Field(kFldBytes, 2), "abcdef", "more than the field's 2"},
      {Field(kFldBytes, 2), "abc", "not hexadecimal"},
  };
  std::vector<uint8_t> data;
  for (const auto& c : kCases) {
    try {
      ParseFieldValue(c.Desc, c.Text, data);
      ADD_FAILURE() << "accepted '" << c.Text << "' for " << FieldTypeName(c.Desc);
    } catch (const EValueError& e) {
      EXPECT_NE(std::string(e.what()).find(c.Reason), std::string::npos) << e.what();
    }
  }
  // Stored values without a text form are refused, not printed as garbage.
  uint8_t bad[8] = {};
  EXPECT_THROW(FormatFieldValue(Field(kFldDate), bad), EValueError);
  StoreI32(bad, 86400000);
  EXPECT_THROW(FormatFieldValue(Field(kFldTime), bad), EValueError);
}

constexpr const char* kExample = R"(# subscribers
language 0x419
blob-block-size 1024
field Numtel   string 12 required
field "Full name" string 60 default "нет данных"
field Kodul    int32 min 1 max 99999
field Balance  bcd 2
field Photo    graphic
field Notes    memo
field ID       autoinc
primary Numtel
index ByName "Full name:desc,Numtel" case-insensitive compression both
index ByStreet Kodul unique descending compression 2
)";

TEST(Schema, ParsesTheExample) {
  const TTableSchema s = ParseSchema(kExample, "s.schema");
  ASSERT_EQ(s.Fields.size(), 7u);
  EXPECT_EQ(s.Options.LanguageId, 0x419);
  EXPECT_EQ(s.Options.BlobBlockSize, 1024);
  EXPECT_EQ(s.Fields[1].Name, Utf8ToCp1251("Full name"));
  EXPECT_EQ(s.Fields[1].DefaultValue, Utf8ToCp1251("нет данных"));
  EXPECT_TRUE(s.Fields[0].Required);
  EXPECT_EQ(s.Fields[3].Scale, 2);
  EXPECT_EQ(s.Fields[4].SubType, kSubGraphic);
  EXPECT_TRUE(s.Fields[6].AutoIncrement);
  ASSERT_EQ(s.Indexes.size(), 3u);
  EXPECT_TRUE(s.Indexes[0].Primary);
  EXPECT_EQ(s.Indexes[1].Fields.size(), 2u);
  EXPECT_TRUE(s.Indexes[1].FieldDescending[0]);
  EXPECT_FALSE(s.Indexes[1].FieldDescending[1]);
  EXPECT_EQ(s.Indexes[1].Compression, 3);
  EXPECT_TRUE(s.Indexes[2].Unique && s.Indexes[2].Descending);
  EXPECT_EQ(s.FieldLines[1], 5);
  EXPECT_EQ(s.IndexLines[2], 13);
}

TEST(Schema, MistakesAreReportedWithTheirLine) {
  const struct {
    const char* Text;
    int Line;
    const char* Reason;
  } kCases[] = {
      {"field A string 10\nfield B strnig 5\n", 2, "unknown field type 'strnig'"},
      {"field A string\n", 1, "needs its size"},
      {"field A string 251\n", 1, "between 1 and 250"},
      {"field A int32\nfield a int16\n", 2, "defined twice (first on line 1)"},
      {"field A int32\n\nprimary B\n", 3, "'B' is not a field"},
      {"field A memo\nprimary A\n", 2, "blobs cannot be keys"},
      {"field A int32\nprimary A\nprimary A\n", 3, "second primary index"},
      {"field A int32\nindex X A\nindex x A\n", 3, "defined twice"},
      {"field A int32 default \"abc\"\n", 1, "field 'A'"},
      {"field 1A int32\n", 1, "field '1A'"},
      {"field A int32 sometimes\n", 1, "unknown field option"},
      {"field A string 5 default \"open\n", 1, "not closed"},
      {"fields A int32\n", 1, "unknown line"},
      {"language 7777\nfield A int32\n", 1, "not an installed locale"},
      {"# nothing\n", 1, "no fields"},
      {"field A int32\nindex X A compression 7\n", 2, "unknown compression"},
  };
  for (const auto& c : kCases) {
    try {
      ParseSchema(c.Text, "s.schema");
      ADD_FAILURE() << "accepted: " << c.Text;
    } catch (const ESchemaError& e) {
      EXPECT_EQ(e.Line, c.Line) << c.Text << " -> " << e.what();
      EXPECT_NE(e.Reason.find(c.Reason), std::string::npos) << e.what();
      EXPECT_EQ(std::string(e.what()).rfind("s.schema:" + std::to_string(c.Line) + ": ", 0), 0u) << e.what();
    }
  }
}

// A data file that opens but cannot be mapped (a system file without
// mapping behind a link) stops the check with the tool's error and leaves
// no descriptor open.
TEST(TableCheck, AFileThatCannotBeMappedLeavesNoDescriptorOpen) {
  namespace fs = std::filesystem;
  const fs::path unmappable = "/sys/devices/system/cpu/online";
  ASSERT_TRUE(fs::exists(unmappable));
  testing_support::TempDir dir;
  fs::create_symlink(unmappable, dir.Path() / "T.DAT");
  auto openDescriptors = [] {
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{});
  };
  const auto before = openDescriptors();
  for (int i = 0; i < 3; ++i) EXPECT_THROW(CheckTable(dir.File("T.DAT")), EToolError);
  EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
}  // namespace tabula::tool
