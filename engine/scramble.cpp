#include "engine/scramble.h"

#include <algorithm>
#include <cstring>

namespace tabula {

namespace {

// This engine's key bytes. Tables enciphered by another build of the engine
// open only when these are the same.
constexpr uint8_t kRecordKeyLo = 0x6B;
constexpr uint8_t kRecordKeyHi = 0xD2;
constexpr uint8_t kPasswordKeyLo = 0x3C;
constexpr uint8_t kPasswordKeyHi = 0x95;

}  // namespace

TScrambleKey RecordKey() { return TScrambleKey{kRecordKeyLo, kRecordKeyHi}; }

TScrambleKey PasswordKey() { return TScrambleKey{kPasswordKeyLo, kPasswordKeyHi}; }

void ScrambleBytes(uint8_t* buffer, uint16_t count, TScrambleKey key) {
  for (unsigned i = 0; i < count; ++i) {
    const auto up = static_cast<uint8_t>(key.Lo + i);
    const auto down = static_cast<uint8_t>(key.Hi - i);
    buffer[i] = static_cast<uint8_t>(buffer[i] ^ up ^ down);
  }
}

void EncipherBlock(uint8_t* data, size_t size) {
  const TScrambleKey key = RecordKey();
  while (size > 0) {
    const auto run = static_cast<uint16_t>(std::min<size_t>(size, 0xFFFF));
    ScrambleBytes(data, run, key);
    data += run;
    size -= run;
  }
}

void DecipherBlock(uint8_t* data, size_t size) { EncipherBlock(data, size); }

void ScramblePassword(const std::string& password, uint8_t* stored) {
  std::memset(stored, 0, kStoredPasswordSize);
  const size_t length = std::min(password.size(), kMaxPasswordLength);
  stored[0] = static_cast<uint8_t>(length);
  std::memcpy(stored + 1, password.data(), length);
  ScrambleBytes(stored + 1, static_cast<uint16_t>(length), PasswordKey());
}

std::string UnscramblePassword(const uint8_t* stored) {
  const size_t length = std::min<size_t>(stored[0], kMaxPasswordLength);
  uint8_t chars[kMaxPasswordLength];
  std::memcpy(chars, stored + 1, length);
  ScrambleBytes(chars, static_cast<uint16_t>(length), PasswordKey());
  return std::string(reinterpret_cast<const char*>(chars), length);
}

}  // namespace tabula
