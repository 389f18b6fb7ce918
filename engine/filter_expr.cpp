#include "tabula/filter_expr.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

#include "tabula/engine_error.h"
#include "tabula/field_types.h"
#include "tabula/field_values.h"
#include "tabula/locale.h"

namespace tabula {

namespace {

// Reads the buffer with every offset checked; any failure marks the
// conversion invalid and unwinds.
class TBufferReader {
 public:
  TBufferReader(const uint8_t* buffer, size_t size, const TFilterFieldLookup& lookup)
      : buffer_(buffer), size_(size), lookup_(lookup) {}

  TFilterConversion Convert() {
    TFilterConversion result;
    if (buffer_ == nullptr || size_ < kFilterHeaderSize) return Invalid();
    const size_t total = LoadU16(buffer_ + 2);
    nodeStart_ = LoadU16(buffer_ + 6);
    literalStart_ = LoadU16(buffer_ + 8);
    if (total > size_ || total < kFilterHeaderSize) return Invalid();
    if (nodeStart_ < kFilterHeaderSize || literalStart_ < nodeStart_ || literalStart_ > total) return Invalid();
    end_ = total;
    if (!ReadNode(0, 0, result.Root)) {
      if (code_ == 0) code_ = kErrFilterExpression;
      result.Root.reset();
      result.Code = code_;
      result.FieldName = fieldName_;
      return result;
    }
    return result;
  }

 private:
  static TFilterConversion Invalid() {
    TFilterConversion r;
    r.Code = kErrFilterExpression;
    return r;
  }

  // The node at `offset` of the node area; `minOffset` is the first offset an
  // operand of the calling node may have.
  bool ReadNode(size_t offset, int depth, std::unique_ptr<TFilterNode>& out) {
    if (depth > kMaxFilterDepth) return false;
    const size_t at = nodeStart_ + offset;
    if (at + 8 > literalStart_) return false;
    const uint32_t nodeClass = LoadU32(buffer_ + at);
    const uint32_t op = LoadU32(buffer_ + at + 4);
    auto node = std::make_unique<TFilterNode>();
    node->NodeClass = static_cast<uint8_t>(nodeClass);
    node->Operator = static_cast<uint8_t>(op);
    if (op > 0xFF) return false;
    switch (nodeClass) {
      case kNodeUnary: {
        if (!Fits(at, kUnaryNodeSize)) return false;
        if (op != kOpIsNull && op != kOpIsNotNull && op != kOpNot && op != kOpNegate && op != kOpPlus) return false;
        if (!ReadOperand(offset, kUnaryNodeSize, LoadU16(buffer_ + at + 8), depth, node->Left)) return false;
        break;
      }
      case kNodeBinary: {
        if (!Fits(at, kBinaryNodeSize)) return false;
        const bool known = (op >= kOpEqual && op <= kOpLessEqual) || op == kOpAnd || op == kOpOr ||
                           (op >= kOpAdd && op <= kOpDivide);
        if (!known) return false;
        if (!ReadOperand(offset, kBinaryNodeSize, LoadU16(buffer_ + at + 8), depth, node->Left)) return false;
        if (!ReadOperand(offset, kBinaryNodeSize, LoadU16(buffer_ + at + 10), depth, node->Right)) return false;
        break;
      }
      case kNodeCompare: {
        if (!Fits(at, kCompareNodeSize)) return false;
        if (op != kOpEqual && op != kOpNotEqual) return false;
        node->CaseInsensitive = LoadU16(buffer_ + at + 8) != 0;
        const uint16_t partial = LoadU16(buffer_ + at + 10);
        node->PartialLength = static_cast<uint8_t>(std::min<uint16_t>(partial, 255));
        if (!ReadOperand(offset, kCompareNodeSize, LoadU16(buffer_ + at + 12), depth, node->Left)) return false;
        if (!ReadOperand(offset, kCompareNodeSize, LoadU16(buffer_ + at + 14), depth, node->Right)) return false;
        break;
      }
      case kNodeField: {
        if (!Fits(at, kFieldNodeSize) || op != kOpField) return false;
        const size_t name = literalStart_ + LoadU16(buffer_ + at + 10);
        if (name >= end_) return false;
        const auto* first = buffer_ + name;
        const void* zero = std::memchr(first, 0, end_ - name);
        if (zero == nullptr) return false;
        node->FieldName.assign(reinterpret_cast<const char*>(first),
                               static_cast<const uint8_t*>(zero) - first);
        if (!lookup_ || !lookup_(node->FieldName, node->Field)) {
          code_ = kErrInvalidField;
          fieldName_ = node->FieldName;
          return false;
        }
        break;
      }
      case kNodeConstant: {
        if (!Fits(at, kConstantNodeSize) || op != kOpConstant) return false;
        const uint16_t type = LoadU16(buffer_ + at + 8);
        const uint16_t size = LoadU16(buffer_ + at + 10);
        const size_t value = literalStart_ + LoadU16(buffer_ + at + 12);
        if (type > kFldUInt16 || value + size > end_) return false;
        if (type == kFldString ? size < 1 : size < FieldDataSize(static_cast<uint8_t>(type), 0)) return false;
        node->ConstType = static_cast<uint8_t>(type);
        node->ConstSize = size;
        node->ConstValue.assign(buffer_ + value, buffer_ + value + size);
        node->Blank = type == kFldString && node->ConstValue[0] == 0;
        break;
      }
      default:
        return false;
    }
    out = std::move(node);
    return true;
  }

  // An operand must lie after the whole node that names it.
  bool ReadOperand(size_t nodeOffset, size_t nodeSize, uint16_t operand, int depth,
                   std::unique_ptr<TFilterNode>& out) {
    if (operand < nodeOffset + nodeSize) return false;
    return ReadNode(operand, depth + 1, out);
  }

  bool Fits(size_t at, size_t nodeSize) const { return at + nodeSize <= literalStart_; }

  const uint8_t* buffer_;
  size_t size_;
  const TFilterFieldLookup& lookup_;
  size_t nodeStart_ = 0;
  size_t literalStart_ = 0;
  size_t end_ = 0;
  int code_ = 0;
  std::string fieldName_;
};

bool IsOrdering(uint8_t op) { return op >= kOpGreater && op <= kOpLessEqual; }

// A constant that can be encoded as a key value of the field: the same
// type, enough bytes, and for BCD the field's scale.
bool ConstantMatchesField(const TFilterNode& constant, const TFilterFieldInfo& field) {
  if (!constant.IsConstant() || constant.ConstType != field.FieldType) return false;
  if (constant.ConstType == kFldString) return !constant.ConstValue.empty();
  if (constant.ConstValue.size() < static_cast<size_t>(FieldDataSize(field.FieldType, 0))) return false;
  if (constant.ConstType == kFldBcd) {
    const int scale = field.Scale > 4 ? 4 : field.Scale;
    return BcdScale(LoadI64(constant.ConstValue.data())) == scale;
  }
  return true;
}

uint8_t Level(TFilterNode& node, const TIndexFitFunction& fit, bool localeOrderedStrings) {
  node.IndexSlot = -1;
  uint8_t level = kOptRecord;
  switch (node.NodeClass) {
    case kNodeUnary:
      if (!node.Left) break;
      if (node.Operator == kOpIsNull || node.Operator == kOpIsNotNull) {
        Level(*node.Left, fit, localeOrderedStrings);
        if (node.Left->IsField() && fit) {
          node.IndexSlot = fit(node.Left->Field, false, true);
          if (node.IndexSlot >= 0) level = kOptIndex;
        }
      } else if (node.Operator == kOpNot) {
        level = Level(*node.Left, fit, localeOrderedStrings);
      } else {
        Level(*node.Left, fit, localeOrderedStrings);
      }
      break;
    case kNodeBinary: {
      if (!node.Left || !node.Right) break;
      const uint8_t left = Level(*node.Left, fit, localeOrderedStrings);
      const uint8_t right = Level(*node.Right, fit, localeOrderedStrings);
      if (node.Operator == kOpAnd) {
        if (left == kOptIndex && right == kOptIndex) {
          level = kOptIndex;
        } else if (left == kOptRecord && right == kOptRecord) {
          level = kOptRecord;
        } else {
          level = kOptPartly;
          if (left > right) std::swap(node.Left, node.Right);
        }
      } else if (node.Operator == kOpOr) {
        level = left == kOptIndex && right == kOptIndex ? kOptIndex : kOptRecord;
      } else if (node.Operator >= kOpEqual && node.Operator <= kOpLessEqual) {
        const TFilterNode& f = *node.Left;
        if (f.IsField() && ConstantMatchesField(*node.Right, f.Field) && fit &&
            !(localeOrderedStrings && f.Field.FieldType == kFldString && IsOrdering(node.Operator))) {
          node.IndexSlot = fit(f.Field, false, false);
          if (node.IndexSlot >= 0) level = kOptIndex;
        }
      }
      break;
    }
    case kNodeCompare: {
      if (!node.Left || !node.Right) break;
      Level(*node.Left, fit, localeOrderedStrings);
      Level(*node.Right, fit, localeOrderedStrings);
      const TFilterNode& f = *node.Left;
      if (f.IsField() && f.Field.FieldType == kFldString && ConstantMatchesField(*node.Right, f.Field) && fit &&
          !(localeOrderedStrings && node.PartialLength != 0)) {
        node.IndexSlot = fit(f.Field, node.CaseInsensitive, false);
        if (node.IndexSlot >= 0) level = kOptIndex;
      }
      break;
    }
    default:
      break;
  }
  node.OptLevel = level;
  return level;
}

}  // namespace

TFilterConversion ConvertFilterBuffer(const uint8_t* buffer, size_t size, const TFilterFieldLookup& lookup) {
  return TBufferReader(buffer, size, lookup).Convert();
}

uint8_t AssignOptimisationLevels(TFilterNode& root, const TIndexFitFunction& fit, bool localeOrderedStrings) {
  return Level(root, fit, localeOrderedStrings);
}

void FieldCell(const TFilterFieldInfo& field, const uint8_t* record, TValueCell& out) {
  const bool autoInc = IsAutoIncrement(field.FieldType, field.SubType);
  if (!autoInc && record[field.Offset] == 0) {
    out.SetNull(field.FieldType);
    out.Scale = field.Scale;
    return;
  }
  const uint8_t* data = autoInc ? record + field.Offset : record + field.Offset + 1;
  switch (field.FieldType) {
    case kFldString: {
      const size_t width = std::min<size_t>(field.Width, kMaxStringValue - 1);
      const void* zero = std::memchr(data, 0, width);
      const size_t length = zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - data) : width;
      out.SetString(std::string_view(reinterpret_cast<const char*>(data), length));
      break;
    }
    case kFldDate:
    case kFldTime:
    case kFldInt32:
      out.SetInt32(LoadI32(data), field.FieldType);
      break;
    case kFldInt16:
      out.SetInt16(LoadI16(data));
      break;
    case kFldUInt16:
      out.SetUInt16(LoadU16(data));
      break;
    case kFldBoolean:
      out.SetUInt16(LoadU16(data));
      out.FieldType = kFldBoolean;
      break;
    case kFldFloat:
    case kFldTimestamp:
      out.SetFloat(LoadF64(data), field.FieldType);
      break;
    case kFldBcd:
      out.SetBcd(LoadI64(data), field.Scale);
      break;
    default: {
      out.SetNull(field.FieldType);
      out.IsNull = false;
      std::memcpy(out.Value.data(), data, std::min<size_t>(field.Width, kMaxStringValue));
      break;
    }
  }
}

void ConstantCell(const TFilterNode& node, TValueCell& out) {
  // Fixed-width values are read from a zero-padded copy, so a short literal
  // of a tree built elsewhere never reads past its bytes.
  uint8_t fixed[8] = {};
  std::memcpy(fixed, node.ConstValue.data(), std::min<size_t>(node.ConstValue.size(), sizeof fixed));
  switch (node.ConstType) {
    case kFldNone:
      out.SetNull(kFldNone);
      break;
    case kFldString: {
      const size_t limit = std::min<size_t>(node.ConstValue.size(), kMaxStringValue - 1);
      const auto* first = node.ConstValue.data();
      const void* zero = limit ? std::memchr(first, 0, limit) : nullptr;
      const size_t length = zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - first) : limit;
      out.SetString(std::string_view(reinterpret_cast<const char*>(first), length));
      break;
    }
    case kFldDate:
    case kFldTime:
    case kFldInt32:
      out.SetInt32(LoadI32(fixed), node.ConstType);
      break;
    case kFldInt16:
      out.SetInt16(LoadI16(fixed));
      break;
    case kFldUInt16:
      out.SetUInt16(LoadU16(fixed));
      break;
    case kFldBoolean:
      out.SetUInt16(LoadU16(fixed));
      out.FieldType = kFldBoolean;
      break;
    case kFldFloat:
    case kFldTimestamp:
      out.SetFloat(LoadF64(fixed), node.ConstType);
      break;
    case kFldBcd: {
      const int64_t stored = LoadI64(fixed);
      out.SetBcd(stored, static_cast<uint8_t>(BcdScale(stored)));
      break;
    }
    default:
      out.SetNull(node.ConstType);
      out.IsNull = false;
      std::memcpy(out.Value.data(), node.ConstValue.data(), std::min<size_t>(node.ConstValue.size(), kMaxStringValue));
      break;
  }
}

namespace {

// The text of a string operand as FieldCell / ConstantCell would hold it
// (up to the first zero, at most the value area less its terminator); no
// text for a null field.
std::optional<std::string_view> TextOf(const TFilterNode& node, const uint8_t* record) {
  const uint8_t* data;
  size_t width;
  if (node.NodeClass == kNodeField) {
    if (record[node.Field.Offset] == 0) return std::nullopt;
    data = record + node.Field.Offset + 1;
    width = std::min<size_t>(node.Field.Width, kMaxStringValue - 1);
  } else {
    data = node.ConstValue.data();
    width = std::min<size_t>(node.ConstValue.size(), kMaxStringValue - 1);
  }
  const void* zero = width ? std::memchr(data, 0, width) : nullptr;
  const size_t length = zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - data) : width;
  return std::string_view(reinterpret_cast<const char*>(data), length);
}

bool IsStringOperand(const TFilterNode* node) {
  if (node == nullptr) return false;
  if (node->NodeClass == kNodeField) return node->Field.FieldType == kFldString;
  return node->NodeClass == kNodeConstant && node->ConstType == kFldString;
}

// A comparison between string fields and constants (the common record
// filter: a field against a text), answered from the record's bytes
// without building value cells: the answer ApplyBinary gives them. None
// for any other node.
std::optional<bool> CompareTexts(const TFilterNode& node, const uint8_t* record, uint16_t langId, uint16_t sortId) {
  if (node.NodeClass != kNodeBinary || node.Operator < kOpEqual || node.Operator > kOpLessEqual ||
      !IsStringOperand(node.Left.get()) || !IsStringOperand(node.Right.get()))
    return std::nullopt;
  const std::optional<std::string_view> left = TextOf(*node.Left, record);
  const std::optional<std::string_view> right = TextOf(*node.Right, record);
  const bool equalOp = node.Operator == kOpEqual;
  if (!left || !right) {
    // Ordering a null is false; = and <> see null only as equal to null.
    if (node.Operator != kOpEqual && node.Operator != kOpNotEqual) return false;
    return (!left && !right) == equalOp;
  }
  // Both texts end before any zero byte already.
  const TLanguageDriver* driver = langId != 0 ? TLanguageDriver::Find(langId, sortId) : nullptr;
  if (driver != nullptr && (equalOp || node.Operator == kOpNotEqual) && driver->SurelyUnequal(*left, *right))
    return !equalOp;
  const int order = driver != nullptr ? driver->CompareWhole(*left, *right, false)
                                      : CompareStrings(langId, sortId, *left, false, 0, *right);
  switch (node.Operator) {
    case kOpEqual:
    case kOpNotEqual: return (order == 0) == equalOp;
    case kOpGreater: return order > 0;
    case kOpLess: return order < 0;
    case kOpGreaterEqual: return order >= 0;
    default: return order <= 0;
  }
}

}  // namespace

void EvaluateFilterNode(const TFilterNode& node, const uint8_t* record, uint16_t langId, uint16_t sortId,
                        TValueCell& out) {
  if (const std::optional<bool> answer = CompareTexts(node, record, langId, sortId)) {
    out.SetBoolean(*answer);
    return;
  }
  switch (node.NodeClass) {
    case kNodeField:
      FieldCell(node.Field, record, out);
      return;
    case kNodeConstant:
      ConstantCell(node, out);
      return;
    default:
      break;
  }
  out.SetBoolean(false);
  switch (node.NodeClass) {
    case kNodeUnary: {
      if (!node.Left) return;
      TValueCell operand;
      EvaluateFilterNode(*node.Left, record, langId, sortId, operand);
      ApplyUnary(node.Operator, operand, out);
      return;
    }
    case kNodeBinary: {
      if (!node.Right) return;
      TValueCell right;
      EvaluateFilterNode(*node.Right, record, langId, sortId, right);
      // And and Or look at the right operand first and skip the left one
      // when the right one decides.
      if (node.Operator == kOpAnd || node.Operator == kOpOr) {
        const bool rightTrue = right.AsBoolean();
        if (node.Operator == kOpAnd ? !rightTrue : rightTrue) {
          out.SetBoolean(rightTrue);
          return;
        }
        if (!node.Left) return;
        TValueCell left;
        EvaluateFilterNode(*node.Left, record, langId, sortId, left);
        out.SetBoolean(left.AsBoolean());
        return;
      }
      if (!node.Left) return;
      TValueCell left;
      EvaluateFilterNode(*node.Left, record, langId, sortId, left);
      // An ordering comparison with a null value is false: a null field has
      // no value to order (its key, presence 0, lies outside every bound an
      // index scan uses for these operators, and the two must agree).
      if (node.Operator >= kOpGreater && node.Operator <= kOpLessEqual && (left.IsNull || right.IsNull)) return;
      ApplyBinary(node.Operator, left, right, langId, sortId, out);
      return;
    }
    case kNodeCompare: {
      if (!node.Left || !node.Right) return;
      TValueCell left;
      TValueCell right;
      EvaluateFilterNode(*node.Left, record, langId, sortId, left);
      EvaluateFilterNode(*node.Right, record, langId, sortId, right);
      CompareStringNode(node.Operator, node.PartialLength, node.CaseInsensitive, langId, sortId, out, right, left);
      return;
    }
    default:
      return;
  }
}

bool EvaluateFilter(const TFilterNode& root, const uint8_t* record, uint16_t langId, uint16_t sortId) {
  if (const std::optional<bool> answer = CompareTexts(root, record, langId, sortId)) return *answer;
  TValueCell result;
  EvaluateFilterNode(root, record, langId, sortId, result);
  return result.AsUInt16() != 0;
}

std::unique_ptr<TFilterNode> CopyFilterTree(const TFilterNode& node) {
  auto copy = std::make_unique<TFilterNode>();
  copy->NodeClass = node.NodeClass;
  copy->Operator = node.Operator;
  copy->FieldName = node.FieldName;
  copy->Field = node.Field;
  copy->ConstType = node.ConstType;
  copy->ConstSize = node.ConstSize;
  copy->ConstValue = node.ConstValue;
  copy->Blank = node.Blank;
  copy->CaseInsensitive = node.CaseInsensitive;
  copy->PartialLength = node.PartialLength;
  copy->OptLevel = node.OptLevel;
  copy->IndexSlot = node.IndexSlot;
  if (node.Left) copy->Left = CopyFilterTree(*node.Left);
  if (node.Right) copy->Right = CopyFilterTree(*node.Right);
  return copy;
}

}  // namespace tabula
