#include "tabula/field_desc.h"

#include <algorithm>
#include <cstring>

#include "tabula/data_header.h"
#include "tabula/field_types.h"

namespace tabula {

std::string ReadShortString(const uint8_t* at, size_t width) {
  size_t length = std::min<size_t>(at[0], width - 1);
  return std::string(reinterpret_cast<const char*>(at + 1), length);
}

void WriteShortString(uint8_t* at, size_t width, const std::string& text) {
  size_t length = std::min(text.size(), width - 1);
  std::memset(at, 0, width);
  at[0] = uint8_t(length);
  std::memcpy(at + 1, text.data(), length);
}

TFieldDesc TFieldDesc::Unpack(const uint8_t* block) {
  TFieldDesc d;
  std::memcpy(d.Raw.data(), block, kFieldDescSize);
  d.FieldNo = LoadI16(block + kFdFieldNo);
  d.Name = ReadShortString(block + kFdName, kFieldNameMax + 1);
  d.FieldType = block[kFdFieldType];
  d.SubType = block[kFdSubType];
  d.Size = block[kFdSize];
  d.Scale = block[kFdScale];
  d.DataSize = block[kFdDataSize];
  d.DataScale = block[kFdDataScale];
  d.Offset = LoadU16(block + kFdOffset);
  d.Required = block[kFdRequired];
  d.MinValue = ReadShortString(block + kFdMinValue, kFieldValueTextMax + 1);
  d.MaxValue = ReadShortString(block + kFdMaxValue, kFieldValueTextMax + 1);
  d.DefaultValue = ReadShortString(block + kFdDefaultValue, kFieldValueTextMax + 1);
  d.Computed = block[kFdComputed];
  d.Expression = ReadShortString(block + kFdExpression, kFieldExpressionMax + 1);
  d.ExpressionHandle = LoadU32(block + kFdExpressionHandle);
  return d;
}

namespace {
// Rewrites a short string only when its text changed, so that the bytes after
// an unchanged text stay as they were read.
void PutText(uint8_t* block, size_t offset, size_t width, const std::string& text) {
  if (ReadShortString(block + offset, width) != text.substr(0, width - 1)) WriteShortString(block + offset, width, text);
}
}  // namespace

void TFieldDesc::Pack(uint8_t* block) const {
  std::memcpy(block, Raw.data(), kFieldDescSize);
  StoreI16(block + kFdFieldNo, FieldNo);
  PutText(block, kFdName, kFieldNameMax + 1, Name);
  block[kFdFieldType] = FieldType;
  block[kFdSubType] = SubType;
  block[kFdSize] = Size;
  block[kFdScale] = Scale;
  block[kFdDataSize] = DataSize;
  block[kFdDataScale] = DataScale;
  StoreU16(block + kFdOffset, Offset);
  block[kFdRequired] = Required;
  PutText(block, kFdMinValue, kFieldValueTextMax + 1, MinValue);
  PutText(block, kFdMaxValue, kFieldValueTextMax + 1, MaxValue);
  PutText(block, kFdDefaultValue, kFieldValueTextMax + 1, DefaultValue);
  block[kFdComputed] = Computed;
  PutText(block, kFdExpression, kFieldExpressionMax + 1, Expression);
  StoreU32(block + kFdExpressionHandle, ExpressionHandle);
}

std::array<uint8_t, kFieldDescSize> TFieldDesc::Packed() const {
  std::array<uint8_t, kFieldDescSize> block{};
  Pack(block.data());
  return block;
}

bool TFieldDesc::IsAutoIncrement() const { return tabula::IsAutoIncrement(FieldType, SubType); }

std::string TFieldDesc::OverlongText() const {
  const struct {
    const char* What;
    size_t Offset;
    size_t Max;
  } kTexts[] = {{"name", kFdName, kFieldNameMax},
                {"minimum", kFdMinValue, kFieldValueTextMax},
                {"maximum", kFdMaxValue, kFieldValueTextMax},
                {"default", kFdDefaultValue, kFieldValueTextMax}};
  std::string out;
  for (const auto& t : kTexts) {
    if (Raw[t.Offset] <= t.Max) continue;
    if (!out.empty()) out += ", ";
    out += std::string(t.What) + " length " + std::to_string(Raw[t.Offset]);
  }
  return out;
}

void TFieldDesc::DeriveDataSize() {
  // A damaged string descriptor may declare Size 255 (width 256): the byte
  // keeps 0 then, and the open-time check refuses the descriptor.
  int width = FieldDataSize(FieldType, Size);
  DataSize = width > 255 ? 0 : uint8_t(width);
  DataScale = FieldDataScale(FieldType, Scale);
}

}  // namespace tabula
