#include "tools/tabula/safe_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "tools/tabula/tool_error.h"

namespace tabula::tool {

namespace fs = std::filesystem;

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
