#pragma once
// Helpers of the record-update tests: one table layout (an ID key, a name
// with a non-unique index, a value with a unique index, a memo and a binary
// blob), record buffers filled and read by field, blobs written and read
// through the data file, and the invariant checks over all three files.

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/blob_checker.h"
#include "tabula/data_file.h"
#include "engine/data_file_checker.h"
#include "tabula/engine_error.h"
#include "tabula/field_types.h"
#include "tabula/file_session.h"
#include "engine/index_checker.h"
#include "tabula/table_creator.h"
#include "tests/engine/data_file_test_util.h"

namespace update_test {

using namespace tabula;

// Field numbers of the test table.
enum : int { kFId = 1, kFName = 2, kFValue = 3, kFMemo = 4, kFPic = 5 };

// Id (32-bit, primary key), Name (string 20, index "ByName"), Value
// (32-bit, unique index "ByValue"), Memo (memo blob), Pic (binary blob).
// Without a primary index the table is in physical order.
inline void CreateTestTable(const std::string& path, bool primary = true, bool blobs = true) {
  std::vector<TFieldDef> fields = {data_file_test::Field("Id", kFldInt32), data_file_test::Field("Name", kFldString, 20),
                                   data_file_test::Field("Value", kFldInt32)};
  if (blobs) {
    TFieldDef memo = data_file_test::Field("Memo", kFldBlob);
    memo.SubType = kSubMemo;
    fields.push_back(memo);
    fields.push_back(data_file_test::Field("Pic", kFldBlob));
  }
  std::vector<TIndexDef> indexes;
  if (primary) {
    TIndexDef p;
    p.Primary = true;
    p.Fields = {"Id"};
    indexes.push_back(p);
  }
  TIndexDef byName;
  byName.Name = "ByName";
  byName.Fields = {"Name"};
  indexes.push_back(byName);
  TIndexDef byValue;
  byValue.Name = "ByValue";
  byValue.Fields = {"Value"};
  byValue.Unique = true;
  indexes.push_back(byValue);
  TTableOptions options;
  options.Overwrite = true;
  CreateTable(path, fields, indexes, options);
}

struct TRow {
  int32_t Id = 0;
  std::string Name;
  int32_t Value = 0;
  std::string Memo;
  std::string Pic;
  bool operator==(const TRow&) const = default;
};

inline void SetInt(TDataFile& t, uint8_t* buffer, int fieldNo, int32_t v) {
  uint8_t bytes[4];
  StoreI32(bytes, v);
  t.SetField(TDescSet::kWorking, fieldNo, bytes, false, buffer);
}

inline int32_t GetInt(TDataFile& t, const uint8_t* buffer, int fieldNo) {
  uint8_t bytes[4] = {};
  t.GetField(TDescSet::kWorking, fieldNo, buffer, bytes);
  return LoadI32(bytes);
}

inline void SetText(TDataFile& t, uint8_t* buffer, int fieldNo, const std::string& text) {
  std::vector<uint8_t> bytes(256, 0);
  std::copy(text.begin(), text.end(), bytes.begin());
  t.SetField(TDescSet::kWorking, fieldNo, bytes.data(), false, buffer);
}

inline std::string GetText(TDataFile& t, const uint8_t* buffer, int fieldNo) {
  std::vector<uint8_t> bytes(256, 0);
  if (t.GetField(TDescSet::kWorking, fieldNo, buffer, bytes.data())) return {};
  return std::string(reinterpret_cast<const char*>(bytes.data()));
}

inline void Check(int code, const char* what) { ASSERT_EQ(code, 0) << what; }

// Gives a blob field new contents: opened for writing, truncated, written,
// left open (the update stores it, then the caller frees it).
inline void PutBlob(TDataFile& t, uint8_t* buffer, int fieldNo, const std::string& bytes) {
  Check(t.OpenBlob(fieldNo, buffer, kBlobModeWrite), "open blob");
  Check(t.TruncateBlob(fieldNo, buffer, 0), "truncate blob");
  if (!bytes.empty()) Check(t.WriteBlob(fieldNo, buffer, 0, int32_t(bytes.size()), bytes.data()), "write blob");
}

inline void FreeIfOpen(TDataFile& t, uint8_t* buffer, int fieldNo) {
  bool open = false;
  if (t.IsBlobOpen(fieldNo, buffer, open) == 0 && open) t.FreeBlob(fieldNo, buffer);
}

inline std::string ReadWholeBlob(TDataFile& t, uint8_t* buffer, int fieldNo) {
  std::string out;
  EXPECT_EQ(t.OpenBlob(fieldNo, buffer, kBlobModeRead), 0);
  int32_t size = 0;
  EXPECT_EQ(t.GetBlobSize(fieldNo, buffer, size), 0);
  out.resize(size_t(size));
  int32_t got = 0;
  if (size > 0) {
    EXPECT_EQ(t.ReadBlob(fieldNo, buffer, 0, size, out.data(), got), 0);
  }
  EXPECT_EQ(t.FreeBlob(fieldNo, buffer), 0);
  return out;
}

// Fills a fresh buffer with a row (blobs opened and written when given).
inline void FillRow(TDataFile& t, uint8_t* buffer, const TRow& row, bool blobs) {
  SetInt(t, buffer, kFId, row.Id);
  SetText(t, buffer, kFName, row.Name);
  SetInt(t, buffer, kFValue, row.Value);
  if (blobs) {
    PutBlob(t, buffer, kFMemo, row.Memo);
    PutBlob(t, buffer, kFPic, row.Pic);
  }
}

inline TRow ReadRow(TDataFile& t, uint8_t* buffer, bool blobs) {
  TRow row;
  row.Id = GetInt(t, buffer, kFId);
  row.Name = GetText(t, buffer, kFName);
  row.Value = GetInt(t, buffer, kFValue);
  if (blobs) {
    row.Memo = ReadWholeBlob(t, buffer, kFMemo);
    row.Pic = ReadWholeBlob(t, buffer, kFPic);
  }
  return row;
}

// Positions on the record with this Id (primary index current): 0 or 8710.
inline int FindId(TDataFile& t, int32_t id) {
  std::vector<uint8_t> probe(size_t(t.RecordSize()), 0);
  SetInt(t, probe.data(), kFId, id);
  std::vector<uint8_t> key(kKeyBufferSize, 0);
  t.BuildKey(probe.data(), key.data());
  return t.FindKey(key.data(), 1, 0, false);
}

// Every row in the current index's order.
inline std::vector<TRow> ScanRows(TDataFile& t, bool blobs) {
  std::vector<TRow> rows;
  std::vector<uint8_t> buffer(size_t(t.RecordSize()));
  t.GotoFirst();
  while (t.ReadNext(buffer.data()) == 0) rows.push_back(ReadRow(t, buffer.data(), blobs));
  return rows;
}

// Records, the free-slot chain, index trees, "Sys Deleted" and the blob
// chains: the engine's checkers over the open table.
inline std::vector<std::string> CheckTable(TDataFile& t) { return CheckTableFiles(t); }

}  // namespace update_test
