#pragma once
// The schema file from which `tabula create` makes a table: a small line
// format, described with an example in docs/tabula-schema.md. The parser
// turns it into the engine's table definitions and reports each mistake as
// "FILE:LINE: reason". FormatSchema writes a table's definitions back in
// the same format (`tabula info --schema`).

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tabula/field_desc.h"
#include "tabula/index_descriptor.h"
#include "tabula/table_creator.h"
#include "tools/tabula/tool_error.h"

namespace tabula::tool {

class ESchemaError : public EToolError {
 public:
  ESchemaError(const std::string& file, int line, const std::string& reason);
  int Line;
  std::string Reason;
};

struct TTableSchema {
  std::vector<TFieldDef> Fields;  // names and texts in Windows-1251
  std::vector<int> FieldLines;
  std::vector<TIndexDef> Indexes;
  std::vector<int> IndexLines;
  TTableOptions Options;
  std::string Password;  // empty: none
  int PasswordLine = 0;
};

// Parses schema text (UTF-8). `fileName` is used in messages only.
TTableSchema ParseSchema(std::string_view text, const std::string& fileName);

// The schema text (UTF-8) of a table: its field descriptors, the index
// descriptors of slots 0..30 (`indexes[slot]`; one without fields, such as
// slot 0 of a table without a primary index, is left out), its locale and
// blob block size.
std::string FormatSchema(const std::vector<TFieldDesc>& fields, const std::vector<TIndexDescriptor>& indexes,
                         uint16_t languageId, uint16_t sortId, uint32_t blobBlockSize);

}  // namespace tabula::tool
