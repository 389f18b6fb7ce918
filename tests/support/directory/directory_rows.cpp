#include "tests/support/directory/directory_rows.h"

#include <map>
#include <memory>

#include "tabula/field_types.h"
#include "tests/support/temp_dir.h"
#include "tools/demo/demo_directory.h"
#include "tools/tabula/table_reader.h"

namespace testing_support {

int TTableRows::Column(const std::string& name) const {
  for (size_t i = 0; i < Names.size(); ++i)
    if (Names[i] == name) return int(i);
  return -1;
}

TTableRows ReadTableRows(const std::string& path, const std::string& index) {
  tabula::tool::TTableReader reader(path);
  TTableRows table;
  for (const tabula::TFieldDesc& f : reader.Fields()) table.Names.push_back(f.Name);
  tabula::tool::TReadOrder order;
  order.IndexName = index;
  reader.ForEach(order, [&](uint32_t recNo, const uint8_t* buffer) {
    std::vector<std::string> row;
    for (const tabula::TFieldDesc& f : reader.Fields()) {
      if (f.FieldType == tabula::kFldBlob) {
        const std::vector<uint8_t> bytes = reader.ReadBlob(buffer, f.FieldNo, recNo);
        row.emplace_back(bytes.begin(), bytes.end());
      } else if (f.FieldType == tabula::kFldString) {
        uint8_t data[256] = {};
        reader.Data().GetField(tabula::TDescSet::kWorking, f.FieldNo, buffer, data);
        row.emplace_back(reinterpret_cast<const char*>(data));
      } else {
        uint8_t data[8] = {};
        const bool blank = reader.Data().GetField(tabula::TDescSet::kWorking, f.FieldNo, buffer, data);
        row.push_back(blank ? std::string() : std::to_string(tabula::LoadI32(data)));
      }
    }
    table.Rows.push_back(std::move(row));
    return true;
  });
  return table;
}

const std::filesystem::path& SharedDemoDirectory(int64_t subscribers) {
  static std::map<int64_t, std::unique_ptr<TempDir>> made;
  std::unique_ptr<TempDir>& dir = made[subscribers];
  if (!dir) {
    dir = std::make_unique<TempDir>();
    demo::TDemoOptions options;
    options.Directory = dir->Path().string();
    options.Subscribers = subscribers;
    demo::MakeDemoDirectory(options);
  }
  return dir->Path();
}

}  // namespace testing_support
