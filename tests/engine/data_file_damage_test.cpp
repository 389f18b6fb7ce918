// Damaged data files: Open refuses each inconsistency with its code, and
// thousands of randomly damaged headers and descriptor blocks end in an
// engine error or a table that reads safely — never a crash, a hang or a
// read beyond a buffer (the sanitizers watch).

#include <map>
#include <random>

#include "tabula/locale.h"
#include "tests/engine/data_file_test_util.h"

using namespace tabula;
using namespace data_file_test;

namespace {

size_t DescAt(size_t k) { return kDataHeaderSize + kFieldDescSize * k; }

class DataFileDamageTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    path_ = dir_.File("d.DAT");
    CreateTable(path_, {AutoIncField("ID"), Field("Name", kFldString, 12), Field("Count", kFldInt32),
                        Field("When", kFldTimestamp), Field("Ok", kFldBoolean)},
                {});
    AppendSlots(path_, 40, [](int32_t recNo, uint8_t* slot) {
      slot[9] = 1;
      std::snprintf(reinterpret_cast<char*>(slot + 10), 13, "name%d", recNo);
      slot[23] = 1;
      StoreI32(slot + 24, recNo);
    });
    valid_ = ReadAll(path_);
  }

  // Opens the file; on success reads every record both ways and every field.
  int OpenAndRead(const std::vector<uint8_t>& bytes) {
    WriteAll(path_, bytes);
    TDataFile table;
    table.SetFileName(path_);
    int converted = 0;
    const int code = EngineCode([&] {
      table.Open();
      std::vector<uint8_t> out(256);
      for (int direction : {kReadForward, kReadBackward}) {
        const uint32_t slots = uint32_t(table.NextRecordNo() - 1);
        for (uint32_t i = 1; i <= slots; ++i) {
          const uint32_t n = direction == kReadForward ? i : slots + 1 - i;
          TRecord* record = nullptr;
          if (!table.GetRecord(n, true, direction, false, record)) continue;
          for (int k = 1; k <= table.FieldCount(); ++k) table.GetField(TDescSet::kWorking, k, record->Data(), out.data());
          table.ReleaseRecord(record);
        }
        table.ReleaseReadLock();
      }
      std::vector<uint8_t> buffer(size_t(table.RecordSize()));
      try {
        table.InitRecord(buffer.data());
      } catch (const fw::EConvertError&) {
        converted = 1;  // a damaged default text: the conversion error, as for any bad default
      }
    });
    (void)converted;
    if (code != 0) {
      EXPECT_FALSE(table.IsOpen());  // a failed open leaves the handle closed
    }
    return code;
  }

  std::string path_;
  std::vector<uint8_t> valid_;
};

TEST_F(DataFileDamageTest, OpenRefusesEachInconsistencyWithItsCode) {
  const TDataHeader h = TDataHeader::Unpack(valid_.data());
  auto header = [&](const std::function<void(TDataHeader&)>& change) {
    std::vector<uint8_t> bytes = valid_;
    TDataHeader copy = h;
    change(copy);
    copy.Pack(bytes.data(), false);
    return bytes;
  };
  auto patch16 = [&](size_t at, int delta) {
    std::vector<uint8_t> bytes = valid_;
    StoreU16(bytes.data() + at, uint16_t(LoadU16(bytes.data() + at) + delta));
    return bytes;
  };
  uint16_t uninstalled = 0x7F7F;
  ASSERT_FALSE(IsLocaleInstalled(uninstalled, 0));
  std::vector<uint8_t> longer = valid_;
  longer.push_back(0);
  std::vector<uint8_t> shorter = valid_;
  shorter.pop_back();
  std::vector<uint8_t> swapped = valid_;
  StoreI16(swapped.data() + DescAt(1) + kFdFieldNo, 3);
  StoreI16(swapped.data() + DescAt(2) + kFdFieldNo, 2);
  std::vector<uint8_t> wideString = valid_;
  wideString[DescAt(1) + kFdSize] = 255;
  std::vector<uint8_t> computedStored = valid_;
  computedStored[DescAt(4) + kFdComputed] = 1;  // a stored field marked computed keeps its offset
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    int code;
  };
  const std::vector<Case> cases = {
      {"one byte longer", longer, kErrHeaderCorrupt},
      {"one byte shorter", shorter, kErrHeaderCorrupt},
      {"offset skips a byte", patch16(DescAt(2) + kFdOffset, 1), kErrHeaderCorrupt},
      {"offset overlaps a byte", patch16(DescAt(2) + kFdOffset, -1), kErrHeaderCorrupt},
      {"field numbers out of order", swapped, kErrHeaderCorrupt},
      {"auto-increment not at 5", patch16(DescAt(0) + kFdOffset, 4), kErrHeaderCorrupt},
      {"string size beyond a byte's width", wideString, kErrHeaderCorrupt},
      {"computed field with an offset", computedStored, kErrHeaderCorrupt},
      {"record size one more", header([](TDataHeader& x) { ++x.RecordSize; }), kErrHeaderCorrupt},
      {"record size zero", header([](TDataHeader& x) { x.RecordSize = 0; }), kErrHeaderCorrupt},
      {"computed size set", header([](TDataHeader& x) { x.ComputedSize = 1; }), kErrHeaderCorrupt},
      {"next record number one more", header([](TDataHeader& x) { ++x.NextRecordNo; }), kErrHeaderCorrupt},
      {"next record number negative", header([](TDataHeader& x) { x.NextRecordNo = -5; }), kErrHeaderCorrupt},
      {"more fields than the file holds", header([](TDataHeader& x) { x.FieldCount = 60000; }), kErrHeaderCorrupt},
      {"one field fewer", header([](TDataHeader& x) { --x.FieldCount; }), kErrHeaderCorrupt},
      {"format version 2", header([](TDataHeader& x) { x.FormatVersion = 2; }), kErrVersion},
      {"format version 4", header([](TDataHeader& x) { x.FormatVersion = 4; }), kErrVersion},
      {"locale not installed", header([&](TDataHeader& x) { x.LanguageId = uninstalled; }), kErrLanguageDriver},
      {"file shorter than its header", std::vector<uint8_t>(valid_.begin(), valid_.begin() + 100), kErrRead},
  };
  for (const Case& c : cases) EXPECT_EQ(OpenAndRead(c.bytes), c.code) << c.what;
  // The valid file still opens and reads after all that.
  EXPECT_EQ(OpenAndRead(valid_), 0);
  // And so does a table whose language is installed.
  EXPECT_EQ(OpenAndRead(header([](TDataHeader& x) { x.LanguageId = 0x0419; })), 0);
}

TEST_F(DataFileDamageTest, RandomDamageToHeaderAndDescriptorsEndsInAnErrorOrASafeRead) {
  const size_t descriptorEnd = DescAt(TDataHeader::Unpack(valid_.data()).FieldCount);
  // Interesting places weigh more: the header's counts and sizes and the
  // descriptor fields that place data in the record.
  std::vector<size_t> hot = {kDhFormatVersion, kDhNextRecordNo,  kDhNextRecordNo + 3, kDhRecordSize,
                             kDhRecordSize + 1, kDhFieldCount,   kDhFieldCount + 1,   kDhComputedSize,
                             kDhLanguageId,     kDhEncrypted,    kDhBlobFieldCount};
  for (size_t k = 0; k < 5; ++k)
    for (size_t off : std::initializer_list<size_t>{kFdFieldNo, kFdName, kFdFieldType, kFdSubType, kFdSize, kFdScale, kFdOffset, kFdOffset + 1,
                       kFdComputed, kFdDefaultValue, kFdMinValue, kFdExpression})
      hot.push_back(DescAt(k) + off);
  int opened = 0;
  int refused = 0;
  std::map<int, int> codes;
  for (uint32_t seed = 1; seed <= 3000; ++seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> bytes = valid_;
    const int edits = 1 + int(rng() % 4);
    for (int e = 0; e < edits; ++e) {
      size_t at;
      switch (rng() % 3) {
        case 0: at = hot[rng() % hot.size()]; break;
        case 1: at = rng() % kDataHeaderSize; break;
        default: at = rng() % descriptorEnd; break;
      }
      switch (rng() % 4) {
        case 0: bytes[at] = uint8_t(rng()); break;
        case 1: bytes[at] ^= uint8_t(1u << (rng() % 8)); break;
        case 2: bytes[at] = uint8_t(bytes[at] + (rng() % 2 ? 1 : -1)); break;
        default: bytes[at] = rng() % 2 ? 0 : 0xFF; break;
      }
    }
    if (rng() % 10 == 0) bytes.resize(bytes.size() - rng() % 64);  // and sometimes a cut tail
    const int code = OpenAndRead(bytes);
    if (code == 0) {
      ++opened;
    } else {
      ++refused;
      ++codes[code];
    }
  }
  RecordProperty("opened", opened);
  RecordProperty("refused", refused);
  // Both outcomes happen; refusals carry the codes of a damaged file. A
  // damaged blob field count sends the open after a blob file the table never
  // had, which is refused as the missing file it is (11010).
  EXPECT_GT(opened, 100);
  EXPECT_GT(refused, 1000);
  for (const auto& [code, count] : codes) {
    EXPECT_TRUE(code == kErrHeaderCorrupt || code == kErrVersion || code == kErrLanguageDriver ||
                code == kErrRead || code == kErrPasswordRequired || code == kErrRecordBuffersCorrupt ||
                code == kErrInvalidPath)
        << code << " x" << count;
  }
}

}  // namespace
