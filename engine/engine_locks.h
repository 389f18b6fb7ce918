#pragma once
// The engine's two process-wide critical sections.

#include <mutex>

namespace tabula {

// Guards every operation on the in-memory file store and its files.
std::recursive_mutex& MemoryFileLock();
// Guards reads and writes of the process's locale format record.
std::recursive_mutex& FormatSettingsLock();

}  // namespace tabula
