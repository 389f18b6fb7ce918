#pragma once
// The typed field classes, one per field type of the dataset, and the
// factory that makes the default field object for a definition.

#include <cstdint>
#include <string>

#include "framework/data/field.h"

namespace fw {

// Text: Size characters (the native form has one more for the terminator).
// Numbers assigned to it become their decimal text; reading a number from
// it converts the text.
class TStringField : public TField {
 public:
  explicit TStringField(TComponent* owner = nullptr, int size = 20);
  int DataSize() const override { return Size() + 1; }
  std::string AsString() const override;
  void SetAsString(const std::string& value) override;
  int32_t AsInteger() const override;
  void SetAsInteger(int32_t value) override;
  int64_t AsLargeInt() const override;
  void SetAsLargeInt(int64_t value) override;
  double AsFloat() const override;
  void SetAsFloat(double value) override;
  bool AsBoolean() const override;
  void SetAsBoolean(bool value) override;
  TDateTime AsDateTime() const override;
  void SetAsDateTime(TDateTime value) override;
  TVariant Value() const override;

 protected:
  int DefaultWidth() const override { return Size(); }
};

// Whole numbers: integer (4 bytes), small integer and word (2 bytes),
// auto-increment (4 bytes). MinValue/MaxValue narrow the type's range when
// either is nonzero.
class TIntegerField : public TField {
 public:
  explicit TIntegerField(TComponent* owner = nullptr) : TIntegerField(owner, TFieldType::kInteger) {}
  int DataSize() const override;
  std::string AsString() const override;
  void SetAsString(const std::string& value) override;
  int32_t AsInteger() const override;
  void SetAsInteger(int32_t value) override;
  int64_t AsLargeInt() const override { return AsInteger(); }
  void SetAsLargeInt(int64_t value) override;
  double AsFloat() const override { return AsInteger(); }
  void SetAsFloat(double value) override;
  TVariant Value() const override;

  int32_t MinValue = 0;
  int32_t MaxValue = 0;

 protected:
  TIntegerField(TComponent* owner, TFieldType type);
  int DefaultWidth() const override;

 private:
  void CheckRange(int64_t value) const;
  int64_t low_;
  int64_t high_;
};

class TSmallintField : public TIntegerField {
 public:
  explicit TSmallintField(TComponent* owner = nullptr) : TIntegerField(owner, TFieldType::kSmallint) {}
};

class TWordField : public TIntegerField {
 public:
  explicit TWordField(TComponent* owner = nullptr) : TIntegerField(owner, TFieldType::kWord) {}
};

class TAutoIncField : public TIntegerField {
 public:
  explicit TAutoIncField(TComponent* owner = nullptr) : TIntegerField(owner, TFieldType::kAutoInc) {}
};

class TLargeintField : public TField {
 public:
  explicit TLargeintField(TComponent* owner = nullptr) : TField(owner, TFieldType::kLargeint) {}
  int DataSize() const override { return 8; }
  std::string AsString() const override;
  void SetAsString(const std::string& value) override;
  int32_t AsInteger() const override;
  void SetAsInteger(int32_t value) override { SetAsLargeInt(value); }
  int64_t AsLargeInt() const override;
  void SetAsLargeInt(int64_t value) override;
  double AsFloat() const override { return double(AsLargeInt()); }
  void SetAsFloat(double value) override;
  TVariant Value() const override;

 protected:
  int DefaultWidth() const override { return 15; }
};

// An 8-byte double; a currency field shows two decimals.
class TFloatField : public TField {
 public:
  explicit TFloatField(TComponent* owner = nullptr) : TField(owner, TFieldType::kFloat) {}
  int DataSize() const override { return 8; }
  std::string AsString() const override;
  void SetAsString(const std::string& value) override;
  int32_t AsInteger() const override;
  void SetAsInteger(int32_t value) override { SetAsFloat(value); }
  double AsFloat() const override;
  void SetAsFloat(double value) override;
  std::string DisplayText() const override;
  TVariant Value() const override;

  double MinValue = 0;
  double MaxValue = 0;
  bool Currency = false;

 protected:
  TFloatField(TComponent* owner, TFieldType type) : TField(owner, type) {}
};

class TCurrencyField : public TFloatField {
 public:
  explicit TCurrencyField(TComponent* owner = nullptr) : TFloatField(owner, TFieldType::kCurrency) { Currency = true; }
};

// Exact decimals: Size is the scale (decimals), Precision the digits. The
// native form is the dataset's 8-byte stored form; values travel as
// 1/10000 units.
class TBCDField : public TField {
 public:
  explicit TBCDField(TComponent* owner = nullptr, int scale = 4);
  int DataSize() const override { return 8; }
  std::string AsString() const override;
  void SetAsString(const std::string& value) override;
  int32_t AsInteger() const override;
  void SetAsInteger(int32_t value) override { SetAsUnits(int64_t(value) * kCurrencyScale); }
  double AsFloat() const override;
  void SetAsFloat(double value) override;
  double AsCurrency() const override { return AsFloat(); }
  TVariant Value() const override;
  int64_t AsUnits() const;
  void SetAsUnits(int64_t units);

  int Precision = 20;
};

class TBooleanField : public TField {
 public:
  explicit TBooleanField(TComponent* owner = nullptr) : TField(owner, TFieldType::kBoolean) {}
  int DataSize() const override { return 2; }
  std::string AsString() const override;
  void SetAsString(const std::string& value) override;
  bool AsBoolean() const override;
  void SetAsBoolean(bool value) override;
  TVariant Value() const override;
  // "True;False": the texts shown for true and false, and accepted (any
  // letter case, any leading part) when text is assigned.
  void SetDisplayValues(const std::string& values);

 protected:
  int DefaultWidth() const override { return 5; }

 private:
  std::string trueText_ = "True";
  std::string falseText_ = "False";
};

// Date (4-byte day number), time (4-byte milliseconds of the day) and
// date-time (8-byte double of milliseconds).
class TDateTimeField : public TField {
 public:
  explicit TDateTimeField(TComponent* owner = nullptr) : TDateTimeField(owner, TFieldType::kDateTime) {}
  int DataSize() const override;
  std::string AsString() const override;
  void SetAsString(const std::string& value) override;
  double AsFloat() const override { return AsDateTime(); }
  void SetAsFloat(double value) override { SetAsDateTime(value); }
  TDateTime AsDateTime() const override;
  void SetAsDateTime(TDateTime value) override;
  TVariant Value() const override;

 protected:
  TDateTimeField(TComponent* owner, TFieldType type) : TField(owner, type) {}
  int DefaultWidth() const override { return DataType() == TFieldType::kDateTime ? 19 : 10; }
};

class TDateField : public TDateTimeField {
 public:
  explicit TDateField(TComponent* owner = nullptr) : TDateTimeField(owner, TFieldType::kDate) {}
};

class TTimeField : public TDateTimeField {
 public:
  explicit TTimeField(TComponent* owner = nullptr) : TDateTimeField(owner, TFieldType::kTime) {}
};

// Raw bytes of Size; the text form is the bytes themselves.
class TBytesField : public TField {
 public:
  explicit TBytesField(TComponent* owner = nullptr, int size = 16) : TBytesField(owner, TFieldType::kBytes, size) {}
  int DataSize() const override { return Size(); }
  std::string AsString() const override;
  void SetAsString(const std::string& value) override;
  std::string DisplayText() const override;
  TVariant Value() const override;

 protected:
  TBytesField(TComponent* owner, TFieldType type, int size);
};

class TVarBytesField : public TBytesField {
 public:
  explicit TVarBytesField(TComponent* owner = nullptr, int size = 16)
      : TBytesField(owner, TFieldType::kVarBytes, size) {}
};

// Blob fields keep their content outside the record; it is read and
// written through the dataset's blob streams.
class TBlobField : public TField {
 public:
  explicit TBlobField(TComponent* owner = nullptr, TFieldType type = TFieldType::kBlob) : TField(owner, type) {}
  int DataSize() const override { return 0; }
  std::string AsString() const override;
  void SetAsString(const std::string& value) override;
  // "(MEMO)" for a memo with content, "(memo)" for an empty one; likewise
  // BLOB and GRAPHIC.
  std::string DisplayText() const override;
  TVariant Value() const override;
};

class TMemoField : public TBlobField {
 public:
  explicit TMemoField(TComponent* owner = nullptr) : TBlobField(owner, TFieldType::kMemo) {}
};

class TGraphicField : public TBlobField {
 public:
  explicit TGraphicField(TComponent* owner = nullptr) : TBlobField(owner, TFieldType::kGraphic) {}
};

// Structured fields (ADT, array, reference, nested dataset): no bytes in
// the record; they show their kind, e.g. "(ADT)".
class TObjectField : public TField {
 public:
  TObjectField(TComponent* owner, TFieldType type) : TField(owner, type) {}
  int DataSize() const override { return 0; }
  std::string AsString() const override { return DisplayText(); }
  std::string DisplayText() const override;
  TVariant Value() const override { return {}; }
};

class TADTField : public TObjectField {
 public:
  explicit TADTField(TComponent* owner = nullptr) : TObjectField(owner, TFieldType::kADT) {}
};
class TArrayField : public TObjectField {
 public:
  explicit TArrayField(TComponent* owner = nullptr) : TObjectField(owner, TFieldType::kArray) {}
};
class TReferenceField : public TObjectField {
 public:
  explicit TReferenceField(TComponent* owner = nullptr) : TObjectField(owner, TFieldType::kReference) {}
};
class TDataSetField : public TObjectField {
 public:
  explicit TDataSetField(TComponent* owner = nullptr) : TObjectField(owner, TFieldType::kDataSet) {}
};

// The field object for a definition's type: "Field '%s' is of an unknown
// type" for kUnknown.
TField* CreateFieldForType(TComponent* owner, TFieldType type, int size, const std::string& name);

}  // namespace fw
