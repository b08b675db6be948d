#include <gtest/gtest.h>

#include <vector>

#include "principal/rdp/irdpsession.h"
#include "principal/rdp/msrdpclient.h"
#include "principal/rdp/rdpsessionloader.h"
#include "testapp.h"

namespace {

// A broken installation is a failed connection that says why, not a crash or a silent window;
// the control stays usable for the next try.
TEST(TRdpSessionLibrary, WhenItCannotBeLoadedConnectingEndsWithAReasonThatSaysSo) {
  TMsRdpClient client;
  std::vector<int> reasons;
  int connecting = 0;
  QObject::connect(&client, &TMsRdpClient::OnConnecting, [&] { ++connecting; });
  QObject::connect(&client, &TMsRdpClient::OnDisconnected, [&](int r) { reasons.push_back(r); });
  client.SetServer(QStringLiteral("127.0.0.1"));
  for (int attempt = 1; attempt <= 2; ++attempt) {
    client.Connect();
    ASSERT_TRUE(testing_support::WaitFor(
        [&] { return static_cast<int>(reasons.size()) == attempt; }, 10000));
    EXPECT_EQ(connecting, attempt);
    EXPECT_EQ(reasons.back(), kDiscReasonNoSessionLibrary);
    EXPECT_EQ(client.Connected(), TMsRdpClient::kNotConnected);
  }
  EXPECT_EQ(client.DisconnectReasonText(kDiscReasonNoSessionLibrary),
            QString::fromUtf16(kNoSessionLibraryText));
  // Without FreeRDP there are no texts for its codes, and no local layout to offer.
  EXPECT_EQ(client.DisconnectReasonText(0x0C), QString());
  EXPECT_EQ(RdpLocalKeyboardLayout(), 0u);
}

}  // namespace
