// The transfer against a scripted loopback peer: request bytes, reply framing, progress,
// failures, keep-alive and cookies.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QBuffer>
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

TEST(HttpRequestBytes, LongCookieLineIsFolded) {
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
  // Broken after the last blank within 1024 characters: 22 pairs fit ("Cookie: " is 8, each pair
  // and its "; " 46); the continuation starts with one blank, no piece ends in a blank.
  std::string first = "Cookie: ", second = " ";
  for (int i = 0; i < 30; ++i) {
    std::string& piece = i < 22 ? first : second;
    piece += pairs[i] + (i == 21 || i == 29 ? (i == 21 ? ";" : "") : "; ");
  }
  const std::string request = peer.Requests()[1].toStdString();
  EXPECT_NE(request.find("\r\n" + first + "\r\n" + second + "\r\n\r\n"), std::string::npos)
      << request;
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
      {"1000 announced, 600 sent",
       {ReadRequest(), Send(head + "Content-Length: 1000\r\n\r\n" + std::string(600, 'z')),
        CloseNow()},
       true,
       {},
       QByteArray(600, 'z'),
       "B1000 W600 E",
       {}},
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
  for (const TReplyCase& c : cases) {
    SCOPED_TRACE(c.name);
    TScriptedPeer peer({c.script});
    THttpTransfer http;
    http.SetTimeouts(2000ms, std::string(c.name) == "silent server" ? 200ms : 2000ms);
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

TEST(HttpKeepAlive, IdleConnectionClosedByServerFailsOnceThenReconnects) {
  TScriptedPeer peer({{ReadRequest(), Send(kOk5), CloseNow()}, {ReadRequest(), Send(kOk5)}});
  THttpTransfer http;
  Quick(http);
  EXPECT_EQ(http.Get(peer.Url(QStringLiteral("/"))), u"hello");
  ASSERT_TRUE(testing_support::WaitFor([&] { return peer.Finished() >= 1; }, 2000));
  const TOutcome stale = RunGet(http, peer.Url(QStringLiteral("/")), false);
  EXPECT_TRUE(stale.error == u"Connection Closed Gracefully."_qs ||
              stale.error == u"Socket Error # 10054\r\nConnection reset by peer."_qs)
      << stale.error.toStdString();
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
