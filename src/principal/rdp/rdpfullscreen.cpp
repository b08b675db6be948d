#include "principal/rdp/rdpfullscreen.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QToolButton>
#include <QWheelEvent>

#include "principal/rdp/msrdpclient.h"
#include "shell/events.h"

namespace {
// The pointer within this many pixels of the top edge brings the bar.
constexpr int kBarTriggerHeight = 2;
}  // namespace

TRdpFullScreen::TRdpFullScreen(TMsRdpClient& client)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint), client_(client) {
  setObjectName(QStringLiteral("RdpFullScreen"));
  setWindowTitle(client.window()->windowTitle());
  setAttribute(Qt::WA_OpaquePaintEvent);
  setFocusPolicy(Qt::StrongFocus);
  setMouseTracking(true);

  bar_ = new QWidget(this);
  bar_->setObjectName(QStringLiteral("FullScreenBar"));
  bar_->setAutoFillBackground(true);
  auto* layout = new QHBoxLayout(bar_);
  layout->setContentsMargins(6, 2, 6, 2);
  auto* restore = new QToolButton(bar_);
  restore->setObjectName(QStringLiteral("FullScreenRestore"));
  restore->setText(QString::fromUtf16(kRestoreCaption));
  restore->setFocusPolicy(Qt::NoFocus);
  auto* minimise = new QToolButton(bar_);
  minimise->setObjectName(QStringLiteral("FullScreenMinimise"));
  minimise->setText(QString::fromUtf16(kMinimiseCaption));
  minimise->setFocusPolicy(Qt::NoFocus);
  layout->addWidget(restore);
  layout->addWidget(minimise);
  bar_->hide();
  Bind(restore, &QToolButton::clicked, this,
       std::function<void()>([this] { client_.SetFullScreen(false); }));
  Bind(minimise, &QToolButton::clicked, this, std::function<void()>([this] {
         bar_->hide();
         showMinimized();
       }));
}

QRectF TRdpFullScreen::Target() const {
  return client_.TargetIn(this);
}

void TRdpFullScreen::PlaceBar() {
  bar_->adjustSize();
  bar_->move((width() - bar_->width()) / 2, 0);
}

void TRdpFullScreen::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  PlaceBar();
  update();
  client_.ApplyRemotePointer();
  client_.UpdateDirect();
  client_.UpdateDisplayLayout();
}

void TRdpFullScreen::paintEvent(QPaintEvent* event) {
  client_.PaintSurface(this, event->region());
}

bool TRdpFullScreen::event(QEvent* event) {
  if (event->type() == QEvent::ShortcutOverride) {
    event->accept();
    return true;
  }
  if (event->type() == QEvent::ScreenChangeInternal) {
    client_.ScreenChanged();
    update();
  }
  if (event->type() == QEvent::Show) client_.UpdateDirect();
  return QWidget::event(event);
}

bool TRdpFullScreen::focusNextPrevChild(bool) {
  return false;
}

void TRdpFullScreen::keyPressEvent(QKeyEvent* event) {
  client_.HandleKey(event, true);
}

void TRdpFullScreen::keyReleaseEvent(QKeyEvent* event) {
  client_.HandleKey(event, false);
}

void TRdpFullScreen::focusOutEvent(QFocusEvent* event) {
  client_.ReleaseHeldKeys();
  QWidget::focusOutEvent(event);
}

void TRdpFullScreen::mouseMoveEvent(QMouseEvent* event) {
  const QPoint at = event->position().toPoint();
  if (at.y() < kBarTriggerHeight && !bar_->isVisible()) {
    PlaceBar();
    bar_->show();
    bar_->raise();
  } else if (bar_->isVisible() && !bar_->geometry().adjusted(0, 0, 0, 8).contains(at)) {
    bar_->hide();
  }
  client_.HandleMouseMove(client_.DesktopAt(this, event->position()));
}

void TRdpFullScreen::mousePressEvent(QMouseEvent* event) {
  client_.HandleMouseButton(event, true, client_.DesktopAt(this, event->position()));
}

void TRdpFullScreen::mouseReleaseEvent(QMouseEvent* event) {
  client_.HandleMouseButton(event, false, client_.DesktopAt(this, event->position()));
}

void TRdpFullScreen::mouseDoubleClickEvent(QMouseEvent* event) {
  mousePressEvent(event);
}

void TRdpFullScreen::wheelEvent(QWheelEvent* event) {
  client_.HandleWheel(event, client_.DesktopAt(this, event->position()));
}
