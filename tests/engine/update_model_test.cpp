// Randomized appends, modifications and deletions against an in-memory
// model. After every batch, and after closing and opening again, every
// index, "Sys Deleted", the free-slot chain and every blob chain are checked
// and every record must equal the model.

#include <random>

#include "tests/engine/update_test_util.h"
#include "tests/support/child_process.h"

namespace update_test {
namespace {

using data_file_test::EngineCode;

std::string RandomBlob(std::mt19937& random, size_t maxLength, bool memo) {
  std::string text(random() % (maxLength + 1), '\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = char(memo ? 'A' + random() % 26 : random() % 256);
  // Memos carry lines ending in CR LF.
  if (memo)
    for (size_t i = 60; i + 1 < text.size(); i += 61) text[i] = '\r', text[i + 1] = '\n';
  return text;
}

class UpdateModelTest : public data_file_test::EngineTest, public ::testing::WithParamInterface<bool> {};

TEST_P(UpdateModelTest, RandomUpdatesKeepEveryFileConsistentWithTheModel) {
  const bool exclusive = GetParam();
  const std::string path = dir_.File("model.DAT");
  CreateTestTable(path, true, true);
  std::mt19937 random(exclusive ? 4242 : 1717);
  std::map<int32_t, TRow> model;
  std::set<int32_t> values;
  std::vector<std::string> messages;
  auto table = std::make_unique<TDataFile>();
  auto reopen = [&] {
    table = std::make_unique<TDataFile>();
    table->SetFileName(path);
    table->SetExclusive(exclusive);
    table->Open();
    table->SetMessageCallback([&](const std::string& m) { messages.push_back(m); });
  };
  reopen();

  auto verify = [&](const char* when) {
    SCOPED_TRACE(when);
    TDataFile& t = *table;
    t.SelectIndex("");
    EXPECT_EQ(t.RecordCount(), int32_t(model.size()));
    std::vector<TRow> expected;
    for (const auto& [id, row] : model) expected.push_back(row);
    const std::vector<TRow> rows = ScanRows(t, true);
    ASSERT_EQ(rows.size(), expected.size());
    for (size_t i = 0; i < rows.size(); ++i) ASSERT_TRUE(rows[i] == expected[i]) << "Id " << expected[i].Id;
    // Another order reaches the same records.
    t.SelectIndex("ByValue");
    EXPECT_EQ(ScanRows(t, false).size(), expected.size());
    t.SelectIndex("");
    if (!exclusive) {
      EXPECT_EQ(CheckTable(t), std::vector<std::string>{});
    }
  };

  const int kBatches = 16;
  const int kOpsPerBatch = 40;
  int32_t nextId = 1;
  std::vector<uint8_t> buffer;
  for (int batch = 0; batch < kBatches; ++batch) {
    TDataFile& t = *table;
    buffer.assign(size_t(t.RecordSize()), 0);
    for (int op = 0; op < kOpsPerBatch; ++op) {
      const int kind = int(random() % 10);
      // A Value already taken makes the update fail with a key violation
      // and change nothing.
      const int32_t value = int32_t(random() % 400);
      const bool clash = values.count(value) != 0;
      if (kind < 5 || model.empty()) {
        TRow row{nextId++, "n" + std::to_string(random() % 50), value, RandomBlob(random, 6000, true),
                 random() % 4 == 0 ? RandomBlob(random, 100000, false) : std::string()};
        t.InitRecord(buffer.data());
        FillRow(t, buffer.data(), row, true);
        const int code = EngineCode([&] { t.AppendRecord(buffer.data()); });
        FreeIfOpen(t, buffer.data(), kFMemo);
        FreeIfOpen(t, buffer.data(), kFPic);
        ASSERT_EQ(code, clash ? kErrDuplicateKey : 0);
        if (!clash) {
          model[row.Id] = row;
          values.insert(value);
        }
      } else {
        auto it = model.begin();
        std::advance(it, random() % model.size());
        ASSERT_EQ(FindId(t, it->first), 0);
        ASSERT_EQ(t.ReadCurrent(buffer.data(), true), 0);
        if (kind < 8) {
          TRow row = it->second;
          row.Name = "m" + std::to_string(random() % 50);
          const bool valueChanges = random() % 2 == 0;
          if (valueChanges) row.Value = value;
          SetText(t, buffer.data(), kFName, row.Name);
          SetInt(t, buffer.data(), kFValue, row.Value);
          if (random() % 2) {
            row.Memo = RandomBlob(random, 6000, true);
            PutBlob(t, buffer.data(), kFMemo, row.Memo);
          }
          if (random() % 3 == 0) {
            row.Pic = random() % 3 == 0 ? std::string() : RandomBlob(random, 100000, false);
            PutBlob(t, buffer.data(), kFPic, row.Pic);
          }
          const bool fails = valueChanges && clash && value != it->second.Value;
          const int code = EngineCode([&] { t.ModifyRecord(buffer.data(), true, true); });
          FreeIfOpen(t, buffer.data(), kFMemo);
          FreeIfOpen(t, buffer.data(), kFPic);
          ASSERT_EQ(code, fails ? kErrDuplicateKey : 0);
          if (fails) {
            t.UnlockRecord(0);
          } else {
            values.erase(it->second.Value);
            values.insert(row.Value);
            it->second = row;
          }
        } else {
          t.DeleteRecord(true);
          values.erase(it->second.Value);
          model.erase(it);
        }
      }
      EXPECT_TRUE(t.LockedRecords().empty());
    }
    verify("after a batch");
    if (batch % 4 == 3) {
      table->Close();
      reopen();
      verify("after reopening");
      EXPECT_EQ(CheckTable(*table), std::vector<std::string>{});
    }
  }
  EXPECT_EQ(messages, std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Handles, UpdateModelTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Exclusive" : "Shared"; });

}  // namespace
}  // namespace update_test

namespace update_test {
namespace {
// Two handles of this process, interleaved operation by operation, while a
// writer in another process works on the same table: each keeps its own
// records exactly as it wrote them.
TEST(UpdateInterleaved, TwoHandlesAndAnotherProcessKeepTheirOwnRecords) {
  tabula::InitializeEngine();
  testing_support::TempDir dir;
  const std::string path = dir.File("x.DAT");
  CreateTestTable(path, true, true);
  testing_support::ChildProcess peer;
  peer.Start(TABULA_UPDATE_PEER);
  peer.WriteLine("writer " + path + " 7 4 " + dir.File("log"));
  TDataFile a, b;
  for (TDataFile* t : {&a, &b}) { t->SetFileName(path); t->Open(); }
  std::mt19937 random(5);
  std::map<int32_t, TRow> mine[2];
  int32_t counter = 0;
  for (int step = 0; step < 1500; ++step) {
    int w = int(random() % 2);
    TDataFile& t = w ? b : a;
    std::vector<uint8_t> buffer(size_t(t.RecordSize()));
    int op = int(random() % 10);
    if (op < 5 || mine[w].empty()) {
      TRow row{w * 1000000 + ++counter, "n", w * 1000000 + counter, RandomBlob(random, 3000, true), ""};
      t.InitRecord(buffer.data());
      FillRow(t, buffer.data(), row, true);
      t.AppendRecord(buffer.data());
      FreeIfOpen(t, buffer.data(), kFMemo);
      FreeIfOpen(t, buffer.data(), kFPic);
      mine[w][row.Id] = row;
    } else {
      auto it = mine[w].begin();
      std::advance(it, random() % mine[w].size());
      ASSERT_EQ(FindId(t, it->first), 0) << step;
      ASSERT_EQ(t.ReadCurrent(buffer.data(), true), 0) << step;
      ASSERT_TRUE(ReadRow(t, buffer.data(), true) == it->second) << step;
      if (op < 8) {
        it->second.Memo = RandomBlob(random, 3000, true);
        PutBlob(t, buffer.data(), kFMemo, it->second.Memo);
        t.ModifyRecord(buffer.data(), true, false);
        FreeIfOpen(t, buffer.data(), kFMemo);
      } else {
        t.DeleteRecord(false);
        mine[w].erase(it);
      }
    }
  }
  const std::string answer = peer.ReadLine(std::chrono::seconds(120));
  EXPECT_EQ(answer.substr(0, 5), "done ");
  EXPECT_EQ(answer.substr(answer.rfind(' ')), " 0") << answer;
  peer.CloseInput();
  EXPECT_EQ(peer.Wait(), 0);
  EXPECT_EQ(CheckTable(a), std::vector<std::string>{});
}
}  // namespace
}  // namespace update_test
