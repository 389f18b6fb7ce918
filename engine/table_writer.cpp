#include "engine/table_writer.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <functional>

#include "engine/change_set.h"
#include "tabula/data_file.h"
#include "engine/data_file_parts.h"
#include "tabula/engine_error.h"
#include "tabula/field_types.h"
#include "tabula/field_values.h"
#include "engine/final_steps.h"
#include "engine/key_builder.h"
#include "tabula/locale.h"

namespace tabula {

namespace {

const char* const kFreeChainFixedText = "Invalid free record chain in data file, error fixed";

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

int32_t TTableWriter::NextFreeSlot() const {
  const TDataHeader& header = table_.header_;
  if (header.FirstFreeRecord != 0 && !table_.indexFile_->NoPrimaryIndex()) return int32_t(header.FirstFreeRecord);
  return header.NextRecordNo;
}

TRecord* TTableWriter::TakeSlot(int32_t recordNo) {
  TRecord* record = nullptr;
  for (int attempt = 0; record == nullptr; ++attempt) {
    if (attempt > 64) table_.Fail(kErrRecordBuffersCorrupt);
    table_.GetRecord(uint32_t(recordNo), false, kReadForward, false, record);
  }
  TDataHeader& header = table_.header_;
  uint32_t link = record->Data()[0] == 1 ? LoadU32(record->Data() + 1) : 0;
  // A link outside the file (or to the slot itself) would hand out a live
  // record or a slot that does not exist: the chain ends here instead.
  if (link != 0 && (link >= uint32_t(header.NextRecordNo) || link == uint32_t(recordNo))) {
    link = 0;
    table_.BlobMessage(kFreeChainFixedText);
  }
  if (header.FirstFreeRecord != link) {
    header.FirstFreeRecord = link;
    table_.headerModified_ = true;
  }
  return record;
}

void TTableWriter::FreeSlot(TRecord* record) {
  const int32_t next = NextFreeSlot();
  record->Data()[0] = 1;
  TDataHeader& header = table_.header_;
  StoreU32(record->Data() + 1, next == header.NextRecordNo ? 0u : uint32_t(next));
  record->Modified = true;
  header.FirstFreeRecord = record->RecordNo;
  table_.headerModified_ = true;
}

int32_t TTableWriter::NextRecordID() {
  TDataHeader& header = table_.header_;
  if (header.LastRecordID == INT32_MAX) header.LastRecordID = 0;
  ++header.LastRecordID;
  table_.headerModified_ = true;
  return header.LastRecordID;
}

// ---------------------------------------------------------------- validity

void TTableWriter::ValidateRecord(const uint8_t* buffer) {
  if (!table_.hasValidityChecks_) return;
  const TLocaleFormats formats = LoadLocaleFormats(false, table_.LanguageId(), table_.SortId());
  std::vector<uint8_t> value;
  std::string limit;
  for (size_t k = 0; k < table_.working_.size(); ++k) {
    const TFieldDesc& d = table_.working_[k];
    if (d.Required == 0 && d.MinValue.empty() && d.MaxValue.empty()) continue;
    value.assign(std::max<size_t>(d.DataSize, 1), 0);
    const bool isNull = table_.GetField(TDescSet::kWorking, int(k + 1), buffer, value.data());
    if (d.Required != 0 && isNull) table_.Fail(kErrValueRequired, d.Name);
    // A limit is read as the field's type reads defaults, without the words
    // for today and now; a NULL field compares as its zero bytes.
    auto compareWith = [&](const std::string& text, int& order) {
      if (text.empty()) return false;
      limit.clear();
      if (!TextToFieldValue(d.FieldType, d.Scale, text, formats, limit, false)) return false;
      limit.resize(value.size(), '\0');
      if (d.FieldType == kFldString && !value.empty()) limit.back() = '\0';
      order = CompareFieldValues(d.FieldType, value.data(), reinterpret_cast<const uint8_t*>(limit.data()), d.DataSize,
                                 table_.LanguageId(), table_.SortId());
      return true;
    };
    int order = 0;
    if (compareWith(d.MinValue, order) && order < 0) table_.Fail(kErrBelowMinimum, d.Name);
    if (compareWith(d.MaxValue, order) && order > 0) table_.Fail(kErrAboveMaximum, d.Name);
  }
}

// ---------------------------------------------------------------- helpers

void TTableWriter::CheckWritable() const {
  if (!table_.IsOpen()) table_.Fail(kErrInvalidHandle);
  if (table_.ReadOnly()) table_.Fail(kErrAccessDenied);
}

std::vector<uint8_t> TTableWriter::MaintainedSlots() const {
  std::vector<uint8_t> slots;
  if (!table_.indexFile_->NoPrimaryIndex()) slots.push_back(kPrimarySlot);
  const int secondaries = std::min<int>(table_.indexFile_->Header().SecondaryCount, kMaxSecondaryIndexes);
  for (int s = 1; s <= secondaries; ++s) slots.push_back(uint8_t(s));
  return slots;
}

std::vector<uint8_t> TTableWriter::KeyOf(uint8_t slot, const uint8_t* record) const {
  std::vector<uint8_t> key(kKeyBufferSize, 0);
  const std::vector<TFieldDesc>& descs = table_.fileDescs_;
  BuildIndexKey(slot, table_.indexFile_->Descriptor(slot), descs.data(), descs.size(), record, table_.LanguageId(),
                table_.SortId(), key.data());
  return key;
}

std::vector<uint8_t> TTableWriter::CurrentIndexKey(const uint8_t* record) const {
  if (table_.indexFile_->PhysicalOrder()) return {};
  return KeyOf(table_.indexFile_->CurrentSlot(), record);
}

void TTableWriter::FlushToDisk() {
  // With force buffer flush on, every write goes through to the device already.
  if (table_.ReadOnly() || table_.forceBufferFlush_) return;
  table_.FlushFile();
  if (table_.indexFile_->IsOpen()) table_.indexFile_->FlushFile();
  if (table_.blobFileOpen_) table_.blobFile_->FlushFile();
}

bool TTableWriter::Sharing() const { return !table_.Exclusive() && !table_.lockState_->TableLocked(); }

void TTableWriter::RepinCurrent() {
  if (TRecord* current = table_.cursor_->Current()) table_.store_->Pin(current);
}

void TTableWriter::NoteWritten(int32_t recordNo, const uint8_t* record) {
  const std::vector<uint8_t> key = CurrentIndexKey(record);
  table_.indexFile_->RecordWritten(recordNo, key.empty() ? nullptr : key.data());
}

void TTableWriter::FlushAfterChange(bool keysChanged) {
  table_.UnpinAll();
  if (Sharing()) table_.FlushAll(false, true, keysChanged);
  RepinCurrent();
}

void TTableWriter::BeginTransactionWrites() {
  if (!table_.lockState_->InTransaction() || table_.lockState_->TableLocked()) return;
  table_.UnpinAll();
  if (table_.Exclusive()) {
    // What an exclusive handle changed before the transaction is kept:
    // written out and flushed before the transaction's own changes begin.
    table_.FlushAll(false, true, true);
    FlushToDisk();
  }
  RepinCurrent();
  table_.LockTable();
}

void TTableWriter::CheckBlobHandles(const uint8_t* buffer) const {
  for (const TFieldDesc& d : table_.working_) {
    if (d.FieldType != kFldBlob || d.Computed != 0) continue;
    const int32_t value = LoadI32(buffer + d.Offset + 1);
    if (value >= 0) continue;
    // A handle that names no open blob would be stored as a reference.
    const int32_t handle = table_.HandleInField(d, buffer);
    if (handle == 0 || !table_.blobFileOpen_ || !table_.blobFile_->IsOpenBlob(handle))
      table_.Fail(kErrBlobOffset, d.Name);
  }
}

void TTableWriter::StoreRecordBlobs(int32_t recordNo, uint8_t* slot) {
  if (!table_.blobFileOpen_) return;
  bool any = false;
  for (const TFieldDesc& d : table_.fileDescs_)
    if (d.FieldType == kFldBlob && d.Computed == 0 && table_.HandleInField(d, slot) != 0) any = true;
  if (!any) return;
  // Each blob field that names an open blob gets that blob's reference;
  // other open blobs (another record's, opened for reading) are left alone.
  auto putReferences = [&] {
    for (size_t k = 0; k < table_.fileDescs_.size(); ++k) {
      const TFieldDesc& d = table_.fileDescs_[k];
      if (d.FieldType != kFldBlob || d.Computed != 0) continue;
      const int32_t handle = table_.HandleInField(d, slot);
      if (handle == 0) continue;
      const TBlobBuffer* blob = table_.blobFile_->FindBlob(handle);
      table_.BlobStoreReference(int(TDescSet::kFile), int(k + 1), blob ? blob->Reference : 0, slot);
    }
  };
  table_.blobFile_->SetBlobRecord(recordNo);
  try {
    table_.blobFile_->StoreBlobs();
  } catch (...) {
    // The record must not keep handles: it gets the references the blobs
    // have now (old or new chains, never half-stored ones).
    putReferences();
    throw;
  }
  putReferences();
}

void TTableWriter::FreeRecordBlobs(int32_t recordNo, const uint8_t* scratch) {
  if (!table_.blobFileOpen_) return;
  std::vector<int32_t> handles;
  auto freeHandles = [&] {
    for (int32_t h : handles) {
      int32_t reference = 0;
      table_.blobFile_->FreeBlob(h, reference);
    }
    handles.clear();
  };
  try {
    for (size_t k = 0; k < table_.fileDescs_.size(); ++k) {
      const TFieldDesc& d = table_.fileDescs_[k];
      if (d.FieldType != kFldBlob || d.Computed != 0 || scratch[d.Offset] == 0) continue;
      const int32_t reference = LoadI32(scratch + d.Offset + 1);
      if (reference <= 0) continue;
      int32_t handle = 0;
      int code = table_.blobFile_->OpenBlob(reference, int(k + 1), recordNo, kBlobModeRead, handle);
      if (code != kResultOk) table_.Fail(uint16_t(code), d.Name);
      handles.push_back(handle);
      code = table_.blobFile_->TruncateBlob(handle, 0);
      if (code != kResultOk) table_.Fail(uint16_t(code), d.Name);
    }
    if (!handles.empty()) {
      table_.blobFile_->SetBlobRecord(recordNo);
      table_.blobFile_->StoreBlobs();
    }
  } catch (...) {
    freeHandles();
    throw;
  }
  freeHandles();
}

int32_t TTableWriter::CurrentRecordForUpdate() const {
  const TRecord* current = table_.cursor_->Current();
  if (current != nullptr && current->RecordNo != 0) return int32_t(current->RecordNo);
  // A change by another program found while reading (a blob, say) drops the
  // cached records; the cursor was put back on the record, which is still
  // the one to change.
  const TIndexFile& index = *table_.indexFile_;
  if (index.CurrentKey() == nullptr && !index.PhysicalOrder()) return 0;
  if (index.Bof() || index.Eof()) return 0;
  return index.CurrentRecordNumber();
}

// ---------------------------------------------------------------- taking back

void TTableWriter::RestoreSlot(int32_t recordNo, const std::vector<uint8_t>& before, bool keepBlobFields) {
  if (before.empty()) {
    // A slot added at the end: the restored header no longer counts it.
    TRecord* entry = table_.store_->Cache().Find(uint32_t(recordNo));
    if (entry == nullptr) return;
    if (table_.cursor_->Current() == entry) table_.cursor_->Forget();
    table_.store_->Cache().UnpinAll();
    table_.store_->Cache().Recycle(entry);
    RepinCurrent();
    return;
  }
  TRecord* record = nullptr;
  if (!table_.GetRecord(uint32_t(recordNo), false, kReadForward, false, record) || record == nullptr) return;
  uint8_t* data = record->Data();
  const size_t size = std::min(before.size(), size_t(table_.RecordSize()));
  std::vector<uint8_t> now(data, data + size);
  std::memcpy(data, before.data(), size);
  if (keepBlobFields) {
    for (const TFieldDesc& d : table_.fileDescs_) {
      if (d.FieldType != kFldBlob || d.Computed != 0) continue;
      std::memcpy(data + d.Offset, now.data() + d.Offset, size_t(d.DataSize) + 1);
    }
  }
  record->Modified = true;
  record->ComputedValid = false;
  table_.ReleaseRecord(record);
}

void TTableWriter::FreeSlotBlobs(int32_t recordNo) {
  if (!table_.blobFileOpen_) return;
  TRecord* record = nullptr;
  if (!table_.GetRecord(uint32_t(recordNo), false, kReadForward, false, record) || record == nullptr) return;
  const std::vector<uint8_t> scratch(record->Data(), record->Data() + table_.RecordSize());
  table_.ReleaseRecord(record);
  FreeRecordBlobs(recordNo, scratch.data());
}

void TTableWriter::DiscardUnwrittenChanges(bool blobs) {
  // Where the cursor stands, to come back to it.
  const TTableCursor::TPlace place = table_.cursor_->Remember();
  table_.DropRecordCache();
  table_.store_->TrimToOpening();
  TFinalSteps steps;
  steps.Then([&] { table_.ReadHeader(); });
  steps.Then([&] {
    table_.indexFile_->DiscardPages();
    table_.indexFile_->ReadHeader();
    table_.indexFile_->TrimPageBuffers();
  });
  if (blobs) steps.Then([&] { ReopenBlobFile(); });
  steps.Then([&] {
    table_.cursor_->Return(place, false);
    if (place.Positioned) table_.indexFile_->SetCursorFlags(place.Bof, place.Eof);
  });
  steps.Run();
}

void TTableWriter::ReopenBlobFile() {
  if (!table_.blobFileOpen_) return;
  // Open blobs may name blocks of the discarded changes: the blob file is
  // opened afresh, which drops them with its blocks.
  table_.blobFileOpen_ = false;
  table_.blobFile_->Close();
  table_.blobFile_->Open();
  table_.blobFileOpen_ = true;
}

bool TTableWriter::TakeBackFailedUpdate(TChangeSet& changes, bool writing, bool blobsTouched) noexcept {
  if (changes.Empty()) return false;
  const bool sharing = Sharing();
  try {
    if (sharing && !writing) {
      // Every change is still in the caches: dropping them is exact. The
      // blob file is read afresh only when the update changed blobs (that
      // closes the blobs the caller holds open).
      changes.Keep();
      table_.UnpinAll();
      DiscardUnwrittenChanges(blobsTouched);
      table_.cursor_->ReloadFromIndex();
      return true;
    }
    changes.Undo();
    table_.UnpinAll();
    if (sharing) {
      table_.FlushAll(false, true, true);
      // A slot the update had written at the end goes with the header's count.
      const int64_t end = table_.store_->SlotOffset(uint32_t(table_.header_.NextRecordNo));
      if (end <= INT32_MAX && table_.QueryFileSize() > end) {
        table_.SeekFile(int32_t(end), kSeekStart);
        table_.WriteBytes(nullptr, 0);
      }
    }
    RepinCurrent();
  } catch (...) {
    // The update's own error is the one reported.
  }
  return true;
}

// ---------------------------------------------------------------- one update

// One record update from its opening lines to its final steps. The steps
// the operation adds run first, then the record lock it took goes and the
// write lock is released. Leaving without Finish (by an error), what the
// change set holds is taken back first; the update then stands only when
// nothing was left to take back.
class TTableWriter::TUpdate {
 public:
  explicit TUpdate(TTableWriter& writer) : writer_(writer), table_(writer.table_) {
    writer_.CheckWritable();
    target_ = writer_.CurrentRecordForUpdate();
    writer_.BeginTransactionWrites();
    table_.TakeWriteLock();
  }
  ~TUpdate() {
    if (finished_) return;
    failed_ = true;
    if (writer_.TakeBackFailedUpdate(Changes, Writing, BlobsTouched)) standing_ = false;
    AddLockSteps();
    ends_.RunQuietly();
  }
  TUpdate(const TUpdate&) = delete;
  TUpdate& operator=(const TUpdate&) = delete;

  // The record to change: the current one, read again when taking the
  // write lock found other writers' changes and dropped the cache (the
  // caller's record lock kept it as it was). Null when there is none.
  TRecord* TargetRecord() {
    if (table_.cursor_->Current() == nullptr && target_ > 0 && target_ < table_.header_.NextRecordNo) {
      TRecord* record = nullptr;
      table_.GetRecord(uint32_t(target_), false, kReadForward, false, record);
      table_.cursor_->SetCurrent(record);
    }
    return table_.cursor_->Current();
  }
  int32_t Target() const { return target_; }
  // Locks slot r for the update; the lock goes among the final steps.
  void LockRecord(int32_t recordNo) {
    table_.LockRecord(recordNo);
    lockedRecord_ = recordNo;
    recordLocked_ = true;
  }
  // A final step, run in the order added.
  void Finally(std::function<void()> step) { ends_.Then(std::move(step)); }
  // The update's change is in place (the record written in the cache).
  void Stand() { standing_ = true; }
  bool Standing() const { return standing_; }
  // The update is leaving by an error (seen by the final steps).
  bool Failed() const { return failed_; }
  // The update went through: the final steps run; the first of them that
  // failed is passed on.
  void Finish() {
    finished_ = true;
    AddLockSteps();
    ends_.Run();
  }

  TChangeSet Changes;
  bool Writing = false;       // the change is going out to the files
  bool BlobsTouched = false;  // the blob file was asked to store or free blobs

 private:
  void AddLockSteps() {
    if (recordLocked_) ends_.Then([this] { table_.UnlockRecord(lockedRecord_); });
    ends_.Then([this] { table_.ReleaseWriteLock(); });
  }

  TTableWriter& writer_;
  TDataFile& table_;
  TFinalSteps ends_;
  int32_t target_ = 0;
  int32_t lockedRecord_ = 0;
  bool recordLocked_ = false;
  bool standing_ = false;
  bool failed_ = false;
  bool finished_ = false;
};

// ---------------------------------------------------------------- append

void TTableWriter::AppendRecord(uint8_t* buffer) {
  int32_t r = 0;
  TUpdate update(*this);
  update.Finally([&] {
    if (update.Standing()) NoteWritten(r, buffer);
  });
  update.Finally([&] {
    if (update.Standing()) table_.cursor_->ReturnToRecord(buffer, r);
  });
  TDataHeader& header = table_.header_;
  TIndexFile& index = *table_.indexFile_;
  r = NextFreeSlot();
  std::vector<uint8_t> slotBefore;
  if (r != header.NextRecordNo) {
    // The head of the free chain must be a deleted slot; a live one would
    // be overwritten. A damaged chain is dropped and the record appended.
    TRecord* slot = nullptr;
    table_.GetRecord(uint32_t(r), false, kReadForward, false, slot);
    const bool sound = slot != nullptr && slot->Data()[0] == 1;
    if (sound) slotBefore.assign(slot->Data(), slot->Data() + table_.RecordSize());
    table_.ReleaseRecord(slot);
    if (!sound) {
      header.FirstFreeRecord = 0;
      table_.headerModified_ = true;
      table_.BlobMessage(kFreeChainFixedText);
      r = header.NextRecordNo;
    }
  }
  // Refuse a full table before anything changes.
  if (r == header.NextRecordNo && (int64_t(header.NextRecordNo) + 1 > kMaxRecordNo ||
                                   int64_t(header.RecordSize) * header.NextRecordNo > kMaxDataBytes))
    table_.Fail(kErrFileFull);
  update.LockRecord(r);
  ValidateRecord(buffer);
  CheckBlobHandles(buffer);
  // The header's free chain, slot count and last record ID.
  update.Changes.Applied([this, saved = header] {
    table_.header_ = saved;
    table_.headerModified_ = true;
  });
  const int32_t id = ChooseRecordID(index, header.LastRecordID, header.NextRecordNo - 1);
  StoreI32(buffer + kRecordIdOffset, id);

  const std::vector<uint8_t> slots = MaintainedSlots();
  std::vector<std::vector<uint8_t>> keys;
  keys.reserve(slots.size());
  for (uint8_t s : slots) {
    keys.push_back(KeyOf(s, buffer));
    index.CheckDuplicateInSlot(s, keys.back().data());
  }
  for (size_t i = 0; i < slots.size(); ++i) {
    index.InsertKeyInSlot(slots[i], keys[i].data(), uint32_t(r));
    update.Changes.Applied([&index, slot = slots[i], key = keys[i]] { index.DeleteKeyInSlot(slot, key.data()); });
  }

  update.Changes.Applied([this, r, slotBefore] { RestoreSlot(r, slotBefore, false); });
  TRecord* record = TakeSlot(r);
  const bool reused = record->Data()[0] == 1;
  const int32_t oldId = LoadI32(record->Data() + kRecordIdOffset);
  if (!index.NoPrimaryIndex()) {
    std::vector<uint8_t> newKey(kKeyBufferSize, 0);
    BuildSysDeletedKey(0, id, newKey.data());
    if (reused) {
      std::vector<uint8_t> oldKey(kKeyBufferSize, 0);
      BuildSysDeletedKey(1, oldId, oldKey.data());
      index.ReplaceKeyInSlot(kSysDeletedSlot, oldKey.data(), newKey.data(), uint32_t(r));
      update.Changes.Applied([&index, r, oldKey, newKey] {
        index.ReplaceKeyInSlot(kSysDeletedSlot, newKey.data(), oldKey.data(), uint32_t(r));
      });
    } else {
      index.InsertKeyInSlot(kSysDeletedSlot, newKey.data(), uint32_t(r));
      update.Changes.Applied([&index, newKey] { index.DeleteKeyInSlot(kSysDeletedSlot, newKey.data()); });
    }
  }
  uint8_t* data = record->Data();
  const size_t size = size_t(table_.RecordSize());
  std::memset(data, 0, size);
  data[0] = 0;
  StoreU32(data + 1, uint32_t(r));
  header.LastRecordID = id == 1 ? INT32_MAX : id - 1;  // IDs in use were passed over
  StoreI32(data + kRecordIdOffset, NextRecordID());
  std::memcpy(data + kRecordHeaderSize, buffer + kRecordHeaderSize, size - kRecordHeaderSize);
  std::memcpy(data + kRecordIdOffset, buffer + kRecordIdOffset, 4);
  record->Modified = true;
  record->ComputedValid = false;
  index.AdjustLiveRecordCount(1);
  update.Changes.Applied([&index] { index.AdjustLiveRecordCount(-1); });
  update.Stand();
  table_.lockState_->NoteChange();
  table_.cursor_->SetCurrent(record);
  update.Changes.Applied([this] { table_.cursor_->ReloadFromIndex(); });
  update.Changes.Applied([this, r] { FreeSlotBlobs(r); });
  update.BlobsTouched = true;
  StoreRecordBlobs(r, data);
  update.Writing = true;
  FlushAfterChange(true);
  update.Finish();
}

// ---------------------------------------------------------------- modify

void TTableWriter::ModifyRecord(uint8_t* buffer, bool unlockAfterwards, bool reposition) {
  TUpdate update(*this);
  const int32_t recNo = update.Target();
  update.Finally([&] {
    if (update.Standing()) NoteWritten(recNo, buffer);
  });
  update.Finally([&] {
    if (update.Standing() && reposition)
      table_.cursor_->ReturnToRecord(buffer, recNo);
    else if (table_.cursor_->Current() == nullptr)
      table_.cursor_->ReloadFromIndex();
  });
  TIndexFile& index = *table_.indexFile_;
  TRecord* record = update.TargetRecord();
  if (record == nullptr || record->RecordNo == 0 || record->Data()[0] != 0) table_.Fail(kErrRecordNotFound);
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
    const int length = index.Descriptor(s).KeyLength;
    const bool changed = std::memcmp(oldKeys.back().data(), newKeys.back().data(), size_t(length)) != 0;
    differs.push_back(changed);
    if (!changed) continue;
    // A key equal to the record's own under the index's comparison (a
    // change of letter case in a case-insensitive index) is no violation.
    const TIndexDescriptor& desc = index.Descriptor(s);
    if (index.CompareKeys(oldKeys.back().data(), newKeys.back().data(), &desc, desc.Descending, length) != 0)
      index.CheckDuplicateInSlot(s, newKeys.back().data());
  }
  bool keysChanged = false;
  for (size_t i = 0; i < slots.size(); ++i) {
    if (!differs[i]) continue;
    index.ReplaceKeyInSlot(slots[i], oldKeys[i].data(), newKeys[i].data(), uint32_t(r));
    update.Changes.Applied([&index, slot = slots[i], oldKey = oldKeys[i], newKey = newKeys[i], r] {
      index.ReplaceKeyInSlot(slot, newKey.data(), oldKey.data(), uint32_t(r));
    });
    keysChanged = true;
  }
  uint8_t* data = record->Data();
  // Once the blobs are stored the record keeps their references: the
  // chains they named before may be gone.
  update.Changes.Applied([this, r, before = std::vector<uint8_t>(data, data + table_.RecordSize()), &update] {
    RestoreSlot(r, before, update.BlobsTouched);
  });
  std::memcpy(data + kRecordHeaderSize, buffer + kRecordHeaderSize, size_t(table_.RecordSize()) - kRecordHeaderSize);
  record->Modified = true;
  record->ComputedValid = false;
  update.Stand();
  table_.lockState_->NoteChange();
  update.BlobsTouched = true;
  StoreRecordBlobs(r, data);
  update.Writing = true;
  FlushAfterChange(keysChanged);
  update.Changes.Keep();
  if (unlockAfterwards) table_.UnlockRecord(r);
  update.Finish();
}

// ---------------------------------------------------------------- delete

void TTableWriter::DeleteRecord(bool reposition) {
  int32_t r = 0;
  std::vector<uint8_t> cursorKey;
  TUpdate update(*this);
  // A failure after the delete was made to stand finishes it instead: what
  // it left unwritten goes out now.
  update.Finally([&] {
    if (update.Failed() && update.Standing()) FlushAfterChange(true);
  });
  update.Finally([&] {
    if (update.Standing()) table_.indexFile_->RecordDeleted(r);
  });
  update.Finally([&] {
    if (!update.Standing()) return;
    if (reposition)
      table_.cursor_->ReturnAfterDelete(cursorKey, r);
    else
      table_.cursor_->SetCurrent(nullptr);  // between its neighbours; no record is current
  });
  TIndexFile& index = *table_.indexFile_;
  TRecord* record = update.TargetRecord();
  r = record != nullptr ? int32_t(record->RecordNo) : 0;
  update.LockRecord(r);
  // No current record (a handle that takes no record locks gets here).
  if (record == nullptr || record->Data()[0] != 0) table_.Fail(kErrRecordNotFound);
  const std::vector<uint8_t> scratch(record->Data(), record->Data() + table_.RecordSize());
  cursorKey = CurrentIndexKey(scratch.data());

  update.Changes.Applied([this, saved = table_.header_] {
    table_.header_ = saved;
    table_.headerModified_ = true;
  });
  for (uint8_t s : MaintainedSlots()) {
    std::vector<uint8_t> key = KeyOf(s, scratch.data());
    index.DeleteKeyInSlot(s, key.data());
    update.Changes.Applied([&index, s, key, r] { index.InsertKeyInSlot(s, key.data(), uint32_t(r)); });
  }
  if (!index.NoPrimaryIndex()) {
    std::vector<uint8_t> liveKey(kKeyBufferSize, 0);
    std::vector<uint8_t> deletedKey(kKeyBufferSize, 0);
    const int32_t id = LoadI32(scratch.data() + kRecordIdOffset);
    BuildSysDeletedKey(0, id, liveKey.data());
    BuildSysDeletedKey(1, id, deletedKey.data());
    index.ReplaceKeyInSlot(kSysDeletedSlot, liveKey.data(), deletedKey.data(), uint32_t(r));
    update.Changes.Applied([&index, liveKey, deletedKey, r] {
      index.ReplaceKeyInSlot(kSysDeletedSlot, deletedKey.data(), liveKey.data(), uint32_t(r));
    });
  }
  index.AdjustLiveRecordCount(-1);
  update.Changes.Applied([&index] { index.AdjustLiveRecordCount(1); });
  update.Stand();
  table_.lockState_->NoteChange();
  update.Changes.Applied([this, r, before = scratch] { RestoreSlot(r, before, false); });
  FreeSlot(record);
  const bool sharing = Sharing();
  // Freed blob chains are taken back by reading the blob file afresh,
  // which a handle that keeps its changes in the caches cannot do: there
  // a failure from here on finishes the delete instead (the record is on
  // the free chain and its keys are gone, so the files stay sound).
  if (sharing)
    update.Changes.Applied([this] { ReopenBlobFile(); });
  else
    update.Changes.Keep();
  update.BlobsTouched = true;
  FreeRecordBlobs(r, scratch.data());
  update.Writing = true;
  table_.UnpinAll();
  if (sharing) {
    table_.FlushRecords();
    table_.WriteHeader(true);
    index.FlushPages();
    index.WriteHeader(true);
    // The record is gone from the data and index files: the delete stands.
    update.Changes.Keep();
    if (table_.blobFileOpen_) table_.blobFile_->FlushAll(true, false);
  }
  RepinCurrent();
  update.Finish();
}

// ---------------------------------------------------------------- transactions

void TTableWriter::StartTransaction() {
  CheckWritable();
  if (table_.lockState_->InTransaction()) return;
  table_.lockState_->StartTransaction();
}

void TTableWriter::Commit() {
  TTableLockState& state = *table_.lockState_;
  if (!table_.IsOpen() || !state.InTransaction()) return;
  if (state.TableLocked()) {
    // Readers are kept out while the changes go to the files, so that no
    // one sees half of them.
    table_.TakeWriteLock();
    try {
      table_.UnpinAll();
      table_.FlushAll(true, true, true);
      FlushToDisk();
      RepinCurrent();
    } catch (...) {
      try {
        table_.ReleaseWriteLock();
      } catch (...) {
      }
      throw;
    }
    table_.ReleaseWriteLock();
    state.EndTransaction();
    table_.UnlockTable();
    return;
  }
  state.EndTransaction();
}

void TTableWriter::Rollback() {
  TTableLockState& state = *table_.lockState_;
  if (!table_.IsOpen() || !state.InTransaction()) return;
  if (state.TableLocked()) {
    TFinalSteps steps;
    steps.Then([this] { EndTransactionDiscard(); }).Then([&state] { state.EndTransaction(); });
    steps.Run();
    return;
  }
  state.EndTransaction();
}

void TTableWriter::EndTransactionDiscard() {
  TFinalSteps steps;
  if (table_.lockState_->ModifiedInTransaction()) {
    // Nothing of the transaction reached the files: the caches go and the
    // headers are read again.
    steps.Then([this] { DiscardUnwrittenChanges(true); });
    steps.Then([this] { table_.lockState_->ForgetChanges(); });
  }
  steps.Then([this] { table_.UnlockTable(); });
  steps.Run();
}

}  // namespace tabula
