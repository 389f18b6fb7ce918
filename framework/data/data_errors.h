#pragma once
// The dataset framework's error texts and the helpers that raise them.
// Database errors are fw::EDatabaseError; value conversions that fail are
// fw::EConvertError. Texts are English and fixed; "%s" and "%d" stand for
// the parts filled in by fw::FormatMessage.

#include <exception>
#include <functional>
#include <initializer_list>
#include <string>

#include "framework/core/exceptions.h"

namespace fw {

// A silent exception: it ends an operation without a message (a handler
// that answers "abort" raises it).
class EAbort : public Exception {
 public:
  EAbort() : Exception("Operation aborted") {}
};

namespace msg {
inline constexpr const char* kFieldNotFound = "Field '%s' not found";
inline constexpr const char* kDataSetClosed = "Cannot perform this operation on a closed dataset";
inline constexpr const char* kDataSetOpen = "Cannot perform this operation on an open dataset";
inline constexpr const char* kNotEditing = "Dataset not in edit or insert mode";
inline constexpr const char* kDataSetReadOnly = "Cannot modify a read-only dataset";
inline constexpr const char* kDataSetEmpty = "Cannot perform this operation on an empty dataset";
inline constexpr const char* kFieldReadOnly = "Field '%s' cannot be modified";
inline constexpr const char* kFieldRequired = "Field '%s' must have a value";
inline constexpr const char* kFieldAccessError = "Cannot access field '%s' as type %s";
inline constexpr const char* kFieldRangeError = "%s is not a valid value for field '%s'. The allowed range is %s to %s";
inline constexpr const char* kFieldTypeMismatch = "Type mismatch for field '%s', expecting: %s actual: %s";
inline constexpr const char* kDuplicateFieldName = "Duplicate field name '%s'";
inline constexpr const char* kFieldIndexError = "Field index out of range";
inline constexpr const char* kLookupInfoError = "Lookup information for field '%s' is incomplete";
inline constexpr const char* kRecordNotFound = "Record not found";
inline constexpr const char* kBookmarkNotFound = "Bookmark not found for dataset";
inline constexpr const char* kCircularDataLink = "Circular datalinks are not allowed";
inline constexpr const char* kNoDataSet = "Missing DataSet property";
inline constexpr const char* kFieldNoDataSet = "Field '%s' has no dataset";
inline constexpr const char* kUnknownFieldType = "Field '%s' is of an unknown type";
inline constexpr const char* kInvalidIntegerValue = "'%s' is not a valid integer value";
inline constexpr const char* kInvalidFloatValue = "'%s' is not a valid floating point value";
inline constexpr const char* kInvalidBcdValue = "'%s' is not a valid BCD value";
inline constexpr const char* kInvalidBoolValue = "'%s' is not a valid boolean value";
inline constexpr const char* kInvalidDate = "'%s' is not a valid date";
inline constexpr const char* kInvalidTime = "'%s' is not a valid time";
inline constexpr const char* kInvalidDateTime = "'%s' is not a valid date and time";
inline constexpr const char* kFieldSizeTooLarge = "Value too large for field '%s'";
}  // namespace msg

[[noreturn]] void DatabaseError(const std::string& message);
[[noreturn]] void DatabaseErrorFmt(const char* pattern, std::initializer_list<std::string> args);
[[noreturn]] void ConvertErrorFmt(const char* pattern, std::initializer_list<std::string> args);

// The application's default handler for exceptions that must not escape
// (an event handler's failure inside a filter, say). The application sets
// it; until then the message goes to standard error.
using TExceptionHandler = std::function<void(const std::exception&)>;
void SetApplicationExceptionHandler(TExceptionHandler handler);
void ApplicationHandleException(const std::exception& error);

}  // namespace fw
