// Draws the pictures of the two help windows and stores them as JPEG:
//   draw_help_pictures OUTPUT_FOLDER  ->  ajudatransferencia.jpg (400 x 266)
//                                         ajudaimpressao.jpg (326 x 400)
// Shapes only, no lettering, so the pictures read the same in every language and need no fonts.
// The results are committed under resources/pictures/; run this again to remake them.
#include <QColor>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QString>
#include <cmath>
#include <cstdio>
#include <numbers>

#include <jpeglib.h>

namespace {

constexpr int kJpegQuality = 90;

// A small fixed sequence, so every run draws the same picture.
class Sequence {
 public:
  unsigned Next() {
    state_ = state_ * 1103515245u + 12345u;
    return (state_ >> 16) & 0x7fff;
  }
  double Unit() { return Next() / 32767.0; }

 private:
  unsigned state_ = 20240611u;
};

bool WriteJpeg(const QImage& picture, const QString& path) {
  const QImage rgb = picture.convertToFormat(QImage::Format_RGB888);
  FILE* file = std::fopen(path.toLocal8Bit().constData(), "wb");
  if (file == nullptr) return false;
  jpeg_compress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  jpeg_stdio_dest(&info, file);
  info.image_width = static_cast<JDIMENSION>(rgb.width());
  info.image_height = static_cast<JDIMENSION>(rgb.height());
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, kJpegQuality, TRUE);
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    auto* row = const_cast<JSAMPLE*>(rgb.constScanLine(static_cast<int>(info.next_scanline)));
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  return std::fclose(file) == 0;
}

// A red line with an arrow head at both ends.
void DoubleArrow(QPainter& p, QPointF from, QPointF to) {
  const QColor red(0xd6, 0x1f, 0x26);
  p.setPen(QPen(red, 4, Qt::SolidLine, Qt::RoundCap));
  const double angle = std::atan2(to.y() - from.y(), to.x() - from.x());
  const double head = 11;
  const QPointF unit(std::cos(angle), std::sin(angle));
  p.drawLine(from + unit * head * 0.8, to - unit * head * 0.8);
  p.setPen(Qt::NoPen);
  p.setBrush(red);
  for (const auto& [tip, dir] : {std::pair{to, angle}, std::pair{from, angle + std::numbers::pi}}) {
    QPolygonF triangle;
    triangle << tip << tip - QPointF(std::cos(dir - 0.45), std::sin(dir - 0.45)) * head * 1.6
             << tip - QPointF(std::cos(dir + 0.45), std::sin(dir + 0.45)) * head * 1.6;
    p.drawPolygon(triangle);
  }
}

QPainterPath Cloud(QPointF centre, double w, double h) {
  QPainterPath path;
  path.setFillRule(Qt::WindingFill);
  path.addRoundedRect(QRectF(centre.x() - w / 2, centre.y() - h * 0.15, w, h * 0.5), h * 0.25,
                      h * 0.25);
  path.addEllipse(QPointF(centre.x() - w * 0.22, centre.y()), w * 0.24, h * 0.36);
  path.addEllipse(QPointF(centre.x() + w * 0.05, centre.y() - h * 0.12), w * 0.28, h * 0.46);
  path.addEllipse(QPointF(centre.x() + w * 0.30, centre.y() + h * 0.02), w * 0.2, h * 0.32);
  return path.simplified();
}

// A tablet held from below by a hand at one edge of the picture.
void HeldTablet(QPainter& p, QRectF tablet, bool left) {
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x22, 0x22, 0x28));
  p.drawRoundedRect(tablet, 7, 7);
  QLinearGradient glow(tablet.topLeft(), tablet.bottomRight());
  glow.setColorAt(0, QColor(0x8e, 0xd0, 0xff));
  glow.setColorAt(1, QColor(0x2f, 0x6d, 0xc4));
  p.setBrush(glow);
  p.drawRoundedRect(tablet.adjusted(5, 6, -5, -6), 3, 3);
  const QColor skin(0xe8, 0xb0, 0x8a);
  p.setBrush(skin);
  const double x = left ? tablet.left() : tablet.right();
  p.drawEllipse(QPointF(x, tablet.bottom() - 4), 18, 26);                                // palm
  p.drawRoundedRect(QRectF(left ? x - 20 : x - 12, tablet.bottom() + 8, 32, 40), 8, 8);  // wrist
  p.drawEllipse(QPointF(left ? x + 12 : x - 12, tablet.bottom() - 22), 6, 12);           // thumb
}

QImage DrawTransferPicture() {
  QImage image(400, 266, QImage::Format_RGB32);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);

  QLinearGradient sky(0, 0, 0, 200);
  sky.setColorAt(0, QColor(0x1f, 0x6f, 0xd1));
  sky.setColorAt(1, QColor(0xb8, 0xe0, 0xff));
  p.fillRect(image.rect(), sky);

  QPainterPath meadow;
  meadow.moveTo(0, 200);
  meadow.cubicTo(110, 180, 260, 215, 400, 192);
  meadow.lineTo(400, 266);
  meadow.lineTo(0, 266);
  QLinearGradient grass(0, 185, 0, 266);
  grass.setColorAt(0, QColor(0x7c, 0xc2, 0x45));
  grass.setColorAt(1, QColor(0x2f, 0x7d, 0x22));
  p.fillPath(meadow, grass);

  // The floating shape, made of tiny ones and zeros on a faint white glow.
  const QPainterPath cloud = Cloud(QPointF(200, 62), 210, 96);
  p.fillPath(cloud, QColor(255, 255, 255, 70));
  Sequence random;
  for (double y = 14; y < 120; y += 5.5) {
    for (double x = 90; x < 312; x += 4.5) {
      const QPointF at(x + random.Unit(), y + random.Unit());
      if (!cloud.contains(at)) continue;
      p.setPen(QPen(QColor(255, 255, 255, 150 + static_cast<int>(random.Next() % 100)), 0.9));
      p.setBrush(Qt::NoBrush);
      if (random.Next() % 2 == 0) {
        p.drawEllipse(at, 1.1, 1.7);
      } else {
        p.drawLine(at - QPointF(0, 1.7), at + QPointF(0, 1.7));
      }
    }
  }

  // The desktop monitor on the meadow.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x3a, 0x3d, 0x46));
  p.drawRect(QRectF(191, 226, 18, 18));
  p.drawRoundedRect(QRectF(172, 240, 56, 8), 3, 3);
  p.setBrush(QColor(0x25, 0x27, 0x2e));
  p.drawRoundedRect(QRectF(150, 170, 100, 60), 5, 5);
  QLinearGradient screen(150, 170, 250, 230);
  screen.setColorAt(0, QColor(0x9b, 0xd8, 0xff));
  screen.setColorAt(1, QColor(0x25, 0x64, 0xbd));
  p.setBrush(screen);
  p.drawRect(QRectF(156, 176, 88, 48));

  HeldTablet(p, QRectF(14, 120, 62, 84), true);
  HeldTablet(p, QRectF(324, 120, 62, 84), false);

  DoubleArrow(p, QPointF(200, 114), QPointF(200, 164));
  DoubleArrow(p, QPointF(108, 92), QPointF(62, 116));
  DoubleArrow(p, QPointF(292, 92), QPointF(338, 116));
  return image;
}

// One round application badge with a simple glyph.
void Badge(QPainter& p, QPointF c, QColor colour, int kind) {
  p.setPen(Qt::NoPen);
  p.setBrush(colour);
  p.drawEllipse(c, 19, 19);
  p.setBrush(Qt::white);
  p.setPen(QPen(Qt::white, 2.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  switch (kind) {
    case 0:  // camera
      p.drawRoundedRect(QRectF(c.x() - 11, c.y() - 6, 22, 15), 3, 3);
      p.drawRect(QRectF(c.x() - 4, c.y() - 10, 8, 4));
      p.setBrush(colour);
      p.drawEllipse(c + QPointF(0, 1.5), 4.5, 4.5);
      break;
    case 1:  // printer
      p.drawRect(QRectF(c.x() - 7, c.y() - 11, 14, 7));
      p.drawRoundedRect(QRectF(c.x() - 12, c.y() - 4, 24, 10), 2, 2);
      p.setBrush(colour);
      p.drawRect(QRectF(c.x() - 7, c.y() + 2, 14, 9));
      break;
    case 2:  // music note
      p.drawEllipse(QPointF(c.x() - 4, c.y() + 7), 4.5, 3.5);
      p.drawLine(QPointF(c.x(), c.y() + 7), QPointF(c.x(), c.y() - 10));
      p.drawLine(QPointF(c.x(), c.y() - 10), QPointF(c.x() + 8, c.y() - 5));
      break;
    case 3: {  // shopping basket
      QPolygonF basket;
      basket << c + QPointF(-12, -2) << c + QPointF(12, -2) << c + QPointF(8, 10)
             << c + QPointF(-8, 10);
      p.drawPolygon(basket);
      p.setBrush(Qt::NoBrush);
      p.drawArc(QRectF(c.x() - 8, c.y() - 12, 16, 18), 0, 180 * 16);
      break;
    }
    case 4:  // envelope
      p.setBrush(Qt::NoBrush);
      p.drawRect(QRectF(c.x() - 12, c.y() - 8, 24, 16));
      p.drawPolyline(QPolygonF{} << c + QPointF(-12, -8) << c + QPointF(0, 2)
                                 << c + QPointF(12, -8));
      break;
    case 5:  // heart
    {
      QPainterPath heart;
      heart.moveTo(c + QPointF(0, 10));
      heart.cubicTo(c + QPointF(-16, 0), c + QPointF(-8, -14), c + QPointF(0, -5));
      heart.cubicTo(c + QPointF(8, -14), c + QPointF(16, 0), c + QPointF(0, 10));
      p.drawPath(heart);
      break;
    }
    case 6:  // gear
      for (int i = 0; i < 8; ++i) {
        const double a = i * std::numbers::pi / 4;
        p.drawLine(c, c + QPointF(std::cos(a), std::sin(a)) * 11);
      }
      p.drawEllipse(c, 7, 7);
      p.setBrush(colour);
      p.drawEllipse(c, 3, 3);
      break;
    case 7:  // telephone handset
      p.setBrush(Qt::NoBrush);
      p.setPen(QPen(Qt::white, 5, Qt::SolidLine, Qt::RoundCap));
      p.drawArc(QRectF(c.x() - 10, c.y() - 10, 20, 20), 200 * 16, 140 * 16);
      break;
    default:  // picture: sun over a hill
      p.setBrush(Qt::NoBrush);
      p.drawRect(QRectF(c.x() - 11, c.y() - 9, 22, 18));
      p.setBrush(Qt::white);
      p.drawEllipse(c + QPointF(5, -3), 2.5, 2.5);
      p.drawPolygon(QPolygonF{} << c + QPointF(-10, 8) << c + QPointF(-3, -1) << c + QPointF(4, 8));
      break;
  }
}

QImage DrawPrintingPicture() {
  QImage image(326, 400, QImage::Format_RGB32);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);

  QRadialGradient teal(QPointF(163, 150), 320);
  teal.setColorAt(0, QColor(0x2c, 0xb5, 0xae));
  teal.setColorAt(1, QColor(0x10, 0x7a, 0x78));
  p.fillRect(image.rect(), teal);

  // The application badges above, each linked by a thin line to the tablet.
  const QPointF tablet(170, 262);
  const struct {
    QPointF at;
    QColor colour;
  } badges[] = {
      {{40, 48}, QColor(0xef, 0x6c, 0x3a)},   {{104, 28}, QColor(0x3f, 0x8c, 0xe0)},
      {{170, 44}, QColor(0xf2, 0xb1, 0x2c)},  {{236, 26}, QColor(0x8e, 0x5a, 0xd6)},
      {{292, 56}, QColor(0xe0, 0x4a, 0x6a)},  {{62, 120}, QColor(0x4c, 0xae, 0x50)},
      {{134, 108}, QColor(0x55, 0x6c, 0x86)}, {{206, 112}, QColor(0xf0, 0x80, 0x30)},
      {{272, 128}, QColor(0x2e, 0x7d, 0xd8)},
  };
  p.setPen(QPen(QColor(255, 255, 255, 150), 1.5, Qt::DashLine));
  for (const auto& badge : badges) p.drawLine(tablet, badge.at);
  int kind = 0;
  for (const auto& badge : badges) Badge(p, badge.at, badge.colour, kind++);

  // The white puff, floating.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0, 0, 0, 40));
  p.drawEllipse(QPointF(163, 372), 96, 12);
  p.setBrush(QColor(0xfa, 0xfa, 0xfa));
  p.drawPath(Cloud(QPointF(160, 330), 190, 70));

  // The man, seated: legs over the puff, body, arms towards the tablet, smiling head.
  const QColor trousers(0x2c, 0x3e, 0x66), shirt(0xf4, 0xc4, 0x30), skin(0xe6, 0xaa, 0x80);
  p.setBrush(trousers);
  p.drawRoundedRect(QRectF(128, 288, 74, 22), 10, 10);  // thighs
  p.drawRoundedRect(QRectF(184, 290, 20, 52), 9, 9);    // shin
  p.setBrush(QColor(0x33, 0x33, 0x33));
  p.drawRoundedRect(QRectF(184, 336, 32, 11), 5, 5);  // shoe
  p.setBrush(shirt);
  p.drawRoundedRect(QRectF(118, 212, 52, 86), 20, 20);  // body
  p.setBrush(skin);
  p.drawRoundedRect(QRectF(150, 248, 40, 12), 6, 6);  // forearm
  p.drawEllipse(QPointF(144, 186), 22, 24);           // head
  p.setBrush(QColor(0x3b, 0x25, 0x18));
  QPainterPath hair;
  hair.moveTo(122, 184);
  hair.cubicTo(120, 150, 170, 150, 166, 182);
  hair.cubicTo(156, 168, 134, 170, 122, 184);
  p.drawPath(hair);
  p.drawEllipse(QPointF(151, 186), 2.2, 2.6);  // eye
  p.drawEllipse(QPointF(162, 186), 2.2, 2.6);  // eye
  p.setPen(QPen(QColor(0x6b, 0x2b, 0x1a), 2, Qt::SolidLine, Qt::RoundCap));
  p.setBrush(Qt::NoBrush);
  p.drawArc(QRectF(148, 190, 16, 12), 200 * 16, 140 * 16);  // smile

  // The tablet in his hands.
  p.setPen(Qt::NoPen);
  p.save();
  p.translate(tablet);
  p.rotate(-20);
  p.setBrush(QColor(0x22, 0x22, 0x28));
  p.drawRoundedRect(QRectF(-18, -26, 36, 48), 4, 4);
  p.setBrush(QColor(0x9b, 0xe3, 0xff));
  p.drawRect(QRectF(-14, -21, 28, 38));
  p.restore();
  p.setBrush(skin);
  p.drawEllipse(QPointF(186, 272), 6, 6);  // fingers at the tablet's edge
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: draw_help_pictures OUTPUT_FOLDER\n");
    return 2;
  }
  const QString folder = QString::fromLocal8Bit(argv[1]);
  if (!WriteJpeg(DrawTransferPicture(), folder + "/ajudatransferencia.jpg") ||
      !WriteJpeg(DrawPrintingPicture(), folder + "/ajudaimpressao.jpg")) {
    std::fprintf(stderr, "draw_help_pictures: cannot write into %s\n", argv[1]);
    return 1;
  }
  return 0;
}
