// TFileHandler on disk and in memory: reading, writing, sizing, copying,
// names, modes and the errors each operation reports.

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "tabula/engine_error.h"
#include "tabula/file_handler.h"
#include "tabula/file_session.h"
#include "tabula/memory_file.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

using namespace tabula;
using testing_support::TempDir;

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteAll(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

int OpenDescriptors() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

// The code of the engine error f raises (0 when it raises none).
int CodeOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const ETabulaEngineError& e) {
    return e.Code();
  }
  return 0;
}

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return s;
}

// Runs the same checks on a disk file and on an in-memory file.
class HandlerTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { InitializeEngine(); }
  void TearDown() override { ShutdownEngine(); }
  bool InMem() const { return GetParam(); }

  // A new file with the contents, closed.
  std::string Make(const std::string& name, const std::string& data) {
    std::string path = dir_.File(name);
    TFileHandler f;
    f.SetInMemory(InMem());
    f.SetExclusive(true);
    f.SetFileName(path);
    f.CreateNewFile();
    if (!data.empty()) f.WriteBytes(data.data(), static_cast<int32_t>(data.size()));
    f.CloseFile();
    return path;
  }
  void Prepare(TFileHandler& f, const std::string& path, bool exclusive = false) {
    f.SetInMemory(InMem());
    f.SetExclusive(exclusive);
    f.SetFileName(path);
  }
  std::string Contents(const std::string& path) {
    TFileHandler f;
    Prepare(f, path);
    f.OpenFile();
    int32_t size = f.QueryFileSize();
    f.SeekFile(0, kSeekStart);
    std::string data(static_cast<size_t>(size), '\0');
    f.ReadBytes(data.data(), size, false);
    return data;
  }

  TempDir dir_;
};

TEST_P(HandlerTest, ReadWriteSeekSizeAndTruncate) {
  std::string path = Make("t.DAT", "0123456789");
  TFileHandler f;
  Prepare(f, path);
  f.OpenFile();
  EXPECT_TRUE(f.IsOpen());
  EXPECT_GT(f.Handle(), 0);
  EXPECT_EQ(f.QueryFileSize(), 10);
  EXPECT_EQ(f.SeekFile(3, kSeekStart), 3);
  char buf[16] = {};
  EXPECT_EQ(f.ReadBytes(buf, 4, false), 4);
  EXPECT_EQ(std::string(buf, 4), "3456");
  EXPECT_EQ(f.SeekFile(-2, kSeekCurrent), 5);
  f.WriteBytes("ab", 2);
  EXPECT_EQ(f.SeekFile(0, kSeekCurrent), 7);
  // A strict read past the end raises 9217; a short one returns what is there, then 0.
  EXPECT_EQ(CodeOf([&] { f.ReadBytes(buf, 5, false); }), kErrRead);
  f.SeekFile(7, kSeekStart);
  EXPECT_EQ(f.ReadBytes(buf, 16, true), 3);
  EXPECT_EQ(f.ReadBytes(buf, 16, true), 0);
  // Writing beyond the end leaves zeros in the gap.
  f.SeekFile(12, kSeekStart);
  f.WriteBytes("Z", 1);
  EXPECT_EQ(f.QueryFileSize(), 13);
  // Writing 0 bytes truncates at the position; growing again shows zeros.
  f.SeekFile(4, kSeekStart);
  f.WriteBytes(nullptr, 0);
  EXPECT_EQ(f.QueryFileSize(), 4);
  f.SeekFile(8, kSeekStart);
  f.WriteBytes("!", 1);
  f.FlushFile();
  f.CloseFile();
  EXPECT_FALSE(f.IsOpen());
  EXPECT_EQ(f.Handle(), 0);
  EXPECT_EQ(Contents(path), std::string("0123\0\0\0\0!", 9));
}

TEST_P(HandlerTest, StatisticsCountTheCalls) {
  std::string path = Make("s.DAT", Pattern(100));
  TFileHandler f;
  Prepare(f, path);
  f.OpenFile();
  char buf[40];
  f.ReadBytes(buf, 40, false);
  f.ReadBytes(buf, 40, false);
  f.ReadBytes(buf, 40, true);
  f.WriteBytes(buf, 5);
  f.WriteBytes(buf, 0);
  EXPECT_EQ(f.Stats().ReadCalls, 3u);
  EXPECT_EQ(f.Stats().BytesRead, 100u);
  EXPECT_EQ(f.Stats().WriteCalls, 1u);
  EXPECT_EQ(f.Stats().TruncateCalls, 1u);
  EXPECT_EQ(f.Stats().BytesWritten, 5u);
  f.ResetStats();
  EXPECT_EQ(f.Stats().ReadCalls, 0u);
}

TEST_P(HandlerTest, ModesAndNamesChangeOnlyWhileClosed) {
  std::string path = Make("m.DAT", "x");
  TFileHandler f;
  Prepare(f, path);
  f.OpenFile();
  f.OpenFile();  // open again: nothing
  // The same value again does nothing; a new one raises 10031.
  f.SetExclusive(false);
  f.SetReadOnly(false);
  f.SetInMemory(InMem());
  f.SetFileName(path);
  EXPECT_EQ(CodeOf([&] { f.SetExclusive(true); }), kErrInUse);
  EXPECT_EQ(CodeOf([&] { f.SetReadOnly(true); }), kErrInUse);
  EXPECT_EQ(CodeOf([&] { f.SetInMemory(!InMem()); }), kErrInUse);
  EXPECT_EQ(CodeOf([&] { f.SetFileName(path + "x"); }), kErrInUse);
  EXPECT_EQ(CodeOf([&] { f.CreateNewFile(); }), kErrInUse);
  EXPECT_EQ(CodeOf([&] { f.RemoveFile(); }), kErrInUse);
  EXPECT_EQ(CodeOf([&] { f.RenameTo(path + "x"); }), kErrInUse);
  f.SetWriteThrough(true);  // ignored while open
  EXPECT_FALSE(f.WriteThrough());
  EXPECT_EQ(CurrentSession().ErrorFileName(), path);
  f.CloseFile();
  f.CloseFile();  // closing a closed file does no harm
  f.SetWriteThrough(true);
  EXPECT_TRUE(f.WriteThrough());
  f.OpenFile();  // write-through open works
  f.WriteBytes("y", 1);
}

TEST_P(HandlerTest, CreateNeedsExclusiveAndReplacesTheFile) {
  std::string path = Make("c.DAT", "old contents");
  TFileHandler f;
  Prepare(f, path, false);
  EXPECT_EQ(CodeOf([&] { f.CreateNewFile(); }), kErrMustBeExclusive);
  EXPECT_FALSE(f.IsOpen());
  f.SetExclusive(true);
  f.CreateNewFile();
  EXPECT_TRUE(f.IsOpen());
  EXPECT_EQ(f.QueryFileSize(), 0);
  f.WriteBytes("new", 3);
  f.CloseFile();
  EXPECT_EQ(Contents(path), "new");
}

TEST_P(HandlerTest, CreateRefusesAFileOpenElsewhere) {
  // Replacing must not empty a file another handle is using.
  std::string path = Make("busy.DAT", "keep me");
  TFileHandler reader;
  Prepare(reader, path);
  reader.OpenFile();
  TFileHandler creator;
  Prepare(creator, path, true);
  EXPECT_EQ(CodeOf([&] { creator.CreateNewFile(); }), kErrAccessDenied);
  EXPECT_FALSE(creator.IsOpen());
  reader.CloseFile();
  EXPECT_EQ(Contents(path), "keep me");
}

TEST_P(HandlerTest, MissingFilesAndRefusedDeletesAndRenames) {
  TFileHandler f;
  Prepare(f, dir_.File("nothing.DAT"));
  EXPECT_FALSE(f.Exists());
  try {
    f.OpenFile();
    FAIL();
  } catch (const ETabulaEngineError& e) {
    EXPECT_EQ(e.Code(), kErrInvalidPath);
    EXPECT_EQ(e.Message, "Tabula Engine Error # 11010 Invalid path or file name for data file " + f.FileName());
  }
  EXPECT_FALSE(f.IsOpen());
  EXPECT_EQ(f.Handle(), 0);
  EXPECT_EQ(CodeOf([&] { f.RemoveFile(); }), kErrDelete);
  EXPECT_EQ(CodeOf([&] { f.RenameTo(dir_.File("other.DAT")); }), kErrUnknownOs);

  std::string a = Make("a.DAT", "A");
  std::string b = Make("b.DAT", "B");
  TFileHandler g;
  Prepare(g, a);
  EXPECT_TRUE(g.Exists());
  EXPECT_EQ(CodeOf([&] { g.RenameTo(b); }), kErrUnknownOs);  // the new name exists
  EXPECT_EQ(g.FileName(), a);
  // A file another handle holds open is neither deleted nor renamed.
  TFileHandler holder;
  Prepare(holder, a);
  holder.OpenFile();
  EXPECT_EQ(CodeOf([&] { g.RemoveFile(); }), kErrDelete);
  EXPECT_EQ(CodeOf([&] { g.RenameTo(dir_.File("c.DAT")); }), kErrUnknownOs);
  holder.CloseFile();
  g.RenameTo(dir_.File("c.DAT"));
  EXPECT_EQ(g.FileName(), dir_.File("c.DAT"));
  EXPECT_EQ(Contents(dir_.File("c.DAT")), "A");
  g.RemoveFile();
  EXPECT_FALSE(g.Exists());
}

TEST_P(HandlerTest, CopyToCopiesWholeChunksAndTheRest) {
  for (size_t size : {size_t{0}, size_t{100}, size_t{65535}, size_t{2 * 65535}, size_t{150000}}) {
    SCOPED_TRACE(size);
    std::string data = Pattern(size);
    std::string path = Make("src.DAT", data);
    TFileHandler f;
    Prepare(f, path);
    f.CopyTo(dir_.File("closed.DAT"));  // closed: nothing
    f.OpenFile();
    f.CopyTo(dir_.File("dst.DAT"));
    EXPECT_EQ(f.SeekFile(0, kSeekCurrent), static_cast<int32_t>(size));
    f.CloseFile();
    EXPECT_EQ(Contents(dir_.File("dst.DAT")), data);
    TFileHandler closed;
    Prepare(closed, dir_.File("closed.DAT"));
    EXPECT_FALSE(closed.Exists());
  }
}

TEST_P(HandlerTest, DestroyingAnOpenHandlerClosesIt) {
  std::string path = Make("d.DAT", "data");
  int before = OpenDescriptors();
  {
    TFileHandler f;
    Prepare(f, path, true);
    f.OpenFile();
  }
  EXPECT_EQ(OpenDescriptors(), before);
  TFileHandler again;  // the exclusive claim went with it
  Prepare(again, path, true);
  again.OpenFile();
  EXPECT_TRUE(again.IsOpen());
}

INSTANTIATE_TEST_SUITE_P(DiskAndMemory, HandlerTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "InMemory" : "OnDisk"; });

// ---- disk only ---------------------------------------------------------------

class DiskFileTest : public ::testing::Test {
 protected:
  void SetUp() override { InitializeEngine(); }
  void TearDown() override { ShutdownEngine(); }
  TempDir dir_;
};

TEST_F(DiskFileTest, TheMissingTableMessageNamesTheFileAsGiven) {
  std::string cwd = std::filesystem::current_path();
  ASSERT_EQ(chdir(dir_.Path().c_str()), 0);
  TFileHandler f;
  f.SetFileName("base2.DAT");
  try {
    f.OpenFile();
    ADD_FAILURE() << "opened a missing file";
  } catch (const fw::EDatabaseError& e) {
    EXPECT_EQ(e.Message, "Tabula Engine Error # 11010 Invalid path or file name for data file base2.DAT");
    auto& engineError = dynamic_cast<const ETabulaEngineError&>(e);
    ASSERT_EQ(engineError.Errors.size(), 1u);
    EXPECT_EQ(engineError.Errors[0]->ErrorCode, 11010);
  }
  ASSERT_EQ(chdir(cwd.c_str()), 0);
}

TEST_F(DiskFileTest, CompanionNamesAreFoundWhateverTheirCase) {
  std::filesystem::create_directory(dir_.Path() / "Tables");
  WriteAll(dir_.File("Tables/BASE2.DAT"), "data");
  WriteAll(dir_.File("Tables/base2.idx"), "index");
  WriteAll(dir_.File("Tables/Street.Blb"), "blob");
  struct Case {
    std::string name;
    std::string contents;
  };
  std::string root = dir_.Path().string();
  for (const Case& c : {Case{root + "/tables/base2.DAT", "data"}, Case{root + "/TABLES/Base2.Dat", "data"},
                        Case{root + "\\Tables\\BASE2.IDX", "index"}, Case{root + "/tables\\street.blb", "blob"}}) {
    SCOPED_TRACE(c.name);
    TFileHandler f;
    f.SetFileName(c.name);
    EXPECT_TRUE(f.Exists());
    f.OpenFile();
    char buf[16];
    int32_t n = f.ReadBytes(buf, sizeof buf, true);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), c.contents);
    EXPECT_EQ(f.FileName(), c.name);  // kept as given
  }
  // Two entries that differ only in case: only the exact name is taken.
  WriteAll(dir_.File("Tables/dup.dat"), "lower");
  WriteAll(dir_.File("Tables/DUP.DAT"), "upper");
  TFileHandler exact;
  exact.SetFileName(root + "/Tables/DUP.DAT");
  exact.OpenFile();
  char buf[8];
  EXPECT_EQ(std::string(buf, static_cast<size_t>(exact.ReadBytes(buf, 8, true))), "upper");
  TFileHandler ambiguous;
  ambiguous.SetFileName(root + "/Tables/Dup.Dat");
  EXPECT_FALSE(ambiguous.Exists());
  EXPECT_EQ(CodeOf([&] { ambiguous.OpenFile(); }), kErrInvalidPath);
  // Creating over a name that exists in another case replaces that file.
  TFileHandler creator;
  creator.SetExclusive(true);
  creator.SetFileName(root + "/tables/street.BLB");
  creator.CreateNewFile();
  creator.WriteBytes("new", 3);
  creator.CloseFile();
  EXPECT_EQ(ReadAll(dir_.File("Tables/Street.Blb")), "new");
  EXPECT_FALSE(std::filesystem::exists(dir_.File("Tables/street.BLB")));
  // A directory is not a file.
  TFileHandler directory;
  directory.SetFileName(root + "/Tables");
  EXPECT_FALSE(directory.Exists());
  EXPECT_EQ(CodeOf([&] { directory.OpenFile(); }), kErrInvalidPath);
}

TEST_F(DiskFileTest, AFailedOpenLeavesTheHandlerClosedAndLeaksNothing) {
  std::string path = dir_.File("held.DAT");
  WriteAll(path, "x");
  TFileHandler holder;
  holder.SetExclusive(true);
  holder.SetFileName(path);
  holder.OpenFile();
  int before = OpenDescriptors();
  for (int i = 0; i < 20; ++i) {
    TFileHandler f;
    f.SetFileName(path);
    EXPECT_EQ(CodeOf([&] { f.OpenFile(); }), kErrAccessDenied);
    EXPECT_FALSE(f.IsOpen());
    EXPECT_EQ(f.Handle(), 0);
    EXPECT_EQ(CodeOf([&] { f.ReadBytes(&i, 1, true); }), kErrRead);
    EXPECT_EQ(CodeOf([&] { f.WriteBytes(&i, 1); }), kErrWrite);
    EXPECT_EQ(f.SeekFile(0, kSeekStart), -1);
    EXPECT_FALSE(f.LockRange(0, 1, true));
  }
  EXPECT_EQ(OpenDescriptors(), before);
}

// Root may read and write anything; these checks run as an ordinary user.
int AsOrdinaryUser(const std::function<int()>& body) {
  return testing_support::RunInFork([&] {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 100;
    InitializeEngine();
    return body();
  });
}

TEST_F(DiskFileTest, ReadOnlyAndUnreadableFiles) {
  chmod(dir_.Path().c_str(), 0777);
  std::string readOnly = dir_.File("ro.DAT");
  std::string unreadable = dir_.File("secret.DAT");
  WriteAll(readOnly, "read only");
  WriteAll(unreadable, "secret");
  chmod(readOnly.c_str(), 0444);
  chmod(unreadable.c_str(), 0200);
  int result = AsOrdinaryUser([&] {
    TFileHandler f;
    f.SetFileName(readOnly);
    f.OpenFile();  // a read-write open was asked for
    if (!f.ReadOnly() || !f.ReadOnlyByAttribute()) return 1;
    char buf[4];
    if (f.ReadBytes(buf, 4, false) != 4) return 2;
    if (CodeOf([&] { f.WriteBytes("x", 1); }) != kErrWrite) return 3;
    f.CloseFile();
    if (!f.ReadOnly() || !f.ReadOnlyByAttribute()) return 4;  // they stay set
    TFileHandler g;
    g.SetFileName(unreadable);
    if (CodeOf([&] { g.OpenFile(); }) != kErrAccessDenied) return 5;
    if (g.IsOpen() || g.Handle() != 0) return 6;
    TFileHandler h;
    h.SetExclusive(true);
    h.SetFileName(readOnly);
    if (CodeOf([&] { h.CreateNewFile(); }) != kErrAccessDenied) return 7;
    return 0;
  });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(ReadAll(readOnly), "read only");
}

// ---- memory only -------------------------------------------------------------

TEST(MemoryHandlerTest, AFileWhoseSessionWentIsMissing) {
  InitializeEngine();
  TFileSession* session = NewSession();
  SetCurrentSession(session);
  TFileHandler f;
  f.SetInMemory(true);
  f.SetExclusive(true);
  f.SetFileName("temp.DAT");
  f.CreateNewFile();
  f.WriteBytes("abc", 3);
  ASSERT_NE(f.MemoryFile(), nullptr);
  FreeSession(session);  // back to the default session, which has no such file
  EXPECT_EQ(f.MemoryFile(), nullptr);
  f.SeekFile(0, kSeekStart);
  char buf[3];
  EXPECT_EQ(CodeOf([&] { f.ReadBytes(buf, 3, true); }), kErrRead);
  EXPECT_EQ(CodeOf([&] { f.WriteBytes(buf, 3); }), kErrWrite);
  f.CloseFile();
  EXPECT_FALSE(f.Exists());
  ShutdownEngine();
}

TEST(MemoryHandlerTest, OpensFollowTheExclusiveClaims) {
  InitializeEngine();
  TFileHandler creator;
  creator.SetInMemory(true);
  creator.SetExclusive(true);
  creator.SetFileName("  MEM.dat ");
  creator.CreateNewFile();
  TFileHandler other;
  other.SetInMemory(true);
  other.SetFileName("mem.DAT");
  EXPECT_EQ(CodeOf([&] { other.OpenFile(); }), kErrAccessDenied);  // created exclusively
  creator.CloseFile();
  other.OpenFile();
  TFileHandler third;
  third.SetInMemory(true);
  third.SetFileName("Mem.Dat");
  third.OpenFile();
  EXPECT_NE(third.Handle(), other.Handle());
  third.SetReadOnly(false);
  third.CloseFile();
  third.SetExclusive(true);
  EXPECT_EQ(CodeOf([&] { third.OpenFile(); }), kErrAccessDenied);
  // A read-only handler does not write.
  other.CloseFile();
  other.SetReadOnly(true);
  other.OpenFile();
  EXPECT_EQ(CodeOf([&] { other.WriteBytes("x", 1); }), kErrWrite);
  other.CloseFile();
  // Creating an open file is refused; a nameless one too.
  other.SetReadOnly(false);
  other.OpenFile();
  creator.SetFileName("mem.dat");
  EXPECT_EQ(CodeOf([&] { creator.CreateNewFile(); }), kErrAccessDenied);
  creator.SetFileName("dir\\ .DAT");
  EXPECT_EQ(CodeOf([&] { creator.CreateNewFile(); }), kErrInvalidPath);
  ShutdownEngine();
}

// A derived file class gives names its own extension.
class TExtensionFile : public TFileHandler {
 public:
  std::string ResolveName(const std::string& name) override {
    auto dot = name.rfind('.');
    return (dot == std::string::npos ? name : name.substr(0, dot)) + ".IDX";
  }
};

TEST(ResolveNameTest, NamesAndRenamesGoThroughResolveName) {
  InitializeEngine();
  TExtensionFile f;
  f.SetInMemory(true);
  f.SetExclusive(true);
  f.SetFileName("base2.DAT");
  EXPECT_EQ(f.FileName(), "base2.IDX");
  f.SetFileName("base2");  // resolves to the same name: no change
  f.CreateNewFile();
  f.CloseFile();
  f.RenameTo("other.DAT");
  EXPECT_EQ(f.FileName(), "other.IDX");
  EXPECT_TRUE(CurrentSession().MemoryFiles.MemoryFileExists("OTHER.idx"));
  ShutdownEngine();
}

}  // namespace
