#pragma once
// Engine errors: every failure inside the table engine is a numeric code,
// up to four parameters kept in the current session's error context, and an
// ETabulaEngineError whose message is built from the fixed message table.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "framework/core/exceptions.h"

namespace tabula {

// Engine error and result codes. The high byte groups them.
enum : uint16_t {
  kErrBeginningOfFile = 8705,      // 0x2201, result code
  kErrEndOfFile = 8706,            // 0x2202, result code
  kErrKeyNotFound = 8708,          // 0x2204
  kErrRecordNotFound = 8710,       // 0x2206, result code
  kErrEndOfBlob = 8711,            // 0x2207, result code
  kErrHeaderCorrupt = 8961,        // 0x2301
  kErrRecordBuffersCorrupt = 8962, // 0x2302
  kErrBlobBuffersCorrupt = 8963,   // 0x2303
  kErrIndexPagesCorrupt = 8965,    // 0x2305
  kErrRead = 9217,                 // 0x2401
  kErrWrite = 9218,                // 0x2402
  kErrDelete = 9220,               // 0x2404
  kErrHeaderAccess = 9221,         // 0x2405
  kErrRecordSize = 9477,           // 0x2505
  kErrFileFull = 9479,             // 0x2507
  kErrTooManyFilters = 9482,       // 0x250A
  kErrIndexLimits = 9487,          // 0x250F
  kErrFieldLimits = 9492,          // 0x2514
  kErrTooManyBlobs = 9494,         // 0x2516
  kErrBlobFieldsOrBlockSize = 9498,// 0x251A
  kErrDuplicateKey = 9729,         // 0x2601
  kErrBelowMinimum = 9730,         // 0x2602
  kErrAboveMaximum = 9731,         // 0x2603
  kErrValueRequired = 9732,        // 0x2604
  kErrInvalidField = 9985,         // 0x2701
  kErrPrimaryExists = 9993,        // 0x2709
  kErrBlobOffset = 9998,           // 0x270E
  kErrFieldDefinition = 10000,     // 0x2710
  kErrValidityCheck = 10006,       // 0x2716
  kErrIndexNameMissing = 10010,    // 0x271A
  kErrInvalidPassword = 10015,     // 0x271F
  kErrInvalidIndexName = 10022,    // 0x2726
  kErrIndexFieldNumber = 10023,    // 0x2727
  kErrKeySize = 10026,             // 0x272A
  kErrIndexExists = 10027,         // 0x272B
  kErrBlobLength = 10029,          // 0x272D
  kErrBlobHandle = 10030,          // 0x272E, result code
  kErrInUse = 10031,               // 0x272F
  kErrFieldName = 10038,           // 0x2736
  kErrFilterHandle = 10050,        // 0x2742, result code
  kErrFilterExpression = 10051,    // 0x2743, result code
  kErrPrimaryRemove = 10055,       // 0x2747
  kErrTableLocked = 10241,         // 0x2801
  kErrUnlock = 10242,              // 0x2802
  kErrLockFailure = 10249,         // 0x2809
  kErrMustBeExclusive = 10253,     // 0x280D
  kErrRecordInUse = 10258,         // 0x2812
  kErrPasswordRequired = 10498,    // 0x2902
  kErrInvalidBlobField = 10753,    // 0x2A01, result code
  kErrNotInitialized = 10758,      // 0x2A06
  kErrInvalidPath = 11010,         // 0x2B02
  kErrTooManyFiles = 11012,        // 0x2B04
  kErrAccessDenied = 11013,        // 0x2B05
  kErrInvalidHandle = 11014,       // 0x2B06
  kErrOutOfMemory = 11016,         // 0x2B08
  kErrMemoryFileLength = 11017,    // 0x2B09
  kErrDeviceAccess = 11023,        // 0x2B0F
  kErrFileMoved = 11025,           // 0x2B11
  kErrUnknownOs = 11047,           // 0x2B27
  kErrSql = 11949,                 // 0x2EAD
  kErrVersion = 12035,             // 0x2F03
  kErrIndexFieldType = 12292,      // 0x3004
  kErrLanguageDriver = 15878,      // 0x3E06
};

// One entry of an engine exception's error list.
class TTabulaError {
 public:
  TTabulaError(int32_t code, std::string message) : ErrorCode(code), ErrorMessage(std::move(message)) {}
  int32_t ErrorCode;
  std::string ErrorMessage;  // the message text without the "Tabula Engine Error # " prefix
};

// The four parameters of an engine error.
struct TErrorParams {
  std::string FileName;
  std::string FieldName;
  std::string Text;
  std::string IndexName;
};

// Longest message text (without the prefix).
inline constexpr size_t kMaxEngineMessage = 127;

// The engine's exception. Its Errors list always holds exactly one item.
class ETabulaEngineError : public fw::EDatabaseError {
 public:
  // The message from the current session's error context (empty parameters
  // when the engine is not initialised).
  explicit ETabulaEngineError(uint16_t code);
  // The message from the given parameters.
  ETabulaEngineError(uint16_t code, const TErrorParams& params);

  uint16_t Code() const { return static_cast<uint16_t>(Errors.front()->ErrorCode); }

  std::vector<std::shared_ptr<TTabulaError>> Errors;
};

// The one raising call of the engine: stores the code and its parameters in
// the current session's error context (except for 10758) and throws.
// The text of an error for a terminal (UTF-8, one line): an engine error's
// message converted from Windows-1251 with its line breaks joined by "; ",
// any other exception's what().
std::string EngineErrorText(const std::exception& error);

[[noreturn]] void RaiseEngineError(uint16_t code, const std::string& fileName = {},
                                   const std::string& fieldName = {}, const std::string& text = {},
                                   const std::string& indexName = {});

// Throws ETabulaEngineError for a nonzero code without touching the context;
// returns 0 otherwise.
int RaiseIfError(int code);

// The message for a code, from the current session's error context; at most
// 127 characters.
std::string BuildEngineMessage(uint16_t code);
// The same from explicit parameters.
std::string BuildEngineMessage(uint16_t code, const TErrorParams& params);

}  // namespace tabula
