#include "engine/filter_bounds.h"

#include <algorithm>
#include <cstring>

#include "tabula/field_types.h"
#include "engine/key_encoding.h"
#include "tabula/operators.h"

namespace tabula {

TKeyBounds BuildKeyBounds(const TKeyBoundsRequest& request) {
  TKeyBounds bounds;
  TKeyBoundsRequest r = request;
  // A locale orders string keys by their text, and no run of fill bytes is
  // the greatest text (Latin letters sort after Cyrillic ones under a
  // Russian locale, for one): "not blank" on such a field is answered as the
  // inverse of "is blank", whose bounds hold only empty texts.
  bool invertBlank = false;
  if (r.Operator == kOpIsNotNull && r.FieldType == kFldString && r.Driver != nullptr) {
    r.Operator = kOpIsNull;
    invertBlank = true;
  }
  const size_t fieldBytes = 1 + static_cast<size_t>(r.Width);
  const size_t keyLength = std::max(r.KeyLength, fieldBytes);
  bounds.Low.assign(keyLength, 0x00);
  bounds.High.assign(keyLength, 0x00);
  const bool isString = r.FieldType == kFldString;

  // The field's own descending bit inverts its stored bytes only without a
  // language driver; with one it orders the locale comparison alone, which
  // exact equality does not notice.
  const bool fieldInverted = r.FieldDescending && !r.IndexDescending && r.Driver == nullptr;

  // The encoded constant, ascending.
  std::vector<uint8_t> constant(fieldBytes, 0x00);
  const bool blankTest = r.Operator == kOpIsNull || r.Operator == kOpIsNotNull;
  if (!blankTest && r.Value != nullptr) {
    EncodeKeyField(r.FieldType, r.Width, true, r.Value, false, r.CaseInsensitive, r.Driver, constant.data());
  }

  // w: bytes taking part in plus one / minus one; s: significant bytes.
  const size_t w = isString && r.Width > 0 ? r.Width : fieldBytes;
  size_t s = fieldBytes;
  if (blankTest) {
    s = 1;
  } else if (r.PartialLength != 0 && isString) {
    s = std::min<size_t>(static_cast<size_t>(r.PartialLength) + 1, fieldBytes);
  }

  uint8_t* low = bounds.Low.data();
  uint8_t* high = bounds.High.data();
  switch (r.Operator) {
    case kOpIsNull:
    case kOpIsNotNull:
      low[0] = high[0] = r.Operator == kOpIsNull ? 0 : 1;
      break;
    case kOpEqual:
    case kOpNotEqual:
      std::memcpy(low, constant.data(), fieldBytes);
      std::memcpy(high, constant.data(), fieldBytes);
      bounds.Invert = r.Operator == kOpNotEqual;
      break;
    case kOpGreater:
      std::memcpy(low, constant.data(), fieldBytes);
      IncrementKey(low, w);
      high[0] = 1;
      FillKeyHigh(high, 1, fieldBytes);
      break;
    case kOpGreaterEqual:
      std::memcpy(low, constant.data(), fieldBytes);
      high[0] = 1;
      FillKeyHigh(high, 1, fieldBytes);
      break;
    case kOpLess:
      low[0] = 1;
      std::memcpy(high, constant.data(), fieldBytes);
      DecrementKey(high, w);
      break;
    case kOpLessEqual:
      low[0] = 1;
      std::memcpy(high, constant.data(), fieldBytes);
      break;
    default:
      break;
  }

  const bool ordering = r.Operator >= kOpGreater && r.Operator <= kOpLessEqual;
  if (r.IndexDescending) {
    if (ordering) std::swap(bounds.Low, bounds.High);
    FillKeyHigh(bounds.Low.data(), s, keyLength);
    FillKeyLow(bounds.High.data(), s, keyLength);
  } else {
    FillKeyLow(bounds.Low.data(), s, keyLength);
    FillKeyHigh(bounds.High.data(), s, keyLength);
  }

  if (fieldInverted) {
    // The field's bytes are stored inverted (a string keeps its terminator
    // position): the ascending bounds, inverted, change places.
    const size_t inverted = isString && r.Width > 0 ? fieldBytes - 1 : fieldBytes;
    InvertBytes(bounds.Low.data(), inverted);
    InvertBytes(bounds.High.data(), inverted);
    std::swap(bounds.Low, bounds.High);
    // Bytes outside the inverted part that the condition does not fix take
    // their plain fills again.
    const size_t from = std::max(s, inverted);
    FillKeyLow(bounds.Low.data(), from, keyLength);
    FillKeyHigh(bounds.High.data(), from, keyLength);
  }
  bounds.Invert = bounds.Invert || invertBlank;
  bounds.Low.resize(r.KeyLength > 0 ? r.KeyLength : keyLength);
  bounds.High.resize(bounds.Low.size());
  return bounds;
}

bool ConstantAsFieldValue(const TFilterNode& constant, uint8_t fieldType, uint8_t width,
                          std::vector<uint8_t>& out) {
  if (!constant.IsConstant() || constant.ConstType != fieldType) return false;
  out.assign(std::max<size_t>(width, 8), 0x00);
  const size_t count = std::min(constant.ConstValue.size(), static_cast<size_t>(width));
  std::memcpy(out.data(), constant.ConstValue.data(), count);
  if (fieldType == kFldString) {
    // Up to the constant's terminator; the rest of the field stays zero.
    const void* zero = std::memchr(constant.ConstValue.data(), 0, count);
    if (zero != nullptr) {
      const size_t length = static_cast<size_t>(static_cast<const uint8_t*>(zero) - constant.ConstValue.data());
      std::fill(out.begin() + static_cast<std::ptrdiff_t>(length), out.end(), 0x00);
    }
  } else if (fieldType == kFldBoolean) {
    // Expressions write true as -1; the record holds 1.
    StoreU16(out.data(), LoadU16(out.data()) != 0 ? 1 : 0);
  }
  return true;
}

bool BuildConditionBounds(const TFilterNode& condition, const TIndexDescriptor& index,
                          const TLanguageDriver* driver, TKeyBounds& bounds) {
  TKeyBoundsRequest r;
  r.Operator = condition.Operator;
  r.CaseInsensitive = index.CaseInsensitive;
  r.IndexDescending = index.Descending;
  r.FieldDescending = index.FieldCount > 0 && (index.FieldDescending[0] & 1) != 0;
  r.Driver = driver;
  r.KeyLength = index.KeyLength;
  std::vector<uint8_t> value;
  const TFilterNode* field = condition.Left.get();
  if (field == nullptr || !field->IsField()) return false;
  r.FieldType = field->Field.FieldType;
  r.Width = field->Field.Width;
  switch (condition.NodeClass) {
    case kNodeUnary:
      if (condition.Operator != kOpIsNull && condition.Operator != kOpIsNotNull) return false;
      break;
    case kNodeBinary:
    case kNodeCompare:
      if (condition.Operator < kOpEqual || condition.Operator > kOpLessEqual || !condition.Right) return false;
      if (condition.NodeClass == kNodeCompare && condition.Operator > kOpNotEqual) return false;
      if (!ConstantAsFieldValue(*condition.Right, r.FieldType, r.Width, value)) return false;
      r.Value = value.data();
      if (condition.NodeClass == kNodeCompare) r.PartialLength = condition.PartialLength;
      break;
    default:
      return false;
  }
  bounds = BuildKeyBounds(r);
  return true;
}

int FindFittingIndex(const TIndexHeader& header, const TFilterFieldInfo& field, bool caseInsensitive,
                     bool anyCase) {
  if (header.NoPrimaryIndex != 0) return -1;
  const int last = std::min<int>(header.SecondaryCount, kMaxSecondaryIndexes);
  for (int slot = 0; slot <= last; ++slot) {
    const TIndexDescriptor& d = header.Descriptors[static_cast<size_t>(slot)];
    if (d.FieldCount == 0 || d.FieldNumbers[0] != field.FieldNo) continue;
    if (field.FieldType == kFldString && !anyCase && d.CaseInsensitive != caseInsensitive) continue;
    return slot;
  }
  return -1;
}

}  // namespace tabula
