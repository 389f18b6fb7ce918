#include "engine/key_compare.h"

#include <algorithm>
#include <string_view>

#include "tabula/field_types.h"
#include "tabula/locale.h"

namespace tabula {

int CompareKeyBytes(const uint8_t* a, const uint8_t* b, size_t length, bool descending) {
  int result = CompareBytes(a, b, length);
  return descending ? -result : result;
}

int CompareKeys(const TKeyLayout& layout, const uint8_t* a, const uint8_t* b, size_t length,
                bool descending) {
  if (layout.BytesOnly || layout.Driver == nullptr) return CompareKeyBytes(a, b, length, descending);

  // Walk the key fields: bytes since the last string field compare as bytes,
  // each string value by the locale.
  size_t start = 0;  // first byte not yet compared
  size_t end = 0;    // offset of the current field's presence byte
  for (const TKeyField& field : layout.Fields) {
    if (end >= length) break;
    if (field.FieldType == kFldString) {
      int result = CompareKeyBytes(a + start, b + start, end - start + 1, descending);
      if (result != 0) return result;
      size_t count = std::min<size_t>(field.Width, length - end - 1);
      std::string_view left(reinterpret_cast<const char*>(a + end + 1), count);
      std::string_view right(reinterpret_cast<const char*>(b + end + 1), count);
      result = layout.Driver->Compare(left, right, false);
      if (descending || (field.Descending & 1)) result = -result;
      if (result != 0) return result;
      start = std::min(length, end + 1 + field.Width);
    }
    end += static_cast<size_t>(field.Width) + 1;
  }
  if (start < length) return CompareKeyBytes(a + start, b + start, length - start, descending);
  return 0;
}

}  // namespace tabula
