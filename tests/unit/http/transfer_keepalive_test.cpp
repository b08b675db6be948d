// Keep-alive: when a connection is reused, reopened or dropped.
#include <gtest/gtest.h>

#include <QBuffer>

#include "testapp.h"
#include "transfercases.h"

TEST(HttpKeepAlive, AConnectionTheServerWillCloseIsNotReused) {
  const QString hello = u"hello"_qs;
  // The first connection stays open on the server's side but swallows any further request:
  // reusing it would fail on the read time-out.
  const auto first = [](const std::string& reply) {
    return TPeerScript{ReadRequest(), Send(reply), WaitClientClose()};
  };
  const TPeerScript fresh{ReadRequest(), Send(kOk5)};
  PlaySequences({
      {"HTTP/1.0 without keep-alive",
       {first("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello"), fresh},
       {hello, hello},
       2},
      {"close among other tokens",
       {first("HTTP/1.1 200 OK\r\nConnection: keep-alive, Close\r\nContent-Length: 5\r\n\r\nhello"),
        fresh},
       {hello, hello},
       2},
      {"close on a second Connection line",
       {first("HTTP/1.1 200 OK\r\nConnection: x-a\r\nConnection: close\r\nContent-Length: "
              "5\r\n\r\nhello"),
        fresh},
       {hello, hello},
       2},
      {"Proxy-Connection: close",
       {first("HTTP/1.1 200 OK\r\nProxy-Connection: close\r\nContent-Length: 5\r\n\r\nhello"),
        fresh},
       {hello, hello},
       2},
      {"HTTP/1.0 with keep-alive is kept",
       {{ReadRequest(),
         Send("HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Length: 5\r\n\r\nhello"),
         ReadRequest(), Send(kOk5), WaitClientClose()}},
       {hello, hello},
       1},
      // The server closes just as the next request goes out: sent again, once, on a new one.
      {"closed under the next request",
       {{ReadRequest(), Send(kOk5), ReadRequest(), CloseNow()}, fresh},
       {hello, hello},
       2},
      {"closed under the request twice",
       {{ReadRequest(), Send(kOk5), ReadRequest(), CloseNow()}, {ReadRequest(), CloseNow()}},
       {hello, u"Connection Closed Gracefully."_qs},
       2},
      // Part of a reply came: the server did answer, so the request is not sent again.
      {"closed inside the next reply",
       {{ReadRequest(), Send(kOk5), ReadRequest(), Send("HTTP/1.1 2"), CloseNow()}, fresh},
       {hello, u"Connection closed inside the reply header."_qs},
       1},
      // A new connection that fails is not tried again: nothing says the server was idle.
      {"a fresh connection is not retried",
       {{ReadRequest(), CloseNow()}, fresh},
       {u"Connection Closed Gracefully."_qs, hello},
       2},
  });
}

TEST(HttpKeepAlive, TwoCallsShareOneConnection) {
  TScriptedPeer peer({{ReadRequest(), Send(kOk5), ReadRequest(), Send(kOk5), WaitClientClose()}});
  THttpTransfer http;
  Quick(http);
  EXPECT_EQ(http.Get(peer.Url(QStringLiteral("/1"))), u"hello");
  EXPECT_EQ(http.Get(peer.Url(QStringLiteral("/2"))), u"hello");
  EXPECT_EQ(peer.Accepted(), 1);
}

TEST(HttpKeepAlive, AnotherPortClosesTheFirstConnection) {
  TScriptedPeer first({{ReadRequest(), Send(kOk5), WaitClientClose()}});
  TScriptedPeer second({{ReadRequest(), Send(kOk5)}});
  THttpTransfer http;
  Quick(http);
  (void)http.Get(first.Url(QStringLiteral("/")));
  EXPECT_FALSE(first.ClientClosed(0));
  (void)http.Get(second.Url(QStringLiteral("/")));
  EXPECT_TRUE(testing_support::WaitFor([&] { return first.ClientClosed(0); }, 2000));
}

TEST(HttpKeepAlive, ConnectionCloseAndReadToEndAreNotKept) {
  TScriptedPeer peer({{ReadRequest(),
                       Send("HTTP/1.1 200 OK\r\nConnection:  Close \r\n"
                            "Content-Length: 5\r\n\r\nhello"),
                       WaitClientClose()},
                      {ReadRequest(), Send("HTTP/1.1 200 OK\r\n\r\nuntil close"), Pause(20)},
                      {ReadRequest(), Send(kOk5)}});
  THttpTransfer http;
  Quick(http);
  (void)http.Get(peer.Url(QStringLiteral("/")));
  EXPECT_FALSE(http.Connected());
  EXPECT_EQ(http.Get(peer.Url(QStringLiteral("/"))), u"until close");
  EXPECT_FALSE(http.Connected());
  (void)http.Get(peer.Url(QStringLiteral("/")));
  EXPECT_EQ(peer.Accepted(), 3);
}

TEST(HttpKeepAlive, IdleConnectionClosedByTheServerIsReopenedForTheNextCall) {
  // The lookup after a long pause: the server has ended the kept connection meanwhile.
  TScriptedPeer peer({{ReadRequest(), Send(kOk5), CloseNow()}, {ReadRequest(), Send(kOk5)}});
  THttpTransfer http;
  Quick(http);
  EXPECT_EQ(http.Get(peer.Url(QStringLiteral("/"))), u"hello");
  ASSERT_TRUE(testing_support::WaitFor([&] { return peer.Finished() >= 1; }, 2000));
  EXPECT_EQ(http.Get(peer.Url(QStringLiteral("/"))), u"hello");
  EXPECT_EQ(peer.Accepted(), 2);
}

TEST(HttpKeepAlive, HandlerFailureEndsTheCallAndDropsTheConnection) {
  TScriptedPeer peer({{ReadRequest(), Send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhello"),
                       WaitClientClose()},
                      {ReadRequest(), Send(kOk5)}});
  THttpTransfer http;
  Quick(http);
  std::string ends;
  http.OnWork = [](THttpTransfer*, TWorkMode, qint64) { throw Exception(u"stop"_qs); };
  http.OnWorkEnd = [&](THttpTransfer*, TWorkMode) { ends += "E"; };
  QBuffer target;
  target.open(QIODevice::ReadWrite);
  try {
    http.Get(peer.Url(QStringLiteral("/")), target);
    ADD_FAILURE() << "no failure";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u"stop");
  }
  EXPECT_EQ(ends, "E");
  EXPECT_EQ(target.data(), "hello");  // written before the handler ran; the rest cut back
  EXPECT_FALSE(http.Connected());     // the unread rest would spoil the next reply
  http.OnWork = nullptr;
  EXPECT_EQ(http.Get(peer.Url(QStringLiteral("/"))), u"hello");
}
