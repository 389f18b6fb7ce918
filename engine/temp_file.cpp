#include "tabula/temp_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

namespace tabula {

namespace fs = std::filesystem;

std::string TempNameBeside(const std::string& finalName) {
  static std::atomic<int> counter{0};
  const fs::path path(finalName);
  const fs::path dir = path.has_parent_path() ? path.parent_path() : fs::path(".");
  for (;;) {
    const fs::path candidate = dir / ("." + path.filename().string() + ".tmp-" + std::to_string(getpid()) + "-" +
                                      std::to_string(counter++));
    std::error_code ec;
    if (!fs::exists(candidate, ec)) return candidate.string();
  }
}

bool SyncFile(const std::string& name) {
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

}  // namespace tabula
