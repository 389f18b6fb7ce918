// Enciphered tables: created with a password, written, closed and opened
// again with the password; the password prompt loop (letter case counts,
// refusal raises 10498); the second-cursor rule; and no record text, field
// name, key or blob byte readable in any of the three files.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "engine/blob_block.h"
#include "engine/blob_checker.h"
#include "tabula/data_file.h"
#include "tabula/data_header.h"
#include "tabula/engine_error.h"
#include "tabula/field_types.h"
#include "tabula/file_session.h"
#include "engine/index_checker.h"
#include "engine/index_format.h"
#include "tabula/index_rebuilder.h"
#include "tabula/locale.h"
#include "engine/scramble.h"
#include "tabula/table_checker.h"
#include "tabula/table_creator.h"
#include "tests/engine/data_file_test_util.h"

namespace {

using namespace tabula;
using data_file_test::EngineCode;
using data_file_test::ReadAll;

enum : int { kFId = 1, kFName = 2, kFNotes = 3 };

std::string Cp(const char* utf8) { return Utf8ToCp1251(utf8); }

// Names chosen so that the scan below can look for them.
const char* kNameField = "SecretFieldName";
std::string CyrillicField() { return Cp("Фамилия"); }
std::string Password() { return Cp("Пароль7"); }
std::string RowText(int i) { return Cp("МаркерЗаписи") + std::to_string(1000 + i); }
std::string MemoText(int i) {
  std::string text;
  while (text.size() < 1300) text += "BLOB-MARKER-" + std::to_string(i) + " ";
  return text;
}

void CreateCipherTable(const std::string& path, const std::string& password) {
  std::vector<TFieldDef> fields = {data_file_test::Field("Id", kFldInt32), data_file_test::Field(kNameField, kFldString, 30),
                                   data_file_test::Field("Notes", kFldBlob), data_file_test::Field(CyrillicField(), kFldInt16)};
  fields[2].SubType = kSubMemo;
  TIndexDef primary;
  primary.Primary = true;
  primary.Fields = {"Id"};
  TIndexDef byName;
  byName.Name = "ByName";
  byName.Fields = {kNameField};
  TTableOptions options;
  options.Overwrite = true;
  options.Password = password;
  CreateTable(path, fields, {primary, byName}, options);
}

void AppendRows(TDataFile& t, int count) {
  std::vector<uint8_t> buffer(size_t(t.RecordSize()));
  for (int i = 1; i <= count; ++i) {
    t.InitRecord(buffer.data());
    uint8_t bytes[64] = {};
    StoreI32(bytes, i);
    t.SetField(TDescSet::kWorking, kFId, bytes, false, buffer.data());
    std::fill(std::begin(bytes), std::end(bytes), 0);
    const std::string text = RowText(i);
    std::copy(text.begin(), text.end(), bytes);
    t.SetField(TDescSet::kWorking, kFName, bytes, false, buffer.data());
    ASSERT_EQ(t.OpenBlob(kFNotes, buffer.data(), kBlobModeWrite), 0);
    const std::string memo = MemoText(i);
    ASSERT_EQ(t.WriteBlob(kFNotes, buffer.data(), 0, int32_t(memo.size()), memo.data()), 0);
    t.AppendRecord(buffer.data());
    ASSERT_EQ(t.FreeBlob(kFNotes, buffer.data()), 0);
  }
}

// Rows in the order of the current index: (name, memo).
std::vector<std::pair<std::string, std::string>> ReadRows(TDataFile& t) {
  std::vector<std::pair<std::string, std::string>> rows;
  std::vector<uint8_t> buffer(size_t(t.RecordSize()));
  t.GotoFirst();
  while (t.ReadNext(buffer.data()) == 0) {
    char name[64] = {};
    t.GetField(TDescSet::kWorking, kFName, buffer.data(), reinterpret_cast<uint8_t*>(name));
    std::string memo;
    EXPECT_EQ(t.OpenBlob(kFNotes, buffer.data(), 1), 0);
    int32_t size = 0;
    EXPECT_EQ(t.GetBlobSize(kFNotes, buffer.data(), size), 0);
    memo.resize(size_t(size));
    int32_t got = 0;
    if (size > 0) {
      EXPECT_EQ(t.ReadBlob(kFNotes, buffer.data(), 0, size, memo.data(), got), 0);
    }
    EXPECT_EQ(t.FreeBlob(kFNotes, buffer.data()), 0);
    rows.emplace_back(name, memo);
  }
  return rows;
}

bool Contains(const std::vector<uint8_t>& bytes, const std::string& text) {
  const std::vector<uint8_t> wanted(text.begin(), text.end());
  return std::search(bytes.begin(), bytes.end(), wanted.begin(), wanted.end()) != bytes.end();
}

class CipherTest : public data_file_test::EngineTest {
 protected:
  void SetUp() override {
    data_file_test::EngineTest::SetUp();
    CurrentSession().ClearSessionPasswords();
  }
  void TearDown() override { CurrentSession().ClearSessionPasswords(); }

  std::string Path(const char* name = "secret.DAT") const { return dir_.File(name); }
};

TEST_F(CipherTest, TablesRoundTripAndNoPlainTextReachesTheFiles) {
  const int kRows = 40;
  // The same content in a plain table and an enciphered one: the scan finds
  // every marker in the plain files and none in the enciphered ones.
  for (const bool enciphered : {false, true}) {
    SCOPED_TRACE(enciphered ? "enciphered" : "plain");
    const std::string path = Path(enciphered ? "secret.DAT" : "open.DAT");
    CreateCipherTable(path, enciphered ? Password() : "");
    CurrentSession().AddSessionPassword(Password());
    {
      TDataFile t;
      t.SetFileName(path);
      t.Open();
      EXPECT_EQ(t.Encrypted(), enciphered);
      AppendRows(t, kRows);
      EXPECT_TRUE(CheckIndexFile(t).empty());
      t.Close();
    }
    const std::vector<uint8_t> dat = ReadAll(path);
    const std::vector<uint8_t> idx = ReadAll(CompanionFileName(path, ".IDX"));
    const std::vector<uint8_t> blb = ReadAll(CompanionFileName(path, ".BLB"));
    std::vector<std::string> markers = {kNameField, CyrillicField(), "ByName", RowText(7), RowText(kRows),
                                        Cp("МаркерЗаписи"), "BLOB-MARKER-3 "};
    for (const std::string& marker : markers) {
      const bool found = Contains(dat, marker) || Contains(idx, marker) || Contains(blb, marker);
      EXPECT_EQ(found, !enciphered) << marker;
    }
    EXPECT_EQ(Contains(blb, "BLOB-MARKER"), !enciphered);
    EXPECT_EQ(Contains(idx, Cp("МаркерЗаписи")), !enciphered);  // keys of ByName
    EXPECT_FALSE(Contains(dat, Password()));

    // Opened again with the password: rows, keys and blobs come back.
    CurrentSession().ClearSessionPasswords();
    CurrentSession().AddSessionPassword(Password());
    TDataFile t;
    t.SetFileName(path);
    t.Open();
    t.SelectIndex("ByName");
    auto rows = ReadRows(t);
    ASSERT_EQ(rows.size(), size_t(kRows));
    for (int i = 1; i <= kRows; ++i) {
      EXPECT_EQ(rows[size_t(i - 1)].first, RowText(i));
      EXPECT_EQ(rows[size_t(i - 1)].second, MemoText(i));
    }
    EXPECT_TRUE(CheckIndexFile(t).empty());
    std::vector<TBlobReference> references;
    for (int32_t n = 1; n < t.NextRecordNo(); ++n) {
      TRecord* record = nullptr;
      ASSERT_TRUE(t.GetRecord(uint32_t(n), false, kReadForward, false, record));
      const TFieldDesc d = t.GetFieldDesc(TDescSet::kFile, kFNotes);
      references.push_back({n, kFNotes, LoadI32(record->Data() + d.Offset + 1)});
      t.ReleaseRecord(record);
    }
    t.ReleaseReadLock();
    EXPECT_TRUE(CheckBlobFile(t.BlobFile(), references).empty());
  }
}

TEST_F(CipherTest, EveryBlockStartsTheScrambleAfresh) {
  CreateCipherTable(Path(), Password());
  CurrentSession().AddSessionPassword(Password());
  {
    TDataFile t;
    t.SetFileName(Path());
    t.Open();
    AppendRows(t, 3);
  }
  std::vector<uint8_t> dat = ReadAll(Path());
  const TDataHeader header = TDataHeader::Unpack(dat.data());
  // The header stays plain except for the password characters.
  EXPECT_EQ(header.Encrypted, 1);
  EXPECT_EQ(header.NextRecordNo, 4);
  EXPECT_EQ(dat[kDhPassword], Password().size());
  EXPECT_EQ(UnscramblePassword(dat.data() + kDhPassword), Password());
  // The descriptor block is one unit.
  const size_t descBytes = kFieldDescSize * header.FieldCount;
  std::vector<uint8_t> descs(dat.begin() + kDataHeaderSize, dat.begin() + long(kDataHeaderSize + descBytes));
  DecipherBlock(descs.data(), descs.size());
  EXPECT_TRUE(Contains(descs, kNameField));
  EXPECT_TRUE(Contains(descs, CyrillicField()));
  // Each record slot is its own unit (the records were written in one run).
  ASSERT_NE(header.RecordSize % 256, 0);
  for (int n = 1; n <= 3; ++n) {
    const size_t at = kDataHeaderSize + descBytes + size_t(header.RecordSize) * size_t(n - 1);
    std::vector<uint8_t> slot(dat.begin() + long(at), dat.begin() + long(at + header.RecordSize));
    DecipherBlock(slot.data(), slot.size());
    EXPECT_EQ(slot[0], 0);
    EXPECT_EQ(LoadU32(slot.data() + 1), uint32_t(n));
    EXPECT_TRUE(Contains(slot, RowText(n))) << n;
  }
  // The index header page and the blob header, each one unit.
  std::vector<uint8_t> idx = ReadAll(CompanionFileName(Path(), ".IDX"));
  ASSERT_GE(idx.size(), size_t(kIndexHeaderSize));
  DecipherBlock(idx.data(), kIndexHeaderSize);
  TIndexHeader indexHeader;
  indexHeader.Unpack(idx.data());
  EXPECT_EQ(indexHeader.SecondaryCount, 1);
  EXPECT_EQ(indexHeader.Descriptors[1].Name, "ByName");
  EXPECT_EQ(indexHeader.LiveRecordCount, 3);
  std::vector<uint8_t> blb = ReadAll(CompanionFileName(Path(), ".BLB"));
  ASSERT_GE(blb.size(), size_t(kBlobHeaderSize));
  DecipherBlock(blb.data(), kBlobHeaderSize);
  EXPECT_EQ(blb[kBhFormatVersion], 3);
}

TEST_F(CipherTest, ThePasswordPromptComesBackUntilTheExactPasswordIsGiven) {
  CreateCipherTable(Path(), Password());
  const std::string wrongCase = Cp("пароль7");  // differs in the first letter's case only
  struct Case {
    const char* what;
    std::vector<std::string> answers;  // one per callback call; "" = give up
    int expectCode;
    int expectCalls;
  };
  const Case cases[] = {
      {"no password, gives up", {""}, kErrPasswordRequired, 1},
      {"case differs, then gives up", {wrongCase, ""}, kErrPasswordRequired, 2},
      {"case differs, then the password", {wrongCase, Password()}, 0, 2},
      {"the password at once", {Password()}, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CurrentSession().ClearSessionPasswords();
    int calls = 0;
    TDataFile t;
    t.SetFileName(Path());
    t.SetPasswordCallback(&calls, [&](void* userData) {
      int& n = *static_cast<int*>(userData);
      const std::string answer = size_t(n) < c.answers.size() ? c.answers[size_t(n)] : "";
      ++n;
      if (answer.empty()) return false;
      CurrentSession().AddSessionPassword(answer);
      return true;
    });
    EXPECT_EQ(EngineCode([&] { t.Open(); }), c.expectCode);
    EXPECT_EQ(calls, c.expectCalls);
    EXPECT_EQ(t.Active(), c.expectCode == 0);
  }
  // Without a callback the refusal is immediate; a plain table never asks.
  CurrentSession().ClearSessionPasswords();
  TDataFile t;
  t.SetFileName(Path());
  EXPECT_EQ(EngineCode([&] { t.Open(); }), kErrPasswordRequired);
  CreateCipherTable(Path("plain.DAT"), "");
  TDataFile plain;
  plain.SetFileName(Path("plain.DAT"));
  plain.SetPasswordCallback(nullptr, [](void*) -> bool { ADD_FAILURE() << "asked"; return false; });
  EXPECT_EQ(EngineCode([&] { plain.Open(); }), 0);
  EXPECT_EQ(plain.TablePassword(), "");
  // A password of more than 15 characters cannot be stored.
  EXPECT_EQ(EngineCode([&] { CreateCipherTable(Path("long.DAT"), std::string(16, 'x')); }), kErrInvalidPassword);
}

TEST_F(CipherTest, ASecondCursorOnAnOpenTableNeverAsks) {
  CreateCipherTable(Path(), Password());
  CurrentSession().AddSessionPassword(Password());
  TDataFile first;
  first.SetFileName(Path());
  first.Open();
  AppendRows(first, 5);
  EXPECT_EQ(first.TablePassword(), Password());
  CurrentSession().ClearSessionPasswords();

  int calls = 0;
  auto counting = [&](void*) {
    ++calls;
    return false;
  };
  TDataFile second;
  second.SetFileName(Path());
  second.SetPasswordCallback(nullptr, counting);
  second.Open();
  std::unique_ptr<TDataFile> clone = first.Clone();
  EXPECT_EQ(calls, 0);
  // The password was lent for the open only.
  EXPECT_FALSE(CurrentSession().SessionKnowsPassword(Password()));
  EXPECT_EQ(ReadRows(second).size(), 5u);
  EXPECT_EQ(ReadRows(*clone).size(), 5u);

  // Once no handle has the table open, the next open asks again.
  clone.reset();
  second.Close();
  first.Close();
  TDataFile third;
  third.SetFileName(Path());
  third.SetPasswordCallback(nullptr, counting);
  EXPECT_EQ(EngineCode([&] { third.Open(); }), kErrPasswordRequired);
  EXPECT_EQ(calls, 1);
}

}  // namespace

// The table check and the index rebuild read an enciphered table's files
// themselves: without a password check they need the session to know the
// password (10498 otherwise, nothing rebuilt); with one, it is asked first.
TEST_F(CipherTest, CheckAndRebuildAskForThePasswordBeforeReadingTheFiles) {
  const std::string path = Path();
  CreateCipherTable(path, Password());
  CurrentSession().AddSessionPassword(Password());
  {
    TDataFile t;
    t.SetFileName(path);
    t.Open();
    AppendRows(t, 12);
  }
  CurrentSession().ClearSessionPasswords();
  const std::vector<uint8_t> indexBefore = ReadAll(CompanionFileName(path, ".IDX"));
  EXPECT_EQ(EngineCode([&] { CheckTable(path, nullptr); }), kErrPasswordRequired);
  EXPECT_EQ(EngineCode([&] { RebuildIndexes(path, nullptr); }), kErrPasswordRequired);
  EXPECT_EQ(ReadAll(CompanionFileName(path, ".IDX")), indexBefore);

  std::vector<std::string> asked;
  const TPasswordCheck check = [&](const std::string& stored, const std::string& fileName) {
    asked.push_back(fileName);
    EXPECT_EQ(stored, Password());
    CurrentSession().AddSessionPassword(stored);
  };
  const TRebuildReport rebuilt = RebuildIndexes(path, check);
  EXPECT_EQ(rebuilt.LiveRecords, 12);
  EXPECT_EQ(rebuilt.Indexes, 3);  // primary, ByName, Sys Deleted
  const TCheckReport report = CheckTable(path, check);
  EXPECT_EQ(report.Faults, std::vector<std::string>{});
  EXPECT_EQ(report.LiveRecords, 12);
  EXPECT_EQ(report.IndexesCompared, 2);
  EXPECT_EQ(report.BlobsChecked, 12);
  EXPECT_EQ(asked.size(), 2u);
}
