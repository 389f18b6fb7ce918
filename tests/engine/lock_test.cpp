// Two handles on one table file exclude each other as the lock table says,
// inside one process and across two real processes.

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tabula/engine_error.h"
#include "tabula/file_handler.h"
#include "tabula/file_session.h"
#include "engine/lock_table.h"
#include "engine/table_lock_state.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

using namespace tabula;
using testing_support::ChildProcess;
using testing_support::TempDir;

namespace {

class LockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitializeEngine();
    path_ = dir_.File("base2.IDX");
    std::ofstream(path_) << "index file contents";
  }
  void TearDown() override { ShutdownEngine(); }

  std::unique_ptr<TFileHandler> Open(bool readOnly = false, bool exclusive = false) {
    auto file = std::make_unique<TFileHandler>();
    file->SetFileName(path_);
    file->SetReadOnly(readOnly);
    file->SetExclusive(exclusive);
    file->OpenFile();
    return file;
  }

  TempDir dir_;
  std::string path_;
};

// A lock object that gives up quickly, for the failing cases.
template <class T>
T Quick(int32_t tries = 3) {
  T lock;
  lock.MaxTries = tries;
  lock.WaitMs = 1;
  return lock;
}

TEST_F(LockTest, ReadersCoexistAndTheWriterRegionExcludesThem) {
  // Each row: access of the first and the second handle.
  struct Case {
    bool firstReadOnly;
    bool secondReadOnly;
  };
  for (Case c : {Case{false, false}, Case{true, false}, Case{false, true}, Case{true, true}}) {
    SCOPED_TRACE(testing::Message() << "readOnly " << c.firstReadOnly << "/" << c.secondReadOnly);
    auto a = Open(c.firstReadOnly);
    auto b = Open(c.secondReadOnly);

    // Reader bytes on distinct r coexist; the random ones too.
    ASSERT_TRUE(a->LockRange(SharedLockByte(1), 1, true));
    ASSERT_TRUE(b->LockRange(SharedLockByte(2), 1, true));
    EXPECT_TRUE(a->LockRange(SharedLockByte(1), 1, false));
    EXPECT_TRUE(b->LockRange(SharedLockByte(2), 1, false));
    auto sharedA = Quick<TSharedTableLock>();
    auto sharedB = Quick<TSharedTableLock>();
    ASSERT_TRUE(sharedA.Lock(*a));
    ASSERT_TRUE(sharedB.Lock(*b));

    // A reader excludes the writer's region, at every byte a reader may pick.
    if (!c.secondReadOnly) {
      auto writer = Quick<TExclusiveTableLock>(4);
      EXPECT_FALSE(writer.Lock(*b));
      EXPECT_EQ(writer.LastTries(), 4);
      EXPECT_FALSE(writer.Held());
      EXPECT_TRUE(sharedB.Unlock(*b));
      EXPECT_FALSE(writer.Lock(*b));  // a's reader byte still blocks it
      EXPECT_TRUE(sharedA.Unlock(*a));
      EXPECT_TRUE(writer.Lock(*b));
      EXPECT_EQ(writer.LastTries(), 1);
      // ... and the writer's region excludes every reader byte.
      for (int32_t r : {kSharedLockMinR, 2, 32767, kSharedLockMaxR}) {
        EXPECT_FALSE(a->LockRange(SharedLockByte(r), 1, true)) << r;
      }
      auto reader = Quick<TSharedTableLock>(5);
      EXPECT_FALSE(reader.Lock(*a));
      EXPECT_EQ(reader.LastTries(), 5);
      EXPECT_TRUE(writer.Unlock(*b));
      EXPECT_TRUE(reader.Lock(*a));
      EXPECT_TRUE(reader.Unlock(*a));
    } else {
      EXPECT_TRUE(sharedA.Unlock(*a));
      EXPECT_TRUE(sharedB.Unlock(*b));
    }
  }
}

TEST_F(LockTest, OneHandleCannotTakeAnOverlappingRangeTwiceOrUnlockWhatItDoesNotHold) {
  auto a = Open();
  ASSERT_TRUE(a->LockRange(kExclusiveRegionStart, kExclusiveRegionLength, true));
  EXPECT_FALSE(a->LockRange(SharedLockByte(7), 1, true));
  EXPECT_FALSE(a->LockRange(kExclusiveRegionStart, kExclusiveRegionLength, true));
  EXPECT_FALSE(a->LockRange(kExclusiveRegionStart, 1, false));  // not the range as locked
  EXPECT_FALSE(a->LockRange(kDataWriteByte, 1, false));         // never locked
  EXPECT_TRUE(a->LockRange(kExclusiveRegionStart, kExclusiveRegionLength, false));
  EXPECT_FALSE(a->LockRange(kExclusiveRegionStart, kExclusiveRegionLength, false));
  // Bad ranges are refused, not passed to the system (a zero length would lock to the end).
  EXPECT_FALSE(a->LockRange(-1, 1, true));
  EXPECT_FALSE(a->LockRange(100, 0, true));
}

TEST_F(LockTest, ExclusiveHandlesSucceedAtOnceEvenOverlapping) {
  auto a = Open(false, true);
  EXPECT_TRUE(a->LockRange(kExclusiveRegionStart, kExclusiveRegionLength, true));
  EXPECT_TRUE(a->LockRange(SharedLockByte(3), 1, true));
  EXPECT_TRUE(a->LockRange(SharedLockByte(3), 1, false));
  TRecordLocks records;
  records.Lock(*a, 5, 0, 1);
  EXPECT_TRUE(records.IsHeld(5));
}

TEST_F(LockTest, AnExclusiveOpenRefusesEveryOtherOpen) {
  struct Case {
    bool firstExclusive;
    bool secondExclusive;
    bool secondOpens;
  };
  for (Case c : {Case{true, false, false}, Case{true, true, false}, Case{false, true, false},
                 Case{false, false, true}}) {
    SCOPED_TRACE(testing::Message() << c.firstExclusive << "/" << c.secondExclusive);
    auto a = Open(false, c.firstExclusive);
    TFileHandler b;
    b.SetFileName(path_);
    b.SetExclusive(c.secondExclusive);
    if (c.secondOpens) {
      b.OpenFile();
      EXPECT_TRUE(b.IsOpen());
    } else {
      try {
        b.OpenFile();
        FAIL() << "second open succeeded";
      } catch (const ETabulaEngineError& e) {
        EXPECT_EQ(e.Code(), kErrAccessDenied);
        EXPECT_EQ(e.Message, "Tabula Engine Error # 11013 Access denied to data file " + path_);
      }
      EXPECT_FALSE(b.IsOpen());
      EXPECT_EQ(b.Handle(), 0);
    }
  }
}

TEST_F(LockTest, ClosingAnotherHandleOfTheFileKeepsTheLocks) {
  auto a = Open();
  auto b = Open();
  ASSERT_TRUE(a->LockRange(kDataWriteByte, 1, true));
  {
    auto c = Open();
    c->CloseFile();
  }
  EXPECT_FALSE(b->LockRange(kDataWriteByte, 1, true));
  a->CloseFile();  // closing the holder frees its locks
  EXPECT_TRUE(b->LockRange(kDataWriteByte, 1, true));
}

TEST_F(LockTest, TheWriteByteAndTheHeldFlags) {
  auto a = Open();
  auto b = Open();
  TDataWriteLock mine;
  auto theirs = Quick<TDataWriteLock>(2);
  EXPECT_TRUE(mine.Unlock(*a));  // releasing an unheld lock does nothing
  ASSERT_TRUE(mine.Lock(*a));
  EXPECT_TRUE(mine.Lock(*a));  // held: nothing is tried
  EXPECT_EQ(mine.LastTries(), 0);
  EXPECT_FALSE(theirs.Lock(*b));
  EXPECT_EQ(theirs.LastTries(), 2);
  EXPECT_TRUE(mine.Unlock(*a));
  EXPECT_FALSE(mine.Held());
  EXPECT_TRUE(theirs.Lock(*b));
}

TEST_F(LockTest, ARecordLockHeldElsewhereFailsAfterSixteenTries) {
  auto a = Open();
  auto b = Open();
  TRecordLocks mine;
  TRecordLocks theirs;
  mine.Lock(*a, 42);
  EXPECT_EQ(mine.LastTries(), 1);
  mine.Lock(*a, 42);  // held already: not locked again
  EXPECT_EQ(mine.LastTries(), 0);
  theirs.Lock(*b, 41);  // the neighbouring record is free
  try {
    theirs.Lock(*b, 42, 15, 100);
    FAIL() << "record lock succeeded";
  } catch (const ETabulaEngineError& e) {
    EXPECT_EQ(e.Code(), kErrRecordInUse);
    EXPECT_EQ(e.Errors.front()->ErrorMessage, "Record in data file " + path_ + " is in use by another user");
  }
  EXPECT_EQ(theirs.LastTries(), 16);
  EXPECT_FALSE(theirs.IsHeld(42));
  mine.Unlock(*a, 42);
  mine.Unlock(*a, 42);  // not held: nothing
  theirs.Lock(*b, 42, 15, 100);
  EXPECT_EQ(theirs.LastTries(), 1);
  theirs.UnlockAll(*b);
  EXPECT_TRUE(theirs.HeldRecords().empty());
  // The whole-table range covers record bytes, so it cannot be had while a record is locked elsewhere.
  mine.Lock(*a, 100000001);
  EXPECT_FALSE(LockTableRecordRange(*b));
  mine.UnlockAll(*a);
  EXPECT_TRUE(LockTableRecordRange(*b));
  EXPECT_FALSE(a->LockRange(RecordLockByte(1), 1, true));
  EXPECT_TRUE(UnlockTableRecordRange(*b));
}

// ---- across processes ------------------------------------------------------

class PeerLockTest : public LockTest {
 protected:
  void SetUp() override {
    LockTest::SetUp();
    peer_.Start(TABULA_LOCK_PEER);
  }
  void TearDown() override {
    peer_.WriteLine("quit");
    EXPECT_EQ(peer_.Wait(), 0);
    LockTest::TearDown();
  }
  ChildProcess peer_;
};

TEST_F(PeerLockTest, ReaderAndWriterBytesAcrossProcesses) {
  ASSERT_EQ(peer_.Ask("open " + path_ + " 0 1"), "ok");  // the peer reads only
  auto a = Open();
  // Reader bytes coexist.
  ASSERT_EQ(peer_.Ask("lock " + std::to_string(SharedLockByte(10)) + " 1"), "ok");
  EXPECT_TRUE(a->LockRange(SharedLockByte(11), 1, true));
  EXPECT_TRUE(a->LockRange(SharedLockByte(11), 1, false));
  // The peer's reader byte excludes our writer region.
  auto writer = Quick<TExclusiveTableLock>(3);
  EXPECT_FALSE(writer.Lock(*a));
  EXPECT_EQ(writer.LastTries(), 3);
  ASSERT_EQ(peer_.Ask("unlock " + std::to_string(SharedLockByte(10)) + " 1"), "ok");
  ASSERT_TRUE(writer.Lock(*a));
  // Our writer region excludes the peer's reader, whatever r it picks.
  ASSERT_EQ(peer_.Ask("tries 6"), "ok");
  EXPECT_EQ(peer_.Ask("shared"), "fail 6");
  EXPECT_TRUE(writer.Unlock(*a));
  EXPECT_EQ(peer_.Ask("shared"), "ok 1");
  EXPECT_EQ(peer_.Ask("unshared"), "ok");
}

TEST_F(PeerLockTest, ExclusiveOpensAcrossProcesses) {
  {
    auto a = Open(false, true);
    EXPECT_EQ(peer_.Ask("open " + path_ + " 0 0"), "err 11013");
    EXPECT_EQ(peer_.Ask("open " + path_ + " 1 1"), "err 11013");
  }
  auto a = Open();
  EXPECT_EQ(peer_.Ask("open " + path_ + " 1 0"), "err 11013");
  EXPECT_EQ(peer_.Ask("open " + path_ + " 0 0"), "ok");
  EXPECT_EQ(peer_.Ask("close"), "ok");
  a->CloseFile();
  EXPECT_EQ(peer_.Ask("open " + path_ + " 1 0"), "ok");
  TFileHandler b;
  b.SetFileName(path_);
  EXPECT_THROW(b.OpenFile(), ETabulaEngineError);
  EXPECT_FALSE(b.IsOpen());
}

TEST_F(PeerLockTest, ARecordLockHeldByAnotherProgramFailsAfterSixteenTries) {
  ASSERT_EQ(peer_.Ask("open " + path_ + " 0 0"), "ok");
  ASSERT_EQ(peer_.Ask("record 7 15 100"), "ok 1");
  ASSERT_EQ(peer_.Ask("writebyte"), "ok 1");
  auto a = Open();
  TRecordLocks records;
  try {
    records.Lock(*a, 7, 15, 100);
    FAIL() << "record lock succeeded";
  } catch (const ETabulaEngineError& e) {
    EXPECT_EQ(e.Code(), kErrRecordInUse);
  }
  EXPECT_EQ(records.LastTries(), 16);
  auto writeByte = Quick<TDataWriteLock>(2);
  EXPECT_FALSE(writeByte.Lock(*a));
  // And the other way round.
  records.Lock(*a, 8);
  EXPECT_EQ(peer_.Ask("record 8 2 1"), "err 10258 3");
  // The peer's locks go with its handle.
  ASSERT_EQ(peer_.Ask("close"), "ok");
  records.Lock(*a, 7, 0, 1);
  EXPECT_TRUE(writeByte.Lock(*a));
}

}  // namespace

// A table handle's lock state refuses the moves that would leave it holding
// locks it does not know about, and allows the ones the handle makes.
TEST(TableLockStateTest, RefusesIllegalMoves) {
  using TMove = void (TTableLockState::*)();
  struct TCase {
    const char* name;
    std::vector<TMove> setUp;
    TMove move;
    bool legal;
  };
  using S = TTableLockState;
  const TCase cases[] = {
      {"read twice", {&S::TakeRead}, &S::TakeRead, false},
      {"read under a hold", {&S::BeginHold}, &S::TakeRead, false},
      {"read under the table lock", {&S::LockTable}, &S::TakeRead, false},
      {"write over read", {&S::TakeRead}, &S::TakeWrite, false},
      {"write under the table lock", {&S::LockTable}, &S::TakeWrite, true},
      {"drop read not held", {}, &S::DropRead, false},
      {"drop write not held", {&S::TakeRead}, &S::DropWrite, false},
      {"hold twice", {&S::BeginHold}, &S::BeginHold, false},
      {"hold over read", {&S::TakeRead}, &S::BeginHold, true},
      {"end hold not begun", {}, &S::EndHold, false},
      {"table over read", {&S::TakeRead}, &S::LockTable, false},
      {"table twice", {&S::LockTable}, &S::LockTable, false},
      {"unlock table not locked", {}, &S::UnlockTable, false},
      {"transaction twice", {&S::StartTransaction}, &S::StartTransaction, false},
  };
  for (const TCase& c : cases) {
    S state;
    for (TMove m : c.setUp) (state.*m)();
    if (c.legal)
      EXPECT_NO_THROW((state.*c.move)()) << c.name;
    else
      EXPECT_THROW((state.*c.move)(), std::logic_error) << c.name;
  }
}

TEST(TableLockStateTest, WriteByteStaysOwnedWhileAnyHolderRemains) {
  TTableLockState state;
  state.LockTable();
  state.BeginHold();
  state.TakeWrite();
  EXPECT_TRUE(state.CoversReads());
  state.DropWrite();
  EXPECT_TRUE(state.OwnsWriteByte());
  state.EndHold();
  EXPECT_TRUE(state.OwnsWriteByte());
  state.UnlockTable();
  EXPECT_FALSE(state.OwnsWriteByte());
  EXPECT_FALSE(state.CoversReads());
  state.NoteChange();
  EXPECT_FALSE(state.ModifiedInTransaction()) << "a change outside a transaction marks none";
  state.StartTransaction();
  state.NoteChange();
  EXPECT_TRUE(state.ModifiedInTransaction());
  state.ForgetChanges();
  EXPECT_TRUE(state.InTransaction());
  EXPECT_FALSE(state.ModifiedInTransaction());
}
