#pragma once
// Demo directories for the tests of the grid and the application, and an
// oracle of what they hold: the rows of a table read straight from the
// engine by the tool's table reader, in physical or index order, without
// the dataset layer the tested code goes through.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testing_support {

struct TTableRows {
  std::vector<std::string> Names;               // field names, in table order
  std::vector<std::vector<std::string>> Rows;   // texts (Windows-1251; blobs as bytes)
  // The position of a field among Names (-1 when absent).
  int Column(const std::string& name) const;
  const std::string& At(size_t row, const std::string& name) const { return Rows.at(row).at(size_t(Column(name))); }
};

// index: "" physical order, else an index name of the table.
TTableRows ReadTableRows(const std::string& path, const std::string& index = {});

// A demo directory with that many subscribers, made on first use in a
// temporary directory that lives until the process ends.
const std::filesystem::path& SharedDemoDirectory(int64_t subscribers);

}  // namespace testing_support
