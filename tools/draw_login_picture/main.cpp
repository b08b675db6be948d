// Draws the login window's decorative picture (282 x 400, no text) as a JPEG:
//   draw_login_picture OUTPUT.jpg
// Deep blue sky over a band of stylised screens linked by light arcs: a remote desktop reached
// from anywhere.
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cstdio>

namespace {

void DrawScreen(QPainter& p, const QRectF& r, const QColor& glow) {
  p.setPen(QPen(QColor(0xe8, 0xf1, 0xff), 2));
  QLinearGradient face(r.topLeft(), r.bottomRight());
  face.setColorAt(0, glow.lighter(140));
  face.setColorAt(1, glow.darker(160));
  p.setBrush(face);
  p.drawRoundedRect(r, 5, 5);
  p.setBrush(QColor(0xe8, 0xf1, 0xff));
  p.setPen(Qt::NoPen);
  p.drawRect(QRectF(r.center().x() - 4, r.bottom(), 8, 10));
  p.drawRoundedRect(QRectF(r.center().x() - 18, r.bottom() + 9, 36, 5), 2, 2);
}

QImage Draw() {
  QImage image(282, 400, QImage::Format_RGB32);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);

  QLinearGradient sky(0, 0, 0, 400);
  sky.setColorAt(0, QColor(0x06, 0x1a, 0x40));
  sky.setColorAt(0.55, QColor(0x0d, 0x4c, 0x9c));
  sky.setColorAt(1, QColor(0x2b, 0x8c, 0xe0));
  p.fillRect(image.rect(), sky);

  QRadialGradient light(QPointF(210, 70), 160);
  light.setColorAt(0, QColor(255, 255, 255, 90));
  light.setColorAt(1, QColor(255, 255, 255, 0));
  p.fillRect(image.rect(), light);

  // Arcs linking the screens.
  p.setBrush(Qt::NoBrush);
  for (int i = 0; i < 5; ++i) {
    p.setPen(QPen(QColor(255, 255, 255, 60 - i * 8), 2));
    QPainterPath arc;
    arc.moveTo(40, 300 - i * 6);
    arc.cubicTo(90, 150 - i * 20, 190, 150 - i * 20, 240, 250 - i * 6);
    p.drawPath(arc);
  }

  DrawScreen(p, QRectF(18, 262, 84, 56), QColor(0x2b, 0x7c, 0xd9));
  DrawScreen(p, QRectF(180, 212, 84, 56), QColor(0x1f, 0x9e, 0x6e));
  DrawScreen(p, QRectF(96, 120, 96, 64), QColor(0x3d, 0x5a, 0xd6));

  // Ground line.
  QLinearGradient ground(0, 350, 0, 400);
  ground.setColorAt(0, QColor(0x0a, 0x2a, 0x5e, 0));
  ground.setColorAt(1, QColor(0x0a, 0x2a, 0x5e, 200));
  p.fillRect(QRectF(0, 350, 282, 50), ground);
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: draw_login_picture OUTPUT.jpg\n");
    return 2;
  }
  return Draw().save(QString::fromLocal8Bit(argv[1]), "JPEG", 90) ? 0 : 1;
}
