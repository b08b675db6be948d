// A name server that never answers must not hold a call past its deadline: the login window
// would freeze for as long as the resolver waits. Runs inside a private network namespace whose
// resolver is this test's own silent socket (see dead-resolver).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "httptestutil.h"
#include "service/http/httptransfer.h"

using namespace std::chrono_literals;

TEST(HttpResolver, ASilentNameServerEndsTheCallAtItsDeadline) {
  // The silent name server: queries queue up here and are never answered.
  const int dns = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(53);
  ASSERT_EQ(bind(dns, reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
      << "run inside netns-run with dead-resolver";

  THttpTransfer http;
  http.CallDeadline = 500ms;
  const TOutcome outcome =
      RunGet(http, QStringLiteral("http://login.unknown-here.example:52/app/login.php"), false);
  EXPECT_EQ(outcome.error, u"Request timed out: no complete reply within 1 s."_qs);

  // The resolver did ask: the time-out is the name server's silence, not a set-up that failed.
  pollfd entry{dns, POLLIN, 0};
  EXPECT_EQ(poll(&entry, 1, 0), 1);
  close(dns);
}
