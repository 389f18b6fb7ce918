// The table component's side of the benchmark (dataset_side.h).

#include "bench/versus_sqlite/dataset_side.h"

#include <cstdlib>

#include "dataset/tabula_table.h"
#include "tabula/locale.h"
#include "framework/data/data_link.h"
#include "framework/data/data_source.h"
#include "framework/data/field.h"

namespace bench {

namespace {
constexpr int kPageRows = 20;
const char* kIndexFields[kOrderCount] = {"Numtel", "NAME", "kodul;dom;korp"};
}  // namespace

struct TDatasetSide::TView {
  std::unique_ptr<tabula::db::TTabulaTable> Table = std::make_unique<tabula::db::TTabulaTable>();
  fw::TDataSource Source;
  fw::TDataLink Grid;
  std::vector<fw::TField*> Columns;
  fw::TField* Id = nullptr;

  ~TView() {
    Grid.SetDataSource(nullptr);
    Source.SetDataSet(nullptr);
    Table.reset();
  }
};

TDatasetSide::TDatasetSide(const std::string& directory) {
  for (int order = 0; order < kOrderCount; ++order) {
    auto view = std::make_unique<TView>();
    tabula::db::TTabulaTable& table = *view->Table;
    table.SetDatabaseName(directory);
    table.SetTableName("base2.DAT");
    table.SetReadOnly(true);
    table.SetIndexFieldNames(kIndexFields[order]);
    view->Source.SetDataSet(&table);
    view->Grid.SetDataSource(&view->Source);
    view->Grid.SetBufferCount(kPageRows);
    table.Open();
    for (const char* name : {"Numtel", "Name", "kodul", "dom", "korp", "id"})
      view->Columns.push_back(&table.FieldByName(name));
    view->Id = view->Columns.back();
    views_.push_back(std::move(view));
  }
}

TDatasetSide::~TDatasetSide() = default;

TPageSplit TDatasetSide::Keystroke(TOrder order, const TKey& key, TAnswer* answer) {
  TView& view = *views_[size_t(order)];
  std::vector<fw::TVariant> values;
  for (const std::string& part : key.Cp1251)
    values.push_back(order == kByNumtel ? fw::TVariant(int64_t(std::strtoll(part.c_str(), nullptr, 10)))
                                        : fw::TVariant(part));
  view.Table->SeekNearest(values);
  const int rows = view.Grid.RecordCount();
  for (int row = 0; row < rows; ++row) {
    if (!answer) {
      for (fw::TField* column : view.Columns) sink_ += view.Grid.DisplayText(row, *column).size();
      continue;
    }
    std::vector<std::string> texts;
    for (fw::TField* column : view.Columns) {
      const std::string text = view.Grid.DisplayText(row, *column);
      texts.push_back(column == view.Id ? text : tabula::Cp1251ToUtf8(text));
    }
    answer->AddRow(texts);
  }
  const int active = view.Grid.ActiveRecord();
  return {active, rows - active};
}

}  // namespace bench
