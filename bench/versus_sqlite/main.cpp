// versus-sqlite: the directory's operations on the engine (and through the
// table component) beside SQLite on the same rows, with the answers of
// both sides checked before they are timed. bench/run makes the inputs
// (the demo directory and a SQLite database loaded from its rows) and
// calls this program.
//
//   versus-sqlite DIRECTORY DATABASE [--repetitions N] [--samples N]
//                 [--only TEXT] [--tsv FILE] [--side tabula|sqlite|sqlite-big]
//
// DIRECTORY holds base2.DAT; DATABASE the table base2 with the same rows.
// Figures are medians over the repetitions of processor time per item;
// ratios are the engine's time over SQLite's (above 1 the engine is slower).
// --only runs the operation named TEXT, or else those whose name holds it; --side times one side
// only (every side is still checked), for a profiler.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <type_traits>
#include <vector>

#include "bench/versus_sqlite/dataset_side.h"
#include "bench/versus_sqlite/engine_side.h"
#include "bench/versus_sqlite/side_by_side.h"
#include "bench/versus_sqlite/sqlite_side.h"
#include "bench/versus_sqlite/workload.h"
#include "dataset/tabula_session_list.h"
#include "tabula/file_session.h"

namespace {

using namespace bench;

constexpr int64_t kBigCacheKiB = 1024 * 1024;

struct TOptions {
  std::string Directory, Database, Only, Tsv;
  int Repetitions = 5;
  int Side = -1;  // time only this side (--side tabula|sqlite|sqlite-big)
  size_t Samples = 100;
};

const char* kUsage =
    "usage: versus-sqlite DIRECTORY DATABASE [--repetitions N] [--samples N] [--only TEXT] [--tsv FILE]\n"
    "                     [--side tabula|sqlite|sqlite-big]\n";

struct EUsage {
  std::string Text;
};

TOptions ParseArgs(int argc, char** argv) {
  TOptions o;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw EUsage{a + " wants a value"};
      return argv[++i];
    };
    if (a == "--repetitions")
      o.Repetitions = std::max(1, std::atoi(value().c_str()));
    else if (a == "--samples")
      o.Samples = size_t(std::max(1, std::atoi(value().c_str())));
    else if (a == "--only")
      o.Only = value();
    else if (a == "--tsv")
      o.Tsv = value();
    else if (a == "--side") {
      const std::string side = value();
      o.Side = side == "tabula" ? kTabula : side == "sqlite" ? kSqlite : side == "sqlite-big" ? kSqliteBigCache : -2;
      if (o.Side == -2) throw EUsage{"--side wants tabula, sqlite or sqlite-big"};
    }
    else if (a.rfind("--", 0) == 0)
      throw EUsage{"unknown option " + a};
    else
      positional.push_back(a);
  }
  if (positional.size() != 2) throw EUsage{"DIRECTORY and DATABASE are needed"};
  o.Directory = std::filesystem::absolute(positional[0]).string();
  o.Database = positional[1];
  return o;
}

std::string KeyText(const TKey& key) {
  std::string text;
  for (const std::string& part : key.Utf8) text += (text.empty() ? "'" : ", '") + part + "'";
  return text;
}

// The sides every operation runs on.
struct TSides {
  TEngineSide& Engine;
  TDatasetSide& Dataset;
  TSqliteSide* Sqlite[kSideCount];  // [kSqlite], [kSqliteBigCache]
};

// An operation whose engine and SQLite sides both take the item's key.
template <class TItems, class TEngineCall, class TSqliteCall>
TOperation Op(std::string name, TUnit unit, const TItems& items, TSides& s, TEngineCall engine, TSqliteCall sqlite) {
  TOperation op;
  op.Name = std::move(name);
  op.Unit = unit;
  op.Items = items.size();
  op.Work[kTabula] = [&items, &s, engine](size_t i, TAnswer* a) { engine(s.Engine, items[i], a); };
  if constexpr (std::is_same_v<typename TItems::value_type, TKey>)
    op.ItemText = [&items](size_t i) { return KeyText(items[i]); };
  for (int side : {int(kSqlite), int(kSqliteBigCache)}) {
    TSqliteSide* peer = s.Sqlite[side];
    op.Work[side] = [&items, peer, sqlite](size_t i, TAnswer* a) { sqlite(*peer, items[i], a); };
  }
  return op;
}

// Item lists that the operations refer to; they outlive the operations.
struct TLists {
  std::vector<size_t> Streets, Houses;  // numbers of the engine's prepared filters
  std::vector<int> Once = {0};
  std::vector<TPageSplit> Splits[kOrderCount];
};

std::vector<TOperation> Operations(TSides& s, const TWorkload& w, TLists& lists, int64_t rows) {
  std::vector<TOperation> ops;
  ops.push_back(Op("exact lookup by Numtel, reading the record", TUnit::kMicroseconds, w.Lookups, s,
                   [](TEngineSide& e, const TKey& k, TAnswer* a) { e.Lookup(k, a); },
                   [](TSqliteSide& q, const TKey& k, TAnswer* a) { q.Lookup(k, a); }));
  for (bool hold : {false, true})
    for (int o = 0; o < kOrderCount; ++o) {
      const TOrder order = TOrder(o);
      ops.push_back(Op(std::string(hold ? "keystroke, read lock held: " : "keystroke: ") + "nearest + 20 rows, " +
                           OrderName(order),
                       TUnit::kMicroseconds, w.Keystrokes[o], s,
                       [order, hold](TEngineSide& e, const TKey& k, TAnswer* a) { e.Keystroke(order, k, hold, a); },
                       [order](TSqliteSide& q, const TKey& k, TAnswer* a) { q.Keystroke(order, k, a); }));
    }
  for (int o = 0; o < kOrderCount; ++o) {
    const TOrder order = TOrder(o);
    const std::vector<TKey>& keys = w.Keystrokes[o];
    std::vector<TPageSplit>& split = lists.Splits[o];
    TOperation op;
    op.Name = std::string("dataset: SeekNearest + 20-row page, ") + OrderName(order);
    op.Items = keys.size();
    op.ItemText = [&keys](size_t i) { return KeyText(keys[i]); };
    // Where each search puts its record in the page decides which rows the
    // SQLite side reads; a second pass must put it in the same place.
    op.Prepare = [&s, &keys, &split, order] {
      split.clear();
      for (const TKey& k : keys) split.push_back(s.Dataset.Keystroke(order, k, nullptr));
    };
    op.Work[kTabula] = [&s, &keys, &split, order](size_t i, TAnswer* a) {
      const TPageSplit got = s.Dataset.Keystroke(order, keys[i], a);
      if (a && !(got == split[i])) throw std::runtime_error("the table component's page moved between passes");
    };
    for (int side : {int(kSqlite), int(kSqliteBigCache)}) {
      TSqliteSide* peer = s.Sqlite[side];
      op.Work[side] = [peer, &keys, &split, order](size_t i, TAnswer* a) {
        peer->Page(order, keys[i], split[i].Before, split[i].From, a);
      };
    }
    ops.push_back(std::move(op));
  }
  for (bool hold : {false, true}) {
    TOperation op = Op(std::string("ordered scan by Numtel") + (hold ? ", read lock held" : ""),
                       TUnit::kRowsPerSecond, lists.Once, s,
                       [hold](TEngineSide& e, int, TAnswer* a) { e.Scan(hold, a); },
                       [](TSqliteSide& q, int, TAnswer* a) { q.Scan(a); });
    op.RowsPerItem = rows;
    ops.push_back(std::move(op));
  }
  ops.push_back(Op("range count (SetRange + RecordCount), ~1,000 numbers", TUnit::kMicroseconds, w.NarrowRanges, s,
                   [](TEngineSide& e, const auto& r, TAnswer* a) { e.RangeCount(r.first, r.second, a); },
                   [](TSqliteSide& q, const auto& r, TAnswer* a) { q.RangeCount(r.first, r.second, a); }));
  ops.push_back(Op("range count (SetRange + RecordCount), 5/8 of the numbers", TUnit::kMicroseconds, w.WideRanges, s,
                   [](TEngineSide& e, const auto& r, TAnswer* a) { e.RangeCount(r.first, r.second, a); },
                   [](TSqliteSide& q, const auto& r, TAnswer* a) { q.RangeCount(r.first, r.second, a); }));
  // Filters: the engine's side takes an item's number (its prepared
  // filter buffer), SQLite the value.
  for (size_t i = 0; i < w.Streets.size(); ++i) lists.Streets.push_back(i);
  for (size_t i = 0; i < w.Houses.size(); ++i) lists.Houses.push_back(i);
  const TWorkload* work = &w;
  ops.push_back(Op("filter by index (kodul = street): count", TUnit::kMicroseconds, lists.Streets, s,
                   [](TEngineSide& e, size_t i, TAnswer* a) { e.StreetCount(i, a); },
                   [work](TSqliteSide& q, size_t i, TAnswer* a) { q.StreetCount(work->Streets[i], a); }));
  ops.push_back(Op("filter by index (kodul = street): read the rows", TUnit::kMicroseconds, lists.Streets, s,
                   [](TEngineSide& e, size_t i, TAnswer* a) { e.StreetRows(i, a); },
                   [work](TSqliteSide& q, size_t i, TAnswer* a) { q.StreetRows(work->Streets[i], a); }));
  for (bool callback : {true, false})
    ops.push_back(Op(std::string("filter record by record (dom = house): ") + (callback ? "callback" : "expression"),
                     TUnit::kMilliseconds, lists.Houses, s,
                     [callback](TEngineSide& e, size_t i, TAnswer* a) { e.HouseCount(i, callback, a); },
                     [work, callback](TSqliteSide& q, size_t i, TAnswer* a) {
                       q.HouseCount(work->Houses[i], callback, a);
                     }));
  return ops;
}

void PrintRow(FILE* out, const std::string& name, const std::string& tabula, const std::string& sqlite,
              const std::string& ratio, const std::string& big, const std::string& bigRatio) {
  std::fprintf(out, "%-78s %16s %16s %7s %18s %7s\n", name.c_str(), tabula.c_str(), sqlite.c_str(), ratio.c_str(),
               big.c_str(), bigRatio.c_str());
}

std::string RatioText(double ratio) {
  if (ratio <= 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, ratio < 0.1 ? "%.3f" : "%.2f", ratio);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  TOptions options;
  try {
    options = ParseArgs(argc, argv);
  } catch (const EUsage& e) {
    std::fprintf(stderr, "versus-sqlite: %s\n%s", e.Text.c_str(), kUsage);
    return 2;
  }
  try {
    std::printf("load before: %s\n", MachineLoad().c_str());
    tabula::InitializeEngine();
    int status = 0;
    {
      TEngineSide engine(options.Directory + "/base2.DAT");
      TSqliteSide sqlite(options.Database, 0);
      TSqliteSide sqliteBig(options.Database, kBigCacheKiB);
      TDatasetSide dataset(options.Directory);
      const int64_t rows = engine.RowCount();
      if (rows != sqlite.RowCount())
        throw std::runtime_error("the engine's table holds " + std::to_string(rows) + " rows, SQLite's " +
                                 std::to_string(sqlite.RowCount()));
      const TWorkload work = MakeWorkload(sqlite.SampleRows(SampleIds(rows, options.Samples)));
      engine.PrepareFilters(work.Streets, work.Houses);
      TSides sides{engine, dataset, {nullptr, &sqlite, &sqliteBig}};
      TLists lists;
      const std::vector<TOperation> ops = Operations(sides, work, lists, rows);

      std::printf("%lld subscribers; %d repetitions, medians of processor time per item; ratio = Tabula / SQLite\n",
                  static_cast<long long>(rows), options.Repetitions);
      PrintRow(stdout, "operation (items x rounds per side)", "Tabula", "SQLite", "ratio", "SQLite 1 GiB", "ratio");
      std::ofstream tsv;
      if (!options.Tsv.empty()) tsv.open(options.Tsv);
      // --only names one operation exactly, or else picks every name holding it.
      const bool exact = std::any_of(ops.begin(), ops.end(), [&](const TOperation& op) { return op.Name == options.Only; });
      for (const TOperation& op : ops) {
        if (!options.Only.empty() && (exact ? op.Name != options.Only : op.Name.find(options.Only) == std::string::npos))
          continue;
        const TResult r = RunOperation(op, options.Repetitions, options.Side);
        // "(items x rounds of Tabula/SQLite/SQLite 1 GiB)"
        std::string rounds;
        for (int s = 0; s < kSideCount; ++s) {
          if (s) rounds += '/';
          rounds += std::to_string(r.Rounds[s]);
        }
        const std::string name = r.Name + " (" + std::to_string(r.Items) + " x " + rounds + ")";
        PrintRow(stdout, name, FormatFigure(r, kTabula), FormatFigure(r, kSqlite), RatioText(Ratio(r, kSqlite)),
                 FormatFigure(r, kSqliteBigCache), RatioText(Ratio(r, kSqliteBigCache)));
        std::fflush(stdout);
        if (tsv)
          tsv << name << '\t' << FormatFigure(r, kTabula) << '\t' << FormatFigure(r, kSqlite) << '\t'
              << RatioText(Ratio(r, kSqlite)) << '\t' << FormatFigure(r, kSqliteBigCache) << '\t'
              << RatioText(Ratio(r, kSqliteBigCache)) << '\n';
      }
      std::printf("\nSQLite query plans:\n");
      for (const std::string& plan : sqlite.Plans()) std::printf("  %s\n", plan.c_str());
    }
    tabula::db::FinalizeSessions();
    std::printf("load after: %s\n", MachineLoad().c_str());
    return status;
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "versus-sqlite: %s\n", e.what());
    return 1;
  }
}
