#pragma once

// The clipboard glue's fixture: a fresh clipboard attached to a scripted clipboard peer that
// stands in for the server, with the helpers its tests share.
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

using testing_support::WaitFor;

inline const QString kText = QStringLiteral("Olá, São Paulo ✓\nsegunda linha");

inline QByteArray Utf16Z(const QString& text) {
  QByteArray bytes(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
  return bytes + QByteArray(2, '\0');
}

inline QByteArray ReadAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

inline void Write(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  ASSERT_EQ(file.write(bytes), bytes.size());
}

inline QByteArray RandomBytes(qsizetype size) {
  QByteArray bytes(size, Qt::Uninitialized);
  QRandomGenerator generator(size);
  for (qsizetype i = 0; i < size; ++i) bytes[i] = static_cast<char>(generator.bounded(256));
  return bytes;
}

// The contents of a remote file too large to keep: every 8-byte word is its offset, scrambled.
inline void FillPattern(char* out, std::uint64_t offset, std::uint32_t size) {
  for (std::uint32_t i = 0; i < size; ++i) {
    const std::uint64_t at = offset + i;
    const std::uint64_t word = (at / 8) * 0x9E3779B97F4A7C15ull;
    out[i] = static_cast<char>(word >> (8 * (at % 8)));
  }
}

// Peak resident memory of this process, from the kernel's own count.
inline qint64 PeakResidentKiB() {
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

inline RemoteFile File(const QString& path, const QByteArray& bytes) {
  RemoteFile f;
  f.entry.path = path;
  f.entry.size = static_cast<std::uint64_t>(bytes.size());
  f.entry.sizeKnown = true;
  f.bytes = bytes;
  return f;
}

inline RemoteFile Folder(const QString& path) {
  RemoteFile f;
  f.entry.path = path;
  f.entry.directory = true;
  f.entry.sizeKnown = true;
  return f;
}
