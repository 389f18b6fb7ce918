#pragma once
// Index key encodings of field values and the byte operations that build
// search bounds. Each key field is one presence byte followed by exactly the
// field's data width of encoded value bytes, chosen so that unsigned byte
// order equals value order (strings of tables with a language driver are
// ordered by the locale instead, see key_compare.h).

#include <cstddef>
#include <cstdint>

namespace tabula {

class TLanguageDriver;

// Encodes one key field into out[0 .. width]: out[0] is the presence byte
// (1 = the field has a value, 0 = null; the auto-increment field passes
// present = true), out[1 .. width] the encoded value of the `width` data
// bytes at `value` (the field's bytes as stored in the record).
//
// `driver` is the table's language driver (nullptr when it has none). A
// descending field of a table without a language driver is stored
// inverted: the presence byte and all value bytes, except that a string
// field keeps its last byte (the terminator position) as it is. With a
// language driver no byte is inverted. Callers building keys of a wholly
// descending index pass descending = false.
void EncodeKeyField(uint8_t fieldType, size_t width, bool present, const uint8_t* value,
                    bool descending, bool caseInsensitive, const TLanguageDriver* driver,
                    uint8_t* out);

// Sets key[from .. to-1] to 0x00 (low bound) or 0xFF (high bound); nothing
// when to <= from.
void FillKeyLow(uint8_t* key, size_t from, size_t to);
void FillKeyHigh(uint8_t* key, size_t from, size_t to);

// Adds 1 to (subtracts 1 from) the first `length` bytes read as one
// big-endian unsigned number. An all-0xFF key stays all 0xFF on increment;
// an all-0x00 key stays all 0x00 on decrement.
void IncrementKey(uint8_t* key, size_t length);
void DecrementKey(uint8_t* key, size_t length);

// Complements each byte.
void InvertBytes(uint8_t* bytes, size_t length);

}  // namespace tabula
