#include "tabula/operators.h"

#include <cstring>
#include <optional>

#include "tabula/field_values.h"
#include "tabula/locale.h"
#include "framework/core/exceptions.h"

namespace tabula {

namespace {

using int128 = __int128;

// Operand classes of the operator tables.
enum class TKind { Null, String, Boolean, Integer, Float, Bcd, Date, Time, Timestamp, Other };

TKind KindOf(const TValueCell& cell) {
  switch (cell.FieldType) {
    case kFldNone: return TKind::Null;
    case kFldString: return TKind::String;
    case kFldBoolean: return TKind::Boolean;
    case kFldInt16:
    case kFldInt32:
    case kFldUInt16: return TKind::Integer;
    case kFldFloat: return TKind::Float;
    case kFldBcd: return TKind::Bcd;
    case kFldDate: return TKind::Date;
    case kFldTime: return TKind::Time;
    case kFldTimestamp: return TKind::Timestamp;
    default: return TKind::Other;
  }
}

int64_t IntegerOf(const TValueCell& cell) {
  switch (cell.FieldType) {
    case kFldInt16: return cell.AsInt16();
    case kFldUInt16: return cell.AsUInt16();
    default: return cell.AsInt32();
  }
}

double FloatOf(const TValueCell& cell) {
  switch (KindOf(cell)) {
    case TKind::Integer: return static_cast<double>(IntegerOf(cell));
    case TKind::Bcd: return BcdToFloat(cell.AsInt64());
    default: return cell.AsFloat();
  }
}

// A BCD or integer operand as an exact count of 10^-9 units, for comparisons.
int128 ExactOf(const TValueCell& cell) {
  if (KindOf(cell) == TKind::Bcd) {
    int64_t stored = cell.AsInt64();
    bool negative = stored < 0;
    uint64_t magnitude = negative ? static_cast<uint64_t>(0) - static_cast<uint64_t>(stored)
                                  : static_cast<uint64_t>(stored);
    int scale = static_cast<int>(magnitude % 10);
    int128 value = static_cast<int128>(magnitude / 10);
    for (int i = scale; i < 9; ++i) value *= 10;
    return negative ? -value : value;
  }
  return static_cast<int128>(IntegerOf(cell)) * 1000000000;
}

template <typename T>
int Order(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

// The order of two operands, or nothing for a pair the comparisons do not
// handle. Booleans only compare for equality (ordering = false).
std::optional<int> CompareCells(const TValueCell& left, const TValueCell& right, uint16_t langId,
                                uint16_t sortId, bool ordering) {
  TKind l = KindOf(left), r = KindOf(right);
  if (l == TKind::String && r == TKind::String)
    return CompareStrings(langId, sortId, left.AsString(), false, 0, right.AsString());
  if (l == TKind::Boolean && r == TKind::Boolean) {
    if (ordering) return std::nullopt;
    return left.AsBoolean() == right.AsBoolean() ? 0 : 1;
  }
  if (l == TKind::Integer && r == TKind::Integer) return Order(IntegerOf(left), IntegerOf(right));
  bool lNumber = l == TKind::Integer || l == TKind::Float || l == TKind::Bcd;
  bool rNumber = r == TKind::Integer || r == TKind::Float || r == TKind::Bcd;
  if (lNumber && rNumber) {
    if (l == TKind::Float || r == TKind::Float) return Order(FloatOf(left), FloatOf(right));
    return Order(ExactOf(left), ExactOf(right));  // BCD with integer or BCD
  }
  if ((l == TKind::Date && r == TKind::Date) || (l == TKind::Time && r == TKind::Time))
    return Order(left.AsInt32(), right.AsInt32());
  auto asTimestamp = [](const TValueCell& cell) {
    return KindOf(cell) == TKind::Date ? static_cast<double>(cell.AsInt32()) * static_cast<double>(kMsPerDay)
                                       : cell.AsFloat();
  };
  if ((l == TKind::Timestamp || l == TKind::Date) && (r == TKind::Timestamp || r == TKind::Date) &&
      (l == TKind::Timestamp || r == TKind::Timestamp))
    return Order(asTimestamp(left), asTimestamp(right));
  return std::nullopt;
}

bool IsNullOperand(const TValueCell& cell) { return cell.IsNull || cell.FieldType == kFldNone; }

// Rounded quotient, halves away from zero.
int128 DivideRounded(int128 numerator, int128 denominator) {
  int128 quotient = numerator / denominator;
  int128 remainder = numerator % denominator;
  if (remainder < 0) remainder = -remainder;
  int128 absDenominator = denominator < 0 ? -denominator : denominator;
  if (remainder * 2 >= absDenominator) quotient += ((numerator < 0) != (denominator < 0)) ? -1 : 1;
  return quotient;
}

// BCD arithmetic in currency units; a result that cannot be held gives null.
void BcdArithmetic(uint8_t op, const TValueCell& left, const TValueCell& right, TValueCell& out) {
  uint8_t scale = KindOf(left) == TKind::Bcd ? left.Scale : right.Scale;
  try {
    auto currencyOf = [](const TValueCell& cell) -> int128 {
      if (KindOf(cell) == TKind::Bcd) return BcdToCurrency(cell.AsInt64());
      return static_cast<int128>(IntegerOf(cell)) * kCurrencyUnit;
    };
    int128 a = currencyOf(left), b = currencyOf(right);
    int128 result;
    switch (op) {
      case kOpAdd: result = a + b; break;
      case kOpSubtract: result = a - b; break;
      case kOpMultiply: result = DivideRounded(a * b, kCurrencyUnit); break;
      default:
        if (b == 0) {
          out.SetNull(kFldBcd);
          out.Scale = scale;
          return;
        }
        result = DivideRounded(a * kCurrencyUnit, b);
        break;
    }
    if (result > INT64_MAX || result < -INT64_MAX) {
      out.SetNull(kFldBcd);
      out.Scale = scale;
      return;
    }
    out.SetBcd(CurrencyToBcd(scale, static_cast<TCurrency>(result)), scale);
  } catch (const fw::EConvertError&) {
    out.SetNull(kFldBcd);
    out.Scale = scale;
  }
}

int32_t Wrap32(int64_t value) { return static_cast<int32_t>(static_cast<uint32_t>(value)); }

void Arithmetic(uint8_t op, const TValueCell& left, const TValueCell& right, TValueCell& out) {
  TKind l = KindOf(left), r = KindOf(right);
  bool lNumber = l == TKind::Integer || l == TKind::Float || l == TKind::Bcd;
  bool rNumber = r == TKind::Integer || r == TKind::Float || r == TKind::Bcd;
  bool addSub = op == kOpAdd || op == kOpSubtract;

  if (lNumber && rNumber) {
    if (l == TKind::Float || r == TKind::Float) {
      double a = FloatOf(left), b = FloatOf(right);
      switch (op) {
        case kOpAdd: out.SetFloat(a + b); break;
        case kOpSubtract: out.SetFloat(a - b); break;
        case kOpMultiply: out.SetFloat(a * b); break;
        default:
          if (b == 0) out.SetNull(kFldFloat);
          else out.SetFloat(a / b);
          break;
      }
      return;
    }
    if (l == TKind::Bcd || r == TKind::Bcd) {
      BcdArithmetic(op, left, right, out);
      return;
    }
    int64_t a = IntegerOf(left), b = IntegerOf(right);
    switch (op) {
      case kOpAdd: out.SetInt32(Wrap32(a + b)); break;
      case kOpSubtract: out.SetInt32(Wrap32(a - b)); break;
      case kOpMultiply: out.SetInt32(Wrap32(a * b)); break;
      default:
        if (b == 0) out.SetNull(kFldFloat);
        else out.SetFloat(static_cast<double>(a) / static_cast<double>(b));
        break;
    }
    return;
  }
  if (!addSub) return;  // multiply and divide take numbers only

  bool add = op == kOpAdd;
  int64_t sign = add ? 1 : -1;
  if (l == TKind::Integer && (r == TKind::Date || r == TKind::Time)) {
    if (add) out.SetInt32(Wrap32(IntegerOf(left) + right.AsInt32()));
    return;
  }
  if (l == TKind::Integer && r == TKind::Timestamp) {
    if (add) out.SetFloat(right.AsFloat() + static_cast<double>(IntegerOf(left)) * kMsPerDay, kFldTimestamp);
    return;
  }
  if (l == TKind::Date && r == TKind::Integer) {
    out.SetInt32(Wrap32(left.AsInt32() + sign * IntegerOf(right)), kFldDate);
    return;
  }
  if (l == TKind::Date && r == TKind::Date) {
    if (!add) out.SetInt32(Wrap32(static_cast<int64_t>(left.AsInt32()) - right.AsInt32()));
    return;
  }
  if (l == TKind::Time && r == TKind::Integer) {
    out.SetInt32(Wrap32(left.AsInt32() + sign * IntegerOf(right)));
    return;
  }
  if (l == TKind::Time && r == TKind::Time) {
    if (!add) out.SetInt32(Wrap32(static_cast<int64_t>(left.AsInt32()) - right.AsInt32()));
    return;
  }
  if (l == TKind::Timestamp && r == TKind::Integer) {
    out.SetFloat(left.AsFloat() + static_cast<double>(sign * IntegerOf(right)) * kMsPerDay, kFldTimestamp);
    return;
  }
  if (l == TKind::Timestamp && !add) {
    int32_t day, ms;
    SplitTimestamp(left.AsFloat(), day, ms);
    if (r == TKind::Date) out.SetInt32(Wrap32(static_cast<int64_t>(day) - right.AsInt32()));
    else if (r == TKind::Time) out.SetInt32(Wrap32(static_cast<int64_t>(ms) - right.AsInt32()));
    else if (r == TKind::Timestamp) out.SetFloat(left.AsFloat() - right.AsFloat());
    return;
  }
  if (l == TKind::String && r == TKind::String && add) {
    std::string joined(left.AsString());
    joined += right.AsString();
    out.SetString(joined);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Value cell
// ---------------------------------------------------------------------------

std::string_view TValueCell::AsString() const {
  const auto* text = reinterpret_cast<const char*>(Value.data());
  const void* zero = std::memchr(text, 0, Value.size());
  size_t length = zero ? static_cast<size_t>(static_cast<const char*>(zero) - text) : Value.size();
  return {text, length};
}

void TValueCell::SetNull(uint8_t fieldType) {
  Value.fill(0);
  IsNull = true;
  FieldType = fieldType;
}

void TValueCell::SetBoolean(bool value) {
  Value.fill(0);
  StoreU16(Value.data(), value ? 0xFFFF : 0);
  IsNull = false;
  FieldType = kFldBoolean;
}

void TValueCell::SetInt16(int16_t value) {
  Value.fill(0);
  StoreI16(Value.data(), value);
  IsNull = false;
  FieldType = kFldInt16;
}

void TValueCell::SetUInt16(uint16_t value) {
  Value.fill(0);
  StoreU16(Value.data(), value);
  IsNull = false;
  FieldType = kFldUInt16;
}

void TValueCell::SetInt32(int32_t value, uint8_t fieldType) {
  Value.fill(0);
  StoreI32(Value.data(), value);
  IsNull = false;
  FieldType = fieldType;
}

void TValueCell::SetFloat(double value, uint8_t fieldType) {
  Value.fill(0);
  StoreF64(Value.data(), value);
  IsNull = false;
  FieldType = fieldType;
}

void TValueCell::SetBcd(int64_t stored, uint8_t scale) {
  Value.fill(0);
  StoreI64(Value.data(), stored);
  IsNull = false;
  FieldType = kFldBcd;
  Scale = scale;
}

void TValueCell::SetString(std::string_view text) {
  Value.fill(0);
  size_t length = text.size() < Value.size() - 1 ? text.size() : Value.size() - 1;
  std::memcpy(Value.data(), text.data(), length);
  IsNull = false;
  FieldType = kFldString;
}

// ---------------------------------------------------------------------------
// Operators
// ---------------------------------------------------------------------------

void ApplyUnary(uint8_t op, const TValueCell& operand, TValueCell& out) {
  switch (op) {
    case kOpIsNull:
      out.SetBoolean(IsNullOperand(operand));
      return;
    case kOpIsNotNull:
      out.SetBoolean(!IsNullOperand(operand));
      return;
    case kOpNot:
      if (operand.FieldType == kFldBoolean) out.SetBoolean(operand.AsUInt16() == 0);
      return;
    case kOpNegate:
    case kOpPlus: {
      bool negate = op == kOpNegate;
      switch (operand.FieldType) {
        case kFldInt32:
        case kFldDate:
        case kFldTime:
          out.SetInt32(negate ? Wrap32(-static_cast<int64_t>(operand.AsInt32())) : operand.AsInt32(),
                       operand.FieldType);
          break;
        case kFldInt16:
          out.SetInt16(negate ? static_cast<int16_t>(static_cast<uint16_t>(0) - operand.AsUInt16())
                              : operand.AsInt16());
          break;
        case kFldUInt16:
          out.SetUInt16(negate ? static_cast<uint16_t>(0 - operand.AsUInt16()) : operand.AsUInt16());
          break;
        case kFldFloat:
        case kFldTimestamp:
          out.SetFloat(negate ? -operand.AsFloat() : operand.AsFloat(), operand.FieldType);
          break;
        case kFldBcd:
          try {
            TCurrency value = BcdToCurrency(operand.AsInt64());
            out.SetBcd(CurrencyToBcd(operand.Scale, negate ? -value : value), operand.Scale);
          } catch (const fw::EConvertError&) {
            out.SetNull(kFldBcd);
            out.Scale = operand.Scale;
          }
          break;
        default:
          return;  // not a number: out stays as it was
      }
      out.IsNull = operand.IsNull;
      return;
    }
    default:
      return;
  }
}

void ApplyBinary(uint8_t op, const TValueCell& left, const TValueCell& right, uint16_t langId, uint16_t sortId,
                 TValueCell& out) {
  switch (op) {
    case kOpEqual:
    case kOpNotEqual: {
      bool equalOp = op == kOpEqual;
      if (left.IsNull != right.IsNull) {
        out.SetBoolean(!equalOp);
        return;
      }
      if (left.IsNull && right.IsNull) {
        out.SetBoolean(equalOp);
        return;
      }
      if (left.FieldType == kFldNone || right.FieldType == kFldNone) {
        const TValueCell& other = left.FieldType == kFldNone ? right : left;
        out.SetBoolean(IsNullOperand(other) == equalOp);
        return;
      }
      std::optional<int> order = CompareCells(left, right, langId, sortId, false);
      if (order) out.SetBoolean((*order == 0) == equalOp);
      return;
    }
    case kOpGreater:
    case kOpLess:
    case kOpGreaterEqual:
    case kOpLessEqual: {
      std::optional<int> order = CompareCells(left, right, langId, sortId, true);
      if (!order) return;
      int o = *order;
      bool result = op == kOpGreater ? o > 0 : op == kOpLess ? o < 0 : op == kOpGreaterEqual ? o >= 0 : o <= 0;
      out.SetBoolean(result);
      return;
    }
    case kOpAnd:
    case kOpOr:
      if (left.FieldType == kFldBoolean && right.FieldType == kFldBoolean) {
        bool a = left.AsBoolean(), b = right.AsBoolean();
        out.SetBoolean(op == kOpAnd ? (a && b) : (a || b));
      }
      return;
    case kOpAdd:
    case kOpSubtract:
    case kOpMultiply:
    case kOpDivide:
      Arithmetic(op, left, right, out);
      return;
    default:
      return;
  }
}

void CompareStringNode(uint8_t op, uint8_t partialLength, bool caseInsensitive, uint16_t langId, uint16_t sortId,
                       TValueCell& out, const TValueCell& right, const TValueCell& left) {
  if (op != kOpEqual && op != kOpNotEqual) return;
  bool equalOp = op == kOpEqual;
  if (left.IsNull != right.IsNull) {
    out.SetBoolean(!equalOp);
    return;
  }
  if (left.FieldType == kFldString && right.FieldType == kFldString) {
    bool equal = CompareStrings(langId, sortId, left.AsString(), caseInsensitive, partialLength,
                                right.AsString()) == 0;
    out.SetBoolean(equal == equalOp);
    return;
  }
  if (left.FieldType == kFldNone || right.FieldType == kFldNone) {
    const TValueCell& other = left.FieldType == kFldNone ? right : left;
    out.SetBoolean(IsNullOperand(other) == equalOp);
  }
}

}  // namespace tabula
