#include "engine/lock_table.h"

#include <algorithm>
#include <chrono>
#include <random>
#include <thread>
#include <unistd.h>

#include "tabula/engine_error.h"
#include "tabula/file_handler.h"

namespace tabula {

namespace {

// The reader byte's r: a random number in 1..65534, from a generator seeded
// per thread so that two programs starting together pick different bytes.
int32_t RandomR() {
  thread_local std::minstd_rand generator([] {
    std::random_device device;
    auto seed = static_cast<uint64_t>(device()) ^ (static_cast<uint64_t>(getpid()) << 16) ^
                static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return static_cast<std::minstd_rand::result_type>(seed % 2147483646u + 1u);
  }());
  std::uniform_int_distribution<int32_t> pick(kSharedLockMinR, kSharedLockMaxR);
  return pick(generator);
}

}  // namespace

void LockWait(int32_t ms) {
  if (ms <= 0) return;
  // The wait ends when more than ms milliseconds have passed; it sleeps
  // instead of spinning so that it leaves the processor to the lock holder.
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < until) std::this_thread::sleep_until(until);
}

bool TDataWriteLock::Lock(TFileHandler& file) {
  if (held_) {
    lastTries_ = 0;
    return true;
  }
  return Retry([&] { return file.LockRange(kDataWriteByte, 1, true); });
}

bool TDataWriteLock::Unlock(TFileHandler& file) {
  if (!held_) return true;
  held_ = false;
  return file.LockRange(kDataWriteByte, 1, false);
}

bool TExclusiveTableLock::Lock(TFileHandler& file) {
  if (held_) {
    lastTries_ = 0;
    return true;
  }
  return Retry([&] { return file.LockRange(kExclusiveRegionStart, kExclusiveRegionLength, true); });
}

bool TExclusiveTableLock::Unlock(TFileHandler& file) {
  if (!held_) return true;
  held_ = false;
  return file.LockRange(kExclusiveRegionStart, kExclusiveRegionLength, false);
}

bool TSharedTableLock::Lock(TFileHandler& file) {
  if (held_) {
    lastTries_ = 0;
    return true;
  }
  return Retry([&] {
    r_ = RandomR();
    return file.LockRange(SharedLockByte(r_), 1, true);
  });
}

bool TSharedTableLock::Unlock(TFileHandler& file) {
  if (!held_) return true;
  held_ = false;
  return file.LockRange(SharedLockByte(r_), 1, false);
}

bool TRecordLocks::IsHeld(int32_t recordNo) const {
  return heldSet_.count(recordNo) != 0;
}

void TRecordLocks::Lock(TFileHandler& file, int32_t recordNo, uint8_t retryCount, uint16_t waitTime) {
  lastTries_ = 0;
  if (IsHeld(recordNo)) return;
  // Record numbers start at 1; anything else would name another lock's byte.
  if (recordNo < 1) RaiseEngineError(kErrRecordInUse, file.FileName());
  int32_t tries = int32_t{retryCount} + 1;
  for (int32_t i = 0; i < tries; ++i) {
    if (i > 0) LockWait(waitTime);
    ++lastTries_;
    if (file.LockRange(RecordLockByte(recordNo), 1, true)) {
      held_.push_back(recordNo);
      heldSet_.insert(recordNo);
      return;
    }
  }
  RaiseEngineError(kErrRecordInUse, file.FileName());
}

void TRecordLocks::Unlock(TFileHandler& file, int32_t recordNo) {
  if (heldSet_.erase(recordNo) == 0) return;
  // The record unlocked is most often the newest one.
  auto it = std::find(held_.rbegin(), held_.rend(), recordNo);
  held_.erase(std::next(it).base());
  if (!file.LockRange(RecordLockByte(recordNo), 1, false)) RaiseEngineError(kErrUnlock, file.FileName());
}

void TRecordLocks::UnlockAll(TFileHandler& file) {
  bool ok = true;
  for (int32_t recordNo : held_) {
    if (!file.LockRange(RecordLockByte(recordNo), 1, false)) ok = false;
  }
  held_.clear();
  heldSet_.clear();
  if (!ok) RaiseEngineError(kErrUnlock, file.FileName());
}

bool LockTableRecordRange(TFileHandler& file) {
  return file.LockRange(kTableRecordRangeStart, kTableRecordRangeLength, true);
}

bool UnlockTableRecordRange(TFileHandler& file) {
  return file.LockRange(kTableRecordRangeStart, kTableRecordRangeLength, false);
}

}  // namespace tabula
