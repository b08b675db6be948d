// Remote files pasted here: safe names in the private folder, a large one streamed, nothing
// left by a failed or cancelled paste.
#include "rdpclipboardtest.h"

TEST_F(RdpClipboardTest, RemoteFilesArePastedIntoThePrivateFolderUnderSafeNames) {
  const QByteArray big = RandomBytes(2 * 1024 * 1024 + 300);
  RemoteFile unknownSize = File(QStringLiteral("Pasta\\sem tamanho.txt"), "asked for");
  unknownSize.entry.sizeKnown = false;
  ServerHoldsFiles({File(QStringLiteral("um ✓.txt"), "primeiro"), Folder(QStringLiteral("Pasta")),
                    File(QStringLiteral("Pasta\\dois.bin"), big), unknownSize,
                    File(QStringLiteral("../../.bashrc"), "rm -rf ~"),
                    File(QStringLiteral("/etc/passwd"), "root::0:0"),
                    File(QStringLiteral("a/b"), "ab"), File(QStringLiteral("vazio"), "")});
  ServerCopies({{kRemoteFileListId, QStringLiteral("FileGroupDescriptorW")}});
  // Pastes of yesterday have long been copied on and are cleared away; today's stay.
  const QString pastes = cache_.path() + QStringLiteral("/zentra/clipboard");
  ASSERT_TRUE(QDir().mkpath(pastes + QStringLiteral("/paste-old")));
  ASSERT_TRUE(QDir().mkpath(pastes + QStringLiteral("/paste-recent")));
  Write(pastes + QStringLiteral("/paste-old/x"), "x");
  Write(pastes + QStringLiteral("/paste-recent/y"), "y");
  const struct timeval twoDaysAgo[2] = {{time(nullptr) - 2 * 86400, 0},
                                        {time(nullptr) - 2 * 86400, 0}};
  ASSERT_EQ(
      ::utimes(QFile::encodeName(pastes + QStringLiteral("/paste-old")).constData(), twoDaysAgo),
      0);

  const QList<QUrl> urls = QGuiApplication::clipboard()->mimeData()->urls();
  ASSERT_EQ(urls.size(), 6);
  EXPECT_FALSE(QFileInfo::exists(pastes + QStringLiteral("/paste-old")));
  EXPECT_TRUE(QFileInfo::exists(pastes + QStringLiteral("/paste-recent/y")));
  QDir(pastes + QStringLiteral("/paste-recent")).removeRecursively();
  const QString folder = QFileInfo(urls[0].toLocalFile()).path();
  EXPECT_TRUE(folder.startsWith(cache_.path() + QStringLiteral("/zentra/clipboard/paste-")));
  for (const QString& level : {cache_.path() + QStringLiteral("/zentra"),
                               cache_.path() + QStringLiteral("/zentra/clipboard"), folder}) {
    EXPECT_EQ(QFileInfo(level).permissions() & 0x0077, 0) << level.toStdString();
    EXPECT_EQ(QFile::permissions(level) &
                  (QFileDevice::ReadGroup | QFileDevice::ReadOther | QFileDevice::ExeOther),
              0);
  }
  QStringList names;
  for (const QUrl& url : urls) names << QFileInfo(url.toLocalFile()).fileName();
  EXPECT_EQ(names, (QStringList{QStringLiteral("um ✓.txt"), QStringLiteral("Pasta"),
                                QStringLiteral(".._.._.bashrc"), QStringLiteral("_etc_passwd"),
                                QStringLiteral("a_b"), QStringLiteral("vazio")}));
  const QDir paste(folder);
  EXPECT_EQ(ReadAll(paste.filePath(QStringLiteral("um ✓.txt"))), "primeiro");
  EXPECT_EQ(ReadAll(paste.filePath(QStringLiteral("Pasta/dois.bin"))), big);
  EXPECT_EQ(ReadAll(paste.filePath(QStringLiteral("Pasta/sem tamanho.txt"))), "asked for");
  EXPECT_EQ(ReadAll(paste.filePath(QStringLiteral(".._.._.bashrc"))), "rm -rf ~");
  EXPECT_EQ(ReadAll(paste.filePath(QStringLiteral("_etc_passwd"))), "root::0:0");
  EXPECT_EQ(ReadAll(paste.filePath(QStringLiteral("vazio"))), "");
  // Everything landed inside the paste folder, nothing beside it.
  EXPECT_EQ(FilesUnder(cache_.path()).size(), 7);

  // The file manager's own type names the same files; nothing is fetched twice.
  int requests = 0;
  {
    auto lock = peer_.Lock();
    requests = peer_.fileRequests;
  }
  const QByteArray gnome = QGuiApplication::clipboard()->mimeData()->data(kMimeGnomeFiles);
  EXPECT_TRUE(gnome.startsWith("copy\nfile://"));
  EXPECT_EQ(gnome.count('\n'), 6);
  auto lock = peer_.Lock();
  EXPECT_EQ(peer_.fileRequests, requests);
}

TEST_F(RdpClipboardTest, LargeRemoteFileIsStreamedWithProgressAndWithoutMemoryGrowth) {
  constexpr std::uint64_t kSize = 1024ull * 1024 * 1024;
  RemoteFile large;
  large.entry.path = QStringLiteral("grande.bin");
  large.entry.size = kSize;
  large.entry.sizeKnown = true;
  large.pattern = true;
  ServerHoldsFiles({large});
  ServerCopies({{kRemoteFileListId, QStringLiteral("FileGroupDescriptorW")}});

  std::vector<std::pair<quint64, quint64>> progress;
  QObject::connect(
      clipboard_.get(), &TRdpClipboard::TransferProgress,
      [&progress](quint64 done, quint64 total) { progress.emplace_back(done, total); });
  const qint64 peakBefore = PeakResidentKiB();
  const QList<QUrl> urls = QGuiApplication::clipboard()->mimeData()->urls();
  const qint64 peakAfter = PeakResidentKiB();
  ASSERT_EQ(urls.size(), 1);
#if !defined(__SANITIZE_ADDRESS__)
  // (AddressSanitizer keeps freed memory aside on purpose, so the figure means nothing there.)
  EXPECT_LT(peakAfter - peakBefore, 64 * 1024) << "KiB of peak growth";
#else
  (void)peakBefore;
  (void)peakAfter;
#endif
  ASSERT_GT(progress.size(), 10u);
  EXPECT_EQ(progress.back(), std::make_pair(quint64{kSize}, quint64{kSize}));

  QFile file(urls[0].toLocalFile());
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  ASSERT_EQ(static_cast<std::uint64_t>(file.size()), kSize);
  QByteArray expected(4 * 1024 * 1024, Qt::Uninitialized);
  for (std::uint64_t offset = 0; offset < kSize; offset += expected.size()) {
    FillPattern(expected.data(), offset, static_cast<std::uint32_t>(expected.size()));
    ASSERT_EQ(file.read(expected.size()), expected) << "at " << offset;
  }
  file.close();
  file.remove();
}

TEST_F(RdpClipboardTest, FailedOrCancelledPasteLeavesNoFile) {
  struct Case {
    const char* what;
    bool cancel;
    std::optional<std::uint64_t> failAt;
    bool hostileList;
    bool shortServer;
  };
  const Case cases[] = {
      {"cancelled halfway", true, std::nullopt, false, false},
      {"server refuses a chunk", false, 5ull * 1024 * 1024, false, false},
      {"server stops short of the size", false, std::nullopt, false, true},
      {"file list past its own length", false, std::nullopt, true, false},
  };
  for (const Case& c : cases) {
    RemoteFile done = File(QStringLiteral("pronto.txt"), "finished before the fault");
    RemoteFile large;
    large.entry.path = QStringLiteral("grande.bin");
    large.entry.size = 40ull * 1024 * 1024;
    large.entry.sizeKnown = true;
    large.pattern = true;
    if (c.shortServer) large.entry.size += 1024 * 1024;  // the list claims more than is served
    ServerHoldsFiles({done, large}, c.failAt);
    remoteFiles_[1].entry.size = 40ull * 1024 * 1024;
    if (c.hostileList) {
      peer_.answerData = [](std::uint32_t) -> std::optional<QByteArray> {
        QByteArray list = BuildFileList({TClipFile{QStringLiteral("x"), false, 1, true, {}}});
        qToLittleEndian<quint32>(2, list.data());
        return list;
      };
    }
    const auto connection = QObject::connect(clipboard_.get(), &TRdpClipboard::TransferProgress,
                                             [&](quint64 doneBytes, quint64) {
                                               if (c.cancel && doneBytes > 8 * 1024 * 1024)
                                                 clipboard_->CancelTransfer();
                                             });
    ServerCopies({{kRemoteFileListId, QStringLiteral("FileGroupDescriptorW")}});
    EXPECT_TRUE(QGuiApplication::clipboard()->mimeData()->urls().isEmpty()) << c.what;
    EXPECT_EQ(FilesUnder(cache_.path()), QStringList()) << c.what;
    QObject::disconnect(connection);
    QGuiApplication::clipboard()->clear();
  }
}
