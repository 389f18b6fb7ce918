// Tables written by another writer: every field of every live record must
// read as the CSV beside the table says. The values are decoded here from
// the documented encodings, independently of the engine's value code.

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <sstream>

#include "tabula/locale.h"
#include "tests/engine/data_file_test_util.h"

using namespace tabula;
using namespace data_file_test;

namespace {

std::vector<std::vector<std::string>> ReadCsv(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::vector<std::vector<std::string>> rows;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> cells;
    std::stringstream ss(line);
    std::string cell;
    while (std::getline(ss, cell, ',')) cells.push_back(cell);
    if (!line.empty() && line.back() == ',') cells.emplace_back();
    rows.push_back(cells);
  }
  return rows;
}

std::string Hex(const uint8_t* data, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 15];
  }
  return out;
}

// Day 1 = 0001-01-01; 719163 days lie between it and 1970-01-01.
std::string DateText(int32_t day) {
  using namespace std::chrono;
  const year_month_day ymd{sys_days{days{day - 719163}}};
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u", int(ymd.year()), unsigned(ymd.month()), unsigned(ymd.day()));
  return text;
}

std::string TimeText(int64_t ms) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", int(ms / 3600000), int(ms / 60000 % 60), int(ms / 1000 % 60),
                int(ms % 1000));
  return text;
}

// The stored BCD integer: the value's digits at its scale, then the scale.
std::string BcdText(int64_t stored) {
  const bool negative = stored < 0;
  uint64_t magnitude = negative ? uint64_t(-(stored + 1)) + 1 : uint64_t(stored);
  const int scale = int(magnitude % 10);
  std::string digits = std::to_string(magnitude / 10);
  if (scale > 0) {
    if (digits.size() <= size_t(scale)) digits.insert(0, size_t(scale) + 1 - digits.size(), '0');
    digits.insert(digits.size() - size_t(scale), ".");
  }
  return (negative ? "-" : "") + digits;
}

// The text of one field as the CSV writes it, or "\N".
std::string FieldText(TDataFile& table, int fieldNo, const uint8_t* record) {
  const TFieldDesc d = table.GetFieldDesc(TDescSet::kFile, fieldNo);
  uint8_t value[256];
  if (table.GetField(TDescSet::kFile, fieldNo, record, value)) return "\\N";
  switch (d.FieldType) {
    case kFldString: return Cp1251ToUtf8(reinterpret_cast<const char*>(value));
    case kFldDate: return DateText(LoadI32(value));
    case kFldBlob: return "ref:" + std::to_string(LoadI32(value));
    case kFldBoolean: return LoadU16(value) ? "true" : "false";
    case kFldInt16: return std::to_string(LoadI16(value));
    case kFldInt32: return std::to_string(LoadI32(value));
    case kFldFloat: return "float:" + Hex(value, 8);
    case kFldBcd: return BcdText(LoadI64(value));
    case kFldBytes: return Hex(value, d.DataSize);
    case kFldTime: return TimeText(LoadI32(value));
    case kFldTimestamp: {
      const double ms = std::round(LoadF64(value));
      const int64_t total = int64_t(ms);
      return DateText(int32_t(total / 86400000)) + " " + TimeText(total % 86400000);
    }
    case kFldUInt16: return std::to_string(LoadU16(value));
    case kFldUInt32: return std::to_string(LoadU32(value));
    default: return "type" + std::to_string(d.FieldType);
  }
}

// Floats are compared by value (the CSV has the shortest round-trip text).
std::string ExpectedText(const TFieldDesc& d, const std::string& cell) {
  if (cell == "\\N") return cell;
  if (d.FieldType == kFldFloat) {
    double v = std::strtod(cell.c_str(), nullptr);
    uint8_t bytes[8];
    StoreF64(bytes, v);
    return "float:" + Hex(bytes, 8);
  }
  return cell;
}

class DataFileInteropTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    interop_ = InteropDir();
    ASSERT_TRUE(std::filesystem::exists(interop_ / "people.DAT")) << "no interop tables at " << interop_;
  }
  std::filesystem::path interop_;
};

TEST_F(DataFileInteropTest, PeopleReadsEveryFieldOfEveryLiveRecord) {
  CopyInterop(interop_, dir_.Path(), {"people.DAT", "people.idx"});
  const auto rows = ReadCsv(interop_ / "people.rows.csv");
  ASSERT_GT(rows.size(), 1u);
  TDataFile table;
  table.SetReadOnly(true);
  table.SetFileName(dir_.File("people.DAT"));
  table.Open();
  ASSERT_EQ(table.FieldCount() + 1, int(rows[0].size()));
  for (int k = 1; k <= table.FieldCount(); ++k) EXPECT_EQ(table.GetFieldDesc(TDescSet::kFile, k).Name, rows[0][size_t(k)]);

  std::map<uint32_t, const std::vector<std::string>*> bySlot;
  for (size_t r = 1; r < rows.size(); ++r) bySlot[uint32_t(std::stoul(rows[r][0]))] = &rows[r];
  size_t compared = 0;
  for (uint32_t slot = 1; slot < uint32_t(table.NextRecordNo()); ++slot) {
    TRecord* record = nullptr;
    ASSERT_TRUE(table.GetRecord(slot, true, kReadForward, false, record));
    auto it = bySlot.find(slot);
    if (it == bySlot.end()) {
      EXPECT_EQ(record->Data()[0], 1) << "slot " << slot << " is not in the CSV, so it must be deleted";
    } else {
      EXPECT_EQ(record->Data()[0], 0) << slot;
      EXPECT_EQ(LoadU32(record->Data() + 1), slot);
      const auto& cells = *it->second;
      for (int k = 1; k <= table.FieldCount(); ++k) {
        const TFieldDesc d = table.GetFieldDesc(TDescSet::kFile, k);
        EXPECT_EQ(FieldText(table, k, record->Data()), ExpectedText(d, cells[size_t(k)]))
            << "slot " << slot << " field " << d.Name;
      }
      ++compared;
    }
    table.ReleaseRecord(record);
  }
  EXPECT_EQ(compared, rows.size() - 1);
  table.ReleaseReadLock();
}

TEST_F(DataFileInteropTest, MediaReadsItsFieldsAndBlobReferences) {
  CopyInterop(interop_, dir_.Path(), {"media.dat", "media.IDX", "media.Blb"});
  const auto rows = ReadCsv(interop_ / "media.rows.csv");
  TDataFile table;
  table.SetReadOnly(true);
  table.SetFileName(dir_.File("media.dat"));
  table.Open();
  EXPECT_EQ(table.Header().BlobFieldCount, 2);
  EXPECT_EQ(table.IndexFile().Header().SecondaryCount, 1);
  std::map<uint32_t, const std::vector<std::string>*> bySlot;
  for (size_t r = 1; r < rows.size(); ++r) bySlot[uint32_t(std::stoul(rows[r][0]))] = &rows[r];
  size_t compared = 0;
  // Backwards this time: the read-ahead runs the other way.
  for (uint32_t slot = uint32_t(table.NextRecordNo()) - 1; slot >= 1; --slot) {
    TRecord* record = nullptr;
    ASSERT_TRUE(table.GetRecord(slot, true, kReadBackward, false, record));
    auto it = bySlot.find(slot);
    if (it == bySlot.end()) {
      EXPECT_EQ(record->Data()[0], 1) << slot;
    } else {
      const auto& cells = *it->second;
      for (int k = 1; k <= table.FieldCount(); ++k) {
        const TFieldDesc d = table.GetFieldDesc(TDescSet::kFile, k);
        const std::string got = FieldText(table, k, record->Data());
        if (d.FieldType == kFldBlob) {
          // Blob contents are the blob file's; here the reference: NULL
          // exactly when the CSV says so, else a block offset.
          if (cells[size_t(k)] == "\\N") {
            EXPECT_EQ(got, "\\N") << slot << " " << d.Name;
          } else {
            ASSERT_EQ(got.rfind("ref:", 0), 0u) << got;
            const int32_t ref = std::stoi(got.substr(4));
            EXPECT_GE(ref, 512) << slot << " " << d.Name;
            EXPECT_EQ((ref - 512) % 512, 0) << slot << " " << d.Name;
          }
        } else {
          EXPECT_EQ(got, ExpectedText(d, cells[size_t(k)])) << "slot " << slot << " field " << d.Name;
        }
      }
      ++compared;
    }
    table.ReleaseRecord(record);
  }
  EXPECT_EQ(compared, rows.size() - 1);
}

// Walking each index through the data file's cursor gives the slots of
// people.order.txt, forwards and backwards; the records come through the
// record cache with the index's read-ahead runs.
TEST_F(DataFileInteropTest, CursorWalksEveryIndexInItsOrder) {
  CopyInterop(interop_, dir_.Path(), {"people.DAT", "people.idx"});
  TDataFile table;
  table.SetReadOnly(true);
  table.SetFileName(dir_.File("people.DAT"));
  table.Open();
  std::ifstream in(interop_ / "people.order.txt");
  std::string line;
  int indexes = 0;
  std::vector<uint8_t> buffer(size_t(table.RecordSize()));
  while (std::getline(in, line)) {
    const size_t colon = line.find(':');
    ASSERT_NE(colon, std::string::npos);
    std::string name = line.substr(0, colon);
    if (name == "<primary>") name.clear();
    std::vector<uint32_t> expected;
    std::stringstream ss(line.substr(colon + 1));
    for (uint32_t slot; ss >> slot;) expected.push_back(slot);
    SCOPED_TRACE(name);
    table.SelectIndex(name);
    std::vector<uint32_t> forward;
    table.GotoFirst();
    while (table.ReadNext(buffer.data()) == 0) forward.push_back(LoadU32(buffer.data() + 1));
    EXPECT_EQ(forward, expected);
    std::vector<uint32_t> backward;
    table.GotoLast();
    while (table.ReadPrior(buffer.data()) == 0) backward.push_back(LoadU32(buffer.data() + 1));
    std::reverse(backward.begin(), backward.end());
    EXPECT_EQ(backward, expected);
    ++indexes;
  }
  EXPECT_EQ(indexes, 10);
  // Every record was read through the cache in blocks, not one by one.
  EXPECT_LT(table.DataStats().BlockReads, table.DataStats().RecordRequests);
}

// When another handle writes the index header, the next read lock reloads
// the headers, drops the record cache and re-finds the cursor's record by
// its key: reading goes on where it stood.
TEST_F(DataFileInteropTest, ACursorKeepsItsPlaceWhenAnotherHandleChangesTheIndex) {
  CopyInterop(interop_, dir_.Path(), {"people.DAT", "people.idx"});
  TDataFile a;
  TDataFile b;
  for (TDataFile* t : {&a, &b}) {
    t->SetFileName(dir_.File("people.DAT"));
    t->Open();
  }
  std::vector<uint8_t> buffer(size_t(a.RecordSize()));
  a.SelectIndex("ByName");
  a.GotoFirst();
  std::vector<uint32_t> order;
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(a.ReadNext(buffer.data()), 0);
    order.push_back(LoadU32(buffer.data() + 1));
  }
  EXPECT_GT(a.Cache().Count(), 0u);

  EXPECT_FALSE(b.TakeWriteLock());
  b.IndexFile().WriteHeader(true);
  b.ReleaseWriteLock();

  EXPECT_TRUE(a.TakeReadLock());
  EXPECT_EQ(a.Cache().Find(order.back()), nullptr);  // the cache went
  EXPECT_EQ(a.CurrentRecord(), nullptr);
  a.ReleaseReadLock();
  while (a.ReadNext(buffer.data()) == 0) order.push_back(LoadU32(buffer.data() + 1));
  a.GotoFirst();
  std::vector<uint32_t> fresh;
  while (a.ReadNext(buffer.data()) == 0) fresh.push_back(LoadU32(buffer.data() + 1));
  EXPECT_EQ(order, fresh);
  EXPECT_EQ(order.size(), 300u);
}

}  // namespace
