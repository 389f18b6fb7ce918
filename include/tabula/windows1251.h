#pragma once
// Windows-1251 text, the one home of its rules inside the engine: the code
// page in both directions (built once from ICU's converter), UTF-8 at the
// boundary to the user interface and tools, and letter case (the table of
// framework/core, which the ini files share).

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "framework/core/windows1251_case.h"

namespace tabula {

// Windows-1251 <-> UTF-16 for one byte / one code unit. Byte 0x98, which the
// code page leaves undefined, round-trips as U+0098.
char16_t Cp1251ToUnicode(uint8_t byte);
// The same for all 256 bytes at once (for loops over long texts).
const std::array<char16_t, 256>& Cp1251UnicodeTable();
// Returns false when the character has no Windows-1251 byte.
bool UnicodeToCp1251(char16_t ch, uint8_t& byte);
// Whole-text conversions for the boundary to the user interface and tools.
// Characters without a Windows-1251 byte become '?'.
std::string Cp1251ToUtf8(std::string_view text);
std::string Utf8ToCp1251(std::string_view text);

// Letter case of names (field, index, file and in-memory file names).
using fw::LowerCp1251;
using fw::SameTextIgnoringCase;
using fw::UpperCp1251;

}  // namespace tabula
