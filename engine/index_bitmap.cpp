#include "engine/index_bitmap.h"

#include <algorithm>
#include <bit>

namespace tabula {

void TRecordBitmap::Reset(int32_t slots) {
  slots_ = slots < 0 ? 0 : slots;
  bytes_.assign(static_cast<size_t>(slots_ / 8 + 1), 0);
}

void TRecordBitmap::Grow(int32_t slots) {
  slots_ = slots < 0 ? 0 : slots;
  bytes_.resize(static_cast<size_t>(slots_ / 8 + 1), 0);
  ClearTail();
}

void TRecordBitmap::Set(int32_t recNo) {
  if (recNo < 1 || recNo > slots_) return;
  bytes_[static_cast<size_t>(recNo - 1) >> 3] |= static_cast<uint8_t>(1u << ((recNo - 1) & 7));
}

void TRecordBitmap::Clear(int32_t recNo) {
  if (recNo < 1 || recNo > slots_) return;
  bytes_[static_cast<size_t>(recNo - 1) >> 3] &= static_cast<uint8_t>(~(1u << ((recNo - 1) & 7)));
}

// Bits beyond the last record are always kept clear, so counts and scans
// can work byte by byte.
void TRecordBitmap::ClearTail() {
  if (bytes_.empty()) return;
  size_t full = static_cast<size_t>(slots_) / 8;
  int rest = slots_ % 8;
  bytes_[full] &= static_cast<uint8_t>((1u << rest) - 1);
  for (size_t i = full + 1; i < bytes_.size(); ++i) bytes_[i] = 0;
}

void TRecordBitmap::SetAll() {
  std::fill(bytes_.begin(), bytes_.end(), 0xFF);
  ClearTail();
}

void TRecordBitmap::ClearAll() { std::fill(bytes_.begin(), bytes_.end(), 0); }

void TRecordBitmap::Invert() {
  for (auto& b : bytes_) b = static_cast<uint8_t>(~b);
  ClearTail();
}

void TRecordBitmap::And(const TRecordBitmap& other) {
  for (size_t i = 0; i < bytes_.size(); ++i) bytes_[i] &= i < other.bytes_.size() ? other.bytes_[i] : 0;
}

void TRecordBitmap::Or(const TRecordBitmap& other) {
  for (size_t i = 0; i < bytes_.size() && i < other.bytes_.size(); ++i) bytes_[i] |= other.bytes_[i];
  ClearTail();
}

int32_t TRecordBitmap::CountSet() const { return CountUpTo(slots_); }

int32_t TRecordBitmap::CountUpTo(int32_t recNo) const {
  if (recNo > slots_) recNo = slots_;
  if (recNo < 1) return 0;
  size_t full = static_cast<size_t>(recNo) / 8;
  int32_t n = 0;
  for (size_t i = 0; i < full; ++i) n += std::popcount(bytes_[i]);
  int rest = recNo % 8;
  if (rest) n += std::popcount(static_cast<uint8_t>(bytes_[full] & ((1u << rest) - 1)));
  return n;
}

int32_t TRecordBitmap::NextSet(int32_t from) const {
  if (from < 1) from = 1;
  if (from > slots_) return 0;
  size_t i = static_cast<size_t>(from - 1) >> 3;
  uint8_t b = static_cast<uint8_t>(bytes_[i] & (0xFFu << ((from - 1) & 7)));
  for (;;) {
    if (b) {
      int32_t rec = static_cast<int32_t>(i * 8) + std::countr_zero(b) + 1;
      return rec <= slots_ ? rec : 0;
    }
    if (++i >= bytes_.size()) return 0;
    b = bytes_[i];
  }
}

int32_t TRecordBitmap::PriorSet(int32_t from) const {
  if (from > slots_) from = slots_;
  if (from < 1) return 0;
  size_t i = static_cast<size_t>(from - 1) >> 3;
  uint8_t b = static_cast<uint8_t>(bytes_[i] & (0xFFu >> (7 - ((from - 1) & 7))));
  for (;;) {
    if (b) return static_cast<int32_t>(i * 8) + (7 - std::countl_zero(b)) + 1;
    if (i == 0) return 0;
    b = bytes_[--i];
  }
}

}  // namespace tabula
