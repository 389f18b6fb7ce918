#pragma once
// Loading many rows into a table in bounded memory, without a transaction.
//
// The loader holds the table's three files exclusively (no other program
// may have the table open, before or during the load), copies the data and
// blob files under temporary names in the same directory, and appends the
// rows to the copy through an exclusive handle that maintains no index, so
// its caches write out what they evict. Commit then builds every index of
// the table (primary, secondary and "Sys Deleted") over all records, old and
// new: the keys of each index are sorted (in runs on disk beyond the memory
// budget) and the tree is written bottom up into a new index file. The three
// new files are flushed to disk and renamed over the table's, the data file
// last. Until that rename nothing of the table is touched: a failure at any
// point, or a loader dropped without Commit, removes the temporary files and
// leaves the table byte for byte as it was.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tabula/data_file.h"
#include "tabula/engine_error.h"

namespace tabula {

struct TBulkLoadOptions {
  // Bytes the key sort may hold in memory; more keys go to sorted runs on disk.
  size_t SortMemory = size_t(24) << 20;
  // Called with the copy's handle before it is opened (a password callback,
  // a message callback).
  std::function<void(TDataFile&)> Prepare;
};

// The table cannot be loaded: another program has it open.
class ETableInUse : public fw::EDatabaseError {
 public:
  using fw::EDatabaseError::EDatabaseError;
};

// Two records give the same key in a unique index (9729); Record is the
// later one, the one a row-by-row append would have refused.
class EBulkKeyViolation : public ETabulaEngineError {
 public:
  EBulkKeyViolation(const TErrorParams& params, int32_t record, int32_t otherRecord)
      : ETabulaEngineError(kErrDuplicateKey, params), Record(record), OtherRecord(otherRecord) {}
  int32_t Record;
  int32_t OtherRecord;
};

class TBulkLoader {
 public:
  // Takes the table and prepares the copy; raises ETableInUse when another
  // program has it open, engine errors for a table that cannot be opened.
  explicit TBulkLoader(const std::string& tableName, TBulkLoadOptions options = {});
  // Without Commit: the copy is dropped, the table stays as it was.
  ~TBulkLoader();
  TBulkLoader(const TBulkLoader&) = delete;
  TBulkLoader& operator=(const TBulkLoader&) = delete;

  // The copy, open exclusively: record buffers, fields and blobs as for any
  // table. Its indexes are not kept until Commit (no cursor order but the
  // physical one).
  TDataFile& Table();
  // Appends a record buffer (validity checks, record ID, blobs as
  // AppendRecord does).
  void Append(uint8_t* buffer);
  int64_t Appended() const { return appended_; }
  // The table's data file (not the copy's).
  const std::string& FileName() const;
  // The record number the first appended row takes.
  int32_t FirstNewRecord() const { return firstNewRecord_; }
  // Builds the indexes and puts the new files in place of the table's.
  // EBulkKeyViolation when a unique index meets two equal keys.
  void Commit();

 private:
  class TFiles;
  void BuildIndexFile(const std::vector<TFieldDesc>& fields);

  TBulkLoadOptions options_;
  std::unique_ptr<TFiles> files_;
  std::unique_ptr<TDataFile> copy_;
  int32_t firstNewRecord_ = 1;
  int64_t appended_ = 0;
  bool committed_ = false;
};

}  // namespace tabula
