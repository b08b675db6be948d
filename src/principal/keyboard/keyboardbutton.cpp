#include "principal/keyboard/keyboardbutton.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace {

// A one-pixel line from a to b that leaves out b, as the key symbols are specified.
void LineTo(QPainter& p, int x1, int y1, int x2, int y2) {
  const int dx = (x2 > x1) - (x2 < x1);
  const int dy = (y2 > y1) - (y2 < y1);
  if (dx == 0 && dy == 0) return;
  p.drawLine(x1, y1, x2 - dx, y2 - dy);
}

void DrawSymbol(QPainter& p, std::uint8_t image, int x, int y, int cx, int cy) {
  switch (image) {
    case kKeyImageTab:
      LineTo(p, x + 4, y + 8, x + 40, y + 8);
      LineTo(p, x + 4, y + 3, x + 4, y + 13);
      LineTo(p, x + 6, y + 7, x + 6, y + 10);
      LineTo(p, x + 7, y + 6, x + 7, y + 11);
      LineTo(p, x + 4, y + 20, x + 41, y + 20);
      LineTo(p, x + 40, y + 15, x + 40, y + 25);
      LineTo(p, x + 38, y + 19, x + 38, y + 22);
      LineTo(p, x + 37, y + 18, x + 37, y + 23);
      break;
    case kKeyImageShift: {
      const QPoint outline[] = {{x + 4, y + 16},  {x + 14, y + 6},  {x + 24, y + 16},
                                {x + 18, y + 16}, {x + 18, y + 22}, {x + 10, y + 22},
                                {x + 10, y + 16}};
      p.drawPolygon(outline, 7);
      break;
    }
    case kKeyImageEnter:
    case kKeyImageNarrowEnter: {
      const int r = image == kKeyImageEnter ? 40 : 28;
      LineTo(p, x + r, y + 6, x + r, y + 13);
      LineTo(p, x + 4, y + 12, x + r, y + 12);
      LineTo(p, x + 5, y + 11, x + 5, y + 14);
      LineTo(p, x + 6, y + 10, x + 6, y + 15);
      break;
    }
    case kKeyImageBackspace:
      LineTo(p, x + 4, y + 8, x + 28, y + 8);
      LineTo(p, x + 5, y + 7, x + 5, y + 10);
      LineTo(p, x + 6, y + 6, x + 6, y + 11);
      break;
    case kKeyImageUp:
      LineTo(p, cx, cy - 8, cx, cy + 8);
      LineTo(p, cx - 1, cy - 7, cx + 2, cy - 7);
      LineTo(p, cx - 2, cy - 6, cx + 3, cy - 6);
      break;
    case kKeyImageDown:
      LineTo(p, cx, cy - 8, cx, cy + 8);
      LineTo(p, cx - 1, cy + 6, cx + 2, cy + 6);
      LineTo(p, cx - 2, cy + 5, cx + 3, cy + 5);
      break;
    case kKeyImageLeft:
      LineTo(p, cx - 8, cy, cx + 8, cy);
      LineTo(p, cx - 6, cy - 1, cx - 6, cy + 2);
      LineTo(p, cx - 5, cy - 2, cx - 5, cy + 3);
      break;
    case kKeyImageRight:
      LineTo(p, cx - 8, cy, cx + 8, cy);
      LineTo(p, cx + 6, cy - 1, cx + 6, cy + 2);
      LineTo(p, cx + 5, cy - 2, cx + 5, cy + 3);
      break;
    default:
      break;
  }
}

// A rounded rectangle outline over [l, r) x [t, b) with corners of the given ellipse size.
void RoundRect(QPainter& p, int l, int t, int r, int b, int corner) {
  if (r - l < 2 || b - t < 2) return;
  p.drawRoundedRect(QRectF(l + 0.5, t + 0.5, r - l - 1, b - t - 1), corner / 2.0, corner / 2.0);
}

}  // namespace

TKeyColors KeyColors(TKeyDrawState state) {
  const QColor gray(128, 128, 128), black(0, 0, 0), cream(255, 251, 240), silver(192, 192, 192);
  switch (state) {
    case TKeyDrawState::dsPressed:
      return {cream, silver, cream, gray, black};
    case TKeyDrawState::dsDisabled:
      return {gray, cream, gray, gray, gray};
    case TKeyDrawState::dsNormal:
    default:
      return {gray, black, black, gray, Qt::white};
  }
}

TCustomKeyboardButton::TCustomKeyboardButton(TCustomTouchKeyboard* parent, const TVirtualKey& key)
    : Key(key), FontSize(key.FontSize), FParent(parent) {}

void TCustomKeyboardButton::Paint(QPainter& p, const QString& fontFamily) const {
  const TKeyColors colors = KeyColors(State);
  // The face is the cell less the margins, as a [left, right) x [top, bottom) box.
  const int l = Left + Key.LeftMargin;
  const int t = Top + TopMargin;
  const int r = Left + Width - Key.RightMargin;
  const int b = Top + Height - BottomMargin;
  if (r <= l || b <= t) return;

  p.save();
  p.setRenderHint(QPainter::Antialiasing, false);
  QPainterPath clip;
  clip.addRoundedRect(QRectF(l, t, r + 1 - l, b + 1 - t), 2.5, 2.5);
  p.setClipPath(clip);
  QLinearGradient gradient(0, t, 0, b);
  gradient.setColorAt(0, colors.GradientTop);
  gradient.setColorAt(1, colors.GradientBottom);
  p.fillRect(QRect(l, t, r + 1 - l, b + 1 - t), gradient);
  p.setClipping(false);

  p.setBrush(Qt::NoBrush);
  p.setPen(colors.OuterBorder);
  RoundRect(p, l, t, r, b, 5);
  const int x = l + 1, y = t + 1, x2 = r - 1, y2 = b - 1;
  p.setPen(colors.InnerBorder);
  RoundRect(p, x, y, x2, y2, 4);

  p.setPen(colors.Label);
  if (KeyImage == kKeyImageNone || KeyImage == kKeyImageCaptionOverride) {
    QFont font(fontFamily);
    font.setPointSize(FontSize);
    p.setFont(font);
    p.drawText(QRect(x + 4, y + 4, 1000, 1000), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
               Caption);
  } else {
    DrawSymbol(p, KeyImage, x, y, (x + x2) / 2, (y + y2) / 2);
  }
  p.restore();
}
