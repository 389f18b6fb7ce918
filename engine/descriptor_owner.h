#pragma once
// An index file's (and a blob file's) view of its table built from field
// descriptors read directly from the data file, for the work on the
// files without opening the table through the engine (checking a damaged
// table, rebuilding its index file). It takes no locks and reports no
// changes: the caller holds the locks it needs. An enciphered table's pages
// and blocks pass through the table cipher.

#include <cstdint>
#include <vector>

#include "engine/blob_file.h"
#include "tabula/field_desc.h"
#include "engine/index_file.h"
#include "engine/key_builder.h"
#include "engine/scramble.h"

namespace tabula {

class TDescriptorOwner : public TIndexFileOwner, public TBlobFileOwner {
 public:
  // `enciphered`: the table's files pass through the table cipher.
  TDescriptorOwner(const std::vector<TFieldDesc>& fields, uint16_t lang, uint16_t sort, int32_t slots,
                   bool enciphered = false)
      : fields_(fields), lang_(lang), sort_(sort), slots_(slots), enciphered_(enciphered) {}
  bool Encrypted() const override { return enciphered_; }
  void EncipherBlock(uint8_t* data, size_t size) override { ::tabula::EncipherBlock(data, size); }
  void DecipherBlock(uint8_t* data, size_t size) override { ::tabula::DecipherBlock(data, size); }
  bool BlobEnciphered() const override { return enciphered_; }
  void BlobScramble(uint8_t* bytes, int32_t count) override { ::tabula::EncipherBlock(bytes, size_t(count)); }
  bool LockAndCheckForChanges() override { return false; }
  bool HoldsSharedLock() const override { return true; }
  bool HoldsTableLock() const override { return false; }
  int32_t RecordSlotCount() const override { return slots_; }
  uint16_t LanguageId() const override { return lang_; }
  uint16_t SortId() const override { return sort_; }
  bool GetKeyFieldInfo(uint16_t fieldNo, TKeyFieldInfo& info) const override {
    if (fieldNo < 1 || fieldNo > fields_.size()) return false;
    info = KeyFieldInfoOf(fields_[fieldNo - 1]);
    return true;
  }

 private:
  const std::vector<TFieldDesc>& fields_;
  uint16_t lang_, sort_;
  int32_t slots_;
  bool enciphered_;
};

}  // namespace tabula
