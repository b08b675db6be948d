// Which ends of a connection the session tries to get back on its own. The numbers are the
// server's error info codes and FreeRDP's own codes (class in the high word) as they arrive.
#include "principal/rdp/session/rdpsession.h"

#include <gtest/gtest.h>

namespace {

TEST(RdpReconnectDecision, OnlyABrokenConnectionIsTriedAgain) {
  const struct {
    const char* what;
    TRdpSessionEnd end;
    bool retried;
  } cases[] = {
      // The network or the server went away under the session.
      {"closed without a word", {}, true},
      {"error info 'none'", {false, false, false, 0xFFFFFFFF, 0}, true},
      {"transport failed", {false, false, false, 0, 0x0002000D}, true},
      {"connection refused (server down)", {false, false, false, 0, 0x00020006}, true},
      {"name not found (network down)", {false, false, false, 0, 0x00020005}, true},
      {"TLS handshake broken off", {false, false, false, 0, 0x00020008}, true},
      {"FreeRDP's 'none'", {false, false, false, 0, 0xFFFFFFFF}, true},
      // The server ended the session and said so.
      {"logoff by the user", {false, false, false, 0x0000000C, 0x0001000C}, false},
      {"administrator's disconnect", {false, false, false, 0x00000001, 0x00010001}, false},
      {"administrator's logoff", {false, false, false, 0x00000002, 0x00010002}, false},
      {"idle time-out", {false, false, false, 0x00000003, 0x00010003}, false},
      {"another connection took over", {false, false, false, 0x00000005, 0x00010005}, false},
      {"server denied the connection", {false, false, false, 0x00000007, 0x00010007}, false},
      {"a reason only among FreeRDP's codes", {false, false, false, 0, 0x0001000B}, false},
      // A server that falls over changing the desktop's size calls it a logoff; nobody logged off.
      {"'logoff' just after a resize", {false, false, false, 0x0000000C, 0x0001000C, true}, true},
      {"administrator's logoff just after a resize",
       {false, false, false, 0x00000002, 0x00010002, true},
       false},
      {"our Disconnect just after a resize",
       {true, false, false, 0x0000000C, 0x0001000C, true},
       false},
      // The server refused the logon, with a reason or by closing the connection while it checked.
      {"closed while checking the logon", {false, false, true, 0, 0x0002000D}, false},
      {"authentication failed", {false, false, false, 0, 0x00020009}, false},
      {"logon failure", {false, false, false, 0, 0x00020014}, false},
      {"wrong password", {false, false, false, 0, 0x00020015}, false},
      {"account locked out", {false, false, false, 0, 0x00020018}, false},
      {"account disabled", {false, false, false, 0, 0x00020012}, false},
      {"password expired", {false, false, false, 0, 0x0002000E}, false},
      {"access denied", {false, false, false, 0, 0x00020016}, false},
      // We ended it.
      {"our own Disconnect", {true, false, false, 0, 0}, false},
      {"our Disconnect while the network broke", {true, false, false, 0, 0x0002000D}, false},
      {"a certificate the person refused", {false, true, false, 0, 0x00020008}, false},
      // The server drew past our desktop after a resize: we end the connection to get one size.
      {"out of step after a resize", {false, false, false, 0, 0, true, true}, true},
      {"out of step, and our Disconnect", {true, false, false, 0, 0, true, true}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(TRdpSession::WorthReconnecting(c.end), c.retried) << c.what;
}

}  // namespace
