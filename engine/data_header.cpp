#include "tabula/data_header.h"

#include <chrono>
#include <cstring>
#include <ctime>

namespace tabula {

TDataHeader TDataHeader::Unpack(const uint8_t* block) {
  TDataHeader h;
  std::memcpy(h.Raw.data(), block, kDataHeaderSize);
  h.ChangeCounter = LoadU32(block + kDhChangeCounter);
  h.BlobBlockSize = LoadU32(block + kDhBlobBlockSize);
  h.FormatVersion = block[kDhFormatVersion];
  h.FirstFreeRecord = LoadU32(block + kDhFirstFreeRecord);
  h.NextRecordNo = LoadI32(block + kDhNextRecordNo);
  h.LastRecordID = LoadI32(block + kDhLastRecordID);
  h.RecordSize = LoadU16(block + kDhRecordSize);
  h.FieldCount = LoadU16(block + kDhFieldCount);
  h.BlobFieldCount = LoadI16(block + kDhBlobFieldCount);
  std::memcpy(&h.LastUpdated, block + kDhLastUpdated, sizeof(double));
  h.Encrypted = block[kDhEncrypted];
  h.LanguageId = LoadU16(block + kDhLanguageId);
  h.SortId = LoadU16(block + kDhSortId);
  h.ComputedSize = LoadI16(block + kDhComputedSize);
  return h;
}

void TDataHeader::Pack(uint8_t* block, bool modifiedFlag) const {
  std::memcpy(block, Raw.data(), kDataHeaderSize);
  StoreU32(block + kDhChangeCounter, ChangeCounter);
  StoreU32(block + kDhBlobBlockSize, BlobBlockSize);
  block[kDhFormatVersion] = FormatVersion;
  StoreU32(block + kDhFirstFreeRecord, FirstFreeRecord);
  StoreI32(block + kDhNextRecordNo, NextRecordNo);
  StoreI32(block + kDhLastRecordID, LastRecordID);
  StoreU16(block + kDhRecordSize, RecordSize);
  StoreU16(block + kDhFieldCount, FieldCount);
  StoreI16(block + kDhBlobFieldCount, BlobFieldCount);
  std::memcpy(block + kDhLastUpdated, &LastUpdated, sizeof(double));
  block[kDhEncrypted] = Encrypted;
  StoreU16(block + kDhLanguageId, LanguageId);
  StoreU16(block + kDhSortId, SortId);
  StoreI16(block + kDhComputedSize, ComputedSize);
  block[kDhModifiedFlag] = modifiedFlag ? 1 : 0;
}

uint32_t TDataHeader::EffectiveBlobBlockSize() const {
  uint32_t size = BlobBlockSize & 0xFFFFu;
  return size == 0 ? 512u : size;
}

std::string TDataHeader::StoredPassword() const {
  size_t length = Raw[kDhPassword];
  if (length > 15) length = 15;
  return std::string(reinterpret_cast<const char*>(Raw.data() + kDhPassword + 1), length);
}

double HeaderTimestampNow() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&seconds, &local);
  // Local wall-clock time as seconds since the Unix epoch, then days since
  // 1899-12-30 (25569 days before 1970-01-01).
  const double localSeconds = double(seconds) + double(local.tm_gmtoff);
  const double fraction =
      double(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000) / 1000.0;
  const double days = (localSeconds + fraction) / 86400.0 + 25569.0;
  return days - 693594.0;
}

}  // namespace tabula
