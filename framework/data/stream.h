#pragma once
// TStream: the run time's byte stream, as far as blob fields need one.

#include <cstdint>

namespace fw {

enum class TSeekOrigin : uint8_t { kBeginning, kCurrent, kEnd };

class TStream {
 public:
  virtual ~TStream() = default;
  virtual int32_t Read(void* buffer, int32_t count) = 0;
  virtual int32_t Write(const void* buffer, int32_t count) = 0;
  virtual int32_t Seek(int32_t offset, TSeekOrigin origin) = 0;
  int32_t Size() {
    const int32_t position = Seek(0, TSeekOrigin::kCurrent);
    const int32_t size = Seek(0, TSeekOrigin::kEnd);
    Seek(position, TSeekOrigin::kBeginning);
    return size;
  }
};

}  // namespace fw
