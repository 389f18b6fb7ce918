#pragma once
// TDataSet: the generic dataset. It keeps the dataset's state, its fields,
// and a ring of record buffers that holds the records around the current
// one (as many as the widest data link shows), and drives a cursor that a
// derived class provides through the record-buffer contract below.
//
// The ring. buffers_ holds BufferCount() + 1 buffers; the first
// RingRecordCount() hold consecutive records in cursor order, the one at
// ActiveRecord() is the current record, and the last buffer is a spare that
// a fetch fills before it joins the ring. The derived cursor stands on the
// record of buffer currentRecord_ (-1: unknown); before it fetches the next
// record after the last buffer (or the one before the first) the dataset
// moves the cursor there only if it stands elsewhere. A scroll of one row
// therefore costs one fetch, and a move inside the ring none.
//
// Notifications go to the data sources and through them to the data links
// (data_link.h): state changes (active, editing), record changes, data set
// changes (the ring was refilled), scrolls (with the number of rows the
// ring moved by), layout changes. DisableControls holds them back until
// the matching EnableControls, which sends one data set change.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "framework/core/exceptions.h"
#include "framework/data/component.h"
#include "framework/data/field.h"
#include "framework/data/field_def.h"
#include "framework/data/stream.h"
#include "framework/data/variant.h"

namespace fw {

class TDataSource;

enum class TDataSetState : uint8_t {
  kInactive,
  kBrowse,
  kEdit,
  kInsert,
  kSetKey,
  kCalcFields,
  kFilter,
  kNewValue,
  kOldValue,
  kInternalCalc,
};

enum class TGetMode : uint8_t { kCurrent, kNext, kPrior };
enum class TGetResult : uint8_t { kOk, kBOF, kEOF, kError };

// Bookmark flags of a record buffer.
enum class TBookmarkFlag : uint8_t { kCurrent = 0, kBOF = 1, kEOF = 2, kInserted = 3 };

enum class TDataEvent : uint8_t {
  kFieldChange,      // a field of the current record changed (field given)
  kRecordChange,     // the current record changed as a whole
  kDataSetChange,    // the ring was refilled: show everything again
  kDataSetScroll,    // the ring moved by `distance` rows (records moved up)
  kLayoutChange,     // fields were added, removed or rearranged
  kUpdateRecord,     // controls: write your pending edits into the fields
  kUpdateState,      // the state changed (opened, closed, editing)
  kCheckBrowseMode,  // controls: finish your edits
};

// What an error handler answers.
enum class TDataAction : uint8_t { kFail, kAbort, kRetry };

enum : uint32_t { kResyncExact = 1, kResyncCenter = 2 };

// Filter options.
enum : uint32_t { kFilterOptCaseInsensitive = 1, kFilterOptNoPartialCompare = 2 };

enum class TBlobStreamMode : uint8_t { kRead, kWrite, kReadWrite };

using TBookmark = std::vector<uint8_t>;
using TDataSetNotifyEvent = std::function<void(TDataSet&)>;
using TDataSetErrorEvent = std::function<void(TDataSet&, const EDatabaseError&, TDataAction&)>;
using TFilterRecordEvent = std::function<void(TDataSet&, bool& accept)>;

class TDataSet : public TComponent {
 public:
  explicit TDataSet(TComponent* owner = nullptr);
  ~TDataSet() override;

  // ---- Opening and state ----
  bool Active() const { return state_ != TDataSetState::kInactive; }
  void SetActive(bool value);
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }
  TDataSetState State() const { return state_; }
  bool Modified() const { return modified_; }
  bool Bof() const { return bof_; }
  bool Eof() const { return eof_; }
  bool IsEmpty() const { return Active() && recordCount_ == 0; }
  bool CanModify() const { return IsWritable(); }
  // Raises "Cannot perform this operation on a closed dataset".
  void CheckActive() const;
  void CheckInactive() const;

  // ---- Fields ----
  TFieldDefs& FieldDefs() { return fieldDefs_; }
  TFields& Fields() { return fields_; }
  const TFields& Fields() const { return fields_; }
  TField* FindField(const std::string& name) const { return fields_.FindField(name); }
  TField& FieldByName(const std::string& name) const { return fields_.FieldByName(name); }
  // True when the field objects were made from the definitions at open.
  bool DefaultFields() const { return defaultFields_; }
  int CalcFieldsSize() const { return calcFieldsSize_; }
  bool AutoCalcFields = true;

  // ---- Navigation ----
  void First();
  void Last();
  void Next() { MoveBy(1); }
  void Prior() { MoveBy(-1); }
  // Moves by `distance` records; answers how far it moved.
  int MoveBy(int distance);
  // Number of the current record in the current order (-1 when unknown).
  int RecNo() const;
  void SetRecNo(int value);
  int RecordCount() const;
  // Reads the current record and its neighbours again.
  void Refresh();
  void Resync(uint32_t mode);

  // ---- Bookmarks ----
  TBookmark GetBookmark() const;
  void GotoBookmark(const TBookmark& bookmark);
  bool BookmarkValid(const TBookmark& bookmark);
  int CompareBookmarks(const TBookmark& a, const TBookmark& b);

  // ---- Editing ----
  void Edit();
  void Insert();
  void Append();
  void Post();
  void Cancel();
  void Delete();
  // Finishes an edit: posts when modified, cancels otherwise.
  void CheckBrowseMode();
  // Asks the controls to write their pending edits into the fields.
  void UpdateRecord();

  // ---- Filters ----
  const std::string& Filter() const { return filterText_; }
  virtual void SetFilter(const std::string& text) { filterText_ = text; }
  bool Filtered() const { return filtered_; }
  virtual void SetFiltered(bool value) { filtered_ = value; }
  uint32_t FilterOptions() const { return filterOptions_; }
  virtual void SetFilterOptions(uint32_t options) { filterOptions_ = options; }
  const TFilterRecordEvent& OnFilterRecord() const { return onFilterRecord_; }
  virtual void SetOnFilterRecord(TFilterRecordEvent handler) { onFilterRecord_ = std::move(handler); }
  bool FindFirst() { return FindFilteredRecord(true, true); }
  bool FindLast() { return FindFilteredRecord(true, false); }
  bool FindNext() { return FindFilteredRecord(false, true); }
  bool FindPrior() { return FindFilteredRecord(false, false); }

  // ---- Lookups ----
  // The values of resultFields in the record whose keyFields equal
  // keyValues (one value per key field), or null when there is none; the
  // dataset does not move. The generic dataset finds nothing.
  virtual TVariant FetchLookupValue(const std::string& keyFields, const std::vector<TVariant>& keyValues,
                                    const std::string& resultFields);

  // ---- Controls ----
  void DisableControls();
  void EnableControls();
  bool ControlsDisabled() const { return disableCount_ > 0; }

  // ---- The ring, for data links ----
  int BufferCount() const { return bufferCount_; }
  int RingRecordCount() const { return recordCount_; }
  int ActiveRecord() const { return activeRecord_; }
  // Makes another ring row the active one without any event (a grid
  // paints each row this way and sets the old value back).
  void SetActiveRecord(int index);
  // The widest data link decides the ring size.
  void UpdateBufferCount();
  const std::vector<TDataSource*>& DataSources() const { return dataSources_; }
  // The data source this dataset follows as its master, if any.
  virtual TDataSource* MasterDataSource() const { return nullptr; }

  // ---- Field access (used by the field objects) ----
  virtual bool ReadFieldData(const TField& field, void* dest) = 0;
  virtual void WriteFieldData(TField& field, const void* source) = 0;
  // BCD fields: the dataset's 8-byte stored form <-> 1/10000 units.
  virtual int64_t BcdToCurrency(const void* bcd);
  virtual void CurrencyToBcd(int64_t units, void* bcd, int scale);
  // Blob content; the generic dataset has none (nullptr).
  virtual std::unique_ptr<TStream> CreateBlobStream(TField& field, TBlobStreamMode mode);
  // Sends an event to the data sources (and handles field changes).
  void DataEvent(TDataEvent event, TField* field = nullptr, int distance = 0);
  uint8_t* ActiveBuffer();
  // The buffer calculated fields are being computed into, or null.
  uint8_t* CalcBuffer() const { return calcBuffer_; }

  // ---- Events ----
  TDataSetNotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose;
  TDataSetNotifyEvent BeforeInsert, AfterInsert, BeforeEdit, AfterEdit;
  TDataSetNotifyEvent BeforePost, AfterPost, BeforeCancel, AfterCancel;
  TDataSetNotifyEvent BeforeDelete, AfterDelete, BeforeScroll, AfterScroll;
  TDataSetNotifyEvent OnNewRecord, OnCalcFields;
  TDataSetErrorEvent OnPostError, OnEditError, OnDeleteError;

 protected:
  // ---- The record-buffer contract of a derived cursor ----
  // Opens the cursor: field definitions, field objects (CreateFields when
  // none were declared, then BindFields), buffer layout; leaves the cursor
  // before the first record. Closing undoes it.
  virtual void OpenCursor() = 0;
  virtual void CloseCursor() = 0;
  virtual bool IsCursorOpen() const = 0;
  virtual int RecordBufferSize() const = 0;
  // Fills `buffer` with the current, next or prior record. `check`: raise
  // errors instead of answering kError.
  virtual TGetResult FetchRecord(uint8_t* buffer, TGetMode mode, bool check) = 0;
  virtual void MoveToStart() = 0;  // before the first record
  virtual void MoveToEnd() = 0;    // after the last record
  virtual void MoveToBuffer(const uint8_t* buffer) = 0;  // onto that buffer's record
  virtual void MoveToMark(const TBookmark& mark) = 0;
  virtual int MarkSize() const = 0;
  virtual void GetMark(const uint8_t* buffer, TBookmark& mark) const = 0;
  virtual void SetMark(uint8_t* buffer, const TBookmark& mark) = 0;
  virtual TBookmarkFlag GetMarkFlag(const uint8_t* buffer) const = 0;
  virtual void SetMarkFlag(uint8_t* buffer, TBookmarkFlag flag) = 0;
  // -1 / 0 / 1; a missing mark is an empty vector.
  virtual int CompareMarks(const TBookmark& a, const TBookmark& b) = 0;
  virtual bool IsMarkValid(const TBookmark& mark) = 0;
  // An empty record (defaults applied).
  virtual void ClearRecordBuffer(uint8_t* buffer) = 0;
  // A new record's buffer: ClearRecordBuffer and the insert marks.
  virtual void StartNewRecord(uint8_t* buffer);
  virtual void BeginRecordEdit() = 0;  // lock and re-read the active record
  virtual void StoreRecord() = 0;      // write the active buffer (edit or insert)
  virtual void RemoveRecord() = 0;     // delete the current record
  virtual void AbandonEdit() {}        // give up an edit (release its lock)
  virtual void RefreshCursor() {}      // see other programs' changes
  virtual bool IsWritable() const { return false; }
  virtual bool HasRecordNumbers() const { return false; }
  virtual int ReadRecordNumber() const { return -1; }
  virtual void MoveToRecordNumber(int /*recNo*/) {}
  virtual int CountTableRecords() const { return -1; }
  virtual void ClearCalculatedArea(uint8_t* buffer) = 0;
  // Offset of the calculated-fields area in a record buffer.
  virtual int CalcAreaOffset() const = 0;
  virtual bool FindFilteredRecord(bool restart, bool forward);
  // Ends a key edit when posting or cancelling in the set-key state.
  virtual void EndKeyEdit(bool /*post*/) {}
  // Brackets one navigation on a cursor over shared data: take the data's
  // read lock and answer whether another program changed it since the
  // last operation (the ring is then read again before the move).
  virtual bool BeginCursorOperation() { return false; }
  virtual void EndCursorOperation() {}

  // ---- Helpers for derived cursors ----
  // Default field objects from the definitions (owned by the dataset).
  void CreateFields();
  void DestroyFields();
  // Numbers the data fields from the definitions (checking names and
  // types) and lays out the slots of calculated and lookup fields.
  void BindFields(bool binding);
  // Calculated and lookup fields of a fetched record.
  void GetCalcFields(uint8_t* buffer);
  TDataSetState SetTempState(TDataSetState state);
  void RestoreState(TDataSetState state);
  void SetState(TDataSetState state);
  // The cursor was moved behind the ring's back, or what it shows may have
  // changed (filters, ranges): the next move places it anew, and First or
  // Last read the ring again even when it seems to start or end there.
  void CursorPosChanged() {
    currentRecord_ = -1;
    ringStale_ = true;
  }
  // Moves the cursor onto the active record when it stands elsewhere.
  void UpdateCursorPos();
  // Refills the ring from the record the cursor stands on, which becomes
  // ring row `activeOffset` when there are enough records after it (the
  // ring is filled forwards from the cursor, then backwards if short).
  void FillRingFromCursor(int activeOffset);
  // The record buffer size changed: the ring is allocated afresh, empty.
  void ReallocateRing();
  void DoBeforeScroll();
  void DoAfterScroll();
  void Notification(TComponent* component, TOperation operation) override;
  void Loaded() override;
  // The filter buffer (the record under test) while in the filter state.
  const uint8_t* filterBuffer_ = nullptr;

 private:
  friend class TDataSource;
  friend class TCursorOperation;

  void OpenDataSet();
  void CloseDataSet();
  void SetBufferCount(int count);
  void ClearBuffers();
  void SetCurrentRecord(int index);
  bool GetNextRecord();
  bool GetPriorRecord();
  int GetNextRecords();
  int GetPriorRecords();
  uint8_t* Buffer(int index) { return buffers_[size_t(index)].data(); }
  // The insert state for the new buffer at the active row: OnNewRecord,
  // events.
  void FinishInsert();
  // First (last = false) and Last.
  void MoveToEdge(bool last);
  void CheckRequiredFields();
  void CheckCanModify() const;
  void RunWithErrorEvent(const TDataSetErrorEvent& handler, const std::function<void()>& operation);
  void NotifyDataSources(TDataEvent event, TField* field, int distance);
  void CalculateLookupFields();
  void AddDataSource(TDataSource* source);
  void RemoveDataSource(TDataSource* source);
  // Re-reads the ring when the cursor operation found the data changed.
  void ResyncIfChanged();

  TDataSetState state_ = TDataSetState::kInactive;
  bool modified_ = false;
  bool bof_ = true;
  bool eof_ = true;
  bool streamedActive_ = false;
  bool defaultFields_ = false;
  TFieldDefs fieldDefs_;
  TFields fields_;
  int calcFieldsSize_ = 0;

  std::vector<std::vector<uint8_t>> buffers_;
  int bufferCount_ = 0;
  int recordCount_ = 0;
  int activeRecord_ = 0;
  int currentRecord_ = -1;
  bool insertedIntoFullRing_ = false;
  bool ringStale_ = false;
  uint8_t* calcBuffer_ = nullptr;

  std::vector<TField*> defaultFieldList_;  // made by CreateFields, freed by DestroyFields
  std::vector<TDataSource*> dataSources_;
  int disableCount_ = 0;
  bool pendingChange_ = false;
  bool pendingLayout_ = false;
  bool pendingState_ = false;

  int cursorDepth_ = 0;
  bool cursorChanged_ = false;

  std::string filterText_;
  bool filtered_ = false;
  uint32_t filterOptions_ = 0;
  TFilterRecordEvent onFilterRecord_;
};

// Brackets one user-level operation on the cursor (see
// BeginCursorOperation). Nested scopes count; only the outermost one calls
// the hooks.
class TCursorOperation {
 public:
  explicit TCursorOperation(TDataSet& dataSet);
  ~TCursorOperation();
  TCursorOperation(const TCursorOperation&) = delete;
  TCursorOperation& operator=(const TCursorOperation&) = delete;
  // True when the data changed since the last operation.
  bool Changed() const { return changed_; }

 private:
  TDataSet& dataSet_;
  bool outer_;
  bool changed_ = false;
};

}  // namespace fw
