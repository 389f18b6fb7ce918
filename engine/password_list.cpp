#include "tabula/password_list.h"

#include <algorithm>

namespace tabula {

namespace {
// Entries are short strings: at most 255 bytes.
std::string Entry(const std::string& text) { return text.size() > 255 ? text.substr(0, 255) : text; }
}  // namespace

void TPasswordList::AddPasswordEntry(const std::string& text) {
  if (text.empty()) return;
  entries_.push_back(Entry(text));
}

void TPasswordList::RemovePasswordEntry(const std::string& text) {
  auto it = std::find(entries_.begin(), entries_.end(), Entry(text));
  if (it != entries_.end()) entries_.erase(it);
}

void TPasswordList::ClearPasswordEntries() { entries_.clear(); }

bool TPasswordList::HasPasswordEntry(const std::string& text) const {
  return std::find(entries_.begin(), entries_.end(), Entry(text)) != entries_.end();
}

}  // namespace tabula
