#include "principal/rdp/session/clipboard/clippicture.h"

#include <QBuffer>
#include <QImageReader>
#include <QtEndian>
#include <cstdint>
#include <cstring>

#include "principal/rdp/session/clipboard/cliplimits.h"

namespace {

constexpr quint32 kInfoHeaderSize = 40;
constexpr quint32 kV4HeaderSize = 108;
constexpr quint32 kV5HeaderSize = 124;
constexpr quint32 kBiRgb = 0;
constexpr quint32 kBiBitfields = 3;
constexpr quint32 kFileHeaderSize = 14;
// LCS_sRGB, the colour space a V5 header names when it carries no profile.
constexpr quint32 kLcsSrgb = 0x73524742;

quint32 U32(const QByteArray& b, int at) {
  return qFromLittleEndian<quint32>(b.constData() + at);
}
qint32 I32(const QByteArray& b, int at) {
  return qFromLittleEndian<qint32>(b.constData() + at);
}
quint16 U16(const QByteArray& b, int at) {
  return qFromLittleEndian<quint16>(b.constData() + at);
}

bool SizeWithinBounds(qint64 width, qint64 height) {
  return width > 0 && height > 0 && width <= kMaxPictureSide && height <= kMaxPictureSide &&
         width * height <= kMaxPicturePixels;
}

QByteArray Header(const QImage& image, quint32 headerSize, quint32 compression, quint16 bits) {
  QByteArray header(static_cast<int>(headerSize), '\0');
  char* h = header.data();
  const quint32 rowBytes = ((static_cast<quint32>(image.width()) * bits + 31) / 32) * 4;
  qToLittleEndian<quint32>(headerSize, h);
  qToLittleEndian<qint32>(image.width(), h + 4);
  qToLittleEndian<qint32>(image.height(), h + 8);  // positive: rows bottom-up
  qToLittleEndian<quint16>(1, h + 12);
  qToLittleEndian<quint16>(bits, h + 14);
  qToLittleEndian<quint32>(compression, h + 16);
  qToLittleEndian<quint32>(rowBytes * static_cast<quint32>(image.height()), h + 20);
  qToLittleEndian<qint32>(2835, h + 24);  // 72 dpi, in pixels per metre
  qToLittleEndian<qint32>(2835, h + 28);
  return header;
}

QByteArray Rows(const QImage& argb) {
  QByteArray rows;
  const qsizetype rowBytes = static_cast<qsizetype>(argb.width()) * 4;
  rows.resize(rowBytes * argb.height());
  // ARGB32 in memory is B, G, R, A on little-endian: the DIB's own byte order.
  for (int y = 0; y < argb.height(); ++y)
    std::memcpy(rows.data() + rowBytes * (argb.height() - 1 - y), argb.constScanLine(y),
                static_cast<size_t>(rowBytes));
  return rows;
}

}  // namespace

std::optional<QImage> PictureFromDib(const QByteArray& dib) {
  if (dib.size() < static_cast<qsizetype>(kInfoHeaderSize) ||
      static_cast<std::uint64_t>(dib.size()) > kMaxClipDataBytes)
    return std::nullopt;
  const quint32 headerSize = U32(dib, 0);
  if (headerSize != kInfoHeaderSize && headerSize != kV4HeaderSize && headerSize != kV5HeaderSize)
    return std::nullopt;
  if (dib.size() < static_cast<qsizetype>(headerSize)) return std::nullopt;
  const qint64 width = I32(dib, 4);
  const qint64 height = I32(dib, 8);
  const quint16 planes = U16(dib, 12);
  const quint16 bits = U16(dib, 14);
  const quint32 compression = U32(dib, 16);
  const quint32 colorsUsed = U32(dib, 32);
  const qint64 absHeight = height < 0 ? -height : height;
  if (planes != 1 || !SizeWithinBounds(width, absHeight)) return std::nullopt;
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
    return std::nullopt;
  if (compression != kBiRgb && compression != kBiBitfields) return std::nullopt;
  if (compression == kBiBitfields && bits != 16 && bits != 32) return std::nullopt;

  quint64 tableBytes = 0;
  if (bits <= 8) {
    const quint64 colors = colorsUsed == 0 ? (1u << bits) : colorsUsed;
    if (colors > (1u << bits)) return std::nullopt;
    tableBytes = colors * 4;
  } else if (compression == kBiBitfields && headerSize == kInfoHeaderSize) {
    tableBytes = 12;  // the three masks follow a short header
  }
  const quint64 stride = ((static_cast<quint64>(width) * bits + 31) / 32) * 4;
  const quint64 pixelBytes = stride * static_cast<quint64>(absHeight);
  const quint64 offset = headerSize + tableBytes;
  if (offset + pixelBytes > static_cast<quint64>(dib.size())) return std::nullopt;

  // Qt reads BMP files; a DIB is one without its 14-byte file header.
  QByteArray file(static_cast<int>(kFileHeaderSize), '\0');
  file[0] = 'B';
  file[1] = 'M';
  qToLittleEndian<quint32>(static_cast<quint32>(kFileHeaderSize + offset + pixelBytes),
                           file.data() + 2);
  qToLittleEndian<quint32>(static_cast<quint32>(kFileHeaderSize + offset), file.data() + 10);
  file += dib.left(static_cast<qsizetype>(offset + pixelBytes));
  QImage image;
  if (!image.loadFromData(file, "BMP") || image.isNull()) return std::nullopt;
  // A V5 picture with an alpha mask keeps it; Qt gives the alpha only when the mask is set.
  return image;
}

std::optional<QImage> PictureFromPng(const QByteArray& png) {
  if (static_cast<std::uint64_t>(png.size()) > kMaxClipDataBytes) return std::nullopt;
  QBuffer buffer;
  buffer.setData(png);
  buffer.open(QIODevice::ReadOnly);
  QImageReader reader(&buffer, "PNG");
  const QSize size = reader.size();
  if (!size.isValid() || !SizeWithinBounds(size.width(), size.height())) return std::nullopt;
  QImage image;
  if (!reader.read(&image) || image.isNull()) return std::nullopt;
  return image;
}

QByteArray DibFromPicture(const QImage& image) {
  if (image.isNull()) return {};
  // 24 bits a pixel: a 32-bit DIB leaves its fourth byte to each reader's guess (some take it
  // for alpha and see nothing). Without alpha, the picture is shown as it would look on white.
  const QImage source = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
  const qsizetype rowBytes = ((static_cast<qsizetype>(image.width()) * 24 + 31) / 32) * 4;
  QByteArray rows(rowBytes * image.height(), '\0');
  for (int y = 0; y < source.height(); ++y) {
    const auto* in = reinterpret_cast<const QRgb*>(source.constScanLine(y));
    auto* out =
        reinterpret_cast<unsigned char*>(rows.data()) + rowBytes * (source.height() - 1 - y);
    for (int x = 0; x < source.width(); ++x) {
      const QRgb p = in[x];
      const int clear = 255 - qAlpha(p);
      out[3 * x] = static_cast<unsigned char>(qBlue(p) + clear);
      out[3 * x + 1] = static_cast<unsigned char>(qGreen(p) + clear);
      out[3 * x + 2] = static_cast<unsigned char>(qRed(p) + clear);
    }
  }
  // Some servers (xrdp 0.9) put a 14-byte file header in front and then pass on only as many
  // bytes as the DIB had, cutting its end; readers ignore bytes after the pixels, so a tail of 14
  // keeps the picture whole there and changes nothing elsewhere.
  return Header(image, kInfoHeaderSize, kBiRgb, 24) + rows + QByteArray(kFileHeaderSize, '\0');
}

QByteArray DibV5FromPicture(const QImage& image) {
  if (image.isNull()) return {};
  const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
  QByteArray header = Header(argb, kV5HeaderSize, kBiBitfields, 32);
  char* h = header.data();
  qToLittleEndian<quint32>(0x00FF0000, h + 40);  // red mask
  qToLittleEndian<quint32>(0x0000FF00, h + 44);  // green
  qToLittleEndian<quint32>(0x000000FF, h + 48);  // blue
  qToLittleEndian<quint32>(0xFF000000, h + 52);  // alpha
  qToLittleEndian<quint32>(kLcsSrgb, h + 56);
  qToLittleEndian<quint32>(4, h + 108);  // LCS_GM_IMAGES, the rendering intent
  return header + Rows(argb);
}

QByteArray PngFromPicture(const QImage& image) {
  QByteArray png;
  QBuffer buffer(&png);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "PNG");
  return png;
}
