#pragma once
// The 127-byte header at the start of a data file. The named members are the
// fields this system reads or writes; `Raw` keeps the block as it was read,
// so every byte that is not interpreted is written back unchanged.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "tabula/byte_order.h"

namespace tabula {

inline constexpr size_t kDataHeaderSize = 127;
inline constexpr uint8_t kDataFormatVersion = 3;

// Byte offsets inside the header.
enum : size_t {
  kDhChangeCounter = 0,
  kDhBlobBlockSize = 4,
  kDhFormatVersion = 8,
  kDhFirstFreeRecord = 9,
  kDhNextRecordNo = 13,
  kDhLastRecordID = 17,
  kDhRecordSize = 21,
  kDhFieldCount = 23,
  kDhBlobFieldCount = 25,
  kDhLastUpdated = 27,
  kDhEncrypted = 86,
  kDhPassword = 87,  // 16 bytes: length byte + 15 scrambled characters
  kDhLanguageId = 103,
  kDhSortId = 105,
  kDhComputedSize = 111,
  kDhModifiedFlag = 113,
};

struct TDataHeader {
  uint32_t ChangeCounter = 0;
  uint32_t BlobBlockSize = 0;  // 0 means 512; only the low 16 bits count
  uint8_t FormatVersion = kDataFormatVersion;
  uint32_t FirstFreeRecord = 0;
  int32_t NextRecordNo = 1;
  int32_t LastRecordID = 0;
  uint16_t RecordSize = 0;
  uint16_t FieldCount = 0;
  int16_t BlobFieldCount = 0;
  double LastUpdated = 0;
  uint8_t Encrypted = 0;
  uint16_t LanguageId = 0;
  uint16_t SortId = 0;
  int16_t ComputedSize = 0;
  std::array<uint8_t, kDataHeaderSize> Raw{};

  static TDataHeader Unpack(const uint8_t* block);
  // Writes `Raw` with the named members laid over it; byte 113 carries the
  // header-modified flag as the writer passes it.
  void Pack(uint8_t* block, bool modifiedFlag) const;

  // The blob file's block size in bytes (0 stored means 512).
  uint32_t EffectiveBlobBlockSize() const;
  // Locale identifier of the table: SortId * 65536 + LanguageId.
  uint32_t LocaleId() const { return uint32_t(SortId) * 65536u + LanguageId; }
  // The stored password field (length byte plus up to 15 scrambled bytes).
  std::string StoredPassword() const;
};

// Days since 1899-12-30 with fraction, minus 693594 as the header stores it,
// for the local time now.
double HeaderTimestampNow();

}  // namespace tabula
