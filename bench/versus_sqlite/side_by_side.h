#pragma once
// The harness of the side-by-side benchmark: operations that each side
// (the engine or the table component, SQLite with its default page cache,
// SQLite with a 1 GiB page cache) runs over the same list of items; the
// answers every side gives, compared item by item before anything is
// timed; then repetitions with the sides interleaved, timed in processor
// time, and the medians per item.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace bench {

// What one side answered for one item: how many rows (or the count it
// reported), and a hash of the rows' values in the order they came.
class TAnswer {
 public:
  // A row's values as text (UTF-8; NULL and empty both as the empty text).
  void AddRow(const std::vector<std::string>& values);
  void AddCount(int64_t count) { count_ += count; }
  int64_t Count() const { return count_; }
  uint64_t Hash() const { return hash_; }
  // The first and last rows, for the report of a difference.
  const std::string& FirstRow() const { return first_; }
  const std::string& LastRow() const { return last_; }
  bool operator==(const TAnswer& other) const { return count_ == other.count_ && hash_ == other.hash_; }

 private:
  int64_t count_ = 0;
  uint64_t hash_ = 14695981039346656037ull;
  std::string first_, last_;
};

// The sides, in the columns of the table.
enum TSide : int { kTabula = 0, kSqlite = 1, kSqliteBigCache = 2, kSideCount = 3 };

// How an operation's figures are shown.
enum class TUnit { kMicroseconds, kMilliseconds, kRowsPerSecond };

// One side's work on item i. With an answer it records what it found (the
// check); without one it only consumes the values (the timed runs).
using TSideWork = std::function<void(size_t item, TAnswer* answer)>;

struct TOperation {
  std::string Name;
  TUnit Unit = TUnit::kMicroseconds;
  size_t Items = 0;    // items per repetition
  int64_t RowsPerItem = 0;  // for rows per second
  TSideWork Work[kSideCount];
  // Run once before the check (the table component's window positions).
  std::function<void()> Prepare;
  // Item i as text, for the report of a difference.
  std::function<std::string(size_t)> ItemText;
};

// Processor time of the whole process, in seconds.
double ProcessSeconds();
// "1.23 1.10 0.98, 2 cores" from /proc/loadavg.
std::string MachineLoad();

struct TResult {
  std::string Name;
  TUnit Unit = TUnit::kMicroseconds;
  size_t Items = 0;
  int Rounds[kSideCount] = {1, 1, 1};  // passes over the items per repetition, per side
  double Median[kSideCount] = {};  // seconds per item
  int64_t RowsPerItem = 0;
  int64_t AnsweredRows = 0;  // rows or counts the check saw (Tabula side), all items
};

// Checks the answers of every side item by item (throws std::runtime_error
// naming the operation and item on the first difference), then times
// `repetitions` repetitions of each side, their order rotated from one
// repetition to the next; a repetition of a side is as many rounds over the
// items as make that side take at least 0.2 s. With onlySide >= 0 only that
// side is timed (the others are still checked), for profiling one side.
TResult RunOperation(const TOperation& op, int repetitions, int onlySide = -1);

// Figures as the table prints them.
std::string FormatFigure(const TResult& r, TSide side);
// Engine time over SQLite time (above 1 the engine is slower); 0 when a
// side was not timed.
double Ratio(const TResult& r, TSide peer);

}  // namespace bench
