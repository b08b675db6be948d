// Ending a session or an attempt at any moment leaves no report of a connection and no thread.
#include "rdpcontroltest.h"

namespace {

// Threads of this process now: the session's FreeRDP threads come and go with it.
int ThreadCount() {
  return static_cast<int>(
      QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

}  // namespace

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
  SilentListener listener;
  ASSERT_TRUE(listener.Listen("127.0.0.1"));

  QTemporaryDir home;
  testing_support::UsePrivateHome(home);
  const int threadsBefore = ThreadCount();
  auto client = std::make_unique<TMsRdpClient>();
  std::vector<int> reasons;
  QObject::connect(client.get(), &TMsRdpClient::OnDisconnected,
                   [&](int reason) { reasons.push_back(reason); });
  client->SetServer(QStringLiteral("127.0.0.1"));
  client->AdvancedSettings2()->SetRDPPort(listener.Port());
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
}
