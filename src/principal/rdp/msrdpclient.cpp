#include "principal/rdp/msrdpclient.h"

#include <arpa/inet.h>

#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QScrollBar>
#include <QStandardPaths>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

#include "platform/scancodes.h"
#include "platform/systemkeyboard.h"
#include "platform/windowskeyboardlayout.h"
#include "principal/rdp/irdpsession.h"
#include "principal/rdp/rdpcontrolerror.h"
#include "principal/rdp/rdpdevices.h"
#include "principal/rdp/rdpfullscreen.h"
#include "principal/rdp/rdpgeometry.h"
#include "principal/rdp/rdplog.h"
#include "service/endpoints.h"
#include "shell/boxes.h"
#include "shell/events.h"

namespace {

constexpr int kMinDesktopSize = kMinLayoutSide;
constexpr int kMaxDesktopSize = kMaxLayoutSide;
constexpr int kMinPort = 1;
constexpr int kMaxPort = 65535;
// How long the control waits for an ended session's thread before it lets it finish alone.
constexpr int kSessionEndWaitMs = 5000;
const QColor kBackground(0x20, 0x20, 0x20);

constexpr char16_t kBadPortText[] = u"The RDP port must be a number from 1 to 65535";
constexpr char16_t kBadDesktopSizeText[] =
    u"The desktop width and height must be from 200 to 8192 pixels";
constexpr char16_t kBusyText[] =
    u"The connection settings cannot be changed while connected or connecting";
constexpr char16_t kAlreadyConnectedText[] = u"The control is already connected or connecting";
constexpr char16_t kNoServerText[] = u"No server name was given";
constexpr char16_t kBadServerText[] = u"The server must be a host name or an IP address";
constexpr qsizetype kMaxServerNameLength = 253;

// The layout the person types with, read from the keymap when connecting, so that a layout
// switched to before connecting is the one announced. FreeRDP's own guess (the X server's rules
// property, which XWayland leaves at "us" whatever the desktop's layout) only for a layout our
// table does not know.
std::uint32_t KeyboardLayoutToAnnounce() {
  const TXkbLayoutName name = SystemKeyboard().ActiveLayoutName();
  const std::uint32_t id = WindowsKeyboardLayoutId(name);
  const std::uint32_t layout = id != 0 ? id : RdpLocalKeyboardLayout();
  qCInfo(lcRdp, "keyboard layout %s(%s): 0x%08X%s", qUtf8Printable(name.layout),
         qUtf8Printable(name.variant), layout, id != 0 ? "" : " (FreeRDP's guess)");
  return layout;
}

}  // namespace

namespace {

// A certificate question: "Não" is the default, so Enter or closing the box refuses.
BoxRequest CertificateBox(const TCertificateQuestion& question) {
  BoxRequest request;
  request.caption = Application != nullptr ? Application->Title() : QString();
  request.text = question.QuestionKind() == TCertificateQuestion::Kind::Changed
                     ? QString::fromUtf16(kCertificateChangedText)
                           .arg(question.Host(), question.Subject(), question.Fingerprint())
                     : QString::fromUtf16(kCertificateUnknownText)
                           .arg(question.Host(), question.Fingerprint());
  request.icon = BoxIcon::Warning;
  request.buttons = {QString::fromUtf16(kCertificateYesCaption),
                     QString::fromUtf16(kCertificateNoCaption)};
  request.defaultButton = 1;
  return request;
}

}  // namespace

// Hands the session's reports (already on the UI thread) to the control.
class TRdpSessionBridge : public TRdpSessionEvents {
 public:
  explicit TRdpSessionBridge(TMsRdpClient& client) : client_(client) {}

  void SessionConnected() override {
    // The session may have come up just as Disconnect was called; its end is on its way.
    if (client_.disconnectRequested_) return;
    qCInfo(lcRdp) << "session connected";
    client_.connected_ = TMsRdpClient::kConnectedState;
    client_.SyncLockKeys();
    if (client_.fullScreenWanted_) client_.ShowFullScreenWindow();
    // The view may have changed since the size was asked (a window manager's maximise).
    client_.UpdateDisplayLayout();
    client_.Emit(&TMsRdpClient::OnConnected);
  }
  void SessionReconnecting() override {
    // As for a connection in progress: no input goes out, the last picture stays.
    if (client_.disconnectRequested_) return;
    qCInfo(lcRdp) << "connection lost: trying to reconnect";
    client_.connected_ = TMsRdpClient::kConnecting;
    client_.heldKeys_.clear();
    client_.Emit(&TMsRdpClient::OnConnecting);
  }
  void SessionDisconnected(int reason) override { client_.SessionEnded(reason); }
  void SessionFrame(const RdpFrame& frame) override { client_.SetFrame(frame); }
  void SessionInvalidated(const QRegion& region) override { client_.Invalidate(region); }
  void SessionCursor(const QImage& image, QPoint hotSpot, bool visible) override {
    using Kind = TMsRdpClient::RemotePointer::Kind;
    const Kind kind = !visible ? Kind::Hidden : image.isNull() ? Kind::Arrow : Kind::Image;
    client_.SetRemotePointer({kind, image, hotSpot});
  }
  void SessionAskCertificate(const std::shared_ptr<TCertificateQuestion>& question) override {
    client_.AskCertificate(question);
  }
  void SessionCertificateQuestionOver(
      const std::shared_ptr<TCertificateQuestion>& question) override {
    if (question == client_.question_) client_.CloseCertificateQuestion();
  }

 private:
  TMsRdpClient& client_;
};

// ---- advanced settings

TMsRdpClientAdvancedSettings::~TMsRdpClientAdvancedSettings() {
  password_.fill(QChar(0));
}

void TMsRdpClientAdvancedSettings::SetRDPPort(int port) {
  owner_.RefuseWhileActive();
  if (port < kMinPort || port > kMaxPort)
    throw ERdpControlError(QString::fromUtf16(kBadPortText), kResultInvalidArgument);
  port_ = port;
}

void TMsRdpClientAdvancedSettings::SetClearTextPassword(const QString& password) {
  owner_.RefuseWhileActive();
  password_.fill(QChar(0));
  password_ = password;
}

void TMsRdpClientAdvancedSettings::SetRedirectDrives(bool on) {
  owner_.RefuseWhileActive();
  redirectDrives_ = on;
}

void TMsRdpClientAdvancedSettings::SetRedirectPrinters(bool on) {
  owner_.RefuseWhileActive();
  redirectPrinters_ = on;
}

void TMsRdpClientAdvancedSettings::SetRedirectPorts(bool on) {
  owner_.RefuseWhileActive();
  redirectPorts_ = on;
}

// ---- the control

TMsRdpClient::TMsRdpClient(QWidget* parent)
    : QAbstractScrollArea(parent),
      advanced_(*this),
      bridge_(std::make_unique<TRdpSessionBridge>(*this)) {
  setObjectName(QStringLiteral("MsRdpClient71"));
  setFocusPolicy(Qt::StrongFocus);
  setFrameShape(QFrame::NoFrame);
  // The desktop is always shown whole: nothing to scroll.
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  viewport()->setMouseTracking(true);
  viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
  viewport()->setAutoFillBackground(false);
  setAttribute(Qt::WA_InputMethodEnabled, false);
}

TMsRdpClient::~TMsRdpClient() {
  CloseCertificateQuestion();
  delete fullScreen_.data();
  if (session_) {
    session_->Detach();
    session_->Abort();
    (void)session_->Wait(kSessionEndWaitMs);
    session_.reset();
  }
}

void TMsRdpClient::RefuseWhileActive() const {
  if (connected_ != kNotConnected)
    throw ERdpControlError(QString::fromUtf16(kBusyText), kResultUnexpected);
}

void TMsRdpClient::SetServer(const QString& server) {
  RefuseWhileActive();
  if (!server.isEmpty() && !ValidServerName(server))
    throw ERdpControlError(QString::fromUtf16(kBadServerText), kResultInvalidArgument);
  server_ = server;
}

bool TMsRdpClient::ValidServerName(const QString& text) {
  if (text.isEmpty() || text.size() > kMaxServerNameLength) return false;
  if (text.startsWith(QLatin1Char('[')) && text.endsWith(QLatin1Char(']'))) {
    const QByteArray inner = text.mid(1, text.size() - 2).toLatin1();
    in6_addr address{};
    return !inner.isEmpty() && text.size() - 2 == inner.size() &&
           inet_pton(AF_INET6, inner.constData(), &address) == 1;
  }
  // Host names and IPv4 literals alike are letters, digits, '-' and '.' only.
  return std::all_of(text.begin(), text.end(), [](QChar c) {
    const char16_t u = c.unicode();
    return (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') ||
           u == u'-' || u == u'.';
  });
}

void TMsRdpClient::SetUserName(const QString& userName) {
  RefuseWhileActive();
  userName_ = userName;
}

void TMsRdpClient::SetDesktopWidth(int width) {
  RefuseWhileActive();
  if (width < kMinDesktopSize || width > kMaxDesktopSize)
    throw ERdpControlError(QString::fromUtf16(kBadDesktopSizeText), kResultInvalidArgument);
  desktopWidth_ = width;
}

void TMsRdpClient::SetDesktopHeight(int height) {
  RefuseWhileActive();
  if (height < kMinDesktopSize || height > kMaxDesktopSize)
    throw ERdpControlError(QString::fromUtf16(kBadDesktopSizeText), kResultInvalidArgument);
  desktopHeight_ = height;
}

bool TMsRdpClient::FullScreen() const {
  return fullScreenWanted_;
}

void TMsRdpClient::SetFullScreen(bool on) {
  fullScreenWanted_ = on;
  // Before the session is up the wish is kept and honoured once it is.
  if (on && connected_ == kConnectedState)
    ShowFullScreenWindow();
  else if (!on)
    CloseFullScreenWindow();
}

void TMsRdpClient::ShowFullScreenWindow() {
  if (fullScreen_) return;
  auto* screen =
      window()->screen() != nullptr ? window()->screen() : QGuiApplication::primaryScreen();
  fullScreen_ = new TRdpFullScreen(*this);
  if (screen != nullptr) {
    fullScreen_->setScreen(screen);
    fullScreen_->setGeometry(screen->geometry());
  }
  fullScreen_->showFullScreen();
  fullScreen_->activateWindow();
  fullScreen_->setFocus(Qt::ActiveWindowFocusReason);
  fullScreenPointer_ = {};
  ApplyRemotePointer();
  UpdateDisplayLayout();
}

void TMsRdpClient::CloseFullScreenWindow() {
  if (!fullScreen_) return;
  ReleaseHeldKeys();
  fullScreen_->hide();
  fullScreen_->deleteLater();
  fullScreen_ = nullptr;
  window()->activateWindow();
  setFocus(Qt::ActiveWindowFocusReason);
  UpdateDisplayLayout();
}

void TMsRdpClient::Connect() {
  if (connected_ != kNotConnected)
    throw ERdpControlError(QString::fromUtf16(kAlreadyConnectedText), kResultUnexpected);
  if (server_.isEmpty())
    throw ERdpControlError(QString::fromUtf16(kNoServerText), kResultInvalidArgument);
  if (session_) {
    // The previous session has reported its end; its thread is finishing or finished.
    session_->Detach();
    (void)session_->Wait(kSessionEndWaitMs);
    session_.reset();
  }

  RdpConnectParams params;
  params.server = server_;
  params.userName = userName_;
  params.password = advanced_.password_;
  params.port = advanced_.port_;
  params.layout = WantedLayout();
  params.keyboardLayout = KeyboardLayoutToAnnounce();
  params.redirectDrives = advanced_.redirectDrives_;
  params.redirectPrinters = advanced_.redirectPrinters_;
  params.redirectPorts = advanced_.redirectPorts_;
  params.sound = true;
  params.providerDomains = ProviderDomains();
  params.configFolder = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
  // FreeRDP makes only the last folder of the path; the rest must be there.
  if (!params.configFolder.isEmpty()) (void)QDir().mkpath(params.configFolder);

  connected_ = kConnecting;
  disconnectRequested_ = false;
  lastMouseAt_ = {-1, -1};
  toldLayout_ = params.layout;
  session_ = MakeRdpSession(std::move(params), this, bridge_.get());
  // Queued before the session can report anything, so it always comes first.
  QMetaObject::invokeMethod(
      this, [this] { Emit(&TMsRdpClient::OnConnecting); }, Qt::QueuedConnection);
  session_->Start();
}

void TMsRdpClient::Disconnect() {
  if (connected_ == kNotConnected || !session_) return;
  disconnectRequested_ = true;
  CloseCertificateQuestion();
  session_->Abort();
}

void TMsRdpClient::AskCertificate(const std::shared_ptr<TCertificateQuestion>& question) {
  // One question at a time; one the attempt already gave up on is not shown at all.
  CloseCertificateQuestion();
  if (disconnectRequested_ || question->Result() != TCertificateQuestion::Outcome::Waiting) return;
  qCInfo(lcRdp) << "asking whether to trust the certificate of" << question->Host();
  question_ = question;
  questionBox_ =
      std::make_unique<TOpenBox>(CertificateBox(*question), [this, question](int button) {
        question->Answer(button == 0);
        // The handle may go from inside its handler: the box is answered and closing itself.
        if (question_ == question) {
          question_.reset();
          questionBox_.reset();
        }
      });
}

void TMsRdpClient::CloseCertificateQuestion() {
  if (question_) question_->Withdraw();
  question_.reset();
  questionBox_.reset();
}

void TMsRdpClient::SessionEnded(int reason) {
  // When a session fails in the field, this line says why in words, not only a number.
  qCInfo(lcRdp).noquote() << "session ended, reason" << reason << "-"
                          << DisconnectReasonText(reason);
  connected_ = kNotConnected;
  heldKeys_.clear();
  // A question of the attempt that ended goes with it.
  CloseCertificateQuestion();
  if (fullScreen_) {
    // Keep the wish for the next connection, but give the person their desktop back now.
    const bool wanted = fullScreenWanted_;
    CloseFullScreenWindow();
    fullScreenWanted_ = wanted;
  }
  SetFrame(RdpFrame());
  SetRemotePointer({});
  if (reason == kDiscReasonNoSessionLibrary) {
    // Standard error is not where a person looks: the box says it, after the window has shown
    // the end of the attempt.
    QMetaObject::invokeMethod(
        this,
        [this] {
          Dispatch(this, [] { ShowErrorBox(QString::fromUtf16(kNoSessionLibraryBoxText)); });
        },
        Qt::QueuedConnection);
  }
  Dispatch(this, [this, reason] { emit OnDisconnected(reason); });
}

void TMsRdpClient::Emit(void (TMsRdpClient::*signal)()) {
  Dispatch(this, [this, signal] { emit(this->*signal)(); });
}

QString TMsRdpClient::DisconnectReasonText(int discReason) {
  return RdpReasonText(discReason);
}

void TMsRdpClient::SendScanCode(std::uint16_t code, bool extended, bool down) {
  if (!session_ || connected_ != kConnectedState || code == 0) return;
  if (down)
    heldKeys_.insert({code, extended});
  else
    heldKeys_.erase({code, extended});
  session_->SendScanCode(code, extended, down);
}

void TMsRdpClient::ReleaseHeldKeys() {
  // Keys still down when the view loses the keyboard would stay down on the remote side.
  const auto held = heldKeys_;
  for (const auto& [code, extended] : held) SendScanCode(code, extended, false);
  heldKeys_.clear();
}

// ---- view

QRect TMsRdpClient::DesktopRect() const {
  if (frame_.IsNull()) return {};
  return TargetIn(viewport()).toRect();
}

RdpDisplayLayout TMsRdpClient::WantedLayout() const {
  if (fullScreen_) return DisplayLayoutFor(fullScreen_->size(), fullScreen_->devicePixelRatioF());
  if (fullScreenWanted_) {
    // Full screen comes once the session is up, on the monitor the window is on.
    const QScreen* screen =
        window()->screen() != nullptr ? window()->screen() : QGuiApplication::primaryScreen();
    if (screen != nullptr) return DisplayLayoutFor(screen->size(), screen->devicePixelRatio());
  }
  if (isVisible()) return DisplayLayoutFor(viewport()->size(), viewport()->devicePixelRatioF());
  RdpDisplayLayout layout;
  layout.size = QSize(desktopWidth_, desktopHeight_);
  return layout;
}

void TMsRdpClient::UpdateDisplayLayout() {
  // Also while a lost connection is being got back: the next attempt asks for it.
  if (!session_ || connected_ == kNotConnected) return;
  const RdpDisplayLayout layout = WantedLayout();
  if (toldLayout_ == layout) return;
  toldLayout_ = layout;
  session_->SetDisplayLayout(layout);
}

void TMsRdpClient::SetFrame(const RdpFrame& frame) {
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
  const SurfacePointer shown =
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
