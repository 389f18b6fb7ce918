#include "tests/support/tables/subscriber_table.h"

#include <algorithm>
#include <cstring>

#include "tabula/data_file.h"
#include "tabula/field_types.h"
#include "tabula/file_session.h"
#include "tabula/table_creator.h"

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
  // A street code as the street table writes them (five digits, steps of
  // 10); 900 codes, so that some name no street of StreetRows(800). One
  // row in sixteen carries a sixth digit, which a five-character street
  // code does not have.
  char code[16];
  std::snprintf(code, sizeof code, "%05d", int((h / 2048) % 900) * 10);
  row.Kodul = code;
  if ((h / 64) % 16 == 0) row.Kodul += char('0' + h % 10);
  row.Dom = std::to_string((h / 4096) % 150 + 1);
  row.Korp = (h % 5 == 0) ? std::to_string(h % 3 + 1) : "";
  return row;
}

std::vector<std::pair<std::string, std::string>> StreetRows(int count) {
  // Windows-1251 street words.
  static const char* const kWords[] = {"\xD1\xE0\xE4\xEE\xE2\xE0\xFF",          // САДОВАЯ
                                       "\xCB\xE5\xF1\xED\xE0\xFF",              // ЛЕСНАЯ
                                       "\xCC\xE8\xF0\xE0",                      // МИРА
                                       "\xCF\xEE\xF7\xF2\xEE\xE2\xE0\xFF",      // ПОЧТОВАЯ
                                       "\xD0\xE5\xF7\xED\xE0\xFF",              // РЕЧНАЯ
                                       "\xC7\xE0\xE2\xEE\xE4\xF1\xEA\xE0\xFF",  // ЗАВОДСКАЯ
                                       "\xCD\xEE\xE2\xE0\xFF",                  // НОВАЯ
                                       "\xDE\xE6\xED\xE0\xFF"};                 // ЮЖНАЯ
  std::vector<std::pair<std::string, std::string>> rows;
  rows.reserve(size_t(std::max(count, 0)));
  for (int i = 0; i < count; ++i) {
    char code[16];
    std::snprintf(code, sizeof code, "%05d", i * 10);
    rows.emplace_back(code, "\xD3\xCB. " + std::string(kWords[i % 8]) + " " + std::to_string(i / 8 + 1));  // УЛ.
  }
  return rows;
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
