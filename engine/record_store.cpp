#include "engine/record_store.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "tabula/byte_order.h"
#include "tabula/data_file.h"
#include "engine/data_file_parts.h"
#include "tabula/engine_error.h"

namespace tabula {

void TRecordStore::Resize(size_t bufferSize) {
  cache_.DropAll();
  // About 128 KB of record buffers; never fewer than a handful of entries,
  // so that a table with very long records still has room for the current
  // record and the one being read.
  const size_t capacity = bufferSize == 0 ? kMaxCacheEntries : kCacheBytes / bufferSize;
  cache_.Reset(std::clamp<size_t>(capacity, 8, kMaxCacheEntries), bufferSize);
  openingCapacity_ = cache_.Capacity();
}

void TRecordStore::TrimToOpening() {
  cache_.SetCapacity(openingCapacity_);
  cache_.TrimTo(openingCapacity_);
}

int64_t TRecordStore::SlotOffset(uint32_t recordNo) const {
  return int64_t(kDataHeaderSize) + int64_t(kFieldDescSize) * table_.header_.FieldCount +
         int64_t(table_.header_.RecordSize) * (int64_t(recordNo) - 1);
}

void TRecordStore::Pin(TRecord* record) {
  if (record->PinCount >= kMaxPins) table_.Fail(kErrRecordBuffersCorrupt);
  ++record->PinCount;
  cache_.NotePinned(record);
}

void TRecordStore::Release(TRecord* record) {
  if (record != nullptr && record->PinCount > 0) --record->PinCount;
}

void TRecordStore::ComputeFields(TRecord* record) {
  // Computed fields are evaluated by the filter module's expression code;
  // a table opened from its file stores none, so there is nothing to do
  // until that module sets working descriptors with compiled expressions.
  record->ComputedValid = true;
}

TRecord* TRecordStore::TakeFreeEntry(uint32_t recordNo, bool zeroFill) {
  auto added = [&] {
    TRecord* entry = cache_.AddFront();
    cache_.Renumber(entry, recordNo);
    return entry;
  };
  if (cache_.Count() < cache_.Capacity()) return added();
  TRecord* entry = cache_.FindReusable();
  if (entry == nullptr && !table_.lockState_->TableLocked() && !table_.ReadOnly()) {
    Flush();
    entry = cache_.FindReusable();
  }
  if (entry != nullptr) {
    cache_.Recycle(entry, recordNo, zeroFill);
    return entry;
  }
  if (table_.lockState_->TableLocked()) {
    cache_.SetCapacity(cache_.Capacity() + kCacheGrowth);
    return added();
  }
  table_.Fail(kErrRecordBuffersCorrupt);
}

bool TRecordStore::Get(uint32_t recordNo, bool readAhead, int direction, bool indexRun, TRecord*& record) {
  record = nullptr;
  if (recordNo == 0) return true;
  ++stats_.RecordRequests;
  const uint32_t next = uint32_t(std::max(table_.header_.NextRecordNo, 1));
  if (recordNo == next) {
    // A new slot at the end.
    if (int64_t(table_.header_.NextRecordNo) + 1 > kMaxRecordNo ||
        int64_t(table_.header_.RecordSize) * table_.header_.NextRecordNo > kMaxDataBytes)
      table_.Fail(kErrFileFull);
    TRecord* entry = TakeFreeEntry(recordNo, true);
    StoreU32(entry->Data() + 1, recordNo);
    Pin(entry);
    ++table_.header_.NextRecordNo;
    table_.headerModified_ = true;
    record = entry;
    return true;
  }
  // Every record handed out is pinned and has its computed fields.
  auto deliver = [&](TRecord* entry) {
    Pin(entry);
    if (!entry->ComputedValid) ComputeFields(entry);
    record = entry;
    return true;
  };
  if (TRecord* cached = cache_.Find(recordNo)) {
    ++stats_.CacheHits;
    cache_.MoveToFront(cached);
    return deliver(cached);
  }
  if (recordNo > next) table_.Fail(kErrRecordBuffersCorrupt);  // beyond the last slot: there is no such record
  // Whether this miss takes the read lock and the change check itself.
  const bool locksHere = !table_.strictChangeDetection_ && !table_.ReadLockHeld();
  if (!table_.strictChangeDetection_ && table_.TakeReadLock()) return false;
  // The table may have shrunk or grown under another writer's hand.
  if (recordNo >= uint32_t(std::max(table_.header_.NextRecordNo, 1))) table_.Fail(kErrRecordBuffersCorrupt);
  // Leave room in the cache for the block beside what is pinned.
  const int32_t room = std::max<int32_t>(1, int32_t(cache_.Capacity() / 2));
  const int32_t most = std::min(table_.readAheadLimit_, room) - 1;  // records read beside this one
  TIndexFile& index = *table_.indexFile_;
  if (readAhead && indexRun && index.BitmapMode() && index.VisibleAhead(most, direction, ahead_)) {
    return deliver(ReadVisible(recordNo));
  }
  int32_t count = 1;
  const int32_t slotsFromHere = table_.header_.NextRecordNo - int32_t(recordNo);  // this slot and those after it
  if (readAhead) {
    if (indexRun) {
      count = index.ConsecutiveRun(table_.readAheadLimit_, direction);
      // Index order over scattered slots, each miss taking the read lock:
      // the entries ahead are read one by one under this miss's lock. The
      // batch grows fourfold while each miss comes where the previous one
      // ended (the cursor walks on) and starts again from this record
      // alone otherwise (a lookup, a jump elsewhere). Under a lock held for
      // the whole operation a miss costs only its read, and records read
      // ahead that the cursor never reaches would cost more.
      const int32_t position = index.PositionNumber();
      const int32_t sign = direction == kReadBackward ? -1 : 1;
      const int64_t past = (int64_t(position) - expectedMiss_) * sign;  // how far past the expected miss
      const bool walking = expectedMiss_ != 0 && past >= 0 && past <= most;
      expectedMiss_ = int64_t(position) + sign;
      if (count > 1) {
        aheadEntries_ = 0;
      } else {
        aheadEntries_ = walking && locksHere ? std::min(4 * aheadEntries_ + 3, most) : 0;
        if (aheadEntries_ > 0 && index.VisibleAhead(aheadEntries_, direction, ahead_) && !ahead_.empty()) {
          expectedMiss_ += sign * int64_t(ahead_.size());
          return deliver(ReadVisible(recordNo));
        }
      }
    } else if (direction == kReadBackward) {
      count = int32_t(recordNo);
    } else {
      count = slotsFromHere;
    }
    count = std::clamp(count, 1, table_.readAheadLimit_);
    if (direction == kReadBackward) {
      count = std::min(count, int32_t(recordNo));
    } else {
      count = std::min(count, slotsFromHere);
    }
  }
  count = std::min(count, room);
  return deliver(ReadBlock(recordNo, count, direction));
}

int32_t TRecordStore::ReadSpan(uint32_t first, int32_t most, const uint8_t*& records) {
  records = nullptr;
  if (first == 0 || most < 1 || table_.computedSize_ != 0) return 0;
  if (!table_.strictChangeDetection_ && table_.TakeReadLock()) return -1;
  const int64_t slotsThere = int64_t(table_.header_.NextRecordNo) - int64_t(first);
  if (slotsThere < 1) return 0;
  const size_t recordSize = table_.header_.RecordSize;
  const int32_t count = int32_t(std::min<int64_t>({int64_t(most), slotsThere, std::max<int64_t>(1, kSpanBytes / int64_t(recordSize))}));
  const int64_t offset = SlotOffset(first);
  if (offset + int64_t(recordSize) * count > INT32_MAX) table_.Fail(kErrRead);
  spanBuffer_.resize(recordSize * size_t(count));
  const int32_t got = table_.ReadAt(offset, spanBuffer_.data(), int32_t(spanBuffer_.size()), true);
  // Slots appended in the cache may not be in the file yet while the handle
  // is exclusive or the table locked; otherwise the whole span must be there.
  if (size_t(got) < spanBuffer_.size() && !table_.Exclusive() && !table_.lockState_->TableLocked()) table_.Fail(kErrRead);
  ++stats_.BlockReads;
  const int32_t slots = int32_t(size_t(got) / recordSize);
  stats_.RecordsRead += uint64_t(slots);
  const uint32_t last = first + uint32_t(slots);  // one past the span
  for (int32_t i = 0; i < slots; ++i) {
    uint8_t* slot = spanBuffer_.data() + size_t(i) * recordSize;
    if (table_.Encrypted()) table_.DecipherBlock(slot, recordSize);
    if (slot[0] == 0) StoreU32(slot + 1, first + uint32_t(i));
  }
  // Records this handle changed and has not written yet are newer than the file.
  for (const TRecord& e : cache_.Entries()) {
    if (e.Modified && e.RecordNo >= first && e.RecordNo < last)
      std::memcpy(spanBuffer_.data() + size_t(e.RecordNo - first) * recordSize, e.Data(), recordSize);
  }
  records = spanBuffer_.data();
  return slots;
}

TRecord* TRecordStore::ReadVisible(uint32_t recordNo) {
  // The slots to read: this record and those of ahead_ not cached yet, in
  // slot order, each run of consecutive slots in one read; the run holding
  // this record last, so that it ends at the front of the cache.
  const uint32_t next = uint32_t(std::max(table_.header_.NextRecordNo, 1));
  std::vector<uint32_t>& slots = ahead_;
  std::erase_if(slots, [&](uint32_t n) { return n == 0 || n >= next || n == recordNo || cache_.Find(n) != nullptr; });
  slots.push_back(recordNo);
  std::sort(slots.begin(), slots.end());
  slots.erase(std::unique(slots.begin(), slots.end()), slots.end());
  uint32_t ownFirst = 0;
  int32_t ownCount = 0;
  size_t i = 0;
  while (i < slots.size()) {
    size_t j = i + 1;
    while (j < slots.size() && slots[j] == slots[j - 1] + 1) ++j;
    const uint32_t first = slots[i];
    const int32_t count = int32_t(j - i);
    if (recordNo >= first && recordNo < first + uint32_t(count)) {
      ownFirst = first;
      ownCount = count;
    } else {
      ReadBlock(first, count, kReadForward);
    }
    i = j;
  }
  ReadBlock(ownFirst, ownCount, kReadForward);
  TRecord* result = cache_.Find(recordNo);
  if (result == nullptr) table_.Fail(kErrRecordBuffersCorrupt);
  return result;
}

TRecord* TRecordStore::ReadBlock(uint32_t recordNo, int32_t count, int direction) {
  const uint32_t first = direction == kReadBackward ? recordNo - uint32_t(count) + 1 : recordNo;
  const uint32_t last = first + uint32_t(count) - 1;
  const size_t recordSize = table_.header_.RecordSize;
  // The block's slots already cached, found once: marked, they are not
  // reused for another slot of the block.
  std::vector<TRecord*>& cached = blockEntries_;
  cached.assign(size_t(count), nullptr);
  for (uint32_t n = first; n <= last; ++n) {
    TRecord* entry = cache_.Find(n);
    if (entry != nullptr) entry->Marked = true;
    cached[n - first] = entry;
  }
  auto unmarkCached = [&] {
    for (TRecord* entry : cached)
      if (entry != nullptr) entry->Marked = false;
  };

  ioBuffer_.resize(recordSize * size_t(count));
  const int64_t offset = SlotOffset(first);
  if (offset > INT32_MAX) {
    for (TRecord& e : cache_.Entries()) e.Marked = false;
    table_.Fail(kErrRead);
  }
  int32_t got = 0;
  try {
    got = table_.ReadAt(offset, ioBuffer_.data(), int32_t(ioBuffer_.size()), true);
    // Slots appended in the cache may not be in the file yet while the
    // handle is exclusive or the table locked; otherwise the whole span
    // must be there.
    if (size_t(got) < ioBuffer_.size() && !table_.Exclusive() && !table_.lockState_->TableLocked()) table_.Fail(kErrRead);
  } catch (...) {
    unmarkCached();
    throw;
  }
  ++stats_.BlockReads;
  const size_t slotsRead = size_t(got) / recordSize;
  stats_.RecordsRead += slotsRead;

  std::vector<TRecord*>& touched = touched_;
  touched.clear();
  auto place = [&](uint32_t n) {
    const size_t index = n - first;
    TRecord* entry = cached[index];
    if (index >= slotsRead) {
      if (entry != nullptr) {
        cache_.MoveToFront(entry);
        touched.push_back(entry);
      }
      return;
    }
    // The slot's bytes as read, deciphered; a live record carries its slot number.
    auto fill = [&](TRecord* target) {
      std::memcpy(target->Data(), ioBuffer_.data() + index * recordSize, recordSize);
      std::fill(target->Buffer.begin() + std::ptrdiff_t(recordSize), target->Buffer.end(), uint8_t(0));
      if (table_.Encrypted()) table_.DecipherBlock(target->Data(), recordSize);
      if (target->Data()[0] == 0) StoreU32(target->Data() + 1, n);
      target->ComputedValid = false;
    };
    if (entry != nullptr) {
      if (entry->PinCount == 0 && !entry->Modified) fill(entry);
      cache_.MoveToFront(entry);
    } else {
      entry = TakeFreeEntry(n, false);
      fill(entry);
      entry->Marked = true;  // not reused for a later slot of this block
    }
    touched.push_back(entry);
  };
  try {
    // From the end farthest from n back to n, so that n ends at the front
    // with its neighbours right behind it.
    if (direction == kReadBackward) {
      for (uint32_t n = first; n <= last; ++n) place(n);
    } else {
      for (uint32_t n = last; n >= first && n != 0; --n) place(n);
    }
  } catch (...) {
    for (TRecord& e : cache_.Entries()) e.Marked = false;
    throw;
  }
  // Every entry of the block, found or new, is among those touched.
  for (TRecord* e : touched) e->Marked = false;
  TRecord* result = cache_.Find(recordNo);
  if (result == nullptr) table_.Fail(kErrRecordBuffersCorrupt);
  return result;
}

bool TRecordStore::Flush() {
  if (!table_.IsOpen() || table_.ReadOnly()) return false;
  std::vector<TRecord*> dirty;
  for (TRecord& e : cache_.Entries())
    if (e.Modified && e.PinCount == 0 && !e.Marked && e.RecordNo != 0) dirty.push_back(&e);
  if (dirty.empty()) return false;
  std::sort(dirty.begin(), dirty.end(), [](const TRecord* a, const TRecord* b) { return a->RecordNo < b->RecordNo; });
  const size_t recordSize = table_.header_.RecordSize;
  size_t i = 0;
  std::vector<uint8_t> block;
  while (i < dirty.size()) {
    size_t j = i + 1;
    while (j < dirty.size() && dirty[j]->RecordNo == dirty[j - 1]->RecordNo + 1) ++j;
    block.resize((j - i) * recordSize);
    for (size_t k = i; k < j; ++k) {
      uint8_t* dest = block.data() + (k - i) * recordSize;
      std::memcpy(dest, dirty[k]->Data(), recordSize);
      if (table_.Encrypted()) table_.EncipherBlock(dest, recordSize);
    }
    const int64_t offset = SlotOffset(dirty[i]->RecordNo);
    if (offset > INT32_MAX) table_.Fail(kErrWrite);
    table_.SeekFile(int32_t(offset), kSeekStart);
    table_.WriteBytes(block.data(), int32_t(block.size()));
    ++stats_.Writes;
    for (size_t k = i; k < j; ++k) dirty[k]->Modified = false;
    cache_.ModifiedCleared();
    i = j;
  }
  return true;
}

}  // namespace tabula
