// Table creation: the files it writes obey every rule of the layouts, and
// bad definitions are refused with their codes, leaving nothing behind.

#include <cstring>

#include "engine/blob_block.h"
#include "engine/index_format.h"
#include "tabula/locale.h"
#include "tests/engine/data_file_test_util.h"

using namespace tabula;
using namespace data_file_test;

namespace {

class TableCreatorTest : public EngineTest {
 protected:
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_.Path())) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
};

std::vector<TFieldDef> PeopleFields() {
  TFieldDef memo = Field("Notes", kFldBlob);
  memo.SubType = kSubMemo;
  TFieldDef name = Field("Name", kFldString, 40);
  name.Required = true;
  TFieldDef level = Field("Level", kFldInt16);
  level.MinValue = "-5";
  level.MaxValue = "300";
  level.DefaultValue = "1";
  return {AutoIncField("ID"), name, Field("City", kFldString, 200), Field("Born", kFldDate), level,
          Field("Balance", kFldBcd, 0, 2), memo, Field("Tag", kFldBytes, 6)};
}

TEST_F(TableCreatorTest, CreatedFilesFollowTheLayouts) {
  TIndexDef primary;
  primary.Primary = true;
  primary.Fields = {"City", "Name", "ID"};
  primary.Compression = 3;
  TIndexDef byName;
  byName.Name = "ByName";
  byName.Fields = {"Name"};
  byName.CaseInsensitive = true;
  byName.Compression = 1;
  TIndexDef byBorn;
  byBorn.Name = "ByBornDesc";
  byBorn.Fields = {"Born", "Level"};
  byBorn.Unique = true;
  byBorn.Descending = true;
  byBorn.FieldDescending = {false, true};
  TTableOptions options;
  options.BlobBlockSize = 1024;
  CreateTable(dir_.File("people"), PeopleFields(), {primary, byName, byBorn}, options);
  EXPECT_EQ(Entries(), (std::vector<std::string>{"people.BLB", "people.DAT", "people.IDX"}));

  // Data file: header and eight descriptors, no slots.
  const std::vector<uint8_t> dat = ReadAll(dir_.File("people.DAT"));
  ASSERT_EQ(dat.size(), kDataHeaderSize + 8 * kFieldDescSize);
  const TDataHeader h = TDataHeader::Unpack(dat.data());
  EXPECT_EQ(h.FormatVersion, 3);
  EXPECT_EQ(h.NextRecordNo, 1);
  EXPECT_EQ(h.FirstFreeRecord, 0u);
  EXPECT_EQ(h.LastRecordID, 0);
  EXPECT_EQ(h.FieldCount, 8);
  EXPECT_EQ(h.BlobFieldCount, 1);
  EXPECT_EQ(h.BlobBlockSize, 1024u);
  EXPECT_EQ(h.ComputedSize, 0);
  EXPECT_EQ(h.Encrypted, 0);
  EXPECT_EQ(h.LanguageId, 0);
  // Offsets: 9, then each stored field after the previous one's data; the
  // auto-increment field at 5 with no bytes of its own.
  const uint16_t expectOffsets[] = {5, 9, 51, 253, 258, 261, 270, 275};
  const uint8_t expectSizes[] = {4, 41, 201, 4, 2, 8, 4, 6};
  for (size_t k = 0; k < 8; ++k) {
    const TFieldDesc d = TFieldDesc::Unpack(dat.data() + kDataHeaderSize + kFieldDescSize * k);
    EXPECT_EQ(d.FieldNo, int(k + 1));
    EXPECT_EQ(d.Offset, expectOffsets[k]) << d.Name;
    EXPECT_EQ(d.DataSize, expectSizes[k]) << d.Name;
    EXPECT_EQ(d.Computed, 0);
  }
  EXPECT_EQ(h.RecordSize, 275 + 7);
  const TFieldDesc level = TFieldDesc::Unpack(dat.data() + kDataHeaderSize + kFieldDescSize * 4);
  EXPECT_EQ(level.MinValue, "-5");
  EXPECT_EQ(level.MaxValue, "300");
  EXPECT_EQ(level.DefaultValue, "1");
  EXPECT_EQ(TFieldDesc::Unpack(dat.data() + kDataHeaderSize + kFieldDescSize).Required, 1);

  // Index file: header page only, every tree empty, "Sys Deleted" in slot 31.
  const std::vector<uint8_t> idx = ReadAll(dir_.File("people.IDX"));
  ASSERT_EQ(idx.size(), size_t(kIndexHeaderSize));
  TIndexHeader ih;
  ih.Unpack(idx.data());
  EXPECT_EQ(ih.Version, 3);
  EXPECT_EQ(ih.EndOfFile, 4096);
  EXPECT_EQ(ih.SecondaryCount, 2);
  EXPECT_EQ(ih.LiveRecordCount, 0);
  EXPECT_EQ(ih.NoPrimaryIndex, 0);
  for (const auto& d : ih.Descriptors) {
    EXPECT_EQ(d.RootPage, 0u);
    EXPECT_EQ(d.FreePage, 0u);
  }
  const TIndexDescriptor& p = ih.Descriptors[0];
  EXPECT_EQ(p.Name, "");
  EXPECT_TRUE(p.Unique);
  EXPECT_EQ(p.FieldCount, 3);
  EXPECT_EQ(p.FieldNumbers[0], 3);
  EXPECT_EQ(p.FieldNumbers[1], 2);
  EXPECT_EQ(p.FieldNumbers[2], 1);
  EXPECT_EQ(p.KeyLength, 202 + 42 + 5);
  EXPECT_EQ(p.Compression, 3);
  const TIndexDescriptor& s1 = ih.Descriptors[1];
  EXPECT_EQ(s1.Name, "ByName");
  EXPECT_FALSE(s1.Unique);
  EXPECT_TRUE(s1.CaseInsensitive);
  EXPECT_EQ(s1.KeyLength, 42 + 4);  // non-unique: the 4-byte suffix
  const TIndexDescriptor& s2 = ih.Descriptors[2];
  EXPECT_TRUE(s2.Unique);
  EXPECT_TRUE(s2.Descending);
  EXPECT_EQ(s2.KeyLength, 5 + 3);
  EXPECT_EQ(s2.FieldDescending[0], 0);
  EXPECT_EQ(s2.FieldDescending[1], 1);
  const TIndexDescriptor& sys = ih.Descriptors[31];
  EXPECT_EQ(sys.Name, "Sys Deleted");
  EXPECT_EQ(sys.KeyLength, 5);
  EXPECT_EQ(sys.Compression, 0);
  for (size_t i = 3854; i < 3974; ++i) EXPECT_EQ(idx[i], 0) << i;

  // Blob file: the 512-byte header, blocks start at 512.
  const std::vector<uint8_t> blb = ReadAll(dir_.File("people.BLB"));
  ASSERT_EQ(blb.size(), size_t(kBlobHeaderSize));
  EXPECT_EQ(blb[kBhFormatVersion], 3);
  EXPECT_EQ(LoadU32(blb.data() + kBhFirstFreeBlock), 0u);
  EXPECT_EQ(LoadI32(blb.data() + kBhEndOfBlocks), 512);

  // And the engine opens it.
  TDataFile table;
  table.SetFileName(dir_.File("people"));
  table.Open();
  EXPECT_EQ(table.FieldCount(), 8);
  EXPECT_EQ(table.NextRecordNo(), 1);
  EXPECT_EQ(table.IndexFile().Header().SecondaryCount, 2);
}

TEST_F(TableCreatorTest, TableWithoutIndexesUsesPhysicalOrderAndNoBlobFile) {
  CreateTable(dir_.File("plain.dat"), {Field("A", kFldInt32)}, {});
  EXPECT_EQ(Entries(), (std::vector<std::string>{"plain.IDX", "plain.dat"}));
  TIndexHeader ih;
  ih.Unpack(ReadAll(dir_.File("plain.IDX")).data());
  EXPECT_EQ(ih.NoPrimaryIndex, 1);
  EXPECT_EQ(ih.SecondaryCount, 0);
  TDataFile table;
  table.SetFileName(dir_.File("plain.dat"));
  table.Open();
  EXPECT_EQ(table.StoredRecordSize(), 9 + 5);
}

TEST_F(TableCreatorTest, BadDefinitionsAreRefusedWithTheirCodes) {
  auto withField = [](TFieldDef f) { return std::vector<TFieldDef>{Field("Ok", kFldInt32), f}; };
  auto withDefault = [](uint8_t type, const std::string& text, uint8_t size = 0) {
    TFieldDef f = Field("F", type, size);
    f.DefaultValue = text;
    return std::vector<TFieldDef>{f};
  };
  TFieldDef second = Field("OK", kFldInt16);  // same name, other case
  TFieldDef numbered = Field("N", kFldInt16);
  numbered.FieldNo = 1;  // the first field already has number 1
  TFieldDef minTooBig = Field("S", kFldInt16);
  minTooBig.MinValue = "32768";
  TFieldDef longText = Field("T", kFldString, 100);
  longText.DefaultValue = std::string(51, 'x');
  struct Case {
    const char* what;
    std::vector<TFieldDef> fields;
    int code;
  };
  const std::vector<Case> cases = {
      {"blank name", withField(Field("   ", kFldInt32)), kErrFieldName},
      {"name starting with a digit", withField(Field("1st", kFldInt32)), kErrFieldName},
      {"duplicate name in another case", withField(second), kErrFieldName},
      {"duplicate field number", withField(numbered), kErrFieldDefinition},
      {"type none", withField(Field("X", kFldNone)), kErrFieldDefinition},
      {"unknown type", withField(Field("X", 16)), kErrFieldDefinition},
      {"string longer than 250", withField(Field("X", kFldString, 251)), kErrFieldDefinition},
      {"two auto-increment fields", {AutoIncField("A"), AutoIncField("B")}, kErrFieldDefinition},
      {"no fields", {}, kErrFieldDefinition},
      {"integer default not a number", withDefault(kFldInt32, "abc"), kErrValidityCheck},
      {"16-bit minimum out of range", withField(minTooBig), kErrValidityCheck},
      {"16-bit unsigned default -1", withDefault(kFldUInt16, "-1"), kErrValidityCheck},
      {"boolean default yes", withDefault(kFldBoolean, "yes"), kErrValidityCheck},
      {"date default not a date", withDefault(kFldDate, "31.12.2000"), kErrValidityCheck},
      {"text longer than 50", {longText}, kErrValidityCheck},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EngineCode([&] { CreateTable(dir_.File("bad.DAT"), c.fields, {}); }), c.code) << c.what;
  }
  EXPECT_TRUE(Entries().empty());
  // Accepted forms of the same kinds.
  EXPECT_EQ(EngineCode([&] { CreateTable(dir_.File("ok.DAT"), withDefault(kFldUInt16, "65535"), {}); }), 0);
  EXPECT_EQ(EngineCode([&] { CreateTable(dir_.File("ok2.DAT"), withDefault(kFldDate, "DaTe"), {}); }), 0);
}

TEST_F(TableCreatorTest, CheckFieldDefsNormalisesWhatItKeeps) {
  TFieldDef padded = Field("  " + std::string(35, 'N') + "  ", kFldInt16, 7, 3);
  TFieldDef bcd = Field("Money", kFldBcd, 9, 4);
  const std::vector<TFieldDesc> d = CheckFieldDefs({padded, bcd}, 0, 0, true);
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(d[0].Name, std::string(30, 'N'));  // trimmed, cut to 30
  EXPECT_EQ(d[0].Size, 0);                     // size only for strings and bytes
  EXPECT_EQ(d[0].Scale, 0);                    // scale only for BCD
  EXPECT_EQ(d[1].Scale, 4);
  EXPECT_EQ(d[1].DataScale, 4);
  EXPECT_EQ(d[1].DataSize, 8);
  EXPECT_EQ(d[1].Offset, 9 + 3);
}

TEST_F(TableCreatorTest, BadIndexesAreRefusedWithTheirCodes) {
  const std::vector<TFieldDef> fields = {AutoIncField("ID"), Field("A", kFldString, 250), Field("B", kFldString, 250),
                                         Field("C", kFldString, 250), Field("D", kFldString, 250),
                                         Field("E", kFldString, 250), Field("M", kFldBlob)};
  auto index = [](const std::string& name, std::vector<std::string> keyFields, bool primary = false) {
    TIndexDef d;
    d.Name = name;
    d.Fields = std::move(keyFields);
    d.Primary = primary;
    return d;
  };
  TIndexDef compression = index("Z", {"A"});
  compression.Compression = 4;
  std::vector<TIndexDef> tooMany;
  for (int i = 0; i < 31; ++i) tooMany.push_back(index("I" + std::to_string(i), {"ID"}));
  struct Case {
    const char* what;
    std::vector<TIndexDef> indexes;
    int code;
  };
  const std::vector<Case> cases = {
      {"two primaries", {index("", {"ID"}, true), index("", {"A"}, true)}, kErrPrimaryExists},
      {"secondary without a name", {index("  ", {"A"})}, kErrIndexNameMissing},
      {"name too long", {index(std::string(31, 'x'), {"A"})}, kErrInvalidIndexName},
      {"duplicate names", {index("ByA", {"A"}), index("bya", {"B"})}, kErrIndexExists},
      {"unknown key field", {index("X", {"Nope"})}, kErrIndexFieldNumber},
      {"no key fields", {index("X", {})}, kErrIndexFieldNumber},
      {"blob key field", {index("X", {"M"})}, kErrIndexFieldType},
      {"17 key fields", {index("X", std::vector<std::string>(17, "ID"))}, kErrIndexLimits},
      {"31 secondaries", tooMany, kErrIndexLimits},
      {"compression 4", {compression}, kErrIndexLimits},
      // Five 250-character strings: 5 * 252 bytes, beyond the 1036-byte key buffer.
      {"key longer than the key buffer", {index("X", {"A", "B", "C", "D", "E"})}, kErrKeySize},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EngineCode([&] { CreateTable(dir_.File("bad.DAT"), fields, c.indexes); }), c.code) << c.what;
  }
  EXPECT_TRUE(Entries().empty());
  // Four of them fit (1008 bytes), with the suffix too (1012).
  EXPECT_EQ(EngineCode([&] { CreateTable(dir_.File("ok.DAT"), fields, {index("X", {"A", "B", "C", "D"})}); }), 0);
}

TEST_F(TableCreatorTest, OptionsAndExistingFiles) {
  TTableOptions badBlock;
  badBlock.BlobBlockSize = 700;
  EXPECT_EQ(EngineCode([&] { CreateTable(dir_.File("b.DAT"), {Field("M", kFldBlob)}, {}, badBlock); }),
            kErrBlobFieldsOrBlockSize);
  TTableOptions noLocale;
  noLocale.LanguageId = 0x7F7F;
  ASSERT_FALSE(IsLocaleInstalled(noLocale.LanguageId, 0));
  EXPECT_EQ(EngineCode([&] { CreateTable(dir_.File("l.DAT"), {Field("S", kFldString, 5)}, {}, noLocale); }),
            kErrLanguageDriver);
  TTableOptions russian;
  russian.LanguageId = 0x0419;
  CreateTable(dir_.File("ru.DAT"), {Field("S", kFldString, 5)}, {}, russian);
  EXPECT_EQ(TDataHeader::Unpack(ReadAll(dir_.File("ru.DAT")).data()).LanguageId, 0x0419);

  // An existing table is replaced only when asked; a blob file the new
  // table does not have goes with it.
  CreateTable(dir_.File("t.DAT"), {Field("M", kFldBlob)}, {});
  EXPECT_EQ(EngineCode([&] { CreateTable(dir_.File("t.DAT"), {Field("A", kFldInt32)}, {}); }), kErrAccessDenied);
  TTableOptions overwrite;
  overwrite.Overwrite = true;
  CreateTable(dir_.File("t.DAT"), {Field("A", kFldInt32), Field("B", kFldInt32)}, {}, overwrite);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("t.BLB")));
  EXPECT_EQ(TDataHeader::Unpack(ReadAll(dir_.File("t.DAT")).data()).FieldCount, 2);
  // No temporary file is left anywhere.
  for (const std::string& name : Entries()) EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
}

}  // namespace
