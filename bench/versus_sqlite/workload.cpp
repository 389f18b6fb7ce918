// The benchmark's keys and values (workload.h).

#include "bench/versus_sqlite/workload.h"

#include <algorithm>
#include <cstdio>
#include <random>

#include "tabula/locale.h"

namespace bench {

namespace {

constexpr uint16_t kRussian = 0x0419;
constexpr size_t kNameLetters = 8;

int64_t NumberOf(const std::string& text) { return std::strtoll(text.c_str(), nullptr, 10); }

std::string Digits(int64_t value, size_t width) {
  char text[32];
  std::snprintf(text, sizeof text, "%0*lld", int(width), static_cast<long long>(value));
  return text;
}

}  // namespace

const char* OrderName(TOrder order) {
  switch (order) {
    case kByNumtel: return "Numtel";
    case kByName: return "Name";
    default: return "kodul;dom;korp";
  }
}

TKey KeyFromUtf8(std::vector<std::string> utf8) {
  TKey key;
  for (const std::string& text : utf8) key.Cp1251.push_back(tabula::Utf8ToCp1251(text));
  key.Utf8 = std::move(utf8);
  return key;
}

std::vector<int64_t> SampleIds(int64_t records, size_t count) {
  // mt19937_64's sequence is fixed by the standard; the reduction is ours.
  std::mt19937_64 random(20240516);
  std::vector<int64_t> ids;
  for (size_t i = 0; i < count && records > 0; ++i) ids.push_back(int64_t(random() % uint64_t(records)) + 1);
  return ids;
}

TWorkload MakeWorkload(const std::vector<TSampleRow>& rows) {
  TWorkload w;
  for (size_t r = 0; r < rows.size(); ++r) {
    const TSampleRow& row = rows[r];
    w.Lookups.push_back(KeyFromUtf8({row.Numtel}));
    for (size_t k = 1; k <= row.Numtel.size(); ++k)
      w.Keystrokes[kByNumtel].push_back(
          KeyFromUtf8({(row.Numtel.substr(0, k) + std::string(row.Numtel.size(), '0')).substr(0, row.Numtel.size())}));
    const std::string name = tabula::LowerText(kRussian, 0, tabula::Utf8ToCp1251(row.Name));
    for (size_t k = 1; k <= std::min(name.size(), kNameLetters); ++k) {
      // The engine drops trailing blanks from every string value it is
      // given, keys included ("пту №10 " searches for "пту №10"); SQLite
      // is handed the text the engine searches for.
      TKey key;
      key.Cp1251 = {name.substr(0, k)};
      const size_t end = key.Cp1251[0].find_last_not_of(' ');
      key.Utf8 = {tabula::Cp1251ToUtf8(key.Cp1251[0].substr(0, end == std::string::npos ? 0 : end + 1))};
      w.Keystrokes[kByName].push_back(std::move(key));
    }
    w.Keystrokes[kByAddress].push_back(KeyFromUtf8({row.Kodul}));
    w.Keystrokes[kByAddress].push_back(KeyFromUtf8({row.Kodul, row.Dom}));
    w.Keystrokes[kByAddress].push_back(KeyFromUtf8({row.Kodul, row.Dom, row.Korp}));
    // Numbers are decimal texts of one width: text order is number order.
    const size_t width = row.Numtel.size();
    const int64_t top = NumberOf(std::string(width, '9'));
    const int64_t low = NumberOf(row.Numtel);
    w.NarrowRanges.push_back({KeyFromUtf8({row.Numtel}), KeyFromUtf8({Digits(std::min(low + 999, top), width)})});
    if (r % 5 == 0) {
      const int64_t start = top / 5 + (low % (top / 5));
      w.WideRanges.push_back(
          {KeyFromUtf8({Digits(start, width)}), KeyFromUtf8({Digits(std::min(start + top / 2, top), width)})});
    }
    if (r % 2 == 0) w.Streets.push_back(KeyFromUtf8({row.Kodul}));
  }
  w.Houses = {KeyFromUtf8({"1"}), KeyFromUtf8({"7"})};
  return w;
}

}  // namespace bench
