// Randomized model test of the index trees: random inserts, deletes and
// replaces on a real index file, mirrored in an ordered std::map; the
// invariant checker runs periodically and at the end, and every kind of
// navigation (first/last, move by n, positions, exact and nearest search,
// ranges, counts) is compared with the model. One CTest test per
// configuration: compression 0..3, ascending / whole-index descending /
// per-field descending, unique primary / non-unique secondary (with the
// suffix), with and without a language driver.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>

#include "tabula/engine_error.h"
#include "engine/index_checker.h"
#include "engine/key_compare.h"
#include "tabula/locale.h"
#include "tests/engine/index_test_util.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace index_test;

struct TConfig {
  uint8_t Compression;
  int Order;  // 0 ascending, 1 whole index descending, 2 string field descending
  bool Unique;
  bool Locale;
  bool Filtered = false;  // a filter hides every third record: bitmap mode
};

// Hides the records whose number is a multiple of 3.
class TThirdsFilter : public TIndexFilterHook {
 public:
  bool AnyActive() const override { return true; }
  void Rebuild(const TRecordBitmap&) override {}
  void Combine(TRecordBitmap& visible) const override { visible.And(allowed_); }
  void RecordWritten(int32_t recNo) override { Allow(recNo); }
  void Allow(int32_t recNo) {
    if (recNo > allowed_.Slots()) allowed_.Grow(recNo + 1024);
    if (recNo % 3 != 0) allowed_.Set(recNo);
  }
  static bool Visible(uint32_t recNo) { return recNo % 3 != 0; }

 private:
  TRecordBitmap allowed_;
};

std::string ConfigName(const testing::TestParamInfo<TConfig>& info) {
  const TConfig& c = info.param;
  static const char* kOrders[] = {"Asc", "Desc", "FieldDesc"};
  return "C" + std::to_string(c.Compression) + "_" + kOrders[c.Order] + (c.Unique ? "_Unique" : "_Dup") +
         (c.Locale ? "_Ru" : "_Bytes") + (c.Filtered ? "_Filtered" : "");
}

int OpsPerConfig() {
  if (const char* env = std::getenv("BORVINO_INDEX_MODEL_OPS")) return std::max(1000, std::atoi(env));
  return 100000;
}

class IndexModelTest : public testing::TestWithParam<TConfig> {
 protected:
  struct TEntry {
    std::vector<uint8_t> Key;
    uint32_t Rec;
  };

  void SetUp() override {
    const TConfig& c = GetParam();
    DescribeTestFields(owner_);
    if (c.Locale) {
      owner_.Lang = 0x0419;
      ASSERT_NE(TLanguageDriver::Find(0x0419, 0), nullptr) << "Russian locale not available";
    }
    slot_ = c.Unique ? 0 : 1;
    desc_ = TestDescriptor(slot_, c.Unique ? "" : "ByNameDup", c.Compression, c.Order == 1, c.Unique, c.Order == 2);
    std::vector<std::pair<uint8_t, TIndexDescriptor>> defs{{slot_, desc_}};
    file_ = CreateTestIndex(owner_, dir_.File("model.IDX"), defs);
    file_->SelectIndexSlot(slot_);
    if (c.Filtered) {
      file_->SetFilterHook(&filter_);
      file_->UpdateBitmapMode();
    }
    // The model orders keys with the same comparison rules as the engine.
    layout_.BytesOnly = false;
    layout_.Driver = c.Locale ? TLanguageDriver::Find(0x0419, 0) : nullptr;
    layout_.Fields = {TKeyField{kFldString, kStrWidth, desc_.FieldDescending[0]}, TKeyField{kFldInt32, 4, 0}};
  }

  int Compare(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) const {
    if (!layout_.Driver) return CompareKeyBytes(a.data(), b.data(), desc_.KeyLength, desc_.Descending);
    return CompareKeys(layout_, a.data(), b.data(), desc_.KeyLength, desc_.Descending);
  }

  TTestValue RandomValue() {
    static const std::string kLong(90, 'x');
    static const char* kPrefixes[] = {"", "\xC8\xE2", "\xC8\xE2\xE0\xED\xEE\xE2", "ab", "AB", "\xB8\xEB\xEA\xE0",
                                      "\xA8\xEB\xEA\xE0", kLong.c_str()};
    static const char kAlphabet[] = "aAbB\xE0\xC0\xB8\xE5\xFF";
    TTestValue v;
    v.Str = kPrefixes[rng_() % 8];
    int extra = static_cast<int>(rng_() % 4);
    for (int i = 0; i < extra; ++i) v.Str.push_back(kAlphabet[rng_() % 9]);
    if (v.Str.size() > kStrWidth - 1) v.Str.resize(kStrWidth - 1);
    v.StrNull = rng_() % 20 == 0;
    v.Int = static_cast<int32_t>(rng_() % 601) - 300;
    v.IntNull = rng_() % 20 == 0;
    v.RecordId = nextId_++;
    return v;
  }

  std::vector<uint8_t> KeyOf(const TTestValue& v) { return TestKey(owner_, slot_, desc_, v); }

  void Snapshot() {
    sorted_.clear();
    for (const auto& [k, r] : model_) sorted_.push_back(TEntry{k, r});
  }

  size_t LowerBound(const std::vector<uint8_t>& key) const {
    return static_cast<size_t>(std::lower_bound(sorted_.begin(), sorted_.end(), key,
                                                [&](const TEntry& e, const std::vector<uint8_t>& k) {
                                                  return Compare(e.Key, k) < 0;
                                                }) -
                               sorted_.begin());
  }
  size_t UpperBound(const std::vector<uint8_t>& key) const {
    return static_cast<size_t>(std::upper_bound(sorted_.begin(), sorted_.end(), key,
                                                [&](const std::vector<uint8_t>& k, const TEntry& e) {
                                                  return Compare(k, e.Key) < 0;
                                                }) -
                               sorted_.begin());
  }

  void ExpectClean(const char* when) {
    TIndexCheckOptions options;
    // The non-unique runs keep no keys in the primary slot.
    options.CheckLiveCount = GetParam().Unique;
    auto faults = CheckIndexFile(*file_, options);
    ASSERT_TRUE(faults.empty()) << when << ": " << faults.size() << " faults, first: " << faults.front();
  }

  // Bitmap mode: position numbers are index ranks, only visible records count.
  void CheckFilteredNavigation() {
    Snapshot();
    std::vector<size_t> vis;  // indexes into sorted_ of the visible entries
    for (size_t i = 0; i < sorted_.size(); ++i)
      if (TThirdsFilter::Visible(sorted_[i].Rec)) vis.push_back(i);
    ASSERT_TRUE(file_->BitmapMode());
    ASSERT_EQ(file_->CursorRecordCount(), static_cast<int32_t>(vis.size()));
    file_->FirstKey();
    if (vis.empty()) {
      EXPECT_EQ(file_->CurrentRecordNumber(), 0);
      return;
    }
    auto rec = [&](size_t i) { return static_cast<int32_t>(sorted_[i].Rec); };
    ASSERT_EQ(file_->CurrentRecordNumber(), rec(vis.front()));
    EXPECT_EQ(file_->PositionInRange(), static_cast<int32_t>(vis.front()) + 1);
    file_->LastKey();
    ASSERT_EQ(file_->CurrentRecordNumber(), rec(vis.back()));
    EXPECT_EQ(file_->PositionInRange(), static_cast<int32_t>(vis.back()) + 1);
    const int32_t nv = static_cast<int32_t>(vis.size());
    for (int i = 0; i < 8; ++i) {
      // Move by visible steps from a visible record.
      int32_t from = static_cast<int32_t>(rng_() % static_cast<uint32_t>(nv));
      ASSERT_TRUE(file_->FindKey(sorted_[vis[static_cast<size_t>(from)]].Key.data(), false, false));
      int32_t m = static_cast<int32_t>(rng_() % 61) - 30;
      file_->MoveBy(m);
      int32_t target = std::clamp(from + m, 0, nv - 1);
      ASSERT_EQ(file_->CurrentRecordNumber(), rec(vis[static_cast<size_t>(target)])) << "move " << m;
      if (m != 0) {
        EXPECT_EQ(file_->Eof(), from + m > nv - 1);
        EXPECT_EQ(file_->Bof(), from + m < 0);
      }
      // Position numbers: the first visible entry at or after that rank.
      int32_t p = static_cast<int32_t>(rng_() % sorted_.size()) + 1;
      file_->GoToPosition(p);
      auto at = std::lower_bound(vis.begin(), vis.end(), static_cast<size_t>(p - 1));
      if (p < static_cast<int32_t>(vis.front()) + 1) {
        EXPECT_TRUE(file_->Bof());
        ASSERT_EQ(file_->CurrentRecordNumber(), rec(vis.front()));
      } else if (at == vis.end()) {
        EXPECT_TRUE(file_->Eof());
        ASSERT_EQ(file_->CurrentRecordNumber(), rec(vis.back()));
      } else {
        ASSERT_EQ(file_->CurrentRecordNumber(), rec(*at)) << "position " << p;
      }
      // Searches: hidden keys are not found; nearest goes to the next visible one.
      size_t j = rng_() % sorted_.size();
      const bool visible = TThirdsFilter::Visible(sorted_[j].Rec);
      ASSERT_EQ(file_->FindKey(sorted_[j].Key.data(), false, false), visible);
      ASSERT_EQ(file_->FindKey(sorted_[j].Key.data(), true, false), visible);
      auto next = std::lower_bound(vis.begin(), vis.end(), j);
      ASSERT_EQ(file_->CurrentRecordNumber(), rec(next == vis.end() ? vis.back() : *next));
      EXPECT_EQ(file_->Eof(), next == vis.end());
    }
    // A range on top of the filter.
    std::vector<uint8_t> lo = KeyOf(RandomValue());
    std::vector<uint8_t> hi = KeyOf(RandomValue());
    if (Compare(lo, hi) > 0) std::swap(lo, hi);
    const size_t first = LowerBound(lo);
    const size_t end = UpperBound(hi);
    std::vector<size_t> inRange;
    for (size_t i : vis)
      if (i >= first && i < end) inRange.push_back(i);
    file_->SetRangeStart(lo.data());
    file_->SetRangeEnd(hi.data());
    file_->ActivateRange();
    file_->ComputeRangeBounds();
    ASSERT_EQ(file_->CursorRecordCount(), static_cast<int32_t>(inRange.size()));
    file_->FirstKey();
    if (inRange.empty()) {
      EXPECT_EQ(file_->CurrentRecordNumber(), 0);
    } else {
      ASSERT_EQ(file_->CurrentRecordNumber(), rec(inRange.front()));
      file_->LastKey();
      ASSERT_EQ(file_->CurrentRecordNumber(), rec(inRange.back()));
      file_->MoveBy(1);
      EXPECT_TRUE(file_->Eof());
      EXPECT_EQ(file_->CurrentRecordNumber(), rec(inRange.back()));
    }
    file_->CancelRange();
    ASSERT_EQ(file_->CursorRecordCount(), nv);
  }

  void CheckNavigation() {
    if (GetParam().Filtered) return CheckFilteredNavigation();
    Snapshot();
    const int32_t n = static_cast<int32_t>(sorted_.size());
    ASSERT_EQ(file_->CursorRecordCount(), n);
    file_->FirstKey();
    if (n == 0) {
      EXPECT_TRUE(file_->Bof() && file_->Eof());
      EXPECT_EQ(file_->CurrentRecordNumber(), 0);
      return;
    }
    ASSERT_EQ(file_->CurrentRecordNumber(), static_cast<int32_t>(sorted_[0].Rec));
    EXPECT_EQ(file_->PositionInRange(), 1);
    file_->LastKey();
    ASSERT_EQ(file_->CurrentRecordNumber(), static_cast<int32_t>(sorted_[n - 1].Rec));
    EXPECT_EQ(file_->PositionInRange(), n);
    for (int i = 0; i < 8; ++i) {
      int32_t p = static_cast<int32_t>(rng_() % static_cast<uint32_t>(n)) + 1;
      file_->GoToPosition(p);
      ASSERT_EQ(file_->CurrentRecordNumber(), static_cast<int32_t>(sorted_[p - 1].Rec)) << "position " << p;
      int32_t m = static_cast<int32_t>(rng_() % 121) - 60;
      file_->MoveBy(m);
      int32_t target = std::clamp(p + m, 1, n);
      ASSERT_EQ(file_->CurrentRecordNumber(), static_cast<int32_t>(sorted_[target - 1].Rec))
          << "move " << m << " from " << p;
      EXPECT_EQ(file_->PositionInRange(), target);
      EXPECT_EQ(file_->Eof(), p + m > n);
      EXPECT_EQ(file_->Bof(), p + m < 1);
    }
    file_->GoToPosition(0);
    EXPECT_TRUE(file_->Bof());
    EXPECT_EQ(file_->CurrentRecordNumber(), static_cast<int32_t>(sorted_[0].Rec));
    file_->GoToPosition(n + 1);
    EXPECT_TRUE(file_->Eof());
    EXPECT_EQ(file_->CurrentRecordNumber(), static_cast<int32_t>(sorted_[n - 1].Rec));
    for (int i = 0; i < 6; ++i) {
      // Exact search of a stored key.
      size_t j = rng_() % sorted_.size();
      ASSERT_TRUE(file_->FindKey(sorted_[j].Key.data(), false, false));
      ASSERT_EQ(file_->CurrentRecordNumber(), static_cast<int32_t>(sorted_[j].Rec));
      EXPECT_EQ(file_->PositionInRange(), static_cast<int32_t>(j) + 1);
      // Search of a random key, exact and nearest.
      std::vector<uint8_t> probe = KeyOf(RandomValue());
      size_t lb = LowerBound(probe);
      bool present = lb < sorted_.size() && Compare(sorted_[lb].Key, probe) == 0;
      int32_t before = file_->CurrentRecordNumber();
      ASSERT_EQ(file_->FindKey(probe.data(), false, false), present);
      ASSERT_EQ(file_->CurrentRecordNumber(), present ? static_cast<int32_t>(sorted_[lb].Rec) : before);
      ASSERT_EQ(file_->FindKey(probe.data(), true, false), present);
      if (lb < sorted_.size()) {
        ASSERT_EQ(file_->CurrentRecordNumber(), static_cast<int32_t>(sorted_[lb].Rec));
        EXPECT_FALSE(file_->Eof());
      } else {
        ASSERT_EQ(file_->CurrentRecordNumber(), static_cast<int32_t>(sorted_[n - 1].Rec));
        EXPECT_TRUE(file_->Eof());
      }
    }
    for (int i = 0; i < 4; ++i) CheckRange();
    file_->CancelRange();
    ASSERT_EQ(file_->CursorRecordCount(), n);
  }

  void CheckRange() {
    const int32_t n = static_cast<int32_t>(sorted_.size());
    std::vector<uint8_t> lo = KeyOf(RandomValue());
    std::vector<uint8_t> hi = KeyOf(RandomValue());
    if (rng_() % 4 != 0 && Compare(lo, hi) > 0) std::swap(lo, hi);
    if (rng_() % 3 == 0) lo = sorted_[rng_() % sorted_.size()].Key;
    const bool ordered = Compare(lo, hi) <= 0;
    const size_t first = LowerBound(lo);
    const size_t end = UpperBound(hi);
    const int32_t expect = ordered && end > first ? static_cast<int32_t>(end - first) : 0;
    ASSERT_EQ(file_->CountKeysBetween(lo.data(), hi.data()), expect);
    // The marks between and outside the bounds name exactly the model's
    // records inside / outside them.
    TRecordBitmap inside;
    TRecordBitmap outside;
    inside.Reset(owner_.Slots);
    outside.Reset(owner_.Slots);
    file_->MarkKeysInIndex(slot_, lo.data(), hi.data(), inside);
    file_->MarkKeysOutsideIndex(slot_, lo.data(), hi.data(), outside);
    for (size_t i = 0; i < sorted_.size(); ++i) {
      const int32_t rec = static_cast<int32_t>(sorted_[i].Rec);
      ASSERT_EQ(inside.Test(rec), ordered && i >= first && i < end) << "entry " << i;
      ASSERT_EQ(outside.Test(rec), i < first || i >= end) << "entry " << i;
    }
    ASSERT_EQ(inside.CountSet(), expect);
    file_->SetRangeStart(lo.data());
    file_->SetRangeEnd(hi.data());
    file_->ActivateRange();
    file_->ComputeRangeBounds();
    ASSERT_EQ(file_->CursorRecordCount(), expect);
    file_->FirstKey();
    if (expect == 0) {
      EXPECT_EQ(file_->CurrentRecordNumber(), 0);
      file_->CancelRange();
      return;
    }
    ASSERT_EQ(file_->CurrentRecordNumber(), static_cast<int32_t>(sorted_[first].Rec));
    EXPECT_EQ(file_->PositionInRange(), 1);
    file_->MoveBy(-1);
    EXPECT_TRUE(file_->Bof());
    file_->LastKey();
    ASSERT_EQ(file_->CurrentRecordNumber(), static_cast<int32_t>(sorted_[end - 1].Rec));
    EXPECT_EQ(file_->PositionInRange(), expect);
    file_->MoveBy(1);
    EXPECT_TRUE(file_->Eof());
    // Past the end the cursor stands on the key after the range, if any.
    EXPECT_EQ(file_->CurrentRecordNumber(),
              static_cast<int32_t>(end < sorted_.size() ? sorted_[end].Rec : sorted_[end - 1].Rec));
    int32_t k = static_cast<int32_t>(rng_() % static_cast<uint32_t>(expect)) + 1;
    file_->GoToPosition(k);
    ASSERT_EQ(file_->CurrentRecordNumber(), static_cast<int32_t>(sorted_[first + k - 1].Rec));
    EXPECT_EQ(file_->PositionInRange(), k);
    // Nearest search inside the range never leaves it.
    std::vector<uint8_t> probe = KeyOf(RandomValue());
    file_->FindKey(probe.data(), true, false);
    size_t want;
    if (Compare(probe, lo) < 0)
      want = first;
    else if (Compare(probe, hi) > 0)
      want = end - 1;
    else
      want = std::min(LowerBound(probe), end - 1);
    ASSERT_EQ(file_->CurrentRecordNumber(), static_cast<int32_t>(sorted_[want].Rec));
    (void)n;
    file_->CancelRange();
  }

  void Insert(const TTestValue& v, const std::vector<uint8_t>& key) {
    uint32_t rec = nextRec_++;
    // Each key names a new record slot, which the data file counts first.
    owner_.Slots = static_cast<int32_t>(rec);
    file_->InsertKey(key.data(), rec);
    file_->AdjustLiveRecordCount(1);
    model_.emplace(key, rec);
    (void)v;
    if (GetParam().Filtered) {
      // As the data file does: the new slot's "Sys Deleted" key, then the bitmaps.
      uint8_t sys[kSysDeletedKeyLength];
      BuildSysDeletedKey(0, static_cast<int32_t>(rec), sys);
      file_->InsertKeyInSlot(kSysDeletedSlot, sys, rec);
      file_->RecordWritten(static_cast<int32_t>(rec), key.data());
    }
  }

  template <class It>
  void DeleteEntry(It it) {
    const uint32_t rec = it->second;
    file_->DeleteKey(it->first.data());
    file_->AdjustLiveRecordCount(-1);
    model_.erase(it);
    if (GetParam().Filtered) {
      uint8_t live[kSysDeletedKeyLength];
      uint8_t gone[kSysDeletedKeyLength];
      BuildSysDeletedKey(0, static_cast<int32_t>(rec), live);
      BuildSysDeletedKey(1, static_cast<int32_t>(rec), gone);
      file_->ReplaceKeyInSlot(kSysDeletedSlot, live, gone, rec);
      file_->RecordDeleted(static_cast<int32_t>(rec));
    }
  }

  bool IsDuplicate(const std::vector<uint8_t>& key) {
    if (!GetParam().Unique) return false;
    try {
      file_->CheckDuplicate(key.data());
    } catch (const ETabulaEngineError& e) {
      EXPECT_EQ(e.Code(), kErrDuplicateKey);
      EXPECT_TRUE(model_.count(key)) << "duplicate reported for a new key";
      return true;
    }
    EXPECT_FALSE(model_.count(key)) << "duplicate not reported";
    return false;
  }

  void RunOps(int ops, int insertPct, int deletePct) {
    for (int i = 0; i < ops && !HasFatalFailure(); ++i) {
      int dice = static_cast<int>(rng_() % 100);
      if (model_.empty() || dice < insertPct) {
        TTestValue v = RandomValue();
        std::vector<uint8_t> key = KeyOf(v);
        if (!IsDuplicate(key)) Insert(v, key);
      } else {
        auto it = model_.begin();
        std::advance(it, static_cast<long>(rng_() % std::min<size_t>(model_.size(), 64)));
        // Pick around a random existing key so that deletes spread over the tree.
        std::vector<uint8_t> probe = KeyOf(RandomValue());
        auto near = model_.lower_bound(probe);
        if (near != model_.end()) it = near;
        if (dice < insertPct + deletePct) {
          DeleteEntry(it);
        } else {
          TTestValue v = RandomValue();
          std::vector<uint8_t> key = KeyOf(v);
          if (!IsDuplicate(key)) {
            uint32_t rec = it->second;
            file_->ReplaceKey(it->first.data(), key.data(), rec);
            model_.erase(it);
            model_.emplace(key, rec);
          }
        }
      }
      ++done_;
      peak_ = std::max(peak_, model_.size());
      if (done_ % 1000 == 0) depth_ = std::max(depth_, TreeDepth());
      if (done_ % 5000 == 0) {
        ExpectClean("periodic check");
        CheckNavigation();
      }
      if (done_ % 20000 == 0) {
        // Write everything, drop the buffers, carry on from the file.
        file_->UnpinPages();
        file_->FlushPages();
        file_->WriteHeader(false);
        file_->DiscardPages();
      }
    }
  }

  testing_support::TempDir dir_;
  TEngineScope engine_;
  TTestOwner owner_;
  std::unique_ptr<TIndexFile> file_;
  uint8_t slot_ = 0;
  TIndexDescriptor desc_;
  TKeyLayout layout_;
  struct TLess {
    const IndexModelTest* Test;
    bool operator()(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) const {
      return Test->Compare(a, b) < 0;
    }
  };
  std::map<std::vector<uint8_t>, uint32_t, TLess> model_{TLess{this}};
  std::vector<TEntry> sorted_;
  std::mt19937 rng_{12345};
  TThirdsFilter filter_;
  int32_t nextId_ = 1;
  uint32_t nextRec_ = 1;
  int done_ = 0;
  size_t peak_ = 0;
  int depth_ = 0;

  int TreeDepth() {
    int depth = 0;
    for (uint32_t off = file_->Descriptor(slot_).RootPage; off != 0; ++depth) {
      TPage page(file_.get());
      file_->ReadPageForCheck(slot_, off, page);
      off = page.IsLeaf() ? 0 : page.Refs[0];
    }
    return depth;
  }
};

TEST_P(IndexModelTest, RandomOperationsMatchTheModel) {
  rng_.seed(1000 + GetParam().Compression * 100 + GetParam().Order * 10 + (GetParam().Unique ? 1 : 0) +
            (GetParam().Locale ? 5 : 0));
  const int ops = OpsPerConfig();
  // Grow, churn, then shrink to a few keys so that merges and root
  // collapses run as well as splits.
  RunOps(ops * 2 / 5, 60, 20);
  RunOps(ops * 2 / 5, 35, 35);
  RunOps(ops / 5, 10, 75);
  if (HasFatalFailure()) return;
  std::printf("%d operations, at most %zu keys, tree depth up to %d\n", done_, peak_, depth_);
  ExpectClean("end");
  CheckNavigation();
  if (GetParam().Filtered) {
    file_->SetFilterHook(nullptr);
    file_->UpdateBitmapMode();
  }
  // Everything survives writing, closing and opening again.
  file_->UnpinPages();
  file_->FlushPages();
  file_->WriteHeader(false);
  file_->CloseIndexFile();
  file_->OpenIndexFile();
  file_->SelectIndexSlot(slot_);
  ExpectClean("reopened");
  Snapshot();
  file_->FirstKey();
  for (size_t i = 0; i < sorted_.size(); ++i) {
    ASSERT_EQ(file_->CurrentRecordNumber(), static_cast<int32_t>(sorted_[i].Rec)) << "scan " << i;
    file_->MoveBy(1);
  }
  EXPECT_TRUE(file_->Eof() || sorted_.empty());
  // Deleting every key leaves an empty index whose root is 0.
  for (const auto& e : sorted_) {
    file_->DeleteKey(e.Key.data());
    file_->AdjustLiveRecordCount(-1);
  }
  EXPECT_EQ(file_->Descriptor(slot_).RootPage, 0u);
  file_->FirstKey();
  EXPECT_TRUE(file_->Bof() && file_->Eof());
  ExpectClean("emptied");
}

std::vector<TConfig> AllConfigs() {
  std::vector<TConfig> configs;
  for (uint8_t c = 0; c <= 3; ++c)
    for (int order = 0; order <= 2; ++order)
      for (bool unique : {true, false})
        for (bool locale : {false, true}) configs.push_back(TConfig{c, order, unique, locale});
  // Bitmap mode: a filter over every compression, ascending and descending.
  for (uint8_t c = 0; c <= 3; ++c)
    for (int order : {0, 1}) configs.push_back(TConfig{c, order, false, c % 2 == 1, true});
  return configs;
}

INSTANTIATE_TEST_SUITE_P(Configs, IndexModelTest, testing::ValuesIn(AllConfigs()), ConfigName);

}  // namespace
