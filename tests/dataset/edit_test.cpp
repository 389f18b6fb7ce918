// Edits through the table dataset: insert, append, edit, post, cancel and
// delete on real files; what a failed post or a refused value leaves
// behind; field values of every type converted to and from text; and the
// errors for fields, states and read-only tables.

#include <gtest/gtest.h>

#include "dataset/tabula_table.h"
#include "tabula/engine_error.h"
#include "tabula/field_types.h"
#include "tabula/table_creator.h"
#include "framework/data/data_errors.h"
#include "framework/data/standard_fields.h"
#include "tests/dataset/dataset_test_util.h"
#include "tests/support/tables/subscriber_table.h"

namespace {

using namespace tabula::db;
using dataset_test::Column;
using dataset_test::MessageOf;
using dataset_test::TCurrentDir;
using fw::TDataSetState;

class EditTest : public testing::Test {
 protected:
  void SetUp() override {
    testing_support::MakeSubscriberTable(cwd_.File("base2.DAT"), 10);
    table_.SetTableName("base2.DAT");
    table_.SetIndexFieldNames("Numtel");
    table_.Open();
    sorted_ = testing_support::SortedNumtels(10);
  }

  TCurrentDir cwd_;
  TTabulaTable table_;
  std::vector<std::string> sorted_;
};

TEST_F(EditTest, InsertEditCancelDelete) {
  table_.Append();
  EXPECT_EQ(table_.State(), TDataSetState::kInsert);
  EXPECT_EQ(table_.RecNo(), -1);  // a new record has no number yet
  table_.FieldByName("Numtel").SetAsInteger(1000001);  // becomes its decimal text
  table_.FieldByName("Name").SetAsString("New subscriber");
  table_.FieldByName("dom").SetValue(fw::TVariant(17));
  table_.Post();
  EXPECT_EQ(table_.State(), TDataSetState::kBrowse);
  EXPECT_EQ(table_.FieldByName("Numtel").AsString(), "1000001");  // the posted record stays current
  EXPECT_EQ(table_.RecNo(), 1);  // the lowest number sorts first
  EXPECT_EQ(table_.RecordCount(), 11);
  EXPECT_EQ(table_.FieldByName("dom").AsInteger(), 17);
  EXPECT_GT(table_.FieldByName("id").AsInteger(), 0);

  table_.SetRecNo(5);
  const std::string number = table_.FieldByName("Numtel").AsString();
  table_.Edit();
  table_.FieldByName("Name").SetAsString("Changed");
  table_.Cancel();
  EXPECT_NE(table_.FieldByName("Name").AsString(), "Changed");
  table_.Edit();
  table_.FieldByName("Name").SetAsString("Changed");
  table_.Post();
  EXPECT_EQ(table_.FieldByName("Numtel").AsString(), number);
  EXPECT_EQ(table_.FieldByName("Name").AsString(), "Changed");

  table_.Delete();
  EXPECT_EQ(table_.RecordCount(), 10);
  EXPECT_EQ(table_.RecNo(), 5);  // the record after the deleted one
  std::vector<std::string> expected = sorted_;
  expected.insert(expected.begin(), "1000001");
  expected.erase(std::find(expected.begin(), expected.end(), number));
  EXPECT_EQ(Column(table_, "Numtel"), expected);

  // A cancelled insert leaves nothing behind.
  table_.SetRecNo(3);
  table_.Insert();
  table_.FieldByName("Numtel").SetAsString("1234567");
  table_.Cancel();
  EXPECT_EQ(table_.RecNo(), 3);
  EXPECT_EQ(Column(table_, "Numtel"), expected);
}

TEST_F(EditTest, FailedPostKeepsTheEditAndItsValues) {
  table_.Append();
  table_.FieldByName("Numtel").SetAsString(sorted_[4]);  // already taken: the primary key refuses it
  table_.FieldByName("Name").SetAsString("Duplicate");
  try {
    table_.Post();
    FAIL();
  } catch (const tabula::ETabulaEngineError& e) {
    EXPECT_EQ(e.Code(), tabula::kErrDuplicateKey);
  }
  EXPECT_EQ(table_.State(), TDataSetState::kInsert);
  EXPECT_EQ(table_.FieldByName("Name").AsString(), "Duplicate");
  table_.FieldByName("Numtel").SetAsString("9999999");
  table_.Post();
  EXPECT_EQ(table_.RecordCount(), 11);

  // An error handler may put things right and ask for another try.
  int retries = 0;
  table_.OnPostError = [&](fw::TDataSet& ds, const fw::EDatabaseError&, fw::TDataAction& action) {
    ds.FieldByName("Numtel").SetAsString("8888888");
    action = fw::TDataAction::kRetry;
    ++retries;
  };
  table_.Append();
  table_.FieldByName("Numtel").SetAsString(sorted_[2]);
  table_.Post();
  EXPECT_EQ(retries, 1);
  EXPECT_EQ(table_.FieldByName("Numtel").AsString(), "8888888");
  table_.OnPostError = nullptr;

  table_.First();
  table_.Edit();
  table_.FieldByName("Numtel").SetAsString(sorted_[7]);
  EXPECT_THROW(table_.Post(), tabula::ETabulaEngineError);
  EXPECT_EQ(table_.State(), TDataSetState::kEdit);
  EXPECT_EQ(table_.FieldByName("Numtel").AsString(), sorted_[7]);
  table_.Cancel();
  EXPECT_EQ(table_.FieldByName("Numtel").AsString(), sorted_[0]);
}

TEST_F(EditTest, RefusedValuesAndWrongStates) {
  fw::TField& dom = table_.FieldByName("dom");
  const std::string before = dom.AsString();
  EXPECT_EQ(MessageOf([&] { dom.SetAsString("12"); }), "Dataset not in edit or insert mode");
  EXPECT_EQ(MessageOf([&] { table_.FieldByName("Street"); }), "Field 'Street' not found");
  EXPECT_EQ(MessageOf([&] { table_.Post(); }), "Dataset not in edit or insert mode");
  table_.Edit();
  fw::TField& id = table_.FieldByName("id");
  EXPECT_THROW(id.AsBoolean(), fw::EDatabaseError);
  EXPECT_EQ(MessageOf([&] { id.AsBoolean(); }), "Cannot access field 'id' as type Boolean");
  EXPECT_EQ(MessageOf([&] { id.SetAsString("abc"); }), "'abc' is not a valid integer value");
  EXPECT_THROW(id.SetAsString("abc"), fw::EConvertError);
  EXPECT_NO_THROW(dom.AsInteger());  // "dom" holds digits: it converts
  dom.SetAsString("7a");
  EXPECT_EQ(MessageOf([&] { dom.AsInteger(); }), "'7a' is not a valid integer value");
  dom.ReadOnly = true;
  EXPECT_EQ(MessageOf([&] { dom.SetAsString("1"); }), "Field 'dom' cannot be modified");
  dom.ReadOnly = false;
  table_.Cancel();
  EXPECT_EQ(dom.AsString(), before);
}

TEST_F(EditTest, ReadOnlyTableRefusesEdits) {
  table_.Close();
  table_.SetReadOnly(true);
  table_.Open();
  for (auto edit : {&fw::TDataSet::Edit, &fw::TDataSet::Append, &fw::TDataSet::Delete})
    EXPECT_EQ(MessageOf([&] { (table_.*edit)(); }), "Cannot modify a read-only dataset");
  EXPECT_EQ(table_.State(), TDataSetState::kBrowse);
  EXPECT_EQ(Column(table_, "Numtel"), sorted_);
}

TEST_F(EditTest, RecordLockRefusesASecondEditor) {
  TTabulaTable other;
  other.SetTableName("base2.DAT");
  other.SetLockRetryCount(1);
  other.SetLockWaitTime(5);
  other.Open();
  table_.Edit();  // holds the first record's lock
  try {
    other.Edit();
    FAIL();
  } catch (const tabula::ETabulaEngineError& e) {
    EXPECT_EQ(e.Code(), tabula::kErrRecordInUse);
  }
  EXPECT_EQ(other.State(), TDataSetState::kBrowse);
  table_.Cancel();  // lets the lock go
  other.Edit();
  other.FieldByName("Name").SetAsString("Second editor");
  other.Post();
  table_.Refresh();
  EXPECT_EQ(table_.FieldByName("Name").AsString(), "Second editor");
}

// A table that can enter the set-key state, as key searches do.
TEST(SetKeyTest, OnlyIndexFieldsTakeKeyValues) {
  TCurrentDir cwd;
  testing_support::MakeSubscriberTable(cwd.File("base2.DAT"), 3);
  TTabulaTable table;
  table.SetTableName("base2.DAT");
  table.SetIndexName("ByAddr");
  auto* calc = new fw::TStringField(&table, 10);
  calc->SetFieldName("Calc");
  calc->SetFieldKind(fw::TFieldKind::kCalculated);
  calc->SetDataSet(&table);
  for (auto [name, size] : {std::pair{"Name", 120}, std::pair{"kodul", 6}}) {
    auto* f = new fw::TStringField(&table, size);
    f->SetFieldName(name);
    f->SetDataSet(&table);
  }
  table.Open();
  table.SetKey();
  EXPECT_EQ(MessageOf([&] { table.FieldByName("Name").SetAsString("x"); }),
            "Field 'Name' is not indexed and cannot be modified");
  EXPECT_EQ(MessageOf([&] { table.FieldByName("Calc").SetAsString("x"); }),
            "Field 'Calc' is not indexed and cannot be modified");
  table.FieldByName("kodul").SetAsString("1");
  EXPECT_EQ(table.FieldByName("kodul").AsString(), "1");
  table.Cancel();
}

// ---------------------------------------------------------------- values of every type

TEST(FieldValueTest, EveryTypeRoundTripsThroughTheTable) {
  TCurrentDir cwd;
  using namespace tabula;
  auto field = [](const std::string& name, uint8_t type, uint8_t size = 0, uint8_t sub = 0) {
    tabula::TFieldDef f;
    f.Name = name;
    f.FieldType = type;
    f.Size = size;
    f.SubType = sub;
    return f;
  };
  std::vector<tabula::TFieldDef> fields = {
      field("Id", kFldInt32),       field("S", kFldString, 6),    field("I16", kFldInt16), field("W", kFldUInt16),
      field("F", kFldFloat),        field("Money", kFldFloat, 0, kSubCurrency), field("Num", kFldBcd),
      field("B", kFldBoolean),      field("D", kFldDate),         field("T", kFldTime),    field("TS", kFldTimestamp),
      field("Raw", kFldBytes, 4),   field("Req", kFldString, 3)};
  fields[6].Scale = 2;
  fields[12].Required = true;
  tabula::TIndexDef primary;
  primary.Primary = true;
  primary.Fields = {"Id"};
  CreateTable(cwd.File("values.DAT"), fields, {primary});

  TTabulaTable table;
  table.SetTableName("values.DAT");
  table.Open();
  struct TCase {
    const char* Field;
    const char* Input;
    const char* Stored;  // AsString after posting; nullptr: the input is refused with `Error`
    const char* Error;
  } cases[] = {
      {"S", "abcdefgh", "abcdef", nullptr},
      {"I16", "-123", "-123", nullptr},
      {"I16", "40000", nullptr, "40000 is not a valid value for field 'I16'. The allowed range is -32768 to 32767"},
      {"I16", "1.5", nullptr, "'1.5' is not a valid integer value"},
      {"W", "65535", "65535", nullptr},
      {"W", "-1", nullptr, "-1 is not a valid value for field 'W'. The allowed range is 0 to 65535"},
      {"F", "2.5E3", "2500", nullptr},
      {"F", "x1", nullptr, "'x1' is not a valid floating point value"},
      {"Money", "12.3456", "12.3456", nullptr},
      {"Num", "12.345", "12.35", nullptr},  // stored at two decimals, rounded
      {"Num", "-0.5", "-0.5", nullptr},
      {"Num", "1,5", nullptr, "'1,5' is not a valid BCD value"},
      {"B", "t", "True", nullptr},
      {"B", "FALSE", "False", nullptr},
      {"B", "maybe", nullptr, "'maybe' is not a valid boolean value"},
      {"D", "29.02.2024", "29.02.2024", nullptr},
      {"D", "29.02.2023", nullptr, "'29.02.2023' is not a valid date"},
      {"T", "13:45:10", "13:45:10", nullptr},
      {"T", "25:00", nullptr, "'25:00' is not a valid time"},
      {"TS", "01.02.2003 04:05:06", "01.02.2003 04:05:06", nullptr},
      {"TS", "01.02.2003 x", nullptr, "'01.02.2003 x' is not a valid date and time"},
      {"Raw", "AB", std::string("AB\0\0", 4).c_str(), nullptr},
  };
  int id = 0;
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.Field) + " <- " + c.Input);
    table.Append();
    table.FieldByName("Id").SetAsInteger(++id);
    table.FieldByName("Req").SetAsString("r");
    fw::TField& f = table.FieldByName(c.Field);
    if (c.Stored == nullptr) {
      EXPECT_EQ(MessageOf([&] { f.SetAsString(c.Input); }), c.Error);
      EXPECT_TRUE(f.IsNull());  // the refused value was not stored
      table.Cancel();
      continue;
    }
    f.SetAsString(c.Input);
    table.Post();
    table.Refresh();
    EXPECT_EQ(table.FieldByName("Id").AsInteger(), id);
    if (std::string(c.Field) == "Raw")
      EXPECT_EQ(f.AsString(), std::string("AB\0\0", 4));
    else
      EXPECT_EQ(f.AsString(), c.Stored);
  }
  // Numbers into text and back; an empty text clears a number.
  table.Append();
  table.FieldByName("Id").SetAsInteger(++id);
  table.FieldByName("Req").SetAsString("r");
  table.FieldByName("S").SetAsFloat(1.25);
  EXPECT_EQ(table.FieldByName("S").AsString(), "1.25");
  table.FieldByName("S").SetValue(fw::TVariant(int64_t(-42)));
  EXPECT_EQ(table.FieldByName("S").AsInteger(), -42);
  table.FieldByName("I16").SetAsString("5");
  table.FieldByName("I16").SetAsString("");
  EXPECT_TRUE(table.FieldByName("I16").IsNull());
  table.FieldByName("Num").SetAsFloat(3.14159);
  EXPECT_EQ(table.FieldByName("Num").AsString(), "3.14");
  table.FieldByName("Req").Clear();
  EXPECT_EQ(MessageOf([&] { table.Post(); }), "Field 'Req' must have a value");
  EXPECT_EQ(table.State(), TDataSetState::kInsert);
  table.Cancel();
}

}  // namespace
