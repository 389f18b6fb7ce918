#pragma once
// TTabulaTable: a dataset over one table file. It builds the file name from
// its database's directory and TableName, opens the engine cursor with the
// table's settings (under its session's lock, with the session's password
// handler installed for the open), selects the index that IndexName or
// IndexFieldNames names, and keeps field and index definitions, read from
// a temporary cursor when the table is closed.
//
// Keys. Six key buffers per open table, each an 8-byte header (byte 0: the
// buffer holds a key; bytes 4..7: the number of key fields given) and a
// record image that holds the key fields' values: the lookup key, the range
// start and end being set, the range start and end in force, and a saved
// copy for a key edit that is cancelled. In the set-key state field writes
// go to the record image of the current key buffer. SeekNearest puts its
// values there and makes one engine key search; ranges and the master link
// restrict the cursor to the keys between two buffers.
//
// The lookup cursor: a second engine cursor on the same open file, on an
// index that begins with the fields a record search asks for, kept for the
// next search on the same fields (and dropped when a range or a filter
// changes what the table shows).

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dataset/tabula_db_data_set.h"
#include "framework/data/field_def.h"

namespace fw {
class TDataSource;
}

namespace tabula::db {

class TTabulaMasterDataLink;

class TTabulaTable : public TTabulaDBDataSet {
 public:
  explicit TTabulaTable(fw::TComponent* owner = nullptr);
  ~TTabulaTable() override;

  std::string EngineVersion() const { return "1.19"; }

  // ---- File settings (set while closed) ----
  const std::string& TableName() const { return tableName_; }
  void SetTableName(const std::string& name);
  bool Exclusive() const { return exclusive_; }
  void SetExclusive(bool value);
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool value);
  bool InMemory() const { return inMemory_; }
  void SetInMemory(bool value);
  bool StrictChangeDetection() const { return strictChangeDetection_; }
  void SetStrictChangeDetection(bool value);
  bool ForceBufferFlush() const { return forceBufferFlush_; }
  void SetForceBufferFlush(bool value);
  // May change while open; passed to the open cursor at once.
  uint8_t LockRetryCount() const { return lockRetryCount_; }
  void SetLockRetryCount(uint8_t value);
  uint16_t LockWaitTime() const { return lockWaitTime_; }
  void SetLockWaitTime(uint16_t value);
  bool StoreDefs = false;
  // The file name the cursor opens: the database's directory (blanks
  // trimmed, a separator added unless it ends in one) and TableName.
  std::string TableFileName() const;

  // ---- Index selection ----
  // Reading one gives "" when the other was set last.
  std::string IndexName() const { return settingIsFields_ ? std::string() : indexSetting_; }
  void SetIndexName(const std::string& name);
  std::string IndexFieldNames() const { return settingIsFields_ ? indexSetting_ : std::string(); }
  void SetIndexFieldNames(const std::string& fields);
  // The engine index name the setting resolves to ("" = index 0): a field
  // list goes through the index definitions ("No index for fields '%s'").
  std::string ResolveIndexName();

  // ---- Index fields and keys ----
  // The current index's key fields: i in 0 .. KeyFieldCount() - 1 ("Field
  // index out of range" otherwise; "Cannot access index field '%s'" when the
  // field has no field object).
  int IndexFieldCount() const { return KeyFieldCount(); }
  fw::TField& IndexFields(int i);
  // The set-key state on the lookup key (SetKey starts it empty, EditKey
  // keeps it) or on a range side; Post keeps the key, Cancel restores it.
  void SetKey();
  void EditKey();
  void SetRangeStart();
  void SetRangeEnd();
  void EditRangeStart();
  void EditRangeEnd();
  // Restricts the table to the keys between the range buffers (a side
  // without a key is open) and moves to the first record; nothing when the
  // range in force is the same.
  void ApplyRange();
  void SetRange(const std::vector<fw::TVariant>& startValues, const std::vector<fw::TVariant>& endValues);
  void CancelRange();
  // Positions on the first record whose key over the given fields is equal
  // to or greater than `values` (the last record when none is), the record
  // in the middle of the window. Raises "No index currently active" in
  // physical order.
  void SeekNearest(const std::vector<fw::TVariant>& values);
  // The same for the key the lookup buffer holds.
  void SeekLookupKey();

  // ---- Master link ----
  // Raises "Circular datalinks are not allowed" when the source's dataset
  // is this table or follows it through master links.
  fw::TDataSource* MasterSource() const;
  void SetMasterSource(fw::TDataSource* source);
  const std::string& MasterFields() const;
  void SetMasterFields(const std::string& fields);
  fw::TDataSource* MasterDataSource() const override { return MasterSource(); }
  TTabulaMasterDataLink& MasterLink() { return *masterLink_; }
  // The lookup cursor currently kept, if any.
  tabula::TDataFile* LookupCursor() const { return lookupCursor_.get(); }

  // ---- Definitions, refreshed from the table when out of date ----
  fw::TIndexDefs& IndexDefs();
  void UpdateFieldDefs();
  void UpdateIndexDefs();

  // ---- Events declared for restructure and repair tools ----
  std::function<void(fw::TDataSet&, int32_t record, uint16_t percent)> OnRepairProgress;
  std::function<void(fw::TDataSet&, int32_t record, uint16_t percent)> OnIndexProgress;
  std::function<void(fw::TDataSet&, int32_t record, uint16_t percent)> OnRestructureProgress;
  std::function<void(fw::TDataSet&, int cause, const std::string& context, bool& continueRestructure,
                     bool& stopAsking)>
      OnDataLost;
  std::function<void(fw::TDataSet&, const std::string& message)> OnRepairLog;

 protected:
  std::unique_ptr<tabula::TDataFile> CreateCursor() override;
  void DestroyCursor() override;
  void DropLookupCursor() override;
  tabula::TDataFile* OpenLookupCursor(const std::string& fields, bool caseInsensitive) override;
  void CursorOpened() override;
  void PropertyChanged() override;
  uint8_t* KeyRecordBuffer() override;
  void EndKeyEdit(bool post) override;
  void DoOnNewRecord() override;

 private:
  enum TKeyIndex : int { kKeyLookup, kKeyRangeStart, kKeyRangeEnd, kKeyCurRangeStart, kKeyCurRangeEnd, kKeySave };
  using TKeyBuffer = std::vector<uint8_t>;
  TKeyBuffer& InitKeyBuffer(TKeyIndex index);
  // The key fields a buffer's key covers.
  int KeyFieldsUsed(const TKeyBuffer& buffer) const;
  void SetKeyBuffer(TKeyIndex index, bool clear);
  // Puts values into a key buffer through the index fields; the buffer
  // holds a key when holdsKey or when a value was written.
  void SetKeyFields(TKeyIndex index, const std::vector<fw::TVariant>& values, bool holdsKey = false);
  // Hands the range buffers to the engine when they differ from the range
  // in force; true when the range changed.
  bool ApplyCursorRange();
  // Drops the range in force; true when there was one.
  bool ResetCursorRange();
  void SetLinkRanges(const std::vector<fw::TField*>& masterFields);
  void CheckMasterRange();
  void MasterChanged();
  void MasterDisabled();

  // A new cursor on the table file with the table's settings; the index
  // is not selected.
  std::unique_ptr<tabula::TDataFile> OpenTableFile(bool allowExclusive);
  void LoadIndexDefs(tabula::TDataFile& cursor);
  void ChangeIndex(const std::string& setting, bool isFields);
  void SwitchToIndex(const std::string& name);

  std::string tableName_;
  bool exclusive_ = false;
  bool inMemory_ = false;
  bool strictChangeDetection_ = false;
  bool forceBufferFlush_ = false;
  uint8_t lockRetryCount_ = 15;
  uint16_t lockWaitTime_ = 100;
  std::string indexSetting_;
  bool settingIsFields_ = false;
  fw::TIndexDefs indexDefs_;
  std::array<TKeyBuffer, 6> keyBuffers_;
  TKeyBuffer* keyBuffer_ = nullptr;  // the one the set-key state writes
  std::unique_ptr<TTabulaMasterDataLink> masterLink_;
  std::unique_ptr<tabula::TDataFile> lookupCursor_;
  std::string lookupFields_;  // empty: nothing cached
  bool lookupCaseInsensitive_ = false;
};

}  // namespace tabula::db
