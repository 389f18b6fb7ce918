#include "framework/data/standard_fields.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "framework/data/data_errors.h"
#include "framework/data/data_set.h"

namespace fw {

namespace {

// Little-endian native values.
int64_t LoadSigned(const uint8_t* p, int width) {
  uint64_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = (v << 8) | p[i];
  const int bits = width * 8;
  if (bits < 64 && (v >> (bits - 1)) != 0) v |= ~uint64_t(0) << bits;
  return int64_t(v);
}

uint64_t LoadUnsigned(const uint8_t* p, int width) {
  uint64_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

void StoreLE(uint8_t* p, uint64_t v, int width) {
  for (int i = 0; i < width; ++i) p[i] = uint8_t(v >> (8 * i));
}

double LoadDouble(const uint8_t* p) {
  const uint64_t bits = LoadUnsigned(p, 8);
  double d;
  std::memcpy(&d, &bits, 8);
  return d;
}

void StoreDouble(uint8_t* p, double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, 8);
  StoreLE(p, bits, 8);
}

// The native bytes of a field, or an empty vector when it is null.
std::vector<uint8_t> Native(const TField& field) {
  std::vector<uint8_t> bytes(size_t(field.DataSize()) + 1, 0);
  if (!field.GetData(bytes.data())) bytes.clear();
  return bytes;
}

std::string Trimmed(const std::string& s) {
  size_t b = 0;
  size_t e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

char Upper(char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; }

bool SameTextPrefix(const std::string& text, const std::string& word) {
  if (text.size() > word.size()) return false;
  for (size_t i = 0; i < text.size(); ++i)
    if (Upper(text[i]) != Upper(word[i])) return false;
  return true;
}

// The number in a field's text (0 for an empty text), raising `message`
// when the text is not one.
template <class T, class Parse>
T ParseText(const std::string& text, Parse parse, const char* message) {
  T value{};
  if (!text.empty() && !parse(text, value)) ConvertErrorFmt(message, {text});
  return value;
}

// Text given to a numeric field: empty clears it, otherwise the parsed
// number is stored (or `message` raised).
template <class T, class Parse, class Store>
void AssignText(TField& field, const std::string& text, Parse parse, const char* message, Store store) {
  if (Trimmed(text).empty()) {
    field.Clear();
    return;
  }
  T value{};
  if (!parse(text, value)) ConvertErrorFmt(message, {text});
  store(value);
}

bool ParseInt(std::string_view text, int64_t& value) { return TryTextToInt(text, value); }
bool ParseFloat(std::string_view text, double& value) { return TryTextToFloat(text, value); }
bool ParseCurrency(std::string_view text, int64_t& value) { return TryTextToCurrency(text, value); }

}  // namespace

// ---------------------------------------------------------------- string

TStringField::TStringField(TComponent* owner, int size) : TField(owner, TFieldType::kString) { SetSize(size); }

std::string TStringField::AsString() const {
  const std::vector<uint8_t> bytes = Native(*this);
  if (bytes.empty()) return {};
  const auto* text = reinterpret_cast<const char*>(bytes.data());
  return std::string(text, strnlen(text, size_t(Size())));
}

void TStringField::SetAsString(const std::string& value) {
  std::vector<uint8_t> bytes(size_t(DataSize()), 0);
  std::memcpy(bytes.data(), value.data(), std::min(value.size(), size_t(Size())));
  SetData(bytes.data());
}

int32_t TStringField::AsInteger() const {
  const int64_t v = AsLargeInt();
  if (v < INT32_MIN || v > INT32_MAX) ConvertErrorFmt(msg::kInvalidIntegerValue, {AsString()});
  return int32_t(v);
}

void TStringField::SetAsInteger(int32_t value) { SetAsString(IntToText(value)); }

int64_t TStringField::AsLargeInt() const { return ParseText<int64_t>(AsString(), ParseInt, msg::kInvalidIntegerValue); }

void TStringField::SetAsLargeInt(int64_t value) { SetAsString(IntToText(value)); }

double TStringField::AsFloat() const { return ParseText<double>(AsString(), ParseFloat, msg::kInvalidFloatValue); }

void TStringField::SetAsFloat(double value) { SetAsString(FloatToText(value)); }

bool TStringField::AsBoolean() const {
  const std::string text = AsString();
  return !text.empty() && (Upper(text[0]) == 'T' || Upper(text[0]) == 'Y');
}

void TStringField::SetAsBoolean(bool value) { SetAsString(value ? "T" : "F"); }

TDateTime TStringField::AsDateTime() const {
  const std::string text = AsString();
  TDateTime v = 0;
  if (!TryTextToDateTime(text, v)) ConvertErrorFmt(msg::kInvalidDateTime, {text});
  return v;
}

void TStringField::SetAsDateTime(TDateTime value) { SetAsString(DateTimeToText(value)); }

TVariant TStringField::Value() const {
  if (IsNull()) return {};
  return TVariant(AsString());
}

// ---------------------------------------------------------------- integers

TIntegerField::TIntegerField(TComponent* owner, TFieldType type) : TField(owner, type) {
  switch (type) {
    case TFieldType::kSmallint: low_ = INT16_MIN, high_ = INT16_MAX; break;
    case TFieldType::kWord: low_ = 0, high_ = UINT16_MAX; break;
    default: low_ = INT32_MIN, high_ = INT32_MAX; break;
  }
}

int TIntegerField::DataSize() const {
  return DataType() == TFieldType::kSmallint || DataType() == TFieldType::kWord ? 2 : 4;
}

int TIntegerField::DefaultWidth() const {
  switch (DataType()) {
    case TFieldType::kSmallint: return 6;
    case TFieldType::kWord: return 5;
    default: return 11;
  }
}

int32_t TIntegerField::AsInteger() const {
  const std::vector<uint8_t> bytes = Native(*this);
  if (bytes.empty()) return 0;
  if (DataType() == TFieldType::kWord) return int32_t(LoadUnsigned(bytes.data(), 2));
  return int32_t(LoadSigned(bytes.data(), DataSize()));
}

std::string TIntegerField::AsString() const { return IsNull() ? std::string() : IntToText(AsInteger()); }

void TIntegerField::SetAsString(const std::string& value) {
  AssignText<int64_t>(*this, value, ParseInt, msg::kInvalidIntegerValue, [this](int64_t v) { SetAsLargeInt(v); });
}

void TIntegerField::CheckRange(int64_t value) const {
  int64_t low = low_;
  int64_t high = high_;
  if (MinValue != 0 || MaxValue != 0) {
    low = std::max<int64_t>(low, MinValue);
    high = std::min<int64_t>(high, MaxValue);
  }
  if (value < low || value > high) RangeError(IntToText(value), IntToText(low), IntToText(high));
}

void TIntegerField::SetAsInteger(int32_t value) { SetAsLargeInt(value); }

void TIntegerField::SetAsLargeInt(int64_t value) {
  CheckRange(value);
  uint8_t bytes[4] = {};
  StoreLE(bytes, uint64_t(value), DataSize());
  SetData(bytes);
}

void TIntegerField::SetAsFloat(double value) {
  if (!std::isfinite(value) || std::fabs(value) > 9e18) RangeError(FloatToText(value), IntToText(low_), IntToText(high_));
  SetAsLargeInt(std::llround(value));
}

TVariant TIntegerField::Value() const {
  if (IsNull()) return {};
  return TVariant(AsInteger());
}

// ---------------------------------------------------------------- large integers

int64_t TLargeintField::AsLargeInt() const {
  const std::vector<uint8_t> bytes = Native(*this);
  return bytes.empty() ? 0 : LoadSigned(bytes.data(), 8);
}

int32_t TLargeintField::AsInteger() const {
  const int64_t v = AsLargeInt();
  if (v < INT32_MIN || v > INT32_MAX) RangeError(IntToText(v), IntToText(INT32_MIN), IntToText(INT32_MAX));
  return int32_t(v);
}

std::string TLargeintField::AsString() const { return IsNull() ? std::string() : IntToText(AsLargeInt()); }

void TLargeintField::SetAsString(const std::string& value) {
  AssignText<int64_t>(*this, value, ParseInt, msg::kInvalidIntegerValue, [this](int64_t v) { SetAsLargeInt(v); });
}

void TLargeintField::SetAsLargeInt(int64_t value) {
  uint8_t bytes[8];
  StoreLE(bytes, uint64_t(value), 8);
  SetData(bytes);
}

void TLargeintField::SetAsFloat(double value) {
  if (!std::isfinite(value) || std::fabs(value) > 9.2e18)
    RangeError(FloatToText(value), IntToText(INT64_MIN), IntToText(INT64_MAX));
  SetAsLargeInt(std::llround(value));
}

TVariant TLargeintField::Value() const {
  if (IsNull()) return {};
  return TVariant(AsLargeInt());
}

// ---------------------------------------------------------------- floats

double TFloatField::AsFloat() const {
  const std::vector<uint8_t> bytes = Native(*this);
  return bytes.empty() ? 0 : LoadDouble(bytes.data());
}

std::string TFloatField::AsString() const { return IsNull() ? std::string() : FloatToText(AsFloat()); }

std::string TFloatField::DisplayText() const {
  if (!Currency || IsNull()) return AsString();
  const double v = AsFloat();
  if (!std::isfinite(v) || std::fabs(v) > 9e14) return AsString();
  return CurrencyToText(std::llround(v * double(kCurrencyScale)), 2);
}

void TFloatField::SetAsString(const std::string& value) {
  AssignText<double>(*this, value, ParseFloat, msg::kInvalidFloatValue, [this](double v) { SetAsFloat(v); });
}

int32_t TFloatField::AsInteger() const {
  const double v = AsFloat();
  if (!(v >= double(INT32_MIN) - 0.5 && v < double(INT32_MAX) + 0.5))
    RangeError(FloatToText(v), IntToText(INT32_MIN), IntToText(INT32_MAX));
  return int32_t(std::llround(v));
}

void TFloatField::SetAsFloat(double value) {
  if ((MinValue != 0 || MaxValue != 0) && (value < MinValue || value > MaxValue))
    RangeError(FloatToText(value), FloatToText(MinValue), FloatToText(MaxValue));
  uint8_t bytes[8];
  StoreDouble(bytes, value);
  SetData(bytes);
}

TVariant TFloatField::Value() const {
  if (IsNull()) return {};
  return TVariant(AsFloat());
}

// ---------------------------------------------------------------- BCD

TBCDField::TBCDField(TComponent* owner, int scale) : TField(owner, TFieldType::kBCD) { SetSize(scale); }

int64_t TBCDField::AsUnits() const {
  const std::vector<uint8_t> bytes = Native(*this);
  if (bytes.empty()) return 0;
  return DataSet()->BcdToCurrency(bytes.data());
}

void TBCDField::SetAsUnits(int64_t units) {
  uint8_t bytes[8] = {};
  if (DataSet() == nullptr) DatabaseErrorFmt(msg::kFieldNoDataSet, {DisplayName()});
  DataSet()->CurrencyToBcd(units, bytes, Size());
  SetData(bytes);
}

std::string TBCDField::AsString() const {
  if (IsNull()) return {};
  std::string text = CurrencyToText(AsUnits(), 4);
  // Exact value without trailing zeros: "12.5", "3".
  const size_t separator = text.find(FormatSettings().DecimalSeparator);
  if (separator != std::string::npos) {
    while (text.back() == '0') text.pop_back();
    if (text.size() == separator + 1) text.pop_back();
  }
  return text;
}

void TBCDField::SetAsString(const std::string& value) {
  AssignText<int64_t>(*this, value, ParseCurrency, msg::kInvalidBcdValue, [this](int64_t v) { SetAsUnits(v); });
}

int32_t TBCDField::AsInteger() const {
  const int64_t units = AsUnits();
  const int64_t whole = (units >= 0 ? units + kCurrencyScale / 2 : units - kCurrencyScale / 2) / kCurrencyScale;
  if (whole < INT32_MIN || whole > INT32_MAX) RangeError(AsString(), IntToText(INT32_MIN), IntToText(INT32_MAX));
  return int32_t(whole);
}

double TBCDField::AsFloat() const { return double(AsUnits()) / double(kCurrencyScale); }

void TBCDField::SetAsFloat(double value) {
  const double scaled = std::round(value * double(kCurrencyScale));
  if (!std::isfinite(scaled) || std::fabs(scaled) > 9.2e18) ConvertErrorFmt(msg::kInvalidBcdValue, {FloatToText(value)});
  SetAsUnits(int64_t(scaled));
}

TVariant TBCDField::Value() const {
  if (IsNull()) return {};
  return TVariant(AsFloat());
}

// ---------------------------------------------------------------- boolean

void TBooleanField::SetDisplayValues(const std::string& values) {
  const size_t semicolon = values.find(';');
  trueText_ = values.substr(0, semicolon);
  falseText_ = semicolon == std::string::npos ? std::string() : values.substr(semicolon + 1);
}

bool TBooleanField::AsBoolean() const {
  const std::vector<uint8_t> bytes = Native(*this);
  return !bytes.empty() && LoadUnsigned(bytes.data(), 2) != 0;
}

std::string TBooleanField::AsString() const {
  if (IsNull()) return {};
  return AsBoolean() ? trueText_ : falseText_;
}

void TBooleanField::SetAsString(const std::string& value) {
  const std::string text = Trimmed(value);
  if (text.empty()) {
    Clear();
  } else if (SameTextPrefix(text, falseText_)) {
    SetAsBoolean(false);
  } else if (SameTextPrefix(text, trueText_)) {
    SetAsBoolean(true);
  } else {
    ConvertErrorFmt(msg::kInvalidBoolValue, {value});
  }
}

void TBooleanField::SetAsBoolean(bool value) {
  uint8_t bytes[2] = {uint8_t(value ? 1 : 0), 0};
  SetData(bytes);
}

TVariant TBooleanField::Value() const {
  if (IsNull()) return {};
  return TVariant(AsBoolean());
}

// ---------------------------------------------------------------- dates and times

int TDateTimeField::DataSize() const { return DataType() == TFieldType::kDateTime ? 8 : 4; }

TDateTime TDateTimeField::AsDateTime() const {
  const std::vector<uint8_t> bytes = Native(*this);
  if (bytes.empty()) return 0;
  switch (DataType()) {
    case TFieldType::kDate: return ComposeDateTime(int32_t(LoadSigned(bytes.data(), 4)), 0);
    case TFieldType::kTime: return double(LoadSigned(bytes.data(), 4)) / double(kMsPerDay);
    default: {
      const double ms = LoadDouble(bytes.data());
      return ms / double(kMsPerDay) - double(kDateDelta);
    }
  }
}

void TDateTimeField::SetAsDateTime(TDateTime value) {
  int32_t dayNumber = 0;
  int64_t ms = 0;
  SplitDateTime(value, dayNumber, ms);
  uint8_t bytes[8] = {};
  switch (DataType()) {
    case TFieldType::kDate:
      if (dayNumber < 1) ConvertErrorFmt(msg::kInvalidDate, {FloatToText(value)});
      StoreLE(bytes, uint32_t(dayNumber), 4);
      break;
    case TFieldType::kTime: StoreLE(bytes, uint32_t(ms), 4); break;
    default:
      if (dayNumber < 1) ConvertErrorFmt(msg::kInvalidDateTime, {FloatToText(value)});
      StoreDouble(bytes, double(dayNumber) * double(kMsPerDay) + double(ms));
      break;
  }
  SetData(bytes);
}

std::string TDateTimeField::AsString() const {
  if (IsNull()) return {};
  switch (DataType()) {
    case TFieldType::kDate: return DateToText(AsDateTime());
    case TFieldType::kTime: return TimeToText(AsDateTime());
    default: return DateTimeToText(AsDateTime());
  }
}

void TDateTimeField::SetAsString(const std::string& value) {
  if (Trimmed(value).empty()) {
    Clear();
    return;
  }
  TDateTime v = 0;
  switch (DataType()) {
    case TFieldType::kDate:
      if (!TryTextToDate(value, v)) ConvertErrorFmt(msg::kInvalidDate, {value});
      break;
    case TFieldType::kTime:
      if (!TryTextToTime(value, v)) ConvertErrorFmt(msg::kInvalidTime, {value});
      break;
    default:
      if (!TryTextToDateTime(value, v)) ConvertErrorFmt(msg::kInvalidDateTime, {value});
      break;
  }
  SetAsDateTime(v);
}

TVariant TDateTimeField::Value() const {
  if (IsNull()) return {};
  return TVariant::FromDateTime(AsDateTime());
}

// ---------------------------------------------------------------- bytes

TBytesField::TBytesField(TComponent* owner, TFieldType type, int size) : TField(owner, type) { SetSize(size); }

std::string TBytesField::AsString() const {
  const std::vector<uint8_t> bytes = Native(*this);
  if (bytes.empty()) return {};
  return std::string(reinterpret_cast<const char*>(bytes.data()), size_t(DataSize()));
}

void TBytesField::SetAsString(const std::string& value) {
  std::vector<uint8_t> bytes(size_t(DataSize()), 0);
  std::memcpy(bytes.data(), value.data(), std::min(value.size(), bytes.size()));
  SetData(bytes.data());
}

std::string TBytesField::DisplayText() const {
  return DataType() == TFieldType::kVarBytes ? "(VarBytes)" : "(Bytes)";
}

TVariant TBytesField::Value() const {
  if (IsNull()) return {};
  return TVariant(AsString());
}

// ---------------------------------------------------------------- blobs

std::string TBlobField::AsString() const {
  if (DataSet() == nullptr) DatabaseErrorFmt(msg::kFieldNoDataSet, {DisplayName()});
  std::unique_ptr<TStream> stream = DataSet()->CreateBlobStream(const_cast<TBlobField&>(*this), TBlobStreamMode::kRead);
  if (!stream) return {};
  std::string out(size_t(std::max(0, stream->Size())), '\0');
  const int32_t got = out.empty() ? 0 : stream->Read(out.data(), int32_t(out.size()));
  out.resize(size_t(std::max(0, got)));
  return out;
}

void TBlobField::SetAsString(const std::string& value) {
  if (DataSet() == nullptr) DatabaseErrorFmt(msg::kFieldNoDataSet, {DisplayName()});
  std::unique_ptr<TStream> stream = DataSet()->CreateBlobStream(*this, TBlobStreamMode::kWrite);
  if (!stream) DatabaseErrorFmt(msg::kFieldReadOnly, {DisplayName()});
  if (!value.empty()) stream->Write(value.data(), int32_t(value.size()));
}

std::string TBlobField::DisplayText() const {
  const char* word = DataType() == TFieldType::kMemo      ? "MEMO"
                     : DataType() == TFieldType::kGraphic ? "GRAPHIC"
                                                          : "BLOB";
  std::string text = std::string("(") + word + ")";
  if (IsNull())
    for (char& c : text) c = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
  return text;
}

TVariant TBlobField::Value() const {
  if (IsNull()) return {};
  return TVariant(AsString());
}

// ---------------------------------------------------------------- object fields

std::string TObjectField::DisplayText() const {
  switch (DataType()) {
    case TFieldType::kADT: return "(ADT)";
    case TFieldType::kArray: return "(Array)";
    case TFieldType::kReference: return "(Reference)";
    default: return "(DataSet)";
  }
}

// ---------------------------------------------------------------- factory

TField* CreateFieldForType(TComponent* owner, TFieldType type, int size, const std::string& name) {
  switch (type) {
    case TFieldType::kString: return new TStringField(owner, size);
    case TFieldType::kSmallint: return new TSmallintField(owner);
    case TFieldType::kInteger: return new TIntegerField(owner);
    case TFieldType::kWord: return new TWordField(owner);
    case TFieldType::kAutoInc: return new TAutoIncField(owner);
    case TFieldType::kLargeint: return new TLargeintField(owner);
    case TFieldType::kBoolean: return new TBooleanField(owner);
    case TFieldType::kFloat: return new TFloatField(owner);
    case TFieldType::kCurrency: return new TCurrencyField(owner);
    case TFieldType::kBCD: return new TBCDField(owner, size);
    case TFieldType::kDate: return new TDateField(owner);
    case TFieldType::kTime: return new TTimeField(owner);
    case TFieldType::kDateTime: return new TDateTimeField(owner);
    case TFieldType::kBytes: return new TBytesField(owner, size);
    case TFieldType::kVarBytes: return new TVarBytesField(owner, size);
    case TFieldType::kBlob:
    case TFieldType::kFmtMemo:
    case TFieldType::kTypedBinary: return new TBlobField(owner, type);
    case TFieldType::kMemo: return new TMemoField(owner);
    case TFieldType::kGraphic: return new TGraphicField(owner);
    case TFieldType::kADT: return new TADTField(owner);
    case TFieldType::kArray: return new TArrayField(owner);
    case TFieldType::kReference: return new TReferenceField(owner);
    case TFieldType::kDataSet: return new TDataSetField(owner);
    case TFieldType::kUnknown: break;
  }
  DatabaseErrorFmt(msg::kUnknownFieldType, {name});
}

}  // namespace fw
