#pragma once
// What the table check and the index rebuild share: the error that stops
// either before it can do its work, and how they ask for an enciphered
// table's password.

#include <functional>
#include <stdexcept>
#include <string>

namespace tabula {

// The check or the rebuild cannot do its work (no such table, the table in
// use, the files too damaged to start from); the text is UTF-8, one line.
class EMaintenanceError : public std::runtime_error {
 public:
  explicit EMaintenanceError(const std::string& message) : std::runtime_error(message) {}
};

// Called with an enciphered table's stored password (Windows-1251) and the
// data file's name before its files are read: it makes the session know the
// password or raises (engine error 10498). An empty one raises 10498 unless
// the session knows the password already.
using TPasswordCheck = std::function<void(const std::string& storedPassword, const std::string& fileName)>;

// Runs the password check for an enciphered table.
void RequireTablePassword(const TPasswordCheck& check, const std::string& storedPassword,
                          const std::string& fileName);

}  // namespace tabula
