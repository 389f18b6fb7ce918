#pragma once
// The byte layout of a blob file (.BLB) and one cached block of it.
//
// A blob file is a 512-byte header followed by blocks of the table's blob
// block size (512 by default), the first at offset 512. A block is named by
// its byte offset; offset 0 means "no block". Each block is an 18-byte block
// header and the data bytes after it. All integers are little-endian.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tabula/byte_order.h"

namespace tabula {

class TBlobFile;

inline constexpr int32_t kBlobHeaderSize = 512;
inline constexpr int32_t kBlobBlockHeaderSize = 18;
inline constexpr int32_t kDefaultBlobBlockSize = 512;
inline constexpr uint8_t kBlobFormatVersion = 3;
// A block is appended only while EndOfBlocks is at most this (else 9479).
inline constexpr int32_t kBlobFileLimit = 2000000000;
inline constexpr int32_t kMaxBlockPins = 64;

// Byte offsets in the file header.
enum : size_t {
  kBhChangeCounter = 0,   // u32, incremented on every header write
  kBhFormatVersion = 8,   // u8, must be 3
  kBhFirstFreeBlock = 9,  // u32, head of the free chain; 0 = none
  kBhEndOfBlocks = 13,    // i32, where the next new block goes (512 when empty)
  kBhModifiedFlag = 17,   // u8, the header-modified flag at the time of the write
};

// Byte offsets in a block header.
enum : size_t {
  kBbPriorBlock = 0,   // i32, previous block of the same blob; 0 in the first
  kBbNextBlock = 4,    // i32, next block of the blob or of the free chain; 0 = end
  kBbUsedBytes = 8,    // u16, data bytes used in this block
  kBbOwnerRecord = 10, // i32, physical record number of the owning record
  kBbBlobLength = 14,  // i32, total blob length; first block only, 0 elsewhere
};


// The five working fields of a block header.
struct TBlockHeader {
  int32_t PriorBlock = 0;
  int32_t NextBlock = 0;
  uint16_t UsedBytes = 0;
  int32_t OwnerRecord = 0;
  int32_t BlobLength = 0;

  static TBlockHeader Unpack(const uint8_t* bytes);
  void Pack(uint8_t* bytes) const;
};

// One cached block. The blob file hands out pinned blocks; a block changed
// through the setters is written back by the next FlushBlocks.
class TBlock {
 public:
  TBlock(TBlobFile* owner, int32_t dataBytes);

  TBlobFile* Owner() const { return owner_; }
  int32_t Offset() const { return offset_; }  // 0 = unused entry
  bool Modified() const { return modified_; }
  int32_t PinCount() const { return pinCount_; }

  int32_t PriorBlock() const { return header_.PriorBlock; }
  int32_t NextBlock() const { return header_.NextBlock; }
  uint16_t UsedBytes() const { return header_.UsedBytes; }
  int32_t OwnerRecord() const { return header_.OwnerRecord; }
  int32_t BlobLength() const { return header_.BlobLength; }
  const TBlockHeader& Header() const { return header_; }

  // Each setter marks the block modified.
  void SetPriorBlock(int32_t value);
  void SetNextBlock(int32_t value);
  void SetUsedBytes(uint16_t value);
  void SetOwnerRecord(int32_t value);
  void SetBlobLength(int32_t value);

  const uint8_t* Data() const { return data_.data(); }
  // Writable data; the caller marks the block modified.
  uint8_t* MutableData() { return data_.data(); }
  int32_t DataBytes() const { return int32_t(data_.size()); }
  void MarkModified() { modified_ = true; }

 private:
  friend class TBlobFile;

  // Forgets the contents: header and data zero, offset 0, not modified,
  // unpinned, unmarked.
  void Clear();
  // Header and data from the stored form (already deciphered).
  void Fill(const uint8_t* headerBytes, const uint8_t* dataBytes);

  TBlobFile* owner_;
  bool modified_ = false;
  int32_t offset_ = 0;
  TBlockHeader header_;
  std::vector<uint8_t> data_;
  int32_t pinCount_ = 0;
  bool marked_ = false;  // inside the span of a block read in progress
};

}  // namespace tabula
