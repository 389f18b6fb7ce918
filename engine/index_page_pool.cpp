#include "engine/index_page_pool.h"

#include <algorithm>

namespace tabula {

void TPagePool::SetBaseLimit(size_t limit) {
  baseLimit_ = std::max<size_t>(limit, 1);
  for (auto& list : lists_) list.Limit = baseLimit_;
}

TPagePin TPagePool::Find(uint8_t slot, uint32_t offset) {
  TList& list = lists_[SlotIndex(slot)];
  auto known = list.ByOffset.find(offset);
  if (known == list.ByOffset.end()) return {};
  auto it = known->second;
  if ((*it)->Offset != offset) {
    list.ByOffset.erase(known);
    return {};
  }
  if (it != list.Pages.begin()) list.Pages.splice(list.Pages.begin(), list.Pages, it);
  return TPagePin::Of(it->get());
}

const TPage* TPagePool::Peek(uint8_t slot, uint32_t offset) const {
  const TList& list = lists_[SlotIndex(slot)];
  auto known = list.ByOffset.find(offset);
  return known == list.ByOffset.end() ? nullptr : known->second->get();
}

void TPagePool::Forget(TList& list, TPage* page) {
  if (page->Offset != 0) {
    auto known = list.ByOffset.find(page->Offset);
    if (known != list.ByOffset.end() && known->second->get() == page) list.ByOffset.erase(known);
  }
  const uint16_t pins = page->Pins;
  page->Reset();
  page->Pins = pins;
}

TPage* TPagePool::Obtain(uint8_t slot, bool growInstead, const TWriter& write) {
  TList& list = lists_[SlotIndex(slot)];
  auto fresh = [&] {
    list.Pages.push_front(std::make_unique<TPage>(owner_));
    return list.Pages.front().get();
  };
  // At the bound of all slots together, a list below its share takes the
  // least recent clean page of the longest list when that holds more than
  // its share; any other reuses its own. A list walked over and over in
  // the same order (an index walked for a filter's records) keeps all its
  // pages while the others stay within their shares.
  bool ownOnly = false;
  if (list.Pages.size() < list.Limit && totalLimit_ != 0) {
    size_t total = 0;
    TList* longest = &list;
    for (TList& other : lists_) {
      total += other.Pages.size();
      if (other.Pages.size() > longest->Pages.size()) longest = &other;
    }
    if (total >= totalLimit_) {
      ownOnly = list.Pages.size() >= share_ || longest->Pages.size() <= share_;
      for (auto it = longest->Pages.end(); !ownOnly && it != longest->Pages.begin();) {
        --it;
        if ((*it)->Dirty || (*it)->Pins != 0) continue;
        TPage* page = it->get();
        Forget(*longest, page);
        list.Pages.splice(list.Pages.begin(), longest->Pages, it);
        return page;
      }
    }
  }
  if (list.Pages.size() < list.Limit && !ownOnly) return fresh();
  auto reuse = [&](std::list<std::unique_ptr<TPage>>::iterator it) {
    TPage* page = it->get();
    Forget(list, page);
    list.Pages.splice(list.Pages.begin(), list.Pages, it);
    return page;
  };
  for (auto it = list.Pages.end(); it != list.Pages.begin();) {
    --it;
    if (!(*it)->Dirty && (*it)->Pins == 0) return reuse(it);
  }
  if (ownOnly) return fresh();  // every page of its own is in use: past the bound for now
  if (growInstead) {
    list.Limit += kGrowth;
    return fresh();
  }
  for (auto it = list.Pages.end(); it != list.Pages.begin();) {
    --it;
    if ((*it)->Dirty && (*it)->Pins == 0) {
      write(**it);
      return reuse(it);
    }
  }
  return nullptr;
}

void TPagePool::Register(uint8_t slot, TPage* page, uint32_t offset) {
  TList& list = lists_[SlotIndex(slot)];
  if (page->Offset != 0 && page->Offset != offset) {
    auto old = list.ByOffset.find(page->Offset);
    if (old != list.ByOffset.end() && old->second->get() == page) list.ByOffset.erase(old);
  }
  page->Offset = offset;
  auto known = list.ByOffset.find(offset);
  if (known != list.ByOffset.end()) {
    if (known->second->get() == page) return;
    // A stale buffer of the same offset gives way to the new one.
    TPage* stale = known->second->get();
    list.ByOffset.erase(known);
    Forget(list, stale);
  }
  // Pages are registered as they are obtained, at the front of the list.
  auto it = list.Pages.begin();
  if (it == list.Pages.end() || it->get() != page)
    it = std::find_if(list.Pages.begin(), list.Pages.end(), [page](const auto& p) { return p.get() == page; });
  if (it != list.Pages.end()) list.ByOffset.emplace(offset, it);
}

std::vector<TPage*> TPagePool::DirtyPages() const {
  std::vector<TPage*> dirty;
  for (const auto& list : lists_)
    for (const auto& p : list.Pages)
      if (p->Dirty && p->Pins == 0 && p->Offset != 0) dirty.push_back(p.get());
  return dirty;
}

void TPagePool::Discard() {
  for (auto& list : lists_) {
    list.ByOffset.clear();
    for (auto& p : list.Pages) {
      const uint16_t pins = p->Pins;
      p->Reset();
      p->Pins = pins;
    }
  }
}

void TPagePool::Trim(const TWriter& write) {
  for (auto& list : lists_) {
    for (auto it = list.Pages.end(); list.Pages.size() > baseLimit_ && it != list.Pages.begin();) {
      --it;
      TPage* page = it->get();
      if (page->Pins != 0) continue;
      // Changes still buffered are written rather than lost.
      if (page->Dirty && page->Offset != 0) write(*page);
      Forget(list, page);
      it = list.Pages.erase(it);
    }
    list.Limit = baseLimit_;
  }
}

void TPagePool::Clear() {
  for (auto& list : lists_) {
    list.ByOffset.clear();
    list.Pages.clear();
    list.Limit = baseLimit_;
  }
}

}  // namespace tabula
