// A 20-row grid played over a 100,000-record subscriber table: after every
// step the window shows the right records in index order, the link was
// told the right scroll distance, and the move cost one positioning at
// most and no more record reads than rows that changed.

#include <gtest/gtest.h>

#include "dataset/tabula_table.h"
#include "tests/dataset/grid_player.h"
#include "tests/support/tables/subscriber_table.h"
#include "tests/support/temp_dir.h"

namespace {

using dataset_test::TGridStep;

class GridTest : public testing::Test {
 protected:
  static constexpr int64_t kRecords = 100000;

  // The table is made once for the whole group.
  static void SetUpTestSuite() {
    dir_ = new testing_support::TempDir;
    testing_support::MakeSubscriberTable(dir_->File("base2.DAT"), kRecords);
    sorted_ = new std::vector<std::string>(testing_support::SortedNumtels(kRecords));
  }
  static void TearDownTestSuite() {
    delete sorted_;
    delete dir_;
  }

  static testing_support::TempDir* dir_;
  static std::vector<std::string>* sorted_;
};

testing_support::TempDir* GridTest::dir_ = nullptr;
std::vector<std::string>* GridTest::sorted_ = nullptr;

TEST_F(GridTest, TwentyRowsOverAHundredThousandRecords) {
  tabula::db::TTabulaTable table;
  table.SetDatabaseName(dir_->Path().string());
  table.SetTableName("base2.DAT");
  table.SetReadOnly(true);
  const std::vector<TGridStep> steps = dataset_test::PlayGrid(table, *sorted_, 20);
  ASSERT_EQ(steps.size(), 90u);
  for (const TGridStep& s : steps) {
    SCOPED_TRACE(dataset_test::DescribeStep(s));
    EXPECT_EQ(s.ShownRows, 20);
    EXPECT_EQ(s.WrongRows, 0);
    EXPECT_EQ(s.ActiveRow, s.ExpectedActiveRow);
    EXPECT_LE(s.Calls.Positionings, 1u);
    if (s.Name != "open") {
      EXPECT_LE(s.Calls.RecordReads, uint64_t(s.ChangedRows));
    }
    if (s.ExpectScroll) {
      ASSERT_EQ(s.Scrolls.size(), 1u);
      EXPECT_EQ(s.Scrolls[0], s.ExpectedDistance);
      EXPECT_EQ(s.DataSetChanges, 0);
    } else if (s.Name != "open") {
      EXPECT_EQ(s.DataSetChanges, 1);
    }
  }
  // A one-row scroll reads one record, not the ring.
  EXPECT_EQ(steps[42].Name, "Next");
  EXPECT_EQ(steps[42].Calls.RecordReads, 1u);
  EXPECT_EQ(steps[42].Calls.Positionings, 0u);
  EXPECT_EQ(table.RecordCount(), kRecords);
}

}  // namespace
