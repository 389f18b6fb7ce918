#pragma once
// TRecordStore: the record slots of one data file as the table sees them:
// the record cache, GetRecord with read-ahead in the direction of travel,
// and writing modified records back, one write per run of consecutive
// slots. It reads and writes through its table's file handle and takes the
// table's read lock on a cache miss (unless strict change detection already
// holds it for the whole operation).

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/record_cache.h"

namespace tabula {

class TDataFile;

// Record limits of a data file.
inline constexpr int32_t kMaxRecordNo = 100000000;
inline constexpr int64_t kMaxDataBytes = 2000000000;
inline constexpr int32_t kReadAheadBytes = 32767;
inline constexpr size_t kCacheBytes = 131070;
inline constexpr size_t kMaxCacheEntries = 65535;
inline constexpr size_t kCacheGrowth = 1024;
// Bytes of slots a span read (a filter's pass over the table) reads at once.
inline constexpr int32_t kSpanBytes = 262144;

// Counters of the data file's own work, reset on open.
struct TDataFileStats {
  uint64_t RecordRequests = 0;  // GetRecord calls for a record number
  uint64_t CacheHits = 0;       // of those, answered from the cache
  uint64_t BlockReads = 0;      // block reads (one file read each)
  uint64_t RecordsRead = 0;     // record slots those reads brought in
  uint64_t Writes = 0;          // record runs written by FlushRecords
  uint64_t HeaderWrites = 0;
};

class TRecordStore {
 public:
  explicit TRecordStore(TDataFile& table) : table_(table), cache_(&table) {}

  // Empties the cache and sizes it for buffers of `bufferSize` bytes (about
  // 128 KB of buffers); that size is the one TrimToOpening goes back to.
  void Resize(size_t bufferSize);
  void Clear() { cache_.Clear(); }
  // Unpins and forgets every entry.
  void DropAll() { cache_.DropAll(); }
  // Back to the capacity the table opened with, freeing what is unpinned.
  void TrimToOpening();

  // The pinned record n (n = NextRecordNo appends a new slot); record 0
  // gives none with success. False (and none) when taking the read lock
  // found the table changed: the caller repositions and asks again.
  bool Get(uint32_t recordNo, bool readAhead, int direction, bool indexRun, TRecord*& record);
  // Slots from `first` on read in one block, past the cache (see
  // TDataFile::ReadRecordSpan).
  int32_t ReadSpan(uint32_t first, int32_t most, const uint8_t*& records);
  void Pin(TRecord* record);
  static void Release(TRecord* record);
  // Writes the modified, unpinned, unmarked records. True when anything was
  // written.
  bool Flush();

  int64_t SlotOffset(uint32_t recordNo) const;
  TRecordCache& Cache() { return cache_; }
  const TRecordCache& Cache() const { return cache_; }
  size_t OpeningCapacity() const { return openingCapacity_; }
  TDataFileStats& Stats() { return stats_; }
  const TDataFileStats& Stats() const { return stats_; }
  void ResetStats() { stats_ = TDataFileStats{}; }

 private:
  // A cache entry for record `recordNo`: a free one, else the least
  // recently used that can go (writing modified ones out first when
  // allowed); zero-filled unless the caller fills all of it.
  TRecord* TakeFreeEntry(uint32_t recordNo, bool zeroFill);
  // Reads `count` slots ending (backward) or starting (forward) at
  // recordNo in one file read and caches them.
  TRecord* ReadBlock(uint32_t recordNo, int32_t count, int direction);
  // Reads recordNo and the visible records the index cursor found ahead of
  // it (ahead_), only those, and gives recordNo's entry.
  TRecord* ReadVisible(uint32_t recordNo);
  void ComputeFields(TRecord* record);

  TDataFile& table_;
  TRecordCache cache_;
  size_t openingCapacity_ = 0;
  TDataFileStats stats_;
  std::vector<uint8_t> ioBuffer_;
  std::vector<uint8_t> spanBuffer_;
  std::vector<uint32_t> ahead_;
  // Scratch of ReadBlock: the block's slots found cached, the entries placed.
  std::vector<TRecord*> blockEntries_;
  std::vector<TRecord*> touched_;
  // The index-order read-ahead over scattered slots: entries read beside
  // the last miss, and the cursor position where the next miss of a walk
  // comes (0: none expected).
  int32_t aheadEntries_ = 0;
  int64_t expectedMiss_ = 0;
};

}  // namespace tabula
