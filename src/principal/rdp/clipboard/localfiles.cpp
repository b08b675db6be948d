#include "principal/rdp/clipboard/localfiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QMimeData>
#include <QUrl>

#include "principal/rdp/clipboard/clipformats.h"
#include "principal/rdp/clipboard/cliplimits.h"

QStringList LocalPathsFromMime(const QMimeData& mime) {
  QList<QUrl> urls = mime.urls();
  if (urls.isEmpty() && mime.hasFormat(kMimeGnomeFiles)) {
    // "copy" or "cut" on the first line, then one URL a line.
    const QList<QByteArray> lines = mime.data(kMimeGnomeFiles).split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
      const QByteArray line = lines[i].trimmed();
      if (!line.isEmpty()) urls << QUrl::fromEncoded(line);
    }
  }
  QStringList paths;
  for (const QUrl& url : urls) {
    if (!url.isLocalFile()) continue;
    const QString path = QDir::cleanPath(url.toLocalFile());
    if (QFileInfo::exists(path) && !paths.contains(path)) paths << path;
  }
  return paths;
}

TLocalFileList TLocalFileList::FromPaths(const QStringList& paths) {
  TLocalFileList list;
  for (const QString& path : paths) {
    const QFileInfo top(path);
    const QString topName = top.fileName().isEmpty() ? QStringLiteral("_") : top.fileName();
    list.Add(path, topName);
    if (!top.isDir() || top.isSymLink()) continue;
    QDirIterator it(path, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext() && !list.truncated_) {
      const QString local = it.next();
      QString relative = QDir(path).relativeFilePath(local);
      relative.replace(u'/', u'\\');
      list.Add(local, topName + u'\\' + relative);
    }
    if (list.truncated_) break;
  }
  return list;
}

void TLocalFileList::Add(const QString& localPath, const QString& remotePath) {
  if (files_.size() >= kMaxClipFiles) {
    truncated_ = true;
    return;
  }
  if (remotePath.size() > kMaxClipPathUnits) return;
  const QFileInfo info(localPath);
  ClipFile file;
  file.path = remotePath;
  file.directory = info.isDir();
  file.size = file.directory ? 0 : static_cast<std::uint64_t>(info.size());
  file.sizeKnown = true;
  file.lastWrite = info.lastModified();
  files_.push_back(std::move(file));
  localPaths_.push_back(localPath);
}

std::optional<std::uint64_t> TLocalFileList::Size(std::uint32_t index) const {
  if (index >= files_.size()) return std::nullopt;
  if (files_[index].directory) return 0;
  const QFileInfo info(localPaths_[index]);
  if (!info.exists()) return std::nullopt;
  return static_cast<std::uint64_t>(info.size());
}

std::optional<QByteArray> TLocalFileList::Range(std::uint32_t index, std::uint64_t offset,
                                                std::uint32_t requested) {
  if (index >= files_.size() || files_[index].directory) return std::nullopt;
  if (openIndex_ != index) {
    open_ = std::make_unique<QFile>(localPaths_[index]);
    openIndex_ = UINT32_MAX;
    if (!open_->open(QIODevice::ReadOnly)) return std::nullopt;
    openIndex_ = index;
  }
  const qint64 size = open_->size();
  if (offset >= static_cast<std::uint64_t>(size)) return QByteArray();
  if (!open_->seek(static_cast<qint64>(offset))) return std::nullopt;
  const qint64 want =
      std::min<qint64>({static_cast<qint64>(requested), static_cast<qint64>(kMaxServedChunkBytes),
                        size - static_cast<qint64>(offset)});
  QByteArray chunk = open_->read(want);
  if (chunk.isEmpty() && want > 0) return std::nullopt;
  return chunk;
}
