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
#include "principal/rdp/rdplog.h"
#include "shell/events.h"

// The control's view: the remote desktop drawn whole in the view (or the full-screen window),
// and the person's keyboard and mouse going to it.

namespace {

// Around the desktop where it does not fill the view.
const QColor kBackground(0x20, 0x20, 0x20);

}  // namespace

// The native child window that shows a surface's desktop through the X server (UpdateDirect).
// It covers its surface whole and takes no input: the X server passes the pointer through to the
// surface's window, so cursor, clicks, wheel and focus stay the surface's, as without it.
class TRdpDirectSurface : public QWidget {
 public:
  TRdpDirectSurface(TMsRdpClient& client, QWidget* surface) : QWidget(surface), client_(client) {
    setObjectName(QStringLiteral("RdpDirectSurface"));
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setWindowFlags(windowFlags() | Qt::WindowTransparentForInput);
    // Qt's own painting, its backing store and the copy into it stay out: every pixel of the
    // window is put by PaintDirect.
    setAttribute(Qt::WA_PaintOnScreen);
    setAttribute(Qt::WA_NoSystemBackground);
    setAttribute(Qt::WA_OpaquePaintEvent);
    // Its own X window inside the surface's, without turning the window's other widgets native.
    setAttribute(Qt::WA_DontCreateNativeAncestors);
    setAttribute(Qt::WA_NativeWindow);
    setGeometry(surface->rect());
  }

  [[nodiscard]] QPaintEngine* paintEngine() const override { return nullptr; }

 protected:
  void paintEvent(QPaintEvent* event) override {
    Dispatch(this, [this, event] { (void)client_.PaintDirect(this, event->region()); });
  }

 private:
  TMsRdpClient& client_;
};

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
  UpdateDirect();
  Shown(viewport())->update();
  if (fullScreen_) Shown(fullScreen_)->update();
  // Another desktop size may be shown at another scale.
  ApplyRemotePointer();
}

bool TMsRdpClient::ShowsDirectly() const {
  return viewDirect_ && !viewDirect_->isHidden();
}

QWidget* TMsRdpClient::Shown(QWidget* surface) const {
  const TRdpDirectSurface* direct =
      surface == viewport() ? viewDirect_.data() : fullScreenDirect_.data();
  return direct != nullptr && !direct->isHidden() ? const_cast<TRdpDirectSurface*>(direct)
                                                  : surface;
}

bool TMsRdpClient::DirectFits(const QWidget* surface) const {
  if (frame_.IsNull() || frame_.fd < 0 || !surface->isVisible()) return false;
  if (QGuiApplication::platformName() != QLatin1String("xcb")) return false;
  return DeviceTarget(surface).size() == frame_.Size();
}

void TMsRdpClient::UpdateDirect() {
  UpdateDirectOn(viewport(), viewDirect_);
  if (fullScreen_) UpdateDirectOn(fullScreen_, fullScreenDirect_);
}

void TMsRdpClient::UpdateDirectOn(QWidget* surface, QPointer<TRdpDirectSurface>& direct) {
  bool fits = DirectFits(surface);
  if (fits && !shmOpened_) {
    shmOpened_ = true;
    shm_ = TShmSurface::Open();
    qCInfo(lcRdp)
        << (shm_ ? "the X server takes the desktop from shared memory"
                 : "the desktop is painted through Qt: no shared memory with the X server");
  }
  fits = fits && shm_ != nullptr;
  if (fits) {
    if (!direct) {
      direct = new TRdpDirectSurface(*this, surface);
      // Under anything else the surface holds (the full-screen bar, which Qt gives a window of
      // its own once it is raised over this one).
      direct->lower();
    }
    direct->setGeometry(surface->rect());
    if (direct->isHidden()) {
      qCInfo(lcRdp) << surface->objectName() << "shows the desktop directly";
      direct->show();
    }
  } else if (direct && !direct->isHidden()) {
    qCInfo(lcRdp) << surface->objectName() << "paints the desktop through Qt";
    direct->hide();
    surface->update();
  }
}

bool TMsRdpClient::PaintDirect(TRdpDirectSurface* direct, const QRegion& region) {
  QWidget* surface = direct->parentWidget();
  const qreal ratio = direct->devicePixelRatioF();
  const QRect target = DeviceTarget(surface);
  bool ok = shm_ != nullptr && !frame_.IsNull() && target.size() == frame_.Size();
  if (ok) {
    QRegion device;
    for (const QRect& r : region) device += DeviceCover(r, ratio);
    device &= QRect(QPoint(), DeviceSize(direct->size(), ratio));
    const QRegion desktop = device & target;
    const QColor colour = surface == viewport() ? kBackground : QColor(Qt::black);
    const auto window = static_cast<std::uint32_t>(direct->winId());
    // Held until the X server has read the pixels: what it shows is one whole frame.
    const auto held = frame_.ReadLock();
    if (shmPixels_ != frame_.pixels) {
      // A new frame is new memory: the server maps it before anything of it is shown, and lets
      // the old one go.
      shmPixels_.reset();
      ok = shm_->Attach(frame_.fd, frame_.Size());
      if (ok) shmPixels_ = frame_.pixels;
    }
    if (ok) {
      for (const QRect& r : desktop)
        shm_->Put(window, r.translated(-target.topLeft()), r.topLeft());
      shm_->Fill(window, device - target, colour.rgb());
      ok = shm_->Finish();
    }
  }
  if (ok) return true;
  // The X server would not (another machine, a window of another depth): painting through Qt
  // from here on, the same picture one copy later.
  qCInfo(lcRdp) << "the X server did not show the desktop directly: painting it through Qt";
  shm_.reset();
  shmPixels_.reset();
  if (viewDirect_) viewDirect_->hide();
  if (fullScreenDirect_) fullScreenDirect_->hide();
  viewport()->update();
  if (fullScreen_) fullScreen_->update();
  return false;
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
  // The direct child covers its surface from the same origin: the same coordinates.
  QWidget* shown = Shown(surface);
  if (ratio == 1.0 && target.size() == desktop) {
    shown->update(desktopRegion.translated(target.topLeft()));
    return;
  }
  QRegion dirty;
  for (const QRect& r : desktopRegion)
    dirty += LogicalCover(DesktopToView(r, target, desktop), ratio);
  shown->update(dirty);
}

void TMsRdpClient::ScreenChanged() {
  // Qt tells of the new screen before it gives the window its size there: with both known the
  // server is asked once, not first for the old logical size at the new scale.
  QMetaObject::invokeMethod(
      this,
      [this] {
        Dispatch(this, [this] {
          ApplyRemotePointer();
          UpdateDirect();
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
  // Covered whole by its direct child, which shows the same.
  if (Shown(surface) != surface) return;
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
  UpdateDirect();
  UpdateDisplayLayout();
}

bool TMsRdpClient::event(QEvent* event) {
  // While connected every key belongs to the remote desktop, window shortcuts included.
  if (event->type() == QEvent::ShortcutOverride && connected_ == kConnectedState) {
    event->accept();
    return true;
  }
  if (event->type() == QEvent::Show) UpdateDirect();
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
