#pragma once
// TTabulaDataSet: a dataset over one engine cursor (a TDataFile with its
// current index). It implements the framework's record-buffer contract on
// the cursor, lays out the record buffers, maps the engine's fields to
// field definitions, runs the engine's filters (an expression filter from
// Filter, a callback filter for OnFilterRecord) and reports the engine
// calls it makes, so that their number can be checked.
//
// Record buffer (BufferLength bytes):
//   0               RecordLength   the record as the engine lays it out
//   RecordLength    calc size      calculated and lookup fields' slots
//   InfoOffset      4              record number (-1 for a new record)
//   InfoOffset + 4  1              bookmark flag
//   MarkOffset      MarkLength     the engine's bookmark of the record
//
// Every navigation holds the table's read lock from its start to its end:
// its records come from one state of the files, and a change another
// program made since the last navigation is noticed at its start, when the
// ring is read again before the move (change detection as a reader meets
// it, without reopening).

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dataset/expr_parser.h"
#include "framework/data/data_set.h"

namespace tabula {
class TDataFile;
struct TFilter;
}  // namespace tabula

namespace tabula::db {

// Engine calls made by the dataset, by kind.
struct TEngineCallCounts {
  uint64_t Positionings = 0;  // GotoFirst, GotoLast, GotoBookmark, GotoRecNo, FindKey
  uint64_t RecordReads = 0;   // ReadCurrent, ReadNext, ReadPrior
  uint64_t Other = 0;         // counts, record numbers, bookmarks, descriptors
  uint64_t LockChecks = 0;    // read locks taken around a navigation
};

class TTabulaDataSet : public fw::TDataSet, public TFilterFieldSource {
 public:
  explicit TTabulaDataSet(fw::TComponent* owner = nullptr);
  ~TTabulaDataSet() override;

  // ---- Cursor state ----
  tabula::TDataFile* Cursor() const { return cursor_.get(); }
  int RecordLength() const { return recordLength_; }
  int MarkLength() const { return markLength_; }
  int InfoOffset() const { return infoOffset_; }
  int MarkOffset() const { return markOffset_; }
  int BufferLength() const { return bufferLength_; }
  int KeyFieldCount() const { return keyFieldCount_; }
  int KeyFieldNumber(int i) const { return keyFieldNumbers_.at(size_t(i)); }
  int KeyLength() const { return keyLength_; }
  bool KeyCaseInsensitive() const { return caseInsensitive_; }
  // A table field that is one of the current index's key fields.
  bool IsIndexField(const fw::TField& field) const;

  const TEngineCallCounts& EngineCalls() const { return calls_; }
  void ResetEngineCalls() { calls_ = TEngineCallCounts{}; }

  // ---- Filters ----
  void SetFilter(const std::string& text) override;
  void SetFilterOptions(uint32_t options) override;
  void SetFiltered(bool value) override;
  void SetOnFilterRecord(fw::TFilterRecordEvent handler) override;

  // ---- Field access ----
  bool ReadFieldData(const fw::TField& field, void* dest) override;
  void WriteFieldData(fw::TField& field, const void* source) override;
  int64_t BcdToCurrency(const void* bcd) override;
  void CurrencyToBcd(int64_t units, void* bcd, int scale) override;

  // ---- TFilterFieldSource (the filter expression parser's view) ----
  const TFilterField* FindFilterField(const std::string& name) const override;
  uint16_t LanguageId() const override;
  uint16_t SortId() const override;

 protected:
  // ---- The cursor's life (in this order of slots) ----
  virtual std::unique_ptr<tabula::TDataFile> CreateCursor();
  virtual void DestroyCursor();
  virtual void DropLookupCursor() {}
  virtual tabula::TDataFile* OpenLookupCursor(const std::string& /*fields*/, bool /*caseInsensitive*/) {
    return nullptr;
  }
  virtual void CursorOpened() {}

  // Opening: AttachCursor (CreateCursor; none -> "Error creating table
  // handle."), then SetUpCursor. Closing: TearDownCursor, DestroyCursor.
  virtual void AttachCursor();
  virtual void DetachCursor();
  void SetUpCursor();
  void TearDownCursor();
  // Field definitions from an open engine cursor.
  void LoadFieldDefs(tabula::TDataFile& cursor);
  // Key field count, numbers, key length and case flag of the current index.
  void ReadIndexDescription();
  // The key buffer's record part in the set-key state; none here.
  virtual uint8_t* KeyRecordBuffer() { return nullptr; }
  // The current index changed to one whose bookmarks take `markLength`
  // bytes: the buffer layout and the ring are made again.
  void RelayoutBuffers(uint16_t markLength);
  // Which buffer a field access uses in the current state.
  uint8_t* CurrentFieldBuffer();
  [[noreturn]] void RaiseStatus(int status) const;

  // ---- fw::TDataSet contract ----
  void OpenCursor() override;
  void CloseCursor() override;
  bool IsCursorOpen() const override { return cursor_ != nullptr; }
  int RecordBufferSize() const override { return bufferLength_; }
  fw::TGetResult FetchRecord(uint8_t* buffer, fw::TGetMode mode, bool check) override;
  void MoveToStart() override;
  void MoveToEnd() override;
  void MoveToBuffer(const uint8_t* buffer) override;
  void MoveToMark(const fw::TBookmark& mark) override;
  int MarkSize() const override { return markLength_; }
  void GetMark(const uint8_t* buffer, fw::TBookmark& mark) const override;
  void SetMark(uint8_t* buffer, const fw::TBookmark& mark) override;
  fw::TBookmarkFlag GetMarkFlag(const uint8_t* buffer) const override;
  void SetMarkFlag(uint8_t* buffer, fw::TBookmarkFlag flag) override;
  int CompareMarks(const fw::TBookmark& a, const fw::TBookmark& b) override;
  bool IsMarkValid(const fw::TBookmark& mark) override;
  void ClearRecordBuffer(uint8_t* buffer) override;
  void StartNewRecord(uint8_t* buffer) override;
  void BeginRecordEdit() override;
  void StoreRecord() override;
  void RemoveRecord() override;
  void AbandonEdit() override;
  void RefreshCursor() override;
  bool IsWritable() const override { return writable_ && !readOnly_; }
  bool HasRecordNumbers() const override { return !Filtered(); }
  int ReadRecordNumber() const override;
  void MoveToRecordNumber(int recNo) override;
  int CountTableRecords() const override;
  void ClearCalculatedArea(uint8_t* buffer) override;
  int CalcAreaOffset() const override { return recordLength_; }
  bool FindFilteredRecord(bool restart, bool forward) override;
  bool BeginCursorOperation() override;
  void EndCursorOperation() override;

  // Set by the table from its ReadOnly property and the engine's state.
  bool readOnly_ = false;
  std::unique_ptr<tabula::TDataFile> cursor_;

 private:
  // The cursor is in physical order (no index keys).
  bool PhysicalOrder();
  tabula::TFilter* BuildExpressionFilter(const std::string& text, uint32_t options);
  tabula::TFilter* BuildCallbackFilter();
  bool AcceptRecord(const uint8_t* record);
  void ActivateFilters();
  void DeactivateFilters();
  // Replaces a filter handle as the Filter and OnFilterRecord setters do.
  void ReplaceFilter(tabula::TFilter*& handle, tabula::TFilter* fresh);
  void BuildFilterFields();
  void SetRecordNumber(uint8_t* buffer, int32_t recNo);

  uint16_t recordLength_ = 0;
  uint16_t markLength_ = 0;
  uint16_t infoOffset_ = 0;
  uint16_t markOffset_ = 0;
  uint16_t bufferLength_ = 0;
  bool writable_ = false;
  int keyFieldCount_ = 0;
  std::array<int, 16> keyFieldNumbers_{};
  int keyLength_ = 0;
  bool caseInsensitive_ = false;
  std::vector<uint8_t> oldValues_;
  std::vector<int> engineDataSize_;  // by field number: the engine's bytes of the field
  tabula::TFilter* expressionFilter_ = nullptr;
  tabula::TFilter* callbackFilter_ = nullptr;
  std::vector<TFilterField> filterFields_;
  int32_t editLock_ = 0;  // the record locked by Edit
  bool tookReadLock_ = false;
  mutable TEngineCallCounts calls_;
};

}  // namespace tabula::db
