#pragma once
// The passwords a session has been given. Entries compare exactly (letter
// case counts). Adding through the list keeps duplicates; the session's
// AddSessionPassword adds only missing ones.

#include <string>
#include <vector>

namespace tabula {

class TPasswordList {
 public:
  // An empty text is ignored; longer than 255 bytes is cut there.
  void AddPasswordEntry(const std::string& text);
  // Removes the first equal entry; none does nothing.
  void RemovePasswordEntry(const std::string& text);
  void ClearPasswordEntries();
  bool HasPasswordEntry(const std::string& text) const;
  int Count() const { return static_cast<int>(entries_.size()); }

 private:
  std::vector<std::string> entries_;
};

}  // namespace tabula
