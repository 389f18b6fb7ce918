// The blob file on its own: layout of the chains it writes, free-chain
// reuse, the open-blob table, chain repairs, foreign blobs, the file limit,
// damaged files, encipherment hook, locks and change detection.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "engine/blob_checker.h"
#include "engine/blob_file.h"
#include "tests/engine/blob_test_util.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace tabula;
using namespace blob_test;

class BlobFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitializeEngine();
    path_ = dir_.File("t.BLB");
    CreateBlobFile(path_);
  }

  std::unique_ptr<TBlobFile> Open(bool exclusive = true, uint32_t blockSize = 0) {
    return OpenBlobFile(path_, &owner_, exclusive, blockSize);
  }

  // Stores blobs, writes everything and closes.
  void Write(const std::function<void(TBlobFile&)>& work, uint32_t blockSize = 0) {
    auto file = Open(true, blockSize);
    work(*file);
    file->FlushAll(false, false);
    file->Close();
  }

  testing_support::TempDir dir_;
  std::string path_;
  TTestOwner owner_;
};

TEST_F(BlobFileTest, EmptyFileHasTheHeaderOnly) {
  Bytes raw = ReadFileBytes(path_);
  ASSERT_EQ(raw.size(), 512u);
  auto expected = EmptyBlobHeader();
  EXPECT_TRUE(std::equal(raw.begin(), raw.end(), expected.begin()));
  auto file = Open();
  EXPECT_EQ(file->FormatVersion(), 3);
  EXPECT_EQ(file->EndOfBlocks(), 512);
  EXPECT_EQ(file->FirstFreeBlock(), 0);
  EXPECT_EQ(file->CacheCapacity(), 262140 / 512);
  EXPECT_EQ(file->ReadAheadLimit(), 65535 / 512);
}

TEST_F(BlobFileTest, ResolveNameGivesTheBlobExtension) {
  struct Case {
    const char* given;
    const char* resolved;
  } cases[] = {
      {"base2.DAT", "base2.BLB"},   {"  dir/media.dat  ", "dir/media.BLB"}, {"media.Blb", "media.Blb"},
      {"dir.v/table", "dir.v/table.BLB"}, {"c:\\x.y\\t", "c:\\x.y\\t.BLB"}, {"t.blb", "t.blb"},
  };
  TBlobFile file;
  for (const Case& c : cases) EXPECT_EQ(file.ResolveName(c.given), c.resolved) << c.given;
}

// A blob of L bytes takes ceil(L / data bytes) blocks, all full but the
// last; only the first carries the length.
TEST_F(BlobFileTest, ChainLayoutFollowsTheLength) {
  struct Case {
    uint32_t blockSize;
    size_t length;
    int blocks;
  } cases[] = {
      {0, 1, 1},    {0, 494, 1},   {0, 495, 2},     {0, 988, 2},     {0, 989, 3},
      {1024, 1006, 1}, {1024, 1007, 2}, {64, 46, 1}, {64, 47, 2}, {0, 100000, 203},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "block size " << c.blockSize << ", length " << c.length);
    CreateBlobFile(path_);
    const int32_t size = c.blockSize ? int32_t(c.blockSize) : 512;
    const int32_t dataBytes = size - 18;
    Bytes data = Pattern(c.length, uint32_t(c.length));
    int32_t ref = 0;
    Write([&](TBlobFile& f) { ref = StoreBlob(f, 5, 3, 0, data); }, c.blockSize);
    EXPECT_EQ(ref, 512);

    Bytes raw = ReadFileBytes(path_);
    ASSERT_EQ(raw.size(), size_t(512 + c.blocks * size));
    int32_t at = ref, prior = 0;
    size_t remaining = c.length;
    for (int n = 0; n < c.blocks; ++n) {
      TBlockHeader h = BlockAt(raw, at);
      EXPECT_EQ(h.PriorBlock, prior);
      EXPECT_EQ(h.OwnerRecord, 5);
      EXPECT_EQ(h.BlobLength, n == 0 ? int32_t(c.length) : 0);
      EXPECT_EQ(h.UsedBytes, std::min<size_t>(remaining, size_t(dataBytes)));
      EXPECT_EQ(h.NextBlock, n + 1 == c.blocks ? 0 : at + size);
      remaining -= h.UsedBytes;
      prior = at;
      at = h.NextBlock;
    }
    auto file = Open(true, c.blockSize);
    EXPECT_EQ(LoadBlob(*file, 5, 3, ref), data);
    EXPECT_TRUE(CheckBlobFile(*file, {{5, 3, ref}}).empty());
  }
}

TEST_F(BlobFileTest, ShrinkFreesTheTailAndTheLastFreedIsReusedFirst) {
  auto file = Open();
  int32_t a = StoreBlob(*file, 1, 1, 0, Pattern(3 * 494, 1));  // 512, 1024, 1536
  ASSERT_EQ(file->EndOfBlocks(), 512 + 3 * 512);
  a = StoreBlob(*file, 1, 1, a, Pattern(10, 2));
  EXPECT_EQ(a, 512);
  // The tail 1024 -> 1536 was freed in chain order, so 1536 is on top.
  EXPECT_EQ(file->FirstFreeBlock(), 1536);
  int32_t b = StoreBlob(*file, 2, 1, 0, Pattern(20, 3));
  EXPECT_EQ(b, 1536);
  int32_t c = StoreBlob(*file, 3, 1, 0, Pattern(600, 4));  // 1024, then a new block
  EXPECT_EQ(c, 1024);
  EXPECT_EQ(file->FirstFreeBlock(), 0);
  EXPECT_EQ(file->EndOfBlocks(), 512 + 4 * 512);
  file->FlushAll(false, false);
  EXPECT_TRUE(CheckBlobFile(*file, {{1, 1, a}, {2, 1, b}, {3, 1, c}}).empty());
  EXPECT_EQ(LoadBlob(*file, 1, 1, a), Pattern(10, 2));
  EXPECT_EQ(LoadBlob(*file, 3, 1, c), Pattern(600, 4));
}

TEST_F(BlobFileTest, SizeZeroFreesTheChainAndStoresNoReference) {
  auto file = Open();
  int32_t a = StoreBlob(*file, 4, 2, 0, Pattern(1200, 1));
  EXPECT_EQ(DeleteBlob(*file, 4, 2, a), 0);
  file->FlushAll(false, false);
  EXPECT_TRUE(CheckBlobFile(*file, {}).empty());  // all three blocks are free
  EXPECT_NE(file->FirstFreeBlock(), 0);

  // PutBlobReferences hands the table the reference of every open blob.
  int32_t h1, h2;
  ASSERT_EQ(file->OpenBlob(0, 7, 9, kBlobModeWrite, h1), 0);
  ASSERT_EQ(file->OpenBlob(0, 8, 9, kBlobModeWrite, h2), 0);
  ASSERT_EQ(file->WriteBlob(h1, 0, 3, "abc"), 0);
  file->SetBlobRecord(9);
  file->StoreBlobs();
  file->PutBlobReferences(0, nullptr);
  EXPECT_NE(owner_.Stored.at(7), 0);
  EXPECT_EQ(owner_.Stored.at(8), 0);
}

TEST_F(BlobFileTest, OpenBlobTableAndInMemoryOperations) {
  auto file = Open();
  int32_t ref = StoreBlob(*file, 1, 1, 0, Bytes{'h', 'e', 'l', 'l', 'o'});
  int32_t h = 0;
  ASSERT_EQ(file->OpenBlob(ref, 1, 1, kBlobModeWrite, h), 0);
  char buffer[8] = {};
  int32_t copied = -1;
  EXPECT_EQ(file->ReadBlob(h, 4, 2, buffer, copied), kErrEndOfBlob);  // last byte only
  EXPECT_EQ(copied, 1);
  EXPECT_EQ(buffer[0], 'o');
  EXPECT_EQ(file->ReadBlob(h, 9, 1, buffer, copied), kErrEndOfBlob);
  EXPECT_EQ(copied, 0);
  EXPECT_EQ(file->ReadBlob(h, -1, 1, buffer, copied), kErrBlobLength);
  EXPECT_EQ(file->WriteBlob(h, 7, 1, "!"), 0);  // grows with zeros
  int32_t size = 0;
  EXPECT_EQ(file->GetBlobSize(h, size), 0);
  EXPECT_EQ(size, 8);
  EXPECT_EQ(file->TruncateBlob(h, 3), 0);
  EXPECT_EQ(file->FindBlob(h)->Data, (Bytes{'h', 'e', 'l'}));
  int32_t back = 0;
  EXPECT_EQ(file->FreeBlob(h, back), 0);
  EXPECT_EQ(back, ref);

  // A handle that is not open.
  EXPECT_FALSE(file->IsOpenBlob(h));
  EXPECT_EQ(file->FreeBlob(h, back), kErrBlobHandle);
  EXPECT_EQ(file->ReadBlob(h, 0, 1, buffer, copied), kErrBlobHandle);
  EXPECT_EQ(file->WriteBlob(h, 0, 1, "x"), kErrBlobHandle);
  EXPECT_EQ(file->TruncateBlob(h, 0), kErrBlobHandle);
  EXPECT_EQ(file->GetBlobSize(h, size), kErrBlobHandle);

  // 64 blobs open on one file; the 65th is refused; closing one makes room.
  std::vector<int32_t> handles;
  for (int i = 0; i < 64; ++i) {
    int32_t hh = 0;
    ASSERT_EQ(file->OpenBlob(i == 0 ? ref : 0, 1, 1, kBlobModeRead, hh), 0);
    EXPECT_GT(hh, 0);
    handles.push_back(hh);
  }
  int32_t extra = 0;
  EXPECT_EQ(file->OpenBlob(0, 1, 1, kBlobModeRead, extra), kErrTooManyBlobs);
  ASSERT_EQ(file->FreeBlob(handles[10], back), 0);
  EXPECT_EQ(file->OpenBlob(0, 1, 1, kBlobModeRead, extra), 0);
  EXPECT_NE(extra, handles[10]);  // a stale handle never names a later blob
}

TEST_F(BlobFileTest, RewritingBytesWithinTheSizeReachesTheFile) {
  int32_t ref = 0;
  Write([&](TBlobFile& f) { ref = StoreBlob(f, 1, 1, 0, Bytes{'a', 'b', 'c'}); });
  Write([&](TBlobFile& f) {
    int32_t h = 0;
    ASSERT_EQ(f.OpenBlob(ref, 1, 1, kBlobModeWrite, h), 0);
    ASSERT_EQ(f.WriteBlob(h, 0, 3, "xyz"), 0);
    f.SetBlobRecord(1);
    f.StoreBlobs();
    int32_t ignored;
    f.FreeBlob(h, ignored);
  });
  auto file = Open();
  EXPECT_EQ(LoadBlob(*file, 1, 1, ref), (Bytes{'x', 'y', 'z'}));
}

TEST_F(BlobFileTest, ModifiedBlobsOfDifferentRecordsAreRefused) {
  auto file = Open();
  int32_t h1, h2;
  ASSERT_EQ(file->OpenBlob(0, 1, 1, kBlobModeWrite, h1), 0);
  ASSERT_EQ(file->OpenBlob(0, 2, 2, kBlobModeWrite, h2), 0);
  file->WriteBlob(h1, 0, 1, "a");
  file->WriteBlob(h2, 0, 1, "b");
  EXPECT_EQ(CodeOf([&] { file->StoreBlobs(); }), kErrBlobBuffersCorrupt);
  EXPECT_EQ(file->EndOfBlocks(), 512);  // nothing was stored
}

// Chain faults met while a blob is freed are cut and reported, never raised;
// the free chain stays sound and no other blob is touched. Reading such a
// blob is an error, deleting it works.
TEST_F(BlobFileTest, DeletingRepairsDamagedChains) {
  const std::string recursive = "Recursive intra-block pointer in BLOB file for physical record # 7, error fixed";
  const std::string invalid = "Invalid intra-block pointer in BLOB file for physical record # 7, error fixed";
  struct Case {
    const char* name;
    // Patches the closed file; blob A (record 7, 3 blocks) is at 512, 1024,
    // 1536; blob B (record 8, 2 blocks) at 2048, 2560; blob C (record 7,
    // another field, 1 block) at 3072.
    std::function<void(const std::string&)> patch;
    int readCode;  // what reading A gives
    const std::string& message;
    bool lostExpected;  // blocks beyond the cut stay where they are
  } cases[] = {
      {"second points back to the first", [](const std::string& p) { PatchI32(p, 1024 + 4, 512); },
       kErrBlobBuffersCorrupt, recursive, true},
      {"a block points to itself", [](const std::string& p) { PatchI32(p, 1024 + 4, 1024); }, kErrBlobBuffersCorrupt,
       recursive, true},
      {"chain runs into another record's blob", [](const std::string& p) { PatchI32(p, 1024 + 4, 2048); },
       kErrBlobBuffersCorrupt, invalid, true},
      {"a block owned by another record", [](const std::string& p) { PatchI32(p, 1024 + 10, 8); },
       kErrBlobBuffersCorrupt, invalid, true},
      {"last block runs on into a blob of the same record", [](const std::string& p) { PatchI32(p, 1536 + 4, 3072); },
       0, invalid, false},
      {"a pointer outside the file", [](const std::string& p) { PatchI32(p, 1024 + 4, 999999 * 512); },
       kErrBlobBuffersCorrupt, invalid, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CreateBlobFile(path_);
    int32_t a = 0, b = 0, cRef = 0;
    Bytes dataA = Pattern(3 * 494, 7), dataB = Pattern(900, 8), dataC = Pattern(100, 9);
    Write([&](TBlobFile& f) {
      a = StoreBlob(f, 7, 1, 0, dataA);
      b = StoreBlob(f, 8, 1, 0, dataB);
      cRef = StoreBlob(f, 7, 2, 0, dataC);
    });
    ASSERT_EQ(a, 512);
    ASSERT_EQ(b, 2048);
    ASSERT_EQ(cRef, 3072);
    c.patch(path_);
    owner_.Messages.clear();
    auto file = Open();

    int32_t handle = 0, size = 0;
    ASSERT_EQ(file->OpenBlob(a, 1, 7, kBlobModeRead, handle), 0);
    EXPECT_EQ(file->GetBlobSize(handle, size), c.readCode);
    int32_t ignored;
    file->FreeBlob(handle, ignored);
    if (c.readCode) {
      EXPECT_EQ(CodeOf([&] { file->OpenBlob(a, 1, 7, kBlobModeWrite, handle); }), c.readCode);
    }

    EXPECT_EQ(DeleteBlob(*file, 7, 1, a), 0);
    ASSERT_EQ(owner_.Messages.size(), 1u);
    EXPECT_EQ(owner_.Messages[0], c.message);
    file->FlushAll(false, false);
    auto faults = CheckBlobFile(*file, {{8, 1, b}, {7, 2, cRef}});
    if (c.lostExpected) {
      ASSERT_EQ(faults.size(), 1u);
      EXPECT_NE(faults[0].find("neither free nor in a blob"), std::string::npos) << faults[0];
    } else {
      EXPECT_TRUE(faults.empty()) << faults[0];
    }
    EXPECT_EQ(LoadBlob(*file, 8, 1, b), dataB);
    EXPECT_EQ(LoadBlob(*file, 7, 2, cRef), dataC);
    // The freed blocks are reused without trouble.
    int32_t d = StoreBlob(*file, 9, 1, 0, Pattern(2000, 10));
    file->FlushAll(false, false);
    TBlobCheckOptions noLost;
    noLost.ReportLostBlocks = false;
    EXPECT_TRUE(CheckBlobFile(*file, {{8, 1, b}, {7, 2, cRef}, {9, 1, d}}, noLost).empty());
  }
}

TEST_F(BlobFileTest, DeletingARecordWithARecursiveChainReportsTheRecord) {
  int32_t a = 0;
  Write([&](TBlobFile& f) { a = StoreBlob(f, 7, 1, 0, Pattern(988, 1)); });
  PatchI32(path_, 1024 + 4, 512);  // the second block points back to the first
  auto file = Open();
  EXPECT_EQ(DeleteBlob(*file, 7, 1, a), 0);
  ASSERT_EQ(owner_.Messages.size(), 1u);
  EXPECT_EQ(owner_.Messages[0], "Recursive intra-block pointer in BLOB file for physical record # 7, error fixed");
  file->FlushAll(false, false);
  EXPECT_TRUE(CheckBlobFile(*file, {}).empty());  // both blocks free, once each
}

// A reference whose first block names another record, or no block at all:
// reading it is an error (never an empty text) and the message names the
// record; deleting drops the reference only; writing fails; the other
// record keeps its blob.
TEST_F(BlobFileTest, ForeignFirstBlockCannotBeReadAndIsNeverOverwritten) {
  int32_t ref = 0;
  Bytes data = Pattern(700, 3);
  Write([&](TBlobFile& f) { ref = StoreBlob(f, 7, 1, 0, data); });
  auto file = Open();

  int32_t h = 0;
  for (int32_t reference : {ref, ref + 100, int32_t(file->EndOfBlocks()), 50000}) {
    SCOPED_TRACE(reference);
    ASSERT_EQ(file->OpenBlob(reference, 1, 8, kBlobModeRead, h), 0);
    int32_t size = -1;
    EXPECT_EQ(file->GetBlobSize(h, size), kErrBlobBuffersCorrupt);
    Bytes out(16);
    int32_t copied = -1;
    EXPECT_EQ(file->ReadBlob(h, 0, 16, out.data(), copied), kErrBlobBuffersCorrupt);
    EXPECT_EQ(copied, 0);
    int32_t ignored;
    file->FreeBlob(h, ignored);
  }
  ASSERT_EQ(owner_.Messages.size(), 4u);
  EXPECT_EQ(owner_.Messages[0], "Foreign first block in BLOB file for physical record # 8, blob not read");

  EXPECT_EQ(DeleteBlob(*file, 8, 1, ref), 0);  // drops the reference only

  EXPECT_EQ(CodeOf([&] { file->OpenBlob(ref, 1, 8, kBlobModeWrite, h); }), kErrBlobBuffersCorrupt);
  EXPECT_EQ(file->OpenBlobCount(), 0);

  // Opened for reading, then written: the store refuses.
  ASSERT_EQ(file->OpenBlob(ref, 1, 8, kBlobModeRead, h), 0);
  ASSERT_EQ(file->WriteBlob(h, 0, 3, "abc"), 0);
  file->SetBlobRecord(8);
  EXPECT_EQ(CodeOf([&] { file->StoreBlobs(); }), kErrBlobBuffersCorrupt);
  int32_t ignored;
  file->FreeBlob(h, ignored);

  file->FlushAll(false, false);
  EXPECT_EQ(LoadBlob(*file, 7, 1, ref), data);
  EXPECT_TRUE(CheckBlobFile(*file, {{7, 1, ref}}).empty());
}

TEST_F(BlobFileTest, TheFileLimitRefusesNewBlocksBeforeChangingAnything) {
  // An empty file whose EndOfBlocks sits at the limit: one more block fits.
  // The file reaches EndOfBlocks (a sparse file; nothing is written there).
  PatchI32(path_, kBhEndOfBlocks, kBlobFileLimit);
  std::filesystem::resize_file(path_, uintmax_t(kBlobFileLimit));
  auto file = Open();
  int32_t h = 0;
  ASSERT_EQ(file->OpenBlob(0, 1, 1, kBlobModeWrite, h), 0);
  ASSERT_EQ(file->TruncateBlob(h, 495), 0);  // two blocks
  file->SetBlobRecord(1);
  EXPECT_EQ(CodeOf([&] { file->StoreBlobs(); }), kErrFileFull);
  EXPECT_EQ(file->EndOfBlocks(), kBlobFileLimit);
  EXPECT_FALSE(file->HeaderModified());

  TBlock* block = file->AllocateBlock();
  EXPECT_EQ(block->Offset(), kBlobFileLimit);
  file->ReleaseBlock(block);
  EXPECT_EQ(CodeOf([&] { file->AllocateBlock(); }), kErrFileFull);
  file->Close();  // writes nothing
  EXPECT_EQ(std::filesystem::file_size(path_), uintmax_t(kBlobFileLimit));
}

// Damaged files end in an engine error, never in a crash or a wrong answer.
// A damaged chain is an error when its blob is opened for writing and when a
// blob opened for reading is read.
TEST_F(BlobFileTest, DamagedFilesRaiseEngineErrors) {
  enum Action { kOpen, kLoad, kAllocate };
  struct Case {
    const char* name;
    std::function<void(const std::string&)> patch;
    Action action;
    int code;
  } cases[] = {
      {"format version 2", [](const std::string& p) { PatchByte(p, kBhFormatVersion, 2); }, kOpen, kErrVersion},
      {"EndOfBlocks between blocks", [](const std::string& p) { PatchI32(p, kBhEndOfBlocks, 1000); }, kOpen,
       kErrHeaderCorrupt},
      {"EndOfBlocks inside the header", [](const std::string& p) { PatchI32(p, kBhEndOfBlocks, 0); }, kOpen,
       kErrHeaderCorrupt},
      {"header cut short", [](const std::string& p) { std::filesystem::resize_file(p, 100); }, kOpen, kErrRead},
      {"EndOfBlocks past the end of the file", [](const std::string& p) { PatchI32(p, kBhEndOfBlocks, 512 * 100); },
       kOpen, kErrHeaderCorrupt},
      {"length beyond the file", [](const std::string& p) { PatchI32(p, 512 + 14, 0x7FFFFFF0); }, kLoad,
       kErrEndOfBlob},
      {"negative length", [](const std::string& p) { PatchI32(p, 512 + 14, -5); }, kLoad, kErrEndOfBlob},
      {"used bytes short of a full block", [](const std::string& p) { PatchU16(p, 512 + 8, 100); }, kLoad,
       kErrEndOfBlob},
      {"chain ends early", [](const std::string& p) { PatchI32(p, 1024 + 4, 0); }, kLoad, kErrEndOfBlob},
      {"next block outside the file", [](const std::string& p) { PatchI32(p, 512 + 4, 51200); }, kLoad,
       kErrBlobBuffersCorrupt},
      {"next block between blocks", [](const std::string& p) { PatchI32(p, 512 + 4, 700); }, kLoad,
       kErrBlobBuffersCorrupt},
      {"free chain outside the file", [](const std::string& p) { PatchI32(p, kBhFirstFreeBlock, 1 << 20); },
       kAllocate, kErrBlobBuffersCorrupt},
      {"free chain between blocks", [](const std::string& p) { PatchI32(p, kBhFirstFreeBlock, 513); }, kAllocate,
       kErrBlobBuffersCorrupt},
      {"free block pointing to itself",
       [](const std::string& p) {
         PatchI32(p, kBhFirstFreeBlock, 1536);
         PatchI32(p, 1536 + 4, 1536);
       },
       kAllocate, kErrBlobBuffersCorrupt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CreateBlobFile(path_);
    int32_t ref = 0;
    Write([&](TBlobFile& f) { ref = StoreBlob(f, 1, 1, 0, Pattern(1400, 1)); });  // 512, 1024, 1536
    c.patch(path_);
    int32_t h = 0;
    switch (c.action) {
      case kOpen:
        EXPECT_EQ(CodeOf([&] { Open(); }), c.code);
        break;
      case kLoad: {
        auto file = Open();
        EXPECT_EQ(CodeOf([&] { file->OpenBlob(ref, 1, 1, kBlobModeWrite, h); }), c.code);
        ASSERT_EQ(file->OpenBlob(ref, 1, 1, kBlobModeRead, h), 0);
        int32_t size = 0, copied = 0;
        char byte;
        EXPECT_EQ(file->GetBlobSize(h, size), c.code);
        EXPECT_EQ(file->ReadBlob(h, 0, 1, &byte, copied), c.code);
        EXPECT_EQ(file->OpenBlobCount(), 1);
        break;
      }
      case kAllocate: {
        auto file = Open();
        EXPECT_EQ(CodeOf([&] { file->AllocateBlock(); }), c.code);
        break;
      }
    }
  }
}

TEST_F(BlobFileTest, AReferenceThatIsNoBlockReadsEmpty) {
  auto file = Open();
  int32_t h = 0;
  ASSERT_EQ(file->OpenBlob(777, 1, 1, kBlobModeRead, h), 0);
  int32_t size = -1;
  file->GetBlobSize(h, size);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(owner_.Messages.size(), 1u);
  EXPECT_EQ(file->EndOfBlocks(), 512);  // no phantom block appended
  int32_t ignored;
  file->FreeBlob(h, ignored);
  EXPECT_EQ(CodeOf([&] { file->OpenBlob(512, 1, 1, kBlobModeWrite, h); }), kErrBlobBuffersCorrupt);
}

TEST_F(BlobFileTest, BlockSizeWithoutDataBytesIsRefused) {
  TBlobFile file;
  file.SetBlockSize(18);
  file.SetFileName(path_);
  EXPECT_EQ(CodeOf([&] { file.Open(); }), kErrBlobFieldsOrBlockSize);
  EXPECT_FALSE(file.IsOpen());
}

TEST_F(BlobFileTest, ReadAheadAndRunsKeepFileCallsFew) {
  Bytes data = Pattern(10 * 494, 5);
  int32_t ref = 0;
  {
    auto file = Open();
    ref = StoreBlob(*file, 1, 1, 0, data);
    uint64_t writesBefore = file->BlobStats().BlockWrites;
    file->FlushAll(false, false);
    EXPECT_EQ(file->BlobStats().BlockWrites - writesBefore, 1u);  // ten adjacent blocks, one write
    EXPECT_EQ(file->BlobStats().BlocksWritten, 10u);
  }
  auto file = Open();
  EXPECT_EQ(LoadBlob(*file, 1, 1, ref), data);
  // The first block alone, then the nine others in one read.
  EXPECT_EQ(file->BlobStats().BlockReads, 2u);
  EXPECT_EQ(file->BlobStats().BlocksRead, 10u);
}

TEST_F(BlobFileTest, SmallCacheEvictsAndStillStoresLargeBlobs) {
  // 32-byte blocks: 14 data bytes, a cache held to 4096 blocks; a 150 KB
  // blob needs far more blocks than the cache holds.
  CreateBlobFile(path_);
  Bytes data = Pattern(150000, 11);
  int32_t ref = 0;
  Write([&](TBlobFile& f) { ref = StoreBlob(f, 3, 1, 0, data); }, 32);
  auto file = Open(true, 32);
  EXPECT_EQ(file->CacheCapacity(), 4096);
  EXPECT_EQ(file->ReadAheadLimit(), 65535 / 32);
  EXPECT_EQ(LoadBlob(*file, 3, 1, ref), data);
  EXPECT_EQ(file->CachedBlockCount(), 4096);
  EXPECT_TRUE(CheckBlobFile(*file, {{3, 1, ref}}).empty());
}

TEST_F(BlobFileTest, EncipheredFileRoundTripsThroughTheHook) {
  owner_.Cipher = true;
  std::filesystem::remove(path_);
  Bytes data = Pattern(1000, 2);
  int32_t ref = 0;
  {
    TBlobFile file(&owner_);
    file.SetExclusive(true);
    file.SetFileName(path_);
    file.CreateNewFile();
    ref = StoreBlob(file, 1, 1, 0, data);
    file.FlushAll(false, false);
  }
  Bytes raw = ReadFileBytes(path_);
  EXPECT_NE(raw[kBhFormatVersion], 3);  // the header is scrambled on disk
  EXPECT_EQ(std::search(raw.begin(), raw.end(), data.begin(), data.begin() + 32), raw.end());
  auto file = Open();
  EXPECT_EQ(file->EndOfBlocks(), 512 + 3 * 512);
  EXPECT_EQ(LoadBlob(*file, 1, 1, ref), data);
  file->Close();
  owner_.Cipher = false;
  EXPECT_EQ(CodeOf([&] { Open(); }), kErrVersion);
}

TEST_F(BlobFileTest, ReaderAndWriterLocksExcludeEachOther) {
  auto reader = Open(false);
  auto writer = Open(false);
  auto reader2 = Open(false);
  writer->WriteLockState().MaxTries = 2;
  ASSERT_TRUE(reader->LockRead());
  EXPECT_TRUE(reader2->LockRead());  // readers share
  EXPECT_FALSE(writer->LockWrite());
  EXPECT_EQ(writer->WriteLockState().LastTries(), 2);
  EXPECT_TRUE(reader->UnlockRead());
  EXPECT_TRUE(reader2->UnlockRead());
  EXPECT_TRUE(writer->LockWrite());
  reader->ReadLockState().MaxTries = 3;
  EXPECT_FALSE(reader->LockRead());
  EXPECT_TRUE(writer->UnlockWrite());
  EXPECT_TRUE(writer->UnlockWrite());  // not held: succeeds at once
  EXPECT_TRUE(reader->LockRead());

  // Exclusive files take no locks at all.
  reader.reset();
  reader2.reset();
  writer.reset();
  auto exclusive = Open(true);
  EXPECT_TRUE(exclusive->LockWrite());
  EXPECT_TRUE(exclusive->LockRead());
  EXPECT_FALSE(exclusive->WriteLockHeld());
}

TEST_F(BlobFileTest, AnotherWritersHeaderIsNoticed) {
  auto a = Open(false);
  auto b = Open(false);
  EXPECT_FALSE(b->HeaderChanged());
  int32_t ref = StoreBlob(*a, 2, 1, 0, Pattern(600, 1));
  a->FlushAll(false, false);
  EXPECT_TRUE(b->HeaderChanged());
  EXPECT_EQ(b->EndOfBlocks(), 512 + 2 * 512);
  EXPECT_FALSE(b->HeaderChanged());
  b->DiscardBlocks();
  EXPECT_EQ(LoadBlob(*b, 2, 1, ref), Pattern(600, 1));
  // A forced header write counts too, and carries the modified flag 0.
  a->WriteHeader(true);
  EXPECT_TRUE(b->HeaderChanged());
  EXPECT_EQ(b->HeaderBytes()[kBhModifiedFlag], 0);
}

}  // namespace

namespace {

using namespace tabula;
using namespace blob_test;

// The checker names each kind of damage; a sound file gives no line.
TEST(BlobCheckerTest, ReportsEachKindOfDamage) {
  InitializeEngine();
  testing_support::TempDir dir;
  const std::string path = dir.File("c.BLB");
  TTestOwner owner;
  struct Case {
    const char* name;
    std::function<void(const std::string&)> patch;
    const char* fault;  // expected in the one line reported; null = sound
  } cases[] = {
      {"sound", [](const std::string&) {}, nullptr},
      {"free chain cycle", [](const std::string& p) { PatchI32(p, 2048 + 4, 2048); }, "met twice"},
      {"free chain out of the file", [](const std::string& p) { PatchI32(p, kBhFirstFreeBlock, 9 * 4096); },
       "not a block of the file"},
      {"wrong UsedBytes", [](const std::string& p) { PatchU16(p, 1024 + 8, 7); }, "UsedBytes 7, expected"},
      {"wrong PriorBlock", [](const std::string& p) { PatchI32(p, 1024 + 0, 0); }, "PriorBlock 0, expected 512"},
      {"length in a later block", [](const std::string& p) { PatchI32(p, 1024 + 14, 3); }, "BlobLength 3"},
      {"foreign block in the chain", [](const std::string& p) { PatchI32(p, 1024 + 10, 99); }, "belongs to record 99"},
      {"first block of another record", [](const std::string& p) { PatchI32(p, 512 + 10, 99); },
       "first block 512 belongs to record 99"},
      {"chain shorter than its length", [](const std::string& p) { PatchI32(p, 512 + 14, 2000); }, "chain ends after"},
      {"chain longer than its length", [](const std::string& p) { PatchI32(p, 512 + 14, 400); }, "is the last but links"},
      {"block in a blob and the free chain", [](const std::string& p) { PatchI32(p, kBhFirstFreeBlock, 1024); },
       "is also in the free chain"},
      {"lost block", [](const std::string& p) { PatchI32(p, kBhFirstFreeBlock, 0); }, "neither free nor in a blob"},
      {"file longer than its blocks",
       [](const std::string& p) { std::filesystem::resize_file(p, std::filesystem::file_size(p) + 512); },
       "differs from EndOfBlocks"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CreateBlobFile(path);
    int32_t ref = 0;
    {
      // One blob at 512, 1024; a freed block at 2048 (the blob at 1536 ... 2048 shrunk).
      auto file = OpenBlobFile(path, &owner);
      ref = StoreBlob(*file, 1, 1, 0, Pattern(900, 1));
      int32_t other = StoreBlob(*file, 2, 1, 0, Pattern(900, 2));
      StoreBlob(*file, 2, 1, other, Pattern(10, 3));
      file->FlushAll(false, false);
    }
    ASSERT_EQ(ref, 512);
    c.patch(path);
    auto file = OpenBlobFile(path, &owner);
    TBlobCheckOptions options;
    auto faults = CheckBlobFile(*file, {{1, 1, ref}, {2, 1, 1536}}, options);
    if (!c.fault) {
      EXPECT_TRUE(faults.empty()) << faults[0];
      continue;
    }
    ASSERT_FALSE(faults.empty());
    bool found = false;
    for (const auto& f : faults) found = found || f.find(c.fault) != std::string::npos;
    EXPECT_TRUE(found) << faults[0];
  }
}

}  // namespace
