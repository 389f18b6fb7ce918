#pragma once
// TField: one column of a dataset. A field object reads and writes its
// value through its dataset (GetData/SetData move the field's native bytes;
// which record buffer they touch is the dataset's business) and converts
// between the native form and strings, integers, floats, booleans and
// date-time values. Typed fields derive from it (standard_fields.h).
//
// Native forms: string Size + 1 bytes, zero-terminated; small integer and
// word 2 bytes; integer and auto-increment 4; large integer 8; float and
// currency an 8-byte double; BCD 8 opaque bytes the dataset converts; boolean
// 2 bytes (nonzero = true); date a 4-byte day number (1 = 0001-01-01); time 4
// bytes of milliseconds since midnight; date-time an 8-byte double of
// milliseconds (day number * 86400000 + milliseconds of the day); bytes and
// variable bytes Size raw bytes. All little-endian. Blob and object fields
// keep no native bytes in the record buffer.
//
// Kinds: data fields belong to the table; calculated and lookup fields have
// a slot (a flag byte, then DataSize bytes) in the record buffer's
// calculated-fields area at Offset; their values are set while the dataset
// computes a fetched record.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "framework/data/component.h"
#include "framework/data/field_def.h"
#include "framework/data/variant.h"

namespace fw {

class TDataSet;

enum class TFieldKind : uint8_t { kData, kCalculated, kLookup, kInternalCalc };

class TField : public TComponent {
 public:
  TField(TComponent* owner, TFieldType type);
  ~TField() override;

  // ---- Identity and layout ----
  const std::string& FieldName() const { return fieldName_; }
  void SetFieldName(const std::string& name);
  TFieldType DataType() const { return dataType_; }
  int Size() const { return size_; }
  void SetSize(int size);
  // The table's field number (1-based) once bound; -1 for calculated and
  // lookup fields; 0 while unbound.
  int FieldNo() const { return fieldNo_; }
  TFieldKind FieldKind() const { return kind_; }
  void SetFieldKind(TFieldKind kind);
  bool Calculated() const { return kind_ == TFieldKind::kCalculated || kind_ == TFieldKind::kLookup; }
  bool Lookup() const { return kind_ == TFieldKind::kLookup; }
  // Offset of the field's slot inside the calculated-fields area.
  int Offset() const { return offset_; }
  // Bytes of the native form.
  virtual int DataSize() const = 0;
  // Position in the dataset's field list; -1 without a dataset.
  int Index() const;
  TDataSet* DataSet() const { return dataSet_; }
  // Adds the field to the dataset's field list (removes it from the old
  // one); the dataset must be closed.
  void SetDataSet(TDataSet* dataSet);

  // ---- Presentation ----
  const std::string& DisplayLabel() const { return displayLabel_.empty() ? fieldName_ : displayLabel_; }
  void SetDisplayLabel(const std::string& label) { displayLabel_ = label; }
  // The name messages use: the display label when set, else the field name.
  const std::string& DisplayName() const { return DisplayLabel(); }
  int DisplayWidth() const { return displayWidth_ > 0 ? displayWidth_ : DefaultWidth(); }
  void SetDisplayWidth(int width) { displayWidth_ = width; }
  bool Visible = true;
  bool ReadOnly = false;
  bool Required = false;

  // ---- Lookup fields ----
  TDataSet* LookupDataSet() const { return lookupDataSet_; }
  void SetLookupDataSet(TDataSet* dataSet);
  std::string KeyFields;          // this dataset's fields, ";"-separated
  std::string LookupKeyFields;    // the lookup dataset's key fields
  std::string LookupResultField;  // the lookup dataset's field whose value is shown

  // ---- Values ----
  bool IsNull() const;
  virtual std::string AsString() const;
  virtual void SetAsString(const std::string& value);
  virtual int32_t AsInteger() const;
  virtual void SetAsInteger(int32_t value);
  virtual int64_t AsLargeInt() const;
  virtual void SetAsLargeInt(int64_t value);
  virtual double AsFloat() const;
  virtual void SetAsFloat(double value);
  virtual double AsCurrency() const;
  virtual void SetAsCurrency(double value);
  virtual bool AsBoolean() const;
  virtual void SetAsBoolean(bool value);
  virtual TDateTime AsDateTime() const;
  virtual void SetAsDateTime(TDateTime value);
  virtual TVariant Value() const;
  // Null clears; otherwise the value goes through the setter of its kind,
  // so an integer assigned to a string field becomes its decimal text.
  virtual void SetValue(const TVariant& value);
  // The text a grid shows; Text is the text an editor shows and takes.
  virtual std::string DisplayText() const { return AsString(); }
  std::string Text() const { return AsString(); }
  void SetText(const std::string& text) { SetAsString(text); }
  void Clear() { SetData(nullptr); }

  // Native bytes: GetData answers whether the field has a value (dest may
  // be null); SetData(nullptr) makes it null.
  bool GetData(void* dest) const;
  void SetData(const void* source);

  // ---- Events ----
  std::function<void(TField&)> OnChange;
  // Runs while a new value is being written; the field reads as the new
  // value meanwhile. Raising refuses the value.
  std::function<void(TField&)> OnValidate;
  void Validate(const void* source);
  void Change();

  // Set by the dataset when it binds and lays out its fields.
  void Bind(int fieldNo, int offset) {
    fieldNo_ = fieldNo;
    offset_ = offset;
  }

 protected:
  [[noreturn]] void AccessError(const char* typeName) const;
  // Raises the range error of the field for a value and its limits.
  [[noreturn]] void RangeError(const std::string& value, const std::string& low, const std::string& high) const;
  virtual int DefaultWidth() const { return 10; }
  void Notification(TComponent* component, TOperation operation) override;

 private:
  friend class TDataSet;
  std::string fieldName_;
  TFieldType dataType_;
  int size_ = 0;
  int fieldNo_ = 0;
  int offset_ = 0;
  TFieldKind kind_ = TFieldKind::kData;
  TDataSet* dataSet_ = nullptr;
  TDataSet* lookupDataSet_ = nullptr;
  std::string displayLabel_;
  int displayWidth_ = 0;
  const void* validating_ = nullptr;  // the new value while OnValidate runs
  bool inValidate_ = false;
};

// The dataset's fields in order. It does not own them.
class TFields {
 public:
  int Count() const { return int(items_.size()); }
  TField& operator[](int index) const;
  TField* FindField(const std::string& name) const;
  // Like FindField, raising "Field '%s' not found".
  TField& FieldByName(const std::string& name) const;
  // The data field with that table number; nullptr when there is none.
  TField* FieldByNumber(int fieldNo) const;
  int IndexOf(const TField* field) const;
  const std::vector<TField*>& Items() const { return items_; }

  void Add(TField* field);
  void Remove(TField* field);

 private:
  std::vector<TField*> items_;
};

}  // namespace fw
