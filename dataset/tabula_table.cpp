#include "dataset/tabula_table.h"

#include "dataset/dataset_messages.h"
#include "dataset/tabula_database.h"
#include "dataset/tabula_master_data_link.h"
#include "dataset/tabula_session.h"
#include "tabula/data_file.h"
#include "tabula/engine_error.h"
#include "framework/data/data_errors.h"

namespace tabula::db {

namespace {

std::string TrimBlanks(const std::string& text) {
  size_t b = 0;
  size_t e = text.size();
  while (b < e && text[b] == ' ') ++b;
  while (e > b && text[e - 1] == ' ') --e;
  return text.substr(b, e - b);
}

}  // namespace

TTabulaTable::TTabulaTable(fw::TComponent* owner)
    : TTabulaDBDataSet(owner), masterLink_(std::make_unique<TTabulaMasterDataLink>(*this)) {
  masterLink_->OnMasterChange = [this] { MasterChanged(); };
  masterLink_->OnMasterDisable = [this] { MasterDisabled(); };
}

TTabulaTable::~TTabulaTable() {
  MarkDestroying();
  try {
    Close();
  } catch (...) {
  }
}

// ---------------------------------------------------------------- settings

void TTabulaTable::SetTableName(const std::string& name) {
  CheckInactive();
  tableName_ = name;
  PropertyChanged();
}

void TTabulaTable::SetExclusive(bool value) {
  CheckInactive();
  exclusive_ = value;
}

void TTabulaTable::SetReadOnly(bool value) {
  CheckInactive();
  readOnly_ = value;
}

void TTabulaTable::SetInMemory(bool value) {
  CheckInactive();
  inMemory_ = value;
}

void TTabulaTable::SetStrictChangeDetection(bool value) {
  CheckInactive();
  strictChangeDetection_ = value;
}

void TTabulaTable::SetForceBufferFlush(bool value) {
  CheckInactive();
  forceBufferFlush_ = value;
}

void TTabulaTable::SetLockRetryCount(uint8_t value) {
  lockRetryCount_ = value;
  if (cursor_) cursor_->LockRetryCount = value;
}

void TTabulaTable::SetLockWaitTime(uint16_t value) {
  lockWaitTime_ = value;
  if (cursor_) cursor_->LockWaitTime = value;
}

void TTabulaTable::PropertyChanged() {
  FieldDefs().Updated = false;
  indexDefs_.Updated = false;
}

std::string TTabulaTable::TableFileName() const {
  std::string directory = Database() != nullptr ? TrimBlanks(Database()->TableDirectory()) : std::string();
  if (!directory.empty() && directory.back() != '\\' && directory.back() != '/')
    directory += directory.find('/') != std::string::npos && directory.find('\\') == std::string::npos ? '/' : '\\';
  return directory + tableName_;
}

// ---------------------------------------------------------------- the cursor

std::unique_ptr<TDataFile> TTabulaTable::OpenTableFile(bool allowExclusive) {
  TTabulaSession* session = Database() != nullptr ? Database()->Session() : nullptr;
  auto cursor = std::make_unique<TDataFile>();
  cursor->SetFileName(TableFileName());
  cursor->SetExclusive(allowExclusive && exclusive_);
  cursor->SetReadOnly(readOnly_);
  cursor->SetInMemory(inMemory_);
  cursor->SetStrictChangeDetection(strictChangeDetection_);
  cursor->SetForceBufferFlush(forceBufferFlush_);
  cursor->LockRetryCount = lockRetryCount_;
  cursor->LockWaitTime = lockWaitTime_;
  if (session != nullptr) {
    TSessionLock lock(*session);
    cursor->SetPasswordCallback(session, [session](void*) { return session->AskPassword(); });
    try {
      cursor->Open();
    } catch (...) {
      cursor->SetPasswordCallback(nullptr, {});
      throw;
    }
    cursor->SetPasswordCallback(nullptr, {});
  } else {
    cursor->Open();
  }
  return cursor;
}

std::unique_ptr<TDataFile> TTabulaTable::CreateCursor() {
  if (tableName_.empty()) fw::DatabaseError(msg::kNoTableName);
  indexDefs_.Updated = false;
  const std::string indexName = ResolveIndexName();
  std::unique_ptr<TDataFile> cursor = OpenTableFile(true);
  try {
    // The engine may have found the file read-only.
    readOnly_ = readOnly_ || cursor->ReadOnly() || cursor->ReadOnlyByAttribute();
    cursor->SelectIndex(indexName);
  } catch (...) {
    try {
      cursor->Close();
    } catch (...) {
    }
    throw;
  }
  return cursor;
}

void TTabulaTable::DestroyCursor() {
  DropLookupCursor();
  for (TKeyBuffer& buffer : keyBuffers_) TKeyBuffer().swap(buffer);
  keyBuffer_ = nullptr;
  TTabulaDataSet::DestroyCursor();
}

void TTabulaTable::CursorOpened() {
  // The key buffers, all empty alike: no range is in force.
  for (int i = kKeyLookup; i <= kKeySave; ++i) InitKeyBuffer(TKeyIndex(i));
  keyBuffer_ = &keyBuffers_[kKeyLookup];
  ResolveIndexName();
  CheckMasterRange();
}

// ---------------------------------------------------------------- definitions

void TTabulaTable::UpdateFieldDefs() {
  if (FieldDefs().Updated) return;
  TDatabaseHold hold(*this, THoldReason::kFieldList);
  if (cursor_) {
    LoadFieldDefs(*cursor_);
    return;
  }
  if (tableName_.empty()) fw::DatabaseError(msg::kNoTableName);
  std::unique_ptr<TDataFile> cursor = OpenTableFile(false);
  try {
    LoadFieldDefs(*cursor);
  } catch (...) {
    cursor->Close();
    throw;
  }
  cursor->Close();
}

void TTabulaTable::UpdateIndexDefs() {
  if (indexDefs_.Updated) return;
  TDatabaseHold hold(*this, THoldReason::kIndexList);
  UpdateFieldDefs();
  if (cursor_) {
    LoadIndexDefs(*cursor_);
    return;
  }
  std::unique_ptr<TDataFile> cursor = OpenTableFile(false);
  try {
    LoadIndexDefs(*cursor);
  } catch (...) {
    cursor->Close();
    throw;
  }
  cursor->Close();
}

fw::TIndexDefs& TTabulaTable::IndexDefs() {
  UpdateIndexDefs();
  return indexDefs_;
}

void TTabulaTable::LoadIndexDefs(TDataFile& cursor) {
  indexDefs_.Clear();
  const fw::TFieldDefs& fieldDefs = FieldDefs();
  auto addIndex = [&](uint8_t slot, bool primary) {
    const TIndexDescriptor d = cursor.GetIndexDesc(slot);
    std::string fields;
    for (int i = 0; i < d.FieldCount; ++i) {
      std::string name;
      for (int k = 0; k < fieldDefs.Count(); ++k)
        if (fieldDefs[k].FieldNo == d.FieldNumbers[size_t(i)]) name = fieldDefs[k].Name;
      fields += (i > 0 ? ";" : "") + name;
    }
    uint32_t options = 0;
    if (primary) options |= fw::kIxPrimary;
    if (d.Descending) options |= fw::kIxDescending;
    if (d.CaseInsensitive) options |= fw::kIxCaseInsensitive;
    if (d.Unique) options |= fw::kIxUnique;
    indexDefs_.Add(primary ? std::string() : d.Name, fields, options);
  };
  // Index 0 (the primary index, or the physical order of a table without
  // one), then the secondary indexes in the engine's order.
  const bool hasPrimary = cursor.GetIndexDesc(0).FieldCount > 0;
  addIndex(0, hasPrimary);
  const int secondaries = cursor.IndexCount() - (hasPrimary ? 1 : 0);
  for (int slot = 1; slot <= secondaries; ++slot) addIndex(uint8_t(slot), false);
  indexDefs_.Updated = true;
}

// ---------------------------------------------------------------- index selection

std::string TTabulaTable::ResolveIndexName() {
  if (indexSetting_.empty()) return {};
  if (!settingIsFields_) return indexSetting_;
  UpdateIndexDefs();
  const fw::TIndexDef* def = indexDefs_.FindForFields(indexSetting_);
  if (def == nullptr) fw::DatabaseErrorFmt(msg::kNoIndexForFields, {indexSetting_});
  return def->Name;
}

void TTabulaTable::SetIndexName(const std::string& name) { ChangeIndex(name, false); }

void TTabulaTable::SetIndexFieldNames(const std::string& fields) { ChangeIndex(fields, !fields.empty()); }

void TTabulaTable::ChangeIndex(const std::string& setting, bool isFields) {
  if (Active()) CheckBrowseMode();
  if (setting == indexSetting_ && isFields == settingIsFields_) return;
  if (!Active()) {
    indexSetting_ = setting;
    settingIsFields_ = isFields;
    return;
  }
  const std::string oldSetting = indexSetting_;
  const bool oldIsFields = settingIsFields_;
  indexSetting_ = setting;
  settingIsFields_ = isFields;
  std::string name;
  try {
    name = ResolveIndexName();
  } catch (...) {
    indexSetting_ = oldSetting;
    settingIsFields_ = oldIsFields;
    throw;
  }
  fw::TCursorOperation operation(*this);
  try {
    SwitchToIndex(name);
  } catch (...) {
    // The table stays on the index it had (or is closed when its buffers
    // could not be made again), so the setting does too.
    indexSetting_ = oldSetting;
    settingIsFields_ = oldIsFields;
    if (Active()) {
      CheckMasterRange();
      Resync(fw::kResyncCenter);
    }
    throw;
  }
  CheckMasterRange();
  Resync(fw::kResyncCenter);
}

void TTabulaTable::SwitchToIndex(const std::string& name) {
  ResetCursorRange();
  UpdateCursorPos();
  cursor_->SelectIndex(name);
  try {
    // The bookmark size depends on the index: the ring is laid out again.
    ReadIndexDescription();
    RelayoutBuffers(uint16_t(cursor_->KeySize()));
  } catch (...) {
    Close();
    throw;
  }
}

}  // namespace tabula::db
