#include "engine/data_file.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <climits>
#include <cstring>

#include "engine/engine_error.h"
#include "engine/field_types.h"
#include "engine/field_values.h"
#include "engine/file_session.h"
#include "engine/key_builder.h"
#include "engine/locale.h"
#include "engine/scramble.h"

namespace tabula {

namespace {

size_t CacheCapacityFor(size_t bufferSize) {
  // About 128 KB of record buffers; never fewer than a handful of entries,
  // so that a table with very long records still has room for the current
  // record and the one being read.
  size_t capacity = bufferSize == 0 ? kMaxCacheEntries : kCacheBytes / bufferSize;
  return std::clamp<size_t>(capacity, 8, kMaxCacheEntries);
}

}  // namespace

TDataFile::TDataFile()
    : cache_(this), indexFile_(std::make_unique<TIndexFile>(this)), blobFile_(std::make_unique<TBlobFile>(this)) {}

TDataFile::~TDataFile() {
  try {
    Close();
  } catch (...) {
    // A destructor cannot report; the files are closed below regardless.
  }
  if (indexFile_ && indexFile_->IsOpen()) indexFile_->CloseFile();
  if (blobFile_ && blobFile_->IsOpen()) blobFile_->CloseFile();
}

std::string ResolveDataFileName(const std::string& name) {
  size_t first = name.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  size_t last = name.find_last_not_of(' ');
  std::string trimmed = name.substr(first, last - first + 1);
  size_t slash = trimmed.find_last_of("\\/");
  size_t dot = trimmed.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) trimmed += ".DAT";
  return trimmed;
}

std::string CompanionFileName(const std::string& dataFileName, const std::string& extension) {
  std::string name = ResolveDataFileName(dataFileName);
  size_t slash = name.find_last_of("\\/");
  size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) name.resize(dot);
  return name + extension;
}

std::string TDataFile::ResolveName(const std::string& name) { return ResolveDataFileName(name); }

[[noreturn]] void TDataFile::Fail(uint16_t code, const std::string& fieldName) const {
  RaiseEngineError(code, FileName(), fieldName);
}

// ---------------------------------------------------------------- options

void TDataFile::SetStrictChangeDetection(bool value) {
  if (value == strictChangeDetection_) return;
  if (IsOpen()) Fail(kErrInUse);
  strictChangeDetection_ = value;
}

void TDataFile::SetForceBufferFlush(bool value) {
  if (value == forceBufferFlush_) return;
  if (IsOpen()) Fail(kErrInUse);
  forceBufferFlush_ = value;
  SetWriteThrough(value);
}

void TDataFile::SetPasswordCallback(void* userData, TPasswordCallback callback) {
  passwordUserData_ = userData;
  passwordCallback_ = std::move(callback);
}

// ---------------------------------------------------------------- open, close

void TDataFile::ResetState() {
  writeByte_.Reset();
  recordLocks_.Reset();
  readLockHeld_ = writeLockHeld_ = writeHold_ = tableLocked_ = tableRangeHeld_ = false;
  inTransaction_ = modifiedInTransaction_ = false;
  layoutLoaded_ = false;
  fileDescs_.clear();
  working_.clear();
  hasValidityChecks_ = hasDefaults_ = hasComputed_ = false;
  computedSize_ = 0;
  current_ = nullptr;
  cache_.Clear();
  headerModified_ = false;
}

namespace {
// A shared open that finds the header and the file length disagreeing while
// a writer is at work looks again this many times, this many milliseconds
// apart (about three seconds).
constexpr int kOpenLayoutTries = 300;
constexpr int kOpenLayoutWaitMs = 10;
}  // namespace

void TDataFile::Open() {
  if (IsOpen()) return;
  ResetState();
  OpenFile();
  try {
    auto readLayout = [this] {
      const int64_t fileLength = QueryFileSize();
      ReadHeader();
      readAheadLimit_ = std::max(1, kReadAheadBytes / std::max<int>(1, header_.RecordSize));
      computedSize_ = 0;  // a table opened from its file stores no computed fields
      if (header_.FormatVersion != kDataFormatVersion) Fail(kErrVersion);
      if (header_.LanguageId != 0 && !IsLocaleInstalled(header_.LanguageId, header_.SortId)) Fail(kErrLanguageDriver);
      // The descriptor block must be in the file before it is read; a header
      // that claims more fields than the file holds is corrupt.
      if (fileLength < int64_t(kDataHeaderSize) + int64_t(kFieldDescSize) * header_.FieldCount) Fail(kErrHeaderCorrupt);
      if (header_.Encrypted != 0) {
        if (header_.Raw[kDhPassword] > kMaxPasswordLength) Fail(kErrHeaderCorrupt);
        CheckPassword();
      }
      LoadFieldDescriptors();
      SetWorkingFromFile();
      CheckConsistency(fileLength);
    };
    // The open reads the header and measures the file without any lock, so
    // on a shared table it can meet another program between writing a new
    // record slot and writing the header that counts it, or measure the
    // length before such a change and read the header after it. A writer
    // holds the data-file write byte all through a change: when the two
    // disagree, the open takes the byte and reads again while no writer can
    // be at work (that reading decides), or, while a writer holds it, waits
    // a little and tries again.
    for (int attempt = 1;; ++attempt) {
      try {
        readLayout();
        break;
      } catch (const ETabulaEngineError& error) {
        if (Exclusive() || error.Code() != kErrHeaderCorrupt || attempt >= kOpenLayoutTries) throw;
      }
      if (LockRange(kDataWriteByte, 1, true)) {
        try {
          readLayout();
        } catch (...) {
          LockRange(kDataWriteByte, 1, false);
          throw;
        }
        LockRange(kDataWriteByte, 1, false);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(kOpenLayoutWaitMs));
    }
    layoutLoaded_ = true;
    stats_ = TDataFileStats{};
    ResetStats();
    OpenCompanions();
    // Opening the index file may have read records (a table in physical
    // order builds its live-record bitmap); the open ends its read lock.
    ReleaseReadLock();
  } catch (...) {
    try {
      Close();
    } catch (...) {
    }
    if (IsOpen()) CloseFile();
    throw;
  }
}

void TDataFile::ReadHeader() {
  uint8_t block[kDataHeaderSize];
  SeekFile(0, kSeekStart);
  ReadBytes(block, int32_t(kDataHeaderSize), false);
  TDataHeader fresh = TDataHeader::Unpack(block);
  // Once the descriptors are loaded the record layout is fixed: a header
  // re-read after another program wrote it must describe the same layout,
  // or the buffers sized at open would no longer fit.
  if (layoutLoaded_ &&
      (fresh.RecordSize != header_.RecordSize || fresh.FieldCount != header_.FieldCount ||
       fresh.ComputedSize != header_.ComputedSize || fresh.FormatVersion != header_.FormatVersion ||
       fresh.BlobFieldCount != header_.BlobFieldCount || fresh.Encrypted != header_.Encrypted ||
       fresh.LanguageId != header_.LanguageId || fresh.SortId != header_.SortId))
    Fail(kErrHeaderCorrupt);
  header_ = fresh;
  headerModified_ = false;
}

// CheckPassword (the password loop of enciphered tables) is in data_file_cipher.cpp.

void TDataFile::LoadFieldDescriptors() {
  const size_t count = header_.FieldCount;
  std::vector<uint8_t> block(kFieldDescSize * count);
  SeekFile(int32_t(kDataHeaderSize), kSeekStart);
  if (count != 0) ReadBytes(block.data(), int32_t(block.size()), false);
  if (Encrypted()) DecipherBlock(block.data(), block.size());
  fileDescs_.clear();
  fileDescs_.reserve(count);
  hasValidityChecks_ = hasDefaults_ = hasComputed_ = false;
  for (size_t k = 0; k < count; ++k) {
    TFieldDesc d = TFieldDesc::Unpack(block.data() + kFieldDescSize * k);
    d.ExpressionHandle = 0;
    if (d.Required != 0 || !d.MinValue.empty() || !d.MaxValue.empty()) hasValidityChecks_ = true;
    if (!d.DefaultValue.empty()) hasDefaults_ = true;
    if (d.Computed != 0) hasComputed_ = true;
    fileDescs_.push_back(std::move(d));
  }
}

void TDataFile::SetWorkingFromFile() {
  working_ = fileDescs_;
  DropRecordCache();
  cache_.Reset(CacheCapacityFor(size_t(RecordSize())), size_t(RecordSize()));
  openingCapacity_ = cache_.Capacity();
  current_ = nullptr;
}

void TDataFile::CheckConsistency(int64_t fileLength) {
  int64_t running = int64_t(kRecordHeaderSize);
  for (size_t k = 0; k < fileDescs_.size(); ++k) {
    for (auto* set : {&fileDescs_, &working_}) {
      TFieldDesc& d = (*set)[k];
      const int width = FieldDataSize(d.FieldType, d.Size);
      if (width > 255) Fail(kErrHeaderCorrupt);  // a width the descriptor cannot state
      d.DeriveDataSize();
    }
    const TFieldDesc& d = fileDescs_[k];
    if (!d.OverlongText().empty()) Fail(kErrHeaderCorrupt);  // a length byte past its text's room
    if (d.IsAutoIncrement()) {
      // The record ID is stored in every record: it cannot be computed.
      if (d.Offset != kRecordIdOffset || d.Computed != 0) Fail(kErrHeaderCorrupt);
    } else if (d.Computed != 0) {
      if (d.Offset != 0) Fail(kErrHeaderCorrupt);
    } else {
      if (d.Offset != running) Fail(kErrHeaderCorrupt);
      running += d.DataSize + 1;
    }
    if (d.FieldNo != int(k + 1)) Fail(kErrHeaderCorrupt);
  }
  if (header_.RecordSize != running || header_.ComputedSize != 0) Fail(kErrHeaderCorrupt);
  const int64_t start = int64_t(kDataHeaderSize) + int64_t(kFieldDescSize) * header_.FieldCount;
  if (fileLength < start) Fail(kErrHeaderCorrupt);
  const int64_t body = fileLength - start;
  if (body % header_.RecordSize != 0) Fail(kErrHeaderCorrupt);
  if (body / header_.RecordSize + 1 != header_.NextRecordNo) Fail(kErrHeaderCorrupt);
}

void TDataFile::OpenCompanions() {
  indexFile_->SetOwner(this);
  if (indexFile_->IsOpen()) indexFile_->CloseFile();
  indexFile_->SetInMemory(InMemory());
  indexFile_->SetExclusive(Exclusive());
  indexFile_->SetReadOnly(ReadOnly());
  indexFile_->SetWriteThrough(forceBufferFlush_);
  indexFile_->SetFileName(FileName());
  indexFile_->OpenIndexFile(true);
  blobFileOpen_ = false;
  if (blobFile_->IsOpen()) blobFile_->CloseFile();
  if (header_.BlobFieldCount != 0) {
    blobFile_->SetOwner(this);
    blobFile_->SetInMemory(InMemory());
    blobFile_->SetExclusive(Exclusive());
    blobFile_->SetReadOnly(ReadOnly());
    blobFile_->SetWriteThrough(forceBufferFlush_);
    blobFile_->SetBlockSize(header_.BlobBlockSize);
    blobFile_->SetFileName(FileName());
    blobFile_->Open();
    blobFileOpen_ = true;
  }
}

void TDataFile::Close() {
  if (!IsOpen()) return;
  std::exception_ptr firstError;
  auto attempt = [&firstError](auto&& step) {
    try {
      step();
    } catch (...) {
      if (!firstError) firstError = std::current_exception();
    }
  };
  if (tableLocked_) {
    // A transaction still open: its unwritten changes are discarded and the
    // table lock goes.
    attempt([&] { EndTransactionDiscard(); });
    tableLocked_ = false;
    inTransaction_ = modifiedInTransaction_ = false;
  } else {
    attempt([&] {
      UnpinAll();
      if (Exclusive() && !ReadOnly()) FlushAll(true, false, false);
    });
  }
  attempt([&] {
    const std::vector<int32_t> held = recordLocks_.HeldRecords();
    for (auto it = held.rbegin(); it != held.rend(); ++it) recordLocks_.Unlock(*this, *it);
  });
  attempt([&] { ReleaseReadLock(); });
  attempt([&] { ReleaseWriteLock(); });
  attempt([&] {
    if (writeHold_ && !LockFree()) writeByte_.Unlock(*this);
    writeHold_ = false;
  });
  attempt([&] {
    if (blobFile_->IsOpen()) blobFile_->Close();
  });
  attempt([&] {
    if (indexFile_->IsOpen()) indexFile_->CloseIndexFile();
  });
  filterList_.Clear();  // the table's filters live as long as the open table
  blobFileOpen_ = false;
  ForgetOpenCipherTable();  // table cipher: data_file_cipher.cpp
  inTransaction_ = modifiedInTransaction_ = false;
  layoutLoaded_ = false;
  fileDescs_.clear();
  working_.clear();
  current_ = nullptr;
  cache_.Clear();
  writeByte_.Reset();
  recordLocks_.Reset();
  readLockHeld_ = writeLockHeld_ = writeHold_ = tableLocked_ = tableRangeHeld_ = false;
  CloseFile();
  if (firstError) std::rethrow_exception(firstError);
}

void TDataFile::Refresh() {
  if (!IsOpen()) return;
  const bool alreadyHeld = readLockHeld_;
  TakeReadLock();
  if (!alreadyHeld) ReleaseReadLock();
}

// ---------------------------------------------------------------- header

void TDataFile::WriteHeader(bool force) {
  if (!force && !headerModified_) return;
  ++header_.ChangeCounter;
  header_.LastUpdated = HeaderTimestampNow();
  uint8_t block[kDataHeaderSize];
  header_.Pack(block, headerModified_);
  SeekFile(0, kSeekStart);
  WriteBytes(block, int32_t(kDataHeaderSize));
  std::memcpy(header_.Raw.data(), block, kDataHeaderSize);
  headerModified_ = false;
  ++stats_.HeaderWrites;
}

bool TDataFile::HeaderChanged() {
  uint8_t counter[4];
  SeekFile(0, kSeekStart);
  ReadBytes(counter, 4, false);
  if (LoadU32(counter) == header_.ChangeCounter) return false;
  ReadHeader();
  return true;
}

bool TDataFile::CheckForChanges() {
  bool changed = false;
  if (indexFile_->IsOpen() && indexFile_->HeaderChanged()) {
    ReloadAfterChange(true);
    changed = true;
  } else if (HeaderChanged()) {
    ReloadAfterChange(false);
    changed = true;
  }
  if (blobFileOpen_ && blobFile_->HeaderChanged()) {
    blobFile_->DiscardBlocks();
    changed = true;
  }
  return changed;
}

TDataFile::TCursorPlace TDataFile::RememberCursor() const {
  TCursorPlace place;
  place.Positioned = indexFile_->IsOpen() && indexFile_->CurrentKey() != nullptr;
  place.Bof = indexFile_->Bof();
  place.Eof = indexFile_->Eof();
  if (indexFile_->IsOpen()) place.RecNo = indexFile_->CurrentRecordNumber();
  if (place.Positioned) {
    const uint8_t* current = indexFile_->CurrentKey();
    place.Key.assign(current, current + indexFile_->KeyLength());
  }
  return place;
}

void TDataFile::ReturnCursor(TCursorPlace place, bool keepFlags) {
  // The live and visible bitmaps of bitmap mode describe the old records.
  if (indexFile_->BitmapMode()) indexFile_->RebuildBitmaps();
  if (!place.Positioned) {
    indexFile_->MarkEmpty();
  } else if (indexFile_->PhysicalOrder()) {
    indexFile_->GoToRecord(place.RecNo);
  } else {
    place.Key.resize(std::max<size_t>(place.Key.size(), kKeyBufferSize), 0);
    indexFile_->FindKey(place.Key.data(), true, keepFlags);
  }
}

void TDataFile::ReloadAfterChange(bool indexChanged) {
  // Remember where the cursor stands, by its key, before the caches go.
  const TCursorPlace place = RememberCursor();
  if (indexChanged) {
    indexFile_->DiscardPages();
    indexFile_->ReadHeader();
  }
  ReadHeader();
  DropRecordCache();
  current_ = nullptr;
  if (!indexFile_->IsOpen()) return;
  ReturnCursor(place, true);
}

// ---------------------------------------------------------------- locks

bool TDataFile::TakeReadLock() {
  // Under the table lock no other program can change the table.
  if (LockFree() || readLockHeld_ || writeLockHeld_ || writeHold_ || tableLocked_) return false;
  if (!indexFile_->LockTableShared()) Fail(kErrLockFailure);
  if (blobFileOpen_ && !blobFile_->LockRead()) {
    indexFile_->UnlockTableShared();
    Fail(kErrLockFailure);
  }
  readLockHeld_ = true;
  try {
    return CheckForChanges();
  } catch (...) {
    try {
      ReleaseReadLock();
    } catch (...) {
    }
    throw;
  }
}

void TDataFile::ReleaseReadLock() {
  if (!readLockHeld_) return;
  readLockHeld_ = false;
  bool ok = !blobFileOpen_ || blobFile_->UnlockRead();
  ok = indexFile_->UnlockTableShared() && ok;
  if (!ok) Fail(kErrLockFailure);
}

bool TDataFile::TakeWriteLock() {
  if (LockFree() || writeLockHeld_) return false;
  // The reader's byte lies inside the writer's region: a handle moving from
  // reading to writing gives its reader byte up first.
  ReleaseReadLock();
  if (!writeHold_ && !tableLocked_ && !writeByte_.Lock(*this)) Fail(kErrLockFailure);
  if (!indexFile_->LockTableExclusive()) {
    if (!writeHold_ && !tableLocked_) writeByte_.Unlock(*this);
    Fail(kErrLockFailure);
  }
  if (blobFileOpen_ && !blobFile_->LockWrite()) {
    indexFile_->UnlockTableExclusive();
    if (!writeHold_ && !tableLocked_) writeByte_.Unlock(*this);
    Fail(kErrLockFailure);
  }
  writeLockHeld_ = true;
  if (writeHold_ || tableLocked_) return false;
  try {
    return CheckForChanges();
  } catch (...) {
    try {
      ReleaseWriteLock();
    } catch (...) {
    }
    throw;
  }
}

void TDataFile::ReleaseWriteLock() {
  if (!writeLockHeld_) return;
  writeLockHeld_ = false;
  bool ok = !blobFileOpen_ || blobFile_->UnlockWrite();
  ok = indexFile_->UnlockTableExclusive() && ok;
  if (!writeHold_ && !tableLocked_) ok = writeByte_.Unlock(*this) && ok;
  if (!ok) Fail(kErrLockFailure);
}

void TDataFile::BeginWriteHold() {
  if (writeHold_) return;
  if (LockFree()) {
    writeHold_ = true;
    return;
  }
  if (!writeByte_.Held() && !writeByte_.Lock(*this)) Fail(kErrLockFailure);
  writeHold_ = true;
  try {
    if (!writeLockHeld_ && !readLockHeld_) CheckForChanges();
  } catch (...) {
    EndWriteHold();
    throw;
  }
}

void TDataFile::EndWriteHold() {
  if (!writeHold_) return;
  writeHold_ = false;
  if (LockFree()) return;
  const bool keepByte = writeLockHeld_ || tableLocked_;
  if (!keepByte && !writeByte_.Unlock(*this)) Fail(kErrLockFailure);
  if (tableRangeHeld_) {
    UnlockTableRange();
  } else if (!tableLocked_) {
    recordLocks_.UnlockAll(*this);
  }
}

void TDataFile::UnlockTableRange() {
  if (!tableRangeHeld_) return;
  tableRangeHeld_ = false;
  if (!UnlockTableRecordRange(*this)) Fail(kErrUnlock);
}

void TDataFile::LockRecord(int32_t recordNo) {
  if (LockFree() || tableRangeHeld_) return;
  if (recordNo == 0) {
    if (current_ == nullptr || current_->RecordNo == 0) Fail(kErrRecordInUse);
    recordNo = int32_t(current_->RecordNo);
  }
  if (recordLocks_.IsHeld(recordNo)) return;
  if (!strictChangeDetection_) TakeReadLock();
  recordLocks_.Lock(*this, recordNo, LockRetryCount, LockWaitTime);
}

void TDataFile::UnlockRecord(int32_t recordNo) {
  if (LockFree()) return;
  if (recordNo == 0) {
    if (current_ == nullptr || current_->RecordNo == 0) Fail(kErrUnlock);
    recordNo = int32_t(current_->RecordNo);
  }
  if (writeHold_ || tableRangeHeld_ || tableLocked_) return;
  recordLocks_.Unlock(*this, recordNo);
}

bool TDataFile::LockAndCheckForChanges() {
  if (HoldsSharedLock() || LockFree()) return false;
  return TakeReadLock();
}

bool TDataFile::HoldsSharedLock() const { return readLockHeld_ || writeLockHeld_ || writeHold_ || tableLocked_; }

bool TDataFile::GetKeyFieldInfo(uint16_t fieldNo, TKeyFieldInfo& info) const {
  if (fieldNo == 0 || fieldNo > fileDescs_.size()) return false;
  info = KeyFieldInfoOf(fileDescs_[fieldNo - 1]);
  return true;
}

bool TDataFile::RecordIsLive(int32_t recNo) {
  if (recNo < 1 || recNo >= header_.NextRecordNo) return false;
  TRecord* record = nullptr;
  if (!GetRecord(uint32_t(recNo), true, kReadForward, false, record) || record == nullptr) return false;
  const uint8_t status = record->Buffer[0];
  ReleaseRecord(record);
  // A status byte the format does not define is damage, not a deleted slot.
  if (status > kRecordDeleted) Fail(kErrRecordBuffersCorrupt);
  return status == kRecordLive;
}

// ---------------------------------------------------------------- records

int64_t TDataFile::SlotOffset(uint32_t recordNo) const {
  return int64_t(kDataHeaderSize) + int64_t(kFieldDescSize) * header_.FieldCount +
         int64_t(header_.RecordSize) * (int64_t(recordNo) - 1);
}

void TDataFile::Pin(TRecord* record) {
  if (record->PinCount >= kMaxPins) Fail(kErrRecordBuffersCorrupt);
  ++record->PinCount;
  cache_.NotePinned(record);
}

void TDataFile::ReleaseRecord(TRecord* record) {
  if (record != nullptr && record->PinCount > 0) --record->PinCount;
}

void TDataFile::SetCurrentRecord(TRecord* record) {
  if (current_ == record) {
    // Same entry: the caller's new pin is one too many.
    ReleaseRecord(record);
    return;
  }
  ReleaseRecord(current_);
  current_ = record;
}

void TDataFile::UnpinAll() {
  cache_.UnpinAll();
  if (indexFile_->IsOpen()) indexFile_->UnpinPages();
  if (blobFileOpen_) blobFile_->UnpinBlocks();
}

void TDataFile::DropRecordCache() {
  cache_.DropAll();
  current_ = nullptr;
}

void TDataFile::ComputeFields(TRecord* record) {
  // Computed fields are evaluated by the filter module's expression code;
  // a table opened from its file stores none, so there is nothing to do
  // until that module sets working descriptors with compiled expressions.
  record->ComputedValid = true;
}

TRecord* TDataFile::TakeFreeEntry() {
  if (cache_.Count() < cache_.Capacity()) return cache_.AddFront();
  TRecord* entry = cache_.FindReusable();
  if (entry == nullptr && !tableLocked_ && !ReadOnly()) {
    FlushRecords();
    entry = cache_.FindReusable();
  }
  if (entry != nullptr) {
    cache_.Recycle(entry);
    return entry;
  }
  if (tableLocked_) {
    cache_.SetCapacity(cache_.Capacity() + kCacheGrowth);
    return cache_.AddFront();
  }
  Fail(kErrRecordBuffersCorrupt);
}

bool TDataFile::GetRecord(uint32_t recordNo, bool readAhead, int direction, bool indexRun, TRecord*& record) {
  record = nullptr;
  if (recordNo == 0) return true;
  ++stats_.RecordRequests;
  const uint32_t next = uint32_t(std::max(header_.NextRecordNo, 1));
  if (recordNo == next) {
    // A new slot at the end.
    if (int64_t(header_.NextRecordNo) + 1 > kMaxRecordNo ||
        int64_t(header_.RecordSize) * header_.NextRecordNo > kMaxDataBytes)
      Fail(kErrFileFull);
    TRecord* entry = TakeFreeEntry();
    cache_.Renumber(entry, recordNo);
    StoreU32(entry->Data() + 1, recordNo);
    Pin(entry);
    ++header_.NextRecordNo;
    headerModified_ = true;
    record = entry;
    return true;
  }
  if (TRecord* cached = cache_.Find(recordNo)) {
    ++stats_.CacheHits;
    Pin(cached);
    cache_.MoveToFront(cached);
    if (!cached->ComputedValid) ComputeFields(cached);
    record = cached;
    return true;
  }
  if (recordNo > next) Fail(kErrRecordBuffersCorrupt);  // beyond the last slot: there is no such record
  if (!strictChangeDetection_ && TakeReadLock()) return false;
  // The table may have shrunk or grown under another writer's hand.
  if (recordNo >= uint32_t(std::max(header_.NextRecordNo, 1))) Fail(kErrRecordBuffersCorrupt);
  int32_t count = 1;
  const int32_t slotsFromHere = header_.NextRecordNo - int32_t(recordNo);  // this slot and those after it
  if (readAhead) {
    if (indexRun) {
      count = indexFile_->ConsecutiveRun(readAheadLimit_, direction);
    } else if (direction == kReadBackward) {
      count = int32_t(recordNo);
    } else {
      count = slotsFromHere;
    }
    count = std::clamp(count, 1, readAheadLimit_);
    if (direction == kReadBackward) {
      count = std::min(count, int32_t(recordNo));
    } else {
      count = std::min(count, slotsFromHere);
    }
  }
  // Leave room in the cache for the block beside what is pinned.
  count = std::min<int32_t>(count, std::max<int32_t>(1, int32_t(cache_.Capacity() / 2)));
  TRecord* entry = ReadRecordBlock(recordNo, count, direction);
  Pin(entry);
  if (!entry->ComputedValid) ComputeFields(entry);
  record = entry;
  return true;
}

TRecord* TDataFile::ReadRecordBlock(uint32_t recordNo, int32_t count, int direction) {
  const uint32_t first = direction == kReadBackward ? recordNo - uint32_t(count) + 1 : recordNo;
  const uint32_t last = first + uint32_t(count) - 1;
  const size_t recordSize = header_.RecordSize;
  for (uint32_t n = first; n <= last; ++n)
    if (TRecord* cached = cache_.Find(n)) cached->Marked = true;

  ioBuffer_.resize(recordSize * size_t(count));
  const int64_t offset = SlotOffset(first);
  if (offset > INT32_MAX || SeekFile(int32_t(offset), kSeekStart) != int32_t(offset)) {
    for (TRecord& e : cache_.Entries()) e.Marked = false;
    Fail(kErrRead);
  }
  int32_t got = 0;
  try {
    got = ReadBytes(ioBuffer_.data(), int32_t(ioBuffer_.size()), true);
    // Slots appended in the cache may not be in the file yet while the
    // handle is exclusive or the table locked; otherwise the whole span
    // must be there.
    if (size_t(got) < ioBuffer_.size() && !Exclusive() && !tableLocked_) Fail(kErrRead);
  } catch (...) {
    for (uint32_t n = first; n <= last; ++n)
      if (TRecord* cached = cache_.Find(n)) cached->Marked = false;
    throw;
  }
  ++stats_.BlockReads;
  const size_t slotsRead = size_t(got) / recordSize;
  stats_.RecordsRead += slotsRead;

  std::vector<TRecord*> touched;
  touched.reserve(size_t(count));
  auto place = [&](uint32_t n) {
    const size_t index = n - first;
    TRecord* entry = cache_.Find(n);
    if (index >= slotsRead) {
      if (entry != nullptr) {
        cache_.MoveToFront(entry);
        touched.push_back(entry);
      }
      return;
    }
    const uint8_t* bytes = ioBuffer_.data() + index * recordSize;
    if (entry != nullptr) {
      if (entry->PinCount == 0 && !entry->Modified) {
        std::memcpy(entry->Data(), bytes, recordSize);
        if (Encrypted()) DecipherBlock(entry->Data(), recordSize);
        if (entry->Data()[0] == 0) StoreU32(entry->Data() + 1, n);
        entry->ComputedValid = false;
      }
      cache_.MoveToFront(entry);
    } else {
      entry = TakeFreeEntry();
      cache_.Renumber(entry, n);
      std::memcpy(entry->Data(), bytes, recordSize);
      if (Encrypted()) DecipherBlock(entry->Data(), recordSize);
      if (entry->Data()[0] == 0) StoreU32(entry->Data() + 1, n);
      entry->ComputedValid = false;
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
  for (TRecord* e : touched) e->Marked = false;
  for (uint32_t n = first; n <= last; ++n)
    if (TRecord* cached = cache_.Find(n)) cached->Marked = false;
  TRecord* result = cache_.Find(recordNo);
  if (result == nullptr) Fail(kErrRecordBuffersCorrupt);
  return result;
}

bool TDataFile::FlushRecords() {
  if (!IsOpen() || ReadOnly()) return false;
  std::vector<TRecord*> dirty;
  for (TRecord& e : cache_.Entries())
    if (e.Modified && e.PinCount == 0 && !e.Marked && e.RecordNo != 0) dirty.push_back(&e);
  if (dirty.empty()) return false;
  std::sort(dirty.begin(), dirty.end(), [](const TRecord* a, const TRecord* b) { return a->RecordNo < b->RecordNo; });
  const size_t recordSize = header_.RecordSize;
  size_t i = 0;
  std::vector<uint8_t> block;
  while (i < dirty.size()) {
    size_t j = i + 1;
    while (j < dirty.size() && dirty[j]->RecordNo == dirty[j - 1]->RecordNo + 1) ++j;
    block.resize((j - i) * recordSize);
    for (size_t k = i; k < j; ++k) {
      uint8_t* dest = block.data() + (k - i) * recordSize;
      std::memcpy(dest, dirty[k]->Data(), recordSize);
      if (Encrypted()) EncipherBlock(dest, recordSize);
    }
    const int64_t offset = SlotOffset(dirty[i]->RecordNo);
    if (offset > INT32_MAX) Fail(kErrWrite);
    SeekFile(int32_t(offset), kSeekStart);
    WriteBytes(block.data(), int32_t(block.size()));
    ++stats_.Writes;
    for (size_t k = i; k < j; ++k) dirty[k]->Modified = false;
    cache_.ModifiedCleared();
    i = j;
  }
  return true;
}

void TDataFile::FlushAll(bool trim, bool forceHeader, bool keysChanged) {
  if (!IsOpen() || ReadOnly()) return;
  FlushRecords();
  WriteHeader(forceHeader);
  if (trim) {
    cache_.SetCapacity(openingCapacity_);
    cache_.TrimTo(openingCapacity_);
  }
  if (indexFile_->IsOpen()) {
    indexFile_->FlushPages();
    indexFile_->WriteHeader(keysChanged);
    if (trim) indexFile_->TrimPageBuffers();
  }
  if (blobFileOpen_) blobFile_->FlushAll(forceHeader, trim);
}

// ---------------------------------------------------------------- fields

TFieldDesc TDataFile::GetFieldDesc(TDescSet set, int fieldNo) const {
  const auto& descs = SetOf(set);
  if (fieldNo < 1 || size_t(fieldNo) > descs.size()) Fail(kErrInvalidField);
  return descs[size_t(fieldNo) - 1];
}

TFieldDesc TDataFile::GetFieldDescByName(TDescSet set, const std::string& name) const {
  for (const TFieldDesc& d : SetOf(set))
    if (SameTextIgnoringCase(d.Name, name)) return d;
  RaiseEngineError(kErrInvalidField, FileName(), name);
}

bool TDataFile::GetField(TDescSet set, int fieldNo, const uint8_t* buffer, uint8_t* data) const {
  const auto& descs = SetOf(set);
  if (fieldNo < 1 || size_t(fieldNo) > descs.size()) Fail(kErrInvalidField);
  const TFieldDesc& d = descs[size_t(fieldNo) - 1];
  if (data != nullptr) std::memset(data, 0, d.DataSize);
  if (d.IsAutoIncrement()) {
    if (data != nullptr) std::memcpy(data, buffer + kRecordIdOffset, 4);
    return false;
  }
  // A field without room in the buffer (a computed field the file does not
  // store) reads as NULL.
  if (size_t(d.Offset) + 1 + d.DataSize > size_t(RecordSize()) || (d.Computed != 0 && d.Offset == 0)) return true;
  bool isNull = buffer[d.Offset] == 0;
  const uint8_t* value = buffer + d.Offset + 1;
  if (d.FieldType == kFldBlob && LoadI32(value) < 0) {
    // The negated handle of an open blob: NULL exactly when that blob is
    // empty. With no blob open on this handle the field counts as non-NULL.
    if (blobFileOpen_ && blobFile_->OpenBlobCount() > 0)
      isNull = OpenBlobSize(-LoadI32(value)) == 0;
    else
      isNull = false;
  }
  if (data != nullptr) std::memcpy(data, value, d.DataSize);
  return isNull;
}

void TDataFile::SetField(TDescSet set, int fieldNo, const uint8_t* data, bool alsoComputed, uint8_t* buffer) {
  const auto& descs = SetOf(set);
  if (fieldNo < 1 || size_t(fieldNo) > descs.size()) Fail(kErrInvalidField);
  const TFieldDesc& d = descs[size_t(fieldNo) - 1];
  if (d.Computed != 0 && !alsoComputed) return;
  if (d.IsAutoIncrement()) {
    if (data != nullptr) std::memcpy(buffer + kRecordIdOffset, data, 4);
    return;
  }
  if (size_t(d.Offset) + 1 + d.DataSize > size_t(RecordSize()) || (d.Computed != 0 && d.Offset == 0)) return;
  uint8_t* flag = buffer + d.Offset;
  uint8_t* value = flag + 1;
  const size_t width = d.DataSize;
  if (data == nullptr) {
    *flag = 0;
    std::memset(value, 0, width);
  } else {
    switch (d.FieldType) {
      case kFldString: {
        // At most Size + 1 characters are taken; trailing blanks go; what is
        // left of the first Size characters is stored, zero-terminated.
        size_t length = 0;
        while (length < width && data[length] != 0) ++length;
        while (length > 0 && data[length - 1] == ' ') --length;
        const size_t stored = std::min(length, width == 0 ? 0 : width - 1);
        std::memset(value, 0, width);
        std::memcpy(value, data, stored);
        *flag = stored > 0 ? 1 : 0;
        break;
      }
      case kFldBlob: {
        std::memcpy(value, data, width);
        // A negative value is an open blob's handle: it has a value while the
        // blob is not empty.
        // With no blob open on this handle it counts as a value, as GetField
        // reads it.
        if (LoadI32(data) < 0 && blobFileOpen_ && blobFile_->OpenBlobCount() > 0)
          *flag = OpenBlobSize(-LoadI32(data)) > 0 ? 1 : 0;
        else
          *flag = LoadI32(data) != 0 ? 1 : 0;
        break;
      }
      case kFldBoolean:
        StoreU16(value, LoadU16(data) == 0 ? 0 : 1);
        *flag = 1;
        break;
      default:
        std::memcpy(value, data, width);
        *flag = 1;
        break;
    }
  }
  // A stored field changed: computed fields would be evaluated again here
  // (filter module).
}

void TDataFile::InitRecord(uint8_t* buffer) {
  std::memset(buffer, 0, size_t(RecordSize()));
  if (!hasDefaults_) return;
  const TLocaleFormats formats = LoadLocaleFormats(false, header_.LanguageId, header_.SortId);
  for (size_t k = 0; k < working_.size(); ++k) {
    const TFieldDesc& d = working_[k];
    if (d.DefaultValue.empty()) continue;
    std::string bytes;
    if (!TextToFieldValue(d.FieldType, d.Scale, d.DefaultValue, formats, bytes, true)) continue;
    if (d.FieldType == kFldString) {
      bytes.resize(std::max<size_t>(bytes.size(), d.DataSize), '\0');
    } else if (bytes.size() < d.DataSize) {
      bytes.resize(d.DataSize, '\0');
    }
    SetField(TDescSet::kWorking, int(k + 1), reinterpret_cast<const uint8_t*>(bytes.data()), true, buffer);
  }
}

void TDataFile::BuildKey(const uint8_t* buffer, uint8_t* key) {
  const uint8_t slot = indexFile_->CurrentSlot();
  if (indexFile_->PhysicalOrder()) {
    std::memset(key, 0, 4);
    return;
  }
  BuildIndexKey(slot, indexFile_->Descriptor(slot), fileDescs_.data(), fileDescs_.size(), buffer,
                header_.LanguageId, header_.SortId, key);
}

// ---------------------------------------------------------------- blob fields

const TFieldDesc* TDataFile::BlobFieldDesc(int fieldNo) const {
  if (fieldNo < 1 || size_t(fieldNo) > working_.size()) return nullptr;
  const TFieldDesc& d = working_[size_t(fieldNo) - 1];
  if (d.FieldType != kFldBlob || d.Computed != 0) return nullptr;
  if (size_t(d.Offset) + 1 + d.DataSize > size_t(RecordSize())) return nullptr;
  return &d;
}

int32_t TDataFile::HandleInField(const TFieldDesc& d, const uint8_t* buffer) {
  const int32_t value = LoadI32(buffer + d.Offset + 1);
  return value < 0 && value != INT32_MIN ? -value : 0;
}

int32_t TDataFile::OpenBlobSize(int32_t handle) const {
  if (!blobFileOpen_ || handle <= 0) return 0;
  const TBlobBuffer* blob = blobFile_->FindBlob(handle);
  if (blob == nullptr || blob->LoadFault != 0) return 0;
  return int32_t(blob->Data.size());
}

void TDataFile::EndReadScope(bool hadReadLock) {
  if (!hadReadLock && readLockHeld_) ReleaseReadLock();
}

int TDataFile::IsBlobOpen(int fieldNo, const uint8_t* buffer, bool& open) const {
  open = false;
  const TFieldDesc* d = BlobFieldDesc(fieldNo);
  if (d == nullptr) return kErrInvalidBlobField;
  const int32_t handle = HandleInField(*d, buffer);
  open = handle != 0 && blobFileOpen_ && blobFile_->IsOpenBlob(handle);
  return kResultOk;
}

int TDataFile::OpenBlob(int fieldNo, uint8_t* buffer, int mode) {
  const TFieldDesc* d = BlobFieldDesc(fieldNo);
  if (d == nullptr || !blobFileOpen_) return kErrInvalidBlobField;
  const int32_t value = LoadI32(buffer + d->Offset + 1);
  if (value < 0) {
    const int32_t handle = HandleInField(*d, buffer);
    return handle != 0 && blobFile_->IsOpenBlob(handle) ? int(kResultOk) : int(kErrBlobOffset);
  }
  // A NULL field has no blob, whatever its data bytes say.
  const int32_t reference = buffer[d->Offset] == 0 ? 0 : value;
  const int32_t recordNo = LoadI32(buffer + 1);
  // Another blob field of the record naming the same chain is damage that
  // no field may read or write through (the blob file decides the rest).
  TBlobSharing sharing = TBlobSharing::kNone;
  if (reference > 0) {
    for (const TFieldDesc& other : working_) {
      if (other.FieldNo == fieldNo || other.FieldType != kFldBlob || other.Computed != 0 ||
          size_t(other.Offset) + 1 + other.DataSize > size_t(RecordSize()) || buffer[other.Offset] == 0)
        continue;
      int32_t otherReference = LoadI32(buffer + other.Offset + 1);
      if (otherReference < 0) {
        // Open already: the reference it was opened with.
        const TBlobBuffer* open = blobFile_->FindBlob(HandleInField(other, buffer));
        otherReference = open ? open->Reference : 0;
      }
      if (otherReference != reference) continue;
      if (other.FieldNo < fieldNo)
        sharing = TBlobSharing::kLater;
      else if (sharing == TBlobSharing::kNone)
        sharing = TBlobSharing::kFirst;
    }
  }
  const bool hadReadLock = readLockHeld_;
  int32_t handle = 0;
  int code = kResultOk;
  try {
    if (!strictChangeDetection_ && reference != 0) TakeReadLock();
    code = blobFile_->OpenBlob(reference, fieldNo, recordNo, mode, handle, sharing);
  } catch (...) {
    try {
      EndReadScope(hadReadLock);
    } catch (...) {
    }
    throw;
  }
  EndReadScope(hadReadLock);
  if (code != kResultOk) return code;
  uint8_t negated[4];
  StoreI32(negated, -handle);
  SetField(TDescSet::kWorking, fieldNo, negated, false, buffer);
  return kResultOk;
}

int TDataFile::FreeBlob(int fieldNo, uint8_t* buffer) {
  const TFieldDesc* d = BlobFieldDesc(fieldNo);
  if (d == nullptr) return kErrInvalidBlobField;
  const int32_t handle = HandleInField(*d, buffer);
  if (handle == 0 || !blobFileOpen_) return kErrBlobHandle;
  int32_t reference = 0;
  const int code = blobFile_->FreeBlob(handle, reference);
  if (code != kResultOk) return code;
  uint8_t stored[4];
  StoreI32(stored, reference);
  SetField(TDescSet::kWorking, fieldNo, stored, false, buffer);
  return kResultOk;
}

int TDataFile::ReadBlob(int fieldNo, const uint8_t* buffer, int32_t offset, int32_t length, void* dest,
                        int32_t& bytesRead) {
  bytesRead = 0;
  const TFieldDesc* d = BlobFieldDesc(fieldNo);
  if (d == nullptr) return kErrInvalidBlobField;
  const int32_t handle = HandleInField(*d, buffer);
  if (handle == 0 || !blobFileOpen_) return kErrBlobHandle;
  return blobFile_->ReadBlob(handle, offset, length, dest, bytesRead);
}

int TDataFile::WriteBlob(int fieldNo, uint8_t* buffer, int32_t offset, int32_t length, const void* source) {
  const TFieldDesc* d = BlobFieldDesc(fieldNo);
  if (d == nullptr) return kErrInvalidBlobField;
  const int32_t handle = HandleInField(*d, buffer);
  if (handle == 0 || !blobFileOpen_) return kErrBlobHandle;
  if (ReadOnly()) Fail(kErrAccessDenied);
  return blobFile_->WriteBlob(handle, offset, length, source);
}

int TDataFile::TruncateBlob(int fieldNo, uint8_t* buffer, int32_t newSize) {
  const TFieldDesc* d = BlobFieldDesc(fieldNo);
  if (d == nullptr) return kErrInvalidBlobField;
  const int32_t handle = HandleInField(*d, buffer);
  if (handle == 0 || !blobFileOpen_) return kErrBlobHandle;
  if (ReadOnly()) Fail(kErrAccessDenied);
  return blobFile_->TruncateBlob(handle, newSize);
}

int TDataFile::GetBlobSize(int fieldNo, const uint8_t* buffer, int32_t& size) {
  size = 0;
  const TFieldDesc* d = BlobFieldDesc(fieldNo);
  if (d == nullptr) return kErrInvalidBlobField;
  const int32_t handle = HandleInField(*d, buffer);
  if (handle == 0 || !blobFileOpen_) return kErrBlobHandle;
  return blobFile_->GetBlobSize(handle, size);
}

// ---------------------------------------------------------------- TBlobFileOwner

bool TDataFile::BlobTakeReadLock() {
  if (HoldsSharedLock() || LockFree()) return false;
  return TakeReadLock();
}

void TDataFile::BlobMessage(const std::string& text) {
  if (messageCallback_) messageCallback_(text);
}

void TDataFile::BlobStoreReference(int descriptorSet, int fieldNo, int32_t reference, uint8_t* recordBuffer) {
  uint8_t stored[4];
  StoreI32(stored, reference);
  const TDescSet set = descriptorSet == int(TDescSet::kFile) ? TDescSet::kFile : TDescSet::kWorking;
  SetField(set, fieldNo, stored, false, recordBuffer);
}

}  // namespace tabula
