#pragma once
// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.

#include <filesystem>
#include <string>

namespace testing_support {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  // Full name of an entry in the directory.
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// The project's source directory (tests read shared fixtures from it).
std::filesystem::path SourceDir();
// The tables written elsewhere from the same format, with their expected rows
// and orders (../shared/interop beside the source tree). The tests that read
// them fail when it is missing: a run without them proves nothing.
std::filesystem::path InteropDir();

}  // namespace testing_support
