#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "principal/rdp/session/clipboard/clipfilelist.h"

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

// What stopped a transfer, for the message the person gets.
enum class FetchFault {
  None,
  Cancelled,
  NoRoom,      // refused before a byte was written: the paste does not fit the disk
  LocalWrite,  // the disk refused a write (full, or read-only)
  Remote,      // the remote side did not answer, refused, or sent something broken
};

struct TFetchResult {
  QStringList topLevel;  // the local paths of what was copied (the list's first-level entries)
  bool cancelled = false;
  FetchFault fault = FetchFault::None;
  std::uint64_t needed = 0;     // for NoRoom: the bytes of the paste plus the spare room to keep
  std::uint64_t available = 0;  // for NoRoom: what the disk has free
  QString error;                // empty on success; otherwise what went wrong, for the log
  [[nodiscard]] bool Ok() const { return !cancelled && error.isEmpty(); }
};

// Called with the bytes done so far and the bytes expected in all.
using TFetchProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;

// Fetches files into targetFolder (which must exist and be ours). Names are made safe with
// SafeLocalParts and two entries that end up with one name are refused. A list whose total size
// would leave less than the spare room (kPasteSpareBytes and a fiftieth of the paste) free on the
// folder's disk is refused before anything is written. On failure or cancellation everything
// written below targetFolder, and the folder itself, is removed again.
[[nodiscard]] TFetchResult FetchFiles(const std::vector<TClipFile>& files,
                                      const QString& targetFolder, TFileContentsSource& source,
                                      const TFetchProgress& progress,
                                      const std::atomic<bool>& cancel);

// The private folder pasted remote files go to: the cache folder's zentra/clipboard
// ($XDG_CACHE_HOME, normally ~/.cache, on disk: the runtime folder is a small memory file system
// that a large file would not fit in), or $XDG_RUNTIME_DIR/zentra/clipboard when there is no
// cache folder; each level created 0700 and owned by us. A fresh subfolder for each paste keeps
// pastes apart; earlier pastes past kPastedFilesKept are removed. Empty when it cannot be made
// safely.
[[nodiscard]] QString NewPasteFolder();

// Removes the pastes older than kPastedFilesKept (at start, and before each new paste): they have
// long been copied on by the file manager.
void RemoveOldPastes();

// The free space a paste of totalBytes needs on its disk: the paste and the spare room.
[[nodiscard]] std::uint64_t PasteRoomNeeded(std::uint64_t totalBytes);
