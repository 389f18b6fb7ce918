// Plays the type-ahead search over a large subscriber table (the long
// version of the keystroke test; scripts/keystroke-million runs it on a
// million records): makes the tables, sorts the oracle, plays every
// keystroke and prints it with its engine calls. Exits nonzero when any
// keystroke shows a row the oracle does not.
// Usage: dataset_keystroke_play [RECORDS] [ROWS]

#include <chrono>
#include <algorithm>
#include <cstdio>
#include <string>

#include "dataset/tabula_session_list.h"
#include "tests/dataset/keystroke_player.h"
#include "tests/support/tables/subscriber_table.h"
#include "tests/support/temp_dir.h"

int main(int argc, char** argv) {
  const int64_t records = argc > 1 ? std::stoll(argv[1]) : 1000000;
  const int rows = argc > 2 ? std::stoi(argv[2]) : 20;
  using clock = std::chrono::steady_clock;
  auto seconds = [](clock::time_point since) { return std::chrono::duration<double>(clock::now() - since).count(); };
  try {
    testing_support::TempDir dir;
    const auto streets = testing_support::StreetRows(800);
    auto start = clock::now();
    testing_support::MakeSubscriberTable(dir.File("base2.DAT"), records);
    testing_support::MakeStreetTable(dir.File("street.DAT"), streets);
    std::printf("tables: %lld subscribers, %zu streets, made in %.1f s\n", static_cast<long long>(records),
                streets.size(), seconds(start));
    start = clock::now();
    const dataset_test::TKeystrokeOracle oracle(records, streets);
    std::printf("oracle sorted in %.1f s\n", seconds(start));
    int failures = 0;
    {
      dataset_test::TDirectoryTables tables(dir.Path().string(), rows);
      std::vector<dataset_test::TKeystroke> keystrokes = dataset_test::KeystrokeScript(oracle);
      dataset_test::PlayKeystrokes(tables, oracle, keystrokes);
      double total = 0;
      double slowest = 0;
      for (const dataset_test::TKeystroke& k : keystrokes) {
        std::printf("%s\n", dataset_test::DescribeKeystroke(k).c_str());
        const uint64_t edges = (k.WindowStart == 0) + (k.WindowStart + rows == oracle.Count());
        const bool ok = k.WrongRows == 0 && !k.WrongActive && k.ActiveRow == k.ExpectedActiveRow &&
                        k.ShownRows == rows && k.Calls.KeySearches == 1 && k.Calls.Positionings <= 1 + edges &&
                        k.Calls.RecordReads <= rows + edges &&
                        k.StreetCalls.KeySearches == uint64_t(rows);
        failures += !ok;
        total += k.Milliseconds;
        slowest = std::max(slowest, k.Milliseconds);
      }
      std::printf("%zu keystrokes, %d not as the oracle and the call budget say; %.3f ms per keystroke on "
                  "average, slowest %.3f ms\n",
                  keystrokes.size(), failures, total / double(keystrokes.size()), slowest);
    }
    tabula::db::FinalizeSessions();
    return failures == 0 ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "failed: %s\n", e.what());
    return 2;
  }
}
