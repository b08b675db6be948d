// Addresses split into request parts, and the request text built from them.
#include <gtest/gtest.h>

#include "service/endpoints.h"
#include "service/http/httptransfer.h"
#include "service/http/request.h"
#include "service/http/url.h"

TEST(HttpUrl, PartsAsTheRequestUsesThem) {
  struct TCase {
    const char* address;
    const char* host;
    const char* port;
    const char* path;
    const char* document;
    const char* query;
    const char* target;
    const char* hostHeader;
  };
  const TCase cases[] = {
      {"http://login.example:52/app/login.php?usuario=ana maria", "login.example", "52", "/app/",
       "login.php", "usuario=ana maria", "/app/login.php?usuario=ana maria", "login.example:52"},
      {"http://www.example/ferramentas/pdf.exe", "www.example", "80", "/ferramentas/", "pdf.exe",
       "", "/ferramentas/pdf.exe", "www.example"},
      {"http://h", "h", "80", "/", "", "", "/", "h"},
      {"http://h/", "h", "80", "/", "", "", "/", "h"},
      {"http://h:80/a", "h", "80", "/", "a", "", "/a", "h"},
      {"http://h:/a", "h", "80", "/", "a", "", "/a", "h"},
      // Backslashes are slashes up to the query, and only there.
      {"http://h\\dir\\f.exe?x=\\y", "h", "80", "/dir/", "f.exe", "x=\\y", "/dir/f.exe?x=\\y", "h"},
      // The fragment of the document is dropped; the query keeps "#", "?", "%" and blanks.
      {"http://h/d/page.html#top", "h", "80", "/d/", "page.html", "", "/d/page.html", "h"},
      {"http://h/p?a=%41?b#c d", "h", "80", "/", "p", "a=%41?b#c d", "/p?a=%41?b#c d", "h"},
      {"http://user:pw@h:8080/x/", "h", "8080", "/x/", "", "", "/x/", "h:8080"},
      {"https://h/s", "h", "443", "/", "s", "", "/s", "h"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.address);
    const TUrl url = ParseUrl(QString::fromUtf8(c.address));
    EXPECT_EQ(url.host, QLatin1String(c.host));
    EXPECT_EQ(url.port, QLatin1String(c.port));
    EXPECT_EQ(url.path, QLatin1String(c.path));
    EXPECT_EQ(url.document, QLatin1String(c.document));
    EXPECT_EQ(url.query, QLatin1String(c.query));
    EXPECT_EQ(url.RequestTarget(), QLatin1String(c.target));
    EXPECT_EQ(url.HostHeader(), QLatin1String(c.hostHeader));
  }
  EXPECT_EQ(ParseUrl(u"http://h:52/"_qs).PortNumber(), 52);
  EXPECT_EQ(ParseUrl(u"http://h:web/"_qs).PortNumber(), 80);
  EXPECT_EQ(ParseUrl(u"http://h:70000/"_qs).PortNumber(), 80);
}

TEST(HttpUrl, EndpointAddresses) {
  EXPECT_STREQ(kLookupUrl, "http://login.zentracomputing.example:52/app/login.php?usuario=");
  EXPECT_STREQ(kLookupUrlAlternative,
               "http://login2.zentracomputing.example:52/app/login.php?usuario=");
  EXPECT_STREQ(kSupportUrl, "http://www.zentracomputing.example");
  EXPECT_STREQ(kPdfInstallerUrl, "http://www.zentracomputing.example/ferramentas/pdf.exe");
  EXPECT_STREQ(kUpdaterUrlX64, "http://www.zentracomputing.example/remoto/update/x64/atualiza.exe");
  EXPECT_STREQ(kUpdaterUrlX32, "http://www.zentracomputing.example/remoto/update/x32/atualiza.exe");
}

TEST(HttpRequestText, LookupAndDownloadOfTheRealEndpoints) {
  const TRequestHeaders lookupHeaders{
      QString::fromLatin1(kAcceptText), u"identity"_qs, QString::fromLatin1(kUserAgent), {}};
  EXPECT_EQ(BuildRequest(ParseUrl(QString::fromLatin1(kLookupUrl) + u"maria jos\u00e9"_qs),
                         lookupHeaders),
            QByteArray("GET /app/login.php?usuario=maria jos? HTTP/1.1\r\n"
                       "Host: login.zentracomputing.example:52\r\n"
                       "Accept: text/html, */*\r\n"
                       "Accept-Encoding: identity\r\n"
                       "User-Agent: Mozilla/3.0 (compatible; Zentra Client)\r\n"
                       "\r\n"));
  const TRequestHeaders downloadHeaders{QString::fromLatin1(kAcceptProgram), u"identity"_qs,
                                        QString::fromLatin1(kUserAgent), u"a=1"_qs};
  EXPECT_EQ(BuildRequest(ParseUrl(QString::fromLatin1(kPdfInstallerUrl)), downloadHeaders),
            QByteArray("GET /ferramentas/pdf.exe HTTP/1.1\r\n"
                       "Host: www.zentracomputing.example\r\n"
                       "Accept: text/html, */*,*.exe\r\n"
                       "Accept-Encoding: identity\r\n"
                       "User-Agent: Mozilla/3.0 (compatible; Zentra Client)\r\n"
                       "Cookie: a=1\r\n"
                       "\r\n"));
}

TEST(HttpRequestText, ControlCharactersCannotSplitTheRequest) {
  const QByteArray request = BuildRequest(
      ParseUrl(u"http://h/app/login.php?usuario=x\r\nX-Evil: 1"_qs), TRequestHeaders{});
  EXPECT_TRUE(
      request.startsWith("GET /app/login.php?usuario=x??X-Evil: 1 HTTP/1.1\r\nHost: h\r\n"));
}

TEST(HttpRequestText, ALongCookieStaysOnOneLine) {
  // Servers refuse folded header lines; however long, the Cookie value goes out whole.
  QString cookie;
  for (int i = 0; i < 400; ++i) cookie += QStringLiteral("k%1=v; ").arg(i);
  cookie.chop(2);
  TRequestHeaders headers;
  headers.cookie = cookie;
  const QByteArray request = BuildRequest(ParseUrl(u"http://h/"_qs), headers);
  EXPECT_TRUE(request.endsWith("\r\nCookie: " + cookie.toLatin1() + "\r\n\r\n"));
}
