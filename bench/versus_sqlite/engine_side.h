#pragma once
// The engine side: the directory's subscriber table through TDataFile's
// public operations, on read-only shared handles as the directory opens
// its tables (one handle per order, one for ranges, one in record-ID order
// for the filters). Every record read copies all six fields out of the
// record buffer with GetField.
//
// "Read lock held" runs take the table's read lock once around a whole
// keystroke (the search and its 20 rows) or a whole scan; otherwise each
// engine call takes and releases it when it has to read, as the table
// component's single calls do.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench/versus_sqlite/side_by_side.h"
#include "bench/versus_sqlite/workload.h"
#include "tabula/data_file.h"

namespace bench {

class TEngineSide {
 public:
  explicit TEngineSide(const std::string& tablePath);
  ~TEngineSide();
  TEngineSide(const TEngineSide&) = delete;
  TEngineSide& operator=(const TEngineSide&) = delete;

  int64_t RowCount();

  void Lookup(const TKey& numtel, TAnswer* answer);
  void Keystroke(TOrder order, const TKey& key, bool holdReadLock, TAnswer* answer);
  void Scan(bool holdReadLock, TAnswer* answer);
  void RangeCount(const TKey& low, const TKey& high, TAnswer* answer);

  // Filters answered from the Address index (kodul = value): the visible
  // count, or the visible rows in record-ID order.
  void StreetCount(size_t street, TAnswer* answer);
  void StreetRows(size_t street, TAnswer* answer);
  // Filters that read every record (dom = value): an expression or a
  // callback; the visible count.
  void HouseCount(size_t house, bool byCallback, TAnswer* answer);

  // Filter expression buffers made once, before the runs, by the table
  // component's parser (like SQLite's prepared statements). Throws when the
  // engine would not answer them the way the operation's name says.
  void PrepareFilters(const std::vector<TKey>& streets, const std::vector<TKey>& houses);

 private:
  std::unique_ptr<tabula::TDataFile> OpenHandle(const std::string& index);
  tabula::TDataFile& Handle(TOrder order) { return *byOrder_[order]; }
  // The engine key of the given field values on the file's current index.
  void BuildKey(tabula::TDataFile& file, const std::vector<int>& fieldNos, const TKey& key);
  void Consume(const tabula::TDataFile& file, const uint8_t* record, TAnswer* answer);
  void CountVisible(tabula::TFilter* filter, bool readRows, TAnswer* answer);

  std::string path_;
  std::unique_ptr<tabula::TDataFile> byOrder_[kOrderCount];
  std::unique_ptr<tabula::TDataFile> ranges_;
  std::unique_ptr<tabula::TDataFile> byId_;
  std::vector<int> fields_;  // Numtel, Name, kodul, dom, korp, id
  std::vector<int> keyFields_[kOrderCount];
  int houseField_ = 0;
  int idField_ = 0;
  std::vector<uint8_t> probe_, record_, key_;
  uint8_t scratch_[256] = {};
  uint64_t sink_ = 0;
  std::vector<std::vector<uint8_t>> streetFilters_, houseFilters_;
  std::vector<std::string> houses_;
};

}  // namespace bench
