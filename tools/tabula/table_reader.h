#pragma once
// Reading a table for the tool's read-only commands: opens the data file
// (with its index and blob files) read-only and shared, holds the table's
// read lock for as long as the reader lives, so every command sees one
// consistent state of the table, and walks the live records in physical or
// index order. Blob fields are read whole through the data file.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tabula/data_file.h"
#include "tabula/engine_error.h"
#include "tools/tabula/table_password.h"
#include "tools/tabula/tool_error.h"

namespace tabula::tool {

// Which records, in which order.
struct TReadOrder {
  // Empty: physical order. "primary" (any case) or "<primary>": the primary
  // index; else a secondary index by name (UTF-8).
  std::string IndexName;
  // Start at the first key at or after these key field values (a CSV row
  // "v1,v2"); index order only.
  std::optional<std::string> FromKey;
  int64_t Limit = -1;  // -1: no limit
};

// The text of an engine error for the terminal (UTF-8, one line).
using ::tabula::EngineErrorText;
// The same for an error met while opening a table: a refused password says
// whether the one given on the command line was tried.
std::string OpenErrorText(const std::exception& error, const TTablePassword& password);

class TTableReader {
 public:
  // Opens the table (a missing ".DAT" is added); an enciphered table takes
  // its password from `password`. Raises EToolError.
  TTableReader(const std::string& path, TTablePassword& password);
  // The same without a password given (programs that read tables of their own).
  explicit TTableReader(const std::string& path) : TTableReader(path, ownPassword_) {}
  ~TTableReader();

  TDataFile& Data() { return *data_; }
  const std::vector<TFieldDesc>& Fields() const { return data_->Descriptors(TDescSet::kWorking); }
  const std::string& FileName() const { return data_->FileName(); }
  // Live records: the count of the current index (the primary, or the
  // visible records in physical order), confirmed against the tree.
  int32_t LiveRecordCount() { return data_->RecordCount(); }
  int32_t SlotCount() const { return data_->NextRecordNo() - 1; }

  // Calls visit for each record in the order asked; visit returns false to
  // stop. The buffer is RecordSize() bytes and valid during the call.
  void ForEach(const TReadOrder& order, const std::function<bool(uint32_t recNo, const uint8_t* buffer)>& visit);

  // The whole contents of a blob field of a record buffer (empty for NULL).
  // Raises EToolError naming the record and field for a damaged blob.
  std::vector<uint8_t> ReadBlob(const uint8_t* buffer, int fieldNo, uint32_t recNo);

  // Messages the engine reported while reading (repaired blob chains).
  const std::vector<std::string>& Messages() const { return messages_; }

 private:
  void ForEachPhysical(int64_t limit, const std::function<bool(uint32_t, const uint8_t*)>& visit);
  void ForEachIndexed(const TReadOrder& order, const std::function<bool(uint32_t, const uint8_t*)>& visit);

  TTablePassword ownPassword_;  // before data_: the open may call it
  std::unique_ptr<TDataFile> data_;
  std::vector<uint8_t> scratch_;
  std::vector<std::string> messages_;
};

}  // namespace tabula::tool
