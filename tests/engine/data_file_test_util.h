#pragma once
// Helpers of the data-file tests: tables made with CreateTable, record slots
// written straight into the data file, whole-file byte access, and the
// interop folder.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tabula/data_file.h"
#include "engine/data_file_parts.h"
#include "tabula/data_header.h"
#include "tabula/engine_error.h"
#include "tabula/field_types.h"
#include "tabula/file_session.h"
#include "tabula/table_creator.h"
#include "tests/support/temp_dir.h"

namespace data_file_test {

inline std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteAll(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// The engine code of an engine error thrown by `body`, 0 when none.
inline int EngineCode(const std::function<void()>& body) {
  try {
    body();
  } catch (const tabula::ETabulaEngineError& e) {
    return e.Code();
  }
  return 0;
}

inline tabula::TFieldDef Field(const std::string& name, uint8_t type, uint8_t size = 0, uint8_t scale = 0) {
  tabula::TFieldDef f;
  f.Name = name;
  f.FieldType = type;
  f.Size = size;
  f.Scale = scale;
  return f;
}

inline tabula::TFieldDef AutoIncField(const std::string& name) {
  tabula::TFieldDef f;
  f.Name = name;
  f.AutoIncrement = true;
  return f;
}

// Appends `count` live record slots to a closed table by writing the data
// file directly: `fill(recordNo, slot)` fills bytes 9.. of each slot (the
// status, link and record ID bytes are set here).
inline void AppendSlots(const std::string& dataPath, int32_t count,
                        const std::function<void(int32_t, uint8_t*)>& fill) {
  std::vector<uint8_t> bytes = ReadAll(dataPath);
  tabula::TDataHeader header = tabula::TDataHeader::Unpack(bytes.data());
  const size_t recordSize = header.RecordSize;
  for (int32_t i = 0; i < count; ++i) {
    const int32_t recordNo = header.NextRecordNo++;
    std::vector<uint8_t> slot(recordSize, 0);
    slot[0] = 0;
    tabula::StoreU32(slot.data() + 1, uint32_t(recordNo));
    tabula::StoreI32(slot.data() + 5, ++header.LastRecordID);
    if (fill) fill(recordNo, slot.data());
    bytes.insert(bytes.end(), slot.begin(), slot.end());
  }
  ++header.ChangeCounter;
  header.Pack(bytes.data(), false);
  WriteAll(dataPath, bytes);
}

// The interop folder beside the source tree, or nothing.
using testing_support::InteropDir;

// Copies files of the interop folder (read-only there) into `dir`, writable.
inline void CopyInterop(const std::filesystem::path& from, const std::filesystem::path& dir,
                        const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    std::filesystem::copy_file(from / name, dir / name, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(dir / name, std::filesystem::perms::owner_write, std::filesystem::perm_options::add);
  }
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override { tabula::InitializeEngine(); }
  testing_support::TempDir dir_;
};

}  // namespace data_file_test
