#pragma once
// Byte order of the table files: every integer in the data, index and blob
// files is little-endian; index keys are big-endian so that byte order is
// value order. The one home of these readers and writers.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tabula {

// ---- Little-endian (file) ----

inline uint16_t LoadU16(const void* p) {
  const auto* b = static_cast<const uint8_t*>(p);
  return static_cast<uint16_t>(b[0] | (b[1] << 8));
}
inline int16_t LoadI16(const void* p) { return static_cast<int16_t>(LoadU16(p)); }
inline uint32_t LoadU32(const void* p) {
  const auto* b = static_cast<const uint8_t*>(p);
  return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
         (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}
inline int32_t LoadI32(const void* p) { return static_cast<int32_t>(LoadU32(p)); }
inline uint64_t LoadU64(const void* p) {
  const auto* b = static_cast<const uint8_t*>(p);
  return static_cast<uint64_t>(LoadU32(b)) | (static_cast<uint64_t>(LoadU32(b + 4)) << 32);
}
inline int64_t LoadI64(const void* p) { return static_cast<int64_t>(LoadU64(p)); }
inline double LoadF64(const void* p) {
  uint64_t bits = LoadU64(p);
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

inline void StoreU16(void* p, uint16_t v) {
  auto* b = static_cast<uint8_t*>(p);
  b[0] = static_cast<uint8_t>(v);
  b[1] = static_cast<uint8_t>(v >> 8);
}
inline void StoreI16(void* p, int16_t v) { StoreU16(p, static_cast<uint16_t>(v)); }
inline void StoreU32(void* p, uint32_t v) {
  auto* b = static_cast<uint8_t*>(p);
  for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void StoreI32(void* p, int32_t v) { StoreU32(p, static_cast<uint32_t>(v)); }
inline void StoreU64(void* p, uint64_t v) {
  auto* b = static_cast<uint8_t*>(p);
  for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void StoreI64(void* p, int64_t v) { StoreU64(p, static_cast<uint64_t>(v)); }
inline void StoreF64(void* p, double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  StoreU64(p, bits);
}

// ---- Big-endian (keys) ----

inline void StoreBE(void* p, uint64_t v, size_t width) {
  auto* b = static_cast<uint8_t*>(p);
  for (size_t i = 0; i < width; ++i) b[i] = static_cast<uint8_t>(v >> (8 * (width - 1 - i)));
}
inline uint64_t LoadBE(const void* p, size_t width) {
  const auto* b = static_cast<const uint8_t*>(p);
  uint64_t v = 0;
  for (size_t i = 0; i < width; ++i) v = (v << 8) | b[i];
  return v;
}

}  // namespace tabula
