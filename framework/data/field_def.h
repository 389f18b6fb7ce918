#pragma once
// Field and index definitions: what a dataset's underlying table holds,
// independent of the field objects bound to it. A dataset fills its
// definitions from its table when it opens (or when asked while closed).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace fw {

enum class TFieldType : uint8_t {
  kUnknown,
  kString,
  kSmallint,
  kInteger,
  kWord,
  kBoolean,
  kFloat,
  kCurrency,
  kBCD,
  kDate,
  kTime,
  kDateTime,
  kBytes,
  kVarBytes,
  kAutoInc,
  kBlob,
  kMemo,
  kGraphic,
  kFmtMemo,
  kTypedBinary,
  kLargeint,
  kADT,
  kArray,
  kReference,
  kDataSet,
};

// "String", "Integer", ... as messages name the types.
const char* FieldTypeName(TFieldType type);

class TFieldDef {
 public:
  std::string Name;
  TFieldType DataType = TFieldType::kUnknown;
  int Size = 0;
  int Precision = 0;
  bool Required = false;
  int FieldNo = 0;  // 1-based number in the table
  bool InternalCalcField = false;
};

// The definitions in table order. Names are unique (compared without
// regard to letter case).
class TFieldDefs {
 public:
  void Clear() { items_.clear(); }
  TFieldDef& Add(const std::string& name, TFieldType type, int size = 0, bool required = false);
  int Count() const { return int(items_.size()); }
  TFieldDef& operator[](int index) { return *items_.at(size_t(index)); }
  const TFieldDef& operator[](int index) const { return *items_.at(size_t(index)); }
  // Letter case ignored; -1 / nullptr when there is none.
  int IndexOf(const std::string& name) const;
  const TFieldDef* Find(const std::string& name) const;
  // Like Find, raising "Field '%s' not found".
  const TFieldDef& FieldByName(const std::string& name) const;

  bool Updated = false;

 private:
  std::vector<std::unique_ptr<TFieldDef>> items_;
};

enum : uint32_t {
  kIxPrimary = 1,
  kIxUnique = 2,
  kIxDescending = 4,
  kIxCaseInsensitive = 8,
  kIxExpression = 16,
};

class TIndexDef {
 public:
  std::string Name;
  std::string Fields;  // key field names joined with ";"
  uint32_t Options = 0;
  bool Has(uint32_t option) const { return (Options & option) != 0; }
};

class TIndexDefs {
 public:
  void Clear() { items_.clear(); }
  TIndexDef& Add(const std::string& name, const std::string& fields, uint32_t options);
  int Count() const { return int(items_.size()); }
  const TIndexDef& operator[](int index) const { return items_.at(size_t(index)); }
  // Letter case ignored; nullptr when there is none.
  const TIndexDef* Find(const std::string& name) const;
  // The index for a field list ("kodul;dom"), letter case ignored: first
  // the first ascending, non-expression index whose fields are exactly
  // those, else the first one whose fields begin with them (followed by
  // ";" or nothing). nullptr when there is none.
  const TIndexDef* FindForFields(const std::string& fields) const;

  bool Updated = false;

 private:
  std::vector<TIndexDef> items_;
};

// Letter case ignored for ASCII and the Cyrillic letters of Windows-1251.
bool SameName(const std::string& a, const std::string& b);

}  // namespace fw
