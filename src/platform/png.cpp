#include "platform/png.h"

#include <png.h>

#include <QString>
#include <QSysInfo>
#include <cstddef>

namespace {

// Far above any picture the program carries; a header asking for more is refused before any
// memory is taken for it.
constexpr png_uint_32 kLargestSide = 8192;

[[noreturn]] void Fail(png_image& image, const QString& what) {
  const QString found = QString::fromLocal8Bit(image.message);
  png_image_free(&image);
  throw EPngError(found.isEmpty() ? what : QStringLiteral("%1: %2").arg(what, found));
}

}  // namespace

QImage DecodePng(const QByteArray& bytes) {
  if (bytes.isEmpty()) throw EPngError(QStringLiteral("PNG picture is empty"));
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_memory(&image, bytes.constData(),
                                       static_cast<std::size_t>(bytes.size())) == 0) {
    Fail(image, QStringLiteral("PNG picture cannot be decoded"));
  }
  if (image.width > kLargestSide || image.height > kLargestSide) {
    Fail(image, QStringLiteral("PNG picture is too large"));
  }
  // ARGB32 holds each pixel as one native 32-bit word: B, G, R, A in memory on little-endian
  // machines, A, R, G, B on big-endian ones. Both are unpremultiplied, as libpng gives them.
  image.format = QSysInfo::ByteOrder == QSysInfo::LittleEndian ? PNG_FORMAT_BGRA : PNG_FORMAT_ARGB;
  QImage decoded(static_cast<int>(image.width), static_cast<int>(image.height),
                 QImage::Format_ARGB32);
  if (decoded.isNull()) Fail(image, QStringLiteral("PNG picture is too large"));
  // The row stride counts components, one byte each in an 8-bit format.
  if (png_image_finish_read(&image, nullptr, decoded.bits(),
                            static_cast<png_int_32>(decoded.bytesPerLine()), nullptr) == 0) {
    Fail(image, QStringLiteral("PNG picture cannot be decoded"));
  }
  png_image_free(&image);
  return decoded;
}
