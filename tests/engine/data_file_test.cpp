// TDataFile: field rules, defaults, the record cache and its read-ahead,
// header writes, locks and change detection between two handles.

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>

#include <unistd.h>

#include "tabula/field_values.h"
#include "tests/engine/data_file_test_util.h"

using namespace tabula;
using namespace data_file_test;

namespace {

// A table with a field of every type.
std::vector<TFieldDef> AllTypes() {
  TFieldDef memo = Field("Memo", kFldBlob);
  memo.SubType = kSubMemo;
  return {AutoIncField("ID"),         Field("Name", kFldString, 10), Field("Born", kFldDate),
          memo,                       Field("Active", kFldBoolean), Field("Small", kFldInt16),
          Field("Count", kFldInt32),  Field("Weight", kFldFloat),   Field("Amount", kFldBcd, 0, 2),
          Field("Raw", kFldBytes, 4), Field("Alarm", kFldTime),     Field("Seen", kFldTimestamp),
          Field("Word", kFldUInt16),  Field("Hits", kFldUInt32),    Field("Ext", kFldExtended),
          Field("Var", kFldVarBytes, 5)};
}

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<uint8_t> out;
  for (int v : values) out.push_back(uint8_t(v));
  return out;
}

std::vector<uint8_t> Text(const std::string& text, size_t width) {
  std::vector<uint8_t> out(width, 0);
  std::memcpy(out.data(), text.data(), std::min(text.size(), width));
  return out;
}

class DataFileTest : public EngineTest {
 protected:
  std::string Create(const std::vector<TFieldDef>& fields, const std::string& name = "t.DAT") {
    std::string path = dir_.File(name);
    CreateTable(path, fields, {});
    return path;
  }
};

TEST_F(DataFileTest, FieldsStoreAndReadByTheRulesOfTheirType) {
  const std::string path = Create(AllTypes());
  TDataFile table;
  table.SetFileName(path);
  table.Open();
  std::vector<uint8_t> buffer(size_t(table.RecordSize()), 0xEE);
  table.InitRecord(buffer.data());

  struct Case {
    const char* what;
    int fieldNo;
    std::optional<std::vector<uint8_t>> input;
    bool expectNull;
    std::vector<uint8_t> expect;
  };
  const std::vector<Case> cases = {
      {"string keeps its text", 2, Text("Anna", 11), false, Text("Anna", 11)},
      {"trailing blanks go", 2, Text("abc   ", 11), false, Text("abc", 11)},
      {"blanks only are NULL", 2, Text("    ", 11), true, Text("", 11)},
      {"empty string is NULL", 2, Text("", 11), true, Text("", 11)},
      {"longer text is cut to Size", 2, Text("0123456789AB", 11), false, Text("0123456789", 11)},
      {"boolean 2 reads as 1", 5, Bytes({2, 0}), false, Bytes({1, 0})},
      {"boolean 256 reads as 1", 5, Bytes({0, 1}), false, Bytes({1, 0})},
      {"boolean false has a value", 5, Bytes({0, 0}), false, Bytes({0, 0})},
      {"16-bit copied", 6, Bytes({0xFF, 0xFF}), false, Bytes({0xFF, 0xFF})},
      {"32-bit copied", 7, Bytes({1, 2, 3, 4}), false, Bytes({1, 2, 3, 4})},
      {"bytes copied", 10, Bytes({0, 0, 0, 0}), false, Bytes({0, 0, 0, 0})},
      {"blob reference 0 is NULL", 4, Bytes({0, 0, 0, 0}), true, Bytes({0, 0, 0, 0})},
      {"blob reference has a value", 4, Bytes({0, 2, 0, 0}), false, Bytes({0, 2, 0, 0})},
      {"open blob handle counts as a value", 4, Bytes({0xFF, 0xFF, 0xFF, 0xFF}), false,
       Bytes({0xFF, 0xFF, 0xFF, 0xFF})},
      {"no data is NULL", 7, std::nullopt, true, Bytes({0, 0, 0, 0})},
      {"extended float copied", 15, Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}), false,
       Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10})},
      {"auto-increment exposes the record ID", 1, Bytes({7, 0, 0, 0}), false, Bytes({7, 0, 0, 0})},
      {"auto-increment keeps its bytes without data", 1, std::nullopt, false, Bytes({7, 0, 0, 0})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    table.SetField(TDescSet::kWorking, c.fieldNo, c.input ? c.input->data() : nullptr, false, buffer.data());
    std::vector<uint8_t> out(c.expect.size(), 0xCC);
    EXPECT_EQ(table.GetField(TDescSet::kWorking, c.fieldNo, buffer.data(), out.data()), c.expectNull);
    EXPECT_EQ(out, c.expect);
    // The null flag sits right before the data (none for the auto-increment field).
    const TFieldDesc d = table.GetFieldDesc(TDescSet::kFile, c.fieldNo);
    if (!d.IsAutoIncrement()) {
      EXPECT_EQ(buffer[d.Offset], c.expectNull ? 0 : 1);
    }
  }
  // Setting fields never touches the record's status and slot bytes.
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(LoadU32(buffer.data() + 1), 0u);
}

TEST_F(DataFileTest, DescriptorsByNumberAndName) {
  const std::string path = Create(AllTypes());
  TDataFile table;
  table.SetFileName(path);
  table.Open();
  EXPECT_EQ(table.FieldCount(), 16);
  EXPECT_EQ(table.GetFieldDesc(TDescSet::kWorking, 9).Name, "Amount");
  EXPECT_EQ(table.GetFieldDescByName(TDescSet::kFile, "aMoUnT").FieldNo, 9);
  EXPECT_EQ(table.GetFieldDesc(TDescSet::kFile, 9).DataSize, 8);
  EXPECT_EQ(table.GetFieldDesc(TDescSet::kFile, 9).DataScale, 2);
  for (int bad : {0, 17, -1})
    EXPECT_EQ(EngineCode([&] { table.GetFieldDesc(TDescSet::kWorking, bad); }), kErrInvalidField) << bad;
  EXPECT_EQ(EngineCode([&] { table.GetFieldDescByName(TDescSet::kWorking, "Nope"); }), kErrInvalidField);
  std::vector<uint8_t> buffer(size_t(table.RecordSize()));
  EXPECT_EQ(EngineCode([&] { table.GetField(TDescSet::kWorking, 17, buffer.data(), nullptr); }), kErrInvalidField);
}

TEST_F(DataFileTest, DefaultsFillNewRecords) {
  std::vector<TFieldDef> fields = {Field("Name", kFldString, 10), Field("Born", kFldDate), Field("Active", kFldBoolean),
                                   Field("Small", kFldInt16),     Field("Weight", kFldFloat), Field("Amount", kFldBcd, 0, 2),
                                   Field("Seen", kFldTimestamp), Field("Word", kFldUInt16),  Field("Plain", kFldInt32)};
  fields[0].DefaultValue = "Moscow";
  fields[1].DefaultValue = "date";
  fields[2].DefaultValue = "TRUE";
  fields[3].DefaultValue = "-12";
  fields[4].DefaultValue = "2.5";
  fields[5].DefaultValue = "12.34";
  fields[6].DefaultValue = "1/2/2003 4:05:06";
  fields[7].DefaultValue = "65535";
  const std::string path = Create(fields);
  TDataFile table;
  table.SetFileName(path);
  table.Open();
  std::vector<uint8_t> buffer(size_t(table.RecordSize()), 0x55);
  const int32_t before = TodayDayNumber();
  table.InitRecord(buffer.data());
  const int32_t after = TodayDayNumber();
  uint8_t value[16];
  EXPECT_FALSE(table.GetField(TDescSet::kWorking, 1, buffer.data(), value));
  EXPECT_STREQ(reinterpret_cast<char*>(value), "Moscow");
  EXPECT_FALSE(table.GetField(TDescSet::kWorking, 2, buffer.data(), value));
  EXPECT_GE(LoadI32(value), before);
  EXPECT_LE(LoadI32(value), after);
  EXPECT_FALSE(table.GetField(TDescSet::kWorking, 3, buffer.data(), value));
  EXPECT_EQ(LoadU16(value), 1);
  EXPECT_FALSE(table.GetField(TDescSet::kWorking, 4, buffer.data(), value));
  EXPECT_EQ(LoadI16(value), -12);
  EXPECT_FALSE(table.GetField(TDescSet::kWorking, 5, buffer.data(), value));
  EXPECT_EQ(LoadF64(value), 2.5);
  EXPECT_FALSE(table.GetField(TDescSet::kWorking, 6, buffer.data(), value));
  EXPECT_EQ(LoadI64(value), 12342);
  EXPECT_FALSE(table.GetField(TDescSet::kWorking, 7, buffer.data(), value));
  // Read as "M/d/yyyy" without a language driver, whatever the user's locale.
  EXPECT_EQ(LoadF64(value), EncodeTimestamp(EncodeDayNumber(2003, 1, 2), EncodeTimeMs(4, 5, 6, 0)));
  EXPECT_FALSE(table.GetField(TDescSet::kWorking, 8, buffer.data(), value));
  EXPECT_EQ(LoadU16(value), 65535);
  // A field without a default stays NULL and zero.
  EXPECT_TRUE(table.GetField(TDescSet::kWorking, 9, buffer.data(), value));
  EXPECT_EQ(LoadI32(value), 0);
  EXPECT_EQ(buffer[0], 0);
}

TEST_F(DataFileTest, InvalidBooleanDefaultInTheFileRaisesTheConversionError) {
  std::vector<TFieldDef> fields = {Field("Active", kFldBoolean)};
  fields[0].DefaultValue = "TRUE";
  const std::string path = Create(fields);
  // Another writer stored "TRUE " (with a blank) as the default.
  std::vector<uint8_t> bytes = ReadAll(path);
  uint8_t* text = bytes.data() + kDataHeaderSize + kFdDefaultValue;
  text[0] = 5;
  std::memcpy(text + 1, "TRUE ", 5);
  WriteAll(path, bytes);
  TDataFile table;
  table.SetFileName(path);
  table.Open();
  std::vector<uint8_t> buffer(size_t(table.RecordSize()));
  try {
    table.InitRecord(buffer.data());
    FAIL() << "no conversion error";
  } catch (const fw::EConvertError& e) {
    EXPECT_EQ(e.Message, "'TRUE ' is not a valid boolean value");
  }
}

// A table of n records with a 32-bit field holding 1000 + the record number.
// The primary index keeps the open from scanning the slots (a table in
// physical order builds its live-record bitmap at open); its tree stays
// empty, which the record-level operations tested here never look at.
std::string MakeNumbered(const testing_support::TempDir& dir, int32_t n, const std::string& name = "n.DAT") {
  std::string path = dir.File(name);
  TIndexDef primary;
  primary.Primary = true;
  primary.Fields = {"ID"};
  CreateTable(path, {AutoIncField("ID"), Field("Value", kFldInt32), Field("Pad", kFldString, 9)}, {primary});
  AppendSlots(path, n, [](int32_t recNo, uint8_t* slot) {
    slot[9] = 1;
    StoreI32(slot + 10, 1000 + recNo);
  });
  return path;
}

int32_t ValueOf(TDataFile& table, TRecord* record) {
  uint8_t value[4];
  EXPECT_FALSE(table.GetField(TDescSet::kFile, 2, record->Data(), value));
  return LoadI32(value);
}

TEST_F(DataFileTest, ReadAheadUsesOneFileReadPerBlockInBothDirections) {
  const int32_t n = 100000;
  const std::string path = MakeNumbered(dir_, n);
  for (int direction : {kReadForward, kReadBackward}) {
    SCOPED_TRACE(direction);
    TDataFile table;
    table.SetExclusive(true);
    table.SetFileName(path);
    table.Open();
    const int32_t limit = table.ReadAheadLimit();
    EXPECT_EQ(limit, 32767 / table.StoredRecordSize());
    const uint64_t readsAtOpen = table.Stats().ReadCalls;
    for (int32_t i = 1; i <= n; ++i) {
      const uint32_t recNo = uint32_t(direction == kReadForward ? i : n + 1 - i);
      TRecord* record = nullptr;
      ASSERT_TRUE(table.GetRecord(recNo, true, direction, false, record));
      ASSERT_NE(record, nullptr);
      ASSERT_EQ(record->RecordNo, recNo);
      ASSERT_EQ(ValueOf(table, record), 1000 + int32_t(recNo));
      table.ReleaseRecord(record);
    }
    const uint64_t blocks = uint64_t((n + limit - 1) / limit);
    EXPECT_EQ(table.DataStats().BlockReads, blocks);
    EXPECT_EQ(table.DataStats().RecordsRead, uint64_t(n));
    EXPECT_EQ(table.Stats().ReadCalls - readsAtOpen, blocks);
    EXPECT_EQ(table.DataStats().RecordRequests, uint64_t(n));
  }
}

TEST_F(DataFileTest, CacheKeepsMostRecentFirstAndReadsBackwardIntoTheSlotsBefore) {
  const std::string path = MakeNumbered(dir_, 500);
  TDataFile table;
  table.SetFileName(path);
  table.Open();
  const size_t bufferSize = size_t(table.RecordSize());
  EXPECT_EQ(table.Cache().Capacity(), std::min<size_t>(131070 / bufferSize, 65535));

  // Backward from 300: slots 300 - limit + 1 .. 300 come in, 300 first and
  // its predecessors right behind it.
  TRecord* record = nullptr;
  ASSERT_TRUE(table.GetRecord(300, true, kReadBackward, false, record));
  const int32_t limit = table.ReadAheadLimit();
  const auto& entries = table.Cache().Entries();
  ASSERT_EQ(entries.size(), size_t(std::min(limit, 300)));
  uint32_t expected = 300;
  for (const TRecord& e : entries) EXPECT_EQ(e.RecordNo, expected--);
  EXPECT_EQ(record->PinCount, 1);
  table.ReleaseRecord(record);
  table.ReleaseReadLock();

  // Forward from 301: the next block; 301 goes to the front.
  ASSERT_TRUE(table.GetRecord(301, true, kReadForward, false, record));
  EXPECT_EQ(table.Cache().Entries().front().RecordNo, 301u);
  EXPECT_EQ(std::next(table.Cache().Entries().begin())->RecordNo, 302u);
  table.ReleaseRecord(record);
  // A cache hit moves the entry to the front without a read.
  const uint64_t reads = table.DataStats().BlockReads;
  ASSERT_TRUE(table.GetRecord(250, true, kReadForward, false, record));
  EXPECT_EQ(table.DataStats().BlockReads, reads);
  EXPECT_EQ(table.Cache().Entries().front().RecordNo, 250u);
  table.ReleaseRecord(record);
  table.ReleaseReadLock();
}

TEST_F(DataFileTest, ModifiedRecordInsideABlockKeepsItsContents) {
  const std::string path = MakeNumbered(dir_, 100);
  TDataFile table;
  table.SetExclusive(true);
  table.SetReadOnly(true);  // nothing may reach the file
  table.SetFileName(path);
  table.Open();
  TRecord* record = nullptr;
  ASSERT_TRUE(table.GetRecord(50, false, kReadForward, false, record));
  int32_t changed = -7;
  table.SetField(TDescSet::kFile, 2, reinterpret_cast<uint8_t*>(&changed), false, record->Data());
  record->Modified = true;
  table.ReleaseRecord(record);
  // A block read that covers 50 refreshes its neighbours but not 50.
  ASSERT_TRUE(table.GetRecord(40, true, kReadForward, false, record));
  table.ReleaseRecord(record);
  ASSERT_TRUE(table.GetRecord(50, true, kReadForward, false, record));
  EXPECT_EQ(ValueOf(table, record), -7);
  table.ReleaseRecord(record);
  ASSERT_TRUE(table.GetRecord(51, true, kReadForward, false, record));
  EXPECT_EQ(ValueOf(table, record), 1051);
  table.ReleaseRecord(record);
}

TEST_F(DataFileTest, PinLimitAndEvictionOfTheLeastRecentlyUsed) {
  const std::string path = MakeNumbered(dir_, 6000);
  TDataFile table;
  table.SetExclusive(true);
  table.SetFileName(path);
  table.Open();
  TRecord* first = nullptr;
  TRecord* record = nullptr;
  for (int i = 0; i < 64; ++i) ASSERT_TRUE(table.GetRecord(1, false, kReadForward, false, first));
  EXPECT_EQ(first->PinCount, 64);
  EXPECT_EQ(EngineCode([&] { table.GetRecord(1, false, kReadForward, false, record); }), kErrRecordBuffersCorrupt);
  for (int i = 0; i < 64; ++i) table.ReleaseRecord(first);
  table.ReleaseRecord(first);  // not below 0
  EXPECT_EQ(first->PinCount, 0);

  // Fill the cache one record at a time; the next record evicts the least
  // recently used unpinned entry, never a pinned one.
  const size_t capacity = table.Cache().Capacity();
  ASSERT_LT(capacity + 1, 6000u);
  TRecord* pinned = nullptr;
  ASSERT_TRUE(table.GetRecord(2, false, kReadForward, false, pinned));
  for (uint32_t n = 3; n <= capacity; ++n) {
    ASSERT_TRUE(table.GetRecord(n, false, kReadForward, false, record));
    table.ReleaseRecord(record);
  }
  ASSERT_EQ(table.Cache().Count(), capacity);
  ASSERT_TRUE(table.GetRecord(uint32_t(capacity + 1), false, kReadForward, false, record));
  table.ReleaseRecord(record);
  EXPECT_EQ(table.Cache().Count(), capacity);
  EXPECT_EQ(table.Cache().Find(1), nullptr);   // the least recently used went
  EXPECT_NE(table.Cache().Find(2), nullptr);   // pinned: kept
  EXPECT_NE(table.Cache().Find(3), nullptr);
  table.ReleaseRecord(pinned);
}

TEST_F(DataFileTest, AppendedSlotsAndWriteBackInRuns) {
  const std::string path = MakeNumbered(dir_, 10);
  {
    TDataFile table;
    table.SetExclusive(true);
    table.SetFileName(path);
    table.Open();
    EXPECT_EQ(table.NextRecordNo(), 11);
    TRecord* record = nullptr;
    // Records 3, 4, 5 and 8 changed, 11 and 12 appended: three runs.
    for (uint32_t n : {3u, 4u, 5u, 8u, 11u, 12u}) {
      ASSERT_TRUE(table.GetRecord(n, false, kReadForward, false, record));
      int32_t value = -int32_t(n);
      table.SetField(TDescSet::kFile, 2, reinterpret_cast<uint8_t*>(&value), false, record->Data());
      record->Modified = true;
      if (n >= 11) {
        EXPECT_EQ(LoadU32(record->Data() + 1), n);  // a new slot knows its number
        StoreI32(record->Data() + 5, int32_t(n));
      }
      table.ReleaseRecord(record);
    }
    EXPECT_EQ(table.NextRecordNo(), 13);
    EXPECT_TRUE(table.HeaderModified());
    const uint64_t writes = table.Stats().WriteCalls;
    table.Close();  // an exclusive handle writes everything at close
    EXPECT_EQ(table.DataStats().Writes, 3u);
    EXPECT_EQ(table.Stats().WriteCalls - writes, 3u + 1u + 0u);  // three runs and the data header
  }
  const std::vector<uint8_t> bytes = ReadAll(path);
  const TDataHeader header = TDataHeader::Unpack(bytes.data());
  EXPECT_EQ(header.NextRecordNo, 13);
  EXPECT_EQ(bytes.size(), kDataHeaderSize + 3 * kFieldDescSize + size_t(header.RecordSize) * 12);
  TDataFile table;
  table.SetFileName(path);
  table.Open();
  for (uint32_t n = 1; n <= 12; ++n) {
    TRecord* record = nullptr;
    ASSERT_TRUE(table.GetRecord(n, true, kReadForward, false, record));
    const bool changed = n == 3 || n == 4 || n == 5 || n == 8 || n >= 11;
    EXPECT_EQ(ValueOf(table, record), changed ? -int32_t(n) : 1000 + int32_t(n)) << n;
    table.ReleaseRecord(record);
  }
}

TEST_F(DataFileTest, TableFullLimitsOnAppend) {
  const std::string path = MakeNumbered(dir_, 1);
  // A header that says the table holds 99,999,999 slots cannot be opened
  // against this file, so the limit is checked through a crafted length:
  // extend the file sparsely to exactly that many slots.
  std::vector<uint8_t> bytes = ReadAll(path);
  TDataHeader header = TDataHeader::Unpack(bytes.data());
  const int64_t start = int64_t(kDataHeaderSize) + 3 * int64_t(kFieldDescSize);
  const int32_t slots = 2000000000 / header.RecordSize;  // RecordSize * NextRecordNo > 2e9 at the next append
  header.NextRecordNo = slots + 1;
  header.Pack(bytes.data(), false);
  WriteAll(path, bytes);
  std::filesystem::resize_file(path, uint64_t(start + int64_t(header.RecordSize) * slots));
  TDataFile table;
  table.SetExclusive(true);
  table.SetFileName(path);
  table.Open();
  TRecord* record = nullptr;
  EXPECT_EQ(EngineCode([&] { table.GetRecord(uint32_t(slots + 1), false, kReadForward, false, record); }),
            kErrFileFull);
  EXPECT_EQ(table.NextRecordNo(), slots + 1);
}

TEST_F(DataFileTest, HeaderWritesCountAndPreserveUninterpretedBytes) {
  const std::string path = MakeNumbered(dir_, 3);
  std::vector<uint8_t> bytes = ReadAll(path);
  for (size_t i = 35; i < 86; ++i) bytes[i] = uint8_t(i);
  for (size_t i = 107; i < 111; ++i) bytes[i] = uint8_t(i);
  for (size_t i = 114; i < 127; ++i) bytes[i] = uint8_t(i);
  WriteAll(path, bytes);
  const TDataHeader before = TDataHeader::Unpack(bytes.data());
  {
    TDataFile table;
    table.SetFileName(path);
    table.Open();
    table.WriteHeader(false);  // not modified, not forced: nothing
    EXPECT_EQ(table.DataStats().HeaderWrites, 0u);
    table.WriteHeader(true);
    EXPECT_EQ(table.Header().ChangeCounter, before.ChangeCounter + 1);
  }
  const std::vector<uint8_t> after = ReadAll(path);
  const TDataHeader h = TDataHeader::Unpack(after.data());
  EXPECT_EQ(h.ChangeCounter, before.ChangeCounter + 1);
  EXPECT_NE(h.LastUpdated, before.LastUpdated);
  // Days since 1899-12-30 minus 693594: about -648,000 for this century.
  EXPECT_LT(h.LastUpdated, -640000.0);
  EXPECT_GT(h.LastUpdated, -660000.0);
  for (size_t i = 35; i < 86; ++i) EXPECT_EQ(after[i], uint8_t(i)) << i;
  for (size_t i = 107; i < 111; ++i) EXPECT_EQ(after[i], uint8_t(i)) << i;
  for (size_t i = 114; i < 127; ++i) EXPECT_EQ(after[i], uint8_t(i)) << i;
  EXPECT_LE(after[113], 1);
  // Everything after the header is untouched.
  EXPECT_TRUE(std::equal(after.begin() + 127, after.end(), bytes.begin() + 127));
}

// ---------------------------------------------------------------- locks

class DataFileLockTest : public DataFileTest {
 protected:
  void SetUp() override {
    DataFileTest::SetUp();
    path_ = MakeNumbered(dir_, 20, "locks.DAT");
    for (TDataFile* t : {&a_, &b_}) {
      t->SetFileName(path_);
      t->LockRetryCount = 2;
      t->LockWaitTime = 1;
      t->Open();
      // Short retry loops: a refusal shows after a few tries, not 24 s.
      t->WriteByteLock().MaxTries = 3;
      t->IndexFile().SharedLock().MaxTries = 3;
      t->IndexFile().ExclusiveLock().MaxTries = 3;
    }
  }
  std::string path_;
  TDataFile a_;
  TDataFile b_;
};

TEST_F(DataFileLockTest, ReadersShareAndAWriterExcludesThem) {
  EXPECT_FALSE(a_.TakeReadLock());
  EXPECT_FALSE(b_.TakeReadLock());  // readers coexist
  EXPECT_EQ(EngineCode([&] { b_.TakeWriteLock(); }), kErrLockFailure);  // a reader keeps the writer out
  EXPECT_FALSE(b_.WriteLockHeld());
  EXPECT_FALSE(b_.ReadLockHeld());  // gave its reader byte up trying
  a_.ReleaseReadLock();
  EXPECT_FALSE(b_.TakeWriteLock());
  EXPECT_TRUE(b_.WriteLockHeld());
  EXPECT_EQ(EngineCode([&] { a_.TakeReadLock(); }), kErrLockFailure);  // and the writer keeps readers out
  EXPECT_EQ(EngineCode([&] { a_.TakeWriteLock(); }), kErrLockFailure);
  b_.ReleaseWriteLock();
  EXPECT_FALSE(a_.TakeWriteLock());
  a_.ReleaseWriteLock();
  EXPECT_FALSE(a_.WriteByteLock().Held());
}

// A shared open measures the file and reads its header without a lock. It
// may come upon a writer that has written a new slot but not yet the header
// counting it: while the writer holds the write byte the open waits; once the
// byte is free, the same disagreement is damage and is refused at once.
TEST_F(DataFileLockTest, AnOpenWaitsForAWriterBetweenSlotAndHeader) {
  const size_t recordSize = TDataHeader::Unpack(ReadAll(path_).data()).RecordSize;
  auto appendSlot = [&] {
    std::ofstream out(path_, std::ios::binary | std::ios::app);
    const std::vector<char> slot(recordSize, 0);
    out.write(slot.data(), std::streamsize(slot.size()));
  };
  auto countSlotInHeader = [&] {
    std::vector<uint8_t> bytes = ReadAll(path_);
    TDataHeader header = TDataHeader::Unpack(bytes.data());
    ++header.NextRecordNo;
    ++header.ChangeCounter;
    header.Pack(bytes.data(), false);
    std::fstream io(path_, std::ios::binary | std::ios::in | std::ios::out);
    io.write(reinterpret_cast<const char*>(bytes.data()), kDataHeaderSize);
  };

  ASSERT_FALSE(a_.TakeWriteLock());
  appendSlot();  // the writer's new slot is in the file, its header not yet
  TDataFile c;
  c.SetFileName(path_);
  std::atomic<int> code{-1};
  std::thread opener([&] { code = EngineCode([&] { c.Open(); }); });
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(code.load(), -1);  // still waiting for the writer
  countSlotInHeader();
  a_.ReleaseWriteLock();
  opener.join();
  EXPECT_EQ(code.load(), 0);
  EXPECT_EQ(c.NextRecordNo(), 22);
  c.Close();

  appendSlot();  // a slot no writer is counting: damage
  TDataFile d;
  d.SetFileName(path_);
  EXPECT_EQ(EngineCode([&] { d.Open(); }), kErrHeaderCorrupt);
}

TEST_F(DataFileLockTest, RecordLocksExcludeOtherHandles) {
  a_.LockRecord(5);
  a_.LockRecord(5);  // held already: nothing
  EXPECT_EQ(a_.LockedRecords(), std::vector<int32_t>{5});
  EXPECT_EQ(EngineCode([&] { b_.LockRecord(5); }), kErrRecordInUse);
  EXPECT_EQ(b_.RecordLocks().LastTries(), 3);  // LockRetryCount + 1
  b_.LockRecord(6);
  a_.UnlockRecord(5);
  a_.UnlockRecord(5);  // not held: nothing
  EXPECT_TRUE(a_.LockedRecords().empty());
  b_.LockRecord(5);
  EXPECT_EQ(b_.LockedRecords().size(), 2u);
  // Record 0 is the current record; there is none.
  EXPECT_EQ(EngineCode([&] { a_.LockRecord(0); }), kErrRecordInUse);
  EXPECT_EQ(EngineCode([&] { a_.UnlockRecord(0); }), kErrUnlock);
  // Closing releases what the handle holds.
  b_.Close();
  a_.LockRecord(5);
  a_.LockRecord(6);
}

TEST_F(DataFileLockTest, WriteHoldKeepsTheWriteByteAndDefersRecordUnlocks) {
  b_.BeginWriteHold();
  EXPECT_EQ(EngineCode([&] { a_.TakeWriteLock(); }), kErrLockFailure);
  EXPECT_EQ(a_.WriteByteLock().LastTries(), 3);
  b_.LockRecord(3);
  b_.UnlockRecord(3);  // deferred while the hold is active
  EXPECT_EQ(b_.LockedRecords(), std::vector<int32_t>{3});
  EXPECT_FALSE(b_.TakeWriteLock());  // the hold has the byte already
  b_.ReleaseWriteLock();
  EXPECT_TRUE(b_.WriteByteLock().Held());
  b_.EndWriteHold();
  EXPECT_TRUE(b_.LockedRecords().empty());
  EXPECT_FALSE(b_.WriteByteLock().Held());
  a_.LockRecord(3);
  EXPECT_FALSE(a_.TakeWriteLock());
  a_.ReleaseWriteLock();
}

TEST_F(DataFileLockTest, AnotherWritersChangeIsSeenWhenTheReadLockIsTaken) {
  TRecord* record = nullptr;
  ASSERT_TRUE(a_.GetRecord(7, true, kReadForward, false, record));
  EXPECT_EQ(ValueOf(a_, record), 1007);
  a_.ReleaseRecord(record);
  a_.ReleaseReadLock();

  // b changes record 7 and appends one, under its write lock.
  EXPECT_FALSE(b_.TakeWriteLock());
  ASSERT_TRUE(b_.GetRecord(7, false, kReadForward, false, record));
  int32_t value = 77;
  b_.SetField(TDescSet::kFile, 2, reinterpret_cast<uint8_t*>(&value), false, record->Data());
  record->Modified = true;
  b_.ReleaseRecord(record);
  ASSERT_TRUE(b_.GetRecord(21, false, kReadForward, false, record));
  record->Modified = true;
  b_.ReleaseRecord(record);
  b_.UnpinAll();
  b_.FlushAll(false, true, false);
  b_.ReleaseWriteLock();

  // a still answers from its cache until it takes the read lock.
  ASSERT_TRUE(a_.GetRecord(7, true, kReadForward, false, record));
  EXPECT_EQ(ValueOf(a_, record), 1007);
  a_.ReleaseRecord(record);
  EXPECT_TRUE(a_.TakeReadLock());  // changed: header re-read, cache dropped
  EXPECT_EQ(a_.NextRecordNo(), 22);
  EXPECT_EQ(a_.Cache().Find(7), nullptr);
  ASSERT_TRUE(a_.GetRecord(7, true, kReadForward, false, record));
  EXPECT_EQ(ValueOf(a_, record), 77);
  a_.ReleaseRecord(record);
  a_.ReleaseReadLock();
  EXPECT_FALSE(a_.TakeReadLock());  // nothing new
  a_.ReleaseReadLock();
}

TEST_F(DataFileLockTest, AHeaderRewrittenWithAnotherLayoutIsRefused) {
  // Another program (or damage) rewrote the header with a different record
  // size: the buffers sized at open no longer fit, so the re-read refuses it.
  std::vector<uint8_t> bytes = ReadAll(path_);
  TDataHeader h = TDataHeader::Unpack(bytes.data());
  ++h.ChangeCounter;
  h.RecordSize = uint16_t(h.RecordSize + 8);
  h.Pack(bytes.data(), false);
  WriteAll(path_, bytes);
  EXPECT_EQ(EngineCode([&] { a_.TakeReadLock(); }), kErrHeaderCorrupt);
  EXPECT_FALSE(a_.ReadLockHeld());
  EXPECT_EQ(a_.StoredRecordSize(), 9 + 5 + 11);
}

TEST_F(DataFileLockTest, GetRecordReportsAChangeFoundWhileLoading) {
  TRecord* record = nullptr;
  // b writes the header; a's next miss takes the read lock, finds the
  // change and asks its caller to reposition.
  b_.WriteHeader(true);
  EXPECT_FALSE(a_.GetRecord(3, true, kReadForward, false, record));
  EXPECT_EQ(record, nullptr);
  EXPECT_TRUE(a_.ReadLockHeld());
  ASSERT_TRUE(a_.GetRecord(3, true, kReadForward, false, record));  // asked again: loads it
  EXPECT_EQ(ValueOf(a_, record), 1003);
  a_.ReleaseRecord(record);
  a_.ReleaseReadLock();
}

TEST_F(DataFileLockTest, StrictChangeDetectionLeavesTheReadLockToTheCursor) {
  a_.Close();
  a_.SetStrictChangeDetection(true);
  a_.Open();
  TRecord* record = nullptr;
  ASSERT_TRUE(a_.GetRecord(9, true, kReadForward, false, record));
  EXPECT_FALSE(a_.ReadLockHeld());  // the cursor operation took it, if at all
  EXPECT_EQ(ValueOf(a_, record), 1009);
  a_.ReleaseRecord(record);
  // Without it, a record read from the file takes the read lock itself.
  ASSERT_TRUE(b_.GetRecord(9, true, kReadForward, false, record));
  EXPECT_TRUE(b_.ReadLockHeld());
  b_.ReleaseRecord(record);
  b_.ReleaseReadLock();
}

TEST_F(DataFileLockTest, ExclusiveHandlesTakeNoLocks) {
  a_.Close();
  b_.Close();
  TDataFile exclusive;
  exclusive.SetExclusive(true);
  exclusive.SetFileName(path_);
  exclusive.Open();
  exclusive.LockRecord(4);
  EXPECT_TRUE(exclusive.LockedRecords().empty());
  EXPECT_FALSE(exclusive.TakeReadLock());
  EXPECT_FALSE(exclusive.ReadLockHeld());
  EXPECT_EQ(EngineCode([&] { exclusive.SetFileName("other.DAT"); }), kErrInUse);
  EXPECT_EQ(EngineCode([&] { exclusive.SetStrictChangeDetection(true); }), kErrInUse);
}

TEST_F(DataFileLockTest, ReadOnlyByAttributeHandlesTakeNoLocks) {
  a_.Close();
  b_.Close();
  std::filesystem::permissions(path_, std::filesystem::perms::owner_write | std::filesystem::perms::group_write |
                                          std::filesystem::perms::others_write,
                               std::filesystem::perm_options::remove);
  if (::access(path_.c_str(), W_OK) == 0) GTEST_SKIP() << "running with rights that ignore file permissions";
  TDataFile reader;
  reader.SetFileName(path_);
  reader.Open();
  EXPECT_TRUE(reader.ReadOnlyByAttribute());
  EXPECT_TRUE(reader.ReadOnly());
  reader.LockRecord(4);
  EXPECT_TRUE(reader.LockedRecords().empty());
  EXPECT_FALSE(reader.TakeReadLock());
  EXPECT_FALSE(reader.ReadLockHeld());
}

}  // namespace
