#pragma once
// TTableCursor: where one table handle stands and how it moves. It moves
// the index file's cursor on the current index (or over the visible records
// in physical order) and keeps the record that cursor stands on as the
// current record, pinned in the record store; reads along an index ask the
// store to read ahead the run of consecutive record numbers the index
// offers. Positioning by key, ranges, bookmarks and the way back to a place
// after the caches were dropped or the filters changed live here too.
//
// The table's "before the first" and "after the last" positions are the
// index cursor standing on the first (last) entry with BOF (EOF) set; a
// cursor that a move left one entry outside the range also carries the
// flag, and the next read in the other direction steps back inside.
//
// TDataFile owns one and forwards its cursor operations to it.

#include <cstdint>
#include <string>
#include <vector>

#include "tabula/index_descriptor.h"

namespace tabula {

class TDataFile;
class TIndexFile;
struct TRecord;

class TTableCursor {
 public:
  explicit TTableCursor(TDataFile& table) : table_(table) {}
  TTableCursor(const TTableCursor&) = delete;
  TTableCursor& operator=(const TTableCursor&) = delete;

  // ---- The operations TDataFile forwards (see there) ----
  void SelectIndex(const std::string& name);
  uint8_t CurrentIndex() const;
  int IndexCount() const;
  TIndexDescriptor GetIndexDesc(uint8_t slot) const;
  int KeySize() const;
  void GotoFirst();
  void GotoLast();
  int ReadCurrent(uint8_t* buffer, bool lock);
  int ReadNext(uint8_t* buffer);
  int ReadPrior(uint8_t* buffer);
  int GotoRecNo(int32_t recNo);
  int32_t CurrentRecNo();
  int32_t RecordCount();
  void GetBookmark(uint8_t* bookmark);
  int GotoBookmark(const uint8_t* bookmark);
  int CompareBookmarks(const uint8_t* left, const uint8_t* right);
  int FindKey(const uint8_t* key, int fieldCount, int partialLength, bool nearest);
  void SetRange(const uint8_t* startKey, int startFieldCount, int startPartialLength, bool startExclusive,
                const uint8_t* endKey, int endFieldCount, int endPartialLength, bool endExclusive);
  void CancelRange();
  int GotoCurrent(TDataFile& other);
  void BuildKey(const uint8_t* buffer, uint8_t* key) const;
  // A clone's cursor takes this one's index and range, before its filters
  // are copied, then this one's place, after.
  void CopyOrderTo(TTableCursor& clone) const;
  void CopyPlaceTo(TTableCursor& clone);

  // ---- The current record ----
  TRecord* Current() const { return current_; }
  // Makes `record` (pinned by the caller, or null) the current record and
  // unpins the previous one.
  void SetCurrent(TRecord* record);
  // The record store dropped every record: there is no current one.
  void Forget() { current_ = nullptr; }
  // The record the index cursor stands on becomes current (none off the file).
  void ReloadFromIndex();
  // After an update: on `record` (slot recordNo) again, by its key in the
  // current order.
  void ReturnToRecord(const uint8_t* record, int32_t recordNo);
  // After a delete: where the record stood (the next key in the order).
  void ReturnAfterDelete(const std::vector<uint8_t>& key, int32_t recordNo);

  // ---- Places: to come back after the caches are dropped ----
  struct TPlace {
    bool Positioned = false;
    bool Bof = false;
    bool Eof = false;
    int32_t RecNo = 0;
    std::vector<uint8_t> Key;
  };
  TPlace Remember() const;
  // By the key again (the live bitmaps rebuilt first); keepFlags keeps the
  // index cursor's BOF and EOF flags as the search leaves them.
  void Return(TPlace place, bool keepFlags);
  // After the filters changed: before the first and after the last stay
  // there; a cursor on a record stays on it while it is visible, else moves
  // to the next visible record in the current order (the last when none follows).
  void ReturnAfterFilterChange(const TPlace& place);

 private:
  TIndexFile& Index() const;
  // The bytes of a key the caller gave: fieldCount whole fields, then the
  // presence byte and partialLength characters of the next one; the whole
  // key without its suffix when every field is given.
  int GivenKeyBytes(uint8_t slot, const TIndexDescriptor& desc, int fieldCount, int partialLength) const;
  // Loads the record under the index cursor as the current record; false
  // when the cursor became empty.
  bool LoadIndexRecord(int direction);
  // Copies the current record to the buffer (when given) and gives 0.
  int HandOut(uint8_t* buffer) const;
  // The ends of ReadCurrent, ReadNext and ReadPrior: the buffer gets an
  // empty record and the code is returned.
  int Empty(uint8_t* buffer, int code) const;

  TDataFile& table_;
  TRecord* current_ = nullptr;
};

}  // namespace tabula
