#include "engine/key_builder.h"

#include <cstring>

#include "tabula/engine_error.h"
#include "tabula/field_types.h"
#include "engine/key_encoding.h"
#include "tabula/locale.h"

namespace tabula {

TKeyFieldInfo KeyFieldInfoOf(const TFieldDesc& desc) {
  TKeyFieldInfo info;
  info.FieldType = desc.FieldType;
  info.SubType = desc.SubType;
  int size = FieldDataSize(desc.FieldType, desc.Size);
  info.DataSize = static_cast<uint8_t>(size > 255 ? 255 : size);
  info.Offset = desc.Offset;
  return info;
}

int ComputeKeyLength(uint8_t slot, const TIndexDescriptor& desc, const TKeyFieldInfo* fields) {
  if (slot == kSysDeletedSlot) return kSysDeletedKeyLength;
  int length = 0;
  for (int i = 0; i < desc.FieldCount && i < kMaxKeyFields; ++i) length += fields[i].DataSize + 1;
  if (HasKeySuffix(slot, desc)) length += kKeySuffixLength;
  return length;
}

void BuildIndexKeyFromInfo(uint8_t slot, const TIndexDescriptor& desc, const TKeyFieldInfo* keyFields,
                           const uint8_t* record, uint16_t languageId, uint16_t sortId, uint8_t* key) {
  if (slot == kSysDeletedSlot) {
    BuildSysDeletedKey(record, key);
    return;
  }
  const TLanguageDriver* driver = languageId != 0 ? TLanguageDriver::Find(languageId, sortId) : nullptr;
  size_t at = 0;
  const int count = desc.FieldCount > kMaxKeyFields ? kMaxKeyFields : desc.FieldCount;
  for (int i = 0; i < count; ++i) {
    const TKeyFieldInfo& f = keyFields[i];
    const bool autoInc = IsAutoIncrement(f.FieldType, f.SubType);
    const bool present = autoInc ? true : record[f.Offset] != 0;
    const uint8_t* value = autoInc ? record + f.Offset : record + f.Offset + 1;
    // A wholly descending index orders by comparison; its fields are built ascending.
    const bool descending = !desc.Descending && (desc.FieldDescending[i] & 1) != 0;
    if (at + 1 + f.DataSize > static_cast<size_t>(kKeyBufferSize)) RaiseEngineError(kErrKeySize);
    EncodeKeyField(f.FieldType, f.DataSize, present, value, descending, desc.CaseInsensitive, driver, key + at);
    at += 1 + f.DataSize;
  }
  if (HasKeySuffix(slot, desc)) {
    uint8_t presentId[4];
    std::memcpy(presentId, record + kRecordIdOffset, 4);
    uint32_t id = LoadU32(presentId) ^ 0x80000000u;
    StoreBE(key + at, id, 4);
  }
}

void BuildIndexKey(uint8_t slot, const TIndexDescriptor& desc, const TFieldDesc* fields, size_t fieldCount,
                   const uint8_t* record, uint16_t languageId, uint16_t sortId, uint8_t* key) {
  TKeyFieldInfo infos[kMaxKeyFields];
  const int count = desc.FieldCount > kMaxKeyFields ? kMaxKeyFields : desc.FieldCount;
  if (slot != kSysDeletedSlot) {
    for (int i = 0; i < count; ++i) {
      uint16_t no = desc.FieldNumbers[i];
      if (no < 1 || no > fieldCount) RaiseEngineError(kErrIndexFieldNumber);
      infos[i] = KeyFieldInfoOf(fields[no - 1]);
    }
  }
  BuildIndexKeyFromInfo(slot, desc, infos, record, languageId, sortId, key);
}

void BuildSysDeletedKey(uint8_t status, int32_t recordId, uint8_t* key) {
  key[0] = status;
  StoreBE(key + 1, static_cast<uint32_t>(recordId) ^ 0x80000000u, 4);
}

void BuildSysDeletedKey(const uint8_t* record, uint8_t* key) {
  BuildSysDeletedKey(record[0], LoadI32(record + kRecordIdOffset), key);
}

}  // namespace tabula
