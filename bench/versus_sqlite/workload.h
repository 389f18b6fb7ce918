#pragma once
// What the side-by-side benchmark asks of both sides: the three orders of
// the directory's search boxes, search keys as the boxes hand them over,
// and the values of the range, filter and lookup operations. Every key
// comes from rows of the table itself (sampled by record ID with a fixed
// seed), so a run is repeatable and every search lands on a record.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace bench {

// The search boxes' orders: phone number, name (letter case ignored),
// address (street code, house, building).
enum TOrder : int { kByNumtel = 0, kByName = 1, kByAddress = 2, kOrderCount = 3 };

const char* OrderName(TOrder order);  // "Numtel", "Name", "kodul;dom;korp"

// One key or value, as the engine takes it (Windows-1251) and as SQLite
// takes it (UTF-8), one text per key field given.
struct TKey {
  std::vector<std::string> Cp1251;
  std::vector<std::string> Utf8;
  size_t Size() const { return Cp1251.size(); }
};
TKey KeyFromUtf8(std::vector<std::string> utf8);

// A subscriber row as text (UTF-8).
struct TSampleRow {
  std::string Numtel, Name, Kodul, Dom, Korp;
};

struct TWorkload {
  std::vector<TKey> Lookups;                    // Numtel values that exist
  std::vector<TKey> Keystrokes[kOrderCount];    // prefixes typed key by key
  std::vector<std::pair<TKey, TKey>> NarrowRanges, WideRanges;  // Numtel bounds, both included
  std::vector<TKey> Streets;                    // kodul values
  std::vector<TKey> Houses;                     // dom values
};

// Builds the workload from sampled rows: per row its number typed digit by
// digit (each prefix padded with zeros to the number's length, as the
// phone box does), its name typed letter by letter in lower case (up to
// eight letters), and its address as street, street + house, street +
// house + building.
TWorkload MakeWorkload(const std::vector<TSampleRow>& rows);

// Record IDs to sample: `count` numbers in 1..records from a fixed seed.
std::vector<int64_t> SampleIds(int64_t records, size_t count);

}  // namespace bench
