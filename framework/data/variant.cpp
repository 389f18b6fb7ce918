#include "framework/data/variant.h"

#include <cmath>

#include "framework/data/data_errors.h"

namespace fw {

TVariant TVariant::FromDateTime(TDateTime value) {
  TVariant v(value);
  v.isDate_ = true;
  return v;
}

TVariant::TType TVariant::Type() const {
  switch (value_.index()) {
    case 1: return TType::kBoolean;
    case 2: return TType::kInteger;
    case 3: return isDate_ ? TType::kDateTime : TType::kFloat;
    case 4: return TType::kString;
    default: return TType::kNull;
  }
}

bool TVariant::AsBoolean() const {
  switch (value_.index()) {
    case 1: return std::get<bool>(value_);
    case 2: return std::get<int64_t>(value_) != 0;
    case 3: return std::get<double>(value_) != 0;
    case 4: {
      const std::string& s = std::get<std::string>(value_);
      std::string upper;
      for (char c : s) upper += (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
      if (upper == "TRUE") return true;
      if (upper == "FALSE") return false;
      ConvertErrorFmt(msg::kInvalidBoolValue, {s});
    }
    default: return false;
  }
}

int64_t TVariant::AsInteger() const {
  switch (value_.index()) {
    case 1: return std::get<bool>(value_) ? -1 : 0;
    case 2: return std::get<int64_t>(value_);
    case 3: return int64_t(std::llround(std::get<double>(value_)));
    case 4: {
      int64_t v = 0;
      if (!TryTextToInt(std::get<std::string>(value_), v))
        ConvertErrorFmt(msg::kInvalidIntegerValue, {std::get<std::string>(value_)});
      return v;
    }
    default: return 0;
  }
}

double TVariant::AsFloat() const {
  switch (value_.index()) {
    case 1: return std::get<bool>(value_) ? -1 : 0;
    case 2: return double(std::get<int64_t>(value_));
    case 3: return std::get<double>(value_);
    case 4: {
      double v = 0;
      if (!TryTextToFloat(std::get<std::string>(value_), v))
        ConvertErrorFmt(msg::kInvalidFloatValue, {std::get<std::string>(value_)});
      return v;
    }
    default: return 0;
  }
}

std::string TVariant::AsString() const {
  switch (value_.index()) {
    case 1: return std::get<bool>(value_) ? "True" : "False";
    case 2: return IntToText(std::get<int64_t>(value_));
    case 3: return isDate_ ? DateTimeToText(std::get<double>(value_)) : FloatToText(std::get<double>(value_));
    case 4: return std::get<std::string>(value_);
    default: return {};
  }
}

TDateTime TVariant::AsDateTime() const {
  if (value_.index() == 4) {
    TDateTime v = 0;
    if (!TryTextToDateTime(std::get<std::string>(value_), v))
      ConvertErrorFmt(msg::kInvalidDateTime, {std::get<std::string>(value_)});
    return v;
  }
  return AsFloat();
}

}  // namespace fw
