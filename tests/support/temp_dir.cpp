#include "tests/support/temp_dir.h"

#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace testing_support {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "borvino-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a temporary directory");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path SourceDir() {
  if (const char* dir = std::getenv("BORVINO_SOURCE_DIR")) return dir;
  return BORVINO_SOURCE_DIR;
}

std::filesystem::path InteropDir() { return SourceDir().parent_path() / "shared" / "interop"; }

}  // namespace testing_support
