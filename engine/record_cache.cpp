#include "engine/record_cache.h"

#include <algorithm>

namespace tabula {

void TRecordCache::Reset(size_t capacity, size_t bufferSize) {
  Clear();
  capacity_ = capacity;
  bufferSize_ = bufferSize;
}

void TRecordCache::Clear() {
  byNumber_.clear();
  pinned_.clear();
  entries_.clear();
  modifiedTail_ = entries_.end();
}

TRecord* TRecordCache::Find(uint32_t recordNo) const {
  if (recordNo == 0) return nullptr;
  auto it = byNumber_.find(recordNo);
  return it == byNumber_.end() ? nullptr : it->second;
}

TRecord* TRecordCache::AddFront() {
  entries_.emplace_front();
  TRecord& entry = entries_.front();
  entry.Owner = owner_;
  entry.Buffer.assign(bufferSize_, 0);
  entry.self_ = entries_.begin();
  return &entry;
}

void TRecordCache::MoveToFront(TRecord* entry) {
  if (entry->self_ == entries_.begin()) return;
  if (entry->inModifiedTail_) ForgetModifiedTail();
  entries_.splice(entries_.begin(), entries_, entry->self_);
}

void TRecordCache::Renumber(TRecord* entry, uint32_t recordNo) {
  if (entry->RecordNo == recordNo) return;
  // The lookup node of the old number carries the new one: no allocation
  // when an entry passes from one record to another.
  decltype(byNumber_)::node_type node;
  if (entry->RecordNo != 0) {
    auto it = byNumber_.find(entry->RecordNo);
    if (it != byNumber_.end() && it->second == entry) node = byNumber_.extract(it);
  }
  entry->RecordNo = recordNo;
  if (recordNo == 0) return;
  if (!node) {
    byNumber_[recordNo] = entry;
    return;
  }
  node.key() = recordNo;
  auto placed = byNumber_.insert(std::move(node));
  if (!placed.inserted) placed.position->second = entry;
}

void TRecordCache::Recycle(TRecord* entry, uint32_t recordNo, bool zeroFill) {
  if (entry->inModifiedTail_) ForgetModifiedTail();
  Renumber(entry, recordNo);
  entry->PinCount = 0;
  entry->Modified = false;
  entry->ComputedValid = false;
  entry->Marked = false;
  if (zeroFill) std::fill(entry->Buffer.begin(), entry->Buffer.end(), uint8_t(0));
  MoveToFront(entry);
}

TRecord* TRecordCache::FindReusable() const {
  auto* self = const_cast<TRecordCache*>(this);
  // Walk from the back, starting in front of the known modified run; the
  // entries just in front of it that are modified join it.
  auto it = self->modifiedTail_;
  bool extending = true;
  while (it != self->entries_.begin()) {
    --it;
    TRecord& entry = *it;
    if (!entry.Modified && entry.PinCount == 0 && !entry.Marked) return &entry;
    if (extending && entry.Modified) {
      entry.inModifiedTail_ = true;
      self->modifiedTail_ = it;
    } else {
      extending = false;
    }
  }
  return nullptr;
}

void TRecordCache::ForgetModifiedTail() {
  for (auto it = modifiedTail_; it != entries_.end(); ++it) it->inModifiedTail_ = false;
  modifiedTail_ = entries_.end();
}

void TRecordCache::Unlist(TRecord* entry) {
  if (!entry->listedPinned_) return;
  auto it = std::find(pinned_.begin(), pinned_.end(), entry);
  if (it != pinned_.end()) {
    *it = pinned_.back();
    pinned_.pop_back();
  }
  entry->listedPinned_ = false;
}

void TRecordCache::TrimTo(size_t capacity) {
  auto it = entries_.end();
  while (entries_.size() > capacity && it != entries_.begin()) {
    --it;
    if (it->PinCount != 0 || it->Modified) continue;
    if (it->inModifiedTail_) ForgetModifiedTail();
    Unlist(&*it);
    if (it->RecordNo != 0) byNumber_.erase(it->RecordNo);
    it = entries_.erase(it);
  }
}

void TRecordCache::DropAll() {
  byNumber_.clear();
  ForgetModifiedTail();
  for (TRecord* entry : pinned_) entry->listedPinned_ = false;
  pinned_.clear();
  for (TRecord& entry : entries_) {
    entry.RecordNo = 0;
    entry.PinCount = 0;
    entry.Modified = false;
    entry.ComputedValid = false;
    entry.Marked = false;
    std::fill(entry.Buffer.begin(), entry.Buffer.end(), uint8_t(0));
  }
}

void TRecordCache::NotePinned(TRecord* entry) {
  if (entry->listedPinned_) return;
  entry->listedPinned_ = true;
  pinned_.push_back(entry);
}

// Only entries pinned since the last call can hold pins: every pin goes
// through NotePinned.
void TRecordCache::UnpinAll() {
  for (TRecord* entry : pinned_) {
    entry->PinCount = 0;
    entry->listedPinned_ = false;
  }
  pinned_.clear();
}

}  // namespace tabula
