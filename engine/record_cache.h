#pragma once
// The record cache of a data file: TRecord entries ordered most recently used
// first, with a capacity. A hash from record number to entry makes lookups
// constant time; the order, the capacity and the choice of the entry to
// reuse are those of the list. Entries never move in memory, so a TRecord
// pointer stays valid while the entry is in the cache.

#include <cstddef>
#include <cstdint>
#include <list>
#include <unordered_map>
#include <vector>

#include "tabula/record.h"

namespace tabula {

class TDataFile;

class TRecordCache {
 public:
  using TList = std::list<TRecord>;

  explicit TRecordCache(TDataFile* owner = nullptr) : owner_(owner) {}

  // Empties the cache and sets the capacity and the buffer size of new entries.
  void Reset(size_t capacity, size_t bufferSize);
  void Clear();

  size_t Count() const { return entries_.size(); }
  size_t Capacity() const { return capacity_; }
  void SetCapacity(size_t capacity) { capacity_ = capacity; }
  size_t BufferSize() const { return bufferSize_; }

  // The entry holding record n, or null.
  TRecord* Find(uint32_t recordNo) const;
  // A new zero-filled entry at the front (record number 0).
  TRecord* AddFront();
  void MoveToFront(TRecord* entry);
  // Gives an entry another record number (0 takes it out of the lookup).
  void Renumber(TRecord* entry, uint32_t recordNo);
  // Unpins the entry, gives it record number `recordNo` (0: none),
  // zero-fills it (unless the caller fills all of it) and moves it to the
  // front.
  void Recycle(TRecord* entry, uint32_t recordNo = 0, bool zeroFill = true);
  // The least recently used entry that is neither modified, pinned nor
  // marked, or null.
  TRecord* FindReusable() const;
  // Frees entries from the back (never pinned or modified ones) until at
  // most `capacity` remain.
  void TrimTo(size_t capacity);
  // Unpins, zero-fills and numbers 0 every entry.
  void DropAll();
  // Notes an entry that has just been pinned, so UnpinAll need not walk the
  // whole cache.
  void NotePinned(TRecord* entry);
  void UnpinAll();
  // To be called whenever entries stop being modified outside the cache
  // (they were written): the known run of modified entries at the back is
  // forgotten.
  void ModifiedCleared() { ForgetModifiedTail(); }

  TList& Entries() { return entries_; }
  const TList& Entries() const { return entries_; }

 private:
  void ForgetModifiedTail();
  void Unlist(TRecord* entry);

  TDataFile* owner_;
  TList entries_;
  // Entries pinned since the last UnpinAll (each listed once).
  std::vector<TRecord*> pinned_;
  // The run of modified entries at the back of the list, first element of
  // the run (end() when none is known). While a table lock is held, written
  // entries pile up there and are never reusable; remembering the run keeps
  // the search for a reusable entry from walking it again on every append.
  TList::iterator modifiedTail_ = entries_.end();
  std::unordered_map<uint32_t, TRecord*> byNumber_;
  size_t capacity_ = 0;
  size_t bufferSize_ = 0;
};

}  // namespace tabula
