// The pure parts: socket error texts, charsets, the cookie store, and the reply reader over a
// source that fails part-way.
#include <gtest/gtest.h>
#include <netdb.h>

#include <QBuffer>
#include <algorithm>
#include <cerrno>

#include "service/http/bytestream.h"
#include "service/http/charsets.h"
#include "service/http/cookiestore.h"
#include "service/http/httperrors.h"
#include "service/http/replyreader.h"
#include "service/http/url.h"

TEST(HttpSocketErrors, LinuxErrorsShowTheNumberedTexts) {
  struct TCase {
    int number;
    const char* message;
  };
  const TCase cases[] = {
      {SocketErrorNumberFromErrno(ECONNREFUSED), "Socket Error # 10061\r\nConnection refused."},
      {SocketErrorNumberFromErrno(ETIMEDOUT), "Socket Error # 10060\r\nConnection timed out."},
      {SocketErrorNumberFromErrno(ECONNRESET), "Socket Error # 10054\r\nConnection reset by peer."},
      {SocketErrorNumberFromErrno(EPIPE), "Socket Error # 10054\r\nConnection reset by peer."},
      {SocketErrorNumberFromErrno(ENETUNREACH), "Socket Error # 10051\r\nNetwork is unreachable."},
      {SocketErrorNumberFromErrno(EHOSTUNREACH), "Socket Error # 10065\r\nNo route to host."},
      {SocketErrorNumberFromErrno(EADDRNOTAVAIL),
       "Socket Error # 10049\r\nCannot assign requested address."},
      {SocketErrorNumberFromErrno(ENOTEMPTY), "Socket Error # 10066\r\nDirectory not empty"},
      {SocketErrorNumberFromResolver(EAI_NONAME, 0), "Socket Error # 11001\r\nHost not found."},
      {SocketErrorNumberFromResolver(EAI_SYSTEM, ECONNREFUSED),
       "Socket Error # 10061\r\nConnection refused."},
      // No equivalent: the platform's own number and nothing after the line break.
      {SocketErrorNumberFromErrno(EIO), "Socket Error # 5\r\n"},
      {SocketErrorNumberFromResolver(EAI_AGAIN, 0), "Socket Error # 11002\r\n"},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(ESocketError(c.number).Message(), QString::fromLatin1(c.message));
  }
}

TEST(HttpCharsets, DecodingByName) {
  struct TCase {
    const char* charset;
    QByteArray body;
    QString text;
  };
  const TCase cases[] = {
      {"ISO-8859-1", "\xC3\xA9", u"\u00C3\u00A9"_qs},
      {"utf-8", "\xC3\xA9", u"\u00E9"_qs},
      {"UTF-8", "\xEF\xBB\xBFx\r\n", u"\uFEFFx\r\n"_qs},  // mark and line ends kept
      {"US-ASCII", "a\xE9z", u"a?z"_qs},
      {"csASCII", "a\xE9z", u"a?z"_qs},
      {"windows-1252", "\x80", u"\u20AC"_qs},
      {"KOI8-R", "\xC1", u"\u0430"_qs},
      {"x-unregistered", QByteArray("\xE9\x80\x00", 3), QString(u"\u00E9\u0080\u0000"_qs)},
      {"", "\xFF", u"\u00FF"_qs},
      {"UTF-8//TRANSLIT", "\xC3\xA9", u"\u00C3\u00A9"_qs},  // only registered names reach iconv
      {"shift_jis", "\x82\xA0\xFF", u"\u3042\uFFFD"_qs},    // a bad byte is one replacement
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(DecodeText(c.body, QString::fromLatin1(c.charset)), c.text) << c.charset;
  }
}

TEST(HttpCharsets, MediaTypesAndXmlDocuments) {
  EXPECT_EQ(DefaultCharsetFor(u"text/html"_qs), u"ISO-8859-1");
  EXPECT_EQ(DefaultCharsetFor(u"text/xml"_qs), u"us-ascii");
  EXPECT_EQ(DefaultCharsetFor(u"text/svg+xml"_qs), u"us-ascii");
  EXPECT_EQ(DefaultCharsetFor(u"application/octet-stream"_qs), u"");
  EXPECT_TRUE(IsSelfDescribingXml(u"application/xml-dtd"_qs));
  EXPECT_TRUE(IsSelfDescribingXml(u"application/atom+xml"_qs));
  EXPECT_FALSE(IsSelfDescribingXml(u"text/xml"_qs));
  EXPECT_EQ(XmlDocumentCharset("\xEF\xBB\xBF<a/>"), u"utf-8");
  EXPECT_EQ(XmlDocumentCharset("\xFF\xFE<\x00"), u"utf-16le");
  EXPECT_EQ(XmlDocumentCharset("<?xml version='1.0' encoding='ISO-8859-1'?><a/>"), u"ISO-8859-1");
  EXPECT_EQ(XmlDocumentCharset("<a/>"), u"utf-8");
}

namespace {
const QDateTime kNow(QDate(2024, 5, 1), QTime(12, 0), Qt::UTC);
const TUrl kSite = ParseUrl(u"http://www.site.example/app/login.php"_qs);
}  // namespace

TEST(HttpCookies, ReplacedByNameDomainAndPathKeepingTheirAge) {
  TCookieStore store;
  store.SetCookie(u"a=1; Path=/"_qs, kSite, kNow);
  store.SetCookie(u"b=2; Path=/"_qs, kSite, kNow.addSecs(1));
  store.SetCookie(u"A=3; path=/"_qs, kSite, kNow.addSecs(2));       // replaces a, stays oldest
  store.SetCookie(u"a=4; Path=/other"_qs, kSite, kNow.addSecs(3));  // another path: a new one
  EXPECT_EQ(store.CookieHeader(kSite, kNow.addSecs(4)), u"A=3; b=2");
  EXPECT_EQ(store.Cookies().size(), 3u);
}

TEST(HttpCookies, DeletedByAnExpiredLine) {
  TCookieStore store;
  store.SetCookie(u"a=1; Path=/"_qs, kSite, kNow);
  store.SetCookie(u"b=2; Path=/"_qs, kSite, kNow);
  store.SetCookie(u"a=gone; Path=/; Max-Age=0"_qs, kSite, kNow);
  store.SetCookie(u"b=gone; Path=/; Expires=Thu, 01-Jan-1970 00:00:01 GMT"_qs, kSite, kNow);
  EXPECT_TRUE(store.Cookies().empty());
  // A cookie that runs out is no longer sent, and dropped before the next request.
  store.SetCookie(u"c=3; Path=/; Max-Age=60"_qs, kSite, kNow);
  EXPECT_EQ(store.CookieHeader(kSite, kNow.addSecs(59)), u"c=3");
  EXPECT_EQ(store.CookieHeader(kSite, kNow.addSecs(60)), u"");
  store.DropExpired(kNow.addSecs(60));
  EXPECT_TRUE(store.Cookies().empty());
}

TEST(HttpCookies, OrderedByPathLengthThenAge) {
  TCookieStore store;
  store.SetCookie(u"root1=1; Path=/"_qs, kSite, kNow);
  store.SetCookie(u"deep=2; Path=/app/"_qs, kSite, kNow.addSecs(1));
  store.SetCookie(u"root2=3; Path=/"_qs, kSite, kNow.addSecs(2));
  store.SetCookie(u"app=4"_qs, kSite, kNow.addSecs(3));  // default path "/app"
  EXPECT_EQ(store.CookieHeader(kSite, kNow.addSecs(4)), u"deep=2; app=4; root1=1; root2=3");
}

TEST(HttpCookies, DomainPathAndSecureRules) {
  TCookieStore store;
  store.SetCookie(u"wide=1; Domain=.site.example; Path=/"_qs, kSite, kNow);
  store.SetCookie(u"foreign=2; Domain=other.example; Path=/"_qs, kSite, kNow);  // refused
  store.SetCookie(u"host=3; Path=/"_qs, kSite, kNow);
  store.SetCookie(u"safe=4; Path=/; Secure"_qs, kSite, kNow);
  store.SetCookie(u"=5"_qs, kSite, kNow);
  store.SetCookie(u"noequals"_qs, kSite, kNow);
  EXPECT_EQ(store.CookieHeader(kSite, kNow), u"wide=1; host=3");
  EXPECT_EQ(store.CookieHeader(ParseUrl(u"http://login.site.example:52/x"_qs), kNow), u"wide=1");
  EXPECT_EQ(store.CookieHeader(ParseUrl(u"https://www.site.example/"_qs), kNow),
            u"wide=1; host=3; safe=4");
  store.SetCookie(u"p=1; Path=/app"_qs, kSite, kNow);
  EXPECT_EQ(store.CookieHeader(ParseUrl(u"http://www.site.example/application"_qs), kNow),
            u"wide=1; host=3");
  EXPECT_EQ(store.CookieHeader(ParseUrl(u"http://www.site.example/app/x"_qs), kNow),
            u"p=1; wide=1; host=3");
}

TEST(HttpCookies, AttributesFollowTheCookieRules) {
  // One Set-Cookie line for a page of www.site.example; what the store keeps of it.
  struct TCase {
    const char* line;
    const char* stored;  // "domain path host-only|domain-wide", or "" when refused
  };
  const TCase cases[] = {
      {"a=1; Domain=.site.example", "site.example /app domain-wide"},
      {"a=1; Domain=site.example", "site.example /app domain-wide"},
      {"a=1; Domain=..site.example", ""},  // a second dot names no domain the host is in
      {"a=1; Domain=", "www.site.example /app host-only"},
      {"a=1; Domain=.", "www.site.example /app host-only"},
      {"a=1; Domain=other.example", ""},
      // A registry cannot be a cookie's domain: "example" has no owner, nor has co.uk.
      {"a=1; Domain=example", ""},
      {"a=1; Domain=.example", ""},
      {"a=1; Path=/x; Path=", "www.site.example /app host-only"},  // the last Path counts
      {"a=1; Path=/x; Path=relative", "www.site.example /app host-only"},
      {"a=1; Path=; Path=/x", "www.site.example /x host-only"},
      {"a=1; Max-Age=+0", "www.site.example /app host-only"},  // not a Max-Age: ignored
      {"a=1; Max-Age=0", ""},                                  // expired at once
      {"a=1; Max-Age=-5", ""},
      {"a=1; Max-Age=1e3", "www.site.example /app host-only"},
  };
  for (const TCase& c : cases) {
    TCookieStore store;
    store.SetCookie(QString::fromLatin1(c.line), kSite, kNow);
    QString stored;
    if (!store.Cookies().empty()) {
      const TCookie& cookie = store.Cookies().front();
      stored = cookie.domain + u' ' + cookie.path + u' ' +
               (cookie.hostOnly ? u"host-only"_qs : u"domain-wide"_qs);
    }
    EXPECT_EQ(stored, QString::fromLatin1(c.stored)) << c.line;
  }

  // A registry that is the host's own name sets a cookie for that host alone.
  TCookieStore store;
  const TUrl registry = ParseUrl(u"http://github.io/x"_qs);
  store.SetCookie(u"a=1; Domain=github.io"_qs, registry, kNow);
  ASSERT_EQ(store.Cookies().size(), 1u);
  EXPECT_TRUE(store.Cookies().front().hostOnly);
  EXPECT_EQ(store.CookieHeader(ParseUrl(u"http://user.github.io/x"_qs), kNow), u""_qs);
}

TEST(HttpCookies, StoreIsBounded) {
  TCookieStore store;
  for (int i = 0; i < kMaxCookies + 50; ++i) {
    store.SetCookie(QStringLiteral("c%1=v; Path=/").arg(i), kSite, kNow);
  }
  EXPECT_EQ(store.Cookies().size(), static_cast<size_t>(kMaxCookies));
  EXPECT_EQ(store.Cookies().front().name, u"c50");  // the oldest made room
  store.SetCookie(u"big="_qs + QString(kMaxCookieSize, u'x'), kSite, kNow);
  EXPECT_NE(store.Cookies().back().name, u"big");
}

TEST(HttpCookies, Dates) {
  const QDateTime expected(QDate(2015, 10, 21), QTime(7, 28), Qt::UTC);
  for (const char* text : {"Wed, 21 Oct 2015 07:28:00 GMT", "Wednesday, 21-Oct-15 07:28:00 GMT",
                           "Wed Oct 21 07:28:00 2015"}) {
    EXPECT_EQ(ParseCookieDate(QString::fromLatin1(text)), expected) << text;
  }
  EXPECT_FALSE(ParseCookieDate(u"31 Feb 2015 00:00:00"_qs).isValid());
  EXPECT_FALSE(ParseCookieDate(u"soon"_qs).isValid());
}

namespace {

// Plays bytes, then fails the way a reset connection does.
class TFailingSource : public TByteSource {
 public:
  explicit TFailingSource(QByteArray bytes) : bytes_(std::move(bytes)) {}
  qsizetype Receive(char* data, qsizetype max) override {
    if (bytes_.isEmpty()) throw ESocketError(10054);
    const qsizetype n = std::min(max, bytes_.size());
    memcpy(data, bytes_.constData(), n);
    bytes_.remove(0, n);
    return n;
  }
  bool WaitReadable(int) override { return true; }

 private:
  QByteArray bytes_;
};

}  // namespace

TEST(HttpReplyReader, SocketErrorMidBodyKeepsWhatArrivedAndEndsProgress) {
  TFailingSource source("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + QByteArray(100, 'x'));
  std::string events;
  TWorkProgress progress([&](TWorkMode, qint64 max) { events += "B" + std::to_string(max); },
                         [&](TWorkMode, qint64 n) { events += " W" + std::to_string(n); },
                         [&](TWorkMode) { events += " E"; });
  TReplyReader reader(source, progress);
  TReplyHead head = reader.ReadHead();
  QByteArray file("old content that is longer than what arrives, and must not stay behind");
  QBuffer buffer(&file);
  buffer.open(QIODevice::ReadWrite);
  buffer.seek(10);
  TDeviceSink sink(buffer);
  try {
    reader.ReadBody(ParseFields(head), head, sink);
    ADD_FAILURE() << "no failure";
  } catch (const ESocketError& e) {
    EXPECT_EQ(e.Number(), 10054);
  }
  EXPECT_EQ(events, "B1000 W100 E");
  EXPECT_EQ(file, "old conten" + QByteArray(100, 'x'));  // written from the position, cut back
}

// A memory body is written in pieces of every size the reader hands over; it must come out whole
// whatever its growth did, and a limit either fails the call or keeps the first bytes only.
TEST(HttpMemorySink, HoldsWhatArrivedAcrossGrowthAndAtItsLimit) {
  struct TCase {
    const char* what;
    qsizetype piece;
    qsizetype total;
    qsizetype limit;
    TMemorySink::TOverflow overflow;
    qsizetype kept;  // bytes the sink holds at the end
    bool fails;
  };
  constexpr qsizetype kMiB = 1024 * 1024;
  const TCase cases[] = {
      {"small body", 100, 1000, 16 * kMiB, TMemorySink::TOverflow::Fail, 1000, false},
      {"large body in blocks", 32768, 20 * kMiB, 32 * kMiB, TMemorySink::TOverflow::Fail, 20 * kMiB,
       false},
      {"odd pieces past the bulk size", 99991, 9 * kMiB, 32 * kMiB, TMemorySink::TOverflow::Fail,
       9 * kMiB, false},
      {"exactly the limit", 32768, 6 * kMiB, 6 * kMiB, TMemorySink::TOverflow::Fail, 6 * kMiB,
       false},
      {"one byte past the limit fails", 32768, 6 * kMiB + 1, 6 * kMiB, TMemorySink::TOverflow::Fail,
       6 * kMiB, true},
      {"an error page keeps its first bytes", 1000, 100000, 65536, TMemorySink::TOverflow::Drop,
       65536, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    TMemorySink sink(c.limit, c.overflow);
    QByteArray piece(c.piece, Qt::Uninitialized);
    bool failed = false;
    try {
      for (qsizetype at = 0; at < c.total; at += c.piece) {
        const qsizetype size = std::min(c.piece, c.total - at);
        // Each byte tells where it belongs, so a lost or moved piece shows.
        for (qsizetype i = 0; i < size; ++i) piece[i] = static_cast<char>((at + i) % 251);
        sink.Write(piece.constData(), size);
      }
    } catch (const EHttpReplyError&) {
      failed = true;
    }
    EXPECT_EQ(failed, c.fails);
    ASSERT_EQ(sink.Data().size(), c.kept);
    qsizetype wrong = 0;
    for (qsizetype i = 0; i < c.kept; ++i) wrong += sink.Data().at(i) != static_cast<char>(i % 251);
    EXPECT_EQ(wrong, 0);
  }
}
