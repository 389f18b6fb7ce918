#pragma once
// TGIFImage: a GIF picture held as a list of frames (TGIFFrame). Loading only
// copies each frame's compressed raster; a frame is LZW-decoded into a
// device-independent bitmap, and from it into a QImage, the first time its
// bitmap is asked for. Reads "87a" and "89a" data; writes "89a".

#include <QImage>
#include <QPoint>
#include <QRect>
#include <QVector>

#include <array>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "widgets/gif_errors.h"

class QMimeData;
class QPainter;

namespace widgets {

// A color table: up to 256 colors (alpha always 255).
struct TGIFColorTable {
  int Count = 0;
  std::array<QRgb, 256> Colors{};
};

// Shared by the images assigned from one another.
struct TGIFData {
  int ColorResolution = 8;  // 1..8
  int BitsPerPixel = 8;     // global table bits, 1..8
  uint8_t AspectRatio = 0;
  TGIFColorTable ColorTable;         // the global table
  std::vector<std::string> Comment;  // the image comment, one line per entry
};

enum class TExtensionKind { ekGraphicControl = 0, ekPlainText = 1, ekApplication = 2, ekComment = 3 };

// An extension block as read: its fixed bytes and its data sub-blocks.
struct TExtension {
  TExtensionKind Kind = TExtensionKind::ekComment;
  std::string Fixed;              // for graphic control: size, packed, delay (2), index, terminator
  std::vector<std::string> Data;  // one string per nonzero sub-block
};

// A frame's compressed raster and descriptor, shared between copies of the frame.
struct TGIFItem {
  std::string Raster;  // code size byte, then data sub-blocks with their length bytes
  uint16_t Width = 0;
  uint16_t Height = 0;
  uint8_t Packed = 0;  // the image descriptor's packed byte
  TGIFColorTable ColorTable;
  int BitsPerPixel = 0;  // 0 when the frame has no color table at all
};

class TGIFImage;

class TGIFFrame {
 public:
  TGIFImage* Owner = nullptr;
  QImage Bitmap;         // valid once Decoded
  bool Decoded = false;  // the bitmap has been built (it may be null for a 0-sized frame)
  std::shared_ptr<TGIFItem> Item = std::make_shared<TGIFItem>();
  std::vector<TExtension> Extensions;  // graphic control and comment extensions before the frame
  QPoint Origin;
  bool IsInterlaced = false;
  bool IsCorrupt = false;
  bool IsGrayscale = false;
  std::optional<QRgb> TransparentKey;
  uint16_t DelayMs = 0;
  int Disposal = 0;  // 0..7

  int Width() const { return Item->Width; }
  int Height() const { return Item->Height; }
  bool HasBitmap() const { return Decoded && !Bitmap.isNull(); }
};

// A copy of `bitmap` in which the pixels of the key color are transparent.
QImage GifKeyedImage(const QImage& bitmap, QRgb key);

enum class TProgressStage { psStarting, psRunning, psEnding };

class TGIFImage {
 public:
  // The clipboard format, file extension and description the picture is known by.
  static constexpr const char* kClipboardFormat = "GIF Image";
  static constexpr const char* kFileExtension = "gif";
  static constexpr const char* kFileDescription = "CompuServe GIF Image";
  // The largest frame bitmap decoded (pixel bytes); larger frames raise
  // EOutOfResources instead of exhausting memory on a damaged size field.
  static constexpr std::size_t kMaxBitmapBytes = 128u << 20;

  TGIFImage();
  TGIFImage(const TGIFImage& other);
  TGIFImage& operator=(const TGIFImage& other);
  ~TGIFImage();

  // Loading. Each clears the image first; an empty source gives an empty image.
  void LoadGifStream(std::istream& stream);  // from the stream's position to its end; decodes frame 0
  void LoadGifData(std::string_view bytes);  // the same, from memory
  // Reads the frames (their rasters copied, none decoded) from memory.
  void ParseGifData(std::string_view bytes);
  void LoadGifFile(const std::string& fileName);
  void LoadStoredData(std::istream& stream);  // a 32-bit little-endian byte count, then the GIF
  // "GIF Image" data (a 32-bit length, then the GIF) without decoding frame 0
  // (its bitmap comes from the clipboard's image when there is one); any
  // other image through AssignFrom.
  void LoadClipboard(const QMimeData& data);

  // Saving: GIF89a with a local color table per frame. Frames not decoded yet
  // are decoded; a frame without a bitmap raises 61098, a bitmap not 1, 4 or
  // 8 bits deep 61093.
  void SaveToStream(std::ostream& stream);
  std::string SaveToBytes();
  void SaveToFile(const std::string& fileName);
  void SaveStoredData(std::ostream& stream);  // count-prefixed, as LoadStoredData reads it

  void AssignFrom(const TGIFImage& other);  // shares the data, copies the frames
  void AssignFrom(const TGIFFrame& frame);  // a one-frame image
  // A one-frame image holding a copy of `graphic`; `transparentColor` (or the
  // graphic's alpha channel) gives the frame a TransparentKey.
  void AssignFrom(const QImage& graphic, std::optional<QRgb> transparentColor = std::nullopt);
  void Clear();

  // Draws the current frame stretched into rect, leaving out its key color
  // when HasTransparency.
  void DrawFrame(QPainter& painter, const QRect& rect);

  int FrameWidth();
  int FrameHeight();
  int ScreenWidth() const { return frames_.empty() ? 0 : screenWidth_; }
  int ScreenHeight() const { return frames_.empty() ? 0 : screenHeight_; }
  bool IsEmpty() const;
  bool HasTransparency() const;
  QVector<QRgb> CurrentPalette();
  // The frame's bitmap, decoding it on first use.
  const QImage& FrameBitmap(int index);
  // Builds the device-independent bitmap of a frame (file header, information
  // header, palette, bottom-up rows padded to 4 bytes) and decodes the
  // raster into it; sets the frame's IsCorrupt when the raster is damaged.
  std::vector<uint8_t> DecodeFrameDib(int index);

  int FrameCount() const { return static_cast<int>(frames_.size()); }
  TGIFFrame& Frame(int index) { return frames_.at(static_cast<std::size_t>(index)); }
  const TGIFFrame& Frame(int index) const { return frames_.at(static_cast<std::size_t>(index)); }
  // Replaces a frame (or appends one at FrameCount()); the logical screen
  // becomes the largest origin + size over all frames.
  void SetFrame(int index, const TGIFFrame& frame);
  void DeleteFrame(int index);

  const TGIFData& Data() const { return *data_; }
  int CurrentFrame() const { return currentFrame_; }
  void SetCurrentFrame(int index);
  std::optional<QRgb> Background() const { return background_; }
  bool Looping() const { return looping_; }
  int LoopCount() const { return loopCount_; }
  void SetLooping(bool looping, int loopCount);
  int Version() const { return version_; }  // 0 none, 1 "87a", 2 "89a"
  bool Transparent() const { return transparent_; }
  void SetTransparent(bool value);
  bool PaletteModified() const { return paletteModified_; }
  void SetPaletteModified(bool value) { paletteModified_ = value; }
  // The size of a GIF image is that of its frames: these raise 61099.
  [[noreturn]] void SetWidth(int width);
  [[noreturn]] void SetHeight(int height);

  // The change notification (the animator listens to it).
  std::function<void()> OnChange;
  // Decoding progress: a start, a percentage after each code (when it
  // changes) and an end (also on failure, with the error's message). A
  // handler may throw EAbort to cancel: the bitmap then stays empty.
  std::function<void(TProgressStage stage, int percent, const std::string& message)> OnProgress;

 private:
  void LoadBytes(const uint8_t* data, std::size_t size, bool decodeFirst);
  void BuildFrameDib(int index, std::vector<uint8_t>& dib);
  QImage DecodeFrameBitmap(TGIFFrame& frame);
  std::function<void(int)> DecodeProgress();
  void Changed();
  void RecomputeScreenSize();

  std::shared_ptr<TGIFData> data_;
  std::vector<TGIFFrame> frames_;
  int currentFrame_ = -1;
  int screenWidth_ = 0;
  int screenHeight_ = 0;
  std::optional<QRgb> background_;
  bool looping_ = false;
  int loopCount_ = 1;
  int version_ = 0;
  bool transparent_ = true;
  bool paletteModified_ = false;
};

}  // namespace widgets
