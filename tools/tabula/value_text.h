#pragma once
// Field values as text, the form the tool reads and writes in CSV files,
// dumps and SQLite columns. Texts are Windows-1251.
//
//   string            the characters
//   date              YYYY-MM-DD
//   time              HH:MM:SS.mmm (reading: HH:MM, HH:MM:SS or HH:MM:SS.mmm)
//   timestamp         YYYY-MM-DD HH:MM:SS.mmm (reading: also a 'T' between
//                     the parts, a shorter time, or the date alone)
//   boolean           true / false (reading: also 1 / 0, any letter case)
//   integers          decimal
//   float, extended   the shortest text that reads back to the same double
//   BCD               a decimal with exactly the field's scale (reading:
//                     at most that many decimals)
//   bytes             hexadecimal, two digits a byte, the whole field width
//                     (reading: at most the width; the rest is zero)
// Blobs are not handled here: the commands read and write them whole.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tabula/field_desc.h"
#include "tools/tabula/tool_error.h"

namespace tabula::tool {

// A text that does not fit the field: the reason, without position.
class EValueError : public EToolError {
 public:
  explicit EValueError(const std::string& reason) : EToolError(reason) {}
};

// The text of a non-NULL stored value (desc.DataSize bytes at `data`).
// Raises EValueError for stored bytes that have no text form (a day number
// or time of day out of range).
std::string FormatFieldValue(const TFieldDesc& desc, const uint8_t* data);

// Reads `text` into desc.DataSize bytes of stored value. Raises EValueError.
void ParseFieldValue(const TFieldDesc& desc, std::string_view text, std::vector<uint8_t>& data);

// Pieces, also used for blobs and by the tests.
std::string FormatFloat(double value);
std::string FormatDate(int32_t dayNumber);
std::string FormatTime(int32_t milliseconds);
std::string FormatTimestamp(double timestamp);
std::string FormatBcd(int64_t stored);
std::string HexEncode(const uint8_t* data, size_t size);
// False for an odd length or a character that is not a hex digit.
bool HexDecode(std::string_view text, std::vector<uint8_t>& out);

int32_t ParseDate(std::string_view text);
int32_t ParseTime(std::string_view text);
double ParseTimestamp(std::string_view text);
// The stored BCD form of a decimal text at `scale` decimals.
int64_t ParseBcd(std::string_view text, int scale);
double ParseFloat(std::string_view text);

// 80-bit extended floats as stored (10 bytes, little-endian).
double ExtendedToDouble(const uint8_t* bytes);
void DoubleToExtended(double value, uint8_t* bytes);

// A short name of the field's type for listings ("string(20)", "bcd(2)", "memo").
std::string FieldTypeName(const TFieldDesc& desc);
// True for blob fields whose contents are text (memo, formatted memo).
bool IsTextBlob(const TFieldDesc& desc);

}  // namespace tabula::tool
