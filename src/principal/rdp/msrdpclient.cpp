#include "principal/rdp/msrdpclient.h"

#include <arpa/inet.h>

#include <QCursor>
#include <QDir>
#include <QGuiApplication>
#include <QMetaObject>
#include <QPixmap>
#include <QScreen>
#include <QStandardPaths>
#include <algorithm>

#include "platform/systemkeyboard.h"
#include "platform/windowskeyboardlayout.h"
#include "principal/rdp/irdpsession.h"
#include "principal/rdp/rdpcontrolerror.h"
#include "principal/rdp/rdpfullscreen.h"
#include "principal/rdp/rdplog.h"
#include "principal/rdp/rdpsessionloader.h"
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
TBoxRequest CertificateBox(const TCertificateQuestion& question) {
  TBoxRequest request;
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
  void SessionFrame(const TRdpFrame& frame) override { client_.SetFrame(frame); }
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

TMsRdpClientAdvancedSettings::~TMsRdpClientAdvancedSettings() = default;

int TMsRdpClientAdvancedSettings::RDPPort() const {
  return owner_.connection_.port;
}

const QString& TMsRdpClientAdvancedSettings::ClearTextPassword() const {
  return owner_.connection_.password;
}

void TMsRdpClientAdvancedSettings::SetRDPPort(int port) {
  owner_.RefuseWhileActive();
  if (port < kMinPort || port > kMaxPort)
    throw ERdpControlError(QString::fromUtf16(kBadPortText), kResultInvalidArgument);
  owner_.connection_.port = port;
}

void TMsRdpClientAdvancedSettings::SetClearTextPassword(QString password) {
  owner_.RefuseWhileActive();
  WipePassword(owner_.connection_.password);
  owner_.connection_.password = std::move(password);
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
  WipePassword(connection_.password);
}

void TMsRdpClient::RefuseWhileActive() const {
  if (connected_ != kNotConnected)
    throw ERdpControlError(QString::fromUtf16(kBusyText), kResultUnexpected);
}

void TMsRdpClient::SetServer(const QString& server) {
  RefuseWhileActive();
  if (!server.isEmpty() && !ValidServerName(server))
    throw ERdpControlError(QString::fromUtf16(kBadServerText), kResultInvalidArgument);
  connection_.server = server;
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
  connection_.userName = userName;
}

void TMsRdpClient::SetDesktopWidth(int width) {
  RefuseWhileActive();
  if (width < kMinDesktopSize || width > kMaxDesktopSize)
    throw ERdpControlError(QString::fromUtf16(kBadDesktopSizeText), kResultInvalidArgument);
  connection_.desktopWidth = width;
}

void TMsRdpClient::SetDesktopHeight(int height) {
  RefuseWhileActive();
  if (height < kMinDesktopSize || height > kMaxDesktopSize)
    throw ERdpControlError(QString::fromUtf16(kBadDesktopSizeText), kResultInvalidArgument);
  connection_.desktopHeight = height;
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
  if (connection_.server.isEmpty())
    throw ERdpControlError(QString::fromUtf16(kNoServerText), kResultInvalidArgument);
  if (session_) {
    // The previous session has reported its end; its thread is finishing or finished.
    session_->Detach();
    (void)session_->Wait(kSessionEndWaitMs);
    session_.reset();
  }

  // The password goes to the session without a copy of its characters: the control keeps it
  // for the next Connect, and whichever of the two lets it go last wipes it.
  TRdpConnectParams params{connection_};
  params.layout = WantedLayout();
  params.keyboardLayout = KeyboardLayoutToAnnounce();
  params.redirectDrives = advanced_.redirectDrives_;
  params.redirectPrinters = advanced_.redirectPrinters_;
  params.redirectPorts = advanced_.redirectPorts_;
  params.sound = true;
  params.providerDomains = ProviderDomains();
  params.reconnectDelays = RdpReconnectDelays();
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
  SetFrame(TRdpFrame());
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
