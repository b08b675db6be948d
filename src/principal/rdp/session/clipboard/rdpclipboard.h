#pragma once

#include <QDeadlineTimer>
#include <QObject>
#include <QStringList>
#include <QThreadPool>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "principal/rdp/session/clipboard/clipformats.h"
#include "principal/rdp/session/clipboard/cliplimits.h"
#include "principal/rdp/session/clipboard/filefetcher.h"

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
// The UI thread never blocks on the server: while it waits for an answer its event loop runs (the
// window keeps painting), and every wait has a bound. Several local programs asking for the same
// thing at once share one request, and one file paste.
//
// Files: a local copy of files and folders is offered as a file list and served from the files
// on a worker thread, until the local clipboard changes; a remote file list, pasted locally, is
// fetched into a private folder with a progress window that can cancel, and offered to the local
// program as file URLs. A paste that fails says why in a box and leaves nothing behind.
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
  // nothing when it does not answer before the deadline or answers with a refusal. A request for
  // the format already asked for shares that request's answer.
  [[nodiscard]] std::optional<QByteArray> RequestData(
      std::uint32_t formatId, QDeadlineTimer deadline = QDeadlineTimer(kClipDataTimeout));
  // A remote file list brought into a new private folder; the local paths of its first-level
  // entries, empty when the paste failed or was cancelled. A program that asks while the same
  // list is being pasted waits for that paste and gets its files.
  [[nodiscard]] QStringList PasteFiles(std::uint32_t formatId);

 signals:
  // Bytes done and expected while remote files are pasted (UI thread).
  void TransferProgress(quint64 done, quint64 total);
  // A paste of remote files has ended; its top-level paths, empty when it failed or was cancelled.
  void TransferFinished(const QStringList& paths);
  // Something a wait on the UI thread may be waiting for has happened (emitted on our thread).
  void Woken();

 private:
  class ChannelSource;
  friend class ChannelSource;
  struct PasteRun;

  struct DataWait {
    std::uint32_t formatId = 0;
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
  // Runs until done() (read under waitMutex_) or the deadline; on the UI thread with its event
  // loop running, elsewhere asleep. Returns done().
  bool WaitFor(const std::function<bool()>& done, QDeadlineTimer deadline);
  // Asks the server for a format, or joins the request for it already under way; null when the
  // channel is gone or another format is being asked for.
  std::shared_ptr<DataWait> AskData(std::uint32_t formatId);
  void StartPaste(std::uint32_t formatId);
  void ContinuePaste();
  void FinishPaste(TFetchResult result);
  void DeleteIfLetGo();
  // Emits Woken on our thread, from any thread.
  void Wake();
  void OnLocalChanged();
  void OnMonitorReady();
  void ApplyRemoteOffer(const TRemoteOffer& offer);
  void AnswerDataRequest(std::uint32_t formatId);

  // Any thread: a message to the server; false when the channel is gone or refused it.
  bool SendFormatList(const std::vector<TClipFormat>& formats);
  bool SendDataResponse(bool ok, const QByteArray& data);
  bool SendFileContentsResponse(std::uint32_t streamId, bool ok, const QByteArray& data);
  void ServeFileContents(std::uint32_t streamId, std::uint32_t index, std::uint32_t flags,
                         std::uint64_t position, std::uint32_t requested);
  // Worker thread of a paste: one file contents request and its answer.
  std::optional<QByteArray> RequestFileContents(std::uint32_t index, std::uint32_t flags,
                                                std::uint64_t position, std::uint32_t requested);

  // FreeRDP's callbacks (session thread), in the implementation file.
  friend struct ChannelCallbacks;
  void OnServerFormats(const TRemoteOffer& offer);
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
  std::shared_ptr<DataWait> dataWait_;  // the format request in flight
  FileWait fileWait_;
  std::uint32_t nextStreamId_ = 1;

  // UI thread.
  QClipboard* clipboard_ = nullptr;
  bool ready_ = false;
  bool transferring_ = false;
  int uiWaits_ = 0;                   // waits of ours running the event loop right now
  bool deleteAfterTransfer_ = false;  // let go of while a wait ran inside our own stack
  std::shared_ptr<PasteRun> paste_;   // the file paste under way or the last one
  // A server copy that came while a paste was running; it replaces the clipboard afterwards, not
  // under the paste's feet.
  std::optional<TRemoteOffer> pendingOffer_;
  QStringList localPaths_;  // the files of the last local announcement
  std::atomic<bool> cancel_ = false;

  // Local files the server reads: the list last handed to it, and the one thread that reads them.
  // The list is dropped when the local clipboard changes; a list made for an older clipboard
  // (its generation) is never handed over.
  std::mutex servedMutex_;
  std::shared_ptr<TLocalFileList> served_;
  std::atomic<std::uint64_t> localGeneration_ = 0;
  std::atomic<int> queuedServes_ = 0;
  QThreadPool* serveThread_;  // a child, so it moves to the UI thread with us
};
