#pragma once
// The errors of the GIF picture classes. Picture errors are raised as
// fw::EInvalidGraphicOperation with the fixed texts below (Windows-1251, as
// all text below the widgets); failed reads of the fixed-size parts of a GIF
// as EReadError "Stream read error".

#include <string>

#include "framework/core/exceptions.h"

namespace widgets {

inline constexpr int kGifErrUnknownVersion = 61092;    // signature or version
inline constexpr int kGifErrEncodeDepth = 61093;       // encoding a bitmap not 1, 4 or 8 bits deep
inline constexpr int kGifErrBadData = 61094;           // a code chain over 4096 entries (strict mode)
inline constexpr int kGifErrCodeSize = 61095;          // LZW code size outside 2..9
inline constexpr int kGifErrColorCount = 61096;        // color count not a power of two
inline constexpr int kGifErrUnknownExtension = 61097;  // unknown extension label
inline constexpr int kGifErrNoData = 61098;            // saving a frame without a bitmap
inline constexpr int kGifErrResize = 61099;            // setting the width or height

// A read past the end of the data in a fixed-size part, or a failed read.
class EReadError : public fw::EInOutError {
 public:
  EReadError() : fw::EInOutError("Stream read error") {}
};

// Raised by a progress handler to cancel a decode; the bitmap stays empty.
class EAbort : public fw::Exception {
 public:
  EAbort() : fw::Exception("Operation aborted") {}
};

// The text of a GIF error id (61092..61099), in Windows-1251; empty for other ids.
std::string GifErrorText(int id);

// Raises fw::EInvalidGraphicOperation with the text of `id`. For 61097 the
// extension label is appended as two lowercase hexadecimal digits.
[[noreturn]] void RaiseGifError(int id, int label = 0);

}  // namespace widgets
