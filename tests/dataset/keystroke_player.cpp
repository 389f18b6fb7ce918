#include "tests/dataset/keystroke_player.h"

#include <unicode/ucnv.h>
#include <unicode/ucol.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "framework/data/standard_fields.h"
#include "tests/support/tables/subscriber_table.h"

namespace dataset_test {

using tabula::db::TTabulaTable;

// ---------------------------------------------------------------- the oracle

struct TKeystrokeOracle::TCollator {
  UConverter* Converter = nullptr;
  UCollator* Collator = nullptr;
  TCollator() {
    UErrorCode status = U_ZERO_ERROR;
    Converter = ucnv_open("windows-1251", &status);
    if (U_FAILURE(status)) throw std::runtime_error("no windows-1251 converter");
    status = U_ZERO_ERROR;
    Collator = ucol_open("ru", &status);
    if (U_FAILURE(status)) throw std::runtime_error("no Russian collator");
    ucol_setStrength(Collator, UCOL_TERTIARY);
  }
  ~TCollator() {
    ucol_close(Collator);
    ucnv_close(Converter);
  }
  std::u16string Text(const std::string& text, bool upper) const {
    std::u16string out(text.size() + 1, u'\0');
    UErrorCode status = U_ZERO_ERROR;
    const int32_t n = ucnv_toUChars(Converter, reinterpret_cast<UChar*>(out.data()), int32_t(out.size()), text.data(),
                                    int32_t(text.size()), &status);
    out.resize(size_t(n));
    if (!upper) return out;
    std::u16string up(out.size() * 2 + 1, u'\0');
    status = U_ZERO_ERROR;
    const int32_t m = u_strToUpper(reinterpret_cast<UChar*>(up.data()), int32_t(up.size()),
                                   reinterpret_cast<const UChar*>(out.data()), int32_t(out.size()), "ru", &status);
    up.resize(size_t(m));
    return up;
  }
  std::string SortKey(const std::string& text, bool upper) const {
    const std::u16string u = Text(text, upper);
    std::string key(u.size() * 4 + 16, '\0');
    for (;;) {
      const int32_t n = ucol_getSortKey(Collator, reinterpret_cast<const UChar*>(u.data()), int32_t(u.size()),
                                        reinterpret_cast<uint8_t*>(key.data()), int32_t(key.size()));
      if (size_t(n) <= key.size()) {
        key.resize(size_t(n));
        return key;
      }
      key.resize(size_t(n));
    }
  }
};

TKeystrokeOracle::TKeystrokeOracle(int64_t count, std::vector<std::pair<std::string, std::string>> streets)
    : collator_(std::make_unique<TCollator>()), streets_(std::move(streets)) {
  std::sort(streets_.begin(), streets_.end());
  for (auto* column : {&numtel_, &name_, &kodul_, &dom_, &korp_}) column->reserve(size_t(count));
  for (int64_t i = 0; i < count; ++i) {
    testing_support::TSubscriberRow row = testing_support::SubscriberRow(i);
    numtel_.push_back(std::move(row.Numtel));
    name_.push_back(std::move(row.Name));
    kodul_.push_back(std::move(row.Kodul));
    dom_.push_back(std::move(row.Dom));
    korp_.push_back(std::move(row.Korp));
  }
  // Sort keys made once per column; equal keys keep insertion order.
  auto sortBy = [&](std::vector<int32_t>& order, std::vector<std::vector<std::string>> keys) {
    order.resize(size_t(count));
    for (int32_t i = 0; i < int32_t(count); ++i) order[size_t(i)] = i;
    std::stable_sort(order.begin(), order.end(), [&](int32_t a, int32_t b) {
      for (const auto& column : keys)
        if (column[size_t(a)] != column[size_t(b)]) return column[size_t(a)] < column[size_t(b)];
      return false;
    });
  };
  auto keysOf = [&](const std::vector<std::string>& column, bool upper) {
    std::vector<std::string> keys;
    keys.reserve(column.size());
    for (const std::string& text : column) keys.push_back(collator_->SortKey(text, upper));
    return keys;
  };
  sortBy(byNumtel_, {keysOf(numtel_, false)});
  sortBy(byName_, {keysOf(name_, true)});
  sortBy(byAddress_, {keysOf(kodul_, false), keysOf(dom_, false), keysOf(korp_, false)});
}

TKeystrokeOracle::~TKeystrokeOracle() = default;

const std::vector<int32_t>& TKeystrokeOracle::Order(TSearchOrder order) const {
  switch (order) {
    case TSearchOrder::kNumtel: return byNumtel_;
    case TSearchOrder::kName: return byName_;
    default: return byAddress_;
  }
}

int TKeystrokeOracle::Compare(const std::string& a, const std::string& b, bool upper) const {
  const std::u16string x = collator_->Text(a, upper);
  const std::u16string y = collator_->Text(b, upper);
  const UCollationResult r = ucol_strcoll(collator_->Collator, reinterpret_cast<const UChar*>(x.data()),
                                          int32_t(x.size()), reinterpret_cast<const UChar*>(y.data()), int32_t(y.size()));
  return r == UCOL_LESS ? -1 : r == UCOL_GREATER ? 1 : 0;
}

int TKeystrokeOracle::CompareRow(TSearchOrder order, int32_t row, const std::vector<std::string>& values) const {
  const size_t i = size_t(row);
  switch (order) {
    case TSearchOrder::kNumtel: return Compare(numtel_[i], values.at(0), false);
    case TSearchOrder::kName: return Compare(name_[i], values.at(0), true);
    case TSearchOrder::kAddress: {
      const std::string* fields[] = {&kodul_[i], &dom_[i], &korp_[i]};
      for (size_t k = 0; k < values.size() && k < 3; ++k)
        if (const int c = Compare(*fields[k], values[k], false)) return c;
      return 0;
    }
  }
  return 0;
}

int64_t TKeystrokeOracle::LowerBound(TSearchOrder order, const std::vector<std::string>& values) const {
  const std::vector<int32_t>& rows = Order(order);
  const auto it = std::partition_point(rows.begin(), rows.end(),
                                       [&](int32_t row) { return CompareRow(order, row, values) < 0; });
  return int64_t(it - rows.begin());
}

std::string TKeystrokeOracle::StreetOf(const std::string& kodul) const {
  const std::string code = kodul.substr(0, 5);
  const auto it = std::lower_bound(streets_.begin(), streets_.end(), std::make_pair(code, std::string()));
  return it != streets_.end() && it->first == code ? it->second : std::string();
}

std::string TKeystrokeOracle::RowText(int32_t i) const {
  const size_t k = size_t(i);
  return numtel_[k] + "|" + name_[k] + "|" + kodul_[k] + "|" + dom_[k] + "|" + korp_[k] + "|" + StreetOf(kodul_[k]);
}

// ---------------------------------------------------------------- the tables

TDirectoryTables::TDirectoryTables(const std::string& directory, int rows) {
  Streets.SetDatabaseName(directory);
  Streets.SetTableName("street.DAT");
  Streets.SetIndexName("indkodul");
  Streets.SetReadOnly(true);
  Subscribers.SetDatabaseName(directory);
  Subscribers.SetTableName("base2.DAT");
  Subscribers.SetReadOnly(true);
  Subscribers.SetIndexFieldNames("Numtel");
  // The directory declares its fields: the table's own and the street name.
  Subscribers.UpdateFieldDefs();
  for (int i = 0; i < Subscribers.FieldDefs().Count(); ++i) {
    const fw::TFieldDef& def = Subscribers.FieldDefs()[i];
    fw::TField* field = fw::CreateFieldForType(&Subscribers, def.DataType, def.Size, def.Name);
    field->SetFieldName(def.Name);
    field->SetDataSet(&Subscribers);
  }
  auto* street = new fw::TStringField(&Subscribers, 40);
  street->SetFieldName("NameUl");
  street->SetFieldKind(fw::TFieldKind::kLookup);
  street->KeyFields = "kodul";
  street->SetLookupDataSet(&Streets);
  street->LookupKeyFields = "KODUL";
  street->LookupResultField = "NAME";
  street->SetDataSet(&Subscribers);
  Source.SetDataSet(&Subscribers);
  Window.SetDataSource(&Source);
  Window.SetBufferCount(rows);
  Streets.Open();
  Subscribers.Open();
}

// ---------------------------------------------------------------- the script

std::vector<TKeystroke> KeystrokeScript(const TKeystrokeOracle& oracle) {
  std::vector<TKeystroke> script;
  auto add = [&](TSearchOrder order, std::vector<std::string> typed) {
    TKeystroke k;
    k.Order = order;
    k.Typed = std::move(typed);
    script.push_back(std::move(k));
  };
  // The phone box, digit by digit, for three numbers (the last one beyond
  // every number of the table).
  for (const std::string number : {"2301794", "5550123", "9999999"})
    for (size_t n = 1; n <= number.size(); ++n) add(TSearchOrder::kNumtel, {number.substr(0, n)});
  // The name box in lower case: a surname letter by letter, then initials;
  // a name that sorts after every other.
  const std::string ivanov = "\xE8\xE2\xE0\xED\xEE\xE2 \xEA.";        // иванов к.
  const std::string smirnov = "\xF1\xEC\xE8\xF0\xED\xEE\xE2 \xE0.\xE1";  // смирнов а.б
  for (const std::string& name : {ivanov, smirnov})
    for (size_t n = 1; n <= name.size(); ++n) add(TSearchOrder::kName, {name.substr(0, n)});
  add(TSearchOrder::kName, {"\xFF\xFF"});  // яя
  // The address: street code, house, building of existing rows, and a code
  // past the last.
  const std::vector<int32_t>& byAddress = oracle.Order(TSearchOrder::kAddress);
  for (const int64_t rank : {oracle.Count() / 7, oracle.Count() / 2, oracle.Count() - 3}) {
    const std::string text = oracle.RowText(byAddress[size_t(rank)]);
    std::vector<std::string> parts;
    for (size_t start = 0, bar; (bar = text.find('|', start)) != std::string::npos; start = bar + 1)
      parts.push_back(text.substr(start, bar - start));
    add(TSearchOrder::kAddress, {parts[2]});
    add(TSearchOrder::kAddress, {parts[2], parts[3]});
    add(TSearchOrder::kAddress, {parts[2], parts[3], parts[4].empty() ? "1" : parts[4]});
  }
  add(TSearchOrder::kAddress, {"99999"});
  return script;
}

namespace {

const char* IndexSetting(TSearchOrder order) {
  switch (order) {
    case TSearchOrder::kNumtel: return "Numtel";
    case TSearchOrder::kName: return "NAME";
    default: return "kodul;dom;korp";
  }
}

// What the search box hands to SeekNearest: the phone box turns its digits
// into a number padded to the full length with zeros.
std::vector<fw::TVariant> SearchValues(const TKeystroke& k) {
  std::vector<fw::TVariant> values;
  if (k.Order == TSearchOrder::kNumtel) {
    values.emplace_back(int64_t(std::stoll((k.Typed[0] + "0000000").substr(0, 7))));
  } else {
    for (const std::string& v : k.Typed) values.emplace_back(v);
  }
  return values;
}

std::vector<std::string> OracleValues(const TKeystroke& k) {
  if (k.Order == TSearchOrder::kNumtel) return {(k.Typed[0] + "0000000").substr(0, 7)};
  return k.Typed;
}

}  // namespace

void PlayKeystrokes(TDirectoryTables& tables, const TKeystrokeOracle& oracle, std::vector<TKeystroke>& keystrokes) {
  TTabulaTable& table = tables.Subscribers;
  const int rows = tables.Window.BufferCount();
  const int64_t count = oracle.Count();
  fw::TField* fields[] = {&table.FieldByName("Numtel"), &table.FieldByName("Name"), &table.FieldByName("kodul"),
                          &table.FieldByName("dom"),    &table.FieldByName("korp"), &table.FieldByName("NameUl")};
  for (TKeystroke& k : keystrokes) {
    table.SetIndexFieldNames(IndexSetting(k.Order));
    const std::vector<fw::TVariant> values = SearchValues(k);
    table.ResetEngineCalls();
    tables.Streets.ResetEngineCalls();
    const auto start = std::chrono::steady_clock::now();
    table.SeekNearest(values);
    k.Milliseconds = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    k.Calls = table.EngineCalls();
    k.StreetCalls = tables.Streets.EngineCalls();

    // The oracle: beyond every key the last record is the one landed on.
    k.ExpectedRank = std::min(oracle.LowerBound(k.Order, OracleValues(k)), count - 1);
    k.WindowStart = std::clamp<int64_t>(k.ExpectedRank - (rows - 1) / 2, 0, std::max<int64_t>(0, count - rows));
    k.ExpectedActiveRow = int(k.ExpectedRank - k.WindowStart);
    k.ActiveRow = tables.Window.ActiveRecord();
    k.ShownRows = tables.Window.RecordCount();
    const std::vector<int32_t>& order = oracle.Order(k.Order);
    k.WrongRows = 0;
    for (int row = 0; row < rows; ++row) {
      const int64_t rank = k.WindowStart + row;
      if (row >= k.ShownRows || rank >= count) {
        k.WrongRows += row < k.ShownRows || rank < count;
        continue;
      }
      std::string shown;
      for (fw::TField* f : fields) shown += (shown.empty() ? "" : "|") + tables.Window.DisplayText(row, *f);
      if (shown != oracle.RowText(order[size_t(rank)])) ++k.WrongRows;
    }
    k.WrongActive = table.FieldByName("Numtel").AsString() != oracle.RowText(order[size_t(k.ExpectedRank)]).substr(0, 7);
  }
}

std::string DescribeKeystroke(const TKeystroke& k) {
  std::string typed;
  for (const std::string& t : k.Typed) typed += (typed.empty() ? "" : ";") + t;
  // Shown in UTF-8.
  std::string utf8(typed.size() * 3 + 1, '\0');
  UErrorCode status = U_ZERO_ERROR;
  const int32_t n = ucnv_convert("UTF-8", "windows-1251", utf8.data(), int32_t(utf8.size()), typed.data(),
                                 int32_t(typed.size()), &status);
  if (U_SUCCESS(status)) typed = utf8.substr(0, size_t(n));
  char line[320];
  std::snprintf(line, sizeof line,
                "%-15s %-24s rank %7lld row %2d/%2d wrong %d%s  key searches %llu reads %llu positionings %llu "
                "street searches %llu  %.3f ms",
                IndexSetting(k.Order), typed.c_str(), static_cast<long long>(k.ExpectedRank), k.ActiveRow,
                k.ExpectedActiveRow, k.WrongRows, k.WrongActive ? " (active wrong)" : "",
                static_cast<unsigned long long>(k.Calls.KeySearches),
                static_cast<unsigned long long>(k.Calls.RecordReads),
                static_cast<unsigned long long>(k.Calls.Positionings),
                static_cast<unsigned long long>(k.StreetCalls.KeySearches), k.Milliseconds);
  return line;
}

}  // namespace dataset_test
