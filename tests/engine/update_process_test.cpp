// Record updates between real processes: several writers and readers on one
// shared table, a transaction seen by another process only after Commit,
// and a writer killed inside a transaction.

#include <signal.h>

#include <fstream>
#include <sstream>

#include "engine/read_lock_scope.h"
#include "tests/engine/update_test_util.h"
#include "tests/support/child_process.h"

namespace update_test {
namespace {

const char* const kUpdatePeer = TABULA_UPDATE_PEER;
using data_file_test::ReadAll;
using testing_support::ChildProcess;

// "done <a> <b>" -> {a, b}; anything else fails the test.
std::pair<long, long> Done(const std::string& answer) {
  std::istringstream in(answer);
  std::string word;
  long a = -1, b = -1;
  in >> word >> a >> b;
  EXPECT_EQ(word, "done") << answer;
  return {a, b};
}

class UpdateProcessTest : public data_file_test::EngineTest {
 protected:
  std::string Path() const { return dir_.File("shared.DAT"); }

  std::vector<std::vector<uint8_t>> Files() const {
    return {ReadAll(Path()), ReadAll(dir_.File("shared.IDX")), ReadAll(dir_.File("shared.BLB"))};
  }

  void CreateWithRows(int n) {
    CreateTestTable(Path(), true, true);
    TDataFile t;
    t.SetFileName(Path());
    t.Open();
    std::vector<uint8_t> buffer(size_t(t.RecordSize()));
    for (int32_t id = 1; id <= n; ++id) {
      t.InitRecord(buffer.data());
      FillRow(t, buffer.data(), TRow{id, "r" + std::to_string(id), id, std::string(size_t(id * 300), 'm'), "pp"},
              true);
      t.AppendRecord(buffer.data());
      FreeIfOpen(t, buffer.data(), kFMemo);
      FreeIfOpen(t, buffer.data(), kFPic);
    }
  }
};

TEST_F(UpdateProcessTest, WritersAndReadersShareOneTableWithoutLosingOrTearingRecords) {
  CreateTestTable(Path(), true, true);
  constexpr int kWriters = 4;
  constexpr int kReaders = 2;
  const double seconds = 10;
  std::vector<std::unique_ptr<ChildProcess>> writers, readers;
  for (int w = 1; w <= kWriters; ++w) {
    writers.push_back(std::make_unique<ChildProcess>());
    writers.back()->Start(kUpdatePeer);
    writers.back()->WriteLine("writer " + Path() + " " + std::to_string(w) + " " + std::to_string(seconds) + " " +
                              dir_.File("log" + std::to_string(w)));
  }
  for (int r = 0; r < kReaders; ++r) {
    readers.push_back(std::make_unique<ChildProcess>());
    readers.back()->Start(kUpdatePeer);
    readers.back()->WriteLine("reader " + Path() + " " + std::to_string(seconds));
  }
  long totalOps = 0;
  for (auto& w : writers) {
    auto [ops, faults] = Done(w->ReadLine(std::chrono::seconds(150)));
    EXPECT_EQ(faults, 0);
    EXPECT_GT(ops, 0);
    totalOps += ops;
  }
  for (auto& r : readers) {
    auto [scans, faults] = Done(r->ReadLine(std::chrono::seconds(150)));
    EXPECT_EQ(faults, 0);
    EXPECT_GT(scans, 0);
  }
  for (auto* group : {&writers, &readers}) {
    for (auto& c : *group) {
      c->CloseInput();
      EXPECT_EQ(c->Wait(), 0);
    }
  }
  RecordProperty("writer_ops", std::to_string(totalOps));

  // The table holds exactly the union of what the writers kept.
  std::map<int32_t, int> expected;
  for (int w = 1; w <= kWriters; ++w) {
    std::ifstream log(dir_.File("log" + std::to_string(w)));
    int32_t id = 0;
    int version = 0;
    while (log >> id >> version) expected[id] = version;
  }
  TDataFile t;
  t.SetFileName(Path());
  t.Open();
  const std::vector<TRow> rows = ScanRows(t, true);
  ASSERT_EQ(rows.size(), expected.size());
  size_t i = 0;
  for (const auto& [id, version] : expected) {
    const TRow& row = rows[i++];
    ASSERT_EQ(row.Id, id);
    EXPECT_EQ(row.Name, "w" + std::to_string(id / 1000000) + "v" + std::to_string(version));
    EXPECT_EQ(row.Value, id);
  }
  EXPECT_EQ(CheckTable(t), std::vector<std::string>{});
}

TEST_F(UpdateProcessTest, AnotherProcessSeesATransactionOnlyAfterCommit) {
  CreateWithRows(3);
  TDataFile mine;
  mine.SetFileName(Path());
  mine.Open();
  const std::vector<TRow> before = ScanRows(mine, true);
  ASSERT_EQ(before.size(), 3u);

  ChildProcess peer;
  peer.Start(kUpdatePeer);
  ASSERT_EQ(peer.Ask("open " + Path()), "ok");
  ASSERT_EQ(peer.Ask("txn"), "ok");
  mine.Refresh();
  EXPECT_EQ(mine.RecordCount(), 3);
  EXPECT_EQ(ScanRows(mine, true), before);

  ASSERT_EQ(peer.Ask("commit"), "ok");
  mine.Refresh();
  const std::vector<TRow> after = ScanRows(mine, true);
  ASSERT_EQ(after.size(), 22u);  // 3 + 20 appended - 1 deleted
  EXPECT_EQ(after[0].Name, "in-txn");
  EXPECT_EQ(after[0].Memo, std::string(5000, 'y'));
  EXPECT_EQ(after[1].Id, 3);
  EXPECT_EQ(after.back().Id, 1019);
  EXPECT_EQ(after.back().Memo, std::string(1019, 'x'));
  EXPECT_EQ(CheckTable(mine), std::vector<std::string>{});
  peer.CloseInput();
  EXPECT_EQ(peer.Wait(), 0);
}

// A reader that brackets its operations in read scopes reads from its caches
// inside one, and sees another process's committed changes at the next.
TEST_F(UpdateProcessTest, AReadScopeSeesAnotherWritersChangesAtTheNextScope) {
  CreateWithRows(3);
  TDataFile mine;
  mine.SetFileName(Path());
  mine.Open();
  {
    TReadLockScope scope(mine, TReadLockScope::kAlways);
    EXPECT_TRUE(mine.ReadLockHeld());
    ASSERT_EQ(ScanRows(mine, true).size(), 3u);
  }
  EXPECT_FALSE(mine.ReadLockHeld());

  ChildProcess peer;
  peer.Start(kUpdatePeer);
  ASSERT_EQ(peer.Ask("open " + Path()), "ok");
  ASSERT_EQ(peer.Ask("txn"), "ok");
  ASSERT_EQ(peer.Ask("commit"), "ok");
  {
    TReadLockScope scope(mine, TReadLockScope::kAlways);
    EXPECT_TRUE(scope.Changed());
    EXPECT_EQ(mine.RecordCount(), 22);
    EXPECT_EQ(ScanRows(mine, true).back().Id, 1019);
  }
  {
    TReadLockScope scope(mine, TReadLockScope::kAlways);
    EXPECT_FALSE(scope.Changed());
  }
  peer.CloseInput();
  EXPECT_EQ(peer.Wait(), 0);
}

TEST_F(UpdateProcessTest, AWriterKilledInsideATransactionLeavesTheTableAsBefore) {
  CreateWithRows(5);
  const auto before = Files();
  ChildProcess peer;
  peer.Start(kUpdatePeer);
  ASSERT_EQ(peer.Ask("open " + Path()), "ok");
  ASSERT_EQ(peer.Ask("txn"), "ok");
  ASSERT_EQ(::kill(peer.Pid(), SIGKILL), 0);
  EXPECT_EQ(peer.Wait(), 128 + SIGKILL);
  EXPECT_EQ(Files(), before);

  // Its locks went with it: the table takes changes again at once.
  TDataFile t;
  t.SetFileName(Path());
  t.Open();
  t.WriteByteLock().MaxTries = 3;
  std::vector<uint8_t> buffer(size_t(t.RecordSize()));
  t.InitRecord(buffer.data());
  FillRow(t, buffer.data(), TRow{77, "after", 77, "m", ""}, true);
  t.AppendRecord(buffer.data());
  FreeIfOpen(t, buffer.data(), kFMemo);
  FreeIfOpen(t, buffer.data(), kFPic);
  EXPECT_EQ(ScanRows(t, false).size(), 6u);
  EXPECT_EQ(CheckTable(t), std::vector<std::string>{});
}

}  // namespace
}  // namespace update_test
