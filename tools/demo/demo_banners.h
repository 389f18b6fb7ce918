#pragma once
// The banners of the demo directory: two animated 468 x 60 GIF pictures made
// with the project's GIF encoder and two text banners, in the order the
// strip shows them (picture, text, picture, text).

#include <string>
#include <vector>

namespace demo {

struct TDemoBanner {
  std::string Picture;  // GIF bytes; empty for a text banner
  std::string Text;     // Windows-1251 lines, each ending in CR LF; empty for a picture banner
};

inline constexpr int kBannerWidth = 468;
inline constexpr int kBannerHeight = 60;

// The same bytes on every call and every machine.
std::vector<TDemoBanner> MakeDemoBanners();

}  // namespace demo
