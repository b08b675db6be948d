#include "principal/alert/alertlabel.h"

#include <QEvent>
#include <QFontMetrics>
#include <QPainter>

TAlertLabel::TAlertLabel(QWidget* parent) : QWidget(parent) {
  setFocusPolicy(Qt::NoFocus);
}

void TAlertLabel::SetText(const QString& text) {
  text_ = text;
  AdjustToText();
  update();
}

void TAlertLabel::SetAutoSize(bool autoSize) {
  autoSize_ = autoSize;
  AdjustToText();
}

QString TAlertLabel::ShownText() const {
  return fontMetrics().elidedText(text_, Qt::ElideRight, width());
}

void TAlertLabel::AdjustToText() {
  if (!autoSize_) return;
  const QFontMetrics metrics = fontMetrics();
  resize(metrics.horizontalAdvance(text_), metrics.height());
}

void TAlertLabel::changeEvent(QEvent* event) {
  if (event->type() == QEvent::FontChange) AdjustToText();
  QWidget::changeEvent(event);
}

void TAlertLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setPen(palette().color(QPalette::WindowText));
  painter.drawText(rect(), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, ShownText());
}
