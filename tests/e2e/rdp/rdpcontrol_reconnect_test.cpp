// Reconnection: a server that goes, comes back, or comes back refusing; our own disconnect.
#include <QLoggingCategory>
#include <QMutex>
#include <QScopeGuard>

#include "rdpcontroltest.h"

namespace {
// The session's log lines, kept while a test watches them (the session logs from its threads).
QMutex logMutex;
QStringList sessionLog;
void KeepSessionLog(QtMsgType, const QMessageLogContext& context, const QString& message) {
  if (context.category == nullptr || qstrcmp(context.category, "zentra.rdp") != 0) return;
  QMutexLocker lock(&logMutex);
  sessionLog << message;
}
int LinesWith(const QString& text) {
  QMutexLocker lock(&logMutex);
  return static_cast<int>(sessionLog.filter(text).size());
}
QString LinesWithText(const QString& text) {
  QMutexLocker lock(&logMutex);
  return sessionLog.filter(text).join(u'\n');
}
}  // namespace

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

TEST_F(RdpControlTest, TheSoundChannelComesBackWithTheSession) {
  QLoggingCategory::setFilterRules(QStringLiteral("zentra.rdp.info=true"));
  {
    QMutexLocker lock(&logMutex);
    sessionLog.clear();
  }
  const QtMessageHandler before = qInstallMessageHandler(KeepSessionLog);
  // Put back even when an assertion below ends the test early.
  const auto restore = qScopeGuard([before] {
    qInstallMessageHandler(before);
    QLoggingCategory::setFilterRules(QString());
  });
  const QString open = QStringLiteral("the sound channel is open");
  const QString failed = QStringLiteral("a channel failed");

  Configure(QString::fromLatin1(TestRdpServer::kPassword));
  ASSERT_TRUE(ConnectAndWait());
  EXPECT_TRUE(WaitFor([&] { return LinesWith(open) == 1; }, kPictureTimeoutMs))
      << "the server offers sound on the first connection";
  server_.StopServer();
  ASSERT_TRUE(WaitFor([this] { return events_.size() >= 3; }, kConnectTimeoutMs));
  ASSERT_TRUE(server_.StartServer());
  ASSERT_TRUE(WaitFor([this] { return events_.size() >= 4; }, kConnectTimeoutMs));
  EXPECT_EQ(events_, (QStringList{"connecting", "connected", "connecting", "connected"}));
  EXPECT_TRUE(WaitFor([&] { return LinesWith(open) == 2; }, kPictureTimeoutMs))
      << "the sound channel answered the server again after the reconnection";
  // A channel that failed would have been dropped within moments of the server's first message.
  WaitFor([] { return false; }, 2000);
  EXPECT_EQ(LinesWith(failed), 0) << LinesWithText(failed).toStdString();
  EXPECT_EQ(client_->Connected(), TMsRdpClient::kConnectedState);
  ASSERT_TRUE(ShowsColour(QStringLiteral("#206040")));
}
