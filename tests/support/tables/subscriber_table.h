#pragma once
// Subscriber tables for tests and scripts: the layout of base2.DAT
// (Numtel string 7, Name string 120, kodul string 6, dom string 5, korp
// string 5, id auto-increment; primary index on Numtel, "ByAddr" on
// kodul;dom;korp, case-insensitive "ByName" on Name; Russian language
// driver) filled with `count` deterministic rows, and a small street table
// (street.DAT: RecordID auto-increment, KODUL string 5, NAME string 40,
// index "indkodul" on KODUL).

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

struct TSubscriberRow {
  std::string Numtel;
  std::string Name;  // Windows-1251
  std::string Kodul;
  std::string Dom;
  std::string Korp;
};

// Row i (0-based) of a generated table. Phone numbers are distinct for
// i below 8,000,000.
TSubscriberRow SubscriberRow(int64_t i);
// The phone numbers of rows 0..count-1 in index order.
std::vector<std::string> SortedNumtels(int64_t count);

// Creates (replacing) the table at `path` ("dir/base2.DAT") with `count`
// rows, appended in batches of one transaction each.
void MakeSubscriberTable(const std::string& path, int64_t count);
// Creates an empty table with the subscriber layout.
void CreateSubscriberTable(const std::string& path);
// Creates street.DAT-like table with the given (code, name) rows.
void MakeStreetTable(const std::string& path, const std::vector<std::pair<std::string, std::string>>& rows);

}  // namespace testing_support
