// Replies that cannot be framed, statuses without a body, the call's deadline and a call made
// from inside another call.
#include <gtest/gtest.h>

#include "service/http/replyreader.h"
#include "testapp.h"
#include "transfercases.h"

TEST(HttpFraming, RepliesThatCannotBeFramedFailTheCall) {
  const std::string head = "HTTP/1.1 200 OK\r\n";
  const std::string chunked = head + "Transfer-Encoding: chunked\r\n\r\n";
  const TReplyCase cases[] = {
      {"chunk size not hexadecimal",
       {ReadRequest(), Send(chunked + "zz\r\nhello\r\n0\r\n\r\n")},
       true,
       {},
       {},
       "B0 W4 E",
       u"Invalid chunk size."_qs},
      {"chunk size empty",
       {ReadRequest(), Send(chunked + ";ext\r\nhello\r\n0\r\n\r\n")},
       true,
       {},
       {},
       "B0 W6 E",
       u"Invalid chunk size."_qs},
      {"chunk size beyond 64 bits",
       {ReadRequest(), Send(chunked + "10000000000000000\r\nhello\r\n0\r\n\r\n")},
       true,
       {},
       {},
       "B0 W19 E",
       u"Invalid chunk size."_qs},
      {"chunk data longer than its size",
       {ReadRequest(), Send(chunked + "3\r\nhello\r\n0\r\n\r\n")},
       true,
       {},
       QByteArray("hel"),
       "B0 W3 W6 W10 E",
       u"Chunk data longer than its size."_qs},
      {"header block cut off by the close",
       {ReadRequest(), Send(head + "Content-Length: 5\r\n"), CloseNow()},
       false,
       {},
       {},
       "",
       u"Connection closed inside the reply header."_qs},
      {"header line cut off by the close",
       {ReadRequest(), Send(head + "Content-Le"), CloseNow()},
       false,
       {},
       {},
       "",
       u"Connection closed inside the reply header."_qs},
      {"status line cut off by the close",
       {ReadRequest(), Send("HTTP/1.1 20"), CloseNow()},
       false,
       {},
       {},
       "",
       u"Connection closed inside the reply header."_qs},
      {"two differing lengths",
       {ReadRequest(), Send(head + "Content-Length: 5\r\nContent-Length: 6\r\n\r\nhello!")},
       false,
       {},
       {},
       "",
       u"Conflicting Content-Length values."_qs},
      {"a list of differing lengths",
       {ReadRequest(), Send(head + "Content-Length: 5, 6\r\n\r\nhello!")},
       false,
       {},
       {},
       "",
       u"Conflicting Content-Length values."_qs},
      {"identical lengths are one length",
       {ReadRequest(), Send(head + "Content-Length: 5, 5\r\nContent-Length: 5\r\n\r\nhello")},
       false,
       u"hello"_qs,
       {},
       "B5 W5 E",
       {}},
      {"length with a sign",
       {ReadRequest(), Send(head + "Content-Length: +5\r\n\r\nhello")},
       false,
       {},
       {},
       "",
       u"Invalid Content-Length."_qs},
      {"length that is not a number",
       {ReadRequest(), Send(head + "Content-Length: 5x\r\n\r\nhello")},
       false,
       {},
       {},
       "",
       u"Invalid Content-Length."_qs},
      // Malformed lines name no header: the body runs to the close, whatever they say.
      {"blank before the colon",
       {ReadRequest(), Send(head + "Content-Length : 3\r\n\r\nhello"), CloseNow()},
       false,
       u"hello"_qs,
       {},
       "B0 W5 E",
       {}},
      {"chunked named with a blank before the colon",
       {ReadRequest(), Send(head + "Transfer-Encoding : chunked\r\n\r\n5\r\nhello"), CloseNow()},
       false,
       u"5\r\nhello"_qs,
       {},
       "B0 W8 E",
       {}},
      {"line without a colon",
       {ReadRequest(), Send(head + "Content-Length 3\r\nContent-Length: 5\r\n\r\nhello")},
       false,
       u"hello"_qs,
       {},
       "B5 W5 E",
       {}},
      {"continuation right after the status line",
       {ReadRequest(), Send(head + " Content-Length: 3\r\n\r\nhello")},
       false,
       {},
       {},
       "",
       u"Malformed reply header."_qs},
      {"HTTP/2 status line",
       {ReadRequest(), Send("HTTP/2 200\r\nContent-Length: 5\r\n\r\nhello")},
       false,
       {},
       {},
       "",
       u"Invalid reply status line."_qs},
      {"HTTP/1.10 status line",
       {ReadRequest(), Send("HTTP/1.10 200 OK\r\nContent-Length: 5\r\n\r\nhello")},
       false,
       {},
       {},
       "",
       u"Invalid reply status line."_qs},
      {"no status line at all",
       {ReadRequest(), Send("<html>hello</html>\r\n"), CloseNow()},
       false,
       {},
       {},
       "",
       u"Invalid reply status line."_qs},
      // The last coding decides; a body that is not chunked at the end runs to the close.
      {"chunked beside a length wins",
       {ReadRequest(),
        Send(head +
             "Content-Length: 100\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n")},
       false,
       u"ok"_qs,
       {},
       "B0 W3 W5 W7 W10 W12 E",
       {}},
      {"chunked, then another coding",
       {ReadRequest(), Send(head + "Transfer-Encoding: chunked, x-other\r\n\r\n2\r\nok"),
        CloseNow()},
       false,
       u"2\r\nok"_qs,
       {},
       "B0 W5 E",
       {}},
  };
  PlayCases(cases);
}

TEST(HttpNoBody, StatusesWithoutABodyNeverWaitForOne) {
  const QString hello = u"hello"_qs;
  PlaySequences({
      {"204 with a length",
       {{ReadRequest(), Send("HTTP/1.1 204 No Content\r\nContent-Length: 10\r\n\r\n"),
         ReadRequest(), Send(kOk5), WaitClientClose()}},
       {u""_qs, hello},
       1},
      // 304 is no success for this client, and its connection stays usable.
      {"304 with a length",
       {{ReadRequest(), Send("HTTP/1.1 304 Not Modified\r\nContent-Length: 1000\r\n\r\n"),
         ReadRequest(), Send(kOk5), WaitClientClose()}},
       {u"HTTP/1.1 304 Not Modified"_qs, hello},
       1},
      {"interim replies are skipped",
       {{ReadRequest(),
         Send("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\nContent-Length: 7\r\n\r\n"
              "HTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\n" +
              kOk5),
         ReadRequest(), Send(kOk5), WaitClientClose()}},
       {hello, hello},
       1},
      // 101 would hand the connection to another protocol: no reply of ours follows on it.
      {"101 is final and ends the connection",
       {{ReadRequest(), Send("HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\n"),
         WaitClientClose()},
        {ReadRequest(), Send(kOk5)}},
       {u"HTTP/1.1 101 Switching Protocols"_qs, hello},
       2},
  });
}

TEST(HttpDeadline, ServersThatNeverFinishAreCutOffAtTheDeadline) {
  // Each byte comes well within the read time-out; only the call's deadline ends these.
  const std::string body(100, 'x');
  const TPeerScript scripts[] = {
      {ReadRequest(), Drip("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + body, 40)},
      {ReadRequest(), Send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n"), Drip(body, 40)},
      {ReadRequest(), Repeat("HTTP/1.1 102 Processing\r\n\r\n", 20)},
  };
  for (const TPeerScript& script : scripts) {
    TScriptedPeer peer({script});
    THttpTransfer http;
    http.SetTimeouts(2000ms, 2000ms);
    http.CallDeadline = 400ms;
    const TOutcome outcome = RunGet(http, peer.Url(QStringLiteral("/")), true);
    EXPECT_EQ(outcome.error, u"Request timed out: no complete reply within 1 s."_qs);
    EXPECT_FALSE(http.Connected());
  }
}

TEST(HttpBusy, ACallFromInsideACallFailsAndLeavesTheFirstAlone) {
  TScriptedPeer peer({{ReadRequest(), Send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhello"),
                       Pause(50), Send("world"), ReadRequest(), Send(kOk5), WaitClientClose()}});
  THttpTransfer http;
  Quick(http);
  QString nested;
  http.OnWork = [&](THttpTransfer* sender, TWorkMode, qint64) {
    if (!nested.isEmpty()) return;
    try {
      (void)sender->Get(peer.Url(QStringLiteral("/other")));
      nested = u"no failure"_qs;
    } catch (const Exception& e) {
      nested = e.Message();
    }
  };
  EXPECT_EQ(http.Get(peer.Url(QStringLiteral("/"))), u"helloworld");
  EXPECT_EQ(nested, u"A request is already running; wait for it to end."_qs);
  http.OnWork = nullptr;
  EXPECT_EQ(http.Get(peer.Url(QStringLiteral("/"))), u"hello");  // the connection is intact
  EXPECT_EQ(peer.Accepted(), 1);
}
