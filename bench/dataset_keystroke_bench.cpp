// The directory's keystroke path at a million subscribers: a nearest-key
// search and a 20-row window around it with each row's street name, once
// through the table component (SeekNearest on a table with the NameUl
// lookup field, as the directory runs it) and once through the engine
// alone (FindKey, the reads around the record, one street search per row),
// so that the dataset layer's own cost shows as the difference.
// BORVINO_BENCH_RECORDS sets the table size (default 1,000,000).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dataset/tabula_session_list.h"
#include "dataset/tabula_table.h"
#include "tabula/data_file.h"
#include "tabula/file_session.h"
#include "tabula/index_descriptor.h"
#include "framework/data/data_link.h"
#include "framework/data/data_source.h"
#include "framework/data/standard_fields.h"
#include "tests/support/tables/subscriber_table.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kWindow = 20;

enum TOrder { kNumtel, kName, kAddress };

// The tables, made once for every benchmark.
struct TTables {
  testing_support::TempDir Dir;
  int64_t Records = 1000000;
  TTables() {
    if (const char* n = std::getenv("BORVINO_BENCH_RECORDS")) Records = std::atoll(n);
    testing_support::MakeSubscriberTable(Dir.File("base2.DAT"), Records);
    testing_support::MakeStreetTable(Dir.File("street.DAT"), testing_support::StreetRows(800));
  }
};

TTables& Tables() {
  static TTables tables;
  return tables;
}

// What the search boxes hand over, keystroke by keystroke.
std::vector<std::vector<std::string>> Keys(TOrder order) {
  std::vector<std::vector<std::string>> keys;
  const int64_t n = Tables().Records;
  for (int64_t i = 1; i <= 8; ++i) {
    const testing_support::TSubscriberRow row = testing_support::SubscriberRow(i * n / 9);
    if (order == kNumtel)
      for (size_t k = 1; k <= row.Numtel.size(); ++k) keys.push_back({(row.Numtel.substr(0, k) + "0000000").substr(0, 7)});
    if (order == kName)
      for (size_t k = 1; k <= row.Name.size(); ++k) keys.push_back({row.Name.substr(0, k)});
    if (order == kAddress) {
      keys.push_back({row.Kodul});
      keys.push_back({row.Kodul, row.Dom});
      keys.push_back({row.Kodul, row.Dom, row.Korp.empty() ? "1" : row.Korp});
    }
  }
  return keys;
}

const char* IndexFields(TOrder order) {
  return order == kNumtel ? "Numtel" : order == kName ? "NAME" : "kodul;dom;korp";
}

// ---------------------------------------------------------------- through the dataset layer

void BM_KeystrokeDataset(benchmark::State& state) {
  const TOrder order = TOrder(state.range(0));
  const auto keys = Keys(order);
  using tabula::db::TTabulaTable;
  auto streets = std::make_unique<TTabulaTable>();
  auto table = std::make_unique<TTabulaTable>();
  fw::TDataSource source;
  fw::TDataLink window;
  streets->SetDatabaseName(Tables().Dir.Path().string());
  streets->SetTableName("street.DAT");
  streets->SetIndexName("indkodul");
  streets->SetReadOnly(true);
  table->SetDatabaseName(Tables().Dir.Path().string());
  table->SetTableName("base2.DAT");
  table->SetReadOnly(true);
  table->SetIndexFieldNames(IndexFields(order));
  table->UpdateFieldDefs();
  for (int i = 0; i < table->FieldDefs().Count(); ++i) {
    const fw::TFieldDef& def = table->FieldDefs()[i];
    fw::TField* field = fw::CreateFieldForType(table.get(), def.DataType, def.Size, def.Name);
    field->SetFieldName(def.Name);
    field->SetDataSet(table.get());
  }
  auto* street = new fw::TStringField(table.get(), 40);
  street->SetFieldName("NameUl");
  street->SetFieldKind(fw::TFieldKind::kLookup);
  street->KeyFields = "kodul";
  street->SetLookupDataSet(streets.get());
  street->LookupKeyFields = "KODUL";
  street->LookupResultField = "NAME";
  street->SetDataSet(table.get());
  source.SetDataSet(table.get());
  window.SetDataSource(&source);
  window.SetBufferCount(kWindow);
  streets->Open();
  table->Open();
  std::vector<std::vector<fw::TVariant>> values;
  for (const auto& key : keys) {
    std::vector<fw::TVariant> v;
    for (const std::string& part : key)
      v.push_back(order == kNumtel ? fw::TVariant(int64_t(std::stoll(part))) : fw::TVariant(part));
    values.push_back(std::move(v));
  }
  size_t next = 0;
  for (auto _ : state) {
    table->SeekNearest(values[next]);
    benchmark::DoNotOptimize(street->AsString());
    next = (next + 1) % values.size();
  }
  state.SetItemsProcessed(state.iterations());
  window.SetDataSource(nullptr);
  table.reset();
  streets.reset();
}

// ---------------------------------------------------------------- through the engine alone

void BM_KeystrokeEngine(benchmark::State& state) {
  const TOrder order = TOrder(state.range(0));
  const auto keys = Keys(order);
  using tabula::TDataFile;
  using tabula::TDescSet;
  tabula::InitializeEngine();
  TDataFile table;
  table.SetFileName(Tables().Dir.File("base2.DAT"));
  table.SetReadOnly(true);
  table.Open();
  table.SelectIndex(order == kNumtel ? "" : order == kName ? "ByName" : "ByAddr");
  TDataFile streets;
  streets.SetFileName(Tables().Dir.File("street.DAT"));
  streets.SetReadOnly(true);
  streets.Open();
  streets.SelectIndex("indkodul");
  const int keyFields[3] = {order == kNumtel ? 1 : order == kName ? 2 : 3, 4, 5};
  std::vector<uint8_t> probe(size_t(table.RecordSize()));
  std::vector<uint8_t> streetProbe(size_t(streets.RecordSize()));
  std::vector<std::vector<uint8_t>> rows(kWindow, std::vector<uint8_t>(size_t(table.RecordSize())));
  std::vector<uint8_t> bookmark(size_t(table.KeySize()));
  uint8_t key[tabula::kKeyBufferSize];
  uint8_t text[256];
  auto setText = [](TDataFile& file, std::vector<uint8_t>& buffer, int fieldNo, const std::string& value) {
    uint8_t bytes[256] = {};
    std::memcpy(bytes, value.data(), std::min<size_t>(value.size(), 255));
    file.SetField(TDescSet::kWorking, fieldNo, bytes, false, buffer.data());
  };
  size_t next = 0;
  for (auto _ : state) {
    const std::vector<std::string>& k = keys[next];
    table.InitRecord(probe.data());
    for (size_t f = 0; f < k.size(); ++f) setText(table, probe, keyFields[f], k[f]);
    table.BuildKey(probe.data(), key);
    table.FindKey(key, int(k.size()), 0, true);
    // The window: the record, nine before it, then ten after it.
    int filled = table.ReadCurrent(rows[9].data(), false) == 0 ? 1 : 0;
    table.GetBookmark(bookmark.data());
    for (int r = 8; r >= 0 && table.ReadPrior(rows[size_t(r)].data()) == 0; --r) ++filled;
    table.GotoBookmark(bookmark.data());
    for (int r = 10; r < kWindow && table.ReadNext(rows[size_t(r)].data()) == 0; ++r) ++filled;
    // A street search per row.
    for (int r = 0; r < filled; ++r) {
      table.GetField(TDescSet::kWorking, 3, rows[size_t(r)].data(), text);
      streets.InitRecord(streetProbe.data());
      std::string code(reinterpret_cast<const char*>(text));
      code.resize(std::min<size_t>(code.size(), 5));  // the street code's size
      setText(streets, streetProbe, 2, code);
      streets.BuildKey(streetProbe.data(), key);
      if (streets.FindKey(key, 1, 0, false) == 0 && streets.ReadCurrent(streetProbe.data(), false) == 0)
        streets.GetField(TDescSet::kWorking, 3, streetProbe.data(), text);
      benchmark::DoNotOptimize(text);
    }
    next = (next + 1) % keys.size();
  }
  state.SetItemsProcessed(state.iterations());
  streets.Close();
  table.Close();
}

BENCHMARK(BM_KeystrokeDataset)->Arg(kNumtel)->Arg(kName)->Arg(kAddress)->ArgName("order")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_KeystrokeEngine)->Arg(kNumtel)->Arg(kName)->Arg(kAddress)->ArgName("order")->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Tables();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  tabula::db::FinalizeSessions();
  return 0;
}
