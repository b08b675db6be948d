// The transfer against a real web server: nginx from Debian on loopback.
#include <gtest/gtest.h>

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QThread>
#include <chrono>
#include <vector>

#include "nginxserver.h"
#include "service/http/httptransfer.h"

TEST(HttpNginx, FileDownloadGrowsWithWhatArrivesAndHasExactBytes) {
  if (!TNginxServer::Available()) GTEST_SKIP() << "nginx-light is not installed";
  TNginxServer nginx;
  QByteArray content(100000, Qt::Uninitialized);
  QRandomGenerator generator(3);
  for (char& byte : content) byte = static_cast<char>(generator.bounded(256));
  {
    QFile served(nginx.Root() + u"/pdf.exe"_qs);
    ASSERT_TRUE(served.open(QIODevice::WriteOnly));
    served.write(content);
  }
  ASSERT_TRUE(nginx.Start()) << nginx.Log().toStdString();

  const QString path = nginx.Root() + u"/../downloaded.exe"_qs;
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  THttpTransfer http;
  http.Accept = QString::fromLatin1(kAcceptProgram);
  qint64 begin = -1;
  std::vector<qint64> counts;
  std::vector<qint64> sizesSeen;
  int ends = 0;
  http.OnWorkBegin = [&](THttpTransfer* sender, TWorkMode mode, qint64 max) {
    EXPECT_EQ(sender, &http);
    EXPECT_EQ(mode, wmRead);
    begin = max;
  };
  http.OnWork = [&](THttpTransfer*, TWorkMode, qint64 count) {
    counts.push_back(count);
    sizesSeen.push_back(QFileInfo(path).size());
  };
  http.OnWorkEnd = [&](THttpTransfer*, TWorkMode) { ++ends; };
  http.Get(nginx.Url(u"/pdf.exe"_qs), file);
  file.close();

  EXPECT_EQ(begin, 100000);
  ASSERT_FALSE(counts.empty());
  EXPECT_TRUE(std::is_sorted(counts.begin(), counts.end()));
  EXPECT_EQ(counts.back(), 100000);
  for (size_t i = 1; i < counts.size(); ++i) EXPECT_LE(counts[i] - counts[i - 1], 32768);
  // The file never holds more than has arrived, so a server that lies about the length cannot
  // make it larger than what it sent.
  for (size_t i = 0; i < sizesSeen.size(); ++i) EXPECT_LE(sizesSeen[i], counts[i]);
  EXPECT_EQ(ends, 1);
  QFile written(path);
  ASSERT_TRUE(written.open(QIODevice::ReadOnly));
  EXPECT_TRUE(written.readAll() == content);

  // A missing file: the status line is the failure, the target gets nothing; the connection that
  // nginx keeps alive serves both calls.
  QByteArray target;
  QBuffer buffer(&target);
  buffer.open(QIODevice::WriteOnly);
  try {
    http.Get(nginx.Url(u"/atualiza.exe"_qs), buffer);
    ADD_FAILURE() << "no failure";
  } catch (const EHttpProtocolError& e) {
    EXPECT_EQ(e.Message(), u"HTTP/1.1 404 Not Found");
  }
  EXPECT_TRUE(target.isEmpty());
  EXPECT_TRUE(http.Connected());
}

namespace {

// Where nginx says each request arrived: its connection's serial number. The locations set how
// long nginx keeps a connection after the reply, and the cookies and the echo of the Cookie line.
const QString kConnectionDirectives = QStringLiteral(
    "    location = /conn { return 200 \"$connection\"; }\n"
    "    location = /close { keepalive_timeout 0; return 200 \"$connection\"; }\n"
    "    location = /short { keepalive_timeout 300ms; return 200 \"$connection\"; }\n"
    "    location = /echo { return 200 \"$http_cookie\"; }\n");

}  // namespace

TEST(HttpNginx, ConnectionsAreReusedOnlyWhileNginxKeepsThem) {
  if (!TNginxServer::Available()) GTEST_SKIP() << "nginx-light is not installed";
  TNginxServer nginx;
  ASSERT_TRUE(nginx.Start({}, kConnectionDirectives)) << nginx.Log().toStdString();
  THttpTransfer http;
  const auto get = [&](const char* path) { return http.Get(nginx.Url(QString::fromLatin1(path))); };

  const QString first = get("/conn");
  EXPECT_EQ(get("/conn"), first);  // kept
  // An answer like an HTTP/1.0 server's, "Connection: close": the next call connects anew.
  EXPECT_EQ(get("/close"), first);
  EXPECT_FALSE(http.Connected());
  const QString second = get("/conn");
  EXPECT_NE(second, first);
  // nginx ends the kept connection while we wait: the next call reconnects instead of failing.
  EXPECT_EQ(get("/short"), second);
  QThread::msleep(800);
  const QString third = get("/conn");
  EXPECT_NE(third, second);
}

TEST(HttpNginx, LongCookiesComeBackOnOneLineThatNginxAccepts) {
  if (!TNginxServer::Available()) GTEST_SKIP() << "nginx-light is not installed";
  // Three cookies of 1500 characters: far beyond the 1024 at which a line used to be folded,
  // which nginx refuses with 400.
  QString directives = kConnectionDirectives + u"    location = /set {\n"_qs;
  QStringList pairs;
  for (const char* name : {"a", "b", "c"}) {
    pairs << QString::fromLatin1(name) + u'=' + QString(1500, QChar::fromLatin1(name[0]));
    directives += u"      add_header Set-Cookie \""_qs + pairs.back() + u"; Path=/\";\n"_qs;
  }
  directives += u"      return 200 \"set\";\n    }\n"_qs;
  TNginxServer nginx;
  ASSERT_TRUE(nginx.Start({}, directives)) << nginx.Log().toStdString();
  THttpTransfer http;
  EXPECT_EQ(http.Get(nginx.Url(u"/set"_qs)), u"set");
  EXPECT_EQ(http.Get(nginx.Url(u"/echo"_qs)), pairs.join(u"; "_qs));
  EXPECT_EQ(http.Get(nginx.Url(u"/echo"_qs)), pairs.join(u"; "_qs));  // and again, on
}
