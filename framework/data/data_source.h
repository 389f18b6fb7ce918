#pragma once
// TDataSource: the connection between one dataset and the data links of
// the controls that show it. The dataset sends its events to its data
// sources; each passes them on to its links while it is enabled.

#include <functional>
#include <vector>

#include "framework/data/component.h"
#include "framework/data/data_set.h"

namespace fw {

class TDataLink;

class TDataSource : public TComponent {
 public:
  explicit TDataSource(TComponent* owner = nullptr);
  ~TDataSource() override;

  TDataSet* DataSet() const { return dataSet_; }
  void SetDataSet(TDataSet* dataSet);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool value);
  // Controls may put the dataset into edit state by themselves.
  bool AutoEdit = true;
  // The dataset's state, or inactive without a dataset or while disabled.
  TDataSetState State() const;
  // Puts the dataset into edit state when AutoEdit allows it.
  void Edit();
  // True when `dataSet` is this source's dataset or is reached from it by
  // following master links (TDataSet::MasterDataSource).
  bool IsLinkedTo(const TDataSet* dataSet) const;
  const std::vector<TDataLink*>& Links() const { return links_; }

  std::function<void(TDataSource&)> OnStateChange;
  std::function<void(TDataSource&, TField*)> OnDataChange;
  std::function<void(TDataSource&)> OnUpdateData;

 protected:
  void Notification(TComponent* component, TOperation operation) override;

 private:
  friend class TDataSet;
  friend class TDataLink;
  void DataEvent(TDataEvent event, TField* field, int distance);
  void NotifyLinks(TDataEvent event, TField* field, int distance);
  void AddLink(TDataLink* link);
  void RemoveLink(TDataLink* link);

  TDataSet* dataSet_ = nullptr;
  bool enabled_ = true;
  TDataSetState lastState_ = TDataSetState::kInactive;
  std::vector<TDataLink*> links_;
};

}  // namespace fw
