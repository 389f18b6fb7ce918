#include "tools/tabula/record_filter.h"

#include "dataset/expr_parser.h"
#include "tabula/engine_error.h"
#include "tabula/field_types.h"
#include "tabula/filter_expr.h"
#include "tabula/locale.h"
#include "framework/core/exceptions.h"
#include "tools/tabula/table_reader.h"
#include "tools/tabula/tool_error.h"

namespace tabula::tool {

namespace {

db::TFilterDataType DataTypeOf(const TFieldDesc& f) {
  using T = db::TFilterDataType;
  switch (f.FieldType) {
    case kFldString: return T::kString;
    case kFldInt16: return T::kSmallint;
    case kFldInt32: return f.SubType == kSubAutoInc ? T::kAutoInc : T::kInteger;
    case kFldUInt16: return T::kWord;
    case kFldUInt32: return T::kInteger;
    case kFldBoolean: return T::kBoolean;
    case kFldFloat: return f.SubType == kSubCurrency ? T::kCurrency : T::kFloat;
    case kFldBcd: return T::kBcd;
    case kFldDate: return T::kDate;
    case kFldTime: return T::kTime;
    case kFldTimestamp: return T::kDateTime;
    default: return T::kOther;
  }
}

class TFieldSource : public db::TFilterFieldSource {
 public:
  TFieldSource(const std::vector<TFieldDesc>& fields, uint16_t lang, uint16_t sort) : lang_(lang), sort_(sort) {
    for (const TFieldDesc& f : fields) {
      db::TFilterField field;
      field.Name = f.Name;
      field.FieldNo = f.FieldNo;
      field.DataType = DataTypeOf(f);
      field.Decimals = f.Scale;
      fields_.push_back(field);
    }
  }
  const db::TFilterField* FindFilterField(const std::string& name) const override {
    for (const db::TFilterField& f : fields_)
      if (CompareStrings(lang_, sort_, f.Name, true, 0, name) == 0) return &f;
    return nullptr;
  }
  uint16_t LanguageId() const override { return lang_; }
  uint16_t SortId() const override { return sort_; }

 private:
  std::vector<db::TFilterField> fields_;
  uint16_t lang_, sort_;
};

}  // namespace

TRecordFilter::TRecordFilter(const std::string& text, const std::vector<TFieldDesc>& fields, uint16_t langId,
                             uint16_t sortId)
    : langId_(langId), sortId_(sortId) {
  TFieldSource source(fields, langId, sortId);
  std::vector<uint8_t> buffer;
  try {
    db::TExprParser parser(Utf8ToCp1251(text), source, 0);
    buffer = parser.FilterData();
  } catch (const fw::Exception& e) {
    throw EUsageError("--filter: " + EngineErrorText(e));
  }
  auto lookup = [&](const std::string& name, TFilterFieldInfo& info) {
    for (const TFieldDesc& f : fields)
      if (CompareStrings(langId, sortId, f.Name, true, 0, name) == 0) {
        info.FieldNo = uint16_t(f.FieldNo);
        info.FieldType = f.FieldType;
        info.SubType = f.SubType;
        info.Width = f.DataSize;
        info.Scale = f.Scale;
        info.Offset = f.Offset;
        return true;
      }
    return false;
  };
  TFilterConversion conversion = ConvertFilterBuffer(buffer.data(), buffer.size(), lookup);
  if (conversion.Code != 0)
    throw EUsageError("--filter: " + Cp1251ToUtf8(BuildEngineMessage(uint16_t(conversion.Code))));
  root_ = std::move(conversion.Root);
}

TRecordFilter::~TRecordFilter() = default;

bool TRecordFilter::Accepts(const uint8_t* record) const { return EvaluateFilter(*root_, record, langId_, sortId_); }

}  // namespace tabula::tool
