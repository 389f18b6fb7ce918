// Engine errors and messages, the session's error context, the engine entry
// calls, the allocator and the session's password list.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "tabula/engine_error.h"
#include "tabula/file_session.h"

using namespace tabula;

// Huge allocations must come back as failures, not end the test program.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace {

class EngineErrorTest : public ::testing::Test {
 protected:
  void SetUp() override { InitializeEngine(); }
  void TearDown() override { ShutdownEngine(); }
};

// The exception RaiseEngineError throws.
ETabulaEngineError Raised(uint16_t code, const std::string& file = {}, const std::string& field = {},
                          const std::string& text = {}, const std::string& index = {}) {
  try {
    RaiseEngineError(code, file, field, text, index);
  } catch (const ETabulaEngineError& e) {
    return e;
  }
  throw std::logic_error("RaiseEngineError returned");
}

TEST_F(EngineErrorTest, EveryMessageOfTheTable) {
  // file "F.DAT", field "Fld", text "Txt", index "Idx".
  struct Row {
    uint16_t code;
    std::string message;
  };
  const Row rows[] = {
      {8705, "Beginning of file encountered in data file F.DAT"},
      {8706, "End of file encountered in data file F.DAT"},
      {8708, "Key not found in index Idx of data file F.DAT"},
      {8710, "Record not found in data file F.DAT"},
      {8711, "End of blob data in data file F.DAT reached prematurely"},
      {8961, "Header information corrupt in data file F.DAT"},
      {8962, "Data record buffers corrupt in data file F.DAT"},
      {8963, "BLOB block buffers corrupt in data file F.DAT"},
      {8965, "Index page buffers corrupt in data file F.DAT"},
      {9217, "Error reading from data file F.DAT"},
      {9218, "Error writing to data file F.DAT"},
      {9220, "Cannot delete data file F.DAT"},
      {9221, "Error accessing file header information for data file F.DAT"},
      {9477, "Maximum record size exceeded in data file F.DAT"},
      {9479, "The data file F.DAT is full and cannot contain any more data"},
      {9482, "Too many filters defined for data file F.DAT"},
      {9487, "Maximum or minimum limits on number of indexes or fields in an index exceeded in data file F.DAT"},
      {9492, "Maximum or minimum limits on number of fields or field size exceeded in data file F.DAT"},
      {9494, "Too many blobs opened in data file F.DAT"},
      {9498, "Too many blob fields or invalid blob block size specified for data file F.DAT"},
      {9729, "Duplicate key found in index Idx of data file F.DAT"},
      {9730, "The value for the field Fld in data file F.DAT is below the minimum allowable value"},
      {9731, "The value for the field Fld in data file F.DAT is above the maximum allowable value"},
      {9732, "A value must be provided for the field Fld in data file F.DAT"},
      {9985, "Invalid field number or name Fld specified for data file F.DAT"},
      {9993, "A primary index is already defined for data file F.DAT and cannot be added again"},
      {9998, "Invalid blob offset into data file F.DAT specified"},
      {10000, "Invalid field definition specified for the field Fld in data file F.DAT"},
      {10006, "Invalid default, min or max validity check, or expression specified for Fld in data file F.DAT"},
      {10010, "The secondary index name is missing or not specified for data file F.DAT"},
      {10015, "Password provided for data file F.DATis invalid"},
      {10022, "Invalid secondary index name Idx specified for data file F.DAT"},
      {10023, "Invalid field number Fld specified in index Idx for data file F.DAT"},
      {10026, "Invalid key size specified in index Idx for data file F.DAT"},
      {10027, "The secondary index Idx already exists for data file F.DAT"},
      {10029, "Invalid blob length in data file F.DAT"},
      {10030, "Invalid blob handle for data file F.DAT specified"},
      {10031, "Data file F.DAT is already in use"},
      {10038, "Invalid or duplicate field name Fld specified for data file F.DAT"},
      {10050, "Invalid filter handle specified for data file F.DAT"},
      {10051, "Invalid filter expression specified for data file F.DAT"},
      {10055, "The primary index cannot be removed from data file F.DAT"},
      {10241, "The data file F.DAT is already locked by another user"},
      {10242, "Cannot unlock data file or record in data file F.DAT"},
      {10249, "General lock failure with data file F.DAT"},
      {10253, "Data file F.DAT must be opened exclusively"},
      {10258, "Record in data file F.DAT is in use by another user"},
      {10498, "Insufficient rights to data file F.DAT, a password is required"},
      {10753, "Invalid blob field Fld specified for data file F.DAT"},
      {10758, "Tabula engine not initialized"},
      {11010, "Invalid path or file name for data file F.DAT"},
      {11012, "Too many files open while attempting to open data file F.DAT"},
      {11013, "Access denied to data file F.DAT"},
      {11014, "Invalid file handle for data file F.DAT"},
      {11016, "There is insufficient operating system memory available for the current operation"},
      {11017, "Invalid length for in-memory data file F.DAT"},
      {11023, "Access denied to logical operating system device for data file F.DAT"},
      {11025, "Data file F.DAT has been moved"},
      {11047, "An unknown operating system error occurred with data file F.DAT"},
      {11949, "SQL - Txt"},
      {12035, "Data file F.DAT is not the correct version"},
      {12292, "Invalid field type specified for index Idx in data file F.DAT"},
      {15878, "The language driver for data file F.DAT is not available or installed"},
      {10024, "Unknown error occurred with data file F.DAT"},
      {1, "Unknown error occurred with data file F.DAT"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.code);
    std::string expected = row.message.substr(0, 127);
    ETabulaEngineError e = Raised(row.code, "F.DAT", "Fld", "Txt", "Idx");
    ASSERT_EQ(e.Errors.size(), 1u);
    EXPECT_EQ(e.Errors[0]->ErrorCode, row.code);
    EXPECT_EQ(e.Errors[0]->ErrorMessage, expected);
    EXPECT_EQ(e.Message, "Tabula Engine Error # " + std::to_string(row.code) + " " + expected);
    EXPECT_EQ(e.Code(), row.code);
  }
}

TEST_F(EngineErrorTest, LongMessagesAreCutAt127Characters) {
  std::string path = "/very/long/path/" + std::string(200, 'p') + "/base2.DAT";
  ETabulaEngineError e = Raised(kErrInvalidPath, path);
  std::string full = "Invalid path or file name for data file " + path;
  EXPECT_EQ(e.Errors[0]->ErrorMessage, full.substr(0, 127));
  EXPECT_EQ(e.Message, "Tabula Engine Error # 11010 " + full.substr(0, 127));
  // A parameter that looks like a placeholder stays as it is.
  EXPECT_EQ(Raised(kErrFieldName, "{field}", "x").Errors[0]->ErrorMessage,
            "Invalid or duplicate field name x specified for data file {field}");
}

TEST_F(EngineErrorTest, TheContextKeepsOnlyTheLatestError) {
  TFileSession& session = CurrentSession();
  Raised(kErrDuplicateKey, "a.DAT", "f", "t", "i");
  EXPECT_EQ(session.LastErrorCode(), kErrDuplicateKey);
  EXPECT_EQ(session.ErrorIndexName(), "i");
  Raised(kErrRead, "b.DAT");
  EXPECT_EQ(session.LastErrorCode(), kErrRead);
  EXPECT_EQ(session.ErrorFileName(), "b.DAT");
  EXPECT_EQ(session.ErrorFieldName(), "");
  EXPECT_EQ(session.ErrorIndexName(), "");
  // 10758 and RaiseIfError leave the context alone; RaiseIfError's message
  // names what the last raised error stored.
  Raised(kErrNotInitialized, "ignored.DAT");
  EXPECT_EQ(session.LastErrorCode(), kErrRead);
  EXPECT_EQ(RaiseIfError(0), 0);
  try {
    RaiseIfError(kErrEndOfFile);
    FAIL();
  } catch (const ETabulaEngineError& e) {
    EXPECT_EQ(e.Message, "Tabula Engine Error # 8706 End of file encountered in data file b.DAT");
  }
  EXPECT_EQ(session.LastErrorCode(), kErrRead);
  // Each session keeps its own context.
  TFileSession* other = NewSession();
  SetCurrentSession(other);
  Raised(kErrWrite, "c.DAT");
  EXPECT_EQ(other->ErrorFileName(), "c.DAT");
  EXPECT_EQ(session.ErrorFileName(), "b.DAT");
  FreeSession(other);
  EXPECT_EQ(&CurrentSession(), &session);
}

// Threads sharing the default session raise at once: each error names its
// own file, and the context holds one whole error, never a mix of two.
TEST_F(EngineErrorTest, ThreadsSharingASessionRaiseTheirOwnErrors) {
  constexpr int kThreads = 4;
  constexpr int kRaises = 2000;
  std::vector<int> wrong(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &wrong] {
      const std::string file = "thread" + std::to_string(t) + std::string(size_t(20 * t), 'x') + ".DAT";
      for (int i = 0; i < kRaises; ++i)
        if (Raised(kErrRead, file).Message != "Tabula Engine Error # 9217 Error reading from data file " + file)
          ++wrong[size_t(t)];
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong, std::vector<int>(kThreads, 0));
  const TErrorContext last = CurrentSession().ErrorContext();
  EXPECT_EQ(last.Code, kErrRead);
  EXPECT_EQ(last.FileName.rfind("thread", 0), 0u) << last.FileName;
}

TEST(EngineStateTest, EntryCallsBeforeAndAfterInitialisation) {
  ASSERT_FALSE(EngineInitialized());
  auto code = [](auto f) {
    try {
      f();
    } catch (const ETabulaEngineError& e) {
      EXPECT_EQ(e.Message, "Tabula Engine Error # 10758 Tabula engine not initialized");
      return static_cast<int>(e.Code());
    }
    return 0;
  };
  EXPECT_EQ(code([] { CurrentSession(); }), kErrNotInitialized);
  EXPECT_EQ(code([] { SetPrivateDirectory("x"); }), kErrNotInitialized);
  EXPECT_EQ(code([] { GetPrivateDirectory(); }), kErrNotInitialized);
  // Without a session an engine error still names its file.
  try {
    RaiseEngineError(kErrRead, "lonely.DAT");
  } catch (const ETabulaEngineError& e) {
    EXPECT_EQ(e.Message, "Tabula Engine Error # 9217 Error reading from data file lonely.DAT");
  }
  ShutdownEngine();  // not initialised: nothing
  InitializeEngine();
  TFileSession* first = &CurrentSession();
  InitializeEngine();  // later calls do nothing
  EXPECT_EQ(&CurrentSession(), first);
  SetPrivateDirectory("/tmp/private");
  EXPECT_EQ(GetPrivateDirectory(), "/tmp/private");
  TFileSession* extra = NewSession();
  SetCurrentSession(extra);
  EXPECT_EQ(GetPrivateDirectory(), "");
  FreeSession(nullptr);
  FreeSession(first);  // the default session is not freed here
  EXPECT_EQ(&CurrentSession(), extra);
  ShutdownEngine();  // frees the default session; the extra one is still its owner's
  EXPECT_FALSE(EngineInitialized());
  FreeSession(extra);
}

TEST(EngineAllocTest, BlocksAreZeroFilledAndGrowZeroFilled) {
  auto* p = static_cast<uint8_t*>(EngineAlloc(100));
  for (int i = 0; i < 100; ++i) ASSERT_EQ(p[i], 0);
  for (int i = 0; i < 100; ++i) p[i] = 0xAB;
  p = static_cast<uint8_t*>(EngineRealloc(p, 50));
  p = static_cast<uint8_t*>(EngineRealloc(p, 5000));
  for (int i = 0; i < 50; ++i) ASSERT_EQ(p[i], 0xAB) << i;
  for (int i = 50; i < 5000; ++i) ASSERT_EQ(p[i], 0) << i;
  EngineFree(p);
  EXPECT_EQ(p, nullptr);
  EngineFree(p);  // null: nothing
  EXPECT_EQ(EngineAlloc(0), nullptr);
  void* q = EngineAlloc(8);
  EXPECT_EQ(EngineRealloc(q, 0), nullptr);
}

TEST(EngineAllocTest, ARefusedAllocationRaises11016) {
  InitializeEngine();
  for (std::size_t huge : {std::size_t{1} << 50, SIZE_MAX - 4}) {
    try {
      void* p = EngineAlloc(huge);
      EngineFree(p);
      ADD_FAILURE() << "allocated " << huge;
    } catch (const ETabulaEngineError& e) {
      EXPECT_EQ(e.Code(), kErrOutOfMemory);
    }
  }
  void* small = EngineAlloc(16);
  try {
    small = EngineRealloc(small, std::size_t{1} << 50);
    ADD_FAILURE();
  } catch (const ETabulaEngineError& e) {
    EXPECT_EQ(e.Code(), kErrOutOfMemory);
  }
  EngineFree(small);  // the old block stays valid after a refused reallocation
  try {
    EngineBoundary([]() -> int { throw std::bad_alloc(); });
    ADD_FAILURE();
  } catch (const ETabulaEngineError& e) {
    EXPECT_EQ(e.Code(), kErrOutOfMemory);
  }
  EXPECT_EQ(EngineBoundary([] { return 5; }), 5);
  ShutdownEngine();
}

TEST(PasswordTest, SessionAndListCalls) {
  TFileSession session;
  session.AddSessionPassword("Secret");
  session.AddSessionPassword("Secret");
  session.AddSessionPassword("");
  EXPECT_EQ(session.Passwords.Count(), 1);
  EXPECT_TRUE(session.SessionKnowsPassword("Secret"));
  EXPECT_FALSE(session.SessionKnowsPassword("secret"));  // letter case counts
  session.DropSessionPassword("Secret");
  EXPECT_FALSE(session.SessionKnowsPassword("Secret"));
  // Through the list directly a password may be added twice; removal takes one.
  session.Passwords.AddPasswordEntry("twice");
  session.Passwords.AddPasswordEntry("twice");
  session.Passwords.RemovePasswordEntry("twice");
  EXPECT_TRUE(session.Passwords.HasPasswordEntry("twice"));
  session.Passwords.RemovePasswordEntry("absent");
  session.AddSessionPassword("other");
  session.ClearSessionPasswords();
  EXPECT_EQ(session.Passwords.Count(), 0);
}

}  // namespace
