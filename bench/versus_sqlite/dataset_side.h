#pragma once
// The table component's side: one TTabulaTable per order (IndexFieldNames
// "Numtel", "NAME", "kodul;dom;korp"), read-only, with a data source and a
// 20-row data link as the directory's grid has. A keystroke is SeekNearest
// with the values the search box hands over (the phone number as an
// integer), then the grid page: every field's display text in every row of
// the link's window.

#include <memory>
#include <string>
#include <vector>

#include "bench/versus_sqlite/side_by_side.h"
#include "bench/versus_sqlite/workload.h"

namespace tabula::db {
class TTabulaTable;
}
namespace fw {
class TDataSource;
class TDataLink;
class TField;
}  // namespace fw

namespace bench {

// Where the record found stands in the page: the rows above it, and the
// rows from it to the page's end.
struct TPageSplit {
  int Before = 0;
  int From = 0;
  bool operator==(const TPageSplit&) const = default;
};

class TDatasetSide {
 public:
  explicit TDatasetSide(const std::string& directory);
  ~TDatasetSide();
  TDatasetSide(const TDatasetSide&) = delete;
  TDatasetSide& operator=(const TDatasetSide&) = delete;

  TPageSplit Keystroke(TOrder order, const TKey& key, TAnswer* answer);

 private:
  struct TView;
  std::vector<std::unique_ptr<TView>> views_;
  uint64_t sink_ = 0;
};

}  // namespace bench
