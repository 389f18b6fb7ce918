// dataset_grid_play [RECORDS] [ROWS] [DIR]: makes a subscriber table of
// RECORDS rows (default 1,000,000) in DIR (default: a temporary
// directory), plays a grid of ROWS rows (default 20) over it and prints
// each step with the engine calls it cost. Exit 1 when a step shows wrong
// rows or costs more than one positioning and one read per changed row.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "dataset/tabula_session_list.h"
#include "tests/dataset/grid_player.h"
#include "tests/support/tables/subscriber_table.h"
#include "tests/support/temp_dir.h"

int main(int argc, char** argv) {
  const int64_t records = argc > 1 ? std::atoll(argv[1]) : 1000000;
  const int rows = argc > 2 ? std::atoi(argv[2]) : 20;
  testing_support::TempDir temp;
  const std::string dir = argc > 3 ? argv[3] : temp.Path().string();
  const std::string path = dir + "/base2.DAT";
  auto start = std::chrono::steady_clock::now();
  testing_support::MakeSubscriberTable(path, records);
  const double makeSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::vector<std::string> sorted = testing_support::SortedNumtels(records);
  std::printf("table: %lld records made in %.1f s\n", (long long)records, makeSeconds);
  int failures = 0;
  {
    tabula::db::TTabulaTable table;
    table.SetDatabaseName(dir);
    table.SetTableName("base2.DAT");
    table.SetReadOnly(true);
    const auto steps = dataset_test::PlayGrid(table, sorted, rows);
    double total = 0;
    for (const auto& s : steps) {
      std::printf("%s\n", dataset_test::DescribeStep(s).c_str());
      total += s.Milliseconds;
      const bool callsOk = s.Calls.Positionings <= 1 && (s.Name == "open" || s.Calls.RecordReads <= uint64_t(s.ChangedRows));
      if (s.WrongRows != 0 || s.ActiveRow != s.ExpectedActiveRow || !callsOk) ++failures;
    }
    std::printf("steps: %zu, total %.1f ms, failures %d\n", steps.size(), total, failures);
  }
  tabula::db::FinalizeSessions();
  return failures == 0 ? 0 : 1;
}
