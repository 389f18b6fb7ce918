#pragma once
// The demo directory: the three tables of the directory application
// (base2.DAT subscribers, street.DAT streets, banners.DAT banners), written
// with the project's engine for a made-up city, Borvino. The same seed and
// counts give the same records, indexes and blobs every time.
//
// The tables are written under temporary names in the target directory and
// renamed into place only when all three are complete; a failure leaves no
// partial table behind (and, without Overwrite, never touches existing
// ones).

#include <cstdint>
#include <functional>
#include <string>

#include "framework/core/exceptions.h"

namespace demo {

// The file names the application opens.
inline constexpr const char* kSubscriberTable = "base2.DAT";
inline constexpr const char* kStreetTable = "street.DAT";
inline constexpr const char* kBannerTable = "banners.DAT";

struct TDemoProgress {
  std::string Table;  // the table being written (one of the names above)
  int64_t Done = 0;   // its rows written so far
  int64_t Total = 0;  // its rows in all
};
using TDemoProgressCallback = std::function<void(const TDemoProgress&)>;

struct TDemoOptions {
  std::string Directory;        // made when missing
  int64_t Subscribers = 50000;  // 0 .. kMaxSubscribers
  uint64_t Seed = 1;
  int Streets = 800;
  bool Overwrite = false;  // replace tables of the same names (else EDemoError)
  // Called now and then while a table is written, and once when it is done.
  TDemoProgressCallback Progress;
};

// The subscribers' index file reaches the engine's 2,000,000,000-byte limit
// a little above 6,000,000.
inline constexpr int64_t kMaxSubscribers = 5000000;

// A request the generator refuses (bad counts, tables in the way, files it
// cannot place); its message is UTF-8. Engine failures arrive as the
// engine's own errors, with their Windows-1251 messages.
class EDemoError : public fw::Exception {
 public:
  using fw::Exception::Exception;
};

void MakeDemoDirectory(const TDemoOptions& options);

}  // namespace demo
