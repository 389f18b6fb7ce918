#pragma once
// How long a table waits for a record lock before it gives up: the
// defaults of TDataFile's LockRetryCount and LockWaitTime.

#include <cstdint>

namespace tabula {

inline constexpr uint8_t kDefaultLockRetryCount = 15;
inline constexpr uint16_t kDefaultLockWaitTime = 100;

}  // namespace tabula
