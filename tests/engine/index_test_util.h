#pragma once
// Helpers of the index tests: a stand-in for the data file that owns an
// index file (locks, change checks, the locale and the key fields), and a
// small record layout whose keys the tests build with the key builder.

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tabula/field_types.h"
#include "tabula/file_session.h"
#include "engine/index_file.h"
#include "engine/key_builder.h"

namespace index_test {

using namespace tabula;

// Owns an index file the way the data file does: it takes the read lock
// on a page miss when asked to lock (the two-process tests), reports the
// record slots and the locale, and describes the key fields.
class TTestOwner : public TIndexFileOwner {
 public:
  bool LockAndCheckForChanges() override {
    ++ChangeChecks;
    if (!UseLocks || File == nullptr) return false;
    if (!File->HoldsShared() && !File->HoldsExclusive()) {
      if (!File->LockTableShared()) return false;
      readLockHeld = true;
    }
    if (File->HeaderChanged()) {
      ++ChangesSeen;
      return true;
    }
    return false;
  }
  bool HoldsSharedLock() const override {
    if (!UseLocks) return true;
    return File && (File->HoldsShared() || File->HoldsExclusive());
  }
  bool HoldsTableLock() const override { return TableLock; }
  int32_t RecordSlotCount() const override { return Slots; }
  uint16_t LanguageId() const override { return Lang; }
  uint16_t SortId() const override { return Sort; }
  bool GetKeyFieldInfo(uint16_t fieldNo, TKeyFieldInfo& info) const override {
    auto it = Fields.find(fieldNo);
    if (it == Fields.end()) return false;
    info = it->second;
    return true;
  }
  // Releases the read lock a page miss took (the end of a data-file operation).
  void EndRead() {
    if (readLockHeld && File) File->UnlockTableShared();
    readLockHeld = false;
  }

  TIndexFile* File = nullptr;
  bool UseLocks = false;
  bool TableLock = false;
  int32_t Slots = 0;
  uint16_t Lang = 0;
  uint16_t Sort = 0;
  std::map<uint16_t, TKeyFieldInfo> Fields;
  int ChangeChecks = 0;
  int ChangesSeen = 0;

 private:
  bool readLockHeld = false;
};

// The test record: status, slot, record ID, then
// field 1: string of Size 100 (101 data bytes), field 2: 32-bit integer.
// Keys of about 110 bytes keep node capacities near 35, so a few thousand
// keys already make trees of three and four levels.
constexpr uint16_t kStrOffset = 9;
constexpr uint8_t kStrWidth = 101;
constexpr uint16_t kIntOffset = kStrOffset + 1 + kStrWidth;
constexpr int kTestRecordSize = kIntOffset + 1 + 4;

inline void DescribeTestFields(TTestOwner& owner) {
  owner.Fields[1] = TKeyFieldInfo{kFldString, 0, kStrWidth, kStrOffset};
  owner.Fields[2] = TKeyFieldInfo{kFldInt32, 0, 4, kIntOffset};
}

// A descriptor over fields 1 and 2.
inline TIndexDescriptor TestDescriptor(uint8_t slot, const std::string& name, uint8_t compression, bool descending,
                                       bool unique, bool fieldDescending = false, bool caseInsensitive = false) {
  TIndexDescriptor d;
  d.Name = name;
  d.FieldCount = 2;
  d.FieldNumbers[0] = 1;
  d.FieldNumbers[1] = 2;
  d.FieldDescending[0] = fieldDescending ? 1 : 0;
  d.Descending = descending;
  d.Unique = unique;
  d.CaseInsensitive = caseInsensitive;
  d.Compression = compression;
  d.KeyLength = static_cast<uint16_t>((kStrWidth + 1) + (4 + 1) + (HasKeySuffix(slot, d) ? 4 : 0));
  return d;
}

struct TTestValue {
  bool StrNull = false;
  std::string Str;
  bool IntNull = false;
  int32_t Int = 0;
  int32_t RecordId = 0;
};

inline std::vector<uint8_t> TestRecord(const TTestValue& v) {
  std::vector<uint8_t> rec(kTestRecordSize, 0);
  StoreI32(rec.data() + 5, v.RecordId);
  if (!v.StrNull && !v.Str.empty()) {
    rec[kStrOffset] = 1;
    std::memcpy(rec.data() + kStrOffset + 1, v.Str.data(), std::min<size_t>(v.Str.size(), kStrWidth - 1));
  }
  if (!v.IntNull) {
    rec[kIntOffset] = 1;
    StoreI32(rec.data() + kIntOffset + 1, v.Int);
  }
  return rec;
}

inline std::vector<uint8_t> TestKey(const TTestOwner& owner, uint8_t slot, const TIndexDescriptor& d,
                                    const TTestValue& v) {
  std::vector<uint8_t> rec = TestRecord(v);
  std::vector<uint8_t> key(kKeyBufferSize, 0);
  TKeyFieldInfo infos[2] = {owner.Fields.at(1), owner.Fields.at(2)};
  BuildIndexKeyFromInfo(slot, d, infos, rec.data(), owner.Lang, owner.Sort, key.data());
  key.resize(d.KeyLength);
  return key;
}

// Creates a new index file at `path` with the given descriptors and opens it.
inline std::unique_ptr<TIndexFile> CreateTestIndex(TTestOwner& owner, const std::string& path,
                                                   const std::vector<std::pair<uint8_t, TIndexDescriptor>>& indexes) {
  auto file = std::make_unique<TIndexFile>(&owner);
  owner.File = file.get();
  file->SetFileName(path);
  file->SetExclusive(true);
  file->CreateIndexFile();
  for (const auto& [slot, d] : indexes) file->DefineIndex(slot, d);
  file->WriteHeader(true);
  file->CloseIndexFile();
  file->SetExclusive(false);
  file->OpenIndexFile();
  return file;
}

struct TEngineScope {
  TEngineScope() { InitializeEngine(); }
};

}  // namespace index_test
