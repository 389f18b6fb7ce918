// Index file tests: the new file, the version check, root splits, the page
// buffers' eviction rules, key errors, bitmap mode (physical order and a
// filter), the interop index written elsewhere, a second process changing
// the file under a reader, and a 1,000,000-key index whose searches read
// only one root-to-leaf path.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tabula/engine_error.h"
#include "tabula/field_desc.h"
#include "engine/index_checker.h"
#include "tests/engine/index_test_util.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace index_test;
namespace fs = std::filesystem;

// An index over one 32-bit integer field: keys of 5 bytes.
TIndexDescriptor IntDescriptor(uint8_t compression = 0) {
  TIndexDescriptor d;
  d.FieldCount = 1;
  d.FieldNumbers[0] = 2;
  d.Unique = true;
  d.Compression = compression;
  d.KeyLength = 5;
  return d;
}

std::vector<uint8_t> IntKey(int32_t v) {
  std::vector<uint8_t> k(5);
  k[0] = 1;
  StoreBE(k.data() + 1, static_cast<uint32_t>(v) ^ 0x80000000u, 4);
  return k;
}

class IndexFileTest : public testing::Test {
 protected:
  void SetUp() override { DescribeTestFields(owner_); }
  std::unique_ptr<TIndexFile> MakeIntIndex(const std::string& name, uint8_t compression = 0) {
    return CreateTestIndex(owner_, dir_.File(name), {{0, IntDescriptor(compression)}});
  }
  void InsertInts(TIndexFile& f, int32_t from, int32_t to) {
    for (int32_t v = from; v <= to; ++v) {
      f.InsertKey(IntKey(v).data(), static_cast<uint32_t>(v));
      f.AdjustLiveRecordCount(1);
    }
  }
  void ExpectClean(TIndexFile& f, const TIndexCheckOptions& options = {}) {
    auto faults = CheckIndexFile(f, options);
    EXPECT_TRUE(faults.empty()) << faults.size() << " faults, first: " << faults.front();
  }

  testing_support::TempDir dir_;
  TEngineScope engine_;
  TTestOwner owner_;
};

TEST_F(IndexFileTest, NewFileIsHeaderOnlyAndKeepsItsDescriptors) {
  TIndexDescriptor byName = TestDescriptor(1, "ByName", 3, false, false, true, true);
  auto f = CreateTestIndex(owner_, dir_.File("new.IDX"), {{0, IntDescriptor()}, {1, byName}});
  EXPECT_EQ(fs::file_size(dir_.File("new.IDX")), 4096u);
  f->CloseIndexFile();
  f->OpenIndexFile();
  const TIndexHeader& h = f->Header();
  EXPECT_EQ(h.Version, 3);
  EXPECT_EQ(h.EndOfFile, 4096);
  EXPECT_EQ(h.SecondaryCount, 1);
  EXPECT_EQ(h.Descriptors[31].Name, "Sys Deleted");
  EXPECT_EQ(h.Descriptors[31].KeyLength, 5);
  const TIndexDescriptor& d = h.Descriptors[1];
  EXPECT_EQ(d.Name, "ByName");
  EXPECT_EQ(d.KeyLength, byName.KeyLength);
  EXPECT_TRUE(d.CaseInsensitive);
  EXPECT_EQ(d.Compression, 3);
  EXPECT_EQ(d.FieldDescending[0], 1);
  EXPECT_EQ(d.FieldNumbers[1], 2);
  for (int s = 0; s < 32; ++s) EXPECT_EQ(h.Descriptors[s].RootPage, 0u);
  // An empty index finds nothing.
  EXPECT_FALSE(f->FindKey(IntKey(5).data(), true, false));
  EXPECT_TRUE(f->Bof() && f->Eof());
  // Selection by name: case-insensitive, unknown names fall back to the primary.
  f->SelectIndexByName("byname");
  EXPECT_EQ(f->CurrentSlot(), 1);
  f->SelectIndexByName("NoSuchIndex");
  EXPECT_EQ(f->CurrentSlot(), 0);
  // The file name takes the ".IDX" extension whatever was given.
  EXPECT_EQ(f->ResolveName("/a/b.c/people.DAT"), "/a/b.c/people.IDX");
  EXPECT_EQ(f->ResolveName("people"), "people.IDX");
}

TEST_F(IndexFileTest, OtherVersionsAreRefused) {
  auto f = MakeIntIndex("v.IDX");
  f->CloseIndexFile();
  for (uint8_t version : {2, 4}) {
    {
      std::fstream io(dir_.File("v.IDX"), std::ios::in | std::ios::out | std::ios::binary);
      io.seekp(8);
      io.put(static_cast<char>(version));
    }
    try {
      f->OpenIndexFile();
      ADD_FAILURE() << "version " << int(version) << " opened";
    } catch (const ETabulaEngineError& e) {
      EXPECT_EQ(e.Code(), kErrVersion);
      EXPECT_FALSE(f->IsOpen());
    }
  }
}

TEST_F(IndexFileTest, FullRootLeafSplitsIntoARootWithTwoEntries) {
  auto f = MakeIntIndex("split.IDX");
  const int capacity = LeafCapacity(5);
  InsertInts(*f, 1, capacity);
  TPage check(f.get());
  f->ReadPageForCheck(0, f->Descriptor(0).RootPage, check);
  EXPECT_EQ(check.Header.PageType, kPageRootLeaf);
  InsertInts(*f, capacity + 1, capacity + 1);
  f->ReadPageForCheck(0, f->Descriptor(0).RootPage, check);
  EXPECT_EQ(check.Header.PageType, kPageRootNode);
  ASSERT_EQ(check.Count(), 2);
  EXPECT_EQ(check.Counts[0] + check.Counts[1], static_cast<uint32_t>(capacity + 1));
  ExpectClean(*f);
  // Deleting back down collapses the root; deleting everything empties it.
  for (int32_t v = capacity + 1; v >= 2; --v) {
    f->DeleteKey(IntKey(v).data());
    f->AdjustLiveRecordCount(-1);
  }
  f->ReadPageForCheck(0, f->Descriptor(0).RootPage, check);
  EXPECT_EQ(check.Header.PageType, kPageRootLeaf);
  ExpectClean(*f);
  f->DeleteKey(IntKey(1).data());
  f->AdjustLiveRecordCount(-1);
  EXPECT_EQ(f->Descriptor(0).RootPage, 0u);
  ExpectClean(*f);
  // Freed pages are reused before the file grows.
  int32_t end = f->Header().EndOfFile;
  InsertInts(*f, 1, capacity + 1);
  EXPECT_EQ(f->Header().EndOfFile, end);
  ExpectClean(*f);
}

TEST_F(IndexFileTest, KeyErrorsNameTheIndex) {
  auto f = CreateTestIndex(owner_, dir_.File("err.IDX"), {{0, IntDescriptor()}, {1, [] {
                                                             TIndexDescriptor d = IntDescriptor();
                                                             d.Name = "ByCode";
                                                             return d;
                                                           }()}});
  InsertInts(*f, 1, 10);
  struct TCase {
    uint8_t Slot;
    const char* Name;
  } cases[] = {{0, "Primary"}, {1, "ByCode"}};
  f->InsertKeyInSlot(1, IntKey(3).data(), 3);
  for (const auto& c : cases) {
    f->SelectIndexSlot(c.Slot);
    try {
      f->DeleteKey(IntKey(99).data());
      ADD_FAILURE() << "no error deleting a missing key";
    } catch (const ETabulaEngineError& e) {
      EXPECT_EQ(e.Code(), kErrKeyNotFound);
      EXPECT_NE(std::string(e.Message).find(c.Name), std::string::npos) << e.Message;
    }
    try {
      f->CheckDuplicate(IntKey(3).data());
      ADD_FAILURE() << "no duplicate reported";
    } catch (const ETabulaEngineError& e) {
      EXPECT_EQ(e.Code(), kErrDuplicateKey);
      EXPECT_NE(std::string(e.Message).find(c.Name), std::string::npos) << e.Message;
    }
  }
}

TEST_F(IndexFileTest, PageBuffersWriteOrGrowOnlyAsAllowed) {
  auto f = MakeIntIndex("buffers.IDX");
  std::vector<TPagePin> pinned;
  for (int i = 0; i < 31; ++i) pinned.push_back(f->AllocatePage());
  EXPECT_EQ(f->BufferedPages(0), 31u);
  // Every page pinned, no table lock: nothing can be made room for.
  try {
    f->AllocatePage();
    ADD_FAILURE() << "a 32nd page was found";
  } catch (const ETabulaEngineError& e) {
    EXPECT_EQ(e.Code(), kErrIndexPagesCorrupt);
  }
  // Dirty but unpinned pages: one is written to make room.
  pinned.clear();
  uint64_t writes = f->Stats().WriteCalls;
  TPagePin extra = f->AllocatePage();
  EXPECT_EQ(f->Stats().WriteCalls, writes + 1);
  EXPECT_EQ(f->BufferedPages(0), 31u);
  extra.Release();
  // Under the table lock nothing is written on eviction: the list grows by 64.
  for (int i = 0; i < 31; ++i) pinned.push_back(f->AllocatePage());
  owner_.TableLock = true;
  writes = f->Stats().WriteCalls;
  pinned.push_back(f->AllocatePage());
  EXPECT_EQ(f->Stats().WriteCalls, writes);
  EXPECT_EQ(f->PageListLimit(0), 95u);
  owner_.TableLock = false;
  pinned.clear();
  f->TrimPageBuffers();
  EXPECT_EQ(f->BufferedPages(0), 31u);
  EXPECT_EQ(f->PageListLimit(0), 31u);
  f->FlushPages();
  EXPECT_FALSE(f->FlushPages());
}

TEST_F(IndexFileTest, FlushWritesEachRunOfAdjacentPagesOnce) {
  auto f = MakeIntIndex("runs.IDX");
  std::vector<TPage*> pages;
  for (int i = 0; i < 10; ++i) pages.push_back(f->AllocatePage().Get());
  f->FlushPages();
  // Pages 1-3 and 6-9 dirty again: two runs, two writes.
  for (int i : {1, 2, 3, 6, 7, 8, 9}) pages[static_cast<size_t>(i)]->Dirty = true;
  const uint64_t writes = f->Stats().WriteCalls;
  EXPECT_TRUE(f->FlushPages());
  EXPECT_EQ(f->Stats().WriteCalls - writes, 2u);
  EXPECT_FALSE(f->FlushPages());
}

// Pins are handles: moved, shared and let go exactly once. An operation that
// fails half-way leaves nothing pinned, so a flush writes every change.
TEST_F(IndexFileTest, PinsEndWithTheirHandles) {
  {
    auto scratch = MakeIntIndex("pins.IDX");
    TPagePin a = scratch->AllocatePage();
    TPage* page = a.Get();
    TPagePin b = std::move(a);
    TPagePin c = b.Share();
    EXPECT_FALSE(a);
    EXPECT_EQ(page->Pins, 2);
    b.Release();
    b.Release();
    EXPECT_EQ(page->Pins, 1);
    c = TPagePin();
    EXPECT_EQ(page->Pins, 0);
  }
  const std::string path = dir_.File("failed.IDX");
  owner_.Slots = 3000;
  auto f = CreateTestIndex(owner_, path, {{0, IntDescriptor()}});
  InsertInts(*f, 1, 3000);
  try {
    f->DeleteKey(IntKey(99999).data());
    ADD_FAILURE() << "a missing key was deleted";
  } catch (const ETabulaEngineError& e) {
    EXPECT_EQ(e.Code(), kErrKeyNotFound);
  }
  f->FlushPages();
  f->WriteHeader(false);
  TIndexFile reader(&owner_);
  reader.SetFileName(path);
  reader.OpenIndexFile();
  ExpectClean(reader);
  EXPECT_EQ(reader.CursorRecordCount(), 3000);
  reader.CloseIndexFile();
}

// A read-only handle keeps far more expanded pages than a writing one: a
// second walk over 20,000 keys reads nothing from the file.
TEST_F(IndexFileTest, ReadOnlyHandlesKeepTheirWalkBuffered) {
  owner_.Slots = 20000;
  {
    auto f = MakeIntIndex("walk.IDX");
    InsertInts(*f, 1, 20000);
    f->FlushPages();
    f->WriteHeader(false);
  }
  for (bool readOnly : {true, false}) {
    TIndexFile reader(&owner_);
    reader.SetReadOnly(readOnly);
    reader.SetFileName(dir_.File("walk.IDX"));
    reader.OpenIndexFile();
    auto walk = [&] {
      int32_t n = 0;
      for (reader.FirstKey(); !reader.Eof(); reader.MoveBy(1)) ++n;
      return n;
    };
    ASSERT_EQ(walk(), 20000);
    const uint64_t reads = reader.PageReads();
    ASSERT_GT(reads, 40u);
    ASSERT_EQ(walk(), 20000);
    if (readOnly)
      EXPECT_EQ(reader.PageReads(), reads);
    else
      EXPECT_GT(reader.PageReads(), reads);
    reader.CloseIndexFile();
  }
}

// Keeps the even record numbers: a filter seen through the hook.
class TEvenFilter : public TIndexFilterHook {
 public:
  bool AnyActive() const override { return Active; }
  void Rebuild(const TRecordBitmap& candidates) override { bits = candidates; }
  void Combine(TRecordBitmap& visible) const override {
    for (int32_t r = 1; r <= visible.Slots(); ++r)
      if (r % 2 != 0 || !bits.Test(r)) visible.Clear(r);
  }
  bool Active = true;

 private:
  TRecordBitmap bits;
};

TEST_F(IndexFileTest, BitmapModeShowsOnlyVisibleRecords) {
  // Records 1..40; 5, 10, 15, ... are deleted. The primary key of record r
  // is 100 - r, so index order is the reverse of record order.
  auto f = MakeIntIndex("bitmap.IDX");
  owner_.Slots = 40;
  for (int32_t r = 1; r <= 40; ++r) {
    uint8_t sys[5];
    const bool deleted = r % 5 == 0;
    BuildSysDeletedKey(deleted ? 1 : 0, r, sys);
    f->InsertKeyInSlot(kSysDeletedSlot, sys, static_cast<uint32_t>(r));
    if (!deleted) {
      f->InsertKey(IntKey(100 - r).data(), static_cast<uint32_t>(r));
      f->AdjustLiveRecordCount(1);
    }
  }
  TIndexCheckOptions options;
  options.RecordSlots = 40;
  options.ReadRecord = [](int32_t r, uint8_t& status, int32_t& id) {
    status = r % 5 == 0 ? 1 : 0;
    id = r;
    return true;
  };
  ExpectClean(*f, options);

  // Physical order: the live records in slot order.
  f->SelectIndexSlot(kPhysicalOrderSlot);
  ASSERT_TRUE(f->BitmapMode());
  EXPECT_EQ(f->CursorRecordCount(), 32);
  f->FirstKey();
  EXPECT_EQ(f->CurrentRecordNumber(), 1);
  f->MoveBy(4);
  EXPECT_EQ(f->CurrentRecordNumber(), 6);
  EXPECT_EQ(f->PositionInRange(), 5);
  EXPECT_EQ(f->ConsecutiveRun(10, 1), 4);  // 6, 7, 8, 9
  f->GoToRecord(10);  // deleted: the next live one
  EXPECT_EQ(f->CurrentRecordNumber(), 11);
  EXPECT_EQ(f->PositionInRange(), 9);
  f->LastKey();
  EXPECT_EQ(f->CurrentRecordNumber(), 39);
  f->MoveBy(1);
  EXPECT_TRUE(f->Eof());
  EXPECT_EQ(f->CurrentRecordNumber(), 39);
  f->RecordDeleted(39);
  EXPECT_EQ(f->CursorRecordCount(), 31);
  EXPECT_FALSE(f->FindKey(IntKey(50).data(), true, false));  // no keys in physical order

  // Index order with a filter keeping even records.
  TEvenFilter filter;
  f->SetFilterHook(&filter);
  f->SelectIndexSlot(0);
  f->UpdateBitmapMode();
  ASSERT_TRUE(f->BitmapMode());
  EXPECT_EQ(f->CursorRecordCount(), 16);
  f->FirstKey();  // smallest key = highest record: 39 is odd, 38 even
  EXPECT_EQ(f->CurrentRecordNumber(), 38);
  EXPECT_EQ(f->PositionInRange(), 2);  // position numbers are index ranks
  f->MoveBy(2);
  EXPECT_EQ(f->CurrentRecordNumber(), 34);
  f->LastKey();
  EXPECT_EQ(f->CurrentRecordNumber(), 2);
  // The last visible record: EOF, and the cursor stays though record 1 follows.
  f->MoveBy(1);
  EXPECT_TRUE(f->Eof());
  EXPECT_EQ(f->CurrentRecordNumber(), 2);
  // An invisible key is not found; nearest goes on to the next visible one.
  EXPECT_FALSE(f->FindKey(IntKey(100 - 33).data(), false, false));
  EXPECT_FALSE(f->FindKey(IntKey(100 - 33).data(), true, false));
  EXPECT_EQ(f->CurrentRecordNumber(), 32);
  EXPECT_TRUE(f->FindKey(IntKey(100 - 32).data(), false, false));
  f->GoToPosition(5);
  EXPECT_EQ(f->CurrentRecordNumber() % 2, 0);
  // A range on top of the filter: keys 70..80 = records 20..30, even and live.
  f->SetRangeStart(IntKey(70).data());
  f->SetRangeEnd(IntKey(80).data());
  f->ActivateRange();
  f->ComputeRangeBounds();
  EXPECT_EQ(f->CursorRecordCount(), 4);  // 28, 26, 24, 22 (20 and 30 are deleted)
  f->FirstKey();
  EXPECT_EQ(f->CurrentRecordNumber(), 28);
  f->LastKey();
  EXPECT_EQ(f->CurrentRecordNumber(), 22);
  f->CancelRange();
  filter.Active = false;
  f->UpdateBitmapMode();
  EXPECT_FALSE(f->BitmapMode());
  f->SetFilterHook(nullptr);
}

// The interop table: people.idx written by another program.
class IndexInteropTest : public testing::Test {
 protected:
  void SetUp() override {
    const fs::path shared = testing_support::InteropDir();
    ASSERT_TRUE(fs::exists(shared / "people.idx")) << "no interop tables at " << shared;
    for (const auto& e : fs::directory_iterator(shared)) {
      fs::copy_file(e.path(), dir_.Path() / e.path().filename());
      fs::permissions(dir_.Path() / e.path().filename(), fs::perms::owner_write, fs::perm_options::add);
    }
    std::ifstream in(dir_.File("people.DAT"), std::ios::binary);
    dat_.assign(std::istreambuf_iterator<char>(in), {});
    fieldCount_ = LoadU16(dat_.data() + 23);
    recordSize_ = LoadU16(dat_.data() + 21);
    owner_.Slots = LoadI32(dat_.data() + 13) - 1;
    owner_.Lang = LoadU16(dat_.data() + 103);
    owner_.Sort = LoadU16(dat_.data() + 105);
    for (int k = 1; k <= fieldCount_; ++k) {
      descs_.push_back(TFieldDesc::Unpack(dat_.data() + 127 + 768 * (k - 1)));
      owner_.Fields[static_cast<uint16_t>(k)] = KeyFieldInfoOf(descs_.back());
    }
    file_ = std::make_unique<TIndexFile>(&owner_);
    owner_.File = file_.get();
    file_->SetFileName(dir_.File("people.DAT"));  // the companion is found as people.idx
    file_->OpenIndexFile();
  }
  const uint8_t* Record(int32_t r) const {
    return dat_.data() + 127 + 768 * fieldCount_ + static_cast<size_t>(recordSize_) * static_cast<size_t>(r - 1);
  }

  testing_support::TempDir dir_;
  TEngineScope engine_;
  TTestOwner owner_;
  std::vector<uint8_t> dat_;
  int fieldCount_ = 0;
  int recordSize_ = 0;
  std::vector<TFieldDesc> descs_;
  std::unique_ptr<TIndexFile> file_;
};

TEST_F(IndexInteropTest, LeafOrderMatchesTheExpectedOrderAndTheFilePassesTheChecker) {
  TIndexCheckOptions options;
  options.RecordSlots = owner_.Slots;
  options.ReadRecord = [&](int32_t r, uint8_t& status, int32_t& id) {
    status = Record(r)[0];
    id = LoadI32(Record(r) + 5);
    return true;
  };
  auto faults = CheckIndexFile(*file_, options);
  EXPECT_TRUE(faults.empty()) << faults.size() << " faults, first: " << faults.front();

  std::ifstream order(dir_.File("people.order.txt"));
  std::string line;
  int indexes = 0;
  while (std::getline(order, line)) {
    size_t colon = line.find(':');
    ASSERT_NE(colon, std::string::npos);
    std::string name = line.substr(0, colon);
    std::istringstream slots(line.substr(colon + 1));
    std::vector<int32_t> expect;
    for (int32_t s; slots >> s;) expect.push_back(s);
    file_->SelectIndexByName(name == "<primary>" ? "" : name);
    ASSERT_EQ(file_->CurrentIndexName(), name == "<primary>" ? "" : name);
    ASSERT_EQ(file_->CursorRecordCount(), static_cast<int32_t>(expect.size())) << name;
    std::vector<int32_t> got;
    for (file_->FirstKey(); !file_->Eof() && got.size() < expect.size() + 1; file_->MoveBy(1))
      got.push_back(file_->CurrentRecordNumber());
    EXPECT_EQ(got, expect) << name;
    // Keys built from the records find their records, and positions agree.
    const uint8_t slot = file_->CurrentSlot();
    for (size_t i = 0; i < expect.size(); ++i) {
      std::vector<uint8_t> key(kKeyBufferSize);
      BuildIndexKey(slot, file_->Descriptor(slot), descs_.data(), descs_.size(), Record(expect[i]), owner_.Lang,
                    owner_.Sort, key.data());
      ASSERT_TRUE(file_->FindKey(key.data(), false, false)) << name << " record " << expect[i];
      EXPECT_EQ(file_->CurrentRecordNumber(), expect[i]) << name;
      EXPECT_EQ(file_->PositionInRange(), static_cast<int32_t>(i) + 1) << name;
    }
    ++indexes;
  }
  EXPECT_EQ(indexes, 10);
}

TEST_F(IndexInteropTest, ChangesWrittenHereReadBackInTheSameOrder) {
  // Delete and re-insert every key of the compressed ByCityNotes index
  // (compression 3, keys of 458 bytes): the tree is rebuilt by this code
  // and must give the same order and pass the checker.
  file_->SelectIndexByName("ByCityNotes");
  const uint8_t slot = file_->CurrentSlot();
  std::vector<std::pair<std::vector<uint8_t>, int32_t>> keys;
  for (file_->FirstKey(); !file_->Eof(); file_->MoveBy(1))
    keys.emplace_back(std::vector<uint8_t>(file_->CurrentKey(), file_->CurrentKey() + file_->KeyLength()),
                      file_->CurrentRecordNumber());
  for (size_t i = 0; i < keys.size(); i += 2) file_->DeleteKey(keys[i].first.data());
  for (size_t i = 0; i < keys.size(); i += 2) file_->InsertKey(keys[i].first.data(), static_cast<uint32_t>(keys[i].second));
  file_->UnpinPages();
  file_->FlushPages();
  file_->WriteHeader(false);
  file_->CloseIndexFile();
  file_->OpenIndexFile();
  file_->SelectIndexSlot(slot);
  auto faults = CheckIndexFile(*file_);
  EXPECT_TRUE(faults.empty()) << faults.size() << " faults, first: " << faults.front();
  size_t i = 0;
  for (file_->FirstKey(); !file_->Eof(); file_->MoveBy(1), ++i) {
    ASSERT_LT(i, keys.size());
    EXPECT_EQ(file_->CurrentRecordNumber(), keys[i].second);
  }
  EXPECT_EQ(i, keys.size());
}

TEST_F(IndexFileTest, AnotherProcessChangesTheIndexUnderAReader) {
  const std::string path = dir_.File("shared.IDX");
  auto f = CreateTestIndex(owner_, path, {{0, IntDescriptor()}});
  InsertInts(*f, 1, 2000);
  f->UnpinPages();
  f->FlushPages();
  f->WriteHeader(false);
  owner_.UseLocks = true;
  owner_.Slots = 6000;  // the writer's records go up to 5300
  // The reader stands on record 1000 (position 1000).
  ASSERT_TRUE(f->FindKey(IntKey(1000).data(), false, false));
  EXPECT_EQ(f->PositionInRange(), 1000);
  owner_.EndRead();

  int code = testing_support::RunInFork([&]() -> int {
    TTestOwner writer;
    DescribeTestFields(writer);
    TIndexFile w(&writer);
    writer.File = &w;
    writer.UseLocks = true;
    writer.Slots = 6000;
    w.SetFileName(path);
    w.OpenIndexFile(false);
    if (!w.LockTableExclusive()) return 2;
    if (w.HeaderChanged()) return 3;
    // 300 keys below the reader's, and the reader's neighbour goes.
    for (int32_t v = -300; v <= -1; ++v) {
      w.InsertKey(IntKey(v).data(), static_cast<uint32_t>(5000 - v));
      w.AdjustLiveRecordCount(1);
    }
    w.DeleteKey(IntKey(1001).data());
    w.AdjustLiveRecordCount(-1);
    w.UnpinPages();
    w.FlushPages();
    w.WriteHeader(true);
    w.UnlockTableExclusive();
    w.CloseIndexFile();
    return 0;
  });
  ASSERT_EQ(code, 0);

  // The reader's next locked operation sees the new change counter, drops
  // its pages and re-finds its record, keeping its flags.
  ASSERT_TRUE(owner_.LockAndCheckForChanges());
  uint64_t reads = f->PageReads();
  ASSERT_TRUE(f->FindKey(IntKey(1000).data(), false, true));
  EXPECT_GT(f->PageReads(), reads);  // pages came from the file again
  EXPECT_EQ(f->CurrentRecordNumber(), 1000);
  EXPECT_EQ(f->PositionInRange(), 1300);
  EXPECT_FALSE(f->Bof() || f->Eof());
  f->MoveBy(1);
  EXPECT_EQ(f->CurrentRecordNumber(), 1002);
  EXPECT_EQ(f->CursorRecordCount(), 2299);
  owner_.EndRead();
  auto faults = CheckIndexFile(*f);
  EXPECT_TRUE(faults.empty()) << faults.front();

  // A page miss without the lock held takes it and checks: a second change
  // makes the operation start again from the root with fresh pages.
  code = testing_support::RunInFork([&]() -> int {
    TTestOwner writer;
    DescribeTestFields(writer);
    TIndexFile w(&writer);
    writer.File = &w;
    writer.Slots = 6000;
    w.SetFileName(path);
    w.OpenIndexFile(false);
    if (!w.LockTableExclusive()) return 2;
    w.DeleteKey(IntKey(-300).data());
    w.AdjustLiveRecordCount(-1);
    w.UnpinPages();
    w.FlushPages();
    w.WriteHeader(true);
    w.UnlockTableExclusive();
    return 0;
  });
  ASSERT_EQ(code, 0);
  f->UnpinPages();
  f->TrimPageBuffers();
  f->DiscardPages();  // only this object's buffers: the header is still the old one
  int changes = owner_.ChangesSeen;
  f->FirstKey();
  EXPECT_EQ(owner_.ChangesSeen, changes + 1);
  EXPECT_EQ(f->CurrentRecordNumber(), 5000 + 299);  // key -299 is the first now
  owner_.EndRead();
}

TEST_F(IndexFileTest, MillionKeySearchesReadOneRootToLeafPath) {
  auto f = MakeIntIndex("million.IDX");
  const int32_t n = 1000000;
  owner_.Slots = n;
  {
    std::vector<std::pair<std::vector<uint8_t>, uint32_t>> keys;
    keys.reserve(n);
    for (int32_t v = 1; v <= n; ++v) keys.emplace_back(IntKey(v * 2), static_cast<uint32_t>(v));
    f->BulkLoadSlot(0, keys);
  }
  f->AdjustLiveRecordCount(n);
  // Depth of the tree: follow the leftmost path.
  int depth = 0;
  for (uint32_t off = f->Descriptor(0).RootPage; off != 0; ++depth) {
    TPage page(f.get());
    f->ReadPageForCheck(0, off, page);
    off = page.IsLeaf() ? 0 : page.Refs[0];
  }
  ASSERT_GE(depth, 3);
  auto cold = [&] {
    f->UnpinPages();
    f->FlushPages();
    f->DiscardPages();
    f->ResetPageReads();
    return f->Stats().ReadCalls;
  };
  uint64_t calls = cold();
  ASSERT_TRUE(f->FindKey(IntKey(2 * 654321).data(), false, false));
  EXPECT_EQ(f->CurrentRecordNumber(), 654321);
  EXPECT_EQ(f->PageReads(), static_cast<uint64_t>(depth));
  EXPECT_EQ(f->Stats().ReadCalls - calls, static_cast<uint64_t>(depth));
  EXPECT_EQ(f->PositionInRange(), 654321);

  cold();
  f->GoToPosition(777777);
  EXPECT_EQ(f->CurrentRecordNumber(), 777777);
  EXPECT_EQ(f->PageReads(), static_cast<uint64_t>(depth));

  // The count comes from the header, confirmed once against the root's total.
  cold();
  EXPECT_EQ(f->CursorRecordCount(), n);
  EXPECT_EQ(f->PageReads(), 1u);
  EXPECT_EQ(f->CursorRecordCount(), n);
  EXPECT_EQ(f->PageReads(), 1u);

  cold();
  EXPECT_EQ(f->CountKeysBetween(IntKey(1001).data(), IntKey(1999001).data()), 999000);
  EXPECT_LE(f->PageReads(), static_cast<uint64_t>(2 * depth - 1));

  // A range over the middle: bounds from the counts, first key by one path.
  f->SetRangeStart(IntKey(500001).data());
  f->SetRangeEnd(IntKey(600000).data());
  f->ActivateRange();
  f->ComputeRangeBounds();
  cold();
  // Dropped buffers make the bounds be worked out again: two paths for
  // them (sharing the root), then one path to the key.
  EXPECT_EQ(f->CursorRecordCount(), 50000);
  EXPECT_LE(f->PageReads(), static_cast<uint64_t>(2 * depth - 1));
  f->GoToPosition(25000);
  EXPECT_EQ(f->CurrentRecordNumber(), 250000 + 25000);
  EXPECT_LE(f->PageReads(), static_cast<uint64_t>(3 * depth - 1));
  f->CancelRange();

  // The bulk-built tree takes changes like any other.
  for (int32_t v = 1; v <= 3000; ++v) {
    f->InsertKey(IntKey(v * 2 + 1).data(), static_cast<uint32_t>(n + v));
    f->AdjustLiveRecordCount(1);
  }
  for (int32_t v = 1; v <= 3000; v += 3) {
    f->DeleteKey(IntKey(v * 2).data());
    f->AdjustLiveRecordCount(-1);
  }
  ExpectClean(*f);
}

}  // namespace
