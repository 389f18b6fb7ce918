#pragma once
// TStreetList: the streets of street.DAT in load order, as the address
// search uses them. Each entry keeps a street's name (at most 50 bytes)
// and code (at most 5 bytes) in Windows-1251; longer values are cut. The
// list grows as far as the street table goes.
//
// Matching is byte for byte and case-sensitive: an entry matches a search
// text when the text occurs in its name; an empty text matches nothing and
// only the first 255 bytes of a text count. An entry is the typed street
// when its name equals the whole text.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace app {

struct TStreetEntry {
  std::string Name;
  std::string Code;
};

class TStreetList {
 public:
  static constexpr size_t kNameLength = 50;
  static constexpr size_t kCodeLength = 5;
  static constexpr size_t kSearchLength = 255;

  void Clear() { entries_.clear(); }
  // Adds an entry, cutting the name and the code to their lengths.
  void Add(std::string_view code, std::string_view name);
  int Count() const { return int(entries_.size()); }
  const TStreetEntry& operator[](int index) const { return entries_.at(size_t(index)); }

  // The entries whose names contain the search text, in load order.
  std::vector<int> Matches(std::string_view searchText) const;
  // The first entry whose name is the whole text.
  std::optional<int> FindExact(std::string_view text) const;

 private:
  std::vector<TStreetEntry> entries_;
};

}  // namespace app
