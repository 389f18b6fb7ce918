#pragma once
// TPagePool: the page buffers of an index file, one most-recently-used list
// per slot, found by page offset. TPagePin: the handle that keeps a buffered
// page in place while code reads or changes it.
//
// A pinned page is never reused for another offset and never dropped. Pins
// are handles, not counts kept by hand: a pin lets go when its handle goes
// (or on Release), exactly once, so unwinding from an error or a restart
// leaves no page pinned. The pool does no file I/O itself; eviction of a
// changed page calls the writer it is given.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/index_format.h"
#include "engine/index_page.h"

namespace tabula {

class TIndexFile;

class TPagePin {
 public:
  TPagePin() = default;
  ~TPagePin() { Release(); }
  TPagePin(TPagePin&& other) noexcept : page_(std::exchange(other.page_, nullptr)) {}
  TPagePin& operator=(TPagePin&& other) noexcept {
    if (this != &other) {
      Release();
      page_ = std::exchange(other.page_, nullptr);
    }
    return *this;
  }
  TPagePin(const TPagePin&) = delete;
  TPagePin& operator=(const TPagePin&) = delete;

  // Pins `page` (which the pool holds) once more.
  static TPagePin Of(TPage* page) {
    TPagePin pin;
    if (page) {
      ++page->Pins;
      pin.page_ = page;
    }
    return pin;
  }
  TPagePin Share() const { return Of(page_); }
  void Release() {
    if (page_) --page_->Pins;
    page_ = nullptr;
  }

  TPage* Get() const { return page_; }
  TPage* operator->() const { return page_; }
  TPage& operator*() const { return *page_; }
  explicit operator bool() const { return page_ != nullptr; }

 private:
  TPage* page_ = nullptr;
};

class TPagePool {
 public:
  static constexpr size_t kDefaultLimit = 31;  // page buffers per slot
  static constexpr size_t kGrowth = 64;        // added under the table lock instead of writing
  // For a read-only handle: nothing it holds is ever written, so a larger
  // set of expanded pages only saves reading and expanding them again. One
  // slot may hold them all, enough for every leaf of an index of a few
  // million keys, so that a walk in index order over a filter's records
  // finds each leaf still expanded; the handle's slots together hold no
  // more (about 24 MB at the most), and each slot may keep a share
  // whatever the others hold.
  static constexpr size_t kReadOnlyLimit = 4096;
  static constexpr size_t kReadOnlyTotal = 4096;
  static constexpr size_t kReadOnlyShare = 1024;
  // Writes a changed page that has to leave its buffer.
  using TWriter = std::function<void(TPage&)>;

  explicit TPagePool(TIndexFile* owner) : owner_(owner) {
    for (auto& list : lists_) list.Limit = kDefaultLimit;
  }

  // The limit of every list and the one it goes back to on Trim and Clear.
  void SetBaseLimit(size_t limit);
  size_t BaseLimit() const { return baseLimit_; }
  // Pages of all slots together (0: no bound but each list's limit). At
  // the bound a list below its share takes the least recent clean page of
  // the longest list when that holds more than its share; any other reuses
  // its own pages.
  void SetTotalLimit(size_t limit, size_t share) {
    totalLimit_ = limit;
    share_ = share;
  }

  // The buffered page at `offset` of a slot, pinned and made the most
  // recent; an empty pin when it is not buffered.
  TPagePin Find(uint8_t slot, uint32_t offset);
  // The buffered page at `offset`, unpinned and untouched; null when none.
  const TPage* Peek(uint8_t slot, uint32_t offset) const;
  // A reset, unregistered buffer at the front of the slot's list: a new one
  // while the list is below its limit, else the least recent unpinned clean
  // page, else (growInstead false) the least recent unpinned changed page
  // after `write`, else (growInstead true) a new one with the limit raised.
  // Null when every buffer is pinned and the list may not grow.
  TPage* Obtain(uint8_t slot, bool growInstead, const TWriter& write);
  // The page is known under `offset` from now on (it must be in the slot's list).
  void Register(uint8_t slot, TPage* page, uint32_t offset);

  // Unpinned changed pages with an offset, in no particular order.
  std::vector<TPage*> DirtyPages() const;
  // Every page forgets its contents (the files were changed by another
  // program); pinned ones stay allocated until their pins go.
  void Discard();
  // Lists back to the base limit, least recent unpinned pages first, their
  // changes written.
  void Trim(const TWriter& write);
  // Drops every buffer. No pin may be held.
  void Clear();

  size_t Count(uint8_t slot) const { return lists_[SlotIndex(slot)].Pages.size(); }
  size_t Limit(uint8_t slot) const { return lists_[SlotIndex(slot)].Limit; }

 private:
  struct TList {
    std::list<std::unique_ptr<TPage>> Pages;  // front = most recently used
    // Offset -> page, for every page of the list with a nonzero offset.
    std::unordered_map<uint32_t, std::list<std::unique_ptr<TPage>>::iterator> ByOffset;
    size_t Limit = kDefaultLimit;
  };
  void Forget(TList& list, TPage* page);

  TIndexFile* owner_;
  size_t baseLimit_ = kDefaultLimit;
  size_t totalLimit_ = 0;
  size_t share_ = 0;
  TList lists_[kIndexSlotCount];
};

}  // namespace tabula
