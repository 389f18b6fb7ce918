#pragma once
// Helpers of the dataset tests: a temporary directory that is also the
// current directory while a test runs, and reading a table's rows back.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "dataset/tabula_table.h"
#include "tests/support/temp_dir.h"

namespace dataset_test {

// A temporary directory made the current one for the test's duration.
class TCurrentDir {
 public:
  TCurrentDir() : previous_(std::filesystem::current_path()) { std::filesystem::current_path(dir_.Path()); }
  ~TCurrentDir() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
  }
  const testing_support::TempDir& Dir() const { return dir_; }
  std::string File(const std::string& name) const { return dir_.File(name); }

 private:
  testing_support::TempDir dir_;
  std::filesystem::path previous_;
};

// The message of the run-time exception `f` raises, or "(no exception)".
template <class F>
std::string MessageOf(F&& f) {
  try {
    f();
  } catch (const fw::Exception& e) {
    return e.Message;
  }
  return "(no exception)";
}

// The values of one field over all records, in the table's order; the
// table ends where it started reading (at the end).
inline std::vector<std::string> Column(tabula::db::TTabulaTable& table, const std::string& field) {
  std::vector<std::string> out;
  table.First();
  while (!table.Eof()) {
    out.push_back(table.FieldByName(field).AsString());
    table.Next();
  }
  return out;
}

}  // namespace dataset_test
