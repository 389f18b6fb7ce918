// Two processes: this one browses a subscriber table read-only through a
// grid link while a second program appends, modifies and deletes under
// record locks. The browser sees the other's committed state at its next
// navigation or Refresh, never half of a transaction.

#include <gtest/gtest.h>

#include <stdexcept>

#include "dataset/tabula_table.h"
#include "tabula/engine_error.h"
#include "framework/data/data_source.h"
#include "tests/dataset/dataset_test_util.h"
#include "tests/dataset/grid_player.h"
#include "tests/support/child_process.h"
#include "tests/support/tables/subscriber_table.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace tabula::db;
using dataset_test::Column;

class TwoProcessTest : public testing::Test {
 protected:
  static constexpr int kRecords = 40;
  void SetUp() override {
    testing_support::MakeSubscriberTable(dir_.File("base2.DAT"), kRecords);
    sorted_ = testing_support::SortedNumtels(kRecords);
    peer_.Start(DATASET_PEER);
    ASSERT_EQ(peer_.Ask("open " + dir_.Path().string()), "ok");
    browser_.SetDatabaseName(dir_.Path().string());
    browser_.SetTableName("base2.DAT");
    browser_.SetIndexFieldNames("Numtel");
    browser_.SetReadOnly(true);
    source_.SetDataSet(&browser_);
    grid_.SetDataSource(&source_);
    grid_.SetBufferCount(10);
    browser_.Open();
  }
  void TearDown() override {
    peer_.WriteLine("quit");
    EXPECT_EQ(peer_.Wait(), 0);
  }
  std::string Row(int row, const char* field = "Numtel") {
    return grid_.DisplayText(row, browser_.FieldByName(field));
  }

  testing_support::TempDir dir_;
  std::vector<std::string> sorted_;
  testing_support::ChildProcess peer_;
  TTabulaTable browser_;
  fw::TDataSource source_;
  dataset_test::TGridLink grid_;
};

TEST_F(TwoProcessTest, BrowserSeesCommittedChangesAtRefreshAndNavigation) {
  ASSERT_EQ(Row(0), sorted_[0]);
  // Appended before everything: after Refresh the active record stays in
  // its row and the new one lies just above the window.
  ASSERT_EQ(peer_.Ask("append 1000000 Newcomer"), "ok");
  browser_.Refresh();
  EXPECT_EQ(browser_.RecordCount(), kRecords + 1);
  EXPECT_EQ(Row(0), sorted_[0]);
  grid_.Reset();
  browser_.Prior();
  EXPECT_EQ(grid_.Scrolls, std::vector<int>{-1});
  EXPECT_EQ(Row(0), "1000000");
  EXPECT_EQ(Row(1), sorted_[0]);
  // A visible record modified: the next navigation reads the ring again.
  ASSERT_EQ(peer_.Ask("modify " + sorted_[3] + " Renamed"), "ok");
  browser_.Next();
  EXPECT_EQ(Row(4, "Name"), "Renamed");
  EXPECT_EQ(grid_.ActiveRecord(), 1);
  // The active record deleted: Refresh shows the one after it in its place.
  ASSERT_EQ(peer_.Ask("delete " + sorted_[0]), "ok");
  browser_.Refresh();
  EXPECT_EQ(browser_.FieldByName("Numtel").AsString(), sorted_[1]);
  EXPECT_EQ(Row(0), "1000000");
  EXPECT_EQ(Row(1), sorted_[1]);
  EXPECT_EQ(browser_.RecordCount(), kRecords);
  // Appended after everything: Last finds it without reopening.
  ASSERT_EQ(peer_.Ask("append 9999999 Last"), "ok");
  browser_.Last();
  EXPECT_EQ(browser_.FieldByName("Numtel").AsString(), "9999999");
  std::vector<std::string> expected = sorted_;
  expected.erase(expected.begin());
  expected.insert(expected.begin(), "1000000");
  expected.push_back("9999999");
  EXPECT_EQ(Column(browser_, "Numtel"), expected);
}

TEST_F(TwoProcessTest, ATransactionIsSeenWholeOrNotAtAll) {
  constexpr int kBatch = 300;
  peer_.WriteLine("batch 9000000 " + std::to_string(kBatch));
  std::string answer;
  int scans = 0;
  int sawBefore = 0;
  int sawAfter = 0;
  for (;;) {
    {
      // One scan under one read lock: it sees one state of the files.
      fw::TCursorOperation hold(browser_);
      browser_.Refresh();
      const std::vector<std::string> column = Column(browser_, "Numtel");
      const auto batch = std::count_if(column.begin(), column.end(), [](const std::string& n) { return n[0] == '9'; });
      const bool before = column.size() == size_t(kRecords) && batch == 0;
      const bool after = column.size() == size_t(kRecords + kBatch) && batch == kBatch;
      ASSERT_TRUE(before || after) << "rows " << column.size() << ", batch rows " << batch;
      ASSERT_TRUE(std::is_sorted(column.begin(), column.end()));
      EXPECT_EQ(browser_.RecordCount(), int(column.size()));
      sawBefore += before;
      sawAfter += after;
      ++scans;
    }
    if (!answer.empty() && sawAfter > 0) break;
    if (answer.empty()) {
      try {
        answer = peer_.ReadLine(std::chrono::milliseconds(2));
      } catch (const std::runtime_error&) {
      }
    }
  }
  EXPECT_EQ(answer, "ok");
  EXPECT_GT(sawAfter, 0);
  RecordProperty("scans", scans);
  RecordProperty("scans_before_commit", sawBefore);
}

TEST_F(TwoProcessTest, RecordLocksHoldAcrossProcesses) {
  TTabulaTable editor;
  editor.SetDatabaseName(dir_.Path().string());
  editor.SetTableName("base2.DAT");
  editor.SetIndexFieldNames("Numtel");
  editor.SetLockRetryCount(1);
  editor.SetLockWaitTime(10);
  editor.Open();
  ASSERT_EQ(peer_.Ask("hold " + sorted_[0]), "ok");
  try {
    editor.Edit();
    FAIL();
  } catch (const tabula::ETabulaEngineError& e) {
    EXPECT_EQ(e.Code(), tabula::kErrRecordInUse);
  }
  EXPECT_EQ(editor.State(), fw::TDataSetState::kBrowse);
  ASSERT_EQ(peer_.Ask("release"), "ok");
  editor.Edit();
  editor.FieldByName("Name").SetAsString("Mine");
  // The peer cannot take it now.
  EXPECT_EQ(peer_.Ask("modify " + sorted_[0] + " Theirs").rfind("error", 0), 0u);
  editor.Post();
  browser_.Refresh();
  EXPECT_EQ(browser_.FieldByName("Name").AsString(), "Mine");
}

}  // namespace
