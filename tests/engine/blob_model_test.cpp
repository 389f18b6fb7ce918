// Random sequences of blob operations against an in-memory model: create,
// write (0 to 100 KB), rewrite in place, truncate, grow, free, store two
// blobs of a record at once, reopen the file. After every batch the blob
// checker inspects the free chain and every chain, and every blob is read
// back and compared.

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <tuple>

#include "engine/blob_checker.h"
#include "engine/blob_file.h"
#include "tests/engine/blob_test_util.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace tabula;
using namespace blob_test;

struct TModelParams {
  uint32_t blockSize;
  bool exclusive;  // shared: everything is written after each operation, as the data file does
  uint32_t seed;
};

class BlobModelTest : public ::testing::TestWithParam<TModelParams> {};

using TKey = std::pair<int32_t, int>;  // record, field

TEST_P(BlobModelTest, RandomOperationsKeepEveryChainSound) {
  const TModelParams params = GetParam();
  InitializeEngine();
  testing_support::TempDir dir;
  const std::string path = dir.File("model.BLB");
  CreateBlobFile(path);
  TTestOwner owner;
  auto file = OpenBlobFile(path, &owner, params.exclusive, params.blockSize);

  std::mt19937 rng(params.seed);
  auto uniform = [&](int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(rng); };
  auto randomSize = [&]() -> int64_t {
    int64_t pick = uniform(0, 99);
    if (pick < 10) return 0;
    if (pick < 55) return uniform(1, 2000);
    if (pick < 85) return uniform(2000, 20000);
    return uniform(20000, 100 * 1024);
  };
  auto randomBytes = [&](int64_t n) { return Pattern(size_t(n), uint32_t(rng())); };

  std::map<TKey, Bytes> model;       // what each blob holds
  std::map<TKey, int32_t> refs;      // its stored reference
  const int kRecords = 30;
  auto afterChange = [&] {
    if (!params.exclusive) file->FlushAll(false, false);
  };

  // Opens a blob for writing, lets `edit` change it, stores it.
  auto edit = [&](TKey key, const std::function<void(int32_t handle, Bytes& expected)>& change) {
    int32_t handle = 0;
    ASSERT_EQ(file->OpenBlob(refs[key], key.second, key.first, kBlobModeWrite, handle), 0);
    Bytes& expected = model[key];
    change(handle, expected);
    file->SetBlobRecord(key.first);
    file->StoreBlobs();
    int32_t stored = 0;
    ASSERT_EQ(file->FreeBlob(handle, stored), 0);
    refs[key] = stored;
    EXPECT_EQ(stored == 0, expected.empty());
    afterChange();
  };

  for (int batch = 0; batch < 24; ++batch) {
    SCOPED_TRACE("batch " + std::to_string(batch));
    for (int op = 0; op < 12; ++op) {
      TKey key{int32_t(uniform(1, kRecords)), int(uniform(1, 2))};
      switch (uniform(0, 5)) {
        case 0:  // replace the whole contents
        case 1: {
          Bytes data = randomBytes(randomSize());
          edit(key, [&](int32_t h, Bytes& expected) {
            ASSERT_EQ(file->TruncateBlob(h, 0), 0);
            if (!data.empty()) {
              ASSERT_EQ(file->WriteBlob(h, 0, int32_t(data.size()), data.data()), 0);
            }
            expected = data;
          });
          break;
        }
        case 2: {  // write a piece somewhere, perhaps beyond the end
          int64_t size = int64_t(model[key].size());
          int64_t at = uniform(0, size + 600);
          Bytes piece = randomBytes(uniform(0, 3000));
          edit(key, [&](int32_t h, Bytes& expected) {
            ASSERT_EQ(file->WriteBlob(h, int32_t(at), int32_t(piece.size()), piece.data()), 0);
            if (!piece.empty()) {
              if (expected.size() < size_t(at) + piece.size()) expected.resize(size_t(at) + piece.size(), 0);
              std::copy(piece.begin(), piece.end(), expected.begin() + at);
            }
          });
          break;
        }
        case 3: {  // truncate or grow
          int64_t size = int64_t(model[key].size());
          int64_t to = uniform(0, 1) ? uniform(0, size) : size + uniform(1, 5000);
          edit(key, [&](int32_t h, Bytes& expected) {
            ASSERT_EQ(file->TruncateBlob(h, int32_t(to)), 0);
            expected.resize(size_t(to), 0);
          });
          break;
        }
        case 4: {  // delete the record's blobs as deleting the record does
          for (int field = 1; field <= 2; ++field) {
            TKey k{key.first, field};
            if (refs[k] == 0) continue;
            EXPECT_EQ(DeleteBlob(*file, k.first, k.second, refs[k]), 0);
            refs[k] = 0;
            model[k].clear();
          }
          afterChange();
          break;
        }
        case 5: {  // both fields of a record changed and stored together
          int32_t h1 = 0, h2 = 0;
          TKey k1{key.first, 1}, k2{key.first, 2};
          ASSERT_EQ(file->OpenBlob(refs[k1], 1, key.first, kBlobModeWrite, h1), 0);
          ASSERT_EQ(file->OpenBlob(refs[k2], 2, key.first, kBlobModeWrite, h2), 0);
          Bytes d1 = randomBytes(randomSize()), d2 = randomBytes(randomSize());
          file->TruncateBlob(h1, 0);
          file->TruncateBlob(h2, 0);
          if (!d1.empty()) file->WriteBlob(h1, 0, int32_t(d1.size()), d1.data());
          if (!d2.empty()) file->WriteBlob(h2, 0, int32_t(d2.size()), d2.data());
          file->SetBlobRecord(key.first);
          file->StoreBlobs();
          file->PutBlobReferences(0, nullptr);
          refs[k1] = owner.Stored.at(1);
          refs[k2] = owner.Stored.at(2);
          int32_t ignored;
          file->FreeBlob(h1, ignored);
          file->FreeBlob(h2, ignored);
          model[k1] = d1;
          model[k2] = d2;
          afterChange();
          break;
        }
      }
      if (HasFatalFailure()) return;
    }

    file->FlushAll(false, batch % 3 == 0);
    std::vector<TBlobReference> references;
    for (const auto& [key, ref] : refs) {
      if (ref != 0) references.push_back({key.first, key.second, ref});
    }
    auto faults = CheckBlobFile(*file, references);
    for (const auto& fault : faults) ADD_FAILURE() << fault;
    if (!faults.empty()) return;
    for (const auto& [key, expected] : model) {
      if (refs[key] == 0) continue;
      ASSERT_EQ(LoadBlob(*file, key.first, key.second, refs[key]), expected)
          << "record " << key.first << " field " << key.second;
    }
    EXPECT_TRUE(owner.Messages.empty());
    EXPECT_EQ(file->OpenBlobCount(), 0);
    if (batch % 4 == 3) {
      file->Close();
      file = OpenBlobFile(path, &owner, params.exclusive, params.blockSize);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Blocks, BlobModelTest,
                         ::testing::Values(TModelParams{0, true, 1}, TModelParams{0, false, 2},
                                           TModelParams{1024, true, 3}, TModelParams{300, true, 4}),
                         [](const ::testing::TestParamInfo<TModelParams>& info) {
                           return "Size" + std::to_string(info.param.blockSize ? info.param.blockSize : 512) +
                                  (info.param.exclusive ? "Exclusive" : "Shared") +
                                  std::to_string(info.param.seed);
                         });

}  // namespace
