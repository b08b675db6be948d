#include "principal/rdp/session/clipboard/localfiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QMimeData>
#include <QUrl>

#include "principal/rdp/rdplog.h"
#include "principal/rdp/session/clipboard/clipformats.h"
#include "principal/rdp/session/clipboard/cliplimits.h"

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
    // What the person copied is taken as it is, a link to a file included: they chose it.
    list.Add(path, topName);
    if (!top.isDir() || top.isSymLink()) continue;
    const QString topReal = top.canonicalFilePath();
    QDirIterator it(path, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext() && !list.truncated_) {
      const QString local = it.next();
      const QFileInfo info = it.fileInfo();
      QString source = local;
      if (info.isSymLink()) {
        const QString target = info.canonicalFilePath();
        if (target.isEmpty() || !target.startsWith(topReal + u'/') || !QFileInfo(target).isFile()) {
          qCInfo(lcRdp) << "clipboard: a link that leads out of the copied folder is left out";
          continue;
        }
        source = target;
      }
      QString relative = QDir(path).relativeFilePath(local);
      relative.replace(u'/', u'\\');
      list.Add(source, topName + u'\\' + relative);
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
  struct stat st {};
  if (::stat(QFile::encodeName(localPath).constData(), &st) != 0) return;
  TClipFile file;
  file.path = remotePath;
  file.directory = S_ISDIR(st.st_mode);
  file.size = file.directory ? 0 : static_cast<std::uint64_t>(st.st_size);
  file.sizeKnown = true;
  file.lastWrite = info.lastModified();
  files_.push_back(std::move(file));
  // Read later through its real path, so a link swapped in meanwhile is not followed.
  const QString real = info.canonicalFilePath();
  sources_.push_back({real.isEmpty() ? localPath : real, static_cast<std::uint64_t>(st.st_dev),
                      static_cast<std::uint64_t>(st.st_ino), st.st_ctim.tv_sec,
                      st.st_ctim.tv_nsec});
}

int TLocalFileList::OpenListed(std::uint32_t index) const {
  const Source& source = sources_[index];
  const int fd =
      ::open(QFile::encodeName(source.path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::uint64_t>(st.st_dev) != source.device ||
      static_cast<std::uint64_t>(st.st_ino) != source.inode ||
      st.st_ctim.tv_sec != source.changedSec || st.st_ctim.tv_nsec != source.changedNsec) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::optional<std::uint64_t> TLocalFileList::Size(std::uint32_t index) const {
  if (index >= files_.size()) return std::nullopt;
  if (files_[index].directory) return 0;
  const int fd = OpenListed(index);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  const bool ok = ::fstat(fd, &st) == 0;
  ::close(fd);
  if (!ok) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

std::optional<QByteArray> TLocalFileList::Range(std::uint32_t index, std::uint64_t offset,
                                                std::uint32_t requested) {
  if (index >= files_.size() || files_[index].directory) return std::nullopt;
  if (openIndex_ != index) {
    open_.reset();
    openIndex_ = UINT32_MAX;
    const int fd = OpenListed(index);
    if (fd < 0) return std::nullopt;
    open_ = std::make_unique<QFile>();
    if (!open_->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
      ::close(fd);
      return std::nullopt;
    }
    openIndex_ = index;
  }
  // The size now, not as opened: a file cut short meanwhile must not read as complete.
  struct stat st {};
  if (::fstat(open_->handle(), &st) != 0) return std::nullopt;
  const auto size = static_cast<std::uint64_t>(st.st_size);
  const std::uint64_t listed = files_[index].size;
  const std::uint64_t want =
      std::min<std::uint64_t>({requested, kMaxServedChunkBytes, offset < size ? size - offset : 0});
  if (want < requested && offset + want < listed && size < listed) {
    qCInfo(lcRdp) << "clipboard: a copied file became shorter while the remote side read it";
    return std::nullopt;
  }
  if (want == 0) return QByteArray();
  if (!open_->seek(static_cast<qint64>(offset))) return std::nullopt;
  QByteArray chunk = open_->read(static_cast<qint64>(want));
  if (chunk.isEmpty()) return std::nullopt;
  return chunk;
}
