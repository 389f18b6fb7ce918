#pragma once
// An index file's view of its table built from field descriptors read
// directly from the data file, for the tool's work on index files without
// opening the table through the engine (checking a damaged table,
// rebuilding its index file). It takes no locks and reports no changes:
// the caller holds the locks it needs.

#include <cstdint>
#include <vector>

#include "engine/field_desc.h"
#include "engine/index_file.h"
#include "engine/key_builder.h"

namespace tabula::tool {

class TDescriptorOwner : public TIndexFileOwner {
 public:
  TDescriptorOwner(const std::vector<TFieldDesc>& fields, uint16_t lang, uint16_t sort, int32_t slots)
      : fields_(fields), lang_(lang), sort_(sort), slots_(slots) {}
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
};

}  // namespace tabula::tool
