#pragma once
// Passwords of enciphered tables for the tool's commands: the one given
// with --password, else one typed at a prompt without echo when standard
// input is a terminal (three tries). With neither, an enciphered table is
// refused with engine error 10498 ("a password is required").
//
// A password is handed to the engine session, which the data file's open
// consults; commands that read the files themselves (check, rebuild) ask
// Require with the table's stored password.

#include <optional>
#include <string>

#include "tabula/maintenance_error.h"

namespace tabula {
class TDataFile;
}

namespace tabula::tool {

struct TArgs;

class TTablePassword {
 public:
  // No password given: only the prompt (on a terminal) can supply one.
  TTablePassword() = default;
  // Takes --password (UTF-8) from the command line when the command has it.
  explicit TTablePassword(const TArgs& args);
  // Makes this the data file's password callback (for as long as the file
  // is open; this object must outlive the open).
  void Attach(TDataFile& data);
  // Raises 10498 naming fileName unless the session knows storedPassword
  // (Windows-1251), after offering what the command line or the prompt gives.
  void Require(const std::string& storedPassword, const std::string& fileName);
  // Whether a password came with --password and was offered (for messages).
  bool GivenTried() const { return givenTried_; }

 private:
  // Puts the next password to try into the session; false when there is none.
  bool Offer(const std::string& tableName);

  std::optional<std::string> given_;  // Windows-1251
  bool givenTried_ = false;
  int prompts_ = 0;
};

// The engine's password check for the files it reads itself (check,
// rebuild): Require on `password`, which must outlive the call.
TPasswordCheck PasswordCheckOf(TTablePassword& password);

// Reads one line from standard input with the terminal's echo off, the
// prompt written to the error stream. False on end of input.
bool ReadPasswordWithoutEcho(const std::string& prompt, std::string& line);

}  // namespace tabula::tool
