// Local files and folders copied here, read by the server; the file managers' own types.
#include "rdpclipboardtest.h"

TEST_F(RdpClipboardTest, LocalFilesAndFolderAreReadBackByteForByte) {
  QTemporaryDir local;
  const QDir dir(local.path());
  Write(dir.filePath(QStringLiteral("um.txt")), "primeiro\n");
  // Larger than one served chunk and not a multiple of the server's reads.
  const QByteArray big = RandomBytes(3 * 1024 * 1024 + 5);
  Write(dir.filePath(QStringLiteral("dois.bin")), big);
  ASSERT_TRUE(dir.mkpath(QStringLiteral("Pasta/vazia")));
  Write(dir.filePath(QStringLiteral("Pasta/três ✓.txt")), "terceiro");

  auto* mime = new QMimeData;
  mime->setUrls({QUrl::fromLocalFile(dir.filePath(QStringLiteral("um.txt"))),
                 QUrl::fromLocalFile(dir.filePath(QStringLiteral("dois.bin"))),
                 QUrl::fromLocalFile(dir.filePath(QStringLiteral("Pasta")))});
  QGuiApplication::clipboard()->setMimeData(mime);
  ASSERT_TRUE(WaitFor([&] { return FormatLists() == 2; }));
  const auto formats = LastFormatList();
  ASSERT_NE(std::find(formats.begin(), formats.end(),
                      TClipFormat{kOurFileListFormat, QStringLiteral("FileGroupDescriptorW")}),
            formats.end());

  const auto listData = ServerReads(kOurFileListFormat);
  ASSERT_TRUE(listData.has_value());
  const TFileListResult list = ParseFileList(*listData);
  ASSERT_EQ(list.error, FileListError::None);
  std::map<QString, QByteArray> expected = {
      {QStringLiteral("um.txt"), "primeiro\n"},
      {QStringLiteral("dois.bin"), big},
      {QStringLiteral("Pasta\\três ✓.txt"), "terceiro"},
  };
  std::map<QString, bool> seen;
  for (std::uint32_t i = 0; i < list.files.size(); ++i) {
    const TClipFile& f = list.files[i];
    seen[f.path] = f.directory;
    if (f.directory) continue;
    const auto size = ServerReadsFile(i, FILECONTENTS_SIZE, 0, 8);
    ASSERT_TRUE(size.ok);
    ASSERT_EQ(size.data.size(), 8);
    const quint64 total = qFromLittleEndian<quint64>(size.data.constData());
    EXPECT_EQ(total, f.size);
    QByteArray contents;
    while (static_cast<quint64>(contents.size()) < total) {
      const auto chunk = ServerReadsFile(i, FILECONTENTS_RANGE, contents.size(), 65536);
      ASSERT_TRUE(chunk.ok);
      ASSERT_FALSE(chunk.data.isEmpty());
      contents += chunk.data;
    }
    ASSERT_TRUE(expected.count(f.path)) << f.path.toStdString();
    EXPECT_EQ(contents, expected[f.path]) << f.path.toStdString();
  }
  const std::map<QString, bool> listed = {{QStringLiteral("um.txt"), false},
                                          {QStringLiteral("dois.bin"), false},
                                          {QStringLiteral("Pasta"), true},
                                          {QStringLiteral("Pasta\\vazia"), true},
                                          {QStringLiteral("Pasta\\três ✓.txt"), false}};
  EXPECT_EQ(seen, listed);
  // A request past the list, or for a folder's contents, is refused.
  EXPECT_FALSE(ServerReadsFile(99, FILECONTENTS_SIZE, 0, 8).ok);
}

TEST(LocalPathsFromMime, FileManagersOwnTypesAreRead) {
  QTemporaryDir dir;
  const QString a = dir.filePath(QStringLiteral("a b.txt"));
  const QString b = dir.filePath(QStringLiteral("ç.txt"));
  Write(a, "a");
  Write(b, "b");
  const QByteArray urls =
      QUrl::fromLocalFile(a).toEncoded() + '\n' + QUrl::fromLocalFile(b).toEncoded();
  struct Case {
    const char* what;
    QString type;
    QByteArray data;
    QStringList paths;
  };
  const Case cases[] = {
      {"uri list", kMimeUriList, urls + "\r\n", {a, b}},
      {"gnome copy", kMimeGnomeFiles, "copy\n" + urls, {a, b}},
      {"gnome cut", kMimeGnomeFiles, "cut\n" + urls + '\n', {a, b}},
      {"gone files and remote URLs are left out",
       kMimeUriList,
       "file:///nonexistent/x\r\nhttp://example.com/y\r\n" + QUrl::fromLocalFile(a).toEncoded(),
       {a}},
  };
  for (const Case& c : cases) {
    QMimeData mime;
    mime.setData(c.type, c.data);
    if (c.type == kMimeGnomeFiles) mime.setData(kMimeKdeCut, "1");
    EXPECT_EQ(LocalPathsFromMime(mime), c.paths) << c.what;
  }
}
