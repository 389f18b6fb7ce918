#pragma once
// TTabulaMasterDataLink: the data link through which a table follows its
// master data source. It holds the text of MasterFields and the master
// dataset's field objects it names, and tells the table (through two
// handlers the table sets) when the master's record changed in one of those
// fields (master-changed: restrict to the master's key) or when the link
// can no longer restrict anything (master-disabled).

#include <functional>
#include <string>
#include <vector>

#include "framework/data/data_link.h"

namespace tabula::db {

class TTabulaMasterDataLink : public fw::TDataLink {
 public:
  // `detail` is the table that follows the master.
  explicit TTabulaMasterDataLink(fw::TDataSet& detail) : detail_(detail) {}

  const std::string& FieldNames() const { return fieldNames_; }
  // Rebuilds the field list at once.
  void SetFieldNames(const std::string& names);
  // The master's fields MasterFields names, in that order; empty while the
  // link is inactive.
  const std::vector<fw::TField*>& Fields() const { return fields_; }

  std::function<void()> OnMasterChange;
  std::function<void()> OnMasterDisable;

 protected:
  // Active or inactive, or the master's fields changed: the list is built
  // again (a name the master lacks raises "Field '%s' not found" and leaves
  // it empty), then the table is restricted or released.
  void ActiveChanged() override;
  void LayoutChanged() override { ActiveChanged(); }
  // The master's record changed (field null: as a whole).
  void RecordChanged(fw::TField* field) override;
  // The master is about to move: the table finishes its edit.
  void CheckBrowseMode() override;

 private:
  fw::TDataSet& detail_;
  std::string fieldNames_;
  std::vector<fw::TField*> fields_;
};

}  // namespace tabula::db
