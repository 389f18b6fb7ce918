#pragma once
// One record of an open table as its data file's cache holds it (TRecord),
// handed out pinned by TDataFile::GetRecord and given back with
// ReleaseRecord. Entries never move in memory, so a TRecord pointer stays
// valid while the entry is in the cache.

#include <cstdint>
#include <list>
#include <vector>

namespace tabula {

class TDataFile;
class TRecordCache;

// Directions of GetRecord's read-ahead.
enum : int { kReadForward = 1, kReadBackward = 2 };

inline constexpr uint16_t kMaxPins = 64;

// One cache entry: a record buffer and its bookkeeping.
class TRecord {
 public:
  TDataFile* Owner = nullptr;
  bool Modified = false;
  uint16_t PinCount = 0;
  bool ComputedValid = false;
  uint32_t RecordNo = 0;  // physical record number; 0 = unused entry
  std::vector<uint8_t> Buffer;
  bool Marked = false;  // batch mark while a block read is under way

  uint8_t* Data() { return Buffer.data(); }
  const uint8_t* Data() const { return Buffer.data(); }

 private:
  friend class TRecordCache;
  std::list<TRecord>::iterator self_;
  bool listedPinned_ = false;  // on the cache's list of entries pinned since UnpinAll
  bool inModifiedTail_ = false;  // in the run of modified entries at the back
};

}  // namespace tabula
