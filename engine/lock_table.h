#pragma once
// The lock bytes by which several programs share one table, and the retry
// loops that take them. Locks are byte-range locks far beyond any real data,
// so they never hide file contents. TFileHandler::LockRange never waits; the
// objects here retry it with fixed waits and remember whether they hold
// their lock, so that taking a held lock and releasing a free one do nothing.
//
// A data file holds one TDataWriteLock and one TRecordLocks; an index or blob
// file holds one TExclusiveTableLock and one TSharedTableLock.

#include <cstdint>
#include <unordered_set>
#include <vector>

#include "tabula/lock_defaults.h"

namespace tabula {

class TFileHandler;

// Data file (.DAT): the write byte, and one byte per record below it.
inline constexpr int32_t kDataWriteByte = 0x7FFFFFFF;           // 2147483647, length 1
inline constexpr int32_t kRecordLockBase = 0x7FFFFFFE;          // record n locks byte base - n
// The whole-table record range: covers the record bytes of records 1 to 100000001.
inline constexpr int32_t kTableRecordRangeStart = 2047483645;
inline constexpr int32_t kTableRecordRangeLength = 100000001;
// Index and blob files (.IDX, .BLB): a reader locks byte base - r, r in 1..65534;
// a writer locks the whole region, which covers every byte a reader may pick.
inline constexpr int32_t kSharedLockBase = 0x7FFFFFFF;
inline constexpr int32_t kSharedLockMinR = 1;
inline constexpr int32_t kSharedLockMaxR = 65534;
inline constexpr int32_t kExclusiveRegionStart = 0x7FFF0000;   // 2147418112
inline constexpr int32_t kExclusiveRegionLength = 0xFFFF;      // 65535

// Tries and waits of the table locks (write byte, exclusive, shared).
inline constexpr int32_t kTableLockTries = 8193;  // 8192 retries
inline constexpr int32_t kTableLockWaitMs = 3;

constexpr int32_t RecordLockByte(int32_t recordNo) { return kRecordLockBase - recordNo; }
constexpr int32_t SharedLockByte(int32_t r) { return kSharedLockBase - r; }

// Waits `ms` milliseconds (the retry loops' pause; it sleeps rather than spins).
void LockWait(int32_t ms);

// What the lock objects share: the held flag, the try limits (the table's
// values by default; tests may shorten them) and the number of tries the
// last Lock call made.
class TLockState {
 public:
  bool Held() const { return held_; }
  // Tries made by the last Lock call (0 when it found the lock held already).
  int32_t LastTries() const { return lastTries_; }
  // Forgets the lock without unlocking (the file was closed, which frees its locks).
  void Reset() { held_ = false; }

  int32_t MaxTries = kTableLockTries;
  int32_t WaitMs = kTableLockWaitMs;

 protected:
  // Calls tryOnce up to MaxTries times with WaitMs between tries; sets
  // held_ on success. lastTries_ counts the calls.
  template <class TryOnce>
  bool Retry(TryOnce&& tryOnce);

  bool held_ = false;
  int32_t lastTries_ = 0;
};

// The data-file write byte: up to 8193 tries, 3 ms apart; false on failure.
class TDataWriteLock : public TLockState {
 public:
  bool Lock(TFileHandler& file);
  // Releases the byte when held; returns whether the system released it
  // (true when there was nothing to release).
  bool Unlock(TFileHandler& file);
};

// The writer's lock of an index or blob file: the whole exclusive region.
class TExclusiveTableLock : public TLockState {
 public:
  bool Lock(TFileHandler& file);
  bool Unlock(TFileHandler& file);
};

// A reader's lock of an index or blob file: one random byte of the region,
// a new random r before each retry; the r that succeeded is remembered so
// that the same byte is released.
class TSharedTableLock : public TLockState {
 public:
  bool Lock(TFileHandler& file);
  bool Unlock(TFileHandler& file);
  int32_t R() const { return r_; }

 private:
  int32_t r_ = 0;
};

// The record locks a data file holds. Lock tries LockRetryCount + 1 times,
// LockWaitTime ms apart, and raises 10258 naming the file when all fail;
// a record held already is not locked again.
class TRecordLocks {
 public:
  void Lock(TFileHandler& file, int32_t recordNo, uint8_t retryCount = kDefaultLockRetryCount,
            uint16_t waitTime = kDefaultLockWaitTime);
  // Unlocks a held record (10242 when the system refuses); a record not held
  // does nothing.
  void Unlock(TFileHandler& file, int32_t recordNo);
  // Unlocks every held record; raises 10242 after trying them all if any was refused.
  void UnlockAll(TFileHandler& file);
  bool IsHeld(int32_t recordNo) const;
  const std::vector<int32_t>& HeldRecords() const { return held_; }
  // Forgets all records without unlocking (the file was closed).
  void Reset() {
    held_.clear();
    heldSet_.clear();
  }
  // Tries made by the last Lock call (0 when the record was held already).
  int32_t LastTries() const { return lastTries_; }

 private:
  std::vector<int32_t> held_;  // in the order taken
  std::unordered_set<int32_t> heldSet_;  // the same records, for membership tests
  int32_t lastTries_ = 0;
};

// The whole-table record range (released by UnlockTable; 10242 on failure is
// the caller's). Single tries: the caller decides about waiting.
bool LockTableRecordRange(TFileHandler& file);
bool UnlockTableRecordRange(TFileHandler& file);

template <class TryOnce>
bool TLockState::Retry(TryOnce&& tryOnce) {
  lastTries_ = 0;
  int32_t tries = MaxTries < 1 ? 1 : MaxTries;
  for (int32_t i = 0; i < tries; ++i) {
    if (i > 0) LockWait(WaitMs);
    ++lastTries_;
    if (tryOnce()) {
      held_ = true;
      return true;
    }
  }
  return false;
}

}  // namespace tabula
