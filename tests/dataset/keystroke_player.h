#pragma once
// The directory's type-ahead search played over a large subscriber table
// and checked against an oracle that knows nothing of the engine: the rows
// of the generated table sorted in memory with ICU collation (the Russian
// rules the table's language driver names; names upper-cased first for the
// case-insensitive index; equal keys in insertion order). Each keystroke is
// one SeekNearest on the table (ordered by "Numtel", "NAME" or
// "kodul;dom;korp") with a 20-row window; the result says whether the
// active record and every row of the window, street name included, are the
// oracle's, and what the keystroke cost in engine calls.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "dataset/tabula_table.h"
#include "framework/data/data_link.h"
#include "framework/data/data_source.h"

namespace dataset_test {

enum class TSearchOrder { kNumtel, kName, kAddress };

class TKeystrokeOracle {
 public:
  // The first `count` generated subscribers and the street rows.
  TKeystrokeOracle(int64_t count, std::vector<std::pair<std::string, std::string>> streets);
  ~TKeystrokeOracle();
  TKeystrokeOracle(const TKeystrokeOracle&) = delete;
  TKeystrokeOracle& operator=(const TKeystrokeOracle&) = delete;

  int64_t Count() const { return int64_t(numtel_.size()); }
  // Row indexes (0-based, insertion order) in the order of an index.
  const std::vector<int32_t>& Order(TSearchOrder order) const;
  // The rank of the first row whose key over the values given is equal to
  // or greater than them; Count() when there is none.
  int64_t LowerBound(TSearchOrder order, const std::vector<std::string>& values) const;
  // What the grid shows of row i: "Numtel|Name|kodul|dom|korp|street".
  std::string RowText(int32_t i) const;
  // The street name for a subscriber's code (cut to five characters); ""
  // when no street has it.
  std::string StreetOf(const std::string& kodul) const;

 private:
  struct TCollator;
  int Compare(const std::string& a, const std::string& b, bool upper) const;
  int CompareRow(TSearchOrder order, int32_t row, const std::vector<std::string>& values) const;

  std::unique_ptr<TCollator> collator_;
  std::vector<std::string> numtel_, name_, kodul_, dom_, korp_;
  std::vector<std::pair<std::string, std::string>> streets_;  // sorted by code
  std::vector<int32_t> byNumtel_, byName_, byAddress_;
};

// A window of rows over a table, as a grid holds it.
class TWindowLink : public fw::TDataLink {};

// The subscriber table opened as the directory opens it: read-only, its
// fields declared with the lookup field NameUl on the street table.
struct TDirectoryTables {
  fw::TDataSource Source;
  TWindowLink Window;
  tabula::db::TTabulaTable Streets;
  tabula::db::TTabulaTable Subscribers;
  // Opens base2.DAT and street.DAT in `directory` with a window of `rows`.
  TDirectoryTables(const std::string& directory, int rows);
};

struct TKeystroke {
  TSearchOrder Order = TSearchOrder::kNumtel;
  std::vector<std::string> Typed;  // what the search box holds (Windows-1251)
  int64_t ExpectedRank = 0;        // the oracle's landing record
  int64_t WindowStart = 0;         // the oracle's rank of row 0
  int ActiveRow = -1;              // the window's active row
  int ExpectedActiveRow = 0;
  int ShownRows = 0;
  int WrongRows = 0;               // rows (street included) unlike the oracle's
  bool WrongActive = false;
  tabula::db::TEngineCallCounts Calls;        // on the subscriber table
  tabula::db::TEngineCallCounts StreetCalls;  // on the street table (lookups)
  double Milliseconds = 0;
};

// The keystrokes of the three searches: the phone box typed "2", "23", ...
// (each turned into the number the box builds), the name box typed in
// lower case, the address given as one, two and three values.
std::vector<TKeystroke> KeystrokeScript(const TKeystrokeOracle& oracle);

// Plays the keystrokes on the tables and fills in the results.
void PlayKeystrokes(TDirectoryTables& tables, const TKeystrokeOracle& oracle, std::vector<TKeystroke>& keystrokes);

std::string DescribeKeystroke(const TKeystroke& keystroke);

}  // namespace dataset_test
