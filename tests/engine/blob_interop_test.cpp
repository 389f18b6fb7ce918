// Blobs written by another writer of the same format: media.dat, media.IDX
// and media.Blb in the shared interop folder, with media.rows.csv giving
// every record's contents.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/blob_checker.h"
#include "engine/blob_file.h"
#include "tests/engine/blob_test_util.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace tabula;
using namespace blob_test;
namespace fs = std::filesystem;

struct TBlobField {
  int FieldNo;
  uint8_t SubType;
  uint16_t Offset;  // of the null flag
};

// Just enough of the data file to take each blob field's reference: the
// header, the 768-byte descriptors after it, the fixed-size slots after them.
struct TMediaTable {
  uint32_t BlobBlockSize = 0;
  int32_t Slots = 0;
  uint16_t RecordSize = 0;
  std::vector<TBlobField> BlobFields;
  Bytes Raw;
  size_t FirstSlot = 0;

  explicit TMediaTable(const Bytes& raw) : Raw(raw) {
    BlobBlockSize = LoadU32(raw.data() + 4);
    const int32_t nextRecordNo = LoadI32(raw.data() + 13);
    RecordSize = LoadU16(raw.data() + 21);
    const uint16_t fieldCount = LoadU16(raw.data() + 23);
    for (int k = 0; k < fieldCount; ++k) {
      const uint8_t* d = raw.data() + 127 + 768 * k;
      if (d[84] == 3) BlobFields.push_back({k + 1, d[85], LoadU16(d + 90)});
    }
    FirstSlot = 127 + 768 * size_t(fieldCount);
    Slots = nextRecordNo - 1;
  }

  const uint8_t* Slot(int32_t slot) const { return Raw.data() + FirstSlot + size_t(RecordSize) * size_t(slot - 1); }
};

std::vector<std::string> SplitCsvLine(const std::string& line) {
  std::vector<std::string> cells;
  std::stringstream in(line);
  std::string cell;
  while (std::getline(in, cell, ',')) cells.push_back(cell);
  if (!line.empty() && line.back() == ',') cells.emplace_back();
  return cells;
}

Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// UTF-8 to Windows-1251 for the characters the fixtures use: ASCII and the
// Russian alphabet.
Bytes ToCp1251(const std::string& text) {
  Bytes out;
  for (size_t i = 0; i < text.size();) {
    uint8_t c = uint8_t(text[i]);
    if (c < 0x80) {
      out.push_back(c);
      ++i;
      continue;
    }
    uint32_t cp = ((c & 0x1F) << 6) | (uint8_t(text[i + 1]) & 0x3F);
    i += 2;
    if (cp >= 0x410 && cp <= 0x44F) {
      out.push_back(uint8_t(0xC0 + cp - 0x410));
    } else if (cp == 0x401) {
      out.push_back(0xA8);
    } else if (cp == 0x451) {
      out.push_back(0xB8);
    } else {
      out.push_back('?');
    }
  }
  return out;
}

class BlobInteropTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitializeEngine();
    const fs::path shared = testing_support::InteropDir();
    ASSERT_TRUE(fs::exists(shared / "media.dat")) << "no interop tables at " << shared;
    for (const char* name : {"media.dat", "media.IDX", "media.Blb", "media.rows.csv"}) {
      fs::copy_file(shared / name, dir_.Path() / name);
      fs::permissions(dir_.Path() / name, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
    }
  }

  testing_support::TempDir dir_;
  TTestOwner owner_;
};

TEST_F(BlobInteropTest, EveryBlobReadsAsTheRowsSay) {
  TMediaTable table(ReadFileBytes(dir_.File("media.dat")));
  ASSERT_EQ(table.BlobFields.size(), 2u);

  // The data file's name: the companion is found as media.Blb.
  auto file = OpenBlobFile(dir_.File("media.dat"), &owner_, false, table.BlobBlockSize);
  EXPECT_EQ(file->BlockSize(), 512);

  std::ifstream csv(dir_.File("media.rows.csv"));
  std::string line;
  std::getline(csv, line);  // column names
  std::vector<TBlobReference> references;
  int rows = 0, blobs = 0;
  while (std::getline(csv, line)) {
    if (line.empty()) continue;
    auto cells = SplitCsvLine(line);
    const int32_t slot = std::stoi(cells.at(0));
    SCOPED_TRACE("slot " + cells[0]);
    ASSERT_GE(slot, 1);
    ASSERT_LE(slot, table.Slots);
    const uint8_t* record = table.Slot(slot);
    ASSERT_EQ(record[0], 0);  // a live record
    ++rows;
    for (const TBlobField& field : table.BlobFields) {
      const std::string& expected = cells.at(size_t(field.FieldNo));
      const bool isNull = record[field.Offset] == 0;
      const int32_t reference = LoadI32(record + field.Offset + 1);
      if (expected == "\\N") {
        EXPECT_TRUE(isNull);
        EXPECT_EQ(reference, 0);
        continue;
      }
      ASSERT_FALSE(isNull);
      Bytes want = field.SubType == 22 ? ToCp1251(expected) : FromHex(expected);
      EXPECT_EQ(LoadBlob(*file, slot, field.FieldNo, reference), want) << "field " << field.FieldNo;
      references.push_back({slot, field.FieldNo, reference});
      ++blobs;
    }
  }
  EXPECT_EQ(rows, 5);
  EXPECT_GE(blobs, 5);
  EXPECT_TRUE(owner_.Messages.empty());

  // The memos of 494 and 495 bytes take one and two blocks.
  for (const TBlobReference& ref : references) {
    TBlock* first = nullptr;
    ASSERT_TRUE(file->GetBlock(ref.Offset, false, 1, first));
    EXPECT_EQ(first->NextBlock() == 0, first->BlobLength() <= 494) << "slot " << ref.RecordNo;
    file->ReleaseBlock(first);
  }

  // The free chain, every chain, and no block lost.
  auto faults = CheckBlobFile(*file, references);
  for (const auto& fault : faults) ADD_FAILURE() << fault;
  EXPECT_NE(file->FirstFreeBlock(), 0);
}

TEST_F(BlobInteropTest, NewBlobsReuseTheOtherWritersFreeChain) {
  TMediaTable table(ReadFileBytes(dir_.File("media.dat")));
  std::vector<TBlobReference> references;
  for (int32_t slot = 1; slot <= table.Slots; ++slot) {
    const uint8_t* record = table.Slot(slot);
    if (record[0] != 0) continue;
    for (const TBlobField& field : table.BlobFields) {
      int32_t reference = LoadI32(record + field.Offset + 1);
      if (reference != 0) references.push_back({slot, field.FieldNo, reference});
    }
  }
  auto file = OpenBlobFile(dir_.File("media.dat"), &owner_, true, table.BlobBlockSize);
  const int32_t firstFree = file->FirstFreeBlock();
  const int32_t end = file->EndOfBlocks();
  ASSERT_NE(firstFree, 0);
  Bytes data = Pattern(5000, 42);
  int32_t ref = StoreBlob(*file, 6, 4, 0, data);  // slot 6 had no blobs
  EXPECT_EQ(ref, firstFree);
  EXPECT_GT(file->EndOfBlocks(), end);  // more than the free chain held
  EXPECT_EQ(file->FirstFreeBlock(), 0);
  file->FlushAll(false, false);
  file->Close();

  auto again = OpenBlobFile(dir_.File("media.dat"), &owner_, false, table.BlobBlockSize);
  EXPECT_EQ(LoadBlob(*again, 6, 4, ref), data);
  references.push_back({6, 4, ref});
  auto faults = CheckBlobFile(*again, references);
  for (const auto& fault : faults) ADD_FAILURE() << fault;
  for (const TBlobReference& r : references) {
    if (r.RecordNo != 6) {
      EXPECT_FALSE(LoadBlob(*again, r.RecordNo, r.FieldNo, r.Offset).empty());
    }
  }
}

}  // namespace
