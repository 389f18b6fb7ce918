#include "tests/support/tables/subscriber_table.h"

#include <algorithm>
#include <cstring>

#include "engine/data_file.h"
#include "engine/field_types.h"
#include "engine/file_session.h"
#include "engine/table_creator.h"

namespace testing_support {

namespace {

using namespace tabula;

TFieldDef Field(const std::string& name, uint8_t type, uint8_t size = 0) {
  TFieldDef f;
  f.Name = name;
  f.FieldType = type;
  f.Size = size;
  return f;
}

// Windows-1251 surnames and initials.
const char* const kSurnames[] = {"\xC8\xE2\xE0\xED\xEE\xE2",          // Иванов
                                 "\xCF\xE5\xF2\xF0\xEE\xE2",          // Петров
                                 "\xD1\xE8\xE4\xEE\xF0\xEE\xE2",      // Сидоров
                                 "\xCA\xF3\xE7\xED\xE5\xF6\xEE\xE2",  // Кузнецов
                                 "\xD1\xEC\xE8\xF0\xED\xEE\xE2",      // Смирнов
                                 "\xC2\xEE\xEB\xEA\xEE\xE2",          // Волков
                                 "\xCE\xF0\xEB\xEE\xE2",              // Орлов
                                 "\xC7\xE0\xE9\xF6\xE5\xE2"};         // Зайцев
const char kInitials[] = "\xC0\xC1\xC2\xC3\xC4\xC5\xC8\xCA\xCB\xCC\xCD\xCE\xCF\xD0\xD1\xD2";

void SetText(TDataFile& t, uint8_t* buffer, int fieldNo, const std::string& text) {
  uint8_t bytes[256] = {};
  std::memcpy(bytes, text.data(), std::min<size_t>(text.size(), 255));
  t.SetField(TDescSet::kWorking, fieldNo, bytes, false, buffer);
}

}  // namespace

TSubscriberRow SubscriberRow(int64_t i) {
  TSubscriberRow row;
  row.Numtel = std::to_string(2000000 + (i * 7919) % 8000000);
  const int64_t h = (i * 2654435761LL) & 0x7fffffff;
  row.Name = std::string(kSurnames[h % 8]) + " " + kInitials[(h / 8) % 16] + "." + kInitials[(h / 128) % 16] + ".";
  char code[8];
  std::snprintf(code, sizeof code, "%06d", int((h / 2048) % 700));
  row.Kodul = code;
  row.Dom = std::to_string((h / 4096) % 150 + 1);
  row.Korp = (h % 5 == 0) ? std::to_string(h % 3 + 1) : "";
  return row;
}

std::vector<std::string> SortedNumtels(int64_t count) {
  std::vector<std::string> out;
  out.reserve(size_t(count));
  for (int64_t i = 0; i < count; ++i) out.push_back(SubscriberRow(i).Numtel);
  std::sort(out.begin(), out.end());
  return out;
}

void CreateSubscriberTable(const std::string& path) {
  std::vector<TFieldDef> fields = {Field("Numtel", kFldString, 7), Field("Name", kFldString, 120),
                                   Field("kodul", kFldString, 6),  Field("dom", kFldString, 5),
                                   Field("korp", kFldString, 5),   Field("id", kFldInt32)};
  fields.back().SubType = kSubAutoInc;
  TIndexDef primary;
  primary.Primary = true;
  primary.Fields = {"Numtel"};
  TIndexDef byAddr;
  byAddr.Name = "ByAddr";
  byAddr.Fields = {"kodul", "dom", "korp"};
  TIndexDef byName;
  byName.Name = "ByName";
  byName.Fields = {"Name"};
  byName.CaseInsensitive = true;
  TTableOptions options;
  options.LanguageId = 0x0419;
  options.Overwrite = true;
  CreateTable(path, fields, {primary, byAddr, byName}, options);
}

void MakeSubscriberTable(const std::string& path, int64_t count) {
  InitializeEngine();
  CreateSubscriberTable(path);
  TDataFile t;
  t.SetFileName(path);
  t.SetExclusive(true);
  t.Open();
  std::vector<uint8_t> buffer(size_t(t.RecordSize()));
  constexpr int64_t kBatch = 20000;
  for (int64_t start = 0; start < count; start += kBatch) {
    t.StartTransaction();
    for (int64_t i = start; i < std::min(count, start + kBatch); ++i) {
      const TSubscriberRow row = SubscriberRow(i);
      t.InitRecord(buffer.data());
      SetText(t, buffer.data(), 1, row.Numtel);
      SetText(t, buffer.data(), 2, row.Name);
      SetText(t, buffer.data(), 3, row.Kodul);
      SetText(t, buffer.data(), 4, row.Dom);
      SetText(t, buffer.data(), 5, row.Korp);
      t.AppendRecord(buffer.data());
    }
    t.Commit();
  }
  t.Close();
}

void MakeStreetTable(const std::string& path, const std::vector<std::pair<std::string, std::string>>& rows) {
  InitializeEngine();
  std::vector<TFieldDef> fields = {Field("RecordID", kFldInt32), Field("KODUL", kFldString, 5),
                                   Field("NAME", kFldString, 40)};
  fields.front().SubType = kSubAutoInc;
  TIndexDef primary;
  primary.Primary = true;
  primary.Fields = {"RecordID"};
  TIndexDef byCode;
  byCode.Name = "indkodul";
  byCode.Fields = {"KODUL"};
  TTableOptions options;
  options.LanguageId = 0x0419;
  options.Overwrite = true;
  CreateTable(path, fields, {primary, byCode}, options);
  TDataFile t;
  t.SetFileName(path);
  t.SetExclusive(true);
  t.Open();
  std::vector<uint8_t> buffer(size_t(t.RecordSize()));
  for (const auto& [code, name] : rows) {
    t.InitRecord(buffer.data());
    SetText(t, buffer.data(), 2, code);
    SetText(t, buffer.data(), 3, name);
    t.AppendRecord(buffer.data());
  }
  t.Close();
}

}  // namespace testing_support
