// Sessions, databases and opening tables: where a table's file is looked
// for, how databases are shared and released, session names, the field
// definitions a table file yields, and the failures that leave a table
// closed.

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "dataset/tabula_database.h"
#include "dataset/tabula_session.h"
#include "dataset/tabula_session_list.h"
#include "dataset/tabula_table.h"
#include "tabula/engine_error.h"
#include "tabula/field_types.h"
#include "tabula/file_session.h"
#include "tabula/table_creator.h"
#include "framework/data/data_errors.h"
#include "framework/data/standard_fields.h"
#include "tests/dataset/dataset_test_util.h"
#include "tests/support/tables/subscriber_table.h"

namespace {

using namespace tabula::db;
using dataset_test::MessageOf;
using dataset_test::TCurrentDir;
using fw::TFieldType;

TEST(SessionTest, TablesWithoutDatabaseShareOneTemporaryDatabaseInTheCurrentDirectory) {
  TCurrentDir cwd;
  testing_support::MakeSubscriberTable(cwd.File("base2.DAT"), 30);
  auto a = std::make_unique<TTabulaTable>();
  auto b = std::make_unique<TTabulaTable>();
  a->SetTableName("base2.DAT");
  b->SetTableName("base2.DAT");
  a->Open();
  b->Open();
  EXPECT_EQ(a->TableFileName(), "base2.DAT");
  ASSERT_NE(a->Database(), nullptr);
  EXPECT_EQ(a->Database(), b->Database());
  EXPECT_TRUE(a->Database()->Temporary());
  EXPECT_EQ(a->Database()->DatabaseName(), "");
  EXPECT_EQ(a->Database()->RefCount(), 2);
  EXPECT_EQ(a->RecordCount(), 30);
  b->Close();
  ASSERT_EQ(Session().DatabaseByName(""), a->Database());
  EXPECT_EQ(a->Database()->RefCount(), 1);
  a->Close();
  EXPECT_EQ(Session().DatabaseByName(""), nullptr);  // freed with its last table
}

TEST(SessionTest, DatabaseNameThatIsAPathIsTheDirectory) {
  TCurrentDir cwd;
  testing_support::TempDir data;
  testing_support::MakeSubscriberTable(data.File("base2.DAT"), 5);
  TTabulaTable table;
  table.SetDatabaseName(data.Path().string());
  table.SetTableName("base2.DAT");
  table.Open();
  EXPECT_EQ(table.TableFileName(), data.File("base2.DAT"));
  EXPECT_TRUE(table.Database()->Temporary());
  EXPECT_EQ(table.RecordCount(), 5);
}

TEST(SessionTest, FileNamesJoinDirectoryAndTableName) {
  // Each directory form opens (or fails on) the file name it builds; the
  // missing file's error names it.
  struct TCase {
    const char* Directory;
    const char* Expected;
  } cases[] = {{"C:\\DATA", "C:\\DATA\\base2.DAT"}, {"C:\\DATA\\", "C:\\DATA\\base2.DAT"},
               {"  /no/such/dir  ", "/no/such/dir/base2.DAT"}, {"", "base2.DAT"}};
  TCurrentDir cwd;
  for (const TCase& c : cases) {
    TTabulaDatabase database;
    database.SetDatabaseName("DirTest");
    database.SetDirectory(c.Directory);
    TTabulaTable table;
    table.SetDatabaseName("DirTest");
    table.SetTableName("base2.DAT");
    try {
      table.Open();
      FAIL() << c.Directory;
    } catch (const tabula::ETabulaEngineError& e) {
      EXPECT_EQ(e.Code(), tabula::kErrInvalidPath) << c.Directory;
      EXPECT_NE(e.Message.find(c.Expected), std::string::npos) << e.Message;
    }
    EXPECT_FALSE(table.Active());
    EXPECT_EQ(table.Database(), nullptr);
    EXPECT_TRUE(database.Connected());  // a component database stays connected
  }
}

TEST(SessionTest, SessionNamesAndAutoNames) {
  TTabulaSession second;
  EXPECT_EQ(MessageOf([&] { second.SetSessionName("default"); }), "Session name default already exists.");
  second.SetSessionName("Second");
  EXPECT_EQ(&Sessions().RequireSession("SECOND"), &second);
  EXPECT_EQ(MessageOf([&] { Sessions().RequireSession("Nobody"); }), "Session name Nobody is not valid.");

  fw::TComponent form;
  form.SetName("Form1");
  auto* session = new TTabulaSession(&form);
  session->SetName("S1");
  auto* table = new TTabulaTable(&form);
  session->SetAutoSessionName(true);
  EXPECT_EQ(session->SessionName(), "S1_1");
  EXPECT_EQ(table->SessionName(), "S1_1");  // the owner's datasets follow
  auto* later = new TTabulaTable(&form);
  EXPECT_EQ(later->SessionName(), "S1_1");
  EXPECT_EQ(MessageOf([&] { session->SetSessionName("Other"); }),
            "Cannot perform this operation on the active auto-session.");
  EXPECT_EQ(MessageOf([&] { new TTabulaSession(&form); }), "This auto-session already exists.");
  session->SetName("S2");
  EXPECT_EQ(session->SessionName(), "S2_1");
  session->SetActive(true);
  EXPECT_TRUE(Sessions().DefaultSession().Active());  // started first
  EXPECT_NE(session->EngineSession(), Sessions().DefaultSession().EngineSession());
  EXPECT_EQ(MessageOf([&] { session->SetAutoSessionName(false), session->SetSessionName("X"); }),
            "Cannot perform this operation on an active session.");
}

TEST(SessionTest, SecondSessionStartsTheDefaultSessionFirst) {
  FinalizeSessions();  // a fresh list: nothing started yet
  EXPECT_FALSE(Session().Active());
  TTabulaSession other;
  other.SetSessionName("Other");
  other.SetActive(true);
  EXPECT_TRUE(Session().Active());
  EXPECT_TRUE(tabula::EngineInitialized());
  other.SetActive(false);
  EXPECT_TRUE(Session().Active());
  EXPECT_EQ(MessageOf([] {
              TTabulaSession unnamed;
              unnamed.SetActive(true);
            }),
            "Session name is missing.");
}

TEST(SessionTest, DatabaseNames) {
  TTabulaDatabase a;
  a.SetDatabaseName("Main");
  TTabulaDatabase b;
  EXPECT_EQ(MessageOf([&] { b.SetDatabaseName("MAIN"); }), "Database name MAIN already exists.");
  EXPECT_EQ(MessageOf([&] { b.SetDatabaseName("C:\\DATA"); }), "Database name C:\\DATA is not valid.");
  EXPECT_EQ(MessageOf([&] { b.Open(); }), "Database name is missing.");
  a.Open();
  EXPECT_EQ(MessageOf([&] { a.SetDatabaseName("Other"); }), "Cannot perform this operation on an open database.");
  EXPECT_EQ(MessageOf([&] { a.SetDirectory("/tmp"); }), "Cannot perform this operation on an open database.");
}

// ---------------------------------------------------------------- field definitions

TEST(TableDefsTest, EngineTypesMapToFieldTypes) {
  TCurrentDir cwd;
  using namespace tabula;
  auto field = [](const std::string& name, uint8_t type, uint8_t size = 0, uint8_t sub = 0) {
    TFieldDef f;
    f.Name = name;
    f.FieldType = type;
    f.Size = size;
    f.SubType = sub;
    return f;
  };
  std::vector<TFieldDef> fields = {
      field("S", kFldString, 12),        field("D", kFldDate),          field("Memo", kFldBlob, 0, kSubMemo),
      field("Pic", kFldBlob, 0, kSubGraphic), field("Bin", kFldBlob),   field("B", kFldBoolean),
      field("I16", kFldInt16),           field("I32", kFldInt32),       field("Auto", kFldInt32, 0, kSubAutoInc),
      field("F", kFldFloat),             field("Money", kFldFloat, 0, kSubCurrency),
      field("Num", kFldBcd),             field("Raw", kFldBytes, 6),    field("T", kFldTime),
      field("TS", kFldTimestamp),        field("W", kFldUInt16),        field("U32", kFldUInt32),
      field("Var", kFldVarBytes, 9),     field("X", kFldExtended)};
  fields[11].Scale = 2;
  TIndexDef primary;
  primary.Primary = true;
  primary.Fields = {"I32"};
  CreateTable(cwd.File("types.DAT"), fields, {primary});
  TTabulaTable table;
  table.SetTableName("types.DAT");
  table.UpdateFieldDefs();  // closed: read through a temporary cursor
  const fw::TFieldDefs& defs = table.FieldDefs();
  struct TExpect {
    const char* Name;
    TFieldType Type;
    int Size;
  } expected[] = {{"S", TFieldType::kString, 12},   {"D", TFieldType::kDate, 0},        {"Memo", TFieldType::kMemo, 0},
                  {"Pic", TFieldType::kGraphic, 0}, {"Bin", TFieldType::kBlob, 0},      {"B", TFieldType::kBoolean, 0},
                  {"I16", TFieldType::kSmallint, 0}, {"I32", TFieldType::kInteger, 0},  {"Auto", TFieldType::kAutoInc, 0},
                  {"F", TFieldType::kFloat, 0},     {"Money", TFieldType::kCurrency, 0}, {"Num", TFieldType::kBCD, 2},
                  {"Raw", TFieldType::kBytes, 6},   {"T", TFieldType::kTime, 0},        {"TS", TFieldType::kDateTime, 0},
                  {"W", TFieldType::kWord, 0},      {"U32", TFieldType::kInteger, 0},   {"Var", TFieldType::kVarBytes, 9}};
  ASSERT_EQ(defs.Count(), int(std::size(expected)));  // the extended float (type 14) has none
  for (int i = 0; i < defs.Count(); ++i) {
    EXPECT_EQ(defs[i].Name, expected[i].Name);
    EXPECT_EQ(defs[i].DataType, expected[i].Type) << expected[i].Name;
    EXPECT_EQ(defs[i].Size, expected[i].Size) << expected[i].Name;
    EXPECT_EQ(defs[i].FieldNo, i + 1);
  }
  EXPECT_EQ(defs.Find("Num")->Precision, 20);
  table.Open();
  EXPECT_EQ(table.Fields().Count(), defs.Count());
  EXPECT_EQ(table.FindField("X"), nullptr);
  EXPECT_NE(dynamic_cast<fw::TMemoField*>(&table.FieldByName("memo")), nullptr);
}

TEST(TableDefsTest, RepeatedFieldNameGetsASuffix) {
  TCurrentDir cwd;
  testing_support::CreateSubscriberTable(cwd.File("dup.DAT"));
  {
    // Rename field 3 ("kodul") to "Name" in the stored descriptor.
    std::fstream file(cwd.File("dup.DAT"), std::ios::in | std::ios::out | std::ios::binary);
    const std::streamoff at = 127 + 768 * 2 + 2;
    file.seekp(at);
    const char name[] = "\x04Name";
    file.write(name, 5);
  }
  TTabulaTable table;
  table.SetTableName("dup.DAT");
  table.Open();
  EXPECT_EQ(table.FieldDefs()[1].Name, "Name");
  EXPECT_EQ(table.FieldDefs()[2].Name, "Name_1");
  EXPECT_EQ(table.FieldByName("Name_1").FieldNo(), 3);
}

TEST(TableDefsTest, IndexDefinitionsAndIndexFieldNames) {
  TCurrentDir cwd;
  testing_support::MakeSubscriberTable(cwd.File("base2.DAT"), 50);
  TTabulaTable table;
  table.SetTableName("base2.DAT");
  fw::TIndexDefs& defs = table.IndexDefs();
  ASSERT_EQ(defs.Count(), 3);
  EXPECT_EQ(defs[0].Name, "");
  EXPECT_EQ(defs[0].Fields, "Numtel");
  EXPECT_TRUE(defs[0].Has(fw::kIxPrimary));
  EXPECT_EQ(defs[1].Fields, "kodul;dom;korp");
  EXPECT_TRUE(defs[2].Has(fw::kIxCaseInsensitive));
  struct TCase {
    const char* Fields;
    const char* Resolved;
  } cases[] = {{"NUMTEL", ""}, {"kodul;dom", "ByAddr"}, {"name", "ByName"}, {"Kodul;Dom;Korp", "ByAddr"}};
  for (const TCase& c : cases) {
    table.SetIndexFieldNames(c.Fields);
    EXPECT_EQ(table.ResolveIndexName(), c.Resolved) << c.Fields;
    EXPECT_EQ(table.IndexName(), "");
  }
  table.SetIndexFieldNames("kodul;do");
  EXPECT_EQ(MessageOf([&] { table.Open(); }), "No index for fields 'kodul;do'");
  EXPECT_FALSE(table.Active());
  table.SetIndexName("ByName");
  EXPECT_EQ(table.IndexFieldNames(), "");
  table.Open();
  // Names in index order: each not below the one before, letter case aside.
  const std::vector<std::string> names = dataset_test::Column(table, "Name");
  ASSERT_EQ(names.size(), 50u);
  table.SetIndexFieldNames("Numtel");  // switched while open
  const std::vector<std::string> numbers = dataset_test::Column(table, "Numtel");
  std::vector<std::string> expected = testing_support::SortedNumtels(50);
  EXPECT_EQ(numbers, expected);
}

// ---------------------------------------------------------------- failures

TEST(TableOpenTest, BadInputLeavesTheTableClosed) {
  TCurrentDir cwd;
  std::filesystem::create_directory(cwd.File("folder.DAT"));
  testing_support::MakeSubscriberTable(cwd.File("base2.DAT"), 3);
  struct TCase {
    const char* TableName;
    uint16_t Code;  // 0: a dataset error
    const char* Text;
  } cases[] = {{"missing.DAT", tabula::kErrInvalidPath, "missing.DAT"},
               {"folder.DAT", tabula::kErrInvalidPath, "folder.DAT"},
               {"", 0, "Missing table name."}};
  for (const TCase& c : cases) {
    TTabulaTable table;
    table.SetTableName(c.TableName);
    try {
      table.Open();
      ADD_FAILURE() << c.TableName;
    } catch (const tabula::ETabulaEngineError& e) {
      EXPECT_EQ(e.Code(), c.Code);
      EXPECT_NE(e.Message.find(c.Text), std::string::npos) << e.Message;
    } catch (const fw::EDatabaseError& e) {
      EXPECT_EQ(c.Code, 0);
      EXPECT_EQ(e.Message, c.Text);
    }
    EXPECT_FALSE(table.Active());
    EXPECT_EQ(table.Cursor(), nullptr);
    EXPECT_EQ(table.Database(), nullptr);
  }
  EXPECT_EQ(Session().DatabaseByName(""), nullptr);  // nothing left holding the temporary database
}

TEST(TableOpenTest, PasswordsComeFromTheSession) {
  TCurrentDir cwd;
  {
    using namespace tabula;
    TFieldDef f;
    f.Name = "Code";
    f.FieldType = kFldInt32;
    TIndexDef primary;
    primary.Primary = true;
    primary.Fields = {"Code"};
    TTableOptions options;
    options.Password = "Secret";
    CreateTable(cwd.File("locked.DAT"), {f}, {primary}, options);
  }
  TTabulaTable table;
  table.SetTableName("locked.DAT");
  // Nobody gives the password: the table does not open.
  try {
    table.Open();
    FAIL();
  } catch (const tabula::ETabulaEngineError& e) {
    EXPECT_EQ(e.Code(), tabula::kErrPasswordRequired);
  }
  EXPECT_FALSE(table.Active());
  // The session's handler is asked until it stops trying; a wrong letter
  // case is another password.
  std::vector<std::string> offered = {"secret", "Secret"};
  int asked = 0;
  Session().OnPassword = [&](TTabulaSession& session, bool& tryAgain) {
    session.AddSessionPassword(offered[size_t(asked++)]);
    tryAgain = true;
  };
  table.Open();
  EXPECT_EQ(asked, 2);
  table.Close();
  table.Open();  // the session knows it now
  EXPECT_EQ(asked, 2);
  table.Close();
  Session().OnPassword = nullptr;
  Session().ClearSessionPasswords();
}

TEST(TableOpenTest, DeclaredFieldsAreCheckedAgainstTheTable) {
  TCurrentDir cwd;
  testing_support::MakeSubscriberTable(cwd.File("base2.DAT"), 3);
  TTabulaTable table;
  table.SetTableName("base2.DAT");
  auto* numtel = new fw::TStringField(&table, 7);
  numtel->SetFieldName("Numtel");
  numtel->SetDataSet(&table);
  auto* wrong = new fw::TIntegerField(&table);
  wrong->SetFieldName("dom");
  wrong->SetDataSet(&table);
  EXPECT_EQ(MessageOf([&] { table.Open(); }), "Type mismatch for field 'dom', expecting: Integer actual: String");
  EXPECT_FALSE(table.Active());
  wrong->SetFieldName("nothere");
  EXPECT_EQ(MessageOf([&] { table.Open(); }), "Field 'nothere' not found");
  delete wrong;
  // Declared narrower than the table's field: values are cut to the
  // declared size, never written past the field object's bytes.
  auto* name = new fw::TStringField(&table, 4);
  name->SetFieldName("Name");
  name->SetDataSet(&table);
  table.Open();
  EXPECT_EQ(table.Fields().Count(), 2);  // only what was declared
  EXPECT_EQ(name->AsString(), testing_support::SubscriberRow(0).Name.substr(0, 4));
  EXPECT_EQ(MessageOf([&] { table.FieldByName("kodul"); }), "Field 'kodul' not found");
  EXPECT_EQ(MessageOf([&] { table.SetTableName("x.DAT"); }), "Cannot perform this operation on an open dataset");
}

}  // namespace
