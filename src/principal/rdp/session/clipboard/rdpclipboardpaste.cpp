#include <freerdp/client/cliprdr.h>

#include <QCoreApplication>
#include <QLocale>
#include <QProgressDialog>
#include <QTimer>
#include <QtEndian>
#include <thread>

#include "core/handoff.h"
#include "principal/rdp/rdplog.h"
#include "principal/rdp/session/clipboard/cliplimits.h"
#include "principal/rdp/session/clipboard/filefetcher.h"
#include "principal/rdp/session/clipboard/localfiles.h"
#include "principal/rdp/session/clipboard/rdpclipboard.h"
#include "principal/rdp/session/clipboard/rdpclipboardpaste.h"
#include "shell/boxes.h"

// A remote file list pasted here: the files fetched from the server on a worker thread into a
// private folder, with a progress window that can cancel, and nothing left behind on failure.

namespace {

const QString kPasteProgressText = QStringLiteral("Copiando arquivos do Zentra...");
const QString kPasteCancelText = QStringLiteral("Cancelar");
// Why a paste of remote files left nothing behind. %1 is the room the paste needs, %2 the free
// space of the disk.
const QString kPasteNoRoomText = QStringLiteral(
    "Não há espaço livre suficiente no disco para colar estes arquivos: são necessários %1 e há "
    "%2 livres. Nenhum arquivo foi colado.");
const QString kPasteWriteFailedText = QStringLiteral(
    "Não foi possível gravar os arquivos colados: o disco está cheio ou não aceita gravação. "
    "Nenhum arquivo foi colado.");
const QString kPasteInterruptedText = QStringLiteral(
    "A cópia dos arquivos do Zentra foi interrompida: o computador remoto deixou de enviá-los. "
    "Nenhum arquivo foi colado.");
// A paste that ends quickly shows no window at all.
constexpr int kProgressShowAfterMs = 500;
constexpr int kProgressSteps = 1000;

}  // namespace

// The remote side as a source of file contents for a paste, asked from the paste's own thread.
class TRdpClipboard::ChannelSource : public TFileContentsSource {
 public:
  explicit ChannelSource(TRdpClipboard* owner) : owner_(owner) {}
  std::optional<std::uint64_t> Size(std::uint32_t index) override {
    const auto data = owner_->RequestFileContents(index, FILECONTENTS_SIZE, 0, 8);
    if (!data || data->size() < 8) return std::nullopt;
    return qFromLittleEndian<quint64>(data->constData());
  }
  std::optional<QByteArray> Range(std::uint32_t index, std::uint64_t offset,
                                  std::uint32_t bytes) override {
    return owner_->RequestFileContents(index, FILECONTENTS_RANGE, offset, bytes);
  }

 private:
  TRdpClipboard* owner_;
};

std::optional<QByteArray> TRdpClipboard::RequestFileContents(std::uint32_t index,
                                                             std::uint32_t flags,
                                                             std::uint64_t position,
                                                             std::uint32_t requested) {
  std::uint32_t streamId = 0;
  {
    std::lock_guard lock(waitMutex_);
    if (fileWait_.active || detached_) return std::nullopt;
    fileWait_ = FileWait{};
    fileWait_.active = true;
    streamId = fileWait_.streamId = nextStreamId_++;
  }
  CLIPRDR_FILE_CONTENTS_REQUEST request{};
  request.msgType = CB_FILECONTENTS_REQUEST;
  request.dataLen = 24;
  request.streamId = streamId;
  request.listIndex = index;
  request.dwFlags = flags;
  request.nPositionLow = static_cast<UINT32>(position & 0xFFFFFFFFu);
  request.nPositionHigh = static_cast<UINT32>(position >> 32);
  request.cbRequested = requested;
  bool sent = false;
  {
    std::lock_guard lock(channelMutex_);
    if (context_ != nullptr && context_->ClientFileContentsRequest != nullptr)
      sent = context_->ClientFileContentsRequest(context_, &request) == CHANNEL_RC_OK;
  }
  std::unique_lock lock(waitMutex_);
  if (sent)
    waitDone_.wait_for(lock, kFileChunkTimeout,
                       [this] { return fileWait_.done || detached_ || cancel_; });
  FileWait answer = std::move(fileWait_);
  fileWait_ = FileWait{};
  if (!answer.done || !answer.ok) return std::nullopt;
  // More than was asked for is a broken answer, not extra data.
  if (static_cast<std::uint64_t>(answer.data.size()) > requested) return std::nullopt;
  return answer.data;
}

void TRdpClipboard::OnFileContentsResponse(std::uint32_t streamId, bool ok,
                                           const unsigned char* data, std::uint32_t size) {
  std::lock_guard lock(waitMutex_);
  if (!fileWait_.active || fileWait_.done || fileWait_.streamId != streamId) return;
  fileWait_.done = true;
  fileWait_.ok = ok && (size == 0 || data != nullptr) && size <= kMaxServedChunkBytes;
  if (fileWait_.ok && size > 0)
    fileWait_.data = QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
  waitDone_.notify_all();
}

void TRdpClipboard::CancelTransfer() {
  cancel_ = true;
  {
    std::lock_guard lock(waitMutex_);
    waitDone_.notify_all();
  }
  Wake();
}

QStringList TRdpClipboard::PasteFiles(std::uint32_t formatId) {
  if (paste_ && !paste_->done) {
    // A second program asking for the same files waits for them; a different list waits its
    // turn in the clipboard (the server's new copy replaces ours after this paste).
    if (paste_->formatId != formatId) return {};
  } else {
    if (detached_) return {};
    StartPaste(formatId);
  }
  const auto run = paste_;
  // No time limit of its own: asking for the list has one, each chunk has one, and the progress
  // window can cancel.
  WaitFor([&] { return run->done; }, QDeadlineTimer(QDeadlineTimer::Forever));
  DeleteIfLetGo();
  return run->result.topLevel;
}

void TRdpClipboard::StartPaste(std::uint32_t formatId) {
  paste_ = std::make_shared<PasteRun>();
  paste_->formatId = formatId;
  transferring_ = true;
  cancel_ = false;
  paste_->list = AskData(formatId);
  if (!paste_->list) {
    TFetchResult failed;
    failed.fault = FetchFault::Remote;
    failed.error = QStringLiteral("the file list could not be asked for");
    FinishPaste(failed);
    return;
  }
  const auto run = paste_;
  // Each step of the list's wait (an answer, the channel gone, the time limit) moves it on.
  auto* limit = new QTimer(this);
  limit->setSingleShot(true);
  connect(limit, &QTimer::timeout, this, [this, run] {
    run->listTimedOut = true;
    ContinuePaste();
  });
  connect(limit, &QTimer::timeout, limit, &QObject::deleteLater);
  limit->start(kClipDataTimeout);
  connect(this, &TRdpClipboard::Woken, this, &TRdpClipboard::ContinuePaste, Qt::UniqueConnection);
  QMetaObject::invokeMethod(this, &TRdpClipboard::ContinuePaste, Qt::QueuedConnection);
}

void TRdpClipboard::ContinuePaste() {
  const auto run = paste_;
  if (!run || run->done || !run->list) return;
  {
    std::lock_guard lock(waitMutex_);
    if (!run->list->done && !detached_ && !cancel_ && !run->listTimedOut) return;
    if (dataWait_ == run->list && !run->list->done) dataWait_.reset();
  }
  disconnect(this, &TRdpClipboard::Woken, this, &TRdpClipboard::ContinuePaste);
  const auto list = std::move(run->list);
  run->list.reset();
  TFetchResult failed;
  failed.fault = FetchFault::Remote;
  if (cancel_) {
    failed.cancelled = true;
    failed.fault = FetchFault::Cancelled;
    failed.error = QStringLiteral("cancelled");
    FinishPaste(failed);
    return;
  }
  if (!list->done || !list->ok) {
    failed.error = list->done ? QStringLiteral("the server refused its file list")
                              : QStringLiteral("no file list from the server in time");
    FinishPaste(failed);
    return;
  }
  TFileListResult parsed = ParseFileList(list->data);
  if (parsed.error != FileListError::None) {
    failed.error = QStringLiteral("refused the server's file list, fault %1")
                       .arg(static_cast<int>(parsed.error));
    FinishPaste(failed);
    return;
  }
  const QString folder = NewPasteFolder();
  if (folder.isEmpty()) {
    failed.fault = FetchFault::LocalWrite;
    failed.error = QStringLiteral("no private folder for pasted files");
    FinishPaste(failed);
    return;
  }

  run->progress =
      std::make_unique<QProgressDialog>(kPasteProgressText, kPasteCancelText, 0, kProgressSteps);
  QProgressDialog* progress = run->progress.get();
  progress->setObjectName(QStringLiteral("ClipboardProgress"));
  progress->setMinimumDuration(kProgressShowAfterMs);
  progress->setAutoClose(false);
  progress->setAutoReset(false);
  connect(progress, &QProgressDialog::canceled, this, &TRdpClipboard::CancelTransfer);
  connect(this, &TRdpClipboard::TransferProgress, progress,
          [progress](quint64 done, quint64 total) {
            progress->setValue(total == 0 ? kProgressSteps
                                          : static_cast<int>(done * kProgressSteps / total));
          });

  run->worker = std::thread([this, files = std::move(parsed.files), folder] {
    ChannelSource source(this);
    int lastStep = -1;
    TFetchResult result = FetchFiles(
        files, folder, source,
        [this, &lastStep](std::uint64_t done, std::uint64_t total) {
          const int step =
              total == 0 ? kProgressSteps : static_cast<int>(done * kProgressSteps / total);
          if (step == lastStep) return;
          lastStep = step;
          PostToThreadOf(this, [this, done, total] { emit TransferProgress(done, total); });
        },
        cancel_);
    if (result.Ok())
      qCDebug(lcRdp) << "clipboard: pasted" << files.size() << "remote entries into" << folder;
    PostToThreadOf(this, [this, result] { FinishPaste(result); });
  });
}

void TRdpClipboard::FinishPaste(TFetchResult result) {
  const auto run = paste_;
  if (!run || run->done) return;
  if (run->worker.joinable()) run->worker.join();
  run->progress.reset();
  run->result = std::move(result);
  run->done = true;
  transferring_ = false;
  const TFetchResult& r = run->result;
  if (!r.Ok()) {
    qCWarning(lcRdp) << "clipboard: paste of remote files ended:" << r.error;
    QString text;
    const QLocale locale(QLocale::Portuguese, QLocale::Brazil);
    switch (r.fault) {
      case FetchFault::NoRoom:
        text = kPasteNoRoomText.arg(locale.formattedDataSize(static_cast<qint64>(r.needed)),
                                    locale.formattedDataSize(static_cast<qint64>(r.available)));
        break;
      case FetchFault::LocalWrite:
        text = kPasteWriteFailedText;
        break;
      case FetchFault::Remote:
        text = kPasteInterruptedText;
        break;
      case FetchFault::None:
      case FetchFault::Cancelled:
        break;
    }
    if (!text.isEmpty()) {
      qCInfo(lcRdp) << "clipboard: told the person:" << text;
      // After the program that asked has its (empty) answer, not inside its request.
      QMetaObject::invokeMethod(
          QCoreApplication::instance(),
          [text] {
            ShowBox({QCoreApplication::applicationName(),
                     text,
                     BoxIcon::Warning,
                     {QString::fromUtf16(kOkButton)},
                     0});
          },
          Qt::QueuedConnection);
    }
  }
  if (pendingOffer_) {
    QMetaObject::invokeMethod(
        this, [this, offer = *pendingOffer_] { ApplyRemoteOffer(offer); }, Qt::QueuedConnection);
    pendingOffer_.reset();
  }
  emit TransferFinished(r.topLevel);
  emit Woken();
  DeleteIfLetGo();
}
