// TDataFile: the cursor operations. Each moves the index file's cursor on
// the current index (or over the visible records in physical order) and
// loads the record it stands on as the current record, reading ahead along
// the run of consecutive record numbers the index offers.
//
// The data file's "before the first" and "after the last" positions are the
// index cursor standing on the first (last) entry with BOF (EOF) set; a
// cursor that a move left one entry outside the range also carries the
// flag, and the next read in the other direction steps back inside.

#include <algorithm>
#include <cstring>

#include "tabula/data_file.h"
#include "engine/data_file_parts.h"
#include "engine/read_lock_scope.h"
#include "tabula/engine_error.h"
#include "tabula/field_types.h"
#include "engine/key_builder.h"
#include "engine/key_encoding.h"
#include "tabula/locale.h"

namespace tabula {

namespace {

constexpr int kMaxRereads = 64;

}  // namespace

// ---------------------------------------------------------------- indexes

void TDataFile::SelectIndex(const std::string& name) {
  TReadLockScope scope(*this);
  TIndexFile& index = *indexFile_;
  // The record the cursor stands on stays current under the new order.
  std::vector<uint8_t> record;
  int32_t recNo = 0;
  if (current_ && current_->RecordNo != 0 && !index.Bof() && !index.Eof()) {
    recNo = int32_t(current_->RecordNo);
    record.assign(current_->Data(), current_->Data() + RecordSize());
  }
  index.CancelRange();
  index.SelectIndexByName(name);
  const std::string& selected = index.CurrentIndexName();
  if (CompareStrings(header_.LanguageId, header_.SortId, selected, true, 0, name) != 0) Fail(kErrInvalidIndexName);
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

uint8_t TDataFile::CurrentIndex() const { return indexFile_->CurrentSlot(); }

int TDataFile::IndexCount() const {
  return (indexFile_->NoPrimaryIndex() ? 0 : 1) + indexFile_->Header().SecondaryCount;
}

TIndexDescriptor TDataFile::GetIndexDesc(uint8_t slot) const {
  if (slot >= kIndexSlotCount) Fail(kErrInvalidIndexName);
  return indexFile_->Descriptor(slot);
}

int TDataFile::KeySize() const { return indexFile_->KeyLength(); }

// ---------------------------------------------------------------- moving

void TDataFile::GotoFirst() {
  TReadLockScope scope(*this);
  indexFile_->FirstKey();
  indexFile_->SetCursorFlags(true, false);
  SetCurrentRecord(nullptr);
  scope.Release();
}

void TDataFile::GotoLast() {
  TReadLockScope scope(*this);
  indexFile_->LastKey();
  indexFile_->SetCursorFlags(false, true);
  SetCurrentRecord(nullptr);
  scope.Release();
}

namespace {

// Loads the record under the index cursor as the current record. A read
// that found the table changed has re-found the cursor already; the record
// it stands on now is read instead. False when the cursor became empty.
// An index entry that names a slot which is not a live record (deleted, or
// a status byte the format does not know) is damage: 8965 for the index
// file, never the slot's stale bytes.
bool LoadCursorRecord(TDataFile& file, int direction, TRecord*& record) {
  TIndexFile& index = file.IndexFile();
  for (int attempt = 0; attempt < kMaxRereads; ++attempt) {
    const int32_t recNo = index.CurrentRecordNumber();
    if (recNo <= 0) return false;
    if (file.GetRecord(uint32_t(recNo), true, direction, true, record) && record) {
      if (record->Data()[0] != kRecordLive) {
        file.ReleaseRecord(record);
        record = nullptr;
        RaiseEngineError(kErrIndexPagesCorrupt, index.FileName());
      }
      return true;
    }
  }
  RaiseEngineError(kErrRecordBuffersCorrupt, file.FileName());
}

}  // namespace

int TDataFile::ReadCurrent(uint8_t* buffer, bool lock) {
  TReadLockScope scope(*this);
  TIndexFile& index = *indexFile_;
  if (index.CurrentRecordNumber() == 0 || index.Bof() || index.Eof()) {
    const int code = index.Eof() && index.CurrentRecordNumber() != 0 ? kErrEndOfFile : kErrBeginningOfFile;
    if (buffer) InitRecord(buffer);
    scope.Release();
    return code;
  }
  if (lock) LockRecord(index.CurrentRecordNumber());
  TRecord* record = nullptr;
  if (!LoadCursorRecord(*this, kReadForward, record)) {
    if (buffer) InitRecord(buffer);
    scope.Release();
    return kErrBeginningOfFile;
  }
  SetCurrentRecord(record);
  if (buffer) std::memcpy(buffer, record->Data(), size_t(RecordSize()));
  scope.Release();
  return kResultOk;
}

// ReadPrior mirrors ReadNext with the cursor's other edge and backward steps.
int TDataFile::ReadNext(uint8_t* buffer) {
  TReadLockScope scope(*this);
  TIndexFile& index = *indexFile_;
  auto atEnd = [&] {
    if (buffer) InitRecord(buffer);
    scope.Release();
    return int(kErrEndOfFile);
  };
  if (index.CurrentRecordNumber() == 0) return atEnd();
  if (index.Bof() && index.CursorWithinRange()) {
    // Before the first record: the cursor already stands on it.
    index.SetCursorFlags(false, false);
  } else {
    index.MoveBy(1);
    if (index.Eof() || index.CurrentRecordNumber() == 0) return atEnd();
  }
  TRecord* record = nullptr;
  if (!LoadCursorRecord(*this, kReadForward, record)) return atEnd();
  SetCurrentRecord(record);
  if (buffer) std::memcpy(buffer, record->Data(), size_t(RecordSize()));
  scope.Release();
  return kResultOk;
}

int TDataFile::ReadPrior(uint8_t* buffer) {
  TReadLockScope scope(*this);
  TIndexFile& index = *indexFile_;
  auto atStart = [&] {
    if (buffer) InitRecord(buffer);
    scope.Release();
    return int(kErrBeginningOfFile);
  };
  if (index.CurrentRecordNumber() == 0) return atStart();
  if (index.Eof() && index.CursorWithinRange()) {
    // After the last record: the cursor already stands on it.
    index.SetCursorFlags(false, false);
  } else {
    index.MoveBy(-1);
    if (index.Bof() || index.CurrentRecordNumber() == 0) return atStart();
  }
  TRecord* record = nullptr;
  if (!LoadCursorRecord(*this, kReadBackward, record)) return atStart();
  SetCurrentRecord(record);
  if (buffer) std::memcpy(buffer, record->Data(), size_t(RecordSize()));
  scope.Release();
  return kResultOk;
}

// Record numbers in the current order: the position in the range for an
// index, the slot number in physical order.
int TDataFile::GotoRecNo(int32_t recNo) {
  TReadLockScope scope(*this);
  TIndexFile& index = *indexFile_;
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
  if (code == kResultOk) {
    TRecord* record = nullptr;
    if (LoadCursorRecord(*this, kReadForward, record))
      SetCurrentRecord(record);
    else
      code = kErrEndOfFile;
  }
  scope.Release();
  return code;
}

int32_t TDataFile::CurrentRecNo() {
  TReadLockScope scope(*this);
  TIndexFile& index = *indexFile_;
  int32_t result = index.PhysicalOrder() ? index.CurrentRecordNumber() : index.PositionInRange();
  scope.Release();
  return result;
}

int32_t TDataFile::RecordCount() {
  TReadLockScope scope(*this);
  int32_t result = indexFile_->CursorRecordCount();
  scope.Release();
  return result;
}

// ---------------------------------------------------------------- bookmarks

// A bookmark is the current key (keys are distinct in every index), or the
// record number in physical order; an empty cursor gives zeros.
void TDataFile::GetBookmark(uint8_t* bookmark) {
  TIndexFile& index = *indexFile_;
  const int size = KeySize();
  std::memset(bookmark, 0, size_t(size));
  if (index.PhysicalOrder()) {
    StoreU32(bookmark, uint32_t(index.CurrentRecordNumber()));
    return;
  }
  if (const uint8_t* key = index.CurrentKey()) std::memcpy(bookmark, key, size_t(size));
}

int TDataFile::GotoBookmark(const uint8_t* bookmark) {
  TReadLockScope scope(*this);
  TIndexFile& index = *indexFile_;
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
  if (code == kResultOk) {
    TRecord* record = nullptr;
    if (LoadCursorRecord(*this, kReadForward, record))
      SetCurrentRecord(record);
    else
      code = kErrRecordNotFound;
  }
  scope.Release();
  return code;
}

int TDataFile::CompareBookmarks(const uint8_t* left, const uint8_t* right) {
  TIndexFile& index = *indexFile_;
  if (index.PhysicalOrder()) {
    uint32_t a = LoadU32(left);
    uint32_t b = LoadU32(right);
    return a < b ? -1 : (a > b ? 1 : 0);
  }
  return index.CompareKeys(left, right);
}

// ---------------------------------------------------------------- search

int TDataFile::FindKey(const uint8_t* key, int fieldCount, int partialLength, bool nearest) {
  TReadLockScope scope(*this);
  TIndexFile& index = *indexFile_;
  if (index.PhysicalOrder()) {
    scope.Release();
    return kErrRecordNotFound;
  }
  const uint8_t slot = index.CurrentSlot();
  const TIndexDescriptor& desc = index.Descriptor(slot);
  const int length = desc.KeyLength;
  // The bytes the caller gave: the counted fields, then the presence byte
  // and partialLength characters of the next field.
  int given = 0;
  const int fields = std::clamp(fieldCount, 0, int(desc.FieldCount));
  for (int i = 0; i < fields; ++i) {
    TKeyFieldInfo info;
    if (!GetKeyFieldInfo(desc.FieldNumbers[i], info)) Fail(kErrIndexFieldNumber);
    given += info.DataSize + 1;
  }
  if (partialLength > 0 && fields < desc.FieldCount) {
    TKeyFieldInfo info;
    if (!GetKeyFieldInfo(desc.FieldNumbers[fields], info)) Fail(kErrIndexFieldNumber);
    given += 1 + std::min(partialLength, int(info.DataSize));
  }
  given = std::min(given, length);
  if (fields == desc.FieldCount && partialLength <= 0 && HasKeySuffix(slot, desc)) given = length - kKeySuffixLength;
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
    scope.Release();
    return code;
  }
  if (index.CurrentRecordNumber() == 0) {
    scope.Release();
    return kErrRecordNotFound;
  }
  // Nearest beyond every key: the last record becomes the current one.
  index.SetCursorFlags(false, false);
  TRecord* record = nullptr;
  if (LoadCursorRecord(*this, kReadForward, record))
    SetCurrentRecord(record);
  else
    code = kErrRecordNotFound;
  scope.Release();
  return code;
}

void TDataFile::SetRange(const uint8_t* startKey, int startFieldCount, int startPartialLength, bool startExclusive,
                         const uint8_t* endKey, int endFieldCount, int endPartialLength, bool endExclusive) {
  TReadLockScope scope(*this);
  TIndexFile& index = *indexFile_;
  if (index.PhysicalOrder()) {
    scope.Release();
    return;
  }
  const uint8_t slot = index.CurrentSlot();
  const TIndexDescriptor& desc = index.Descriptor(slot);
  const int length = desc.KeyLength;
  auto givenBytes = [&](int fieldCount, int partialLength) {
    int given = 0;
    const int fields = std::clamp(fieldCount, 0, int(desc.FieldCount));
    for (int i = 0; i < fields; ++i) {
      TKeyFieldInfo info;
      if (!GetKeyFieldInfo(desc.FieldNumbers[i], info)) Fail(kErrIndexFieldNumber);
      given += info.DataSize + 1;
    }
    if (partialLength > 0 && fields < desc.FieldCount) {
      TKeyFieldInfo info;
      if (!GetKeyFieldInfo(desc.FieldNumbers[fields], info)) Fail(kErrIndexFieldNumber);
      given += 1 + std::min(partialLength, int(info.DataSize));
    }
    if (fields == desc.FieldCount && partialLength <= 0 && HasKeySuffix(slot, desc)) given = length - kKeySuffixLength;
    return std::min(given, length);
  };
  std::vector<uint8_t> low(kKeyBufferSize, 0);
  std::vector<uint8_t> high(kKeyBufferSize, 0);
  int lowGiven = 0;
  int highGiven = 0;
  if (startKey) {
    lowGiven = givenBytes(startFieldCount, startPartialLength);
    std::memcpy(low.data(), startKey, size_t(lowGiven));
  }
  if (endKey) {
    highGiven = givenBytes(endFieldCount, endPartialLength);
    std::memcpy(high.data(), endKey, size_t(highGiven));
  }
  // In index order a low bound lies before every key sharing its bytes
  // (0x00 fill ascending, 0xFF descending) and a high bound after them; an
  // exclusive bound steps past those keys instead. An open side has no bytes.
  const bool descending = desc.Descending;
  auto pad = [&](std::vector<uint8_t>& key, int given, bool isLow, bool exclusive) {
    const bool lowFill = isLow != descending;  // fill with 0x00
    if (exclusive && given > 0) {
      if (isLow != descending)
        IncrementKey(key.data(), size_t(given));
      else
        DecrementKey(key.data(), size_t(given));
    }
    if (lowFill)
      FillKeyLow(key.data(), size_t(given), size_t(length));
    else
      FillKeyHigh(key.data(), size_t(given), size_t(length));
  };
  pad(low, lowGiven, true, startExclusive);
  pad(high, highGiven, false, endExclusive);
  index.SetRangeStart(low.data());
  index.SetRangeEnd(high.data());
  index.ActivateRange();
  index.ComputeRangeBounds();
  index.FirstKey();
  index.SetCursorFlags(true, false);
  SetCurrentRecord(nullptr);
  scope.Release();
}

void TDataFile::CancelRange() {
  TReadLockScope scope(*this);
  TIndexFile& index = *indexFile_;
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

int TDataFile::GotoCurrent(TDataFile& other) {
  TReadLockScope scope(*this);
  TIndexFile& index = *indexFile_;
  TRecord* theirs = other.CurrentRecord();
  const int32_t recNo = theirs ? int32_t(theirs->RecordNo) : other.IndexFile().CurrentRecordNumber();
  if (recNo <= 0) {
    scope.Release();
    return kErrRecordNotFound;
  }
  if (index.PhysicalOrder()) {
    index.GoToRecord(recNo);
  } else {
    std::vector<uint8_t> record;
    if (theirs) {
      record.assign(theirs->Data(), theirs->Data() + RecordSize());
    } else {
      TRecord* read = nullptr;
      if (!GetRecord(uint32_t(recNo), false, kReadForward, false, read) || !read) {
        scope.Release();
        return kErrRecordNotFound;
      }
      record.assign(read->Data(), read->Data() + RecordSize());
      ReleaseRecord(read);
    }
    std::vector<uint8_t> key(kKeyBufferSize, 0);
    BuildKey(record.data(), key.data());
    index.FindKey(key.data(), false, false);
  }
  if (index.CurrentRecordNumber() != recNo) {
    scope.Release();
    return kErrRecordNotFound;
  }
  index.SetCursorFlags(false, false);
  TRecord* record = nullptr;
  int code = kResultOk;
  if (LoadCursorRecord(*this, kReadForward, record))
    SetCurrentRecord(record);
  else
    code = kErrRecordNotFound;
  scope.Release();
  return code;
}

std::unique_ptr<TDataFile> TDataFile::Clone() {
  if (Exclusive()) Fail(kErrAccessDenied);
  auto clone = std::make_unique<TDataFile>();
  clone->SetFileName(FileName());
  clone->SetReadOnly(ReadOnly());
  clone->SetInMemory(InMemory());
  clone->SetStrictChangeDetection(strictChangeDetection_);
  clone->SetForceBufferFlush(forceBufferFlush_);
  clone->SetPasswordCallback(passwordUserData_, passwordCallback_);
  clone->LockRetryCount = LockRetryCount;
  clone->LockWaitTime = LockWaitTime;
  clone->Open();
  TIndexFile& mine = *indexFile_;
  TIndexFile& theirs = clone->IndexFile();
  theirs.SelectIndexSlot(mine.CurrentSlot());
  if (mine.RangeActive()) {
    theirs.SetRangeStart(mine.RangeStartKey());
    theirs.SetRangeEnd(mine.RangeEndKey());
    theirs.ActivateRange();
    theirs.ComputeRangeBounds();
  }
  // The filters, each with its own copy of the expression, active as here.
  bool anyActive = false;
  for (size_t i = 0; i < FilterCount(); ++i) {
    const TFilter* filter = FilterAt(i);
    TFilterSpec request;
    request.UserData = filter->UserData;
    request.RestrictToPrevious = filter->RestrictToPrevious;
    if (filter->IsCallback) {
      request.Callback = filter->Callback;
    } else if (filter->Tree) {
      request.Tree = TFilterTree::Owned(CopyFilterTree(*filter->Tree));
    } else {
      continue;
    }
    TFilter* copy = clone->AddFilter(std::move(request));
    if (filter->Active) {
      clone->filterList_->Activate(copy);
      anyActive = true;
    }
  }
  if (anyActive) theirs.RefreshFilter(nullptr);
  if (mine.CurrentRecordNumber() != 0 && !mine.Bof() && !mine.Eof()) {
    clone->GotoCurrent(*this);
  } else {
    theirs.FirstKey();
    theirs.SetCursorFlags(true, false);
  }
  return clone;
}

}  // namespace tabula
