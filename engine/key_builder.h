#pragma once
// Building index keys from record buffers. A key is, for each key field in
// descriptor order, the field's presence byte (its null flag; 1 for the
// auto-increment field) and the field's value in its key encoding, exactly
// the field's data width long; descending fields are inverted byte by byte
// (tables without a language id only); a non-unique secondary index appends
// the record's auto-increment value (record bytes 5..8) as a 4-byte suffix.
// The "Sys Deleted" key is the status byte and the encoded record ID.

#include <cstddef>
#include <cstdint>

#include "tabula/field_desc.h"
#include "engine/index_file.h"
#include "engine/index_format.h"

namespace tabula {

// The key-relevant part of a field descriptor.
TKeyFieldInfo KeyFieldInfoOf(const TFieldDesc& desc);

// Key length an index of this layout must have: the sum of (width + 1) over
// the key fields plus 4 for the suffix. `fields` are the key fields in
// key order. Returns -1 when a field is missing.
int ComputeKeyLength(uint8_t slot, const TIndexDescriptor& desc, const TKeyFieldInfo* fields);

// Builds the key of index `slot` (described by `desc`) from `record` into
// `key` (at least desc.KeyLength bytes; kKeyBufferSize is always enough).
// `fields` holds the descriptors of the data file, field k at fields[k - 1];
// a key field number outside 1..fieldCount raises 10023.
void BuildIndexKey(uint8_t slot, const TIndexDescriptor& desc, const TFieldDesc* fields, size_t fieldCount,
                   const uint8_t* record, uint16_t languageId, uint16_t sortId, uint8_t* key);

// The same with key field infos already looked up (in key order).
void BuildIndexKeyFromInfo(uint8_t slot, const TIndexDescriptor& desc, const TKeyFieldInfo* keyFields,
                           const uint8_t* record, uint16_t languageId, uint16_t sortId, uint8_t* key);

// The "Sys Deleted" key of a record: status byte, then the record ID
// (bytes 5..8) as a 32-bit integer key.
void BuildSysDeletedKey(const uint8_t* record, uint8_t* key);
void BuildSysDeletedKey(uint8_t status, int32_t recordId, uint8_t* key);

}  // namespace tabula
