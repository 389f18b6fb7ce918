#include "app/banner_picture.h"

#include <QDir>
#include <QFont>
#include <QImage>
#include <QPainter>

#include "framework/core/exceptions.h"
#include "widgets/gif_encoder.h"
#include "widgets/gif_image.h"

namespace app {

TBannerPicture::TBannerPicture(const uint8_t* bytes, size_t size)
    : file_(QDir::tempPath() + QStringLiteral("/phonedir-banner-XXXXXX.gif")) {
  if (!file_.open())
    throw fw::EInOutError("Cannot create file \"" + file_.fileTemplate().toStdString() + "\": " +
                          file_.errorString().toStdString());
  // Written straight from the bytes read, however long the picture is.
  const qint64 written = file_.write(reinterpret_cast<const char*>(bytes), qint64(size));
  const bool flushed = file_.flush();
  if (written != qint64(size) || !flushed)
    throw fw::EInOutError("Cannot write file \"" + FileName() + "\": " + file_.errorString().toStdString());
  file_.close();
}

TBannerPicture::~TBannerPicture() { Remove(); }

std::string TBannerPicture::FileName() const { return QFile::encodeName(file_.fileName()).toStdString(); }

void TBannerPicture::Remove() {
  if (!file_.fileName().isEmpty() && QFile::exists(file_.fileName())) file_.remove();
}

std::string InitialBannerPicture() {
  constexpr int kWidth = 468, kHeight = 60;
  QImage canvas(kWidth, kHeight, QImage::Format_RGB32);
  canvas.fill(QColor(0x1c, 0x3f, 0x7a));
  {
    QPainter painter(&canvas);
    painter.setPen(QColor(0xff, 0xd4, 0x3b));
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(26);
    font.setBold(true);
    painter.setFont(font);
    painter.drawText(QRect(0, 0, kWidth, kHeight), Qt::AlignCenter, QStringLiteral("Борвинская ГТС"));
  }
  widgets::TGIFImage image;
  image.AssignFrom(canvas.convertToFormat(QImage::Format_Indexed8, Qt::ThresholdDither | Qt::AvoidDither));
  return widgets::GifEncode(image);
}

}  // namespace app
