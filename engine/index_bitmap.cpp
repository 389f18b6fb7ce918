#include "engine/index_bitmap.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace tabula {

// Counting, combining and scanning go eight bytes at a time: the bytes are
// loaded as one little-endian word, so bit k of the word is bit k % 8 of
// byte k / 8, the same record as in the byte layout.
namespace {

uint64_t LoadWord(const uint8_t* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
  return w;
}

void StoreWord(uint8_t* p, uint64_t w) {
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
  std::memcpy(p, &w, 8);
}

// Set bits of a word without a library call (the build does not assume a
// population-count instruction).
int CountWord(uint64_t x) {
  x = x - ((x >> 1) & 0x5555555555555555ULL);
  x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
  return static_cast<int>((x * 0x0101010101010101ULL) >> 56);
}

}  // namespace

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
  const size_t common = std::min(bytes_.size(), other.bytes_.size());
  uint8_t* a = bytes_.data();
  const uint8_t* b = other.bytes_.data();
  size_t i = 0;
  for (; i + 8 <= common; i += 8) StoreWord(a + i, LoadWord(a + i) & LoadWord(b + i));
  for (; i < common; ++i) a[i] &= b[i];
  std::fill(bytes_.begin() + static_cast<std::ptrdiff_t>(common), bytes_.end(), 0);
}

void TRecordBitmap::Or(const TRecordBitmap& other) {
  const size_t common = std::min(bytes_.size(), other.bytes_.size());
  uint8_t* a = bytes_.data();
  const uint8_t* b = other.bytes_.data();
  size_t i = 0;
  for (; i + 8 <= common; i += 8) StoreWord(a + i, LoadWord(a + i) | LoadWord(b + i));
  for (; i < common; ++i) a[i] |= b[i];
  ClearTail();
}

int32_t TRecordBitmap::CountSet() const { return CountUpTo(slots_); }

int32_t TRecordBitmap::CountUpTo(int32_t recNo) const {
  if (recNo > slots_) recNo = slots_;
  if (recNo < 1) return 0;
  const size_t full = static_cast<size_t>(recNo) / 8;
  const uint8_t* p = bytes_.data();
  int32_t n = 0;
  size_t i = 0;
  for (; i + 8 <= full; i += 8) n += CountWord(LoadWord(p + i));
  for (; i < full; ++i) n += CountWord(p[i]);
  const int rest = recNo % 8;
  if (rest) n += CountWord(p[full] & ((1u << rest) - 1));
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
    // Whole words of clear bits are passed over at once.
    while (i + 8 <= bytes_.size() && LoadWord(bytes_.data() + i) == 0) i += 8;
    if (i >= bytes_.size()) return 0;
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
    while (i >= 8 && LoadWord(bytes_.data() + i - 8) == 0) i -= 8;
    if (i == 0) return 0;
    b = bytes_[--i];
  }
}

}  // namespace tabula
