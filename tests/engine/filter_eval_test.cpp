// Filters end to end: filter texts are parsed, converted into the engine's
// tree and evaluated over generated records, record by record and through
// index scans of a model index, and compared with a plain C++ oracle.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "dataset/expr_parser.h"
#include "tabula/engine_error.h"
#include "tabula/field_types.h"
#include "tabula/field_values.h"
#include "engine/filter_bounds.h"
#include "tabula/filter_expr.h"
#include "engine/filter_list.h"
#include "engine/key_builder.h"
#include "engine/key_compare.h"
#include "tabula/locale.h"

namespace {

using namespace tabula;
using tabula::db::TFilterDataType;
using tabula::db::TFilterField;
using tabula::db::TFilterFieldKind;

// ---------------------------------------------------------------- the table

struct TColumn {
  const char* Name;
  uint8_t Type;
  uint8_t Size;  // strings
  uint8_t Scale;
  TFilterDataType DataType;
};

const TColumn kColumns[] = {
    {"Name", kFldString, 12, 0, TFilterDataType::kString},
    {"City", kFldString, 12, 0, TFilterDataType::kString},
    {"Num", kFldInt32, 0, 0, TFilterDataType::kInteger},
    {"Small", kFldInt16, 0, 0, TFilterDataType::kSmallint},
    {"Flag", kFldBoolean, 0, 0, TFilterDataType::kBoolean},
    {"D", kFldDate, 0, 0, TFilterDataType::kDate},
    {"F", kFldFloat, 0, 0, TFilterDataType::kFloat},
    {"Amount", kFldBcd, 0, 2, TFilterDataType::kBcd},
};
constexpr int kColumnCount = sizeof(kColumns) / sizeof(kColumns[0]);
enum { kName, kCity, kNum, kSmall, kFlag, kD, kF, kAmount };

struct TLayout {
  std::vector<TFilterFieldInfo> Infos;
  std::vector<TFilterField> Fields;
  size_t RecordSize = kRecordHeaderSize;
  TLayout() {
    for (int i = 0; i < kColumnCount; ++i) {
      TFilterFieldInfo info;
      info.FieldNo = static_cast<uint16_t>(i + 1);
      info.FieldType = kColumns[i].Type;
      info.Width = static_cast<uint8_t>(FieldDataSize(kColumns[i].Type, kColumns[i].Size));
      info.Scale = kColumns[i].Scale;
      info.Offset = static_cast<uint16_t>(RecordSize);
      RecordSize += 1 + info.Width;
      Infos.push_back(info);
      Fields.push_back({kColumns[i].Name, i + 1, TFilterFieldKind::kData, kColumns[i].DataType, kColumns[i].Scale});
    }
  }
};
const TLayout& Layout() {
  static const TLayout layout;
  return layout;
}

struct TFieldSource : tabula::db::TFilterFieldSource {
  uint16_t Lang = 0;
  const TFilterField* FindFilterField(const std::string& name) const override {
    for (const auto& f : Layout().Fields)
      if (UpperText(0, 0, f.Name) == UpperText(0, 0, name)) return &f;
    return nullptr;
  }
  uint16_t LanguageId() const override { return Lang; }
};

TFilterFieldLookup Lookup() {
  return [](const std::string& name, TFilterFieldInfo& info) {
    for (int i = 0; i < kColumnCount; ++i) {
      if (UpperText(0, 0, kColumns[i].Name) == UpperText(0, 0, name)) {
        info = Layout().Infos[static_cast<size_t>(i)];
        return true;
      }
    }
    return false;
  };
}

// One record as the oracle sees it.
struct TRow {
  std::optional<std::string> Name, City;  // Windows-1251
  std::optional<int32_t> Num;
  std::optional<int16_t> Small;
  std::optional<bool> Flag;
  std::optional<int32_t> D;
  std::optional<double> F;
  std::optional<int64_t> Amount;  // currency units (1/10000)
  bool Live = true;
};

std::vector<uint8_t> RecordOf(const TRow& row, int32_t recordId) {
  std::vector<uint8_t> record(Layout().RecordSize, 0);
  record[0] = row.Live ? 0 : 1;
  StoreI32(record.data() + kRecordIdOffset, recordId);
  auto put = [&](int column, bool present, const void* data, size_t size) {
    const TFilterFieldInfo& info = Layout().Infos[static_cast<size_t>(column)];
    record[info.Offset] = present ? 1 : 0;
    if (present) std::memcpy(record.data() + info.Offset + 1, data, std::min<size_t>(size, info.Width));
  };
  uint8_t buf[8];
  if (row.Name) put(kName, true, row.Name->c_str(), row.Name->size());
  if (row.City) put(kCity, true, row.City->c_str(), row.City->size());
  if (row.Num) { StoreI32(buf, *row.Num); put(kNum, true, buf, 4); }
  if (row.Small) { StoreI16(buf, *row.Small); put(kSmall, true, buf, 2); }
  if (row.Flag) { StoreU16(buf, *row.Flag ? 1 : 0); put(kFlag, true, buf, 2); }
  if (row.D) { StoreI32(buf, *row.D); put(kD, true, buf, 4); }
  if (row.F) { StoreF64(buf, *row.F); put(kF, true, buf, 8); }
  if (row.Amount) { StoreI64(buf, CurrencyToBcd(2, *row.Amount)); put(kAmount, true, buf, 8); }
  return record;
}

// ---------------------------------------------------------------- the oracle

std::string Cp(const char* utf8) { return Utf8ToCp1251(utf8); }

const std::vector<std::string>& NamePool() {
  static const std::vector<std::string> pool = {
      "abc", "ABC", "abd", "ab", "abcd", "Abc", "a'b", "", "zeta", "1234", "12345", "123",
      Cp("Иван"), Cp("иван"), Cp("ИВАН"), Cp("Иванов"), Cp("Петров"), Cp("ёлка"), Cp("Ёлка"), "Z"};
  return pool;
}

int CompareBytesOf(const std::string& a, const std::string& b, size_t length) {
  // Byte order with the terminating zero taking part; `length` 0 = whole.
  const size_t n = length != 0 ? length : std::max(a.size(), b.size()) + 1;
  for (size_t i = 0; i < n; ++i) {
    const unsigned x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    const unsigned y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) return 0;
  }
  return 0;
}

std::string UpperAsciiOf(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return s;
}

bool Holds(int order, int op) {
  switch (op) {
    case kOpEqual: return order == 0;
    case kOpNotEqual: return order != 0;
    case kOpGreater: return order > 0;
    case kOpLess: return order < 0;
    case kOpGreaterEqual: return order >= 0;
    default: return order <= 0;
  }
}

template <typename T>
int Order(T a, T b) { return a < b ? -1 : (b < a ? 1 : 0); }

// A typed comparison of a possibly null value: = and <> follow the null
// rules, ordering operators are false on null.
template <typename T>
bool Compare(const std::optional<T>& value, int op, const std::function<int(const T&)>& order) {
  if (!value) return op == kOpNotEqual;
  return Holds(order(*value), op);
}

const char* OpText(int op) {
  static const char* texts[] = {"", "", "", "=", "<>", ">", "<", ">=", "<="};
  return texts[op];
}

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

struct TCase {
  std::string Text;
  std::function<bool(const TRow&)> Oracle;
};

// Random filter texts with their oracles.
class TGenerator {
 public:
  explicit TGenerator(uint32_t seed, bool dayFirst = false) : rng_(seed), dayFirst_(dayFirst) {}

  TCase Make(uint32_t options, int depth) {
    const int pick = Pick(depth > 0 ? 10 : 7);
    if (pick >= 7) {
      TCase a = Make(options, depth - 1);
      if (pick == 9) return {"NOT (" + a.Text + ")", [o = a.Oracle](const TRow& r) { return !o(r); }};
      TCase b = Make(options, depth - 1);
      const bool isAnd = pick == 7;
      auto oa = a.Oracle, ob = b.Oracle;
      return {"(" + a.Text + (isAnd ? ") AND (" : ") or (") + b.Text + ")",
              [oa, ob, isAnd](const TRow& r) { return isAnd ? (oa(r) && ob(r)) : (oa(r) || ob(r)); }};
    }
    return Leaf(options);
  }

 private:
  int Pick(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }
  int AnyOp() { return kOpEqual + Pick(6); }

  TCase Leaf(uint32_t options) {
    const int op = AnyOp();
    switch (Pick(12)) {
      case 0:
      case 1: {  // string field with a constant, perhaps partial, perhaps swapped
        const std::string& constant = NamePool()[static_cast<size_t>(Pick(static_cast<int>(NamePool().size())))];
        std::string literal = constant;
        bool star = Pick(3) == 0 && !constant.empty();
        if (star) literal += "*";
        const bool ci = (options & db::kFilterCaseInsensitive) != 0;
        const bool noPartial = (options & db::kFilterNoPartialCompare) != 0;
        const bool equality = op == kOpEqual || op == kOpNotEqual;
        size_t partial = 0;
        std::string value = literal;
        if (equality && star && !noPartial && literal.size() > 1) {
          value = constant;
          partial = constant.size();
        }
        const bool compareNode = equality && !literal.empty() && (ci || partial != 0);
        const int field = Pick(2) == 0 ? kName : kCity;
        std::string name = field == kName ? "Name" : "City";
        std::string text = Pick(2) == 0 ? name + " " + OpText(op) + " " + Quote(literal)
                                        : Quote(literal) + " " + OpText(Mirror(op)) + " " + name;
        return {text, [=](const TRow& r) {
                  const auto& v = field == kName ? r.Name : r.City;
                  if (!v) return op == kOpNotEqual;
                  if (compareNode) {
                    const std::string a = ci ? UpperAsciiOf(*v) : *v;
                    const std::string b = ci ? UpperAsciiOf(value) : value;
                    return Holds(CompareBytesOf(a, b, partial), op);
                  }
                  return Holds(CompareBytesOf(*v, value, 0), op);
                }};
      }
      case 2: {
        const int32_t c = Pick(41) - 20;
        return {"Num " + std::string(OpText(op)) + " " + std::to_string(c), [=](const TRow& r) {
                  return Compare<int32_t>(r.Num, op, [&](const int32_t& v) { return Order(v, c); });
                }};
      }
      case 3: {
        const int c = Pick(11) - 5;
        return {std::to_string(c) + " " + OpText(Mirror(op)) + " Small", [=](const TRow& r) {
                  return Compare<int16_t>(r.Small, op, [&](const int16_t& v) { return Order<int>(v, c); });
                }};
      }
      case 4: {
        const int kind = Pick(3);
        if (kind == 0) return {"Flag", [](const TRow& r) { return r.Flag.value_or(false); }};
        const bool truth = kind == 1;
        const int eq = Pick(2) == 0 ? kOpEqual : kOpNotEqual;
        return {std::string("Flag ") + OpText(eq) + (truth ? " TRUE" : " false"), [=](const TRow& r) {
                  return Compare<bool>(r.Flag, eq, [&](const bool& v) { return v == truth ? 0 : 1; });
                }};
      }
      case 5: {
        const int day = 5 + Pick(10);
        const int32_t c = EncodeDayNumber(2024, 3, day);
        // Dates are read under the table's locale: month first without a
        // language driver, day first (dd.MM.yyyy) under the Russian one.
        const std::string date = dayFirst_ ? std::to_string(day) + ".03.2024" : "3/" + std::to_string(day) + "/2024";
        return {"D " + std::string(OpText(op)) + " '" + date + "'", [=](const TRow& r) {
                  return Compare<int32_t>(r.D, op, [&](const int32_t& v) { return Order(v, c); });
                }};
      }
      case 6: {
        const double c = (Pick(21) - 10) / 4.0;
        char text[32];
        std::snprintf(text, sizeof text, "%.2f", c);
        return {"F " + std::string(OpText(op)) + " " + text, [=](const TRow& r) {
                  return Compare<double>(r.F, op, [&](const double& v) { return Order(v, c); });
                }};
      }
      case 7: {
        const int64_t c = (Pick(21) - 10) * 2500;  // quarters
        char text[32];
        std::snprintf(text, sizeof text, "%.2f", static_cast<double>(c) / 10000.0);
        return {"Amount " + std::string(OpText(op)) + " " + text, [=](const TRow& r) {
                  return Compare<int64_t>(r.Amount, op, [&](const int64_t& v) { return Order(v, c); });
                }};
      }
      case 8:
      case 9: {
        const char* names[] = {"Name", "Num", "Flag", "D", "Amount", "City"};
        const int which = Pick(6);
        const bool isNull = Pick(2) == 0;
        std::string text = std::string(names[which]) + (isNull ? " = NULL" : " <> null");
        return {text, [=](const TRow& r) {
                  bool present = which == 0 ? r.Name.has_value() : which == 1 ? r.Num.has_value()
                               : which == 2 ? r.Flag.has_value() : which == 3 ? r.D.has_value()
                               : which == 4 ? r.Amount.has_value() : r.City.has_value();
                  return present != isNull;
                }};
      }
      default: {  // field with field
        return {"Name " + std::string(OpText(op)) + " City", [=](const TRow& r) {
                  if (!r.Name || !r.City) {
                    if (op == kOpEqual) return !r.Name && !r.City;
                    if (op == kOpNotEqual) return r.Name.has_value() != r.City.has_value();
                    return false;
                  }
                  return Holds(CompareBytesOf(*r.Name, *r.City, 0), op);
                }};
      }
    }
  }

  static int Mirror(int op) {
    switch (op) {
      case kOpGreater: return kOpLess;
      case kOpLess: return kOpGreater;
      case kOpGreaterEqual: return kOpLessEqual;
      case kOpLessEqual: return kOpGreaterEqual;
      default: return op;
    }
  }

  std::mt19937 rng_;
  bool dayFirst_;
};

std::vector<TRow> MakeRows(uint32_t seed, int count) {
  std::mt19937 rng(seed);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); };
  std::vector<TRow> rows;
  for (int i = 0; i < count; ++i) {
    TRow r;
    const auto& pool = NamePool();
    if (pick(6)) r.Name = pool[static_cast<size_t>(pick(static_cast<int>(pool.size())))];
    if (pick(6)) r.City = pool[static_cast<size_t>(pick(static_cast<int>(pool.size())))];
    if (pick(6)) r.Num = pick(41) - 20;
    if (pick(6)) r.Small = static_cast<int16_t>(pick(11) - 5);
    if (pick(5)) r.Flag = pick(2) == 0;
    if (pick(6)) r.D = EncodeDayNumber(2024, 3, 5 + pick(10));
    if (pick(6)) r.F = (pick(21) - 10) / 4.0;
    if (pick(6)) r.Amount = (pick(21) - 10) * 2500;
    r.Live = pick(10) != 0;
    rows.push_back(r);
  }
  return rows;
}

std::unique_ptr<TFilterNode> Convert(const std::string& text, uint32_t options, uint16_t lang = 0) {
  TFieldSource source;
  source.Lang = lang;
  db::TExprParser parser(text, source, options);
  TFilterConversion c = ConvertFilterBuffer(parser.FilterData().data(), parser.DataSize(), Lookup());
  EXPECT_EQ(c.Code, 0) << text;
  return std::move(c.Root);
}

// ---------------------------------------------------------------- record by record

TEST(FilterEvalTest, RecordByRecordMatchesTheOracle) {
  const std::vector<TRow> rows = MakeRows(11, 150);
  std::vector<std::vector<uint8_t>> records;
  for (size_t i = 0; i < rows.size(); ++i) records.push_back(RecordOf(rows[i], static_cast<int32_t>(i + 1)));
  TGenerator generator(4242);
  int checked = 0;
  for (int n = 0; n < 400; ++n) {
    const uint32_t options = static_cast<uint32_t>(n % 4);
    TCase c = generator.Make(options, 2);
    auto tree = Convert(c.Text, options);
    ASSERT_TRUE(tree) << c.Text;
    for (size_t i = 0; i < rows.size(); ++i) {
      ASSERT_EQ(EvaluateFilter(*tree, records[i].data(), 0, 0), c.Oracle(rows[i]))
          << c.Text << " (options " << options << ") on row " << i;
      ++checked;
    }
  }
  EXPECT_EQ(checked, 400 * 150);
}

TEST(FilterEvalTest, LanguageDriverComparesCyrillicWithoutCase) {
  const uint16_t russian = 0x0419;
  if (!IsLocaleInstalled(russian, 0)) GTEST_SKIP() << "no Russian locale in ICU";
  TRow row;
  row.Name = Cp("иван");
  const auto record = RecordOf(row, 1);
  const struct {
    const char* text;
    uint32_t options;
    uint16_t lang;
    bool expected;
  } cases[] = {
      {"Name = 'ИВАН'", db::kFilterCaseInsensitive, russian, true},
      {"Name = 'ИВАН'", db::kFilterCaseInsensitive, 0, false},  // without a driver only ASCII folds
      {"Name = 'ИВАН'", 0, russian, false},
      {"Name = 'иван'", 0, russian, true},
      {"Name = 'ИВ*'", db::kFilterCaseInsensitive, russian, true},
      {"Name = 'ИВ*'", 0, 0, false},
      {"Name = 'ив*'", 0, 0, true},
  };
  for (const auto& c : cases) {
    auto tree = Convert(Cp(c.text), c.options, c.lang);
    ASSERT_TRUE(tree);
    EXPECT_EQ(EvaluateFilter(*tree, record.data(), c.lang, 0), c.expected) << c.text << " lang " << c.lang;
  }
}

TEST(FilterEvalTest, AndOrDecideOnTheRightOperandFirst) {
  // A callback-free way to see the order: the left operand of an And whose
  // right operand is false is never looked at, so a left operand that would
  // be true on a null field changes nothing; a malformed left side (a
  // missing operand) is skipped likewise.
  auto tree = Convert("(Num = 1) AND (Num = 2)", 0);
  tree->Left.reset();  // the left operand is gone
  TRow row;
  row.Num = 1;
  auto record = RecordOf(row, 1);
  EXPECT_FALSE(EvaluateFilter(*tree, record.data(), 0, 0));
  auto orTree = Convert("(Num = 2) OR (Num = 1)", 0);
  orTree->Left.reset();
  EXPECT_TRUE(EvaluateFilter(*orTree, record.data(), 0, 0));
}

// ---------------------------------------------------------------- conversion

TEST(FilterEvalTest, DamagedBuffersAreRefusedNeverReadOutside) {
  TFieldSource source;
  db::TExprParser parser("(Name = 'abc*') AND NOT (Num > 5) OR Flag", source, 0);
  const std::vector<uint8_t> good = parser.FilterData();
  ASSERT_EQ(ConvertFilterBuffer(good.data(), good.size(), Lookup()).Code, 0);
  // Every shorter buffer, claiming its own size, is refused.
  for (size_t size = 0; size < good.size(); ++size) {
    std::vector<uint8_t> cut(good.begin(), good.begin() + static_cast<long>(size));
    if (size >= 4) StoreU16(cut.data() + 2, static_cast<uint16_t>(size));
    EXPECT_EQ(ConvertFilterBuffer(cut.data(), cut.size(), Lookup()).Code, kErrFilterExpression) << size;
  }
  // Random damage: converted or refused, within the buffer (ASan watches).
  std::mt19937 rng(5);
  for (int n = 0; n < 3000; ++n) {
    std::vector<uint8_t> bad = good;
    for (int k = 0; k < 3; ++k) bad[rng() % bad.size()] = static_cast<uint8_t>(rng());
    TFilterConversion c = ConvertFilterBuffer(bad.data(), bad.size(), Lookup());
    EXPECT_TRUE(c.Code == 0 || c.Code == kErrFilterExpression || c.Code == kErrInvalidField);
    EXPECT_EQ(c.Code == 0, c.Root != nullptr);
  }
  // An operand that points back at its own node would loop: refused.
  std::vector<uint8_t> loop = good;
  StoreU16(loop.data() + kFilterHeaderSize + 8, 0);
  EXPECT_EQ(ConvertFilterBuffer(loop.data(), loop.size(), Lookup()).Code, kErrFilterExpression);
}

TEST(FilterEvalTest, UnknownFieldNamesTheField) {
  TFieldSource source;
  db::TExprParser parser("City = 'x'", source, 0);
  TFilterFieldLookup noCity = [](const std::string& name, TFilterFieldInfo& info) {
    return name != "City" && Lookup()(name, info);
  };
  TFilterConversion c = ConvertFilterBuffer(parser.FilterData().data(), parser.DataSize(), noCity);
  EXPECT_EQ(c.Code, kErrInvalidField);
  EXPECT_EQ(c.FieldName, "City");
}

// ---------------------------------------------------------------- levels

// Indexes of the model table: slot 0 on Num, 1 on Name (case-sensitive),
// 2 on Name (case-insensitive), 3 on D (descending), 4 on Flag, 5 on Small
// (the field descending on its own), 6 on F, 7 on Amount.
TIndexHeader ModelHeader() {
  TIndexHeader h = TIndexHeader::NewFile();
  auto define = [&](uint8_t slot, int column, bool ci, bool descending, bool fieldDescending) {
    TIndexDescriptor& d = h.Descriptors[slot];
    d.Name = slot == 0 ? "" : "Index" + std::to_string(slot);
    d.FieldCount = 1;
    d.FieldNumbers[0] = static_cast<uint16_t>(column + 1);
    d.CaseInsensitive = ci;
    d.Descending = descending;
    d.FieldDescending[0] = fieldDescending ? 1 : 0;
    d.Unique = slot == 0;
    TKeyFieldInfo info;
    info.FieldType = Layout().Infos[static_cast<size_t>(column)].FieldType;
    info.DataSize = Layout().Infos[static_cast<size_t>(column)].Width;
    d.KeyLength = static_cast<uint16_t>(ComputeKeyLength(slot, d, &info));
    if (slot > 0) h.SecondaryCount = slot;
  };
  define(0, kNum, false, false, false);
  define(1, kName, false, false, false);
  define(2, kName, true, false, false);
  define(3, kD, false, true, false);
  define(4, kFlag, false, false, false);
  define(5, kSmall, false, false, true);
  define(6, kF, false, true, false);
  define(7, kAmount, false, false, false);
  define(8, kCity, true, true, false);
  return h;
}

TEST(FilterEvalTest, OptimisationLevelsAndAndReordering) {
  TIndexHeader header = ModelHeader();
  header.Descriptors[0].FieldNumbers[0] = kCity + 1;  // for this test: no index on Num
  header.Descriptors[8].FieldNumbers[0] = kCity + 1;
  TIndexFitFunction fit = [&](const TFilterFieldInfo& f, bool ci, bool anyCase) {
    return FindFittingIndex(header, f, ci, anyCase);
  };
  const struct {
    const char* text;
    uint32_t options;
    uint8_t level;
    int slot;  // of the root condition, -1 for logic
  } cases[] = {
      {"D > '3/7/2024'", 0, kOptIndex, 3},
      {"Num > 5", 0, kOptRecord, -1},
      {"Name = 'abc'", 0, kOptIndex, 1},
      {"Name = 'abc'", db::kFilterCaseInsensitive, kOptIndex, 2},
      {"Name = 'ab*'", 0, kOptIndex, 1},
      {"Name = NULL", db::kFilterCaseInsensitive, kOptIndex, 1},
      {"Name = City", 0, kOptRecord, -1},
      {"NOT (D = '3/7/2024')", 0, kOptIndex, -1},
      {"D = '3/7/2024' OR Num = 2", 0, kOptRecord, -1},
      {"D = '3/7/2024' OR Flag", 0, kOptIndex, -1},
      {"D = '3/7/2024' AND Num = 2", 0, kOptPartly, -1},
      {"Num = 2 AND Num = 3", 0, kOptRecord, -1},
  };
  for (const auto& c : cases) {
    auto tree = Convert(c.text, c.options);
    ASSERT_TRUE(tree);
    EXPECT_EQ(AssignOptimisationLevels(*tree, fit, false), c.level) << c.text;
    if (c.slot >= 0) {
      EXPECT_EQ(tree->IndexSlot, c.slot) << c.text;
    }
  }
  // The cheaper side of a mixed And comes first.
  auto mixed = Convert("Num = 2 AND D = '3/7/2024'", 0);
  AssignOptimisationLevels(*mixed, fit, false);
  EXPECT_EQ(mixed->Left->OptLevel, kOptIndex);
  EXPECT_EQ(mixed->Left->Left->FieldName, "D");
  EXPECT_EQ(mixed->Right->OptLevel, kOptRecord);
  // Locale-ordered strings: only exact equality uses the index.
  auto prefix = Convert("Name = 'ab*'", 0);
  EXPECT_EQ(AssignOptimisationLevels(*prefix, fit, true), kOptRecord);
  auto exact = Convert("Name = 'ab'", 0);
  EXPECT_EQ(AssignOptimisationLevels(*exact, fit, true), kOptIndex);
  // NoPrimaryIndex: nothing fits.
  header.NoPrimaryIndex = 1;
  auto dated = Convert("D > '3/7/2024'", 0);
  EXPECT_EQ(AssignOptimisationLevels(*dated, fit, false), kOptRecord);
}

// ---------------------------------------------------------------- filter list

TEST(FilterEvalTest, FilterListCodes) {
  TFilterList list;
  list.SetContext({Lookup(), nullptr, false});
  EXPECT_EQ(list.Add({}).Code, kErrFilterExpression);
  TFieldSource source;
  db::TExprParser parser("Num = 1", source, 0);
  std::vector<TFilter*> handles;
  for (size_t i = 0; i < TFilterList::kMaxFilters; ++i) {
    TFilterSpec request;
    if (i % 2 == 0) {
      request.Buffer = parser.FilterData().data();
      request.BufferSize = parser.DataSize();
    } else {
      request.Callback = [](void*, const uint8_t*, int32_t) { return true; };
    }
    TFilterAddResult r = list.Add(std::move(request));
    ASSERT_EQ(r.Code, 0);
    EXPECT_FALSE(r.Handle->Active);
    EXPECT_EQ(r.Handle->OptLevel, kOptRecord);
    handles.push_back(r.Handle);
  }
  TFilterSpec extra;
  extra.Callback = [](void*, const uint8_t*, int32_t) { return true; };
  EXPECT_EQ(list.Add(std::move(extra)).Code, kErrTooManyFilters);
  TFilter stranger;
  EXPECT_EQ(list.Activate(&stranger), kErrFilterHandle);
  EXPECT_EQ(list.Deactivate(&stranger), kErrFilterHandle);
  EXPECT_EQ(list.Remove(&stranger), kErrFilterHandle);
  EXPECT_EQ(list.Activate(handles[3]), 0);
  EXPECT_TRUE(list.AnyActive());
  EXPECT_EQ(list.Remove(handles[3]), 0);
  EXPECT_FALSE(list.AnyActive());
  EXPECT_EQ(list.Remove(handles[3]), kErrFilterHandle);
  EXPECT_EQ(list.Count(), TFilterList::kMaxFilters - 1);
  EXPECT_EQ(list.Activate(nullptr), 0);
  EXPECT_TRUE(list.At(0)->Active && list.At(100)->Active);
  EXPECT_EQ(list.Remove(nullptr), 0);
  EXPECT_EQ(list.Count(), 0u);
}

// ---------------------------------------------------------------- index scans

// A model of the index file: every live record's key in each index, kept in
// the index's order, scanned by plain comparison.
class TModelSource : public TFilterScanSource {
 public:
  TModelSource(const std::vector<TRow>& rows, uint16_t lang) : lang_(lang), header_(ModelHeader()) {
    for (size_t i = 0; i < rows.size(); ++i) records_.push_back(RecordOf(rows[i], static_cast<int32_t>(i + 1)));
    for (uint8_t slot = 0; slot <= header_.SecondaryCount; ++slot) {
      const TIndexDescriptor& d = header_.Descriptors[slot];
      const TFilterFieldInfo& f = Layout().Infos[static_cast<size_t>(d.FieldNumbers[0] - 1)];
      TKeyFieldInfo info{f.FieldType, f.SubType, f.Width, f.Offset};
      layouts_[slot].Fields = {TKeyField{f.FieldType, f.Width, d.FieldDescending[0]}};
      layouts_[slot].Driver = lang_ != 0 ? TLanguageDriver::Find(lang_, 0) : nullptr;
      for (size_t r = 0; r < records_.size(); ++r) {
        if (records_[r][0] != 0) continue;
        std::vector<uint8_t> key(d.KeyLength);
        BuildIndexKeyFromInfo(slot, d, &info, records_[r].data(), lang_, 0, key.data());
        keys_[slot].push_back({key, static_cast<int32_t>(r + 1)});
      }
      std::stable_sort(keys_[slot].begin(), keys_[slot].end(), [&](const auto& a, const auto& b) {
        return Compare(slot, a.first.data(), b.first.data()) < 0;
      });
    }
  }

  int32_t RecordSlots() override { return static_cast<int32_t>(records_.size()); }
  int32_t LiveRecordCount() override { return static_cast<int32_t>(keys_[0].size()); }
  const TIndexDescriptor& IndexDescriptor(uint8_t slot) override { return header_.Descriptors[slot]; }
  uint16_t LanguageId() override { return lang_; }
  uint16_t SortId() override { return 0; }
  int32_t CountKeysBetween(uint8_t slot, const uint8_t* low, const uint8_t* high) override {
    int32_t n = 0;
    for (const auto& k : keys_[slot]) n += Inside(slot, k.first.data(), low, high);
    ++scans;
    return n;
  }
  void MarkKeysBetween(uint8_t slot, const uint8_t* low, const uint8_t* high, TRecordBitmap& bitmap) override {
    bitmap.Reset(RecordSlots());
    for (const auto& k : keys_[slot])
      if (Inside(slot, k.first.data(), low, high)) bitmap.Set(k.second);
  }
  void MarkKeysOutside(uint8_t slot, const uint8_t* low, const uint8_t* high, TRecordBitmap& bitmap) override {
    bitmap.Reset(RecordSlots());
    for (const auto& k : keys_[slot])
      if (!Inside(slot, k.first.data(), low, high)) bitmap.Set(k.second);
    ++outsideScans;
  }
  const uint8_t* ReadRecord(int32_t recNo) override {
    ++reads;
    const auto& r = records_[static_cast<size_t>(recNo - 1)];
    return r[0] == 0 ? r.data() : nullptr;
  }

  const TIndexHeader& Header() const { return header_; }
  int scans = 0, outsideScans = 0, reads = 0;

 private:
  int Compare(uint8_t slot, const uint8_t* a, const uint8_t* b) const {
    const TIndexDescriptor& d = header_.Descriptors[slot];
    return CompareKeys(layouts_[slot], a, b, d.KeyLength, d.Descending);
  }
  bool Inside(uint8_t slot, const uint8_t* key, const uint8_t* low, const uint8_t* high) const {
    return Compare(slot, key, low) >= 0 && Compare(slot, key, high) <= 0;
  }

  uint16_t lang_;
  TIndexHeader header_;
  std::vector<std::vector<uint8_t>> records_;
  std::vector<std::pair<std::vector<uint8_t>, int32_t>> keys_[kIndexSlotCount];
  TKeyLayout layouts_[kIndexSlotCount];
};

void RunDifferential(uint16_t lang, uint32_t seed) {
  const std::vector<TRow> rows = MakeRows(seed, 160);
  TModelSource source(rows, lang);
  TRecordBitmap candidates;
  candidates.Reset(source.RecordSlots());
  for (size_t i = 0; i < rows.size(); ++i)
    if (rows[i].Live) candidates.Set(static_cast<int32_t>(i + 1));
  TFilterList list;
  list.SetSource(&source);
  const TIndexHeader header = source.Header();
  list.SetContext({Lookup(),
                   [&](const TFilterFieldInfo& f, bool ci, bool anyCase) {
                     return FindFittingIndex(header, f, ci, anyCase);
                   },
                   lang != 0});
  TGenerator generator(seed * 7 + 1, lang != 0);
  int indexed = 0;
  for (int n = 0; n < 300; ++n) {
    const uint32_t options = static_cast<uint32_t>(n % 4);
    TCase c = generator.Make(options, 2);
    TFieldSource fields;
    fields.Lang = lang;
    db::TExprParser parser(c.Text, fields, options);
    TFilterSpec request;
    request.Buffer = parser.FilterData().data();
    request.BufferSize = parser.DataSize();
    TFilterAddResult added = list.Add(std::move(request));
    ASSERT_EQ(added.Code, 0) << c.Text;
    TFilter& filter = *added.Handle;
    if (filter.OptLevel != kOptRecord) ++indexed;
    const int readsBefore = source.reads;
    EvaluateFilterBitmap(filter, candidates, source, filter.Bitmap);
    if (filter.OptLevel == kOptIndex) {
      EXPECT_EQ(source.reads, readsBefore) << c.Text;
    }
    for (size_t i = 0; i < rows.size(); ++i) {
      const auto recNo = static_cast<int32_t>(i + 1);
      // The record-by-record verdict of the same tree agrees too.
      const bool expected = rows[i].Live && (lang != 0 ? EvaluateFilter(*filter.Tree, RecordOf(rows[i], recNo).data(), lang, 0)
                                                       : c.Oracle(rows[i]));
      ASSERT_EQ(filter.Bitmap.Test(recNo), expected)
          << c.Text << " (options " << options << ", level " << int(filter.OptLevel) << ") on row " << i
          << " Name " << Cp1251ToUtf8(rows[i].Name.value_or("(null)")) << " City "
          << Cp1251ToUtf8(rows[i].City.value_or("(null)"));
    }
    list.Remove(added.Handle);
  }
  EXPECT_GT(indexed, 100);
  EXPECT_GT(source.outsideScans, 0);
}

TEST(FilterEvalTest, IndexScansAgreeWithTheOracle) { RunDifferential(0, 21); }

TEST(FilterEvalTest, IndexScansAgreeWithRecordByRecordUnderARussianDriver) {
  if (!IsLocaleInstalled(0x0419, 0)) GTEST_SKIP() << "no Russian locale in ICU";
  RunDifferential(0x0419, 33);
}

TEST(FilterEvalTest, BooleanTrueConditionFindsStoredTrueValuesThroughTheIndex) {
  std::vector<TRow> rows(6);
  rows[0].Flag = true;
  rows[1].Flag = false;
  rows[3].Flag = true;
  rows[4].Flag = false;
  TModelSource source(rows, 0);
  TRecordBitmap candidates;
  candidates.Reset(6);
  candidates.SetAll();
  TFilterList list;
  list.SetSource(&source);
  const TIndexHeader header = source.Header();
  list.SetContext({Lookup(),
                   [&](const TFilterFieldInfo& f, bool ci, bool anyCase) {
                     return FindFittingIndex(header, f, ci, anyCase);
                   },
                   false});
  for (const char* text : {"Flag", "Flag = TRUE", "Flag <> FALSE"}) {
    TFieldSource fields;
    db::TExprParser parser(text, fields, 0);
    TFilterSpec request;
    request.Buffer = parser.FilterData().data();
    request.BufferSize = parser.DataSize();
    TFilter& f = *list.Add(std::move(request)).Handle;
    ASSERT_EQ(f.OptLevel, kOptIndex) << text;
    EvaluateFilterBitmap(f, candidates, source, f.Bitmap);
    std::vector<int32_t> found;
    for (int32_t r = 1; r <= 6; ++r)
      if (f.Bitmap.Test(r)) found.push_back(r);
    const std::vector<int32_t> expected = std::string(text) == "Flag <> FALSE" ? std::vector<int32_t>{1, 3, 4, 6}
                                                                                : std::vector<int32_t>{1, 4};
    EXPECT_EQ(found, expected) << text;
  }
}

}  // namespace
