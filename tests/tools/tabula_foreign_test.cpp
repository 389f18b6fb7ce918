// Tables as a maintainer meets them: each fault reported against the tool
// (hangs, silent wrong answers, damage that check passed, a rebuild that
// wrote a code it cannot honour) reproduced on a damaged copy; Russian keys
// mixed with Latin ones in the order the tables' home platform writes them;
// enciphered tables through every command, with the password given, typed
// at a terminal, wrong, or missing.

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "tabula/data_file.h"
#include "tabula/engine_error.h"
#include "tabula/file_session.h"
#include "tabula/locale.h"
#include "tabula/table_checker.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/tool_test_util.h"
#include "tools/tabula/cli.h"

namespace {

namespace fs = std::filesystem;
using namespace tabula;
using testing_support::SourceDir;
using testing_support::TempDir;
using tool_test::Le16;
using tool_test::Le32;
using tool_test::Patch;
using tool_test::ReadFile;
using tool_test::WriteFile;

struct TRun {
  int Code = 0;
  std::string Out;  // standard output and error together
};

// The tool in this process.
TRun Tool(const std::vector<std::string>& args) {
  std::ostringstream out;
  const int code = tool::RunTabula(args, {out, out});
  return {code, out.str()};
}

// The tool as a child process whose standard input is an empty pipe (not a
// terminal, so it may not prompt).
TRun ToolChild(const std::vector<std::string>& args) {
  std::vector<std::string> all = {"-c", "exec \"$0\" \"$@\" 2>&1", TABULA_TOOL_PATH};
  all.insert(all.end(), args.begin(), args.end());
  const auto r = testing_support::RunChild("/bin/sh", all);
  return {r.ExitCode, r.Output};
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

using testing_support::InteropDir;

void CopyInterop(const TempDir& dir, const std::string& stem) {
  for (const auto& entry : fs::directory_iterator(InteropDir()))
    if (entry.path().stem() == stem) WriteFile(dir.Path() / entry.path().filename(), ReadFile(entry.path()));
}

std::vector<std::string> Listing(const TempDir& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir.Path())) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// ---------------------------------------------------------------- the reported faults

constexpr int64_t kPeopleArea = 127 + 768 * 15;  // slot 1 of people.DAT
constexpr int64_t kPeopleRecord = 568;
constexpr int64_t kMediaArea = 127 + 768 * 5;    // slot 1 of media.dat
constexpr int64_t kMediaRecord = 56;
constexpr int64_t kMediaMemo = 41;               // offset of the Memo field in a media record
// people.idx: the primary index's leaf level starts at page 4096 and runs
// through 19 pages; its entries are uncompressed keys of 249 bytes.
constexpr int64_t kPeopleLeaf = 4096;
constexpr int64_t kPeopleKey = 249;

TEST(ReportedFaults, EachEndsInAnErrorOrIsFoundByCheck) {
  InitializeEngine();
  ASSERT_TRUE(fs::exists(InteropDir() / "people.DAT")) << "no interop tables at " << InteropDir();
  struct TRead {
    std::vector<std::string> Args;  // the table's path follows
    std::string Message;            // a part of the error
  };
  const std::vector<TRead> kPrimaryReads = {{{"dump", "--index", "primary"}, "8965"},
                                            {{"export", "--index", "primary", "--quiet", "--csv", "@out.csv"}, "8965"}};
  const struct {
    const char* Name;
    const char* Table;
    std::function<void(const TempDir&)> Damage;
    std::vector<TRead> Reads;   // each must fail with its message
    const char* CheckFinds;     // a part of check's report
  } kCases[] = {
      {"a leaf linking to itself", "people",
       [](const TempDir& d) { Patch(d.Path() / "people.idx", kPeopleLeaf + 7, Le32(kPeopleLeaf)); }, kPrimaryReads,
       "page 4096: next link 4096, expected 8192"},
      {"a leaf linking to an earlier page", "people",
       [](const TempDir& d) { Patch(d.Path() / "people.idx", kPeopleLeaf + 4096 * 2 + 7, Le32(kPeopleLeaf)); },
       kPrimaryReads, "page 12288: next link 4096"},
      {"a next link of 0 in the middle of the level", "people",
       [](const TempDir& d) { Patch(d.Path() / "people.idx", kPeopleLeaf + 4096 * 3 + 7, Le32(0)); }, kPrimaryReads,
       "page 16384: next link 0"},
      {"a leaf entry naming record 0", "people",
       [](const TempDir& d) { Patch(d.Path() / "people.idx", kPeopleLeaf + 4096 * 5 + 13 + kPeopleKey, Le32(0)); },
       kPrimaryReads, "entry 1 names record 0"},
      {"a leaf entry naming a slot past the table", "people",
       [](const TempDir& d) { Patch(d.Path() / "people.idx", kPeopleLeaf + 4096 * 5 + 13 + kPeopleKey, Le32(301)); },
       kPrimaryReads, "entry 1 names record 301"},
      {"a leaf key count one short", "people",
       [](const TempDir& d) { Patch(d.Path() / "people.idx", kPeopleLeaf + 4096 * 5 + 1, Le16(15)); }, kPrimaryReads,
       "subtree holds 15"},
      {"a leaf entry naming a deleted slot", "media",
       // media's primary is one root leaf at 4096 with 5-byte keys; slot 3 is deleted.
       [](const TempDir& d) { Patch(d.Path() / "media.IDX", 4096 + 13 + 5, Le32(3)); },
       {{{"dump", "--index", "primary"}, "8965"}}, "entry for record 3, which is not a live record"},
      {"an unknown record status byte", "people",
       [](const TempDir& d) { Patch(d.Path() / "people.DAT", kPeopleArea + kPeopleRecord * 9, "\x07"); },
       {{{"dump"}, "record 10: status byte 7"}, {{"dump", "--index", "ByName"}, "8965"}},
       "record 10: status byte 7"},
      {"a field name length byte of 255", "people",
       [](const TempDir& d) { Patch(d.Path() / "people.DAT", 127 + 768 + 2, "\xff"); },
       {{{"dump"}, "8961"}, {{"info"}, "8961"}}, "field 2 (Name): name length 255"},
      {"a blob reference beyond the blob file", "media",
       [](const TempDir& d) { Patch(d.Path() / "media.dat", kMediaArea + kMediaMemo + 1, Le32(512 * 200)); },
       {{{"dump"}, "record 1, field Memo"}, {{"export", "--quiet", "--csv", "@out.csv"}, "record 1, field Memo"}},
       "reference 102400 is not a block of the file"},
      {"a blob reference between blocks", "media",
       [](const TempDir& d) { Patch(d.Path() / "media.dat", kMediaArea + kMediaMemo + 1, Le32(612)); },
       {{{"dump"}, "record 1, field Memo"}}, "reference 612 is not a block of the file"},
      {"a blob reference to another record's first block", "media",
       [](const TempDir& d) { Patch(d.Path() / "media.dat", kMediaArea + kMediaRecord + kMediaMemo + 1, Le32(512)); },
       {{{"dump"}, "record 2, field Memo"}}, "first block 512 belongs to record 1"},
      {"an index with field count 0", "people",
       [](const TempDir& d) { Patch(d.Path() / "people.idx", 14 + 120 * 2 + 37, std::string(1, '\0')); },
       {{{"dump"}, "8965"}}, "index ByBornDesc: definition: field count 0"},
      {"an index name length byte of 200", "people",
       [](const TempDir& d) { Patch(d.Path() / "people.idx", 14 + 120 * 1, "\xc8"); }, {{{"info"}, "8965"}},
       "index ByName: definition: name length 200"},
      {"an end-of-file offset far past the file's end", "people",
       [](const TempDir& d) { Patch(d.Path() / "people.idx", 9, Le32(315392 + 4096 * 100)); }, {{{"info"}, "8965"}},
       "past the end of the file"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.Name);
    TempDir dir;
    CopyInterop(dir, c.Table);
    const std::string dat = dir.File(c.Table == std::string("people") ? "people.DAT" : "media.dat");
    c.Damage(dir);
    const std::vector<std::string> before = Listing(dir);
    for (const TRead& read : c.Reads) {
      std::vector<std::string> args = read.Args;
      for (std::string& a : args)
        if (a[0] == '@') a = dir.File(a.substr(1));
      args.push_back(dat);
      const TRun r = Tool(args);
      EXPECT_EQ(r.Code, 1) << args[0] << "\n" << r.Out.substr(0, 2000);
      EXPECT_TRUE(Has(r.Out, read.Message)) << args[0] << ": " << r.Out.substr(r.Out.size() > 600 ? r.Out.size() - 600 : 0);
      EXPECT_EQ(Listing(dir), before) << args[0] << " left a file behind";
    }
    const TRun check = Tool({"check", dat});
    EXPECT_EQ(check.Code, 1) << check.Out;
    EXPECT_TRUE(Has(check.Out, c.CheckFinds)) << check.Out;
  }
}

TEST(ReportedFaults, RebuildRefusesACompressionCodeItCannotHonourBeforeWritingAnything) {
  InitializeEngine();
  ASSERT_TRUE(fs::exists(InteropDir() / "people.DAT")) << "no interop tables at " << InteropDir();
  TempDir dir;
  CopyInterop(dir, "people");
  Patch(dir.Path() / "people.idx", 14 + 120 * 3 + 36, "\x07");
  const std::string idx = ReadFile(dir.Path() / "people.idx");
  const TRun r = Tool({"rebuild-indexes", dir.File("people.DAT")});
  EXPECT_EQ(r.Code, 1);
  EXPECT_TRUE(Has(r.Out, "index ByPhoneWeight: definition: compression code 7")) << r.Out;
  EXPECT_TRUE(Has(r.Out, "nothing was rebuilt")) << r.Out;
  EXPECT_EQ(ReadFile(dir.Path() / "people.idx"), idx);
  EXPECT_EQ(Listing(dir), (std::vector<std::string>{"people.DAT", "people.idx"}));
}

TEST(ReportedFaults, ImportCountsAStringWithoutItsTrailingBlanks) {
  InitializeEngine();
  TempDir dir;
  WriteFile(dir.Path() / "t.schema", "field Code string 3\nfield ID autoinc\nprimary ID\n");
  ASSERT_EQ(Tool({"create", dir.File("t.schema"), dir.File("t.DAT")}).Code, 0);
  WriteFile(dir.Path() / "rows.csv", "Code\n\"ABC   \"\n\"AB \"\n\"ABCD\"\n");
  TRun r = Tool({"import", "--quiet", dir.File("t.DAT"), dir.File("rows.csv")});
  EXPECT_EQ(r.Code, 1);  // four characters do not fit, blanks or not
  EXPECT_TRUE(Has(r.Out, "rows.csv:4:1: field Code: text of 4 characters is longer than the field's 3")) << r.Out;
  WriteFile(dir.Path() / "rows.csv", "Code\n\"ABC   \"\n\"AB \"\n");
  r = Tool({"import", "--quiet", dir.File("t.DAT"), dir.File("rows.csv")});
  ASSERT_EQ(r.Code, 0) << r.Out;
  r = Tool({"dump", dir.File("t.DAT")});
  EXPECT_EQ(r.Out, "slot\tCode\tID\n1\tABC\t1\n2\tAB\t2\n");
}

// ---------------------------------------------------------------- mixed scripts

// A Russian table written byte for byte as its home platform writes it: a
// name field (string 20) and the record ID; a primary index on the name
// whose single leaf holds the keys in that platform's order, Latin before
// Cyrillic; "Sys Deleted" over the six slots.
struct TForeignRussianTable {
  static constexpr int kWidth = 21;  // string 20: 20 characters and the terminator
  static constexpr int kRecordSize = 9 + 1 + kWidth;

  // Names in slot order, and the key order of the primary index (slots).
  std::vector<std::string> Names;  // UTF-8
  std::vector<uint32_t> KeyOrder;

  void Write(const fs::path& base) const {
    const uint32_t slots = uint32_t(Names.size());
    // Data file: header, two descriptors, the records.
    std::string dat(127, '\0');
    dat[8] = 3;                                              // format version
    dat.replace(13, 4, Le32(slots + 1));                     // NextRecordNo
    dat.replace(17, 4, Le32(slots));                         // LastRecordID
    dat.replace(21, 2, Le16(kRecordSize));
    dat.replace(23, 2, Le16(2));                             // fields
    dat.replace(103, 2, Le16(0x0419));                       // Russian
    auto descriptor = [](int no, const std::string& name, uint8_t type, uint8_t sub, uint8_t size, uint8_t width,
                         uint16_t offset) {
      std::string d(768, '\0');
      d.replace(0, 2, Le16(uint16_t(no)));
      d[2] = char(name.size());
      d.replace(3, name.size(), name);
      d[84] = char(type);
      d[85] = char(sub);
      d[86] = char(size);
      d[88] = char(width);
      d.replace(90, 2, Le16(offset));
      return d;
    };
    dat += descriptor(1, "Name", 1, 0, 20, kWidth, 9);
    dat += descriptor(2, "ID", 6, 29, 0, 4, 5);
    for (uint32_t n = 1; n <= slots; ++n) {
      std::string rec(kRecordSize, '\0');
      rec.replace(1, 4, Le32(n));
      rec.replace(5, 4, Le32(n));
      rec[9] = 1;
      const std::string text = Utf8ToCp1251(Names[n - 1]);
      rec.replace(10, text.size(), text);
      dat += rec;
    }
    WriteFile(base.string() + ".DAT", dat);

    // Index file: header with the primary (slot 0) and "Sys Deleted"
    // (slot 31), a root leaf for each.
    std::string idx(4096 * 3, '\0');
    idx[8] = 3;
    idx.replace(9, 4, Le32(4096 * 3));
    auto describe = [&](int slot, const std::string& name, uint16_t keyLength, uint8_t fieldCount, uint32_t root) {
      const size_t d = 14 + 120 * size_t(slot);
      idx[d] = char(name.size());
      idx.replace(d + 1, name.size(), name);
      idx.replace(d + 31, 2, Le16(keyLength));
      idx[d + 37] = char(fieldCount);
      if (fieldCount) idx.replace(d + 54, 2, Le16(1));
      idx.replace(d + 86, 4, Le32(root));
    };
    describe(0, "", 1 + kWidth, 1, 4096);
    describe(31, "Sys Deleted", 5, 0, 8192);
    idx.replace(3974, 4, Le32(slots));
    auto rootLeaf = [&](size_t page, const std::vector<std::pair<std::string, uint32_t>>& entries) {
      idx[page] = 3;
      idx.replace(page + 1, 2, Le16(uint16_t(entries.size())));
      size_t at = page + 13;
      for (const auto& [key, ref] : entries) {
        idx.replace(at, key.size(), key);
        idx.replace(at + key.size(), 4, Le32(ref));
        at += key.size() + 4;
      }
    };
    std::vector<std::pair<std::string, uint32_t>> primary;
    for (uint32_t n : KeyOrder) {
      std::string key(1 + kWidth, '\0');
      key[0] = 1;
      const std::string text = Utf8ToCp1251(Names[n - 1]);
      key.replace(1, text.size(), text);
      primary.emplace_back(key, n);
    }
    rootLeaf(4096, primary);
    std::vector<std::pair<std::string, uint32_t>> sys;
    for (uint32_t n = 1; n <= slots; ++n) sys.emplace_back(std::string(1, '\0') + char(0x80) + '\0' + '\0' + char(n), n);
    rootLeaf(8192, sys);
    WriteFile(base.string() + ".IDX", idx);
  }
};

// The platform's order: scripts in the same order in every locale, Latin
// first; within Cyrillic the Russian alphabet.
const TForeignRussianTable kMixed{{"ВЕГА", "ALPHA", "БЕТА", "GAMMA", "АЛЬФА", "BETA"}, {2, 6, 4, 5, 3, 1}};

std::vector<std::string> NamesInIndexOrder(TDataFile& t) {
  std::vector<std::string> names;
  std::vector<uint8_t> buffer(size_t(t.RecordSize()));
  t.GotoFirst();
  while (t.ReadNext(buffer.data()) == 0) names.push_back(Cp1251ToUtf8(reinterpret_cast<const char*>(buffer.data() + 10)));
  return names;
}

TEST(MixedScripts, RussianKeysSortAfterLatinOnesAsTheTablesWereWritten) {
  InitializeEngine();
  TempDir dir;
  kMixed.Write(dir.Path() / "firms");
  const std::vector<std::string> expected = {"ALPHA", "BETA", "GAMMA", "АЛЬФА", "БЕТА", "ВЕГА"};

  TDataFile t;
  t.SetReadOnly(true);
  t.SetFileName(dir.File("firms.DAT"));
  t.Open();
  EXPECT_EQ(tabula::CheckTable(dir.File("firms.DAT"), nullptr).Faults, std::vector<std::string>{});
  EXPECT_EQ(NamesInIndexOrder(t), expected);
  // Nearest searches land where the original puts them: a whole name, a
  // prefix (partial key) and a name between two others.
  const struct {
    const char* Sought;
    int PartialLength;  // 0: the whole field
    const char* Lands;
  } kSearches[] = {{"БЕТА", 0, "БЕТА"}, {"Б", 1, "БЕТА"}, {"BET", 3, "BETA"}, {"ZULU", 0, "АЛЬФА"},
                   {"АЛЬФА", 0, "АЛЬФА"}, {"ВАЛ", 0, "ВЕГА"}, {"GAMMA", 0, "GAMMA"}};
  std::vector<uint8_t> buffer(size_t(t.RecordSize()));
  for (const auto& s : kSearches) {
    SCOPED_TRACE(s.Sought);
    t.InitRecord(buffer.data());
    const std::string text = Utf8ToCp1251(s.Sought);
    t.SetField(TDescSet::kWorking, 1, reinterpret_cast<const uint8_t*>((text + std::string(21, '\0')).data()), false,
               buffer.data());
    std::vector<uint8_t> key(kKeyBufferSize, 0);
    t.BuildKey(buffer.data(), key.data());
    t.FindKey(key.data(), s.PartialLength ? 0 : 1, s.PartialLength, true);
    ASSERT_EQ(t.ReadCurrent(buffer.data(), false), 0);
    EXPECT_EQ(Cp1251ToUtf8(reinterpret_cast<const char*>(buffer.data() + 10)), s.Lands);
  }
  t.Close();

  const TRun check = Tool({"check", dir.File("firms.DAT")});
  EXPECT_EQ(check.Code, 0) << check.Out;
  const TRun dump = Tool({"dump", "--index", "primary", dir.File("firms.DAT")});
  EXPECT_EQ(dump.Out, "slot\tName\tID\n2\tALPHA\t2\n6\tBETA\t6\n4\tGAMMA\t4\n5\tАЛЬФА\t5\n3\tБЕТА\t3\n1\tВЕГА\t1\n");
}

TEST(MixedScripts, ATableWrittenCyrillicFirstIsFoundByCheckAndRebuilt) {
  InitializeEngine();
  TempDir dir;
  // The order this project's engine wrote before it matched the platform.
  TForeignRussianTable old = kMixed;
  old.KeyOrder = {5, 3, 1, 2, 6, 4};
  old.Write(dir.Path() / "firms");
  TRun r = Tool({"check", dir.File("firms.DAT")});
  EXPECT_EQ(r.Code, 1);
  EXPECT_TRUE(Has(r.Out, "index Primary: page 4096: entries 3 and 4 out of order")) << r.Out;
  r = Tool({"rebuild-indexes", dir.File("firms.DAT")});
  ASSERT_EQ(r.Code, 0) << r.Out;
  r = Tool({"check", dir.File("firms.DAT")});
  EXPECT_EQ(r.Code, 0) << r.Out;
  r = Tool({"dump", "--index", "primary", dir.File("firms.DAT")});
  EXPECT_EQ(r.Out, "slot\tName\tID\n2\tALPHA\t2\n6\tBETA\t6\n4\tGAMMA\t4\n5\tАЛЬФА\t5\n3\tБЕТА\t3\n1\tВЕГА\t1\n");
}

// ---------------------------------------------------------------- enciphered tables

class Enciphered : public ::testing::Test {
 protected:
  static constexpr const char* kPassword = "Сезам-1";  // Windows-1251 in the table

  void SetUp() override {
    InitializeEngine();
    WriteFile(dir_.Path() / "s.schema",
              std::string("language 0x419\npassword \"") + kPassword +
                  "\"\nfield Name string 20\nfield Notes memo\nfield ID autoinc\nprimary ID\n"
                  "index ByName Name compression both\n");
    ASSERT_EQ(Tool({"create", dir_.File("s.schema"), Dat()}).Code, 0);
    WriteFile(dir_.Path() / "rows.csv", "Name,Notes\nЯков,первая заметка\nAnna,second\nБорис,\n");
    const TRun r = Tool({"import", "--quiet", "--password", kPassword, Dat(), dir_.File("rows.csv")});
    ASSERT_EQ(r.Code, 0) << r.Out;
  }
  std::string Dat() const { return dir_.File("s.DAT"); }

  TempDir dir_;
};

TEST_F(Enciphered, EveryCommandReadsItWithThePasswordAndNoneWithout) {
  const std::string kDump = "slot\tName\tNotes\tID\n2\tAnna\tsecond\t2\n3\tБорис\t\\N\t3\n1\tЯков\tпервая заметка\t1\n";
  TRun r = Tool({"dump", "--index", "ByName", "--password", kPassword, Dat()});
  EXPECT_EQ(r.Code, 0) << r.Out;
  EXPECT_EQ(r.Out, kDump);
  r = Tool({"info", "--password", kPassword, Dat()});
  EXPECT_EQ(r.Code, 0) << r.Out;
  EXPECT_TRUE(Has(r.Out, "enciphered   yes")) << r.Out;
  EXPECT_TRUE(Has(r.Out, "3 live in 3 slots")) << r.Out;
  r = Tool({"export", "--password", kPassword, "--quiet", "--csv", dir_.File("out.csv"), Dat()});
  EXPECT_EQ(r.Code, 0) << r.Out;
  EXPECT_TRUE(Has(ReadFile(dir_.Path() / "out.csv"), "Яков,первая заметка")) << ReadFile(dir_.Path() / "out.csv");
  r = Tool({"check", "--password", kPassword, Dat()});
  EXPECT_EQ(r.Code, 0) << r.Out;
  EXPECT_TRUE(Has(r.Out, "ok: 3 live records in 3 slots, 2 indexes compared with the records, 2 blobs")) << r.Out;

  // Without a terminal and without --password: 10498, never "engine not
  // initialized"; a wrong password says so.
  for (const char* command : {"info", "dump", "export", "check", "rebuild-indexes"}) {
    std::vector<std::string> args = {command, Dat()};
    if (command == std::string("export")) args = {command, Dat(), "--csv", dir_.File("x.csv")};
    r = ToolChild(args);
    EXPECT_EQ(r.Code, 1) << command;
    EXPECT_TRUE(Has(r.Out, "Tabula Engine Error # 10498 Insufficient rights to data file")) << command << ": " << r.Out;
    args.insert(args.begin() + 1, {"--password", "сезам-1"});  // letter case counts
    r = ToolChild(args);
    EXPECT_EQ(r.Code, 1) << command;
    EXPECT_TRUE(Has(r.Out, "10498")) << command << ": " << r.Out;
  }
  EXPECT_TRUE(Has(ToolChild({"dump", "--password", "wrong", Dat()}).Out, "the password given is not the table's"));
  EXPECT_FALSE(fs::exists(dir_.Path() / "x.csv"));
}

TEST_F(Enciphered, CheckReadsItDecipheredAndRebuildKeepsItEnciphered) {
  // A status byte damaged under the cipher: check sees the deciphered 7.
  const std::string before = ReadFile(Dat());
  const int64_t slot2 = 127 + 768 * 3 + (9 + 22 + 5) * 1;  // records of 36 bytes; slot 2
  std::string damaged = before;
  damaged[size_t(slot2)] = char(damaged[size_t(slot2)] ^ 7);
  WriteFile(Dat(), damaged);
  TRun r = Tool({"check", "--password", kPassword, Dat()});
  EXPECT_EQ(r.Code, 1);
  EXPECT_TRUE(Has(r.Out, "s.DAT: record 2: status byte 7")) << r.Out;
  EXPECT_FALSE(Has(r.Out, "field 1")) << r.Out;  // the descriptors read deciphered
  WriteFile(Dat(), before);

  // Index damage mended by a rebuild; the new index file is enciphered too.
  Patch(dir_.Path() / "s.IDX", 3974, std::string(4, '\x55'));
  EXPECT_EQ(Tool({"check", "--password", kPassword, Dat()}).Code, 1);
  r = Tool({"rebuild-indexes", "--password", kPassword, Dat()});
  ASSERT_EQ(r.Code, 0) << r.Out;
  r = Tool({"check", "--password", kPassword, Dat()});
  EXPECT_EQ(r.Code, 0) << r.Out;
  const std::string idx = ReadFile(dir_.Path() / "s.IDX");
  EXPECT_FALSE(Has(idx, "ByName") || Has(idx, "Sys Deleted")) << "the index header is in plain text";
}

// The tool on a terminal: the password is asked for without echo.
TEST_F(Enciphered, OnATerminalThePasswordIsAskedForWithoutEcho) {
  const std::string dat = Dat();
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0) << std::strerror(errno);
  if (pid == 0) {
    execl(TABULA_TOOL_PATH, TABULA_TOOL_PATH, "dump", "--index", "ByName", dat.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  std::string transcript;
  auto readUntil = [&](const std::string& what) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    char chunk[512];
    while (!Has(transcript, what) && std::chrono::steady_clock::now() < deadline) {
      pollfd ready{master, POLLIN, 0};
      if (poll(&ready, 1, 1000) <= 0) continue;
      const ssize_t n = read(master, chunk, sizeof chunk);
      if (n <= 0) break;
      transcript.append(chunk, size_t(n));
    }
    return Has(transcript, what);
  };
  if (!readUntil("Password for s.DAT: ")) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    close(master);
    FAIL() << "no prompt: " << transcript;
  }
  const std::string typed = std::string(kPassword) + "\n";
  ASSERT_EQ(write(master, typed.data(), typed.size()), ssize_t(typed.size()));
  const bool done = readUntil("первая заметка");
  if (!done) kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  close(master);
  EXPECT_TRUE(done) << transcript;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << transcript;
  EXPECT_TRUE(Has(transcript, "Anna")) << transcript;
  EXPECT_FALSE(Has(transcript, kPassword)) << "the password was echoed: " << transcript;
}

}  // namespace
