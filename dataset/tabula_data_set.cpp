#include "dataset/tabula_data_set.h"

#include <algorithm>
#include <cstring>

#include "dataset/dataset_messages.h"
#include "tabula/data_file.h"
#include "tabula/engine_error.h"
#include "tabula/field_types.h"
#include "tabula/field_values.h"
#include "tabula/filter_request.h"
#include "framework/data/data_errors.h"
#include "framework/data/standard_fields.h"

namespace tabula::db {

using fw::TBookmarkFlag;
using fw::TDataSetState;
using fw::TFieldType;

namespace {

// Field definition type for an engine field; false for types that get no
// definition.
bool MapEngineType(const TFieldDesc& d, TFieldType& type, int& size) {
  size = 0;
  switch (d.FieldType) {
    case kFldString: type = TFieldType::kString, size = d.Size; return true;
    case kFldDate: type = TFieldType::kDate; return true;
    case kFldBlob:
      switch (d.SubType) {
        case kSubMemo: type = TFieldType::kMemo; break;
        case kSubFmtMemo: type = TFieldType::kFmtMemo; break;
        case kSubGraphic: type = TFieldType::kGraphic; break;
        case kSubTypedBinary: type = TFieldType::kTypedBinary; break;
        default: type = TFieldType::kBlob; break;
      }
      return true;
    case kFldBoolean: type = TFieldType::kBoolean; return true;
    case kFldInt16: type = TFieldType::kSmallint; return true;
    case kFldInt32: type = d.SubType == kSubAutoInc ? TFieldType::kAutoInc : TFieldType::kInteger; return true;
    case kFldFloat: type = d.SubType == kSubCurrency ? TFieldType::kCurrency : TFieldType::kFloat; return true;
    case kFldBcd: type = TFieldType::kBCD, size = d.Scale; return true;
    case kFldBytes: type = TFieldType::kBytes, size = d.Size; return true;
    case kFldTime: type = TFieldType::kTime; return true;
    case kFldTimestamp: type = TFieldType::kDateTime; return true;
    case kFldUInt16: type = TFieldType::kWord; return true;
    case kFldUInt32: type = TFieldType::kInteger; return true;
    case kFldVarBytes: type = TFieldType::kVarBytes, size = d.Size; return true;
    case 18:
    case 19: type = TFieldType::kLargeint; return true;
    case 20: type = TFieldType::kADT; return true;
    case 21: type = TFieldType::kArray; return true;
    case 22: type = TFieldType::kReference; return true;
    case 23: type = TFieldType::kDataSet; return true;
    default: return false;  // 0, 14, 16, 17, 24 and above
  }
}

TFilterDataType FilterTypeOf(TFieldType type) {
  switch (type) {
    case TFieldType::kString: return TFilterDataType::kString;
    case TFieldType::kSmallint: return TFilterDataType::kSmallint;
    case TFieldType::kInteger: return TFilterDataType::kInteger;
    case TFieldType::kAutoInc: return TFilterDataType::kAutoInc;
    case TFieldType::kWord: return TFilterDataType::kWord;
    case TFieldType::kBoolean: return TFilterDataType::kBoolean;
    case TFieldType::kFloat: return TFilterDataType::kFloat;
    case TFieldType::kCurrency: return TFilterDataType::kCurrency;
    case TFieldType::kBCD: return TFilterDataType::kBcd;
    case TFieldType::kDate: return TFilterDataType::kDate;
    case TFieldType::kTime: return TFilterDataType::kTime;
    case TFieldType::kDateTime: return TFilterDataType::kDateTime;
    default: return TFilterDataType::kOther;
  }
}

// Native bytes of one field travel through this: the engine writes its
// own width, the field object takes its own.
constexpr size_t kFieldScratch = 512;

}  // namespace

TTabulaDataSet::TTabulaDataSet(fw::TComponent* owner) : TDataSet(owner) {}

TTabulaDataSet::~TTabulaDataSet() {
  MarkDestroying();
  try {
    Close();
  } catch (...) {
  }
}

void TTabulaDataSet::RaiseStatus(int status) const {
  RaiseEngineError(uint16_t(status), cursor_ ? cursor_->FileName() : std::string());
}

// ---------------------------------------------------------------- opening and closing

void TTabulaDataSet::OpenCursor() {
  AttachCursor();
  try {
    SetUpCursor();
  } catch (...) {
    try {
      DetachCursor();
    } catch (...) {
    }
    throw;
  }
}

void TTabulaDataSet::CloseCursor() { DetachCursor(); }

std::unique_ptr<TDataFile> TTabulaDataSet::CreateCursor() { return nullptr; }

void TTabulaDataSet::AttachCursor() {
  cursor_ = CreateCursor();
  if (!cursor_) fw::DatabaseError(msg::kTableHandleError);
}

void TTabulaDataSet::DetachCursor() {
  TearDownCursor();
  DestroyCursor();
}

void TTabulaDataSet::DestroyCursor() {
  if (!cursor_) return;
  std::unique_ptr<TDataFile> cursor = std::move(cursor_);
  tookReadLock_ = false;
  cursor->Close();
}

void TTabulaDataSet::LoadFieldDefs(TDataFile& cursor) {
  fw::TFieldDefs& defs = FieldDefs();
  defs.Clear();
  for (int fieldNo = 1; fieldNo <= cursor.FieldCount(); ++fieldNo) {
    ++calls_.Other;
    const TFieldDesc d = cursor.GetFieldDesc(TDescSet::kWorking, fieldNo);
    TFieldType type;
    int size;
    if (!MapEngineType(d, type, size)) continue;
    std::string name = d.Name;
    for (int k = 1; defs.IndexOf(name) >= 0; ++k) name = fw::FormatMessage("%s_%d", {d.Name, std::to_string(k)});
    fw::TFieldDef& def = defs.Add(name, type, size, d.Required != 0);
    def.FieldNo = fieldNo;
    if (type == TFieldType::kBCD) def.Precision = 20;
  }
  defs.Updated = true;
}

bool TTabulaDataSet::PhysicalOrder() {
  const uint8_t slot = cursor_->CurrentIndex();
  if (slot >= 32) return true;
  return cursor_->GetIndexDesc(slot).FieldCount == 0;
}

void TTabulaDataSet::ReadIndexDescription() {
  keyFieldCount_ = 0;
  keyLength_ = 0;
  caseInsensitive_ = false;
  keyFieldNumbers_.fill(0);
  ++calls_.Other;
  if (PhysicalOrder()) return;
  const TIndexDescriptor d = cursor_->GetIndexDesc(cursor_->CurrentIndex());
  keyFieldCount_ = std::min<int>(d.FieldCount, int(keyFieldNumbers_.size()));
  for (int i = 0; i < keyFieldCount_; ++i) keyFieldNumbers_[size_t(i)] = d.FieldNumbers[size_t(i)];
  keyLength_ = d.KeyLength;
  caseInsensitive_ = d.CaseInsensitive;
}

bool TTabulaDataSet::IsIndexField(const fw::TField& field) const {
  if (field.FieldNo() <= 0) return false;
  for (int i = 0; i < keyFieldCount_; ++i)
    if (keyFieldNumbers_[size_t(i)] == field.FieldNo()) return true;
  return false;
}

void TTabulaDataSet::SetUpCursor() {
  calls_.Other += 2;
  recordLength_ = uint16_t(cursor_->RecordSize());
  markLength_ = uint16_t(cursor_->KeySize());
  writable_ = !cursor_->ReadOnly() && !cursor_->ReadOnlyByAttribute();
  LoadFieldDefs(*cursor_);
  engineDataSize_.assign(size_t(cursor_->FieldCount()) + 1, 0);
  for (int fieldNo = 1; fieldNo <= cursor_->FieldCount(); ++fieldNo) {
    const TFieldDesc& d = cursor_->Descriptors(TDescSet::kWorking)[size_t(fieldNo) - 1];
    engineDataSize_[size_t(fieldNo)] = d.IsAutoIncrement() ? 4 : d.DataSize;
  }
  ReadIndexDescription();
  if (Fields().Count() == 0) CreateFields();
  BindFields(true);
  const int infoOffset = recordLength_ + CalcFieldsSize();
  if (infoOffset + 8 + markLength_ > 65535) RaiseEngineError(kErrRecordSize, cursor_->FileName());
  infoOffset_ = uint16_t(infoOffset);
  markOffset_ = uint16_t(infoOffset_ + 8);
  bufferLength_ = uint16_t(markOffset_ + markLength_);
  oldValues_.assign(bufferLength_, 0);
  scratch_.assign(bufferLength_, 0);
  BuildFilterFields();
  MoveToStart();
  CursorOpened();
  if (!Filter().empty()) expressionFilter_ = BuildExpressionFilter(Filter(), FilterOptions());
  if (OnFilterRecord()) callbackFilter_ = BuildCallbackFilter();
  if (Filtered()) ActivateFilters();
}

void TTabulaDataSet::RelayoutBuffers(uint16_t markLength) {
  markLength_ = markLength;
  markOffset_ = uint16_t(infoOffset_ + 8);
  bufferLength_ = uint16_t(markOffset_ + markLength_);
  oldValues_.assign(bufferLength_, 0);
  scratch_.assign(bufferLength_, 0);
  ReallocateRing();
}

void TTabulaDataSet::TearDownCursor() {
  for (TFilter** handle : {&expressionFilter_, &callbackFilter_}) {
    if (*handle != nullptr && cursor_) {
      try {
        cursor_->RemoveFilter(*handle);
      } catch (...) {
      }
    }
    *handle = nullptr;
  }
  oldValues_.clear();
  scratch_.clear();
  BindFields(false);
  if (DefaultFields()) DestroyFields();
  keyFieldCount_ = 0;
  keyLength_ = 0;
  writable_ = false;
  caseInsensitive_ = false;
  filterFields_.clear();
  editLock_ = 0;
}

// ---------------------------------------------------------------- fetching and moving

fw::TGetResult TTabulaDataSet::FetchRecord(uint8_t* buffer, fw::TGetMode mode, bool check) {
  ++calls_.RecordReads;
  int status;
  switch (mode) {
    case fw::TGetMode::kCurrent: status = cursor_->ReadCurrent(buffer, false); break;
    case fw::TGetMode::kNext: status = cursor_->ReadNext(buffer); break;
    default: status = cursor_->ReadPrior(buffer); break;
  }
  if (status == kErrBeginningOfFile) return fw::TGetResult::kBOF;
  if (status == kErrEndOfFile) return fw::TGetResult::kEOF;
  if (status != 0) {
    if (check) RaiseStatus(status);
    return fw::TGetResult::kError;
  }
  SetMarkFlag(buffer, TBookmarkFlag::kCurrent);
  calls_.Other += 2;
  SetRecordNumber(buffer, cursor_->CurrentRecNo());
  GetCalcFields(buffer);
  cursor_->GetBookmark(buffer + markOffset_);
  return fw::TGetResult::kOk;
}

void TTabulaDataSet::SetRecordNumber(uint8_t* buffer, int32_t recNo) { StoreI32(buffer + infoOffset_, recNo); }

void TTabulaDataSet::MoveToStart() {
  ++calls_.Positionings;
  cursor_->GotoFirst();
}

void TTabulaDataSet::MoveToEnd() {
  ++calls_.Positionings;
  cursor_->GotoLast();
}

void TTabulaDataSet::MoveToBuffer(const uint8_t* buffer) {
  // A record that has gone leaves the cursor on the one after it (or on
  // none); the fetch that follows answers accordingly.
  ++calls_.Positionings;
  cursor_->GotoBookmark(buffer + markOffset_);
}

void TTabulaDataSet::MoveToMark(const fw::TBookmark& mark) {
  if (mark.size() != markLength_) fw::DatabaseError(fw::msg::kBookmarkNotFound);
  ++calls_.Positionings;
  const int status = cursor_->GotoBookmark(mark.data());
  if (status != 0) RaiseStatus(status);
}

void TTabulaDataSet::GetMark(const uint8_t* buffer, fw::TBookmark& mark) const {
  mark.assign(buffer + markOffset_, buffer + markOffset_ + markLength_);
}

void TTabulaDataSet::SetMark(uint8_t* buffer, const fw::TBookmark& mark) {
  std::memcpy(buffer + markOffset_, mark.data(), std::min<size_t>(mark.size(), markLength_));
}

TBookmarkFlag TTabulaDataSet::GetMarkFlag(const uint8_t* buffer) const {
  return TBookmarkFlag(buffer[infoOffset_ + 4]);
}

void TTabulaDataSet::SetMarkFlag(uint8_t* buffer, TBookmarkFlag flag) { buffer[infoOffset_ + 4] = uint8_t(flag); }

int TTabulaDataSet::CompareMarks(const fw::TBookmark& a, const fw::TBookmark& b) {
  if (a.empty() && b.empty()) return 0;
  if (b.empty()) return -1;
  if (a.empty()) return 1;
  if (a.size() != markLength_ || b.size() != markLength_) fw::DatabaseError(fw::msg::kBookmarkNotFound);
  ++calls_.Other;
  const int result = cursor_->CompareBookmarks(a.data(), b.data());
  return result == 2 ? 0 : result;
}

bool TTabulaDataSet::IsMarkValid(const fw::TBookmark& mark) {
  if (!cursor_ || mark.size() != markLength_) return false;
  ++calls_.Positionings;
  if (cursor_->GotoBookmark(mark.data()) != 0) return false;
  std::vector<uint8_t> record(recordLength_);
  ++calls_.RecordReads;
  if (cursor_->ReadCurrent(record.data(), false) != 0) return false;
  // A deleted record's bookmark lands on the record after it: not valid.
  fw::TBookmark landed(markLength_);
  calls_.Other += 2;
  cursor_->GetBookmark(landed.data());
  const int compared = cursor_->CompareBookmarks(landed.data(), mark.data());
  return compared == 0 || compared == 2;
}

// ---------------------------------------------------------------- record numbers

int TTabulaDataSet::ReadRecordNumber() const {
  CheckActive();
  auto* self = const_cast<TTabulaDataSet*>(this);
  const uint8_t* buffer = State() == TDataSetState::kCalcFields ? CalcBuffer() : self->ActiveBuffer();
  return buffer == nullptr ? 0 : LoadI32(buffer + infoOffset_);
}

void TTabulaDataSet::MoveToRecordNumber(int recNo) {
  if (recNo == ReadRecordNumber()) return;
  DoBeforeScroll();
  const int count = CountTableRecords();
  if (HasRecordNumbers() && !PhysicalOrder() && count > 0) {
    // Place the cursor where the window starts, so that one positioning and
    // one read per row fill the ring with the record in the middle.
    recNo = std::clamp(recNo, 1, count);
    const int rows = BufferCount();
    const int start = std::max(1, std::min(recNo - (rows - 1) / 2, count - rows + 1));
    ++calls_.Positionings;
    const int status = cursor_->GotoRecNo(start);
    if (status != 0) RaiseStatus(status);
    FillRingFromCursor(recNo - start);
  } else {
    ++calls_.Positionings;
    const int status = cursor_->GotoRecNo(recNo);
    CursorPosChanged();
    if (status == 0)
      Resync(fw::kResyncExact | fw::kResyncCenter);
    else if (status != kErrBeginningOfFile && status != kErrEndOfFile)
      RaiseStatus(status);
  }
  DoAfterScroll();
}

int TTabulaDataSet::CountTableRecords() const {
  CheckActive();
  ++calls_.Other;
  return cursor_->RecordCount();
}

// ---------------------------------------------------------------- editing

void TTabulaDataSet::ClearRecordBuffer(uint8_t* buffer) { cursor_->InitRecord(buffer); }

void TTabulaDataSet::StartNewRecord(uint8_t* buffer) {
  TDataSet::StartNewRecord(buffer);
  SetRecordNumber(buffer, -1);
  for (fw::TField* field : Fields().Items())
    if (auto* blob = dynamic_cast<fw::TBlobField*>(field)) blob->Modified = false;
}

void TTabulaDataSet::ClearCalculatedArea(uint8_t* buffer) {
  std::memset(buffer + recordLength_, 0, size_t(CalcFieldsSize()));
}

void TTabulaDataSet::BeginRecordEdit() {
  for (fw::TField* field : Fields().Items())
    if (auto* blob = dynamic_cast<fw::TBlobField*>(field)) blob->Modified = false;
  const std::vector<int32_t> before = cursor_->LockedRecords();
  ++calls_.RecordReads;
  const int status = cursor_->ReadCurrent(ActiveBuffer(), true);
  if (status != 0) RaiseStatus(status);
  editLock_ = 0;
  for (int32_t recNo : cursor_->LockedRecords())
    if (std::find(before.begin(), before.end(), recNo) == before.end()) editLock_ = recNo;
}

void TTabulaDataSet::StoreRecord() {
  uint8_t* buffer = ActiveBuffer();
  try {
    if (State() == TDataSetState::kEdit) {
      cursor_->ModifyRecord(buffer, true, true);
      editLock_ = 0;
    } else {
      cursor_->AppendRecord(buffer);
    }
  } catch (...) {
    // A blob still open in the buffer stays written; one the engine closed
    // while failing must be opened afresh by the next stream.
    for (fw::TField* field : Fields().Items()) {
      auto* blob = dynamic_cast<fw::TBlobField*>(field);
      bool open = false;
      if (blob != nullptr && blob->Modified && cursor_->IsBlobOpen(blob->FieldNo(), buffer, open) == 0)
        blob->Modified = open;
    }
    throw;
  }
  // The engine stored the written blobs with the record.
  for (fw::TField* field : Fields().Items())
    if (auto* blob = dynamic_cast<fw::TBlobField*>(field)) blob->Modified = false;
}

void TTabulaDataSet::RemoveRecord() { cursor_->DeleteRecord(true); }

void TTabulaDataSet::AbandonEdit() {
  if (uint8_t* buffer = ActiveBuffer()) ReleaseEditedBlobs(buffer);
  if (State() != TDataSetState::kEdit || editLock_ == 0) return;
  const int32_t recNo = editLock_;
  editLock_ = 0;
  cursor_->UnlockRecord(recNo);
}

void TTabulaDataSet::ReleaseEditedBlobs(uint8_t* buffer) {
  for (fw::TField* field : Fields().Items()) {
    auto* blob = dynamic_cast<fw::TBlobField*>(field);
    if (blob == nullptr || !blob->Modified) continue;
    blob->Modified = false;
    bool open = false;
    if (cursor_->IsBlobOpen(blob->FieldNo(), buffer, open) == 0 && open) cursor_->FreeBlob(blob->FieldNo(), buffer);
  }
}

void TTabulaDataSet::RefreshCursor() { cursor_->Refresh(); }

// ---------------------------------------------------------------- field access

uint8_t* TTabulaDataSet::CurrentFieldBuffer() {
  switch (State()) {
    case TDataSetState::kBrowse: return IsEmpty() ? nullptr : ActiveBuffer();
    case TDataSetState::kEdit:
    case TDataSetState::kInsert:
    case TDataSetState::kNewValue: return ActiveBuffer();
    case TDataSetState::kSetKey: return KeyRecordBuffer();
    case TDataSetState::kCalcFields: return CalcBuffer();
    case TDataSetState::kFilter: return const_cast<uint8_t*>(filterBuffer_);
    case TDataSetState::kOldValue: {
      if (!cursor_) return nullptr;
      UpdateCursorPos();
      ++calls_.RecordReads;
      const int status = cursor_->ReadCurrent(oldValues_.data(), false);
      if (status != 0) RaiseStatus(status);
      return oldValues_.data();
    }
    default: return nullptr;
  }
}

bool TTabulaDataSet::ReadFieldData(const fw::TField& field, void* dest) {
  const uint8_t* buffer = CurrentFieldBuffer();
  if (buffer == nullptr) return false;
  if (field.FieldNo() > 0) {
    uint8_t scratch[kFieldScratch] = {};
    const bool isNull = cursor_->GetField(TDescSet::kWorking, field.FieldNo(), buffer, dest ? scratch : nullptr);
    if (!isNull && dest != nullptr) {
      const size_t engineSize = size_t(engineDataSize_.at(size_t(field.FieldNo())));
      const size_t size = size_t(field.DataSize());
      std::memset(dest, 0, size);
      std::memcpy(dest, scratch, std::min(size, engineSize));
    }
    return !isNull;
  }
  switch (State()) {
    case TDataSetState::kBrowse:
    case TDataSetState::kEdit:
    case TDataSetState::kInsert:
    case TDataSetState::kCalcFields: break;
    default: return false;
  }
  const uint8_t* slot = buffer + recordLength_ + field.Offset();
  if (slot[0] == 0) return false;
  if (dest != nullptr) std::memcpy(dest, slot + 1, size_t(field.DataSize()));
  return true;
}

void TTabulaDataSet::WriteFieldData(fw::TField& field, const void* source) {
  const TDataSetState state = State();
  switch (state) {
    case TDataSetState::kEdit:
    case TDataSetState::kInsert:
    case TDataSetState::kSetKey:
    case TDataSetState::kCalcFields:
    case TDataSetState::kFilter:
    case TDataSetState::kNewValue:
    case TDataSetState::kInternalCalc: break;
    default: fw::DatabaseError(fw::msg::kNotEditing);
  }
  if (state == TDataSetState::kSetKey && (field.FieldNo() < 1 || (keyFieldCount_ > 0 && !IsIndexField(field))))
    fw::DatabaseErrorFmt(msg::kNotIndexField, {field.DisplayName()});
  uint8_t* buffer = CurrentFieldBuffer();
  if (field.FieldNo() < 1) {
    if (buffer != nullptr) {
      uint8_t* slot = buffer + recordLength_ + field.Offset();
      slot[0] = source != nullptr ? 1 : 0;
      if (source != nullptr) std::memcpy(slot + 1, source, size_t(field.DataSize()));
    }
  } else {
    if (state == TDataSetState::kCalcFields) fw::DatabaseError(fw::msg::kNotEditing);
    if (field.ReadOnly && state != TDataSetState::kSetKey && state != TDataSetState::kFilter)
      fw::DatabaseErrorFmt(fw::msg::kFieldReadOnly, {field.DisplayName()});
    field.Validate(source);
    if (field.FieldKind() != fw::TFieldKind::kInternalCalc && buffer != nullptr) {
      if (source == nullptr) {
        cursor_->SetField(TDescSet::kWorking, field.FieldNo(), nullptr, false, buffer);
      } else {
        uint8_t scratch[kFieldScratch] = {};
        std::memcpy(scratch, source, std::min(size_t(field.DataSize()), kFieldScratch));
        cursor_->SetField(TDescSet::kWorking, field.FieldNo(), scratch, false, buffer);
      }
    }
  }
  if (state != TDataSetState::kCalcFields && state != TDataSetState::kFilter && state != TDataSetState::kNewValue)
    DataEvent(fw::TDataEvent::kFieldChange, &field);
}

int64_t TTabulaDataSet::BcdToCurrency(const void* bcd) { return tabula::BcdToCurrency(LoadI64(bcd)); }

void TTabulaDataSet::CurrencyToBcd(int64_t units, void* bcd, int scale) {
  StoreI64(bcd, tabula::CurrencyToBcd(scale, units));
}

// ---------------------------------------------------------------- filters

void TTabulaDataSet::BuildFilterFields() {
  filterFields_.clear();
  filterFields_.reserve(size_t(Fields().Count()));
  for (fw::TField* field : Fields().Items()) {
    TFilterField f;
    f.Name = field->FieldName();
    f.FieldNo = field->FieldNo();
    f.Kind = field->FieldKind() == fw::TFieldKind::kData          ? TFilterFieldKind::kData
             : field->FieldKind() == fw::TFieldKind::kInternalCalc ? TFilterFieldKind::kInternalCalc
                                                                   : TFilterFieldKind::kOther;
    f.DataType = FilterTypeOf(field->DataType());
    f.Decimals = field->DataType() == TFieldType::kBCD ? field->Size() : 0;
    filterFields_.push_back(f);
  }
}

const TFilterField* TTabulaDataSet::FindFilterField(const std::string& name) const {
  for (const TFilterField& f : filterFields_)
    if (fw::SameName(f.Name, name)) return &f;
  return nullptr;
}

uint16_t TTabulaDataSet::LanguageId() const { return cursor_ ? cursor_->LanguageId() : 0; }

uint16_t TTabulaDataSet::SortId() const { return cursor_ ? cursor_->SortId() : 0; }

TFilter* TTabulaDataSet::BuildExpressionFilter(const std::string& text, uint32_t options) {
  TExprParser parser(text, *this, options);
  TFilterSpec request;
  request.UserData = this;
  request.Buffer = parser.FilterData().data();
  request.BufferSize = parser.DataSize();
  return cursor_->AddFilter(std::move(request));
}

TFilter* TTabulaDataSet::BuildCallbackFilter() {
  TFilterSpec request;
  request.UserData = this;
  request.Callback = [this](void*, const uint8_t* record, int32_t) { return AcceptRecord(record); };
  return cursor_->AddFilter(std::move(request));
}

bool TTabulaDataSet::AcceptRecord(const uint8_t* record) {
  const fw::TFilterRecordEvent& handler = OnFilterRecord();
  if (!handler) return true;
  fw::TTempState testing(*this, TDataSetState::kFilter, const_cast<uint8_t*>(record));
  bool accept = true;
  try {
    handler(*this, accept);
  } catch (const std::exception& error) {
    fw::ApplicationHandleException(error);
  }
  return accept;
}

void TTabulaDataSet::ActivateFilters() {
  auto activate = [this](TFilter*& handle, bool expression) {
    if (handle == nullptr) return;
    try {
      cursor_->ActivateFilter(handle);
    } catch (...) {
      // Built afresh once; a second failure is the caller's.
      cursor_->RemoveFilter(handle);
      handle = nullptr;
      handle = expression ? BuildExpressionFilter(Filter(), FilterOptions()) : BuildCallbackFilter();
      cursor_->ActivateFilter(handle);
    }
  };
  activate(expressionFilter_, true);
  activate(callbackFilter_, false);
  CursorPosChanged();
}

void TTabulaDataSet::DeactivateFilters() {
  if (expressionFilter_ != nullptr) cursor_->DeactivateFilter(expressionFilter_);
  if (callbackFilter_ != nullptr) cursor_->DeactivateFilter(callbackFilter_);
  CursorPosChanged();
}

void TTabulaDataSet::ReplaceFilter(TFilter*& handle, TFilter* fresh) {
  if (Filtered()) {
    CursorPosChanged();
    DropLookupCursor();
    if (handle != nullptr) cursor_->RemoveFilter(handle);
    handle = fresh;
    if (fresh != nullptr) cursor_->ActivateFilter(fresh);
  } else {
    if (handle != nullptr) cursor_->RemoveFilter(handle);
    handle = fresh;
  }
}

void TTabulaDataSet::SetFilter(const std::string& text) {
  if (Active()) {
    CheckBrowseMode();
    if (text != Filter()) ReplaceFilter(expressionFilter_, text.empty() ? nullptr : BuildExpressionFilter(text, FilterOptions()));
  }
  TDataSet::SetFilter(text);
  if (Active() && Filtered()) First();
}

void TTabulaDataSet::SetFilterOptions(uint32_t options) {
  if (Active()) {
    CheckBrowseMode();
    if (options != FilterOptions())
      ReplaceFilter(expressionFilter_, Filter().empty() ? nullptr : BuildExpressionFilter(Filter(), options));
  }
  TDataSet::SetFilterOptions(options);
  if (Active() && Filtered()) First();
}

void TTabulaDataSet::SetFiltered(bool value) {
  if (!Active()) {
    TDataSet::SetFiltered(value);
    return;
  }
  CheckBrowseMode();
  if (value != Filtered()) {
    DropLookupCursor();
    if (value)
      ActivateFilters();
    else
      DeactivateFilters();
    TDataSet::SetFiltered(value);
  }
  First();
}

void TTabulaDataSet::SetOnFilterRecord(fw::TFilterRecordEvent handler) {
  if (!Active()) {
    TDataSet::SetOnFilterRecord(std::move(handler));
    return;
  }
  CheckBrowseMode();
  const bool assigned = static_cast<bool>(handler);
  TDataSet::SetOnFilterRecord(std::move(handler));
  ReplaceFilter(callbackFilter_, assigned ? BuildCallbackFilter() : nullptr);
  if (Filtered()) First();
}

bool TTabulaDataSet::FindFilteredRecord(bool restart, bool forward) {
  CheckBrowseMode();
  DoBeforeScroll();
  fw::TCursorOperation operation(*this);
  UpdateCursorPos();
  CursorPosChanged();
  const bool temporary = !Filtered();
  if (temporary) ActivateFilters();
  bool found = false;
  try {
    std::vector<uint8_t> record(recordLength_);
    ++calls_.RecordReads;
    if (forward) {
      if (restart) MoveToStart();
      found = cursor_->ReadNext(record.data()) == 0;
    } else {
      if (restart) MoveToEnd();
      found = cursor_->ReadPrior(record.data()) == 0;
    }
  } catch (...) {
    if (temporary) DeactivateFilters();
    throw;
  }
  if (temporary) DeactivateFilters();
  if (found) {
    Resync(fw::kResyncExact | fw::kResyncCenter);
    DoAfterScroll();
  }
  return found;
}

// ---------------------------------------------------------------- change detection

bool TTabulaDataSet::BeginCursorOperation() {
  ++calls_.LockChecks;
  const bool held = cursor_->ReadLockHeld();
  const bool changed = cursor_->TakeReadLock();
  tookReadLock_ = !held && cursor_->ReadLockHeld();
  return changed;
}

void TTabulaDataSet::EndCursorOperation() {
  if (!tookReadLock_) return;
  tookReadLock_ = false;
  cursor_->ReleaseReadLock();
}

}  // namespace tabula::db
