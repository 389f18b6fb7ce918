// Record updates that fail part way: an I/O error injected at every read,
// write and truncation an append, modify or delete makes, one run each. A
// failed update leaves the table as it was: the same rows (blobs included)
// through the handle that failed and through a fresh one, and the data,
// index and blob checkers find nothing. The one exception is a delete whose
// record has already left the data and index files when the blob file's
// write fails: it is finished instead, and the files are just as sound.

#include <filesystem>

#include "engine/os_file.h"
#include "framework/core/exceptions.h"
#include "tests/engine/update_test_util.h"

namespace update_test {
namespace {

namespace fs = std::filesystem;

}  // namespace

void PrintTo(const TRow& row, std::ostream* out) {
  *out << "{" << row.Id << ", " << row.Name << ", " << row.Value << ", memo " << row.Memo.size() << " bytes, pic "
       << row.Pic.size() << " bytes}";
}

namespace {

enum class TUpdate { kAppend, kModify, kDelete };

constexpr int32_t kDeletedId = 7;

class UpdateFailureTest : public data_file_test::EngineTest {
 protected:
  void TearDown() override { OsFailNever(); }

  fs::path BaseDir() const { return dir_.Path() / "base"; }
  fs::path WorkDir() const { return dir_.Path() / "work"; }

  // Rows 1..12 with blobs; 4 and 9 deleted, so that an append reuses a slot.
  void MakeBase() {
    fs::create_directories(BaseDir());
    const std::string path = (BaseDir() / "t.DAT").string();
    CreateTestTable(path);
    TDataFile t;
    t.SetFileName(path);
    t.Open();
    std::vector<uint8_t> buffer(size_t(t.RecordSize()));
    for (int i = 1; i <= 12; ++i) {
      t.InitRecord(buffer.data());
      FillRow(t, buffer.data(), TRow{i, "N" + std::to_string(i), 100 + i, std::string(size_t(40 * i), 'm'), "p"}, true);
      t.AppendRecord(buffer.data());
      FreeIfOpen(t, buffer.data(), kFMemo);
      FreeIfOpen(t, buffer.data(), kFPic);
    }
    for (int id : {4, 9}) {
      ASSERT_EQ(FindId(t, id), 0);
      ASSERT_EQ(t.ReadCurrent(nullptr, true), 0);
      t.DeleteRecord(true);
    }
    t.Close();
  }

  std::string FreshCopy() {
    fs::remove_all(WorkDir());
    fs::copy(BaseDir(), WorkDir());
    return (WorkDir() / "t.DAT").string();
  }

  // Prepares the update, arms the hook to fail after `okOperations` file
  // operations and runs it; true when it went through.
  static bool RunUpdate(TDataFile& t, TUpdate update, int64_t okOperations) {
    std::vector<uint8_t> buffer(size_t(t.RecordSize()));
    bool done = false;
    try {
      switch (update) {
        case TUpdate::kAppend:
          t.InitRecord(buffer.data());
          FillRow(t, buffer.data(), TRow{50, "NEW", 500, std::string(3000, 'n'), "q"}, true);
          OsFailAfter(okOperations);
          t.AppendRecord(buffer.data());
          break;
        case TUpdate::kModify:
          EXPECT_EQ(FindId(t, 5), 0);
          EXPECT_EQ(t.ReadCurrent(buffer.data(), true), 0);
          SetText(t, buffer.data(), kFName, "CHANGED");
          SetInt(t, buffer.data(), kFValue, 777);
          OsFailAfter(okOperations);
          t.ModifyRecord(buffer.data(), true, true);
          break;
        case TUpdate::kDelete:
          EXPECT_EQ(FindId(t, kDeletedId), 0);
          EXPECT_EQ(t.ReadCurrent(nullptr, true), 0);
          OsFailAfter(okOperations);
          t.DeleteRecord(true);
          break;
      }
      done = true;
    } catch (const fw::Exception&) {
    }
    OsFailNever();
    FreeIfOpen(t, buffer.data(), kFMemo);
    FreeIfOpen(t, buffer.data(), kFPic);
    return done;
  }
};

TEST_F(UpdateFailureTest, AFailedUpdateLeavesEveryFileAsItWas) {
  MakeBase();
  std::vector<TRow> before;
  {
    TDataFile t;
    t.SetFileName((BaseDir() / "t.DAT").string());
    t.Open();
    before = ScanRows(t, true);
    ASSERT_EQ(CheckTable(t), std::vector<std::string>{});
  }
  std::vector<TRow> deleted = before;
  std::erase_if(deleted, [](const TRow& row) { return row.Id == kDeletedId; });
  for (TUpdate update : {TUpdate::kAppend, TUpdate::kModify, TUpdate::kDelete}) {
    SCOPED_TRACE(update == TUpdate::kAppend ? "append" : update == TUpdate::kModify ? "modify" : "delete");
    // Rows as they must read after a failure: unchanged, or for a delete
    // finished after its record was written, without the record.
    auto expectRows = [&](TDataFile& table) {
      const std::vector<TRow> rows = ScanRows(table, true);
      if (update == TUpdate::kDelete && rows == deleted) return;
      EXPECT_EQ(rows, before);
    };
    int failedRuns = 0;
    bool succeeded = false;
    for (int64_t k = 0; k < 500 && !succeeded; ++k) {
      SCOPED_TRACE("operations before the failure: " + std::to_string(k));
      const std::string path = FreshCopy();
      TDataFile t;
      t.SetFileName(path);
      t.Open();
      succeeded = RunUpdate(t, update, k);
      if (succeeded) {
        EXPECT_NE(ScanRows(t, true), before);  // the hook let the whole update through
        break;
      }
      ++failedRuns;
      EXPECT_EQ(CheckTable(t), std::vector<std::string>{});
      expectRows(t);
      t.Close();
      TDataFile again;
      again.SetFileName(path);
      again.Open();
      EXPECT_EQ(CheckTable(again), std::vector<std::string>{});
      expectRows(again);
      if (HasFailure()) break;  // the first failing step says enough
    }
    EXPECT_TRUE(succeeded);
    EXPECT_GE(failedRuns, 3);
    RecordProperty(update == TUpdate::kAppend ? "FailedAppends" : update == TUpdate::kModify ? "FailedModifies"
                                                                                             : "FailedDeletes",
                   failedRuns);
  }
}

}  // namespace
}  // namespace update_test
