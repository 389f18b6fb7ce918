// TDataFile: record filters. The index file keeps the filter list and the
// record bitmaps of its cursor; the data file adds, activates, deactivates
// and removes filters, raises the codes the list returns, repositions its
// cursor after each change, and gives the filters what they need of the
// table: fields by name, the fitting index of a condition, key scans on any
// index, and record reads.

#include <algorithm>
#include <cstring>

#include "tabula/data_file.h"
#include "engine/data_file_parts.h"
#include "engine/read_lock_scope.h"
#include "engine/table_cursor.h"
#include "tabula/engine_error.h"
#include "tabula/field_types.h"
#include "engine/filter_bounds.h"
#include "engine/index_format.h"
#include "tabula/windows1251.h"

namespace tabula {

namespace {

constexpr int kMaxFilterRereads = 64;

// The table's side of the filters: index scans go to the index file on the
// index named (its current index, range and cursor stay as they are);
// single records are read through the record cache with read-ahead, a pass
// over many in blocks straight from the file.
class TTableFilterSource : public TFilterScanSource {
 public:
  explicit TTableFilterSource(TDataFile& file) : file_(file) {}

  int32_t RecordSlots() override { return std::max(0, file_.NextRecordNo() - 1); }
  int32_t LiveRecordCount() override { return file_.IndexFile().LiveRecordCount(); }
  const TIndexDescriptor& IndexDescriptor(uint8_t slot) override { return file_.IndexFile().Descriptor(slot); }
  uint16_t LanguageId() override { return file_.Header().LanguageId; }
  uint16_t SortId() override { return file_.Header().SortId; }

  int32_t CountKeysBetween(uint8_t slot, const uint8_t* low, const uint8_t* high) override {
    return file_.IndexFile().CountKeysInIndex(slot, low, high);
  }
  void MarkKeysBetween(uint8_t slot, const uint8_t* low, const uint8_t* high, TRecordBitmap& bitmap) override {
    file_.IndexFile().MarkKeysInIndex(slot, low, high, bitmap);
  }
  void MarkKeysOutside(uint8_t slot, const uint8_t* low, const uint8_t* high, TRecordBitmap& bitmap) override {
    file_.IndexFile().MarkKeysOutsideIndex(slot, low, high, bitmap);
  }

  const uint8_t* ReadRecord(int32_t recNo) override {
    for (int attempt = 0; attempt < kMaxFilterRereads; ++attempt) {
      // Never the slot after the last one: asking for it would append it.
      if (recNo < 1 || recNo >= file_.NextRecordNo()) return nullptr;
      TRecord* record = nullptr;
      if (file_.GetRecord(uint32_t(recNo), true, kReadForward, false, record)) {
        if (record == nullptr) return nullptr;
        buffer_.assign(record->Data(), record->Data() + file_.RecordSize());
        file_.ReleaseRecord(record);
        return buffer_[0] == 0 ? buffer_.data() : nullptr;
      }
      // Another program changed the table: a bitmap being built describes
      // the old records, so the whole build starts again. Outside such a
      // build the record is simply read again.
      file_.IndexFile().RestartRunningOperation();
    }
    RaiseEngineError(kErrRecordBuffersCorrupt, file_.FileName());
  }

  int32_t RecordSpanSlots() override { return file_.RecordSpanSlots(); }
  int32_t ReadRecordSpan(int32_t first, int32_t most, const uint8_t*& records, size_t& stride) override {
    stride = size_t(file_.StoredRecordSize());
    for (int attempt = 0; attempt < kMaxFilterRereads; ++attempt) {
      if (first < 1) break;
      const int32_t got = file_.ReadRecordSpan(uint32_t(first), most, records);
      if (got >= 0) return got;
      // Another program changed the table (see ReadRecord).
      file_.IndexFile().RestartRunningOperation();
    }
    records = nullptr;
    return 0;
  }

 private:
  TDataFile& file_;
  std::vector<uint8_t> buffer_;
};

}  // namespace

void TDataFile::WireFilters() {
  TFilterList& list = *filterList_;
  indexFile_->SetFilterHook(&list);
  if (!filterSource_) filterSource_ = std::make_unique<TTableFilterSource>(*this);
  list.SetSource(filterSource_.get());
  TFilterContext context;
  context.Lookup = [this](const std::string& name, TFilterFieldInfo& info) {
    for (const TFieldDesc& d : working_) {
      if (!SameTextIgnoringCase(d.Name, name)) continue;
      // Only fields with a place in the record buffer can be filtered on.
      const bool autoInc = d.IsAutoIncrement();
      if (!autoInc && (d.Offset == 0 || size_t(d.Offset) + 1 + d.DataSize > size_t(RecordSize()))) return false;
      info.FieldNo = uint16_t(d.FieldNo);
      info.FieldType = d.FieldType;
      info.SubType = d.SubType;
      info.Width = d.DataSize;
      info.Scale = d.Scale;
      info.Offset = d.Offset;
      return true;
    }
    return false;
  };
  context.Fit = [this](const TFilterFieldInfo& field, bool caseInsensitive, bool anyCase) {
    // A field the file does not store (a computed one) has no index.
    if (field.FieldNo == 0 || field.FieldNo > fileDescs_.size()) return -1;
    return FindFittingIndex(indexFile_->Header(), field, caseInsensitive, anyCase);
  };
  // String keys under a language driver order by the locale, not by bytes.
  context.LocaleOrderedStrings = header_.LanguageId != 0;
  list.SetContext(std::move(context));
}

TFilter* TDataFile::AddFilter(TFilterSpec request) {
  if (!IsOpen()) Fail(kErrInvalidHandle);
  WireFilters();
  TFilterAddResult result = filterList_->Add(std::move(request));
  if (result.Code == kErrInvalidField) Fail(kErrInvalidField, result.FieldName);
  if (result.Code != 0) Fail(uint16_t(result.Code));
  return result.Handle;
}

void TDataFile::ActivateFilter(TFilter* handle) {
  if (!IsOpen()) Fail(kErrInvalidHandle);
  WireFilters();
  TReadLockScope scope(*this);
  const TTableCursor::TPlace place = cursor_->Remember();
  const int code = filterList_->Activate(handle);
  if (code != 0) Fail(uint16_t(code));
  indexFile_->RefreshFilter(handle);
  cursor_->ReturnAfterFilterChange(place);
  scope.Release();
}

void TDataFile::DeactivateFilter(TFilter* handle) {
  if (!IsOpen()) Fail(kErrInvalidHandle);
  TReadLockScope scope(*this);
  const TTableCursor::TPlace place = cursor_->Remember();
  const int code = filterList_->Deactivate(handle);
  if (code != 0) Fail(uint16_t(code));
  indexFile_->FiltersChanged();
  cursor_->ReturnAfterFilterChange(place);
  scope.Release();
}

void TDataFile::RemoveFilter(TFilter* handle) {
  if (!IsOpen()) Fail(kErrInvalidHandle);
  TReadLockScope scope(*this);
  const TTableCursor::TPlace place = cursor_->Remember();
  const int code = filterList_->Remove(handle);
  if (code != 0) Fail(uint16_t(code));
  indexFile_->FiltersChanged();
  cursor_->ReturnAfterFilterChange(place);
  scope.Release();
}

size_t TDataFile::FilterCount() const { return filterList_->Count(); }

TFilter* TDataFile::FilterAt(size_t index) const { return filterList_->At(index); }

// The filters, each with its own copy of the expression, active as here.
void TDataFile::CopyFiltersTo(TDataFile& clone) const {
  bool anyActive = false;
  for (size_t i = 0; i < FilterCount(); ++i) {
    const TFilter* filter = FilterAt(i);
    TFilterSpec request;
    request.UserData = filter->UserData;
    request.RestrictToPrevious = filter->RestrictToPrevious;
    if (filter->IsCallback) {
      request.Callback = filter->Callback;
    } else if (filter->Tree) {
      request.Tree = TFilterTree::Owned(CopyFilterTree(*filter->Tree));
    } else {
      continue;
    }
    TFilter* copy = clone.AddFilter(std::move(request));
    if (filter->Active) {
      clone.filterList_->Activate(copy);
      anyActive = true;
    }
  }
  if (anyActive) clone.indexFile_->RefreshFilter(nullptr);
}

}  // namespace tabula
