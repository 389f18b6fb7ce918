#pragma once
// TVariant: a field value of any kind, or null. Key values for searches,
// lookup results and Field.Value travel in it. An array of values answers a
// lookup of several result fields.

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "framework/data/value_text.h"

namespace fw {

class TVariant {
 public:
  enum class TType : uint8_t { kNull, kBoolean, kInteger, kFloat, kString, kDateTime, kArray };

  TVariant() = default;
  TVariant(bool value) : value_(value) {}
  template <class T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>)
  TVariant(T value) : value_(int64_t(value)) {}
  TVariant(double value) : value_(value) {}
  TVariant(std::string value) : value_(std::move(value)) {}
  TVariant(const char* value) : value_(std::string(value)) {}
  static TVariant FromDateTime(TDateTime value);
  static TVariant Array(std::vector<TVariant> elements);

  TType Type() const;
  bool IsNull() const { return value_.index() == 0; }

  // The elements of an array; empty for any other value.
  const std::vector<TVariant>& Elements() const;

  // Conversions; a null converts to false, 0 or "". A string that does not
  // convert raises the conversion error of the target type; an array
  // converts to nothing ("Invalid variant type conversion").
  bool AsBoolean() const;
  int64_t AsInteger() const;
  double AsFloat() const;
  std::string AsString() const;
  TDateTime AsDateTime() const;

  bool operator==(const TVariant& other) const;

 private:
  using TElements = std::shared_ptr<const std::vector<TVariant>>;
  std::variant<std::monostate, bool, int64_t, double, std::string, TElements> value_;
  bool isDate_ = false;  // a double that is a date-time value
};

}  // namespace fw
