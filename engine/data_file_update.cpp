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
#include <memory>

#include "engine/change_set.h"
#include "tabula/data_file.h"
#include "engine/data_file_parts.h"
#include "tabula/engine_error.h"
#include "tabula/field_types.h"
#include "tabula/field_values.h"
#include "engine/key_builder.h"
#include "tabula/locale.h"
#include "tabula/table_creator.h"

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
  if (!Exclusive() && !lockState_->TableLocked()) FlushAll(false, true, true);
  if (current_ != nullptr) store_->Pin(current_);
}

void TDataFile::BeginTransactionWrites() {
  if (!lockState_->InTransaction() || lockState_->TableLocked()) return;
  UnpinAll();
  if (Exclusive()) {
    // What an exclusive handle changed before the transaction is kept:
    // written out and flushed before the transaction's own changes begin.
    FlushAll(false, true, true);
    FlushToDisk();
  }
  if (current_ != nullptr) store_->Pin(current_);
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

// ---------------------------------------------------------------- taking back

void TDataFile::RestoreSlot(int32_t recordNo, const std::vector<uint8_t>& before, bool keepBlobFields) {
  if (before.empty()) {
    // A slot added at the end: the restored header no longer counts it.
    TRecord* entry = store_->Cache().Find(uint32_t(recordNo));
    if (entry == nullptr) return;
    if (current_ == entry) current_ = nullptr;
    store_->Cache().UnpinAll();
    store_->Cache().Recycle(entry);
    if (current_ != nullptr) store_->Pin(current_);
    return;
  }
  TRecord* record = nullptr;
  if (!GetRecord(uint32_t(recordNo), false, kReadForward, false, record) || record == nullptr) return;
  uint8_t* data = record->Data();
  const size_t size = std::min(before.size(), size_t(RecordSize()));
  std::vector<uint8_t> now(data, data + size);
  std::memcpy(data, before.data(), size);
  if (keepBlobFields) {
    for (const TFieldDesc& d : fileDescs_) {
      if (d.FieldType != kFldBlob || d.Computed != 0) continue;
      std::memcpy(data + d.Offset, now.data() + d.Offset, size_t(d.DataSize) + 1);
    }
  }
  record->Modified = true;
  record->ComputedValid = false;
  ReleaseRecord(record);
}

void TDataFile::FreeSlotBlobs(int32_t recordNo) {
  if (!blobFileOpen_) return;
  TRecord* record = nullptr;
  if (!GetRecord(uint32_t(recordNo), false, kReadForward, false, record) || record == nullptr) return;
  const std::vector<uint8_t> scratch(record->Data(), record->Data() + RecordSize());
  ReleaseRecord(record);
  FreeRecordBlobs(recordNo, scratch.data());
}

void TDataFile::DiscardUnwrittenChanges(bool blobs) {
  TFinalSteps finalSteps(nullptr);
  // Where the cursor stands, to come back to it.
  const TCursorPlace place = RememberCursor();
  DropRecordCache();
  store_->TrimToOpening();
  finalSteps.Run([&] { ReadHeader(); });
  finalSteps.Run([&] {
    indexFile_->DiscardPages();
    indexFile_->ReadHeader();
    indexFile_->TrimPageBuffers();
  });
  if (blobs) finalSteps.Run([&] { ReopenBlobFile(); });
  finalSteps.Run([&] {
    ReturnCursor(place, false);
    if (place.Positioned) indexFile_->SetCursorFlags(place.Bof, place.Eof);
  });
  finalSteps.Finish();
}

void TDataFile::ReopenBlobFile() {
  if (!blobFileOpen_) return;
  // Open blobs may name blocks of the discarded changes: the blob file is
  // opened afresh, which drops them with its blocks.
  blobFileOpen_ = false;
  blobFile_->Close();
  blobFile_->Open();
  blobFileOpen_ = true;
}

bool TDataFile::TakeBackFailedUpdate(TChangeSet& changes, bool writing, bool blobsTouched) {
  if (changes.Empty()) return false;
  const bool sharing = !Exclusive() && !lockState_->TableLocked();
  try {
    if (sharing && !writing) {
      // Every change is still in the caches: dropping them is exact. The
      // blob file is read afresh only when the update changed blobs (that
      // closes the blobs the caller holds open).
      changes.Keep();
      UnpinAll();
      DiscardUnwrittenChanges(blobsTouched);
      ReloadCurrentFromCursor();
      return true;
    }
    changes.Undo();
    UnpinAll();
    if (sharing) {
      FlushAll(false, true, true);
      // A slot the update had written at the end goes with the header's count.
      const int64_t end = store_->SlotOffset(uint32_t(header_.NextRecordNo));
      if (end <= INT32_MAX && QueryFileSize() > end) {
        SeekFile(int32_t(end), kSeekStart);
        WriteBytes(nullptr, 0);
      }
    }
    if (current_ != nullptr) store_->Pin(current_);
  } catch (...) {
    // The update's own error is the one reported.
  }
  return true;
}

// ---------------------------------------------------------------- append

void TDataFile::AppendRecord(uint8_t* buffer) {
  CheckWritable();
  BeginTransactionWrites();
  TakeWriteLock();
  std::exception_ptr error;
  TChangeSet changes;
  bool writing = false;
  bool blobsTouched = false;
  int32_t r = 0;
  bool recordLocked = false;
  bool written = false;
  try {
    r = NextFreeSlot();
    std::vector<uint8_t> slotBefore;
    if (r != header_.NextRecordNo) {
      // The head of the free chain must be a deleted slot; a live one would
      // be overwritten. A damaged chain is dropped and the record appended.
      TRecord* slot = nullptr;
      GetRecord(uint32_t(r), false, kReadForward, false, slot);
      const bool sound = slot != nullptr && slot->Data()[0] == 1;
      if (sound) slotBefore.assign(slot->Data(), slot->Data() + RecordSize());
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
    // The header's free chain, slot count and last record ID.
    changes.Applied([this, saved = header_] {
      header_ = saved;
      headerModified_ = true;
    });
    const int32_t id = ChooseRecordID(*indexFile_, header_.LastRecordID, header_.NextRecordNo - 1);
    StoreI32(buffer + kRecordIdOffset, id);

    const std::vector<uint8_t> slots = MaintainedSlots();
    std::vector<std::vector<uint8_t>> keys;
    keys.reserve(slots.size());
    for (uint8_t s : slots) {
      keys.push_back(KeyOf(s, buffer));
      indexFile_->CheckDuplicateInSlot(s, keys.back().data());
    }
    for (size_t i = 0; i < slots.size(); ++i) {
      indexFile_->InsertKeyInSlot(slots[i], keys[i].data(), uint32_t(r));
      changes.Applied([this, slot = slots[i], key = keys[i]] { indexFile_->DeleteKeyInSlot(slot, key.data()); });
    }

    changes.Applied([this, r, slotBefore] { RestoreSlot(r, slotBefore, false); });
    TRecord* record = TakeSlot(r);
    const bool reused = record->Data()[0] == 1;
    const int32_t oldId = LoadI32(record->Data() + kRecordIdOffset);
    if (!indexFile_->NoPrimaryIndex()) {
      std::vector<uint8_t> newKey(kKeyBufferSize, 0);
      BuildSysDeletedKey(0, id, newKey.data());
      if (reused) {
        std::vector<uint8_t> oldKey(kKeyBufferSize, 0);
        BuildSysDeletedKey(1, oldId, oldKey.data());
        indexFile_->ReplaceKeyInSlot(kSysDeletedSlot, oldKey.data(), newKey.data(), uint32_t(r));
        changes.Applied([this, r, oldKey, newKey] {
          indexFile_->ReplaceKeyInSlot(kSysDeletedSlot, newKey.data(), oldKey.data(), uint32_t(r));
        });
      } else {
        indexFile_->InsertKeyInSlot(kSysDeletedSlot, newKey.data(), uint32_t(r));
        changes.Applied([this, newKey] { indexFile_->DeleteKeyInSlot(kSysDeletedSlot, newKey.data()); });
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
    changes.Applied([this] { indexFile_->AdjustLiveRecordCount(-1); });
    written = true;
    lockState_->NoteChange();
    SetCurrentRecord(record);
    changes.Applied([this] { ReloadCurrentFromCursor(); });
    changes.Applied([this, r] { FreeSlotBlobs(r); });
    blobsTouched = true;
    StoreRecordBlobs(r, data);
    writing = true;
    FlushAfterChange();
  } catch (...) {
    error = std::current_exception();
    TakeBackFailedUpdate(changes, writing, blobsTouched);
    written = false;  // an append never stands half done
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
  TChangeSet changes;
  bool writing = false;
  std::shared_ptr<bool> blobsStored;
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
      changes.Applied([this, slot = slots[i], oldKey = oldKeys[i], newKey = newKeys[i], r] {
        indexFile_->ReplaceKeyInSlot(slot, newKey.data(), oldKey.data(), uint32_t(r));
      });
      keysChanged = true;
    }
    uint8_t* data = record->Data();
    // Once the blobs are stored the record keeps their references: the
    // chains they named before may be gone.
    blobsStored = std::make_shared<bool>(false);
    changes.Applied([this, r, before = std::vector<uint8_t>(data, data + RecordSize()), blobsStored] {
      RestoreSlot(r, before, *blobsStored);
    });
    std::memcpy(data + kRecordHeaderSize, buffer + kRecordHeaderSize, size_t(RecordSize()) - kRecordHeaderSize);
    record->Modified = true;
    record->ComputedValid = false;
    written = true;
    lockState_->NoteChange();
    *blobsStored = true;
    StoreRecordBlobs(r, data);
    writing = true;
    UnpinAll();
    if (!Exclusive() && !lockState_->TableLocked()) FlushAll(false, true, keysChanged);
    if (current_ != nullptr) store_->Pin(current_);
    changes.Keep();
    if (unlockAfterwards) UnlockRecord(r);
  } catch (...) {
    error = std::current_exception();
    if (TakeBackFailedUpdate(changes, writing, blobsStored && *blobsStored)) written = false;
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
  TChangeSet changes;
  bool writing = false;
  bool blobsTouched = false;
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

    changes.Applied([this, saved = header_] {
      header_ = saved;
      headerModified_ = true;
    });
    for (uint8_t s : MaintainedSlots()) {
      std::vector<uint8_t> key = KeyOf(s, scratch.data());
      indexFile_->DeleteKeyInSlot(s, key.data());
      changes.Applied([this, s, key, r] { indexFile_->InsertKeyInSlot(s, key.data(), uint32_t(r)); });
    }
    if (!indexFile_->NoPrimaryIndex()) {
      std::vector<uint8_t> liveKey(kKeyBufferSize, 0);
      std::vector<uint8_t> deletedKey(kKeyBufferSize, 0);
      const int32_t id = LoadI32(scratch.data() + kRecordIdOffset);
      BuildSysDeletedKey(0, id, liveKey.data());
      BuildSysDeletedKey(1, id, deletedKey.data());
      indexFile_->ReplaceKeyInSlot(kSysDeletedSlot, liveKey.data(), deletedKey.data(), uint32_t(r));
      changes.Applied([this, liveKey, deletedKey, r] {
        indexFile_->ReplaceKeyInSlot(kSysDeletedSlot, deletedKey.data(), liveKey.data(), uint32_t(r));
      });
    }
    indexFile_->AdjustLiveRecordCount(-1);
    changes.Applied([this] { indexFile_->AdjustLiveRecordCount(1); });
    deleted = true;
    lockState_->NoteChange();
    changes.Applied([this, r, before = scratch] { RestoreSlot(r, before, false); });
    FreeSlot(record);
    const bool sharing = !Exclusive() && !lockState_->TableLocked();
    // Freed blob chains are taken back by reading the blob file afresh,
    // which a handle that keeps its changes in the caches cannot do: there
    // a failure from here on finishes the delete instead (the record is on
    // the free chain and its keys are gone, so the files stay sound).
    if (sharing)
      changes.Applied([this] { ReopenBlobFile(); });
    else
      changes.Keep();
    blobsTouched = true;
    FreeRecordBlobs(r, scratch.data());
    writing = true;
    UnpinAll();
    if (sharing) {
      FlushRecords();
      WriteHeader(true);
      indexFile_->FlushPages();
      indexFile_->WriteHeader(true);
      // The record is gone from the data and index files: the delete stands.
      changes.Keep();
      if (blobFileOpen_) blobFile_->FlushAll(true, false);
    }
    if (current_ != nullptr) store_->Pin(current_);
  } catch (...) {
    error = std::current_exception();
    if (TakeBackFailedUpdate(changes, writing, blobsTouched)) {
      deleted = false;
    } else if (deleted) {
      // The delete is finished: what the failure left unwritten goes out now.
      try {
        FlushAfterChange();
      } catch (...) {
      }
    }
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
  store_->Resize(size_t(RecordSize()));
  current_ = nullptr;
  // The cursor starts again before the first record.
  indexFile_->FirstKey();
  indexFile_->SetCursorFlags(true, false);
}

// ---------------------------------------------------------------- table lock, transactions

void TDataFile::LockTable() {
  if (lockState_->TableLocked()) return;
  if (LockFree()) {
    lockState_->LockTable();
    return;
  }
  ReleaseReadLock();
  if (!writeByte_->Lock(*this)) Fail(kErrLockFailure);
  lockState_->LockTable();
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
  if (lockState_->TableLocked()) {
    lockState_->UnlockTable();
    if (!LockFree() && !lockState_->OwnsWriteByte()) ok = writeByte_->Unlock(*this);
  }
  if (!LockFree()) recordLocks_->UnlockAll(*this);
  if (!ok) Fail(kErrLockFailure);
}

void TDataFile::StartTransaction() {
  CheckWritable();
  if (lockState_->InTransaction()) return;
  lockState_->StartTransaction();
}

void TDataFile::Commit() {
  if (!IsOpen() || !lockState_->InTransaction()) return;
  if (lockState_->TableLocked()) {
    // Readers are kept out while the changes go to the files, so that no
    // one sees half of them.
    TakeWriteLock();
    try {
      UnpinAll();
      FlushAll(true, true, true);
      FlushToDisk();
      if (current_ != nullptr) store_->Pin(current_);
    } catch (...) {
      try {
        ReleaseWriteLock();
      } catch (...) {
      }
      throw;
    }
    ReleaseWriteLock();
    lockState_->EndTransaction();
    UnlockTable();
    return;
  }
  lockState_->EndTransaction();
}

void TDataFile::Rollback() {
  if (!IsOpen() || !lockState_->InTransaction()) return;
  if (lockState_->TableLocked()) {
    std::exception_ptr error;
    try {
      EndTransactionDiscard();
    } catch (...) {
      error = std::current_exception();
    }
    lockState_->EndTransaction();
    if (error) std::rethrow_exception(error);
    return;
  }
  lockState_->EndTransaction();
}

void TDataFile::EndTransactionDiscard() {
  TFinalSteps finalSteps(nullptr);
  if (lockState_->ModifiedInTransaction()) {
    // Nothing of the transaction reached the files: the caches go and the
    // headers are read again.
    finalSteps.Run([&] { DiscardUnwrittenChanges(true); });
    lockState_->ForgetChanges();
  }
  finalSteps.Run([&] { UnlockTable(); });
  finalSteps.Finish();
}

}  // namespace tabula
