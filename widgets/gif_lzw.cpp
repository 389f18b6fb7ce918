#include "widgets/gif_lzw.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <vector>

#include "widgets/gif_errors.h"

namespace widgets {

namespace {

constexpr int kMaxCodes = 4096;  // 12-bit codes
constexpr int kMaxBits = 12;
// Strings are copied in blocks of kWideCopy bytes, which may write past the
// string's end (into pixels not decoded yet); strings longer than kQuickMax
// are copied by memcpy.
constexpr std::size_t kWideCopy = 16;
constexpr unsigned kQuickMax = 64;
// The code bits are read eight bytes at a time and may look this far past
// the end of the data.
constexpr std::size_t kReadPad = 16;
constexpr uint16_t kNoString = 0xffff;  // the length of the clear and end codes

// The data sub-blocks of a raster joined into one run of bytes (the code
// size byte and the length bytes left out), followed by kReadPad zero bytes.
// A sub-block cut off by the end of the raster keeps the bytes there are;
// nothing after the zero-length terminator is taken.
std::vector<uint8_t> JoinSubBlocks(std::string_view raster, std::size_t& size) {
  std::vector<uint8_t> joined(raster.size() + kReadPad);
  const auto* p = reinterpret_cast<const uint8_t*>(raster.data());
  std::size_t pos = 1;
  size = 0;
  while (pos < raster.size()) {
    const std::size_t length = p[pos++];
    if (length == 0) break;
    const std::size_t take = std::min(length, raster.size() - pos);
    std::memcpy(joined.data() + size, p + pos, take);
    size += take;
    pos += take;
  }
  return joined;
}

uint64_t LoadLittleEndian64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

void Copy16(uint8_t* dst, const uint8_t* src) {
  uint64_t a;
  uint64_t b;
  std::memcpy(&a, src, 8);
  std::memcpy(&b, src + 8, 8);
  std::memcpy(dst, &a, 8);
  std::memcpy(dst + 8, &b, 8);
}

// Where the decoded values go, one byte per pixel in stream order: straight
// into the target's rows when they are one run of 8-bit pixels, else into a
// scratch run that grows as pixels arrive (a damaged size field costs no
// more memory than the raster decodes to) and is laid out into the rows at
// the end.
struct TStream {
  uint8_t* Base = nullptr;
  std::size_t Total = 0;     // pixels in the frame
  std::size_t Capacity = 0;  // bytes writable from Base
  std::unique_ptr<uint8_t[]> Scratch;
};

// The code table: each string is a run of pixels already decoded (or, for
// the single-pixel roots, a run of the root values), so a code's string is
// copied forward in one go, never unwound backwards. A new entry is the
// previous code's string plus the first pixel of the next one, and those
// sit side by side in the decoded pixels.
struct TTable {
  const uint8_t* Start[kMaxCodes + 1];  // the last slot takes writes once the table is full
  uint16_t Length[kMaxCodes + 1];
  uint8_t Roots[512 + kWideCopy];
};

class TDecoder {
 public:
  TDecoder(std::string_view raster, const TLzwTarget& target, bool tolerant, const TLzwProgress& progress)
      : raster_(raster), target_(target), tolerant_(tolerant), progress_(progress) {}

  bool Run() {
    const int codeSize = static_cast<uint8_t>(raster_[0]);
    if (codeSize < 2 || codeSize > 9) RaiseGifError(kGifErrCodeSize);
    if (target_.Width <= 0 || target_.Height <= 0) return false;
    PrepareStream();
    std::size_t dataSize = 0;
    const std::vector<uint8_t> data = JoinSubBlocks(raster_, dataSize);
    const bool damaged = Decode(data.data(), dataSize, codeSize);
    LayOut();
    return damaged;
  }

 private:
  void PrepareStream() {
    stream_.Total = static_cast<std::size_t>(target_.Width) * static_cast<std::size_t>(target_.Height);
    if (target_.Depth == 8 && !target_.Interlaced && target_.RowStride == target_.Width) {
      stream_.Base = target_.Top;
      stream_.Capacity = stream_.Total;
      return;
    }
    // Frames of ordinary size get their whole run at once; a huge one grows
    // with what its raster holds.
    constexpr std::size_t kWhole = 4u << 20;
    Grow(std::min(stream_.Total, std::max(kWhole, raster_.size() * 8)));
  }

  // Makes room for `pixels` decoded pixels in the scratch run (plus the
  // margin of the wide copies), keeping what is decoded and moving the
  // table's pointers along.
  void Grow(std::size_t pixels) {
    const std::size_t capacity = pixels + kWideCopy;
    auto fresh = std::make_unique_for_overwrite<uint8_t[]>(capacity);
    if (stream_.Base != nullptr) {
      const std::size_t done = static_cast<std::size_t>(out_ - stream_.Base);
      std::memcpy(fresh.get(), stream_.Base, done);
      const auto move = [&](const uint8_t* p) { return fresh.get() + (p - stream_.Base); };
      for (int c = firstEntry_; c < nextFree_; ++c) table_->Start[c] = move(table_->Start[c]);
      if (prevOut_ != nullptr) prevOut_ = move(prevOut_);
      out_ = fresh.get() + done;
    } else {
      out_ = fresh.get();
    }
    stream_.Scratch = std::move(fresh);
    stream_.Base = stream_.Scratch.get();
    stream_.Capacity = capacity;
  }

  bool Damaged() const {
    if (!tolerant_) RaiseGifError(kGifErrBadData);
    return true;
  }

  void ReportProgress(uint64_t consumedBits) {
    // The position in the raster: the code size byte, the bytes taken and
    // the length byte of each sub-block begun.
    const uint64_t bytes = (consumedBits + 7) / 8;
    const uint64_t position = 1 + bytes + (bytes + 254) / 255;
    const int percent = static_cast<int>(std::min<uint64_t>(position, raster_.size()) * 100 / raster_.size());
    if (percent != lastPercent_) {
      lastPercent_ = percent;
      progress_(percent);
    }
  }

  // Returns true when the raster is damaged; false at the end code or when
  // every pixel has been decoded. `out_` is left after the last pixel.
  bool Decode(const uint8_t* data, std::size_t dataSize, int codeSize) {
    table_ = std::make_unique_for_overwrite<TTable>();
    TTable& t = *table_;
    std::memset(t.Roots, 0, sizeof t.Roots);
    const int clear = 1 << codeSize;
    const int end = clear + 1;
    const uint8_t mask = static_cast<uint8_t>((1u << std::clamp(target_.BitsPerPixel, 1, 8)) - 1);
    for (int c = 0; c < clear; ++c) {
      t.Roots[c] = static_cast<uint8_t>(c & mask);
      t.Start[c] = &t.Roots[c];
      t.Length[c] = 1;
    }
    t.Length[clear] = kNoString;
    t.Length[end] = kNoString;
    firstEntry_ = clear + 2;
    if (out_ == nullptr) out_ = stream_.Base;
    const uint8_t* const endOut = stream_.Base + stream_.Total;

    int nextFree = clear + 2;
    int width = codeSize + 1;
    uint32_t codeMask = (1u << width) - 1;
    // Codes below this take the quick path: the table's size once a
    // previous string exists (after a clear code, and at the start, none).
    int quickBelow = 0;
    unsigned prevLength = 0;
    // The quick path writes whole blocks and must stop short of the end:
    // a string of n pixels may start at or before quickLast - n.
    const auto quickLimit = [&] {
      const std::size_t room = std::min(stream_.Capacity, stream_.Total);
      return room > kWideCopy ? reinterpret_cast<uintptr_t>(stream_.Base + (room - kWideCopy)) : 0;
    };
    uintptr_t quickLast = quickLimit();

    uint64_t bits = 0;
    int bitCount = 0;
    const uint8_t* in = data;
    const uint64_t totalBits = static_cast<uint64_t>(dataSize) * 8;
    uint64_t consumed = 0;
    const uint64_t progressStep = std::max<uint64_t>(totalBits / 200, 64);
    uint64_t checkAt = progress_ ? 0 : totalBits;

    const auto addEntry = [&] {
      t.Start[nextFree] = prevOut_;
      t.Length[nextFree] = static_cast<uint16_t>(prevLength + 1);
      if (nextFree < kMaxCodes) {
        ++nextFree;
        // A full table takes no new entries until the next clear code; the
        // codes stay 12 bits wide.
        if (nextFree >= (1 << width) && width < kMaxBits) {
          ++width;
          codeMask = (1u << width) - 1;
        }
      }
      quickBelow = nextFree;
      nextFree_ = nextFree;
    };

    for (;;) {
      bits |= LoadLittleEndian64(in) << bitCount;
      in += (63 - bitCount) >> 3;
      bitCount |= 56;
      const int code = static_cast<int>(bits & codeMask);
      bits >>= width;
      bitCount -= width;
      consumed += static_cast<uint64_t>(width);
      if (consumed > checkAt) {
        if (consumed > totalBits) return true;  // the data ran out before the rows were full
        ReportProgress(consumed);
        checkAt = std::min(totalBits, consumed + progressStep);
      }

      if (code < quickBelow) {
        const unsigned length = t.Length[code];
        if (length <= kQuickMax && reinterpret_cast<uintptr_t>(out_) + length < quickLast) {
          const uint8_t* from = t.Start[code];
          Copy16(out_, from);
          for (unsigned i = kWideCopy; i < length; i += kWideCopy) Copy16(out_ + i, from + i);
          addEntry();
          prevOut_ = out_;
          prevLength = length;
          out_ += length;
          continue;
        }
      }

      if (code == clear) {
        nextFree = clear + 2;
        nextFree_ = nextFree;
        width = codeSize + 1;
        codeMask = (1u << width) - 1;
        quickBelow = 0;
        continue;
      }
      if (code == end) return false;
      const bool first = quickBelow == 0;  // no previous string
      if (first ? code > clear : (code > nextFree || (code == nextFree && nextFree >= kMaxCodes))) return Damaged();
      const bool repeat = code == nextFree;  // the entry being defined: previous string + its own first pixel
      const unsigned length = first ? 1 : repeat ? prevLength + 1 : t.Length[code];
      const std::size_t done = static_cast<std::size_t>(out_ - stream_.Base);
      const std::size_t take = std::min<std::size_t>(length, stream_.Total - done);
      if (done + take > stream_.Capacity) {
        Grow(std::min(stream_.Total, std::max(done + take, stream_.Capacity * 2)));
        quickLast = quickLimit();
      }
      if (repeat) {
        std::memcpy(out_, prevOut_, std::min<std::size_t>(take, prevLength));
        if (take > prevLength) out_[prevLength] = prevOut_[0];
      } else {
        std::memcpy(out_, t.Start[code], take);
      }
      if (first) {
        quickBelow = nextFree;
      } else {
        addEntry();
      }
      prevOut_ = out_;
      prevLength = length;
      out_ += take;
      if (out_ >= endOut) return false;  // every pixel is decoded
    }
  }

  // Zeroes the pixels not decoded and, from a scratch run, places the
  // pixels into the target's rows.
  void LayOut() {
    const std::size_t done = static_cast<std::size_t>(out_ - stream_.Base);
    if (stream_.Scratch == nullptr) {
      std::memset(out_, 0, stream_.Total - done);
      return;
    }
    static constexpr int kStart[4] = {0, 4, 2, 1};
    static constexpr int kStep[4] = {8, 8, 4, 2};
    const int width = target_.Width;
    int pass = 0;
    int y = 0;
    for (int r = 0; r < target_.Height; ++r) {
      const std::size_t from = static_cast<std::size_t>(r) * static_cast<std::size_t>(width);
      const int have = static_cast<int>(std::min<std::size_t>(width, done > from ? done - from : 0));
      PutRow(target_.Top + static_cast<std::ptrdiff_t>(y) * target_.RowStride, stream_.Base + from, have);
      if (!target_.Interlaced) {
        ++y;
      } else {
        y += kStep[pass];
        while (y >= target_.Height && pass < 3) y = kStart[++pass];
      }
    }
  }

  // One row: `have` decoded pixels, zeros after them.
  void PutRow(uint8_t* row, const uint8_t* pixels, int have) {
    const int width = target_.Width;
    if (target_.Depth == 4) {
      for (int x = 0; x + 1 < have; x += 2) row[x >> 1] = static_cast<uint8_t>((pixels[x] << 4) | pixels[x + 1]);
      if (have & 1) row[have >> 1] = static_cast<uint8_t>(pixels[have - 1] << 4);
      const int from = (have + 1) >> 1;
      std::memset(row + from, 0, static_cast<std::size_t>((width + 1) / 2 - from));
    } else if (target_.Depth == 1) {
      int x = 0;
      for (; x + 8 <= have; x += 8) {
        uint8_t b = 0;
        for (int i = 0; i < 8; ++i) b = static_cast<uint8_t>((b << 1) | (pixels[x + i] & 1));
        row[x >> 3] = b;
      }
      if (x < have) {
        uint8_t b = 0;
        for (int i = 0; x + i < have; ++i) b = static_cast<uint8_t>(b | ((pixels[x + i] & 1) << (7 - i)));
        row[x >> 3] = b;
        x += 8;
      }
      const int from = x >> 3;
      std::memset(row + from, 0, static_cast<std::size_t>((width + 7) / 8 - from));
    } else {
      std::memcpy(row, pixels, static_cast<std::size_t>(have));
      std::memset(row + have, 0, static_cast<std::size_t>(width - have));
    }
  }

  std::string_view raster_;
  const TLzwTarget& target_;
  bool tolerant_;
  const TLzwProgress& progress_;
  TStream stream_;
  std::unique_ptr<TTable> table_;
  uint8_t* out_ = nullptr;
  uint8_t* prevOut_ = nullptr;
  int firstEntry_ = 0;
  int nextFree_ = 0;
  int lastPercent_ = -1;
};

// Packs codes least significant bit first into data sub-blocks.
class TCodeWriter {
 public:
  explicit TCodeWriter(std::string& out) : out_(out) {}

  void Write(int code, int width) {
    bits_ |= static_cast<uint32_t>(code) << bitCount_;
    bitCount_ += width;
    while (bitCount_ >= 8) {
      PutByte(static_cast<uint8_t>(bits_));
      bits_ >>= 8;
      bitCount_ -= 8;
    }
  }

  void Finish() {
    if (bitCount_ > 0) PutByte(static_cast<uint8_t>(bits_));
    FlushBlock();
    out_ += '\0';
  }

 private:
  void PutByte(uint8_t b) {
    block_[blockSize_++] = b;
    if (blockSize_ == 255) FlushBlock();
  }
  void FlushBlock() {
    if (blockSize_ == 0) return;
    out_ += static_cast<char>(blockSize_);
    out_.append(reinterpret_cast<const char*>(block_), blockSize_);
    blockSize_ = 0;
  }

  std::string& out_;
  uint8_t block_[255] = {};
  int blockSize_ = 0;
  uint32_t bits_ = 0;
  int bitCount_ = 0;
};

}  // namespace

bool GifLzwDecode(std::string_view raster, const TLzwTarget& target, bool tolerant, const TLzwProgress& progress) {
  if (raster.empty()) return true;  // not even a code size byte
  return TDecoder(raster, target, tolerant, progress).Run();
}

std::string GifLzwEncode(const uint8_t* pixels, std::size_t count, int codeSize) {
  codeSize = std::clamp(codeSize, 2, 8);
  const int clear = 1 << codeSize;
  const int end = clear + 1;
  const uint8_t mask = static_cast<uint8_t>((1u << codeSize) - 1);

  std::string out;
  out += static_cast<char>(codeSize);
  TCodeWriter writer(out);

  // Open-addressed dictionary of (prefix code, pixel) -> code.
  constexpr std::size_t kSlots = 8192;
  std::vector<int32_t> keys(kSlots, -1);
  std::vector<uint16_t> values(kSlots);
  int nextFree = clear + 2;
  int width = codeSize + 1;

  writer.Write(clear, width);
  if (count == 0) {
    writer.Write(end, width);
    writer.Finish();
    return out;
  }
  int prefix = pixels[0] & mask;
  for (std::size_t i = 1; i < count; ++i) {
    const int pixel = pixels[i] & mask;
    const int32_t key = (prefix << 8) | pixel;
    std::size_t slot = (static_cast<uint32_t>(key) * 2654435761u) >> 19;
    while (keys[slot] >= 0 && keys[slot] != key) slot = (slot + 1) & (kSlots - 1);
    if (keys[slot] == key) {
      prefix = values[slot];
      continue;
    }
    writer.Write(prefix, width);
    if (nextFree < kMaxCodes) {
      keys[slot] = key;
      values[slot] = static_cast<uint16_t>(nextFree);
      ++nextFree;
      // The decoder learns each entry one code later, so it widens when this
      // side has passed 2^width.
      if (nextFree > (1 << width) && width < kMaxBits) ++width;
    } else {
      writer.Write(clear, width);
      std::fill(keys.begin(), keys.end(), -1);
      nextFree = clear + 2;
      width = codeSize + 1;
    }
    prefix = pixel;
  }
  writer.Write(prefix, width);
  // The decoder adds one more entry on reading that code, and may widen.
  if (nextFree >= (1 << width) && width < kMaxBits) ++width;
  writer.Write(end, width);
  writer.Finish();
  return out;
}

}  // namespace widgets
