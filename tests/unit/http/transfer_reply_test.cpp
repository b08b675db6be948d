// One reply at a time against a scripted loopback peer: body, progress and failure text, the
// charset by byte-order mark, the bounds on memory, a refused connection.
#include <gtest/gtest.h>

#include <QFileInfo>
#include <QTemporaryFile>

#include "freeport.h"
#include "service/http/replyreader.h"
#include "transfercases.h"

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
  const int port = FreeLoopbackPort();
  ASSERT_NE(port, 0);
  THttpTransfer http;
  Quick(http);
  const TOutcome outcome = RunGet(http, QStringLiteral("http://127.0.0.1:%1/").arg(port), false);
  EXPECT_EQ(outcome.error, u"Socket Error # 10061\r\nConnection refused."_qs);
  EXPECT_FALSE(http.Connected());
}
