#include "widgets/gif_lzw.h"

#include <algorithm>
#include <vector>

#include "widgets/gif_errors.h"

namespace widgets {

namespace {

constexpr int kMaxCodes = 4096;  // 12-bit codes
constexpr int kMaxBits = 12;

// Reads the data sub-blocks of a raster byte by byte, least significant bit
// first, and hands out codes of the current width.
class TCodeReader {
 public:
  TCodeReader(const uint8_t* data, std::size_t size, std::size_t pos) : data_(data), size_(size), pos_(pos) {}

  // The next code, or -1 when the raster has no more data.
  int Read(int width) {
    while (bitCount_ < width) {
      const int byte = NextByte();
      if (byte < 0) return -1;
      bits_ |= static_cast<uint32_t>(byte) << bitCount_;
      bitCount_ += 8;
    }
    const int code = static_cast<int>(bits_ & ((1u << width) - 1));
    bits_ >>= width;
    bitCount_ -= width;
    return code;
  }

  std::size_t Position() const { return pos_; }

 private:
  int NextByte() {
    while (blockLeft_ == 0) {
      if (ended_ || pos_ >= size_) return -1;
      blockLeft_ = data_[pos_++];
      if (blockLeft_ == 0) {  // the zero-length terminator
        ended_ = true;
        return -1;
      }
    }
    if (pos_ >= size_) return -1;
    --blockLeft_;
    return data_[pos_++];
  }

  const uint8_t* data_;
  std::size_t size_;
  std::size_t pos_;
  std::size_t blockLeft_ = 0;
  bool ended_ = false;
  uint32_t bits_ = 0;
  int bitCount_ = 0;
};

// Places pixel values into the target's rows, row by row, in interlaced pass
// order when asked.
template <int Depth>
class TPixelWriter {
 public:
  explicit TPixelWriter(const TLzwTarget& t)
      : t_(t), mask_(static_cast<uint8_t>((1u << std::clamp(t.BitsPerPixel, 1, 8)) - 1)) {
    done_ = t.Width <= 0 || t.Height <= 0;
    row_ = t.Top;
  }

  bool Done() const { return done_; }

  // Writes values until the rows are full; returns false once they are.
  bool Put(const uint8_t* values, int count) {
    if constexpr (Depth == 8) {
      // Whole runs of a row at a time.
      while (count > 0) {
        const int n = std::min(count, t_.Width - x_);
        uint8_t* dst = row_ + x_;
        // Runs are short (a code's string): a plain loop beats a call to memcpy.
        for (int i = 0; i < n; ++i) dst[i] = values[i] & mask_;
        values += n;
        count -= n;
        x_ += n;
        if (x_ == t_.Width) {
          x_ = 0;
          if (!NextRow()) {
            done_ = true;
            return false;
          }
        }
      }
      return true;
    }
    for (int i = 0; i < count; ++i) {
      const uint8_t v = values[i] & mask_;
      if constexpr (Depth == 8) {
        row_[x_] = v;
      } else if constexpr (Depth == 4) {
        row_[x_ >> 1] |= static_cast<uint8_t>((x_ & 1) ? v : v << 4);
      } else {
        row_[x_ >> 3] |= static_cast<uint8_t>(v << (7 - (x_ & 7)));
      }
      if (++x_ == t_.Width) {
        x_ = 0;
        if (!NextRow()) {
          done_ = true;
          return false;
        }
      }
    }
    return true;
  }

 private:
  bool NextRow() {
    static constexpr int kStart[4] = {0, 4, 2, 1};
    static constexpr int kStep[4] = {8, 8, 4, 2};
    if (!t_.Interlaced) {
      ++y_;
    } else {
      y_ += kStep[pass_];
      while (y_ >= t_.Height) {
        if (++pass_ >= 4) return false;
        y_ = kStart[pass_];
      }
    }
    if (y_ >= t_.Height) return false;
    row_ = t_.Top + static_cast<std::ptrdiff_t>(y_) * t_.RowStride;
    return true;
  }

  const TLzwTarget& t_;
  uint8_t mask_;
  bool done_ = false;
  uint8_t* row_ = nullptr;
  int x_ = 0;
  int y_ = 0;
  int pass_ = 0;
};

template <int Depth>
bool Decode(std::string_view raster, const TLzwTarget& target, bool tolerant, const TLzwProgress& progress) {
  const auto* data = reinterpret_cast<const uint8_t*>(raster.data());
  const int codeSize = data[0];
  if (codeSize < 2 || codeSize > 9) RaiseGifError(kGifErrCodeSize);

  TPixelWriter<Depth> writer(target);
  if (writer.Done()) return false;

  std::vector<uint16_t> prefix(kMaxCodes);
  std::vector<uint16_t> suffix(kMaxCodes);
  std::vector<uint8_t> stack(kMaxCodes + 1);

  const int clear = 1 << codeSize;
  const int end = clear + 1;
  int nextFree = clear + 2;
  int width = codeSize + 1;
  int old = -1;  // no previous code: after a clear code, and at the start of streams that lack one
  uint8_t first = 0;
  int lastPercent = -1;
  TCodeReader reader(data, raster.size(), 1);

  auto damaged = [&]() {
    if (!tolerant) RaiseGifError(kGifErrBadData);
    return true;
  };

  for (;;) {
    const int code = reader.Read(width);
    if (code < 0) return true;  // the data ran out before the rows were full
    if (progress) {
      const int percent = static_cast<int>(reader.Position() * 100 / raster.size());
      if (percent != lastPercent) {
        lastPercent = percent;
        progress(percent);
      }
    }
    if (code == clear) {
      nextFree = clear + 2;
      width = codeSize + 1;
      old = -1;
      continue;
    }
    if (code == end) return false;
    if (old < 0) {
      if (code > clear) return damaged();  // no entries exist yet
      first = static_cast<uint8_t>(code);
      old = code;
      if (!writer.Put(&first, 1)) return false;
      continue;
    }
    if (code > nextFree || (code == nextFree && nextFree >= kMaxCodes)) return damaged();

    // Unwind the chain onto the stack, last pixel first.
    int sp = kMaxCodes + 1;
    int c = code;
    if (code == nextFree) {  // the entry being defined: old string + its own first pixel
      stack[--sp] = first;
      c = old;
    }
    while (c >= clear) {
      if (sp == 0 || c == end || c == clear) return damaged();
      stack[--sp] = static_cast<uint8_t>(suffix[c]);
      c = prefix[c];
    }
    if (sp == 0) return damaged();
    first = static_cast<uint8_t>(c);
    stack[--sp] = first;

    // A full table takes no new entries until the next clear code; the
    // codes stay 12 bits wide.
    if (nextFree < kMaxCodes) {
      prefix[nextFree] = static_cast<uint16_t>(old);
      suffix[nextFree] = first;
      ++nextFree;
      if (nextFree >= (1 << width) && width < kMaxBits) ++width;
    }
    old = code;
    if (!writer.Put(stack.data() + sp, kMaxCodes + 1 - sp)) return false;
  }
}

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
  switch (target.Depth) {
    case 1: return Decode<1>(raster, target, tolerant, progress);
    case 4: return Decode<4>(raster, target, tolerant, progress);
    default: return Decode<8>(raster, target, tolerant, progress);
  }
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
