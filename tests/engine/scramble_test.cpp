// The scrambling routine and the stored password field.

#include "engine/scramble.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace {

using namespace tabula;

TEST(ScrambleTest, BothCountersWrapAndTheRoutineIsItsOwnInverse) {
  std::vector<uint8_t> original(300);
  std::iota(original.begin(), original.end(), uint8_t{7});
  for (TScrambleKey key : {RecordKey(), PasswordKey(), TScrambleKey{0xFF, 0x00}}) {
    std::vector<uint8_t> bytes = original;
    ScrambleBytes(bytes.data(), static_cast<uint16_t>(bytes.size()), key);
    // Byte i is masked by (lo + i) and (hi - i), both taken mod 256: the
    // masks of bytes 256 apart are equal, past both wrap points.
    for (size_t i = 0; i < bytes.size(); ++i) {
      const auto mask = static_cast<uint8_t>(static_cast<uint8_t>(key.Lo + i) ^ static_cast<uint8_t>(key.Hi - i));
      ASSERT_EQ(bytes[i], original[i] ^ mask) << i;
    }
    ScrambleBytes(bytes.data(), static_cast<uint16_t>(bytes.size()), key);
    EXPECT_EQ(bytes, original);
  }
}

TEST(ScrambleTest, CountZeroChangesNothingAndKeysDiffer) {
  uint8_t byte = 0x5A;
  ScrambleBytes(&byte, 0, RecordKey());
  EXPECT_EQ(byte, 0x5A);
  const TScrambleKey a = RecordKey(), b = PasswordKey();
  EXPECT_FALSE(a.Lo == b.Lo && a.Hi == b.Hi);
}

TEST(ScrambleTest, BlocksLongerThanTheCountRestartEveryRun) {
  std::vector<uint8_t> block(70000, 0x11);
  EncipherBlock(block.data(), block.size());
  std::vector<uint8_t> firstRun(block.begin(), block.begin() + 5);
  std::vector<uint8_t> secondRun(block.begin() + 65535, block.begin() + 65540);
  EXPECT_EQ(firstRun, secondRun);
  DecipherBlock(block.data(), block.size());
  EXPECT_EQ(block, std::vector<uint8_t>(70000, 0x11));
}

TEST(ScrambleTest, StoredPasswordKeepsItsLengthPlainAndItsCharactersScrambled) {
  uint8_t stored[kStoredPasswordSize];
  ScramblePassword("Secret", stored);
  EXPECT_EQ(stored[0], 6);
  EXPECT_NE(std::string(reinterpret_cast<char*>(stored + 1), 6), "Secret");
  EXPECT_EQ(stored[7], 0);
  EXPECT_EQ(UnscramblePassword(stored), "Secret");
  ScramblePassword("a-password-that-is-too-long", stored);
  EXPECT_EQ(stored[0], 15);
  EXPECT_EQ(UnscramblePassword(stored), "a-password-that");
  stored[0] = 200;  // damaged length byte
  EXPECT_EQ(UnscramblePassword(stored).size(), 15u);
}

}  // namespace
