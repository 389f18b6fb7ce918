#include "tools/tabula/safe_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "tools/tabula/tool_error.h"

namespace tabula::tool {

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

TSafeFile::TSafeFile(std::string finalName, bool overwrite) : finalName_(std::move(finalName)) {
  std::error_code ec;
  if (!overwrite && fs::exists(finalName_, ec))
    throw EToolError(finalName_ + " exists already (use --force to replace it)");
  tempName_ = TempNameBeside(finalName_);
}

TSafeFile::~TSafeFile() {
  if (!committed_) {
    std::error_code ec;
    fs::remove(tempName_, ec);
  }
}

void TSafeFile::Commit() {
  if (!SyncFile(tempName_)) throw EToolError(tempName_ + ": " + std::strerror(errno));
  std::error_code ec;
  fs::rename(tempName_, finalName_, ec);
  if (ec) throw EToolError("cannot rename " + tempName_ + " to " + finalName_ + ": " + ec.message());
  committed_ = true;
}

}  // namespace tabula::tool
