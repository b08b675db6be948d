#include "principal/alert/alertglyphbutton.h"

#include <QFont>
#include <QMouseEvent>
#include <QPainter>

#include "shell/events.h"

namespace {

constexpr char kGlyphFace[] = "Marlett";
// 7 points at the 96 dots per inch the pop-up is drawn at; the pop-up is never rescaled.
constexpr int kGlyphPixelSize = 9;

}  // namespace

TAlertGlyphButton::TAlertGlyphButton(QWidget* parent, QChar glyph)
    : QWidget(parent), glyph_(glyph) {
  setFocusPolicy(Qt::NoFocus);
  QFont face(QString::fromLatin1(kGlyphFace));
  face.setPixelSize(kGlyphPixelSize);
  face.setStyleStrategy(QFont::NoFontMerging);
  setFont(face);
}

void TAlertGlyphButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (hot_) {
    painter.fillRect(rect().adjusted(1, 1, -1, -1), pressed_ ? DownColor : HotColor);
    painter.setPen(BorderColor);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
  }
  painter.setPen(palette().color(QPalette::WindowText));
  painter.drawText(rect(), Qt::AlignCenter | Qt::TextSingleLine, QString(glyph_));
}

void TAlertGlyphButton::enterEvent(QEnterEvent* event) {
  hot_ = true;
  update();
  QWidget::enterEvent(event);
}

void TAlertGlyphButton::leaveEvent(QEvent* event) {
  hot_ = false;
  update();
  QWidget::leaveEvent(event);
}

void TAlertGlyphButton::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  pressed_ = true;
  update();
}

void TAlertGlyphButton::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !pressed_) return;
  pressed_ = false;
  update();
  if (rect().contains(event->position().toPoint()) && OnClick) Dispatch(this, OnClick);
}
