#include "tools/demo/demo_banners.h"

#include <algorithm>

#include "tabula/locale.h"
#include "tools/demo/banner_canvas.h"
#include "widgets/gif_encoder.h"
#include "widgets/gif_image.h"

namespace demo {

namespace {

using tabula::Utf8ToCp1251;

// An animation built from whole pictures: after the first, each frame
// holds only the rectangle that differs from the picture before it and
// leaves the rest in place (disposal 1), which keeps the file small.
class TAnimation {
 public:
  void AddFrame(const QImage& picture, int delayMs) {
    QRect changed(0, 0, picture.width(), picture.height());
    if (!previous_.isNull()) {
      changed = ChangedRect(previous_, picture);
      if (changed.isEmpty()) {
        // Nothing moved: the previous frame stays up longer.
        widgets::TGIFFrame& last = image_.Frame(image_.FrameCount() - 1);
        last.DelayMs = uint16_t(std::min(last.DelayMs + delayMs, 65530));
        return;
      }
    }
    widgets::TGIFFrame frame;
    frame.Bitmap = picture.copy(changed);
    frame.Decoded = true;
    frame.Item->Width = uint16_t(changed.width());
    frame.Item->Height = uint16_t(changed.height());
    frame.Item->BitsPerPixel = 4;
    frame.Item->ColorTable.Count = int(picture.colorCount());
    for (int i = 0; i < picture.colorCount(); ++i) frame.Item->ColorTable.Colors[size_t(i)] = picture.color(i);
    frame.Origin = changed.topLeft();
    frame.DelayMs = uint16_t(delayMs);
    frame.Disposal = 1;
    image_.SetFrame(image_.FrameCount(), frame);
    previous_ = picture;
  }

  std::string Encode() {
    image_.SetLooping(true, 0);  // for ever
    return widgets::GifEncode(image_);
  }

 private:
  static QRect ChangedRect(const QImage& before, const QImage& after) {
    int left = after.width(), right = -1, top = after.height(), bottom = -1;
    for (int y = 0; y < after.height(); ++y) {
      const uchar* a = before.constScanLine(y);
      const uchar* b = after.constScanLine(y);
      for (int x = 0; x < after.width(); ++x) {
        if (a[x] == b[x]) continue;
        left = std::min(left, x);
        right = std::max(right, x);
        top = std::min(top, y);
        bottom = std::max(bottom, y);
      }
    }
    return right < 0 ? QRect() : QRect(QPoint(left, top), QPoint(right, bottom));
  }

  widgets::TGIFImage image_;
  QImage previous_;
};

// The city telephone network: a telephone that rings, the network's name
// sliding in and its motto typed out letter by letter.
std::string TelephoneBanner() {
  enum { kNavy, kDeepBlue, kWhite, kYellow, kLightBlue, kOrange, kDarkOrange };
  const QVector<QRgb> palette = {qRgb(16, 32, 96),    qRgb(28, 52, 132), qRgb(255, 255, 255), qRgb(255, 214, 64),
                                 qRgb(140, 190, 255), qRgb(255, 140, 40), qRgb(190, 90, 20)};
  const std::string title = Utf8ToCp1251("БОРВИНСКАЯ ГТС");
  const std::string motto = Utf8ToCp1251("ТЕЛЕФОН В КАЖДЫЙ ДОМ!");
  constexpr int kTextLeft = 112;
  const auto draw = [&](int titleX, int titleColor, size_t mottoChars, int mottoColor, int handsetLift) {
    TBannerCanvas c(kBannerWidth, kBannerHeight, palette);
    c.FillRect(0, kBannerHeight - 4, kBannerWidth, 4, kDeepBlue);
    // The telephone: body, dial, and the handset resting on its cradle.
    c.FillRect(30, 30, 52, 22, kOrange);
    c.FillRect(36, 25, 40, 6, kDarkOrange);
    c.FillCircle(56, 40, 9, kWhite);
    c.FillCircle(56, 40, 3, kOrange);
    c.FillRect(28, 15 - handsetLift, 56, 6, kOrange);
    c.FillCircle(30, 19 - handsetLift, 6, kOrange);
    c.FillCircle(82, 19 - handsetLift, 6, kOrange);
    c.DrawText(titleX, 8, 3, titleColor, title);
    c.DrawText(kTextLeft, 38, 2, mottoColor, std::string_view(motto).substr(0, mottoChars));
    return c.Image();
  };
  TAnimation a;
  constexpr int kSlideFrames = 10;
  for (int k = 1; k <= kSlideFrames; ++k)
    a.AddFrame(draw(kBannerWidth - (kBannerWidth - kTextLeft) * k / kSlideFrames, kWhite, 0, kYellow, 0), 60);
  for (size_t n = 2; n < motto.size() + 2; n += 2) a.AddFrame(draw(kTextLeft, kWhite, n, kYellow, 0), 90);
  for (int ring = 0; ring < 8; ++ring)
    a.AddFrame(draw(kTextLeft, ring % 2 ? kLightBlue : kWhite, motto.size(), ring % 2 ? kWhite : kYellow,
                    ring % 2 ? 0 : 3),
               ring == 7 ? 2500 : 250);
  return a.Encode();
}

// A travel agency: the sun rises over a rolling sea while the offer and the
// telephone number take turns.
std::string TravelBanner() {
  enum { kSky, kSea, kWave, kSun, kSunRim, kWhite, kInk, kRed };
  const QVector<QRgb> palette = {qRgb(150, 205, 255), qRgb(20, 90, 170), qRgb(90, 160, 230), qRgb(255, 226, 80),
                                 qRgb(255, 160, 40),  qRgb(255, 255, 255), qRgb(10, 30, 90), qRgb(200, 30, 40)};
  const std::string name = Utf8ToCp1251("ТУРАГЕНТСТВО «ВОЯЖ»");
  const std::string offer = Utf8ToCp1251("ОТДЫХ НА МОРЕ И В ГОРАХ");
  const std::string phone = Utf8ToCp1251("ЗВОНИТЕ: 23-45-67");
  constexpr int kSeaTop = 44, kFrames = 24, kRiseFrames = 10;
  TAnimation a;
  for (int f = 0; f < kFrames; ++f) {
    TBannerCanvas c(kBannerWidth, kBannerHeight, palette);
    const int sunY = kSeaTop + 8 - std::min(f, kRiseFrames) * 3;
    c.FillCircle(52, sunY, 15, kSunRim);
    c.FillCircle(52, sunY, 12, kSun);
    c.FillRect(0, kSeaTop, kBannerWidth, kBannerHeight - kSeaTop, kSea);
    // Crests every 24 pixels, moving 4 pixels a frame.
    for (int x = -24 + (f * 4) % 24; x < kBannerWidth; x += 24) {
      c.FillRect(x, kSeaTop, 12, 2, kWave);
      c.FillRect(x + 12, kSeaTop + 6, 8, 2, kWhite);
    }
    c.DrawText(110, 4, 2, kInk, name);
    if ((f / 6) % 2 == 0)
      c.DrawText(110, 24, 2, kInk, offer);
    else
      c.DrawText(110, 24, 2, kRed, phone);
    a.AddFrame(c.Image(), 120);
  }
  return a.Encode();
}

}  // namespace

std::vector<TDemoBanner> MakeDemoBanners() {
  std::vector<TDemoBanner> banners(4);
  banners[0].Picture = TelephoneBanner();
  banners[1].Text = Utf8ToCp1251(
      "Кафе «Уют» — ул. Ленина, 12\r\n"
      "Комплексные обеды с 12 до 15 часов\r\n"
      "Банкеты, свадьбы, юбилеи. Тел. 23-11-45\r\n");
  banners[2].Picture = TravelBanner();
  banners[3].Text = Utf8ToCp1251(
      "Такси «Борвино-Экспресс»\r\n"
      "По городу — от 50 рублей\r\n"
      "Круглосуточно: 33-33-33\r\n");
  return banners;
}

}  // namespace demo
