#include "tools/demo/demo_directory.h"

#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <vector>

#include "tabula/blob_modes.h"
#include "tabula/bulk_loader.h"
#include "tabula/data_file.h"
#include "tabula/engine_error.h"
#include "tabula/field_types.h"
#include "tabula/locale.h"
#include "tabula/table_creator.h"
#include "tools/demo/demo_banners.h"
#include "tools/demo/demo_city.h"

namespace demo {

namespace fs = std::filesystem;
using tabula::TDataFile;
using tabula::TFieldDef;
using tabula::TIndexDef;

namespace {

constexpr uint16_t kRussian = 0x0419;
// Rows between progress reports.
constexpr int64_t kProgressStep = 4096;

// Field numbers, in the order the tables are created below.
enum { kNumtel = 1, kName, kKodul, kDom, kKorp };
enum { kStreetKodul = 2, kStreetName };
enum { kBannerPicture = 1, kBannerText };

TFieldDef StringField(const char* name, uint8_t size) {
  TFieldDef f;
  f.Name = name;
  f.FieldType = tabula::kFldString;
  f.Size = size;
  return f;
}

TFieldDef AutoIncField(const char* name) {
  TFieldDef f;
  f.Name = name;
  f.AutoIncrement = true;
  return f;
}

TFieldDef BlobField(const char* name, uint8_t subType) {
  TFieldDef f;
  f.Name = name;
  f.FieldType = tabula::kFldBlob;
  f.SubType = subType;
  return f;
}

// Leaves are not compressed: a compressed leaf is decoded entry by entry on
// every load and re-measured on every insert. Compressing the name index
// would save a third of the files' size (1,000,000 subscribers: 311 MB
// instead of 477 MB) for a fifth more time writing and slower reads.
TIndexDef Index(const char* name, std::vector<std::string> fields, bool primary, bool caseInsensitive = false) {
  TIndexDef d;
  d.Name = name;
  d.Fields = std::move(fields);
  d.Primary = primary;
  d.CaseInsensitive = caseInsensitive;
  return d;
}

void CreateSubscriberTable(const std::string& path) {
  tabula::TTableOptions options;
  options.LanguageId = kRussian;
  tabula::CreateTable(path,
                      {StringField("Numtel", 7), StringField("Name", 120), StringField("kodul", 6),
                       StringField("dom", 5), StringField("korp", 5), AutoIncField("id")},
                      {Index("", {"id"}, true), Index("Numtel", {"Numtel"}, false),
                       Index("Address", {"kodul", "dom", "korp"}, false), Index("Name", {"Name"}, false, true)},
                      options);
}

void CreateStreetTable(const std::string& path) {
  tabula::TTableOptions options;
  options.LanguageId = kRussian;
  tabula::CreateTable(path, {AutoIncField("RecordID"), StringField("KODUL", 5), StringField("NAME", 40)},
                      {Index("", {"RecordID"}, true), Index("indkodul", {"KODUL"}, false)}, options);
}

void CreateBannerTable(const std::string& path) {
  tabula::TTableOptions options;
  options.LanguageId = kRussian;
  tabula::CreateTable(path,
                      {BlobField("Picture", tabula::kSubGraphic), BlobField("Text", tabula::kSubMemo),
                       AutoIncField("Id")},
                      {Index("", {"Id"}, true)}, options);
}

// A freshly created table, filled through the bulk loader: the rows go to
// an exclusive copy that keeps no index, so no lock is taken per record and
// the engine's caches write out what they evict; the indexes are built from
// sorted keys at the end. Memory stays bounded however many rows go in.
class TTableWriter {
 public:
  explicit TTableWriter(const std::string& path) : loader_(path), data_(loader_.Table()) {
    record_.resize(size_t(data_.RecordSize()));
  }
  TTableWriter(const TTableWriter&) = delete;
  TTableWriter& operator=(const TTableWriter&) = delete;

  void NewRecord() {
    data_.InitRecord(record_.data());
    blobs_.clear();
  }
  void SetText(int fieldNo, const std::string& text) {
    const tabula::TFieldDesc d = data_.GetFieldDesc(tabula::TDescSet::kWorking, fieldNo);
    if (text.size() >= size_t(d.DataSize))
      throw EDemoError("'" + tabula::Cp1251ToUtf8(text) + "' does not fit field " + d.Name + " of " +
                       loader_.FileName());
    uint8_t value[256] = {};
    std::memcpy(value, text.data(), text.size());
    data_.SetField(tabula::TDescSet::kWorking, fieldNo, value, false, record_.data());
  }
  // Empty bytes leave the field NULL.
  void SetBlob(int fieldNo, const std::string& bytes) {
    if (!bytes.empty()) blobs_.emplace_back(fieldNo, &bytes);
  }
  void Append() {
    for (const auto& [fieldNo, bytes] : blobs_) {
      int code = data_.OpenBlob(fieldNo, record_.data(), tabula::kBlobModeWrite);
      if (code == tabula::kResultOk)
        code = data_.WriteBlob(fieldNo, record_.data(), 0, int32_t(bytes->size()), bytes->data());
      if (code != tabula::kResultOk) tabula::RaiseEngineError(uint16_t(code), loader_.FileName());
    }
    loader_.Append(record_.data());
    for (const auto& blob : blobs_) data_.FreeBlob(blob.first, record_.data());
  }
  void Close() { loader_.Commit(); }

 private:
  tabula::TBulkLoader loader_;
  TDataFile& data_;
  std::vector<uint8_t> record_;
  std::vector<std::pair<int, const std::string*>> blobs_;
};

void Report(const TDemoOptions& options, const char* table, int64_t done, int64_t total) {
  if (options.Progress) options.Progress(TDemoProgress{table, done, total});
}

void WriteStreets(const std::string& path, const TDemoCity& city, const TDemoOptions& options) {
  TTableWriter writer(path);
  const auto& streets = city.Streets();
  for (const TDemoStreet& street : streets) {
    writer.NewRecord();
    writer.SetText(kStreetKodul, street.Code);
    writer.SetText(kStreetName, street.Name);
    writer.Append();
  }
  writer.Close();
  Report(options, kStreetTable, int64_t(streets.size()), int64_t(streets.size()));
}

void WriteSubscribers(const std::string& path, TDemoCity& city, const TDemoOptions& options) {
  TTableWriter writer(path);
  TDemoSubscriber s;
  for (int64_t n = 0; n < options.Subscribers; ++n) {
    city.NextSubscriber(s);
    writer.NewRecord();
    writer.SetText(kNumtel, s.Numtel);
    writer.SetText(kName, s.Name);
    writer.SetText(kKodul, s.Kodul);
    writer.SetText(kDom, s.Dom);
    if (!s.Korp.empty()) writer.SetText(kKorp, s.Korp);
    writer.Append();
    if ((n + 1) % kProgressStep == 0) Report(options, kSubscriberTable, n + 1, options.Subscribers);
  }
  writer.Close();
  Report(options, kSubscriberTable, options.Subscribers, options.Subscribers);
}

void WriteBanners(const std::string& path, const TDemoOptions& options) {
  TTableWriter writer(path);
  const std::vector<TDemoBanner> banners = MakeDemoBanners();
  for (const TDemoBanner& banner : banners) {
    writer.NewRecord();
    writer.SetBlob(kBannerPicture, banner.Picture);
    writer.SetBlob(kBannerText, banner.Text);
    writer.Append();
  }
  writer.Close();
  Report(options, kBannerTable, int64_t(banners.size()), int64_t(banners.size()));
}

// The base name of a table ("base2" for "base2.DAT").
std::string Stem(const char* table) { return fs::path(table).stem().string(); }

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(uint8_t(a[i])) != std::tolower(uint8_t(b[i]))) return false;
  return true;
}

// Entries of `dir` that are one of the table's files in any letter case
// (tables copied from the original platform arrive as BASE2.DAT, base2.idx).
std::vector<fs::path> TableFiles(const fs::path& dir, const char* table) {
  std::vector<fs::path> found;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    for (const char* ext : {".DAT", ".IDX", ".BLB"})
      if (SameNameIgnoringCase(name, Stem(table) + ext)) found.push_back(entry.path());
  }
  return found;
}

// The three tables under temporary names beside their final ones. Whatever
// has not been renamed into place is removed when the object goes.
class TStagedTables {
 public:
  explicit TStagedTables(fs::path dir) : dir_(std::move(dir)) {
    static std::atomic<int> serial{0};
    prefix_ = ".demo-" + std::to_string(::getpid()) + "-" + std::to_string(serial++) + "-";
  }
  ~TStagedTables() {
    std::error_code ec;
    for (const char* table : {kStreetTable, kSubscriberTable, kBannerTable})
      for (const char* ext : {".DAT", ".IDX", ".BLB"}) fs::remove(Staged(table, ext), ec);
  }
  TStagedTables(const TStagedTables&) = delete;
  TStagedTables& operator=(const TStagedTables&) = delete;

  std::string DataFile(const char* table) const { return Staged(table, ".DAT").string(); }

  // Replaces the tables of the same names (in any letter case), each table's
  // data file last, so that its companions are in place when it appears.
  void Place() {
    for (const char* table : {kStreetTable, kSubscriberTable, kBannerTable}) {
      for (const fs::path& old : TableFiles(dir_, table)) fs::remove(old);
      for (const char* ext : {".BLB", ".IDX", ".DAT"}) {
        const fs::path staged = Staged(table, ext);
        if (fs::exists(staged)) fs::rename(staged, dir_ / (Stem(table) + ext));
      }
    }
  }

 private:
  fs::path Staged(const char* table, const char* ext) const { return dir_ / (prefix_ + Stem(table) + ext); }

  fs::path dir_;
  std::string prefix_;
};

}  // namespace

void MakeDemoDirectory(const TDemoOptions& options) {
  if (options.Directory.empty()) throw EDemoError("no directory given for the demo directory");
  if (options.Subscribers < 0 || options.Subscribers > kMaxSubscribers)
    throw EDemoError("the number of subscribers must lie between 0 and " + std::to_string(kMaxSubscribers));
  std::optional<TDemoCity> city;
  try {
    city.emplace(options.Seed, options.Streets);
  } catch (const std::invalid_argument& e) {
    throw EDemoError(e.what());
  }
  const fs::path dir(options.Directory);
  try {
    fs::create_directories(dir);
    if (!options.Overwrite)
      for (const char* table : {kStreetTable, kSubscriberTable, kBannerTable})
        if (!TableFiles(dir, table).empty())
          throw EDemoError(options.Directory + " already holds " + TableFiles(dir, table).front().filename().string() +
                           "; replacing it must be asked for");
  } catch (const fs::filesystem_error& e) {
    throw EDemoError(e.what());
  }

  TStagedTables staged(dir);
  CreateStreetTable(staged.DataFile(kStreetTable));
  WriteStreets(staged.DataFile(kStreetTable), *city, options);
  CreateSubscriberTable(staged.DataFile(kSubscriberTable));
  WriteSubscribers(staged.DataFile(kSubscriberTable), *city, options);
  CreateBannerTable(staged.DataFile(kBannerTable));
  WriteBanners(staged.DataFile(kBannerTable), options);
  try {
    staged.Place();
  } catch (const fs::filesystem_error& e) {
    throw EDemoError(e.what());
  }
}

}  // namespace demo
