// The request as it reaches the peer: its bytes, and the cookies sent back.
#include <gtest/gtest.h>

#include "transfercases.h"

namespace {

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
