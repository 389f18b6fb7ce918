// TIndexFile: the cursor over the current index, key search, ranges,
// counting and the record bitmaps of bitmap mode.
//
// Every public operation runs through Restartable: a page load that finds
// the files changed by another program throws TRestart (the buffered pages
// are gone by then), and the outermost operation starts again from the
// root. Pins taken during an operation are dropped when the outermost one
// ends; only the cursor's page stays pinned.

#include <algorithm>
#include <cstring>

#include "engine/engine_error.h"
#include "engine/filter_list.h"
#include "engine/index_file.h"

namespace tabula {

namespace {
constexpr int kMaxRestarts = 10000;
constexpr int kMaxDepth = 32;
}  // namespace

void TIndexFile::Restartable(const std::function<void()>& body) {
  struct TDepth {
    TIndexFile* File;
    ~TDepth() {
      if (--File->opDepth_ == 0) File->EndOperation();
    }
  };
  ++opDepth_;
  TDepth depth{this};
  for (int attempt = 0;; ++attempt) {
    try {
      body();
      return;
    } catch (const TRestart&) {
      // Only the outermost operation starts again: inner ones may be
      // holding pages that are gone.
      if (opDepth_ > 1) throw;
      if (attempt >= kMaxRestarts) RaiseEngineError(kErrLockFailure, FileName());
      UnpinPages();
    }
  }
}

void TIndexFile::EndOperation() {
  UnpinPages();
  if (cursor_.Page && cursor_.Page->Offset == cursor_.PageOffset && cursor_.Page->Offset != 0)
    Pin(cursor_.Page);
  else
    cursor_.Page = nullptr;
}

void TIndexFile::ResetCursorState() {
  cursor_ = TCursor{};
}

void TIndexFile::MarkEmpty() {
  if (cursor_.Page) ReleasePage(cursor_.Page);
  cursor_.Page = nullptr;
  cursor_.Empty = true;
  cursor_.Position = 0;
  cursor_.Bof = cursor_.Eof = true;
  cursor_.PhysicalRecord = 0;
  cursor_.Record = 0;
  cursor_.Key.clear();
  cursor_.PageOffset = 0;
}

void TIndexFile::SetCursorFlags(bool bof, bool eof) {
  if (cursor_.Empty) return;
  cursor_.Bof = bof;
  cursor_.Eof = eof;
}

bool TIndexFile::CursorWithinRange() const {
  if (cursor_.Empty) return false;
  if (physical_ || !rangeActive_ || cursor_.Key.empty()) return true;
  return CompareRange(cursor_.Key.data(), false) >= 0 && CompareRange(cursor_.Key.data(), true) <= 0;
}

int TIndexFile::CompareRange(const uint8_t* key, bool end) const {
  return CompareInSlot(slot_, key, end ? rangeEnd_.data() : rangeStart_.data(),
                       DescriptorOf(slot_).KeyLength);
}

// ---------------------------------------------------------------- descents

// Every descent checks that each page it enters holds as many keys as the
// parent entry it came through counts (expected < 0: the root, checked
// against the header by VerifyTreeTotal). A page that lost entries, or
// counts that disagree with the pages below, stop the descent with 8965
// instead of leaving keys out of walks and positions.
bool TIndexFile::SubtreeMatches(const TPage* page, int64_t expected) {
  return expected < 0 || int64_t(page->TotalCount()) == expected;
}

TIndexFile::TDescent TIndexFile::Descend(uint8_t slot, const uint8_t* key, TSearchRule rule, int length) {
  TDescent d;
  uint32_t offset = DescriptorOf(slot).RootPage;
  if (offset == 0) return d;
  int32_t count = 1;
  uint32_t parent = 0;
  int64_t expected = -1;  // keys below the page, as its parent entry counts them
  for (int depth = 0;; ++depth) {
    if (depth > kMaxDepth) Corrupt();
    TPage* page = GetPageInSlot(slot, offset, false);
    d.Path.push_back({page, 0});
    page->ParentOffset = parent;
    const int n = page->Count();
    if (n == 0 || !SubtreeMatches(page, expected)) Corrupt();
    int lo = 0;
    int hi = n;
    while (lo < hi) {
      int mid = (lo + hi) / 2;
      if (CompareInSlot(slot, page->Key(mid), key, length) < 0)
        lo = mid + 1;
      else
        hi = mid;
    }
    const bool eq = lo < n && CompareInSlot(slot, page->Key(lo), key, length) == 0;
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

TIndexFile::TDescent TIndexFile::DescendEdge(uint8_t slot, bool last) {
  TDescent d;
  uint32_t offset = DescriptorOf(slot).RootPage;
  if (offset == 0) return d;
  int32_t count = 1;
  uint32_t parent = 0;
  int64_t expected = -1;
  for (int depth = 0;; ++depth) {
    if (depth > kMaxDepth) Corrupt();
    TPage* page = GetPageInSlot(slot, offset, false);
    page->ParentOffset = parent;
    const int n = page->Count();
    if (n == 0 || !SubtreeMatches(page, expected)) {
      ReleasePage(page);
      Corrupt();
    }
    const int i = last ? n - 1 : 0;
    d.Path.push_back({page, i});
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

TIndexFile::TDescent TIndexFile::DescendToPosition(uint8_t slot, int32_t position) {
  TDescent d;
  uint32_t offset = DescriptorOf(slot).RootPage;
  if (offset == 0 || position < 1) return d;
  int64_t remaining = position;
  uint32_t parent = 0;
  int64_t expected = -1;
  for (int depth = 0;; ++depth) {
    if (depth > kMaxDepth) Corrupt();
    TPage* page = GetPageInSlot(slot, offset, false);
    page->ParentOffset = parent;
    const int n = page->Count();
    if (n == 0 || !SubtreeMatches(page, expected)) {
      ReleasePage(page);
      Corrupt();
    }
    if (page->IsLeaf()) {
      // Node counts that disagree with the leaves are a damaged tree.
      if (remaining > n) Corrupt();
      d.Path.push_back({page, static_cast<int>(remaining - 1)});
      d.Position = position;
      d.Equal = true;
      return d;
    }
    int i = 0;
    while (i < n && remaining > static_cast<int64_t>(page->Counts[static_cast<size_t>(i)])) {
      remaining -= page->Counts[static_cast<size_t>(i)];
      ++i;
    }
    if (i == n) Corrupt();
    d.Path.push_back({page, i});
    parent = offset;
    expected = page->Counts[static_cast<size_t>(i)];
    offset = page->Refs[static_cast<size_t>(i)];
    if (offset == 0) Corrupt();
  }
}

void TIndexFile::ReleaseDescent(TDescent& d, bool keepLeaf) {
  for (size_t i = 0; i < d.Path.size(); ++i)
    if (!(keepLeaf && i + 1 == d.Path.size())) ReleasePage(d.Path[i].Page);
  d.Path.clear();
}

TIndexFile::TLeafPlace TIndexFile::PlaceOf(TDescent& d) {
  TLeafPlace place;
  if (d.Path.empty()) return place;
  place.Page = d.Path.back().Page;
  place.Entry = d.Path.back().Entry;
  place.Position = d.Position;
  ReleaseDescent(d, true);
  return place;
}

// Walks along the leaf level are bounded by what the tree says it holds:
// a step is taken only to a page that links back to the one left, never
// past the tree's key total, and the level may end only after the last of
// those keys. A damaged chain (a link to the page itself, to an earlier
// page, a link of 0 in the middle of the level, counts that disagree with
// the leaves) stops the walk with 8965 instead of looping or ending early.
bool TIndexFile::StepForward(uint8_t slot, TLeafPlace& place) {
  if (place.Entry + 1 < place.Page->Count()) {
    ++place.Entry;
    ++place.Position;
    return true;
  }
  const uint32_t next = place.Page->Header.NextPage;
  const int32_t total = RootTotal(slot);
  if (next == 0) {
    if (place.Position != total) Corrupt();
    VerifyTreeTotal(slot);
    return false;
  }
  if (next == place.Page->Offset || place.Position >= total) Corrupt();
  TPage* page = GetPageInSlot(slot, next, false);
  if (page->Count() == 0 || !page->IsLeaf() || page->Header.PriorPage != place.Page->Offset) {
    ReleasePage(page);
    Corrupt();
  }
  ReleasePage(place.Page);
  place.Page = page;
  place.Entry = 0;
  ++place.Position;
  return true;
}

bool TIndexFile::StepBack(uint8_t slot, TLeafPlace& place) {
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
  TPage* page = GetPageInSlot(slot, prior, false);
  if (page->Count() == 0 || !page->IsLeaf() || page->Header.NextPage != place.Page->Offset) {
    ReleasePage(page);
    Corrupt();
  }
  ReleasePage(place.Page);
  place.Page = page;
  place.Entry = page->Count() - 1;
  --place.Position;
  return true;
}

void TIndexFile::TakePlace(const TLeafPlace& place) {
  if (cursor_.Page) ReleasePage(cursor_.Page);
  TPage* page = place.Page;
  cursor_.Page = page;
  cursor_.PageOffset = page->Offset;
  cursor_.Entry = place.Entry;
  cursor_.Position = place.Position;
  cursor_.Record = page->Refs[static_cast<size_t>(place.Entry)];
  cursor_.Key.assign(page->Key(place.Entry), page->Key(place.Entry) + page->Layout.KeyLength);
  cursor_.Generation = generation_;
  cursor_.Empty = false;
  cursor_.PhysicalRecord = 0;
  page->ScanPosition = place.Entry + 1;
}

TIndexFile::TWhere TIndexFile::LocateCursor(TLeafPlace& place) {
  if (cursor_.Empty || cursor_.Key.empty()) return TWhere::kNone;
  TPage* p = cursor_.Page;
  const int length = DescriptorOf(slot_).KeyLength;
  if (static_cast<int>(cursor_.Key.size()) != length) return TWhere::kNone;
  if (p && p->Offset == cursor_.PageOffset && cursor_.Generation == generation_ && p->Layout.Slot == slot_ &&
      cursor_.Entry < p->Count() && p->Refs[static_cast<size_t>(cursor_.Entry)] == cursor_.Record &&
      std::memcmp(p->Key(cursor_.Entry), cursor_.Key.data(), static_cast<size_t>(length)) == 0) {
    Pin(p);
    place = TLeafPlace{p, cursor_.Entry, cursor_.Position};
    return TWhere::kOn;
  }
  // The tree changed since the cursor was placed: find its key again.
  TDescent d = Descend(slot_, cursor_.Key.data(), TSearchRule::kFindNearest, length);
  if (d.Path.empty()) return TWhere::kNone;
  bool equal = d.Equal;
  place = PlaceOf(d);
  if (equal) {
    TakePlace(place);
    Pin(place.Page);
    return TWhere::kOn;
  }
  if (CompareInSlot(slot_, place.Page->Key(place.Entry), cursor_.Key.data(), length) > 0) return TWhere::kAfter;
  if (StepForward(slot_, place)) return TWhere::kAfter;
  return TWhere::kBefore;
}

bool TIndexFile::SeekVisibleForward(TLeafPlace& place) {
  while (!visible_.Test(static_cast<int32_t>(place.Page->Refs[static_cast<size_t>(place.Entry)])))
    if (!StepForward(slot_, place)) return false;
  return true;
}

bool TIndexFile::SeekVisibleBackward(TLeafPlace& place) {
  while (!visible_.Test(static_cast<int32_t>(place.Page->Refs[static_cast<size_t>(place.Entry)])))
    if (!StepBack(slot_, place)) return false;
  return true;
}

bool TIndexFile::RangeFixup(TLeafPlace& place) {
  auto key = [&] { return place.Page->Key(place.Entry); };
  if (CompareRange(key(), false) < 0) {
    if (!StepForward(slot_, place)) return false;
    return CompareRange(key(), false) >= 0 && CompareRange(key(), true) <= 0;
  }
  if (CompareRange(key(), true) > 0) {
    if (!StepBack(slot_, place)) return false;
    return CompareRange(key(), true) <= 0 && CompareRange(key(), false) >= 0;
  }
  return true;
}

int32_t TIndexFile::RootTotal(uint8_t slot) {
  uint32_t root = DescriptorOf(slot).RootPage;
  if (root == 0) return 0;
  TPage* page = GetPageInSlot(slot, root, false);
  int32_t total = static_cast<int32_t>(page->TotalCount());
  ReleasePage(page);
  return total;
}

void TIndexFile::VerifyTreeTotal(uint8_t slot) {
  slot &= 31;
  if (totalVerified_[slot] == generation_ || !SlotKeepsKeys(slot)) return;
  if (slot != kSysDeletedSlot && DescriptorOf(slot).IsEmpty()) return;  // no index in this slot
  // A kept index holds a key for every live record; "Sys Deleted" one for
  // every record slot.
  int64_t expected = header_.LiveRecordCount;
  if (slot == kSysDeletedSlot) expected = owner_ ? owner_->RecordSlotCount() : -1;
  if (expected >= 0 && RootTotal(slot) != expected) Corrupt();
  totalVerified_[slot] = generation_;
}

int32_t TIndexFile::FirstPositionAtOrAbove(uint8_t slot, const uint8_t* key) {
  const int length = DescriptorOf(slot).KeyLength;
  TDescent d = Descend(slot, key, TSearchRule::kFirstInRange, length);
  if (d.Path.empty()) return 0;
  int32_t pos = d.Position;
  const TPathStep& leaf = d.Path.back();
  if (CompareInSlot(slot, leaf.Page->Key(leaf.Entry), key, length) < 0) {
    // Every key of the following leaves is above the key, so the next
    // entry's position follows without reading the next leaf.
    int32_t total = static_cast<int32_t>(d.Path.front().Page->TotalCount());
    pos = pos + 1 <= total ? pos + 1 : 0;
  }
  ReleaseDescent(d, false);
  return pos;
}

int32_t TIndexFile::LastPositionAtOrBelow(uint8_t slot, const uint8_t* key) {
  const int length = DescriptorOf(slot).KeyLength;
  TDescent d = Descend(slot, key, TSearchRule::kLastInRange, length);
  if (d.Path.empty()) return 0;
  int32_t pos = d.Position;
  const TPathStep& leaf = d.Path.back();
  if (CompareInSlot(slot, leaf.Page->Key(leaf.Entry), key, length) > 0) pos = pos - 1;
  ReleaseDescent(d, false);
  return pos > 0 ? pos : 0;
}

// ---------------------------------------------------------------- counts

int32_t TIndexFile::CountInternal() {
  if (bitmapMode_) return visibleCount_;
  VerifyTreeTotal(slot_);
  if (!rangeActive_) return header_.LiveRecordCount;
  EnsureRangeBounds();
  return (rangeFirst_ > 0 && rangeLast_ > 0) ? std::max(0, rangeLast_ - rangeFirst_ + 1) : 0;
}

int32_t TIndexFile::CursorRecordCount() {
  int32_t result = 0;
  Restartable([&] { result = CountInternal(); });
  return result;
}

void TIndexFile::EnsureRangeBounds() {
  if (rangeActive_ && !physical_ && boundsGeneration_ != generation_) ComputeBoundsOnly();
}

void TIndexFile::ComputeBoundsOnly() {
  if (computingBounds_) return;
  computingBounds_ = true;
  struct TGuard {
    bool& Flag;
    ~TGuard() { Flag = false; }
  } guard{computingBounds_};
  if (!rangeActive_ || physical_) {
    rangeFirst_ = 1;
    rangeLast_ = header_.LiveRecordCount;
  } else if (DescriptorOf(slot_).RootPage == 0 ||
             CompareInSlot(slot_, rangeStart_.data(), rangeEnd_.data(), DescriptorOf(slot_).KeyLength) >
                 0) {
    rangeFirst_ = rangeLast_ = 0;
  } else {
    rangeFirst_ = FirstPositionAtOrAbove(slot_, rangeStart_.data());
    rangeLast_ = LastPositionAtOrBelow(slot_, rangeEnd_.data());
  }
  boundsGeneration_ = generation_;
}

void TIndexFile::ComputeRangeBounds() {
  if (computingBounds_) return;
  Restartable([&] { ComputeBoundsOnly(); });
  if (bitmapMode_) RebuildBitmaps();
}

int32_t TIndexFile::CountKeysInSlot(uint8_t slot, const uint8_t* low, const uint8_t* high) {
  const TIndexDescriptor& d = DescriptorOf(slot);
  if (d.RootPage == 0 || CompareInSlot(slot, low, high, d.KeyLength) > 0) return 0;
  int32_t first = FirstPositionAtOrAbove(slot, low);
  int32_t last = LastPositionAtOrBelow(slot, high);
  return (first > 0 && last > 0 && last >= first) ? last - first + 1 : 0;
}

int32_t TIndexFile::CountKeysBetween(const uint8_t* low, const uint8_t* high) {
  if (physical_) return 0;
  int32_t result = 0;
  Restartable([&] { result = CountKeysInSlot(slot_, low, high); });
  return result;
}

void TIndexFile::MarkKeysBetweenRaw(uint8_t slot, const uint8_t* low, const uint8_t* high, int length,
                                    TRecordBitmap& bitmap) {
  if (CompareInSlot(slot, low, high, length) > 0) return;
  TDescent d = Descend(slot, low, TSearchRule::kFirstInRange, length);
  if (d.Path.empty()) return;
  TLeafPlace place = PlaceOf(d);
  if (CompareInSlot(slot, place.Page->Key(place.Entry), low, length) < 0 && !StepForward(slot, place)) {
    ReleasePage(place.Page);
    return;
  }
  while (CompareInSlot(slot, place.Page->Key(place.Entry), high, length) <= 0) {
    bitmap.Set(static_cast<int32_t>(place.Page->Refs[static_cast<size_t>(place.Entry)]));
    if (!StepForward(slot, place)) break;
  }
  ReleasePage(place.Page);
}

void TIndexFile::MarkKeysBetween(const uint8_t* low, const uint8_t* high, TRecordBitmap& bitmap) {
  if (bitmap.Empty()) bitmap.Reset(owner_ ? owner_->RecordSlotCount() : 0);
  bitmap.ClearAll();
  if (physical_) return;
  Restartable([&] {
    bitmap.ClearAll();
    MarkKeysBetweenRaw(slot_, low, high, DescriptorOf(slot_).KeyLength, bitmap);
  });
}

// Marks the keys of index `slot` below `low` and above `high`.
void TIndexFile::MarkOutside(uint8_t slot, const uint8_t* low, const uint8_t* high, TRecordBitmap& bitmap) {
  const int length = DescriptorOf(slot).KeyLength;
  TDescent d = DescendEdge(slot, false);
  if (d.Path.empty()) return;
  TLeafPlace place = PlaceOf(d);
  do {
    if (CompareInSlot(slot, place.Page->Key(place.Entry), low, length) >= 0) break;
    bitmap.Set(static_cast<int32_t>(place.Page->Refs[static_cast<size_t>(place.Entry)]));
  } while (StepForward(slot, place));
  ReleasePage(place.Page);
  d = Descend(slot, high, TSearchRule::kFirstInRange, length);
  if (d.Path.empty()) return;
  place = PlaceOf(d);
  bool more = true;
  while (more && CompareInSlot(slot, place.Page->Key(place.Entry), high, length) <= 0)
    more = StepForward(slot, place);
  while (more) {
    bitmap.Set(static_cast<int32_t>(place.Page->Refs[static_cast<size_t>(place.Entry)]));
    more = StepForward(slot, place);
  }
  ReleasePage(place.Page);
}

// ---------------------------------------------------------------- scans for filters

int32_t TIndexFile::CountKeysInIndex(uint8_t slot, const uint8_t* low, const uint8_t* high) {
  if (slot >= kIndexSlotCount || !SlotKeepsKeys(slot)) return 0;
  int32_t result = 0;
  Restartable([&] { result = CountKeysInSlot(slot, low, high); });
  return result;
}

void TIndexFile::MarkKeysInIndex(uint8_t slot, const uint8_t* low, const uint8_t* high, TRecordBitmap& bitmap) {
  if (bitmap.Empty()) bitmap.Reset(owner_ ? owner_->RecordSlotCount() : 0);
  bitmap.ClearAll();
  if (slot >= kIndexSlotCount || !SlotKeepsKeys(slot)) return;
  Restartable([&] {
    bitmap.ClearAll();
    MarkKeysBetweenRaw(slot, low, high, DescriptorOf(slot).KeyLength, bitmap);
  });
}

void TIndexFile::MarkKeysOutsideIndex(uint8_t slot, const uint8_t* low, const uint8_t* high,
                                      TRecordBitmap& bitmap) {
  if (bitmap.Empty()) bitmap.Reset(owner_ ? owner_->RecordSlotCount() : 0);
  bitmap.ClearAll();
  if (slot >= kIndexSlotCount || !SlotKeepsKeys(slot)) return;
  Restartable([&] {
    bitmap.ClearAll();
    MarkOutside(slot, low, high, bitmap);
  });
}

void TIndexFile::RestartRunningOperation() {
  if (opDepth_ > 0) throw TRestart();
}

// ---------------------------------------------------------------- bitmaps

void TIndexFile::UpdateBitmapMode() {
  bitmapMode_ = physical_ || (filterHook_ && filterHook_->AnyActive());
  if (bitmapMode_ && IsOpen()) RebuildBitmaps();
}

void TIndexFile::RebuildBitmaps() {
  if (!bitmapMode_ || rebuilding_) return;
  rebuilding_ = true;
  struct TGuard {
    bool& Flag;
    ~TGuard() { Flag = false; }
  } guard{rebuilding_};
  Restartable([&] {
    BuildRangeAndLive();
    const int32_t slots = live_.Slots();
    visible_.Reset(slots);
    const bool range = rangeActive_ && !physical_;
    if (filterHook_ && filterHook_->AnyActive()) {
      TRecordBitmap candidates = live_;
      if (range) candidates.And(rangeBitmap_);
      filterHook_->Rebuild(candidates);
    }
    CombineInternal();
  });
}

// The range bitmap (keys of the current index inside the active range) and
// the live bitmap (records not deleted), sized to the record slots.
void TIndexFile::BuildRangeAndLive() {
  const int32_t slots = owner_ ? owner_->RecordSlotCount() : 0;
  rangeBitmap_.Reset(slots);
  live_.Reset(slots);
  const bool range = rangeActive_ && !physical_;
  if (range) {
    ComputeBoundsOnly();
    int32_t inside = (rangeFirst_ > 0 && rangeLast_ > 0) ? std::max(0, rangeLast_ - rangeFirst_ + 1) : 0;
    if (inside > header_.LiveRecordCount / 2) {
      MarkOutside(slot_, rangeStart_.data(), rangeEnd_.data(), rangeBitmap_);
      rangeBitmap_.Invert();
    } else if (inside > 0) {
      MarkKeysBetweenRaw(slot_, rangeStart_.data(), rangeEnd_.data(), DescriptorOf(slot_).KeyLength,
                         rangeBitmap_);
    }
  }
  if (header_.NoPrimaryIndex != 0) {
    for (int32_t r = 1; r <= slots; ++r)
      if (!owner_ || owner_->RecordIsLive(r)) live_.Set(r);
  } else {
    uint8_t deletedLow[kSysDeletedKeyLength] = {1, 0, 0, 0, 0};
    uint8_t deletedHigh[kSysDeletedKeyLength] = {1, 0xFF, 0xFF, 0xFF, 0xFF};
    int32_t deleted = CountKeysInSlot(kSysDeletedSlot, deletedLow, deletedHigh);
    if (deleted < slots - deleted) {
      MarkKeysBetweenRaw(kSysDeletedSlot, deletedLow, deletedHigh, kSysDeletedKeyLength, live_);
      live_.Invert();
    } else {
      uint8_t liveLow[kSysDeletedKeyLength] = {0, 0, 0, 0, 0};
      uint8_t liveHigh[kSysDeletedKeyLength] = {0, 0xFF, 0xFF, 0xFF, 0xFF};
      MarkKeysBetweenRaw(kSysDeletedSlot, liveLow, liveHigh, kSysDeletedKeyLength, live_);
    }
  }
}

void TIndexFile::RefreshFilter(TFilter* handle) {
  const bool hadVisible = bitmapMode_ && !visible_.Empty();
  bitmapMode_ = physical_ || (filterHook_ && filterHook_->AnyActive());
  if (!bitmapMode_ || !IsOpen()) return;
  if (!hadVisible || handle == nullptr || filterHook_ != filterList_.get() || rebuilding_) {
    RebuildBitmaps();
    return;
  }
  rebuilding_ = true;
  struct TGuard {
    bool& Flag;
    ~TGuard() { Flag = false; }
  } guard{rebuilding_};
  Restartable([&] {
    BuildRangeAndLive();
    visible_.Reset(live_.Slots());
    TRecordBitmap candidates = live_;
    if (rangeActive_ && !physical_) candidates.And(rangeBitmap_);
    filterList_->Refresh(handle, candidates);
    CombineInternal();
  });
}

void TIndexFile::FiltersChanged() {
  const bool was = bitmapMode_ && !visible_.Empty();
  bitmapMode_ = physical_ || (filterHook_ && filterHook_->AnyActive());
  if (!bitmapMode_ || !IsOpen()) return;
  if (was && live_.Slots() == (owner_ ? owner_->RecordSlotCount() : 0))
    CombineBitmaps();
  else
    RebuildBitmaps();
}

void TIndexFile::CombineInternal() {
  visible_ = live_;
  if (rangeActive_ && !physical_) visible_.And(rangeBitmap_);
  if (filterHook_ && filterHook_->AnyActive()) filterHook_->Combine(visible_);
  visibleCount_ = visible_.CountSet();
}

void TIndexFile::CombineBitmaps() {
  if (!bitmapMode_ || rebuilding_) return;
  CombineInternal();
}

void TIndexFile::GrowBitmaps(int32_t recNo) {
  if (recNo <= live_.Slots()) return;
  rangeBitmap_.Grow(recNo);
  live_.Grow(recNo);
  visible_.Grow(recNo);
}

void TIndexFile::RecordWritten(int32_t recNo, const uint8_t* key) {
  if (!bitmapMode_ || recNo < 1) return;
  GrowBitmaps(recNo);
  if (rangeActive_ && !physical_) {
    if (key && CompareRange(key, false) >= 0 && CompareRange(key, true) <= 0)
      rangeBitmap_.Set(recNo);
    else
      rangeBitmap_.Clear(recNo);
  }
  live_.Set(recNo);
  if (filterHook_) filterHook_->RecordWritten(recNo);
  // Without a range or filters only this record's bit changes: no recount
  // of the whole bitmap per append.
  if (!(rangeActive_ && !physical_) && !(filterHook_ && filterHook_->AnyActive())) {
    if (!visible_.Test(recNo)) {
      visible_.Set(recNo);
      ++visibleCount_;
    }
    return;
  }
  CombineInternal();
}

void TIndexFile::RecordDeleted(int32_t recNo) {
  if (!bitmapMode_) return;
  rangeBitmap_.Clear(recNo);
  live_.Clear(recNo);
  if (filterHook_) filterHook_->RecordDeleted(recNo);
  if (visible_.Test(recNo)) {
    visible_.Clear(recNo);
    --visibleCount_;
  }
}

// ---------------------------------------------------------------- physical order

void TIndexFile::PhysicalResync(int32_t recNo) {
  int32_t r = visible_.NextSet(recNo < 1 ? 1 : recNo);
  if (r == 0) r = visible_.PriorSet(recNo - 1);
  if (r == 0) {
    MarkEmpty();
    return;
  }
  if (cursor_.Page) ReleasePage(cursor_.Page);
  cursor_.Page = nullptr;
  cursor_.Empty = false;
  cursor_.PhysicalRecord = r;
  cursor_.Bof = cursor_.Eof = false;
}

// ---------------------------------------------------------------- first, last, move

void TIndexFile::FirstKeyBody() {
  if (physical_) {
    int32_t r = CountInternal() == 0 ? 0 : visible_.NextSet(1);
    if (r == 0) {
      MarkEmpty();
      return;
    }
    PhysicalResync(r);
    cursor_.Position = 1;
    return;
  }
  if (CountInternal() == 0 || DescriptorOf(slot_).RootPage == 0) {
    MarkEmpty();
    return;
  }
  TLeafPlace place;
  if (rangeActive_) {
    TDescent d = Descend(slot_, rangeStart_.data(), TSearchRule::kFirstInRange, KeyLength());
    if (d.Path.empty()) return MarkEmpty();
    place = PlaceOf(d);
    if (!RangeFixup(place)) return MarkEmpty();
  } else {
    TDescent d = DescendEdge(slot_, false);
    place = PlaceOf(d);
  }
  if (bitmapMode_ && !SeekVisibleForward(place)) return MarkEmpty();
  TakePlace(place);
  cursor_.Bof = cursor_.Eof = false;
}

void TIndexFile::LastKeyBody() {
  if (physical_) {
    int32_t count = CountInternal();
    int32_t r = count == 0 ? 0 : visible_.PriorSet(visible_.Slots());
    if (r == 0) {
      MarkEmpty();
      return;
    }
    PhysicalResync(r);
    cursor_.Position = count;
    return;
  }
  if (CountInternal() == 0 || DescriptorOf(slot_).RootPage == 0) {
    MarkEmpty();
    return;
  }
  TLeafPlace place;
  if (rangeActive_) {
    TDescent d = Descend(slot_, rangeEnd_.data(), TSearchRule::kLastInRange, KeyLength());
    if (d.Path.empty()) return MarkEmpty();
    place = PlaceOf(d);
    if (!RangeFixup(place)) return MarkEmpty();
  } else {
    TDescent d = DescendEdge(slot_, true);
    place = PlaceOf(d);
  }
  if (bitmapMode_ && !SeekVisibleBackward(place)) return MarkEmpty();
  TakePlace(place);
  cursor_.Bof = cursor_.Eof = false;
}

void TIndexFile::FirstKey() {
  Restartable([&] { FirstKeyBody(); });
}

void TIndexFile::LastKey() {
  Restartable([&] { LastKeyBody(); });
}

void TIndexFile::MoveByBody(int32_t n) {
  if (n == 0) return;
  if (CountInternal() == 0 || cursor_.Empty) return MarkEmpty();
  const bool forward = n > 0;
  const int64_t steps = forward ? static_cast<int64_t>(n) : -static_cast<int64_t>(n);
  if (physical_) {
    int32_t r = cursor_.PhysicalRecord;
    bool hitEnd = false;
    for (int64_t i = 0; i < steps; ++i) {
      int32_t next = forward ? visible_.NextSet(r + 1) : visible_.PriorSet(r - 1);
      if (next == 0) {
        hitEnd = true;
        break;
      }
      r = next;
      cursor_.Position += forward ? 1 : -1;
    }
    cursor_.PhysicalRecord = r;
    if (forward) {
      cursor_.Bof = false;
      cursor_.Eof = hitEnd;
    } else {
      cursor_.Eof = false;
      cursor_.Bof = hitEnd;
    }
    return;
  }
  TLeafPlace place;
  TWhere where = LocateCursor(place);
  if (where == TWhere::kNone) return MarkEmpty();
  // A cursor whose key has gone stands between two entries: the entry
  // after it (or before it) is one step away.
  bool landing = (where == TWhere::kAfter && forward) || (where == TWhere::kBefore && !forward);
  bool hitEnd = where == TWhere::kBefore && forward;
  auto step = [&]() -> bool {
    if (landing) {
      landing = false;
      return true;
    }
    return forward ? StepForward(slot_, place) : StepBack(slot_, place);
  };
  int64_t done = 0;
  if (!bitmapMode_) {
    while (!hitEnd && done < steps) {
      if (!step()) {
        hitEnd = true;
        break;
      }
      ++done;
      if (rangeActive_) {
        const uint8_t* key = place.Page->Key(place.Entry);
        if (forward ? CompareRange(key, true) > 0 : CompareRange(key, false) < 0) {
          hitEnd = true;
          break;
        }
      }
    }
  } else {
    while (!hitEnd && done < steps) {
      if (!step()) {
        hitEnd = true;
        break;
      }
      if (visible_.Test(static_cast<int32_t>(place.Page->Refs[static_cast<size_t>(place.Entry)]))) ++done;
    }
    if (hitEnd) {
      bool found = forward ? SeekVisibleBackward(place) : SeekVisibleForward(place);
      if (!found) {
        ReleasePage(place.Page);
        return MarkEmpty();
      }
    }
  }
  TakePlace(place);
  if (forward) {
    cursor_.Bof = false;
    cursor_.Eof = hitEnd;
  } else {
    cursor_.Eof = false;
    cursor_.Bof = hitEnd;
  }
}

void TIndexFile::MoveBy(int32_t n) {
  Restartable([&] { MoveByBody(n); });
}

// ---------------------------------------------------------------- positions

void TIndexFile::GoToPosition(int32_t position) {
  Restartable([&] {
    if (physical_) {
      PhysicalResync(position);
      if (!cursor_.Empty) cursor_.Position = visible_.CountUpTo(cursor_.PhysicalRecord);
      return;
    }
    const int32_t count = CountInternal();
    if (count == 0 || DescriptorOf(slot_).RootPage == 0) return MarkEmpty();
    EnsureRangeBounds();
    const int32_t first = rangeActive_ ? rangeFirst_ : 1;
    if (!bitmapMode_) {
      // Without a bitmap the bounds are known from the counts, so only the
      // path to the wanted key is read.
      if (position < 1) {
        FirstKeyBody();
        if (!cursor_.Empty) cursor_.Bof = true;
        return;
      }
      if (position > count) {
        LastKeyBody();
        if (!cursor_.Empty) cursor_.Eof = true;
        return;
      }
      TDescent d = DescendToPosition(slot_, position + first - 1);
      if (d.Path.empty()) return MarkEmpty();
      TLeafPlace place = PlaceOf(d);
      TakePlace(place);
      cursor_.Bof = cursor_.Eof = false;
      return;
    }
    FirstKeyBody();
    if (cursor_.Empty) return;
    if (position < cursor_.Position - first + 1) {
      cursor_.Bof = true;
      return;
    }
    LastKeyBody();
    if (cursor_.Empty) return;
    if (cursor_.Position - first + 1 < position) {
      cursor_.Eof = true;
      return;
    }
    TDescent d = DescendToPosition(slot_, position + first - 1);
    if (d.Path.empty()) return MarkEmpty();
    TLeafPlace place = PlaceOf(d);
    bool eof = false;
    if (!SeekVisibleForward(place)) {
      eof = true;
      if (!SeekVisibleBackward(place)) {
        ReleasePage(place.Page);
        return MarkEmpty();
      }
    }
    TakePlace(place);
    cursor_.Bof = false;
    cursor_.Eof = eof;
  });
}

void TIndexFile::GoToRecord(int32_t recNo) {
  if (!physical_) return;
  Restartable([&] {
    PhysicalResync(recNo);
    // The last slot (where appends land) is the last visible one: no count.
    const int32_t at = cursor_.PhysicalRecord;
    if (!cursor_.Empty)
      cursor_.Position = at == visible_.Slots() && visible_.Test(at) ? visibleCount_ : visible_.CountUpTo(at);
  });
}

// ---------------------------------------------------------------- search

bool TIndexFile::FindKey(const uint8_t* key, bool nearest, bool keepFlags) {
  if (physical_) return false;
  bool found = false;
  Restartable([&] {
    found = false;
    const int length = DescriptorOf(slot_).KeyLength;
    if (DescriptorOf(slot_).RootPage == 0 || CountInternal() == 0) return MarkEmpty();
    const bool wasBof = cursor_.Bof;
    const bool wasEof = cursor_.Eof;
    bool positioned = true;
    if (rangeActive_ && !bitmapMode_ && CompareRange(key, false) < 0) {
      FirstKeyBody();
    } else if (rangeActive_ && !bitmapMode_ && CompareRange(key, true) > 0) {
      LastKeyBody();
    } else {
      TDescent d = Descend(slot_, key, nearest ? TSearchRule::kFindNearest : TSearchRule::kFind, length);
      if (d.Path.empty()) return MarkEmpty();
      const bool equal = d.Equal;
      TLeafPlace place = PlaceOf(d);
      const bool visible =
          !bitmapMode_ || visible_.Test(static_cast<int32_t>(place.Page->Refs[static_cast<size_t>(place.Entry)]));
      if (equal && visible) {
        found = true;
        TakePlace(place);
        cursor_.Bof = cursor_.Eof = false;
      } else if (nearest) {
        bool eof = false;
        if (CompareInSlot(slot_, place.Page->Key(place.Entry), key, length) < 0 && !StepForward(slot_, place))
          eof = true;
        if (rangeActive_ && !bitmapMode_ && CompareRange(place.Page->Key(place.Entry), true) > 0) {
          // An entry above the range end is never chosen.
          StepBack(slot_, place);
        }
        if (bitmapMode_ && !eof && !SeekVisibleForward(place)) eof = true;
        if (bitmapMode_ && eof && !SeekVisibleBackward(place)) {
          ReleasePage(place.Page);
          return MarkEmpty();
        }
        TakePlace(place);
        cursor_.Bof = false;
        cursor_.Eof = eof;
      } else {
        ReleasePage(place.Page);
        positioned = false;
      }
    }
    if (!keepFlags || !positioned || cursor_.Empty) return;
    if (wasBof) {
      MoveByBody(-1);
      if (!cursor_.Bof) MoveByBody(1);
    } else {
      cursor_.Bof = false;
    }
    if (wasEof) {
      MoveByBody(1);
      if (!cursor_.Eof) MoveByBody(-1);
    } else {
      cursor_.Eof = false;
    }
  });
  return found;
}

// ---------------------------------------------------------------- cursor reads

int32_t TIndexFile::CurrentRecordNumber() const {
  if (cursor_.Empty) return 0;
  if (physical_) return cursor_.PhysicalRecord;
  return static_cast<int32_t>(cursor_.Record);
}

const uint8_t* TIndexFile::CurrentKey() const {
  if (cursor_.Empty || physical_ || cursor_.Key.empty()) return nullptr;
  return cursor_.Key.data();
}

int32_t TIndexFile::PositionInRange() {
  if (physical_) return cursor_.Position;
  if (!cursor_.Empty && cursor_.Generation != generation_) {
    // The tree changed: the position number is worked out again.
    Restartable([&] {
      TLeafPlace place;
      if (LocateCursor(place) == TWhere::kOn) {
        cursor_.Position = place.Position;
        cursor_.Generation = generation_;
      }
      if (place.Page) ReleasePage(place.Page);
      EnsureRangeBounds();
    });
  }
  if (cursor_.Position <= 0) return 0;
  return cursor_.Position - (rangeActive_ ? rangeFirst_ : 1) + 1;
}

int32_t TIndexFile::ConsecutiveRun(int32_t maximum, int direction) {
  if (maximum < 1) return 1;
  if (cursor_.Empty) return 1;
  const bool forward = direction != 2;
  if (physical_) {
    int32_t n = 1;
    int32_t r = cursor_.PhysicalRecord;
    while (n < maximum) {
      int32_t next = forward ? r + 1 : r - 1;
      if (!visible_.Test(next)) break;
      ++n;
      r = next;
    }
    return n;
  }
  int32_t n = 1;
  Restartable([&] {
    n = 1;
    TLeafPlace place;
    if (LocateCursor(place) != TWhere::kOn) {
      if (place.Page) ReleasePage(place.Page);
      return;
    }
    const TPage* page = place.Page;
    int i = place.Entry;
    while (n < maximum) {
      int next = forward ? i + 1 : i - 1;
      if (next < 0 || next >= page->Count()) break;
      uint32_t expect = forward ? page->Refs[static_cast<size_t>(i)] + 1 : page->Refs[static_cast<size_t>(i)] - 1;
      if (page->Refs[static_cast<size_t>(next)] != expect) break;
      ++n;
      i = next;
    }
    ReleasePage(place.Page);
  });
  return n;
}

// ---------------------------------------------------------------- ranges

void TIndexFile::SetRangeStart(const uint8_t* key) {
  if (physical_) return;
  rangeStart_.assign(kKeyBufferSize, 0);
  std::memcpy(rangeStart_.data(), key, static_cast<size_t>(KeyLength()));
  boundsGeneration_ = 0;
}

void TIndexFile::SetRangeEnd(const uint8_t* key) {
  if (physical_) return;
  rangeEnd_.assign(kKeyBufferSize, 0);
  std::memcpy(rangeEnd_.data(), key, static_cast<size_t>(KeyLength()));
  boundsGeneration_ = 0;
}

void TIndexFile::ActivateRange() {
  if (physical_) return;
  rangeActive_ = true;
  boundsGeneration_ = 0;
}

void TIndexFile::CancelRange() {
  if (physical_) return;
  bool wasActive = rangeActive_;
  rangeStart_.assign(kKeyBufferSize, 0x00);
  rangeEnd_.assign(kKeyBufferSize, 0xFF);
  rangeFirst_ = 1;
  rangeLast_ = header_.LiveRecordCount;
  rangeActive_ = false;
  if (wasActive && bitmapMode_) RebuildBitmaps();
}

// ---------------------------------------------------------------- key lookups

bool TIndexFile::KeyExistsInSlot(uint8_t slot, const uint8_t* key) {
  bool exists = false;
  Restartable([&] {
    TDescent d = Descend(slot, key, TSearchRule::kExact, DescriptorOf(slot).KeyLength);
    exists = d.Equal;
    ReleaseDescent(d, false);
  });
  return exists;
}

bool TIndexFile::KeyExists(const uint8_t* key) {
  if (physical_) return false;
  return KeyExistsInSlot(slot_, key);
}

void TIndexFile::CheckDuplicateInSlot(uint8_t slot, const uint8_t* key) {
  const TIndexDescriptor& d = DescriptorOf(slot);
  if ((slot == kPrimarySlot || d.Unique) && KeyExistsInSlot(slot, key))
    RaiseEngineError(kErrDuplicateKey, FileName(), {}, {}, IndexDisplayName(slot));
}

void TIndexFile::CheckDuplicate(const uint8_t* key) {
  if (physical_) return;
  CheckDuplicateInSlot(slot_, key);
}

}  // namespace tabula
