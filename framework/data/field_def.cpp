#include "framework/data/field_def.h"

#include "framework/core/ini_file.h"
#include "framework/data/data_errors.h"

namespace fw {

bool SameName(const std::string& a, const std::string& b) { return SameIniName(a, b); }

const char* FieldTypeName(TFieldType type) {
  static const char* const kNames[] = {"Unknown", "String",   "Smallint", "Integer",     "Word",     "Boolean", "Float",
                                       "Currency", "BCD",     "Date",     "Time",        "DateTime", "Bytes",   "VarBytes",
                                       "AutoInc", "Blob",     "Memo",     "Graphic",     "FmtMemo",  "TypedBinary",
                                       "Largeint", "ADT",     "Array",    "Reference",   "DataSet"};
  const size_t i = size_t(type);
  return i < sizeof kNames / sizeof kNames[0] ? kNames[i] : "Unknown";
}

TFieldDef& TFieldDefs::Add(const std::string& name, TFieldType type, int size, bool required) {
  if (IndexOf(name) >= 0) DatabaseErrorFmt(msg::kDuplicateFieldName, {name});
  auto def = std::make_unique<TFieldDef>();
  def->Name = name;
  def->DataType = type;
  def->Size = size;
  def->Required = required;
  def->FieldNo = int(items_.size()) + 1;
  items_.push_back(std::move(def));
  return *items_.back();
}

int TFieldDefs::IndexOf(const std::string& name) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (SameName(items_[i]->Name, name)) return int(i);
  return -1;
}

const TFieldDef* TFieldDefs::Find(const std::string& name) const {
  const int i = IndexOf(name);
  return i < 0 ? nullptr : items_[size_t(i)].get();
}

const TFieldDef& TFieldDefs::FieldByName(const std::string& name) const {
  const TFieldDef* def = Find(name);
  if (def == nullptr) DatabaseErrorFmt(msg::kFieldNotFound, {name});
  return *def;
}

TIndexDef& TIndexDefs::Add(const std::string& name, const std::string& fields, uint32_t options) {
  items_.push_back(TIndexDef{name, fields, options});
  return items_.back();
}

const TIndexDef* TIndexDefs::Find(const std::string& name) const {
  for (const TIndexDef& def : items_)
    if (SameName(def.Name, name)) return &def;
  return nullptr;
}

const TIndexDef* TIndexDefs::FindForFields(const std::string& fields) const {
  auto eligible = [](const TIndexDef& def) { return !def.Has(kIxDescending) && !def.Has(kIxExpression); };
  for (const TIndexDef& def : items_)
    if (eligible(def) && SameName(def.Fields, fields)) return &def;
  for (const TIndexDef& def : items_) {
    if (!eligible(def) || def.Fields.size() < fields.size()) continue;
    if (!SameName(def.Fields.substr(0, fields.size()), fields)) continue;
    if (def.Fields.size() == fields.size() || def.Fields[fields.size()] == ';') return &def;
  }
  return nullptr;
}

}  // namespace fw
