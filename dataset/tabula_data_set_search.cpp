// Record search of the table dataset: SeekRecord and FetchLookupValue.
//
// A search assigns the key values to the key fields of an empty record
// (the scratch buffer, in the filter state, so that the fields take the
// values as they would be stored: integers as text for string fields,
// strings cut to the field's size), then looks the record up on the first
// of: the table's own cursor, when its index begins with exactly these
// fields and has the requested case rule; the lookup cursor, a second
// cursor on an index that does; a temporary filter on the table's cursor,
// removed again whatever happens.

#include <cstdio>

#include "dataset/tabula_data_set.h"
#include "tabula/data_file.h"
#include "tabula/engine_error.h"
#include "tabula/index_descriptor.h"
#include "framework/data/data_errors.h"

namespace tabula::db {

namespace {

// A filter constant for a field's value as the search stored it.
std::unique_ptr<TExprNode> ConstantFor(const fw::TVariant& value) {
  auto node = std::make_unique<TExprNode>();
  node->Kind = TExprNodeKind::kConstant;
  switch (value.Type()) {
    case fw::TVariant::TType::kNull: node->ConstantKind = TConstantKind::kNull; break;
    case fw::TVariant::TType::kBoolean:
      node->ConstantKind = TConstantKind::kBoolean;
      node->BooleanValue = value.AsBoolean();
      break;
    case fw::TVariant::TType::kInteger:
      node->ConstantKind = TConstantKind::kNumber;
      node->Text = std::to_string(value.AsInteger());
      break;
    case fw::TVariant::TType::kFloat:
    case fw::TVariant::TType::kDateTime: {
      // Date-time values count days since 1899-12-30, as the filter's
      // numeric constants for date and time fields do.
      char text[40];
      std::snprintf(text, sizeof text, "%.17g", value.AsFloat());
      node->ConstantKind = TConstantKind::kNumber;
      node->Text = text;
      break;
    }
    case fw::TVariant::TType::kString:
    case fw::TVariant::TType::kArray:
      node->ConstantKind = TConstantKind::kString;
      node->Text = value.AsString();
      break;
  }
  return node;
}

}  // namespace

bool TTabulaDataSet::FindRecord(const std::string& keyFields, const std::vector<fw::TVariant>& keyValues,
                                uint32_t options, bool moveCursor) {
  CheckBrowseMode();
  fw::TCursorOperation operation(*this);
  CursorPosChanged();
  uint8_t* scratch = ScratchBuffer();
  std::vector<fw::TField*> fields;
  for (const std::string& name : fw::SplitFieldNames(keyFields)) fields.push_back(&FieldByName(name));
  if (fields.empty()) fw::DatabaseErrorFmt(fw::msg::kFieldNotFound, {keyFields});
  if (keyValues.size() < fields.size()) fw::DatabaseError(fw::msg::kFieldIndexError);
  const bool caseInsensitive = (options & fw::kLocateCaseInsensitive) != 0;
  const bool partial = (options & fw::kLocatePartialKey) != 0;

  // The table's own cursor serves when its index begins with these fields.
  bool ownFits = caseInsensitive_ == caseInsensitive && keyFieldCount_ >= int(fields.size());
  for (size_t i = 0; ownFits && i < fields.size(); ++i)
    ownFits = fields[i]->FieldNo() > 0 && keyFieldNumbers_[i] == fields[i]->FieldNo();
  TDataFile* cursor = ownFits ? cursor_.get() : OpenLookupCursor(keyFields, caseInsensitive);

  // The key values, stored into an empty record as the fields store them.
  int fieldCount = int(fields.size());
  int partialLength = 0;
  {
    fw::TTempState storing(*this, fw::TDataSetState::kFilter, scratch);
    cursor_->InitRecord(scratch);
    for (size_t i = 0; i < fields.size(); ++i) fields[i]->SetValue(keyValues[i]);
    fw::TField* last = fields.back();
    if (partial && last->DataType() == fw::TFieldType::kString) {
      --fieldCount;
      partialLength = int(last->AsString().size());
    }
  }

  if (cursor != nullptr) {
    if (cursor != cursor_.get()) cursor->Refresh();
    uint8_t key[kKeyBufferSize] = {};
    cursor->BuildKey(scratch, key);
    ++calls_.KeySearches;
    int status = cursor->FindKey(key, fieldCount, partialLength, false);
    if (status == kErrRecordNotFound || status == kErrKeyNotFound) return false;
    if (status != 0) RaiseStatus(status);
    ++calls_.RecordReads;
    status = cursor->ReadCurrent(scratch, false);
    if (status == kErrBeginningOfFile || status == kErrEndOfFile) return false;
    if (status != 0) RaiseStatus(status);
    if (moveCursor && cursor != cursor_.get()) {
      ++calls_.Positionings;
      status = cursor_->GotoCurrent(*cursor);
      if (status != 0) RaiseStatus(status);
    }
    return true;
  }

  // No index serves: a temporary filter on the table's cursor.
  MoveToStart();
  TFilter* filter = AddSearchFilter(fields, scratch, options);
  bool found = false;
  try {
    cursor_->ActivateFilter(filter);
    ++calls_.RecordReads;
    const int status = cursor_->ReadNext(scratch);
    if (status != 0 && status != kErrEndOfFile && status != kErrBeginningOfFile) RaiseStatus(status);
    found = status == 0;
  } catch (...) {
    try {
      cursor_->RemoveFilter(filter);
    } catch (...) {
    }
    throw;
  }
  cursor_->RemoveFilter(filter);
  return found;
}

TFilter* TTabulaDataSet::AddSearchFilter(const std::vector<fw::TField*>& fields, uint8_t* record,
                                         uint32_t options) {
  // The constants are the values the fields hold in the record, read in
  // the filter state; a trailing '*' in a value is an ordinary character.
  uint32_t filterOptions = kFilterNoPartialCompare;
  if ((options & fw::kLocateCaseInsensitive) != 0) filterOptions |= kFilterCaseInsensitive;
  std::unique_ptr<TExprNode> root;
  {
    fw::TTempState reading(*this, fw::TDataSetState::kFilter, record);
    for (size_t i = 0; i < fields.size(); ++i) {
      const TFilterField* filterField = FindFilterField(fields[i]->FieldName());
      if (filterField == nullptr) fw::DatabaseErrorFmt(fw::msg::kFieldNotFound, {fields[i]->FieldName()});
      auto compare = std::make_unique<TExprNode>();
      compare->Kind = TExprNodeKind::kOperator;
      compare->Operator = TExprOperator::kEqual;
      compare->Left = std::make_unique<TExprNode>();
      compare->Left->Kind = TExprNodeKind::kField;
      compare->Left->Field = filterField;
      compare->Right = ConstantFor(fields[i]->Value());
      compare->Right->Partial = (options & fw::kLocatePartialKey) != 0 && i + 1 == fields.size() &&
                                fields[i]->DataType() == fw::TFieldType::kString;
      if (!root) {
        root = std::move(compare);
      } else {
        auto both = std::make_unique<TExprNode>();
        both->Kind = TExprNodeKind::kOperator;
        both->Operator = TExprOperator::kAnd;
        both->Left = std::move(root);
        both->Right = std::move(compare);
        root = std::move(both);
      }
    }
  }
  TFilterExpr expression(*this, filterOptions);
  expression.SetRoot(std::move(root));
  const std::vector<uint8_t> data = expression.BuildBuffer();
  TFilterSpec request;
  request.UserData = this;
  request.Buffer = data.data();
  request.BufferSize = data.size();
  return cursor_->AddFilter(std::move(request));
}

bool TTabulaDataSet::SeekRecord(const std::string& keyFields, const std::vector<fw::TVariant>& keyValues,
                                uint32_t options) {
  DoBeforeScroll();
  fw::TCursorOperation operation(*this);
  if (!FindRecord(keyFields, keyValues, options, true)) return false;
  Resync(fw::kResyncExact | fw::kResyncCenter);
  DoAfterScroll();
  return true;
}

fw::TVariant TTabulaDataSet::FetchLookupValue(const std::string& keyFields, const std::vector<fw::TVariant>& keyValues,
                                              const std::string& resultFields) {
  if (!FindRecord(keyFields, keyValues, 0, false)) return {};
  return ReadBufferValues(ScratchBuffer(), resultFields);
}

}  // namespace tabula::db
