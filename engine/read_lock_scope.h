#pragma once
// TReadLockScope: the table's read lock held for one user-level operation
// (a grid page, a nearest search and the rows after it, a read-ahead
// block). Taking it checks once whether another program changed the table;
// inside it record reads and index page reads neither lock again nor
// re-read the headers. At its end it releases the read lock when it took
// it, so a writer in another process is seen at the next operation.
//
// kWhenStrict is what every cursor operation of the table takes on its own:
// the lock only with strict change detection (otherwise page misses and
// record reads take it themselves, once for the operation). kAlways is for
// callers that bracket several operations.

#include "tabula/data_file.h"

namespace tabula {

class TReadLockScope {
 public:
  enum TMode { kWhenStrict, kAlways };

  explicit TReadLockScope(TDataFile& file, TMode mode = kWhenStrict) : file_(file), hadLock_(file.ReadLockHeld()) {
    if (!hadLock_ && (mode == kAlways || file_.StrictChangeDetection())) changed_ = file_.TakeReadLock();
  }
  ~TReadLockScope() {
    try {
      Release();
    } catch (...) {
    }
  }
  TReadLockScope(const TReadLockScope&) = delete;
  TReadLockScope& operator=(const TReadLockScope&) = delete;

  // Taking the lock found the table changed by another program (the caches
  // were dropped and the cursor put back by its key).
  bool Changed() const { return changed_; }

  void Release() {
    if (!hadLock_ && file_.ReadLockHeld()) file_.ReleaseReadLock();
    hadLock_ = true;
  }

 private:
  TDataFile& file_;
  bool hadLock_;
  bool changed_ = false;
};

}  // namespace tabula
