#pragma once
// TTableLockState: which of its locks a table handle holds and whether a
// transaction runs, as one value with its legal moves. The handle asks it
// before it touches a lock in the files and tells it after; a move the
// state does not allow (a second read lock, a write lock taken over a read
// lock, a change outside a transaction, ...) is a fault of the engine and
// raises std::logic_error instead of leaving the handle with locks it does
// not know it holds.
//
// The parts of the state:
// - access: the shared lock of the index (and blob) file held for reading,
//   or the exclusive one held for writing; never both;
// - write hold: the data file's write byte kept across a run of changes;
// - table lock: the write byte kept for this handle until UnlockTable;
// - transaction: none, running, or running with changes in the caches.
// The data file's write byte is owned while any of write access, the hold
// or the table lock needs it; OwnsWriteByte tells whether one still does.

#include <cstdint>

namespace tabula {

class TTableLockState {
 public:
  enum class TAccess : uint8_t { kNone, kRead, kWrite };
  enum class TTransaction : uint8_t { kNone, kRunning, kChanged };

  TAccess Access() const { return access_; }
  bool ReadHeld() const { return access_ == TAccess::kRead; }
  bool WriteHeld() const { return access_ == TAccess::kWrite; }
  bool WriteHold() const { return hold_; }
  bool TableLocked() const { return table_; }
  bool InTransaction() const { return transaction_ != TTransaction::kNone; }
  bool ModifiedInTransaction() const { return transaction_ == TTransaction::kChanged; }

  // Some lock keeps the files as this handle last saw them, so a read
  // needs no read lock of its own.
  bool CoversReads() const { return access_ != TAccess::kNone || hold_ || table_; }
  // The hold or the table lock keeps other writers out: a write lock taken
  // under them needs no write byte and no change check of its own.
  bool WritersKeptOut() const { return hold_ || table_; }
  // The write byte is needed by something besides the move being made.
  bool OwnsWriteByte() const { return access_ == TAccess::kWrite || hold_ || table_; }

  // The read lock: only when nothing else covers reads.
  void TakeRead();
  void DropRead();
  // The write lock: only from no access (a reader gives its lock up first).
  void TakeWrite();
  void DropWrite();
  void BeginHold();
  void EndHold();
  void LockTable();
  void UnlockTable();
  // Transactions: Start while none runs; NoteChange marks a running one
  // changed (nothing outside one); End whatever the state.
  void StartTransaction();
  void NoteChange();
  void EndTransaction() { transaction_ = TTransaction::kNone; }
  // The running transaction's changes were dropped from the caches.
  void ForgetChanges() {
    if (transaction_ == TTransaction::kChanged) transaction_ = TTransaction::kRunning;
  }
  // Forgets every lock (the handle closed).
  void Reset() { *this = TTableLockState{}; }

 private:
  TAccess access_ = TAccess::kNone;
  bool hold_ = false;
  bool table_ = false;
  TTransaction transaction_ = TTransaction::kNone;
};

}  // namespace tabula
