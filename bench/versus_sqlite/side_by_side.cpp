// The harness: checks, interleaved repetitions, medians (side_by_side.h).

#include "bench/versus_sqlite/side_by_side.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <stdexcept>

namespace bench {

void TAnswer::AddRow(const std::vector<std::string>& values) {
  std::string row;
  for (size_t i = 0; i < values.size(); ++i) {
    if (i) row += '|';
    row += values[i];
  }
  // FNV-1a over the row and a separator, so that order matters.
  for (unsigned char c : row + '\n') {
    hash_ ^= c;
    hash_ *= 1099511628211ull;
  }
  if (count_ == 0) first_ = row;
  last_ = row;
  ++count_;
}

double ProcessSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

std::string MachineLoad() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen + ", " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " cores";
}

namespace {

constexpr double kRepetitionSeconds = 0.2;

const char* kSideNames[kSideCount] = {"Tabula", "SQLite", "SQLite 1 GiB cache"};

std::string Describe(const TAnswer& a) {
  return std::to_string(a.Count()) + " rows/count, first [" + a.FirstRow() + "], last [" + a.LastRow() + "]";
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

TResult RunOperation(const TOperation& op, int repetitions, int onlySide) {
  auto timed = [onlySide](int side) { return onlySide < 0 || onlySide == side; };
  TResult result;
  result.Name = op.Name;
  result.Unit = op.Unit;
  result.Items = op.Items;
  result.RowsPerItem = op.RowsPerItem;
  if (op.Prepare) op.Prepare();
  // The check: every side, item by item, must give the same answer. It is
  // also every side's warm-up pass.
  for (size_t i = 0; i < op.Items; ++i) {
    TAnswer answers[kSideCount];
    for (int s = 0; s < kSideCount; ++s) op.Work[s](i, &answers[s]);
    for (int s = 1; s < kSideCount; ++s)
      if (!(answers[s] == answers[kTabula]))
        throw std::runtime_error(op.Name + ", item " + std::to_string(i) +
                                 (op.ItemText ? " (" + op.ItemText(i) + ")" : std::string()) + ": " + kSideNames[kTabula] + " " +
                                 Describe(answers[kTabula]) + "; " + kSideNames[s] + " " + Describe(answers[s]));
    result.AnsweredRows += answers[kTabula].Count();
  }
  // A pass of each side as timed, to size its repetitions: each side runs
  // the items as many rounds as fill kRepetitionSeconds, so that short
  // operations are not timed by the tick and long ones are not repeated
  // for the sake of the fastest side.
  for (int s = 0; s < kSideCount; ++s) {
    if (!timed(s)) continue;
    const double start = ProcessSeconds();
    for (size_t i = 0; i < op.Items; ++i) op.Work[s](i, nullptr);
    const double pass = ProcessSeconds() - start;
    result.Rounds[s] = int(std::clamp(std::ceil(kRepetitionSeconds / std::max(pass, 1e-6)), 1.0, 10000.0));
  }
  std::vector<double> perItem[kSideCount];
  for (int rep = 0; rep < repetitions; ++rep)
    for (int k = 0; k < kSideCount; ++k) {
      const int side = (rep + k) % kSideCount;
      if (!timed(side)) continue;
      const double start = ProcessSeconds();
      for (int round = 0; round < result.Rounds[side]; ++round)
        for (size_t i = 0; i < op.Items; ++i) op.Work[side](i, nullptr);
      perItem[side].push_back((ProcessSeconds() - start) / double(op.Items) / result.Rounds[side]);
    }
  for (int s = 0; s < kSideCount; ++s)
    if (timed(s)) result.Median[s] = Median(perItem[s]);
  return result;
}

std::string FormatFigure(const TResult& r, TSide side) {
  char text[64];
  const double seconds = r.Median[side];
  if (seconds <= 0) return "-";
  switch (r.Unit) {
    case TUnit::kMicroseconds:
      std::snprintf(text, sizeof text, "%.1f us", seconds * 1e6);
      break;
    case TUnit::kMilliseconds:
      std::snprintf(text, sizeof text, "%.1f ms", seconds * 1e3);
      break;
    case TUnit::kRowsPerSecond:
      std::snprintf(text, sizeof text, "%.2f M rows/s", seconds > 0 ? double(r.RowsPerItem) / seconds / 1e6 : 0.0);
      break;
  }
  return text;
}

double Ratio(const TResult& r, TSide peer) { return r.Median[peer] > 0 ? r.Median[kTabula] / r.Median[peer] : 0.0; }

}  // namespace bench
