#include "framework/data/field_def.h"

#include "framework/data/data_errors.h"

namespace fw {

namespace {

// Upper case of one Windows-1251 byte: ASCII, the Cyrillic alphabet
// (0xE0..0xFF -> 0xC0..0xDF) and the letters outside it.
unsigned char UpperByte(unsigned char c) {
  if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 32);
  if (c >= 0xE0) return static_cast<unsigned char>(c - 32);
  switch (c) {
    case 0xB8: return 0xA8;  // yo
    case 0x83: return 0x81;
    case 0x90: return 0x80;
    case 0x9A: return 0x8A;
    case 0x9C: return 0x8C;
    case 0x9D: return 0x8D;
    case 0x9E: return 0x8E;
    case 0x9F: return 0x8F;
    case 0xA2: return 0xA1;
    case 0xB3: return 0xB2;
    case 0xB4: return 0xA5;
    case 0xBA: return 0xAA;
    case 0xBC: return 0xA3;
    case 0xBE: return 0xBD;
    case 0xBF: return 0xAF;
    default: return c;
  }
}

}  // namespace

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (UpperByte(static_cast<unsigned char>(a[i])) != UpperByte(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

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
