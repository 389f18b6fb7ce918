#pragma once
// TIndexFile: the index file (.IDX) of a table. One file holds up to 32
// counted B+-trees in 4096-byte pages: slot 0 the primary index, slots 1..30
// the secondary indexes, slot 31 "Sys Deleted" (one key per record slot).
// The object keeps the buffered header, one most-recently-used list of page
// buffers per slot, the table's shared and exclusive lock bytes, and one
// cursor over the current index with its key range and record bitmaps.
//
// The data file (TDataFile) owns its index file and is reached back through
// TIndexFileOwner: whether it holds its locks, taking the read lock and
// checking for changes by other programs, the record slot count, the
// table's locale, the key fields' types and the table cipher.
//
// Every cursor operation restarts from the root when a page load finds that
// another program changed the files. Key maintenance runs under the write
// lock, where no such change can appear.

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/file_handler.h"
#include "engine/index_bitmap.h"
#include "engine/index_format.h"
#include "engine/index_page.h"
#include "engine/key_compare.h"
#include "engine/lock_table.h"

namespace tabula {

class TFilterList;
struct TFilter;

// What a key field looks like in the record and in the key.
struct TKeyFieldInfo {
  uint8_t FieldType = 0;  // type code (engine/field_types.h)
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
// through this hook (the filter list itself lives with the filter code).
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
  // A record was written (set its bit and evaluate it again) or deleted.
  virtual void RecordWritten(int32_t /*recNo*/) {}
  virtual void RecordDeleted(int32_t /*recNo*/) {}
};

// Search rules for the leaf step of a descent.
enum class TSearchRule : uint8_t {
  kExact,         // the equal entry
  kInsert,        // after the last entry below the key
  kFindNearest,   // equal, else first above, else last
  kFind,          // equal, else last below, else first
  kFirstInRange,  // equal, else first above, else last
  kLastInRange,   // equal, else last below, else first
};

class TIndexFile : public TFileHandler {
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
  uint8_t CurrentSlot() const { return slot_; }
  const std::string& CurrentIndexName() const { return DescriptorOf(slot_).Name; }
  // Key length of the current index; 4 in physical order.
  int KeyLength() const;
  bool PhysicalOrder() const { return physical_; }
  bool BitmapMode() const { return bitmapMode_; }

  // ---- Pages ----
  // The pinned page at `offset` of the current index; ok = false (and no
  // page) when loading it found the files changed by another program.
  TPage* GetPage(uint32_t offset, bool newPage, bool& ok);
  void ReleasePage(TPage* page);
  // A pinned, empty page for the current index: the head of its free list
  // or a new page at EndOfFile.
  TPage* AllocatePage();
  void FreePage(TPage* page);
  // Writes every dirty unpinned page, adjacent pages with one write.
  bool FlushPages();
  void DiscardPages();
  void UnpinPages();
  void TrimPageBuffers();
  // Page buffers held for a slot and their limit (31 unless grown under the table lock).
  size_t BufferedPages(uint8_t slot) const { return lists_[SlotIndex(slot)].Pages.size(); }
  size_t PageListLimit(uint8_t slot) const { return lists_[SlotIndex(slot)].Limit; }
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

  // ---- Cursor ----
  int32_t CursorRecordCount();
  void FirstKey();
  void LastKey();
  void MoveBy(int32_t n);
  void GoToPosition(int32_t position);
  void GoToRecord(int32_t recNo);
  bool FindKey(const uint8_t* key, bool nearest, bool keepFlags);
  int32_t CurrentRecordNumber() const;
  // The key of the current entry (KeyLength bytes), or null when empty.
  const uint8_t* CurrentKey() const;
  int32_t PositionInRange();
  int32_t PositionNumber() const { return cursor_.Position; }
  bool Bof() const { return cursor_.Bof; }
  bool Eof() const { return cursor_.Eof; }
  int32_t ConsecutiveRun(int32_t maximum, int direction);
  void MarkEmpty();
  // Sets the BOF and EOF flags of a positioned cursor (the data file's
  // "before the first" / "after the last" positions stand on an entry).
  void SetCursorFlags(bool bof, bool eof);
  // The cursor stands on an entry inside the active range (always true
  // without a range and in physical order; false when empty).
  bool CursorWithinRange() const;

  // ---- Ranges ----
  void SetRangeStart(const uint8_t* key);
  void SetRangeEnd(const uint8_t* key);
  void ActivateRange();
  void CancelRange();
  void ComputeRangeBounds();
  bool RangeActive() const { return rangeActive_; }
  int32_t RangeFirst() const { return rangeFirst_; }
  int32_t RangeLast() const { return rangeLast_; }
  const uint8_t* RangeStartKey() const { return rangeStart_.data(); }
  const uint8_t* RangeEndKey() const { return rangeEnd_.data(); }

  // ---- Counting and bitmaps ----
  int32_t CountKeysBetween(const uint8_t* low, const uint8_t* high);
  void MarkKeysBetween(const uint8_t* low, const uint8_t* high, TRecordBitmap& bitmap);
  // The filters of the open table. The list is the filter hook unless
  // another hook is set; SetFilterHook(nullptr) puts the list back.
  TFilterList& Filters() { return *filterList_; }
  const TFilterList& Filters() const { return *filterList_; }
  void SetFilterHook(TIndexFilterHook* hook);
  // Bitmap mode follows the order and the filters; rebuilds the bitmaps when on.
  void UpdateBitmapMode();
  void RebuildBitmaps();
  void CombineBitmaps();
  // After one filter of the list was activated: rebuilds the range and live
  // bitmaps, evaluates that filter over them (and, with its restrict flag,
  // over the filters active before it), and combines. A cursor that was not
  // in bitmap mode, or a null handle (all filters), rebuilds everything.
  void RefreshFilter(TFilter* handle);
  // After filters were deactivated or removed: follows the bitmap mode and
  // combines the bitmaps that remain (their own results are still valid).
  void FiltersChanged();
  // Key scans on any index for the filters; the current index, its range
  // and the cursor stay as they are. Counting and marking as
  // CountKeysBetween / MarkKeysBetween; MarkKeysOutsideIndex marks the
  // records whose keys lie below low or above high.
  int32_t CountKeysInIndex(uint8_t slot, const uint8_t* low, const uint8_t* high);
  void MarkKeysInIndex(uint8_t slot, const uint8_t* low, const uint8_t* high, TRecordBitmap& bitmap);
  void MarkKeysOutsideIndex(uint8_t slot, const uint8_t* low, const uint8_t* high, TRecordBitmap& bitmap);
  // Called by the owner when a record read inside a running cursor or bitmap
  // operation found the files changed by another program: the outermost
  // operation starts again with fresh pages. Nothing outside an operation.
  void RestartRunningOperation();
  bool InOperation() const { return opDepth_ > 0; }
  const TRecordBitmap& VisibleBitmap() const { return visible_; }
  const TRecordBitmap& LiveBitmap() const { return live_; }
  const TRecordBitmap& RangeBitmap() const { return rangeBitmap_; }
  int32_t VisibleCount() const { return visibleCount_; }
  bool RecordVisible(int32_t recNo) const { return !bitmapMode_ || visible_.Test(recNo); }
  // Keep the bitmaps in step with a record written or deleted. `key` is the
  // record's key in the current index (null in physical order).
  void RecordWritten(int32_t recNo, const uint8_t* key);
  void RecordDeleted(int32_t recNo);

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
  struct TPageList {
    using TPages = std::list<std::unique_ptr<TPage>>;
    TPages Pages;  // front = most recently used
    size_t Limit = 31;
    // Page offset -> its place in Pages. A page is under at most one key and
    // a key names at most one page; the entry is checked against the page's
    // offset before use, and a page's entry goes with it.
    std::unordered_map<uint32_t, TPages::iterator> ByOffset;
    void Register(TPages::iterator it, uint32_t offset);
    void Unregister(TPage* page);
  };
  // One step of a descent: a pinned page and the 0-based entry chosen.
  struct TPathStep {
    TPage* Page = nullptr;
    int Entry = 0;
  };
  struct TDescent {
    std::vector<TPathStep> Path;  // root first, leaf last
    int32_t Position = 0;         // position number of the leaf entry (1-based rank)
    bool Equal = false;           // the chosen leaf entry equals the key
  };
  struct TCursor {
    bool Empty = true;
    bool Bof = true;
    bool Eof = true;
    int32_t Position = 0;
    int32_t PhysicalRecord = 0;
    uint32_t Record = 0;               // record number of the current entry
    std::vector<uint8_t> Key;          // copy of the current key
    uint32_t PageOffset = 0;           // leaf holding it
    TPage* Page = nullptr;
    int Entry = 0;                     // 0-based entry in Page
    uint64_t Generation = 0;
  };
  // A place in the leaf level: page and 0-based entry, with its rank.
  struct TLeafPlace {
    TPage* Page = nullptr;
    int Entry = 0;
    int32_t Position = 0;
  };
  class TRestart {};  // thrown when a page load found the files changed

  // Pages (index_file.cpp)
  TPageList& ListOf(uint8_t slot) { return lists_[SlotIndex(slot)]; }
  TIndexDescriptor& DescriptorOf(uint8_t slot) { return header_.Descriptors[SlotIndex(slot)]; }
  const TIndexDescriptor& DescriptorOf(uint8_t slot) const { return header_.Descriptors[SlotIndex(slot)]; }
  TPage* GetPageInSlot(uint8_t slot, uint32_t offset, bool newPage);  // throws TRestart
  TPage* ObtainPageObject(uint8_t slot);
  void WritePage(TPage* page);
  void Pin(TPage* page);
  // Every page pinned since the last UnpinPages, so that unpinning (after
  // every operation) does not walk all buffered pages.
  std::vector<TPage*> pinnedPages_;
  TPage* AllocatePageInSlot(uint8_t slot);
  void FreePageInSlot(uint8_t slot, TPage* page);
  TPage::TLayout LayoutOf(uint8_t slot) const;
  void ResetCursorState();
  void InvalidateKeyLayouts();
  void EndOperation();
  void EnsureRangeBounds();
  int CompareInSlot(uint8_t slot, const uint8_t* a, const uint8_t* b, int length) const;
  void FirstKeyBody();
  void LastKeyBody();
  void MoveByBody(int32_t n);
  void ReadRawBlock(uint32_t offset, uint8_t* block);
  [[noreturn]] void Corrupt() const;

  // Where a re-found cursor stands: on its key, before the first entry
  // above it (the key is gone), or after the last entry (all keys below it).
  enum class TWhere : uint8_t { kNone, kOn, kAfter, kBefore };

  // Descents and leaf walking (index_cursor.cpp)
  void Restartable(const std::function<void()>& body);
  int32_t CountInternal();
  void ComputeBoundsOnly();
  int32_t CountKeysInSlot(uint8_t slot, const uint8_t* low, const uint8_t* high);
  void MarkOutside(uint8_t slot, const uint8_t* low, const uint8_t* high, TRecordBitmap& bitmap);
  void BuildRangeAndLive();
  void CombineInternal();
  void GrowBitmaps(int32_t recNo);
  static bool SubtreeMatches(const TPage* page, int64_t expected);
  TDescent Descend(uint8_t slot, const uint8_t* key, TSearchRule rule, int length);
  TDescent DescendEdge(uint8_t slot, bool last);
  TDescent DescendToPosition(uint8_t slot, int32_t position);
  void ReleaseDescent(TDescent& d, bool keepLeaf);
  bool StepForward(uint8_t slot, TLeafPlace& place);
  bool StepBack(uint8_t slot, TLeafPlace& place);
  TLeafPlace PlaceOf(TDescent& d);
  void TakePlace(const TLeafPlace& place);
  TWhere LocateCursor(TLeafPlace& place);
  int32_t RootTotal(uint8_t slot);
  // 8965 unless the tree of a kept slot holds as many keys as it must.
  void VerifyTreeTotal(uint8_t slot);
  int32_t FirstPositionAtOrAbove(uint8_t slot, const uint8_t* key);
  int32_t LastPositionAtOrBelow(uint8_t slot, const uint8_t* key);
  bool RangeFixup(TLeafPlace& place);
  bool SeekVisibleForward(TLeafPlace& place);
  bool SeekVisibleBackward(TLeafPlace& place);
  void PhysicalResync(int32_t recNo);
  int CompareRange(const uint8_t* key, bool end) const;
  void MarkKeysBetweenRaw(uint8_t slot, const uint8_t* low, const uint8_t* high, int length,
                          TRecordBitmap& bitmap);

  // Tree changes (index_tree.cpp)
  void InsertInto(uint8_t slot, const uint8_t* key, uint32_t recNo);
  void DeleteFrom(uint8_t slot, const uint8_t* key);
  void FixParentKeys(std::vector<TPathStep>& path, size_t level);
  void HandleOverflow(uint8_t slot, std::vector<TPathStep>& path, size_t level);
  void Rebalance(uint8_t slot, std::vector<TPathStep>& path, size_t level);
  void RemoveFromParent(uint8_t slot, std::vector<TPathStep>& path, size_t level);
  void UnlinkFromLevel(uint8_t slot, TPage* page);
  void Touch(TPage* page);
  void SetRoot(uint8_t slot, uint32_t offset);

  TIndexFileOwner* owner_ = nullptr;
  TIndexHeader header_;
  TPageList lists_[kIndexSlotCount];
  TSharedTableLock sharedLock_;
  TExclusiveTableLock exclusiveLock_;
  uint64_t pageReads_ = 0;
  uint64_t generation_ = 1;

  uint8_t slot_ = 0;
  bool physical_ = false;
  bool bitmapMode_ = false;
  TCursor cursor_;
  bool rangeActive_ = false;
  std::vector<uint8_t> rangeStart_;
  std::vector<uint8_t> rangeEnd_;
  int32_t rangeFirst_ = 0;
  int32_t rangeLast_ = 0;
  bool computingBounds_ = false;
  bool rebuilding_ = false;

  std::unique_ptr<TFilterList> filterList_;
  TIndexFilterHook* filterHook_ = nullptr;
  TRecordBitmap rangeBitmap_;
  TRecordBitmap live_;
  TRecordBitmap visible_;
  int32_t visibleCount_ = 0;

  // Per-slot key field layout for CompareKeys (filled on first use).
  const TKeyLayout& KeyLayoutOf(uint8_t slot) const;
  mutable TKeyLayout keyLayouts_[kIndexSlotCount];
  mutable bool keyLayoutLoaded_[kIndexSlotCount] = {};
  int opDepth_ = 0;
  uint64_t boundsGeneration_ = 0;
  std::vector<uint8_t> ioBuffer_;
  std::vector<std::string> headerFaults_;
  // Per slot: the tree generation at which the root's key total was last
  // found equal to the keys the index must hold.
  uint64_t totalVerified_[kIndexSlotCount] = {};
};

// True when an index of this slot and descriptor keeps the 4-byte suffix.
inline bool HasKeySuffix(uint8_t slot, const TIndexDescriptor& d) {
  return slot >= 1 && slot <= kMaxSecondaryIndexes && !d.Unique;
}

}  // namespace tabula
