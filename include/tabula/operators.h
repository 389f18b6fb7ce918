#pragma once
// The expression value cell and the operators that filter expressions apply
// to typed values: null tests, logic, comparison, arithmetic and the string
// comparison node.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "tabula/field_types.h"

namespace tabula {

// Operator codes of expression nodes.
enum : uint8_t {
  kOpIsNull = 1,
  kOpIsNotNull = 2,
  kOpEqual = 3,
  kOpNotEqual = 4,
  kOpGreater = 5,
  kOpLess = 6,
  kOpGreaterEqual = 7,
  kOpLessEqual = 8,
  kOpNot = 9,
  kOpAnd = 10,
  kOpOr = 11,
  kOpField = 13,
  kOpConstant = 14,
  kOpNegate = 15,
  kOpPlus = 16,
  kOpAdd = 17,
  kOpSubtract = 18,
  kOpMultiply = 19,
  kOpDivide = 20,
};

// One typed value of an expression: an operand or a result. `Value` holds a
// zero-terminated string or the binary value in its record encoding.
struct TValueCell {
  std::array<uint8_t, kMaxStringValue> Value{};
  bool IsNull = false;
  uint8_t FieldType = kFldNone;
  uint8_t Scale = 0;          // BCD scale
  uint8_t PartialLength = 0;  // string comparison node: 0 = whole strings
  bool CaseInsensitive = false;

  // Typed access to the value area (little-endian, as in the record).
  int16_t AsInt16() const { return LoadI16(Value.data()); }
  uint16_t AsUInt16() const { return LoadU16(Value.data()); }
  int32_t AsInt32() const { return LoadI32(Value.data()); }
  int64_t AsInt64() const { return LoadI64(Value.data()); }
  double AsFloat() const { return LoadF64(Value.data()); }
  bool AsBoolean() const { return AsUInt16() != 0; }
  // The text up to the first zero byte (at most 255 bytes).
  std::string_view AsString() const;

  // Setters: set type and value, clear the null flag; the rest of the value
  // area is zeroed.
  void SetNull(uint8_t fieldType);
  void SetBoolean(bool value);  // stored as 0 or -1 (all bits set)
  void SetInt16(int16_t value);
  void SetUInt16(uint16_t value);
  void SetInt32(int32_t value, uint8_t fieldType = kFldInt32);  // also dates and times
  void SetFloat(double value, uint8_t fieldType = kFldFloat);   // also timestamps
  void SetBcd(int64_t stored, uint8_t scale);
  void SetString(std::string_view text);  // cut to 254 bytes and a zero
};

// Unary operators (1 is null, 2 is not null, 9 not, 15 negate, 16 plus).
// Other codes, and operand types an operator does not handle, leave `out`
// as it was.
void ApplyUnary(uint8_t op, const TValueCell& operand, TValueCell& out);

// Binary operators (3..8 comparisons, 10 and, 11 or, 17..20 arithmetic)
// under the table's language driver (langId 0 = none). Type pairs an
// operator does not handle leave `out` as it was; division by zero gives a
// null result.
void ApplyBinary(uint8_t op, const TValueCell& left, const TValueCell& right, uint16_t langId, uint16_t sortId,
                 TValueCell& out);

// The string comparison node (ops 3 and 4 only): compares `left` with
// `right` over `partialLength` leading characters (0 = whole strings),
// ignoring case when asked.
void CompareStringNode(uint8_t op, uint8_t partialLength, bool caseInsensitive, uint16_t langId, uint16_t sortId,
                       TValueCell& out, const TValueCell& right, const TValueCell& left);

}  // namespace tabula
