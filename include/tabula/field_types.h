#pragma once
// Field type codes, the in-record width of each type, and the small byte
// helpers that the data file, the index file and the value code share.
//
// A record slot begins with a 9-byte header (status byte, slot link, record
// ID); each stored field follows as one null-flag byte and its data bytes,
// except the auto-increment field, which is the record ID itself.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tabula/byte_order.h"

namespace tabula {

// Field type codes (descriptor byte 84, expression value cells).
enum : uint8_t {
  kFldNone = 0,        // no type; in an expression the NULL constant
  kFldString = 1,      // zero-terminated 8-bit text, Size + 1 bytes
  kFldDate = 2,        // i32 day number, 1 = 0001-01-01
  kFldBlob = 3,        // i32 blob reference
  kFldBoolean = 4,     // u16, 0 false, 1 true
  kFldInt16 = 5,       // i16
  kFldInt32 = 6,       // i32; subtype 29 = auto-increment
  kFldFloat = 7,       // IEEE double; subtype 21 = currency
  kFldBcd = 8,         // i64 BCD stored form
  kFldBytes = 9,       // raw bytes of Size
  kFldTime = 10,       // i32 milliseconds since midnight
  kFldTimestamp = 11,  // IEEE double: day number * 86400000 + ms of day
  kFldUInt16 = 12,     // u16
  kFldUInt32 = 13,     // u32
  kFldExtended = 14,   // 80-bit extended float
  kFldVarBytes = 15,   // variable bytes of Size
};

// Subtype codes (descriptor byte 85).
enum : uint8_t {
  kSubCurrency = 21,     // float field shown as currency
  kSubMemo = 22,         // blob: memo
  kSubFmtMemo = 24,      // blob: formatted memo
  kSubGraphic = 26,      // blob: graphic
  kSubTypedBinary = 28,  // blob: typed binary
  kSubAutoInc = 29,      // 32-bit integer: auto-increment field
};

// Record layout constants.
constexpr size_t kRecordHeaderSize = 9;     // status, slot link, record ID
constexpr size_t kRecordIdOffset = 5;       // offset of the record ID (and the auto-increment field)
constexpr uint8_t kRecordLive = 0;          // status byte of a live record
constexpr uint8_t kRecordDeleted = 1;       // status byte of a deleted slot (on the free chain)
constexpr uint8_t kMaxDeclaredSize = 250;   // largest Size of types 1, 9 and 15
constexpr size_t kMaxStringValue = 255;     // value area of an expression cell

// Milliseconds in a day; the timestamp encoding counts days in these.
constexpr int64_t kMsPerDay = 86400000;
// Day number of 1899-12-30 (the day the run time's date-time value 0 stands for).
constexpr int32_t kDateDelta = 693594;

// True for the types whose descriptor Size is meaningful (string, bytes,
// variable bytes); every other type has Size 0.
constexpr bool HasDeclaredSize(uint8_t fieldType) {
  return fieldType == kFldString || fieldType == kFldBytes || fieldType == kFldVarBytes;
}

// The auto-increment field: a 32-bit integer with subtype 29. It has no
// null flag and no bytes of its own; it exposes the record ID at offset 5.
constexpr bool IsAutoIncrement(uint8_t fieldType, uint8_t subType) {
  return fieldType == kFldInt32 && subType == kSubAutoInc;
}

// DataSize: bytes of the field's data in the record, from type and Size.
// The result is an int because a damaged descriptor may carry Size 255,
// whose string width 256 does not fit the descriptor's byte; callers that
// store it check the range (a sound descriptor always gives 0..251).
constexpr int FieldDataSize(uint8_t fieldType, uint8_t size) {
  switch (fieldType) {
    case kFldString: return size + 1;
    case kFldDate: return 4;
    case kFldBlob: return 4;
    case kFldBoolean: return 2;
    case kFldInt16: return 2;
    case kFldInt32: return 4;
    case kFldFloat: return 8;
    case kFldBcd: return 8;
    case kFldTime: return 4;
    case kFldTimestamp: return 8;
    case kFldUInt16: return 2;
    case kFldUInt32: return 4;
    case kFldExtended: return 10;
    default: return size;  // 0 none, 9 bytes, 15 variable bytes, codes above 15
  }
}

// DataScale: a copy of the descriptor's Scale.
constexpr uint8_t FieldDataScale(uint8_t /*fieldType*/, uint8_t scale) { return scale; }

// Bytes one field takes in a stored record: null flag plus data; the
// auto-increment field takes none (it is the record ID).
constexpr int FieldSlotSize(uint8_t fieldType, uint8_t subType, uint8_t size) {
  return IsAutoIncrement(fieldType, subType) ? 0 : FieldDataSize(fieldType, size) + 1;
}

// True for the types that read and write numbers (the numeric operators
// multiply and divide accept only these).
constexpr bool IsNumericType(uint8_t fieldType) {
  return fieldType == kFldInt16 || fieldType == kFldInt32 || fieldType == kFldUInt16 ||
         fieldType == kFldFloat || fieldType == kFldBcd;
}

constexpr bool IsIntegerType(uint8_t fieldType) {
  return fieldType == kFldInt16 || fieldType == kFldInt32 || fieldType == kFldUInt16;
}

}  // namespace tabula
