#pragma once
// TIndexCursor: the cursor of an index file over the tree of its current
// index: its place (a leaf entry, or a record number in physical order),
// the active key range with its bounds, and, in bitmap mode (physical order
// or any active filter), the range, live and visible record bitmaps with
// the filter hook that contributes to them.
//
// Each public operation that reads pages runs as one index-file operation
// (TIndexFile::RunOperation), so that a change by another program found on
// the way starts it again from the root. Between operations the cursor
// pins nothing: it remembers its leaf's offset and entry, takes the leaf
// from the buffers when it is still there and the trees have not changed
// since (the same generation), and else finds its key again.

#include <cstdint>
#include <vector>

#include "engine/index_bitmap.h"
#include "engine/index_page_pool.h"
#include "engine/index_tree.h"

namespace tabula {

class TIndexFile;
class TIndexFilterHook;
struct TFilter;

class TIndexCursor {
 public:
  TIndexCursor(TIndexFile& file, TIndexTreeStore& store);

  // ---- State ----
  // The file was opened: no place, no range, slot 0 (physical order when
  // the table has no primary index), bitmaps as the filters say.
  void Open(bool physical);
  // The file is closing: place, range and bitmaps go.
  void Close();
  // The index changed to `slot`; a change of index drops the place and the range.
  void Select(uint8_t slot, bool physical);
  uint8_t Slot() const { return slot_; }
  bool Physical() const { return physical_; }
  bool BitmapMode() const { return bitmapMode_; }
  // The live record count changed (no range: the range follows it).
  void LiveCountChanged(int32_t live);

  // ---- Navigation ----
  int32_t RecordCount();
  void First();
  void Last();
  void MoveBy(int32_t n);
  void GoToPosition(int32_t position);
  void GoToRecord(int32_t recNo);
  bool Find(const uint8_t* key, bool nearest, bool keepFlags);
  int32_t CurrentRecordNumber() const;
  const uint8_t* CurrentKey() const;
  int32_t PositionInRange();
  int32_t PositionNumber() const { return state_.Position; }
  bool Bof() const { return state_.Bof; }
  bool Eof() const { return state_.Eof; }
  // `direction`: kReadForward or kReadBackward, as the record store reads.
  int32_t ConsecutiveRun(int32_t maximum, int direction);
  // In index order: the record numbers of up to `maximum` entries the
  // cursor would show after (or, backward, before) the current one, in the
  // order of travel, into `records`: under a bitmap (a filter is active)
  // the visible ones, else those inside the range. The walk looks at no
  // more than kAheadLeaves leaves past the cursor's own, so the pages it
  // loads are still buffered when the cursor steps onto them. False in
  // physical order (the caller reads a consecutive run).
  bool VisibleAhead(int32_t maximum, int direction, std::vector<uint32_t>& records);
  static constexpr int kAheadLeaves = 12;
  void MarkEmpty();
  void SetFlags(bool bof, bool eof);
  bool WithinRange() const;

  // ---- Range ----
  void SetRangeStart(const uint8_t* key, int length);
  void SetRangeEnd(const uint8_t* key, int length);
  void ActivateRange();
  void CancelRange();
  void ComputeRangeBounds();
  bool RangeActive() const { return rangeActive_; }
  int32_t RangeFirst() const { return rangeFirst_; }
  int32_t RangeLast() const { return rangeLast_; }
  const uint8_t* RangeStartKey() const { return rangeStart_.data(); }
  const uint8_t* RangeEndKey() const { return rangeEnd_.data(); }

  // ---- Bitmaps ----
  void SetFilterHook(TIndexFilterHook* hook) { filterHook_ = hook; }
  void UpdateBitmapMode();
  void RebuildBitmaps();
  void CombineBitmaps();
  void RefreshFilter(TFilter* handle);
  void FiltersChanged();
  const TRecordBitmap& VisibleBitmap() const { return visible_; }
  const TRecordBitmap& LiveBitmap() const { return live_; }
  const TRecordBitmap& RangeBitmap() const { return rangeBitmap_; }
  int32_t VisibleCount() const { return visibleCount_; }
  bool RecordVisible(int32_t recNo) const { return !bitmapMode_ || visible_.Test(recNo); }
  void RecordWritten(int32_t recNo, const uint8_t* key);
  void RecordDeleted(int32_t recNo);

 private:
  using TLeafPlace = TIndexTree::TLeafPlace;
  struct TState {
    bool Empty = true;
    bool Bof = true;
    bool Eof = true;
    int32_t Position = 0;
    int32_t PhysicalRecord = 0;
    uint32_t Record = 0;       // record number of the current entry
    std::vector<uint8_t> Key;  // copy of the current key
    uint32_t PageOffset = 0;   // leaf holding it (found again in the buffers)
    int Entry = 0;             // 0-based entry in that leaf
    uint64_t Generation = 0;
  };
  // Where a re-found cursor stands: on its key, before the first entry
  // above it (the key is gone), or after the last entry (all keys below it).
  enum class TWhere : uint8_t { kNone, kOn, kAfter, kBefore };

  TIndexTree Tree() const { return TIndexTree(store_, slot_); }
  int KeyLength() const;
  void ResetRange();
  int CompareRange(const uint8_t* key, bool end) const;
  int32_t CountBody();
  void EnsureRangeBounds();
  void ComputeBoundsOnly();
  void FirstBody();
  void LastBody();
  void MoveByBody(int32_t n);
  void TakePlace(TLeafPlace&& place);
  TWhere Locate(TLeafPlace& place);
  bool RangeFixup(TIndexTree& tree, TLeafPlace& place);
  bool SeekVisibleForward(TIndexTree& tree, TLeafPlace& place);
  bool SeekVisibleBackward(TIndexTree& tree, TLeafPlace& place);
  void PhysicalResync(int32_t recNo);
  void BuildRangeAndLive();
  void CombineInternal();
  void GrowBitmaps(int32_t recNo);
  bool AnyFilterActive() const;

  TIndexFile& file_;
  TIndexTreeStore& store_;
  uint8_t slot_ = 0;
  bool physical_ = false;
  bool bitmapMode_ = false;
  TState state_;

  bool rangeActive_ = false;
  std::vector<uint8_t> rangeStart_;
  std::vector<uint8_t> rangeEnd_;
  int32_t rangeFirst_ = 0;
  int32_t rangeLast_ = 0;
  uint64_t boundsGeneration_ = 0;
  bool computingBounds_ = false;

  TIndexFilterHook* filterHook_ = nullptr;
  bool rebuilding_ = false;
  TRecordBitmap rangeBitmap_;
  TRecordBitmap live_;
  TRecordBitmap visible_;
  int32_t visibleCount_ = 0;
};

}  // namespace tabula
