#pragma once
// Letter case of Windows-1251 text: the one table every layer folds names
// with (field and index names, file names, in-memory file names, ini
// sections and keys). Pairs: ASCII A-Z, the Cyrillic run 0xC0-0xDF/0xE0-0xFF,
// and the letters of the upper half outside that run (Ё, Ђ, Ѓ, Љ, Њ, Ќ, Ћ,
// Џ, Ў, Ј, Ґ, Є, Ї, І, Ѕ). Every other byte is its own case.

#include <cstdint>
#include <string_view>

namespace fw {

uint8_t UpperCp1251(uint8_t c);
uint8_t LowerCp1251(uint8_t c);
// Same length and the same letters regardless of case.
bool SameTextIgnoringCase(std::string_view a, std::string_view b);

}  // namespace fw
