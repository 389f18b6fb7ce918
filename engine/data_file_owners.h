#pragma once
// The table as its index file and blob file see it: TDataFileOwners
// implements their owner interfaces by forwarding to the TDataFile that
// owns them, so TDataFile itself does not derive from them and its header
// does not carry the index and blob files' interfaces.

#include "engine/blob_file.h"
#include "tabula/data_file.h"
#include "engine/index_file.h"

namespace tabula {

class TDataFileOwners final : public TIndexFileOwner, public TBlobFileOwner {
 public:
  explicit TDataFileOwners(TDataFile& table) : table_(table) {}

  // ---- TIndexFileOwner ----
  bool LockAndCheckForChanges() override { return table_.LockAndCheckForChanges(); }
  bool HoldsSharedLock() const override { return table_.HoldsSharedLock(); }
  bool HoldsTableLock() const override { return table_.TableLocked(); }
  int32_t RecordSlotCount() const override { return table_.RecordSlotCount(); }
  uint16_t LanguageId() const override { return table_.LanguageId(); }
  uint16_t SortId() const override { return table_.SortId(); }
  bool GetKeyFieldInfo(uint16_t fieldNo, TKeyFieldInfo& info) const override {
    return table_.GetKeyFieldInfo(fieldNo, info);
  }
  bool Encrypted() const override { return table_.Encrypted(); }
  void EncipherBlock(uint8_t* data, size_t size) override { table_.EncipherBlock(data, size); }
  void DecipherBlock(uint8_t* data, size_t size) override { table_.DecipherBlock(data, size); }
  bool RecordIsLive(int32_t recNo) override { return table_.RecordIsLive(recNo); }

  // ---- TBlobFileOwner ----
  bool BlobTableLocked() const override { return table_.TableLocked(); }
  bool BlobStrictChangeDetection() const override { return table_.StrictChangeDetection(); }
  bool BlobTakeReadLock() override { return table_.BlobTakeReadLock(); }
  void BlobMessage(const std::string& text) override { table_.BlobMessage(text); }
  void BlobStoreReference(int descriptorSet, int fieldNo, int32_t reference, uint8_t* recordBuffer) override {
    table_.BlobStoreReference(descriptorSet, fieldNo, reference, recordBuffer);
  }
  bool BlobEnciphered() const override { return table_.Encrypted(); }
  void BlobScramble(uint8_t* bytes, int32_t count) override { table_.EncipherBlock(bytes, size_t(count)); }

 private:
  TDataFile& table_;
};

}  // namespace tabula
