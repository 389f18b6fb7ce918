#pragma once
// The SQLite side: the directory's subscribers in a SQLite database with
// the same indexes as the engine's table (Numtel; kodul, dom, korp; Name
// under RUSSIAN_CI) and the same rows (record ID = rowid), opened read-only
// as the directory opens its tables. Each operation is one prepared
// statement (two for the table component's page), bound and stepped; every
// row read takes all six columns.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "bench/versus_sqlite/side_by_side.h"
#include "bench/versus_sqlite/workload.h"

struct sqlite3;
struct sqlite3_stmt;

namespace bench {

class TSqliteSide {
 public:
  // cacheKiB 0 keeps SQLite's default page cache.
  TSqliteSide(const std::string& path, int64_t cacheKiB);
  ~TSqliteSide();
  TSqliteSide(const TSqliteSide&) = delete;
  TSqliteSide& operator=(const TSqliteSide&) = delete;

  int64_t RowCount();
  std::vector<TSampleRow> SampleRows(const std::vector<int64_t>& ids);

  void Lookup(const TKey& numtel, TAnswer* answer);
  // The first record at or after the key and the 19 after it.
  void Keystroke(TOrder order, const TKey& key, TAnswer* answer);
  // `before` records before the key (shown in order) and `from` records
  // from it on: the rows of the table component's page.
  void Page(TOrder order, const TKey& key, int before, int from, TAnswer* answer);
  void Scan(TAnswer* answer);
  void RangeCount(const TKey& low, const TKey& high, TAnswer* answer);
  void StreetCount(const TKey& kodul, TAnswer* answer);
  void StreetRows(const TKey& kodul, TAnswer* answer);
  // Record by record: the table itself is read (NOT INDEXED), the house
  // compared by SQL or by a C function, as the engine's filter or callback.
  void HouseCount(const TKey& dom, bool byFunction, TAnswer* answer);

  // EXPLAIN QUERY PLAN of every statement used so far.
  std::vector<std::string> Plans();

 private:
  sqlite3_stmt* Statement(const std::string& sql);
  void Bind(sqlite3_stmt* statement, const TKey& key, int first = 1);
  // Steps through the rows, consuming every column.
  // Rows are added to the answer in reverse when `reversed`.
  int Rows(sqlite3_stmt* statement, TAnswer* answer, bool reversed = false);
  void Count(sqlite3_stmt* statement, TAnswer* answer);
  [[noreturn]] void Fail(const std::string& what) const;

  sqlite3* db_ = nullptr;
  std::map<std::string, sqlite3_stmt*> statements_;
  std::vector<std::string> order_;  // statements in the order first used
  uint64_t sink_ = 0;
};

}  // namespace bench
