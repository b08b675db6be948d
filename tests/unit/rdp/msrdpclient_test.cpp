// The control's property surface and its events without a server.
#include "principal/rdp/msrdpclient.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "principal/rdp/rdpcontrolerror.h"
#include "testapp.h"

namespace {

using testing_support::WaitFor;

QString Refusal(const std::function<void()>& write) {
  try {
    write();
  } catch (const ERdpControlError& e) {
    EXPECT_EQ(e.ResultCode() >> 31, 1u) << "a failure code";
    return e.Message();
  }
  return {};
}

TEST(MsRdpClient, HoldsWhatSignInWrites) {
  TMsRdpClient client;
  EXPECT_EQ(client.objectName(), QStringLiteral("MsRdpClient71"));
  EXPECT_EQ(client.Connected(), TMsRdpClient::kNotConnected);
  client.SetServer(QStringLiteral("srv"));
  client.SetUserName(QStringLiteral("Maria"));
  client.SetDesktopWidth(1024);
  client.SetDesktopHeight(768);
  client.AdvancedSettings2()->SetRDPPort(3389);
  client.AdvancedSettings2()->SetClearTextPassword(QStringLiteral("s3nha"));
  EXPECT_EQ(client.Server(), QStringLiteral("srv"));
  EXPECT_EQ(client.UserName(), QStringLiteral("Maria"));
  EXPECT_EQ(client.DesktopWidth(), 1024);
  EXPECT_EQ(client.DesktopHeight(), 768);
  EXPECT_EQ(client.AdvancedSettings2()->RDPPort(), 3389);
  EXPECT_EQ(client.AdvancedSettings2()->ClearTextPassword(), QStringLiteral("s3nha"));
  EXPECT_FALSE(client.AdvancedSettings2()->RedirectDrives());
  client.AdvancedSettings2()->SetRedirectDrives(true);
  client.AdvancedSettings2()->SetRedirectPrinters(true);
  client.AdvancedSettings2()->SetRedirectPorts(true);
  EXPECT_TRUE(client.AdvancedSettings2()->RedirectDrives());
  EXPECT_TRUE(client.AdvancedSettings2()->RedirectPrinters());
  EXPECT_TRUE(client.AdvancedSettings2()->RedirectPorts());
  client.Disconnect();  // not connected: nothing happens
  EXPECT_EQ(client.Connected(), TMsRdpClient::kNotConnected);
}

TEST(MsRdpClient, RefusesValuesItCannotUse) {
  TMsRdpClient client;
  auto* settings = client.AdvancedSettings2();
  for (int bad : {0, -1, 65536, 3389000}) {
    EXPECT_EQ(Refusal([&] { settings->SetRDPPort(bad); }),
              QStringLiteral("The RDP port must be a number from 1 to 65535"))
        << bad;
  }
  settings->SetRDPPort(1);
  settings->SetRDPPort(65535);
  EXPECT_EQ(settings->RDPPort(), 65535);
  EXPECT_FALSE(Refusal([&] { client.SetDesktopWidth(199); }).isEmpty());
  EXPECT_FALSE(Refusal([&] { client.SetDesktopHeight(9000); }).isEmpty());
  EXPECT_EQ(client.DesktopWidth(), 1024);
  EXPECT_EQ(Refusal([&] { client.Connect(); }), QStringLiteral("No server name was given"));
  EXPECT_EQ(client.Connected(), TMsRdpClient::kNotConnected);
}

TEST(MsRdpClient, TheServerMustBeAHostNameOrAnAddress) {
  struct Case {
    QString text;
    bool valid;
  };
  const Case cases[] = {
      {QStringLiteral("rdp01.zentracomputing.example"), true},
      {QStringLiteral("RDP-02"), true},
      {QStringLiteral("10.0.0.7"), true},
      {QStringLiteral("[::1]"), true},
      {QStringLiteral("[2001:db8::5]"), true},
      {QString(253, QLatin1Char('a')), true},
      {QString(254, QLatin1Char('a')), false},
      // FreeRDP reads "|N" as an open descriptor and "/path" as a local socket.
      {QStringLiteral("|;7"), false},
      {QStringLiteral("|7"), false},
      {QStringLiteral("/tmp/x;1"), false},
      {QStringLiteral("/tmp/x"), false},
      {QStringLiteral("host name"), false},
      {QStringLiteral(" host"), false},
      {QStringLiteral("host\n"), false},
      {QStringLiteral("host:3389"), false},
      {QStringLiteral("user@host"), false},
      {QStringLiteral("srv\u00e9"), false},
      {QStringLiteral("::1"), false},
      {QStringLiteral("[::1"), false},
      {QStringLiteral("[]"), false},
      {QStringLiteral("[host]"), false},
      {QStringLiteral("[::1]:3389"), false},
      {QString(), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TMsRdpClient::ValidServerName(c.text), c.valid) << c.text.toStdString();
    TMsRdpClient client;
    if (c.text.isEmpty()) continue;
    const QString refusal = Refusal([&] { client.SetServer(c.text); });
    EXPECT_EQ(refusal.isEmpty(), c.valid) << c.text.toStdString();
    EXPECT_EQ(client.Server(), c.valid ? c.text : QString()) << c.text.toStdString();
  }
}

TEST(MsRdpClient, FailedAttemptReportsInOrderAndAThrowingHandlerGoesToTheErrorBox) {
  QTemporaryDir home;
  qputenv("HOME", home.path().toUtf8());
  qputenv("XDG_CONFIG_HOME", home.path().toUtf8());
  testing_support::ClearBoxes();
  TMsRdpClient client;
  QStringList events;
  QObject::connect(&client, &TMsRdpClient::OnConnecting, [&] { events << "connecting"; });
  QObject::connect(&client, &TMsRdpClient::OnDisconnected, [&](int reason) {
    events << QStringLiteral("disconnected %1").arg(reason != 0);
    throw Exception(QStringLiteral("handler failed"));
  });
  client.SetServer(QStringLiteral("127.0.0.1"));
  client.AdvancedSettings2()->SetRDPPort(1);  // nobody listens there
  client.Connect();
  EXPECT_EQ(client.Connected(), TMsRdpClient::kConnecting);
  EXPECT_TRUE(events.isEmpty()) << "events come from the event loop, not from inside Connect";
  EXPECT_THROW(client.Connect(), ERdpControlError);
  ASSERT_TRUE(WaitFor([&] { return events.size() == 2; }, 20000));
  EXPECT_EQ(events, (QStringList{"connecting", "disconnected 1"}));
  EXPECT_EQ(client.Connected(), TMsRdpClient::kNotConnected);
  ASSERT_EQ(testing_support::ShownBoxes().size(), 1u);
  EXPECT_TRUE(testing_support::ShownBoxes()[0].text.startsWith(QStringLiteral("handler failed")));

  // The control carries on: it can try again.
  client.Connect();
  ASSERT_TRUE(WaitFor([&] { return events.size() == 4; }, 20000));
}

TEST(MsRdpClient, DisconnectWhileConnectingEndsTheAttempt) {
  TMsRdpClient client;
  std::vector<int> reasons;
  QObject::connect(&client, &TMsRdpClient::OnDisconnected, [&](int r) { reasons.push_back(r); });
  client.SetServer(QStringLiteral("127.0.0.1"));
  client.AdvancedSettings2()->SetRDPPort(1);
  client.Connect();
  client.Disconnect();
  ASSERT_TRUE(WaitFor([&] { return !reasons.empty(); }, 20000));
  EXPECT_EQ(reasons, std::vector<int>{1});
}

}  // namespace
