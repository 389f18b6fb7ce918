// The SQLite side of the benchmark (sqlite_side.h).

#include "bench/versus_sqlite/sqlite_side.h"

#include <sqlite3.h>

#include <algorithm>
#include <stdexcept>

#include "bench/versus_sqlite/russian_collation.h"

namespace bench {

namespace {

constexpr const char* kColumns = "SELECT Numtel, Name, kodul, dom, korp, id FROM base2 ";
constexpr int kLimitParameter = 9;

// The condition "the key at or after the given one" and the order of an
// index, for as many key fields as are given.
std::string AtOrAfter(TOrder order, size_t fields, const char* op) {
  if (order == kByNumtel) return std::string("Numtel ") + op + " ?1";
  if (order == kByName) return std::string("Name ") + op + " ?1";
  if (fields <= 1) return std::string("kodul ") + op + " ?1";
  if (fields == 2) return std::string("(kodul, dom) ") + op + " (?1, ?2)";
  return std::string("(kodul, dom, korp) ") + op + " (?1, ?2, ?3)";
}

std::string OrderBy(TOrder order, bool descending) {
  const std::string d = descending ? " DESC" : "";
  if (order == kByNumtel) return "Numtel" + d + ", id" + d;
  if (order == kByName) return "Name" + d + ", id" + d;
  return "kodul" + d + ", dom" + d + ", korp" + d + ", id" + d;
}

// The record-by-record filter's C function: the house equals the value.
void SameText(sqlite3_context* context, int, sqlite3_value** args) {
  const int n = sqlite3_value_bytes(args[0]);
  const unsigned char* a = sqlite3_value_text(args[0]);
  const unsigned char* b = sqlite3_value_text(args[1]);
  const bool same = a && b && n == sqlite3_value_bytes(args[1]) && std::equal(a, a + n, b);
  sqlite3_result_int(context, same ? 1 : 0);
}

}  // namespace

TSqliteSide::TSqliteSide(const std::string& path, int64_t cacheKiB) {
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) Fail("open " + path);
  char* error = nullptr;
  if (sqlite3_russiancollation_init(db_, &error, nullptr) != SQLITE_OK) {
    const std::string text = error ? error : "RUSSIAN_CI";
    sqlite3_free(error);
    Fail(text);
  }
  if (sqlite3_create_function_v2(db_, "same_text", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, SameText,
                                 nullptr, nullptr, nullptr) != SQLITE_OK)
    Fail("register same_text");
  if (cacheKiB > 0 &&
      sqlite3_exec(db_, ("PRAGMA cache_size = -" + std::to_string(cacheKiB)).c_str(), nullptr, nullptr, nullptr) !=
          SQLITE_OK)
    Fail("set the cache size");
}

TSqliteSide::~TSqliteSide() {
  for (auto& [sql, statement] : statements_) sqlite3_finalize(statement);
  sqlite3_close(db_);
}

void TSqliteSide::Fail(const std::string& what) const {
  throw std::runtime_error("SQLite: " + what + ": " + (db_ ? sqlite3_errmsg(db_) : "no connection"));
}

sqlite3_stmt* TSqliteSide::Statement(const std::string& sql) {
  auto it = statements_.find(sql);
  if (it != statements_.end()) return it->second;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK)
    Fail("prepare " + sql);
  order_.push_back(sql);
  return statements_.emplace(sql, statement).first->second;
}

void TSqliteSide::Bind(sqlite3_stmt* statement, const TKey& key, int first) {
  for (size_t i = 0; i < key.Size(); ++i)
    sqlite3_bind_text(statement, first + int(i), key.Utf8[i].data(), int(key.Utf8[i].size()), SQLITE_STATIC);
}

int TSqliteSide::Rows(sqlite3_stmt* statement, TAnswer* answer, bool reversed) {
  int rows = 0;
  std::vector<std::vector<std::string>> held;
  for (;;) {
    const int rc = sqlite3_step(statement);
    if (rc == SQLITE_DONE) break;
    if (rc != SQLITE_ROW) Fail("step");
    ++rows;
    if (!answer) {
      for (int c = 0; c < 5; ++c) {
        const unsigned char* text = sqlite3_column_text(statement, c);
        sink_ += uint64_t(sqlite3_column_bytes(statement, c)) + (text ? text[0] : 0);
      }
      sink_ += uint64_t(sqlite3_column_int64(statement, 5));
      continue;
    }
    std::vector<std::string> values;
    for (int c = 0; c < 5; ++c) {
      const unsigned char* text = sqlite3_column_text(statement, c);
      values.emplace_back(text ? reinterpret_cast<const char*>(text) : "");
    }
    values.push_back(std::to_string(sqlite3_column_int64(statement, 5)));
    if (reversed)
      held.push_back(std::move(values));
    else
      answer->AddRow(values);
  }
  sqlite3_reset(statement);
  for (auto it = held.rbegin(); it != held.rend(); ++it) answer->AddRow(*it);
  return rows;
}

void TSqliteSide::Count(sqlite3_stmt* statement, TAnswer* answer) {
  if (sqlite3_step(statement) != SQLITE_ROW) Fail("step");
  const int64_t count = sqlite3_column_int64(statement, 0);
  sqlite3_reset(statement);
  if (answer)
    answer->AddCount(count);
  else
    sink_ += uint64_t(count);
}

int64_t TSqliteSide::RowCount() {
  TAnswer answer;
  Count(Statement("SELECT COUNT(*) FROM base2"), &answer);
  return answer.Count();
}

std::vector<TSampleRow> TSqliteSide::SampleRows(const std::vector<int64_t>& ids) {
  sqlite3_stmt* statement = Statement("SELECT Numtel, Name, kodul, dom, korp FROM base2 WHERE id = ?1");
  std::vector<TSampleRow> rows;
  for (int64_t id : ids) {
    sqlite3_bind_int64(statement, 1, id);
    if (sqlite3_step(statement) == SQLITE_ROW) {
      auto text = [&](int c) {
        const unsigned char* t = sqlite3_column_text(statement, c);
        return std::string(t ? reinterpret_cast<const char*>(t) : "");
      };
      rows.push_back({text(0), text(1), text(2), text(3), text(4)});
    }
    sqlite3_reset(statement);
  }
  return rows;
}

void TSqliteSide::Lookup(const TKey& numtel, TAnswer* answer) {
  sqlite3_stmt* statement = Statement(std::string(kColumns) + "WHERE Numtel = ?1 ORDER BY Numtel, id LIMIT 1");
  Bind(statement, numtel);
  Rows(statement, answer);
}

void TSqliteSide::Keystroke(TOrder order, const TKey& key, TAnswer* answer) { Page(order, key, 0, 20, answer); }

void TSqliteSide::Page(TOrder order, const TKey& key, int before, int from, TAnswer* answer) {
  const std::string limit = " LIMIT ?" + std::to_string(kLimitParameter);
  if (before > 0) {
    sqlite3_stmt* statement =
        Statement(kColumns + ("WHERE " + AtOrAfter(order, key.Size(), "<")) + " ORDER BY " + OrderBy(order, true) + limit);
    Bind(statement, key);
    sqlite3_bind_int(statement, kLimitParameter, before);
    Rows(statement, answer, true);
  }
  sqlite3_stmt* statement =
      Statement(kColumns + ("WHERE " + AtOrAfter(order, key.Size(), ">=")) + " ORDER BY " + OrderBy(order, false) + limit);
  Bind(statement, key);
  sqlite3_bind_int(statement, kLimitParameter, from);
  Rows(statement, answer);
}

void TSqliteSide::Scan(TAnswer* answer) { Rows(Statement(std::string(kColumns) + "ORDER BY Numtel, id"), answer); }

void TSqliteSide::RangeCount(const TKey& low, const TKey& high, TAnswer* answer) {
  sqlite3_stmt* statement = Statement("SELECT COUNT(*) FROM base2 WHERE Numtel BETWEEN ?1 AND ?2");
  Bind(statement, low, 1);
  Bind(statement, high, 2);
  Count(statement, answer);
}

void TSqliteSide::StreetCount(const TKey& kodul, TAnswer* answer) {
  sqlite3_stmt* statement = Statement("SELECT COUNT(*) FROM base2 WHERE kodul = ?1");
  Bind(statement, kodul);
  Count(statement, answer);
}

void TSqliteSide::StreetRows(const TKey& kodul, TAnswer* answer) {
  sqlite3_stmt* statement = Statement(std::string(kColumns) + "WHERE kodul = ?1 ORDER BY id");
  Bind(statement, kodul);
  Rows(statement, answer);
}

void TSqliteSide::HouseCount(const TKey& dom, bool byFunction, TAnswer* answer) {
  sqlite3_stmt* statement = Statement(byFunction ? "SELECT COUNT(*) FROM base2 NOT INDEXED WHERE same_text(dom, ?1)"
                                                 : "SELECT COUNT(*) FROM base2 NOT INDEXED WHERE dom = ?1");
  Bind(statement, dom);
  Count(statement, answer);
}

std::vector<std::string> TSqliteSide::Plans() {
  std::vector<std::string> plans;
  for (const std::string& sql : order_) {
    sqlite3_stmt* explain = nullptr;
    if (sqlite3_prepare_v2(db_, ("EXPLAIN QUERY PLAN " + sql).c_str(), -1, &explain, nullptr) != SQLITE_OK)
      Fail("explain " + sql);
    std::string plan;
    while (sqlite3_step(explain) == SQLITE_ROW) {
      const unsigned char* detail = sqlite3_column_text(explain, 3);
      if (!plan.empty()) plan += "; ";
      plan += detail ? reinterpret_cast<const char*>(detail) : "";
    }
    sqlite3_finalize(explain);
    plans.push_back(sql + "\n      -> " + plan);
  }
  return plans;
}

}  // namespace bench
