// Certificates nothing vouches for: the person is asked before the password leaves.
#include <QMessageBox>
#include <QPointer>

#include "rdpcontroltest.h"

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
  const TBoxRequest& box = testing_support::ShownBoxes()[0];
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
  const TBoxRequest& box = testing_support::ShownBoxes()[0];
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

TEST_F(RdpControlTlsTest, AServerThatHangsUpDuringTheQuestionIsOnlyAFailedAttempt) {
  SetRdpReconnectDelays(PatientAttempts());
  Configure(QString::fromLatin1(TestRdpServer::kPassword));
  testing_support::AnswerNextBox(0);  // "Sim" to the first connection's question
  ASSERT_TRUE(ConnectAndWait());

  // Lost, and back with another certificate: the attempt asks, and the box stays open.
  testing_support::RealBoxes realBoxes;
  auto openBox = [] {
    for (QWidget* widget : QApplication::topLevelWidgets())
      if (auto* box = qobject_cast<QMessageBox*>(widget); box != nullptr && box->isVisible())
        return box;
    return static_cast<QMessageBox*>(nullptr);
  };
  server_.StopServer();
  ASSERT_TRUE(WaitFor([this] { return events_.size() >= 3; }, kConnectTimeoutMs));
  ASSERT_TRUE(server_.StartServer(server_.Folder() + QStringLiteral("/other-home")));
  ASSERT_TRUE(WaitFor([&] { return openBox() != nullptr; }, kAttemptsEndTimeoutMs));
  QPointer<QMessageBox> box = openBox();

  // The server goes while the question is open: the box goes with its attempt, and nobody said
  // no. The server back with the certificate trusted before: a later attempt gets the session
  // back without a question.
  server_.StopServer();
  ASSERT_TRUE(WaitFor([&] { return box.isNull() || !box->isVisible(); }, kConnectTimeoutMs));
  ASSERT_TRUE(server_.StartServer());
  ASSERT_TRUE(WaitFor([this] { return events_.size() >= 4; }, kAttemptsEndTimeoutMs));
  EXPECT_EQ(events_, (QStringList{"connecting", "connected", "connecting", "connected"}));
  EXPECT_EQ(openBox(), nullptr);
  EXPECT_EQ(client_->Connected(), TMsRdpClient::kConnectedState);
}
