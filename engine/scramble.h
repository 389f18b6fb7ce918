#pragma once
// The byte scrambling routine of enciphered tables and its two keys.
//
// An enciphered table passes its descriptor block, its records, its index
// header and pages, and its blob header and blocks through ScrambleBytes
// with the record key on every read and write; each block starts the
// scramble afresh at its first byte. The password stored in the data file
// header (a length byte and at most 15 characters) has its characters
// scrambled with the password key; the length byte stays plain.
//
// Scrambling and unscrambling are the same operation.

#include <cstddef>
#include <cstdint>
#include <string>

namespace tabula {

// A two-byte scrambling key.
struct TScrambleKey {
  uint8_t Lo = 0;
  uint8_t Hi = 0;
};

// The key for descriptor blocks, records, index pages and blob blocks.
TScrambleKey RecordKey();
// The key for the stored password's characters.
TScrambleKey PasswordKey();

// buffer[i] ^= ((lo + i) mod 256) ^ ((hi - i) mod 256) for i < count.
// count is a 16-bit quantity; 0 does nothing.
void ScrambleBytes(uint8_t* buffer, uint16_t count, TScrambleKey key);

// Scrambles (or unscrambles) a block of any length with the record key.
// Blocks longer than 65535 bytes continue in runs of 65535 bytes, each
// starting the scramble afresh, as the 16-bit count of the routine implies.
void EncipherBlock(uint8_t* data, size_t size);
void DecipherBlock(uint8_t* data, size_t size);

// The stored 16-byte password field of a data file header.
inline constexpr size_t kStoredPasswordSize = 16;
inline constexpr size_t kMaxPasswordLength = 15;

// Builds the stored field from a password (cut to 15 characters): the
// length byte, then the characters scrambled with the password key, the
// rest zero.
void ScramblePassword(const std::string& password, uint8_t* stored);
// Reads the password back from a stored field. A length byte above 15 (a
// damaged header) is read as 15.
std::string UnscramblePassword(const uint8_t* stored);

}  // namespace tabula
