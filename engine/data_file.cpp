#include "tabula/data_file.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <climits>
#include <cstring>

#include "engine/data_file_parts.h"
#include "tabula/engine_error.h"
#include "tabula/field_types.h"
#include "tabula/field_values.h"
#include "engine/final_steps.h"
#include "tabula/file_session.h"
#include "engine/key_builder.h"
#include "tabula/locale.h"
#include "engine/scramble.h"
#include "engine/table_cursor.h"
#include "tabula/table_creator.h"
#include "engine/table_writer.h"

namespace tabula {


TDataFile::TDataFile()
    : owners_(std::make_unique<TDataFileOwners>(*this)),
      store_(std::make_unique<TRecordStore>(*this)),
      cursor_(std::make_unique<TTableCursor>(*this)),
      writer_(std::make_unique<TTableWriter>(*this)),
      writeByte_(std::make_unique<TDataWriteLock>()),
      recordLocks_(std::make_unique<TRecordLocks>()),
      lockState_(std::make_unique<TTableLockState>()),
      filterList_(std::make_unique<TFilterList>()),
      indexFile_(std::make_unique<TIndexFile>(owners_.get())),
      blobFile_(std::make_unique<TBlobFile>(owners_.get())) {}

TDataFile::~TDataFile() {
  try {
    Close();
  } catch (...) {
    // A destructor cannot report; the files are closed below regardless.
  }
  if (indexFile_ && indexFile_->IsOpen()) indexFile_->CloseFile();
  if (blobFile_ && blobFile_->IsOpen()) blobFile_->CloseFile();
}

const std::vector<int32_t>& TDataFile::LockedRecords() const { return recordLocks_->HeldRecords(); }
bool TDataFile::ReadLockHeld() const { return lockState_->ReadHeld(); }
bool TDataFile::WriteLockHeld() const { return lockState_->WriteHeld(); }
bool TDataFile::TableLocked() const { return lockState_->TableLocked(); }
bool TDataFile::WriteHoldActive() const { return lockState_->WriteHold(); }
bool TDataFile::InTransaction() const { return lockState_->InTransaction(); }
bool TDataFile::ModifiedInTransaction() const { return lockState_->ModifiedInTransaction(); }
const TRecordCache& TDataFile::Cache() const { return store_->Cache(); }
const TDataFileStats& TDataFile::DataStats() const { return store_->Stats(); }
void TDataFile::ResetDataStats() { store_->ResetStats(); }
size_t TDataFile::OpeningCacheCapacity() const { return store_->OpeningCapacity(); }
std::string TDataFile::BlobFileName() const { return blobFileOpen_ ? blobFile_->FileName() : std::string(); }
std::string TDataFile::IndexFileName() const { return indexFile_->FileName(); }
int64_t TDataFile::IndexFilePages() const { return indexFile_->Header().EndOfFile / kIndexPageSize; }
bool TDataFile::PhysicalOrder() const { return indexFile_->PhysicalOrder(); }
bool TDataFile::NoPrimaryIndex() const { return indexFile_->NoPrimaryIndex(); }
int TDataFile::SecondaryIndexCount() const { return indexFile_->Header().SecondaryCount; }
bool TDataFile::IndexKeepsKeys(uint8_t slot) const { return indexFile_->SlotKeepsKeys(slot); }

// ---------------------------------------------------------------- cursor operations

TRecord* TDataFile::CurrentRecord() const { return cursor_->Current(); }
void TDataFile::SelectIndex(const std::string& name) { cursor_->SelectIndex(name); }
uint8_t TDataFile::CurrentIndex() const { return cursor_->CurrentIndex(); }
int TDataFile::IndexCount() const { return cursor_->IndexCount(); }
TIndexDescriptor TDataFile::GetIndexDesc(uint8_t slot) const { return cursor_->GetIndexDesc(slot); }
int TDataFile::KeySize() const { return cursor_->KeySize(); }
void TDataFile::GotoFirst() { cursor_->GotoFirst(); }
void TDataFile::GotoLast() { cursor_->GotoLast(); }
int TDataFile::ReadCurrent(uint8_t* buffer, bool lock) { return cursor_->ReadCurrent(buffer, lock); }
int TDataFile::ReadNext(uint8_t* buffer) { return cursor_->ReadNext(buffer); }
int TDataFile::ReadPrior(uint8_t* buffer) { return cursor_->ReadPrior(buffer); }
int TDataFile::GotoRecNo(int32_t recNo) { return cursor_->GotoRecNo(recNo); }
int32_t TDataFile::CurrentRecNo() { return cursor_->CurrentRecNo(); }
int32_t TDataFile::RecordCount() { return cursor_->RecordCount(); }
void TDataFile::GetBookmark(uint8_t* bookmark) { cursor_->GetBookmark(bookmark); }
int TDataFile::GotoBookmark(const uint8_t* bookmark) { return cursor_->GotoBookmark(bookmark); }
int TDataFile::CompareBookmarks(const uint8_t* left, const uint8_t* right) {
  return cursor_->CompareBookmarks(left, right);
}
int TDataFile::FindKey(const uint8_t* key, int fieldCount, int partialLength, bool nearest) {
  return cursor_->FindKey(key, fieldCount, partialLength, nearest);
}
void TDataFile::SetRange(const uint8_t* startKey, int startFieldCount, int startPartialLength, bool startExclusive,
                         const uint8_t* endKey, int endFieldCount, int endPartialLength, bool endExclusive) {
  cursor_->SetRange(startKey, startFieldCount, startPartialLength, startExclusive, endKey, endFieldCount,
                    endPartialLength, endExclusive);
}
void TDataFile::CancelRange() { cursor_->CancelRange(); }
int TDataFile::GotoCurrent(TDataFile& other) { return cursor_->GotoCurrent(other); }
void TDataFile::BuildKey(const uint8_t* buffer, uint8_t* key) { cursor_->BuildKey(buffer, key); }


// ---------------------------------------------------------------- updates and transactions

void TDataFile::AppendRecord(uint8_t* buffer) { writer_->AppendRecord(buffer); }
void TDataFile::ModifyRecord(uint8_t* buffer, bool unlockAfterwards, bool reposition) {
  writer_->ModifyRecord(buffer, unlockAfterwards, reposition);
}
void TDataFile::DeleteRecord(bool reposition) { writer_->DeleteRecord(reposition); }
void TDataFile::StartTransaction() { writer_->StartTransaction(); }
void TDataFile::Commit() { writer_->Commit(); }
void TDataFile::Rollback() { writer_->Rollback(); }

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
  cursor_->CopyOrderTo(*clone->cursor_);
  CopyFiltersTo(*clone);
  cursor_->CopyPlaceTo(*clone->cursor_);
  return clone;
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
  writeByte_->Reset();
  recordLocks_->Reset();
  lockState_->Reset();
  layoutLoaded_ = false;
  fileDescs_.clear();
  working_.clear();
  hasValidityChecks_ = hasDefaults_ = hasComputed_ = false;
  computedSize_ = 0;
  cursor_->Forget();
  store_->Clear();
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
    store_->ResetStats();
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
  ReadAt(0, block, int32_t(kDataHeaderSize), false);
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
  for (size_t k = 0; k < count; ++k) {
    TFieldDesc d = TFieldDesc::Unpack(block.data() + kFieldDescSize * k);
    d.ExpressionHandle = 0;
    fileDescs_.push_back(std::move(d));
  }
  NoteFieldFeatures(fileDescs_);
}

void TDataFile::NoteFieldFeatures(const std::vector<TFieldDesc>& descs) {
  hasValidityChecks_ = hasDefaults_ = hasComputed_ = false;
  for (const TFieldDesc& d : descs) {
    if (d.Required != 0 || !d.MinValue.empty() || !d.MaxValue.empty()) hasValidityChecks_ = true;
    if (!d.DefaultValue.empty()) hasDefaults_ = true;
    if (d.Computed != 0) hasComputed_ = true;
  }
}

void TDataFile::SetWorkingFromFile() {
  working_ = fileDescs_;
  DropRecordCache();
  store_->Resize(size_t(RecordSize()));
  cursor_->Forget();
}

void TDataFile::SetWorkingDescriptors(const std::vector<TFieldDef>& defs) {
  if (!IsOpen()) Fail(kErrInvalidHandle);
  std::vector<TFieldDesc> descs = CheckFieldDefs(defs, header_.LanguageId, header_.SortId, true, FileName());
  // The stored fields must be the file's own, field for field: records are
  // read and written with the file's layout.
  std::vector<const TFieldDesc*> stored;
  for (const TFieldDesc& d : descs)
    if (d.Computed == 0) stored.push_back(&d);
  std::vector<const TFieldDesc*> fileStored;
  for (const TFieldDesc& d : fileDescs_)
    if (d.Computed == 0) fileStored.push_back(&d);
  if (stored.size() != fileStored.size()) Fail(kErrFieldDefinition);
  for (size_t i = 0; i < stored.size(); ++i) {
    const TFieldDesc& a = *stored[i];
    const TFieldDesc& b = *fileStored[i];
    if (a.FieldType != b.FieldType || a.DataSize != b.DataSize || a.Offset != b.Offset ||
        a.IsAutoIncrement() != b.IsAutoIncrement())
      Fail(kErrFieldDefinition, a.Name);
  }
  // Computed fields follow the stored part, each as null flag and data.
  int offset = header_.RecordSize;
  for (TFieldDesc& d : descs) {
    if (d.Computed == 0) continue;
    if (offset + d.DataSize + 1 > 0xFFFF) Fail(kErrRecordSize, d.Name);
    d.Offset = uint16_t(offset);
    offset += d.DataSize + 1;
  }
  UnpinAll();
  DropRecordCache();
  computedSize_ = offset - header_.RecordSize;
  working_ = std::move(descs);
  NoteFieldFeatures(working_);
  store_->Resize(size_t(RecordSize()));
  cursor_->Forget();
  // The cursor starts again before the first record.
  indexFile_->FirstKey();
  indexFile_->SetCursorFlags(true, false);
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
  indexFile_->SetOwner(owners_.get());
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
    blobFile_->SetOwner(owners_.get());
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
  TFinalSteps steps;
  if (lockState_->TableLocked()) {
    // A transaction still open: its unwritten changes are discarded and the
    // table lock goes.
    steps.Then([&] { writer_->EndTransactionDiscard(); });
    steps.Then([&] {
      if (lockState_->TableLocked()) lockState_->UnlockTable();
      lockState_->EndTransaction();
    });
  } else {
    steps.Then([&] {
      UnpinAll();
      if (Exclusive() && !ReadOnly()) FlushAll(true, false, false);
    });
  }
  steps.Then([&] {
    const std::vector<int32_t> held = recordLocks_->HeldRecords();
    for (auto it = held.rbegin(); it != held.rend(); ++it) recordLocks_->Unlock(*this, *it);
  });
  steps.Then([&] { ReleaseReadLock(); });
  steps.Then([&] { ReleaseWriteLock(); });
  steps.Then([&] {
    if (!lockState_->WriteHold()) return;
    lockState_->EndHold();
    if (!LockFree() && !lockState_->OwnsWriteByte()) writeByte_->Unlock(*this);
  });
  steps.Then([&] {
    if (blobFile_->IsOpen()) blobFile_->Close();
  });
  steps.Then([&] {
    if (indexFile_->IsOpen()) indexFile_->CloseIndexFile();
  });
  // What the handle knew of the table goes, whatever failed above.
  steps.Then([&] {
    filterList_->Clear();  // the table's filters live as long as the open table
    blobFileOpen_ = false;
    ForgetOpenCipherTable();  // table cipher: data_file_cipher.cpp
    layoutLoaded_ = false;
    fileDescs_.clear();
    working_.clear();
    cursor_->Forget();
    store_->Clear();
    writeByte_->Reset();
    recordLocks_->Reset();
    lockState_->Reset();
    CloseFile();
  });
  steps.Run();
}

void TDataFile::Refresh() {
  if (!IsOpen()) return;
  const bool alreadyHeld = lockState_->ReadHeld();
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
  ++store_->Stats().HeaderWrites;
}

bool TDataFile::HeaderChanged() {
  uint8_t counter[4];
  ReadAt(0, counter, 4, false);
  if (LoadU32(counter) == header_.ChangeCounter) return false;
  ReadHeader();
  return true;
}

bool TDataFile::CheckForChangesUnder(void (TDataFile::*release)()) {
  try {
    return CheckForChanges();
  } catch (...) {
    try {
      (this->*release)();
    } catch (...) {
    }
    throw;
  }
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

void TDataFile::ReloadAfterChange(bool indexChanged) {
  // Remember where the cursor stands, by its key, before the caches go.
  const TTableCursor::TPlace place = cursor_->Remember();
  if (indexChanged) {
    indexFile_->DiscardPages();
    indexFile_->ReadHeader();
  }
  ReadHeader();
  DropRecordCache();
  cursor_->Forget();
  if (!indexFile_->IsOpen()) return;
  cursor_->Return(place, true);
}

// ---------------------------------------------------------------- locks

bool TDataFile::TakeReadLock() {
  // Under the table lock no other program can change the table.
  if (LockFree() || lockState_->CoversReads()) return false;
  if (!indexFile_->LockTableShared()) Fail(kErrLockFailure);
  if (blobFileOpen_ && !blobFile_->LockRead()) {
    indexFile_->UnlockTableShared();
    Fail(kErrLockFailure);
  }
  lockState_->TakeRead();
  return CheckForChangesUnder(&TDataFile::ReleaseReadLock);
}

void TDataFile::ReleaseReadLock() {
  if (!lockState_->ReadHeld()) return;
  lockState_->DropRead();
  bool ok = !blobFileOpen_ || blobFile_->UnlockRead();
  ok = indexFile_->UnlockTableShared() && ok;
  if (!ok) Fail(kErrLockFailure);
}

bool TDataFile::TakeWriteLock() {
  if (LockFree() || lockState_->WriteHeld()) return false;
  // The reader's byte lies inside the writer's region: a handle moving from
  // reading to writing gives its reader byte up first.
  ReleaseReadLock();
  const bool needByte = !lockState_->OwnsWriteByte();
  if (needByte && !writeByte_->Lock(*this)) Fail(kErrLockFailure);
  if (!indexFile_->LockTableExclusive()) {
    if (needByte) writeByte_->Unlock(*this);
    Fail(kErrLockFailure);
  }
  if (blobFileOpen_ && !blobFile_->LockWrite()) {
    indexFile_->UnlockTableExclusive();
    if (needByte) writeByte_->Unlock(*this);
    Fail(kErrLockFailure);
  }
  lockState_->TakeWrite();
  if (lockState_->WritersKeptOut()) return false;
  return CheckForChangesUnder(&TDataFile::ReleaseWriteLock);
}

void TDataFile::ReleaseWriteLock() {
  if (!lockState_->WriteHeld()) return;
  lockState_->DropWrite();
  bool ok = !blobFileOpen_ || blobFile_->UnlockWrite();
  ok = indexFile_->UnlockTableExclusive() && ok;
  if (!lockState_->OwnsWriteByte()) ok = writeByte_->Unlock(*this) && ok;
  if (!ok) Fail(kErrLockFailure);
}

void TDataFile::BeginWriteHold() {
  if (lockState_->WriteHold()) return;
  if (LockFree()) {
    lockState_->BeginHold();
    return;
  }
  if (!writeByte_->Held() && !writeByte_->Lock(*this)) Fail(kErrLockFailure);
  const bool checked = lockState_->Access() != TTableLockState::TAccess::kNone;
  lockState_->BeginHold();
  if (!checked) CheckForChangesUnder(&TDataFile::EndWriteHold);
}

void TDataFile::EndWriteHold() {
  if (!lockState_->WriteHold()) return;
  lockState_->EndHold();
  if (LockFree()) return;
  if (!lockState_->OwnsWriteByte() && !writeByte_->Unlock(*this)) Fail(kErrLockFailure);
  if (!lockState_->TableLocked()) recordLocks_->UnlockAll(*this);
}

void TDataFile::LockTable() {
  if (lockState_->TableLocked()) return;
  if (LockFree()) {
    lockState_->LockTable();
    return;
  }
  ReleaseReadLock();
  if (!writeByte_->Lock(*this)) Fail(kErrLockFailure);
  lockState_->LockTable();
  CheckForChangesUnder(&TDataFile::UnlockTable);
}

void TDataFile::UnlockTable() {
  bool ok = true;
  if (lockState_->TableLocked()) {
    lockState_->UnlockTable();
    if (!LockFree() && !lockState_->OwnsWriteByte()) ok = writeByte_->Unlock(*this);
  }
  if (!LockFree()) recordLocks_->UnlockAll(*this);
  if (!ok) Fail(kErrLockFailure);
}

void TDataFile::LockRecord(int32_t recordNo) {
  if (LockFree()) return;
  if (recordNo == 0) {
    if (cursor_->Current() == nullptr || cursor_->Current()->RecordNo == 0) Fail(kErrRecordInUse);
    recordNo = int32_t(cursor_->Current()->RecordNo);
  }
  if (recordLocks_->IsHeld(recordNo)) return;
  if (!strictChangeDetection_) TakeReadLock();
  recordLocks_->Lock(*this, recordNo, LockRetryCount, LockWaitTime);
}

void TDataFile::UnlockRecord(int32_t recordNo) {
  if (LockFree()) return;
  if (recordNo == 0) {
    if (cursor_->Current() == nullptr || cursor_->Current()->RecordNo == 0) Fail(kErrUnlock);
    recordNo = int32_t(cursor_->Current()->RecordNo);
  }
  // Under a write hold or the table lock record locks go when those end.
  if (lockState_->WritersKeptOut()) return;
  recordLocks_->Unlock(*this, recordNo);
}

bool TDataFile::LockAndCheckForChanges() {
  if (HoldsSharedLock() || LockFree()) return false;
  return TakeReadLock();
}

bool TDataFile::HoldsSharedLock() const { return lockState_->CoversReads(); }

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

void TDataFile::UnpinAll() {
  store_->Cache().UnpinAll();
  if (indexFile_->IsOpen()) indexFile_->UnpinPages();
  if (blobFileOpen_) blobFile_->UnpinBlocks();
}

void TDataFile::DropRecordCache() {
  store_->DropAll();
  cursor_->Forget();
}

bool TDataFile::GetRecord(uint32_t recordNo, bool readAhead, int direction, bool indexRun, TRecord*& record) {
  return store_->Get(recordNo, readAhead, direction, indexRun, record);
}

void TDataFile::ReleaseRecord(TRecord* record) { TRecordStore::Release(record); }

int32_t TDataFile::RecordSpanSlots() const {
  if (computedSize_ != 0) return 0;
  return std::max(1, kSpanBytes / std::max<int>(1, header_.RecordSize));
}

int32_t TDataFile::ReadRecordSpan(uint32_t first, int32_t most, const uint8_t*& records) {
  return store_->ReadSpan(first, most, records);
}

bool TDataFile::FlushRecords() { return store_->Flush(); }

void TDataFile::FlushAll(bool trim, bool forceHeader, bool keysChanged) {
  if (!IsOpen() || ReadOnly()) return;
  FlushRecords();
  WriteHeader(forceHeader);
  if (trim) {
    store_->TrimToOpening();
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

}  // namespace tabula
