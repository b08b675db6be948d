// The transfer against a real web server: nginx from Debian on loopback.
#include <gtest/gtest.h>

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <vector>

#include "nginxserver.h"
#include "service/http/httptransfer.h"

TEST(HttpNginx, FileDownloadHasItsSizeFromTheFirstBlockAndExactBytes) {
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
  for (qint64 size : sizesSeen) EXPECT_EQ(size, 100000);  // final size from the first block
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
