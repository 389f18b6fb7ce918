#pragma once
// Helpers shared by the blob file tests: a table stand-in that records what
// the blob file tells it, whole-blob store and load, and raw patching of a
// closed blob file.

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/blob_file.h"
#include "tabula/engine_error.h"
#include "tabula/file_session.h"

namespace blob_test {

using Bytes = std::vector<uint8_t>;

// The table side of a blob file: messages and stored references are kept,
// the table lock and the cipher can be switched on.
class TTestOwner : public tabula::TBlobFileOwner {
 public:
  bool BlobTableLocked() const override { return Locked; }
  void BlobMessage(const std::string& text) override { Messages.push_back(text); }
  void BlobStoreReference(int, int fieldNo, int32_t reference, uint8_t*) override { Stored[fieldNo] = reference; }
  bool BlobEnciphered() const override { return Cipher; }
  void BlobScramble(uint8_t* bytes, int32_t count) override {
    for (int32_t i = 0; i < count; ++i) bytes[i] ^= uint8_t((0x5A + i) ^ (0xC3 - i));
  }

  bool Locked = false;
  bool Cipher = false;
  std::vector<std::string> Messages;
  std::map<int, int32_t> Stored;
};

// The engine error code a call raises, 0 when it raises none.
template <class F>
int CodeOf(F&& f) {
  try {
    f();
  } catch (const tabula::ETabulaEngineError& e) {
    return e.Code();
  }
  return 0;
}

inline Bytes Pattern(size_t n, uint32_t seed) {
  Bytes b(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& c : b) {
    x = x * 1103515245u + 12345u;
    c = uint8_t(x >> 16);
  }
  return b;
}

inline std::unique_ptr<tabula::TBlobFile> OpenBlobFile(const std::string& path, tabula::TBlobFileOwner* owner,
                                                       bool exclusive = true, uint32_t blockSize = 0) {
  auto file = std::make_unique<tabula::TBlobFile>(owner);
  file->SetExclusive(exclusive);
  file->SetBlockSize(blockSize);
  file->SetFileName(path);
  file->Open();
  return file;
}

// Replaces the contents of a record's blob (opened for writing) and stores
// it; returns the new reference.
inline int32_t StoreBlob(tabula::TBlobFile& file, int32_t recordNo, int fieldNo, int32_t reference,
                         const Bytes& data) {
  int32_t handle = 0;
  EXPECT_EQ(file.OpenBlob(reference, fieldNo, recordNo, tabula::kBlobModeWrite, handle), 0);
  EXPECT_EQ(file.TruncateBlob(handle, 0), 0);
  if (!data.empty()) {
    EXPECT_EQ(file.WriteBlob(handle, 0, int32_t(data.size()), data.data()), 0);
  }
  file.SetBlobRecord(recordNo);
  try {
    file.StoreBlobs();
  } catch (...) {
    int32_t ignored;
    file.FreeBlob(handle, ignored);
    throw;
  }
  int32_t stored = 0;
  EXPECT_EQ(file.FreeBlob(handle, stored), 0);
  return stored;
}

// Deletes a record's blob as deleting the record does: opened for reading,
// truncated to 0, stored. Returns the reference left (0 expected).
inline int32_t DeleteBlob(tabula::TBlobFile& file, int32_t recordNo, int fieldNo, int32_t reference) {
  int32_t handle = 0;
  EXPECT_EQ(file.OpenBlob(reference, fieldNo, recordNo, tabula::kBlobModeRead, handle), 0);
  EXPECT_EQ(file.TruncateBlob(handle, 0), 0);
  file.SetBlobRecord(recordNo);
  file.StoreBlobs();
  int32_t stored = -1;
  EXPECT_EQ(file.FreeBlob(handle, stored), 0);
  return stored;
}

inline Bytes LoadBlob(tabula::TBlobFile& file, int32_t recordNo, int fieldNo, int32_t reference) {
  int32_t handle = 0;
  EXPECT_EQ(file.OpenBlob(reference, fieldNo, recordNo, tabula::kBlobModeRead, handle), 0);
  int32_t size = 0;
  EXPECT_EQ(file.GetBlobSize(handle, size), 0);
  Bytes data(static_cast<size_t>(size));
  int32_t copied = 0;
  EXPECT_EQ(file.ReadBlob(handle, 0, size, data.data(), copied), 0);
  EXPECT_EQ(copied, size);
  int32_t ignored;
  file.FreeBlob(handle, ignored);
  return data;
}

// Raw access to a closed file.
inline Bytes ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void PatchI32(const std::string& path, int64_t at, int32_t value) {
  std::fstream io(path, std::ios::binary | std::ios::in | std::ios::out);
  uint8_t b[4];
  tabula::StoreI32(b, value);
  io.seekp(at);
  io.write(reinterpret_cast<const char*>(b), 4);
}

inline void PatchU16(const std::string& path, int64_t at, uint16_t value) {
  std::fstream io(path, std::ios::binary | std::ios::in | std::ios::out);
  uint8_t b[2];
  tabula::StoreU16(b, value);
  io.seekp(at);
  io.write(reinterpret_cast<const char*>(b), 2);
}

inline void PatchByte(const std::string& path, int64_t at, uint8_t value) {
  std::fstream io(path, std::ios::binary | std::ios::in | std::ios::out);
  io.seekp(at);
  io.put(char(value));
}

inline tabula::TBlockHeader BlockAt(const Bytes& file, int32_t offset) {
  return tabula::TBlockHeader::Unpack(file.data() + offset);
}

}  // namespace blob_test
