#pragma once
// Key bounds of one filter condition for an index scan: the low and high
// keys between which the keys of the records that satisfy the condition
// lie, in the index's own order. The index file counts and marks the keys
// between them (CountKeysBetween / MarkKeysBetween).
//
// Both keys start with the condition's first key field (presence byte and
// encoded value, see key_encoding.h); the bytes after the significant part
// are filled so that every key sharing that part lies between the bounds.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tabula/filter_expr.h"
#include "engine/index_format.h"

namespace tabula {

class TLanguageDriver;

// What the bounds are built from.
struct TKeyBoundsRequest {
  uint8_t Operator = 0;          // 1 is blank, 2 not blank, 3..8 comparisons
  uint8_t FieldType = 0;         // the index's first key field
  uint8_t Width = 0;             // its data width
  const uint8_t* Value = nullptr;  // the constant in the field's record encoding (Width bytes; ops 3..8)
  uint8_t PartialLength = 0;     // string compare: leading characters that count (0 = whole)
  bool CaseInsensitive = false;  // the index's case setting
  bool IndexDescending = false;  // the whole index sorts descending
  bool FieldDescending = false;  // the first key field's own descending bit
  const TLanguageDriver* Driver = nullptr;  // the table's language driver, if any
  size_t KeyLength = 0;          // the index's key length
};

struct TKeyBounds {
  std::vector<uint8_t> Low;
  std::vector<uint8_t> High;
  // The records between the bounds are the ones that fail; the scan's
  // result is inverted (`<>`, whose bounds are those of `=`, and "not
  // blank" on a locale-ordered string field).
  bool Invert = false;
};

// Builds the bounds:
//   is blank      presence 0, then 0x00 ... / presence 0, then 0xFF ...
//   not blank     presence 1, then 0x00 ... / presence 1, then 0xFF ...
//   =, <>         presence 1, constant      / presence 1, constant
//   >             constant plus one         / presence 1, all 0xFF
//   >=            constant                  / presence 1, all 0xFF
//   <             presence 1, all 0x00      / constant minus one
//   <=            presence 1, all 0x00      / constant
// Plus one and minus one carry over the first w bytes of the key (presence
// byte and value; a string's last byte, its terminator position, is left
// out) and saturate at all 0xFF / all 0x00. The bytes from the significant
// count s on (partial length + 1 for a prefix, 1 for blank tests, else the
// whole field) are filled with 0x00 in the low key and 0xFF in the high key.
// A descending index exchanges the keys of the ordering operators and fills
// 0xFF low and 0x00 high. A first key field that is descending on its own
// (stored inverted, tables without a language driver) is handled by
// building ascending bounds and inverting them. Under a language driver,
// "not blank" on a string field is given as the bounds of "is blank" with
// Invert set, as fill bytes do not bound the locale's order of texts.
TKeyBounds BuildKeyBounds(const TKeyBoundsRequest& request);

// The value bytes of a constant in a field's record encoding (`width`
// bytes), as the key of the field is built from them. A Boolean constant is
// written the way stored Booleans are (true = 1), so that its key equals
// the key of a stored true value. False when the constant's type is not the
// field's.
bool ConstantAsFieldValue(const TFilterNode& constant, uint8_t fieldType, uint8_t width,
                          std::vector<uint8_t>& out);

// The bounds of a condition node of level 0 (is blank / not blank on a
// field, a comparison of a field with a constant, a string compare) over
// the index described by `index`. False when the node is not such a
// condition.
bool BuildConditionBounds(const TFilterNode& condition, const TIndexDescriptor& index,
                          const TLanguageDriver* driver, TKeyBounds& bounds);

// The first index of a table that fits a condition on `field`: the first
// of slots 0, 1 .. SecondaryCount whose first key field is the field and,
// for a string field unless anyCase, whose case setting equals
// caseInsensitive. -1 when none fits, and always when the table has
// NoPrimaryIndex set.
int FindFittingIndex(const TIndexHeader& header, const TFilterFieldInfo& field, bool caseInsensitive,
                     bool anyCase);

}  // namespace tabula
