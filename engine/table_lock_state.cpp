#include "engine/table_lock_state.h"

#include <stdexcept>
#include <string>

namespace tabula {

namespace {
void Require(bool legal, const char* move) {
  if (!legal) throw std::logic_error(std::string("illegal lock move: ") + move);
}
}  // namespace

void TTableLockState::TakeRead() {
  Require(!CoversReads(), "read lock over another lock");
  access_ = TAccess::kRead;
}

void TTableLockState::DropRead() {
  Require(access_ == TAccess::kRead, "read lock released but not held");
  access_ = TAccess::kNone;
}

void TTableLockState::TakeWrite() {
  Require(access_ == TAccess::kNone, "write lock over a read or write lock");
  access_ = TAccess::kWrite;
}

void TTableLockState::DropWrite() {
  Require(access_ == TAccess::kWrite, "write lock released but not held");
  access_ = TAccess::kNone;
}

void TTableLockState::BeginHold() {
  Require(!hold_, "write hold begun twice");
  hold_ = true;
}

void TTableLockState::EndHold() {
  Require(hold_, "write hold ended but not begun");
  hold_ = false;
}

void TTableLockState::LockTable() {
  Require(!table_, "table locked twice");
  Require(access_ != TAccess::kRead, "table locked over a read lock");
  table_ = true;
}

void TTableLockState::UnlockTable() {
  Require(table_, "table unlocked but not locked");
  table_ = false;
}

void TTableLockState::StartTransaction() {
  Require(transaction_ == TTransaction::kNone, "transaction started twice");
  transaction_ = TTransaction::kRunning;
}

void TTableLockState::NoteChange() {
  if (transaction_ != TTransaction::kNone) transaction_ = TTransaction::kChanged;
}

}  // namespace tabula
