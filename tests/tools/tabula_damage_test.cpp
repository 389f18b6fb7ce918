// Damaged copies of real tables: the interop tables written elsewhere and a
// generated Russian table with blobs and deleted slots, damaged one link,
// one entry, one descriptor byte, one reference or one status byte at a time.
// For every damaged copy the tool's readers (info, dump in every order,
// export) and the engine's cursor walks must end in an error or give exactly
// what the undamaged table gives, `check` must find the damage, and
// `rebuild-indexes` must either mend damage that lies in the index file alone
// (the check clean and every reading as before) or refuse before writing.
//
// The tests take a few places of each kind of damage (first, middle, last);
// BORVINO_DAMAGE_ALL=1 takes every place (scripts/damage-all).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "tabula/byte_order.h"
#include "tabula/data_file.h"
#include "tabula/engine_error.h"
#include "tabula/file_session.h"
#include "tabula/locale.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/tool_test_util.h"
#include "tools/tabula/cli.h"

namespace {

namespace fs = std::filesystem;
using namespace tabula;
using testing_support::SourceDir;
using testing_support::TempDir;
using tool_test::ReadFile;
using tool_test::WriteFile;

// ---------------------------------------------------------------- files

using TBytes = std::string;

uint32_t U32(const TBytes& b, size_t at) { return LoadU32(b.data() + at); }
uint16_t U16(const TBytes& b, size_t at) { return LoadU16(b.data() + at); }

// ---------------------------------------------------------------- tables

// One table's files (names as they are on disk) and how to read it.
struct TTable {
  std::string Name;
  std::string Dat, Idx, Blb;        // file names; Blb empty without blobs
  std::map<std::string, TBytes> Files;  // pristine contents by file name
  std::vector<std::string> Indexes;     // --index names, "primary" first when there is one
};

struct TRun {
  int Code = 0;
  std::string Out;
  std::string Err;
};

TRun Tool(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  const int code = tool::RunTabula(args, {out, err});
  return {code, out.str(), err.str()};
}

using testing_support::InteropDir;

TTable InteropTable(const std::string& name, const std::string& dat, const std::string& idx, const std::string& blb,
                    std::vector<std::string> indexes) {
  TTable t{name, dat, idx, blb, {}, std::move(indexes)};
  for (const std::string& f : {dat, idx, blb})
    if (!f.empty()) t.Files[f] = ReadFile(InteropDir() / f);
  return t;
}

// A Russian table made by the tool: mixed Latin and Cyrillic names, memos
// and pictures, three indexes (one compressed both ways, one with the record
// ID suffix), 400 records of which every seventh is deleted again.
TTable GeneratedTable() {
  static TTable table = [] {
    TempDir dir;
    WriteFile(dir.Path() / "gen.schema",
              "language 0x419\n"
              "field Numtel string 12 required\n"
              "field Name string 40\n"
              "field Kodul int32\n"
              "field Notes memo\n"
              "field Photo graphic\n"
              "field ID autoinc\n"
              "primary Numtel\n"
              "index ByName Name,Numtel case-insensitive compression both\n"
              "index ByKodul Kodul:desc compression 2\n");
    const std::string dat = dir.File("gen.DAT");
    EXPECT_EQ(Tool({"create", dir.File("gen.schema"), dat}).Code, 0);
    std::ostringstream csv;
    csv << "Numtel,Name,Kodul,Notes,Photo\n";
    const char* kNames[] = {"ALPHA", "BETA", "GAMMA", "АЛЬФА", "БЕТА", "ВЕГА", "ёлка", "Ёж", "zeta", "Юла"};
    for (int i = 0; i < 400; ++i) {
      csv << 230000 + i * 7 << ",\"" << kNames[i % 10] << " " << i / 10 << "\"," << (i * 37) % 101 << ",";
      if (i % 3 == 0) csv << "\"заметка " << i << std::string(size_t(i % 5) * 150, 'x') << "\"";
      csv << ",";
      if (i % 4 == 1) {
        std::string hex;
        for (int k = 0; k < 40 + i % 700; ++k) hex += "0123456789abcdef"[(i + k) % 16];
        if (hex.size() % 2) hex += '0';
        csv << hex;
      }
      csv << "\n";
    }
    WriteFile(dir.Path() / "gen.csv", csv.str());
    const TRun imported = Tool({"import", "--quiet", dat, dir.File("gen.csv")});
    EXPECT_EQ(imported.Code, 0) << imported.Err;
    {
      TDataFile t;
      t.SetFileName(dat);
      t.Open();
      std::vector<uint8_t> buffer(size_t(t.RecordSize()));
      t.GotoFirst();
      for (int n = 0; t.ReadNext(buffer.data()) == 0; ++n)
        if (n % 7 == 3) t.DeleteRecord(false);
      t.Close();
    }
    TTable t{"gen", "gen.DAT", "gen.IDX", "gen.BLB", {}, {"primary", "ByName", "ByKodul"}};
    for (const std::string& f : {t.Dat, t.Idx, t.Blb}) t.Files[f] = ReadFile(dir.Path() / f);
    return t;
  }();
  return table;
}

// ---------------------------------------------------------------- readings

// Everything the readers say about a table, by reading: the tool's output
// and exit code, the engine's walks. A damaged copy must, reading by
// reading, fail or say exactly what the undamaged one says.
using TReadings = std::map<std::string, TRun>;

std::string WalkIndex(const std::string& dat, const std::string& index) {
  TDataFile t;
  t.SetReadOnly(true);
  t.SetFileName(dat);
  t.Open();
  t.SelectIndex(index == "primary" ? std::string() : Utf8ToCp1251(index));
  std::ostringstream out;
  out << "count " << t.RecordCount() << "\nforward";
  std::vector<uint8_t> buffer(size_t(t.RecordSize()));
  t.GotoFirst();
  while (t.ReadNext(buffer.data()) == 0) out << ' ' << LoadU32(buffer.data() + 1);
  out << "\nbackward";
  t.GotoLast();
  while (t.ReadPrior(buffer.data()) == 0) out << ' ' << LoadU32(buffer.data() + 1);
  return out.str();
}

TReadings Read(const TempDir& dir, const TTable& table) {
  TReadings r;
  const std::string dat = dir.File(table.Dat);
  r["info"] = Tool({"info", dat});
  r["dump"] = Tool({"dump", dat});
  for (const std::string& index : table.Indexes) r["dump " + index] = Tool({"dump", "--index", index, dat});
  const std::string csv = dir.File("out.csv");
  TRun exported = Tool({"export", dat, "--csv", csv, "--slot", "--blobs", "hex", "--quiet"});
  if (exported.Code == 0) {
    exported.Out = ReadFile(csv);
    fs::remove(csv);
  }
  r["export"] = exported;
  for (const std::string& index : table.Indexes) {
    TRun walk;
    try {
      walk.Out = WalkIndex(dat, index);
    } catch (const ETabulaEngineError& e) {
      walk.Code = e.Code();
      walk.Err = e.Message;
    }
    r["walk " + index] = walk;
  }
  return r;
}

std::string WithoutIndexFileLine(const std::string& text) {
  std::istringstream in(text);
  std::string out, line;
  while (std::getline(in, line))
    if (line.rfind("index file", 0) != 0) out += line + "\n";
  return out;
}

// ---------------------------------------------------------------- damage

struct TDamage {
  std::string Where;                            // for messages
  std::function<void(std::map<std::string, TBytes>&)> Apply;
};

enum class TKind {
  kIndexState,       // index file only, definitions intact: rebuild-indexes mends it
  kIndexDefinition,  // an index definition out of its limits: rebuild-indexes refuses, writes nothing
  kData,             // the data file: rebuild-indexes is not asked
};

struct TDamageClass {
  std::string Name;
  TKind Kind;
  std::vector<TDamage> Places;
};

// A page of the index file as its header describes it.
struct TPageInfo {
  uint32_t Offset;
  uint8_t Type;
  uint16_t Count;
  uint32_t Prior, Next;
  int Slot;   // owning index slot
  int Level;  // 0 = root
};

struct TIndexView {
  uint8_t SecondaryCount = 0;
  int32_t EndOfFile = 0;
  std::vector<int> Slots;  // slots that keep keys
  std::map<int, std::vector<std::vector<TPageInfo>>> Levels;  // slot -> levels (root first) -> pages in order
  int KeyLength(const TBytes& idx, int slot) const { return U16(idx, 14 + 120 * size_t(slot) + 31); }
};

TIndexView ViewIndex(const TBytes& idx) {
  TIndexView v;
  v.EndOfFile = int32_t(U32(idx, 9));
  v.SecondaryCount = uint8_t(idx[13]);
  const bool noPrimary = idx[3978] != 0;
  for (int s = 0; s < 32; ++s) {
    if ((s == 0 || s == 31) ? noPrimary : s > v.SecondaryCount) continue;
    const uint32_t root = U32(idx, 14 + 120 * size_t(s) + 86);
    if (root == 0) continue;
    v.Slots.push_back(s);
    auto& levels = v.Levels[s];
    for (uint32_t first = root; first != 0;) {
      levels.emplace_back();
      uint32_t child = 0;
      for (uint32_t at = first; at != 0; at = U32(idx, at + 7)) {
        TPageInfo p{at, uint8_t(idx[at]), U16(idx, at + 1), U32(idx, at + 3), U32(idx, at + 7), s,
                    int(levels.size()) - 1};
        levels.back().push_back(p);
        if (child == 0 && (p.Type == 0 || p.Type == 1)) child = U32(idx, at + 13 + size_t(v.KeyLength(idx, s)));
      }
      first = child;
    }
  }
  return v;
}

// Offsets of the record numbers of a leaf page's entries.
std::vector<size_t> LeafRefOffsets(const TBytes& idx, const TIndexView& v, const TPageInfo& page) {
  const int slot = page.Slot;
  const int length = v.KeyLength(idx, slot);
  const uint8_t compression = slot == 31 ? 0 : uint8_t(idx[14 + 120 * size_t(slot) + 36]);
  std::vector<size_t> refs;
  size_t at = page.Offset + 13;
  for (int i = 0; i < page.Count; ++i) {
    size_t size = size_t(length) + 4;
    if (compression == 1) size = size_t(length - U16(idx, at)) + 6;
    if (compression == 2) size = size_t(length - U16(idx, at)) + 6;
    if (compression == 3) size = size_t(length - uint8_t(idx[at]) - uint8_t(idx[at + 1])) + 6;
    refs.push_back(at + size - 4);
    at += size;
  }
  return refs;
}

struct TDataView {
  uint16_t FieldCount, RecordSize;
  int32_t Slots;
  size_t Area;  // offset of slot 1
  std::vector<uint8_t> Types;
  std::vector<uint16_t> Offsets;
  size_t Slot(int32_t n) const { return Area + size_t(RecordSize) * size_t(n - 1); }
};

TDataView ViewData(const TBytes& dat) {
  TDataView v;
  v.RecordSize = U16(dat, 21);
  v.FieldCount = U16(dat, 23);
  v.Slots = int32_t(U32(dat, 13)) - 1;
  v.Area = 127 + 768 * size_t(v.FieldCount);
  for (int k = 0; k < v.FieldCount; ++k) {
    v.Types.push_back(uint8_t(dat[127 + 768 * size_t(k) + 84]));
    v.Offsets.push_back(U16(dat, 127 + 768 * size_t(k) + 90));
  }
  return v;
}

std::vector<TDamageClass> DamageClasses(const TTable& table) {
  const TBytes& idx = table.Files.at(table.Idx);
  const TBytes& dat = table.Files.at(table.Dat);
  const TIndexView iv = ViewIndex(idx);
  const TDataView dv = ViewData(dat);
  const std::string I = table.Idx, D = table.Dat, B = table.Blb;
  std::vector<TDamageClass> classes;
  classes.reserve(32);  // the places are filled through references into it
  auto add = [&](const std::string& name, TKind kind) -> std::vector<TDamage>& {
    classes.push_back({name, kind, {}});
    return classes.back().Places;
  };
  auto set32 = [](const std::string& file, size_t at, uint32_t value) {
    return [=](std::map<std::string, TBytes>& f) { StoreU32(f.at(file).data() + at, value); };
  };
  auto set16 = [](const std::string& file, size_t at, uint16_t value) {
    return [=](std::map<std::string, TBytes>& f) { StoreU16(f.at(file).data() + at, value); };
  };
  auto set8 = [](const std::string& file, size_t at, uint8_t value) {
    return [=](std::map<std::string, TBytes>& f) { f.at(file)[at] = char(value); };
  };
  auto pageName = [](const TPageInfo& p) {
    return "slot " + std::to_string(p.Slot) + " level " + std::to_string(p.Level) + " page " +
           std::to_string(p.Offset);
  };

  // Page links, every page of every level of every index.
  auto& nextSelf = add("next link to the page itself", TKind::kIndexState);
  auto& nextEarlier = add("next link to an earlier page of the level", TKind::kIndexState);
  auto& nextZero = add("next link 0 before the end of the level", TKind::kIndexState);
  auto& priorSelf = add("prior link to the page itself", TKind::kIndexState);
  auto& priorLater = add("prior link to a later page of the level", TKind::kIndexState);
  auto& priorZero = add("prior link 0 after the start of the level", TKind::kIndexState);
  auto& countShort = add("page key count one short", TKind::kIndexState);
  for (const auto& [slot, levels] : iv.Levels) {
    for (const auto& level : levels) {
      for (size_t i = 0; i < level.size(); ++i) {
        const TPageInfo& p = level[i];
        const std::string where = pageName(p);
        nextSelf.push_back({where, set32(I, p.Offset + 7, p.Offset)});
        priorSelf.push_back({where, set32(I, p.Offset + 3, p.Offset)});
        if (i > 0) nextEarlier.push_back({where, set32(I, p.Offset + 7, level[i - 1].Offset)});
        if (i + 1 < level.size()) {
          nextZero.push_back({where, set32(I, p.Offset + 7, 0)});
          priorLater.push_back({where, set32(I, p.Offset + 3, level[i + 1].Offset)});
        }
        if (i > 0) priorZero.push_back({where, set32(I, p.Offset + 3, 0)});
        if (p.Count > 1) countShort.push_back({where, set16(I, p.Offset + 1, uint16_t(p.Count - 1))});
      }
    }
  }

  // Leaf entries, every entry of every leaf.
  auto& recZero = add("leaf entry naming record 0", TKind::kIndexState);
  auto& recPast = add("leaf entry naming a slot past the table", TKind::kIndexState);
  auto& recDeleted = add("leaf entry naming a deleted slot", TKind::kIndexState);
  std::vector<int32_t> deleted;
  for (int32_t n = 1; n <= dv.Slots; ++n)
    if (dat[dv.Slot(n)] == 1) deleted.push_back(n);
  for (const auto& [slot, levels] : iv.Levels) {
    for (const TPageInfo& leaf : levels.back()) {
      int entry = 0;
      for (size_t at : LeafRefOffsets(idx, iv, leaf)) {
        const std::string where = pageName(leaf) + " entry " + std::to_string(++entry);
        recZero.push_back({where, set32(I, at, 0)});
        recPast.push_back({where, set32(I, at, uint32_t(dv.Slots + 1 + entry % 3 * 1000))});
        // In "Sys Deleted" every slot has its entry, deleted ones too.
        if (!deleted.empty() && slot != 31)
          recDeleted.push_back({where, set32(I, at, uint32_t(deleted[size_t(entry) % deleted.size()]))});
      }
    }
  }

  // Index descriptors of every kept slot, and the index header.
  auto& idxDefs = add("index definition out of its limits", TKind::kIndexDefinition);
  auto& idxRefs = add("index root or free-list offset outside the file", TKind::kIndexState);
  for (int s : iv.Slots) {
    const size_t d = 14 + 120 * size_t(s);
    const std::string where = "slot " + std::to_string(s);
    const uint16_t length = U16(idx, d + 31);
    for (uint8_t v : {31, 200, 255}) idxDefs.push_back({where + " name length " + std::to_string(v), set8(I, d, v)});
    for (uint8_t v : {4, 7, 255}) idxDefs.push_back({where + " compression " + std::to_string(v), set8(I, d + 36, v)});
    for (uint16_t v : {uint16_t(0), uint16_t(length + 1), uint16_t(1037)})
      idxDefs.push_back({where + " key length " + std::to_string(v), set16(I, d + 31, v)});
    if (s != 31) {
      for (uint8_t v : {0, 17}) idxDefs.push_back({where + " field count " + std::to_string(v), set8(I, d + 37, v)});
      for (uint16_t v : {uint16_t(0), uint16_t(dv.FieldCount + 1)})
        idxDefs.push_back({where + " field number " + std::to_string(v), set16(I, d + 54, v)});
    }
    idxRefs.push_back({where + " root between pages", set32(I, d + 86, U32(idx, d + 86) + 100)});
    idxRefs.push_back({where + " root past the end", set32(I, d + 86, uint32_t(iv.EndOfFile) + 4096 * 50)});
    idxRefs.push_back({where + " free list between pages", set32(I, d + 90, 4096 + 7)});
  }
  auto& idxHeader = add("index header value out of its limits", TKind::kIndexState);
  idxHeader.push_back({"EndOfFile far past the end", set32(I, 9, uint32_t(iv.EndOfFile + 4096 * 100))});
  idxHeader.push_back({"EndOfFile between pages", set32(I, 9, uint32_t(iv.EndOfFile + 100))});
  idxHeader.push_back({"EndOfFile 0", set32(I, 9, 0)});
  const uint32_t live = U32(idx, 3974);
  idxHeader.push_back({"live count one more", set32(I, 3974, live + 1)});
  if (live > 0) idxHeader.push_back({"live count one short", set32(I, 3974, live - 1)});
  idxDefs.push_back({"secondary count 31", set8(I, 13, 31)});

  // Field descriptors of the data file, every field.
  auto& fieldDefs = add("field descriptor out of its limits", TKind::kData);
  for (int k = 0; k < dv.FieldCount; ++k) {
    const size_t d = 127 + 768 * size_t(k);
    const std::string where = "field " + std::to_string(k + 1);
    for (uint8_t v : {31, 255}) fieldDefs.push_back({where + " name length " + std::to_string(v), set8(D, d + 2, v)});
    for (size_t text : {size_t(94), size_t(145), size_t(196)})
      fieldDefs.push_back({where + " text length at " + std::to_string(text), set8(D, d + text, 51)});
    fieldDefs.push_back({where + " number", set16(D, d, uint16_t(k + 2))});
    for (uint8_t v : {0, 16, 200}) fieldDefs.push_back({where + " type " + std::to_string(v), set8(D, d + 84, v)});
    if (dv.Types[size_t(k)] == 1) fieldDefs.push_back({where + " size 255", set8(D, d + 86, 255)});
    fieldDefs.push_back({where + " offset", set16(D, d + 90, uint16_t(dv.Offsets[size_t(k)] + 1))});
    fieldDefs.push_back({where + " computed", set8(D, d + 247, 1)});
  }

  // Record status bytes, every slot.
  auto& status = add("record status byte the format does not define", TKind::kData);
  for (int32_t n = 1; n <= dv.Slots; ++n)
    status.push_back({"record " + std::to_string(n), set8(D, dv.Slot(n), uint8_t(n % 3 == 0 ? 2 : n % 3 == 1 ? 7 : 255))});

  // Blob references, every blob of every live record.
  if (!B.empty()) {
    auto& blobRefs = add("blob reference that cannot be followed", TKind::kData);
    const int32_t endOfBlocks = int32_t(U32(table.Files.at(B), 13));
    struct TRef {
      int32_t Record;
      int32_t Offset;  // the first block
      size_t At;       // where the reference is in the data file
    };
    std::vector<TRef> refs;
    for (int32_t n = 1; n <= dv.Slots; ++n) {
      if (dat[dv.Slot(n)] != 0) continue;
      for (int k = 0; k < dv.FieldCount; ++k) {
        if (dv.Types[size_t(k)] != 3) continue;
        const size_t at = dv.Slot(n) + dv.Offsets[size_t(k)];
        if (dat[at] == 1 && U32(dat, at + 1) != 0) refs.push_back({n, int32_t(U32(dat, at + 1)), at + 1});
      }
    }
    const TBytes& blb = table.Files.at(B);
    for (const TRef& ref : refs) {
      const std::string where = "record " + std::to_string(ref.Record) + " reference at " + std::to_string(ref.At);
      blobRefs.push_back({where + " beyond the file", set32(D, ref.At, uint32_t(endOfBlocks + 512 * 40))});
      blobRefs.push_back({where + " between blocks", set32(D, ref.At, uint32_t(ref.Offset + 100))});
      for (const TRef& other : refs) {
        if (other.Record != ref.Record) {
          blobRefs.push_back({where + " another record's blob", set32(D, ref.At, uint32_t(other.Offset))});
          break;
        }
      }
      for (const TRef& other : refs)
        if (other.Record == ref.Record && other.At != ref.At)
          blobRefs.push_back({where + " the record's other blob", set32(D, ref.At, uint32_t(other.Offset))});
      if (const uint32_t second = U32(blb, size_t(ref.Offset) + 4); second != 0)
        blobRefs.push_back({where + " the middle of its chain", set32(D, ref.At, second)});
    }
  }
  return classes;
}

// The places a run takes: every one with BORVINO_DAMAGE_ALL, else the
// first, the last and one in the middle.
std::vector<const TDamage*> Sample(const std::vector<TDamage>& places) {
  std::vector<const TDamage*> out;
  const char* all = std::getenv("BORVINO_DAMAGE_ALL");
  if (all && std::string(all) == "1") {
    for (const TDamage& d : places) out.push_back(&d);
    return out;
  }
  if (places.empty()) return out;
  for (size_t i : {size_t(0), places.size() / 2, places.size() - 1})
    if (std::find(out.begin(), out.end(), &places[i]) == out.end()) out.push_back(&places[i]);
  return out;
}

// ---------------------------------------------------------------- the test

class Damage : public ::testing::TestWithParam<std::string> {
 protected:
  static TTable TableOf(const std::string& name) {
    if (name == "people")
      return InteropTable("people", "people.DAT", "people.idx", "",
                          {"primary", "ByName", "ByBornDesc", "ByPhoneWeight", "ByLevelCode", "ByCitySeen",
                           "ByTagHits", "ByWeightDesc", "ByCityNotes", "ByNotesName"});
    if (name == "media") return InteropTable("media", "media.dat", "media.IDX", "media.Blb", {"primary", "ByTitle"});
    return GeneratedTable();
  }

  void Install(const TempDir& dir, const std::map<std::string, TBytes>& files) {
    for (const auto& entry : fs::directory_iterator(dir.Path())) fs::remove_all(entry.path());
    for (const auto& [name, bytes] : files) WriteFile(dir.Path() / name, bytes);
  }

  // What the directory holds besides the table's files (a failed export
  // must leave nothing behind).
  static std::vector<std::string> Strays(const TempDir& dir, const TTable& table) {
    std::vector<std::string> out;
    for (const auto& entry : fs::directory_iterator(dir.Path()))
      if (!table.Files.count(entry.path().filename().string())) out.push_back(entry.path().filename().string());
    return out;
  }

  // Each reading of a damaged copy: an error, or what the sound table gives.
  static void ExpectErrorOrTruth(const TReadings& truth, const TReadings& damaged, const std::string& where) {
    for (const auto& [reading, sound] : truth) {
      const TRun& got = damaged.at(reading);
      if (got.Code != 0) continue;
      EXPECT_EQ(got.Out, sound.Out) << where << ": " << reading << " succeeded with a different result";
    }
  }
};

TEST_P(Damage, EveryReaderFailsOrIsRightCheckFindsItRebuildMendsIndexDamage) {
  InitializeEngine();
  if (GetParam() != "gen") {
    ASSERT_TRUE(fs::exists(InteropDir() / "people.DAT")) << "no interop tables at " << InteropDir();
  }
  const TTable table = TableOf(GetParam());
  TempDir dir;
  const std::string dat = dir.File(table.Dat);
  Install(dir, table.Files);
  const TReadings truth = Read(dir, table);
  for (const auto& [reading, run] : truth) ASSERT_EQ(run.Code, 0) << reading << ": " << run.Err;
  ASSERT_EQ(Tool({"check", dat}).Code, 0);

  int cases = 0;
  const std::vector<TDamageClass> classes = DamageClasses(table);
  for (const TDamageClass& damage : classes) {
    for (const TDamage* place : Sample(damage.Places)) {
      ++cases;
      const std::string where = table.Name + ": " + damage.Name + ": " + place->Where;
      std::map<std::string, TBytes> files = table.Files;
      place->Apply(files);
      ASSERT_NE(files, table.Files) << where;
      Install(dir, files);

      const TReadings damaged = Read(dir, table);
      ExpectErrorOrTruth(truth, damaged, where);
      EXPECT_EQ(Strays(dir, table), std::vector<std::string>{}) << where;
      const TRun check = Tool({"check", dat});
      EXPECT_EQ(check.Code, 1) << where << ": check passed\n" << check.Out;

      if (damage.Kind == TKind::kData) continue;
      const TRun rebuild = Tool({"rebuild-indexes", dat});
      if (damage.Kind == TKind::kIndexDefinition) {
        EXPECT_EQ(rebuild.Code, 1) << where << ": rebuilt over a damaged definition";
        EXPECT_EQ(ReadFile(dir.Path() / table.Idx), files.at(table.Idx)) << where;
        EXPECT_EQ(Strays(dir, table), std::vector<std::string>{}) << where;
        continue;
      }
      ASSERT_EQ(rebuild.Code, 0) << where << ": " << rebuild.Err;
      const TRun recheck = Tool({"check", dat});
      EXPECT_EQ(recheck.Code, 0) << where << ": after the rebuild\n" << recheck.Out;
      // Everything reads as before; only the new index file's page count
      // (in info) may differ.
      const TReadings mended = Read(dir, table);
      for (const auto& [reading, sound] : truth) {
        const TRun& got = mended.at(reading);
        EXPECT_EQ(got.Code, 0) << where << ": " << reading << " after the rebuild: " << got.Err;
        EXPECT_EQ(WithoutIndexFileLine(got.Out), WithoutIndexFileLine(sound.Out))
            << where << ": " << reading << " after the rebuild";
      }
    }
  }
  EXPECT_GT(cases, 30);
  std::printf("%s: %d damaged copies of %zu kinds\n", table.Name.c_str(), cases, classes.size());
}

INSTANTIATE_TEST_SUITE_P(Tables, Damage, ::testing::Values("people", "media", "gen"));

}  // namespace
