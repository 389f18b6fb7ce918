#pragma once
// A record bitmap: one bit per record slot of the data file, bit n-1 for
// record n, least significant bit first; (slots / 8) + 1 bytes long. The
// index file keeps the range, live and visible bitmaps of its cursor in it,
// and record filters keep their results in it.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tabula {

class TRecordBitmap {
 public:
  // Resizes to `slots` records and clears every bit.
  void Reset(int32_t slots);
  // Resizes to `slots` records keeping the bits of the records that remain.
  void Grow(int32_t slots);
  int32_t Slots() const { return slots_; }
  bool Empty() const { return bytes_.empty(); }

  bool Test(int32_t recNo) const {
    if (recNo < 1 || recNo > slots_) return false;
    return (bytes_[static_cast<size_t>(recNo - 1) >> 3] >> ((recNo - 1) & 7)) & 1;
  }
  void Set(int32_t recNo);
  void Clear(int32_t recNo);
  void SetAll();
  void ClearAll();
  // Inverts the bits of records 1..Slots().
  void Invert();
  // this := this AND other (missing bits of a shorter other count as clear).
  void And(const TRecordBitmap& other);
  void Or(const TRecordBitmap& other);

  // Set bits among records 1..Slots().
  int32_t CountSet() const;
  // Set bits among records 1..recNo.
  int32_t CountUpTo(int32_t recNo) const;
  // The first set record >= from, or 0.
  int32_t NextSet(int32_t from) const;
  // The last set record <= from, or 0.
  int32_t PriorSet(int32_t from) const;

  const std::vector<uint8_t>& Bytes() const { return bytes_; }

 private:
  void ClearTail();
  int32_t slots_ = 0;
  std::vector<uint8_t> bytes_;
};

}  // namespace tabula
