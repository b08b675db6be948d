#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "principal/rdp/session/clipboard/clipfilelist.h"

class QMimeData;

// Files and folders copied in a local file manager, as the remote side sees them: one list of
// every file and folder below what was copied, each with its path relative to it, and their
// contents read on request a bounded chunk at a time.

// The local files a clipboard holds: text/uri-list, or the GNOME and KDE file managers' own
// types (a cut is copied all the same; the originals are never removed). Only existing local
// files count.
[[nodiscard]] QStringList LocalPathsFromMime(const QMimeData& mime);

class TLocalFileList {
 public:
  // Walks the given paths, folders recursively. A symbolic link inside a copied folder is taken
  // only when it points at a file inside that same folder (and then as that file); one that leads
  // out of it (to ~/.ssh, say) or to a folder is left out, so neither what the remote side reads
  // nor a loop can reach past what the person copied. Entries whose relative path is too long for
  // the remote side's descriptor are left out; the walk stops at the entry limit.
  [[nodiscard]] static TLocalFileList FromPaths(const QStringList& paths);

  [[nodiscard]] const std::vector<TClipFile>& Files() const { return files_; }
  [[nodiscard]] QByteArray Descriptors() const { return BuildFileList(files_); }
  [[nodiscard]] bool Truncated() const { return truncated_; }

  // The current size of entry index (0 for a folder); nullopt when there is no such entry or the
  // file is gone.
  [[nodiscard]] std::optional<std::uint64_t> Size(std::uint32_t index) const;
  // Up to min(requested, kMaxServedChunkBytes) bytes from offset; fewer at the end of the file,
  // none past it. nullopt when the entry is not a readable file, when its path now names another
  // file than the one listed (removed and made again, replaced by a link) or the file was changed
  // before the remote side began to read it, or when the file has become shorter than the list
  // said and the read reaches past its new end: the remote side gets a refusal, never bytes of
  // another file and never a silently short copy.
  [[nodiscard]] std::optional<QByteArray> Range(std::uint32_t index, std::uint64_t offset,
                                                std::uint32_t requested);

 private:
  // The file as listed: its real path and identity on the disk. A file removed and made again
  // may get the same inode number at once; its change time tells it apart.
  struct Source {
    QString path;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t changedSec = 0;
    std::int64_t changedNsec = 0;
  };
  void Add(const QString& localPath, const QString& remotePath);
  // A descriptor of entry index's file when its path still names the file listed; -1 otherwise.
  [[nodiscard]] int OpenListed(std::uint32_t index) const;

  std::vector<TClipFile> files_;
  std::vector<Source> sources_;
  bool truncated_ = false;
  // The last file read stays open: the remote side reads one file from start to end.
  std::unique_ptr<QFile> open_;
  std::uint32_t openIndex_ = UINT32_MAX;
};
