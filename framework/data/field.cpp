#include "framework/data/field.h"

#include <cstring>
#include <vector>

#include "framework/data/data_errors.h"
#include "framework/data/data_set.h"

namespace fw {

TField::TField(TComponent* owner, TFieldType type) : TComponent(owner), dataType_(type) {}

TField::~TField() {
  MarkDestroying();
  if (dataSet_ != nullptr) {
    dataSet_->Fields().Remove(this);
    dataSet_->DataEvent(TDataEvent::kLayoutChange);
  }
  SetLookupDataSet(nullptr);
}

void TField::SetFieldName(const std::string& name) {
  if (dataSet_ != nullptr) dataSet_->CheckInactive();
  fieldName_ = name;
}

void TField::SetSize(int size) {
  if (dataSet_ != nullptr) dataSet_->CheckInactive();
  size_ = size;
}

void TField::SetFieldKind(TFieldKind kind) {
  if (dataSet_ != nullptr) dataSet_->CheckInactive();
  kind_ = kind;
}

int TField::Index() const { return dataSet_ == nullptr ? -1 : dataSet_->Fields().IndexOf(this); }

void TField::SetDataSet(TDataSet* dataSet) {
  if (dataSet == dataSet_) return;
  if (dataSet_ != nullptr) dataSet_->CheckInactive();
  if (dataSet != nullptr) {
    dataSet->CheckInactive();
    if (dataSet->FindField(fieldName_) != nullptr) DatabaseErrorFmt(msg::kDuplicateFieldName, {fieldName_});
  }
  if (dataSet_ != nullptr) {
    dataSet_->Fields().Remove(this);
    dataSet_->DataEvent(TDataEvent::kLayoutChange);
  }
  dataSet_ = dataSet;
  if (dataSet_ != nullptr) {
    dataSet_->Fields().Add(this);
    dataSet_->DataEvent(TDataEvent::kLayoutChange);
  }
}

void TField::SetLookupDataSet(TDataSet* dataSet) {
  if (lookupDataSet_ != nullptr) RemoveFreeNotification(lookupDataSet_);
  lookupDataSet_ = dataSet;
  if (lookupDataSet_ != nullptr) FreeNotification(lookupDataSet_);
}

void TField::Notification(TComponent* component, TOperation operation) {
  if (operation == TOperation::kRemove && component == lookupDataSet_) lookupDataSet_ = nullptr;
}

// ---------------------------------------------------------------- data

bool TField::GetData(void* dest) const {
  if (inValidate_) {
    if (validating_ == nullptr) return false;
    if (dest != nullptr) std::memcpy(dest, validating_, size_t(DataSize()));
    return true;
  }
  if (dataSet_ == nullptr) DatabaseErrorFmt(msg::kFieldNoDataSet, {DisplayName()});
  return dataSet_->ReadFieldData(*this, dest);
}

void TField::SetData(const void* source) {
  if (dataSet_ == nullptr) DatabaseErrorFmt(msg::kFieldNoDataSet, {DisplayName()});
  dataSet_->WriteFieldData(*this, source);
}

bool TField::IsNull() const { return !GetData(nullptr); }

void TField::Validate(const void* source) {
  if (!OnValidate) return;
  // The handler reads the field and must see the new value.
  const void* saved = validating_;
  const bool savedFlag = inValidate_;
  validating_ = source;
  inValidate_ = true;
  try {
    OnValidate(*this);
  } catch (...) {
    validating_ = saved;
    inValidate_ = savedFlag;
    throw;
  }
  validating_ = saved;
  inValidate_ = savedFlag;
}

void TField::Change() {
  if (OnChange) OnChange(*this);
}

// ---------------------------------------------------------------- conversions

void TField::AccessError(const char* typeName) const { DatabaseErrorFmt(msg::kFieldAccessError, {DisplayName(), typeName}); }

void TField::RangeError(const std::string& value, const std::string& low, const std::string& high) const {
  DatabaseErrorFmt(msg::kFieldRangeError, {value, DisplayName(), low, high});
}

std::string TField::AsString() const { AccessError("String"); }
void TField::SetAsString(const std::string&) { AccessError("String"); }
int32_t TField::AsInteger() const { AccessError("Integer"); }
void TField::SetAsInteger(int32_t) { AccessError("Integer"); }
int64_t TField::AsLargeInt() const { return AsInteger(); }
void TField::SetAsLargeInt(int64_t value) {
  if (value < INT32_MIN || value > INT32_MAX) RangeError(IntToText(value), IntToText(INT32_MIN), IntToText(INT32_MAX));
  SetAsInteger(int32_t(value));
}
double TField::AsFloat() const { AccessError("Float"); }
void TField::SetAsFloat(double) { AccessError("Float"); }
double TField::AsCurrency() const { return AsFloat(); }
void TField::SetAsCurrency(double value) { SetAsFloat(value); }
bool TField::AsBoolean() const { AccessError("Boolean"); }
void TField::SetAsBoolean(bool) { AccessError("Boolean"); }
TDateTime TField::AsDateTime() const { AccessError("DateTime"); }
void TField::SetAsDateTime(TDateTime) { AccessError("DateTime"); }

TVariant TField::Value() const {
  if (IsNull()) return {};
  return TVariant(AsString());
}

void TField::SetValue(const TVariant& value) {
  switch (value.Type()) {
    case TVariant::TType::kNull: Clear(); break;
    case TVariant::TType::kBoolean: SetAsBoolean(value.AsBoolean()); break;
    case TVariant::TType::kInteger: SetAsLargeInt(value.AsInteger()); break;
    case TVariant::TType::kFloat: SetAsFloat(value.AsFloat()); break;
    case TVariant::TType::kString: SetAsString(value.AsString()); break;
    case TVariant::TType::kDateTime: SetAsDateTime(value.AsDateTime()); break;
  }
}

// ---------------------------------------------------------------- TFields

TField& TFields::operator[](int index) const {
  if (index < 0 || size_t(index) >= items_.size()) DatabaseError(msg::kFieldIndexError);
  return *items_[size_t(index)];
}

TField* TFields::FindField(const std::string& name) const {
  for (TField* f : items_)
    if (SameName(f->FieldName(), name)) return f;
  return nullptr;
}

TField& TFields::FieldByName(const std::string& name) const {
  TField* f = FindField(name);
  if (f == nullptr) DatabaseErrorFmt(msg::kFieldNotFound, {name});
  return *f;
}

TField* TFields::FieldByNumber(int fieldNo) const {
  if (fieldNo <= 0) return nullptr;
  for (TField* f : items_)
    if (f->FieldNo() == fieldNo) return f;
  return nullptr;
}

int TFields::IndexOf(const TField* field) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i] == field) return int(i);
  return -1;
}

void TFields::Add(TField* field) { items_.push_back(field); }

void TFields::Remove(TField* field) {
  for (auto it = items_.begin(); it != items_.end(); ++it)
    if (*it == field) {
      items_.erase(it);
      return;
    }
}

}  // namespace fw
