// Draws the application icon at every size the desktop asks for:
//   draw_icons OUTPUT_FOLDER  ->  zentra-16.png ... zentra-256.png
// A remote screen (rounded monitor) with a bold "Z" stroke running across it.
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cstdio>

namespace {

QImage DrawIcon(int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  const double s = size / 256.0;

  // Monitor body.
  QRectF screen(16 * s, 28 * s, 224 * s, 164 * s);
  QLinearGradient body(screen.topLeft(), screen.bottomLeft());
  body.setColorAt(0, QColor(0x2b, 0x7c, 0xd9));
  body.setColorAt(1, QColor(0x0d, 0x3f, 0x8c));
  p.setPen(QPen(QColor(0x0a, 0x2a, 0x5e), std::max(1.0, 8 * s)));
  p.setBrush(body);
  p.drawRoundedRect(screen, 22 * s, 22 * s);

  // Stand.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x0a, 0x2a, 0x5e));
  p.drawRect(QRectF(112 * s, 192 * s, 32 * s, 28 * s));
  p.drawRoundedRect(QRectF(70 * s, 216 * s, 116 * s, 18 * s), 8 * s, 8 * s);

  // The "Z" stroke.
  QPainterPath z;
  z.moveTo(70 * s, 66 * s);
  z.lineTo(186 * s, 66 * s);
  z.lineTo(76 * s, 156 * s);
  z.lineTo(190 * s, 156 * s);
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(QColor(0xff, 0xff, 0xff), std::max(1.5, 24 * s), Qt::SolidLine, Qt::RoundCap,
                Qt::RoundJoin));
  p.drawPath(z);
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: draw_icons OUTPUT_FOLDER\n");
    return 2;
  }
  for (int size : {16, 32, 48, 64, 128, 256}) {
    const QString path =
        QStringLiteral("%1/zentra-%2.png").arg(QString::fromLocal8Bit(argv[1])).arg(size);
    if (!DrawIcon(size).save(path)) {
      std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
      return 1;
    }
  }
  return 0;
}
