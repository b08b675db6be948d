// The transfer against a scripted loopback peer: request bytes, reply framing, progress,
// failures, keep-alive and cookies.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QBuffer>
#include <QFileInfo>
#include <QTemporaryFile>
#include <chrono>

#include "httptestutil.h"
#include "scriptedpeer.h"
#include "service/http/httptransfer.h"
#include "service/http/replyreader.h"
#include "testapp.h"

using namespace std::chrono_literals;

namespace {

const std::string kOk5 = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";

// Short bounds, so that a fault shows as a quick failure and not a hang.
void Quick(THttpTransfer& http) {
  http.SetTimeouts(2000ms, 2000ms);
}

QString Expected(const std::string& target, const std::string& host, const char* accept,
                 const std::string& cookie = {}) {
  std::string text = "GET " + target + " HTTP/1.1\r\nHost: " + host + "\r\nAccept: " + accept +
                     "\r\nAccept-Encoding: identity\r\nUser-Agent: " + kUserAgent + "\r\n";
  if (!cookie.empty()) text += "Cookie: " + cookie + "\r\n";
  return QString::fromLatin1(text + "\r\n");
}

}  // namespace

TEST(HttpRequestBytes, LookupAndDownloadRequestsAsTheyReachThePeer) {
  struct TCase {
    QString key;
    std::string target;
  };
  const TCase cases[] = {
      {QStringLiteral("joao"), "/app/login.php?usuario=joao"},
      {QStringLiteral("joao silva"), "/app/login.php?usuario=joao silva"},    // blank unencoded
      {QStringLiteral("jos\u00e9"), "/app/login.php?usuario=jos?"},           // beyond ASCII: "?"
      {QStringLiteral("a%20b&c=d#e"), "/app/login.php?usuario=a%20b&c=d#e"},  // nothing coded
  };
  for (const TCase& c : cases) {
    TScriptedPeer peer({{ReadRequest(), Send(kOk5)}});
    THttpTransfer http;
    Quick(http);
    EXPECT_EQ(http.Get(peer.Url(QStringLiteral("/app/login.php?usuario=")) + c.key), u"hello");
    const std::string host = "127.0.0.1:" + std::to_string(peer.Port());
    ASSERT_EQ(peer.Requests().size(), 1);
    // Host names the port, the order is fixed and there is no Connection line.
    EXPECT_EQ(peer.Requests()[0], Expected(c.target, host, kAcceptText)) << c.target;
  }

  TScriptedPeer peer({{ReadRequest(), Send(kOk5)}});
  THttpTransfer http;
  Quick(http);
  http.Accept = QString::fromLatin1(kAcceptProgram);
  QBuffer file;
  file.open(QIODevice::ReadWrite);
  http.Get(peer.Url(QStringLiteral("/ferramentas/pdf.exe")), file);
  EXPECT_EQ(file.data(), "hello");
  EXPECT_EQ(
      peer.Requests().at(0),
      Expected("/ferramentas/pdf.exe", "127.0.0.1:" + std::to_string(peer.Port()), kAcceptProgram));
}

TEST(HttpRequestBytes, LongCookieGoesOutOnOneLine) {
  // Thirty cookies of 44 characters each make a Cookie line of about 1400 characters.
  std::string setCookies;
  std::vector<std::string> pairs;
  for (int i = 0; i < 30; ++i) {
    char name[8];
    std::snprintf(name, sizeof name, "c%02d", i);
    pairs.push_back(std::string(name) + "=" + std::string(40, 'v'));
    setCookies += "Set-Cookie: " + pairs.back() + "; Path=/\r\n";
  }
  TScriptedPeer peer(
      {{ReadRequest(), Send("HTTP/1.1 200 OK\r\n" + setCookies + "Content-Length: 0\r\n\r\n"),
        ReadRequest(), Send(kOk5), WaitClientClose()}});
  THttpTransfer http;
  Quick(http);
  (void)http.Get(peer.Url(QStringLiteral("/a")));
  (void)http.Get(peer.Url(QStringLiteral("/b")));
  ASSERT_EQ(peer.Requests().size(), 2);
  std::string line = "Cookie: ";
  for (int i = 0; i < 30; ++i) line += pairs[i] + (i < 29 ? "; " : "");
  const std::string request = peer.Requests()[1].toStdString();
  EXPECT_NE(request.find("\r\n" + line + "\r\n\r\n"), std::string::npos) << request;
}

// One reply, played by a fresh peer to a fresh component.
struct TReplyCase {
  const char* name;
  TPeerScript script;
  bool intoStream;
  QString text;       // text form
  QByteArray stream;  // stream form
  std::string progress;
  QString error;
};

// Each case against a fresh peer and a fresh component. A call that should fail fast has a
// deadline far below the time-outs, so a hang shows as a failure, not a stall.
template <size_t N>
void PlayCases(const TReplyCase (&cases)[N]) {
  for (const TReplyCase& c : cases) {
    SCOPED_TRACE(c.name);
    TScriptedPeer peer({c.script});
    THttpTransfer http;
    http.SetTimeouts(2000ms, std::string(c.name) == "silent server" ? 200ms : 2000ms);
    http.CallDeadline = 3000ms;
    const TOutcome outcome = RunGet(http, peer.Url(QStringLiteral("/x")), c.intoStream);
    EXPECT_EQ(outcome.error, c.error);
    EXPECT_EQ(outcome.progress, c.progress);
    if (c.intoStream) {
      EXPECT_EQ(outcome.stream, c.stream);  // a failure's page never reaches the target
    } else {
      EXPECT_EQ(outcome.text, c.text);
    }
  }
}

TEST(HttpReply, CasesGiveBodyProgressAndFailureText) {
  const std::string bytes70000(70000, 'x');
  const std::string page300(300, 'p');
  const std::string head = "HTTP/1.1 200 OK\r\n";
  const std::string longLine(16400, 'a');
  std::string manyHeaders;
  for (int i = 0; i <= kMaxHeaderLines; ++i) manyHeaders += "X-" + std::to_string(i) + ": 1\r\n";
  const std::string xml = "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\x80";
  const std::string longestLine = std::string("X: ") + std::string(16384 - 3, 'b');
  const TReplyCase cases[] = {
      {"length", {ReadRequest(), Send(kOk5)}, false, u"hello"_qs, {}, "B5 W5 E", {}},
      {"no length, close",
       {ReadRequest(), Send(head + "\r\nabc"), CloseNow()},
       false,
       u"abc"_qs,
       {},
       "B0 W3 E",
       {}},
      // Head alone first, then 70000 bytes: blocks of exactly 32768 and the rest at the close.
      {"no length, blocks",
       {ReadRequest(), Send(head + "\r\n"), Pause(50), Send(bytes70000), CloseNow()},
       true,
       {},
       QByteArray::fromStdString(bytes70000),
       "B0 W32768 W65536 W70000 E",
       {}},
      // Framing lines are counted with the data; trailers join the header lines.
      {"chunked",
       {ReadRequest(), Send(head + "Transfer-Encoding: chunked\r\n\r\n5;ext=1\r\nhello\r\n"
                                   "6\r\n world\r\n0\r\nX-Trailer: yes\r\n\r\n")},
       false,
       u"hello world"_qs,
       {},
       "B0 W9 W14 W16 W19 W25 W27 W30 W46 W48 E",
       {}},
      // Short of the length: what came stays in the target, and the call says it is short.
      {"1000 announced, 600 sent",
       {ReadRequest(), Send(head + "Content-Length: 1000\r\n\r\n" + std::string(600, 'z')),
        CloseNow()},
       true,
       {},
       QByteArray(600, 'z'),
       "B1000 W600 E",
       u"Connection closed after 600 of 1000 bytes."_qs},
      {"204", {ReadRequest(), Send("HTTP/1.1 204 No Content\r\n\r\n")}, false, {}, {}, "", {}},
      {"200 with length 0",
       {ReadRequest(), Send(head + "Content-Length: 0\r\n\r\n")},
       true,
       {},
       {},
       "",
       {}},
      {"302 not followed",
       {ReadRequest(), Send("HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1/elsewhere\r\n"
                            "Content-Length: 5\r\n\r\nmoved")},
       true,
       {},
       {},
       "B5 W5 E",
       u"HTTP/1.1 302 Found"_qs},
      {"404 with a page",
       {ReadRequest(), Send("HTTP/1.1 404 Not Found\r\nContent-Length: 300\r\n\r\n" + page300)},
       true,
       {},
       {},
       "B300 W300 E",
       u"HTTP/1.1 404 Not Found"_qs},
      {"status without a number",
       {ReadRequest(), Send("HTTP/1.1 OK\r\nContent-Length: 0\r\n\r\n")},
       false,
       {},
       {},
       "",
       u"HTTP/1.1 OK"_qs},
      {"100 then 200",
       {ReadRequest(),
        Send("HTTP/1.1 100 Continue\r\n\r\n" + head + "Content-Length: 2\r\n\r\nok")},
       false,
       u"ok"_qs,
       {},
       "B2 W2 E",
       {}},
      {"header line of 16384",
       {ReadRequest(), Send(head + longestLine + "\r\n\r\n")},
       false,
       {},
       {},
       "B0 E",
       {}},
      {"header line too long",
       {ReadRequest(), Send(head + "X: " + longLine + "\r\n\r\n")},
       false,
       {},
       {},
       "",
       u"Max line length exceeded."_qs},
      // A line that never ends fails at once instead of waiting for the time-out.
      {"endless line",
       {ReadRequest(), Send(head + std::string(100000, 'a')), WaitClientClose()},
       false,
       {},
       {},
       "",
       u"Max line length exceeded."_qs},
      {"header block too large",
       {ReadRequest(), Send(head + manyHeaders + "\r\n")},
       false,
       {},
       {},
       "",
       u"Reply header too large."_qs},
      {"close before the status line",
       {ReadRequest(), CloseNow()},
       false,
       {},
       {},
       "",
       u"Connection Closed Gracefully."_qs},
      {"close inside a chunked body",
       {ReadRequest(), Send(head + "Transfer-Encoding: chunked\r\n\r\n10\r\nabc"), CloseNow()},
       true,
       {},
       QByteArray("abc"),
       "B0 W4 W7 E",
       u"Connection Closed Gracefully."_qs},
      {"silent server",
       {ReadRequest(), WaitClientClose()},
       false,
       {},
       {},
       "",
       u"Socket Error # 10060\r\nConnection timed out."_qs},
      {"text/plain, UTF-8 bytes",
       {ReadRequest(),
        Send(head + "Content-Type: text/plain\r\nContent-Length: 2\r\n\r\n\xC3\xA9")},
       false,
       u"\u00C3\u00A9"_qs,
       {},
       "B2 W2 E",
       {}},
      {"utf-8",
       {ReadRequest(),
        Send(head + "Content-Type: text/plain; charset=\"utf-8\"\r\nContent-Length: 2\r\n\r\n"
                    "\xC3\xA9")},
       false,
       u"\u00E9"_qs,
       {},
       "B2 W2 E",
       {}},
      {"byte-order mark kept",
       {ReadRequest(), Send(head + "Content-Type: text/plain; charset=UTF-8\r\nContent-Length: "
                                   "6\r\n\r\n\xEF\xBB\xBFok\n")},
       false,
       u"\uFEFFok\n"_qs,
       {},
       "B6 W6 E",
       {}},
      {"unknown charset",
       {ReadRequest(), Send(head + "Content-Type: text/plain; charset=x-no-such\r\n"
                                   "Content-Length: 2\r\n\r\n\xE9\x80")},
       false,
       u"\u00E9\u0080"_qs,
       {},
       "B2 W2 E",
       {}},
      {"text/xml without charset is ASCII",
       {ReadRequest(), Send(head + "Content-Type: text/xml\r\nContent-Length: 2\r\n\r\n\xE9!")},
       false,
       u"?!"_qs,
       {},
       "B2 W2 E",
       {}},
      {"application/xml names its own charset",
       {ReadRequest(), Send(head + "Content-Type: application/xml\r\nContent-Length: " +
                            std::to_string(xml.size()) + "\r\n\r\n" + xml)},
       false,
       QString::fromLatin1(xml.c_str()).chopped(1) + u'\u20AC',
       {},
       "B" + std::to_string(xml.size()) + " W" + std::to_string(xml.size()) + " E",
       {}},
  };
  PlayCases(cases);
}

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

TEST(HttpReply, ByteOrderMarkDecidesTheOrderOfUtf16AndUtf32) {
  const auto reply = [](const char* charset, const std::string& body) {
    return TPeerScript{
        ReadRequest(),
        Send("HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=" + std::string(charset) +
             "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body)};
  };
  const std::string be16("\xFE\xFF\x00h\x00i", 6), le16("\xFF\xFEh\x00i\x00", 6);
  const std::string be32("\x00\x00\xFE\xFF\x00\x00\x00h", 8),
      le32("\xFF\xFE\x00\x00h\x00\x00\x00", 8);
  const TReplyCase cases[] = {
      {"UTF-16, big-endian mark", reply("UTF-16", be16), false, u"\uFEFFhi"_qs, {}, "B6 W6 E", {}},
      {"UTF-16, little-endian mark",
       reply("utf-16", le16),
       false,
       u"\uFEFFhi"_qs,
       {},
       "B6 W6 E",
       {}},
      {"UTF-16 without a mark",
       reply("utf-16", std::string("h\x00i\x00", 4)),
       false,
       u"hi"_qs,
       {},
       "B4 W4 E",
       {}},
      {"UTF-32, big-endian mark", reply("UTF-32", be32), false, u"\uFEFFh"_qs, {}, "B8 W8 E", {}},
      {"UTF-32, little-endian mark",
       reply("utf-32", le32),
       false,
       u"\uFEFFh"_qs,
       {},
       "B8 W8 E",
       {}},
  };
  PlayCases(cases);
}

// Calls in a row on one component against one peer: each call's text or failure, and how many
// connections the peer saw. A call that waited for a body it will never get would fail on the
// read time-out instead of the next reply coming through.
struct TSequenceCase {
  const char* name;
  std::vector<TPeerScript> scripts;
  std::vector<QString> results;  // text, or the failure's text
  int connections;
};

void PlaySequences(const std::vector<TSequenceCase>& cases) {
  for (const TSequenceCase& c : cases) {
    SCOPED_TRACE(c.name);
    TScriptedPeer peer(c.scripts);
    THttpTransfer http;
    http.SetTimeouts(2000ms, 1000ms);
    for (size_t i = 0; i < c.results.size(); ++i) {
      const TOutcome outcome = RunGet(http, peer.Url(QStringLiteral("/x")), false);
      EXPECT_EQ(outcome.error.isEmpty() ? outcome.text : outcome.error, c.results[i])
          << "call " << i;
    }
    EXPECT_EQ(peer.Accepted(), c.connections);
  }
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

namespace {

// A target that cannot get the memory for what arrives.
class TStarvedSink : public TByteSink {
 public:
  void Write(const char*, qsizetype) override { throw std::bad_alloc(); }
};

}  // namespace

TEST(HttpHostileLength, NothingIsSetAsideForBytesThatHaveNotCome) {
  // A length of a petabyte and five bytes: a target that grew by the announced length would
  // fail to allocate, or fill the disk.
  const std::string huge = "HTTP/1.1 200 OK\r\nContent-Length: 1000000000000000\r\n\r\nhello";
  {
    TScriptedPeer peer({{ReadRequest(), Send(huge), CloseNow()}});
    THttpTransfer http;
    Quick(http);
    const TOutcome outcome = RunGet(http, peer.Url(QStringLiteral("/")), true);
    EXPECT_EQ(outcome.error, u"Connection closed after 5 of 1000000000000000 bytes."_qs);
    EXPECT_EQ(outcome.stream, "hello");
  }
  {
    // A file never holds more than what came, at any moment of the transfer.
    TScriptedPeer peer({{ReadRequest(), Send(huge), Pause(50), Send("world"), CloseNow()}});
    THttpTransfer http;
    Quick(http);
    QTemporaryFile file;
    ASSERT_TRUE(file.open());
    std::vector<std::pair<qint64, qint64>> seen;  // count, size on disk
    http.OnWork = [&](THttpTransfer*, TWorkMode, qint64 count) {
      seen.emplace_back(count, QFileInfo(file.fileName()).size());
    };
    EXPECT_THROW(http.Get(peer.Url(QStringLiteral("/")), file), EHttpBodyIncomplete);
    ASSERT_FALSE(seen.empty());
    for (const auto& [count, size] : seen) EXPECT_LE(size, count);
    EXPECT_EQ(QFileInfo(file.fileName()).size(), 10);
  }
  {
    TScriptedPeer peer({{ReadRequest(), Send(kOk5)}});
    THttpTransfer http;
    Quick(http);
    TStarvedSink starved;
    try {
      http.Get(peer.Url(QStringLiteral("/")), starved);
      ADD_FAILURE() << "no failure";
    } catch (const EHttpReplyError& e) {
      EXPECT_EQ(e.Message(), u"Not enough memory for the reply."_qs);
    }
    EXPECT_FALSE(http.Connected());
  }
}

TEST(HttpReply, TextBodyIsBoundedInMemory) {
  const qsizetype size = kMaxTextBodyBytes + 1;
  TScriptedPeer peer(
      {{ReadRequest(),
        Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n"),
        Send(std::string(size, 'x'))}});
  THttpTransfer http;
  Quick(http);
  EXPECT_EQ(RunGet(http, peer.Url(QStringLiteral("/")), false).error, u"Reply body too large."_qs);
  EXPECT_FALSE(http.Connected());
}

TEST(HttpReply, RefusedConnection) {
  // A port that was just free and nobody listens on.
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  close(fd);
  THttpTransfer http;
  Quick(http);
  const TOutcome outcome =
      RunGet(http, QStringLiteral("http://127.0.0.1:%1/").arg(ntohs(address.sin_port)), false);
  EXPECT_EQ(outcome.error, u"Socket Error # 10061\r\nConnection refused."_qs);
  EXPECT_FALSE(http.Connected());
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

TEST(HttpCookies, SentBackOnTheSameComponentOnly) {
  TScriptedPeer peer(
      {{ReadRequest(),
        Send("HTTP/1.1 404 Not Found\r\nSet-Cookie: sid=abc; Path=/\r\nContent-Length: 0\r\n\r\n"),
        ReadRequest(), Send(kOk5)},
       {ReadRequest(), Send(kOk5)}});
  THttpTransfer http;
  Quick(http);
  EXPECT_EQ(RunGet(http, peer.Url(QStringLiteral("/app/a")), false).error,
            u"HTTP/1.1 404 Not Found"_qs);  // kept although the call failed
  (void)http.Get(peer.Url(QStringLiteral("/app/b")));
  THttpTransfer other;
  Quick(other);
  (void)other.Get(peer.Url(QStringLiteral("/app/b")));
  const auto requests = peer.Requests();
  ASSERT_EQ(requests.size(), 3);
  const std::string host = "127.0.0.1:" + std::to_string(peer.Port());
  EXPECT_EQ(requests[1], Expected("/app/b", host, kAcceptText, "sid=abc"));
  EXPECT_EQ(requests[2], Expected("/app/b", host, kAcceptText));
}
