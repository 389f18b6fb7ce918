// TDataFile: everything that changes a table. The chain of free record
// slots, record IDs, the validity checks, AppendRecord, ModifyRecord and
// DeleteRecord (which keep every index, the "Sys Deleted" index and the
// blob file in step with the records), working descriptors built from field
// definitions, the table lock and transactions.
//
// Each update runs under the write lock. Its final steps (repositioning the
// cursor, unlocking the record, releasing the write lock) run whatever
// failed; the first error is passed on after them.
//
// Keys are maintained index by index without selecting each index, so the
// index the cursor uses stays selected throughout.

#include <algorithm>
#include <climits>
#include <cstring>
#include <exception>

#include "engine/data_file.h"
#include "engine/engine_error.h"
#include "engine/field_types.h"
#include "engine/field_values.h"
#include "engine/key_builder.h"
#include "engine/locale.h"
#include "engine/table_creator.h"

namespace tabula {

namespace {

const char* const kFreeChainFixedText = "Invalid free record chain in data file, error fixed";

// Runs the final steps of an update: each step runs even when an earlier
// one failed; the first error (of the update itself or of a step) wins.
class TFinalSteps {
 public:
  explicit TFinalSteps(std::exception_ptr error) : error_(std::move(error)) {}
  template <class Step>
  void Run(Step&& step) {
    try {
      step();
    } catch (...) {
      if (!error_) error_ = std::current_exception();
    }
  }
  void Finish() {
    if (error_) std::rethrow_exception(error_);
  }

 private:
  std::exception_ptr error_;
};

// The record ID the next insert gets, without handing it out.
int32_t PeekNextRecordID(int32_t lastRecordId) { return lastRecordId == INT32_MAX ? 1 : lastRecordId + 1; }

// After the IDs have wrapped, the next one may still belong to a record
// (live or deleted): two records with one ID would give "Sys Deleted" and
// the non-unique indexes two equal keys. IDs in use are passed over.
int32_t ChooseRecordID(TIndexFile& index, int32_t lastRecordId, int32_t slots) {
  int32_t id = PeekNextRecordID(lastRecordId);
  if (index.NoPrimaryIndex()) return id;
  uint8_t key[kKeyBufferSize] = {};
  for (int32_t tries = 0; tries <= slots; ++tries) {
    BuildSysDeletedKey(0, id, key);
    bool used = index.KeyExistsInSlot(kSysDeletedSlot, key);
    if (!used) {
      BuildSysDeletedKey(1, id, key);
      used = index.KeyExistsInSlot(kSysDeletedSlot, key);
    }
    if (!used) break;
    id = PeekNextRecordID(id);
  }
  return id;
}

}  // namespace

// ---------------------------------------------------------------- slots and IDs

int32_t TDataFile::NextFreeSlot() const {
  if (header_.FirstFreeRecord != 0 && !indexFile_->NoPrimaryIndex()) return int32_t(header_.FirstFreeRecord);
  return header_.NextRecordNo;
}

TRecord* TDataFile::TakeSlot(int32_t recordNo) {
  TRecord* record = nullptr;
  for (int attempt = 0; record == nullptr; ++attempt) {
    if (attempt > 64) Fail(kErrRecordBuffersCorrupt);
    GetRecord(uint32_t(recordNo), false, kReadForward, false, record);
  }
  uint32_t link = record->Data()[0] == 1 ? LoadU32(record->Data() + 1) : 0;
  // A link outside the file (or to the slot itself) would hand out a live
  // record or a slot that does not exist: the chain ends here instead.
  if (link != 0 && (link >= uint32_t(header_.NextRecordNo) || link == uint32_t(recordNo))) {
    link = 0;
    BlobMessage(kFreeChainFixedText);
  }
  if (header_.FirstFreeRecord != link) {
    header_.FirstFreeRecord = link;
    headerModified_ = true;
  }
  return record;
}

void TDataFile::FreeSlot(TRecord* record) {
  const int32_t next = NextFreeSlot();
  record->Data()[0] = 1;
  StoreU32(record->Data() + 1, next == header_.NextRecordNo ? 0u : uint32_t(next));
  record->Modified = true;
  header_.FirstFreeRecord = record->RecordNo;
  headerModified_ = true;
}

int32_t TDataFile::NextRecordID() {
  if (header_.LastRecordID == INT32_MAX) header_.LastRecordID = 0;
  ++header_.LastRecordID;
  headerModified_ = true;
  return header_.LastRecordID;
}

// ---------------------------------------------------------------- validity

void TDataFile::ValidateRecord(const uint8_t* buffer) {
  if (!hasValidityChecks_) return;
  const TLocaleFormats formats = LoadLocaleFormats(false, header_.LanguageId, header_.SortId);
  std::vector<uint8_t> value;
  std::string limit;
  for (size_t k = 0; k < working_.size(); ++k) {
    const TFieldDesc& d = working_[k];
    if (d.Required == 0 && d.MinValue.empty() && d.MaxValue.empty()) continue;
    value.assign(std::max<size_t>(d.DataSize, 1), 0);
    const bool isNull = GetField(TDescSet::kWorking, int(k + 1), buffer, value.data());
    if (d.Required != 0 && isNull) Fail(kErrValueRequired, d.Name);
    // A limit is read as the field's type reads defaults, without the words
    // for today and now; a NULL field compares as its zero bytes.
    auto compareWith = [&](const std::string& text, int& order) {
      if (text.empty()) return false;
      limit.clear();
      if (!TextToFieldValue(d.FieldType, d.Scale, text, formats, limit, false)) return false;
      limit.resize(value.size(), '\0');
      if (d.FieldType == kFldString && !value.empty()) limit.back() = '\0';
      order = CompareFieldValues(d.FieldType, value.data(), reinterpret_cast<const uint8_t*>(limit.data()), d.DataSize,
                                 header_.LanguageId, header_.SortId);
      return true;
    };
    int order = 0;
    if (compareWith(d.MinValue, order) && order < 0) Fail(kErrBelowMinimum, d.Name);
    if (compareWith(d.MaxValue, order) && order > 0) Fail(kErrAboveMaximum, d.Name);
  }
}

// ---------------------------------------------------------------- helpers

void TDataFile::CheckWritable() {
  if (!IsOpen()) Fail(kErrInvalidHandle);
  if (ReadOnly()) Fail(kErrAccessDenied);
}

std::vector<uint8_t> TDataFile::MaintainedSlots() const {
  std::vector<uint8_t> slots;
  if (!indexFile_->NoPrimaryIndex()) slots.push_back(kPrimarySlot);
  const int secondaries = std::min<int>(indexFile_->Header().SecondaryCount, kMaxSecondaryIndexes);
  for (int s = 1; s <= secondaries; ++s) slots.push_back(uint8_t(s));
  return slots;
}

std::vector<uint8_t> TDataFile::KeyOf(uint8_t slot, const uint8_t* record) const {
  std::vector<uint8_t> key(kKeyBufferSize, 0);
  BuildIndexKey(slot, indexFile_->Descriptor(slot), fileDescs_.data(), fileDescs_.size(), record, header_.LanguageId,
                header_.SortId, key.data());
  return key;
}

std::vector<uint8_t> TDataFile::CurrentIndexKey(const uint8_t* record) const {
  if (indexFile_->PhysicalOrder()) return {};
  return KeyOf(indexFile_->CurrentSlot(), record);
}

void TDataFile::FlushToDisk() {
  // With force buffer flush on, every write goes through to the device already.
  if (ReadOnly() || forceBufferFlush_) return;
  FlushFile();
  if (indexFile_->IsOpen()) indexFile_->FlushFile();
  if (blobFileOpen_) blobFile_->FlushFile();
}

void TDataFile::FlushAfterChange() {
  UnpinAll();
  if (!Exclusive() && !tableLocked_) FlushAll(false, true, true);
  if (current_ != nullptr) Pin(current_);
}

void TDataFile::BeginTransactionWrites() {
  if (!inTransaction_ || tableLocked_) return;
  UnpinAll();
  if (Exclusive()) {
    // What an exclusive handle changed before the transaction is kept:
    // written out and flushed before the transaction's own changes begin.
    FlushAll(false, true, true);
    FlushToDisk();
  }
  if (current_ != nullptr) Pin(current_);
  LockTable();
}

void TDataFile::CheckBlobHandles(const uint8_t* buffer) const {
  for (const TFieldDesc& d : working_) {
    if (d.FieldType != kFldBlob || d.Computed != 0) continue;
    const int32_t value = LoadI32(buffer + d.Offset + 1);
    if (value >= 0) continue;
    // A handle that names no open blob would be stored as a reference.
    const int32_t handle = HandleInField(d, buffer);
    if (handle == 0 || !blobFileOpen_ || !blobFile_->IsOpenBlob(handle)) Fail(kErrBlobOffset, d.Name);
  }
}

void TDataFile::StoreRecordBlobs(int32_t recordNo, uint8_t* slot) {
  if (!blobFileOpen_) return;
  bool any = false;
  for (const TFieldDesc& d : fileDescs_)
    if (d.FieldType == kFldBlob && d.Computed == 0 && HandleInField(d, slot) != 0) any = true;
  if (!any) return;
  // Each blob field that names an open blob gets that blob's reference;
  // other open blobs (another record's, opened for reading) are left alone.
  auto putReferences = [&] {
    for (size_t k = 0; k < fileDescs_.size(); ++k) {
      const TFieldDesc& d = fileDescs_[k];
      if (d.FieldType != kFldBlob || d.Computed != 0) continue;
      const int32_t handle = HandleInField(d, slot);
      if (handle == 0) continue;
      const TBlobBuffer* blob = blobFile_->FindBlob(handle);
      BlobStoreReference(int(TDescSet::kFile), int(k + 1), blob ? blob->Reference : 0, slot);
    }
  };
  blobFile_->SetBlobRecord(recordNo);
  try {
    blobFile_->StoreBlobs();
  } catch (...) {
    // The record must not keep handles: it gets the references the blobs
    // have now (old or new chains, never half-stored ones).
    putReferences();
    throw;
  }
  putReferences();
}

void TDataFile::FreeRecordBlobs(int32_t recordNo, const uint8_t* scratch) {
  if (!blobFileOpen_) return;
  std::vector<int32_t> handles;
  auto freeHandles = [&] {
    for (int32_t h : handles) {
      int32_t reference = 0;
      blobFile_->FreeBlob(h, reference);
    }
    handles.clear();
  };
  try {
    for (size_t k = 0; k < fileDescs_.size(); ++k) {
      const TFieldDesc& d = fileDescs_[k];
      if (d.FieldType != kFldBlob || d.Computed != 0 || scratch[d.Offset] == 0) continue;
      const int32_t reference = LoadI32(scratch + d.Offset + 1);
      if (reference <= 0) continue;
      int32_t handle = 0;
      int code = blobFile_->OpenBlob(reference, int(k + 1), recordNo, kBlobModeRead, handle);
      if (code != kResultOk) Fail(uint16_t(code), d.Name);
      handles.push_back(handle);
      code = blobFile_->TruncateBlob(handle, 0);
      if (code != kResultOk) Fail(uint16_t(code), d.Name);
    }
    if (!handles.empty()) {
      blobFile_->SetBlobRecord(recordNo);
      blobFile_->StoreBlobs();
    }
  } catch (...) {
    freeHandles();
    throw;
  }
  freeHandles();
}

int32_t TDataFile::CurrentRecordForUpdate() const {
  if (current_ != nullptr && current_->RecordNo != 0) return int32_t(current_->RecordNo);
  // A change by another program found while reading (a blob, say) drops the
  // cached records; the cursor was put back on the record, which is still
  // the one to change.
  const TIndexFile& index = *indexFile_;
  if (index.CurrentKey() == nullptr && !index.PhysicalOrder()) return 0;
  if (index.Bof() || index.Eof()) return 0;
  return index.CurrentRecordNumber();
}

void TDataFile::ReloadCurrentFromCursor() {
  const int32_t recNo = indexFile_->CurrentRecordNumber();
  if (recNo <= 0 || recNo >= header_.NextRecordNo) {
    SetCurrentRecord(nullptr);
    return;
  }
  TRecord* record = nullptr;
  if (GetRecord(uint32_t(recNo), false, kReadForward, false, record) && record != nullptr)
    SetCurrentRecord(record);
  else
    SetCurrentRecord(nullptr);
}

void TDataFile::RepositionOnRecord(const uint8_t* record, int32_t recordNo) {
  TIndexFile& index = *indexFile_;
  if (index.PhysicalOrder()) {
    index.GoToRecord(recordNo);
  } else {
    std::vector<uint8_t> key = CurrentIndexKey(record);
    index.FindKey(key.data(), true, false);
  }
  index.SetCursorFlags(false, false);
  ReloadCurrentFromCursor();
}

void TDataFile::RepositionAfterDelete(const std::vector<uint8_t>& key, int32_t recordNo) {
  TIndexFile& index = *indexFile_;
  if (index.PhysicalOrder()) {
    index.GoToRecord(recordNo);
  } else if (!key.empty()) {
    // The key is gone: the cursor lands on the next key in the order (on
    // the last one, with EOF, when the record was the last).
    std::vector<uint8_t> probe(key);
    index.FindKey(probe.data(), true, false);
  }
  ReloadCurrentFromCursor();
}

// ---------------------------------------------------------------- append

void TDataFile::AppendRecord(uint8_t* buffer) {
  CheckWritable();
  BeginTransactionWrites();
  TakeWriteLock();
  std::exception_ptr error;
  int32_t r = 0;
  bool recordLocked = false;
  bool written = false;
  try {
    r = NextFreeSlot();
    if (r != header_.NextRecordNo) {
      // The head of the free chain must be a deleted slot; a live one would
      // be overwritten. A damaged chain is dropped and the record appended.
      TRecord* slot = nullptr;
      GetRecord(uint32_t(r), false, kReadForward, false, slot);
      const bool sound = slot != nullptr && slot->Data()[0] == 1;
      ReleaseRecord(slot);
      if (!sound) {
        header_.FirstFreeRecord = 0;
        headerModified_ = true;
        BlobMessage(kFreeChainFixedText);
        r = header_.NextRecordNo;
      }
    }
    // Refuse a full table before anything changes.
    if (r == header_.NextRecordNo &&
        (int64_t(header_.NextRecordNo) + 1 > kMaxRecordNo ||
         int64_t(header_.RecordSize) * header_.NextRecordNo > kMaxDataBytes))
      Fail(kErrFileFull);
    LockRecord(r);
    recordLocked = true;
    ValidateRecord(buffer);
    CheckBlobHandles(buffer);
    const int32_t id = ChooseRecordID(*indexFile_, header_.LastRecordID, header_.NextRecordNo - 1);
    StoreI32(buffer + kRecordIdOffset, id);

    const std::vector<uint8_t> slots = MaintainedSlots();
    std::vector<std::vector<uint8_t>> keys;
    keys.reserve(slots.size());
    for (uint8_t s : slots) {
      keys.push_back(KeyOf(s, buffer));
      indexFile_->CheckDuplicateInSlot(s, keys.back().data());
    }
    for (size_t i = 0; i < slots.size(); ++i) indexFile_->InsertKeyInSlot(slots[i], keys[i].data(), uint32_t(r));

    TRecord* record = TakeSlot(r);
    const bool reused = record->Data()[0] == 1;
    const int32_t oldId = LoadI32(record->Data() + kRecordIdOffset);
    if (!indexFile_->NoPrimaryIndex()) {
      uint8_t newKey[kKeyBufferSize] = {};
      BuildSysDeletedKey(0, id, newKey);
      if (reused) {
        uint8_t oldKey[kKeyBufferSize] = {};
        BuildSysDeletedKey(1, oldId, oldKey);
        indexFile_->ReplaceKeyInSlot(kSysDeletedSlot, oldKey, newKey, uint32_t(r));
      } else {
        indexFile_->InsertKeyInSlot(kSysDeletedSlot, newKey, uint32_t(r));
      }
    }
    uint8_t* data = record->Data();
    const size_t size = size_t(RecordSize());
    std::memset(data, 0, size);
    data[0] = 0;
    StoreU32(data + 1, uint32_t(r));
    header_.LastRecordID = id == 1 ? INT32_MAX : id - 1;  // IDs in use were passed over
    StoreI32(data + kRecordIdOffset, NextRecordID());
    std::memcpy(data + kRecordHeaderSize, buffer + kRecordHeaderSize, size - kRecordHeaderSize);
    std::memcpy(data + kRecordIdOffset, buffer + kRecordIdOffset, 4);
    record->Modified = true;
    record->ComputedValid = false;
    indexFile_->AdjustLiveRecordCount(1);
    written = true;
    if (inTransaction_) modifiedInTransaction_ = true;
    SetCurrentRecord(record);
    StoreRecordBlobs(r, data);
    FlushAfterChange();
  } catch (...) {
    error = std::current_exception();
  }
  TFinalSteps finalSteps(error);
  if (written) {
    finalSteps.Run([&] {
      std::vector<uint8_t> key = CurrentIndexKey(buffer);
      indexFile_->RecordWritten(r, key.empty() ? nullptr : key.data());
    });
    finalSteps.Run([&] { RepositionOnRecord(buffer, r); });
  }
  if (recordLocked) finalSteps.Run([&] { UnlockRecord(r); });
  finalSteps.Run([&] { ReleaseWriteLock(); });
  finalSteps.Finish();
}

// ---------------------------------------------------------------- modify

void TDataFile::ModifyRecord(uint8_t* buffer, bool unlockAfterwards, bool reposition) {
  CheckWritable();
  const int32_t recNo = CurrentRecordForUpdate();
  BeginTransactionWrites();
  TakeWriteLock();
  std::exception_ptr error;
  bool written = false;
  try {
    // Taking the lock may have found other writers' changes and dropped the
    // cache: the record is read again (the caller's lock kept it as it was).
    if (current_ == nullptr && recNo > 0 && recNo < header_.NextRecordNo) {
      TRecord* record = nullptr;
      GetRecord(uint32_t(recNo), false, kReadForward, false, record);
      SetCurrentRecord(record);
    }
    if (current_ == nullptr || current_->RecordNo == 0 || current_->Data()[0] != 0) Fail(kErrRecordNotFound);
    TRecord* record = current_;
    const int32_t r = int32_t(record->RecordNo);
    ValidateRecord(buffer);
    CheckBlobHandles(buffer);
    std::memcpy(buffer + kRecordIdOffset, record->Data() + kRecordIdOffset, 4);

    const std::vector<uint8_t> slots = MaintainedSlots();
    std::vector<std::vector<uint8_t>> oldKeys, newKeys;
    std::vector<bool> differs;
    for (uint8_t s : slots) {
      oldKeys.push_back(KeyOf(s, record->Data()));
      newKeys.push_back(KeyOf(s, buffer));
      const int length = indexFile_->Descriptor(s).KeyLength;
      const bool changed = std::memcmp(oldKeys.back().data(), newKeys.back().data(), size_t(length)) != 0;
      differs.push_back(changed);
      if (!changed) continue;
      // A key equal to the record's own under the index's comparison (a
      // change of letter case in a case-insensitive index) is no violation.
      const TIndexDescriptor& desc = indexFile_->Descriptor(s);
      if (indexFile_->CompareKeys(oldKeys.back().data(), newKeys.back().data(), &desc, desc.Descending, length) != 0)
        indexFile_->CheckDuplicateInSlot(s, newKeys.back().data());
    }
    bool keysChanged = false;
    for (size_t i = 0; i < slots.size(); ++i) {
      if (!differs[i]) continue;
      indexFile_->ReplaceKeyInSlot(slots[i], oldKeys[i].data(), newKeys[i].data(), uint32_t(r));
      keysChanged = true;
    }
    uint8_t* data = record->Data();
    std::memcpy(data + kRecordHeaderSize, buffer + kRecordHeaderSize, size_t(RecordSize()) - kRecordHeaderSize);
    record->Modified = true;
    record->ComputedValid = false;
    written = true;
    if (inTransaction_) modifiedInTransaction_ = true;
    StoreRecordBlobs(r, data);
    UnpinAll();
    if (!Exclusive() && !tableLocked_) FlushAll(false, true, keysChanged);
    if (current_ != nullptr) Pin(current_);
    if (unlockAfterwards) UnlockRecord(r);
  } catch (...) {
    error = std::current_exception();
  }
  TFinalSteps finalSteps(error);
  if (written) {
    finalSteps.Run([&] {
      std::vector<uint8_t> key = CurrentIndexKey(buffer);
      indexFile_->RecordWritten(recNo, key.empty() ? nullptr : key.data());
    });
  }
  if (written && reposition) {
    finalSteps.Run([&] { RepositionOnRecord(buffer, recNo); });
  } else {
    finalSteps.Run([&] {
      if (current_ == nullptr) ReloadCurrentFromCursor();
    });
  }
  finalSteps.Run([&] { ReleaseWriteLock(); });
  finalSteps.Finish();
}

// ---------------------------------------------------------------- delete

void TDataFile::DeleteRecord(bool reposition) {
  CheckWritable();
  int32_t r = CurrentRecordForUpdate();
  BeginTransactionWrites();
  TakeWriteLock();
  std::exception_ptr error;
  bool recordLocked = false;
  bool deleted = false;
  std::vector<uint8_t> scratch;
  std::vector<uint8_t> cursorKey;
  try {
    if (current_ == nullptr && r > 0 && r < header_.NextRecordNo) {
      TRecord* record = nullptr;
      GetRecord(uint32_t(r), false, kReadForward, false, record);
      SetCurrentRecord(record);
    }
    r = current_ != nullptr ? int32_t(current_->RecordNo) : 0;
    LockRecord(r);
    recordLocked = true;
    TRecord* record = current_;
    if (record->Data()[0] != 0) Fail(kErrRecordNotFound);
    scratch.assign(record->Data(), record->Data() + RecordSize());
    cursorKey = CurrentIndexKey(scratch.data());

    for (uint8_t s : MaintainedSlots()) {
      std::vector<uint8_t> key = KeyOf(s, scratch.data());
      indexFile_->DeleteKeyInSlot(s, key.data());
    }
    if (!indexFile_->NoPrimaryIndex()) {
      uint8_t liveKey[kKeyBufferSize] = {};
      uint8_t deletedKey[kKeyBufferSize] = {};
      const int32_t id = LoadI32(scratch.data() + kRecordIdOffset);
      BuildSysDeletedKey(0, id, liveKey);
      BuildSysDeletedKey(1, id, deletedKey);
      indexFile_->ReplaceKeyInSlot(kSysDeletedSlot, liveKey, deletedKey, uint32_t(r));
    }
    indexFile_->AdjustLiveRecordCount(-1);
    deleted = true;
    if (inTransaction_) modifiedInTransaction_ = true;
    FreeRecordBlobs(r, scratch.data());
    FreeSlot(record);
    FlushAfterChange();
  } catch (...) {
    error = std::current_exception();
  }
  TFinalSteps finalSteps(error);
  if (deleted) {
    finalSteps.Run([&] { indexFile_->RecordDeleted(r); });
    finalSteps.Run([&] {
      if (reposition) {
        RepositionAfterDelete(cursorKey, r);
      } else {
        // The cursor stays between its neighbours; no record is current.
        SetCurrentRecord(nullptr);
      }
    });
  }
  if (recordLocked) finalSteps.Run([&] { UnlockRecord(r); });
  finalSteps.Run([&] { ReleaseWriteLock(); });
  finalSteps.Finish();
}

// ---------------------------------------------------------------- descriptors

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
  hasValidityChecks_ = hasDefaults_ = hasComputed_ = false;
  for (const TFieldDesc& d : working_) {
    if (d.Required != 0 || !d.MinValue.empty() || !d.MaxValue.empty()) hasValidityChecks_ = true;
    if (!d.DefaultValue.empty()) hasDefaults_ = true;
    if (d.Computed != 0) hasComputed_ = true;
  }
  size_t capacity = std::clamp<size_t>(kCacheBytes / size_t(std::max(1, RecordSize())), 8, kMaxCacheEntries);
  cache_.Reset(capacity, size_t(RecordSize()));
  openingCapacity_ = capacity;
  current_ = nullptr;
  // The cursor starts again before the first record.
  indexFile_->FirstKey();
  indexFile_->SetCursorFlags(true, false);
}

// ---------------------------------------------------------------- table lock, transactions

void TDataFile::LockTable() {
  if (tableLocked_) return;
  if (LockFree()) {
    tableLocked_ = true;
    return;
  }
  ReleaseReadLock();
  if (!writeByte_.Lock(*this)) Fail(kErrLockFailure);
  tableLocked_ = true;
  try {
    CheckForChanges();
  } catch (...) {
    try {
      UnlockTable();
    } catch (...) {
    }
    throw;
  }
}

void TDataFile::UnlockTable() {
  bool ok = true;
  if (tableLocked_) {
    tableLocked_ = false;
    if (!LockFree() && !writeHold_ && !writeLockHeld_) ok = writeByte_.Unlock(*this);
  }
  if (tableRangeHeld_) UnlockTableRange();
  if (!LockFree()) recordLocks_.UnlockAll(*this);
  if (!ok) Fail(kErrLockFailure);
}

void TDataFile::StartTransaction() {
  CheckWritable();
  if (inTransaction_) return;
  inTransaction_ = true;
  modifiedInTransaction_ = false;
}

void TDataFile::Commit() {
  if (!IsOpen() || !inTransaction_) return;
  if (tableLocked_) {
    // Readers are kept out while the changes go to the files, so that no
    // one sees half of them.
    TakeWriteLock();
    try {
      UnpinAll();
      FlushAll(true, true, true);
      FlushToDisk();
      if (current_ != nullptr) Pin(current_);
    } catch (...) {
      try {
        ReleaseWriteLock();
      } catch (...) {
      }
      throw;
    }
    ReleaseWriteLock();
    inTransaction_ = modifiedInTransaction_ = false;
    UnlockTable();
    return;
  }
  inTransaction_ = modifiedInTransaction_ = false;
}

void TDataFile::Rollback() {
  if (!IsOpen() || !inTransaction_) return;
  if (tableLocked_) {
    std::exception_ptr error;
    try {
      EndTransactionDiscard();
    } catch (...) {
      error = std::current_exception();
    }
    inTransaction_ = modifiedInTransaction_ = false;
    if (error) std::rethrow_exception(error);
    return;
  }
  inTransaction_ = modifiedInTransaction_ = false;
}

void TDataFile::EndTransactionDiscard() {
  TFinalSteps finalSteps(nullptr);
  if (modifiedInTransaction_) {
    // Where the cursor stands, to come back to it.
    std::vector<uint8_t> key;
    int32_t recNo = 0;
    const bool positioned = indexFile_->IsOpen() && indexFile_->CurrentKey() != nullptr;
    const bool bof = indexFile_->Bof();
    const bool eof = indexFile_->Eof();
    if (positioned) {
      recNo = indexFile_->CurrentRecordNumber();
      key.assign(indexFile_->CurrentKey(), indexFile_->CurrentKey() + indexFile_->KeyLength());
    }
    // Nothing of the transaction reached the files: the caches go and the
    // headers are read again.
    DropRecordCache();
    cache_.SetCapacity(openingCapacity_);
    cache_.TrimTo(openingCapacity_);
    finalSteps.Run([&] { ReadHeader(); });
    finalSteps.Run([&] {
      indexFile_->DiscardPages();
      indexFile_->ReadHeader();
      indexFile_->TrimPageBuffers();
    });
    if (blobFileOpen_) {
      // Open blobs may name blocks of the discarded changes: the blob file
      // is opened afresh, which drops them with its blocks.
      finalSteps.Run([&] {
        blobFileOpen_ = false;
        blobFile_->Close();
        blobFile_->Open();
        blobFileOpen_ = true;
      });
    }
    modifiedInTransaction_ = false;
    finalSteps.Run([&] {
      if (indexFile_->BitmapMode()) indexFile_->RebuildBitmaps();
      if (!positioned) {
        indexFile_->MarkEmpty();
      } else if (indexFile_->PhysicalOrder()) {
        indexFile_->GoToRecord(recNo);
      } else {
        key.resize(std::max<size_t>(key.size(), kKeyBufferSize), 0);
        indexFile_->FindKey(key.data(), true, false);
      }
      if (positioned) indexFile_->SetCursorFlags(bof, eof);
    });
  }
  finalSteps.Run([&] { UnlockTable(); });
  finalSteps.Finish();
}

}  // namespace tabula
