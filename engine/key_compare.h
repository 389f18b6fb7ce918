#pragma once
// Ordering of index keys. A key is, per key field, one presence byte and the
// field's encoded value (see key_encoding.h). Keys of tables without a
// language driver, and keys of the "Sys Deleted" index, order as unsigned
// bytes; with a language driver the string fields order by the locale.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tabula {

class TLanguageDriver;

// One key field as the comparison needs it.
struct TKeyField {
  uint8_t FieldType = 0;   // type code (field_types.h)
  uint8_t Width = 0;       // the field's data width (DataSize); the key holds 1 + Width bytes for it
  uint8_t Descending = 0;  // the field-descending byte; bit 0 set = descending
};

// What CompareKeys needs to know of an index.
struct TKeyLayout {
  std::vector<TKeyField> Fields;           // in key order
  const TLanguageDriver* Driver = nullptr; // the table's language driver; nullptr = byte order
  bool BytesOnly = false;                  // the "Sys Deleted" index (slot 31): always byte order
};

// Unsigned byte comparison of `length` bytes; negated when descending.
int CompareKeyBytes(const uint8_t* a, const uint8_t* b, size_t length, bool descending);

// Compares the first `length` bytes of two keys of the index described by
// `layout`: -1 when a sorts first, 0 equal, 1 after. `descending` is the
// whole-index flag and reverses the order. With a language driver, each
// string field's value is compared by the locale (reversed also when the
// field's own descending bit is set); the bytes in between as bytes. A
// length below the key length compares a partial key.
int CompareKeys(const TKeyLayout& layout, const uint8_t* a, const uint8_t* b, size_t length,
                bool descending);

}  // namespace tabula
