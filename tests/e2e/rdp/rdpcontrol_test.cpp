// The control against a real RDP server (freerdp-shadow-cli with NLA on its own Xvfb display).
#include <gtest/gtest.h>

#include <QColor>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLoggingCategory>
#include <QMouseEvent>
#include <QPixmap>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QWheelEvent>
#include <algorithm>
#include <iostream>
#include <memory>
#include <mutex>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QToolButton>
#include "core/errors.h"
#include "platform/registry.h"
#include "principal/rdp/irdpsession.h"
#include "principal/rdp/msrdpclient.h"
#include "principal/rdp/rdpdevices.h"
#include "principal/rdp/rdpfullscreen.h"
#include "principal/rdp/rdpgeometry.h"
#include "rdptestserver.h"
#include "testapp.h"

using testing_support::WaitFor;

namespace {

constexpr int kConnectTimeoutMs = 20000;
constexpr int kPictureTimeoutMs = 10000;
constexpr int kColourTolerance = 40;
// Reconnection here pauses half a second before each of ten attempts, long enough to span a
// server restart three seconds away and short enough that giving up takes seconds.
constexpr int kTestReconnectAttempts = 10;
constexpr auto kTestReconnectPause = std::chrono::milliseconds(500);
// How long a test waits for the end of attempts that a changed server should stop: longer than
// the short part of PatientAttempts with room for a busy machine.
constexpr int kAttemptsEndTimeoutMs = 120000;

// Attempts for a server that comes back changed: short pauses for a minute, longer than a
// restarted server takes to listen even on a loaded machine, then pauses far longer than any wait
// here, so that an end seen within kAttemptsEndTimeoutMs was not the attempts running out.
std::vector<std::chrono::milliseconds> PatientAttempts() {
  std::vector<std::chrono::milliseconds> delays(120, kTestReconnectPause);
  delays.insert(delays.end(), 10, std::chrono::minutes(10));
  return delays;
}

// What the session says about the codecs the server sends, caught from its log.
class CodecLog {
 public:
  CodecLog() {
    QLoggingCategory::setFilterRules(QStringLiteral("zentra.rdp.info=true"));
    previous_ = qInstallMessageHandler(&CodecLog::Handle);
  }
  ~CodecLog() {
    qInstallMessageHandler(previous_);
    QLoggingCategory::setFilterRules(QString());
  }
  CodecLog(const CodecLog&) = delete;
  CodecLog& operator=(const CodecLog&) = delete;

  static QStringList Lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  static void Handle(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.startsWith(QStringLiteral("the server sends"))) {
      std::lock_guard lock(mutex_);
      lines_ << message;
    }
    previous_(type, context, message);
  }
  static inline std::mutex mutex_;
  static inline QStringList lines_;
  static inline QtMessageHandler previous_ = nullptr;
};

bool Near(QRgb a, QColor b) {
  return std::abs(qRed(a) - b.red()) <= kColourTolerance &&
         std::abs(qGreen(a) - b.green()) <= kColourTolerance &&
         std::abs(qBlue(a) - b.blue()) <= kColourTolerance;
}

class RdpControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The client's remembered certificates and settings belong to this test alone.
    ASSERT_TRUE(home_.isValid());
    qputenv("HOME", home_.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", home_.filePath(QStringLiteral("config")).toUtf8());
    testing_support::ClearBoxes();
    SetRdpReconnectDelays(
        std::vector<std::chrono::milliseconds>(kTestReconnectAttempts, kTestReconnectPause));
    if (tlsOnly_) server_.UseTlsWithoutNla();
    ASSERT_TRUE(server_.Start()) << server_.Failure().toStdString();

    client_ = std::make_unique<TMsRdpClient>();
    client_->resize(1100, 850);
    client_->show();
    QObject::connect(client_.get(), &TMsRdpClient::OnConnecting,
                     [this] { events_ << "connecting"; });
    QObject::connect(client_.get(), &TMsRdpClient::OnConnected, [this] { events_ << "connected"; });
    QObject::connect(client_.get(), &TMsRdpClient::OnDisconnected, [this](int reason) {
      events_ << "disconnected";
      reasons_.push_back(reason);
    });
  }

  void TearDown() override {
    if (client_ && client_->Connected() != TMsRdpClient::kNotConnected) {
      client_->Disconnect();
      WaitFor([this] { return client_->Connected() == TMsRdpClient::kNotConnected; }, 10000);
    }
    client_.reset();
    SetRdpReconnectDelays({});
  }

  void Configure(const QString& password) {
    client_->SetServer(QStringLiteral("127.0.0.1"));
    client_->SetUserName(QString::fromLatin1(TestRdpServer::kUser));
    client_->SetDesktopWidth(1024);
    client_->SetDesktopHeight(768);
    client_->AdvancedSettings2()->SetRDPPort(server_.Port());
    client_->AdvancedSettings2()->SetClearTextPassword(password);
  }

  [[nodiscard]] bool ConnectAndWait() {
    const auto before = events_.size();
    client_->Connect();
    return WaitFor([&] { return events_.size() >= before + 2; }, kConnectTimeoutMs) &&
           events_.mid(before, 2) == QStringList{"connecting", "connected"};
  }

  [[nodiscard]] bool WaitForDisconnected() {
    return WaitFor([this] { return events_.contains("disconnected"); }, kConnectTimeoutMs);
  }

  // Paints the server's screen and waits until the control's image shows the colour.
  [[nodiscard]] bool ShowsColour(const QString& colour) {
    if (!server_.PaintRoot(colour)) return false;
    const QColor want(colour);
    return WaitFor(
        [&] {
          const QImage frame = client_->Frame();
          return !frame.isNull() && Near(frame.pixel(512, 384), want) &&
                 Near(frame.pixel(5, 5), want) && Near(frame.pixel(1018, 762), want);
        },
        kPictureTimeoutMs);
  }

  // Sends a mouse event to the view at a desktop position (the desktop shown 1:1).
  void Mouse(QEvent::Type type, QPoint desktopAt, Qt::MouseButton button = Qt::NoButton) {
    MouseAtView(type, client_->DesktopRect().topLeft() + desktopAt, button);
  }
  // Sends a mouse event to the view at a point of the view.
  void MouseAtView(QEvent::Type type, QPointF at, Qt::MouseButton button = Qt::NoButton) {
    const Qt::MouseButtons buttons =
        type == QEvent::MouseButtonPress ? Qt::MouseButtons(button) : Qt::MouseButtons();
    QMouseEvent event(type, at, client_->viewport()->mapToGlobal(at), button, buttons,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(client_->viewport(), &event);
  }

  // Sends a key press and release to the control as the keyboard would.
  void Key(int qtKey, quint32 x11KeyCode = 0, const QString& text = {},
           Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QKeyEvent press(QEvent::KeyPress, qtKey, modifiers, x11KeyCode, 0, 0, text);
    QCoreApplication::sendEvent(client_.get(), &press);
    QKeyEvent release(QEvent::KeyRelease, qtKey, modifiers, x11KeyCode, 0, 0, text);
    QCoreApplication::sendEvent(client_.get(), &release);
  }

  // Where the control keeps remembered certificates, and where FreeRDP's shared store would be.
  [[nodiscard]] bool Remembered() const {
    QFile hosts(QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) +
                QStringLiteral("/known_hosts2"));
    return hosts.open(QIODevice::ReadOnly) &&
           hosts.readAll().contains(QStringLiteral("127.0.0.1 %1 ").arg(server_.Port()).toUtf8());
  }
  [[nodiscard]] QString SharedFreeRdpFolder() const {
    return home_.filePath(QStringLiteral("config/freerdp"));
  }

  bool tlsOnly_ = false;
  QTemporaryDir home_;
  TestRdpServer server_;
  std::unique_ptr<TMsRdpClient> client_;
  QStringList events_;
  std::vector<int> reasons_;
};

TEST_F(RdpControlTest, RightPasswordConnectsAndShowsTheServerScreenCentred) {
  const CodecLog codecs;
  Configure(QString::fromLatin1(TestRdpServer::kPassword));
  client_->Connect();
  EXPECT_EQ(client_->Connected(), TMsRdpClient::kConnecting);
  ASSERT_TRUE(WaitFor([&] { return events_.size() >= 2; }, kConnectTimeoutMs));
  ASSERT_EQ(events_, (QStringList{"connecting", "connected"}));
  EXPECT_EQ(client_->Connected(), TMsRdpClient::kConnectedState);

  ASSERT_TRUE(ShowsColour(QStringLiteral("#20c040")));
  ASSERT_TRUE(ShowsColour(QStringLiteral("#c02080")));
  // Of what the session offers, this server's best is RemoteFX (its H.264 goes only to clients
  // that offer it, and the session does not): the picture came that way, and nothing else did.
  for (const QString& line : CodecLog::Lines()) std::cout << "codec: " << qPrintable(line) << "\n";
  EXPECT_EQ(
      CodecLog::Lines(),
      QStringList{QStringLiteral("the server sends surface bits with RemoteFX (codec id 3)")});

  // What a person sees: the desktop 1:1 in the middle, the dark background around it.
  const QRect desktop = client_->DesktopRect();
  EXPECT_EQ(desktop, QRect((1100 - 1024) / 2, (850 - 768) / 2, 1024, 768));
  const QImage shown = client_->viewport()->grab().toImage();
  EXPECT_TRUE(Near(shown.pixel(desktop.center()), QColor(QStringLiteral("#c02080"))));
  EXPECT_TRUE(Near(shown.pixel(desktop.left() + 2, desktop.top() + 2), QColor("#c02080")));
  EXPECT_TRUE(Near(shown.pixel(5, 5), QColor(0x20, 0x20, 0x20)));

  // The server keeps its own size (it has no display control): in a smaller view the desktop
  // is shown whole, scaled down with its aspect kept and centred, nothing to scroll.
  client_->resize(600, 500);
  QCoreApplication::processEvents();
  EXPECT_EQ(client_->DesktopSize(), QSize(1024, 768));
  EXPECT_EQ(client_->DesktopRect(), QRect(0, 25, 600, 450));
  const QImage small = client_->viewport()->grab().toImage();
  EXPECT_TRUE(Near(small.pixel(300, 250), QColor(QStringLiteral("#c02080"))));
  EXPECT_TRUE(Near(small.pixel(2, 27), QColor(QStringLiteral("#c02080"))));
  EXPECT_TRUE(Near(small.pixel(597, 472), QColor(QStringLiteral("#c02080"))));
  EXPECT_TRUE(Near(small.pixel(300, 10), QColor(0x20, 0x20, 0x20)));
  EXPECT_TRUE(Near(small.pixel(300, 490), QColor(0x20, 0x20, 0x20)));

  // A setting cannot change under a live session.
  EXPECT_THROW(client_->SetServer(QStringLiteral("other")), Exception);

  client_->Disconnect();
  ASSERT_TRUE(WaitForDisconnected());
  EXPECT_EQ(reasons_.back(), 1);
  EXPECT_EQ(client_->Connected(), TMsRdpClient::kNotConnected);

  // The same control connects again.
  events_.clear();
  ASSERT_TRUE(ConnectAndWait());
  ASSERT_TRUE(ShowsColour(QStringLiteral("#2040c0")));
}

TEST_F(RdpControlTest, WrongPasswordEndsWithAReason) {
  Configure(QStringLiteral("not-the-password"));
  client_->Connect();
  ASSERT_TRUE(WaitForDisconnected());
  EXPECT_EQ(events_, (QStringList{"connecting", "disconnected"}));
  ASSERT_EQ(reasons_.size(), 1u);
  EXPECT_NE(reasons_[0], 0);
  EXPECT_NE(reasons_[0], 1);
  EXPECT_FALSE(TMsRdpClient::DisconnectReasonText(reasons_[0]).isEmpty());
  EXPECT_EQ(client_->Connected(), TMsRdpClient::kNotConnected);

  // The person corrects the password and tries again.
  events_.clear();
  client_->AdvancedSettings2()->SetClearTextPassword(QString::fromLatin1(TestRdpServer::kPassword));
  ASSERT_TRUE(ConnectAndWait());
}

TEST_F(RdpControlTest, ServerGoneForGoodEndsTheSessionAfterTheAttemptsAndReconnectWorks) {
  Configure(QString::fromLatin1(TestRdpServer::kPassword));
  ASSERT_TRUE(ConnectAndWait());
  ASSERT_TRUE(ShowsColour(QStringLiteral("#808000")));

  server_.StopServer();
  ASSERT_TRUE(WaitFor([this] { return events_.size() >= 3; }, kConnectTimeoutMs));
  EXPECT_EQ(events_[2], QStringLiteral("connecting")) << "a lost connection is tried again first";
  EXPECT_EQ(client_->Connected(), TMsRdpClient::kConnecting);
  EXPECT_FALSE(client_->Frame().isNull()) << "the last picture stays while it tries";
  ASSERT_TRUE(WaitForDisconnected());
  EXPECT_EQ(events_, (QStringList{"connecting", "connected", "connecting", "disconnected"}));
  EXPECT_NE(reasons_.back(), 1);
  EXPECT_EQ(client_->Connected(), TMsRdpClient::kNotConnected);

  ASSERT_TRUE(server_.StartServer());
  events_.clear();
  ASSERT_TRUE(ConnectAndWait());
  ASSERT_TRUE(ShowsColour(QStringLiteral("#008080")));
}

TEST_F(RdpControlTest, ServerBackWithinTheAttemptsBringsTheSessionBackWithoutAClick) {
  Configure(QString::fromLatin1(TestRdpServer::kPassword));
  ASSERT_TRUE(ConnectAndWait());
  ASSERT_TRUE(ShowsColour(QStringLiteral("#800080")));

  server_.StopServer();
  ASSERT_TRUE(WaitFor([this] { return events_.size() >= 3; }, kConnectTimeoutMs));
  EXPECT_EQ(events_[2], QStringLiteral("connecting"));
  WaitFor([] { return false; }, 3000);
  ASSERT_TRUE(server_.StartServer());
  ASSERT_TRUE(WaitFor([this] { return events_.size() >= 4; }, kConnectTimeoutMs));
  EXPECT_EQ(events_, (QStringList{"connecting", "connected", "connecting", "connected"}));
  EXPECT_EQ(client_->Connected(), TMsRdpClient::kConnectedState);
  // The same certificate again is not a question, and the picture is live again.
  EXPECT_TRUE(testing_support::ShownBoxes().empty());
  ASSERT_TRUE(ShowsColour(QStringLiteral("#00a040")));
}

TEST_F(RdpControlTest, ALogonRefusedOnARetryEndsTheAttemptsWithTheReasonOfAFirstConnection) {
  SetRdpReconnectDelays(PatientAttempts());
  Configure(QString::fromLatin1(TestRdpServer::kPassword));
  ASSERT_TRUE(ConnectAndWait());
  server_.StopServer();
  ASSERT_TRUE(WaitFor([this] { return events_.size() >= 3; }, kConnectTimeoutMs));
  EXPECT_EQ(events_[2], QStringLiteral("connecting"));

  // The account's password was changed while the session was away.
  ASSERT_TRUE(server_.UsePassword(QStringLiteral("Outra-senha-2")));
  ASSERT_TRUE(server_.StartServer());
  ASSERT_TRUE(WaitFor([this] { return events_.contains("disconnected"); }, kAttemptsEndTimeoutMs))
      << "the attempts went on after the server refused the logon";
  EXPECT_EQ(events_, (QStringList{"connecting", "connected", "connecting", "disconnected"}));
  const int reason = reasons_.back();
  EXPECT_NE(reason, kDiscReasonLocal);
  EXPECT_NE(reason, kDiscReasonRemote) << "the refusal's own reason, not a closed connection";

  // A first connection with that password ends with the same reason.
  events_.clear();
  reasons_.clear();
  client_->Connect();
  ASSERT_TRUE(WaitForDisconnected());
  EXPECT_EQ(reasons_, std::vector<int>{reason})
      << TMsRdpClient::DisconnectReasonText(reason).toStdString();
}

TEST_F(RdpControlTest, OurOwnDisconnectIsNotTriedAgain) {
  Configure(QString::fromLatin1(TestRdpServer::kPassword));
  ASSERT_TRUE(ConnectAndWait());
  client_->Disconnect();
  ASSERT_TRUE(WaitForDisconnected());
  // Give an attempt the time to show itself if one had started.
  WaitFor([] { return false; }, 1000);
  EXPECT_EQ(events_, (QStringList{"connecting", "connected", "disconnected"}));
  EXPECT_EQ(reasons_, std::vector<int>{kDiscReasonLocal});
}

TEST_F(RdpControlTest, DisconnectDuringTheAttemptsEndsThemAtOnce) {
  // Pauses far longer than any wait below: an end seen at all was not a pause running out.
  SetRdpReconnectDelays(
      std::vector<std::chrono::milliseconds>(kTestReconnectAttempts, std::chrono::minutes(5)));
  Configure(QString::fromLatin1(TestRdpServer::kPassword));
  ASSERT_TRUE(ConnectAndWait());
  server_.StopServer();
  ASSERT_TRUE(WaitFor([this] { return events_.size() >= 3; }, kConnectTimeoutMs));
  EXPECT_EQ(client_->Connected(), TMsRdpClient::kConnecting);
  client_->Disconnect();
  ASSERT_TRUE(WaitForDisconnected());
  EXPECT_EQ(reasons_, std::vector<int>{kDiscReasonLocal});
  EXPECT_EQ(client_->Connected(), TMsRdpClient::kNotConnected);
}

TEST_F(RdpControlTest, TypedKeysArriveInAProgramOnTheServer) {
  const QString typed = server_.Folder() + QStringLiteral("/typed.txt");
  ASSERT_NE(server_.Launch(QStringLiteral("xterm"),
                           {QStringLiteral("-geometry"), QStringLiteral("60x10+0+0"),
                            QStringLiteral("-e"), QStringLiteral("sh"), QStringLiteral("-c"),
                            QStringLiteral("cat > '%1'").arg(typed)}),
            nullptr);
  ASSERT_EQ(
      server_.Run(QStringLiteral("timeout"),
                  {QStringLiteral("10"), QStringLiteral("xdotool"), QStringLiteral("search"),
                   QStringLiteral("--sync"), QStringLiteral("--class"), QStringLiteral("xterm")},
                  12000),
      0);
  Configure(QString::fromLatin1(TestRdpServer::kPassword));
  ASSERT_TRUE(ConnectAndWait());
  client_->setFocus();
  // Without a window manager the keyboard follows the pointer: put it over the terminal.
  Mouse(QEvent::MouseMove, {60, 40});

  // Native X key codes (what the physical keyboard gives): z e n, Shift+t = "T".
  Key(Qt::Key_Z, 52, QStringLiteral("z"));
  Key(Qt::Key_E, 26, QStringLiteral("e"));
  Key(Qt::Key_N, 57, QStringLiteral("n"));
  QKeyEvent shiftDown(QEvent::KeyPress, Qt::Key_Shift, Qt::NoModifier, 50, 0, 0);
  QCoreApplication::sendEvent(client_.get(), &shiftDown);
  Key(Qt::Key_T, 28, QStringLiteral("T"), Qt::ShiftModifier);
  QKeyEvent shiftUp(QEvent::KeyRelease, Qt::Key_Shift, Qt::ShiftModifier, 50, 0, 0);
  QCoreApplication::sendEvent(client_.get(), &shiftUp);
  // Key events without a native code (as a synthesised key may come): r a 4 2, then Enter.
  Key(Qt::Key_R);
  Key(Qt::Key_A);
  Key(Qt::Key_4);
  Key(Qt::Key_2);
  Key(Qt::Key_Return, 36);

  const bool arrived = WaitFor(
      [&] {
        QFile file(typed);
        return file.open(QIODevice::ReadOnly) && file.readAll() == "zenTra42\n";
      },
      kPictureTimeoutMs);
  QFile file(typed);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly) || !arrived);
  EXPECT_TRUE(arrived) << "typed file holds: " << file.readAll().toStdString();
}

TEST_F(RdpControlTest, ClicksAndWheelLandAtTheIntendedRemoteCoordinates) {
  const QString log = server_.Folder() + QStringLiteral("/xev.log");
  QProcess* xev = server_.Launch(
      QStringLiteral("sh"),
      {QStringLiteral("-c"),
       QStringLiteral("exec xev -geometry 1024x768+0+0 -event button > '%1'").arg(log)});
  ASSERT_NE(xev, nullptr);
  ASSERT_EQ(server_.Run(QStringLiteral("timeout"),
                        {QStringLiteral("10"), QStringLiteral("xdotool"), QStringLiteral("search"),
                         QStringLiteral("--sync"), QStringLiteral("--name"),
                         QStringLiteral("Event Tester")},
                        12000),
            0);
  Configure(QString::fromLatin1(TestRdpServer::kPassword));
  ASSERT_TRUE(ConnectAndWait());

  const QPoint target(321, 234);
  Mouse(QEvent::MouseMove, target);
  Mouse(QEvent::MouseButtonPress, target, Qt::LeftButton);
  Mouse(QEvent::MouseButtonRelease, target, Qt::LeftButton);
  Mouse(QEvent::MouseButtonPress, {700, 500}, Qt::RightButton);
  Mouse(QEvent::MouseButtonRelease, {700, 500}, Qt::RightButton);
  const QPointF at = client_->DesktopRect().topLeft() + QPoint(400, 300);
  QWheelEvent wheel(at, client_->viewport()->mapToGlobal(at), {}, {0, -120}, Qt::NoButton,
                    Qt::NoModifier, Qt::NoScrollPhase, false);
  QCoreApplication::sendEvent(client_->viewport(), &wheel);

  auto logText = [&] {
    QFile file(log);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
  };
  // xev prints "ButtonPress event ... (x,y), root:(x,y), state ..., button N".
  auto pressed = [&](int button, QPoint where) {
    static const QRegularExpression kPress(
        QStringLiteral("ButtonPress event.*?root:\\((\\d+),(\\d+)\\).*?button (\\d+)"),
        QRegularExpression::DotMatchesEverythingOption);
    auto it = kPress.globalMatch(logText());
    while (it.hasNext()) {
      const auto m = it.next();
      if (m.captured(3).toInt() == button &&
          QPoint(m.captured(1).toInt(), m.captured(2).toInt()) == where)
        return true;
    }
    return false;
  };
  EXPECT_TRUE(WaitFor([&] { return pressed(1, target); }, kPictureTimeoutMs))
      << logText().toStdString();
  EXPECT_TRUE(WaitFor([&] { return pressed(3, {700, 500}); }, kPictureTimeoutMs));
  // A notch towards the person scrolls down: X button 5.
  EXPECT_TRUE(WaitFor([&] { return pressed(5, {400, 300}); }, kPictureTimeoutMs));

  // A view smaller than the server's desktop shows it scaled down whole; a click lands on the
  // remote pixel under the pointer: view (150, 175) is desktop (256, 256) in a 600 x 450 picture
  // 25 pixels from the top.
  client_->resize(600, 500);
  QCoreApplication::processEvents();
  ASSERT_EQ(client_->DesktopRect(), QRect(0, 25, 600, 450));
  MouseAtView(QEvent::MouseMove, {150, 175});
  MouseAtView(QEvent::MouseButtonPress, {150, 175}, Qt::LeftButton);
  MouseAtView(QEvent::MouseButtonRelease, {150, 175}, Qt::LeftButton);
  EXPECT_TRUE(WaitFor(
      [&] {
        return pressed(1, {256, 256});
      },
      kPictureTimeoutMs))
      << logText().toStdString();
  MouseAtView(QEvent::MouseButtonPress, {599, 474}, Qt::RightButton);
  MouseAtView(QEvent::MouseButtonRelease, {599, 474}, Qt::RightButton);
  EXPECT_TRUE(WaitFor(
      [&] {
        return pressed(3, {1022, 766});
      },
      kPictureTimeoutMs))
      << logText().toStdString();
}

// An NLA server whose certificate nothing vouches for: NLA proves nothing before the NTLM
// response has left, so the person is asked first.
class RdpControlOwnCertificateTest : public RdpControlTest {
 protected:
  RdpControlOwnCertificateTest() { server_.UseOwnCertificate(); }
};

TEST_F(RdpControlOwnCertificateTest, NlaAsksFirstAndAChangedCertificateAsksAgain) {
  Configure(QString::fromLatin1(TestRdpServer::kPassword));
  testing_support::AnswerNextBox(0);  // "Sim"
  ASSERT_TRUE(ConnectAndWait());
  ASSERT_EQ(testing_support::ShownBoxes().size(), 1u) << "NLA alone proves nothing";
  EXPECT_TRUE(testing_support::ShownBoxes()[0].text.startsWith(
      QString::fromUtf16(kCertificateUnknownText).section(QLatin1Char('%'), 0, 0)));
  EXPECT_TRUE(Remembered()) << "remembered in the program's own folder";
  EXPECT_FALSE(QFileInfo::exists(SharedFreeRdpFolder()));
  client_->Disconnect();
  ASSERT_TRUE(WaitForDisconnected());

  // The same address now answers with another certificate.
  ASSERT_TRUE(server_.StartServer(server_.Folder() + QStringLiteral("/other-home")));
  testing_support::ClearBoxes();
  events_.clear();
  reasons_.clear();
  client_->Connect();  // no answer given: the box's default, "Não"
  ASSERT_TRUE(WaitForDisconnected());
  ASSERT_EQ(testing_support::ShownBoxes().size(), 1u);
  const BoxRequest& box = testing_support::ShownBoxes()[0];
  EXPECT_TRUE(box.text.startsWith(
      QString::fromUtf16(kCertificateChangedText).section(QLatin1Char('%'), 0, 0)))
      << box.text.toStdString();
  EXPECT_EQ(box.buttons.value(box.defaultButton), QStringLiteral("&Não"));
  EXPECT_FALSE(events_.contains("connected"));

  testing_support::ClearBoxes();
  testing_support::AnswerNextBox(0);  // "Sim"
  events_.clear();
  ASSERT_TRUE(ConnectAndWait());
  EXPECT_EQ(testing_support::ShownBoxes().size(), 1u);
}

// A server without NLA and with its own certificate: the password waits for the
// person's word on the certificate.
class RdpControlTlsTest : public RdpControlTest {
 protected:
  RdpControlTlsTest() { tlsOnly_ = true; }
};

TEST_F(RdpControlTlsTest, UnknownCertificateAsksFirstAndNoIsADisconnection) {
  Configure(QString::fromLatin1(TestRdpServer::kPassword));
  client_->Connect();  // no answer given: the box's default, "Não"
  ASSERT_TRUE(WaitForDisconnected());
  EXPECT_FALSE(events_.contains("connected"));
  EXPECT_TRUE(client_->Frame().isNull()) << "no remote desktop before the answer";
  ASSERT_EQ(testing_support::ShownBoxes().size(), 1u);
  const BoxRequest& box = testing_support::ShownBoxes()[0];
  EXPECT_TRUE(box.text.startsWith(
      QString::fromUtf16(kCertificateUnknownText).section(QLatin1Char('%'), 0, 0)))
      << box.text.toStdString();
  EXPECT_TRUE(box.text.contains(QStringLiteral("127.0.0.1")));
  // The SHA-256 fingerprint: 32 bytes as colon-separated hex.
  EXPECT_TRUE(
      box.text.contains(QRegularExpression(QStringLiteral("([0-9a-f]{2}:){31}[0-9a-f]{2}"))))
      << box.text.toStdString();
  EXPECT_EQ(box.buttons.value(box.defaultButton), QString::fromUtf16(kCertificateNoCaption));
  EXPECT_FALSE(Remembered()) << "a refused certificate is not remembered";

  // "Sim" connects and remembers; the next connection asks nothing.
  testing_support::ClearBoxes();
  testing_support::AnswerNextBox(0);
  events_.clear();
  ASSERT_TRUE(ConnectAndWait());
  EXPECT_EQ(testing_support::ShownBoxes().size(), 1u);
  EXPECT_TRUE(Remembered());
  EXPECT_FALSE(QFileInfo::exists(SharedFreeRdpFolder()));
  client_->Disconnect();
  ASSERT_TRUE(WaitForDisconnected());

  testing_support::ClearBoxes();
  events_.clear();
  ASSERT_TRUE(ConnectAndWait());
  EXPECT_TRUE(testing_support::ShownBoxes().empty());
}

TEST_F(RdpControlTlsTest, ReconnectingAsksOnlyForAChangedCertificateAndNoEndsTheAttempts) {
  SetRdpReconnectDelays(PatientAttempts());
  Configure(QString::fromLatin1(TestRdpServer::kPassword));
  testing_support::AnswerNextBox(0);  // "Sim" to the first connection's question
  ASSERT_TRUE(ConnectAndWait());
  ASSERT_EQ(testing_support::ShownBoxes().size(), 1u);
  testing_support::ClearBoxes();

  // The same server back: its certificate is known, nothing is asked.
  server_.StopServer();
  ASSERT_TRUE(WaitFor([this] { return events_.size() >= 3; }, kConnectTimeoutMs));
  ASSERT_TRUE(server_.StartServer());
  ASSERT_TRUE(WaitFor([this] { return events_.size() >= 4; }, kAttemptsEndTimeoutMs));
  EXPECT_EQ(events_, (QStringList{"connecting", "connected", "connecting", "connected"}));
  EXPECT_TRUE(testing_support::ShownBoxes().empty());

  // Another certificate at the same address: asked once, and "Não" (no answer given, the box's
  // default) ends the attempts; an attempt after the no would ask again.
  server_.StopServer();
  ASSERT_TRUE(WaitFor([this] { return events_.size() >= 5; }, kConnectTimeoutMs));
  ASSERT_TRUE(server_.StartServer(server_.Folder() + QStringLiteral("/other-home")));
  ASSERT_TRUE(WaitFor([this] { return events_.contains("disconnected"); }, kAttemptsEndTimeoutMs));
  EXPECT_EQ(events_, (QStringList{"connecting", "connected", "connecting", "connected",
                                  "connecting", "disconnected"}));
  ASSERT_EQ(testing_support::ShownBoxes().size(), 1u);
  EXPECT_TRUE(testing_support::ShownBoxes()[0].text.startsWith(
      QString::fromUtf16(kCertificateChangedText).section(QLatin1Char('%'), 0, 0)))
      << testing_support::ShownBoxes()[0].text.toStdString();
  const int reason = reasons_.back();
  EXPECT_NE(reason, kDiscReasonLocal);

  // A new connection that gets the same no ends with the same reason.
  testing_support::ClearBoxes();
  events_.clear();
  reasons_.clear();
  client_->Connect();
  ASSERT_TRUE(WaitForDisconnected());
  EXPECT_EQ(testing_support::ShownBoxes().size(), 1u);
  EXPECT_EQ(reasons_, std::vector<int>{reason});
}

// Threads of this process now: the session's FreeRDP threads come and go with it.
int ThreadCount() {
  return static_cast<int>(
      QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

TEST_F(RdpControlTest, DisconnectRightAfterConnectNeverReportsConnected) {
  Configure(QString::fromLatin1(TestRdpServer::kPassword));
  // Disconnect at different points of the attempt: at once, while connecting, around the
  // moment the session comes up.
  for (int round = 0; round < 50; ++round) {
    SCOPED_TRACE(round);
    events_.clear();
    client_->Connect();
    const int waitMs = (round % 10) * 60;
    if (waitMs > 0) WaitFor([] { return false; }, waitMs);
    const auto before = events_.size();
    client_->Disconnect();
    ASSERT_TRUE(WaitForDisconnected());
    EXPECT_FALSE(events_.mid(before).contains("connected"))
        << "OnConnected after Disconnect: " << events_.join(' ').toStdString();
    EXPECT_EQ(client_->Connected(), TMsRdpClient::kNotConnected);
    EXPECT_EQ(reasons_.back(), 1);
  }
}

TEST(RdpControlEnd, ClosingDuringAHandshakeWithASilentServerEndsTheAttempt) {
  // A listener that accepts connections (the kernel does) and never says a word.
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  socklen_t length = sizeof(address);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);

  QTemporaryDir home;
  qputenv("HOME", home.path().toUtf8());
  qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toUtf8());
  const int threadsBefore = ThreadCount();
  auto client = std::make_unique<TMsRdpClient>();
  std::vector<int> reasons;
  QObject::connect(client.get(), &TMsRdpClient::OnDisconnected,
                   [&](int reason) { reasons.push_back(reason); });
  client->SetServer(QStringLiteral("127.0.0.1"));
  client->AdvancedSettings2()->SetRDPPort(ntohs(address.sin_port));
  client->Connect();
  // Let the attempt reach the server and wait there for its answer.
  WaitFor([] { return false; }, 500);
  EXPECT_EQ(client->Connected(), TMsRdpClient::kConnecting);

  // What closing the session window does: Disconnect, then the control goes.
  QElapsedTimer clock;
  clock.start();
  client->Disconnect();
  client.reset();
  const qint64 closedMs = clock.elapsed();
  EXPECT_TRUE(WaitFor([&] { return ThreadCount() <= threadsBefore; }, 10000))
      << "threads left: " << ThreadCount() - threadsBefore;
  std::cout << "closed in " << closedMs << " ms, threads gone after " << clock.elapsed() << " ms\n";
  ::close(listener);
}

TEST_F(RdpControlTest, AHomeFolderThatIsMissingLeavesTheSessionWithTheOtherDevices) {
  qputenv("HOME", home_.filePath(QStringLiteral("not-there")).toUtf8());
  Configure(QString::fromLatin1(TestRdpServer::kPassword));
  client_->AdvancedSettings2()->SetRedirectDrives(true);
  client_->AdvancedSettings2()->SetRedirectPorts(true);
  ASSERT_TRUE(ConnectAndWait());
  ASSERT_TRUE(ShowsColour(QStringLiteral("#406080")));
}

TEST_F(RdpControlTest, SessionWithPrintersRedirectedKeepsFlowing) {
  TestCupsScheduler cups;
  ASSERT_TRUE(cups.Start());
  ASSERT_TRUE(cups.AddQueue(QStringLiteral("PDFCreator"), true));
  ASSERT_TRUE(cups.AddQueue(QStringLiteral("Escritorio"), false));
  TRegistry registry;
  ASSERT_TRUE(registry.OpenKey(QString::fromUtf16(kRdpdrKey), true));
  registry.WriteInteger(QString::fromUtf16(kFilterQueueTypeValue), -1);
  registry.CloseKey();

  Configure(QString::fromLatin1(TestRdpServer::kPassword));
  client_->AdvancedSettings2()->SetRedirectPrinters(true);
  client_->AdvancedSettings2()->SetRedirectDrives(true);
  client_->AdvancedSettings2()->SetRedirectPorts(true);
  ASSERT_TRUE(ConnectAndWait());
  // Several seconds of a changing screen: each change must come through, none may stall.
  const QStringList colours = {"#ff0000", "#00ff00", "#0000ff", "#ffff00",
                               "#00ffff", "#ff00ff", "#ffffff", "#808080"};
  QElapsedTimer clock;
  clock.start();
  for (const auto& colour : colours) {
    ASSERT_TRUE(ShowsColour(colour))
        << colour.toStdString() << " after " << clock.elapsed() << " ms";
    WaitFor([] { return false; }, 1000);  // a second of ordinary session life per colour
  }
  EXPECT_EQ(client_->Connected(), TMsRdpClient::kConnectedState);
  EXPECT_FALSE(events_.contains("disconnected"));
}

TEST_F(RdpControlTest, FullScreenShowsTheDesktopWholeAndCtrlAltEnterReturns) {
  Configure(QString::fromLatin1(TestRdpServer::kPassword));
  client_->SetFullScreen(true);  // asked before connecting: honoured once connected
  EXPECT_TRUE(client_->FullScreen());
  ASSERT_TRUE(ConnectAndWait());
  ASSERT_TRUE(ShowsColour(QStringLiteral("#3060a0")));

  auto fullScreen = [] {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* f = qobject_cast<TRdpFullScreen*>(w); f != nullptr && f->isVisible()) return f;
    return static_cast<TRdpFullScreen*>(nullptr);
  };
  ASSERT_TRUE(WaitFor([&] { return fullScreen() != nullptr; }, 5000));
  TRdpFullScreen* screen = fullScreen();
  // The server keeps its 1024 x 768: shown whole by the view's rule (1:1 on a larger screen,
  // scaled down on a smaller one, never enlarged).
  const QRect target = screen->Target().toRect();
  EXPECT_EQ(target, DesktopTarget(screen->size(), {1024, 768}));
  const QImage shown = screen->grab().toImage();
  EXPECT_TRUE(Near(shown.pixel(target.center()), QColor(QStringLiteral("#3060a0"))));

  // A click on the scaled picture lands on the remote pixel under it.
  const QString log = server_.Folder() + QStringLiteral("/xev-full.log");
  ASSERT_NE(server_.Launch(
                QStringLiteral("sh"),
                {QStringLiteral("-c"),
                 QStringLiteral("exec xev -geometry 1024x768+0+0 -event button > '%1'").arg(log)}),
            nullptr);
  ASSERT_EQ(server_.Run(QStringLiteral("timeout"),
                        {QStringLiteral("10"), QStringLiteral("xdotool"), QStringLiteral("search"),
                         QStringLiteral("--sync"), QStringLiteral("--name"),
                         QStringLiteral("Event Tester")},
                        12000),
            0);
  const QPointF at(target.x() + target.width() / 2.0, target.y() + target.height() / 4.0);
  for (auto type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
    QMouseEvent event(type, at, screen->mapToGlobal(at), Qt::LeftButton,
                      type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(screen, &event);
  }
  EXPECT_TRUE(WaitFor(
      [&] {
        QFile file(log);
        return file.open(QIODevice::ReadOnly) && file.readAll().contains("root:(512,192)");
      },
      kPictureTimeoutMs));

  // Ctrl+Alt+Enter gives the window back; the session goes on.
  QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::ControlModifier | Qt::AltModifier, 36, 0,
                  0);
  QCoreApplication::sendEvent(screen, &press);
  EXPECT_FALSE(client_->FullScreen());
  ASSERT_TRUE(WaitFor([&] { return fullScreen() == nullptr; }, 5000));
  EXPECT_EQ(client_->Connected(), TMsRdpClient::kConnectedState);

  // The bar's restore button does the same.
  client_->SetFullScreen(true);
  ASSERT_TRUE(WaitFor([&] { return fullScreen() != nullptr; }, 5000));
  auto* restore = fullScreen()->findChild<QToolButton*>(QStringLiteral("FullScreenRestore"));
  ASSERT_NE(restore, nullptr);
  EXPECT_EQ(restore->text(), QStringLiteral("Restaurar"));
  restore->click();
  ASSERT_TRUE(WaitFor([&] { return fullScreen() == nullptr; }, 5000));
  EXPECT_FALSE(client_->FullScreen());
}

// The devices each redirection switch hands over, from this computer's real facts: the person's
// folders, CUPS queues of a private scheduler, the stored printer mode, the serial ports present.
TEST(RdpDeviceRedirection, DevicesPerSwitchFromThisComputer) {
  QTemporaryDir home;
  ASSERT_TRUE(home.isValid());
  qputenv("HOME", home.path().toUtf8());
  qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toUtf8());
  TestCupsScheduler cups;
  ASSERT_TRUE(cups.Start());
  ASSERT_TRUE(cups.AddQueue(QStringLiteral("Escritorio"), false));
  ASSERT_TRUE(cups.AddQueue(QStringLiteral("PDFCreator"), true));
  ASSERT_TRUE(cups.AddQueue(QStringLiteral("Recepcao"), false));

  auto devices = [](bool drives, bool printers, bool ports) {
    return RdpDeviceChannels(GatherRedirectionInputs(drives, printers, ports));
  };
  EXPECT_TRUE(devices(false, false, false).empty());

  // The person's folders that exist, named as xdg-user-dirs names them; never the home folder.
  ASSERT_TRUE(QDir(home.path()).mkpath(QStringLiteral("config")));
  {
    QFile dirs(home.filePath(QStringLiteral("config/user-dirs.dirs")));
    ASSERT_TRUE(dirs.open(QIODevice::WriteOnly));
    dirs.write(
        "XDG_DOCUMENTS_DIR=\"$HOME/Documentos\"\nXDG_DESKTOP_DIR=\"$HOME/\"\n"
        "XDG_MUSIC_DIR=\"$HOME/.musica\"\n");
  }
  for (const char* folder : {"Documentos", "Downloads", ".musica"})
    ASSERT_TRUE(QDir(home.path()).mkpath(QString::fromLatin1(folder)));
  const QString realHome = QFileInfo(home.path()).canonicalFilePath();
  const auto drives = devices(true, false, false);
  ASSERT_GE(drives.size(), 2u);
  EXPECT_EQ(drives[0], (QStringList{"drive", "Documentos", realHome + "/Documentos"}));
  EXPECT_EQ(drives[1], (QStringList{"drive", "Downloads", realHome + "/Downloads"}));
  for (const auto& d : drives) {
    EXPECT_EQ(d.value(0), QStringLiteral("drive"));
    EXPECT_FALSE(d.value(2) == realHome || d.value(2).contains(QStringLiteral("/.")))
        << d.join(' ').toStdString();
  }

  // No stored mode: the default printer only.
  EXPECT_EQ(devices(false, true, false), (std::vector<QStringList>{{"printer", "PDFCreator"}}));
  // The mode the session window stores: every queue, the default first.
  TRegistry registry;
  ASSERT_TRUE(registry.OpenKey(QString::fromUtf16(kRdpdrKey), true));
  registry.WriteInteger(QString::fromUtf16(kFilterQueueTypeValue), -1);
  registry.CloseKey();
  auto all = devices(false, true, false);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0], (QStringList{"printer", "PDFCreator"}));
  std::sort(all.begin() + 1, all.end());
  EXPECT_EQ(all[1], (QStringList{"printer", "Escritorio"}));
  EXPECT_EQ(all[2], (QStringList{"printer", "Recepcao"}));

  // Ports: whatever this machine has, each one readable and named in order.
  const auto ports = devices(false, false, true);
  for (size_t i = 0; i < ports.size(); ++i) {
    EXPECT_EQ(ports[i].value(0), QStringLiteral("serial"));
    EXPECT_EQ(ports[i].value(1), QStringLiteral("COM%1").arg(i + 1));
    EXPECT_TRUE(QFileInfo(ports[i].value(2)).isReadable()) << ports[i].value(2).toStdString();
    EXPECT_TRUE(QFileInfo(ports[i].value(2)).isWritable()) << ports[i].value(2).toStdString();
  }
  std::cout << "serial ports on this machine: " << ports.size() << "\n";
}

}  // namespace
