#include "engine/engine_locks.h"

namespace tabula {

// Function-local statics: they exist before InitializeEngine runs and after
// ShutdownEngine, so no caller ever meets a destroyed lock.
std::recursive_mutex& MemoryFileLock() {
  static std::recursive_mutex lock;
  return lock;
}

std::recursive_mutex& FormatSettingsLock() {
  static std::recursive_mutex lock;
  return lock;
}

}  // namespace tabula
