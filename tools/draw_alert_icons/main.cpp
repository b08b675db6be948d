// Draws the two status icons of the connection alert:
//   draw_alert_icons OUTPUT_FOLDER  ->  connecting.png, disconnected.png (50 x 50)
// A blue and green globe; the same globe with a red round badge bearing a white cross.
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cstdio>

namespace {

constexpr int kSize = 50;

void DrawGlobe(QPainter& p) {
  const QRectF globe(3, 3, 44, 44);
  QRadialGradient ocean(QPointF(18, 16), 34);
  ocean.setColorAt(0, QColor(0x8f, 0xd3, 0xff));
  ocean.setColorAt(0.55, QColor(0x1f, 0x7a, 0xd6));
  ocean.setColorAt(1, QColor(0x0b, 0x3c, 0x8a));
  p.setPen(QPen(QColor(0x0a, 0x33, 0x70), 1.2));
  p.setBrush(ocean);
  p.drawEllipse(globe);

  QPainterPath clip;
  clip.addEllipse(globe.adjusted(0.6, 0.6, -0.6, -0.6));
  p.save();
  p.setClipPath(clip);

  // Land masses: a western continent, an eastern one and an island.
  QPainterPath land;
  land.moveTo(8, 14);
  land.cubicTo(13, 8, 21, 9, 22, 14);
  land.cubicTo(23, 19, 17, 20, 19, 25);
  land.cubicTo(21, 30, 18, 37, 14, 40);
  land.cubicTo(11, 35, 12, 30, 8, 27);
  land.cubicTo(4, 24, 4, 18, 8, 14);
  land.moveTo(28, 8);
  land.cubicTo(35, 6, 44, 12, 46, 20);
  land.cubicTo(43, 22, 39, 20, 37, 24);
  land.cubicTo(40, 29, 36, 33, 32, 31);
  land.cubicTo(29, 28, 31, 22, 27, 19);
  land.cubicTo(24, 16, 24, 10, 28, 8);
  land.addEllipse(QPointF(34, 40), 4.5, 3);
  QLinearGradient green(QPointF(0, 5), QPointF(0, 45));
  green.setColorAt(0, QColor(0x7c, 0xd9, 0x4a));
  green.setColorAt(1, QColor(0x2a, 0x8a, 0x22));
  p.setPen(QPen(QColor(0x1d, 0x66, 0x18), 0.8));
  p.setBrush(green);
  p.drawPath(land);

  // Meridians and parallels, faint.
  p.setPen(QPen(QColor(255, 255, 255, 70), 0.8));
  p.setBrush(Qt::NoBrush);
  p.drawEllipse(QRectF(17, 3, 16, 44));
  p.drawLine(QPointF(25, 3), QPointF(25, 47));
  p.drawLine(QPointF(3, 25), QPointF(47, 25));
  p.drawLine(QPointF(6, 15), QPointF(44, 15));
  p.drawLine(QPointF(6, 35), QPointF(44, 35));

  // A highlight at the upper left gives the sphere its shine.
  QRadialGradient shine(QPointF(16, 13), 14);
  shine.setColorAt(0, QColor(255, 255, 255, 150));
  shine.setColorAt(1, QColor(255, 255, 255, 0));
  p.setPen(Qt::NoPen);
  p.setBrush(shine);
  p.drawEllipse(globe);
  p.restore();
}

void DrawBadge(QPainter& p) {
  const QRectF badge(29, 29, 20, 20);
  QRadialGradient red(QPointF(35, 34), 14);
  red.setColorAt(0, QColor(0xff, 0x6b, 0x5e));
  red.setColorAt(1, QColor(0xc4, 0x14, 0x0e));
  p.setPen(QPen(QColor(255, 255, 255), 1.5));
  p.setBrush(red);
  p.drawEllipse(badge);
  p.setPen(QPen(QColor(255, 255, 255), 3, Qt::SolidLine, Qt::RoundCap));
  const QPointF c = badge.center();
  p.drawLine(c + QPointF(-4.5, -4.5), c + QPointF(4.5, 4.5));
  p.drawLine(c + QPointF(-4.5, 4.5), c + QPointF(4.5, -4.5));
}

QImage DrawIcon(bool disconnected) {
  QImage image(kSize, kSize, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  DrawGlobe(p);
  if (disconnected) DrawBadge(p);
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: draw_alert_icons OUTPUT_FOLDER\n");
    return 2;
  }
  const QString folder = QString::fromLocal8Bit(argv[1]);
  for (const auto& [name, disconnected] :
       {std::pair{"connecting", false}, std::pair{"disconnected", true}}) {
    const QString path = QStringLiteral("%1/%2.png").arg(folder, QString::fromLatin1(name));
    if (!DrawIcon(disconnected).save(path)) {
      std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
      return 1;
    }
  }
  return 0;
}
