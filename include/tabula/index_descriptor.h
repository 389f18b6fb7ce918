#pragma once
// An index's definition as the index file's header keeps it: one 120-byte
// descriptor per slot (0 the primary index, 1..30 secondary indexes, 31
// "Sys Deleted"), little-endian on disk. Pack/Unpack convert between the
// stored bytes and the struct.

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#include "tabula/byte_order.h"

namespace tabula {

inline constexpr int kIndexDescriptorSize = 120;
inline constexpr int kIndexSlotCount = 32;           // 0 primary, 1..30 secondary, 31 "Sys Deleted"
inline constexpr int kMaxSecondaryIndexes = 30;
inline constexpr uint8_t kPrimarySlot = 0;
inline constexpr uint8_t kSysDeletedSlot = 31;
inline constexpr uint8_t kPhysicalOrderSlot = 255;   // no index: physical record order
inline constexpr int kKeyBufferSize = 1036;
inline constexpr int kMaxKeyFields = 16;
inline constexpr int kMaxIndexNameLength = 30;
inline constexpr const char* kSysDeletedName = "Sys Deleted";

// One 120-byte index descriptor.
struct TIndexDescriptor {
  std::string Name;              // at most 30 characters
  uint16_t KeyLength = 0;        // total key length in bytes (suffix included)
  bool Descending = false;       // the whole index sorts descending
  bool CaseInsensitive = false;  // string fields are upper-cased in keys
  bool Unique = false;           // duplicates refused (the primary always refuses them)
  uint8_t Compression = 0;       // leaf compression 0..3
  uint8_t FieldCount = 0;        // 1..16
  std::array<uint8_t, kMaxKeyFields> FieldDescending{};  // per key field: nonzero = descending
  std::array<uint16_t, kMaxKeyFields> FieldNumbers{};    // data-file field numbers, key order
  uint32_t RootPage = 0;         // 0 = empty index
  uint32_t FreePage = 0;         // head of the free-page list, 0 = none
  std::array<uint8_t, 26> Reserved{};

  bool HasTree() const { return RootPage != 0; }
  // Every field zero: the slot describes no index.
  bool IsEmpty() const {
    auto zero = [](const auto& values) {
      for (auto v : values)
        if (v != 0) return false;
      return true;
    };
    return Name.empty() && KeyLength == 0 && !Descending && !CaseInsensitive && !Unique && Compression == 0 &&
           FieldCount == 0 && zero(FieldDescending) && zero(FieldNumbers) && RootPage == 0 && FreePage == 0;
  }

  void Unpack(const uint8_t* p) {
    int nameLen = p[0] > kMaxIndexNameLength ? kMaxIndexNameLength : p[0];
    Name.assign(reinterpret_cast<const char*>(p + 1), static_cast<size_t>(nameLen));
    KeyLength = LoadU16(p + 31);
    Descending = p[33] != 0;
    CaseInsensitive = p[34] != 0;
    Unique = p[35] != 0;
    Compression = p[36];
    FieldCount = p[37];
    for (int i = 0; i < kMaxKeyFields; ++i) {
      FieldDescending[i] = p[38 + i];
      FieldNumbers[i] = LoadU16(p + 54 + 2 * i);
    }
    RootPage = LoadU32(p + 86);
    FreePage = LoadU32(p + 90);
    std::memcpy(Reserved.data(), p + 94, Reserved.size());
  }

  void Pack(uint8_t* p) const {
    std::memset(p, 0, kIndexDescriptorSize);
    size_t nameLen = Name.size() > static_cast<size_t>(kMaxIndexNameLength) ? kMaxIndexNameLength : Name.size();
    p[0] = static_cast<uint8_t>(nameLen);
    std::memcpy(p + 1, Name.data(), nameLen);
    StoreU16(p + 31, KeyLength);
    p[33] = Descending ? 1 : 0;
    p[34] = CaseInsensitive ? 1 : 0;
    p[35] = Unique ? 1 : 0;
    p[36] = Compression;
    p[37] = FieldCount;
    for (int i = 0; i < kMaxKeyFields; ++i) {
      p[38 + i] = FieldDescending[i];
      StoreU16(p + 54 + 2 * i, FieldNumbers[i]);
    }
    StoreU32(p + 86, RootPage);
    StoreU32(p + 90, FreePage);
    std::memcpy(p + 94, Reserved.data(), Reserved.size());
  }
};

}  // namespace tabula
