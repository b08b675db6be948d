#include "principal/rdp/session/clipboard/filefetcher.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QStandardPaths>
#include <cerrno>
#include <cstdlib>

#include "principal/rdp/session/clipboard/cliplimits.h"

namespace {

// Makes one level of the private folder, or takes it when it is already there as a real folder
// of ours that nobody else may enter.
bool PrivateFolder(const QByteArray& path) {
  if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st {};
  if (::lstat(path.constData(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) return false;
  if ((st.st_mode & 077) != 0 && ::chmod(path.constData(), 0700) != 0) return false;
  return true;
}

TFetchResult Fail(TFetchResult result, const QString& targetFolder, const QString& error,
                  FetchFault fault = FetchFault::Remote) {
  result.error = error;
  result.fault = result.cancelled ? FetchFault::Cancelled : fault;
  result.topLevel.clear();
  QDir(targetFolder).removeRecursively();
  return result;
}

// The folders that may hold pastes, best first: each one's "zentra/clipboard" level below it.
QStringList PasteBases() {
  QStringList bases;
  const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
  if (!cache.isEmpty() && QDir().mkpath(cache)) bases << cache;
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty() && QFileInfo(runtime).isDir()) bases << runtime;
  return bases;
}

// The free bytes of the disk below path for this user; nullopt when the disk cannot be asked.
std::optional<std::uint64_t> FreeBytes(const QString& path) {
  struct statvfs fs {};
  if (::statvfs(QFile::encodeName(path).constData(), &fs) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize;
}

}  // namespace

TFetchResult FetchFiles(const std::vector<TClipFile>& files, const QString& targetFolder,
                        TFileContentsSource& source, const TFetchProgress& progress,
                        const std::atomic<bool>& cancel) {
  TFetchResult result;
  if (files.size() > kMaxClipFiles) return Fail(result, targetFolder, QStringLiteral("too many"));

  // Every local name is decided before a byte is written.
  std::vector<QString> localPaths;
  std::vector<std::uint64_t> sizes;
  QSet<QString> used;
  std::uint64_t total = 0;
  for (std::uint32_t i = 0; i < files.size(); ++i) {
    const TClipFile& file = files[i];
    const QStringList parts = SafeLocalParts(file.path);
    const QString local = targetFolder + u'/' + parts.join(u'/');
    if (used.contains(local))
      return Fail(result, targetFolder, QStringLiteral("two entries named %1").arg(local));
    used.insert(local);
    localPaths.push_back(local);
    const QString top = targetFolder + u'/' + parts.first();
    if (!result.topLevel.contains(top)) result.topLevel << top;
    std::uint64_t size = 0;
    if (!file.directory) {
      if (file.sizeKnown) {
        size = file.size;
      } else {
        if (cancel) {
          result.cancelled = true;
          return Fail(result, targetFolder, QStringLiteral("cancelled"));
        }
        const auto asked = source.Size(i);
        if (!asked)
          return Fail(result, targetFolder, QStringLiteral("no size for entry %1").arg(i));
        size = *asked;
      }
    }
    sizes.push_back(size);
    total += size;
  }

  // Refused before a byte is written, rather than failing with the disk full halfway through.
  const auto freeBytes = FreeBytes(targetFolder);
  if (freeBytes && *freeBytes < PasteRoomNeeded(total)) {
    result.needed = PasteRoomNeeded(total);
    result.available = *freeBytes;
    return Fail(result, targetFolder,
                QStringLiteral("%1 bytes do not fit in %2 free").arg(total).arg(*freeBytes),
                FetchFault::NoRoom);
  }

  std::uint64_t done = 0;
  if (progress) progress(done, total);
  for (std::uint32_t i = 0; i < files.size(); ++i) {
    if (cancel) {
      result.cancelled = true;
      return Fail(result, targetFolder, QStringLiteral("cancelled"));
    }
    const QString& local = localPaths[i];
    if (files[i].directory) {
      if (!QDir().mkpath(local))
        return Fail(result, targetFolder, QStringLiteral("cannot make folder %1").arg(local),
                    FetchFault::LocalWrite);
      continue;
    }
    if (!QDir().mkpath(QFileInfo(local).path()))
      return Fail(result, targetFolder, QStringLiteral("cannot make folder for %1").arg(local),
                  FetchFault::LocalWrite);
    // The file gets its name only when the last byte is in.
    QSaveFile out(local);
    out.setDirectWriteFallback(false);
    if (!out.open(QIODevice::WriteOnly))
      return Fail(result, targetFolder, QStringLiteral("cannot write %1").arg(local),
                  FetchFault::LocalWrite);
    std::uint64_t offset = 0;
    while (offset < sizes[i]) {
      if (cancel) {
        out.cancelWriting();
        result.cancelled = true;
        return Fail(result, targetFolder, QStringLiteral("cancelled"));
      }
      const auto want =
          static_cast<std::uint32_t>(std::min<std::uint64_t>(kFileChunkBytes, sizes[i] - offset));
      const auto chunk = source.Range(i, offset, want);
      if (!chunk || chunk->isEmpty() || static_cast<std::uint64_t>(chunk->size()) > want) {
        out.cancelWriting();
        if (cancel) {
          result.cancelled = true;
          return Fail(result, targetFolder, QStringLiteral("cancelled"));
        }
        return Fail(result, targetFolder,
                    QStringLiteral("entry %1 stopped at byte %2").arg(i).arg(offset));
      }
      if (out.write(*chunk) != chunk->size()) {
        const QString why = out.errorString();
        out.cancelWriting();
        return Fail(result, targetFolder, QStringLiteral("cannot write %1: %2").arg(local, why),
                    FetchFault::LocalWrite);
      }
      offset += static_cast<std::uint64_t>(chunk->size());
      done += static_cast<std::uint64_t>(chunk->size());
      if (progress) progress(done, total);
    }
    if (!out.commit())
      return Fail(result, targetFolder,
                  QStringLiteral("cannot finish %1: %2").arg(local, out.errorString()),
                  FetchFault::LocalWrite);
    if (files[i].lastWrite.isValid()) {
      QFile written(local);
      if (written.open(QIODevice::ReadWrite))
        written.setFileTime(files[i].lastWrite, QFileDevice::FileModificationTime);
    }
  }
  return result;
}

std::uint64_t PasteRoomNeeded(std::uint64_t totalBytes) {
  return totalBytes + totalBytes / 50 + kPasteSpareBytes;
}

void RemoveOldPastes() {
  const QDateTime oldest = QDateTime::currentDateTimeUtc().addSecs(
      -std::chrono::duration_cast<std::chrono::seconds>(kPastedFilesKept).count());
  for (const QString& base : PasteBases()) {
    const QString clipboard = base + QStringLiteral("/zentra/clipboard");
    const QByteArray native = QFile::encodeName(clipboard);
    // Only a folder of ours: never follow a link someone put there.
    struct stat st {};
    if (::lstat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid())
      continue;
    const QFileInfoList earlier = QDir(clipboard).entryInfoList(
        {QStringLiteral("paste-*")}, QDir::Dirs | QDir::NoSymLinks | QDir::Hidden);
    for (const QFileInfo& paste : earlier)
      if (paste.lastModified() < oldest) QDir(paste.filePath()).removeRecursively();
  }
}

QString NewPasteFolder() {
  RemoveOldPastes();
  for (const QString& base : PasteBases()) {
    const QByteArray zentra = QFile::encodeName(base + QStringLiteral("/zentra"));
    const QByteArray clipboard = zentra + "/clipboard";
    if (!PrivateFolder(zentra) || !PrivateFolder(clipboard)) continue;
    QByteArray pattern = clipboard + "/paste-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) return QFile::decodeName(pattern);
  }
  return {};
}
