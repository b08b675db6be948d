// The session window driven through a fake session: what a person sees when the connection
// comes up, ends, or asks about a certificate, without a network or a server.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <functional>
#include <memory>
#include <vector>

#include "createforms.h"
#include "principal/alert/desktopalert.h"
#include "principal/frmprincipal.h"
#include "principal/rdp/irdpsession.h"
#include "principal/rdp/msrdpclient.h"
#include "principal/rdp/rdpsessionloader.h"
#include "shell/application.h"
#include "testapp.h"

using testing_support::ShownBoxes;
using testing_support::WaitFor;

namespace {

// Stands in for the FreeRDP session: records what the control asks and reports what the test
// tells it to, on the UI thread as the real one does.
class FakeSession : public IRdpSession {
 public:
  FakeSession(TRdpConnectParams connectParams, QObject* receiver, TRdpSessionEvents* events)
      : params(std::move(connectParams)), receiver_(receiver), events_(events) {}

  void Start() override { started = true; }
  void Abort() override {
    aborted = true;
    Report([](TRdpSessionEvents& e) { e.SessionDisconnected(kDiscReasonLocal); });
  }
  bool Wait(int) override { return true; }
  void Detach() override { events_ = nullptr; }
  void SendScanCode(std::uint16_t, bool, bool) override {}
  void SendMouseMove(QPoint) override {}
  void SendMouseButton(Qt::MouseButton, bool, QPoint) override {}
  void SendWheel(int, bool, QPoint) override {}
  void SendLockState(bool, bool, bool) override { ++lockStates; }
  void SetDisplayLayout(const TRdpDisplayLayout& layout) override { layouts.push_back(layout); }

  // Queues a report, as a session thread would.
  void Report(std::function<void(TRdpSessionEvents&)> report) {
    QMetaObject::invokeMethod(
        receiver_,
        [this, report = std::move(report)] {
          if (events_ != nullptr) report(*events_);
        },
        Qt::QueuedConnection);
  }
  // Asks a certificate question the way the session thread does; the answer comes to it.
  std::shared_ptr<TCertificateQuestion> AskUnknownCertificate(const QString& host,
                                                              const QString& fingerprint) {
    auto question = std::make_shared<TCertificateQuestion>(TCertificateQuestion::Kind::Unknown,
                                                           host, QString(), fingerprint);
    questions.push_back(question);
    Report([question](TRdpSessionEvents& e) { e.SessionAskCertificate(question); });
    return question;
  }
  // The session stops waiting (its time limit, the server gone): it withdraws the question.
  void WithdrawQuestion(const std::shared_ptr<TCertificateQuestion>& question) {
    question->Withdraw();
    Report([question](TRdpSessionEvents& e) { e.SessionCertificateQuestionOver(question); });
  }

  TRdpConnectParams params;
  bool started = false;
  bool aborted = false;
  int lockStates = 0;
  std::vector<std::shared_ptr<TCertificateQuestion>> questions;
  std::vector<TRdpDisplayLayout> layouts;  // what the view asked for while connected

 private:
  QObject* receiver_;
  TRdpSessionEvents* events_;
};

constexpr char kFingerprint[] =
    "3a:9f:00:11:22:33:44:55:66:77:88:99:aa:bb:cc:dd:ee:ff:01:23:45:67:89:ab:cd:ef:10:32:54:76:"
    "98:ba";

class SessionWindowFakeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qputenv("XDG_CONFIG_HOME", config_.path().toUtf8());
    testing_support::ClearBoxes();
    SetRdpSessionFactory([this](TRdpConnectParams params, QObject* receiver,
                                TRdpSessionEvents* events) -> std::unique_ptr<IRdpSession> {
      auto session = std::make_unique<FakeSession>(std::move(params), receiver, events);
      sessions_.push_back(session.get());
      return session;
    });
    saved_ = Application;
    app_ = std::make_unique<TApplication>(u"zentra"_qs);
    CreateApplicationForms();
  }
  void TearDown() override {
    app_.reset();
    Application = saved_;
    SetRdpSessionFactory({});
    qunsetenv("XDG_CONFIG_HOME");
  }

  // Signs in as the login window does and shows the window, which connects.
  void ShowConnecting() {
    TConnectionParameters connection;
    connection.userName = u"maria"_qs;
    connection.password = u"s3nha"_qs;
    connection.server = u"rdp7.provider.example"_qs;
    connection.port = 3390;
    FrmPrincipal->SetConnectionParameters(connection);
    FrmPrincipal->BecomeMainForm();
    FrmPrincipal->Show();
  }

  FakeSession& Session() { return *sessions_.back(); }
  TMsRdpClient* Control() { return FrmPrincipal->MsRdpClient71(); }
  TDesktopAlert* Alert() { return FrmPrincipal->DesktopAlert1(); }
  QToolButton* Reconectar() { return FrmPrincipal->findChild<QToolButton*>(u"SpeedButton3"_qs); }

  QTemporaryDir config_;
  std::vector<FakeSession*> sessions_;  // owned by the control
  TApplication* saved_ = nullptr;
  std::unique_ptr<TApplication> app_;
};

TEST_F(SessionWindowFakeTest, ConnectedAndDisconnectedReachThePerson) {
  ShowConnecting();
  ASSERT_EQ(sessions_.size(), 1u);
  EXPECT_TRUE(Session().started);
  // What sign-in handed over reaches the session, with every redirection switch on.
  EXPECT_EQ(Session().params.server, u"rdp7.provider.example"_qs);
  EXPECT_EQ(Session().params.port, 3390);
  EXPECT_EQ(Session().params.userName, u"maria"_qs);
  EXPECT_EQ(Session().params.password, u"s3nha"_qs);
  EXPECT_TRUE(Session().params.redirectDrives && Session().params.redirectPrinters &&
              Session().params.redirectPorts);
  EXPECT_FALSE(Session().params.configFolder.isEmpty());
  // The session library reads nothing of the program's but its parameters: the reconnection
  // pauses the program decides travel in them.
  EXPECT_FALSE(Session().params.reconnectDelays.empty());
  EXPECT_EQ(Session().params.reconnectDelays, RdpReconnectDelays());
  ASSERT_TRUE(WaitFor([&] { return Alert()->Showing(); }));
  EXPECT_EQ(Alert()->MessageText(), QString::fromUtf16(kAlertConectando));

  Session().Report([](TRdpSessionEvents& e) { e.SessionConnected(); });
  ASSERT_TRUE(WaitFor([&] { return Control()->Connected() == TMsRdpClient::kConnectedState; }));
  EXPECT_EQ(Session().lockStates, 1) << "the lock keys are set as the session comes up";

  Session().Report([](TRdpSessionEvents& e) { e.SessionDisconnected(0x904); });
  ASSERT_TRUE(WaitFor([&] { return Reconectar()->isEnabled(); }));
  EXPECT_EQ(Control()->Connected(), TMsRdpClient::kNotConnected);
  EXPECT_EQ(Alert()->MessageText(), QString::fromUtf16(kAlertDesconectado));
  EXPECT_TRUE(Alert()->Showing());
  EXPECT_TRUE(ShownBoxes().empty());

  // "Reconectar" starts a new session with the same parameters.
  QTest::mouseClick(Reconectar(), Qt::LeftButton);
  ASSERT_EQ(sessions_.size(), 2u);
  EXPECT_EQ(Session().params.server, u"rdp7.provider.example"_qs);
  EXPECT_EQ(Session().params.password, u"s3nha"_qs);
}

TEST_F(SessionWindowFakeTest, ALostConnectionShowsConnectingUntilItIsBackOrGivenUp) {
  ShowConnecting();
  Session().Report([](TRdpSessionEvents& e) { e.SessionConnected(); });
  ASSERT_TRUE(WaitFor([&] { return Control()->Connected() == TMsRdpClient::kConnectedState; }));
  ASSERT_TRUE(WaitFor([&] { return !Alert()->Showing(); }));

  // Lost and back: the connecting notice in between, Reconectar never offered, no new session.
  Session().Report([](TRdpSessionEvents& e) { e.SessionReconnecting(); });
  ASSERT_TRUE(WaitFor([&] { return Alert()->Showing(); }));
  EXPECT_EQ(Alert()->MessageText(), QString::fromUtf16(kAlertConectando));
  EXPECT_EQ(Control()->Connected(), TMsRdpClient::kConnecting);
  EXPECT_FALSE(Reconectar()->isEnabled());
  Session().Report([](TRdpSessionEvents& e) { e.SessionConnected(); });
  ASSERT_TRUE(WaitFor([&] { return Control()->Connected() == TMsRdpClient::kConnectedState; }));
  ASSERT_TRUE(WaitFor([&] { return !Alert()->Showing(); }));
  EXPECT_EQ(sessions_.size(), 1u);

  // Lost and given up: "Desconectado" and Reconectar, as for any end.
  Session().Report([](TRdpSessionEvents& e) { e.SessionReconnecting(); });
  ASSERT_TRUE(WaitFor([&] { return Alert()->Showing(); }));
  EXPECT_FALSE(Reconectar()->isEnabled());
  Session().Report([](TRdpSessionEvents& e) { e.SessionDisconnected(kDiscReasonRemote); });
  ASSERT_TRUE(WaitFor([&] { return Reconectar()->isEnabled(); }));
  EXPECT_EQ(Alert()->MessageText(), QString::fromUtf16(kAlertDesconectado));
  EXPECT_TRUE(ShownBoxes().empty());
}

TEST_F(SessionWindowFakeTest, TheRemoteDesktopIsAskedAtTheViewsSizeAndFollowsIt) {
  ShowConnecting();
  // The first size is the view's, not the 1024 x 768 that sign-in writes.
  TMsRdpClient* control = Control();
  QSize view = control->viewport()->size();
  EXPECT_EQ(Session().params.layout.size, QSize(view.width() & ~1, view.height()));
  EXPECT_EQ(Session().params.layout.desktopScale, 100);
  Session().Report([](TRdpSessionEvents& e) { e.SessionConnected(); });
  ASSERT_TRUE(WaitFor([&] { return control->Connected() == TMsRdpClient::kConnectedState; }));

  auto lastAsked = [&] {
    return Session().layouts.empty() ? QSize() : Session().layouts.back().size;
  };
  // The on-screen keyboard takes its 180 pixels and gives them back: the desktop follows both.
  auto* teclado = FrmPrincipal->findChild<QToolButton*>(u"SpeedButton4"_qs);
  QTest::mouseClick(teclado, Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return lastAsked().height() == view.height() - 180; }))
      << lastAsked().height();
  QTest::mouseClick(teclado, Qt::LeftButton);
  ASSERT_TRUE(WaitFor([&] { return lastAsked().height() == view.height(); }));

  // A resized window.
  FrmPrincipal->showNormal();
  FrmPrincipal->resize(901, 700);
  ASSERT_TRUE(WaitFor([&] { return control->viewport()->width() == 901; }));
  view = control->viewport()->size();
  EXPECT_TRUE(WaitFor([&] { return lastAsked() == QSize(900, view.height()); }))
      << lastAsked().width();

  // Full screen: the whole monitor the window is on; back: the view again.
  QTest::mouseClick(FrmPrincipal->findChild<QToolButton*>(u"SpeedButton1"_qs), Qt::LeftButton);
  const QSize screen = FrmPrincipal->screen()->size();
  EXPECT_TRUE(WaitFor([&] { return lastAsked() == QSize(screen.width() & ~1, screen.height()); }))
      << lastAsked().width() << "x" << lastAsked().height();
  control->SetFullScreen(false);
  EXPECT_TRUE(WaitFor([&] { return lastAsked() == QSize(900, view.height()); }));
  // Nothing asked twice in a row.
  for (size_t i = 1; i < Session().layouts.size(); ++i)
    EXPECT_NE(Session().layouts[i], Session().layouts[i - 1]);
}

TEST_F(SessionWindowFakeTest, WithNoViewShownTheDesktopSizePropertiesAreAsked) {
  TMsRdpClient hidden;
  hidden.SetServer(u"rdp7.provider.example"_qs);
  hidden.Connect();
  ASSERT_EQ(sessions_.size(), 1u);
  EXPECT_EQ(Session().params.layout.size, QSize(1024, 768));
  EXPECT_EQ(Session().params.layout.desktopScale, 100);
  hidden.Disconnect();
}

TEST_F(SessionWindowFakeTest, ASuccessReportedAfterDisconnectIsNotOne) {
  ShowConnecting();
  QStringList events;
  QObject::connect(Control(), &TMsRdpClient::OnConnected, [&] { events << "connected"; });
  QObject::connect(Control(), &TMsRdpClient::OnDisconnected, [&](int) { events << "ended"; });
  // The session came up just as the person disconnected: both reports are on their way.
  Session().Report([](TRdpSessionEvents& e) { e.SessionConnected(); });
  Control()->Disconnect();
  ASSERT_TRUE(WaitFor([&] { return events.contains("ended"); }));
  EXPECT_TRUE(Session().aborted);
  EXPECT_EQ(events, QStringList{"ended"});
}

TEST_F(SessionWindowFakeTest, TheCertificateQuestionIsAskedInPortugueseWithNoAsTheDefault) {
  ShowConnecting();
  const QString fingerprint = QString::fromLatin1(kFingerprint);
  using Outcome = TCertificateQuestion::Outcome;
  const auto first = Session().AskUnknownCertificate(u"rdp7.provider.example"_qs, fingerprint);
  ASSERT_TRUE(WaitFor([&] { return first->Result() != Outcome::Waiting; }));
  EXPECT_EQ(first->Result(), Outcome::Refused) << "no answer given: the default refuses";
  ASSERT_EQ(ShownBoxes().size(), 1u);
  const TBoxRequest& box = ShownBoxes()[0];
  EXPECT_EQ(
      box.text,
      QString::fromUtf16(kCertificateUnknownText).arg(u"rdp7.provider.example"_qs, fingerprint));
  EXPECT_EQ(box.buttons, (QStringList{QString::fromUtf16(kCertificateYesCaption),
                                      QString::fromUtf16(kCertificateNoCaption)}));
  EXPECT_EQ(box.defaultButton, 1);
  EXPECT_EQ(box.icon, BoxIcon::Warning);

  testing_support::AnswerNextBox(0);  // "Sim"
  const auto second = Session().AskUnknownCertificate(u"rdp7.provider.example"_qs, fingerprint);
  ASSERT_TRUE(WaitFor([&] { return second->Result() != Outcome::Waiting; }));
  EXPECT_EQ(second->Result(), Outcome::Trusted);

  // Refusing ends the attempt as a disconnection: the person sees "Desconectado".
  Session().Report([](TRdpSessionEvents& e) { e.SessionDisconnected(0x20008); });
  ASSERT_TRUE(WaitFor([&] { return Reconectar()->isEnabled(); }));
  EXPECT_EQ(Alert()->MessageText(), QString::fromUtf16(kAlertDesconectado));
}

// The certificate box belongs to the attempt that asked: whatever ends the attempt first closes
// the box, and a click that comes after that (on a box that would still be there) goes nowhere,
// in particular not to the next attempt's question.
TEST_F(SessionWindowFakeTest, TheCertificateBoxClosesWithItsAttempt) {
  using Outcome = TCertificateQuestion::Outcome;
  testing_support::RealBoxes realBoxes;
  auto openBox = [] {
    for (QWidget* widget : QApplication::topLevelWidgets())
      if (auto* box = qobject_cast<QMessageBox*>(widget); box != nullptr && box->isVisible())
        return box;
    return static_cast<QMessageBox*>(nullptr);
  };
  struct Case {
    const char* name;
    std::function<void(const std::shared_ptr<TCertificateQuestion>&)> end;
  };
  const Case cases[] = {
      {"the session's time limit or the server gone: the session withdraws it",
       [this](const auto& q) { Session().WithdrawQuestion(q); }},
      {"Disconnect", [this](const auto&) { Control()->Disconnect(); }},
      {"the attempt ends (the server gave up)",
       [this](const auto&) {
         Session().Report([](TRdpSessionEvents& e) { e.SessionDisconnected(0x2000D); });
       }},
      {"the window closed", [](const auto&) { FrmPrincipal->Close(); }},
  };
  ShowConnecting();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (Control()->Connected() == TMsRdpClient::kNotConnected) Control()->Connect();
    const auto question = Session().AskUnknownCertificate(u"rdp7.provider.example"_qs,
                                                          QString::fromLatin1(kFingerprint));
    ASSERT_TRUE(WaitFor([&] { return openBox() != nullptr; }));
    QPointer<QMessageBox> box = openBox();
    ASSERT_EQ(box->buttons().size(), 2);
    QPointer<QAbstractButton> yes = box->buttons().value(0);

    c.end(question);
    EXPECT_TRUE(WaitFor([&] { return box.isNull() || !box->isVisible(); }));
    EXPECT_EQ(question->Result(), Outcome::Withdrawn);
    // A "Sim" that comes late changes nothing.
    if (yes) yes->click();
    WaitFor([] { return false; }, 50);
    EXPECT_EQ(question->Result(), Outcome::Withdrawn);
    EXPECT_EQ(openBox(), nullptr);
    if (app_->Terminated()) break;

    // The next question is its own, answered by its own box only.
    WaitFor([&] { return Control()->Connected() == TMsRdpClient::kNotConnected; }, 1000);
    if (Control()->Connected() == TMsRdpClient::kNotConnected) Control()->Connect();
    const auto next = Session().AskUnknownCertificate(u"rdp7.provider.example"_qs, u"next"_qs);
    ASSERT_TRUE(WaitFor([&] { return openBox() != nullptr; }));
    EXPECT_TRUE(openBox()->text().contains(u"next"_qs));
    openBox()->buttons().value(0)->click();
    ASSERT_TRUE(WaitFor([&] { return next->Result() != Outcome::Waiting; }));
    EXPECT_EQ(next->Result(), Outcome::Trusted);
    EXPECT_EQ(question->Result(), Outcome::Withdrawn);
  }
}

TEST_F(SessionWindowFakeTest, AMissingSessionLibraryIsToldInABox) {
  ShowConnecting();
  Session().Report(
      [](TRdpSessionEvents& e) { e.SessionDisconnected(kDiscReasonNoSessionLibrary); });
  ASSERT_TRUE(WaitFor([&] { return !ShownBoxes().empty(); }));
  EXPECT_EQ(ShownBoxes()[0].text, QString::fromUtf16(kNoSessionLibraryBoxText));
  EXPECT_EQ(ShownBoxes()[0].icon, BoxIcon::Error);
  EXPECT_TRUE(WaitFor([&] { return Reconectar()->isEnabled(); }));
}

TEST_F(SessionWindowFakeTest, ClosingWhileConnectingEndsTheAttempt) {
  ShowConnecting();
  EXPECT_EQ(Control()->Connected(), TMsRdpClient::kConnecting);
  FrmPrincipal->Close();
  app_->ProcessMessages();
  EXPECT_TRUE(Session().aborted);
  EXPECT_TRUE(app_->Terminated());
}

TEST_F(SessionWindowFakeTest, ClosingWhileReconnectingEndsTheAttempts) {
  ShowConnecting();
  Session().Report([](TRdpSessionEvents& e) { e.SessionConnected(); });
  Session().Report([](TRdpSessionEvents& e) { e.SessionReconnecting(); });
  ASSERT_TRUE(WaitFor([&] { return Control()->Connected() == TMsRdpClient::kConnecting; }));
  FrmPrincipal->Close();
  app_->ProcessMessages();
  EXPECT_TRUE(Session().aborted);
  EXPECT_TRUE(app_->Terminated());
}

}  // namespace
