#include "engine/blob_block.h"

#include <algorithm>
#include <cstring>

namespace tabula {


TBlockHeader TBlockHeader::Unpack(const uint8_t* bytes) {
  TBlockHeader h;
  h.PriorBlock = LoadI32(bytes + kBbPriorBlock);
  h.NextBlock = LoadI32(bytes + kBbNextBlock);
  h.UsedBytes = LoadU16(bytes + kBbUsedBytes);
  h.OwnerRecord = LoadI32(bytes + kBbOwnerRecord);
  h.BlobLength = LoadI32(bytes + kBbBlobLength);
  return h;
}

void TBlockHeader::Pack(uint8_t* bytes) const {
  StoreI32(bytes + kBbPriorBlock, PriorBlock);
  StoreI32(bytes + kBbNextBlock, NextBlock);
  StoreU16(bytes + kBbUsedBytes, UsedBytes);
  StoreI32(bytes + kBbOwnerRecord, OwnerRecord);
  StoreI32(bytes + kBbBlobLength, BlobLength);
}

TBlock::TBlock(TBlobFile* owner, int32_t dataBytes) : owner_(owner), data_(size_t(std::max(dataBytes, 0)), 0) {}

void TBlock::SetPriorBlock(int32_t value) {
  header_.PriorBlock = value;
  modified_ = true;
}

void TBlock::SetNextBlock(int32_t value) {
  header_.NextBlock = value;
  modified_ = true;
}

void TBlock::SetUsedBytes(uint16_t value) {
  header_.UsedBytes = value;
  modified_ = true;
}

void TBlock::SetOwnerRecord(int32_t value) {
  header_.OwnerRecord = value;
  modified_ = true;
}

void TBlock::SetBlobLength(int32_t value) {
  header_.BlobLength = value;
  modified_ = true;
}

void TBlock::Clear() {
  modified_ = false;
  offset_ = 0;
  header_ = TBlockHeader{};
  std::fill(data_.begin(), data_.end(), uint8_t(0));
  pinCount_ = 0;
  marked_ = false;
}

void TBlock::Fill(const uint8_t* headerBytes, const uint8_t* dataBytes) {
  header_ = TBlockHeader::Unpack(headerBytes);
  std::memcpy(data_.data(), dataBytes, data_.size());
}

}  // namespace tabula
