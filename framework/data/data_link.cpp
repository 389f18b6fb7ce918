#include "framework/data/data_link.h"

#include <algorithm>

#include "framework/data/data_source.h"

namespace fw {

TDataLink::~TDataLink() { Detach(); }

void TDataLink::Detach() {
  if (dataSource_ == nullptr) return;
  TDataSource* source = dataSource_;
  dataSource_ = nullptr;
  active_ = editing_ = false;
  source->RemoveLink(this);
}

void TDataLink::SetDataSource(TDataSource* source) {
  if (source == dataSource_) return;
  if (dataSource_ != nullptr) {
    TDataSource* old = dataSource_;
    dataSource_ = nullptr;
    old->RemoveLink(this);
  }
  dataSource_ = source;
  if (dataSource_ != nullptr) dataSource_->AddLink(this);
  UpdateState();
}

TDataSet* TDataLink::DataSet() const { return dataSource_ != nullptr ? dataSource_->DataSet() : nullptr; }

int TDataLink::ActiveRecord() const {
  TDataSet* dataSet = DataSet();
  if (!active_ || dataSet == nullptr) return 0;
  return dataSet->ActiveRecord() - firstRecord_;
}

void TDataLink::SetActiveRecord(int row) {
  if (TDataSet* dataSet = DataSet(); active_ && dataSet != nullptr) dataSet->SetActiveRecord(firstRecord_ + row);
}

void TDataLink::SetBufferCount(int count) {
  count = std::max(1, count);
  if (count == bufferCount_) return;
  bufferCount_ = count;
  if (TDataSet* dataSet = DataSet()) dataSet->UpdateBufferCount();
  if (active_) UpdateRange(0);
}

int TDataLink::RecordCount() const {
  TDataSet* dataSet = DataSet();
  if (!active_ || dataSet == nullptr) return 0;
  return std::clamp(dataSet->RingRecordCount() - firstRecord_, 0, bufferCount_);
}

std::string TDataLink::DisplayText(int row, const TField& field) {
  TDataSet* dataSet = DataSet();
  if (!active_ || dataSet == nullptr || row < 0 || row >= RecordCount()) return {};
  const int saved = dataSet->ActiveRecord();
  dataSet->SetActiveRecord(firstRecord_ + row);
  try {
    std::string text = field.DisplayText();
    dataSet->SetActiveRecord(saved);
    return text;
  } catch (...) {
    dataSet->SetActiveRecord(saved);
    throw;
  }
}

bool TDataLink::Bof() const { return DataSet() != nullptr && DataSet()->Bof(); }
bool TDataLink::Eof() const { return DataSet() != nullptr && DataSet()->Eof(); }

int TDataLink::MoveBy(int distance) { return active_ ? DataSet()->MoveBy(distance) : 0; }

bool TDataLink::Edit() {
  if (!ReadOnly && dataSource_ != nullptr) dataSource_->Edit();
  return editing_;
}

void TDataLink::UpdateRecord() {
  updating_ = true;
  try {
    UpdateData();
  } catch (...) {
    updating_ = false;
    throw;
  }
  updating_ = false;
}

void TDataLink::UpdateState() {
  const TDataSetState state = dataSource_ != nullptr ? dataSource_->State() : TDataSetState::kInactive;
  const bool nowActive = state != TDataSetState::kInactive;
  if (nowActive != active_) {
    active_ = nowActive;
    if (active_) {
      firstRecord_ = 0;
      UpdateRange(0);
    }
    ActiveChanged();
  }
  const bool nowEditing = active_ && !ReadOnly &&
                          (state == TDataSetState::kEdit || state == TDataSetState::kInsert ||
                           state == TDataSetState::kSetKey);
  if (nowEditing != editing_) {
    editing_ = nowEditing;
    EditingChanged();
  }
}

int TDataLink::UpdateRange(int shift) {
  TDataSet* dataSet = DataSet();
  if (dataSet == nullptr) return 0;
  const int oldFirst = firstRecord_;
  firstRecord_ -= shift;  // where the rows it showed are now
  const int active = dataSet->ActiveRecord();
  const int count = dataSet->RingRecordCount();
  if (active < firstRecord_)
    firstRecord_ = active;
  else if (active >= firstRecord_ + bufferCount_)
    firstRecord_ = active - bufferCount_ + 1;
  if (firstRecord_ + bufferCount_ > count) firstRecord_ = count - bufferCount_;
  if (firstRecord_ < 0) firstRecord_ = 0;
  return firstRecord_ + shift - oldFirst;
}

void TDataLink::DataEvent(TDataEvent event, TField* field, int distance) {
  switch (event) {
    case TDataEvent::kUpdateState: UpdateState(); break;
    case TDataEvent::kFieldChange:
    case TDataEvent::kRecordChange:
      if (active_ && !updating_) RecordChanged(field);
      break;
    case TDataEvent::kDataSetChange:
    case TDataEvent::kDataSetScroll:
    case TDataEvent::kLayoutChange: {
      if (!active_) {
        UpdateState();
        if (!active_) break;
      }
      const int moved = UpdateRange(event == TDataEvent::kDataSetScroll ? distance : 0);
      if (event == TDataEvent::kDataSetScroll)
        DataSetScrolled(moved);
      else if (event == TDataEvent::kDataSetChange)
        DataSetChanged();
      else
        LayoutChanged();
      break;
    }
    case TDataEvent::kUpdateRecord:
      if (active_ && !updating_) UpdateRecord();
      break;
    case TDataEvent::kCheckBrowseMode:
      if (active_) CheckBrowseMode();
      break;
  }
}

}  // namespace fw
