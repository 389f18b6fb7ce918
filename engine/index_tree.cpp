#include "engine/index_tree.h"

#include <algorithm>
#include <cstring>

#include "tabula/engine_error.h"
#include "engine/index_bitmap.h"

namespace tabula {

namespace {
constexpr int kMaxDepth = 32;
}  // namespace

void TIndexTree::Corrupt() const { RaiseEngineError(kErrIndexPagesCorrupt, store_.TreeFileName()); }

void TIndexTree::Fail(uint16_t code) const {
  RaiseEngineError(code, store_.TreeFileName(), {}, {}, store_.TreeIndexName(slot_));
}

// ---------------------------------------------------------------- descents

// Every descent checks that each page it enters holds as many keys as the
// parent entry it came through counts (the root is checked against the
// header by VerifyTotal). A page that lost entries, or counts that
// disagree with the pages below, stop the descent with 8965 instead of
// leaving keys out of walks and positions.
TPagePin TIndexTree::Enter(uint32_t offset, uint32_t parent, int64_t expected, int depth) {
  if (depth > kMaxDepth) Corrupt();
  TPagePin page = store_.LoadTreePage(slot_, offset);
  page->ParentOffset = parent;
  if (page->Count() == 0 || (expected >= 0 && int64_t(page->TotalCount()) != expected)) Corrupt();
  return page;
}

TIndexTree::TDescent TIndexTree::Descend(const uint8_t* key, TSearchRule rule, int length) {
  TDescent d;
  uint32_t offset = store_.TreeDescriptor(slot_).RootPage;
  if (offset == 0) return d;
  int32_t count = 1;
  uint32_t parent = 0;
  int64_t expected = -1;  // keys below the page, as its parent entry counts them
  for (int depth = 0;; ++depth) {
    d.Path.push_back({Enter(offset, parent, expected, depth), 0});
    TPage* page = d.Path.back().Page.Get();
    const int n = page->Count();
    int lo = 0;
    int hi = n;
    while (lo < hi) {
      int mid = (lo + hi) / 2;
      if (Compare(page->Key(mid), key, length) < 0)
        lo = mid + 1;
      else
        hi = mid;
    }
    const bool eq = lo < n && Compare(page->Key(lo), key, length) == 0;
    if (!page->IsLeaf()) {
      int i = eq ? lo : lo - 1;
      if (i < 0) i = 0;
      count += static_cast<int32_t>(page->CountBefore(i));
      d.Path.back().Entry = i;
      page->EditPosition = i + 1;
      parent = offset;
      expected = page->Counts[static_cast<size_t>(i)];
      offset = page->Refs[static_cast<size_t>(i)];
      if (offset == 0) Corrupt();
      continue;
    }
    int pos = 0;
    switch (rule) {
      case TSearchRule::kExact: pos = std::min(lo, n - 1); break;
      case TSearchRule::kInsert: pos = lo; break;
      case TSearchRule::kFindNearest:
      case TSearchRule::kFirstInRange: pos = eq ? lo : (lo < n ? lo : n - 1); break;
      case TSearchRule::kFind:
      case TSearchRule::kLastInRange: pos = eq ? lo : (lo > 0 ? lo - 1 : 0); break;
    }
    d.Equal = eq;
    d.Path.back().Entry = pos;
    page->EditPosition = pos;
    page->ScanPosition = pos + 1;
    d.Position = count + pos;
    return d;
  }
}

// A descent that picks each page's entry with `choose` (which may raise
// 8965 for a page that cannot hold what it looks for).
template <class TChoose>
TIndexTree::TDescent TIndexTree::DescendBy(TChoose choose) {
  TDescent d;
  uint32_t offset = store_.TreeDescriptor(slot_).RootPage;
  if (offset == 0) return d;
  int32_t count = 1;
  uint32_t parent = 0;
  int64_t expected = -1;
  for (int depth = 0;; ++depth) {
    TPagePin pin = Enter(offset, parent, expected, depth);
    TPage* page = pin.Get();
    const int i = choose(*page);
    d.Path.push_back({std::move(pin), i});
    count += static_cast<int32_t>(page->CountBefore(i));
    if (page->IsLeaf()) {
      d.Position = count;
      d.Equal = true;
      return d;
    }
    parent = offset;
    expected = page->Counts[static_cast<size_t>(i)];
    offset = page->Refs[static_cast<size_t>(i)];
    if (offset == 0) Corrupt();
  }
}

TIndexTree::TDescent TIndexTree::DescendEdge(bool last) {
  return DescendBy([last](const TPage& page) { return last ? page.Count() - 1 : 0; });
}

TIndexTree::TDescent TIndexTree::DescendToPosition(int32_t position) {
  if (position < 1) return {};
  int64_t remaining = position;
  return DescendBy([&](const TPage& page) {
    const int n = page.Count();
    if (page.IsLeaf()) {
      // Node counts that disagree with the leaves are a damaged tree.
      if (remaining > n) Corrupt();
      return static_cast<int>(remaining - 1);
    }
    int i = 0;
    while (i < n && remaining > static_cast<int64_t>(page.Counts[static_cast<size_t>(i)])) {
      remaining -= page.Counts[static_cast<size_t>(i)];
      ++i;
    }
    if (i == n) Corrupt();
    return i;
  });
}

TIndexTree::TLeafPlace TIndexTree::PlaceOf(TDescent&& d) {
  TLeafPlace place;
  if (d.Path.empty()) return place;
  place.Page = std::move(d.Path.back().Page);
  place.Entry = d.Path.back().Entry;
  place.Position = d.Position;
  d.Path.clear();
  return place;
}

// ---------------------------------------------------------------- the leaf level

// Walks along the leaf level are bounded by what the tree says it holds:
// a step is taken only to a page that links back to the one left, never
// past the tree's key total, and the level may end only after the last of
// those keys. A damaged chain (a link to the page itself, to an earlier
// page, a link of 0 in the middle of the level, counts that disagree with
// the leaves) stops the walk with 8965 instead of looping or ending early.
// StepBack mirrors StepForward with the links and ends swapped.
bool TIndexTree::StepForward(TLeafPlace& place) {
  if (place.Entry + 1 < place.Page->Count()) {
    ++place.Entry;
    ++place.Position;
    return true;
  }
  const uint32_t next = place.Page->Header.NextPage;
  const int32_t total = RootTotal();
  if (next == 0) {
    if (place.Position != total) Corrupt();
    VerifyTotal();
    return false;
  }
  if (next == place.Page->Offset || place.Position >= total) Corrupt();
  TPagePin page = store_.LoadTreePage(slot_, next);
  if (page->Count() == 0 || !page->IsLeaf() || page->Header.PriorPage != place.Page->Offset) Corrupt();
  place.Page = std::move(page);
  place.Entry = 0;
  ++place.Position;
  return true;
}

bool TIndexTree::StepBack(TLeafPlace& place) {
  if (place.Entry > 0) {
    --place.Entry;
    --place.Position;
    return true;
  }
  const uint32_t prior = place.Page->Header.PriorPage;
  if (prior == 0) {
    if (place.Position != 1) Corrupt();
    return false;
  }
  if (prior == place.Page->Offset || place.Position <= 1) Corrupt();
  TPagePin page = store_.LoadTreePage(slot_, prior);
  if (page->Count() == 0 || !page->IsLeaf() || page->Header.NextPage != place.Page->Offset) Corrupt();
  place.Page = std::move(page);
  place.Entry = place.Page->Count() - 1;
  --place.Position;
  return true;
}

bool TIndexTree::StepForwardTo(TLeafPlace& place, const TRecordBitmap& wanted, int* leafBudget) {
  for (;;) {
    const std::vector<uint32_t>& refs = place.Page->Refs;
    const int count = static_cast<int>(refs.size());
    for (int e = place.Entry + 1; e < count; ++e) {
      if (wanted.Test(static_cast<int32_t>(refs[static_cast<size_t>(e)]))) {
        place.Position += e - place.Entry;
        place.Entry = e;
        return true;
      }
    }
    // On to the leaf's last entry, then into the next leaf.
    place.Position += count - 1 - place.Entry;
    place.Entry = count - 1;
    if (!StepForward(place)) return false;
    if (leafBudget != nullptr && --*leafBudget < 0) return false;
    if (wanted.Test(static_cast<int32_t>(place.Record()))) return true;
  }
}

bool TIndexTree::StepBackTo(TLeafPlace& place, const TRecordBitmap& wanted, int* leafBudget) {
  for (;;) {
    const std::vector<uint32_t>& refs = place.Page->Refs;
    for (int e = place.Entry - 1; e >= 0; --e) {
      if (wanted.Test(static_cast<int32_t>(refs[static_cast<size_t>(e)]))) {
        place.Position -= place.Entry - e;
        place.Entry = e;
        return true;
      }
    }
    place.Position -= place.Entry;
    place.Entry = 0;
    if (!StepBack(place)) return false;
    if (leafBudget != nullptr && --*leafBudget < 0) return false;
    if (wanted.Test(static_cast<int32_t>(place.Record()))) return true;
  }
}

int32_t TIndexTree::RootTotal() {
  uint32_t root = store_.TreeDescriptor(slot_).RootPage;
  if (root == 0) return 0;
  return static_cast<int32_t>(store_.LoadTreePage(slot_, root)->TotalCount());
}

void TIndexTree::VerifyTotal() {
  const int64_t expected = store_.UncheckedTreeTotal(slot_);
  if (expected < 0) return;
  if (RootTotal() != expected) Corrupt();
  store_.TreeTotalChecked(slot_);
}

// ---------------------------------------------------------------- counts and marks

int32_t TIndexTree::FirstPositionAtOrAbove(const uint8_t* key, int length) {
  TDescent d = Descend(key, TSearchRule::kFirstInRange, length);
  if (d.Path.empty()) return 0;
  int32_t pos = d.Position;
  const TPathStep& leaf = d.Path.back();
  if (Compare(leaf.Page->Key(leaf.Entry), key, length) < 0) {
    // Every key of the following leaves is above the key, so the next
    // entry's position follows without reading the next leaf.
    int32_t total = static_cast<int32_t>(d.Path.front().Page->TotalCount());
    pos = pos + 1 <= total ? pos + 1 : 0;
  }
  return pos;
}

int32_t TIndexTree::LastPositionAtOrBelow(const uint8_t* key, int length) {
  TDescent d = Descend(key, TSearchRule::kLastInRange, length);
  if (d.Path.empty()) return 0;
  int32_t pos = d.Position;
  const TPathStep& leaf = d.Path.back();
  if (Compare(leaf.Page->Key(leaf.Entry), key, length) > 0) pos = pos - 1;
  return pos > 0 ? pos : 0;
}

int32_t TIndexTree::FirstPositionAtOrAbove(const uint8_t* key) { return FirstPositionAtOrAbove(key, KeyLength()); }

int32_t TIndexTree::LastPositionAtOrBelow(const uint8_t* key) { return LastPositionAtOrBelow(key, KeyLength()); }

int32_t TIndexTree::CountBetween(const uint8_t* low, const uint8_t* high) {
  if (Empty() || Compare(low, high, KeyLength()) > 0) return 0;
  int32_t first = FirstPositionAtOrAbove(low);
  int32_t last = LastPositionAtOrBelow(high);
  return (first > 0 && last > 0 && last >= first) ? last - first + 1 : 0;
}

// The keys of a tree are unique (non-unique indexes end their keys with a
// suffix), so the keys between two bounds are the positions between the
// bound's descents: the bits are set from the leaves' references without
// comparing a key. The leaf walk keeps its chain checks, and a run the
// leaves cannot fill is a damaged tree.
void TIndexTree::MarkPositions(int32_t first, int32_t last, TRecordBitmap& bitmap) {
  if (first < 1 || last < first) return;
  TLeafPlace place = PlaceOf(DescendToPosition(first));
  if (!place.Page) return;
  int32_t remaining = last - first + 1;
  for (;;) {
    const TPage& page = *place.Page;
    const int take = static_cast<int>(std::min<int32_t>(remaining, page.Count() - place.Entry));
    const uint32_t* refs = page.Refs.data() + place.Entry;
    for (int i = 0; i < take; ++i) bitmap.Set(static_cast<int32_t>(refs[i]));
    remaining -= take;
    if (remaining == 0) return;
    place.Entry += take - 1;
    place.Position += take - 1;
    if (!StepForward(place)) Corrupt();
  }
}

void TIndexTree::MarkBetween(const uint8_t* low, const uint8_t* high, int length, TRecordBitmap& bitmap) {
  if (Empty() || Compare(low, high, length) > 0) return;
  MarkPositions(FirstPositionAtOrAbove(low, length), LastPositionAtOrBelow(high, length), bitmap);
}

void TIndexTree::MarkOutside(const uint8_t* low, const uint8_t* high, TRecordBitmap& bitmap) {
  if (Empty()) return;
  const int32_t total = RootTotal();
  const int32_t first = FirstPositionAtOrAbove(low);
  const int32_t last = LastPositionAtOrBelow(high);
  // Below low: everything before the first key at or above it (all keys
  // when none is); above high: everything after the last key at or below it.
  MarkPositions(1, first > 0 ? first - 1 : total, bitmap);
  MarkPositions(last + 1, total, bitmap);
}

// ---------------------------------------------------------------- changes

// The first key of path[level]'s page changed: carry it into the parent
// entries, upwards while the changed entry is the first of its page.
void TIndexTree::FixParentKeys(std::vector<TPathStep>& path, size_t level) {
  while (level > 0) {
    TPage* child = path[level].Page.Get();
    TPathStep& up = path[level - 1];
    if (child->Count() == 0) return;
    if (std::memcmp(up.Page->Key(up.Entry), child->Key(0), static_cast<size_t>(child->Layout.KeyLength)) == 0) return;
    up.Page->SetKey(up.Entry, child->Key(0));
    up.Page->Dirty = true;
    if (up.Entry != 0) return;
    --level;
  }
}

void TIndexTree::Relink(uint32_t offset, bool prior, uint32_t to) {
  TPagePin page = store_.LoadTreePage(slot_, offset);
  (prior ? page->Header.PriorPage : page->Header.NextPage) = to;
  page->Dirty = true;
}

void TIndexTree::HandleOverflow(std::vector<TPathStep>& path, size_t level) {
  TPage* page = path[level].Page.Get();
  if (!page->Overflows()) return;
  const bool wasRoot = page->IsRoot();
  const bool leaf = page->IsLeaf();
  TPagePin right = store_.AllocateTreePage(slot_);
  const int count = page->Count();
  const int move = count / 2;
  page->MoveTailTo(count - move, *right);
  page->Header.PageType = leaf ? kPageLeaf : kPageNode;
  right->Header.PageType = leaf ? kPageLeaf : kPageNode;
  page->RecomputePacked();
  right->RecomputePacked();
  if (page->IsCompressedLeaf()) {
    // Entries cross the boundary one at a time until both halves fit.
    const int total = page->Count() + right->Count();
    for (int guard = 0; page->Overflows() || right->Overflows(); ++guard) {
      if (guard > total || (page->Count() <= 1 && page->Overflows()) || (right->Count() <= 1 && right->Overflows()))
        Corrupt();
      if (page->Overflows())
        page->MoveTailTo(page->Count() - 1, *right);
      else
        right->MoveHeadTo(1, *page);
      page->RecomputePacked();
      right->RecomputePacked();
    }
  }
  // Link the new page after the old one on its level.
  right->Header.NextPage = page->Header.NextPage;
  right->Header.PriorPage = page->Offset;
  if (page->Header.NextPage != 0) Relink(page->Header.NextPage, true, right->Offset);
  page->Header.NextPage = right->Offset;
  right->ParentOffset = page->ParentOffset;
  page->Dirty = true;
  right->Dirty = true;
  if (wasRoot) {
    TPagePin root = store_.AllocateTreePage(slot_);
    root->Header.PageType = kPageRootNode;
    root->InsertEntry(0, page->Key(0), page->Offset, page->TotalCount());
    root->InsertEntry(1, right->Key(0), right->Offset, right->TotalCount());
    root->Dirty = true;
    page->Header.PriorPage = 0;
    right->Header.NextPage = 0;
    page->ParentOffset = right->ParentOffset = root->Offset;
    store_.SetTreeRoot(slot_, root->Offset);
    return;
  }
  if (level == 0) Corrupt();
  TPathStep& up = path[level - 1];
  up.Page->Counts[static_cast<size_t>(up.Entry)] = page->TotalCount();
  up.Page->InsertEntry(up.Entry + 1, right->Key(0), right->Offset, right->TotalCount());
  up.Page->Dirty = true;
  right.Release();
  HandleOverflow(path, level - 1);
}

void TIndexTree::Insert(const uint8_t* key, uint32_t recNo) {
  const TIndexDescriptor& d = store_.TreeDescriptor(slot_);
  if (d.KeyLength < 1 || d.KeyLength > kKeyBufferSize || NodeCapacity(d.KeyLength) < 2)
    Fail(kErrKeySize);
  store_.TreeChanged();
  if (d.RootPage == 0) {
    TPagePin page = store_.AllocateTreePage(slot_);
    page->Header.PageType = kPageRootLeaf;
    page->InsertEntry(0, key, recNo, 1);
    page->RecomputePacked();
    page->Dirty = true;
    store_.SetTreeRoot(slot_, page->Offset);
    return;
  }
  TDescent descent = Descend(key, TSearchRule::kInsert, d.KeyLength);
  std::vector<TPathStep>& path = descent.Path;
  if (path.empty()) Corrupt();
  for (size_t i = 0; i + 1 < path.size(); ++i) {
    ++path[i].Page->Counts[static_cast<size_t>(path[i].Entry)];
    path[i].Page->Dirty = true;
  }
  const size_t leafLevel = path.size() - 1;
  TPage* leaf = path[leafLevel].Page.Get();
  const int pos = path[leafLevel].Entry;
  leaf->InsertEntryPacked(pos, key, recNo);
  leaf->Dirty = true;
  if (pos == 0) FixParentKeys(path, leafLevel);
  HandleOverflow(path, leafLevel);
  store_.TreeChanged();
}

void TIndexTree::UnlinkFromLevel(TPage& page) {
  if (page.Header.PriorPage != 0) Relink(page.Header.PriorPage, false, page.Header.NextPage);
  if (page.Header.NextPage != 0) Relink(page.Header.NextPage, true, page.Header.PriorPage);
}

void TIndexTree::RemoveFromParent(std::vector<TPathStep>& path, size_t level) {
  if (level == 0) Corrupt();
  TPathStep& up = path[level - 1];
  up.Page->RemoveEntry(up.Entry);
  up.Page->Dirty = true;
  if (up.Entry == 0 && up.Page->Count() > 0) FixParentKeys(path, level - 1);
  Rebalance(path, level - 1);
}

void TIndexTree::Rebalance(std::vector<TPathStep>& path, size_t level) {
  TPage* page = path[level].Page.Get();
  if (page->IsRoot()) {
    if (page->Header.PageType == kPageRootNode && page->Count() == 1) {
      TPagePin child = store_.LoadTreePage(slot_, page->Refs[0]);
      child->Header.PageType = child->IsLeaf() ? kPageRootLeaf : kPageRootNode;
      child->Header.PriorPage = 0;
      child->Header.NextPage = 0;
      child->ParentOffset = 0;
      child->Dirty = true;
      store_.SetTreeRoot(slot_, child->Offset);
      store_.FreeTreePage(slot_, *page);
    } else if (page->Count() == 0) {
      store_.FreeTreePage(slot_, *page);
      store_.SetTreeRoot(slot_, 0);
    }
    return;
  }
  if (page->IsCompressedLeaf()) {
    // Compressed leaves are only taken out when they become empty.
    if (page->Count() > 0) return;
    UnlinkFromLevel(*page);
    store_.FreeTreePage(slot_, *page);
    RemoveFromParent(path, level);
    return;
  }
  const int capacity = page->Capacity();
  if (page->Count() >= capacity / 2) return;
  if (level == 0) Corrupt();
  TPathStep& up = path[level - 1];
  TPage* parent = up.Page.Get();
  const int idx = up.Entry;
  const bool partnerIsPrior = idx > 0;
  if (!partnerIsPrior && parent->Count() < 2) {
    // An only child: nothing to merge with here; an empty one goes.
    if (page->Count() == 0) {
      UnlinkFromLevel(*page);
      store_.FreeTreePage(slot_, *page);
      RemoveFromParent(path, level);
    }
    return;
  }
  const int partnerIdx = partnerIsPrior ? idx - 1 : idx + 1;
  TPagePin partner = store_.LoadTreePage(slot_, parent->Refs[static_cast<size_t>(partnerIdx)]);
  if (partner->IsLeaf() != page->IsLeaf()) Corrupt();
  if (page->Count() + partner->Count() < capacity) {
    if (partnerIsPrior) {
      page->MoveHeadTo(page->Count(), *partner);
      partner->Header.NextPage = page->Header.NextPage;
      if (page->Header.NextPage != 0) Relink(page->Header.NextPage, true, partner->Offset);
    } else {
      page->MoveTailTo(0, *partner);
      partner->Header.PriorPage = page->Header.PriorPage;
      if (page->Header.PriorPage != 0) Relink(page->Header.PriorPage, false, partner->Offset);
      parent->SetKey(partnerIdx, partner->Key(0));
    }
    parent->Counts[static_cast<size_t>(partnerIdx)] = partner->TotalCount();
    partner->Dirty = true;
    parent->Dirty = true;
    store_.FreeTreePage(slot_, *page);
    partner.Release();
    RemoveFromParent(path, level);
    return;
  }
  // Redistribute: the left page takes the larger half when the partner is
  // the prior page, the smaller one when it is the next page.
  TPage* left = partnerIsPrior ? partner.Get() : page;
  TPage* right = partnerIsPrior ? page : partner.Get();
  const int leftIdx = partnerIsPrior ? partnerIdx : idx;
  const int total = left->Count() + right->Count();
  const int leftWant = partnerIsPrior ? (total + 1) / 2 : total / 2;
  if (left->Count() > leftWant)
    left->MoveTailTo(leftWant, *right);
  else if (left->Count() < leftWant)
    right->MoveHeadTo(leftWant - left->Count(), *left);
  parent->Counts[static_cast<size_t>(leftIdx)] = left->TotalCount();
  parent->Counts[static_cast<size_t>(leftIdx + 1)] = right->TotalCount();
  parent->SetKey(leftIdx, left->Key(0));
  parent->SetKey(leftIdx + 1, right->Key(0));
  left->Dirty = true;
  right->Dirty = true;
  parent->Dirty = true;
  partner.Release();
  if (leftIdx == 0) FixParentKeys(path, level - 1);
}

void TIndexTree::Delete(const uint8_t* key) {
  TDescent descent = Descend(key, TSearchRule::kExact, KeyLength());
  if (!descent.Equal) {
    descent.Path.clear();
    Fail(kErrKeyNotFound);
  }
  store_.TreeChanged();
  std::vector<TPathStep>& path = descent.Path;
  for (size_t i = 0; i + 1 < path.size(); ++i) {
    uint32_t& c = path[i].Page->Counts[static_cast<size_t>(path[i].Entry)];
    if (c == 0) Corrupt();
    --c;
    path[i].Page->Dirty = true;
  }
  const size_t leafLevel = path.size() - 1;
  TPage* leaf = path[leafLevel].Page.Get();
  const int pos = path[leafLevel].Entry;
  leaf->RemoveEntryPacked(pos);
  leaf->Dirty = true;
  if (leaf->Count() > 0 && pos == 0) FixParentKeys(path, leafLevel);
  Rebalance(path, leafLevel);
  store_.TreeChanged();
}

}  // namespace tabula
