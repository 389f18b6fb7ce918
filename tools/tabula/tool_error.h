#pragma once
// Errors of the tabula tool. Every failure ends a command with one line on
// standard error and a non-zero exit code: EUsageError (bad command line,
// exit 2) or EToolError (anything else, exit 1). Texts are UTF-8.

#include <stdexcept>
#include <string>

namespace tabula::tool {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // an error, or damage found by `check`
inline constexpr int kExitUsage = 2;

class EToolError : public std::runtime_error {
 public:
  explicit EToolError(const std::string& message) : std::runtime_error(message) {}
};

class EUsageError : public EToolError {
 public:
  explicit EUsageError(const std::string& message) : EToolError(message) {}
};

}  // namespace tabula::tool
