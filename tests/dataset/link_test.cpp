// What data links are told and what they see: activation, scrolls of
// windows of different sizes, record and field changes, notifications
// held back by DisableControls; calculated fields, bookmarks and filters
// seen through the dataset.

#include <gtest/gtest.h>

#include "dataset/tabula_table.h"
#include "framework/data/data_errors.h"
#include "framework/data/data_link.h"
#include "framework/data/data_source.h"
#include "framework/data/standard_fields.h"
#include "tests/dataset/dataset_test_util.h"
#include "tests/dataset/grid_player.h"
#include "tests/support/tables/subscriber_table.h"

namespace {

using namespace tabula::db;
using dataset_test::Column;
using dataset_test::TCurrentDir;
using dataset_test::TGridLink;

class LinkTest : public testing::Test {
 protected:
  static constexpr int kRecords = 30;
  void SetUp() override {
    testing_support::MakeSubscriberTable(cwd_.File("base2.DAT"), kRecords);
    sorted_ = testing_support::SortedNumtels(kRecords);
    table_.SetTableName("base2.DAT");
    table_.SetIndexFieldNames("Numtel");
    source_.SetDataSet(&table_);
    grid_.SetDataSource(&source_);
    grid_.SetBufferCount(10);
    small_.SetDataSource(&source_);
    small_.SetBufferCount(3);
  }
  std::vector<std::string> Rows(TGridLink& link) {
    std::vector<std::string> out;
    for (int row = 0; row < link.RecordCount(); ++row) out.push_back(link.DisplayText(row, table_.FieldByName("Numtel")));
    return out;
  }
  std::vector<std::string> Sorted(int from, int count) {
    return std::vector<std::string>(sorted_.begin() + from, sorted_.begin() + from + count);
  }

  TCurrentDir cwd_;
  std::vector<std::string> sorted_;
  TTabulaTable table_;
  fw::TDataSource source_;
  TGridLink grid_;
  TGridLink small_;
};

TEST_F(LinkTest, WindowsFollowTheActiveRecord) {
  EXPECT_FALSE(grid_.Active());
  table_.Open();
  EXPECT_EQ(table_.BufferCount(), 10);  // the widest link decides
  EXPECT_EQ(grid_.ActiveChanges, 1);
  EXPECT_EQ(small_.ActiveChanges, 1);
  EXPECT_EQ(Rows(grid_), Sorted(0, 10));
  EXPECT_EQ(Rows(small_), Sorted(0, 3));
  // Each step: the move, then each link's active row and reported distance.
  struct TStep {
    int Move;
    int GridRow, GridDistance;
    int SmallRow, SmallDistance, SmallFirst;
  } steps[] = {{2, 2, 0, 2, 0, 0}, {1, 3, 0, 2, 1, 1}, {6, 9, 0, 2, 6, 7},
               {1, 9, 1, 2, 1, 8}, {-3, 6, 0, 0, -1, 7}, {-7, 0, -1, 0, -7, 0}};
  for (const TStep& s : steps) {
    grid_.Reset();
    small_.Reset();
    table_.MoveBy(s.Move);
    SCOPED_TRACE(s.Move);
    EXPECT_EQ(grid_.ActiveRecord(), s.GridRow);
    ASSERT_EQ(grid_.Scrolls.size(), 1u);
    EXPECT_EQ(grid_.Scrolls[0], s.GridDistance);
    EXPECT_EQ(small_.ActiveRecord(), s.SmallRow);
    ASSERT_EQ(small_.Scrolls.size(), 1u);
    EXPECT_EQ(small_.Scrolls[0], s.SmallDistance);
    EXPECT_EQ(Rows(small_), Sorted(s.SmallFirst, 3));
  }
  // A wider grid grows the ring around the records it holds.
  grid_.SetBufferCount(15);
  EXPECT_EQ(table_.BufferCount(), 15);
  EXPECT_EQ(table_.FieldByName("Numtel").AsString(), sorted_[0]);
  EXPECT_EQ(Rows(grid_), Sorted(0, 15));
  grid_.SetBufferCount(4);
  EXPECT_EQ(table_.BufferCount(), 4);
  EXPECT_EQ(Rows(grid_), Sorted(0, 4));
  table_.Close();
  EXPECT_EQ(grid_.ActiveChanges, 1);
  EXPECT_FALSE(grid_.Active());
}

TEST_F(LinkTest, DisableControlsHoldsNotificationsBack) {
  table_.Open();
  grid_.Reset();
  table_.DisableControls();
  for (int i = 0; i < 5; ++i) table_.Next();
  table_.Last();
  table_.Prior();
  EXPECT_TRUE(grid_.Scrolls.empty());
  EXPECT_EQ(grid_.DataSetChanges, 0);
  table_.EnableControls();
  EXPECT_EQ(grid_.DataSetChanges, 1);
  EXPECT_TRUE(grid_.Scrolls.empty());
  EXPECT_EQ(grid_.ActiveRecord(), 8);
  EXPECT_EQ(Rows(grid_), Sorted(kRecords - 10, 10));
  // A disabled data source passes nothing on.
  source_.SetEnabled(false);
  EXPECT_FALSE(grid_.Active());
  grid_.Reset();
  table_.First();
  EXPECT_EQ(grid_.DataSetChanges + int(grid_.Scrolls.size()), 0);
  source_.SetEnabled(true);
  EXPECT_TRUE(grid_.Active());
  EXPECT_EQ(grid_.ActiveRecord(), 0);
}

TEST_F(LinkTest, FieldChangesReachTheLinks) {
  table_.Open();
  table_.Edit();
  EXPECT_TRUE(grid_.Editing());
  grid_.Reset();
  fw::TField& name = table_.FieldByName("Name");
  int changes = 0;
  name.OnChange = [&](fw::TField& f) { changes += &f == &name; };
  name.SetAsString("Edited");
  ASSERT_EQ(grid_.RecordChanges.size(), 1u);
  EXPECT_EQ(grid_.RecordChanges[0], &name);
  EXPECT_EQ(changes, 1);
  EXPECT_TRUE(table_.Modified());
  table_.Next();  // posts the edit on the way
  EXPECT_FALSE(grid_.Editing());
  EXPECT_EQ(grid_.DisplayText(0, name), "Edited");
}

TEST_F(LinkTest, CalculatedFieldsAreComputedPerFetchedRecord) {
  for (const char* n : {"Numtel", "dom"}) {
    auto* f = new fw::TStringField(&table_, n == std::string("dom") ? 5 : 7);
    f->SetFieldName(n);
    f->SetDataSet(&table_);
  }
  auto* calc = new fw::TStringField(&table_, 20);
  calc->SetFieldName("Label");
  calc->SetFieldKind(fw::TFieldKind::kCalculated);
  calc->SetDataSet(&table_);
  int calls = 0;
  table_.OnCalcFields = [&](fw::TDataSet& ds) {
    ++calls;
    ds.FieldByName("Label").SetAsString(ds.FieldByName("Numtel").AsString() + "/" + ds.FieldByName("dom").AsString());
  };
  table_.Open();
  EXPECT_EQ(calls, 10);
  table_.ResetEngineCalls();
  table_.MoveBy(12);
  EXPECT_EQ(calls, 10 + int(table_.EngineCalls().RecordReads));
  for (int row = 0; row < grid_.RecordCount(); ++row)
    EXPECT_EQ(grid_.DisplayText(row, *calc), sorted_[size_t(3 + row)] + "/" + grid_.DisplayText(row, table_.FieldByName("dom")));
  table_.Close();
  // A lookup field needs all of its lookup settings.
  auto* lookup = new fw::TStringField(&table_, 40);
  lookup->SetFieldName("NameUl");
  lookup->SetFieldKind(fw::TFieldKind::kLookup);
  lookup->SetDataSet(&table_);
  lookup->KeyFields = "kodul";
  try {
    table_.Open();
    FAIL();
  } catch (const fw::EDatabaseError& e) {
    EXPECT_EQ(e.Message, "Lookup information for field 'NameUl' is incomplete");
  }
  // With a lookup dataset that is closed, the field stays empty.
  TTabulaTable streets;
  lookup->SetLookupDataSet(&streets);
  lookup->LookupKeyFields = "KODUL";
  lookup->LookupResultField = "NAME";
  table_.Open();
  EXPECT_TRUE(lookup->IsNull());
  EXPECT_EQ(lookup->DisplayText(), "");
}

TEST_F(LinkTest, BookmarksReturnToTheirRecord) {
  table_.Open();
  table_.SetRecNo(14);
  const fw::TBookmark mark = table_.GetBookmark();
  const fw::TBookmark other = (table_.Next(), table_.GetBookmark());
  table_.Last();
  table_.GotoBookmark(mark);
  EXPECT_EQ(table_.FieldByName("Numtel").AsString(), sorted_[13]);
  EXPECT_EQ(grid_.ActiveRecord(), 4);  // in the middle of the ten rows
  EXPECT_EQ(table_.CompareBookmarks(mark, other), -1);
  EXPECT_EQ(table_.CompareBookmarks(other, mark), 1);
  EXPECT_EQ(table_.CompareBookmarks(mark, mark), 0);
  EXPECT_EQ(table_.CompareBookmarks({}, {}), 0);
  EXPECT_EQ(table_.CompareBookmarks(mark, {}), -1);
  EXPECT_EQ(table_.CompareBookmarks({}, mark), 1);
  EXPECT_TRUE(table_.BookmarkValid(mark));
  // Deleted through another handle: the bookmark no longer names a record,
  // even though the engine would land on the next one.
  TTabulaTable writer;
  writer.SetTableName("base2.DAT");
  writer.SetIndexFieldNames("Numtel");
  writer.Open();
  writer.SetRecNo(14);
  writer.Delete();
  EXPECT_FALSE(table_.BookmarkValid(mark));
  EXPECT_TRUE(table_.BookmarkValid(other));
}

TEST_F(LinkTest, FiltersThroughTheEngine) {
  table_.Open();
  std::vector<std::string> doms = Column(table_, "dom");
  const std::string wanted = doms[3];
  const auto expected = size_t(std::count(doms.begin(), doms.end(), wanted));
  table_.SetFilter("dom = '" + wanted + "'");
  EXPECT_EQ(Column(table_, "dom").size(), size_t(kRecords));  // not filtered yet
  table_.SetFiltered(true);
  std::vector<std::string> seen = Column(table_, "dom");
  EXPECT_EQ(seen, std::vector<std::string>(expected, wanted));
  // A callback filter narrows it further: even phone numbers only.
  int errors = 0;
  fw::SetApplicationExceptionHandler([&](const std::exception&) { ++errors; });
  table_.SetOnFilterRecord([](fw::TDataSet& ds, bool& accept) {
    const std::string n = ds.FieldByName("Numtel").AsString();
    if (n.back() == '5') throw fw::EDatabaseError("handler failed");  // reported, record kept
    accept = (n.back() - '0') % 2 == 0 || n.back() == '5';
  });
  for (const std::string& n : Column(table_, "Numtel")) EXPECT_TRUE((n.back() - '0') % 2 == 0 || n.back() == '5') << n;
  fw::SetApplicationExceptionHandler(nullptr);
  table_.SetOnFilterRecord(nullptr);
  table_.SetFiltered(false);
  EXPECT_EQ(Column(table_, "Numtel"), sorted_);
  // FindFirst/FindNext use the filter without filtering the table.
  std::vector<std::string> found;
  for (bool ok = table_.FindFirst(); ok; ok = table_.FindNext()) found.push_back(table_.FieldByName("dom").AsString());
  EXPECT_EQ(found, std::vector<std::string>(expected, wanted));
  EXPECT_FALSE(table_.Filtered());
  EXPECT_EQ(table_.RecordCount(), kRecords);
  try {
    table_.SetFilter("Nope = 1");
    FAIL();
  } catch (const fw::EDatabaseError& e) {
    EXPECT_EQ(e.Message, "Field 'Nope' not found");
  }
  EXPECT_EQ(table_.Filter(), "dom = '" + wanted + "'");
  (void)errors;
}

}  // namespace
