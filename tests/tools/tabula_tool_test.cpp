// The tabula program itself, run as a child process on real tables: create
// and info, export against the rows and orders of the interop tables, SQLite
// export, import round trips and refused rows, check on damaged copies, and
// rebuild-indexes mending index damage.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "tabula/data_file.h"
#include "tabula/file_session.h"
#include "tabula/locale.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tools/tabula/csv.h"

namespace fs = std::filesystem;
using testing_support::ChildResult;
using testing_support::SourceDir;
using testing_support::TempDir;

namespace {

// Runs the tool with its error stream merged into the output.
ChildResult Tabula(const std::vector<std::string>& args) {
  std::vector<std::string> all = {"-c", "exec \"$0\" \"$@\" 2>&1", TABULA_TOOL_PATH};
  all.insert(all.end(), args.begin(), args.end());
  return testing_support::RunChild("/bin/sh", all);
}

std::string ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& name, const std::string& text) {
  std::ofstream out(name, std::ios::binary);
  out << text;
}

using TRows = std::vector<std::vector<std::string>>;

TRows ReadCsv(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  tabula::tool::TCsvReader reader(in, name, tabula::tool::TTextEncoding::kUtf8);
  TRows rows;
  std::vector<tabula::tool::TCsvField> row;
  while (reader.ReadRow(row)) {
    rows.emplace_back();
    for (const auto& f : row) rows.back().push_back(f.IsNull() ? "\\N" : f.Text);
  }
  return rows;
}

using testing_support::InteropDir;

// Copies the interop tables into the directory (writable).
bool CopyInterop(const TempDir& dir) {
  if (!fs::exists(InteropDir() / "people.DAT")) return false;
  for (const auto& entry : fs::directory_iterator(InteropDir())) {
    const fs::path to = dir.Path() / entry.path().filename();
    fs::copy_file(entry.path(), to, fs::copy_options::overwrite_existing);
    fs::permissions(to, fs::perms::owner_write, fs::perm_options::add);
  }
  return true;
}

std::map<std::string, std::string> Snapshot(const TempDir& dir, const std::string& stem) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::directory_iterator(dir.Path()))
    if (entry.path().stem() == stem) files[entry.path().filename().string()] = ReadFile(entry.path().string());
  return files;
}

constexpr const char* kSchema = R"(# a small directory table
language 0x419
field Numtel string 12 required
field "Full name" string 60
field Kodul int32 min 1 max 99999
field Balance bcd 2
field Born date
field Photo graphic
field Notes memo
field ID autoinc
primary Numtel
index ByName "Full name:desc,Numtel" case-insensitive compression both
index ByStreet Kodul descending compression 2
index ByBalance Balance unique
)";

TEST(TabulaTool, CommandLineMistakesAreOneLineAndExitCode2) {
  const struct {
    std::vector<std::string> Args;
    int Code;
    const char* Text;
  } kCases[] = {
      {{}, 2, "usage: tabula COMMAND"},
      {{"--help"}, 0, "rebuild-indexes"},
      {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
      {{"dump", "--limit"}, 2, "--limit needs a value"},
      {{"dump", "--colour", "x.DAT"}, 2, "unknown option --colour"},
      {{"dump", "--limit", "many", "x.DAT"}, 2, "whole number"},
      {{"export", "x.DAT"}, 2, "exactly one of --csv"},
      {{"create", "only-one"}, 2, "wrong number of arguments"},
      {{"check", "--help"}, 0, "usage: tabula check"},
      {{"info", "/nonexistent/x.DAT"}, 1, "tabula info: "},
  };
  for (const auto& c : kCases) {
    const ChildResult r = Tabula(c.Args);
    EXPECT_EQ(r.ExitCode, c.Code) << r.Output;
    EXPECT_NE(r.Output.find(c.Text), std::string::npos) << r.Output;
    if (c.Code != 0 && !c.Args.empty()) {
      EXPECT_EQ(std::count(r.Output.begin(), r.Output.end(), '\n'), 1) << r.Output;
    }
  }
}

TEST(TabulaTool, CreateThenInfoGivesTheSchemaBack) {
  TempDir dir;
  WriteFile(dir.File("dir.schema"), kSchema);
  ChildResult r = Tabula({"create", dir.File("dir.schema"), dir.File("dir.DAT")});
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  // Only the table's files: no temporary file is left behind.
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir.Path())) names.insert(e.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"dir.schema", "dir.DAT", "dir.IDX", "dir.BLB"}));

  r = Tabula({"info", dir.File("dir.DAT")});
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  for (const char* text : {"0 live in 0 slots", "Full name", "bcd 2", "graphic", "ByStreet", "language 1049"})
    EXPECT_NE(r.Output.find(text), std::string::npos) << text << "\n" << r.Output;

  // The schema written back creates the same table again.
  r = Tabula({"info", "--schema", dir.File("dir.DAT")});
  ASSERT_EQ(r.ExitCode, 0);
  WriteFile(dir.File("again.schema"), r.Output);
  ASSERT_EQ(Tabula({"create", dir.File("again.schema"), dir.File("again.DAT")}).ExitCode, 0);
  EXPECT_EQ(Tabula({"info", "--schema", dir.File("again.DAT")}).Output, r.Output);

  // An existing table is kept unless --force.
  r = Tabula({"create", dir.File("dir.schema"), dir.File("dir.DAT")});
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_NE(r.Output.find("exists already"), std::string::npos) << r.Output;
  EXPECT_EQ(Tabula({"create", "--force", dir.File("dir.schema"), dir.File("dir.DAT")}).ExitCode, 0);

  // Schema mistakes name their line.
  WriteFile(dir.File("bad.schema"), "field A int32\nfield B date default \"someday\"\n");
  r = Tabula({"create", dir.File("bad.schema"), dir.File("bad.DAT")});
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_NE(r.Output.find("bad.schema:2: field 'B'"), std::string::npos) << r.Output;
  EXPECT_FALSE(fs::exists(dir.File("bad.DAT")));
}

TEST(TabulaTool, ExportOfTheInteropTablesGivesTheirExpectedRows) {
  TempDir dir;
  ASSERT_TRUE(CopyInterop(dir)) << "no interop tables at " << InteropDir();
  for (const char* table : {"people.DAT", "media.dat"}) {
    const std::string stem = fs::path(table).stem().string();
    const ChildResult r = Tabula({"export", dir.File(table), "--csv", dir.File(stem + ".out.csv"), "--slot", "--blobs",
                                  "hex", "--quiet"});
    ASSERT_EQ(r.ExitCode, 0) << r.Output;
    EXPECT_EQ(ReadCsv(dir.File(stem + ".out.csv")), ReadCsv(dir.File(stem + ".rows.csv"))) << table;
  }
}

TEST(TabulaTool, DumpInIndexOrderFollowsTheInteropOrders) {
  TempDir dir;
  ASSERT_TRUE(CopyInterop(dir)) << "no interop tables at " << InteropDir();
  for (const char* table : {"people.DAT", "media.dat"}) {
    std::ifstream orders((InteropDir() / (fs::path(table).stem().string() + ".order.txt")).string());
    std::string line;
    int checked = 0;
    while (std::getline(orders, line)) {
      const size_t colon = line.find(':');
      const std::string name = line.substr(0, colon);
      const ChildResult r = Tabula({"dump", "--index", name, dir.File(table)});
      ASSERT_EQ(r.ExitCode, 0) << r.Output;
      std::istringstream out(r.Output);
      std::string row, slots;
      std::getline(out, row);  // header
      while (std::getline(out, row)) slots += " " + row.substr(0, row.find('\t'));
      EXPECT_EQ(slots, line.substr(colon + 1)) << table << " " << name;
      ++checked;
    }
    EXPECT_GT(checked, 0);
  }
  // --filter: the records the expression accepts, in physical order.
  {
    std::string expected;
    for (const auto& row : ReadCsv(dir.File("people.rows.csv"))) {
      if (row[0] == "slot" || row[3] != tabula::Utf8ToCp1251("Тверь") || row[9] == "\\N") continue;
      if (std::stoi(row[9]) > 2) expected += " " + row[0];
    }
    const ChildResult f = Tabula({"dump", "--filter", "City = 'Тверь' and Level > 2", dir.File("people.DAT")});
    ASSERT_EQ(f.ExitCode, 0) << f.Output;
    std::istringstream out(f.Output);
    std::string row, slots;
    std::getline(out, row);
    while (std::getline(out, row)) slots += " " + row.substr(0, row.find('\t'));
    EXPECT_FALSE(expected.empty());
    EXPECT_EQ(slots, expected);
    EXPECT_EQ(Tabula({"dump", "--filter", "Nosuch = 1", dir.File("people.DAT")}).ExitCode, 2);
  }
  // --from and --limit: the first two keys at or after a city.
  const ChildResult r = Tabula({"dump", "--index", "ByName", "--from", "ирина", "--limit", "2", dir.File("people.DAT")});
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  EXPECT_EQ(std::count(r.Output.begin(), r.Output.end(), '\n'), 3) << r.Output;
  EXPECT_NE(r.Output.find("\tирина\t"), std::string::npos) << r.Output;
}

TEST(TabulaTool, SqliteExportHoldsTheSameRowsAndIndexes) {
  TempDir dir;
  ASSERT_TRUE(CopyInterop(dir)) << "no interop tables at " << InteropDir();
  ChildResult r = Tabula({"export", dir.File("people.DAT"), "--sqlite", dir.File("people.db"), "--quiet"});
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  const TRows expected = ReadCsv(dir.File("people.rows.csv"));
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(dir.File("people.db").c_str(), &db), SQLITE_OK);
  auto query = [&](const std::string& sql) {
    TRows rows;
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sql;
    while (sqlite3_step(st) == SQLITE_ROW) {
      rows.emplace_back();
      for (int c = 0; c < sqlite3_column_count(st); ++c) {
        const auto* text = sqlite3_column_text(st, c);
        rows.back().push_back(text ? tabula::Utf8ToCp1251(reinterpret_cast<const char*>(text)) : "\\N");
      }
    }
    sqlite3_finalize(st);
    return rows;
  };
  EXPECT_EQ(query("SELECT count(*) FROM people")[0][0], std::to_string(expected.size() - 1));
  EXPECT_EQ(query("SELECT count(*) FROM sqlite_master WHERE type = 'index'")[0][0], "10");
  // Text, date and integer columns as the expected rows have them, in
  // physical order.
  const TRows got = query("SELECT ID, Name, City, Born, Phone, Seen FROM people ORDER BY rowid");
  ASSERT_EQ(got.size(), expected.size() - 1);
  for (size_t i = 0; i < got.size(); ++i) {
    const auto& e = expected[i + 1];
    EXPECT_EQ(got[i], (std::vector<std::string>{e[1], e[2], e[3], e[4], e[5], e[11]})) << "row " << i;
  }
  // Blobs come over as SQLite blobs of their full length.
  sqlite3_close(db);
  r = Tabula({"export", dir.File("media.dat"), "--sqlite", dir.File("media.db"), "--quiet"});
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  ASSERT_EQ(sqlite3_open(dir.File("media.db").c_str(), &db), SQLITE_OK);
  EXPECT_EQ(query("SELECT sum(length(Picture)), sum(length(Memo)), count(*) FROM media")[0],
            (std::vector<std::string>{"1800", "999", "5"}));
  sqlite3_close(db);
  // The output is not replaced without --force.
  r = Tabula({"export", dir.File("media.dat"), "--sqlite", dir.File("media.db"), "--quiet"});
  EXPECT_EQ(r.ExitCode, 1);
}

TEST(TabulaTool, ImportRoundTripAndRefusedRowsLeaveTheTableAsItWas) {
  TempDir dir;
  ASSERT_TRUE(CopyInterop(dir)) << "no interop tables at " << InteropDir();
  // people -> CSV -> a new table of the same schema -> CSV: the same rows
  // (record IDs are handed out anew).
  ChildResult r = Tabula({"info", "--schema", dir.File("people.DAT")});
  ASSERT_EQ(r.ExitCode, 0);
  WriteFile(dir.File("people.schema"), r.Output);
  ASSERT_EQ(Tabula({"create", dir.File("people.schema"), dir.File("copy.DAT")}).ExitCode, 0);
  ASSERT_EQ(Tabula({"export", dir.File("people.DAT"), "--csv", dir.File("a.csv"), "--quiet"}).ExitCode, 0);
  r = Tabula({"import", "--quiet", dir.File("copy.DAT"), dir.File("a.csv")});
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  EXPECT_NE(r.Output.find("imported 300 rows"), std::string::npos) << r.Output;
  ASSERT_EQ(Tabula({"export", dir.File("copy.DAT"), "--csv", dir.File("b.csv"), "--quiet"}).ExitCode, 0);
  TRows a = ReadCsv(dir.File("a.csv")), b = ReadCsv(dir.File("b.csv"));
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 1; i < a.size(); ++i) {
    a[i].erase(a[i].begin());
    b[i].erase(b[i].begin());
  }
  EXPECT_EQ(a, b);
  r = Tabula({"check", dir.File("copy.DAT")});
  EXPECT_EQ(r.ExitCode, 0) << r.Output;

  // Blobs from files beside the CSV, and a cp1251 file.
  ASSERT_EQ(Tabula({"info", "--schema", dir.File("media.dat")}).ExitCode, 0);
  WriteFile(dir.File("media.schema"), Tabula({"info", "--schema", dir.File("media.dat")}).Output);
  ASSERT_EQ(Tabula({"create", dir.File("media.schema"), dir.File("m2.DAT")}).ExitCode, 0);
  ASSERT_EQ(Tabula({"export", dir.File("media.dat"), "--csv", dir.File("m.csv"), "--encoding", "cp1251", "--quiet"})
                .ExitCode,
            0);
  EXPECT_TRUE(fs::exists(dir.File("m.csv.blobs/1-4.bin")));
  r = Tabula({"import", "--quiet", "--encoding", "cp1251", dir.File("m2.DAT"), dir.File("m.csv")});
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  ASSERT_EQ(Tabula({"export", dir.File("m2.DAT"), "--csv", dir.File("m2.csv"), "--blobs", "hex", "--quiet"}).ExitCode, 0);
  TRows m = ReadCsv(dir.File("media.rows.csv")), m2 = ReadCsv(dir.File("m2.csv"));
  for (auto& row : m) row.erase(row.begin(), row.begin() + 2);   // slot, ID
  for (auto& row : m2) row.erase(row.begin(), row.begin() + 1);  // ID
  m[0] = m2[0];
  EXPECT_EQ(m, m2);

  // A refused row: the file, line, column and reason; the files unchanged.
  const struct {
    const char* Csv;
    const char* Message;
  } kBad[] = {
      {"Name,City,Born\nA,X,2000-01-01\nB,Y,2000-02-30\n", "bad.csv:3:5: field Born: '2000-02-30' is not a valid date"},
      {"Name,Town\nA,X\n", "bad.csv:1:6: 'Town' is not a field"},
      {"Name,City\nA,X,extra\n", "bad.csv:2:5: the row has 3 fields"},
      {"Name,Level\nA,40000\n", "bad.csv:2:3: field Level: '40000' is out of the range"},
      {"Name,City\n\"A,X\n", "bad.csv:2:1: quoted field is not closed"},
      // Unique index ByCitySeen: the same city with no time twice.
      {"Name,City\nA,Same\nB,Same\n", "bad.csv:3: the table refused the row"},
  };
  for (const auto& c : kBad) {
    const auto before = Snapshot(dir, "copy");
    WriteFile(dir.File("bad.csv"), c.Csv);
    r = Tabula({"import", "--quiet", dir.File("copy.DAT"), dir.File("bad.csv")});
    EXPECT_EQ(r.ExitCode, 1) << c.Csv;
    EXPECT_NE(r.Output.find(c.Message), std::string::npos) << r.Output;
    EXPECT_NE(r.Output.find("nothing was imported"), std::string::npos) << r.Output;
    EXPECT_TRUE(Snapshot(dir, "copy") == before) << c.Csv;
  }
  // The table open in another program: refused before anything is written.
  tabula::InitializeEngine();
  const auto before = Snapshot(dir, "copy");
  tabula::TDataFile holder;
  holder.SetFileName(dir.File("copy.DAT"));
  holder.Open();
  r = Tabula({"import", "--quiet", dir.File("copy.DAT"), dir.File("a.csv")});
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_NE(r.Output.find("is open in another program"), std::string::npos) << r.Output;
  holder.Close();
  EXPECT_TRUE(Snapshot(dir, "copy") == before);
}

// Overwrites bytes of a file.
void Patch(const std::string& name, int64_t offset, const std::string& bytes) {
  std::fstream f(name, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(offset);
  f.write(bytes.data(), std::streamsize(bytes.size()));
}

std::string U32(uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }

// The first leaf page of the index file with at least two entries.
int64_t FirstLeaf(const std::string& idx) {
  const std::string bytes = ReadFile(idx);
  for (size_t off = 4096; off + 4096 <= bytes.size(); off += 4096) {
    const auto type = uint8_t(bytes[off]);
    const int count = uint8_t(bytes[off + 1]) | (uint8_t(bytes[off + 2]) << 8);
    if ((type == 2 || type == 3) && count >= 2) return int64_t(off);
  }
  return -1;
}

TEST(TabulaTool, CheckFindsEachKindOfDamage) {
  TempDir dir;
  ASSERT_TRUE(CopyInterop(dir)) << "no interop tables at " << InteropDir();
  constexpr int64_t kPeopleSlots = 127 + 768 * 15;  // record area of people.DAT
  constexpr int64_t kPeopleRecord = 568;
  const struct {
    const char* Name;
    const char* Table;  // people or media
    std::function<void(const std::string& base)> Damage;
    const char* Fault;
  } kCases[] = {
      {"leaf key", "people",
       [](const std::string& b) {
         const int64_t leaf = FirstLeaf(b + ".idx");
         Patch(b + ".idx", leaf + 13 + 8, "\x7f\x7f\x7f");
       },
       ".IDX: index"},
      {"record marked deleted", "people", [](const std::string& b) { Patch(b + ".DAT", kPeopleSlots + kPeopleRecord * 3, "\x01"); },
       "deleted slot 4 is not on the chain"},
      {"status byte", "people", [](const std::string& b) { Patch(b + ".DAT", kPeopleSlots + kPeopleRecord * 9, "\x07"); },
       "record 10: status byte 7"},
      {"slot link", "people", [](const std::string& b) { Patch(b + ".DAT", kPeopleSlots + 1, U32(77)); },
       "record 1: slot link 77"},
      {"free chain", "people", [](const std::string& b) { Patch(b + ".DAT", 9, U32(5)); },
       "links to slot 5, which is not deleted"},
      {"file length", "people",
       [](const std::string& b) { std::ofstream(b + ".DAT", std::ios::app | std::ios::binary) << 'x'; },
       "file length 182048, expected 182047"},
      {"descriptor offset", "people", [](const std::string& b) { Patch(b + ".DAT", 127 + 768 * 2 + 90, "\x10\x00"); },
       "offset 16, expected 51"},
      {"live count", "people", [](const std::string& b) { Patch(b + ".idx", 3974, U32(299)); },
       "header counts 299 live records"},
      {"null flag", "people", [](const std::string& b) { Patch(b + ".DAT", kPeopleSlots + 9, "\x05"); },
       "field Name: null flag 5"},
      {"blob chain", "media", [](const std::string& b) { Patch(b + ".Blb", 512 + 4, U32(0x7777)); }, ".BLB: record 1"},
  };
  for (const auto& c : kCases) {
    TempDir copy;
    for (const auto& e : fs::directory_iterator(dir.Path()))
      if (e.path().stem() == c.Table) fs::copy_file(e.path(), copy.Path() / e.path().filename());
    const std::string dat = c.Table == std::string("people") ? "people.DAT" : "media.dat";
    ChildResult r = Tabula({"check", copy.File(dat)});
    ASSERT_EQ(r.ExitCode, 0) << c.Name << ": the undamaged copy\n" << r.Output;
    c.Damage(copy.File(c.Table));
    r = Tabula({"check", copy.File(dat)});
    EXPECT_EQ(r.ExitCode, 1) << c.Name << "\n" << r.Output;
    EXPECT_NE(r.Output.find(c.Fault), std::string::npos) << c.Name << "\n" << r.Output;
  }
}

TEST(TabulaTool, RebuildIndexesMendsIndexDamage) {
  TempDir dir;
  ASSERT_TRUE(CopyInterop(dir)) << "no interop tables at " << InteropDir();
  const std::string idx = dir.File("people.idx");
  const auto orders = [&] {
    std::string all;
    for (const char* name : {"primary", "ByName", "ByBornDesc", "ByCityNotes", "ByWeightDesc"})
      all += Tabula({"dump", "--index", name, dir.File("people.DAT")}).Output;
    return all;
  };
  const std::string before = orders();
  const int64_t leaf = FirstLeaf(idx);
  ASSERT_GT(leaf, 0);
  Patch(idx, leaf + 13 + 8, "\x7f\x7f\x7f");
  Patch(idx, 3974, U32(12));
  ASSERT_EQ(Tabula({"check", dir.File("people.DAT")}).ExitCode, 1);
  ChildResult r = Tabula({"rebuild-indexes", dir.File("people.DAT")});
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  EXPECT_NE(r.Output.find("11 indexes over 300 live records"), std::string::npos) << r.Output;
  r = Tabula({"check", dir.File("people.DAT")});
  EXPECT_EQ(r.ExitCode, 0) << r.Output;
  EXPECT_EQ(orders(), before);
  // The index file kept its name; no temporary file is left.
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir.Path()))
    if (e.path().stem() == "people") names.insert(e.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"people.DAT", "people.idx"}));

  // A damaged data layout is refused, the index file left alone.
  const std::string idxBefore = ReadFile(idx);
  Patch(dir.File("people.DAT"), 21, "\x01\x00");
  r = Tabula({"rebuild-indexes", dir.File("people.DAT")});
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_NE(r.Output.find("run tabula check"), std::string::npos) << r.Output;
  EXPECT_EQ(ReadFile(idx), idxBefore);
}

}  // namespace
