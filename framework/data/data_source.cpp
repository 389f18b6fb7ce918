#include "framework/data/data_source.h"

#include <algorithm>

#include "framework/data/data_link.h"

namespace fw {

TDataSource::TDataSource(TComponent* owner) : TComponent(owner) {}

TDataSource::~TDataSource() {
  MarkDestroying();
  SetDataSet(nullptr);
  while (!links_.empty()) links_.back()->Detach();
}

void TDataSource::SetDataSet(TDataSet* dataSet) {
  if (dataSet == dataSet_) return;
  if (dataSet_ != nullptr) dataSet_->RemoveDataSource(this);
  dataSet_ = dataSet;
  if (dataSet_ != nullptr) dataSet_->AddDataSource(this);
  DataEvent(TDataEvent::kUpdateState, nullptr, 0);
}

void TDataSource::SetEnabled(bool value) {
  if (value == enabled_) return;
  enabled_ = value;
  NotifyLinks(TDataEvent::kUpdateState, nullptr, 0);
}

TDataSetState TDataSource::State() const {
  return enabled_ && dataSet_ != nullptr ? dataSet_->State() : TDataSetState::kInactive;
}

void TDataSource::Edit() {
  if (AutoEdit && dataSet_ != nullptr && State() == TDataSetState::kBrowse) dataSet_->Edit();
}

bool TDataSource::IsLinkedTo(const TDataSet* dataSet) const {
  const TDataSource* source = this;
  // A chain longer than there can be sources means a loop: stop.
  for (int steps = 0; source != nullptr && steps < 1000; ++steps) {
    const TDataSet* current = source->dataSet_;
    if (current == nullptr) return false;
    if (current == dataSet) return true;
    source = current->MasterDataSource();
  }
  return source != nullptr;
}

void TDataSource::Notification(TComponent* component, TOperation operation) {
  if (operation == TOperation::kRemove && component == dataSet_) SetDataSet(nullptr);
}

void TDataSource::DataEvent(TDataEvent event, TField* field, int distance) {
  if (event == TDataEvent::kUpdateState) {
    const TDataSetState state = State();
    if (state != lastState_) {
      lastState_ = state;
      if (OnStateChange) OnStateChange(*this);
    }
  } else if (!enabled_) {
    return;
  }
  if (event == TDataEvent::kUpdateRecord && OnUpdateData) OnUpdateData(*this);
  NotifyLinks(event, field, distance);
  switch (event) {
    case TDataEvent::kFieldChange:
    case TDataEvent::kRecordChange:
    case TDataEvent::kDataSetChange:
    case TDataEvent::kDataSetScroll:
    case TDataEvent::kLayoutChange:
      if (OnDataChange) OnDataChange(*this, event == TDataEvent::kFieldChange ? field : nullptr);
      break;
    default: break;
  }
}

void TDataSource::NotifyLinks(TDataEvent event, TField* field, int distance) {
  const std::vector<TDataLink*> links = links_;
  for (TDataLink* link : links)
    if (std::find(links_.begin(), links_.end(), link) != links_.end()) link->DataEvent(event, field, distance);
}

void TDataSource::AddLink(TDataLink* link) {
  links_.push_back(link);
  if (dataSet_ != nullptr) dataSet_->UpdateBufferCount();
}

void TDataSource::RemoveLink(TDataLink* link) {
  links_.erase(std::remove(links_.begin(), links_.end(), link), links_.end());
  if (dataSet_ != nullptr) dataSet_->UpdateBufferCount();
}

}  // namespace fw
