#include "framework/data/data_set.h"

#include <algorithm>
#include <cstring>

#include "framework/data/data_errors.h"
#include "framework/data/data_link.h"
#include "framework/data/data_source.h"
#include "framework/data/standard_fields.h"

namespace fw {

namespace {

std::vector<std::string> SplitNames(const std::string& names) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= names.size()) {
    const size_t end = names.find(';', start);
    std::string part = names.substr(start, end == std::string::npos ? std::string::npos : end - start);
    while (!part.empty() && part.front() == ' ') part.erase(part.begin());
    while (!part.empty() && part.back() == ' ') part.pop_back();
    if (!part.empty()) out.push_back(part);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return out;
}

bool IsEditState(TDataSetState s) { return s == TDataSetState::kEdit || s == TDataSetState::kInsert; }

}  // namespace

// ---------------------------------------------------------------- cursor operations

TCursorOperation::TCursorOperation(TDataSet& dataSet) : dataSet_(dataSet), outer_(dataSet.cursorDepth_++ == 0) {
  if (!outer_ || !dataSet_.IsCursorOpen()) return;
  try {
    changed_ = dataSet_.BeginCursorOperation();
  } catch (...) {
    --dataSet_.cursorDepth_;
    throw;
  }
  if (changed_) dataSet_.cursorChanged_ = true;
}

TCursorOperation::~TCursorOperation() {
  if (--dataSet_.cursorDepth_ != 0 || !outer_) return;
  try {
    if (dataSet_.IsCursorOpen()) dataSet_.EndCursorOperation();
  } catch (...) {
    // Releasing a read lock does not fail in practice; nothing to undo here.
  }
}

// ---------------------------------------------------------------- life cycle

TDataSet::TDataSet(TComponent* owner) : TComponent(owner) {}

TDataSet::~TDataSet() {
  MarkDestroying();
  // A derived dataset closes itself in its own destructor (its cursor is
  // gone by now); what is left is the plumbing.
  while (!dataSources_.empty()) dataSources_.back()->SetDataSet(nullptr);
  while (fields_.Count() > 0) {
    TField* field = fields_.Items().back();
    fields_.Remove(field);
    field->dataSet_ = nullptr;
    if (field->Owner() == this) delete field;
  }
}

void TDataSet::CheckActive() const {
  if (!Active()) DatabaseError(msg::kDataSetClosed);
}

void TDataSet::CheckInactive() const {
  if (Active()) DatabaseError(msg::kDataSetOpen);
}

void TDataSet::Loaded() {
  if (streamedActive_) SetActive(true);
}

void TDataSet::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
}

void TDataSet::SetActive(bool value) {
  if (Loading()) {
    streamedActive_ = value;
    return;
  }
  if (value == Active()) return;
  if (value) {
    OpenDataSet();
  } else {
    if (!Destroying() && BeforeClose) BeforeClose(*this);
    CloseDataSet();
    if (!Destroying() && AfterClose) AfterClose(*this);
  }
}

void TDataSet::OpenDataSet() {
  if (BeforeOpen) BeforeOpen(*this);
  try {
    OpenCursor();
    TCursorOperation operation(*this);
    bufferCount_ = 1;
    for (TDataSource* source : dataSources_)
      for (TDataLink* link : source->Links()) bufferCount_ = std::max(bufferCount_, link->BufferCount());
    buffers_.assign(size_t(bufferCount_) + 1, std::vector<uint8_t>(size_t(RecordBufferSize()), 0));
    ClearBuffers();
    GetNextRecords();
    bof_ = true;
    eof_ = recordCount_ == 0;
    cursorChanged_ = false;
  } catch (...) {
    buffers_.clear();
    ClearBuffers();
    try {
      CloseCursor();
    } catch (...) {
    }
    if (!defaultFieldList_.empty()) DestroyFields();
    throw;
  }
  SetState(TDataSetState::kBrowse);
  if (AfterOpen) AfterOpen(*this);
}

void TDataSet::CloseDataSet() {
  SetState(TDataSetState::kInactive);
  modified_ = false;
  ClearBuffers();
  std::exception_ptr error;
  try {
    CloseCursor();
  } catch (...) {
    error = std::current_exception();
  }
  buffers_.clear();
  calcBuffer_ = nullptr;
  filterBuffer_ = nullptr;
  if (!defaultFieldList_.empty()) DestroyFields();
  if (error) std::rethrow_exception(error);
}

// ---------------------------------------------------------------- fields

void TDataSet::CreateFields() {
  for (int i = 0; i < fieldDefs_.Count(); ++i) {
    const TFieldDef& def = fieldDefs_[i];
    if (def.InternalCalcField) continue;
    TField* field = CreateFieldForType(this, def.DataType, def.Size, def.Name);
    field->SetFieldName(def.Name);
    field->Required = def.Required;
    if (auto* bcd = dynamic_cast<TBCDField*>(field)) bcd->Precision = def.Precision;
    field->dataSet_ = this;
    fields_.Add(field);
    defaultFieldList_.push_back(field);
  }
  defaultFields_ = true;
}

void TDataSet::DestroyFields() {
  for (TField* field : defaultFieldList_) {
    fields_.Remove(field);
    field->dataSet_ = nullptr;
    delete field;
  }
  defaultFieldList_.clear();
  defaultFields_ = false;
}

void TDataSet::BindFields(bool binding) {
  calcFieldsSize_ = 0;
  for (TField* field : fields_.Items()) {
    if (!binding) {
      field->Bind(0, 0);
      continue;
    }
    if (field->Calculated()) {
      if (field->Lookup() && (field->KeyFields.empty() || field->LookupDataSet() == nullptr ||
                              field->LookupKeyFields.empty() || field->LookupResultField.empty()))
        DatabaseErrorFmt(msg::kLookupInfoError, {field->DisplayName()});
      field->Bind(-1, calcFieldsSize_);
      calcFieldsSize_ += field->DataSize() + 1;
      continue;
    }
    const TFieldDef* def = fieldDefs_.Find(field->FieldName());
    if (def == nullptr) DatabaseErrorFmt(msg::kFieldNotFound, {field->DisplayName()});
    if (def->DataType != field->DataType())
      DatabaseErrorFmt(msg::kFieldTypeMismatch,
                       {field->DisplayName(), FieldTypeName(field->DataType()), FieldTypeName(def->DataType)});
    field->Bind(def->FieldNo, 0);
  }
}

void TDataSet::GetCalcFields(uint8_t* buffer) {
  if (calcFieldsSize_ <= 0 && !OnCalcFields) return;
  const TDataSetState saved = SetTempState(TDataSetState::kCalcFields);
  uint8_t* savedBuffer = calcBuffer_;
  calcBuffer_ = buffer;
  try {
    ClearCalculatedArea(buffer);
    CalculateLookupFields();
    if (OnCalcFields) OnCalcFields(*this);
  } catch (...) {
    calcBuffer_ = savedBuffer;
    RestoreState(saved);
    throw;
  }
  calcBuffer_ = savedBuffer;
  RestoreState(saved);
}

void TDataSet::CalculateLookupFields() {
  for (TField* field : fields_.Items()) {
    if (!field->Lookup()) continue;
    TDataSet* lookup = field->LookupDataSet();
    if (lookup == nullptr || !lookup->Active()) continue;  // the field stays null
    std::vector<TVariant> keys;
    for (const std::string& name : SplitNames(field->KeyFields)) keys.push_back(FieldByName(name).Value());
    field->SetValue(lookup->FetchLookupValue(field->LookupKeyFields, keys, field->LookupResultField));
  }
}

TVariant TDataSet::FetchLookupValue(const std::string&, const std::vector<TVariant>&, const std::string&) { return {}; }

int64_t TDataSet::BcdToCurrency(const void* bcd) {
  int64_t units = 0;
  const auto* p = static_cast<const uint8_t*>(bcd);
  for (int i = 7; i >= 0; --i) units = int64_t(uint64_t(units) << 8 | p[i]);
  return units;
}

void TDataSet::CurrencyToBcd(int64_t units, void* bcd, int /*scale*/) {
  auto* p = static_cast<uint8_t*>(bcd);
  for (int i = 0; i < 8; ++i) p[i] = uint8_t(uint64_t(units) >> (8 * i));
}

std::unique_ptr<TStream> TDataSet::CreateBlobStream(TField&, TBlobStreamMode) { return nullptr; }

uint8_t* TDataSet::ActiveBuffer() { return recordCount_ > 0 ? Buffer(activeRecord_) : nullptr; }

// ---------------------------------------------------------------- states and events

TDataSetState TDataSet::SetTempState(TDataSetState state) {
  const TDataSetState old = state_;
  state_ = state;
  return old;
}

void TDataSet::RestoreState(TDataSetState state) { state_ = state; }

void TDataSet::SetState(TDataSetState state) {
  if (state_ == state) return;
  state_ = state;
  modified_ = false;
  DataEvent(TDataEvent::kUpdateState);
}

void TDataSet::DataEvent(TDataEvent event, TField* field, int distance) {
  if (event == TDataEvent::kFieldChange && field != nullptr) {
    if (field->FieldKind() == TFieldKind::kData || field->FieldKind() == TFieldKind::kInternalCalc) modified_ = true;
    if (IsEditState(state_) && AutoCalcFields && calcFieldsSize_ > 0) GetCalcFields(ActiveBuffer());
    field->Change();
  }
  if (disableCount_ > 0) {
    switch (event) {
      case TDataEvent::kUpdateRecord:
      case TDataEvent::kCheckBrowseMode: break;
      case TDataEvent::kUpdateState: pendingState_ = true; return;
      case TDataEvent::kLayoutChange: pendingLayout_ = true; return;
      default: pendingChange_ = true; return;
    }
  }
  NotifyDataSources(event, field, distance);
}

void TDataSet::NotifyDataSources(TDataEvent event, TField* field, int distance) {
  const std::vector<TDataSource*> sources = dataSources_;
  for (TDataSource* source : sources) source->DataEvent(event, field, distance);
}

void TDataSet::DisableControls() { ++disableCount_; }

void TDataSet::EnableControls() {
  if (disableCount_ == 0 || --disableCount_ > 0) return;
  const bool state = pendingState_;
  const bool layout = pendingLayout_;
  const bool change = pendingChange_;
  pendingState_ = pendingLayout_ = pendingChange_ = false;
  if (state) NotifyDataSources(TDataEvent::kUpdateState, nullptr, 0);
  if (layout)
    NotifyDataSources(TDataEvent::kLayoutChange, nullptr, 0);
  else if (change)
    NotifyDataSources(TDataEvent::kDataSetChange, nullptr, 0);
}

void TDataSet::AddDataSource(TDataSource* source) {
  dataSources_.push_back(source);
  UpdateBufferCount();
}

void TDataSet::RemoveDataSource(TDataSource* source) {
  dataSources_.erase(std::remove(dataSources_.begin(), dataSources_.end(), source), dataSources_.end());
  UpdateBufferCount();
}

void TDataSet::DoBeforeScroll() {
  if (BeforeScroll) BeforeScroll(*this);
}

void TDataSet::DoAfterScroll() {
  if (AfterScroll) AfterScroll(*this);
}

// ---------------------------------------------------------------- the ring

void TDataSet::UpdateBufferCount() {
  if (Destroying()) return;
  int count = 1;
  for (TDataSource* source : dataSources_)
    for (TDataLink* link : source->Links()) count = std::max(count, link->BufferCount());
  if (!Active()) {
    bufferCount_ = count;
    return;
  }
  SetBufferCount(count);
}

void TDataSet::SetBufferCount(int count) {
  if (count == bufferCount_ || buffers_.empty()) return;
  const int oldRecordCount = recordCount_;
  bool moved = false;
  insertedIntoFullRing_ = false;  // the spare buffer moves
  if (count > bufferCount_) {
    buffers_.resize(size_t(count) + 1);
    for (auto& buffer : buffers_)
      if (buffer.empty()) buffer.assign(size_t(RecordBufferSize()), 0);
    bufferCount_ = count;
    if (state_ == TDataSetState::kBrowse) {
      TCursorOperation operation(*this);
      GetNextRecords();
      const int before = recordCount_;
      GetPriorRecords();
      moved = recordCount_ != before;
    }
  } else {
    // Keep the rows that include the active one, dropping from the end first.
    const int first = std::max(0, activeRecord_ - (count - 1));
    if (first > 0) {
      std::rotate(buffers_.begin(), buffers_.begin() + first, buffers_.end());
      moved = true;
    }
    if (first > 0) bof_ = false;
    if (recordCount_ - first > count) eof_ = false;  // rows after the window were dropped
    recordCount_ = std::min(recordCount_ - first, count);
    activeRecord_ -= first;
    if (currentRecord_ >= 0) {
      currentRecord_ -= first;
      if (currentRecord_ < 0 || currentRecord_ >= recordCount_) currentRecord_ = -1;
    }
    buffers_.resize(size_t(count) + 1);
    bufferCount_ = count;
  }
  if (moved || recordCount_ != oldRecordCount) DataEvent(TDataEvent::kDataSetChange);
}

void TDataSet::SetActiveRecord(int index) {
  if (index >= 0 && index < std::max(recordCount_, 1)) activeRecord_ = index;
}

void TDataSet::ClearBuffers() {
  ringStale_ = false;
  recordCount_ = 0;
  activeRecord_ = 0;
  currentRecord_ = -1;
  bof_ = true;
  eof_ = true;
}

void TDataSet::SetCurrentRecord(int index) {
  if (currentRecord_ == index) return;
  const uint8_t* buffer = Buffer(index);
  switch (GetMarkFlag(buffer)) {
    case TBookmarkFlag::kCurrent:
    case TBookmarkFlag::kInserted: MoveToBuffer(buffer); break;
    case TBookmarkFlag::kBOF: MoveToStart(); break;
    case TBookmarkFlag::kEOF: MoveToEnd(); break;
  }
  currentRecord_ = index;
}

void TDataSet::UpdateCursorPos() {
  if (recordCount_ > 0) SetCurrentRecord(activeRecord_);
}

bool TDataSet::GetNextRecord() {
  if (recordCount_ > 0) SetCurrentRecord(recordCount_ - 1);
  const int slot = std::min(recordCount_, bufferCount_);
  if (FetchRecord(Buffer(slot), TGetMode::kNext, true) != TGetResult::kOk) {
    // The cursor may stand past the end now; the next move places it anew.
    currentRecord_ = -1;
    return false;
  }
  if (recordCount_ < bufferCount_) {
    ++recordCount_;
  } else {
    // The spare holds the new last record; the first buffer becomes the spare.
    std::rotate(buffers_.begin(), buffers_.begin() + 1, buffers_.begin() + bufferCount_ + 1);
    if (activeRecord_ > 0) --activeRecord_;
  }
  currentRecord_ = recordCount_ - 1;
  return true;
}

bool TDataSet::GetPriorRecord() {
  if (recordCount_ > 0) SetCurrentRecord(0);
  const int slot = std::min(recordCount_, bufferCount_);
  if (FetchRecord(Buffer(slot), TGetMode::kPrior, true) != TGetResult::kOk) {
    currentRecord_ = -1;
    return false;
  }
  std::rotate(buffers_.begin(), buffers_.begin() + slot, buffers_.begin() + slot + 1);
  if (recordCount_ < bufferCount_) ++recordCount_;
  if (activeRecord_ < recordCount_ - 1) ++activeRecord_;
  currentRecord_ = 0;
  return true;
}

int TDataSet::GetNextRecords() {
  int fetched = 0;
  while (recordCount_ < bufferCount_ && GetNextRecord()) ++fetched;
  return fetched;
}

int TDataSet::GetPriorRecords() {
  int fetched = 0;
  while (recordCount_ < bufferCount_ && GetPriorRecord()) ++fetched;
  return fetched;
}

void TDataSet::ResyncIfChanged() {
  if (!cursorChanged_) return;
  cursorChanged_ = false;
  if (state_ != TDataSetState::kBrowse || recordCount_ == 0) return;
  CursorPosChanged();
  UpdateCursorPos();
  Resync(0);
}

void TDataSet::Resync(uint32_t mode) {
  const int spare = bufferCount_;
  if ((mode & kResyncExact) != 0) {
    CursorPosChanged();
    if (FetchRecord(Buffer(spare), TGetMode::kCurrent, true) != TGetResult::kOk) DatabaseError(msg::kRecordNotFound);
  } else if (FetchRecord(Buffer(spare), TGetMode::kCurrent, false) != TGetResult::kOk &&
             FetchRecord(Buffer(spare), TGetMode::kNext, false) != TGetResult::kOk &&
             FetchRecord(Buffer(spare), TGetMode::kPrior, false) != TGetResult::kOk) {
    ClearBuffers();
    DataEvent(TDataEvent::kDataSetChange);
    return;
  }
  int before = (mode & kResyncCenter) != 0 ? (bufferCount_ - 1) / 2 : std::min(activeRecord_, bufferCount_ - 1);
  std::swap(buffers_[0], buffers_[size_t(spare)]);
  ringStale_ = false;
  recordCount_ = 1;
  activeRecord_ = 0;
  currentRecord_ = 0;
  bof_ = false;
  eof_ = false;
  while (before > 0 && GetPriorRecord()) --before;
  GetNextRecords();
  GetPriorRecords();
  DataEvent(TDataEvent::kDataSetChange);
}

void TDataSet::FillRingFromCursor(int activeOffset) {
  ClearBuffers();
  if (FetchRecord(Buffer(0), TGetMode::kCurrent, true) == TGetResult::kOk) {
    recordCount_ = 1;
    currentRecord_ = 0;
    GetNextRecords();
    activeRecord_ = std::clamp(activeOffset, 0, recordCount_ - 1);
    GetPriorRecords();
    bof_ = false;
    eof_ = false;
  }
  DataEvent(TDataEvent::kDataSetChange);
}

void TDataSet::ReallocateRing() {
  buffers_.assign(size_t(bufferCount_) + 1, std::vector<uint8_t>(size_t(RecordBufferSize()), 0));
  ClearBuffers();
}

// ---------------------------------------------------------------- navigation

void TDataSet::First() { MoveToEdge(false); }

void TDataSet::Last() { MoveToEdge(true); }

void TDataSet::MoveToEdge(bool last) {
  CheckBrowseMode();
  TCursorOperation operation(*this);
  DoBeforeScroll();
  if ((last ? eof_ : bof_) && recordCount_ > 0 && !cursorChanged_ && !ringStale_) {
    // The ring starts (ends) at the first (last) record already and
    // nothing changed since.
    activeRecord_ = last ? recordCount_ - 1 : 0;
    DataEvent(TDataEvent::kDataSetScroll, nullptr, 0);
    DoAfterScroll();
    return;
  }
  cursorChanged_ = false;
  ClearBuffers();
  try {
    if (last) {
      MoveToEnd();
      GetPriorRecords();
    } else {
      MoveToStart();
      GetNextRecords();
    }
  } catch (...) {
    DataEvent(TDataEvent::kDataSetChange);
    throw;
  }
  activeRecord_ = last ? std::max(0, recordCount_ - 1) : 0;
  bof_ = !last || recordCount_ == 0;
  eof_ = last || recordCount_ == 0;
  DataEvent(TDataEvent::kDataSetChange);
  DoAfterScroll();
}

int TDataSet::MoveBy(int distance) {
  CheckBrowseMode();
  TCursorOperation operation(*this);
  const bool resynced = cursorChanged_;
  ResyncIfChanged();
  DoBeforeScroll();
  int result = 0;
  if ((distance > 0 && !eof_) || (distance < 0 && !bof_)) {
    bof_ = false;
    eof_ = false;
    const int oldRecordCount = recordCount_;
    int shift = 0;
    try {
      while (distance > 0) {
        if (activeRecord_ < recordCount_ - 1) {
          ++activeRecord_;
        } else {
          const bool full = recordCount_ == bufferCount_;
          if (!GetNextRecord()) {
            eof_ = true;
            break;
          }
          if (full) ++shift;
          activeRecord_ = recordCount_ - 1;
        }
        --distance;
        ++result;
      }
      while (distance < 0) {
        if (activeRecord_ > 0) {
          --activeRecord_;
        } else {
          const bool full = recordCount_ == bufferCount_;
          if (!GetPriorRecord()) {
            bof_ = true;
            break;
          }
          if (full) --shift;
          activeRecord_ = 0;
        }
        ++distance;
        --result;
      }
    } catch (...) {
      DataEvent(TDataEvent::kDataSetChange);
      throw;
    }
    if (recordCount_ != oldRecordCount || resynced)
      DataEvent(TDataEvent::kDataSetChange);
    else
      DataEvent(TDataEvent::kDataSetScroll, nullptr, shift);
    DoAfterScroll();
  }
  return result;
}

int TDataSet::RecNo() const {
  if (!Active()) return -1;
  return ReadRecordNumber();
}

void TDataSet::SetRecNo(int value) {
  CheckBrowseMode();
  TCursorOperation operation(*this);
  cursorChanged_ = false;
  MoveToRecordNumber(value);
}

int TDataSet::RecordCount() const {
  CheckActive();
  return CountTableRecords();
}

void TDataSet::Refresh() {
  CheckBrowseMode();
  TCursorOperation operation(*this);
  cursorChanged_ = false;
  RefreshCursor();
  if (recordCount_ == 0) {
    // Nothing was shown: start from the first record.
    ClearBuffers();
    MoveToStart();
    GetNextRecords();
    bof_ = true;
    eof_ = recordCount_ == 0;
    DataEvent(TDataEvent::kDataSetChange);
    return;
  }
  CursorPosChanged();
  UpdateCursorPos();
  Resync(0);
}

// ---------------------------------------------------------------- bookmarks

TBookmark TDataSet::GetBookmark() const {
  TBookmark mark;
  if (!Active() || recordCount_ == 0) return mark;
  const uint8_t* buffer = buffers_[size_t(activeRecord_)].data();
  if (GetMarkFlag(buffer) != TBookmarkFlag::kCurrent) return mark;
  GetMark(buffer, mark);
  return mark;
}

void TDataSet::GotoBookmark(const TBookmark& bookmark) {
  if (bookmark.empty()) return;
  CheckBrowseMode();
  TCursorOperation operation(*this);
  cursorChanged_ = false;
  DoBeforeScroll();
  MoveToMark(bookmark);
  Resync(kResyncExact | kResyncCenter);
  DoAfterScroll();
}

bool TDataSet::BookmarkValid(const TBookmark& bookmark) {
  if (bookmark.empty() || !Active()) return false;
  TCursorOperation operation(*this);
  CursorPosChanged();
  return IsMarkValid(bookmark);
}

int TDataSet::CompareBookmarks(const TBookmark& a, const TBookmark& b) { return CompareMarks(a, b); }

// ---------------------------------------------------------------- editing

void TDataSet::CheckCanModify() const {
  if (!CanModify()) DatabaseError(msg::kDataSetReadOnly);
}

void TDataSet::CheckBrowseMode() {
  CheckActive();
  DataEvent(TDataEvent::kCheckBrowseMode);
  switch (state_) {
    case TDataSetState::kEdit:
    case TDataSetState::kInsert:
      UpdateRecord();
      if (modified_)
        Post();
      else
        Cancel();
      break;
    case TDataSetState::kSetKey: Post(); break;
    default: break;
  }
}

void TDataSet::UpdateRecord() {
  if (!IsEditState(state_) && state_ != TDataSetState::kSetKey) DatabaseError(msg::kNotEditing);
  DataEvent(TDataEvent::kUpdateRecord);
}

void TDataSet::RunWithErrorEvent(const TDataSetErrorEvent& handler, const std::function<void()>& operation) {
  for (;;) {
    try {
      operation();
      return;
    } catch (const EDatabaseError& error) {
      if (!handler) throw;
      TDataAction action = TDataAction::kFail;
      handler(*this, error, action);
      if (action == TDataAction::kFail) throw;
      if (action == TDataAction::kAbort) throw EAbort();
    }
  }
}

void TDataSet::StartNewRecord(uint8_t* buffer) {
  ClearRecordBuffer(buffer);
  ClearCalculatedArea(buffer);
  SetMarkFlag(buffer, TBookmarkFlag::kInserted);
}

void TDataSet::Edit() {
  if (IsEditState(state_)) return;
  if (recordCount_ == 0) {
    Insert();
    return;
  }
  CheckBrowseMode();
  CheckCanModify();
  if (BeforeEdit) BeforeEdit(*this);
  UpdateCursorPos();
  RunWithErrorEvent(OnEditError, [this] { BeginRecordEdit(); });
  GetCalcFields(ActiveBuffer());
  SetState(TDataSetState::kEdit);
  DataEvent(TDataEvent::kRecordChange);
  if (AfterEdit) AfterEdit(*this);
}

void TDataSet::Insert() {
  CheckBrowseMode();
  CheckCanModify();
  if (BeforeInsert) BeforeInsert(*this);
  DoBeforeScroll();
  insertedIntoFullRing_ = false;
  if (recordCount_ == 0) {
    activeRecord_ = 0;
    recordCount_ = 1;
    currentRecord_ = -1;
    bof_ = eof_ = true;
  } else {
    // The spare buffer moves in at the active row; a full ring drops its last.
    // A full ring's last record waits in the spare buffer until the insert ends.
    const int spare = std::min(recordCount_, bufferCount_);
    std::rotate(buffers_.begin() + activeRecord_, buffers_.begin() + spare, buffers_.begin() + spare + 1);
    insertedIntoFullRing_ = recordCount_ == bufferCount_;
    if (!insertedIntoFullRing_) ++recordCount_;
    if (currentRecord_ >= activeRecord_) ++currentRecord_;
    if (currentRecord_ >= recordCount_) currentRecord_ = -1;
    bof_ = eof_ = false;
  }
  StartNewRecord(Buffer(activeRecord_));
  FinishInsert();
}

void TDataSet::Append() {
  CheckBrowseMode();
  CheckCanModify();
  if (BeforeInsert) BeforeInsert(*this);
  DoBeforeScroll();
  {
    TCursorOperation operation(*this);
    cursorChanged_ = false;
    ClearBuffers();
    insertedIntoFullRing_ = false;
    uint8_t* buffer = Buffer(0);
    StartNewRecord(buffer);
    SetMarkFlag(buffer, TBookmarkFlag::kEOF);
    recordCount_ = 1;
    bof_ = false;
    eof_ = true;
    GetPriorRecords();  // the records before the end, read backwards from it
  }
  SetMarkFlag(Buffer(activeRecord_), TBookmarkFlag::kInserted);
  FinishInsert();
}

void TDataSet::FinishInsert() {
  SetState(TDataSetState::kInsert);
  try {
    if (OnNewRecord) OnNewRecord(*this);
  } catch (...) {
    Cancel();
    throw;
  }
  modified_ = false;
  DataEvent(TDataEvent::kDataSetChange);
  if (AfterInsert) AfterInsert(*this);
  DoAfterScroll();
}

void TDataSet::CheckRequiredFields() {
  for (TField* field : fields_.Items())
    if (field->Required && !field->ReadOnly && field->FieldKind() == TFieldKind::kData && field->IsNull())
      DatabaseErrorFmt(msg::kFieldRequired, {field->DisplayName()});
}

void TDataSet::Post() {
  UpdateRecord();
  if (state_ == TDataSetState::kSetKey) {
    EndKeyEdit(true);
    return;
  }
  DataEvent(TDataEvent::kCheckBrowseMode);
  if (BeforePost) BeforePost(*this);
  CheckRequiredFields();
  if (state_ == TDataSetState::kEdit) UpdateCursorPos();
  RunWithErrorEvent(OnPostError, [this] { StoreRecord(); });
  // The cursor stands on the stored record now.
  SetState(TDataSetState::kBrowse);
  currentRecord_ = activeRecord_;
  Resync(0);
  if (AfterPost) AfterPost(*this);
}

void TDataSet::Cancel() {
  if (state_ == TDataSetState::kSetKey) {
    EndKeyEdit(false);
    return;
  }
  if (!IsEditState(state_)) return;
  DataEvent(TDataEvent::kCheckBrowseMode);
  if (BeforeCancel) BeforeCancel(*this);
  const bool inserting = state_ == TDataSetState::kInsert;
  if (!inserting) {
    UpdateCursorPos();
    AbandonEdit();
  }
  SetState(TDataSetState::kBrowse);
  if (inserting) {
    // Take the new record's buffer out of the ring again; a record the
    // insert pushed out of a full ring comes back from the spare buffer.
    std::rotate(buffers_.begin() + activeRecord_, buffers_.begin() + activeRecord_ + 1,
                buffers_.begin() + bufferCount_ + 1);
    if (!insertedIntoFullRing_) --recordCount_;
    insertedIntoFullRing_ = false;
    if (currentRecord_ == activeRecord_) currentRecord_ = -1;
    if (currentRecord_ > activeRecord_) --currentRecord_;
  }
  if (recordCount_ == 0) {
    ClearBuffers();
    DataEvent(TDataEvent::kDataSetChange);
  } else {
    activeRecord_ = std::min(activeRecord_, recordCount_ - 1);
    TCursorOperation operation(*this);
    cursorChanged_ = false;
    UpdateCursorPos();
    Resync(0);
  }
  if (AfterCancel) AfterCancel(*this);
}

void TDataSet::Delete() {
  CheckActive();
  if (state_ == TDataSetState::kInsert || state_ == TDataSetState::kSetKey) {
    Cancel();
    return;
  }
  if (recordCount_ == 0) DatabaseError(msg::kDataSetEmpty);
  CheckCanModify();
  DataEvent(TDataEvent::kCheckBrowseMode);
  if (BeforeDelete) BeforeDelete(*this);
  DoBeforeScroll();
  UpdateCursorPos();
  RunWithErrorEvent(OnDeleteError, [this] { RemoveRecord(); });
  SetState(TDataSetState::kBrowse);
  // The cursor stands where the record stood: on the next one.
  currentRecord_ = activeRecord_;
  Resync(0);
  if (AfterDelete) AfterDelete(*this);
  DoAfterScroll();
}

bool TDataSet::FindFilteredRecord(bool, bool) { return false; }

}  // namespace fw
