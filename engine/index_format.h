#pragma once
// Byte layout of an index file (.IDX): the 4096-byte header in page 0 with its
// 32 index descriptors of 120 bytes, and the 13-byte header of a tree page.
// All integers are little-endian on disk. Pack/Unpack convert between the
// stored bytes and the structs; bytes the structs do not describe are kept
// in the raw copy so that rewriting a header preserves them.

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#include "engine/byte_order.h"

namespace tabula {

inline constexpr int kIndexPageSize = 4096;
inline constexpr int kIndexHeaderSize = 4096;
inline constexpr int kIndexDescriptorSize = 120;
inline constexpr int kIndexSlotCount = 32;           // 0 primary, 1..30 secondary, 31 "Sys Deleted"
// The place of a slot number in the header's descriptor table and the page
// lists: a slot byte is read modulo the 32 slots.
constexpr size_t SlotIndex(uint8_t slot) { return size_t(slot) % kIndexSlotCount; }
inline constexpr int kMaxSecondaryIndexes = 30;
inline constexpr uint8_t kPrimarySlot = 0;
inline constexpr uint8_t kSysDeletedSlot = 31;
inline constexpr uint8_t kPhysicalOrderSlot = 255;   // no index: physical record order
inline constexpr uint8_t kIndexFormatVersion = 3;
inline constexpr int kPageHeaderSize = 13;
inline constexpr int kPageEntryBytes = kIndexPageSize - kPageHeaderSize;  // 4083
inline constexpr int kKeyBufferSize = 1036;
inline constexpr int kMaxKeyFields = 16;
inline constexpr int kMaxIndexNameLength = 30;
inline constexpr int kSysDeletedKeyLength = 5;
inline constexpr const char* kSysDeletedName = "Sys Deleted";
inline constexpr int kKeySuffixLength = 4;           // auto-increment suffix of non-unique secondary keys
inline constexpr int32_t kMaxIndexFileEnd = 2000000000;

// Header field offsets (page 0).
inline constexpr int kHdrChangeCounter = 0;
inline constexpr int kHdrVersion = 8;
inline constexpr int kHdrEndOfFile = 9;
inline constexpr int kHdrSecondaryCount = 13;
inline constexpr int kHdrDescriptors = 14;
inline constexpr int kHdrLiveRecordCount = 3974;
inline constexpr int kHdrNoPrimaryIndex = 3978;
inline constexpr int kHdrModifiedFlag = 3979;

// Page types.
enum : uint8_t {
  kPageRootNode = 0,
  kPageNode = 1,
  kPageLeaf = 2,
  kPageRootLeaf = 3,
};

// Leaf compression modes.
enum : uint8_t {
  kCompressNone = 0,
  kCompressLeading = 1,
  kCompressTrailing = 2,
  kCompressBoth = 3,
};


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

// The header of an index file (page 0).
struct TIndexHeader {
  uint32_t ChangeCounter = 0;
  uint8_t Version = kIndexFormatVersion;
  int32_t EndOfFile = kIndexPageSize;
  uint8_t SecondaryCount = 0;
  std::array<TIndexDescriptor, kIndexSlotCount> Descriptors{};
  int32_t LiveRecordCount = 0;
  uint8_t NoPrimaryIndex = 0;
  bool Modified = false;  // working flag: the header must be written
  std::array<uint8_t, kIndexHeaderSize> Raw{};  // the bytes as last read (reserved parts preserved)

  // The header of a new index file: everything zero except the version,
  // EndOfFile 4096 and the "Sys Deleted" descriptor in slot 31.
  static TIndexHeader NewFile() {
    TIndexHeader h;
    TIndexDescriptor& sys = h.Descriptors[kSysDeletedSlot];
    sys.Name = kSysDeletedName;
    sys.KeyLength = kSysDeletedKeyLength;
    sys.Compression = kCompressNone;
    sys.FieldCount = 0;
    return h;
  }

  void Unpack(const uint8_t* p) {
    std::memcpy(Raw.data(), p, kIndexHeaderSize);
    ChangeCounter = LoadU32(p + kHdrChangeCounter);
    Version = p[kHdrVersion];
    EndOfFile = static_cast<int32_t>(LoadU32(p + kHdrEndOfFile));
    SecondaryCount = p[kHdrSecondaryCount];
    for (int s = 0; s < kIndexSlotCount; ++s) Descriptors[s].Unpack(p + kHdrDescriptors + kIndexDescriptorSize * s);
    LiveRecordCount = static_cast<int32_t>(LoadU32(p + kHdrLiveRecordCount));
    NoPrimaryIndex = p[kHdrNoPrimaryIndex];
    Modified = false;  // the stored value of the flag carries no meaning
  }

  void Pack(uint8_t* p) const {
    std::memcpy(p, Raw.data(), kIndexHeaderSize);
    StoreU32(p + kHdrChangeCounter, ChangeCounter);
    p[kHdrVersion] = Version;
    StoreU32(p + kHdrEndOfFile, static_cast<uint32_t>(EndOfFile));
    p[kHdrSecondaryCount] = SecondaryCount;
    for (int s = 0; s < kIndexSlotCount; ++s) Descriptors[s].Pack(p + kHdrDescriptors + kIndexDescriptorSize * s);
    StoreU32(p + kHdrLiveRecordCount, static_cast<uint32_t>(LiveRecordCount));
    p[kHdrNoPrimaryIndex] = NoPrimaryIndex;
    p[kHdrModifiedFlag] = 0;
  }
};

// The 13-byte header of a tree page.
struct TPageHeader {
  uint8_t PageType = kPageRootNode;
  uint16_t KeyCount = 0;
  uint32_t PriorPage = 0;
  uint32_t NextPage = 0;
  uint16_t PackedSize = 0;

  void Unpack(const uint8_t* p) {
    PageType = p[0];
    KeyCount = LoadU16(p + 1);
    PriorPage = LoadU32(p + 3);
    NextPage = LoadU32(p + 7);
    PackedSize = LoadU16(p + 11);
  }
  void Pack(uint8_t* p) const {
    p[0] = PageType;
    StoreU16(p + 1, KeyCount);
    StoreU32(p + 3, PriorPage);
    StoreU32(p + 7, NextPage);
    StoreU16(p + 11, PackedSize);
  }
};

// Entries a node page can hold for keys of the given length.
inline int NodeCapacity(int keyLength) { return kPageEntryBytes / (keyLength + 10); }
// Entries an uncompressed leaf can hold.
inline int LeafCapacity(int keyLength) { return kPageEntryBytes / (keyLength + 6); }

}  // namespace tabula
