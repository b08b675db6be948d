// A server that goes silent or fails in the middle of a transfer.
#include "rdpclipboardtest.h"

// A server that never answers: the paste gives up within the bound, and the window is never
// frozen meanwhile (its event loop keeps running).
TEST_F(RdpClipboardTest, SilentServerNeverFreezesTheWindow) {
  peer_.answerData = nullptr;  // never answers
  for (const auto& formats :
       {std::vector<TClipFormat>{{kCfUnicodeText, {}}, {kCfText, {}}},
        std::vector<TClipFormat>{{kRemoteFileListId, QStringLiteral("FileGroupDescriptorW")}}}) {
    ServerCopies(formats);
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
    ticker.start(20);
    QElapsedTimer clock;
    clock.start();
    const QMimeData* mime = QGuiApplication::clipboard()->mimeData();
    const bool empty =
        formats[0].id == kCfUnicodeText ? mime->text().isEmpty() : mime->urls().isEmpty();
    const qint64 waited = clock.elapsed();
    ticker.stop();
    EXPECT_TRUE(empty);
    // Every format tried in one bound of 2 s, not 2 s each; a generous margin for a busy machine.
    EXPECT_LT(waited, 3500) << "ms";
    EXPECT_GE(waited, 1500) << "ms";
    EXPECT_GT(ticks, 20) << "the event loop stood still while waiting";
    QGuiApplication::clipboard()->clear();
  }
  // The next copy of a server that answers again is pasted as usual.
  ExpectTheNextTextPaste();
}

// Faults in the middle of a transfer, through the channel glue: each ends with nothing behind,
// a message where the person must know, and a clipboard that goes on working.
TEST_F(RdpClipboardTest, FaultsInTheMiddleOfATransfer) {
  const QString pastes = cache_.path() + QStringLiteral("/zentra/clipboard");
  {
    SCOPED_TRACE("the server gone while a 300 MiB file is pasted from it");
    RemoteFile large;
    large.entry.path = QStringLiteral("grande.bin");
    large.entry.size = 300ull * 1024 * 1024;
    large.entry.sizeKnown = true;
    large.pattern = true;
    ServerHoldsFiles({File(QStringLiteral("antes.txt"), "completo"), large});
    testing_support::ClearBoxes();
    bool gone = false;
    const auto connection = QObject::connect(clipboard_.get(), &TRdpClipboard::TransferProgress,
                                             [&](quint64 done, quint64) {
                                               // What the session does when the connection drops:
                                               // the channel goes away, on the session thread.
                                               if (!gone && done > 100ull * 1024 * 1024) {
                                                 gone = true;
                                                 peer_.RunOnPeer([this] { clipboard_->Detach(); });
                                               }
                                             });
    ServerCopies({{kRemoteFileListId, QStringLiteral("FileGroupDescriptorW")}});
    EXPECT_TRUE(QGuiApplication::clipboard()->mimeData()->urls().isEmpty());
    QObject::disconnect(connection);
    EXPECT_TRUE(gone);
    EXPECT_EQ(FilesUnder(cache_.path()), QStringList());
    ASSERT_TRUE(WaitFor([] { return !testing_support::ShownBoxes().empty(); }));
    EXPECT_TRUE(testing_support::ShownBoxes().back().text.startsWith(
        QStringLiteral("A cópia dos arquivos do Zentra foi interrompida")));
    QGuiApplication::clipboard()->clear();
    // The connection that comes back brings a new channel, and the clipboard works through it.
    clipboard_ = std::make_unique<TRdpClipboard>();
    // Attached from the session's thread, as FreeRDP does, once the old channel's work is done.
    peer_.RunOnPeer([this] { clipboard_->Attach(peer_.Context()); });
    peer_.SendMonitorReady();
    ExpectTheNextTextPaste();
    QGuiApplication::clipboard()->clear();
  }

  {
    SCOPED_TRACE("local files removed, replaced or cut short while the server reads them");
    QTemporaryDir local;
    const QDir dir(local.path());
    const QByteArray first = RandomBytes(3 * 1024 * 1024);
    const QByteArray other = RandomBytes(512 * 1024 + 1);
    Write(dir.filePath(QStringLiteral("encurtado.bin")), first);
    Write(dir.filePath(QStringLiteral("trocado.bin")), "original");
    Write(dir.filePath(QStringLiteral("apagado.bin")), "apagado");
    Write(dir.filePath(QStringLiteral("intacto.bin")), other);
    auto* mime = new QMimeData;
    QList<QUrl> urls;
    for (const char* name : {"encurtado.bin", "trocado.bin", "apagado.bin", "intacto.bin"})
      urls << QUrl::fromLocalFile(dir.filePath(QString::fromLatin1(name)));
    mime->setUrls(urls);
    const size_t lists = FormatLists();
    QGuiApplication::clipboard()->setMimeData(mime);
    ASSERT_TRUE(WaitFor([&] { return FormatLists() == lists + 1; }));
    ASSERT_TRUE(ServerReads(kOurFileListFormat).has_value());

    auto a = ServerReadsFile(0, FILECONTENTS_RANGE, 0, 1024 * 1024);
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(a.data, first.left(1024 * 1024));
    ASSERT_TRUE(QFile::resize(dir.filePath(QStringLiteral("encurtado.bin")), 1536 * 1024));
    a = ServerReadsFile(0, FILECONTENTS_RANGE, 1024 * 1024, 1024 * 1024);
    EXPECT_FALSE(a.ok) << "a file cut short reads as refused, not as a short file";

    // Made again under the same name: another file, never served as the listed one.
    ASSERT_TRUE(QFile::remove(dir.filePath(QStringLiteral("trocado.bin"))));
    Write(dir.filePath(QStringLiteral("trocado.bin")), "impostor");
    EXPECT_FALSE(ServerReadsFile(1, FILECONTENTS_SIZE, 0, 8).ok);
    EXPECT_FALSE(ServerReadsFile(1, FILECONTENTS_RANGE, 0, 64).ok);
    // Replaced by a link to another file.
    ASSERT_TRUE(QFile::remove(dir.filePath(QStringLiteral("apagado.bin"))));
    ASSERT_EQ(::symlink(QFile::encodeName(dir.filePath(QStringLiteral("intacto.bin"))).constData(),
                        QFile::encodeName(dir.filePath(QStringLiteral("apagado.bin"))).constData()),
              0);
    EXPECT_FALSE(ServerReadsFile(2, FILECONTENTS_RANGE, 0, 64).ok);

    // The rest is served as before.
    QByteArray read;
    while (read.size() < other.size()) {
      const auto chunk = ServerReadsFile(3, FILECONTENTS_RANGE, read.size(), 200 * 1024);
      ASSERT_TRUE(chunk.ok);
      ASSERT_FALSE(chunk.data.isEmpty());
      read += chunk.data;
    }
    EXPECT_EQ(read, other);
    QGuiApplication::clipboard()->clear();
  }

  {
    SCOPED_TRACE("the paste folder's disk full in the middle of a paste");
    if (::geteuid() != 0) GTEST_SKIP() << "a private mount namespace with a small disk needs root";
    // This thread (and the paste's worker, which it starts) get a mount namespace of their own,
    // with a 160 MiB memory disk as the cache folder.
    ASSERT_EQ(::unshare(CLONE_NEWNS), 0) << std::strerror(errno);
    ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    QTemporaryDir small;
    ASSERT_TRUE(small.isValid());
    const QByteArray smallPath = QFile::encodeName(small.path());
    ASSERT_EQ(::mount("tmpfs", smallPath.constData(), "tmpfs", 0, "size=160m,mode=0700"), 0);
    qputenv("XDG_CACHE_HOME", smallPath);
    RemoteFile large;
    large.entry.path = QStringLiteral("grande.bin");
    large.entry.size = 80ull * 1024 * 1024;  // fits, with room to spare, when the paste starts
    large.entry.sizeKnown = true;
    large.pattern = true;
    ServerHoldsFiles({large});
    testing_support::ClearBoxes();
    bool filled = false;
    const QString filler = small.filePath(QStringLiteral("outro-programa.bin"));
    const auto connection = QObject::connect(
        clipboard_.get(), &TRdpClipboard::TransferProgress, [&](quint64 done, quint64) {
          if (filled || done < 20ull * 1024 * 1024) return;
          filled = true;
          // Another program takes the rest of the disk.
          QFile file(filler);
          if (!file.open(QIODevice::WriteOnly)) return;
          const QByteArray block(1024 * 1024, 'x');
          while (file.write(block) == block.size() && file.flush()) {
          }
        });
    ServerCopies({{kRemoteFileListId, QStringLiteral("FileGroupDescriptorW")}});
    EXPECT_TRUE(QGuiApplication::clipboard()->mimeData()->urls().isEmpty());
    QObject::disconnect(connection);
    EXPECT_TRUE(filled);
    QFile::remove(filler);
    EXPECT_EQ(FilesUnder(small.path()), QStringList());
    ASSERT_TRUE(WaitFor([] { return !testing_support::ShownBoxes().empty(); }));
    EXPECT_TRUE(testing_support::ShownBoxes().back().text.startsWith(
        QStringLiteral("Não foi possível gravar os arquivos colados")))
        << testing_support::ShownBoxes().back().text.toStdString();
    QGuiApplication::clipboard()->clear();
    ExpectTheNextTextPaste();
    QGuiApplication::clipboard()->clear();
    qputenv("XDG_CACHE_HOME", QFile::encodeName(cache_.path()));
    ::umount2(smallPath.constData(), MNT_DETACH);
  }
  (void)pastes;
}
