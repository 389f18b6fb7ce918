// The demo-directory generator: the three tables it writes are sound by the
// tool's full check (which runs the engine's index and blob checkers), have
// the fields and indexes the directory application opens them with, hold
// believable and consistent records, decodable banner pictures, are the
// same bytes for the same seed, and are placed without harming what is in
// the directory. The phonedir-demo program is run as a child process.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "tabula/data_header.h"
#include "tabula/field_types.h"
#include "tabula/locale.h"
#include "tests/support/child_process.h"
#include "tests/support/directory/directory_rows.h"
#include "tests/support/temp_dir.h"
#include "tools/demo/demo_directory.h"
#include "tools/tabula/table_checker.h"
#include "tools/tabula/table_reader.h"
#include "widgets/gif_image.h"

namespace fs = std::filesystem;
using tabula::Utf8ToCp1251;
using testing_support::TempDir;

namespace {

constexpr int64_t kSubscribers = 3000;
constexpr uint64_t kSeed = 7;

// A table's records in the order of an index ("" physical), each field as
// text ("" for NULL), blobs as their bytes.
using TRow = std::vector<std::string>;
std::vector<TRow> ReadRows(const std::string& path, const std::string& index = {}) {
  return testing_support::ReadTableRows(path, index).Rows;
}

std::string ReadFile(const fs::path& name) {
  std::ifstream in(name, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The file names in a directory, sorted.
std::vector<std::string> Listing(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

const std::vector<std::string> kTableFiles = {"banners.BLB", "banners.DAT", "banners.IDX", "base2.DAT",
                                              "base2.IDX",   "street.DAT",  "street.IDX"};

bool IsUpperLetter(uint8_t c) { return (c >= 0xC0 && c <= 0xDF) || c == 0xA8; }

// "ФАМИЛИЯ И.О.": upper-case Cyrillic (a hyphen allowed), a blank, two initials.
bool IsPersonName(const std::string& name) {
  const size_t blank = name.find(' ');
  if (blank == std::string::npos || blank == 0 || name.size() != blank + 5) return false;
  for (size_t i = 0; i < blank; ++i)
    if (!IsUpperLetter(uint8_t(name[i])) && name[i] != '-') return false;
  return IsUpperLetter(uint8_t(name[blank + 1])) && name[blank + 2] == '.' && IsUpperLetter(uint8_t(name[blank + 3])) &&
         name[blank + 4] == '.';
}

bool AllDigits(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

class DemoDirectoryTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    demo::TDemoOptions options;
    options.Directory = dir_->Path().string();
    options.Subscribers = kSubscribers;
    options.Seed = kSeed;
    options.Progress = [](const demo::TDemoProgress& p) { progress_[p.Table].push_back(p.Done); };
    demo::MakeDemoDirectory(options);
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::string Table(const char* name) { return dir_->File(name); }

  static TempDir* dir_;
  static std::map<std::string, std::vector<int64_t>> progress_;
};

TempDir* DemoDirectoryTest::dir_ = nullptr;
std::map<std::string, std::vector<int64_t>> DemoDirectoryTest::progress_;

TEST_F(DemoDirectoryTest, WritesThreeSoundTablesAndNothingElse) {
  EXPECT_EQ(Listing(dir_->Path()), kTableFiles);
  const std::pair<const char*, int32_t> tables[] = {
      {demo::kSubscriberTable, kSubscribers}, {demo::kStreetTable, 800}, {demo::kBannerTable, 4}};
  for (const auto& [name, rows] : tables) {
    const tabula::tool::TCheckReport report = tabula::tool::CheckTable(Table(name));
    EXPECT_TRUE(report.Faults.empty()) << name << ": " << report.Faults.front();
    EXPECT_EQ(report.LiveRecords, rows) << name;
    EXPECT_EQ(report.Slots, rows) << name;
    // Progress ends with the whole count.
    ASSERT_FALSE(progress_[name].empty()) << name;
    EXPECT_EQ(progress_[name].back(), rows) << name;
    EXPECT_TRUE(std::is_sorted(progress_[name].begin(), progress_[name].end())) << name;
  }
  EXPECT_EQ(tabula::tool::CheckTable(Table(demo::kBannerTable)).BlobsChecked, 4);
}

TEST_F(DemoDirectoryTest, TablesHaveTheFieldsAndIndexesTheApplicationOpens) {
  struct TField {
    const char* Name;
    uint8_t Type, SubType, Size;
  };
  struct TIndex {
    const char* Name;  // "" for the primary index
    std::vector<const char*> Fields;
    bool CaseInsensitive;
  };
  struct TTable {
    const char* File;
    std::vector<TField> Fields;
    std::vector<TIndex> Indexes;
  };
  const TTable tables[] = {
      {demo::kSubscriberTable,
       {{"Numtel", tabula::kFldString, 0, 7},
        {"Name", tabula::kFldString, 0, 120},
        {"kodul", tabula::kFldString, 0, 6},
        {"dom", tabula::kFldString, 0, 5},
        {"korp", tabula::kFldString, 0, 5},
        {"id", tabula::kFldInt32, tabula::kSubAutoInc, 0}},
       {{"", {"id"}, false}, {"Numtel", {"Numtel"}, false}, {"Address", {"kodul", "dom", "korp"}, false},
        {"Name", {"Name"}, true}}},
      {demo::kStreetTable,
       {{"RecordID", tabula::kFldInt32, tabula::kSubAutoInc, 0},
        {"KODUL", tabula::kFldString, 0, 5},
        {"NAME", tabula::kFldString, 0, 40}},
       {{"", {"RecordID"}, false}, {"indkodul", {"KODUL"}, false}}},
      {demo::kBannerTable,
       {{"Picture", tabula::kFldBlob, tabula::kSubGraphic, 0},
        {"Text", tabula::kFldBlob, tabula::kSubMemo, 0},
        {"Id", tabula::kFldInt32, tabula::kSubAutoInc, 0}},
       {{"", {"Id"}, false}}},
  };
  for (const TTable& t : tables) {
    tabula::tool::TTableReader reader(Table(t.File));
    tabula::TDataFile& data = reader.Data();
    EXPECT_EQ(data.Header().LanguageId, 0x0419) << t.File;
    ASSERT_EQ(reader.Fields().size(), t.Fields.size()) << t.File;
    for (size_t i = 0; i < t.Fields.size(); ++i) {
      const tabula::TFieldDesc& f = reader.Fields()[i];
      EXPECT_EQ(f.Name, t.Fields[i].Name) << t.File;
      EXPECT_EQ(f.FieldType, t.Fields[i].Type) << t.File << " " << f.Name;
      EXPECT_EQ(f.SubType, t.Fields[i].SubType) << t.File << " " << f.Name;
      EXPECT_EQ(f.Size, t.Fields[i].Size) << t.File << " " << f.Name;
    }
    ASSERT_EQ(data.IndexCount(), int(t.Indexes.size())) << t.File;
    for (size_t slot = 0; slot < t.Indexes.size(); ++slot) {
      const tabula::TIndexDescriptor d = data.GetIndexDesc(uint8_t(slot));
      const TIndex& want = t.Indexes[slot];
      EXPECT_EQ(d.Name, want.Name) << t.File;
      EXPECT_EQ(d.CaseInsensitive, want.CaseInsensitive) << t.File << " " << want.Name;
      EXPECT_FALSE(d.Descending) << t.File << " " << want.Name;
      ASSERT_EQ(d.FieldCount, want.Fields.size()) << t.File << " " << want.Name;
      for (size_t k = 0; k < want.Fields.size(); ++k)
        EXPECT_EQ(reader.Fields()[d.FieldNumbers[k] - 1u].Name, want.Fields[k]) << t.File << " " << want.Name;
    }
  }
}

TEST_F(DemoDirectoryTest, StreetsAreUpperCaseUniqueAndCodedInLoadOrder) {
  const std::vector<TRow> streets = ReadRows(Table(demo::kStreetTable), "primary");
  ASSERT_EQ(streets.size(), 800u);
  std::set<std::string> names;
  for (size_t i = 0; i < streets.size(); ++i) {
    const std::string& code = streets[i][1];
    const std::string& name = streets[i][2];
    EXPECT_EQ(streets[i][0], std::to_string(i + 1));
    EXPECT_TRUE(AllDigits(code) && code.size() == 5) << code;
    if (i > 0) {
      EXPECT_LT(streets[i - 1][1], code) << "codes follow the load order";
    }
    EXPECT_FALSE(name.empty());
    EXPECT_LE(name.size(), 40u);
    EXPECT_EQ(tabula::UpperText(0x0419, 0, name), name) << tabula::Cp1251ToUtf8(name);
    EXPECT_TRUE(names.insert(name).second) << "twice: " << tabula::Cp1251ToUtf8(name);
  }
  // The application's own examples are there.
  EXPECT_TRUE(names.count(Utf8ToCp1251("УЛ. ЛЕНИНА")));
  EXPECT_TRUE(names.count(Utf8ToCp1251("УЛ. ГАГАРИНА")));
}

TEST_F(DemoDirectoryTest, SubscribersAreBelievableAndConsistent) {
  std::set<std::string> codes;
  for (const TRow& s : ReadRows(Table(demo::kStreetTable))) codes.insert(s[1]);
  const std::vector<TRow> subscribers = ReadRows(Table(demo::kSubscriberTable), "primary");
  ASSERT_EQ(subscribers.size(), size_t(kSubscribers));
  std::set<std::string> numbers, kinds;
  int people = 0, latin = 0, missingStreet = 0, buildings = 0;
  for (size_t i = 0; i < subscribers.size(); ++i) {
    const TRow& s = subscribers[i];
    const std::string &numtel = s[0], &name = s[1], &kodul = s[2], &dom = s[3], &korp = s[4];
    EXPECT_EQ(s[5], std::to_string(i + 1));
    EXPECT_TRUE(AllDigits(numtel) && numtel.size() == 6 && numtel[0] >= '2') << numtel;
    EXPECT_TRUE(numbers.insert(numtel).second) << "number given twice: " << numtel;
    ASSERT_FALSE(name.empty());
    if (IsPersonName(name)) ++people;
    if (std::any_of(name.begin(), name.end(), [](char c) { return c >= 'A' && c <= 'Z'; })) ++latin;
    if (name.find('"') != std::string::npos) kinds.insert(name.substr(0, name.find(' ')));
    EXPECT_EQ(kodul.size(), 5u);
    if (!codes.count(kodul)) ++missingStreet;
    // The address search converts the typed house to a number: no leading zero.
    EXPECT_TRUE(AllDigits(dom) && dom[0] != '0') << dom;
    if (!korp.empty()) {
      ++buildings;
      EXPECT_TRUE(AllDigits(korp)) << korp;
    }
  }
  EXPECT_GT(people, kSubscribers * 70 / 100);
  EXPECT_LT(people, kSubscribers * 95 / 100);
  EXPECT_GT(latin, 0);
  EXPECT_GT(buildings, 0);
  // A few addresses name a street the list lacks; nearly all name one it has.
  EXPECT_GT(missingStreet, 0);
  EXPECT_LT(missingStreet, kSubscribers / 100);
  for (const char* kind : {"ООО", "ЗАО", "МУП"}) EXPECT_TRUE(kinds.count(Utf8ToCp1251(kind))) << kind;
}

TEST_F(DemoDirectoryTest, BannersAreTwoAnimatedPicturesAndTwoTexts) {
  const std::vector<TRow> banners = ReadRows(Table(demo::kBannerTable), "primary");
  ASSERT_EQ(banners.size(), 4u);
  for (size_t i = 0; i < banners.size(); ++i) {
    const std::string &picture = banners[i][0], &text = banners[i][1];
    if (i % 2 == 0) {
      EXPECT_TRUE(text.empty());
      // The strip once copied pictures through a 50000-byte buffer; these fit it.
      EXPECT_LE(picture.size(), 50000u);
      widgets::TGIFImage image;
      image.LoadGifData(picture);
      EXPECT_EQ(image.ScreenWidth(), 468);
      EXPECT_EQ(image.ScreenHeight(), 60);
      EXPECT_TRUE(image.Looping());
      ASSERT_GE(image.FrameCount(), 10) << "banner " << i;
      EXPECT_EQ(image.FrameWidth(), 468);
      EXPECT_EQ(image.FrameHeight(), 60);
      int totalDelay = 0;
      for (int f = 0; f < image.FrameCount(); ++f) {
        EXPECT_FALSE(image.FrameBitmap(f).isNull()) << "banner " << i << " frame " << f;
        EXPECT_FALSE(image.Frame(f).IsCorrupt) << "banner " << i << " frame " << f;
        const QRect r(image.Frame(f).Origin, image.FrameBitmap(f).size());
        EXPECT_TRUE(QRect(0, 0, 468, 60).contains(r)) << "banner " << i << " frame " << f;
        totalDelay += image.Frame(f).DelayMs;
      }
      EXPECT_GE(totalDelay, 1000) << "banner " << i;
    } else {
      EXPECT_TRUE(picture.empty());
      // Lines ending in CR LF, none empty (an empty line would end the banner).
      ASSERT_GE(text.size(), 2u);
      EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
      int lines = 0;
      for (size_t pos = 0; pos < text.size(); ++lines) {
        const size_t end = text.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos);
        EXPECT_GT(end, pos) << "empty line in banner " << i;
        EXPECT_EQ(text.find('\n', pos), end + 1) << "a bare line feed in banner " << i;
        pos = end + 2;
      }
      EXPECT_GE(lines, 2);
    }
  }
}

// The bytes of the table files, with the data file's "last written" stamp
// (header bytes 27..34) cleared: the only thing that depends on the clock.
std::map<std::string, std::string> FileBytes(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const std::string& name : Listing(dir)) {
    std::string bytes = ReadFile(dir / name);
    if (name.size() > 4 && name.substr(name.size() - 4) == ".DAT" && bytes.size() >= tabula::kDataHeaderSize)
      std::fill_n(bytes.begin() + tabula::kDhLastUpdated, 8, '\0');
    files[name] = std::move(bytes);
  }
  return files;
}

TEST_F(DemoDirectoryTest, SameSeedSameBytesOtherSeedOtherRecords) {
  TempDir again, other;
  demo::TDemoOptions options;
  options.Directory = again.Path().string();
  options.Subscribers = kSubscribers;
  options.Seed = kSeed;
  demo::MakeDemoDirectory(options);
  const auto first = FileBytes(dir_->Path()), second = FileBytes(again.Path());
  ASSERT_EQ(first.size(), kTableFiles.size());
  for (const auto& [name, bytes] : first) EXPECT_TRUE(bytes == second.at(name)) << name << " differs";

  options.Directory = other.Path().string();
  options.Seed = kSeed + 1;
  demo::MakeDemoDirectory(options);
  EXPECT_NE(ReadRows(Table(demo::kSubscriberTable)), ReadRows(other.File(demo::kSubscriberTable)));
  EXPECT_NE(ReadRows(Table(demo::kStreetTable)), ReadRows(other.File(demo::kStreetTable)));
  // The banners do not depend on the seed.
  EXPECT_EQ(ReadRows(Table(demo::kBannerTable)), ReadRows(other.File(demo::kBannerTable)));
}

TEST(DemoDirectoryPlacementTest, RefusesBadRequestsAndLeavesOtherFilesAlone) {
  TempDir dir;
  const std::string dirName = dir.Path().string();
  {
    std::ofstream(dir.File("BASE2.DAT")) << "old table";
    std::ofstream(dir.File("base2.idx")) << "old index";
    std::ofstream(dir.File("notes.txt")) << "keep me";
  }
  struct TCase {
    const char* What;
    std::string Directory;
    int64_t Subscribers;
    int Streets;
    const char* Says;
  } cases[] = {
      {"no directory", "", 10, 800, "no directory"},
      {"negative count", dirName, -1, 800, "subscribers must lie between"},
      {"too many subscribers", dirName, demo::kMaxSubscribers + 1, 800, "subscribers must lie between"},
      {"more streets than the city has names for", dirName, 10, 100000, "streets"},
      {"a table in the way (in another letter case)", dirName, 10, 800, "already holds BASE2.DAT"},
  };
  for (const TCase& c : cases) {
    demo::TDemoOptions options;
    options.Directory = c.Directory;
    options.Subscribers = c.Subscribers;
    options.Streets = c.Streets;
    try {
      demo::MakeDemoDirectory(options);
      ADD_FAILURE() << c.What << ": accepted";
    } catch (const demo::EDemoError& e) {
      EXPECT_NE(std::string(e.what()).find(c.Says), std::string::npos) << c.What << ": " << e.what();
    }
    EXPECT_EQ(Listing(dir.Path()), (std::vector<std::string>{"BASE2.DAT", "base2.idx", "notes.txt"})) << c.What;
  }
  EXPECT_EQ(ReadFile(dir.Path() / "BASE2.DAT"), "old table");

  // A failure half-way (here from the progress callback) removes what was
  // staged and keeps the old tables.
  demo::TDemoOptions options;
  options.Directory = dirName;
  options.Subscribers = 10000;
  options.Overwrite = true;
  options.Progress = [](const demo::TDemoProgress& p) {
    if (p.Table == demo::kSubscriberTable) throw std::runtime_error("stop");
  };
  EXPECT_THROW(demo::MakeDemoDirectory(options), std::runtime_error);
  EXPECT_EQ(Listing(dir.Path()), (std::vector<std::string>{"BASE2.DAT", "base2.idx", "notes.txt"}));

  // Replacing: the old files go in whatever letter case they had.
  options.Subscribers = 100;
  options.Progress = nullptr;
  demo::MakeDemoDirectory(options);
  std::vector<std::string> expected = kTableFiles;
  expected.push_back("notes.txt");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Listing(dir.Path()), expected);
  EXPECT_EQ(ReadFile(dir.Path() / "notes.txt"), "keep me");
  EXPECT_TRUE(tabula::tool::CheckTable(dir.File(demo::kSubscriberTable)).Faults.empty());
}

// The program, with its error stream merged into the output.
testing_support::ChildResult Program(const std::vector<std::string>& args) {
  std::vector<std::string> all = {"-c", "exec \"$0\" \"$@\" 2>&1", PHONEDIR_DEMO_PATH};
  all.insert(all.end(), args.begin(), args.end());
  return testing_support::RunChild("/bin/sh", all);
}

TEST(PhonedirDemoProgramTest, WritesTheDirectoryItIsAskedFor) {
  TempDir dir, reference;
  const std::string target = (dir.Path() / "new" / "dir").string();
  const struct {
    std::vector<std::string> Args;
    int Exit;
    const char* Says;
  } runs[] = {
      {{}, 2, "no directory given"},
      {{target, "--subscribers", "12x"}, 2, "--subscribers wants a whole number"},
      {{target, "--subscribers=-5"}, 2, "--subscribers wants a whole number"},
      {{target, "--colour"}, 2, "unknown option --colour"},
      {{target, "--subscribers=500", "--seed", "3", "--quiet"}, 0, ""},
      {{target, "--subscribers", "500"}, 1, "replacing it must be asked for"},
      {{target, "--subscribers", "500", "--seed=3", "--force"}, 0, "demo directory written to"},
  };
  for (const auto& run : runs) {
    const testing_support::ChildResult r = Program(run.Args);
    EXPECT_EQ(r.ExitCode, run.Exit) << r.Output;
    EXPECT_NE(r.Output.find(run.Says), std::string::npos) << r.Output;
  }
  // The program passes count and seed through: the library gives the same tables.
  demo::TDemoOptions options;
  options.Directory = reference.Path().string();
  options.Subscribers = 500;
  options.Seed = 3;
  demo::MakeDemoDirectory(options);
  const auto made = FileBytes(target), expected = FileBytes(reference.Path());
  ASSERT_EQ(made.size(), expected.size());
  for (const auto& [name, bytes] : expected) EXPECT_TRUE(bytes == made.at(name)) << name << " differs";
}

}  // namespace
