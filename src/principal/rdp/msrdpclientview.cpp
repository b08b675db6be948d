#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

#include "platform/scancodes.h"
#include "platform/systemkeyboard.h"
#include "principal/rdp/irdpsession.h"
#include "principal/rdp/msrdpclient.h"
#include "principal/rdp/rdpfullscreen.h"
#include "principal/rdp/rdpgeometry.h"
#include "shell/events.h"

// The control's view: the remote desktop drawn whole in the view (or the full-screen window),
// and the person's keyboard and mouse going to it.

namespace {

// Around the desktop where it does not fill the view.
const QColor kBackground(0x20, 0x20, 0x20);

}  // namespace

QRect TMsRdpClient::DesktopRect() const {
  if (frame_.IsNull()) return {};
  return TargetIn(viewport()).toRect();
}

TRdpDisplayLayout TMsRdpClient::WantedLayout() const {
  if (fullScreen_) return DisplayLayoutFor(fullScreen_->size(), fullScreen_->devicePixelRatioF());
  if (fullScreenWanted_) {
    // Full screen comes once the session is up, on the monitor the window is on.
    const QScreen* screen =
        window()->screen() != nullptr ? window()->screen() : QGuiApplication::primaryScreen();
    if (screen != nullptr) return DisplayLayoutFor(screen->size(), screen->devicePixelRatio());
  }
  if (isVisible()) return DisplayLayoutFor(viewport()->size(), viewport()->devicePixelRatioF());
  TRdpDisplayLayout layout;
  layout.size = QSize(connection_.desktopWidth, connection_.desktopHeight);
  return layout;
}

void TMsRdpClient::UpdateDisplayLayout() {
  // Also while a lost connection is being got back: the next attempt asks for it.
  if (!session_ || connected_ == kNotConnected) return;
  const TRdpDisplayLayout layout = WantedLayout();
  if (toldLayout_ == layout) return;
  toldLayout_ = layout;
  session_->SetDisplayLayout(layout);
}

void TMsRdpClient::SetFrame(const TRdpFrame& frame) {
  frame_ = frame;
  image_ = frame_.Image();
  viewport()->update();
  if (fullScreen_) fullScreen_->update();
  // Another desktop size may be shown at another scale.
  ApplyRemotePointer();
}

QRect TMsRdpClient::DeviceTarget(const QWidget* surface) const {
  return DesktopTarget(DeviceSize(surface->size(), surface->devicePixelRatioF()), frame_.Size());
}

QRectF TMsRdpClient::TargetIn(const QWidget* surface) const {
  return LogicalRect(DeviceTarget(surface), surface->devicePixelRatioF());
}

QPoint TMsRdpClient::DesktopAt(const QWidget* surface, QPointF at) const {
  return ViewToDesktop(DevicePoint(at, surface->devicePixelRatioF()), DeviceTarget(surface),
                       frame_.Size());
}

void TMsRdpClient::Invalidate(const QRegion& region) {
  if (frame_.IsNull()) return;
  InvalidateIn(viewport(), region);
  if (fullScreen_) InvalidateIn(fullScreen_, region);
}

void TMsRdpClient::InvalidateIn(QWidget* surface, const QRegion& desktopRegion) const {
  const qreal ratio = surface->devicePixelRatioF();
  const QRect target = DeviceTarget(surface);
  const QSize desktop = frame_.Size();
  if (ratio == 1.0 && target.size() == desktop) {
    surface->update(desktopRegion.translated(target.topLeft()));
    return;
  }
  QRegion dirty;
  for (const QRect& r : desktopRegion)
    dirty += LogicalCover(DesktopToView(r, target, desktop), ratio);
  surface->update(dirty);
}

void TMsRdpClient::ScreenChanged() {
  // Qt tells of the new screen before it gives the window its size there: with both known the
  // server is asked once, not first for the old logical size at the new scale.
  QMetaObject::invokeMethod(
      this,
      [this] {
        Dispatch(this, [this] {
          ApplyRemotePointer();
          UpdateDisplayLayout();
        });
      },
      Qt::QueuedConnection);
}

void TMsRdpClient::SetRemotePointer(RemotePointer pointer) {
  remotePointer_ = std::move(pointer);
  ++remotePointerSerial_;
  ApplyRemotePointer();
}

void TMsRdpClient::ApplyRemotePointer() {
  ApplyRemotePointerTo(viewport(), viewPointer_);
  if (fullScreen_) ApplyRemotePointerTo(fullScreen_, fullScreenPointer_);
}

void TMsRdpClient::ApplyRemotePointerTo(QWidget* surface, AppliedPointer& applied) const {
  using Kind = RemotePointer::Kind;
  const qreal ratio = surface->devicePixelRatioF();
  if (remotePointer_.kind != Kind::Image) {
    const AppliedPointer now{remotePointerSerial_, {}, {}, 0};
    if (now == applied) return;
    applied = now;
    if (remotePointer_.kind == Kind::None)
      surface->unsetCursor();
    else
      surface->setCursor(remotePointer_.kind == Kind::Hidden ? Qt::BlankCursor : Qt::ArrowCursor);
    return;
  }
  // Measured with Qt 6.4: X11 takes a cursor's pixels and hot spot as they are, whatever the
  // ratio; Qt's own rule (and the other platforms') is a hot spot in logical pixels.
  static const bool hotSpotInDevicePixels = QGuiApplication::platformName() == QLatin1String("xcb");
  const TSurfacePointer shown =
      PointerOnSurface(remotePointer_.image, remotePointer_.hotSpot, DeviceTarget(surface),
                       frame_.Size(), ratio, hotSpotInDevicePixels);
  const AppliedPointer now{remotePointerSerial_, shown.image.size(), shown.hotSpot, ratio};
  if (now == applied) return;
  applied = now;
  surface->setCursor(
      QCursor(QPixmap::fromImage(shown.image), shown.hotSpot.x(), shown.hotSpot.y()));
}

void TMsRdpClient::paintEvent(QPaintEvent* event) {
  PaintSurface(viewport(), event->region());
}

void TMsRdpClient::PaintSurface(QWidget* surface, const QRegion& region) const {
  QPainter painter(surface);
  const QRectF target = frame_.IsNull() ? QRectF() : TargetIn(surface);
  // The background goes wherever the desktop does not cover a whole pixel.
  const QRect inside(
      QPoint(static_cast<int>(std::ceil(target.left())), static_cast<int>(std::ceil(target.top()))),
      QPoint(static_cast<int>(std::floor(target.right())) - 1,
             static_cast<int>(std::floor(target.bottom())) - 1));
  const QRegion background = region - QRegion(inside);
  const QColor colour = surface == viewport() ? kBackground : QColor(Qt::black);
  for (const QRect& r : background) painter.fillRect(r, colour);
  DrawDesktop(painter, target, region);
}

void TMsRdpClient::DrawDesktop(QPainter& painter, const QRectF& target,
                               const QRegion& region) const {
  if (frame_.IsNull() || target.isEmpty()) return;
  const QRegion wanted = region & target.toAlignedRect();
  if (wanted.isEmpty()) return;
  const auto held = frame_.ReadLock();
  const qreal ratio = painter.device()->devicePixelRatioF();
  const bool oneToOne = qRound(target.width() * ratio) == image_.width() &&
                        qRound(target.height() * ratio) == image_.height();
  if (oneToOne && ratio == 1.0) {
    const QPoint origin = target.topLeft().toPoint();
    for (const QRect& r : wanted) painter.drawImage(r.topLeft(), image_, r.translated(-origin));
  } else if (oneToOne) {
    // Each desktop pixel on one device pixel: a 200 % screen shows a 200 % desktop sharp.
    for (const QRect& r : wanted) {
      const QRectF part = QRectF(r) & target;
      const QRectF source((part.x() - target.x()) * ratio, (part.y() - target.y()) * ratio,
                          part.width() * ratio, part.height() * ratio);
      painter.drawImage(part, image_, source);
    }
  } else {
    // A desktop larger than the surface (a server that keeps its own size): scaled down
    // smoothly, only the changed part through the paint region's clip.
    painter.setClipRegion(wanted);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(target, image_);
  }
}

void TMsRdpClient::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  ApplyRemotePointer();
  UpdateDisplayLayout();
}

bool TMsRdpClient::event(QEvent* event) {
  // While connected every key belongs to the remote desktop, window shortcuts included.
  if (event->type() == QEvent::ShortcutOverride && connected_ == kConnectedState) {
    event->accept();
    return true;
  }
  // Another screen may have another scale: the desktop follows it.
  if (event->type() == QEvent::ScreenChangeInternal) {
    ScreenChanged();
    viewport()->update();
  }
  return QAbstractScrollArea::event(event);
}

bool TMsRdpClient::focusNextPrevChild(bool next) {
  if (connected_ == kConnectedState) return false;  // Tab goes to the remote desktop
  return QAbstractScrollArea::focusNextPrevChild(next);
}

void TMsRdpClient::HandleKey(QKeyEvent* event, bool down) {
  if (connected_ != kConnectedState) {
    event->ignore();
    return;
  }
  const bool ctrlAlt = (event->modifiers() & (Qt::ControlModifier | Qt::AltModifier)) ==
                       (Qt::ControlModifier | Qt::AltModifier);
  if (fullScreen_ && down && ctrlAlt &&
      (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
    SetFullScreen(false);
    event->accept();
    return;
  }
  if (!down && event->isAutoRepeat()) {
    event->accept();  // a held key repeats its press; its one release comes at the end
    return;
  }
  const TScanCode scan = ScanCodeForKeyEvent(event->nativeScanCode(), event->key());
  if (!scan.Valid()) {
    event->ignore();
    return;
  }
  SendScanCode(scan.code, scan.extended, down);
  event->accept();
}

void TMsRdpClient::keyPressEvent(QKeyEvent* event) {
  HandleKey(event, true);
}

void TMsRdpClient::keyReleaseEvent(QKeyEvent* event) {
  HandleKey(event, false);
}

void TMsRdpClient::focusInEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusInEvent(event);
  SyncLockKeys();
}

void TMsRdpClient::SyncLockKeys() {
  if (!session_ || connected_ != kConnectedState) return;
  const TSystemKeyboard& keyboard = SystemKeyboard();
  session_->SendLockState(keyboard.CapsLockOn(), keyboard.NumLockOn(), keyboard.ScrollLockOn());
}

void TMsRdpClient::focusOutEvent(QFocusEvent* event) {
  if (!fullScreen_) ReleaseHeldKeys();
  QAbstractScrollArea::focusOutEvent(event);
}

void TMsRdpClient::HandleMouseButton(QMouseEvent* event, bool down, QPoint desktopAt) {
  if (!session_ || connected_ != kConnectedState) return;
  // The remote side clicks where its pointer is: bring it here first if it is elsewhere.
  if (desktopAt != lastMouseAt_) HandleMouseMove(desktopAt);
  session_->SendMouseButton(event->button(), down, desktopAt);
  event->accept();
}

void TMsRdpClient::HandleMouseMove(QPoint desktopAt) {
  if (!session_ || connected_ != kConnectedState) return;
  lastMouseAt_ = desktopAt;
  session_->SendMouseMove(desktopAt);
}

void TMsRdpClient::HandleWheel(QWheelEvent* event, QPoint desktopAt) {
  if (!session_ || connected_ != kConnectedState) {
    event->ignore();
    return;
  }
  if (desktopAt != lastMouseAt_) HandleMouseMove(desktopAt);
  const QPoint delta = event->angleDelta();
  if (delta.y() != 0) session_->SendWheel(delta.y(), false, desktopAt);
  // Qt counts a turn to the left as positive; the protocol counts a turn to the right.
  if (delta.x() != 0) session_->SendWheel(-delta.x(), true, desktopAt);
  event->accept();
}

void TMsRdpClient::mouseMoveEvent(QMouseEvent* event) {
  HandleMouseMove(DesktopAt(viewport(), event->position()));
}

void TMsRdpClient::mousePressEvent(QMouseEvent* event) {
  if (!hasFocus()) setFocus(Qt::MouseFocusReason);
  HandleMouseButton(event, true, DesktopAt(viewport(), event->position()));
}

void TMsRdpClient::mouseReleaseEvent(QMouseEvent* event) {
  HandleMouseButton(event, false, DesktopAt(viewport(), event->position()));
}

void TMsRdpClient::mouseDoubleClickEvent(QMouseEvent* event) {
  // The remote side counts clicks itself; the second press is a press like the first.
  mousePressEvent(event);
}

void TMsRdpClient::wheelEvent(QWheelEvent* event) {
  HandleWheel(event, DesktopAt(viewport(), event->position()));
}
