#include "app/street_list.h"

namespace app {

void TStreetList::Add(std::string_view code, std::string_view name) {
  entries_.push_back(TStreetEntry{std::string(name.substr(0, kNameLength)), std::string(code.substr(0, kCodeLength))});
}

std::vector<int> TStreetList::Matches(std::string_view searchText) const {
  std::vector<int> found;
  searchText = searchText.substr(0, kSearchLength);
  if (searchText.empty()) return found;
  for (size_t i = 0; i < entries_.size(); ++i)
    if (entries_[i].Name.find(searchText) != std::string::npos) found.push_back(int(i));
  return found;
}

std::optional<int> TStreetList::FindExact(std::string_view text) const {
  for (size_t i = 0; i < entries_.size(); ++i)
    if (entries_[i].Name == text) return int(i);
  return std::nullopt;
}

}  // namespace app
