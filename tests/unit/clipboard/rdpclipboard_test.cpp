// The clipboard glue against a scripted clipboard peer: what a local program pastes from the
// remote side, what the remote side reads of a local copy, and files both ways.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <unistd.h>

#include <QClipboard>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QMimeData>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QtEndian>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <thread>

#include "fakecliprdrpeer.h"
#include "principal/rdp/session/clipboard/clipfilelist.h"
#include "principal/rdp/session/clipboard/clippicture.h"
#include "principal/rdp/session/clipboard/cliptext.h"
#include "principal/rdp/session/clipboard/localfiles.h"
#include "principal/rdp/session/clipboard/rdpclipboard.h"
#include "principal/rdp/session/clipboard/remotemimedata.h"
#include "testapp.h"

namespace {

using testing_support::WaitFor;

const QString kText = QStringLiteral("Olá, São Paulo ✓\nsegunda linha");

QByteArray Utf16Z(const QString& text) {
  QByteArray bytes(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
  return bytes + QByteArray(2, '\0');
}

QByteArray ReadAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

void Write(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  ASSERT_EQ(file.write(bytes), bytes.size());
}

QByteArray RandomBytes(qsizetype size) {
  QByteArray bytes(size, Qt::Uninitialized);
  QRandomGenerator generator(size);
  for (qsizetype i = 0; i < size; ++i) bytes[i] = static_cast<char>(generator.bounded(256));
  return bytes;
}

// The contents of a remote file too large to keep: every 8-byte word is its offset, scrambled.
void FillPattern(char* out, std::uint64_t offset, std::uint32_t size) {
  for (std::uint32_t i = 0; i < size; ++i) {
    const std::uint64_t at = offset + i;
    const std::uint64_t word = (at / 8) * 0x9E3779B97F4A7C15ull;
    out[i] = static_cast<char>(word >> (8 * (at % 8)));
  }
}

// Peak resident memory of this process, from the kernel's own count.
qint64 PeakResidentKiB() {
  QFile status(QStringLiteral("/proc/self/status"));
  if (!status.open(QIODevice::ReadOnly)) return -1;
  for (const QByteArray& line : status.readAll().split('\n'))
    if (line.startsWith("VmHWM:")) return line.mid(6).trimmed().split(' ').first().toLongLong();
  return -1;
}

// A remote file: its list entry and its bytes (or, for a large one, a size and the pattern).
struct RemoteFile {
  TClipFile entry;
  QByteArray bytes;
  bool pattern = false;
};

class RdpClipboardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(cache_.isValid());
    ::chmod(QFile::encodeName(cache_.path()).constData(), 0700);
    qputenv("XDG_CACHE_HOME", QFile::encodeName(cache_.path()));
    QGuiApplication::clipboard()->clear();
    clipboard_ = std::make_unique<TRdpClipboard>();
    clipboard_->Attach(peer_.Context());
    peer_.SendMonitorReady();
    // Capabilities, then the first format list (of the empty local clipboard).
    ASSERT_TRUE(WaitFor([&] { return FormatLists() == 1; }));
    auto lock = peer_.Lock();
    EXPECT_EQ(peer_.capabilities, 1);
    EXPECT_TRUE(peer_.formatLists.back().empty());
  }

  void TearDown() override {
    clipboard_.reset();
    QGuiApplication::clipboard()->clear();
  }

  size_t FormatLists() {
    auto lock = peer_.Lock();
    return peer_.formatLists.size();
  }
  std::vector<TClipFormat> LastFormatList() {
    auto lock = peer_.Lock();
    return peer_.formatLists.back();
  }
  // The server asks for a format of the local clipboard; nullopt when we refused.
  std::optional<QByteArray> ServerReads(std::uint32_t formatId) {
    size_t before = 0;
    {
      auto lock = peer_.Lock();
      before = peer_.dataAnswers.size();
    }
    peer_.SendDataRequest(formatId);
    EXPECT_TRUE(WaitFor([&] {
      auto lock = peer_.Lock();
      return peer_.dataAnswers.size() > before;
    }));
    auto lock = peer_.Lock();
    return peer_.dataAnswers.size() > before ? peer_.dataAnswers[before] : std::nullopt;
  }
  // The server reads a file contents request of a local copy.
  TFakeCliprdrPeer::FileAnswer ServerReadsFile(std::uint32_t index, std::uint32_t flags,
                                               std::uint64_t position, std::uint32_t requested) {
    const std::uint32_t streamId = ++streamId_;
    peer_.SendFileContentsRequest(streamId, index, flags, position, requested);
    TFakeCliprdrPeer::FileAnswer answer;
    EXPECT_TRUE(WaitFor([&] {
      auto lock = peer_.Lock();
      for (const auto& a : peer_.fileAnswers)
        if (a.streamId == streamId) {
          answer = a;
          return true;
        }
      return false;
    }));
    return answer;
  }
  // The server announces a copy and the local clipboard takes it.
  void ServerCopies(const std::vector<TClipFormat>& formats) {
    peer_.SendFormatList(formats);
    ASSERT_TRUE(WaitFor([] {
      return qobject_cast<const TRemoteMimeData*>(QGuiApplication::clipboard()->mimeData()) !=
             nullptr;
    }));
  }
  // The session goes on: the server's next text copy is pasted as usual. The answer changes on
  // the peer's thread, which may still hold a request of the paste before.
  void ExpectTheNextTextPaste() {
    peer_.RunOnPeer([&] {
      peer_.answerData = [](std::uint32_t id) -> std::optional<QByteArray> {
        if (id == kCfUnicodeText) return Utf16Z(kText);
        return std::nullopt;
      };
    });
    ServerCopies({{kCfUnicodeText, {}}});
    EXPECT_EQ(QGuiApplication::clipboard()->text(), kText);
  }
  // The server holds these files under its file list format. The answers change on the peer's
  // thread, which reads them (a request of an earlier paste may still be in its hands).
  void ServerHoldsFiles(std::vector<RemoteFile> files, std::optional<std::uint64_t> failAt = {}) {
    std::vector<TClipFile> entries;
    for (const RemoteFile& f : files) entries.push_back(f.entry);
    const QByteArray list = BuildFileList(entries);
    peer_.RunOnPeer([&] {
      remoteFiles_ = std::move(files);
      peer_.answerData = [list](std::uint32_t id) -> std::optional<QByteArray> {
        if (id == kRemoteFileListId) return list;
        return std::nullopt;
      };
      peer_.answerFile = AnswerFromRemoteFiles(failAt);
    });
  }
  std::function<std::optional<QByteArray>(const CLIPRDR_FILE_CONTENTS_REQUEST&)>
  AnswerFromRemoteFiles(std::optional<std::uint64_t> failAt) {
    return [this, failAt](const CLIPRDR_FILE_CONTENTS_REQUEST& r) -> std::optional<QByteArray> {
      if (r.listIndex >= remoteFiles_.size()) return std::nullopt;
      const RemoteFile& f = remoteFiles_[r.listIndex];
      if ((r.dwFlags & FILECONTENTS_SIZE) != 0) {
        QByteArray size(8, '\0');
        qToLittleEndian<quint64>(f.entry.size, size.data());
        return size;
      }
      const std::uint64_t position = (std::uint64_t{r.nPositionHigh} << 32) | r.nPositionLow;
      if (failAt && position >= *failAt) return std::nullopt;
      if (position >= f.entry.size) return QByteArray();
      const auto n = static_cast<std::uint32_t>(
          std::min<std::uint64_t>(r.cbRequested, f.entry.size - position));
      if (!f.pattern) return f.bytes.mid(static_cast<qsizetype>(position), n);
      QByteArray chunk(n, Qt::Uninitialized);
      FillPattern(chunk.data(), position, n);
      return chunk;
    };
  }
  QStringList FilesUnder(const QString& folder) {
    QStringList found;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) found << it.next();
    return found;
  }

  static constexpr std::uint32_t kRemoteFileListId = 0xC0FE;

  QTemporaryDir cache_;
  TFakeCliprdrPeer peer_;
  std::unique_ptr<TRdpClipboard> clipboard_;
  std::vector<RemoteFile> remoteFiles_;
  std::uint32_t streamId_ = 0;
};

RemoteFile File(const QString& path, const QByteArray& bytes) {
  RemoteFile f;
  f.entry.path = path;
  f.entry.size = static_cast<std::uint64_t>(bytes.size());
  f.entry.sizeKnown = true;
  f.bytes = bytes;
  return f;
}

RemoteFile Folder(const QString& path) {
  RemoteFile f;
  f.entry.path = path;
  f.entry.directory = true;
  f.entry.sizeKnown = true;
  return f;
}

TEST_F(RdpClipboardTest, ServerTextAndHtmlArePastedLocallyAndNotAnnouncedBack) {
  int requests = 0;
  peer_.answerData = [&requests](std::uint32_t id) -> std::optional<QByteArray> {
    ++requests;
    if (id == kCfUnicodeText) return Utf16Z(QStringLiteral("Olá, São Paulo ✓\r\nsegunda linha"));
    if (id == 0xC0AA) return HtmlFormatFromLocal(QStringLiteral("<b>Olá</b>"));
    return std::nullopt;
  };
  ServerCopies({{kCfText, {}}, {kCfUnicodeText, {}}, {0xC0AA, QStringLiteral("HTML Format")}});
  EXPECT_EQ(QGuiApplication::clipboard()->text(), kText);
  EXPECT_TRUE(
      QGuiApplication::clipboard()->mimeData()->html().contains(QStringLiteral("<b>Olá</b>")));
  // A second paste is answered from what came the first time.
  EXPECT_EQ(QGuiApplication::clipboard()->text(), kText);
  EXPECT_EQ(requests, 2);

  // Putting the server's copy into the local clipboard is no local copy to announce.
  QCoreApplication::processEvents();
  EXPECT_EQ(FormatLists(), 1u);
  auto lock = peer_.Lock();
  EXPECT_EQ(peer_.formatListResponses, 1);
}

TEST_F(RdpClipboardTest, LocalTextIsAnnouncedOnceAndReadByTheServer) {
  QGuiApplication::clipboard()->setText(kText);
  ASSERT_TRUE(WaitFor([&] { return FormatLists() == 2; }));
  const auto formats = LastFormatList();
  EXPECT_NE(std::find(formats.begin(), formats.end(), TClipFormat{kCfUnicodeText, {}}),
            formats.end());
  EXPECT_EQ(ServerReads(kCfUnicodeText),
            Utf16Z(QStringLiteral("Olá, São Paulo ✓\r\nsegunda linha")));
  EXPECT_EQ(ServerReads(kCfText), std::nullopt);  // not offered
  EXPECT_EQ(ServerReads(kOurFileListFormat), std::nullopt);
  QCoreApplication::processEvents();
  EXPECT_EQ(FormatLists(), 2u);
}

TEST_F(RdpClipboardTest, PicturesCrossBothWays) {
  QImage picture(4, 3, QImage::Format_ARGB32);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 4; ++x) picture.setPixel(x, y, qRgba(60 * x, 100 * y, 30, 50 + 60 * x));
  QGuiApplication::clipboard()->setImage(picture);
  ASSERT_TRUE(WaitFor([&] { return FormatLists() == 2; }));
  const auto formats = LastFormatList();
  EXPECT_NE(std::find(formats.begin(), formats.end(), TClipFormat{kCfDibV5, {}}), formats.end());
  EXPECT_NE(std::find(formats.begin(), formats.end(), TClipFormat{kCfDib, {}}), formats.end());
  const auto v5 = ServerReads(kCfDibV5);
  ASSERT_TRUE(v5.has_value());
  const auto back = PictureFromDib(*v5);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->convertToFormat(QImage::Format_ARGB32), picture);

  // The server copies an opaque picture; like xrdp it lists DIBV5 but gives only a plain DIB.
  QImage remote(6, 2, QImage::Format_RGB32);
  remote.fill(QColor(10, 200, 30));
  remote.setPixel(5, 1, qRgb(250, 0, 0));
  peer_.answerData = [remote](std::uint32_t id) -> std::optional<QByteArray> {
    if (id == kCfDib) return DibFromPicture(remote);
    return std::nullopt;
  };
  ServerCopies({{kCfDibV5, {}}, {kCfDib, {}}});
  EXPECT_EQ(QGuiApplication::clipboard()->image().convertToFormat(QImage::Format_RGB32), remote);
  const auto png = PictureFromPng(QGuiApplication::clipboard()->mimeData()->data(kMimePng));
  ASSERT_TRUE(png.has_value());
  EXPECT_EQ(png->convertToFormat(QImage::Format_RGB32), remote);
}

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

// The pastes of remote files that must not go ahead, or must go ahead only once.
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

}  // namespace
