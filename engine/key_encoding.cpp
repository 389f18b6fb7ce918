#include "engine/key_encoding.h"

#include <cstring>

#include "tabula/field_types.h"
#include "tabula/locale.h"

namespace tabula {

namespace {

// Big-endian with the sign bit flipped: signed order becomes unsigned order.
void EncodeSigned(const uint8_t* value, size_t width, uint8_t* out) {
  uint64_t v = 0;
  for (size_t i = 0; i < width; ++i) v |= static_cast<uint64_t>(value[i]) << (8 * i);
  StoreBE(out, v, width);
  out[0] ^= 0x80;
}

void EncodeUnsigned(const uint8_t* value, size_t width, uint8_t* out) {
  uint64_t v = 0;
  for (size_t i = 0; i < width; ++i) v |= static_cast<uint64_t>(value[i]) << (8 * i);
  StoreBE(out, v, width);
}

// A double: non-negative values get their top bit set, negative values have
// every byte inverted, so that byte order follows numeric order.
void EncodeDouble(const uint8_t* value, uint8_t* out) {
  double d = LoadF64(value);
  StoreBE(out, LoadU64(value), 8);
  if (d >= 0) {
    out[0] |= 0x80;
  } else {
    InvertBytes(out, 8);
  }
}

}  // namespace

void EncodeKeyField(uint8_t fieldType, size_t width, bool present, const uint8_t* value,
                    bool descending, bool caseInsensitive, const TLanguageDriver* driver,
                    uint8_t* out) {
  out[0] = present ? 1 : 0;
  uint8_t* v = out + 1;
  switch (fieldType) {
    case kFldString: {
      std::memset(v, 0, width);
      for (size_t i = 0; i < width && value[i] != 0; ++i) {
        uint8_t b = value[i];
        if (driver) {
          b = driver->KeyByte(b, caseInsensitive);
        } else if (caseInsensitive && b >= 'a' && b <= 'z') {
          b = static_cast<uint8_t>(b - 'a' + 'A');
        }
        v[i] = b;
      }
      break;
    }
    case kFldDate:
    case kFldInt32:
    case kFldTime:
      if (width == 4) EncodeSigned(value, 4, v); else std::memcpy(v, value, width);
      break;
    case kFldInt16:
      if (width == 2) EncodeSigned(value, 2, v); else std::memcpy(v, value, width);
      break;
    case kFldBoolean:
    case kFldUInt16:
      if (width == 2) EncodeUnsigned(value, 2, v); else std::memcpy(v, value, width);
      break;
    case kFldFloat:
    case kFldTimestamp:
      if (width == 8) EncodeDouble(value, v); else std::memcpy(v, value, width);
      break;
    case kFldBcd:
      if (width == 8) EncodeSigned(value, 8, v); else std::memcpy(v, value, width);
      break;
    default:
      std::memcpy(v, value, width);
      break;
  }
  if (descending && !driver) {
    // The last byte of a string field is the terminator position of the
    // longest value; it is zero in every key and is left so.
    size_t count = 1 + width;
    if (fieldType == kFldString && width > 0) --count;
    InvertBytes(out, count);
  }
}

void FillKeyLow(uint8_t* key, size_t from, size_t to) {
  if (to > from) std::memset(key + from, 0x00, to - from);
}

void FillKeyHigh(uint8_t* key, size_t from, size_t to) {
  if (to > from) std::memset(key + from, 0xFF, to - from);
}

void IncrementKey(uint8_t* key, size_t length) {
  size_t i = length;
  while (i > 0 && key[i - 1] == 0xFF) --i;
  if (i == 0) return;  // all 0xFF: stays as it is
  ++key[i - 1];
  std::memset(key + i, 0x00, length - i);
}

void DecrementKey(uint8_t* key, size_t length) {
  size_t i = length;
  while (i > 0 && key[i - 1] == 0x00) --i;
  if (i == 0) return;  // all 0x00: stays as it is
  --key[i - 1];
  std::memset(key + i, 0xFF, length - i);
}

void InvertBytes(uint8_t* bytes, size_t length) {
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(~bytes[i]);
}

}  // namespace tabula
