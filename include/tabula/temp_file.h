#pragma once
// Files written under a temporary name and renamed into place once whole
// (the rebuilt index file, the tool's exports): the name beside the final
// one and the flush before the rename.

#include <string>

namespace tabula {

// A temporary name beside `finalName` ("dir/.name.tmp-PID-N"), unused so far.
std::string TempNameBeside(const std::string& finalName);
// Flushes a file's data to disk (by name); false when it cannot.
bool SyncFile(const std::string& name);

}  // namespace tabula
