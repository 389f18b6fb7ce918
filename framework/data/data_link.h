#pragma once
// TDataLink: a control's view of a data source. A link shows a window of
// BufferCount() rows of the dataset's ring; the dataset's ring is as large
// as the widest link. Row 0 of the window is ring row firstRecord_; the
// window follows the active record and keeps itself filled.
//
// A control derives from it and overrides the notifications it needs:
// ActiveChanged (opened or closed), EditingChanged, RecordChanged (a field
// or the whole record), DataSetChanged (show everything again),
// DataSetScrolled (the window's rows moved by `distance`: row k now shows
// what row k + distance showed; the active row may have moved as well),
// LayoutChanged (fields changed), UpdateData (write pending edits).

#include <string>

#include "framework/data/data_set.h"

namespace fw {

class TDataSource;

class TDataLink {
 public:
  TDataLink() = default;
  virtual ~TDataLink();
  TDataLink(const TDataLink&) = delete;
  TDataLink& operator=(const TDataLink&) = delete;

  TDataSource* DataSource() const { return dataSource_; }
  void SetDataSource(TDataSource* source);
  TDataSet* DataSet() const;
  bool Active() const { return active_; }
  bool Editing() const { return editing_; }
  bool ReadOnly = false;

  // The active record's row in the window; setting it makes another row
  // the dataset's active record without events (set it back afterwards).
  int ActiveRecord() const;
  void SetActiveRecord(int row);
  int BufferCount() const { return bufferCount_; }
  void SetBufferCount(int count);
  // Rows of the window that hold records.
  int RecordCount() const;
  // The display text of a field in a window row.
  std::string DisplayText(int row, const TField& field);

  bool Bof() const;
  bool Eof() const;
  int MoveBy(int distance);
  // Puts the dataset into edit state (AutoEdit permitting); true when it is.
  bool Edit();
  // Writes this link's pending edit into the fields.
  void UpdateRecord();

 protected:
  virtual void ActiveChanged() {}
  virtual void EditingChanged() {}
  virtual void RecordChanged(TField* /*field*/) {}
  virtual void DataSetChanged() { RecordChanged(nullptr); }
  virtual void DataSetScrolled(int /*distance*/) { DataSetChanged(); }
  virtual void LayoutChanged() { DataSetChanged(); }
  virtual void UpdateData() {}
  virtual void CheckBrowseMode() {}

 private:
  friend class TDataSource;
  void DataEvent(TDataEvent event, TField* field, int distance);
  void UpdateState();
  // Keeps the active record inside the window after the ring moved by
  // `shift`; answers how far the window's rows moved.
  int UpdateRange(int shift);
  void Detach();

  TDataSource* dataSource_ = nullptr;
  int bufferCount_ = 1;
  int firstRecord_ = 0;
  bool active_ = false;
  bool editing_ = false;
  bool updating_ = false;
};

}  // namespace fw
