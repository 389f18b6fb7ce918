#pragma once
// The filter expression parser of the table component: turns a filter text
// ("Numtel > 5 AND [Name] = 'Ив*'") into a parse tree (TFilterExpr) and the
// tree into the filter expression buffer that the engine converts into its
// own expression tree (tabula/filter_expr.h gives the buffer's layout).
//
// Texts are Windows-1251 bytes. Every error is a database error
// (fw::EDatabaseError) with the fixed English texts below; conversions of
// constants that are not valid values raise the run time's conversion error
// (fw::EConvertError).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tabula::db {

// Parser options.
enum : uint32_t {
  kFilterCaseInsensitive = 1,   // string comparisons ignore letter case
  kFilterNoPartialCompare = 2,  // a trailing '*' is an ordinary character
};

// The kinds of dataset field a filter may name.
enum class TFilterFieldKind : uint8_t { kData, kInternalCalc, kOther };

// The data types of dataset fields, as far as filters tell them apart.
enum class TFilterDataType : uint8_t {
  kString,
  kSmallint,
  kInteger,
  kAutoInc,
  kWord,
  kBoolean,
  kFloat,
  kCurrency,
  kBcd,
  kDate,
  kTime,
  kDateTime,
  kOther,
};

// One field of the dataset.
struct TFilterField {
  std::string Name;
  int FieldNo = 0;
  TFilterFieldKind Kind = TFilterFieldKind::kData;
  TFilterDataType DataType = TFilterDataType::kString;
  int Decimals = 0;  // BCD fields
};

// What the parser needs of the dataset: its fields and the table's locale.
// The table component implements it.
class TFilterFieldSource {
 public:
  virtual ~TFilterFieldSource() = default;
  // The field of that name (letter case ignored), or nullptr.
  virtual const TFilterField* FindFilterField(const std::string& name) const = 0;
  // The table's language id (0 = none) and sort id: constants given as text
  // for numeric, date and time fields are read under the table's locale.
  virtual uint16_t LanguageId() const { return 0; }
  virtual uint16_t SortId() const { return 0; }
  // Text into the table's character set. The tables of this system and the
  // dataset layer both hold Windows-1251, so nothing changes by default.
  virtual std::string ToTableCharset(const std::string& text) const { return text; }
};

// ---- The parse tree ----

enum class TExprNodeKind : uint8_t { kField, kConstant, kOperator };

enum class TExprOperator : uint8_t {
  kNone,
  kEqual,
  kNotEqual,
  kGreater,
  kLess,
  kGreaterEqual,
  kLessEqual,
  kAnd,
  kOr,
  kNot,
};

enum class TConstantKind : uint8_t { kNull, kString, kNumber, kBoolean };

struct TExprNode {
  TExprNodeKind Kind = TExprNodeKind::kConstant;
  TExprOperator Operator = TExprOperator::kNone;
  std::unique_ptr<TExprNode> Left;
  std::unique_ptr<TExprNode> Right;
  // Field nodes.
  const TFilterField* Field = nullptr;
  // Constant nodes: a number keeps its text as written.
  TConstantKind ConstantKind = TConstantKind::kNull;
  std::string Text;
  bool BooleanValue = false;
  // A string constant compared as a prefix of its own length (set by
  // producers other than the text parser, e.g. partial-key searches).
  bool Partial = false;
};

// A parse tree and the buffer built from it.
class TFilterExpr {
 public:
  TFilterExpr(const TFilterFieldSource& source, uint32_t options) : source_(source), options_(options) {}

  void SetRoot(std::unique_ptr<TExprNode> root) { root_ = std::move(root); }
  const TExprNode* Root() const { return root_.get(); }

  // Builds the filter expression buffer from the tree.
  std::vector<uint8_t> BuildBuffer() const;

 private:
  const TFilterFieldSource& source_;
  uint32_t options_;
  std::unique_ptr<TExprNode> root_;
};

// Parses a filter text into a TFilterExpr and builds its buffer.
class TExprParser {
 public:
  TExprParser(const std::string& text, const TFilterFieldSource& source, uint32_t options);

  const TFilterExpr& Expression() const { return expr_; }
  // The filter expression buffer.
  const std::vector<uint8_t>& FilterData() const { return data_; }
  size_t DataSize() const { return data_.size(); }

 private:
  TFilterExpr expr_;
  std::vector<uint8_t> data_;
};

// The texts of the resource strings that name the Boolean constants.
inline constexpr const char* kTrueText = "True";
inline constexpr const char* kFalseText = "False";

}  // namespace tabula::db
