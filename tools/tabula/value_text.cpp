#include "tools/tabula/value_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "tabula/field_types.h"
#include "tabula/field_values.h"

namespace tabula::tool {

namespace {

constexpr int32_t kLastDayNumber = 3652059;  // 9999-12-31

[[noreturn]] void Bad(const std::string& reason) { throw EValueError(reason); }

std::string Quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

// Reads exactly `count` decimal digits at text[pos].
bool Digits(std::string_view text, size_t pos, size_t count, int& value) {
  if (pos + count > text.size()) return false;
  value = 0;
  for (size_t i = 0; i < count; ++i) {
    const char c = text[pos + i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

template <typename T>
T ParseInteger(std::string_view text, const char* typeName) {
  int64_t value = 0;
  const char* first = text.data();
  const char* last = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(first, last, value);
  if (text.empty() || ec == std::errc::invalid_argument || ptr != last)
    Bad(Quoted(text) + " is not a whole number");
  if (ec == std::errc::result_out_of_range || value < int64_t(std::numeric_limits<T>::min()) ||
      value > int64_t(std::numeric_limits<T>::max()))
    Bad(Quoted(text) + " is out of the range of a " + typeName + " field (" +
        std::to_string(int64_t(std::numeric_limits<T>::min())) + ".." +
        std::to_string(int64_t(std::numeric_limits<T>::max())) + ")");
  return T(value);
}

}  // namespace

std::string FormatFloat(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  if (value == 0) return std::signbit(value) ? "-0.0" : "0.0";
  char buf[64];
  auto [ptr, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  (void)ec;
  std::string sci(buf, ptr);
  // sci = [-]d[.ddd]e(+|-)xx
  std::string sign;
  if (sci[0] == '-') {
    sign = "-";
    sci.erase(0, 1);
  }
  const size_t e = sci.find('e');
  std::string digits = sci.substr(0, e);
  const int exponent = std::atoi(sci.c_str() + e + 1);
  digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());
  // Like the shortest "repr" form: positional for 1e-4 <= |x| < 1e16.
  if (exponent >= -4 && exponent < 16) {
    std::string out;
    if (exponent < 0) {
      out = "0." + std::string(size_t(-exponent - 1), '0') + digits;
    } else if (size_t(exponent) + 1 >= digits.size()) {
      out = digits + std::string(size_t(exponent) + 1 - digits.size(), '0') + ".0";
    } else {
      out = digits.substr(0, size_t(exponent) + 1) + "." + digits.substr(size_t(exponent) + 1);
    }
    return sign + out;
  }
  std::string mantissa = digits.substr(0, 1);
  if (digits.size() > 1) mantissa += "." + digits.substr(1);
  char exp[16];
  std::snprintf(exp, sizeof exp, "e%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
  return sign + mantissa + exp;
}

std::string FormatDate(int32_t dayNumber) {
  if (dayNumber < 1 || dayNumber > kLastDayNumber) Bad("day number " + std::to_string(dayNumber) + " is not a date");
  int y = 0, m = 0, d = 0;
  DecodeDayNumber(dayNumber, y, m, d);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m, d);
  return buf;
}

std::string FormatTime(int32_t ms) {
  if (ms < 0 || ms >= kMsPerDay) Bad(std::to_string(ms) + " milliseconds is not a time of day");
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60, ms % 1000);
  return buf;
}

std::string FormatTimestamp(double timestamp) {
  if (!std::isfinite(timestamp) || timestamp < double(kMsPerDay) ||
      timestamp >= (double(kLastDayNumber) + 1) * double(kMsPerDay))
    Bad(FormatFloat(timestamp) + " is not a date and time");
  int32_t day = 0, ms = 0;
  SplitTimestamp(timestamp, day, ms);
  return FormatDate(day) + " " + FormatTime(ms);
}

std::string FormatBcd(int64_t stored) {
  const int scale = BcdScale(stored);
  const uint64_t magnitude = stored < 0 ? (0 - uint64_t(stored)) / 10 : uint64_t(stored) / 10;
  std::string digits = std::to_string(magnitude);
  if (digits.size() <= size_t(scale)) digits.insert(0, size_t(scale) + 1 - digits.size(), '0');
  if (scale > 0) digits.insert(digits.size() - size_t(scale), ".");
  return (stored < 0 && magnitude != 0 ? "-" : "") + digits;
}

std::string HexEncode(const uint8_t* data, size_t size) {
  static const char* kHex = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out.push_back(kHex[data[i] >> 4]);
    out.push_back(kHex[data[i] & 15]);
  }
  return out;
}

bool HexDecode(std::string_view text, std::vector<uint8_t>& out) {
  out.clear();
  if (text.size() % 2 != 0) return false;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  out.reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = nibble(text[i]), lo = nibble(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(uint8_t(hi * 16 + lo));
  }
  return true;
}

int32_t ParseDate(std::string_view text) {
  int y = 0, m = 0, d = 0;
  if (text.size() != 10 || text[4] != '-' || text[7] != '-' || !Digits(text, 0, 4, y) || !Digits(text, 5, 2, m) ||
      !Digits(text, 8, 2, d))
    Bad(Quoted(text) + " is not a date (YYYY-MM-DD)");
  if (y < 1 || !IsValidDate(y, m, d)) Bad(Quoted(text) + " is not a valid date");
  return EncodeDayNumber(y, m, d);
}

int32_t ParseTime(std::string_view text) {
  int h = 0, mi = 0, s = 0, ms = 0;
  bool ok = text.size() >= 5 && text[2] == ':' && Digits(text, 0, 2, h) && Digits(text, 3, 2, mi);
  if (ok && text.size() > 5) ok = text.size() >= 8 && text[5] == ':' && Digits(text, 6, 2, s);
  if (ok && text.size() > 8) ok = text.size() == 12 && text[8] == '.' && Digits(text, 9, 3, ms);
  if (!ok) Bad(Quoted(text) + " is not a time (HH:MM:SS.mmm)");
  if (h > 23 || mi > 59 || s > 59) Bad(Quoted(text) + " is not a valid time");
  return EncodeTimeMs(h, mi, s, ms);
}

double ParseTimestamp(std::string_view text) {
  if (text.size() < 10) Bad(Quoted(text) + " is not a date and time (YYYY-MM-DD HH:MM:SS.mmm)");
  const int32_t day = ParseDate(text.substr(0, 10));
  int32_t ms = 0;
  if (text.size() > 10) {
    if (text[10] != ' ' && text[10] != 'T') Bad(Quoted(text) + " is not a date and time (YYYY-MM-DD HH:MM:SS.mmm)");
    ms = ParseTime(text.substr(11));
  }
  return EncodeTimestamp(day, ms);
}

int64_t ParseBcd(std::string_view text, int scale) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  unsigned __int128 magnitude = 0;
  int intDigits = 0, fracDigits = 0;
  const unsigned __int128 kLimit = (unsigned __int128)std::numeric_limits<int64_t>::max();
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++intDigits) {
    magnitude = magnitude * 10 + unsigned(text[i] - '0');
    if (magnitude > kLimit) Bad(Quoted(text) + " is too large for a BCD field");
  }
  if (i < text.size() && text[i] == '.') {
    ++i;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++fracDigits) {
      if (fracDigits >= scale) Bad(Quoted(text) + " has more than " + std::to_string(scale) + " decimals");
      magnitude = magnitude * 10 + unsigned(text[i] - '0');
    }
  }
  if (i != text.size() || intDigits + fracDigits == 0) Bad(Quoted(text) + " is not a decimal number");
  for (int k = fracDigits; k < scale; ++k) magnitude *= 10;
  magnitude = magnitude * 10 + unsigned(scale);
  if (magnitude > kLimit) Bad(Quoted(text) + " is too large for a BCD field");
  const int64_t stored = int64_t(magnitude);
  return negative && stored / 10 != 0 ? -stored : stored;
}

double ParseFloat(std::string_view text) {
  double value = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || ptr != text.data() + text.size() || !std::isfinite(value))
    Bad(Quoted(text) + " is not a number");
  return value;
}

double ExtendedToDouble(const uint8_t* bytes) {
  const uint64_t mantissa = LoadU64(bytes);
  const uint16_t signExp = LoadU16(bytes + 8);
  const bool negative = (signExp & 0x8000) != 0;
  const int exponent = signExp & 0x7FFF;
  double value;
  if (exponent == 0x7FFF)
    value = (mantissa << 1) == 0 ? std::numeric_limits<double>::infinity() : std::numeric_limits<double>::quiet_NaN();
  else
    value = std::ldexp(double(mantissa), exponent - 16383 - 63);
  return negative ? -value : value;
}

void DoubleToExtended(double value, uint8_t* bytes) {
  std::memset(bytes, 0, 10);
  uint16_t signExp = std::signbit(value) ? 0x8000 : 0;
  value = std::fabs(value);
  if (value != 0) {
    int exp = 0;
    const double frac = std::frexp(value, &exp);  // value = frac * 2^exp, frac in [0.5, 1)
    const uint64_t mantissa = uint64_t(std::ldexp(frac, 64));
    StoreU64(bytes, mantissa);
    signExp |= uint16_t(exp - 1 + 16383);
  }
  StoreU16(bytes + 8, signExp);
}

std::string FormatFieldValue(const TFieldDesc& desc, const uint8_t* data) {
  switch (desc.FieldType) {
    case kFldString: {
      size_t n = 0;
      while (n < desc.DataSize && data[n] != 0) ++n;
      return std::string(reinterpret_cast<const char*>(data), n);
    }
    case kFldDate: return FormatDate(LoadI32(data));
    case kFldBoolean: return LoadU16(data) != 0 ? "true" : "false";
    case kFldInt16: return std::to_string(LoadI16(data));
    case kFldInt32: return std::to_string(LoadI32(data));
    case kFldUInt16: return std::to_string(LoadU16(data));
    case kFldUInt32: return std::to_string(LoadU32(data));
    case kFldFloat: return FormatFloat(LoadF64(data));
    case kFldBcd: return FormatBcd(LoadI64(data));
    case kFldTime: return FormatTime(LoadI32(data));
    case kFldTimestamp: return FormatTimestamp(LoadF64(data));
    case kFldExtended: return FormatFloat(ExtendedToDouble(data));
    case kFldBlob: return std::to_string(LoadI32(data));
    default: return HexEncode(data, desc.DataSize);
  }
}

void ParseFieldValue(const TFieldDesc& desc, std::string_view text, std::vector<uint8_t>& data) {
  data.assign(desc.DataSize, 0);
  uint8_t* p = data.data();
  switch (desc.FieldType) {
    case kFldString:
      if (text.find('\0') != std::string_view::npos) Bad("the text holds a zero byte");
      // Trailing blanks are not stored (as SetField does), so they do not count.
      while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
      if (text.size() > desc.Size)
        Bad("text of " + std::to_string(text.size()) + " characters is longer than the field's " +
            std::to_string(desc.Size));
      std::memcpy(p, text.data(), text.size());
      return;
    case kFldDate: StoreI32(p, ParseDate(text)); return;
    case kFldBoolean: {
      std::string t(text);
      for (char& c : t)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
      if (t == "true" || t == "1")
        StoreU16(p, 1);
      else if (t == "false" || t == "0")
        StoreU16(p, 0);
      else
        Bad(Quoted(text) + " is not a boolean (true or false)");
      return;
    }
    case kFldInt16: StoreI16(p, ParseInteger<int16_t>(text, "16-bit integer")); return;
    case kFldInt32: StoreI32(p, ParseInteger<int32_t>(text, "32-bit integer")); return;
    case kFldUInt16: StoreU16(p, ParseInteger<uint16_t>(text, "16-bit unsigned integer")); return;
    case kFldUInt32: StoreU32(p, ParseInteger<uint32_t>(text, "32-bit unsigned integer")); return;
    case kFldFloat: StoreF64(p, ParseFloat(text)); return;
    case kFldBcd: StoreI64(p, ParseBcd(text, desc.Scale)); return;
    case kFldTime: StoreI32(p, ParseTime(text)); return;
    case kFldTimestamp: StoreF64(p, ParseTimestamp(text)); return;
    case kFldExtended: DoubleToExtended(ParseFloat(text), p); return;
    case kFldBytes:
    case kFldVarBytes: {
      std::vector<uint8_t> bytes;
      if (!HexDecode(text, bytes)) Bad(Quoted(text) + " is not hexadecimal bytes");
      if (bytes.size() > desc.DataSize)
        Bad(std::to_string(bytes.size()) + " bytes are more than the field's " + std::to_string(desc.DataSize));
      std::memcpy(p, bytes.data(), bytes.size());
      return;
    }
    default: Bad("fields of type " + std::to_string(desc.FieldType) + " cannot be read from text");
  }
}

bool IsTextBlob(const TFieldDesc& desc) {
  return desc.FieldType == kFldBlob && (desc.SubType == kSubMemo || desc.SubType == kSubFmtMemo);
}

std::string FieldTypeName(const TFieldDesc& desc) {
  switch (desc.FieldType) {
    case kFldString: return "string " + std::to_string(desc.Size);
    case kFldDate: return "date";
    case kFldBlob:
      switch (desc.SubType) {
        case kSubMemo: return "memo";
        case kSubFmtMemo: return "fmtmemo";
        case kSubGraphic: return "graphic";
        case kSubTypedBinary: return "typedbinary";
        case 0: return "blob";
        default: return "blob " + std::to_string(desc.SubType);
      }
    case kFldBoolean: return "boolean";
    case kFldInt16: return "int16";
    case kFldInt32: return desc.SubType == kSubAutoInc ? "autoinc" : "int32";
    case kFldFloat: return desc.SubType == kSubCurrency ? "currency" : "float";
    case kFldBcd: return "bcd " + std::to_string(desc.Scale);
    case kFldBytes: return "bytes " + std::to_string(desc.Size);
    case kFldTime: return "time";
    case kFldTimestamp: return "timestamp";
    case kFldUInt16: return "uint16";
    case kFldUInt32: return "uint32";
    case kFldExtended: return "extended";
    case kFldVarBytes: return "varbytes " + std::to_string(desc.Size);
    default: return "type " + std::to_string(desc.FieldType);
  }
}

}  // namespace tabula::tool
