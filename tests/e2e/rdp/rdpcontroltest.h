#pragma once

// The control against a real RDP server (freerdp-shadow-cli with NLA on its own Xvfb display):
// the fixture, a fresh server and control for each test, and what its tests share.
#include <gtest/gtest.h>

#include <QColor>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPixmap>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QWheelEvent>
#include <algorithm>
#include <iostream>
#include <memory>

#include <unistd.h>

#include <QApplication>
#include <QToolButton>
#include "core/errors.h"
#include "platform/registry.h"
#include "principal/rdp/irdpsession.h"
#include "principal/rdp/msrdpclient.h"
#include "principal/rdp/rdpfullscreen.h"
#include "principal/rdp/rdpgeometry.h"
#include "principal/rdp/rdpsessionloader.h"
#include "principal/rdp/session/rdpdevices.h"
#include "rdptestserver.h"
#include "silentlistener.h"
#include "testapp.h"

using testing_support::WaitFor;

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
inline std::vector<std::chrono::milliseconds> PatientAttempts() {
  std::vector<std::chrono::milliseconds> delays(120, kTestReconnectPause);
  delays.insert(delays.end(), 10, std::chrono::minutes(10));
  return delays;
}

inline bool Near(QRgb a, QColor b) {
  return std::abs(qRed(a) - b.red()) <= kColourTolerance &&
         std::abs(qGreen(a) - b.green()) <= kColourTolerance &&
         std::abs(qBlue(a) - b.blue()) <= kColourTolerance;
}

class RdpControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The client's remembered certificates and settings belong to this test alone.
    ASSERT_TRUE(home_.isValid());
    testing_support::UsePrivateHome(home_);
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
  // xev over the whole server screen, logging its mouse buttons into `log`; true once it is up.
  [[nodiscard]] bool LaunchButtonLogger(const QString& log) {
    return server_.Launch(
               QStringLiteral("sh"),
               {QStringLiteral("-c"),
                QStringLiteral("exec xev -geometry 1024x768+0+0 -event button > '%1'").arg(log)}) !=
               nullptr &&
           server_.WaitForWindow({QStringLiteral("--name"), QStringLiteral("Event Tester")});
  }
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
