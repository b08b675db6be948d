#pragma once

#include <QObject>
#include <QStringList>
#include <QThreadPool>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "principal/rdp/clipboard/clipformats.h"

class QClipboard;
class QMimeData;
class TLocalFileList;
typedef struct _cliprdr_client_context CliprdrClientContext;

// The clipboard between this computer and the remote desktop, over FreeRDP's clipboard channel.
//
// FreeRDP calls the channel's callbacks on the session thread; everything that touches Qt's
// clipboard runs on the UI thread, where this object lives. A local copy is announced to the
// server once (a format list) and its data given when the server asks; the server's copy
// replaces the local clipboard at once but its data is fetched only when a local program pastes,
// with a time limit. Our own announcement never comes back as a local change. The primary
// selection (the X11 middle-button one) is left alone.
//
// Files: a local copy of files and folders is offered as a file list and served from the files
// on a worker thread; a remote file list, pasted locally, is fetched into a private folder with
// a progress window that can cancel, and offered to the local program as file URLs.
class TRdpClipboard : public QObject {
  Q_OBJECT

 public:
  TRdpClipboard();
  ~TRdpClipboard() override;
  TRdpClipboard(const TRdpClipboard&) = delete;
  TRdpClipboard& operator=(const TRdpClipboard&) = delete;

  // For the session: a clipboard on uiObject's thread, attached to the channel that has just
  // connected (called on the session thread). Letting go of the last reference detaches it and
  // deletes it on its own thread.
  [[nodiscard]] static std::shared_ptr<TRdpClipboard> ForChannel(CliprdrClientContext* context,
                                                                 QObject* uiObject);

  // Takes the channel's callbacks (any thread); the clipboard starts watching the local side once
  // the UI thread gets to it.
  void Attach(CliprdrClientContext* context);
  // Gives them back and ends every wait for the server (any thread; the session thread calls it
  // when the channel goes away).
  void Detach();

  // Stops a running file paste (UI thread); the progress window's cancel button does the same.
  void CancelTransfer();

  // For the lazy clipboard content, on the UI thread: the remote side's data for a format, or
  // nothing when it does not answer in time or answers with a refusal.
  [[nodiscard]] std::optional<QByteArray> RequestData(std::uint32_t formatId);
  // A remote file list brought into a new private folder; the local paths of its first-level
  // entries, empty when the paste failed or was cancelled.
  [[nodiscard]] QStringList PasteFiles(std::uint32_t formatId);

 signals:
  // Bytes done and expected while remote files are pasted (UI thread).
  void TransferProgress(quint64 done, quint64 total);
  // A paste of remote files has ended; its top-level paths, empty when it failed or was cancelled.
  void TransferFinished(const QStringList& paths);

 private:
  class ChannelSource;
  friend class ChannelSource;

  struct DataWait {
    bool active = false;
    bool done = false;
    bool ok = false;
    QByteArray data;
  };
  struct FileWait {
    bool active = false;
    bool done = false;
    bool ok = false;
    std::uint32_t streamId = 0;
    QByteArray data;
  };

  // UI thread.
  void Start();
  void OnLocalChanged();
  void OnMonitorReady();
  void ApplyRemoteOffer(const RemoteOffer& offer);
  void AnswerDataRequest(std::uint32_t formatId);

  // Any thread: a message to the server; false when the channel is gone or refused it.
  bool SendFormatList(const std::vector<ClipFormat>& formats);
  bool SendDataResponse(bool ok, const QByteArray& data);
  bool SendFileContentsResponse(std::uint32_t streamId, bool ok, const QByteArray& data);
  void ServeFileContents(std::uint32_t streamId, std::uint32_t index, std::uint32_t flags,
                         std::uint64_t position, std::uint32_t requested);
  // Worker thread of a paste: one file contents request and its answer.
  std::optional<QByteArray> RequestFileContents(std::uint32_t index, std::uint32_t flags,
                                                std::uint64_t position, std::uint32_t requested);

  // FreeRDP's callbacks (session thread), in the implementation file.
  friend struct ChannelCallbacks;
  void OnServerFormats(const RemoteOffer& offer);
  void OnDataResponse(bool ok, const unsigned char* data, std::uint32_t size);
  void OnFileContentsResponse(std::uint32_t streamId, bool ok, const unsigned char* data,
                              std::uint32_t size);

  // The channel while attached; sending and detaching take this lock (recursive: a send may
  // lead straight to a callback that answers).
  std::recursive_mutex channelMutex_;
  CliprdrClientContext* context_ = nullptr;
  std::atomic<bool> detached_ = false;

  // Waits for the server's answers.
  std::mutex waitMutex_;
  std::condition_variable waitDone_;
  DataWait dataWait_;
  FileWait fileWait_;
  std::uint32_t nextStreamId_ = 1;

  // UI thread.
  QClipboard* clipboard_ = nullptr;
  bool ready_ = false;
  bool transferring_ = false;
  bool deleteAfterTransfer_ = false;  // let go of while a paste ran inside our own stack
  // A server copy that came while a paste was running; it replaces the clipboard afterwards, not
  // under the paste's feet.
  std::optional<RemoteOffer> pendingOffer_;
  QStringList localPaths_;  // the files of the last local announcement
  std::atomic<bool> cancel_ = false;

  // Local files the server reads: the list last handed to it, and the one thread that reads them.
  std::mutex servedMutex_;
  std::shared_ptr<TLocalFileList> served_;
  QThreadPool* serveThread_;  // a child, so it moves to the UI thread with us
};
