// The bulk loader against row-by-row appends: the same rows loaded both
// ways into copies of one table (old rows and deleted slots included) give
// tables the checkers find sound and whose every reading agrees (walks in
// each index, nearest searches, range counts; the keys sorted in many runs);
// a failure at any file operation leaves the table byte for byte as it was
// and no file behind; a record ID still in use and a table open in another
// program are refused.

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>

#include "tabula/bulk_loader.h"
#include "engine/data_file_checker.h"
#include "engine/os_file.h"
#include "tests/engine/data_file_test_util.h"

namespace {

namespace fs = std::filesystem;
using namespace tabula;
using data_file_test::Field;

enum : int { kId = 1, kName, kCity, kNum, kAmount, kDay, kFlag, kMemo };

struct TConfig {
  const char* Label;
  uint16_t Language;
  bool Primary;
};

const TConfig kConfigs[] = {{"russian", 0x0419, true}, {"bytes", 0, true}, {"physical", 0x0419, false}};

void CreateLoadTable(const std::string& path, const TConfig& config) {
  TFieldDef memo = Field("Memo", kFldBlob);
  memo.SubType = kSubMemo;
  const std::vector<TFieldDef> fields = {data_file_test::AutoIncField("Id"), Field("Name", kFldString, 250),
                                         Field("City", kFldString, 12), Field("Num", kFldInt32),
                                         Field("Amount", kFldFloat), Field("Day", kFldDate),
                                         Field("Flag", kFldBoolean), memo};
  auto index = [](const char* name, std::vector<std::string> keys, uint8_t compression) {
    TIndexDef d;
    d.Name = name;
    d.Fields = std::move(keys);
    d.Compression = compression;
    return d;
  };
  std::vector<TIndexDef> indexes;
  if (config.Primary) {
    TIndexDef p = index("", {"Id"}, 0);
    p.Primary = true;
    indexes.push_back(p);
  }
  indexes.push_back(index("ByName", {"Name"}, 3));
  indexes.back().CaseInsensitive = true;
  indexes.push_back(index("ByNum", {"Num"}, 0));
  indexes.back().Unique = true;
  indexes.push_back(index("ByCityName", {"City", "Name"}, 1));
  indexes.back().FieldDescending = {false, true};
  indexes.push_back(index("ByAmount", {"Amount"}, 2));
  indexes.back().Descending = true;
  // Long keys in uncompressed pages: a tree of three levels.
  indexes.push_back(index("ByDayFlag", {"Day", "Flag", "Name"}, 0));
  TTableOptions options;
  options.LanguageId = config.Language;
  CreateTable(path, fields, indexes, options);
}

void Set(TDataFile& t, uint8_t* buffer, int fieldNo, const void* bytes) {
  t.SetField(TDescSet::kWorking, fieldNo, static_cast<const uint8_t*>(bytes), false, buffer);
}

// Row n of a run: names repeat in several letter cases and scripts, cities
// are sometimes NULL, Num is unique (n * 7919 modulo a prime).
void FillRow(TDataFile& t, uint8_t* buffer, int n, std::string& memo) {
  static const char* kNames[] = {"\xC8\xE2\xE0\xED\xEE\xE2", "\xE8\xE2\xE0\xED\xEE\xE2", "Ivanov", "ivanov",
                                 "\xB8\xEB\xEA\xE0", "\xC5\xEB\xEA\xE0", "Zeta", "\xDF\xF0\xEE\xF1\xEB\xE0\xE2"};
  t.InitRecord(buffer);
  std::string name = std::string(kNames[n % 8]) + (n % 5 == 0 ? "" : std::to_string(n % 37));
  name.resize(std::min<size_t>(name.size(), 24));
  char text[256] = {};
  std::copy(name.begin(), name.end(), text);
  Set(t, buffer, kName, text);
  if (n % 6 != 0) {
    char city[16] = {};
    std::snprintf(city, sizeof city, "C%02d", n % 17);
    Set(t, buffer, kCity, city);
  }
  uint8_t bytes[8];
  StoreI32(bytes, int32_t((int64_t(n) * 7919) % 1000003) - 500000);
  Set(t, buffer, kNum, bytes);
  const double amount = (n % 11) * 12.5 - 40;
  std::memcpy(bytes, &amount, 8);
  Set(t, buffer, kAmount, bytes);
  StoreI32(bytes, 730000 + n % 23);
  Set(t, buffer, kDay, bytes);
  StoreU16(bytes, uint16_t(n % 2));
  Set(t, buffer, kFlag, bytes);
  memo = n % 3 == 0 ? std::string(size_t(n % 700), char('a' + n % 26)) : std::string();
}

// Appends rows first..last through `append` (the loader or the table).
template <typename TAppend>
void AppendRows(TDataFile& t, int first, int last, TAppend append) {
  std::vector<uint8_t> buffer(size_t(t.RecordSize()));
  std::string memo;
  for (int n = first; n <= last; ++n) {
    FillRow(t, buffer.data(), n, memo);
    if (!memo.empty()) {
      RaiseIfError(t.OpenBlob(kMemo, buffer.data(), kBlobModeWrite));
      RaiseIfError(t.WriteBlob(kMemo, buffer.data(), 0, int32_t(memo.size()), memo.data()));
    }
    append(buffer.data());
    bool open = false;
    if (t.IsBlobOpen(kMemo, buffer.data(), open) == 0 && open) t.FreeBlob(kMemo, buffer.data());
  }
}

// A record as the readers see it: ID and stored fields (the blob reference
// names a block, which may differ), then the memo's text.
std::string Content(TDataFile& t, uint8_t* buffer) {
  const TFieldDesc memo = t.GetFieldDesc(TDescSet::kFile, kMemo);
  std::string text;
  int32_t size = 0;
  if (t.OpenBlob(kMemo, buffer, kBlobModeRead) == 0 && t.GetBlobSize(kMemo, buffer, size) == 0 && size > 0) {
    text.resize(size_t(size));
    int32_t got = 0;
    EXPECT_EQ(t.ReadBlob(kMemo, buffer, 0, size, text.data(), got), 0);
    t.FreeBlob(kMemo, buffer);
  }
  std::fill(buffer + memo.Offset + 1, buffer + memo.Offset + 5, 0);
  return std::string(reinterpret_cast<const char*>(buffer) + 5, size_t(t.StoredRecordSize()) - 5) + "|" + text;
}

// What one index answers: its walk, nearest searches on keys of probe rows
// (whole and first field only) and range counts between them.
std::vector<std::string> Readings(TDataFile& t, const std::string& index) {
  t.SelectIndex(index);
  std::vector<std::string> out;
  std::vector<uint8_t> probe(size_t(t.RecordSize())), low(kKeyBufferSize), high(kKeyBufferSize), buffer(probe.size());
  t.GotoFirst();
  while (t.ReadNext(buffer.data()) == 0) out.push_back(Content(t, buffer.data()));
  if (index.empty() && t.CurrentIndex() == kPhysicalOrderSlot) return out;
  std::string memo;
  const int fields = t.GetIndexDesc(t.CurrentIndex()).FieldCount;
  for (int n = 0; n < 40; ++n) {
    FillRow(t, probe.data(), n * 53 + 7, memo);
    t.BuildKey(probe.data(), low.data());
    FillRow(t, probe.data(), n * 31 + 3, memo);
    t.BuildKey(probe.data(), high.data());
    for (int count : {fields, 1}) {
      t.FindKey(low.data(), count, 0, true);
      out.push_back(t.ReadCurrent(buffer.data(), false) == 0 ? Content(t, buffer.data()) : "none");
      t.SetRange(low.data(), count, 0, false, high.data(), count, 0, n % 2 == 1);
      out.push_back(std::to_string(t.RecordCount()));
      t.CancelRange();
    }
  }
  return out;
}

class BulkLoaderTest : public data_file_test::EngineTest {
 protected:
  void TearDown() override { OsFailNever(); }

  // Old rows 1..150 with every seventh deleted, in `dir`/name.DAT.
  std::string MakeBase(const fs::path& dir, const std::string& name, const TConfig& config) {
    fs::create_directories(dir);
    const std::string path = (dir / (name + ".DAT")).string();
    CreateLoadTable(path, config);
    TDataFile t;
    t.SetFileName(path);
    t.Open();
    AppendRows(t, 1, 150, [&](uint8_t* b) { t.AppendRecord(b); });
    t.SelectIndex("ByNum");
    std::vector<uint8_t> buffer(size_t(t.RecordSize()));
    t.GotoFirst();
    for (int n = 0; t.ReadNext(buffer.data()) == 0; ++n)
      if (n % 7 == 3) t.DeleteRecord(true);
    t.Close();
    return path;
  }

  static std::map<std::string, std::string> Files(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(dir)) {
      const auto bytes = data_file_test::ReadAll(entry.path().string());
      files[entry.path().filename().string()] = std::string(bytes.begin(), bytes.end());
    }
    return files;
  }

  static void Load(const std::string& path, int first, int last, size_t sortMemory) {
    TBulkLoadOptions options;
    options.SortMemory = sortMemory;
    TBulkLoader loader(path, options);
    AppendRows(loader.Table(), first, last, [&](uint8_t* b) { loader.Append(b); });
    loader.Commit();
  }
};

TEST_F(BulkLoaderTest, EqualsRowByRowAppendsInEveryIndexKind) {
  for (const TConfig& config : kConfigs) {
    SCOPED_TRACE(config.Label);
    const fs::path dir = dir_.Path() / config.Label;
    const std::string rowPath = MakeBase(dir, "rows", config);
    const std::string bulkPath = (dir / "bulk.DAT").string();
    for (const char* ext : {".DAT", ".IDX", ".BLB"})
      fs::copy_file(dir / (std::string("rows") + ext), dir / (std::string("bulk") + ext));
    {
      TDataFile t;
      t.SetExclusive(true);
      t.SetFileName(rowPath);
      t.Open();
      AppendRows(t, 151, 1400, [&](uint8_t* b) { t.AppendRecord(b); });
      t.Close();
    }
    // A small sort budget: every index is sorted in several runs.
    Load(bulkPath, 151, 1400, 16 * 1024);
    EXPECT_EQ(Files(dir).size(), 6u) << "temporary files left";

    TDataFile rows, bulk;
    for (auto [t, path] : {std::pair{&rows, rowPath}, std::pair{&bulk, bulkPath}}) {
      t->SetFileName(path);
      t->Open();
      EXPECT_EQ(CheckTableFiles(*t), std::vector<std::string>{}) << path;
    }
    EXPECT_EQ(bulk.RecordCount(), rows.RecordCount());
    for (const char* index : {"", "ByName", "ByNum", "ByCityName", "ByAmount", "ByDayFlag"}) {
      SCOPED_TRACE(index);
      const std::vector<std::string> expected = Readings(rows, index);
      EXPECT_EQ(expected.size() > 1000, true);
      EXPECT_TRUE(Readings(bulk, index) == expected);
    }
  }
}

TEST_F(BulkLoaderTest, FailureAtAnyPointLeavesTheTableAsItWas) {
  const TConfig& config = kConfigs[0];
  const std::string path = MakeBase(dir_.Path() / "t", "t", config);
  const auto before = Files(dir_.Path() / "t");
  // The file operations of a whole load, counted on a copy.
  fs::copy(dir_.Path() / "t", dir_.Path() / "count");
  const int64_t start = OsFileOperationCount();
  Load((dir_.Path() / "count" / "t.DAT").string(), 151, 400, 8 * 1024);
  const int64_t operations = OsFileOperationCount() - start;
  ASSERT_GT(operations, 50);
  int failed = 0, tried = 0;
  for (int64_t k = 0; k < operations; k += std::max<int64_t>(1, operations / 60), ++tried) {
    SCOPED_TRACE(k);
    OsFailAfter(k);
    bool threw = false;
    try {
      Load(path, 151, 400, 8 * 1024);
    } catch (const fw::Exception&) {
      threw = true;
    }
    OsFailNever();
    if (threw) {
      ++failed;
      EXPECT_TRUE(Files(dir_.Path() / "t") == before);
      continue;
    }
    // A failure the load could pass over must leave a sound, complete table.
    TDataFile t;
    t.SetFileName(path);
    t.Open();
    EXPECT_EQ(CheckTableFiles(t), std::vector<std::string>{});
    EXPECT_EQ(Files(dir_.Path() / "t").size(), 3u);
    t.Close();
    for (const auto& [name, bytes] : before) data_file_test::WriteAll((dir_.Path() / "t" / name).string(), {bytes.begin(), bytes.end()});
  }
  EXPECT_GT(failed, tried / 2);
}

TEST_F(BulkLoaderTest, RefusesARecordIdADeletedRecordStillHolds) {
  const std::string path = MakeBase(dir_.Path() / "t", "t", kConfigs[1]);
  // A table whose IDs have wrapped: the last ID handed out lies just below
  // that of a deleted record, which an append would pass over.
  std::vector<uint8_t> bytes = data_file_test::ReadAll(path);
  const TDataHeader header = TDataHeader::Unpack(bytes.data());
  const size_t first = kDataHeaderSize + kFieldDescSize * header.FieldCount;
  int32_t deleted = 1;
  while (bytes[first + size_t(deleted - 1) * header.RecordSize] != 1) ++deleted;
  const int32_t id = LoadI32(bytes.data() + first + size_t(deleted - 1) * header.RecordSize + kRecordIdOffset);
  StoreI32(bytes.data() + kDhLastRecordID, id - 1);
  data_file_test::WriteAll(path, bytes);
  const auto before = Files(dir_.Path() / "t");
  {
    TBulkLoader loader(path);
    AppendRows(loader.Table(), 151, 151, [&](uint8_t* b) { loader.Append(b); });
    try {
      loader.Commit();
      ADD_FAILURE() << "two records with ID " << id;
    } catch (const EBulkKeyViolation& e) {
      EXPECT_EQ(e.Record, loader.FirstNewRecord());
      EXPECT_EQ(e.OtherRecord, deleted);
    }
  }
  EXPECT_TRUE(Files(dir_.Path() / "t") == before);
}

TEST_F(BulkLoaderTest, RefusesATableAnotherProgramHasOpen) {
  const std::string path = MakeBase(dir_.Path() / "t", "t", kConfigs[1]);
  int ready[2], release[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(release), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    TDataFile t;
    t.SetFileName(path);
    t.Open();
    char c = 1;
    (void)!::write(ready[1], &c, 1);
    (void)!::read(release[0], &c, 1);
    t.Close();
    ::_exit(0);
  }
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  int32_t live = 0;
  {
    TDataFile t;
    t.SetFileName(path);
    t.SetReadOnly(true);
    t.Open();
    live = t.RecordCount();
  }
  const auto before = Files(dir_.Path() / "t");
  try {
    TBulkLoader loader(path);
    ADD_FAILURE() << "the load began while another program had the table open";
  } catch (const ETableInUse& e) {
    EXPECT_NE(e.Message.find("open in another program"), std::string::npos) << e.Message;
  }
  EXPECT_TRUE(Files(dir_.Path() / "t") == before);
  ASSERT_EQ(::write(release[1], &c, 1), 1);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
  Load(path, 151, 160, size_t(1) << 20);
  TDataFile t;
  t.SetFileName(path);
  t.Open();
  EXPECT_EQ(t.RecordCount(), live + 10);
}

}  // namespace
