#include "dataset/tabula_master_data_link.h"

#include <algorithm>

#include "framework/data/data_source.h"

namespace tabula::db {

void TTabulaMasterDataLink::SetFieldNames(const std::string& names) {
  fieldNames_ = names;
  ActiveChanged();
}

void TTabulaMasterDataLink::ActiveChanged() {
  fields_.clear();
  if (Active() && DataSet() != nullptr) {
    try {
      for (const std::string& name : fw::SplitFieldNames(fieldNames_)) fields_.push_back(&DataSet()->FieldByName(name));
    } catch (...) {
      fields_.clear();
      throw;
    }
  }
  if (!detail_.Active() || detail_.Destroying()) return;
  if (Active() && !fields_.empty()) {
    if (OnMasterChange) OnMasterChange();
  } else if (OnMasterDisable) {
    OnMasterDisable();
  }
}

void TTabulaMasterDataLink::RecordChanged(fw::TField* field) {
  if (DataSource() == nullptr || DataSource()->State() == fw::TDataSetState::kSetKey) return;
  if (!detail_.Active() || fields_.empty()) return;
  if (field != nullptr && std::find(fields_.begin(), fields_.end(), field) == fields_.end()) return;
  if (OnMasterChange) OnMasterChange();
}

void TTabulaMasterDataLink::CheckBrowseMode() {
  if (detail_.Active()) detail_.CheckBrowseMode();
}

}  // namespace tabula::db
