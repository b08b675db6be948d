// File lists from and for the remote side, and remote names made safe for the local disk.
#include <gtest/gtest.h>

#include <QtEndian>

#include "principal/rdp/session/clipboard/clipfilelist.h"
#include "principal/rdp/session/clipboard/cliplimits.h"
#include "testapp.h"

namespace {

TEST(ClipFileList, RoundTripKeepsNamesFoldersHugeSizesAndTimes) {
  std::vector<TClipFile> files(3);
  files[0].path = QStringLiteral("Relatório São Paulo ✓.txt");
  files[0].size = 12;
  files[0].sizeKnown = true;
  files[0].lastWrite = QDateTime(QDate(2024, 5, 17), QTime(10, 30, 15), Qt::UTC);
  files[1].path = QStringLiteral("Pasta");
  files[1].directory = true;
  files[1].sizeKnown = true;
  files[2].path = QStringLiteral("Pasta\\imagem de disco.iso");
  files[2].size = 5ull * 1024 * 1024 * 1024 + 7;  // past 4 GiB: both halves of the size count
  files[2].sizeKnown = true;

  const QByteArray data = BuildFileList(files);
  ASSERT_EQ(data.size(), 4 + 3 * 592);
  const TFileListResult back = ParseFileList(data);
  ASSERT_EQ(back.error, FileListError::None);
  ASSERT_EQ(back.files.size(), 3u);
  for (size_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(back.files[i].path, files[i].path);
    EXPECT_EQ(back.files[i].directory, files[i].directory);
    EXPECT_EQ(back.files[i].size, files[i].size);
    EXPECT_TRUE(back.files[i].sizeKnown);
  }
  EXPECT_EQ(back.files[0].lastWrite, files[0].lastWrite);
  EXPECT_FALSE(back.files[1].lastWrite.isValid());
}

TEST(ClipFileList, HostileListsAreRefusedWhole) {
  std::vector<TClipFile> one(1);
  one[0].path = QStringLiteral("a.txt");
  const QByteArray good = BuildFileList(one);

  QByteArray tooMany = good;
  qToLittleEndian<quint32>(kMaxClipFiles + 1, tooMany.data());
  QByteArray countPastData = good;
  qToLittleEndian<quint32>(2, countPastData.data());
  QByteArray hugeCount = good;
  qToLittleEndian<quint32>(0xFFFFFFFFu, hugeCount.data());
  QByteArray unterminated = good;
  for (int u = 0; u < 260; ++u)
    qToLittleEndian<char16_t>(u'x', unterminated.data() + 4 + 72 + 2 * u);
  QByteArray emptyName = good;
  qToLittleEndian<char16_t>(0, emptyName.data() + 4 + 72);

  struct Case {
    const char* what;
    QByteArray data;
    FileListError error;
  };
  const Case cases[] = {
      {"nothing", QByteArray(), FileListError::Short},
      {"three bytes", QByteArray(3, '\0'), FileListError::Short},
      {"count over the bound", tooMany, FileListError::TooMany},
      {"count past the data", countPastData, FileListError::Length},
      {"count of four thousand million", hugeCount, FileListError::TooMany},
      {"cut short", good.left(good.size() - 1), FileListError::Length},
      {"name without its NUL", unterminated, FileListError::Name},
      {"empty name", emptyName, FileListError::Name},
  };
  for (const Case& c : cases) {
    const TFileListResult result = ParseFileList(c.data);
    EXPECT_EQ(result.error, c.error) << c.what;
    EXPECT_TRUE(result.files.empty()) << c.what;
  }
  EXPECT_EQ(ParseFileList(QByteArray(4, '\0')).error, FileListError::None);  // an empty list
}

TEST(ClipFileList, RemoteNamesStayInsideOurFolder) {
  struct Case {
    QString remote;
    QStringList local;
  };
  const Case cases[] = {
      {QStringLiteral("../../.bashrc"), {QStringLiteral(".._.._.bashrc")}},
      {QStringLiteral("/etc/passwd"), {QStringLiteral("_etc_passwd")}},
      {QStringLiteral("a/b"), {QStringLiteral("a_b")}},
      {QStringLiteral("..\\..\\x"),
       {QStringLiteral("_"), QStringLiteral("_"), QStringLiteral("x")}},
      {QStringLiteral("\\root"), {QStringLiteral("_"), QStringLiteral("root")}},
      {QStringLiteral("C:\\Windows"), {QStringLiteral("C:"), QStringLiteral("Windows")}},
      {QStringLiteral("."), {QStringLiteral("_")}},
      {QStringLiteral("Pasta\\nota.txt"), {QStringLiteral("Pasta"), QStringLiteral("nota.txt")}},
      {QStringLiteral("a\nb\x01"), {QStringLiteral("a_b_")}},
      {QStringLiteral("Olá ✓.txt"), {QStringLiteral("Olá ✓.txt")}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SafeLocalParts(c.remote), c.local) << c.remote.toStdString();
  }
  // A name longer than the file system allows is cut, whole characters only, keeping its type.
  const QStringList cut = SafeLocalParts(QString(200, u'ã') + QStringLiteral(".pdf"));
  ASSERT_EQ(cut.size(), 1);
  EXPECT_LE(cut[0].toUtf8().size(), kMaxLocalNameBytes);
  EXPECT_TRUE(cut[0].endsWith(QStringLiteral("ãã.pdf")));
}

}  // namespace
