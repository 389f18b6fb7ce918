#include "tests/dataset/grid_player.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <set>

namespace dataset_test {

namespace {

struct TModel {
  int64_t Count = 0;
  int Rows = 0;
  int64_t First = 0;   // rank of row 0
  int64_t Active = 0;  // rank of the active record

  void MoveBy(int64_t distance) {
    Active = std::clamp<int64_t>(Active + distance, 0, Count - 1);
    if (Active < First) First = Active;
    if (Active >= First + Rows) First = Active - Rows + 1;
  }
  void GoTo(int64_t rank) {
    Active = rank;
    First = std::clamp<int64_t>(rank - (Rows - 1) / 2, 0, Count - Rows);
  }
};

std::vector<std::string> Shown(TGridLink& link, fw::TField& numtel) {
  std::vector<std::string> out;
  for (int row = 0; row < link.RecordCount(); ++row) out.push_back(link.DisplayText(row, numtel));
  return out;
}

}  // namespace

std::vector<TGridStep> PlayGrid(tabula::db::TTabulaTable& table, const std::vector<std::string>& sorted, int rows) {
  fw::TDataSource source;
  source.SetDataSet(&table);
  TGridLink link;
  link.SetDataSource(&source);
  link.SetBufferCount(rows);
  table.SetIndexFieldNames("Numtel");

  TModel model{int64_t(sorted.size()), rows, 0, 0};
  std::vector<TGridStep> steps;
  std::vector<std::string> before;
  auto step = [&](const std::string& name, bool scroll, const std::function<void()>& move,
                  const std::function<void()>& expect) {
    TGridStep s;
    s.Name = name;
    const int64_t oldFirst = model.First;
    expect();
    s.ExpectedFirst = model.First;
    s.ExpectedActiveRow = int(model.Active - model.First);
    s.ExpectedDistance = model.First - oldFirst;
    s.ExpectScroll = scroll;
    link.Reset();
    if (table.Active()) table.ResetEngineCalls();
    const auto start = std::chrono::steady_clock::now();
    move();
    s.Milliseconds = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    s.Calls = table.EngineCalls();
    fw::TField& numtel = table.FieldByName("Numtel");
    const std::vector<std::string> shown = Shown(link, numtel);
    s.ShownRows = int(shown.size());
    s.ActiveRow = link.ActiveRecord();
    for (int row = 0; row < rows; ++row) {
      const size_t rank = size_t(model.First + row);
      if (size_t(row) >= shown.size() || rank >= sorted.size() || shown[size_t(row)] != sorted[rank]) ++s.WrongRows;
    }
    const std::set<std::string> old(before.begin(), before.end());
    for (const std::string& n : shown) s.ChangedRows += old.count(n) == 0 ? 1 : 0;
    s.Scrolls = link.Scrolls;
    s.DataSetChanges = link.DataSetChanges;
    before = shown;
    steps.push_back(s);
  };

  step("open", false, [&] { table.Open(); }, [] {});
  step("First", true, [&] { table.First(); }, [&] { model.GoTo(0), model.First = 0; });
  for (int i = 0; i < 40; ++i) step("MoveBy(" + std::to_string(rows) + ")", true, [&] { table.MoveBy(rows); }, [&] { model.MoveBy(rows); });
  step("Next", true, [&] { table.Next(); }, [&] { model.MoveBy(1); });
  step("Last", false, [&] { table.Last(); }, [&] { model.Active = model.Count - 1, model.First = model.Count - rows; });
  for (int i = 0; i < 40; ++i)
    step("MoveBy(-" + std::to_string(rows) + ")", true, [&] { table.MoveBy(-rows); }, [&] { model.MoveBy(-rows); });
  step("Prior", true, [&] { table.Prior(); }, [&] { model.MoveBy(-1); });
  const int64_t n = model.Count;
  for (int64_t recNo : {n / 2, n / 7, n - 5, int64_t(3), n / 2 + 1})
    step("RecNo := " + std::to_string(recNo), false, [&, recNo] { table.SetRecNo(int(recNo)); },
         [&, recNo] { model.GoTo(recNo - 1); });
  return steps;
}

std::string DescribeStep(const TGridStep& s) {
  std::string scrolls;
  for (int d : s.Scrolls) {
    if (!scrolls.empty()) scrolls += ',';
    scrolls += std::to_string(d);
  }
  char line[256];
  std::snprintf(line, sizeof line, "%-16s rows %2d/%d wrong %d changed %2d | positionings %llu reads %3llu other %3llu "
                "| scroll [%s] changes %d | %.2f ms",
                s.Name.c_str(), s.ShownRows, s.ExpectedActiveRow, s.WrongRows, s.ChangedRows,
                (unsigned long long)s.Calls.Positionings, (unsigned long long)s.Calls.RecordReads,
                (unsigned long long)s.Calls.Other, scrolls.c_str(), s.DataSetChanges, s.Milliseconds);
  return line;
}

}  // namespace dataset_test
