#pragma once
// TVariant: a field value of any kind, or null. Key values for searches,
// lookup results and Field.Value travel in it.

#include <cstdint>
#include <string>
#include <type_traits>
#include <variant>

#include "framework/data/value_text.h"

namespace fw {

class TVariant {
 public:
  enum class TType : uint8_t { kNull, kBoolean, kInteger, kFloat, kString, kDateTime };

  TVariant() = default;
  TVariant(bool value) : value_(value) {}
  template <class T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>)
  TVariant(T value) : value_(int64_t(value)) {}
  TVariant(double value) : value_(value) {}
  TVariant(std::string value) : value_(std::move(value)) {}
  TVariant(const char* value) : value_(std::string(value)) {}
  static TVariant FromDateTime(TDateTime value);

  TType Type() const;
  bool IsNull() const { return value_.index() == 0; }

  // Conversions; a null converts to false, 0 or "". A string that does not
  // convert raises the conversion error of the target type.
  bool AsBoolean() const;
  int64_t AsInteger() const;
  double AsFloat() const;
  std::string AsString() const;
  TDateTime AsDateTime() const;

  bool operator==(const TVariant& other) const { return value_ == other.value_ && isDate_ == other.isDate_; }

 private:
  std::variant<std::monostate, bool, int64_t, double, std::string> value_;
  bool isDate_ = false;  // a double that is a date-time value
};

}  // namespace fw
