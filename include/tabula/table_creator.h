#pragma once
// Creating a new table: the data file (.DAT) with its header and field
// descriptors and no records, the index file (.IDX) with every index
// described and every tree empty, and, when the table has blob fields, the
// blob file (.BLB) with its header only. Each file is written under a
// temporary name in the target directory and renamed into place once all of
// them are complete, so a failed creation leaves no partial table behind.

#include <cstdint>
#include <string>
#include <vector>

#include "tabula/field_desc.h"

namespace tabula {

// One field of a new table. FieldNo 0 means "next in order".
struct TFieldDef {
  std::string Name;
  uint8_t FieldType = 0;  // type code of the field type table (tabula/field_types.h)
  uint8_t SubType = 0;    // e.g. 29 with type 6 = auto-increment, 22 memo with type 3
  uint8_t Size = 0;       // types 1, 9 and 15 only (at most 250)
  uint8_t Scale = 0;      // type 8 only
  bool Required = false;
  std::string MinValue;
  std::string MaxValue;
  std::string DefaultValue;
  bool AutoIncrement = false;  // shorthand for type 6, subtype 29
  int16_t FieldNo = 0;
  // A computed field: not stored in the file; its value comes from the
  // expression (at most 255 characters, not empty).
  bool Computed = false;
  std::string Expression;
};

// One index of a new table. The primary index has no name of its own; a
// secondary index needs one (at most 30 characters, unique among the
// table's indexes, case-insensitively).
struct TIndexDef {
  std::string Name;
  std::vector<std::string> Fields;  // key fields by name, in key order (1..16)
  bool Primary = false;
  bool Unique = false;  // the primary index is always unique
  bool Descending = false;
  bool CaseInsensitive = false;
  uint8_t Compression = 0;  // leaf compression 0..3
  std::vector<bool> FieldDescending;  // per key field; missing entries are ascending
};

struct TTableOptions {
  uint16_t LanguageId = 0;  // 0: no locale, keys and strings compare as bytes
  uint16_t SortId = 0;
  uint16_t BlobBlockSize = 0;  // 0 = the default of 512 bytes
  bool Overwrite = false;      // replace existing files of the same name
  // Table cipher: a non-empty password (at most 15 characters, else 10015)
  // makes an enciphered table. The password is stored scrambled in the
  // header; the descriptors, records, index and blob files are scrambled.
  std::string Password;
};

// Checks the field definitions by the rules that bind a table's descriptors
// (CheckFieldDefs): names (10038), numbers, types and sizes (10000),
// minimum/maximum/default texts (10006) under the given locale; fills in
// FieldNo, DataSize, DataScale and, when assignOffsets is set, the record
// offsets. Returns the descriptors in field order.
std::vector<TFieldDesc> CheckFieldDefs(const std::vector<TFieldDef>& defs, uint16_t languageId, uint16_t sortId,
                                       bool assignOffsets, const std::string& fileName = {});

// Creates the table. `path` names the data file; ".DAT" is added when it has
// no extension, and the companion files take the same base name. Raises
// engine errors: the CheckFieldDefs codes, 10022 (bad index name), 10023 (a
// key field that does not exist or is a blob), 9487 (too many indexes or key
// fields), 10026 (a key longer than the key buffer or a node that cannot
// hold two entries), 10027 (two indexes of the same name), 9993 (two primary
// indexes), 9498 (blob block size), 15878 (locale not installed), and the
// file errors of the file layer. Without Overwrite an existing data file
// raises 11013.
void CreateTable(const std::string& path, const std::vector<TFieldDef>& fields,
                 const std::vector<TIndexDef>& indexes, const TTableOptions& options = {});

}  // namespace tabula
