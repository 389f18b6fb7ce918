// The in-memory file store: growth steps, handles, claims, unowned locks,
// names, and what is refused while a file is open.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tabula/engine_error.h"
#include "tabula/file_session.h"
#include "tabula/memory_file.h"

using namespace tabula;

namespace {

TEST(MemoryFileTest, SizeGrowsAndShrinksInStepsOf65535) {
  struct Case {
    int32_t size;
    int32_t capacity;
  };
  TMemoryFile f("x.DAT");
  for (Case c : {Case{65535, 65535}, Case{65536, 131070}, Case{1, 65535}, Case{131070, 131070},
                 Case{131071, 196605}, Case{0, 0}, Case{10, 65535}}) {
    SCOPED_TRACE(c.size);
    ASSERT_TRUE(f.SetSize(c.size));
    EXPECT_EQ(f.Size, c.size);
    EXPECT_EQ(f.Capacity, c.capacity);
    EXPECT_EQ(f.Data == nullptr, c.capacity == 0);
  }
  EXPECT_FALSE(f.SetSize(-1));
  EXPECT_EQ(f.Size, 10);
}

TEST(MemoryFileTest, HandlesAreNumberedFromOneAndReused) {
  TMemoryFile f("x.DAT");
  EXPECT_EQ(f.AddHandle(), 1);
  EXPECT_EQ(f.AddHandle(), 2);
  EXPECT_EQ(f.AddHandle(), 3);
  f.RemoveHandle(2);
  f.RemoveHandle(99);  // unknown: nothing
  EXPECT_EQ(f.OpenCount, 2);
  EXPECT_EQ(f.AddHandle(), 2);
  EXPECT_EQ(f.OpenCount, 3);
}

TEST(MemoryFileTest, EachHandleHasItsOwnPosition) {
  TMemoryFile f("x.DAT");
  int32_t a = f.AddHandle();
  int32_t b = f.AddHandle();
  EXPECT_EQ(f.WriteHandle(a, "hello world", 11), 11);
  EXPECT_EQ(f.SeekHandle(b, 6, 0), 6);
  char buf[16] = {};
  EXPECT_EQ(f.ReadHandle(b, buf, 16), 5);
  EXPECT_STREQ(buf, "world");
  EXPECT_EQ(f.SeekHandle(a, 0, 1), 11);
  EXPECT_EQ(f.SeekHandle(a, 0, 2), 11);
  // Unknown handles and positions outside the file give 0.
  EXPECT_EQ(f.ReadHandle(77, buf, 1), 0);
  EXPECT_EQ(f.WriteHandle(77, buf, 1), 0);
  EXPECT_EQ(f.SeekHandle(77, 3, 0), 0);
  EXPECT_EQ(f.SeekHandle(b, 12, 0), 12);
  EXPECT_EQ(f.ReadHandle(b, buf, 1), 0);
  // A negative position is not written through.
  EXPECT_EQ(f.SeekHandle(b, -5, 0), -5);
  EXPECT_EQ(f.ReadHandle(b, buf, 1), 0);
  EXPECT_EQ(f.WriteHandle(b, "x", 1), 0);
  EXPECT_EQ(f.Size, 11);
  // A count of 0 truncates at the position.
  f.SeekHandle(a, 5, 0);
  EXPECT_EQ(f.WriteHandle(a, nullptr, 0), 0);
  EXPECT_EQ(f.Size, 5);
}

TEST(MemoryFileTest, LocksHaveNoOwner) {
  // Existing lock [100, 109]; each request (offset, length) and whether it is granted.
  struct Case {
    int32_t offset;
    int32_t length;
    bool granted;
  };
  for (Case c : {Case{100, 10, false}, Case{105, 1, false}, Case{109, 5, false}, Case{90, 11, false},
                 Case{90, 30, false}, Case{90, 10, true}, Case{110, 1, true}, Case{0x7FFF0000, 0xFFFF, true}}) {
    SCOPED_TRACE(testing::Message() << c.offset << "+" << c.length);
    TMemoryFile f("x.DAT");
    f.AddHandle();
    ASSERT_TRUE(f.LockRegion(100, 10));
    EXPECT_EQ(f.LockRegion(c.offset, c.length), c.granted);
  }
  TMemoryFile f("x.DAT");
  f.AddHandle();
  ASSERT_TRUE(f.LockRegion(100, 10));
  EXPECT_FALSE(f.UnlockRegion(100, 9));  // only the range as locked
  EXPECT_FALSE(f.UnlockRegion(101, 10));
  EXPECT_TRUE(f.UnlockRegion(100, 10));
  EXPECT_FALSE(f.UnlockRegion(100, 10));
  // When the last handle goes, nobody can hold a lock any more.
  ASSERT_TRUE(f.LockRegion(5, 1));
  f.RemoveHandle(1);
  EXPECT_TRUE(f.Locks.empty());
}

class MemoryStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { InitializeEngine(); }
  void TearDown() override { ShutdownEngine(); }
  TMemoryFileList store_;
};

TEST_F(MemoryStoreTest, OpenClaims) {
  // First open (exclusive?), second open (exclusive?), result of the second.
  struct Case {
    bool first;
    bool second;
    int32_t result;
  };
  for (Case c : {Case{false, false, 2}, Case{false, true, -kErrAccessDenied}, Case{true, false, -kErrAccessDenied},
                 Case{true, true, -kErrAccessDenied}}) {
    SCOPED_TRACE(testing::Message() << c.first << "/" << c.second);
    TMemoryFileList store;
    TMemoryFile* file = nullptr;
    ASSERT_EQ(store.CreateMemoryFile("t.DAT", file), 1);
    file->RemoveHandle(1);
    TMemoryFile* opened = nullptr;
    ASSERT_EQ(store.OpenMemoryFile("t.DAT", opened, c.first), 1);
    EXPECT_EQ(opened, file);
    EXPECT_EQ(file->OpenedExclusive, c.first);
    EXPECT_EQ(store.OpenMemoryFile("t.DAT", opened, c.second), c.result);
  }
  TMemoryFile* none = nullptr;
  EXPECT_EQ(store_.OpenMemoryFile("missing.DAT", none, false), -kErrInvalidPath);
}

TEST_F(MemoryStoreTest, NamesCompareTrimmedAndWithoutCase) {
  struct Case {
    const char* a;
    const char* b;
    bool same;
  };
  for (Case c : {Case{"base2.DAT", "BASE2.dat", true}, Case{"  base2.DAT ", "base2.DAT", true},
                 Case{"\xF3\xEB\xE8\xF6\xFB.DAT", "\xD3\xCB\xC8\xD6\xDB.dat", true},  // улицы / УЛИЦЫ
                 Case{"\xB8.DAT", "\xA8.DAT", true},                                  // ё / Ё
                 Case{"base2.DAT", "base3.DAT", false}, Case{"base2.DAT", "base2.DA", false},
                 Case{"a b.DAT", "ab.DAT", false}}) {
    SCOPED_TRACE(c.a);
    EXPECT_EQ(TMemoryFileList::SameName(c.a, c.b), c.same);
  }
  TMemoryFile* file = nullptr;
  ASSERT_GT(store_.CreateMemoryFile(" Base2.DAT", file), 0);
  EXPECT_TRUE(store_.MemoryFileExists("BASE2.DAT  "));
  EXPECT_EQ(store_.FileCount(), 1);
}

TEST_F(MemoryStoreTest, CreatingReusesAClosedFileAndRefusesAnOpenOne) {
  TMemoryFile* file = nullptr;
  int32_t h = store_.CreateMemoryFile("t.DAT", file);
  ASSERT_EQ(h, 1);
  file->WriteHandle(h, "contents", 8);
  TMemoryFile* again = nullptr;
  EXPECT_EQ(store_.CreateMemoryFile("T.dat", again), -kErrAccessDenied);
  file->RemoveHandle(h);
  // The content survives closing all handles.
  EXPECT_EQ(store_.OpenMemoryFile("t.DAT", again, false), 1);
  EXPECT_EQ(again->Size, 8);
  again->RemoveHandle(1);
  EXPECT_EQ(store_.CreateMemoryFile("T.dat", again), 1);
  EXPECT_EQ(again, file);
  EXPECT_EQ(file->Size, 0);
  EXPECT_TRUE(file->OpenedExclusive);
  EXPECT_EQ(store_.FileCount(), 1);
  for (const char* bad : {"", ".DAT", "  .DAT", "dir\\.DAT", "dir/ .x"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(store_.CreateMemoryFile(bad, again), -kErrInvalidPath);
  }
}

TEST_F(MemoryStoreTest, DeleteAndRenameAreRefusedWhileOpen) {
  TMemoryFile* file = nullptr;
  int32_t h = store_.CreateMemoryFile("a.DAT", file);
  EXPECT_FALSE(store_.DeleteMemoryFile("a.DAT"));
  EXPECT_FALSE(store_.RenameMemoryFile("a.DAT", "b.DAT"));
  file->RemoveHandle(h);
  TMemoryFile* other = nullptr;
  store_.CreateMemoryFile("c.DAT", other);
  other->RemoveHandle(1);
  EXPECT_FALSE(store_.RenameMemoryFile("a.DAT", " C.dat"));  // another file has that name
  EXPECT_TRUE(store_.RenameMemoryFile("a.DAT", "b.DAT"));
  EXPECT_FALSE(store_.MemoryFileExists("a.DAT"));
  EXPECT_TRUE(store_.RenameMemoryFile("b.DAT", "B.DAT"));  // a change of case
  EXPECT_EQ(file->Name, "B.DAT");
  EXPECT_TRUE(store_.DeleteMemoryFile("b.dat"));
  EXPECT_FALSE(store_.DeleteMemoryFile("b.dat"));
  EXPECT_EQ(store_.FileCount(), 1);
}

TEST_F(MemoryStoreTest, CopyMovesEverythingAndLeavesTheCopyClosed) {
  TMemoryFile* source = nullptr;
  int32_t h = store_.CreateMemoryFile("src.DAT", source);
  std::string data(150000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 253);
  source->WriteHandle(h, data.data(), static_cast<int32_t>(data.size()));
  EXPECT_EQ(store_.CopyMemoryFile(source, h, "dst.DAT"), 0);
  TMemoryFile* dest = store_.FindMemoryFile("dst.DAT");
  ASSERT_NE(dest, nullptr);
  EXPECT_EQ(dest->OpenCount, 0);
  ASSERT_EQ(dest->Size, 150000);
  EXPECT_EQ(std::memcmp(dest->Data, data.data(), data.size()), 0);
  EXPECT_EQ(store_.CopyMemoryFile(source, h, "src.DAT"), -kErrAccessDenied);  // onto itself, open
}

}  // namespace
