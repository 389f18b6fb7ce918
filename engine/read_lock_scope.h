#pragma once
// Holds a data file's read lock for one cursor or filter operation when
// strict change detection asks for it, and releases whatever read lock the
// operation took (page misses and record reads take it themselves).

#include "engine/data_file.h"

namespace tabula {

class TReadLockScope {
 public:
  explicit TReadLockScope(TDataFile& file) : file_(file), hadLock_(file.ReadLockHeld()) {
    if (file_.StrictChangeDetection() && !hadLock_) file_.TakeReadLock();
  }
  ~TReadLockScope() {
    try {
      Release();
    } catch (...) {
    }
  }
  TReadLockScope(const TReadLockScope&) = delete;
  TReadLockScope& operator=(const TReadLockScope&) = delete;

  void Release() {
    if (!hadLock_ && file_.ReadLockHeld()) file_.ReleaseReadLock();
    hadLock_ = true;
  }

 private:
  TDataFile& file_;
  bool hadLock_;
};

}  // namespace tabula
