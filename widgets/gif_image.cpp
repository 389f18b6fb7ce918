#include "widgets/gif_image.h"

#include <QMimeData>
#include <QPainter>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <istream>
#include <iterator>
#include <ostream>

#include "widgets/gif_encoder.h"
#include "widgets/gif_lzw.h"

namespace widgets {

namespace {

constexpr uint8_t kExtensionIntroducer = 0x21;  // '!'
constexpr uint8_t kImageSeparator = 0x2c;       // ','
constexpr uint8_t kTrailer = 0x3b;              // ';'
constexpr uint8_t kLabelGraphicControl = 0xf9;
constexpr uint8_t kLabelComment = 0xfe;
constexpr uint8_t kLabelPlainText = 0x01;
constexpr uint8_t kLabelApplication = 0xff;
constexpr int kMaxLoopCount = 30000;
constexpr QRgb kMagenta = 0xffff00ff;

// Reads the GIF held in memory. The fixed-size parts raise EReadError when
// the data end early; sub-blocks and block introducers see the end as -1.
class TGifReader {
 public:
  TGifReader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool AtEnd() const { return pos_ >= size_; }
  std::size_t Position() const { return pos_; }
  std::size_t Left() const { return size_ - pos_; }
  const uint8_t* At(std::size_t pos) const { return data_ + pos; }
  void Skip(std::size_t count) { pos_ += std::min(count, Left()); }

  int ByteOrEnd() { return pos_ < size_ ? data_[pos_++] : -1; }
  uint8_t Byte() {
    if (pos_ >= size_) throw EReadError();
    return data_[pos_++];
  }
  uint16_t Word() {
    const uint8_t lo = Byte();
    return static_cast<uint16_t>(lo | (Byte() << 8));
  }
  std::string Bytes(std::size_t count) {
    if (Left() < count) throw EReadError();
    std::string out(reinterpret_cast<const char*>(data_ + pos_), count);
    pos_ += count;
    return out;
  }

  void ColorTable(int bits, TGIFColorTable& table) {
    const int count = 1 << bits;
    if (Left() < static_cast<std::size_t>(count) * 3) throw EReadError();
    table.Count = count;
    for (int i = 0; i < count; ++i) {
      table.Colors[i] = qRgb(data_[pos_], data_[pos_ + 1], data_[pos_ + 2]);
      pos_ += 3;
    }
  }

  // Data sub-blocks up to a zero length byte or the end of the data; a last
  // sub-block cut short keeps the bytes there are.
  std::vector<std::string> SubBlocks() {
    std::vector<std::string> blocks;
    for (;;) {
      const int length = ByteOrEnd();
      if (length <= 0) break;
      const std::size_t take = std::min<std::size_t>(static_cast<std::size_t>(length), Left());
      blocks.emplace_back(reinterpret_cast<const char*>(data_ + pos_), take);
      pos_ += take;
    }
    return blocks;
  }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

bool EqualsNoCase(const uint8_t* bytes, const char* text) {
  for (std::size_t i = 0; text[i] != 0; ++i) {
    const int c = bytes[i];
    const int lower = (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
    if (lower != text[i]) return false;
  }
  return true;
}

// Bits per pixel of a color count that is a power of two 2..256, else 0.
int BitsOfCount(int count) {
  for (int bits = 1; bits <= 8; ++bits) {
    if (count == (1 << bits)) return bits;
  }
  return 0;
}

// Splits a text into lines at CR LF, CR or LF, as a string list takes a text.
std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '\r' || text[i] == '\n') {
      lines.push_back(text.substr(start, i - start));
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      start = ++i;
    } else {
      ++i;
    }
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

void PutWord(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void PutLong(uint8_t* p, uint32_t v) {
  PutWord(p, static_cast<uint16_t>(v));
  PutWord(p + 2, static_cast<uint16_t>(v >> 16));
}

// Rows of a device-independent bitmap are padded to 4 bytes.
std::size_t DibStride(int width, int depth) { return ((static_cast<std::size_t>(width) * depth + 31) / 32) * 4; }

// The bit depth of a frame's bitmap: 1 for 1-bit frames, 4 for 2 to 4 bits,
// 8 for 5 to 8 bits; any other count raises 61096. Frames larger than
// TGIFImage::kMaxBitmapBytes (as a memory image) raise EOutOfResources.
int BitmapDepth(const TGIFItem& item) {
  int depth = 0;
  if (item.BitsPerPixel == 1) {
    depth = 1;
  } else if (item.BitsPerPixel >= 2 && item.BitsPerPixel <= 4) {
    depth = 4;
  } else if (item.BitsPerPixel >= 5 && item.BitsPerPixel <= 8) {
    depth = 8;
  } else {
    RaiseGifError(kGifErrColorCount);
  }
  if (DibStride(item.Width, depth) * item.Height > TGIFImage::kMaxBitmapBytes) throw fw::EOutOfResources("Out of system resources");
  return depth;
}

// Encoders that need one more value than a full table holds (gifsicle does
// this) mark transparency with the index just past the table and write that
// value into the raster with a larger code size. Such a frame gets a table
// wide enough for the index: the added entries repeat the table (so every
// other value shows the color it would have shown masked to the table's
// bits), and the transparent index gets a color found nowhere else in the
// table, which becomes the frame's key.
void WidenForTransparentIndex(TGIFFrame& frame, int index) {
  TGIFItem& item = *frame.Item;
  const int oldCount = item.ColorTable.Count;
  int bits = std::max(item.BitsPerPixel, 1);
  while ((1 << bits) <= index) ++bits;
  const int newCount = 1 << bits;
  for (int i = oldCount; i < newCount; ++i) item.ColorTable.Colors[i] = item.ColorTable.Colors[i % oldCount];
  const auto used = [&](QRgb c) {
    for (int i = 0; i < newCount; ++i) {
      if (i != index && item.ColorTable.Colors[i] == c) return true;
    }
    return false;
  };
  QRgb key = kMagenta;
  for (uint32_t step = 1; used(key); ++step) key = 0xff000000u | ((kMagenta + step * 0x010307u) & 0xffffffu);
  item.ColorTable.Colors[index] = key;
  item.ColorTable.Count = newCount;
  item.BitsPerPixel = bits;
  frame.TransparentKey = key;
}

// Reads a frame's descriptor, color table and raster, then applies its
// graphic control extensions.
void ReadFrame(TGifReader& reader, TGIFFrame& frame, const TGIFData& data) {
  TGIFItem& item = *frame.Item;
  const uint16_t left = reader.Word();
  const uint16_t top = reader.Word();
  item.Width = reader.Word();
  item.Height = reader.Word();
  item.Packed = reader.Byte();
  frame.Origin = QPoint(left, top);
  frame.IsInterlaced = (item.Packed & 0x40) != 0;
  if (item.Packed & 0x80) {
    item.BitsPerPixel = (item.Packed & 7) + 1;
    reader.ColorTable(item.BitsPerPixel, item.ColorTable);
  } else {
    item.ColorTable = data.ColorTable;
  }
  frame.IsGrayscale = item.ColorTable.Count > 0;
  for (int i = 0; i < item.ColorTable.Count; ++i) {
    const QRgb c = item.ColorTable.Colors[i];
    if (qRed(c) != qGreen(c) || qGreen(c) != qBlue(c)) {
      frame.IsGrayscale = false;
      break;
    }
  }

  // Copy the raster: code size byte, sub-blocks with their length bytes, the
  // terminator. Data that end before the terminator leave the frame corrupt.
  const std::size_t start = reader.Position();
  std::size_t end = start;  // end of what is copied
  bool complete = false;
  if (reader.ByteOrEnd() >= 0) {
    end = reader.Position();
    for (;;) {
      const int length = reader.ByteOrEnd();
      if (length < 0) break;  // the data end before the terminator
      if (length == 0) {
        end = reader.Position();
        complete = true;
        break;
      }
      if (reader.Left() < static_cast<std::size_t>(length)) {
        reader.Skip(reader.Left());  // a sub-block reaching past the end is not copied
        break;
      }
      reader.Skip(static_cast<std::size_t>(length));
      end = reader.Position();
    }
  }
  item.Raster.assign(reinterpret_cast<const char*>(reader.At(start)), end - start);
  frame.IsCorrupt = !complete;

  for (const TExtension& ext : frame.Extensions) {
    if (ext.Kind != TExtensionKind::ekGraphicControl) continue;
    const auto* fixed = reinterpret_cast<const uint8_t*>(ext.Fixed.data());
    const uint8_t packed = fixed[1];
    const uint16_t delay = static_cast<uint16_t>(fixed[2] | (fixed[3] << 8));
    const uint8_t index = fixed[4];
    if (packed & 1) {
      if (index < item.ColorTable.Count) {
        frame.TransparentKey = item.ColorTable.Colors[index];
      } else if (item.ColorTable.Count > 0) {
        WidenForTransparentIndex(frame, index);
      }
    } else {
      frame.TransparentKey.reset();
    }
    frame.DelayMs = std::max(static_cast<uint16_t>(delay * 10u), frame.DelayMs);
    frame.Disposal = (packed >> 2) & 7;
  }
}

}  // namespace

QImage GifKeyedImage(const QImage& bitmap, QRgb key) {
  key |= 0xff000000u;
  if (bitmap.format() == QImage::Format_Indexed8 || bitmap.format() == QImage::Format_Mono ||
      bitmap.format() == QImage::Format_MonoLSB) {
    QImage keyed = bitmap;
    QVector<QRgb> colors = keyed.colorTable();
    for (QRgb& c : colors) {
      if ((c | 0xff000000u) == key) c = 0;
    }
    keyed.setColorTable(colors);
    return keyed;
  }
  QImage keyed = bitmap.convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < keyed.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(keyed.scanLine(y));
    for (int x = 0; x < keyed.width(); ++x) {
      if ((line[x] | 0xff000000u) == key) line[x] = 0;
    }
  }
  return keyed;
}

TGIFImage::TGIFImage() : data_(std::make_shared<TGIFData>()) {}

TGIFImage::TGIFImage(const TGIFImage& other) : TGIFImage() { AssignFrom(other); }

TGIFImage& TGIFImage::operator=(const TGIFImage& other) {
  AssignFrom(other);
  return *this;
}

TGIFImage::~TGIFImage() = default;

void TGIFImage::Clear() {
  data_ = std::make_shared<TGIFData>();
  frames_.clear();
  currentFrame_ = -1;
  screenWidth_ = 0;
  screenHeight_ = 0;
  background_.reset();
  loopCount_ = 1;
  looping_ = false;
  version_ = 0;
}

void TGIFImage::Changed() {
  if (OnChange) OnChange();
}

void TGIFImage::LoadGifStream(std::istream& stream) {
  std::string bytes;
  if (stream.good()) {
    bytes.assign(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
    if (stream.bad()) throw EReadError();
  }
  LoadGifData(bytes);
}

void TGIFImage::LoadGifData(std::string_view bytes) {
  LoadBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), true);
}

void TGIFImage::ParseGifData(std::string_view bytes) {
  LoadBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), false);
}

void TGIFImage::LoadGifFile(const std::string& fileName) {
  std::ifstream file(fileName, std::ios::binary);
  if (!file) throw fw::EInOutError("Cannot open file \"" + fileName + "\"");
  LoadGifStream(file);
}

void TGIFImage::LoadStoredData(std::istream& stream) {
  unsigned char count[4];
  if (!stream.read(reinterpret_cast<char*>(count), 4)) throw EReadError();
  const uint32_t size = count[0] | (count[1] << 8) | (count[2] << 16) | (static_cast<uint32_t>(count[3]) << 24);
  std::string bytes;
  // Read in steps so that a damaged count does not allocate gigabytes up front.
  while (bytes.size() < size) {
    char chunk[65536];
    const std::size_t want = std::min<std::size_t>(sizeof chunk, size - bytes.size());
    if (!stream.read(chunk, static_cast<std::streamsize>(want))) throw EReadError();
    bytes.append(chunk, want);
  }
  LoadGifData(bytes);
}

void TGIFImage::LoadClipboard(const QMimeData& mime) {
  if (mime.hasFormat(kClipboardFormat)) {
    const QByteArray raw = mime.data(kClipboardFormat);
    if (raw.size() < 4) throw EReadError();
    const auto* p = reinterpret_cast<const uint8_t*>(raw.constData());
    const uint32_t length = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
    if (length > static_cast<uint32_t>(raw.size() - 4)) throw EReadError();
    LoadBytes(p + 4, length, false);
    if (!frames_.empty() && mime.hasImage()) {
      const QImage picture = qvariant_cast<QImage>(mime.imageData());
      if (!picture.isNull()) {
        frames_[0].Bitmap = picture;
        frames_[0].Decoded = true;
      }
    }
    return;
  }
  if (mime.hasImage()) {
    AssignFrom(qvariant_cast<QImage>(mime.imageData()));
    return;
  }
  throw fw::EInvalidGraphicOperation("Unsupported clipboard format");
}

void TGIFImage::LoadBytes(const uint8_t* bytes, std::size_t size, bool decodeFirst) {
  Clear();
  if (size == 0) return;
  TGifReader reader(bytes, size);

  // Header.
  const std::string signature = reader.Bytes(6);
  const auto* sig = reinterpret_cast<const uint8_t*>(signature.data());
  if (!EqualsNoCase(sig, "gif")) RaiseGifError(kGifErrUnknownVersion);
  if (EqualsNoCase(sig + 3, "87a")) {
    version_ = 1;
  } else if (EqualsNoCase(sig + 3, "89a")) {
    version_ = 2;
  } else {
    RaiseGifError(kGifErrUnknownVersion);
  }

  // Logical screen descriptor.
  screenWidth_ = reader.Word();
  screenHeight_ = reader.Word();
  const uint8_t packed = reader.Byte();
  const uint8_t backgroundIndex = reader.Byte();
  data_->AspectRatio = reader.Byte();
  data_->BitsPerPixel = (packed & 7) + 1;
  data_->ColorResolution = ((packed >> 4) & 7) + 1;
  if (packed & 0x80) {
    reader.ColorTable(data_->BitsPerPixel, data_->ColorTable);
    if (backgroundIndex < data_->ColorTable.Count) background_ = data_->ColorTable.Colors[backgroundIndex];
  }

  // Blocks.
  std::vector<TExtension> collected;
  int b = reader.ByteOrEnd();
  while (b > 0 && b != kTrailer) {
    while (b == kExtensionIntroducer) {
      const uint8_t label = reader.Byte();
      TExtension ext;
      switch (label) {
        case kLabelGraphicControl:
          ext.Kind = TExtensionKind::ekGraphicControl;
          ext.Fixed = reader.Bytes(6);
          collected.push_back(std::move(ext));
          break;
        case kLabelComment:
          ext.Kind = TExtensionKind::ekComment;
          ext.Data = reader.SubBlocks();
          collected.push_back(std::move(ext));
          break;
        case kLabelPlainText:
          // Plain text is not shown: it and everything collected before it go.
          reader.Bytes(13);
          reader.SubBlocks();
          collected.clear();
          break;
        case kLabelApplication: {
          ext.Fixed = reader.Bytes(12);
          ext.Data = reader.SubBlocks();
          if (ext.Fixed.compare(1, 11, "NETSCAPE2.0") == 0 && !ext.Data.empty() && ext.Data[0].size() >= 3 &&
              ext.Data[0][0] == 1) {
            const auto* d = reinterpret_cast<const uint8_t*>(ext.Data[0].data());
            looping_ = true;
            loopCount_ = std::min<int>(d[1] | (d[2] << 8), kMaxLoopCount);
          }
          break;
        }
        default:
          RaiseGifError(kGifErrUnknownExtension, label);
      }
      b = reader.ByteOrEnd();
      if (b < 0) break;
    }

    if (b == kImageSeparator) {
      TGIFFrame frame;
      frame.Owner = this;
      if (data_->ColorTable.Count > 0) {
        frame.Item->BitsPerPixel = BitsOfCount(data_->ColorTable.Count);
        if (frame.Item->BitsPerPixel == 0) RaiseGifError(kGifErrColorCount);
      }
      frame.Extensions = std::move(collected);
      collected.clear();
      ReadFrame(reader, frame, *data_);
      frames_.push_back(std::move(frame));
      do {
        b = reader.ByteOrEnd();
      } while (b == 0);
      if (b < 0) b = kTrailer;
      if (b != kExtensionIntroducer && b != kImageSeparator && b != kTrailer) break;
    } else {
      // Extensions not followed by an image.
      if (data_->Comment.empty() && !collected.empty()) {
        std::string text;
        bool firstComment = true;
        for (const TExtension& ext : collected) {
          if (ext.Kind != TExtensionKind::ekComment) continue;
          if (!firstComment) text += "\r\n\r\n";
          firstComment = false;
          for (const std::string& block : ext.Data) text += block;
        }
        data_->Comment = SplitLines(text);
        collected.clear();
      } else if (b > 0 && b != kTrailer) {
        throw EReadError();
      }
    }
  }

  if (!frames_.empty()) {
    currentFrame_ = 0;
    if (decodeFirst) {
      try {
        FrameBitmap(0);
      } catch (...) {
        frames_.erase(frames_.begin());
        throw;
      }
    }
    paletteModified_ = true;
    Changed();
  }
}

std::vector<uint8_t> TGIFImage::DecodeFrameDib(int index) {
  std::vector<uint8_t> dib;
  BuildFrameDib(index, dib);
  return dib;
}

void TGIFImage::BuildFrameDib(int index, std::vector<uint8_t>& dib) {
  TGIFFrame& frame = Frame(index);
  const TGIFItem& item = *frame.Item;
  const int depth = BitmapDepth(item);
  const std::size_t stride = DibStride(item.Width, depth);
  const std::size_t pixelBytes = stride * item.Height;
  const int entries = 1 << depth;
  const std::size_t offset = 54 + 4 * static_cast<std::size_t>(entries);
  dib.assign(offset + pixelBytes, 0);

  // File header and information header.
  dib[0] = 'B';
  dib[1] = 'M';
  PutLong(&dib[2], static_cast<uint32_t>(dib.size()));
  PutLong(&dib[10], static_cast<uint32_t>(offset));
  PutLong(&dib[14], 40);
  PutLong(&dib[18], item.Width);
  PutLong(&dib[22], item.Height);
  PutWord(&dib[26], 1);
  PutWord(&dib[28], static_cast<uint16_t>(depth));
  PutLong(&dib[34], static_cast<uint32_t>(pixelBytes));
  // Palette: the frame's colors, the rest filled with bytes of 128.
  for (int i = 0; i < entries; ++i) {
    uint8_t* entry = &dib[54 + 4 * i];
    if (i < item.ColorTable.Count) {
      const QRgb c = item.ColorTable.Colors[i];
      entry[0] = static_cast<uint8_t>(qBlue(c));
      entry[1] = static_cast<uint8_t>(qGreen(c));
      entry[2] = static_cast<uint8_t>(qRed(c));
      entry[3] = 0;
    } else {
      std::memset(entry, 128, 4);
    }
  }

  if (pixelBytes > 0) {
    TLzwTarget target;
    target.Top = dib.data() + offset + (item.Height - 1) * stride;  // bottom row first in memory
    target.RowStride = -static_cast<std::ptrdiff_t>(stride);
    target.Width = item.Width;
    target.Height = item.Height;
    target.Depth = depth;
    target.BitsPerPixel = item.BitsPerPixel;
    target.Interlaced = frame.IsInterlaced;
    if (GifLzwDecode(item.Raster, target, true, DecodeProgress())) frame.IsCorrupt = true;
  }
}

TLzwProgress TGIFImage::DecodeProgress() {
  if (!OnProgress) return nullptr;
  return [this](int percent) { OnProgress(TProgressStage::psRunning, percent, std::string()); };
}

const QImage& TGIFImage::FrameBitmap(int index) {
  TGIFFrame& frame = Frame(index);
  if (frame.Decoded) return frame.Bitmap;
  if (OnProgress) OnProgress(TProgressStage::psStarting, 0, std::string());
  QImage bitmap;
  try {
    bitmap = DecodeFrameBitmap(frame);
  } catch (const EAbort&) {
    if (OnProgress) OnProgress(TProgressStage::psEnding, 100, std::string());
    return frame.Bitmap;  // cancelled: the bitmap stays empty
  } catch (const fw::Exception& e) {
    if (OnProgress) OnProgress(TProgressStage::psEnding, 100, e.Message);
    throw;
  }
  if (OnProgress) OnProgress(TProgressStage::psEnding, 100, std::string());
  frame.Bitmap = bitmap;
  frame.Decoded = true;
  return frame.Bitmap;
}

// The bitmap the memory image would load to, decoded straight into its
// rows: 1 bit deep for 1-bit frames (Format_Mono), else one byte per pixel
// (Format_Indexed8) with a palette of 16 or 256 entries, gray 128 past the
// frame's table.
QImage TGIFImage::DecodeFrameBitmap(TGIFFrame& frame) {
  const TGIFItem& item = *frame.Item;
  const int depth = BitmapDepth(item);
  if (DibStride(item.Width, depth) * item.Height == 0) return QImage();
  QImage bitmap(item.Width, item.Height, depth == 1 ? QImage::Format_Mono : QImage::Format_Indexed8);
  if (bitmap.isNull()) throw fw::EOutOfResources("Out of system resources");
  QVector<QRgb> colors(1 << depth, qRgb(128, 128, 128));
  for (int i = 0; i < std::min<int>(item.ColorTable.Count, static_cast<int>(colors.size())); ++i) {
    colors[i] = item.ColorTable.Colors[i] | 0xff000000u;
  }
  bitmap.setColorTable(colors);
  const std::size_t rowBytes = (static_cast<std::size_t>(item.Width) * (depth == 1 ? 1 : 8) + 7) / 8;
  if (static_cast<std::size_t>(bitmap.bytesPerLine()) > rowBytes) bitmap.fill(0);  // the bytes past each row's pixels
  TLzwTarget target;
  target.Top = bitmap.bits();
  target.RowStride = bitmap.bytesPerLine();
  target.Width = item.Width;
  target.Height = item.Height;
  target.Depth = depth == 1 ? 1 : 8;
  target.BitsPerPixel = item.BitsPerPixel;
  target.Interlaced = frame.IsInterlaced;
  if (GifLzwDecode(item.Raster, target, true, DecodeProgress())) frame.IsCorrupt = true;
  return bitmap;
}

int TGIFImage::FrameWidth() {
  if (currentFrame_ < 0 || currentFrame_ >= FrameCount()) return 0;
  return FrameBitmap(currentFrame_).width();
}

int TGIFImage::FrameHeight() {
  if (currentFrame_ < 0 || currentFrame_ >= FrameCount()) return 0;
  return FrameBitmap(currentFrame_).height();
}

bool TGIFImage::IsEmpty() const {
  if (frames_.empty()) return true;
  const int index = std::max(currentFrame_, 0);
  if (index >= FrameCount()) return true;
  const TGIFFrame& frame = frames_[static_cast<std::size_t>(index)];
  return !frame.HasBitmap() && frame.Item->Raster.empty();
}

bool TGIFImage::HasTransparency() const {
  if (!transparent_) return false;
  return std::any_of(frames_.begin(), frames_.end(), [](const TGIFFrame& f) { return f.TransparentKey.has_value(); });
}

QVector<QRgb> TGIFImage::CurrentPalette() {
  if (frames_.empty()) return {};
  const int index = std::clamp(currentFrame_, 0, FrameCount() - 1);
  return FrameBitmap(index).colorTable();
}

void TGIFImage::DrawFrame(QPainter& painter, const QRect& rect) {
  if (currentFrame_ < 0 || currentFrame_ >= FrameCount()) return;
  TGIFFrame& frame = frames_[static_cast<std::size_t>(currentFrame_)];
  const QImage& bitmap = FrameBitmap(currentFrame_);
  if (bitmap.isNull()) return;
  if (frame.TransparentKey && HasTransparency()) {
    painter.drawImage(rect, GifKeyedImage(bitmap, *frame.TransparentKey));
  } else {
    painter.drawImage(rect, bitmap);
  }
}

void TGIFImage::AssignFrom(const TGIFImage& other) {
  if (&other == this) return;
  data_ = other.data_;
  frames_ = other.frames_;
  for (TGIFFrame& frame : frames_) frame.Owner = this;
  currentFrame_ = other.currentFrame_;
  screenWidth_ = other.screenWidth_;
  screenHeight_ = other.screenHeight_;
  background_ = other.background_;
  looping_ = other.looping_;
  loopCount_ = other.loopCount_;
  version_ = other.version_;
  transparent_ = other.transparent_;
  paletteModified_ = true;
  Changed();
}

void TGIFImage::AssignFrom(const TGIFFrame& frame) {
  const TGIFFrame copy = frame;  // the frame may be one of ours
  Clear();
  version_ = 2;
  frames_.push_back(copy);
  frames_[0].Owner = this;
  currentFrame_ = 0;
  RecomputeScreenSize();
  paletteModified_ = true;
  Changed();
}

void TGIFImage::AssignFrom(const QImage& graphic, std::optional<QRgb> transparentColor) {
  Clear();
  version_ = 2;
  if (graphic.isNull()) {
    Changed();
    return;
  }
  TGIFFrame frame;
  frame.Owner = this;
  QImage bitmap;
  if (graphic.format() == QImage::Format_Mono || graphic.format() == QImage::Format_Indexed8) {
    bitmap = graphic;
  } else if (graphic.format() == QImage::Format_MonoLSB) {
    bitmap = graphic.convertToFormat(QImage::Format_Mono);
  } else {
    QImage opaque = graphic.convertToFormat(QImage::Format_RGB32);
    if (graphic.hasAlphaChannel() && !transparentColor) {
      // Transparent parts show the fill color, which becomes the key.
      opaque.fill(kMagenta);
      QPainter painter(&opaque);
      painter.drawImage(0, 0, graphic);
      painter.end();
      transparentColor = kMagenta;
    }
    bitmap = opaque.convertToFormat(QImage::Format_Indexed8, Qt::ThresholdDither | Qt::AvoidDither);
  }
  QVector<QRgb> colors = bitmap.colorTable();
  for (QRgb& c : colors) c |= 0xff000000u;
  bitmap.setColorTable(colors);
  TGIFItem& item = *frame.Item;
  item.Width = static_cast<uint16_t>(std::min(bitmap.width(), 0xffff));
  item.Height = static_cast<uint16_t>(std::min(bitmap.height(), 0xffff));
  item.ColorTable.Count = std::min<int>(static_cast<int>(colors.size()), 256);
  for (int i = 0; i < item.ColorTable.Count; ++i) item.ColorTable.Colors[i] = colors[i];
  item.BitsPerPixel = bitmap.format() == QImage::Format_Mono ? 1 : 8;
  if (transparentColor) {
    // The nearest color the bitmap holds.
    int best = -1;
    int bestDistance = 0;
    for (int i = 0; i < item.ColorTable.Count; ++i) {
      const QRgb c = item.ColorTable.Colors[i];
      const int dr = qRed(c) - qRed(*transparentColor);
      const int dg = qGreen(c) - qGreen(*transparentColor);
      const int db = qBlue(c) - qBlue(*transparentColor);
      const int distance = dr * dr + dg * dg + db * db;
      if (best < 0 || distance < bestDistance) {
        best = i;
        bestDistance = distance;
      }
    }
    if (best >= 0) frame.TransparentKey = item.ColorTable.Colors[best];
  }
  frame.Bitmap = bitmap;
  frame.Decoded = true;
  frames_.push_back(std::move(frame));
  currentFrame_ = 0;
  RecomputeScreenSize();
  paletteModified_ = true;
  Changed();
}

void TGIFImage::SetFrame(int index, const TGIFFrame& frame) {
  if (index < 0 || index > FrameCount()) throw fw::EListError("List index out of bounds (" + std::to_string(index) + ")");
  if (index == FrameCount()) {
    frames_.push_back(frame);
  } else {
    frames_[static_cast<std::size_t>(index)] = frame;
  }
  frames_[static_cast<std::size_t>(index)].Owner = this;
  if (currentFrame_ < 0) currentFrame_ = 0;
  RecomputeScreenSize();
  paletteModified_ = true;
  Changed();
}

void TGIFImage::DeleteFrame(int index) {
  if (index < 0 || index >= FrameCount()) throw fw::EListError("List index out of bounds (" + std::to_string(index) + ")");
  frames_.erase(frames_.begin() + index);
  if (currentFrame_ >= FrameCount()) currentFrame_ = FrameCount() - 1;
  Changed();
}

void TGIFImage::RecomputeScreenSize() {
  int width = 0;
  int height = 0;
  for (const TGIFFrame& frame : frames_) {
    width = std::max(width, frame.Origin.x() + frame.Width());
    height = std::max(height, frame.Origin.y() + frame.Height());
  }
  screenWidth_ = std::min(width, 0xffff);
  screenHeight_ = std::min(height, 0xffff);
}

void TGIFImage::SetCurrentFrame(int index) {
  if (index < -1 || index >= FrameCount()) return;
  if (index == currentFrame_) return;
  currentFrame_ = index;
  Changed();
}

void TGIFImage::SetLooping(bool looping, int loopCount) {
  looping_ = looping;
  loopCount_ = std::clamp(loopCount, 0, kMaxLoopCount);
}

void TGIFImage::SetTransparent(bool value) {
  if (value == transparent_) return;
  transparent_ = value;
  Changed();
}

void TGIFImage::SetWidth(int) { RaiseGifError(kGifErrResize); }
void TGIFImage::SetHeight(int) { RaiseGifError(kGifErrResize); }

std::string TGIFImage::SaveToBytes() { return GifEncode(*this); }

void TGIFImage::SaveToStream(std::ostream& stream) {
  const std::string bytes = SaveToBytes();
  if (!stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()))) {
    throw fw::EInOutError("Stream write error");
  }
}

void TGIFImage::SaveToFile(const std::string& fileName) {
  const std::string bytes = SaveToBytes();
  std::ofstream file(fileName, std::ios::binary | std::ios::trunc);
  if (!file) throw fw::EInOutError("Cannot create file \"" + fileName + "\"");
  if (!file.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) || !file.flush()) {
    throw fw::EInOutError("Stream write error");
  }
}

void TGIFImage::SaveStoredData(std::ostream& stream) {
  const std::string bytes = frames_.empty() ? std::string() : SaveToBytes();
  unsigned char count[4];
  PutLong(count, static_cast<uint32_t>(bytes.size()));
  if (!stream.write(reinterpret_cast<const char*>(count), 4) ||
      !stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()))) {
    throw fw::EInOutError("Stream write error");
  }
}

}  // namespace widgets
