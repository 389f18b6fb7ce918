#pragma once
// TBannerPicture: a banner picture on its way from the banner table to the
// GIF animator, which loads pictures from files. The bytes are written
// whole into a new file of a unique name in the system's temporary
// directory (two running copies never share one), and the file is removed
// when the picture is done with, whether loading it worked or not.

#include <QTemporaryFile>

#include <cstddef>
#include <cstdint>
#include <string>

namespace app {

class TBannerPicture {
 public:
  // Writes `size` bytes; a file that cannot be made or written raises
  // fw::EInOutError.
  TBannerPicture(const uint8_t* bytes, size_t size);
  ~TBannerPicture();
  TBannerPicture(const TBannerPicture&) = delete;
  TBannerPicture& operator=(const TBannerPicture&) = delete;

  // The file's name in the file system's encoding.
  std::string FileName() const;
  void Remove();

 private:
  QTemporaryFile file_;
};

// The picture the strip holds before the first banner arrives: a 468 x 60
// GIF made with the project's encoder.
std::string InitialBannerPicture();

}  // namespace app
