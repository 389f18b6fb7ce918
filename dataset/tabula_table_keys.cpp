// TTabulaTable: index fields, key buffers and the set-key state, the
// nearest-key search, ranges, the master link and the lookup cursor.

#include <cstring>

#include "dataset/dataset_messages.h"
#include "dataset/tabula_master_data_link.h"
#include "dataset/tabula_table.h"
#include "tabula/data_file.h"
#include "tabula/engine_error.h"
#include "tabula/field_types.h"
#include "tabula/index_descriptor.h"
#include "framework/data/data_errors.h"
#include "framework/data/data_source.h"

namespace tabula::db {

namespace {

// The key buffer header: byte 0 says whether the buffer holds a key, bytes
// 4..7 how many key fields it gives; the record image follows.
constexpr size_t kKeyHeaderSize = 8;

bool KeyModified(const std::vector<uint8_t>& buffer) { return buffer[0] != 0; }
int KeyFieldsGiven(const std::vector<uint8_t>& buffer) { return LoadI32(buffer.data() + 4); }
uint8_t* KeyRecord(std::vector<uint8_t>& buffer) { return buffer.data() + kKeyHeaderSize; }

}  // namespace

// ---------------------------------------------------------------- index fields

fw::TField& TTabulaTable::IndexFields(int i) {
  if (i < 0 || i >= KeyFieldCount()) fw::DatabaseError(msg::kIndexFieldOutOfRange);
  const int fieldNo = KeyFieldNumber(i);
  if (fw::TField* field = Fields().FieldByNumber(fieldNo)) return *field;
  std::string name;
  for (int k = 0; k < FieldDefs().Count(); ++k)
    if (FieldDefs()[k].FieldNo == fieldNo) name = FieldDefs()[k].Name;
  fw::DatabaseErrorFmt(msg::kIndexFieldAccess, {name});
}

// ---------------------------------------------------------------- key buffers

TTabulaTable::TKeyBuffer& TTabulaTable::InitKeyBuffer(TKeyIndex index) {
  TKeyBuffer& buffer = keyBuffers_[size_t(index)];
  buffer.assign(kKeyHeaderSize + size_t(RecordLength()), 0);
  cursor_->InitRecord(KeyRecord(buffer));
  return buffer;
}

int TTabulaTable::KeyFieldsUsed(const TKeyBuffer& buffer) const {
  // A key edited in the set-key state gives no count: it is the whole key.
  const int given = KeyFieldsGiven(buffer);
  return given > 0 ? given : KeyFieldCount();
}

uint8_t* TTabulaTable::KeyRecordBuffer() {
  return keyBuffer_ != nullptr && !keyBuffer_->empty() ? KeyRecord(*keyBuffer_) : nullptr;
}

void TTabulaTable::SetKeyBuffer(TKeyIndex index, bool clear) {
  CheckBrowseMode();
  keyBuffer_ = &keyBuffers_[size_t(index)];
  keyBuffers_[kKeySave] = *keyBuffer_;
  if (clear) InitKeyBuffer(index);
  SetState(fw::TDataSetState::kSetKey);
  DataEvent(fw::TDataEvent::kDataSetChange);
}

void TTabulaTable::SetKey() { SetKeyBuffer(kKeyLookup, true); }
void TTabulaTable::EditKey() { SetKeyBuffer(kKeyLookup, false); }
void TTabulaTable::SetRangeStart() { SetKeyBuffer(kKeyRangeStart, true); }
void TTabulaTable::SetRangeEnd() { SetKeyBuffer(kKeyRangeEnd, true); }
void TTabulaTable::EditRangeStart() { SetKeyBuffer(kKeyRangeStart, false); }
void TTabulaTable::EditRangeEnd() { SetKeyBuffer(kKeyRangeEnd, false); }

void TTabulaTable::EndKeyEdit(bool post) {
  DataEvent(fw::TDataEvent::kCheckBrowseMode);
  if (post)
    (*keyBuffer_)[0] = Modified() ? 1 : 0;
  else
    *keyBuffer_ = keyBuffers_[kKeySave];
  SetState(fw::TDataSetState::kBrowse);
  DataEvent(fw::TDataEvent::kDataSetChange);
}

void TTabulaTable::SetKeyFields(TKeyIndex index, const std::vector<fw::TVariant>& values, bool holdsKey) {
  if (KeyFieldCount() == 0) fw::DatabaseError(msg::kNoIndexActive);
  fw::TTempState editing(*this, fw::TDataSetState::kSetKey);
  keyBuffer_ = &InitKeyBuffer(index);
  for (size_t i = 0; i < values.size(); ++i) IndexFields(int(i)).SetValue(values[i]);
  StoreI32(keyBuffer_->data() + 4, int32_t(values.size()));
  (*keyBuffer_)[0] = holdsKey || Modified() ? 1 : 0;
}

// ---------------------------------------------------------------- nearest key

void TTabulaTable::SeekNearest(const std::vector<fw::TVariant>& values) {
  CheckBrowseMode();
  SetKeyFields(kKeyLookup, values);
  SeekLookupKey();
}

void TTabulaTable::SeekLookupKey() {
  CheckBrowseMode();
  fw::TCursorOperation operation(*this);
  CursorPosChanged();
  TKeyBuffer& lookup = keyBuffers_[kKeyLookup];
  uint8_t key[kKeyBufferSize] = {};
  cursor_->BuildKey(KeyRecord(lookup), key);
  ++Calls().KeySearches;
  // An empty table has no record to land on; the ring is then empty.
  const int status = cursor_->FindKey(key, KeyFieldsUsed(lookup), 0, true);
  if (status != 0 && status != kErrRecordNotFound) RaiseStatus(status);
  Resync(fw::kResyncCenter);
}

// ---------------------------------------------------------------- ranges

bool TTabulaTable::ApplyCursorRange() {
  TKeyBuffer& start = keyBuffers_[kKeyRangeStart];
  TKeyBuffer& end = keyBuffers_[kKeyRangeEnd];
  if (start == keyBuffers_[kKeyCurRangeStart] && end == keyBuffers_[kKeyCurRangeEnd]) return false;
  UpdateCursorPos();
  uint8_t startKey[kKeyBufferSize] = {};
  uint8_t endKey[kKeyBufferSize] = {};
  if (KeyModified(start)) cursor_->BuildKey(KeyRecord(start), startKey);
  if (KeyModified(end)) cursor_->BuildKey(KeyRecord(end), endKey);
  cursor_->SetRange(KeyModified(start) ? startKey : nullptr, KeyFieldsUsed(start), 0, false,
                    KeyModified(end) ? endKey : nullptr, KeyFieldsUsed(end), 0, false);
  keyBuffers_[kKeyCurRangeStart] = start;
  keyBuffers_[kKeyCurRangeEnd] = end;
  DropLookupCursor();
  CursorPosChanged();
  return true;
}

bool TTabulaTable::ResetCursorRange() {
  if (!KeyModified(keyBuffers_[kKeyCurRangeStart]) && !KeyModified(keyBuffers_[kKeyCurRangeEnd])) return false;
  cursor_->CancelRange();
  InitKeyBuffer(kKeyCurRangeStart);
  InitKeyBuffer(kKeyCurRangeEnd);
  DropLookupCursor();
  CursorPosChanged();
  return true;
}

void TTabulaTable::ApplyRange() {
  CheckBrowseMode();
  fw::TCursorOperation operation(*this);
  if (ApplyCursorRange()) First();
}

void TTabulaTable::SetRange(const std::vector<fw::TVariant>& startValues, const std::vector<fw::TVariant>& endValues) {
  CheckBrowseMode();
  SetKeyFields(kKeyRangeStart, startValues);
  SetKeyFields(kKeyRangeEnd, endValues);
  ApplyRange();
}

void TTabulaTable::CancelRange() {
  CheckBrowseMode();
  fw::TCursorOperation operation(*this);
  UpdateCursorPos();
  if (ResetCursorRange()) Resync(0);
}

// ---------------------------------------------------------------- master link

fw::TDataSource* TTabulaTable::MasterSource() const { return masterLink_->DataSource(); }

void TTabulaTable::SetMasterSource(fw::TDataSource* source) {
  if (source != nullptr && source->IsLinkedTo(this)) fw::DatabaseError(fw::msg::kCircularDataLink);
  masterLink_->SetDataSource(source);
}

const std::string& TTabulaTable::MasterFields() const { return masterLink_->FieldNames(); }

void TTabulaTable::SetMasterFields(const std::string& fields) { masterLink_->SetFieldNames(fields); }

void TTabulaTable::SetLinkRanges(const std::vector<fw::TField*>& masterFields) {
  std::vector<fw::TVariant> values;
  values.reserve(masterFields.size());
  for (fw::TField* field : masterFields) values.push_back(field->Value());
  SetKeyFields(kKeyRangeStart, values, true);
  keyBuffers_[kKeyRangeEnd] = keyBuffers_[kKeyRangeStart];
}

void TTabulaTable::CheckMasterRange() {
  if (!masterLink_->Active() || masterLink_->Fields().empty()) return;
  SetLinkRanges(masterLink_->Fields());
  ApplyCursorRange();
}

void TTabulaTable::MasterChanged() {
  CheckBrowseMode();
  SetLinkRanges(masterLink_->Fields());
  fw::TCursorOperation operation(*this);
  if (ApplyCursorRange()) First();
}

void TTabulaTable::MasterDisabled() {
  CheckBrowseMode();
  fw::TCursorOperation operation(*this);
  UpdateCursorPos();
  if (ResetCursorRange()) Resync(0);
}

void TTabulaTable::DoOnNewRecord() {
  if (masterLink_->Active()) {
    const std::vector<fw::TField*>& masterFields = masterLink_->Fields();
    for (size_t i = 0; i < masterFields.size(); ++i) IndexFields(int(i)).SetValue(masterFields[i]->Value());
  }
  TTabulaDBDataSet::DoOnNewRecord();
}

// ---------------------------------------------------------------- lookup cursor

TDataFile* TTabulaTable::OpenLookupCursor(const std::string& fields, bool caseInsensitive) {
  if (!lookupFields_.empty() && lookupFields_ == fields && lookupCaseInsensitive_ == caseInsensitive)
    return lookupCursor_.get();
  DropLookupCursor();
  const fw::TIndexDef* def = IndexDefs().FindForFields(fields, caseInsensitive);
  // An exclusive handle cannot be opened twice: its searches use a filter.
  if (def != nullptr && def->Has(fw::kIxCaseInsensitive) == caseInsensitive && !masterLink_->Active() &&
      !cursor_->Exclusive()) {
    ++Calls().Clones;
    std::unique_ptr<TDataFile> clone = cursor_->Clone();
    try {
      clone->SelectIndex(def->Name);
    } catch (...) {
      clone->Close();
      throw;
    }
    lookupCursor_ = std::move(clone);
  }
  lookupFields_ = fields;
  lookupCaseInsensitive_ = caseInsensitive;
  return lookupCursor_.get();
}

void TTabulaTable::DropLookupCursor() {
  lookupFields_.clear();
  if (!lookupCursor_) return;
  std::unique_ptr<TDataFile> cursor = std::move(lookupCursor_);
  cursor->Close();
}

}  // namespace tabula::db
