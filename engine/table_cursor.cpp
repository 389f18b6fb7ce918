#include "engine/table_cursor.h"

#include <algorithm>
#include <cstring>

#include "tabula/data_file.h"
#include "engine/data_file_parts.h"
#include "tabula/engine_error.h"
#include "tabula/field_types.h"
#include "engine/key_builder.h"
#include "engine/key_encoding.h"
#include "tabula/locale.h"
#include "engine/read_lock_scope.h"

namespace tabula {

namespace {

constexpr int kMaxRereads = 64;

}  // namespace

TIndexFile& TTableCursor::Index() const { return table_.IndexFile(); }

// ---------------------------------------------------------------- the current record

void TTableCursor::SetCurrent(TRecord* record) {
  if (current_ == record) {
    // Same entry: the caller's new pin is one too many.
    table_.ReleaseRecord(record);
    return;
  }
  table_.ReleaseRecord(current_);
  current_ = record;
}

// A read that found the table changed has re-found the cursor already; the
// record it stands on now is read instead. An index entry that names a slot
// which is not a live record (deleted, or a status byte the format does not
// know) is damage: 8965 for the index file, never the slot's stale bytes.
bool TTableCursor::LoadIndexRecord(int direction) {
  TIndexFile& index = Index();
  for (int attempt = 0; attempt < kMaxRereads; ++attempt) {
    const int32_t recNo = index.CurrentRecordNumber();
    if (recNo <= 0) return false;
    TRecord* record = nullptr;
    if (table_.GetRecord(uint32_t(recNo), true, direction, true, record) && record) {
      if (record->Data()[0] != kRecordLive) {
        table_.ReleaseRecord(record);
        RaiseEngineError(kErrIndexPagesCorrupt, index.FileName());
      }
      SetCurrent(record);
      return true;
    }
  }
  RaiseEngineError(kErrRecordBuffersCorrupt, table_.FileName());
}

int TTableCursor::HandOut(uint8_t* buffer) const {
  if (buffer) std::memcpy(buffer, current_->Data(), size_t(table_.RecordSize()));
  return kResultOk;
}

int TTableCursor::Empty(uint8_t* buffer, int code) const {
  if (buffer) table_.InitRecord(buffer);
  return code;
}

void TTableCursor::ReloadFromIndex() {
  const int32_t recNo = Index().CurrentRecordNumber();
  TRecord* record = nullptr;
  if (recNo > 0 && recNo < table_.NextRecordNo() &&
      table_.GetRecord(uint32_t(recNo), false, kReadForward, false, record) && record != nullptr)
    SetCurrent(record);
  else
    SetCurrent(nullptr);
}

void TTableCursor::ReturnToRecord(const uint8_t* record, int32_t recordNo) {
  TIndexFile& index = Index();
  if (index.PhysicalOrder()) {
    index.GoToRecord(recordNo);
  } else {
    std::vector<uint8_t> key(kKeyBufferSize, 0);
    BuildKey(record, key.data());
    index.FindKey(key.data(), true, false);
  }
  index.SetCursorFlags(false, false);
  ReloadFromIndex();
}

void TTableCursor::ReturnAfterDelete(const std::vector<uint8_t>& key, int32_t recordNo) {
  TIndexFile& index = Index();
  if (index.PhysicalOrder()) {
    index.GoToRecord(recordNo);
  } else if (!key.empty()) {
    // The key is gone: the cursor lands on the next key in the order (on
    // the last one, with EOF, when the record was the last).
    std::vector<uint8_t> probe(key);
    index.FindKey(probe.data(), true, false);
  }
  ReloadFromIndex();
}

// ---------------------------------------------------------------- places

TTableCursor::TPlace TTableCursor::Remember() const {
  const TIndexFile& index = Index();
  TPlace place;
  place.Positioned = index.IsOpen() && index.CurrentKey() != nullptr;
  place.Bof = index.Bof();
  place.Eof = index.Eof();
  if (index.IsOpen()) place.RecNo = index.CurrentRecordNumber();
  if (place.Positioned) {
    const uint8_t* key = index.CurrentKey();
    place.Key.assign(key, key + index.KeyLength());
  }
  return place;
}

void TTableCursor::Return(TPlace place, bool keepFlags) {
  TIndexFile& index = Index();
  // The live and visible bitmaps of bitmap mode describe the old records.
  if (index.BitmapMode()) index.RebuildBitmaps();
  if (!place.Positioned) {
    index.MarkEmpty();
  } else if (index.PhysicalOrder()) {
    index.GoToRecord(place.RecNo);
  } else {
    place.Key.resize(std::max<size_t>(place.Key.size(), kKeyBufferSize), 0);
    index.FindKey(place.Key.data(), true, keepFlags);
  }
}

void TTableCursor::ReturnAfterFilterChange(const TPlace& place) {
  TIndexFile& index = Index();
  if (place.RecNo == 0 || place.Bof) {
    index.FirstKey();
    index.SetCursorFlags(true, false);
    SetCurrent(nullptr);
    return;
  }
  if (place.Eof) {
    index.LastKey();
    index.SetCursorFlags(false, true);
    SetCurrent(nullptr);
    return;
  }
  if (index.PhysicalOrder()) {
    index.GoToRecord(place.RecNo);
  } else {
    std::vector<uint8_t> probe(place.Key);
    probe.resize(std::max<size_t>(probe.size(), kKeyBufferSize), 0);
    index.FindKey(probe.data(), true, false);
  }
  if (index.CurrentRecordNumber() == 0) {
    SetCurrent(nullptr);
    return;
  }
  index.SetCursorFlags(false, false);
  if (current_ == nullptr || int32_t(current_->RecordNo) != index.CurrentRecordNumber()) ReloadFromIndex();
}

// ---------------------------------------------------------------- indexes

void TTableCursor::SelectIndex(const std::string& name) {
  TReadLockScope scope(table_);
  TIndexFile& index = Index();
  // The record the cursor stands on stays current under the new order.
  std::vector<uint8_t> record;
  int32_t recNo = 0;
  if (current_ && current_->RecordNo != 0 && !index.Bof() && !index.Eof()) {
    recNo = int32_t(current_->RecordNo);
    record.assign(current_->Data(), current_->Data() + table_.RecordSize());
  }
  index.CancelRange();
  index.SelectIndexByName(name);
  const std::string& selected = index.CurrentIndexName();
  if (CompareStrings(table_.LanguageId(), table_.SortId(), selected, true, 0, name) != 0)
    RaiseEngineError(kErrInvalidIndexName, table_.FileName());
  if (recNo != 0) {
    if (index.PhysicalOrder()) {
      index.GoToRecord(recNo);
    } else {
      std::vector<uint8_t> key(kKeyBufferSize, 0);
      BuildKey(record.data(), key.data());
      index.FindKey(key.data(), true, false);
      if (index.Eof()) index.SetCursorFlags(false, false);
    }
  } else {
    index.FirstKey();
    index.SetCursorFlags(true, false);
  }
  scope.Release();
}

uint8_t TTableCursor::CurrentIndex() const { return Index().CurrentSlot(); }

int TTableCursor::IndexCount() const {
  const TIndexFile& index = Index();
  return (index.NoPrimaryIndex() ? 0 : 1) + index.Header().SecondaryCount;
}

TIndexDescriptor TTableCursor::GetIndexDesc(uint8_t slot) const {
  if (slot >= kIndexSlotCount) RaiseEngineError(kErrInvalidIndexName, table_.FileName());
  return Index().Descriptor(slot);
}

int TTableCursor::KeySize() const { return Index().KeyLength(); }

void TTableCursor::BuildKey(const uint8_t* buffer, uint8_t* key) const {
  const TIndexFile& index = Index();
  const uint8_t slot = index.CurrentSlot();
  if (index.PhysicalOrder()) {
    std::memset(key, 0, 4);
    return;
  }
  const std::vector<TFieldDesc>& descs = table_.Descriptors(TDescSet::kFile);
  BuildIndexKey(slot, index.Descriptor(slot), descs.data(), descs.size(), buffer, table_.LanguageId(), table_.SortId(),
                key);
}

// ---------------------------------------------------------------- moving

void TTableCursor::GotoFirst() {
  TReadLockScope scope(table_);
  Index().FirstKey();
  Index().SetCursorFlags(true, false);
  SetCurrent(nullptr);
  scope.Release();
}

void TTableCursor::GotoLast() {
  TReadLockScope scope(table_);
  Index().LastKey();
  Index().SetCursorFlags(false, true);
  SetCurrent(nullptr);
  scope.Release();
}

int TTableCursor::ReadCurrent(uint8_t* buffer, bool lock) {
  TReadLockScope scope(table_);
  TIndexFile& index = Index();
  int code = kResultOk;
  if (index.CurrentRecordNumber() == 0 || index.Bof() || index.Eof()) {
    code = Empty(buffer, index.Eof() && index.CurrentRecordNumber() != 0 ? kErrEndOfFile : kErrBeginningOfFile);
  } else {
    if (lock) table_.LockRecord(index.CurrentRecordNumber());
    code = LoadIndexRecord(kReadForward) ? HandOut(buffer) : Empty(buffer, kErrBeginningOfFile);
  }
  scope.Release();
  return code;
}

// ReadPrior mirrors ReadNext with the cursor's other edge and backward steps.
int TTableCursor::ReadNext(uint8_t* buffer) {
  TReadLockScope scope(table_);
  TIndexFile& index = Index();
  int code = kErrEndOfFile;
  if (index.CurrentRecordNumber() != 0) {
    bool onRecord = true;
    if (index.Bof() && index.CursorWithinRange()) {
      // Before the first record: the cursor already stands on it.
      index.SetCursorFlags(false, false);
    } else {
      index.MoveBy(1);
      onRecord = !index.Eof() && index.CurrentRecordNumber() != 0;
    }
    if (onRecord && LoadIndexRecord(kReadForward)) code = HandOut(buffer);
  }
  if (code != kResultOk) Empty(buffer, code);
  scope.Release();
  return code;
}

int TTableCursor::ReadPrior(uint8_t* buffer) {
  TReadLockScope scope(table_);
  TIndexFile& index = Index();
  int code = kErrBeginningOfFile;
  if (index.CurrentRecordNumber() != 0) {
    bool onRecord = true;
    if (index.Eof() && index.CursorWithinRange()) {
      // After the last record: the cursor already stands on it.
      index.SetCursorFlags(false, false);
    } else {
      index.MoveBy(-1);
      onRecord = !index.Bof() && index.CurrentRecordNumber() != 0;
    }
    if (onRecord && LoadIndexRecord(kReadBackward)) code = HandOut(buffer);
  }
  if (code != kResultOk) Empty(buffer, code);
  scope.Release();
  return code;
}

// Record numbers in the current order: the position in the range for an
// index, the slot number in physical order.
int TTableCursor::GotoRecNo(int32_t recNo) {
  TReadLockScope scope(table_);
  TIndexFile& index = Index();
  if (index.PhysicalOrder())
    index.GoToRecord(recNo);
  else
    index.GoToPosition(recNo);
  int code = kResultOk;
  if (index.CurrentRecordNumber() == 0)
    code = kErrEndOfFile;
  else if (index.Bof())
    code = kErrBeginningOfFile;
  else if (index.Eof())
    code = kErrEndOfFile;
  if (code == kResultOk && !LoadIndexRecord(kReadForward)) code = kErrEndOfFile;
  scope.Release();
  return code;
}

int32_t TTableCursor::CurrentRecNo() {
  TReadLockScope scope(table_);
  TIndexFile& index = Index();
  const int32_t result = index.PhysicalOrder() ? index.CurrentRecordNumber() : index.PositionInRange();
  scope.Release();
  return result;
}

int32_t TTableCursor::RecordCount() {
  TReadLockScope scope(table_);
  const int32_t result = Index().CursorRecordCount();
  scope.Release();
  return result;
}

// ---------------------------------------------------------------- bookmarks

// A bookmark is the current key (keys are distinct in every index), or the
// record number in physical order; an empty cursor gives zeros.
void TTableCursor::GetBookmark(uint8_t* bookmark) {
  TIndexFile& index = Index();
  const int size = KeySize();
  std::memset(bookmark, 0, size_t(size));
  if (index.PhysicalOrder()) {
    StoreU32(bookmark, uint32_t(index.CurrentRecordNumber()));
    return;
  }
  if (const uint8_t* key = index.CurrentKey()) std::memcpy(bookmark, key, size_t(size));
}

int TTableCursor::GotoBookmark(const uint8_t* bookmark) {
  TReadLockScope scope(table_);
  TIndexFile& index = Index();
  if (index.PhysicalOrder()) {
    index.GoToRecord(int32_t(LoadU32(bookmark)));
  } else {
    std::vector<uint8_t> key(kKeyBufferSize, 0);
    std::memcpy(key.data(), bookmark, size_t(KeySize()));
    // A record that has gone leaves the cursor on the next key.
    index.FindKey(key.data(), true, false);
    if (index.Eof()) index.SetCursorFlags(false, false);
  }
  int code = index.CurrentRecordNumber() == 0 ? int(kErrRecordNotFound) : int(kResultOk);
  if (code == kResultOk && !LoadIndexRecord(kReadForward)) code = kErrRecordNotFound;
  scope.Release();
  return code;
}

int TTableCursor::CompareBookmarks(const uint8_t* left, const uint8_t* right) {
  TIndexFile& index = Index();
  if (index.PhysicalOrder()) {
    uint32_t a = LoadU32(left);
    uint32_t b = LoadU32(right);
    return a < b ? -1 : (a > b ? 1 : 0);
  }
  return index.CompareKeys(left, right);
}

// ---------------------------------------------------------------- search

int TTableCursor::GivenKeyBytes(uint8_t slot, const TIndexDescriptor& desc, int fieldCount, int partialLength) const {
  const int length = desc.KeyLength;
  int given = 0;
  const int fields = std::clamp(fieldCount, 0, int(desc.FieldCount));
  const std::vector<TFieldDesc>& descs = table_.Descriptors(TDescSet::kFile);
  auto fieldSize = [&](int k) {
    const uint16_t fieldNo = desc.FieldNumbers[k];
    if (fieldNo == 0 || fieldNo > descs.size()) RaiseEngineError(kErrIndexFieldNumber, table_.FileName());
    return int(KeyFieldInfoOf(descs[fieldNo - 1u]).DataSize);
  };
  for (int i = 0; i < fields; ++i) given += fieldSize(i) + 1;
  if (partialLength > 0 && fields < desc.FieldCount) given += 1 + std::min(partialLength, fieldSize(fields));
  if (fields == desc.FieldCount && partialLength <= 0 && HasKeySuffix(slot, desc)) given = length - kKeySuffixLength;
  return std::min(given, length);
}

int TTableCursor::FindKey(const uint8_t* key, int fieldCount, int partialLength, bool nearest) {
  TReadLockScope scope(table_);
  TIndexFile& index = Index();
  if (index.PhysicalOrder()) {
    scope.Release();
    return kErrRecordNotFound;
  }
  const uint8_t slot = index.CurrentSlot();
  const TIndexDescriptor& desc = index.Descriptor(slot);
  const int length = desc.KeyLength;
  int given = GivenKeyBytes(slot, desc, fieldCount, partialLength);
  if (given <= 0) given = length;

  std::vector<uint8_t> probe(kKeyBufferSize, 0);
  std::memcpy(probe.data(), key, size_t(given));
  if (desc.Descending)
    FillKeyHigh(probe.data(), size_t(given), size_t(length));
  else
    FillKeyLow(probe.data(), size_t(given), size_t(length));

  // Where the cursor stood, for a search that finds nothing and must not move.
  std::vector<uint8_t> before;
  const bool wasBof = index.Bof();
  const bool wasEof = index.Eof();
  if (const uint8_t* current = index.CurrentKey()) before.assign(current, current + length);

  bool found;
  if (given == length) {
    found = index.FindKey(probe.data(), true, false);
  } else {
    index.FindKey(probe.data(), true, false);
    const uint8_t* landed = index.CurrentKey();
    found = landed && !index.Eof() && index.CompareKeys(landed, probe.data(), &desc, desc.Descending, given) == 0;
  }
  int code = kResultOk;
  if (!found && !nearest) {
    code = kErrRecordNotFound;
    if (!before.empty()) {
      before.resize(kKeyBufferSize, 0);
      index.FindKey(before.data(), true, false);
      index.SetCursorFlags(wasBof, wasEof);
    }
  } else if (index.CurrentRecordNumber() == 0) {
    code = kErrRecordNotFound;
  } else {
    // Nearest beyond every key: the last record becomes the current one.
    index.SetCursorFlags(false, false);
    if (!LoadIndexRecord(kReadForward)) code = kErrRecordNotFound;
  }
  scope.Release();
  return code;
}

void TTableCursor::SetRange(const uint8_t* startKey, int startFieldCount, int startPartialLength, bool startExclusive,
                            const uint8_t* endKey, int endFieldCount, int endPartialLength, bool endExclusive) {
  TReadLockScope scope(table_);
  TIndexFile& index = Index();
  if (index.PhysicalOrder()) {
    scope.Release();
    return;
  }
  const uint8_t slot = index.CurrentSlot();
  const TIndexDescriptor& desc = index.Descriptor(slot);
  const int length = desc.KeyLength;
  // In index order a low bound lies before every key sharing its bytes
  // (0x00 fill ascending, 0xFF descending) and a high bound after them; an
  // exclusive bound steps past those keys instead. An open side has no bytes.
  auto bound = [&](const uint8_t* given, int fieldCount, int partialLength, bool isLow, bool exclusive) {
    std::vector<uint8_t> key(kKeyBufferSize, 0);
    int count = 0;
    if (given) {
      count = GivenKeyBytes(slot, desc, fieldCount, partialLength);
      std::memcpy(key.data(), given, size_t(count));
    }
    const bool lowFill = isLow != desc.Descending;  // fill with 0x00
    if (exclusive && count > 0) {
      if (lowFill)
        IncrementKey(key.data(), size_t(count));
      else
        DecrementKey(key.data(), size_t(count));
    }
    if (lowFill)
      FillKeyLow(key.data(), size_t(count), size_t(length));
    else
      FillKeyHigh(key.data(), size_t(count), size_t(length));
    return key;
  };
  const std::vector<uint8_t> low = bound(startKey, startFieldCount, startPartialLength, true, startExclusive);
  const std::vector<uint8_t> high = bound(endKey, endFieldCount, endPartialLength, false, endExclusive);
  index.SetRangeStart(low.data());
  index.SetRangeEnd(high.data());
  index.ActivateRange();
  index.ComputeRangeBounds();
  index.FirstKey();
  index.SetCursorFlags(true, false);
  SetCurrent(nullptr);
  scope.Release();
}

void TTableCursor::CancelRange() {
  TReadLockScope scope(table_);
  TIndexFile& index = Index();
  const int32_t recNo = index.Bof() || index.Eof() ? 0 : index.CurrentRecordNumber();
  std::vector<uint8_t> key;
  if (const uint8_t* current = index.CurrentKey()) key.assign(current, current + index.KeyLength());
  index.CancelRange();
  if (recNo != 0 && !key.empty()) {
    key.resize(kKeyBufferSize, 0);
    index.FindKey(key.data(), true, false);
    if (index.Eof()) index.SetCursorFlags(false, false);
  } else {
    index.FirstKey();
    index.SetCursorFlags(true, false);
  }
  scope.Release();
}

int TTableCursor::GotoCurrent(TDataFile& other) {
  TReadLockScope scope(table_);
  TIndexFile& index = Index();
  TRecord* theirs = other.CurrentRecord();
  const int32_t recNo = theirs ? int32_t(theirs->RecordNo) : other.IndexFile().CurrentRecordNumber();
  int code = recNo <= 0 ? int(kErrRecordNotFound) : int(kResultOk);
  if (code == kResultOk && index.PhysicalOrder()) {
    index.GoToRecord(recNo);
  } else if (code == kResultOk) {
    std::vector<uint8_t> record;
    if (theirs) {
      record.assign(theirs->Data(), theirs->Data() + table_.RecordSize());
    } else {
      TRecord* read = nullptr;
      if (table_.GetRecord(uint32_t(recNo), false, kReadForward, false, read) && read) {
        record.assign(read->Data(), read->Data() + table_.RecordSize());
        table_.ReleaseRecord(read);
      } else {
        code = kErrRecordNotFound;
      }
    }
    if (code == kResultOk) {
      std::vector<uint8_t> key(kKeyBufferSize, 0);
      BuildKey(record.data(), key.data());
      index.FindKey(key.data(), false, false);
    }
  }
  if (code == kResultOk && index.CurrentRecordNumber() != recNo) code = kErrRecordNotFound;
  if (code == kResultOk) {
    index.SetCursorFlags(false, false);
    if (!LoadIndexRecord(kReadForward)) code = kErrRecordNotFound;
  }
  scope.Release();
  return code;
}

void TTableCursor::CopyOrderTo(TTableCursor& clone) const {
  const TIndexFile& mine = Index();
  TIndexFile& theirs = clone.Index();
  theirs.SelectIndexSlot(mine.CurrentSlot());
  if (mine.RangeActive()) {
    theirs.SetRangeStart(mine.RangeStartKey());
    theirs.SetRangeEnd(mine.RangeEndKey());
    theirs.ActivateRange();
    theirs.ComputeRangeBounds();
  }
}

void TTableCursor::CopyPlaceTo(TTableCursor& clone) {
  const TIndexFile& mine = Index();
  if (mine.CurrentRecordNumber() != 0 && !mine.Bof() && !mine.Eof()) {
    clone.GotoCurrent(table_);
  } else {
    clone.Index().FirstKey();
    clone.Index().SetCursorFlags(true, false);
  }
}

}  // namespace tabula
