#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "principal/rdp/clipboard/clipfilelist.h"

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
  // Walks the given paths, folders recursively (symbolic links to folders are not followed, so a
  // loop cannot make the list endless). Entries whose relative path is too long for the remote
  // side's descriptor are left out; the walk stops at the entry limit.
  [[nodiscard]] static TLocalFileList FromPaths(const QStringList& paths);

  [[nodiscard]] const std::vector<ClipFile>& Files() const { return files_; }
  [[nodiscard]] QByteArray Descriptors() const { return BuildFileList(files_); }
  [[nodiscard]] bool Truncated() const { return truncated_; }

  // The current size of entry index (0 for a folder); nullopt when there is no such entry or the
  // file is gone.
  [[nodiscard]] std::optional<std::uint64_t> Size(std::uint32_t index) const;
  // Up to min(requested, kMaxServedChunkBytes) bytes from offset; fewer at the end of the file,
  // none past it. nullopt when the entry is not a readable file.
  [[nodiscard]] std::optional<QByteArray> Range(std::uint32_t index, std::uint64_t offset,
                                                std::uint32_t requested);

 private:
  void Add(const QString& localPath, const QString& remotePath);

  std::vector<ClipFile> files_;
  std::vector<QString> localPaths_;
  bool truncated_ = false;
  // The last file read stays open: the remote side reads one file from start to end.
  std::unique_ptr<QFile> open_;
  std::uint32_t openIndex_ = UINT32_MAX;
};
