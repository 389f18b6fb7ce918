// Record updates in one process: the free-slot chain and its reuse order,
// physical order, record IDs, the table limit, validity checks, key
// violations, blob block counts, transactions and working descriptors.

#include <fcntl.h>
#include <unistd.h>

#include "tests/engine/update_test_util.h"
#include "tests/support/child_process.h"

namespace update_test {
namespace {

using data_file_test::EngineCode;
using data_file_test::ReadAll;

class UpdateTest : public data_file_test::EngineTest {
 protected:
  std::string Path() const { return dir_.File("t.DAT"); }

  // Appends rows 1..n (Id i, Name "N<i>", Value 100 + i).
  void AppendRows(TDataFile& t, int n, bool blobs = false) {
    std::vector<uint8_t> buffer(size_t(t.RecordSize()));
    for (int i = 1; i <= n; ++i) {
      t.InitRecord(buffer.data());
      FillRow(t, buffer.data(), TRow{i, "N" + std::to_string(i), 100 + i, "", ""}, blobs);
      t.AppendRecord(buffer.data());
      if (blobs) {
        FreeIfOpen(t, buffer.data(), kFMemo);
        FreeIfOpen(t, buffer.data(), kFPic);
      }
    }
  }

  void DeleteId(TDataFile& t, int32_t id) {
    ASSERT_EQ(FindId(t, id), 0);
    ASSERT_EQ(t.ReadCurrent(nullptr, true), 0);
    t.DeleteRecord(true);
  }

  int32_t AppendOne(TDataFile& t, int32_t id) {
    std::vector<uint8_t> buffer(size_t(t.RecordSize()));
    t.InitRecord(buffer.data());
    FillRow(t, buffer.data(), TRow{id, "X", 1000 + id, "", ""}, false);
    t.AppendRecord(buffer.data());
    return int32_t(t.CurrentRecord()->RecordNo);
  }
};

TEST_F(UpdateTest, DeletedSlotsAreReusedLastFreedFirstUnlessThePrimaryIsPhysicalOrder) {
  struct Case {
    bool primary;
    std::vector<int32_t> expectSlots;
  };
  for (const Case& c : {Case{true, {7, 3, 11}}, Case{false, {11, 12, 13}}}) {
    SCOPED_TRACE(c.primary ? "primary index" : "physical order");
    CreateTestTable(Path(), c.primary, false);
    TDataFile t;
    t.SetFileName(Path());
    t.Open();
    if (!c.primary) t.SelectIndex("ByValue");
    AppendRows(t, 10);
    // Delete the records in slots 3 and 7 (Values 103 and 107).
    for (int32_t value : {103, 107}) {
      t.SelectIndex("ByValue");
      std::vector<uint8_t> probe(size_t(t.RecordSize()), 0);
      SetInt(t, probe.data(), kFValue, value);
      std::vector<uint8_t> key(kKeyBufferSize, 0);
      t.BuildKey(probe.data(), key.data());
      ASSERT_EQ(t.FindKey(key.data(), 1, 0, false), 0);
      ASSERT_EQ(t.ReadCurrent(nullptr, true), 0);
      t.DeleteRecord(true);
    }
    if (c.primary) t.SelectIndex("");
    EXPECT_EQ(t.RecordCount(), 8);
    std::vector<int32_t> slots;
    for (int32_t id : {21, 22, 23}) slots.push_back(AppendOne(t, id));
    EXPECT_EQ(slots, c.expectSlots);
    EXPECT_EQ(t.RecordCount(), 11);
    EXPECT_EQ(CheckTable(t), std::vector<std::string>{});
    t.Close();
  }
}

TEST_F(UpdateTest, RecordIdsRestartAfterTheLargestPassingOverIdsInUse) {
  struct Case {
    const char* what;
    int existing;  // records appended before LastRecordID is set to the largest value
    int deleteId;  // Id of a record deleted before (0: none)
    int32_t expectId;
  };
  const Case cases[] = {
      {"empty table restarts at 1", 0, 0, 1},
      {"IDs 1 and 2 in use", 2, 0, 3},
      {"a deleted record keeps its ID", 2, 2, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CreateTestTable(Path(), true, false);
    {
      TDataFile t;
      t.SetFileName(Path());
      t.Open();
      AppendRows(t, c.existing);
      if (c.deleteId != 0) DeleteId(t, c.deleteId);
      EXPECT_EQ(t.Header().LastRecordID, c.existing);
    }
    std::vector<uint8_t> bytes = ReadAll(Path());
    StoreI32(bytes.data() + kDhLastRecordID, INT32_MAX);
    data_file_test::WriteAll(Path(), bytes);
    TDataFile t;
    t.SetFileName(Path());
    t.Open();
    std::vector<uint8_t> buffer(size_t(t.RecordSize()));
    t.InitRecord(buffer.data());
    FillRow(t, buffer.data(), TRow{50, "W", 5000, "", ""}, false);
    t.AppendRecord(buffer.data());
    EXPECT_EQ(LoadI32(buffer.data() + kRecordIdOffset), c.expectId);
    EXPECT_EQ(LoadI32(t.CurrentRecord()->Data() + kRecordIdOffset), c.expectId);
    EXPECT_EQ(t.Header().LastRecordID, c.expectId);
    EXPECT_EQ(CheckTable(t), std::vector<std::string>{});
  }
}

TEST_F(UpdateTest, AppendAtTheRecordLimitFailsWithTableFullAndChangesNothing) {
  // A table of 99999998 (all-zero, sparse) slots: the append that creates
  // slot 99999999 works; the next one is refused.
  CreateTable(Path(), {data_file_test::Field("Id", kFldInt16)}, {[] {
                TIndexDef p;
                p.Primary = true;
                p.Fields = {"Id"};
                return p;
              }()});
  std::vector<uint8_t> header = ReadAll(Path());
  TDataHeader h = TDataHeader::Unpack(header.data());
  const int32_t slots = kMaxRecordNo - 2;
  h.NextRecordNo = slots + 1;
  h.Pack(header.data(), false);
  data_file_test::WriteAll(Path(), header);
  const off_t length = off_t(header.size()) + off_t(h.RecordSize) * slots;
  ASSERT_EQ(::truncate(Path().c_str(), length), 0);

  TDataFile t;
  t.SetFileName(Path());
  t.Open();
  std::vector<uint8_t> buffer(size_t(t.RecordSize()));
  t.InitRecord(buffer.data());
  uint8_t id[2] = {1, 0};
  t.SetField(TDescSet::kWorking, 1, id, false, buffer.data());
  t.AppendRecord(buffer.data());
  EXPECT_EQ(int32_t(t.CurrentRecord()->RecordNo), kMaxRecordNo - 1);
  EXPECT_EQ(t.NextRecordNo(), kMaxRecordNo);
  const auto idxBefore = ReadAll(dir_.File("t.IDX"));
  id[0] = 2;
  t.SetField(TDescSet::kWorking, 1, id, false, buffer.data());
  EXPECT_EQ(EngineCode([&] { t.AppendRecord(buffer.data()); }), kErrFileFull);
  EXPECT_EQ(t.NextRecordNo(), kMaxRecordNo);
  EXPECT_EQ(ReadAll(dir_.File("t.IDX")), idxBefore);
  EXPECT_FALSE(t.WriteLockHeld());
  EXPECT_TRUE(t.LockedRecords().empty());
}

TEST_F(UpdateTest, ValidityChecksRefuseTheRecordAndLeaveTheTableUnchanged) {
  TFieldDef id = data_file_test::Field("Id", kFldInt32);
  TFieldDef name = data_file_test::Field("Name", kFldString, 10);
  name.Required = true;
  name.MinValue = "B";
  TFieldDef amount = data_file_test::Field("Amount", kFldInt16);
  amount.MinValue = "-5";
  amount.MaxValue = "20";
  TIndexDef p;
  p.Primary = true;
  p.Fields = {"Id"};
  CreateTable(Path(), {id, name, amount}, {p});
  TDataFile t;
  t.SetFileName(Path());
  t.Open();
  struct Case {
    const char* what;
    const char* name;
    int16_t amount;
    bool amountNull;
    int expect;
  };
  const Case cases[] = {
      {"missing required", "", 1, false, kErrValueRequired},
      {"string below minimum", "Anna", 1, false, kErrBelowMinimum},
      {"number below minimum", "Boris", -6, false, kErrBelowMinimum},
      {"number above maximum", "Boris", 21, false, kErrAboveMaximum},
      {"NULL compares as zero", "Boris", 0, true, 0},
      {"limits themselves pass", "B", 20, false, 0},
      {"inside", "Vera", -5, false, 0},
  };
  int32_t nextId = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto datBefore = ReadAll(Path());
    const auto idxBefore = ReadAll(dir_.File("t.IDX"));
    std::vector<uint8_t> buffer(size_t(t.RecordSize()));
    t.InitRecord(buffer.data());
    SetInt(t, buffer.data(), 1, nextId);
    SetText(t, buffer.data(), 2, c.name);
    uint8_t bytes[2];
    StoreI16(bytes, c.amount);
    t.SetField(TDescSet::kWorking, 3, c.amountNull ? nullptr : bytes, false, buffer.data());
    EXPECT_EQ(EngineCode([&] { t.AppendRecord(buffer.data()); }), c.expect);
    if (c.expect != 0) {
      EXPECT_EQ(ReadAll(Path()), datBefore);
      EXPECT_EQ(ReadAll(dir_.File("t.IDX")), idxBefore);
    } else {
      ++nextId;
    }
    EXPECT_FALSE(t.WriteLockHeld());
  }
  EXPECT_EQ(t.RecordCount(), 3);
  // A modification is checked the same way.
  t.GotoFirst();
  std::vector<uint8_t> buffer(size_t(t.RecordSize()));
  ASSERT_EQ(t.ReadNext(buffer.data()), 0);
  SetText(t, buffer.data(), 2, "");
  EXPECT_EQ(EngineCode([&] { t.ModifyRecord(buffer.data(), true, true); }), kErrValueRequired);
}

TEST_F(UpdateTest, KeyViolationsLeaveEveryFileUnchanged) {
  CreateTestTable(Path(), true, true);
  TDataFile t;
  t.SetFileName(Path());
  t.Open();
  AppendRows(t, 5, true);
  struct Case {
    const char* what;
    int32_t id;
    int32_t value;
  };
  for (const Case& c : {Case{"primary", 3, 999}, Case{"unique secondary", 77, 104}}) {
    SCOPED_TRACE(c.what);
    const auto dat = ReadAll(Path());
    const auto idx = ReadAll(dir_.File("t.IDX"));
    const auto blb = ReadAll(dir_.File("t.BLB"));
    std::vector<uint8_t> buffer(size_t(t.RecordSize()));
    t.InitRecord(buffer.data());
    FillRow(t, buffer.data(), TRow{c.id, "dup", c.value, std::string(700, 'm'), "p"}, true);
    EXPECT_EQ(EngineCode([&] { t.AppendRecord(buffer.data()); }), kErrDuplicateKey);
    FreeIfOpen(t, buffer.data(), kFMemo);
    FreeIfOpen(t, buffer.data(), kFPic);
    EXPECT_EQ(ReadAll(Path()), dat);
    EXPECT_EQ(ReadAll(dir_.File("t.IDX")), idx);
    EXPECT_EQ(ReadAll(dir_.File("t.BLB")), blb);
    EXPECT_TRUE(t.LockedRecords().empty());
  }
  // Modifying record 2 to the Value of record 4 is refused too.
  ASSERT_EQ(FindId(t, 2), 0);
  std::vector<uint8_t> buffer(size_t(t.RecordSize()));
  ASSERT_EQ(t.ReadCurrent(buffer.data(), true), 0);
  SetInt(t, buffer.data(), kFValue, 104);
  EXPECT_EQ(EngineCode([&] { t.ModifyRecord(buffer.data(), true, true); }), kErrDuplicateKey);
  EXPECT_EQ(CheckTable(t), std::vector<std::string>{});
  EXPECT_EQ(ScanRows(t, false).size(), 5u);
}

TEST_F(UpdateTest, BlobsTakeOneBlockPer494BytesAndDeletingFreesThem) {
  CreateTestTable(Path(), true, true);
  TDataFile t;
  t.SetFileName(Path());
  t.Open();
  struct Case {
    size_t length;
    int32_t blocks;
    uint16_t lastUsed;
  };
  int32_t id = 1;
  for (const Case& c : {Case{494, 1, 494}, Case{495, 2, 1}, Case{988, 2, 494}}) {
    SCOPED_TRACE(c.length);
    const int32_t endBefore = t.BlobFile().EndOfBlocks();
    std::vector<uint8_t> buffer(size_t(t.RecordSize()));
    t.InitRecord(buffer.data());
    const std::string memo(c.length, char('a' + id));
    FillRow(t, buffer.data(), TRow{id, "b", id, memo, ""}, true);
    t.AppendRecord(buffer.data());
    FreeIfOpen(t, buffer.data(), kFMemo);
    FreeIfOpen(t, buffer.data(), kFPic);
    EXPECT_EQ(t.BlobFile().EndOfBlocks() - endBefore, c.blocks * 512);
    // The stored record holds the first block; the last block is partly used.
    const TFieldDesc d = t.GetFieldDesc(TDescSet::kFile, kFMemo);
    const int32_t first = LoadI32(t.CurrentRecord()->Data() + d.Offset + 1);
    EXPECT_EQ(first, endBefore);
    const auto file = ReadAll(dir_.File("t.BLB"));
    const uint8_t* last = file.data() + endBefore + (c.blocks - 1) * 512;
    EXPECT_EQ(LoadU16(last + 8), c.lastUsed);
    EXPECT_EQ(LoadI32(last + 4), 0);
    EXPECT_EQ(LoadI32(file.data() + endBefore + 14), int32_t(c.length));
    ++id;
  }
  EXPECT_EQ(CheckTable(t), std::vector<std::string>{});
  // Deleting the 988-byte record frees its two blocks; they are reused by
  // the next blob, last freed first, so the file does not grow.
  DeleteId(t, 3);
  const int32_t end = t.BlobFile().EndOfBlocks();
  EXPECT_NE(t.BlobFile().FirstFreeBlock(), 0);
  std::vector<uint8_t> buffer(size_t(t.RecordSize()));
  t.InitRecord(buffer.data());
  FillRow(t, buffer.data(), TRow{9, "c", 9, std::string(600, 'z'), ""}, true);
  t.AppendRecord(buffer.data());
  FreeIfOpen(t, buffer.data(), kFMemo);
  FreeIfOpen(t, buffer.data(), kFPic);
  EXPECT_EQ(t.BlobFile().EndOfBlocks(), end);
  EXPECT_EQ(t.BlobFile().FirstFreeBlock(), 0);
  EXPECT_EQ(CheckTable(t), std::vector<std::string>{});
}

TEST_F(UpdateTest, BlobFieldOperationsFollowTheirResultCodes) {
  CreateTestTable(Path(), true, true);
  TDataFile t;
  t.SetFileName(Path());
  t.Open();
  std::vector<uint8_t> buffer(size_t(t.RecordSize()));
  t.InitRecord(buffer.data());
  int32_t size = 0;
  bool open = false;
  EXPECT_EQ(t.OpenBlob(kFName, buffer.data(), kBlobModeRead), kErrInvalidBlobField);
  EXPECT_EQ(t.IsBlobOpen(kFValue, buffer.data(), open), kErrInvalidBlobField);
  EXPECT_EQ(t.GetBlobSize(kFMemo, buffer.data(), size), kErrBlobHandle);
  EXPECT_EQ(t.FreeBlob(kFMemo, buffer.data()), kErrBlobHandle);
  // An empty open blob reads as NULL; with bytes it has a value.
  ASSERT_EQ(t.OpenBlob(kFMemo, buffer.data(), kBlobModeWrite), 0);
  EXPECT_EQ(t.OpenBlob(kFMemo, buffer.data(), kBlobModeWrite), 0);  // open already: nothing
  EXPECT_EQ(t.IsBlobOpen(kFMemo, buffer.data(), open), 0);
  EXPECT_TRUE(open);
  EXPECT_TRUE(t.GetField(TDescSet::kWorking, kFMemo, buffer.data(), nullptr));
  ASSERT_EQ(t.WriteBlob(kFMemo, buffer.data(), 0, 3, "abc"), 0);
  EXPECT_FALSE(t.GetField(TDescSet::kWorking, kFMemo, buffer.data(), nullptr));
  char two[2];
  int32_t got = 0;
  EXPECT_EQ(t.ReadBlob(kFMemo, buffer.data(), 2, 2, two, got), kErrEndOfBlob);
  EXPECT_EQ(got, 1);
  // A negative value naming no open blob: 9998 on open, refused on append.
  std::vector<uint8_t> stale(buffer);
  uint8_t bogus[4];
  StoreI32(bogus, -12345);
  t.SetField(TDescSet::kWorking, kFPic, bogus, false, stale.data());
  EXPECT_EQ(t.OpenBlob(kFPic, stale.data(), kBlobModeRead), kErrBlobOffset);
  SetInt(t, stale.data(), kFId, 1);
  EXPECT_EQ(EngineCode([&] { t.AppendRecord(stale.data()); }), kErrBlobOffset);
  EXPECT_EQ(t.RecordCount(), 0);
  // Another record's first block: an error to read (with a message), and
  // deleting the record that points at it frees nothing of the owner's chain.
  SetInt(t, buffer.data(), kFId, 1);
  t.AppendRecord(buffer.data());
  ASSERT_EQ(t.FreeBlob(kFMemo, buffer.data()), 0);
  const TFieldDesc memo = t.GetFieldDesc(TDescSet::kWorking, kFMemo);
  std::vector<uint8_t> copy(buffer);  // carries record 1's memo reference
  SetInt(t, copy.data(), kFId, 2);
  SetInt(t, copy.data(), kFValue, 2);
  t.AppendRecord(copy.data());
  std::vector<std::string> messages;
  t.SetMessageCallback([&](const std::string& m) { messages.push_back(m); });
  ASSERT_EQ(FindId(t, 2), 0);
  std::vector<uint8_t> second(size_t(t.RecordSize()));
  ASSERT_EQ(t.ReadCurrent(second.data(), true), 0);
  EXPECT_EQ(LoadI32(second.data() + memo.Offset + 1), LoadI32(buffer.data() + memo.Offset + 1));
  ASSERT_EQ(t.OpenBlob(kFMemo, second.data(), kBlobModeRead), 0);
  int32_t foreignSize = -1;
  EXPECT_EQ(t.GetBlobSize(kFMemo, second.data(), foreignSize), kErrBlobBuffersCorrupt);
  ASSERT_EQ(t.FreeBlob(kFMemo, second.data()), 0);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("physical record # 2"), std::string::npos);
  t.DeleteRecord(true);
  ASSERT_EQ(FindId(t, 1), 0);
  std::vector<uint8_t> first(size_t(t.RecordSize()));
  ASSERT_EQ(t.ReadCurrent(first.data(), false), 0);
  EXPECT_EQ(ReadWholeBlob(t, first.data(), kFMemo), "abc");
  EXPECT_EQ(CheckTable(t), std::vector<std::string>{});
}

TEST_F(UpdateTest, ReadOnlyHandlesRefuseEveryChange) {
  CreateTestTable(Path(), true, false);
  {
    TDataFile t;
    t.SetFileName(Path());
    t.Open();
    AppendRows(t, 1);
  }
  TDataFile t;
  t.SetFileName(Path());
  t.SetReadOnly(true);
  t.Open();
  std::vector<uint8_t> buffer(size_t(t.RecordSize()));
  t.GotoFirst();
  ASSERT_EQ(t.ReadNext(buffer.data()), 0);
  EXPECT_EQ(EngineCode([&] { t.AppendRecord(buffer.data()); }), kErrAccessDenied);
  EXPECT_EQ(EngineCode([&] { t.ModifyRecord(buffer.data(), false, false); }), kErrAccessDenied);
  EXPECT_EQ(EngineCode([&] { t.DeleteRecord(false); }), kErrAccessDenied);
  EXPECT_EQ(EngineCode([&] { t.StartTransaction(); }), kErrAccessDenied);
}

TEST_F(UpdateTest, ChangesWithoutACurrentRecordAreRefusedAndChangeNothing) {
  struct Case {
    bool exclusive;
    int modifyCode;
    int deleteCode;  // a shared handle first fails to lock "the current record"
  };
  for (const Case& c : {Case{false, kErrRecordNotFound, kErrRecordInUse},
                        Case{true, kErrRecordNotFound, kErrRecordNotFound}}) {
    SCOPED_TRACE(c.exclusive ? "exclusive" : "shared");
    CreateTestTable(Path(), true, false);
    TDataFile t;
    t.SetFileName(Path());
    t.SetExclusive(c.exclusive);
    t.Open();
    AppendRows(t, 2);
    std::vector<uint8_t> buffer(size_t(t.RecordSize()));
    t.InitRecord(buffer.data());
    t.GotoFirst();  // before the first record: none is current
    EXPECT_EQ(EngineCode([&] { t.DeleteRecord(true); }), c.deleteCode);
    t.GotoFirst();
    EXPECT_EQ(EngineCode([&] { t.ModifyRecord(buffer.data(), false, false); }), c.modifyCode);
    EXPECT_EQ(t.RecordCount(), 2);
    EXPECT_EQ(CheckTable(t), std::vector<std::string>{});
    t.Close();
  }
}

TEST_F(UpdateTest, ModifyKeepsTheRecordIdAndMovesItsKeys) {
  CreateTestTable(Path(), true, false);
  TDataFile t;
  t.SetFileName(Path());
  t.Open();
  AppendRows(t, 4);
  t.SelectIndex("ByName");
  std::vector<uint8_t> buffer(size_t(t.RecordSize()));
  t.GotoFirst();
  ASSERT_EQ(t.ReadNext(buffer.data()), 0);  // "N1"
  const int32_t id = LoadI32(buffer.data() + kRecordIdOffset);
  ASSERT_EQ(t.ReadCurrent(buffer.data(), true), 0);
  SetText(t, buffer.data(), kFName, "Z");
  SetInt(t, buffer.data(), kFId, 40);
  StoreI32(buffer.data() + kRecordIdOffset, 999);  // ignored: IDs never change
  t.ModifyRecord(buffer.data(), true, true);
  EXPECT_TRUE(t.LockedRecords().empty());
  EXPECT_EQ(LoadI32(t.CurrentRecord()->Data() + kRecordIdOffset), id);
  // Repositioned on the record: it is the last in name order now.
  EXPECT_EQ(t.ReadNext(buffer.data()), kErrEndOfFile);
  std::vector<std::string> names;
  for (const TRow& row : ScanRows(t, false)) names.push_back(row.Name);
  EXPECT_EQ(names, (std::vector<std::string>{"N2", "N3", "N4", "Z"}));
  t.SelectIndex("");
  EXPECT_EQ(FindId(t, 1), kErrRecordNotFound);
  EXPECT_EQ(FindId(t, 40), 0);
  EXPECT_EQ(CheckTable(t), std::vector<std::string>{});
}

TEST_F(UpdateTest, RollbackAndCloseDiscardATransactionAndCommitKeepsIt) {
  enum class End { kRollback, kClose, kCommit };
  for (bool exclusive : {false, true}) {
    for (End end : {End::kRollback, End::kClose, End::kCommit}) {
      SCOPED_TRACE(std::string(exclusive ? "exclusive " : "shared ") + std::to_string(int(end)));
      CreateTestTable(Path(), true, true);
      {
        TDataFile t;
        t.SetFileName(Path());
        t.Open();
        AppendRows(t, 3, true);
      }
      const auto dat = ReadAll(Path());
      const auto idx = ReadAll(dir_.File("t.IDX"));
      const auto blb = ReadAll(dir_.File("t.BLB"));
      {
        TDataFile t;
        t.SetFileName(Path());
        t.SetExclusive(exclusive);
        t.Open();
        t.StartTransaction();
        std::vector<uint8_t> buffer(size_t(t.RecordSize()));
        for (int32_t id = 10; id < 40; ++id) {
          t.InitRecord(buffer.data());
          FillRow(t, buffer.data(), TRow{id, "T", id * 7, std::string(size_t(id * 31), 'q'), ""}, true);
          t.AppendRecord(buffer.data());
          FreeIfOpen(t, buffer.data(), kFMemo);
          FreeIfOpen(t, buffer.data(), kFPic);
        }
        DeleteId(t, 2);
        ASSERT_EQ(FindId(t, 3), 0);
        ASSERT_EQ(t.ReadCurrent(buffer.data(), true), 0);
        SetText(t, buffer.data(), kFName, "changed");
        t.ModifyRecord(buffer.data(), true, true);
        EXPECT_TRUE(t.ModifiedInTransaction());
        EXPECT_EQ(t.RecordCount(), 32);
        // Nothing of it reached the files yet (an exclusive handle wrote
        // its headers when the transaction's writes began).
        if (!exclusive) {
          EXPECT_EQ(ReadAll(Path()), dat);
          EXPECT_EQ(ReadAll(dir_.File("t.IDX")), idx);
          EXPECT_EQ(ReadAll(dir_.File("t.BLB")), blb);
        }
        if (end == End::kRollback) {
          t.Rollback();
          EXPECT_FALSE(t.InTransaction());
          EXPECT_EQ(t.RecordCount(), 3);
          EXPECT_EQ(ScanRows(t, true).size(), 3u);
          EXPECT_EQ(CheckTable(t), std::vector<std::string>{});
        } else if (end == End::kCommit) {
          t.Commit();
          EXPECT_FALSE(t.InTransaction());
          EXPECT_FALSE(t.TableLocked());
        }
        t.Close();
      }
      if (end == End::kCommit) {
        TDataFile t;
        t.SetFileName(Path());
        t.Open();
        const std::vector<TRow> rows = ScanRows(t, true);
        ASSERT_EQ(rows.size(), 32u);
        EXPECT_EQ(rows[1].Name, "changed");
        EXPECT_EQ(rows.back().Memo, std::string(39 * 31, 'q'));
        EXPECT_EQ(CheckTable(t), std::vector<std::string>{});
      } else if (!exclusive) {
        EXPECT_EQ(ReadAll(Path()), dat);
        EXPECT_EQ(ReadAll(dir_.File("t.IDX")), idx);
        EXPECT_EQ(ReadAll(dir_.File("t.BLB")), blb);
      } else {
        TDataFile t;
        t.SetFileName(Path());
        t.Open();
        const std::vector<TRow> rows = ScanRows(t, true);
        ASSERT_EQ(rows.size(), 3u);
        EXPECT_EQ(rows[1], (TRow{2, "N2", 102, "", ""}));
        EXPECT_EQ(rows[2].Name, "N3");
        EXPECT_EQ(CheckTable(t), std::vector<std::string>{});
      }
    }
  }
}

TEST_F(UpdateTest, WorkingDescriptorsFromDefinitionsMustMatchTheStoredLayout) {
  CreateTestTable(Path(), true, false);
  TDataFile t;
  t.SetFileName(Path());
  t.Open();
  AppendRows(t, 2);
  std::vector<TFieldDef> defs = {data_file_test::Field("Id", kFldInt32), data_file_test::Field("Name", kFldString, 20),
                                 data_file_test::Field("Value", kFldInt32)};
  TFieldDef total = data_file_test::Field("Total", kFldFloat);
  total.Computed = true;
  total.Expression = "Value * 2";
  defs.push_back(total);
  t.SetWorkingDescriptors(defs);
  EXPECT_EQ(t.FieldCount(), 4);
  EXPECT_EQ(t.RecordSize(), t.StoredRecordSize() + 9);
  EXPECT_EQ(t.GetFieldDesc(TDescSet::kWorking, 4).Offset, t.StoredRecordSize());
  const std::vector<TRow> rows = ScanRows(t, false);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].Value, 102);

  struct Case {
    const char* what;
    std::vector<TFieldDef> defs;
    int expect;
  };
  auto withName = [&](const std::string& name) {
    auto d = defs;
    d[1].Name = name;
    return d;
  };
  auto wrongType = defs;
  wrongType[2].FieldType = kFldInt16;
  auto twice = defs;
  twice[3].Name = "value";
  const Case cases[] = {
      {"name starts with a digit", withName("1x"), kErrFieldName},
      {"duplicate name", twice, kErrFieldName},
      {"stored layout differs", wrongType, kErrFieldDefinition},
      {"fewer stored fields", {defs[0], defs[1]}, kErrFieldDefinition},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(EngineCode([&] { t.SetWorkingDescriptors(c.defs); }), c.expect);
  }
}

}  // namespace
}  // namespace update_test
