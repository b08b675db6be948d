// The pastes of remote files that must not go ahead, or must go ahead only once.
#include "rdpclipboardtest.h"

TEST_F(RdpClipboardTest, PasteLimits) {
  const QString pastes = cache_.path() + QStringLiteral("/zentra/clipboard");
  auto pasteFolders = [&] {
    return QDir(pastes).entryList({QStringLiteral("paste-*")}, QDir::Dirs | QDir::Hidden);
  };
  auto fileRequests = [&] {
    auto lock = peer_.Lock();
    return peer_.fileRequests;
  };

  {
    SCOPED_TRACE("a list larger than the free space of the paste folder's disk");
    struct statvfs fs {};
    ASSERT_EQ(::statvfs(QFile::encodeName(cache_.path()).constData(), &fs), 0);
    RemoteFile huge;
    huge.entry.path = QStringLiteral("enorme.bin");
    huge.entry.size = static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize;  // all there is
    huge.entry.sizeKnown = true;
    huge.pattern = true;
    ServerHoldsFiles({File(QStringLiteral("pequeno.txt"), "cabe"), huge});
    testing_support::ClearBoxes();
    const int before = fileRequests();
    ServerCopies({{kRemoteFileListId, QStringLiteral("FileGroupDescriptorW")}});
    EXPECT_TRUE(QGuiApplication::clipboard()->mimeData()->urls().isEmpty());
    EXPECT_EQ(fileRequests(), before) << "nothing is fetched of a paste that cannot fit";
    EXPECT_EQ(FilesUnder(cache_.path()), QStringList());
    EXPECT_EQ(pasteFolders(), QStringList());
    ASSERT_TRUE(WaitFor([] { return !testing_support::ShownBoxes().empty(); }));
    EXPECT_TRUE(testing_support::ShownBoxes().back().text.startsWith(
        QStringLiteral("Não há espaço livre suficiente no disco")))
        << testing_support::ShownBoxes().back().text.toStdString();
    QGuiApplication::clipboard()->clear();
  }

  {
    SCOPED_TRACE("two programs asking for the same files while they are fetched");
    const QByteArray bytes = RandomBytes(6 * 1024 * 1024 + 11);
    ServerHoldsFiles({File(QStringLiteral("relatorio.pdf"), bytes)});
    std::atomic<int> listRequests = 0;
    const auto answerList = peer_.answerData;
    peer_.answerData = [&, answerList](std::uint32_t id) {
      ++listRequests;
      return answerList(id);
    };
    QByteArray second;
    bool asked = false;
    const auto connection = QObject::connect(
        clipboard_.get(), &TRdpClipboard::TransferProgress, [&](quint64 done, quint64) {
          if (asked || done == 0) return;
          asked = true;
          // The file manager's own type, asked from inside the first paste.
          second = QGuiApplication::clipboard()->mimeData()->data(kMimeGnomeFiles);
        });
    const int before = fileRequests();
    ServerCopies({{kRemoteFileListId, QStringLiteral("FileGroupDescriptorW")}});
    const QList<QUrl> urls = QGuiApplication::clipboard()->mimeData()->urls();
    QObject::disconnect(connection);
    ASSERT_TRUE(asked);
    ASSERT_EQ(urls.size(), 1);
    EXPECT_EQ(second, "copy\n" + urls[0].toEncoded());
    EXPECT_EQ(listRequests, 1);
    EXPECT_EQ(fileRequests() - before, 7) << "one request per megabyte, once";
    EXPECT_EQ(ReadAll(urls[0].toLocalFile()), bytes);
    EXPECT_EQ(pasteFolders().size(), 1);
    QDir(pastes).removeRecursively();
    QGuiApplication::clipboard()->clear();
  }

  {
    SCOPED_TRACE("two programs asking for the same text at once");
    std::atomic<int> textRequests = 0;
    peer_.answerData = [&](std::uint32_t id) -> std::optional<QByteArray> {
      ++textRequests;
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      if (id == kCfUnicodeText) return Utf16Z(kText);
      return std::nullopt;
    };
    ServerCopies({{kCfUnicodeText, {}}});
    QString second;
    QTimer::singleShot(50, [&] { second = QGuiApplication::clipboard()->text(); });
    EXPECT_EQ(QGuiApplication::clipboard()->text(), kText);
    ASSERT_TRUE(WaitFor([&] { return !second.isEmpty(); }));
    EXPECT_EQ(second, kText);
    EXPECT_EQ(textRequests, 1);
    QGuiApplication::clipboard()->clear();
  }

  {
    SCOPED_TRACE("symbolic links inside a copied folder");
    QTemporaryDir local;
    const QDir dir(local.path());
    ASSERT_TRUE(dir.mkpath(QStringLiteral("Pasta/sub")));
    ASSERT_TRUE(dir.mkpath(QStringLiteral("fora")));
    Write(dir.filePath(QStringLiteral("Pasta/dentro.txt")), "dentro");
    Write(dir.filePath(QStringLiteral("segredo")), "SEGREDO");
    Write(dir.filePath(QStringLiteral("fora/chave")), "CHAVE");
    const struct {
      const char* link;
      const char* target;
    } links[] = {
        {"Pasta/atalho", "dentro.txt"},        // stays inside: served as that file
        {"Pasta/sub/acima", "../dentro.txt"},  // up, but still inside
        {"Pasta/segredo", "../segredo"},       // out of the folder
        {"Pasta/absoluto", "/etc/hostname"},   // anywhere
        {"Pasta/pasta-fora", "../fora"},       // a folder outside
        {"Pasta/sub/laco", ".."},              // a loop
        {"Pasta/quebrado", "nao-existe"},      // nothing
    };
    for (const auto& l : links)
      ASSERT_EQ(::symlink(l.target,
                          QFile::encodeName(dir.filePath(QString::fromLatin1(l.link))).constData()),
                0)
          << l.link;
    auto* mime = new QMimeData;
    mime->setUrls({QUrl::fromLocalFile(dir.filePath(QStringLiteral("Pasta")))});
    const size_t lists = FormatLists();
    QGuiApplication::clipboard()->setMimeData(mime);
    ASSERT_TRUE(WaitFor([&] { return FormatLists() == lists + 1; }));
    const auto listData = ServerReads(kOurFileListFormat);
    ASSERT_TRUE(listData.has_value());
    const TFileListResult list = ParseFileList(*listData);
    ASSERT_EQ(list.error, FileListError::None);
    std::map<QString, QByteArray> served;
    for (std::uint32_t i = 0; i < list.files.size(); ++i) {
      if (list.files[i].directory) {
        served[list.files[i].path] = "<folder>";
        continue;
      }
      const auto chunk = ServerReadsFile(i, FILECONTENTS_RANGE, 0, 65536);
      served[list.files[i].path] = chunk.ok ? chunk.data : QByteArray("<refused>");
    }
    const std::map<QString, QByteArray> expected = {
        {QStringLiteral("Pasta"), "<folder>"},
        {QStringLiteral("Pasta\\sub"), "<folder>"},
        {QStringLiteral("Pasta\\dentro.txt"), "dentro"},
        {QStringLiteral("Pasta\\atalho"), "dentro"},
        {QStringLiteral("Pasta\\sub\\acima"), "dentro"}};
    EXPECT_EQ(served, expected);

    // What the server may read ends when the local clipboard changes.
    QGuiApplication::clipboard()->setText(QStringLiteral("outra coisa"));
    ASSERT_TRUE(WaitFor([&] { return FormatLists() == lists + 2; }));
    EXPECT_FALSE(ServerReadsFile(1, FILECONTENTS_RANGE, 0, 65536).ok);
    EXPECT_FALSE(ServerReadsFile(1, FILECONTENTS_SIZE, 0, 8).ok);
    QGuiApplication::clipboard()->clear();
  }
}
