// Page packing: the stored forms of node and leaf entries under each
// compression mode, and what Expand refuses from a damaged page.

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "tabula/engine_error.h"
#include "tabula/file_session.h"
#include "engine/index_bitmap.h"
#include "engine/index_page.h"
#include "engine/index_page_pool.h"

namespace {

using namespace tabula;

TPage MakeLeaf(uint8_t compression, int keyLength, bool suffix) {
  TPage page(nullptr);
  TPage::TLayout layout;
  layout.KeyLength = keyLength;
  layout.Compression = compression;
  layout.SuffixKeys = suffix;
  layout.Slot = suffix ? 1 : 0;
  page.Configure(layout);
  page.Header.PageType = kPageLeaf;
  return page;
}

TEST(IndexPage, CompressedEntrySizesFollowTheModes) {
  InitializeEngine();
  // Two 10-byte keys sharing 6 leading bytes; the second ends in 3 zero bytes.
  const uint8_t a[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 9};
  const uint8_t b[10] = {1, 2, 3, 4, 5, 6, 9, 0, 0, 0};
  struct TCase {
    uint8_t Mode;
    int Size0;
    int Size1;
  } cases[] = {{kCompressLeading, 16, 10}, {kCompressTrailing, 16, 13}, {kCompressBoth, 16, 7}};
  for (const auto& c : cases) {
    TPage page = MakeLeaf(c.Mode, 10, false);
    page.InsertEntry(0, a, 11, 1);
    page.InsertEntry(1, b, 12, 1);
    page.RecomputePacked();
    EXPECT_EQ(page.StoredEntrySize(0), c.Size0) << int(c.Mode);
    EXPECT_EQ(page.StoredEntrySize(1), c.Size1) << int(c.Mode);
    EXPECT_EQ(page.Header.PackedSize, c.Size0 + c.Size1);
    // Round trip through the stored form.
    uint8_t block[kIndexPageSize];
    page.Pack(block, "x");
    TPage back = MakeLeaf(c.Mode, 10, false);
    back.Expand(block, true, "x");
    ASSERT_EQ(back.Count(), 2);
    EXPECT_EQ(0, std::memcmp(back.Key(1), b, 10));
    EXPECT_EQ(back.Refs[1], 12u);
    EXPECT_EQ(back.StoredPackedSize, c.Size0 + c.Size1);
  }
}

TEST(IndexPage, SuffixKeysKeepTheirSuffixAndLongPrefixesCapAt255) {
  InitializeEngine();
  // A suffix key whose field bytes are all zero keeps the 4 suffix bytes.
  std::vector<uint8_t> zero(12, 0);
  zero[8] = 0x80;
  zero[11] = 7;
  TPage page = MakeLeaf(kCompressTrailing, 12, true);
  page.InsertEntry(0, zero.data(), 5, 1);
  page.RecomputePacked();
  EXPECT_EQ(page.Tail[0], 8);
  uint8_t block[kIndexPageSize];
  page.Pack(block, "x");
  TPage back = MakeLeaf(kCompressTrailing, 12, true);
  back.Expand(block, true, "x");
  EXPECT_EQ(0, std::memcmp(back.Key(0), zero.data(), 12));

  // Mode 3: keys sharing 300 leading bytes store P = 255.
  std::vector<uint8_t> k1(400, 'a'), k2(400, 'a');
  k1[350] = 'b';
  k2[350] = 'c';
  TPage big = MakeLeaf(kCompressBoth, 400, false);
  big.InsertEntry(0, k1.data(), 1, 1);
  big.InsertEntry(1, k2.data(), 2, 1);
  big.RecomputePacked();
  EXPECT_EQ(big.Prefix[0], 0);
  EXPECT_EQ(big.Prefix[1], 255);
  big.Pack(block, "x");
  TPage bigBack = MakeLeaf(kCompressBoth, 400, false);
  bigBack.Expand(block, true, "x");
  EXPECT_EQ(0, std::memcmp(bigBack.Key(1), k2.data(), 400));

  // Mode 3 suffix key with fewer than 5 bytes after the prefix: T = 0.
  std::vector<uint8_t> s1(12, 0), s2(12, 0);
  s1[11] = 1;
  s2[11] = 2;
  TPage sfx = MakeLeaf(kCompressBoth, 12, true);
  sfx.InsertEntry(0, s1.data(), 1, 1);
  sfx.InsertEntry(1, s2.data(), 2, 1);
  sfx.RecomputePacked();
  EXPECT_EQ(sfx.Prefix[1], 11);
  EXPECT_EQ(sfx.Tail[1], 0);
  EXPECT_EQ(sfx.StoredEntrySize(1), 12 - 11 + 6);
}

TEST(IndexPage, RandomLeavesRoundTripInEveryMode) {
  InitializeEngine();
  std::mt19937 rng(7);
  for (uint8_t mode = 0; mode <= 3; ++mode) {
    for (bool suffix : {false, true}) {
      for (int round = 0; round < 50; ++round) {
        const int length = 5 + static_cast<int>(rng() % 40);
        TPage page = MakeLeaf(mode, length, suffix);
        std::vector<std::vector<uint8_t>> keys;
        for (int i = 0; i < 60; ++i) {
          std::vector<uint8_t> k(static_cast<size_t>(length), 0);
          int used = static_cast<int>(rng() % static_cast<uint32_t>(length + 1));
          for (int j = 0; j < used; ++j) k[static_cast<size_t>(j)] = static_cast<uint8_t>(rng() % 3);
          keys.push_back(k);
        }
        std::sort(keys.begin(), keys.end());
        keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
        for (size_t i = 0; i < keys.size(); ++i)
          page.InsertEntry(static_cast<int>(i), keys[i].data(), static_cast<uint32_t>(i + 1), 1);
        page.RecomputePacked();
        if (page.Overflows()) continue;
        uint8_t block[kIndexPageSize];
        page.Pack(block, "x");
        TPage back = MakeLeaf(mode, length, suffix);
        back.Expand(block, true, "x");
        ASSERT_EQ(back.Count(), static_cast<int>(keys.size()));
        for (size_t i = 0; i < keys.size(); ++i) {
          ASSERT_EQ(0, std::memcmp(back.Key(static_cast<int>(i)), keys[i].data(), static_cast<size_t>(length)))
              << "mode " << int(mode) << " entry " << i;
          ASSERT_EQ(back.Refs[i], i + 1);
        }
      }
    }
  }
}

TEST(IndexPage, DamagedPagesRaiseInsteadOfReadingPastTheBlock) {
  InitializeEngine();
  struct TCase {
    const char* What;
    uint8_t Mode;
    uint8_t Type;
    uint16_t Count;
    uint8_t FirstPrefix;
  } cases[] = {
      {"count beyond the page", kCompressNone, kPageLeaf, 400, 0},
      {"node count beyond the page", kCompressNone, kPageNode, 300, 0},
      {"compressed entries beyond the page", kCompressLeading, kPageLeaf, 2000, 0},
      {"first entry with a prefix", kCompressBoth, kPageLeaf, 1, 3},
      {"unknown page type", kCompressNone, 7, 1, 0},
  };
  for (const auto& c : cases) {
    uint8_t block[kIndexPageSize] = {};
    TPageHeader h;
    h.PageType = c.Type;
    h.KeyCount = c.Count;
    h.Pack(block);
    block[kPageHeaderSize] = c.FirstPrefix;
    TPage page = MakeLeaf(c.Mode, 16, false);
    try {
      page.Expand(block, true, "damaged.IDX");
      ADD_FAILURE() << c.What << ": no error";
    } catch (const ETabulaEngineError& e) {
      EXPECT_EQ(e.Code(), kErrIndexPagesCorrupt) << c.What;
    }
  }
}

// Record bitmaps against a plain model, at sizes around the word edges:
// counts, scans both ways, combining, inverting and growing.
TEST(RecordBitmap, AgreesWithAPlainModel) {
  std::mt19937 rng(7);
  for (int32_t slots : {0, 1, 7, 8, 9, 63, 64, 65, 127, 200, 1000}) {
    for (int density : {0, 3, 50, 97, 100}) {
      auto fill = [&](TRecordBitmap& bm, std::vector<bool>& model) {
        bm.Reset(slots);
        model.assign(static_cast<size_t>(slots) + 1, false);
        for (int32_t r = 1; r <= slots; ++r)
          if (static_cast<int>(rng() % 100) < density) {
            bm.Set(r);
            model[static_cast<size_t>(r)] = true;
          }
      };
      TRecordBitmap a, b;
      std::vector<bool> ma, mb;
      fill(a, ma);
      fill(b, mb);
      auto expectSame = [&](const TRecordBitmap& bm, const std::vector<bool>& m, const char* what) {
        int32_t count = 0;
        for (int32_t r = 0; r <= slots + 1; ++r) {
          if (r >= 1 && r <= slots && m[static_cast<size_t>(r)]) ++count;
          ASSERT_EQ(bm.CountUpTo(r), count) << what << " slots " << slots << " up to " << r;
          int32_t next = 0, prior = 0;
          for (int32_t q = std::max(r, 1); q <= slots && !next; ++q) next = m[static_cast<size_t>(q)] ? q : 0;
          for (int32_t q = std::min(r, slots); q >= 1 && !prior; --q) prior = m[static_cast<size_t>(q)] ? q : 0;
          ASSERT_EQ(bm.NextSet(r), next) << what << " slots " << slots << " from " << r;
          ASSERT_EQ(bm.PriorSet(r), prior) << what << " slots " << slots << " from " << r;
        }
        ASSERT_EQ(bm.CountSet(), count) << what;
      };
      expectSame(a, ma, "filled");
      TRecordBitmap both = a;
      both.And(b);
      TRecordBitmap either = a;
      either.Or(b);
      std::vector<bool> mboth(ma.size()), meither(ma.size());
      for (size_t r = 1; r < ma.size(); ++r) {
        mboth[r] = ma[r] && mb[r];
        meither[r] = ma[r] || mb[r];
      }
      expectSame(both, mboth, "and");
      expectSame(either, meither, "or");
      a.Invert();
      for (size_t r = 1; r < ma.size(); ++r) ma[r] = !ma[r];
      expectSame(a, ma, "inverted");
      // Growing keeps the bits and adds clear ones; a shorter other clears the rest.
      TRecordBitmap grown = a;
      grown.Grow(slots + 70);
      EXPECT_EQ(grown.CountSet(), a.CountSet());
      EXPECT_EQ(grown.NextSet(slots + 1), 0);
      grown.Invert();
      grown.And(a);
      EXPECT_EQ(grown.CountSet(), 0);
    }
  }
}

}  // namespace

namespace tabula {
namespace {

// A read-only handle's page buffers under one bound for all slots: a list
// below its share takes the least recent unpinned pages of the longest
// list, and no more than that; the bound holds.
TEST(PagePool, SlotsShareOneBoundWithoutTakingPinnedPages) {
  TPagePool pool(nullptr);
  pool.SetBaseLimit(16);
  pool.SetTotalLimit(16, 4);
  const TPagePool::TWriter noWrite = [](TPage&) { ADD_FAILURE() << "a clean pool writes nothing"; };
  auto load = [&](uint8_t slot, uint32_t first, uint32_t count) {
    for (uint32_t n = first; n < first + count; ++n) {
      TPage* page = pool.Obtain(slot, false, noWrite);
      ASSERT_NE(page, nullptr);
      pool.Register(slot, page, n * uint32_t(kIndexPageSize));
    }
  };
  load(0, 1, 16);  // one index walked first fills the bound
  EXPECT_EQ(pool.Count(0), 16u);
  TPagePin pinned = pool.Find(0, 1 * uint32_t(kIndexPageSize));  // its least recent page, in use
  load(1, 1, 10);
  const struct {
    uint8_t slot;
    size_t count;
  } expected[] = {{0, 12}, {1, 4}};
  for (const auto& e : expected) EXPECT_EQ(pool.Count(e.slot), e.count) << int(e.slot);
  EXPECT_NE(pool.Peek(0, 1 * uint32_t(kIndexPageSize)), nullptr);  // the pinned page stayed
  EXPECT_EQ(pool.Peek(0, 2 * uint32_t(kIndexPageSize)), nullptr);  // the least recent unpinned went
  EXPECT_NE(pool.Peek(0, 16 * uint32_t(kIndexPageSize)), nullptr);
  // The second list now reuses its own pages: its latest are there.
  EXPECT_NE(pool.Peek(1, 10 * uint32_t(kIndexPageSize)), nullptr);
  EXPECT_EQ(pool.Peek(1, 6 * uint32_t(kIndexPageSize)), nullptr);
  pinned.Release();
  pool.Clear();
}

}  // namespace
}  // namespace tabula
