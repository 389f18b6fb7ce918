#pragma once
// TTabulaTable: a dataset over one table file. It builds the file name from
// its database's directory and TableName, opens the engine cursor with the
// table's settings (under its session's lock, with the session's password
// handler installed for the open), selects the index that IndexName or
// IndexFieldNames names, and keeps field and index definitions, read from
// a temporary cursor when the table is closed.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "dataset/tabula_db_data_set.h"
#include "framework/data/field_def.h"

namespace tabula::db {

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
  void CursorOpened() override;
  void PropertyChanged() override;

 private:
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
};

}  // namespace tabula::db
