#pragma once
// A grid without a screen: a data link with a window of rows over a
// subscriber table ordered by Numtel, played through a fixed script of
// moves (open, First, forty pages down, Last, forty pages up, one-row
// scrolls, jumps by record number). After each step it records what the
// window shows against a model of where it should stand, the scroll
// distance the link was told, and the engine calls the move cost.

#include <cstdint>
#include <string>
#include <vector>

#include "dataset/tabula_table.h"
#include "framework/data/data_link.h"
#include "framework/data/data_source.h"

namespace dataset_test {

// Records the notifications a grid acts on.
class TGridLink : public fw::TDataLink {
 public:
  int ActiveChanges = 0;
  int DataSetChanges = 0;
  int LayoutChanges = 0;
  std::vector<int> Scrolls;
  std::vector<fw::TField*> RecordChanges;

  void Reset() {
    ActiveChanges = DataSetChanges = LayoutChanges = 0;
    Scrolls.clear();
    RecordChanges.clear();
  }

 protected:
  void ActiveChanged() override { ++ActiveChanges; }
  void DataSetChanged() override { ++DataSetChanges; }
  void DataSetScrolled(int distance) override { Scrolls.push_back(distance); }
  void LayoutChanged() override { ++LayoutChanges; }
  void RecordChanged(fw::TField* field) override { RecordChanges.push_back(field); }
};

struct TGridStep {
  std::string Name;
  int64_t ExpectedFirst = 0;      // model: rank (0-based) of the record in row 0
  int ExpectedActiveRow = 0;      // model: the active row
  int64_t ExpectedDistance = 0;   // model: how far row 0 moved (scroll steps)
  bool ExpectScroll = false;      // the step should arrive as a scroll
  int ShownRows = 0;              // the window's rows holding records
  int ActiveRow = -1;             // the link's active row
  int WrongRows = 0;              // rows that do not show the model's record
  std::vector<int> Scrolls;       // distances the link was told
  int DataSetChanges = 0;
  int ChangedRows = 0;            // rows whose record differs from before the step
  tabula::db::TEngineCallCounts Calls;
  double Milliseconds = 0;
};

// Plays the script on an open-able table (TableName set, closed) ordered
// by Numtel whose sorted phone numbers are `sorted`, with a window of
// `rows` rows (the table must hold at least 2 * rows records).
std::vector<TGridStep> PlayGrid(tabula::db::TTabulaTable& table, const std::vector<std::string>& sorted, int rows);

// One line per step, for the script's report.
std::string DescribeStep(const TGridStep& step);

}  // namespace dataset_test
