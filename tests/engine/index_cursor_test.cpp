// The data file's cursor operations over the interop table people.DAT:
// reading forwards and backwards in every index order, record numbers,
// bookmarks, partial-key search, ranges, GotoCurrent and Clone.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <sstream>

#include "tabula/data_file.h"
#include "tabula/engine_error.h"
#include "tabula/field_types.h"
#include "tabula/file_session.h"
#include "engine/index_checker.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace tabula;
namespace fs = std::filesystem;

int EngineCode(const std::function<void()>& body) {
  try {
    body();
  } catch (const ETabulaEngineError& e) {
    return e.Code();
  }
  return 0;
}

class IndexCursorTest : public testing::Test {
 protected:
  void SetUp() override {
    InitializeEngine();
    const fs::path shared = testing_support::InteropDir();
    ASSERT_TRUE(fs::exists(shared / "people.idx")) << "no interop tables at " << shared;
    for (const char* name : {"people.DAT", "people.idx"}) {
      fs::copy_file(shared / name, dir_.Path() / name);
      fs::permissions(dir_.Path() / name, fs::perms::owner_write, fs::perm_options::add);
    }
    std::ifstream order(shared / "people.order.txt");
    std::string line;
    while (std::getline(order, line)) {
      size_t colon = line.find(':');
      std::string name = line.substr(0, colon);
      std::istringstream slots(line.substr(colon + 1));
      std::vector<int32_t>& list = orders_[name == "<primary>" ? "" : name];
      for (int32_t s; slots >> s;) list.push_back(s);
    }
    table_.SetReadOnly(true);
    table_.SetFileName(dir_.File("people.DAT"));
    table_.Open();
    buffer_.resize(size_t(table_.RecordSize()));
  }
  int32_t Slot() const { return table_.CurrentRecord() ? int32_t(table_.CurrentRecord()->RecordNo) : 0; }
  std::string City(const uint8_t* record) {
    std::vector<uint8_t> data(256, 0);
    if (table_.GetField(TDescSet::kFile, 3, record, data.data())) return "<null>";
    return std::string(reinterpret_cast<const char*>(data.data()));
  }

  testing_support::TempDir dir_;
  TDataFile table_;
  std::map<std::string, std::vector<int32_t>> orders_;
  std::vector<uint8_t> buffer_;
};

TEST_F(IndexCursorTest, ReadsEveryOrderForwardsAndBackwards) {
  ASSERT_EQ(orders_.size(), 10u);
  for (const auto& [name, expect] : orders_) {
    table_.SelectIndex(name);
    EXPECT_EQ(table_.RecordCount(), int32_t(expect.size())) << name;
    table_.GotoFirst();
    EXPECT_EQ(table_.ReadCurrent(buffer_.data(), false), kErrBeginningOfFile);
    std::vector<int32_t> got;
    while (table_.ReadNext(buffer_.data()) == kResultOk) {
      got.push_back(Slot());
      EXPECT_EQ(table_.CurrentRecNo(), int32_t(got.size()));
      EXPECT_EQ(LoadU32(buffer_.data() + 1), uint32_t(got.back()));
    }
    EXPECT_EQ(got, expect) << name;
    // After the end, the last record comes back first.
    ASSERT_EQ(table_.ReadPrior(buffer_.data()), kResultOk);
    EXPECT_EQ(Slot(), expect.back());
    table_.GotoLast();
    EXPECT_EQ(table_.ReadCurrent(buffer_.data(), false), kErrEndOfFile);
    std::vector<int32_t> back;
    while (table_.ReadPrior(buffer_.data()) == kResultOk) back.push_back(Slot());
    std::reverse(back.begin(), back.end());
    EXPECT_EQ(back, expect) << name;
    EXPECT_EQ(table_.ReadPrior(buffer_.data()), kErrBeginningOfFile);
    EXPECT_EQ(table_.ReadNext(buffer_.data()), kResultOk);
    EXPECT_EQ(Slot(), expect.front());
  }
  EXPECT_EQ(EngineCode([&] { table_.SelectIndex("NoSuchIndex"); }), kErrInvalidIndexName);
}

TEST_F(IndexCursorTest, CheckerComparesSysDeletedWithTheRecords) {
  auto faults = CheckIndexFile(table_);
  EXPECT_TRUE(faults.empty()) << faults.size() << " faults, first: " << faults.front();
  EXPECT_FALSE(table_.ReadLockHeld());
}

TEST_F(IndexCursorTest, RecordNumbersAndBookmarks) {
  table_.SelectIndex("ByBornDesc");
  const auto& expect = orders_["ByBornDesc"];
  for (int32_t n : {1, 2, 150, int32_t(expect.size())}) {
    ASSERT_EQ(table_.GotoRecNo(n), kResultOk);
    EXPECT_EQ(Slot(), expect[size_t(n - 1)]);
    EXPECT_EQ(table_.CurrentRecNo(), n);
  }
  EXPECT_EQ(table_.GotoRecNo(int32_t(expect.size()) + 5), kErrEndOfFile);
  ASSERT_EQ(table_.GotoRecNo(100), kResultOk);
  std::vector<uint8_t> mark100(size_t(table_.KeySize())), mark200(size_t(table_.KeySize()));
  table_.GetBookmark(mark100.data());
  ASSERT_EQ(table_.GotoRecNo(200), kResultOk);
  table_.GetBookmark(mark200.data());
  EXPECT_EQ(table_.CompareBookmarks(mark100.data(), mark200.data()), -1);
  EXPECT_EQ(table_.CompareBookmarks(mark200.data(), mark100.data()), 1);
  EXPECT_EQ(table_.CompareBookmarks(mark100.data(), mark100.data()), 0);
  ASSERT_EQ(table_.GotoBookmark(mark100.data()), kResultOk);
  EXPECT_EQ(Slot(), expect[99]);
  ASSERT_EQ(table_.ReadNext(buffer_.data()), kResultOk);
  EXPECT_EQ(Slot(), expect[100]);
}

TEST_F(IndexCursorTest, PartialKeySearchAndRangeOnTheFirstField) {
  // The primary index is City;Name;ID. Take the city of a record in the
  // middle and search with the first field only.
  table_.SelectIndex("");
  const auto& expect = orders_[""];
  ASSERT_EQ(table_.GotoRecNo(120), kResultOk);
  ASSERT_EQ(table_.ReadCurrent(buffer_.data(), false), kResultOk);
  const std::string city = City(buffer_.data());
  std::vector<size_t> sameCity;
  for (size_t i = 0; i < expect.size(); ++i) {
    ASSERT_EQ(table_.GotoRecNo(int32_t(i + 1)), kResultOk);
    std::vector<uint8_t> rec(buffer_.size());
    table_.ReadCurrent(rec.data(), false);
    if (City(rec.data()) == city) sameCity.push_back(i);
  }
  ASSERT_FALSE(sameCity.empty());
  std::vector<uint8_t> key(kKeyBufferSize, 0);
  table_.BuildKey(buffer_.data(), key.data());
  table_.GotoFirst();
  ASSERT_EQ(table_.FindKey(key.data(), 1, 0, false), kResultOk);
  EXPECT_EQ(table_.CurrentRecNo(), int32_t(sameCity.front() + 1));
  EXPECT_EQ(Slot(), expect[sameCity.front()]);

  // A key above every key: nearest makes the last record current.
  std::vector<uint8_t> top(kKeyBufferSize, 0xFF);
  ASSERT_EQ(table_.FindKey(top.data(), 1, 0, true), kResultOk);
  EXPECT_EQ(Slot(), expect.back());
  // Exact search for a missing key does not move the cursor.
  top[0] = 1;
  EXPECT_EQ(table_.FindKey(top.data(), 1, 0, false), kErrRecordNotFound);
  EXPECT_EQ(Slot(), expect.back());

  // A range over that city.
  table_.SetRange(key.data(), 1, 0, false, key.data(), 1, 0, false);
  EXPECT_EQ(table_.RecordCount(), int32_t(sameCity.size()));
  std::vector<int32_t> got;
  while (table_.ReadNext(buffer_.data()) == kResultOk) got.push_back(Slot());
  ASSERT_EQ(got.size(), sameCity.size());
  for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], expect[sameCity[i]]);
  // Back from past the range's end comes its last record.
  ASSERT_EQ(table_.ReadPrior(buffer_.data()), kResultOk);
  EXPECT_EQ(Slot(), got.back());
  // Exclusive bounds on both sides leave nothing.
  table_.SetRange(key.data(), 1, 0, true, key.data(), 1, 0, true);
  EXPECT_EQ(table_.RecordCount(), 0);
  EXPECT_EQ(table_.ReadNext(buffer_.data()), kErrEndOfFile);
  table_.CancelRange();
  EXPECT_EQ(table_.RecordCount(), int32_t(expect.size()));
}

TEST_F(IndexCursorTest, CloneAndGotoCurrentStandOnTheSameRecord) {
  table_.SelectIndex("ByTagHits");
  const auto& expect = orders_["ByTagHits"];
  ASSERT_EQ(table_.GotoRecNo(77), kResultOk);
  std::unique_ptr<TDataFile> clone = table_.Clone();
  ASSERT_TRUE(clone->CurrentRecord());
  EXPECT_EQ(int32_t(clone->CurrentRecord()->RecordNo), expect[76]);
  EXPECT_EQ(clone->CurrentIndex(), table_.CurrentIndex());
  ASSERT_EQ(clone->ReadNext(buffer_.data()), kResultOk);
  EXPECT_EQ(int32_t(clone->CurrentRecord()->RecordNo), expect[77]);
  // The original follows the clone.
  ASSERT_EQ(table_.GotoCurrent(*clone), kResultOk);
  EXPECT_EQ(Slot(), expect[77]);
  EXPECT_EQ(table_.CurrentRecNo(), 78);
  // Another order on the original still finds the record.
  table_.SelectIndex("ByName");
  EXPECT_EQ(Slot(), expect[77]);
  clone->Close();
}

}  // namespace
