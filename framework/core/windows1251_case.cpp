#include "framework/core/windows1251_case.h"

#include <array>

namespace fw {

namespace {

struct TCaseTables {
  std::array<uint8_t, 256> Upper{};
  std::array<uint8_t, 256> Lower{};
};

constexpr TCaseTables MakeTables() {
  TCaseTables t;
  for (int i = 0; i < 256; ++i) t.Upper[i] = t.Lower[i] = static_cast<uint8_t>(i);
  auto pair = [&t](int upper, int lower) {
    t.Upper[lower] = static_cast<uint8_t>(upper);
    t.Lower[upper] = static_cast<uint8_t>(lower);
  };
  for (int c = 'A'; c <= 'Z'; ++c) pair(c, c + 32);
  for (int c = 0xC0; c <= 0xDF; ++c) pair(c, c + 32);
  const int others[][2] = {{0x80, 0x90}, {0x81, 0x83}, {0x8A, 0x9A}, {0x8C, 0x9C}, {0x8D, 0x9D},
                           {0x8E, 0x9E}, {0x8F, 0x9F}, {0xA1, 0xA2}, {0xA3, 0xBC}, {0xA5, 0xB4},
                           {0xA8, 0xB8}, {0xAA, 0xBA}, {0xAF, 0xBF}, {0xB2, 0xB3}, {0xBD, 0xBE}};
  for (const auto& p : others) pair(p[0], p[1]);
  return t;
}

constexpr TCaseTables kCase = MakeTables();

}  // namespace

uint8_t UpperCp1251(uint8_t c) { return kCase.Upper[c]; }

uint8_t LowerCp1251(uint8_t c) { return kCase.Lower[c]; }

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (kCase.Upper[static_cast<uint8_t>(a[i])] != kCase.Upper[static_cast<uint8_t>(b[i])]) return false;
  return true;
}

}  // namespace fw
