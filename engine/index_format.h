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

#include "tabula/byte_order.h"
#include "tabula/index_descriptor.h"

namespace tabula {

inline constexpr int kIndexPageSize = 4096;
inline constexpr int kIndexHeaderSize = 4096;
// The place of a slot number in the header's descriptor table and the page
// lists: a slot byte is read modulo the 32 slots.
constexpr size_t SlotIndex(uint8_t slot) { return size_t(slot) % kIndexSlotCount; }
inline constexpr uint8_t kIndexFormatVersion = 3;
inline constexpr int kPageHeaderSize = 13;
inline constexpr int kPageEntryBytes = kIndexPageSize - kPageHeaderSize;  // 4083
inline constexpr int kSysDeletedKeyLength = 5;
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
