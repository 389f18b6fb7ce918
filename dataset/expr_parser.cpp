#include "dataset/expr_parser.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>

#include "tabula/field_types.h"
#include "tabula/field_values.h"
#include "tabula/filter_expr.h"
#include "tabula/locale.h"
#include "tabula/operators.h"
#include "framework/core/exceptions.h"

namespace tabula::db {

namespace {

// Messages.
constexpr const char* kMsgInvalidCharacter = "Invalid filter expression character: '%s'";
constexpr const char* kMsgUnterminatedName = "Unterminated field name";
constexpr const char* kMsgUnterminatedString = "Unterminated string constant";
constexpr const char* kMsgExpressionExpected = "Expression expected but %s found";
constexpr const char* kMsgParenExpected = "')' expected but %s found";
constexpr const char* kMsgTermination = "Filter expression incorrectly terminated";
constexpr const char* kMsgNotBoolean = "Field '%s' is not of type Boolean";
constexpr const char* kMsgCannotUse = "Field '%s' cannot be used in a filter expression";
constexpr const char* kMsgNullOnly = "NULL only allowed with '=' and '<>'";
constexpr const char* kMsgOutOfRange = "Constant out of range";
constexpr const char* kMsgIncorrect = "Incorrectly formed filter expression";
constexpr const char* kMsgFieldNotFound = "Field '%s' not found";
// A text nested deeper, or with a buffer larger, than the engine takes.
constexpr const char* kMsgTooComplex = "Filter expression too complex";

constexpr size_t kMaxStringConstant = 256;  // characters a string constant keeps
constexpr size_t kMaxConstantValue = 255;   // characters a string constant's value keeps
constexpr int kMaxNesting = 256;            // parentheses and NOTs inside each other

[[noreturn]] void Fail(const char* message) { throw fw::EDatabaseError(message); }
[[noreturn]] void Fail(const char* pattern, const std::string& arg) {
  throw fw::EDatabaseError(fw::FormatMessage(pattern, {arg}));
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto x = static_cast<unsigned char>(a[i]);
    auto y = static_cast<unsigned char>(b[i]);
    if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

// ---------------------------------------------------------------- tokens

enum class TToken : uint8_t {
  kEnd,
  kSymbol,   // identifier
  kName,     // [bracketed field name]
  kString,   // 'string constant'
  kNumber,
  kEqual,
  kNotEqual,
  kLess,
  kGreater,
  kLessEqual,
  kGreaterEqual,
  kLeftParen,
  kRightParen,
};

bool IsIdentStart(uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (c >= 0x81 && c <= 0xFE);
}
bool IsIdentPart(uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}
bool IsNumberPart(uint8_t c) {
  return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'E' || c == 'e';
}

class TParser {
 public:
  TParser(const std::string& text, const TFilterFieldSource& source) : source_(source) {
    // The text ends at its first zero byte.
    const size_t zero = text.find('\0');
    text_ = std::string_view(text).substr(0, zero);
    Next();
  }

  std::unique_ptr<TExprNode> Parse() {
    auto root = ParseOr();
    if (token_ != TToken::kEnd) Fail(kMsgTermination);
    return root;
  }

 private:
  uint8_t At(size_t i) const { return i < text_.size() ? static_cast<uint8_t>(text_[i]) : 0; }

  void Next() {
    while (pos_ < text_.size() && At(pos_) <= ' ') ++pos_;
    tokenStart_ = pos_;
    value_.clear();
    if (pos_ >= text_.size()) {
      token_ = TToken::kEnd;
      return;
    }
    const uint8_t c = At(pos_);
    if (IsIdentStart(c)) {
      ++pos_;
      while (pos_ < text_.size() && IsIdentPart(At(pos_))) ++pos_;
      value_ = std::string(text_.substr(tokenStart_, pos_ - tokenStart_));
      token_ = TToken::kSymbol;
      return;
    }
    if (c == '[') {
      const size_t close = text_.find(']', pos_ + 1);
      if (close == std::string_view::npos) Fail(kMsgUnterminatedName);
      value_ = std::string(text_.substr(pos_ + 1, close - pos_ - 1));
      pos_ = close + 1;
      token_ = TToken::kName;
      return;
    }
    if (c == '\'') {
      ++pos_;
      for (;;) {
        if (pos_ >= text_.size()) Fail(kMsgUnterminatedString);
        const char ch = text_[pos_++];
        if (ch == '\'') {
          if (pos_ < text_.size() && text_[pos_] == '\'') {
            ++pos_;
          } else {
            break;
          }
        }
        if (value_.size() < kMaxStringConstant) value_.push_back(ch);
      }
      token_ = TToken::kString;
      return;
    }
    if (c == '-' || (c >= '0' && c <= '9')) {
      ++pos_;
      while (pos_ < text_.size() && IsNumberPart(At(pos_))) ++pos_;
      value_ = std::string(text_.substr(tokenStart_, pos_ - tokenStart_));
      token_ = TToken::kNumber;
      return;
    }
    ++pos_;
    switch (c) {
      case '=':
        token_ = TToken::kEqual;
        return;
      case '(':
        token_ = TToken::kLeftParen;
        return;
      case ')':
        token_ = TToken::kRightParen;
        return;
      case '<':
        if (At(pos_) == '>') {
          ++pos_;
          token_ = TToken::kNotEqual;
        } else if (At(pos_) == '=') {
          ++pos_;
          token_ = TToken::kLessEqual;
        } else {
          token_ = TToken::kLess;
        }
        return;
      case '>':
        if (At(pos_) == '=') {
          ++pos_;
          token_ = TToken::kGreaterEqual;
        } else {
          token_ = TToken::kGreater;
        }
        return;
      default:
        Fail(kMsgInvalidCharacter, std::string(1, static_cast<char>(c)));
    }
  }

  // The current token as messages show it.
  std::string TokenName() const {
    if (token_ == TToken::kEnd) return "nothing";
    return "'" + std::string(text_.substr(tokenStart_, pos_ - tokenStart_)) + "'";
  }

  bool IsKeyword(const char* word) const { return token_ == TToken::kSymbol && SameText(value_, word); }

  void Enter() {
    if (++nesting_ > kMaxNesting) Fail(kMsgTooComplex);
  }

  std::unique_ptr<TExprNode> Operator(TExprOperator op, std::unique_ptr<TExprNode> left,
                                      std::unique_ptr<TExprNode> right) {
    auto node = std::make_unique<TExprNode>();
    node->Kind = TExprNodeKind::kOperator;
    node->Operator = op;
    node->Left = std::move(left);
    node->Right = std::move(right);
    return node;
  }

  std::unique_ptr<TExprNode> ParseOr() {
    auto node = ParseAnd();
    int chain = 0;
    while (IsKeyword("OR")) {
      if (++chain > kMaxFilterDepth) Fail(kMsgTooComplex);
      Next();
      node = Operator(TExprOperator::kOr, std::move(node), ParseAnd());
    }
    return node;
  }

  std::unique_ptr<TExprNode> ParseAnd() {
    auto node = ParseNot();
    int chain = 0;
    while (IsKeyword("AND")) {
      if (++chain > kMaxFilterDepth) Fail(kMsgTooComplex);
      Next();
      node = Operator(TExprOperator::kAnd, std::move(node), ParseNot());
    }
    return node;
  }

  std::unique_ptr<TExprNode> ParseNot() {
    if (IsKeyword("NOT")) {
      Enter();
      Next();
      auto node = Operator(TExprOperator::kNot, ParseComparison(), nullptr);
      --nesting_;
      return node;
    }
    return ParseComparison();
  }

  std::unique_ptr<TExprNode> ParseComparison() {
    auto left = ParsePrimary();
    TExprOperator op = TExprOperator::kNone;
    switch (token_) {
      case TToken::kEqual: op = TExprOperator::kEqual; break;
      case TToken::kNotEqual: op = TExprOperator::kNotEqual; break;
      case TToken::kGreater: op = TExprOperator::kGreater; break;
      case TToken::kLess: op = TExprOperator::kLess; break;
      case TToken::kGreaterEqual: op = TExprOperator::kGreaterEqual; break;
      case TToken::kLessEqual: op = TExprOperator::kLessEqual; break;
      default: return left;
    }
    Next();
    return Operator(op, std::move(left), ParsePrimary());
  }

  std::unique_ptr<TExprNode> ParsePrimary() {
    auto node = std::make_unique<TExprNode>();
    switch (token_) {
      case TToken::kSymbol:
        if (IsKeyword("AND") || IsKeyword("OR") || IsKeyword("NOT")) Fail(kMsgExpressionExpected, TokenName());
        if (SameText(value_, "NULL")) {
          node->ConstantKind = TConstantKind::kNull;
        } else if (SameText(value_, kTrueText) || SameText(value_, kFalseText)) {
          node->ConstantKind = TConstantKind::kBoolean;
          node->BooleanValue = SameText(value_, kTrueText);
        } else {
          return FieldNode();
        }
        node->Text = value_;
        break;
      case TToken::kName:
        return FieldNode();
      case TToken::kString:
        node->ConstantKind = TConstantKind::kString;
        node->Text = value_;
        break;
      case TToken::kNumber:
        node->ConstantKind = TConstantKind::kNumber;
        node->Text = value_;
        break;
      case TToken::kLeftParen: {
        Enter();
        Next();
        auto inner = ParseOr();
        if (token_ != TToken::kRightParen) Fail(kMsgParenExpected, TokenName());
        --nesting_;
        Next();
        return inner;
      }
      default:
        Fail(kMsgExpressionExpected, TokenName());
    }
    node->Kind = TExprNodeKind::kConstant;
    Next();
    return node;
  }

  std::unique_ptr<TExprNode> FieldNode() {
    const TFilterField* field = source_.FindFilterField(value_);
    if (field == nullptr) Fail(kMsgFieldNotFound, value_);
    auto node = std::make_unique<TExprNode>();
    node->Kind = TExprNodeKind::kField;
    node->Field = field;
    Next();
    return node;
  }

  const TFilterFieldSource& source_;
  std::string_view text_;
  size_t pos_ = 0;
  size_t tokenStart_ = 0;
  TToken token_ = TToken::kEnd;
  std::string value_;
  int nesting_ = 0;
};

// ---------------------------------------------------------------- the buffer

class TBufferBuilder {
 public:
  TBufferBuilder(const TFilterFieldSource& source, uint32_t options) : source_(source), options_(options) {}

  std::vector<uint8_t> Build(const TExprNode& root) {
    PutCondition(root, 0);
    const size_t total = kFilterHeaderSize + nodes_.size() + literals_.size();
    if (total > 0xFFFF) Fail(kMsgTooComplex);
    std::vector<uint8_t> buffer(total, 0);
    StoreU16(buffer.data() + 0, 0);
    StoreU16(buffer.data() + 2, static_cast<uint16_t>(total));
    StoreU16(buffer.data() + 4, kFilterUncountedNodes);
    StoreU16(buffer.data() + 6, static_cast<uint16_t>(kFilterHeaderSize));
    StoreU16(buffer.data() + 8, static_cast<uint16_t>(kFilterHeaderSize + nodes_.size()));
    std::memcpy(buffer.data() + kFilterHeaderSize, nodes_.data(), nodes_.size());
    std::memcpy(buffer.data() + kFilterHeaderSize + nodes_.size(), literals_.data(), literals_.size());
    return buffer;
  }

 private:
  // ---- raw node and literal areas ----

  size_t NewNode(uint8_t nodeClass, uint8_t op, size_t size) {
    const size_t at = nodes_.size();
    if (at + size > 0xFFFF) Fail(kMsgTooComplex);
    nodes_.resize(at + size, 0);
    StoreU32(nodes_.data() + at, nodeClass);
    StoreU32(nodes_.data() + at + 4, op);
    return at;
  }
  void SetOperand(size_t node, size_t index, size_t value) {
    StoreU16(nodes_.data() + node + 8 + 2 * index, static_cast<uint16_t>(value));
  }
  size_t AddLiteral(const void* bytes, size_t size) {
    const size_t at = literals_.size();
    if (at > 0xFFFF) Fail(kMsgTooComplex);
    literals_.insert(literals_.end(), static_cast<const uint8_t*>(bytes), static_cast<const uint8_t*>(bytes) + size);
    return at;
  }

  size_t PutField(const TFilterField& field) {
    const size_t node = NewNode(kNodeField, kOpField, kFieldNodeSize);
    SetOperand(node, 0, static_cast<uint16_t>(field.FieldNo));
    const std::string name = source_.ToTableCharset(field.Name);
    const size_t literal = AddLiteral(name.c_str(), name.size() + 1);
    SetOperand(node, 1, literal);
    return node;
  }

  size_t PutConstant(uint8_t type, const void* value, size_t size) {
    const size_t node = NewNode(kNodeConstant, kOpConstant, kConstantNodeSize);
    SetOperand(node, 0, type);
    SetOperand(node, 1, size);
    SetOperand(node, 2, AddLiteral(value, size));
    return node;
  }

  size_t PutStringConstant(const std::string& text) {
    std::string value = source_.ToTableCharset(text.substr(0, kMaxConstantValue));
    return PutConstant(kFldString, value.c_str(), value.size() + 1);
  }

  // ---- conditions ----

  static void CheckDepth(int depth) {
    if (depth >= kMaxFilterDepth) Fail(kMsgTooComplex);
  }

  static bool Usable(const TFilterField& field) {
    return field.Kind == TFilterFieldKind::kData || field.Kind == TFilterFieldKind::kInternalCalc;
  }

  // A node standing where a condition is expected.
  size_t PutCondition(const TExprNode& node, int depth) {
    CheckDepth(depth);
    switch (node.Kind) {
      case TExprNodeKind::kField: {
        const TFilterField& field = *node.Field;
        if (field.DataType != TFilterDataType::kBoolean) Fail(kMsgNotBoolean, field.Name);
        if (!Usable(field)) Fail(kMsgCannotUse, field.Name);
        const size_t result = NewNode(kNodeBinary, kOpEqual, kBinaryNodeSize);
        SetOperand(result, 0, PutField(field));
        uint8_t value[2];
        StoreI16(value, -1);
        SetOperand(result, 1, PutConstant(kFldBoolean, value, 2));
        return result;
      }
      case TExprNodeKind::kConstant:
        Fail(kMsgIncorrect);
      case TExprNodeKind::kOperator:
        break;
    }
    switch (node.Operator) {
      case TExprOperator::kAnd:
      case TExprOperator::kOr: {
        const size_t result =
            NewNode(kNodeBinary, node.Operator == TExprOperator::kAnd ? kOpAnd : kOpOr, kBinaryNodeSize);
        SetOperand(result, 0, PutCondition(*node.Left, depth + 1));
        SetOperand(result, 1, PutCondition(*node.Right, depth + 1));
        return result;
      }
      case TExprOperator::kNot: {
        const size_t result = NewNode(kNodeUnary, kOpNot, kUnaryNodeSize);
        SetOperand(result, 0, PutCondition(*node.Left, depth + 1));
        return result;
      }
      default:
        return PutComparison(node);
    }
  }

  static uint8_t OperatorCode(TExprOperator op) {
    switch (op) {
      case TExprOperator::kEqual: return kOpEqual;
      case TExprOperator::kNotEqual: return kOpNotEqual;
      case TExprOperator::kGreater: return kOpGreater;
      case TExprOperator::kLess: return kOpLess;
      case TExprOperator::kGreaterEqual: return kOpGreaterEqual;
      case TExprOperator::kLessEqual: return kOpLessEqual;
      default: return 0;
    }
  }

  static uint8_t Mirror(uint8_t op) {
    switch (op) {
      case kOpGreater: return kOpLess;
      case kOpLess: return kOpGreater;
      case kOpGreaterEqual: return kOpLessEqual;
      case kOpLessEqual: return kOpGreaterEqual;
      default: return op;
    }
  }

  static bool IsField(const TExprNode* node) { return node != nullptr && node->Kind == TExprNodeKind::kField; }

  size_t PutComparison(const TExprNode& node) {
    uint8_t op = OperatorCode(node.Operator);
    const TExprNode* left = node.Left.get();
    const TExprNode* right = node.Right.get();
    if (!IsField(left) && IsField(right)) {
      std::swap(left, right);
      op = Mirror(op);
    }
    if (!IsField(left) || right == nullptr) Fail(kMsgIncorrect);
    const TFilterField& field = *left->Field;
    if (!Usable(field)) Fail(kMsgCannotUse, field.Name);

    if (IsField(right)) {
      const TFilterField& other = *right->Field;
      if (!Usable(other) || other.DataType == TFilterDataType::kOther) Fail(kMsgCannotUse, other.Name);
      if (field.DataType == TFilterDataType::kOther) Fail(kMsgCannotUse, field.Name);
      const size_t result = NewNode(kNodeBinary, op, kBinaryNodeSize);
      SetOperand(result, 0, PutField(field));
      SetOperand(result, 1, PutField(other));
      return result;
    }
    if (right->Kind != TExprNodeKind::kConstant) Fail(kMsgIncorrect);

    if (right->ConstantKind == TConstantKind::kNull) {
      if (op != kOpEqual && op != kOpNotEqual) Fail(kMsgNullOnly);
      const size_t result = NewNode(kNodeUnary, op == kOpEqual ? kOpIsNull : kOpIsNotNull, kUnaryNodeSize);
      SetOperand(result, 0, PutField(field));
      return result;
    }

    if (field.DataType == TFilterDataType::kString && (op == kOpEqual || op == kOpNotEqual) &&
        right->ConstantKind == TConstantKind::kString && !right->Text.empty()) {
      std::string text = right->Text;
      size_t partial = 0;
      if (right->Partial) {
        partial = text.size();
      } else if ((options_ & kFilterNoPartialCompare) == 0 && text.size() > 1 && text.back() == '*') {
        text.pop_back();
        partial = text.size();
      }
      if (partial > kMaxConstantValue) partial = kMaxConstantValue;
      if ((options_ & kFilterCaseInsensitive) != 0 || partial != 0) {
        const size_t result = NewNode(kNodeCompare, op, kCompareNodeSize);
        SetOperand(result, 0, (options_ & kFilterCaseInsensitive) != 0 ? 1 : 0);
        SetOperand(result, 1, partial);
        SetOperand(result, 2, PutField(field));
        SetOperand(result, 3, PutStringConstant(text));
        return result;
      }
    }

    const size_t result = NewNode(kNodeBinary, op, kBinaryNodeSize);
    SetOperand(result, 0, PutField(field));
    SetOperand(result, 1, PutConvertedConstant(field, *right));
    return result;
  }

  // ---- constants converted to the field's type ----

  TLocaleFormats TableFormats() const { return LoadLocaleFormats(false, source_.LanguageId(), source_.SortId()); }

  // A number as written in the text, or a string constant under the table's
  // locale, or a Boolean as -1 / 0.
  double NumberOf(const TExprNode& constant) const {
    switch (constant.ConstantKind) {
      case TConstantKind::kBoolean:
        return constant.BooleanValue ? -1.0 : 0.0;
      case TConstantKind::kNumber:
        return TextToFloat(constant.Text, DefaultLocaleFormats());
      default:
        return TextToFloat(constant.Text, TableFormats());
    }
  }

  // An integer constant within [low, high]: integers exactly, other numbers
  // rounded to the nearest integer (halves to even).
  int64_t IntegerOf(const TExprNode& constant, int64_t low, int64_t high) const {
    int64_t value = 0;
    bool exact = false;
    if (constant.ConstantKind == TConstantKind::kNumber || constant.ConstantKind == TConstantKind::kString) {
      try {
        value = TextToInteger(constant.Text);
        exact = true;
      } catch (const fw::EConvertError&) {
        exact = false;
      }
    }
    if (!exact) {
      const double number = std::nearbyint(NumberOf(constant));
      if (!(number >= static_cast<double>(low) && number <= static_cast<double>(high))) Fail(kMsgOutOfRange);
      value = static_cast<int64_t>(number);
    }
    if (value < low || value > high) Fail(kMsgOutOfRange);
    return value;
  }

  std::string TextOf(const TExprNode& constant) const {
    if (constant.ConstantKind == TConstantKind::kBoolean) return constant.BooleanValue ? kTrueText : kFalseText;
    return constant.Text;
  }

  size_t PutConvertedConstant(const TFilterField& field, const TExprNode& constant) {
    uint8_t value[kBcdLiteralSize] = {};
    switch (field.DataType) {
      case TFilterDataType::kString:
        return PutStringConstant(TextOf(constant));
      case TFilterDataType::kSmallint:
        StoreI16(value, static_cast<int16_t>(IntegerOf(constant, -32768, 32767)));
        return PutConstant(kFldInt16, value, 2);
      case TFilterDataType::kInteger:
      case TFilterDataType::kAutoInc:
        StoreI32(value, static_cast<int32_t>(IntegerOf(constant, std::numeric_limits<int32_t>::min(),
                                                       std::numeric_limits<int32_t>::max())));
        return PutConstant(kFldInt32, value, 4);
      case TFilterDataType::kWord:
        StoreU16(value, static_cast<uint16_t>(IntegerOf(constant, 0, 65535)));
        return PutConstant(kFldUInt16, value, 2);
      case TFilterDataType::kBoolean: {
        bool truth = false;
        if (constant.ConstantKind == TConstantKind::kBoolean) {
          truth = constant.BooleanValue;
        } else if (constant.ConstantKind == TConstantKind::kString) {
          truth = TextToBoolean(constant.Text);
        } else {
          truth = NumberOf(constant) != 0;
        }
        StoreI16(value, truth ? -1 : 0);
        return PutConstant(kFldBoolean, value, 2);
      }
      case TFilterDataType::kFloat:
      case TFilterDataType::kCurrency:
        StoreF64(value, NumberOf(constant));
        return PutConstant(kFldFloat, value, 8);
      case TFilterDataType::kBcd: {
        TCurrency currency = 0;
        if (constant.ConstantKind == TConstantKind::kBoolean) {
          currency = constant.BooleanValue ? -kCurrencyUnit : 0;
        } else {
          currency = TextToCurrency(constant.Text, constant.ConstantKind == TConstantKind::kNumber
                                                       ? DefaultLocaleFormats()
                                                       : TableFormats());
        }
        StoreI64(value, CurrencyToBcd(field.Decimals, currency));
        return PutConstant(kFldBcd, value, kBcdLiteralSize);
      }
      case TFilterDataType::kDate: {
        int32_t day = 0;
        if (constant.ConstantKind == TConstantKind::kString) {
          day = TextToDate(constant.Text, TableFormats());
        } else {
          // A number counts days as the run time's date-time values do.
          const double days = std::floor(NumberOf(constant)) + kDateDelta;
          if (!(days >= 1 && days <= std::numeric_limits<int32_t>::max())) Fail(kMsgOutOfRange);
          day = static_cast<int32_t>(days);
        }
        StoreI32(value, day);
        return PutConstant(kFldDate, value, 4);
      }
      case TFilterDataType::kTime: {
        int32_t ms = 0;
        if (constant.ConstantKind == TConstantKind::kString) {
          ms = TextToTime(constant.Text, TableFormats());
        } else {
          const double number = NumberOf(constant);
          ms = static_cast<int32_t>(std::llround((number - std::floor(number)) * kMsPerDay) % kMsPerDay);
        }
        StoreI32(value, ms);
        return PutConstant(kFldTime, value, 4);
      }
      case TFilterDataType::kDateTime: {
        double stamp = 0;
        if (constant.ConstantKind == TConstantKind::kString) {
          stamp = TextToDateTime(constant.Text, TableFormats());
        } else {
          stamp = (NumberOf(constant) + kDateDelta) * static_cast<double>(kMsPerDay);
          if (!std::isfinite(stamp) || stamp < 0) Fail(kMsgOutOfRange);
        }
        StoreF64(value, stamp);
        return PutConstant(kFldTimestamp, value, 8);
      }
      case TFilterDataType::kOther:
        break;
    }
    Fail(kMsgCannotUse, field.Name);
  }

  const TFilterFieldSource& source_;
  uint32_t options_;
  std::vector<uint8_t> nodes_;
  std::vector<uint8_t> literals_;
};

}  // namespace

std::vector<uint8_t> TFilterExpr::BuildBuffer() const {
  if (!root_) Fail(kMsgIncorrect);
  return TBufferBuilder(source_, options_).Build(*root_);
}

TExprParser::TExprParser(const std::string& text, const TFilterFieldSource& source, uint32_t options)
    : expr_(source, options) {
  TParser parser(text, source);
  expr_.SetRoot(parser.Parse());
  data_ = expr_.BuildBuffer();
}

}  // namespace tabula::db
