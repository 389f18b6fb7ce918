#pragma once
// Turning CSV rows into record buffers of a table, for `tabula import`. The
// header row names the fields (letter case ignored; any order; fields not
// named are NULL or take their default). Each cell is read by the field's
// type (value_text.h); memo fields take the text, other blob fields
// hexadecimal bytes or "file:PATH" (a file, relative to the CSV file's
// directory, whose bytes are the blob). The auto-increment field's column
// is read as a number and otherwise ignored: the table hands out record IDs.
//
// Every fault is an ECsvError with the file, line and column of the cell.

#include <cstdint>
#include <string>
#include <vector>

#include "tabula/data_file.h"
#include "tools/tabula/csv.h"

namespace tabula::tool {

// A blob value of a row, written by the caller through the data file.
struct TPendingBlob {
  int FieldNo = 0;
  std::vector<uint8_t> Bytes;
};

class TRecordBuilder {
 public:
  // `header` is the first row of the file.
  TRecordBuilder(TDataFile& table, const std::vector<TCsvField>& header, std::string csvName);

  // Fills `buffer` (the table's RecordSize bytes) from a row and lists the
  // row's blob values (empty blobs are left NULL).
  void Build(const std::vector<TCsvField>& row, std::vector<uint8_t>& buffer, std::vector<TPendingBlob>& blobs);

  // The column (1-based) that holds a field, 0 when none does.
  int ColumnOfField(int fieldNo) const;

 private:
  [[noreturn]] void Fail(const TCsvField& cell, const std::string& reason) const;

  TDataFile& table_;
  std::string csvName_;
  std::string csvDir_;
  std::vector<int> fieldOfColumn_;  // 1-based field numbers by column
  std::vector<uint8_t> value_;
};

}  // namespace tabula::tool
