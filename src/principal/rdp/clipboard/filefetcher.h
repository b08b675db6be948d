#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "principal/rdp/clipboard/clipfilelist.h"

// Brings the files of a remote file list into a local folder, one bounded chunk at a time, so a
// file of any size never sits in memory. Each file is written under a temporary name and renamed
// only when all of it has arrived; a transfer that fails or is cancelled removes what it wrote,
// so no partial file is ever left looking complete.

// Where the contents come from: the remote side, asked one request at a time.
class TFileContentsSource {
 public:
  virtual ~TFileContentsSource() = default;
  // The size of entry index; nullopt when the remote side does not answer.
  virtual std::optional<std::uint64_t> Size(std::uint32_t index) = 0;
  // Up to bytes from offset of entry index; nullopt when the remote side does not answer.
  virtual std::optional<QByteArray> Range(std::uint32_t index, std::uint64_t offset,
                                          std::uint32_t bytes) = 0;
};

struct FetchResult {
  QStringList topLevel;  // the local paths of what was copied (the list's first-level entries)
  bool cancelled = false;
  QString error;  // empty on success; otherwise what went wrong, for the log
  [[nodiscard]] bool Ok() const { return !cancelled && error.isEmpty(); }
};

// Called with the bytes done so far and the bytes expected in all.
using FetchProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;

// Fetches files into targetFolder (which must exist and be ours). Names are made safe with
// SafeLocalParts and two entries that end up with one name are refused. On failure or
// cancellation everything written below targetFolder is removed again.
[[nodiscard]] FetchResult FetchFiles(const std::vector<ClipFile>& files,
                                     const QString& targetFolder, TFileContentsSource& source,
                                     const FetchProgress& progress,
                                     const std::atomic<bool>& cancel);

// The private folder pasted remote files go to: the cache folder's zentra/clipboard
// ($XDG_CACHE_HOME, normally ~/.cache, on disk: the runtime folder is a small memory file system
// that a large file would not fit in), or $XDG_RUNTIME_DIR/zentra/clipboard when there is no
// cache folder; each level created 0700 and owned by us. A fresh subfolder for each paste keeps
// pastes apart; earlier pastes past kPastedFilesKept are removed. Empty when it cannot be made
// safely.
[[nodiscard]] QString NewPasteFolder();
