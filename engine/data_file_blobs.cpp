// TDataFile: the blob fields of a record buffer. A buffer holds a blob
// field's stored reference, or the negated handle of the blob opened on it;
// these operations open, read, write, truncate and free such blobs through
// the table's blob file, and answer the blob file's calls back to the table.

#include <climits>
#include <cstring>

#include "tabula/data_file.h"
#include "engine/data_file_parts.h"
#include "tabula/engine_error.h"
#include "tabula/field_types.h"

namespace tabula {

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
  if (!hadReadLock && lockState_->ReadHeld()) ReleaseReadLock();
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
  const bool hadReadLock = lockState_->ReadHeld();
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
