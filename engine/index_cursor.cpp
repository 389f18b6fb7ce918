#include "engine/index_cursor.h"

#include <algorithm>
#include <cstring>

#include "engine/index_file.h"
#include "tabula/record.h"

namespace tabula {

TIndexCursor::TIndexCursor(TIndexFile& file, TIndexTreeStore& store) : file_(file), store_(store) {
  rangeStart_.assign(kKeyBufferSize, 0x00);
  rangeEnd_.assign(kKeyBufferSize, 0xFF);
}

// ---------------------------------------------------------------- state

void TIndexCursor::ResetRange() {
  rangeActive_ = false;
  rangeStart_.assign(kKeyBufferSize, 0x00);
  rangeEnd_.assign(kKeyBufferSize, 0xFF);
  rangeFirst_ = 1;
  rangeLast_ = file_.LiveRecordCount();
}

void TIndexCursor::Open(bool physical) {
  state_ = TState{};
  ResetRange();
  slot_ = 0;
  physical_ = physical;
  bitmapMode_ = false;
  UpdateBitmapMode();
}

void TIndexCursor::Close() {
  state_ = TState{};
  rangeBitmap_.Reset(0);
  live_.Reset(0);
  visible_.Reset(0);
  visibleCount_ = 0;
  rangeActive_ = false;
  rangeFirst_ = rangeLast_ = 0;
  bitmapMode_ = false;
}

void TIndexCursor::Select(uint8_t slot, bool physical) {
  const bool changed = slot != slot_;
  slot_ = slot;
  physical_ = physical;
  if (changed) {
    // The entry belongs to the old index; the data file repositions.
    state_.Generation = 0;
    if (rangeActive_ || physical_) ResetRange();
  }
  UpdateBitmapMode();
}

void TIndexCursor::LiveCountChanged(int32_t live) {
  if (!rangeActive_) rangeLast_ = live;
}

int TIndexCursor::KeyLength() const { return physical_ ? 4 : file_.Descriptor(slot_).KeyLength; }

void TIndexCursor::MarkEmpty() {
  state_ = TState{};
}

void TIndexCursor::SetFlags(bool bof, bool eof) {
  if (state_.Empty) return;
  state_.Bof = bof;
  state_.Eof = eof;
}

bool TIndexCursor::WithinRange() const {
  if (state_.Empty) return false;
  if (physical_ || !rangeActive_ || state_.Key.empty()) return true;
  return CompareRange(state_.Key.data(), false) >= 0 && CompareRange(state_.Key.data(), true) <= 0;
}

int TIndexCursor::CompareRange(const uint8_t* key, bool end) const {
  return store_.CompareInSlot(slot_, key, end ? rangeEnd_.data() : rangeStart_.data(),
                              file_.Descriptor(slot_).KeyLength);
}

// ---------------------------------------------------------------- places

void TIndexCursor::TakePlace(TLeafPlace&& place) {
  const TPage* page = place.Page.Get();
  state_.PageOffset = page->Offset;
  state_.Entry = place.Entry;
  state_.Position = place.Position;
  state_.Record = place.Record();
  state_.Key.assign(place.Key(), place.Key() + page->Layout.KeyLength);
  state_.Generation = file_.Generation();
  state_.Empty = false;
  state_.PhysicalRecord = 0;
  place.Page->ScanPosition = place.Entry + 1;
  place.Page.Release();
}

TIndexCursor::TWhere TIndexCursor::Locate(TLeafPlace& place) {
  if (state_.Empty || state_.Key.empty()) return TWhere::kNone;
  const int length = file_.Descriptor(slot_).KeyLength;
  if (static_cast<int>(state_.Key.size()) != length) return TWhere::kNone;
  if (state_.Generation == file_.Generation()) {
    TPagePin p = store_.BufferedTreePage(slot_, state_.PageOffset);
    if (p && p->Layout.Slot == slot_ && state_.Entry < p->Count() &&
        p->Refs[static_cast<size_t>(state_.Entry)] == state_.Record &&
        std::memcmp(p->Key(state_.Entry), state_.Key.data(), static_cast<size_t>(length)) == 0) {
      place = TLeafPlace{std::move(p), state_.Entry, state_.Position};
      return TWhere::kOn;
    }
  }
  // The tree changed since the cursor was placed: find its key again.
  TIndexTree tree = Tree();
  TIndexTree::TDescent d = tree.Descend(state_.Key.data(), TSearchRule::kFindNearest, length);
  if (d.Path.empty()) return TWhere::kNone;
  const bool equal = d.Equal;
  place = TIndexTree::PlaceOf(std::move(d));
  if (equal) {
    TakePlace(TLeafPlace{place.Page.Share(), place.Entry, place.Position});
    return TWhere::kOn;
  }
  if (tree.Compare(place.Key(), state_.Key.data(), length) > 0) return TWhere::kAfter;
  if (tree.StepForward(place)) return TWhere::kAfter;
  return TWhere::kBefore;
}

bool TIndexCursor::SeekVisibleForward(TIndexTree& tree, TLeafPlace& place) {
  return visible_.Test(static_cast<int32_t>(place.Record())) || tree.StepForwardTo(place, visible_);
}

bool TIndexCursor::SeekVisibleBackward(TIndexTree& tree, TLeafPlace& place) {
  return visible_.Test(static_cast<int32_t>(place.Record())) || tree.StepBackTo(place, visible_);
}

bool TIndexCursor::RangeFixup(TIndexTree& tree, TLeafPlace& place) {
  if (CompareRange(place.Key(), false) < 0) {
    if (!tree.StepForward(place)) return false;
    return CompareRange(place.Key(), false) >= 0 && CompareRange(place.Key(), true) <= 0;
  }
  if (CompareRange(place.Key(), true) > 0) {
    if (!tree.StepBack(place)) return false;
    return CompareRange(place.Key(), true) <= 0 && CompareRange(place.Key(), false) >= 0;
  }
  return true;
}

// ---------------------------------------------------------------- counts and bounds

int32_t TIndexCursor::CountBody() {
  if (bitmapMode_) return visibleCount_;
  Tree().VerifyTotal();
  if (!rangeActive_) return file_.LiveRecordCount();
  EnsureRangeBounds();
  return (rangeFirst_ > 0 && rangeLast_ > 0) ? std::max(0, rangeLast_ - rangeFirst_ + 1) : 0;
}

int32_t TIndexCursor::RecordCount() {
  int32_t result = 0;
  file_.RunOperation([&] { result = CountBody(); });
  return result;
}

void TIndexCursor::EnsureRangeBounds() {
  if (rangeActive_ && !physical_ && boundsGeneration_ != file_.Generation()) ComputeBoundsOnly();
}

void TIndexCursor::ComputeBoundsOnly() {
  if (computingBounds_) return;
  computingBounds_ = true;
  struct TGuard {
    bool& Flag;
    ~TGuard() { Flag = false; }
  } guard{computingBounds_};
  TIndexTree tree = Tree();
  if (!rangeActive_ || physical_) {
    rangeFirst_ = 1;
    rangeLast_ = file_.LiveRecordCount();
  } else if (tree.Empty() || tree.Compare(rangeStart_.data(), rangeEnd_.data(), tree.KeyLength()) > 0) {
    rangeFirst_ = rangeLast_ = 0;
  } else {
    rangeFirst_ = tree.FirstPositionAtOrAbove(rangeStart_.data());
    rangeLast_ = tree.LastPositionAtOrBelow(rangeEnd_.data());
  }
  boundsGeneration_ = file_.Generation();
}

void TIndexCursor::ComputeRangeBounds() {
  if (computingBounds_) return;
  file_.RunOperation([&] { ComputeBoundsOnly(); });
  if (bitmapMode_) RebuildBitmaps();
}

// ---------------------------------------------------------------- bitmaps

bool TIndexCursor::AnyFilterActive() const { return filterHook_ && filterHook_->AnyActive(); }

void TIndexCursor::UpdateBitmapMode() {
  bitmapMode_ = physical_ || AnyFilterActive();
  if (bitmapMode_ && file_.IsOpen()) RebuildBitmaps();
}

void TIndexCursor::RebuildBitmaps() {
  if (!bitmapMode_ || rebuilding_) return;
  rebuilding_ = true;
  struct TGuard {
    bool& Flag;
    ~TGuard() { Flag = false; }
  } guard{rebuilding_};
  file_.RunOperation([&] {
    BuildRangeAndLive();
    visible_.Reset(live_.Slots());
    if (AnyFilterActive()) {
      TRecordBitmap candidates = live_;
      if (rangeActive_ && !physical_) candidates.And(rangeBitmap_);
      filterHook_->Rebuild(candidates);
    }
    CombineInternal();
  });
}

// The range bitmap (keys of the current index inside the active range) and
// the live bitmap (records not deleted), sized to the record slots.
void TIndexCursor::BuildRangeAndLive() {
  TIndexFileOwner* owner = file_.Owner();
  const int32_t slots = owner ? owner->RecordSlotCount() : 0;
  rangeBitmap_.Reset(slots);
  live_.Reset(slots);
  if (rangeActive_ && !physical_) {
    ComputeBoundsOnly();
    TIndexTree tree = Tree();
    int32_t inside = (rangeFirst_ > 0 && rangeLast_ > 0) ? std::max(0, rangeLast_ - rangeFirst_ + 1) : 0;
    if (inside > file_.LiveRecordCount() / 2) {
      tree.MarkOutside(rangeStart_.data(), rangeEnd_.data(), rangeBitmap_);
      rangeBitmap_.Invert();
    } else if (inside > 0) {
      tree.MarkBetween(rangeStart_.data(), rangeEnd_.data(), tree.KeyLength(), rangeBitmap_);
    }
  }
  if (file_.NoPrimaryIndex()) {
    for (int32_t r = 1; r <= slots; ++r)
      if (!owner || owner->RecordIsLive(r)) live_.Set(r);
    return;
  }
  TIndexTree deleted(store_, kSysDeletedSlot);
  uint8_t deletedLow[kSysDeletedKeyLength] = {1, 0, 0, 0, 0};
  uint8_t deletedHigh[kSysDeletedKeyLength] = {1, 0xFF, 0xFF, 0xFF, 0xFF};
  const int32_t gone = deleted.CountBetween(deletedLow, deletedHigh);
  if (gone < slots - gone) {
    deleted.MarkBetween(deletedLow, deletedHigh, kSysDeletedKeyLength, live_);
    live_.Invert();
  } else {
    uint8_t liveLow[kSysDeletedKeyLength] = {0, 0, 0, 0, 0};
    uint8_t liveHigh[kSysDeletedKeyLength] = {0, 0xFF, 0xFF, 0xFF, 0xFF};
    deleted.MarkBetween(liveLow, liveHigh, kSysDeletedKeyLength, live_);
  }
}

void TIndexCursor::RefreshFilter(TFilter* handle) {
  const bool hadVisible = bitmapMode_ && !visible_.Empty();
  bitmapMode_ = physical_ || AnyFilterActive();
  if (!bitmapMode_ || !file_.IsOpen()) return;
  if (!hadVisible || handle == nullptr || rebuilding_) {
    RebuildBitmaps();
    return;
  }
  rebuilding_ = true;
  struct TGuard {
    bool& Flag;
    ~TGuard() { Flag = false; }
  } guard{rebuilding_};
  file_.RunOperation([&] {
    BuildRangeAndLive();
    visible_.Reset(live_.Slots());
    TRecordBitmap candidates = live_;
    if (rangeActive_ && !physical_) candidates.And(rangeBitmap_);
    if (filterHook_) filterHook_->Refresh(handle, candidates);
    CombineInternal();
  });
}

void TIndexCursor::FiltersChanged() {
  const bool was = bitmapMode_ && !visible_.Empty();
  bitmapMode_ = physical_ || AnyFilterActive();
  if (!bitmapMode_ || !file_.IsOpen()) return;
  TIndexFileOwner* owner = file_.Owner();
  if (was && live_.Slots() == (owner ? owner->RecordSlotCount() : 0))
    CombineBitmaps();
  else
    RebuildBitmaps();
}

void TIndexCursor::CombineInternal() {
  visible_ = live_;
  if (rangeActive_ && !physical_) visible_.And(rangeBitmap_);
  if (AnyFilterActive()) filterHook_->Combine(visible_);
  visibleCount_ = visible_.CountSet();
}

void TIndexCursor::CombineBitmaps() {
  if (!bitmapMode_ || rebuilding_) return;
  CombineInternal();
}

void TIndexCursor::GrowBitmaps(int32_t recNo) {
  if (recNo <= live_.Slots()) return;
  rangeBitmap_.Grow(recNo);
  live_.Grow(recNo);
  visible_.Grow(recNo);
}

void TIndexCursor::RecordWritten(int32_t recNo, const uint8_t* key) {
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

void TIndexCursor::RecordDeleted(int32_t recNo) {
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

void TIndexCursor::PhysicalResync(int32_t recNo) {
  int32_t r = visible_.NextSet(recNo < 1 ? 1 : recNo);
  if (r == 0) r = visible_.PriorSet(recNo - 1);
  if (r == 0) {
    MarkEmpty();
    return;
  }
  state_.Empty = false;
  state_.PhysicalRecord = r;
  state_.Bof = state_.Eof = false;
}

// ---------------------------------------------------------------- first, last, move

// LastBody mirrors FirstBody with the range end, the last edge and backward steps.
void TIndexCursor::FirstBody() {
  if (physical_) {
    int32_t r = CountBody() == 0 ? 0 : visible_.NextSet(1);
    if (r == 0) return MarkEmpty();
    PhysicalResync(r);
    state_.Position = 1;
    return;
  }
  TIndexTree tree = Tree();
  if (CountBody() == 0 || tree.Empty()) return MarkEmpty();
  TLeafPlace place;
  if (rangeActive_) {
    place = TIndexTree::PlaceOf(tree.Descend(rangeStart_.data(), TSearchRule::kFirstInRange, KeyLength()));
    if (!place.Page || !RangeFixup(tree, place)) return MarkEmpty();
  } else {
    place = TIndexTree::PlaceOf(tree.DescendEdge(false));
  }
  if (bitmapMode_ && !SeekVisibleForward(tree, place)) return MarkEmpty();
  TakePlace(std::move(place));
  state_.Bof = state_.Eof = false;
}

void TIndexCursor::LastBody() {
  if (physical_) {
    const int32_t count = CountBody();
    int32_t r = count == 0 ? 0 : visible_.PriorSet(visible_.Slots());
    if (r == 0) return MarkEmpty();
    PhysicalResync(r);
    state_.Position = count;
    return;
  }
  TIndexTree tree = Tree();
  if (CountBody() == 0 || tree.Empty()) return MarkEmpty();
  TLeafPlace place;
  if (rangeActive_) {
    place = TIndexTree::PlaceOf(tree.Descend(rangeEnd_.data(), TSearchRule::kLastInRange, KeyLength()));
    if (!place.Page || !RangeFixup(tree, place)) return MarkEmpty();
  } else {
    place = TIndexTree::PlaceOf(tree.DescendEdge(true));
  }
  if (bitmapMode_ && !SeekVisibleBackward(tree, place)) return MarkEmpty();
  TakePlace(std::move(place));
  state_.Bof = state_.Eof = false;
}

void TIndexCursor::First() {
  file_.RunOperation([&] { FirstBody(); });
}

void TIndexCursor::Last() {
  file_.RunOperation([&] { LastBody(); });
}

void TIndexCursor::MoveByBody(int32_t n) {
  if (n == 0) return;
  if (CountBody() == 0 || state_.Empty) return MarkEmpty();
  const bool forward = n > 0;
  const int64_t steps = forward ? static_cast<int64_t>(n) : -static_cast<int64_t>(n);
  auto setFlags = [&](bool hitEnd) {
    if (forward) {
      state_.Bof = false;
      state_.Eof = hitEnd;
    } else {
      state_.Eof = false;
      state_.Bof = hitEnd;
    }
  };
  if (physical_) {
    int32_t r = state_.PhysicalRecord;
    bool hitEnd = false;
    for (int64_t i = 0; i < steps; ++i) {
      int32_t next = forward ? visible_.NextSet(r + 1) : visible_.PriorSet(r - 1);
      if (next == 0) {
        hitEnd = true;
        break;
      }
      r = next;
      state_.Position += forward ? 1 : -1;
    }
    state_.PhysicalRecord = r;
    setFlags(hitEnd);
    return;
  }
  TLeafPlace place;
  const TWhere where = Locate(place);
  if (where == TWhere::kNone) return MarkEmpty();
  TIndexTree tree = Tree();
  // A cursor whose key has gone stands between two entries: the entry
  // after it (or before it) is one step away.
  bool landing = (where == TWhere::kAfter && forward) || (where == TWhere::kBefore && !forward);
  bool hitEnd = where == TWhere::kBefore && forward;
  auto step = [&]() -> bool {
    if (landing) {
      landing = false;
      return true;
    }
    return forward ? tree.StepForward(place) : tree.StepBack(place);
  };
  int64_t done = 0;
  if (!bitmapMode_) {
    while (!hitEnd && done < steps) {
      if (!step()) {
        hitEnd = true;
        break;
      }
      ++done;
      if (rangeActive_ && (forward ? CompareRange(place.Key(), true) > 0 : CompareRange(place.Key(), false) < 0)) {
        hitEnd = true;
        break;
      }
    }
  } else {
    if (landing && steps > 0) {
      landing = false;
      if (visible_.Test(static_cast<int32_t>(place.Record()))) ++done;
    }
    while (!hitEnd && done < steps) {
      if (!(forward ? tree.StepForwardTo(place, visible_) : tree.StepBackTo(place, visible_))) {
        hitEnd = true;
        break;
      }
      ++done;
    }
    if (hitEnd) {
      const bool found = forward ? SeekVisibleBackward(tree, place) : SeekVisibleForward(tree, place);
      if (!found) return MarkEmpty();
    }
  }
  TakePlace(std::move(place));
  setFlags(hitEnd);
}

void TIndexCursor::MoveBy(int32_t n) {
  file_.RunOperation([&] { MoveByBody(n); });
}

// ---------------------------------------------------------------- positions

void TIndexCursor::GoToPosition(int32_t position) {
  file_.RunOperation([&] {
    if (physical_) {
      PhysicalResync(position);
      if (!state_.Empty) state_.Position = visible_.CountUpTo(state_.PhysicalRecord);
      return;
    }
    TIndexTree tree = Tree();
    const int32_t count = CountBody();
    if (count == 0 || tree.Empty()) return MarkEmpty();
    EnsureRangeBounds();
    const int32_t first = rangeActive_ ? rangeFirst_ : 1;
    if (!bitmapMode_) {
      // Without a bitmap the bounds are known from the counts, so only the
      // path to the wanted key is read.
      if (position < 1) {
        FirstBody();
        if (!state_.Empty) state_.Bof = true;
        return;
      }
      if (position > count) {
        LastBody();
        if (!state_.Empty) state_.Eof = true;
        return;
      }
      TLeafPlace place = TIndexTree::PlaceOf(tree.DescendToPosition(position + first - 1));
      if (!place.Page) return MarkEmpty();
      TakePlace(std::move(place));
      state_.Bof = state_.Eof = false;
      return;
    }
    FirstBody();
    if (state_.Empty) return;
    if (position < state_.Position - first + 1) {
      state_.Bof = true;
      return;
    }
    LastBody();
    if (state_.Empty) return;
    if (state_.Position - first + 1 < position) {
      state_.Eof = true;
      return;
    }
    TLeafPlace place = TIndexTree::PlaceOf(tree.DescendToPosition(position + first - 1));
    if (!place.Page) return MarkEmpty();
    bool eof = false;
    if (!SeekVisibleForward(tree, place)) {
      eof = true;
      if (!SeekVisibleBackward(tree, place)) return MarkEmpty();
    }
    TakePlace(std::move(place));
    state_.Bof = false;
    state_.Eof = eof;
  });
}

void TIndexCursor::GoToRecord(int32_t recNo) {
  if (!physical_) return;
  file_.RunOperation([&] {
    PhysicalResync(recNo);
    // The last slot (where appends land) is the last visible one: no count.
    const int32_t at = state_.PhysicalRecord;
    if (!state_.Empty)
      state_.Position = at == visible_.Slots() && visible_.Test(at) ? visibleCount_ : visible_.CountUpTo(at);
  });
}

// ---------------------------------------------------------------- search

bool TIndexCursor::Find(const uint8_t* key, bool nearest, bool keepFlags) {
  if (physical_) return false;
  bool found = false;
  file_.RunOperation([&] {
    found = false;
    TIndexTree tree = Tree();
    const int length = tree.KeyLength();
    if (tree.Empty() || CountBody() == 0) return MarkEmpty();
    const bool wasBof = state_.Bof;
    const bool wasEof = state_.Eof;
    bool positioned = true;
    if (rangeActive_ && !bitmapMode_ && CompareRange(key, false) < 0) {
      FirstBody();
    } else if (rangeActive_ && !bitmapMode_ && CompareRange(key, true) > 0) {
      LastBody();
    } else {
      TIndexTree::TDescent d = tree.Descend(key, nearest ? TSearchRule::kFindNearest : TSearchRule::kFind, length);
      if (d.Path.empty()) return MarkEmpty();
      const bool equal = d.Equal;
      TLeafPlace place = TIndexTree::PlaceOf(std::move(d));
      const bool visible = !bitmapMode_ || visible_.Test(static_cast<int32_t>(place.Record()));
      if (equal && visible) {
        found = true;
        TakePlace(std::move(place));
        state_.Bof = state_.Eof = false;
      } else if (nearest) {
        bool eof = false;
        if (tree.Compare(place.Key(), key, length) < 0 && !tree.StepForward(place)) eof = true;
        // An entry above the range end is never chosen.
        if (rangeActive_ && !bitmapMode_ && CompareRange(place.Key(), true) > 0) tree.StepBack(place);
        if (bitmapMode_ && !eof && !SeekVisibleForward(tree, place)) eof = true;
        if (bitmapMode_ && eof && !SeekVisibleBackward(tree, place)) return MarkEmpty();
        TakePlace(std::move(place));
        state_.Bof = false;
        state_.Eof = eof;
      } else {
        positioned = false;
      }
    }
    if (!keepFlags || !positioned || state_.Empty) return;
    if (wasBof) {
      MoveByBody(-1);
      if (!state_.Bof) MoveByBody(1);
    } else {
      state_.Bof = false;
    }
    if (wasEof) {
      MoveByBody(1);
      if (!state_.Eof) MoveByBody(-1);
    } else {
      state_.Eof = false;
    }
  });
  return found;
}

// ---------------------------------------------------------------- cursor reads

int32_t TIndexCursor::CurrentRecordNumber() const {
  if (state_.Empty) return 0;
  if (physical_) return state_.PhysicalRecord;
  return static_cast<int32_t>(state_.Record);
}

const uint8_t* TIndexCursor::CurrentKey() const {
  if (state_.Empty || physical_ || state_.Key.empty()) return nullptr;
  return state_.Key.data();
}

int32_t TIndexCursor::PositionInRange() {
  if (physical_) return state_.Position;
  if (!state_.Empty && state_.Generation != file_.Generation()) {
    // The tree changed: the position number is worked out again.
    file_.RunOperation([&] {
      TLeafPlace place;
      if (Locate(place) == TWhere::kOn) {
        state_.Position = place.Position;
        state_.Generation = file_.Generation();
      }
      EnsureRangeBounds();
    });
  }
  if (state_.Position <= 0) return 0;
  return state_.Position - (rangeActive_ ? rangeFirst_ : 1) + 1;
}

int32_t TIndexCursor::ConsecutiveRun(int32_t maximum, int direction) {
  if (maximum < 1 || state_.Empty) return 1;
  const bool forward = direction != kReadBackward;
  int32_t n = 1;
  if (physical_) {
    int32_t r = state_.PhysicalRecord;
    while (n < maximum) {
      int32_t next = forward ? r + 1 : r - 1;
      if (!visible_.Test(next)) break;
      ++n;
      r = next;
    }
    return n;
  }
  file_.RunOperation([&] {
    n = 1;
    TLeafPlace place;
    if (Locate(place) != TWhere::kOn) return;
    const TPage* page = place.Page.Get();
    int i = place.Entry;
    while (n < maximum) {
      int next = forward ? i + 1 : i - 1;
      if (next < 0 || next >= page->Count()) break;
      uint32_t expect = forward ? page->Refs[static_cast<size_t>(i)] + 1 : page->Refs[static_cast<size_t>(i)] - 1;
      if (page->Refs[static_cast<size_t>(next)] != expect) break;
      ++n;
      i = next;
    }
  });
  return n;
}

bool TIndexCursor::VisibleAhead(int32_t maximum, int direction, std::vector<uint32_t>& records) {
  records.clear();
  if (physical_) return false;
  if (maximum < 1 || state_.Empty) return true;
  const bool forward = direction != kReadBackward;
  file_.RunOperation([&] {
    records.clear();
    // Without a bitmap every entry between the range's positions shows.
    const bool bounded = !bitmapMode_ && rangeActive_;
    if (bounded) EnsureRangeBounds();
    TLeafPlace place;
    if (Locate(place) != TWhere::kOn) return;
    TIndexTree tree = Tree();
    int leaves = 0;
    int leafBudget = kAheadLeaves;
    while (static_cast<int32_t>(records.size()) < maximum) {
      if (bitmapMode_) {
        const bool found = forward ? tree.StepForwardTo(place, visible_, &leafBudget)
                                   : tree.StepBackTo(place, visible_, &leafBudget);
        if (!found) break;
        records.push_back(place.Record());
        continue;
      }
      const TPage* before = place.Page.Get();
      if (!(forward ? tree.StepForward(place) : tree.StepBack(place))) break;
      if (place.Page.Get() != before && ++leaves > kAheadLeaves) break;
      if (bounded && (forward ? place.Position > rangeLast_ : place.Position < rangeFirst_)) break;
      records.push_back(place.Record());
    }
  });
  return true;
}

// ---------------------------------------------------------------- ranges

void TIndexCursor::SetRangeStart(const uint8_t* key, int length) {
  if (physical_) return;
  rangeStart_.assign(kKeyBufferSize, 0);
  std::memcpy(rangeStart_.data(), key, static_cast<size_t>(length));
  boundsGeneration_ = 0;
}

void TIndexCursor::SetRangeEnd(const uint8_t* key, int length) {
  if (physical_) return;
  rangeEnd_.assign(kKeyBufferSize, 0);
  std::memcpy(rangeEnd_.data(), key, static_cast<size_t>(length));
  boundsGeneration_ = 0;
}

void TIndexCursor::ActivateRange() {
  if (physical_) return;
  rangeActive_ = true;
  boundsGeneration_ = 0;
}

void TIndexCursor::CancelRange() {
  if (physical_) return;
  const bool wasActive = rangeActive_;
  ResetRange();
  if (wasActive && bitmapMode_) RebuildBitmaps();
}

}  // namespace tabula
