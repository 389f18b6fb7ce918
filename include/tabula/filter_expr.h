#pragma once
// Filter expressions inside the engine: the layout of the filter expression
// buffer that the dataset layer hands over, the expression tree the engine
// converts it into, the optimisation levels that say how much of a filter
// can be answered from an index, and the record-by-record evaluation of a
// tree over one record buffer.
//
// Buffer layout (little-endian): version (2, always 0), total size (2),
// node count (2, always 0xFFFF: not counted), start of the node area (2,
// always 10), start of the literal area (2), then the node area and the
// literal area. A node is its class (4), its operator (4) and 16-bit
// operands; node references are offsets from the start of the node area,
// literal references offsets from the start of the literal area. A node is
// written before its operands, so the root is the first node and every
// operand lies after the node that refers to it.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tabula/operators.h"

namespace tabula {

// Node classes.
enum : uint8_t {
  kNodeUnary = 1,     // operand node
  kNodeBinary = 2,    // left node, right node
  kNodeCompare = 3,   // case-insensitive, partial length, field node, constant node
  kNodeField = 4,     // field number, literal offset of the zero-terminated name
  kNodeConstant = 5,  // type code, size, literal offset of the value
};

inline constexpr size_t kFilterHeaderSize = 10;
inline constexpr uint16_t kFilterUncountedNodes = 0xFFFF;
// Bytes of each node class in the node area.
inline constexpr size_t kUnaryNodeSize = 10;
inline constexpr size_t kBinaryNodeSize = 12;
inline constexpr size_t kCompareNodeSize = 16;
inline constexpr size_t kFieldNodeSize = 12;
inline constexpr size_t kConstantNodeSize = 14;
// A literal of a BCD constant: the stored 64-bit value, then zeros.
inline constexpr size_t kBcdLiteralSize = 18;
// Deepest tree the engine accepts; deeper buffers are refused as invalid,
// so that neither conversion nor evaluation can run out of stack.
inline constexpr int kMaxFilterDepth = 512;

// Optimisation levels of a node and of a whole filter.
enum : uint8_t {
  kOptIndex = 0,    // answered from an index
  kOptPartly = 1,   // an And with one side answered from an index
  kOptRecord = 2,   // record by record
};

// A field of the data file as a filter sees it.
struct TFilterFieldInfo {
  uint16_t FieldNo = 0;
  uint8_t FieldType = 0;
  uint8_t SubType = 0;
  uint8_t Width = 0;    // the field's data width in the record
  uint8_t Scale = 0;    // BCD decimals
  uint16_t Offset = 0;  // the null flag's offset in the record (the data's, for the auto-increment field)
};

// Finds a data-file field by name (the data file compares names without
// regard to letter case); false when there is none.
using TFilterFieldLookup = std::function<bool(const std::string& name, TFilterFieldInfo& info)>;

// One node of the engine's expression tree.
struct TFilterNode {
  uint8_t NodeClass = 0;
  uint8_t Operator = 0;
  std::unique_ptr<TFilterNode> Left;   // unary: the operand; compare: the field
  std::unique_ptr<TFilterNode> Right;  // compare: the constant

  // Field nodes.
  std::string FieldName;
  TFilterFieldInfo Field;

  // Constant nodes: type code, size and value bytes; an empty string
  // constant (size 1) is marked blank.
  uint8_t ConstType = 0;
  uint16_t ConstSize = 0;
  std::vector<uint8_t> ConstValue;
  bool Blank = false;

  // Compare nodes (class 3).
  bool CaseInsensitive = false;
  uint8_t PartialLength = 0;

  // Worked out when the filter is added.
  uint8_t OptLevel = kOptRecord;
  int IndexSlot = -1;  // the fitting index of a condition of level 0

  bool IsField() const { return NodeClass == kNodeField; }
  bool IsConstant() const { return NodeClass == kNodeConstant; }
};

// The outcome of a conversion: 0 and a tree, or an engine error code
// (kErrFilterExpression for a buffer that does not hold a sound tree,
// kErrInvalidField with the name for a field the data file lacks).
struct TFilterConversion {
  int Code = 0;
  std::string FieldName;
  std::unique_ptr<TFilterNode> Root;
};

// Converts a filter expression buffer into the engine's tree. Every offset
// and size is checked against the buffer; operands must lie after the node
// that names them, so a damaged buffer can neither loop nor read outside.
TFilterConversion ConvertFilterBuffer(const uint8_t* buffer, size_t size, const TFilterFieldLookup& lookup);

// A deep copy of a tree (a second handle on the table gets its own copy of
// each filter). Levels and fitting indexes are copied as they are.
std::unique_ptr<TFilterNode> CopyFilterTree(const TFilterNode& node);

// ---- Optimisation levels ----

// Answers which index fits a field for a condition: the slot of the first
// fitting index, or -1. `caseInsensitive` is the condition's case setting;
// `anyCase` is set for is-blank and not-blank, where any setting fits.
using TIndexFitFunction =
    std::function<int(const TFilterFieldInfo& field, bool caseInsensitive, bool anyCase)>;

// Works out the level of every node of the tree, records the fitting index
// of each condition of level 0, puts the cheaper side of a mixed And first,
// and returns the level of the whole tree.
//
// `localeOrderedStrings` is set for a table with a language driver: its
// string keys order by the locale, not by their bytes, so only exact
// equality (= and <> without a partial length) on a string field is
// answered from an index there; ordering and prefix conditions on such a
// field are evaluated record by record.
uint8_t AssignOptimisationLevels(TFilterNode& root, const TIndexFitFunction& fit, bool localeOrderedStrings);

// ---- Record-by-record evaluation ----

// The value of one node over a record buffer (the engine record layout),
// bottom-up, under the table's locale.
void EvaluateFilterNode(const TFilterNode& node, const uint8_t* record, uint16_t langId, uint16_t sortId,
                        TValueCell& out);

// True when the record passes: the root's 16-bit result is nonzero.
bool EvaluateFilter(const TFilterNode& root, const uint8_t* record, uint16_t langId, uint16_t sortId);

// The value of a constant node as an expression value cell.
void ConstantCell(const TFilterNode& node, TValueCell& out);
// The value of a field in a record buffer as an expression value cell.
void FieldCell(const TFilterFieldInfo& field, const uint8_t* record, TValueCell& out);

}  // namespace tabula
