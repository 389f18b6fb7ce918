#pragma once
// The 768-byte field descriptor of a data file, as stored after the header
// (descriptor k at byte 127 + 768 * (k - 1)) and as handed to the dataset
// layer. The named members are the interpreted bytes; `Raw` keeps the block
// as it was read so that the bytes this system never interprets survive a
// rewrite unchanged.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tabula {

inline constexpr size_t kFieldDescSize = 768;
inline constexpr size_t kFieldNameMax = 30;     // characters of a field name
inline constexpr size_t kFieldValueTextMax = 50;  // characters of a minimum, maximum or default text
inline constexpr size_t kFieldExpressionMax = 255;

// Byte offsets inside the descriptor block.
enum : size_t {
  kFdFieldNo = 0,
  kFdName = 2,           // 31 bytes: length byte + 30 characters
  kFdFieldType = 84,
  kFdSubType = 85,
  kFdSize = 86,
  kFdScale = 87,
  kFdDataSize = 88,
  kFdDataScale = 89,
  kFdOffset = 90,
  kFdRequired = 92,
  kFdMinValue = 94,      // 51 bytes each
  kFdMaxValue = 145,
  kFdDefaultValue = 196,
  kFdComputed = 247,
  kFdExpression = 248,   // 256 bytes
  kFdExpressionHandle = 504,
};

struct TFieldDesc {
  int16_t FieldNo = 0;
  std::string Name;
  uint8_t FieldType = 0;
  uint8_t SubType = 0;
  uint8_t Size = 0;
  uint8_t Scale = 0;
  uint8_t DataSize = 0;
  uint8_t DataScale = 0;
  uint16_t Offset = 0;
  uint8_t Required = 0;
  std::string MinValue;
  std::string MaxValue;
  std::string DefaultValue;
  uint8_t Computed = 0;
  std::string Expression;
  uint32_t ExpressionHandle = 0;  // in memory only: the compiled expression
  std::array<uint8_t, kFieldDescSize> Raw{};

  // Reads a stored block. Length bytes larger than their field are cut to
  // the field, so a damaged block never reads past its 768 bytes.
  static TFieldDesc Unpack(const uint8_t* block);
  // Writes the block: `Raw` with the named members laid over it. Texts longer
  // than their field are cut.
  void Pack(uint8_t* block) const;
  std::array<uint8_t, kFieldDescSize> Packed() const;

  // Type 6 with subtype 29: the record ID exposed as a field.
  bool IsAutoIncrement() const;
  // Recomputes DataSize and DataScale from FieldType, Size and Scale.
  void DeriveDataSize();
  // The texts whose stored length byte (in Raw) is longer than their field
  // allows (name 30, minimum, maximum and default 50 characters), as
  // "name length 255"; empty for a sound descriptor.
  std::string OverlongText() const;
};

// Short strings inside fixed blocks: a length byte then the characters. The
// length read is capped at width - 1.
std::string ReadShortString(const uint8_t* at, size_t width);
void WriteShortString(uint8_t* at, size_t width, const std::string& text);

}  // namespace tabula
