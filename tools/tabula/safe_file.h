#pragma once
// Writing a file safely: it is written under a temporary name in the same
// directory and renamed over its final name only once it is complete, so a
// reader never finds it half-written and a failure leaves the old file (or
// nothing) in place. The temporary file is removed when the object goes
// without Commit.

#include <string>

#include "tabula/temp_file.h"

namespace tabula::tool {

class TSafeFile {
 public:
  // `finalName` is refused (EToolError) when it exists and !overwrite.
  TSafeFile(std::string finalName, bool overwrite);
  ~TSafeFile();
  TSafeFile(const TSafeFile&) = delete;
  TSafeFile& operator=(const TSafeFile&) = delete;

  const std::string& TempName() const { return tempName_; }
  const std::string& FinalName() const { return finalName_; }
  // Flushes the temporary file to disk and renames it into place.
  void Commit();

 private:
  std::string finalName_;
  std::string tempName_;
  bool committed_ = false;
};

}  // namespace tabula::tool
