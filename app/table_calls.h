#pragma once
// The table operations of the search and the banners, in one place while
// the table component grows them: each call goes to the table's own
// operation when the table has it, and otherwise fails with a database
// error that names it.

#include <cstdint>
#include <string>
#include <vector>

#include "dataset/tabula_table.h"
#include "framework/data/data_source.h"
#include "framework/data/variant.h"

namespace app {

template <class TTable>
void SeekNearest(TTable& table, const std::vector<fw::TVariant>& values) {
  if constexpr (requires { table.SeekNearest(values); }) {
    table.SeekNearest(values);
  } else {
    throw fw::EDatabaseError("SeekNearest is not available on " + table.TableName());
  }
}

template <class TTable>
int ReadBlobField(TTable& table, int fieldNo, std::vector<uint8_t>& bytes) {
  if constexpr (requires { table.ReadBlobField(fieldNo, bytes); }) {
    return int(table.ReadBlobField(fieldNo, bytes));
  } else {
    (void)fieldNo;
    (void)bytes;
    throw fw::EDatabaseError("ReadBlobField is not available on " + table.TableName());
  }
}

template <class TTable>
void SetMasterSourceOf(TTable& table, fw::TDataSource* source) {
  if constexpr (requires { table.SetMasterSource(source); }) table.SetMasterSource(source);
}

}  // namespace app
