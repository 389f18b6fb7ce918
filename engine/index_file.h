#pragma once
// TIndexFile: the index file (.IDX) of a table. One file holds up to 32
// counted B+-trees in 4096-byte pages: slot 0 the primary index, slots 1..30
// the secondary indexes, slot 31 "Sys Deleted" (one key per record slot).
// The object keeps the buffered header and the table's shared and exclusive
// lock bytes, and is the front of its parts: the page buffers (TPagePool,
// index_page_pool.h), the tree of a slot (TIndexTree, index_tree.h) and the
// cursor over the current index with its key range and record bitmaps
// (TIndexCursor, index_cursor.h).
//
// The data file (TDataFile) owns its index file and is reached back through
// TIndexFileOwner: whether it holds its locks, taking the read lock and
// checking for changes by other programs, the record slot count, the
// table's locale, the key fields' types and the table cipher.
//
// Operations and restarts: every operation that reads pages runs through
// RunOperation. When a page load (or the owner's record read, through
// RestartRunningOperation) finds that another program changed the files,
// the buffered pages are dropped and the operation is abandoned; the one
// retry loop, at the entry of the outermost operation, starts it again
// from the root. Operations called from inside another (a filter's index
// scan during a bitmap rebuild) are part of it and never retry on their
// own. Pins are handles, so abandoning an operation lets go of its pages.
// Key maintenance runs under the write lock, where no such change can appear.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tabula/engine_error.h"
#include "tabula/file_handler.h"
#include "engine/index_bitmap.h"
#include "engine/index_cursor.h"
#include "engine/index_format.h"
#include "engine/index_page.h"
#include "engine/index_page_pool.h"
#include "engine/index_tree.h"
#include "engine/key_compare.h"
#include "engine/lock_table.h"

namespace tabula {

struct TFilter;

// What a key field looks like in the record and in the key.
struct TKeyFieldInfo {
  uint8_t FieldType = 0;  // type code (tabula/field_types.h)
  uint8_t SubType = 0;
  uint8_t DataSize = 0;   // width of the value in the record and in the key
  uint16_t Offset = 0;    // offset of the null flag in the record (of the data for the auto-increment field)
};

// The data file as its index file sees it. TDataFile implements it.
class TIndexFileOwner {
 public:
  virtual ~TIndexFileOwner() = default;
  // Takes the read lock for the running operation unless a lock is held
  // already, and checks the headers for changes by other programs. Returns
  // true when the files were changed; the index file's pages are then
  // discarded (the owner calls DiscardPages, reloads the headers and
  // re-finds its record) and the running index operation starts again.
  virtual bool LockAndCheckForChanges() = 0;
  // The running operation holds the read lock, the write lock or a write
  // hold: pages may be read without a new check.
  virtual bool HoldsSharedLock() const = 0;
  // The table lock (transaction) is held: page lists grow instead of
  // writing dirty pages on eviction.
  virtual bool HoldsTableLock() const = 0;
  // Record slots of the data file (NextRecordNo - 1).
  virtual int32_t RecordSlotCount() const = 0;
  // The table's locale: language id (0 = none) and sort id.
  virtual uint16_t LanguageId() const = 0;
  virtual uint16_t SortId() const = 0;
  // The type and width of a data-file field; false for an unknown number.
  virtual bool GetKeyFieldInfo(uint16_t fieldNo, TKeyFieldInfo& info) const = 0;
  // The table cipher (enciphered tables only); each block starts the cipher afresh.
  virtual bool Encrypted() const { return false; }
  virtual void EncipherBlock(uint8_t* /*data*/, size_t /*size*/) {}
  virtual void DecipherBlock(uint8_t* /*data*/, size_t /*size*/) {}
  // Whether record n is live (status byte 0). Used for the live bitmap of a
  // table without a primary index, whose "Sys Deleted" index is not kept.
  virtual bool RecordIsLive(int32_t /*recNo*/) { return true; }
};

// Record filters contribute their bitmaps to the cursor's visible set
// through this hook. The table owns its filter list (filter_list.h) and
// hands it in with SetFilterHook.
class TIndexFilterHook {
 public:
  virtual ~TIndexFilterHook() = default;
  // Some filter is active (the cursor is then in bitmap mode).
  virtual bool AnyActive() const = 0;
  // Evaluates every active filter over the candidate records (range and
  // live bitmaps combined) into the filter's own bitmap.
  virtual void Rebuild(const TRecordBitmap& candidates) = 0;
  // visible := visible AND the bitmap of every active filter.
  virtual void Combine(TRecordBitmap& visible) const = 0;
  // One filter was just activated: evaluates it (and what its flags tie it
  // to) over the candidates. A hook without single-filter refresh rebuilds.
  virtual void Refresh(TFilter* /*handle*/, const TRecordBitmap& candidates) { Rebuild(candidates); }
  // A record was written (set its bit and evaluate it again) or deleted.
  virtual void RecordWritten(int32_t /*recNo*/) {}
  virtual void RecordDeleted(int32_t /*recNo*/) {}
};

class TIndexFile : public TFileHandler, private TIndexTreeStore {
 public:
  explicit TIndexFile(TIndexFileOwner* owner = nullptr);
  ~TIndexFile() override;

  void SetOwner(TIndexFileOwner* owner) { owner_ = owner; }
  TIndexFileOwner* Owner() const { return owner_; }
  // The data file's name with its extension replaced by ".IDX".
  std::string ResolveName(const std::string& name) override;

  // ---- File ----
  // Creates the file (Exclusive must be set) with the header of a new index
  // file and writes it; the file stays open. Table creation then calls
  // DefineIndex for each index and WriteHeader(true).
  void CreateIndexFile();
  // Table creation: describes the index of a slot (1..30 also raise
  // SecondaryCount to the slot). The tree starts empty.
  void DefineIndex(uint8_t slot, const TIndexDescriptor& descriptor);
  void SetNoPrimaryIndex(bool value);
  // Opens the file, reads the header (12035 unless version 3; 8965 when a
  // value in it is out of its limits, see CheckIndexHeader), resets the
  // cursor and range, selects slot 0 and, when asked, positions on the
  // first key. A checker passes keepDamagedHeader: the file then stays open
  // with a damaged header, HeaderFaults() says what is wrong, and nothing
  // may be read through the trees.
  void OpenIndexFile(bool positionOnFirst = true, bool keepDamagedHeader = false);
  const std::vector<std::string>& HeaderFaults() const { return headerFaults_; }
  // Frees every buffered page without writing, drops the bitmaps and closes.
  void CloseIndexFile();
  void CloseFile() override;
  void ReadHeader();
  void WriteHeader(bool force);
  bool HeaderChanged();

  TIndexHeader& Header() { return header_; }
  const TIndexHeader& Header() const { return header_; }
  const TIndexDescriptor& Descriptor(uint8_t slot) const { return DescriptorOf(slot); }
  int32_t LiveRecordCount() const { return header_.LiveRecordCount; }
  void AdjustLiveRecordCount(int32_t delta);
  bool NoPrimaryIndex() const { return header_.NoPrimaryIndex != 0; }
  // Slots that keep keys: 0 (unless NoPrimaryIndex), 1..SecondaryCount, 31 (unless NoPrimaryIndex).
  bool SlotKeepsKeys(uint8_t slot) const;

  // ---- Locks (the table's lock bytes; false on failure) ----
  bool LockTableShared();
  bool UnlockTableShared();
  bool LockTableExclusive();
  bool UnlockTableExclusive();
  bool HoldsShared() const { return sharedLock_.Held(); }
  bool HoldsExclusive() const { return exclusiveLock_.Held(); }
  TSharedTableLock& SharedLock() { return sharedLock_; }
  TExclusiveTableLock& ExclusiveLock() { return exclusiveLock_; }

  // ---- Index selection ----
  void SelectIndexSlot(uint8_t slot);
  // Slot 0 for an empty name, else the first secondary of that name
  // (case-insensitive); no match leaves slot 0 current.
  void SelectIndexByName(const std::string& name);
  uint8_t CurrentSlot() const { return cursor_.Slot(); }
  const std::string& CurrentIndexName() const { return DescriptorOf(cursor_.Slot()).Name; }
  // Key length of the current index; 4 in physical order.
  int KeyLength() const;
  bool PhysicalOrder() const { return cursor_.Physical(); }
  bool BitmapMode() const { return cursor_.BitmapMode(); }

  // ---- Operations ----
  // Runs `body` as one operation: when a page load or a record read inside
  // it finds the files changed by another program, the outermost operation
  // drops what it did and runs again with fresh pages (10000 tries at most,
  // then a lock failure, 10249). Inside a running operation, `body` simply runs.
  template <class F>
  void RunOperation(F&& body);
  // Called by the owner when a record read inside a running operation
  // found the files changed by another program. Nothing outside one.
  void RestartRunningOperation();
  bool InOperation() const { return inOperation_; }

  // ---- Pages ----
  // A pinned, empty page for the current index: the head of its free list
  // or a new page at EndOfFile.
  TPagePin AllocatePage();
  // Writes every dirty unpinned page, adjacent pages with one write.
  bool FlushPages();
  void DiscardPages();
  // Pins end with their handles and none outlives an operation, so there is
  // nothing to let go of here; kept for callers that let go of everything
  // before a flush.
  void UnpinPages() {}
  void TrimPageBuffers();
  // Page buffers held for a slot and their limit (31 unless grown under the
  // table lock; more for a read-only handle).
  size_t BufferedPages(uint8_t slot) const { return pool_.Count(slot); }
  size_t PageListLimit(uint8_t slot) const { return pool_.Limit(slot); }
  // Pages read from the file since open (or ResetPageReads).
  uint64_t PageReads() const { return pageReads_; }
  void ResetPageReads() { pageReads_ = 0; }

  // ---- Keys ----
  // -1, 0 or 1: the first `length` bytes of two keys of the given index
  // (the current one when desc is null), under the table's locale rules.
  int CompareKeys(const uint8_t* a, const uint8_t* b, const TIndexDescriptor* desc, bool descending,
                  int length) const;
  // CompareKeys of the current index over its full key length.
  int CompareKeys(const uint8_t* a, const uint8_t* b) const;

  // ---- Cursor (index_cursor.h) ----
  int32_t CursorRecordCount() { return cursor_.RecordCount(); }
  void FirstKey() { cursor_.First(); }
  void LastKey() { cursor_.Last(); }
  void MoveBy(int32_t n) { cursor_.MoveBy(n); }
  void GoToPosition(int32_t position) { cursor_.GoToPosition(position); }
  void GoToRecord(int32_t recNo) { cursor_.GoToRecord(recNo); }
  bool FindKey(const uint8_t* key, bool nearest, bool keepFlags) { return cursor_.Find(key, nearest, keepFlags); }
  int32_t CurrentRecordNumber() const { return cursor_.CurrentRecordNumber(); }
  // The key of the current entry (KeyLength bytes), or null when empty.
  const uint8_t* CurrentKey() const { return cursor_.CurrentKey(); }
  int32_t PositionInRange() { return cursor_.PositionInRange(); }
  int32_t PositionNumber() const { return cursor_.PositionNumber(); }
  bool Bof() const { return cursor_.Bof(); }
  bool Eof() const { return cursor_.Eof(); }
  int32_t ConsecutiveRun(int32_t maximum, int direction) { return cursor_.ConsecutiveRun(maximum, direction); }
  bool VisibleAhead(int32_t maximum, int direction, std::vector<uint32_t>& records) {
    return cursor_.VisibleAhead(maximum, direction, records);
  }
  void MarkEmpty() { cursor_.MarkEmpty(); }
  // Sets the BOF and EOF flags of a positioned cursor (the data file's
  // "before the first" / "after the last" positions stand on an entry).
  void SetCursorFlags(bool bof, bool eof) { cursor_.SetFlags(bof, eof); }
  // The cursor stands on an entry inside the active range (always true
  // without a range and in physical order; false when empty).
  bool CursorWithinRange() const { return cursor_.WithinRange(); }

  // ---- Ranges ----
  void SetRangeStart(const uint8_t* key) { cursor_.SetRangeStart(key, KeyLength()); }
  void SetRangeEnd(const uint8_t* key) { cursor_.SetRangeEnd(key, KeyLength()); }
  void ActivateRange() { cursor_.ActivateRange(); }
  void CancelRange() { cursor_.CancelRange(); }
  void ComputeRangeBounds() { cursor_.ComputeRangeBounds(); }
  bool RangeActive() const { return cursor_.RangeActive(); }
  int32_t RangeFirst() const { return cursor_.RangeFirst(); }
  int32_t RangeLast() const { return cursor_.RangeLast(); }
  const uint8_t* RangeStartKey() const { return cursor_.RangeStartKey(); }
  const uint8_t* RangeEndKey() const { return cursor_.RangeEndKey(); }

  // ---- Counting and bitmaps ----
  int32_t CountKeysBetween(const uint8_t* low, const uint8_t* high);
  void MarkKeysBetween(const uint8_t* low, const uint8_t* high, TRecordBitmap& bitmap);
  // The table's filters (null: none). The hook must outlive the open file.
  void SetFilterHook(TIndexFilterHook* hook) { cursor_.SetFilterHook(hook); }
  // Bitmap mode follows the order and the filters; rebuilds the bitmaps when on.
  void UpdateBitmapMode() { cursor_.UpdateBitmapMode(); }
  void RebuildBitmaps() { cursor_.RebuildBitmaps(); }
  void CombineBitmaps() { cursor_.CombineBitmaps(); }
  // After one filter was activated: rebuilds the range and live bitmaps,
  // has the hook evaluate that filter over them, and combines. A cursor that
  // was not in bitmap mode, or a null handle (all filters), rebuilds everything.
  void RefreshFilter(TFilter* handle) { cursor_.RefreshFilter(handle); }
  // After filters were deactivated or removed: follows the bitmap mode and
  // combines the bitmaps that remain (their own results are still valid).
  void FiltersChanged() { cursor_.FiltersChanged(); }
  // Key scans on any index for the filters; the current index, its range
  // and the cursor stay as they are. Counting and marking as
  // CountKeysBetween / MarkKeysBetween; MarkKeysOutsideIndex marks the
  // records whose keys lie below low or above high.
  int32_t CountKeysInIndex(uint8_t slot, const uint8_t* low, const uint8_t* high);
  void MarkKeysInIndex(uint8_t slot, const uint8_t* low, const uint8_t* high, TRecordBitmap& bitmap);
  void MarkKeysOutsideIndex(uint8_t slot, const uint8_t* low, const uint8_t* high, TRecordBitmap& bitmap);
  const TRecordBitmap& VisibleBitmap() const { return cursor_.VisibleBitmap(); }
  const TRecordBitmap& LiveBitmap() const { return cursor_.LiveBitmap(); }
  const TRecordBitmap& RangeBitmap() const { return cursor_.RangeBitmap(); }
  int32_t VisibleCount() const { return cursor_.VisibleCount(); }
  bool RecordVisible(int32_t recNo) const { return cursor_.RecordVisible(recNo); }
  // Keep the bitmaps in step with a record written or deleted. `key` is the
  // record's key in the current index (null in physical order).
  void RecordWritten(int32_t recNo, const uint8_t* key) { cursor_.RecordWritten(recNo, key); }
  void RecordDeleted(int32_t recNo) { cursor_.RecordDeleted(recNo); }

  // ---- Key maintenance (current index; the *InSlot forms name the index) ----
  bool KeyExists(const uint8_t* key);
  void CheckDuplicate(const uint8_t* key);
  void InsertKey(const uint8_t* key, uint32_t recNo);
  void DeleteKey(const uint8_t* key);
  void ReplaceKey(const uint8_t* oldKey, const uint8_t* newKey, uint32_t recNo);
  bool KeyExistsInSlot(uint8_t slot, const uint8_t* key);
  void CheckDuplicateInSlot(uint8_t slot, const uint8_t* key);
  void InsertKeyInSlot(uint8_t slot, const uint8_t* key, uint32_t recNo);
  void DeleteKeyInSlot(uint8_t slot, const uint8_t* key);
  void ReplaceKeyInSlot(uint8_t slot, const uint8_t* oldKey, const uint8_t* newKey, uint32_t recNo);
  // Builds a new index from keys given in strictly ascending index order
  // (table creation, rebuilds, tests): fills leaves and nodes bottom up.
  // The index must be empty.
  void BulkLoadSlot(uint8_t slot, const std::vector<std::pair<std::vector<uint8_t>, uint32_t>>& sortedKeys);
  // For the checker: a copy of the page at `offset` of a slot, from the
  // buffers when held there (changes not yet written included), else from
  // the file. Raises 8965 for a page that does not decode.
  void ReadPageForCheck(uint8_t slot, uint32_t offset, TPage& out);
  // Index name as errors show it: "Primary" for slot 0.
  std::string IndexDisplayName(uint8_t slot) const;
  // Incremented on every change of a tree or of the buffers; cursor page
  // references taken under an older value are re-found by key.
  uint64_t Generation() const { return generation_; }

 private:
  // Thrown inside an operation when the files were found changed; caught
  // only by the retry loop of the outermost operation (RunOperation).
  struct TFilesChanged {};

  // ---- TIndexTreeStore ----
  TPagePin LoadTreePage(uint8_t slot, uint32_t offset) override { return LoadPage(slot, offset, false); }
  TPagePin BufferedTreePage(uint8_t slot, uint32_t offset) override { return pool_.Find(slot, offset); }
  TPagePin AllocateTreePage(uint8_t slot) override;
  void FreeTreePage(uint8_t slot, TPage& page) override;
  const TIndexDescriptor& TreeDescriptor(uint8_t slot) const override { return DescriptorOf(slot); }
  void SetTreeRoot(uint8_t slot, uint32_t offset) override;
  int CompareInSlot(uint8_t slot, const uint8_t* a, const uint8_t* b, int length) const override;
  int64_t UncheckedTreeTotal(uint8_t slot) override;
  void TreeTotalChecked(uint8_t slot) override { totalVerified_[SlotIndex(slot)] = generation_; }
  void TreeChanged() override { ++generation_; }
  const std::string& TreeFileName() const override { return FileName(); }
  std::string TreeIndexName(uint8_t slot) const override { return IndexDisplayName(slot); }

  TIndexDescriptor& DescriptorOf(uint8_t slot) { return header_.Descriptors[SlotIndex(slot)]; }
  const TIndexDescriptor& DescriptorOf(uint8_t slot) const { return header_.Descriptors[SlotIndex(slot)]; }
  TIndexTree TreeOf(uint8_t slot) { return TIndexTree(*this, slot); }
  // The page at `offset` of a slot, pinned: from the buffers, else read
  // (after the owner's change check when it holds no lock) and expanded;
  // at EndOfFile a new page. Throws TFilesChanged.
  TPagePin LoadPage(uint8_t slot, uint32_t offset, bool newPage);
  TPage* ObtainBuffer(uint8_t slot);
  void WritePage(TPage& page);
  TPage::TLayout LayoutOf(uint8_t slot) const;
  void InvalidateKeyLayouts();
  void ReadRawBlock(uint32_t offset, uint8_t* block);
  [[noreturn]] void Corrupt() const;
  // Per-slot key field layout for CompareKeys (filled on first use).
  const TKeyLayout& KeyLayoutOf(uint8_t slot) const;

  TIndexFileOwner* owner_ = nullptr;
  TIndexHeader header_;
  TPagePool pool_;
  TIndexCursor cursor_;
  TSharedTableLock sharedLock_;
  TExclusiveTableLock exclusiveLock_;
  uint64_t pageReads_ = 0;
  uint64_t generation_ = 1;
  bool inOperation_ = false;

  mutable TKeyLayout keyLayouts_[kIndexSlotCount];
  mutable bool keyLayoutLoaded_[kIndexSlotCount] = {};
  std::vector<uint8_t> ioBuffer_;
  std::vector<std::string> headerFaults_;
  // Per slot: the tree generation at which the root's key total was last
  // found equal to the keys the index must hold.
  uint64_t totalVerified_[kIndexSlotCount] = {};
};

template <class F>
void TIndexFile::RunOperation(F&& body) {
  if (inOperation_) {
    body();
    return;
  }
  constexpr int kMaxRestarts = 10000;
  inOperation_ = true;
  struct TScope {
    bool& Running;
    ~TScope() { Running = false; }
  } scope{inOperation_};
  for (int attempt = 0;; ++attempt) {
    try {
      body();
      return;
    } catch (const TFilesChanged&) {
      if (attempt >= kMaxRestarts) RaiseEngineError(kErrLockFailure, FileName());
    }
  }
}

// True when an index of this slot and descriptor keeps the 4-byte suffix.
inline bool HasKeySuffix(uint8_t slot, const TIndexDescriptor& d) {
  return slot >= 1 && slot <= kMaxSecondaryIndexes && !d.Unique;
}

}  // namespace tabula
