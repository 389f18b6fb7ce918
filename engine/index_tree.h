#pragma once
// TIndexTree: the counted B+-tree of one slot of an index file. Descents by
// key, by edge and by position, steps along the leaf level, counts and
// bitmap marks between keys, and the changes: inserts split full pages
// (compressed leaves by packed size) and grow a new root; deletes merge or
// redistribute underfull pages and collapse a root left with one child.
// Node entries keep the first key of their child's subtree and the number
// of leaf entries below it, so every change walks the descent path back up.
//
// A tree is a light view made for one operation; its pages come from the
// index file through TIndexTreeStore and are held by pins (TPagePin) for as
// long as the descent, place or change needs them.

#include <cstdint>
#include <string>
#include <vector>

#include "engine/index_bitmap.h"
#include "engine/index_format.h"
#include "engine/index_page.h"
#include "engine/index_page_pool.h"

namespace tabula {

class TRecordBitmap;

// Search rules for the leaf step of a descent.
enum class TSearchRule : uint8_t {
  kExact,         // the equal entry
  kInsert,        // after the last entry below the key
  kFindNearest,   // equal, else first above, else last
  kFind,          // equal, else last below, else first
  kFirstInRange,  // equal, else first above, else last
  kLastInRange,   // equal, else last below, else first
};

// What a tree needs of the index file that holds it.
class TIndexTreeStore {
 public:
  // The page at `offset` of the slot, pinned. A page load that finds the
  // files changed by another program starts the running operation again.
  virtual TPagePin LoadTreePage(uint8_t slot, uint32_t offset) = 0;
  // The page at `offset` when it is buffered (no file access), else an empty pin.
  virtual TPagePin BufferedTreePage(uint8_t slot, uint32_t offset) = 0;
  // A pinned, empty page: the head of the slot's free list or a new one.
  virtual TPagePin AllocateTreePage(uint8_t slot) = 0;
  virtual void FreeTreePage(uint8_t slot, TPage& page) = 0;
  virtual const TIndexDescriptor& TreeDescriptor(uint8_t slot) const = 0;
  virtual void SetTreeRoot(uint8_t slot, uint32_t offset) = 0;
  virtual int CompareInSlot(uint8_t slot, const uint8_t* a, const uint8_t* b, int length) const = 0;
  // The keys the slot's tree must hold, or -1 when there is nothing to
  // check (no such index, or checked since the last change).
  virtual int64_t UncheckedTreeTotal(uint8_t slot) = 0;
  virtual void TreeTotalChecked(uint8_t slot) = 0;
  // Every tree change is announced: cursor page references go stale.
  virtual void TreeChanged() = 0;
  // For errors: the file's name and the index name of a slot.
  virtual const std::string& TreeFileName() const = 0;
  virtual std::string TreeIndexName(uint8_t slot) const = 0;

 protected:
  ~TIndexTreeStore() = default;
};

class TIndexTree {
 public:
  // One step of a descent: a pinned page and the 0-based entry chosen.
  struct TPathStep {
    TPagePin Page;
    int Entry = 0;
  };
  struct TDescent {
    std::vector<TPathStep> Path;  // root first, leaf last
    int32_t Position = 0;         // position number of the leaf entry (1-based rank)
    bool Equal = false;           // the chosen leaf entry equals the key
  };
  // A place in the leaf level: page and 0-based entry, with its rank.
  struct TLeafPlace {
    TPagePin Page;
    int Entry = 0;
    int32_t Position = 0;
    const uint8_t* Key() const { return Page->Key(Entry); }
    uint32_t Record() const { return Page->Refs[static_cast<size_t>(Entry)]; }
  };

  TIndexTree(TIndexTreeStore& store, uint8_t slot) : store_(store), slot_(slot) {}

  uint8_t Slot() const { return slot_; }
  int KeyLength() const { return store_.TreeDescriptor(slot_).KeyLength; }
  bool Empty() const { return store_.TreeDescriptor(slot_).RootPage == 0; }
  int Compare(const uint8_t* a, const uint8_t* b, int length) const {
    return store_.CompareInSlot(slot_, a, b, length);
  }

  // ---- Descents (an empty path for an empty tree) ----
  TDescent Descend(const uint8_t* key, TSearchRule rule, int length);
  TDescent DescendEdge(bool last);
  TDescent DescendToPosition(int32_t position);
  // The leaf step of a descent; the pages above it are let go.
  static TLeafPlace PlaceOf(TDescent&& d);

  // ---- The leaf level ----
  bool StepForward(TLeafPlace& place);
  bool StepBack(TLeafPlace& place);
  // Steps on (at least once) to the next (prior) entry whose record is set
  // in `wanted`, looking at a leaf's records in place. False when none is
  // left (the place then stands on the last (first) entry) or when that
  // would cross more than *leafBudget further leaves (the place then stands
  // on the first entry of the leaf past the budget).
  bool StepForwardTo(TLeafPlace& place, const TRecordBitmap& wanted, int* leafBudget = nullptr);
  bool StepBackTo(TLeafPlace& place, const TRecordBitmap& wanted, int* leafBudget = nullptr);
  int32_t RootTotal();
  // 8965 unless the tree of a kept slot holds as many keys as it must.
  void VerifyTotal();

  // ---- Counts and marks ----
  // Position of the first key >= key / of the last key <= key; 0 for none.
  int32_t FirstPositionAtOrAbove(const uint8_t* key);
  int32_t LastPositionAtOrBelow(const uint8_t* key);
  // The same, comparing over `length` bytes.
  int32_t FirstPositionAtOrAbove(const uint8_t* key, int length);
  int32_t LastPositionAtOrBelow(const uint8_t* key, int length);
  int32_t CountBetween(const uint8_t* low, const uint8_t* high);
  // Sets the bits of the records whose keys lie between low and high
  // (compared over `length` bytes) / below low or above high.
  void MarkBetween(const uint8_t* low, const uint8_t* high, int length, TRecordBitmap& bitmap);
  void MarkOutside(const uint8_t* low, const uint8_t* high, TRecordBitmap& bitmap);

  // ---- Changes ----
  void Insert(const uint8_t* key, uint32_t recNo);
  // 8961 (naming the index) when the key is not there.
  void Delete(const uint8_t* key);

 private:
  // Sets the bits of the records at positions first..last.
  void MarkPositions(int32_t first, int32_t last, TRecordBitmap& bitmap);
  // The page a descent enters at `depth`, checked against the count of the
  // parent entry it came through (expected < 0: the root).
  TPagePin Enter(uint32_t offset, uint32_t parent, int64_t expected, int depth);
  template <class TChoose>
  TDescent DescendBy(TChoose choose);
  void FixParentKeys(std::vector<TPathStep>& path, size_t level);
  void HandleOverflow(std::vector<TPathStep>& path, size_t level);
  void Rebalance(std::vector<TPathStep>& path, size_t level);
  void RemoveFromParent(std::vector<TPathStep>& path, size_t level);
  void UnlinkFromLevel(TPage& page);
  // The page linked at `offset` of the level, marked changed.
  void Relink(uint32_t offset, bool prior, uint32_t to);
  // 8965 for the file.
  [[noreturn]] void Corrupt() const;
  // Raises `code` naming the index.
  [[noreturn]] void Fail(uint16_t code) const;

  TIndexTreeStore& store_;
  uint8_t slot_;
};

}  // namespace tabula
