#include "principal/rdp/session/clipboard/rdpclipboard.h"

#include <freerdp/client/cliprdr.h>

#include <QClipboard>
#include <QCoreApplication>
#include <QEventLoop>
#include <QGuiApplication>
#include <QImage>
#include <QLocale>
#include <QMimeData>
#include <QProgressDialog>
#include <QThread>
#include <QTimer>
#include <QtEndian>
#include <thread>

#include "core/handoff.h"
#include "principal/rdp/rdplog.h"
#include "principal/rdp/session/clipboard/cliplimits.h"
#include "principal/rdp/session/clipboard/clippicture.h"
#include "principal/rdp/session/clipboard/cliptext.h"
#include "principal/rdp/session/clipboard/filefetcher.h"
#include "principal/rdp/session/clipboard/localfiles.h"
#include "principal/rdp/session/clipboard/rdpclipboardpaste.h"
#include "principal/rdp/session/clipboard/remotemimedata.h"
#include "shell/boxes.h"

TRdpClipboard::TRdpClipboard() : serveThread_(new QThreadPool(this)) {
  serveThread_->setMaxThreadCount(1);
  // Pastes of earlier days are cleared once per run of the program, off the UI thread.
  static std::once_flag cleared;
  std::call_once(cleared, [this] { StartInPool(*serveThread_, &RemoveOldPastes); });
}

TRdpClipboard::~TRdpClipboard() {
  cancel_ = true;
  Detach();
  if (paste_ && paste_->worker.joinable()) paste_->worker.join();
  serveThread_->clear();
  WaitForPool(*serveThread_);
}

std::shared_ptr<TRdpClipboard> TRdpClipboard::ForChannel(CliprdrClientContext* context,
                                                         QObject* uiObject) {
  auto* clipboard = new TRdpClipboard();
  clipboard->moveToThread(uiObject->thread());
  clipboard->Attach(context);
  return std::shared_ptr<TRdpClipboard>(clipboard, [](TRdpClipboard* c) {
    c->Detach();
    // A paste may be running on the UI thread right now, with its event loop inside our stack;
    // the object goes once it has ended.
    PostToThreadOf(c, [c] {
      if (c->transferring_ || c->uiWaits_ > 0)
        c->deleteAfterTransfer_ = true;
      else
        c->deleteLater();
    });
  });
}

void TRdpClipboard::Start() {
  if (clipboard_ != nullptr || detached_) return;
  clipboard_ = QGuiApplication::clipboard();
  // Only the clipboard proper: the primary selection changes with every mouse selection.
  connect(clipboard_, &QClipboard::dataChanged, this, &TRdpClipboard::OnLocalChanged);
}

void TRdpClipboard::OnMonitorReady() {
  ready_ = true;
  OnLocalChanged();
}

void TRdpClipboard::OnLocalChanged() {
  // Whatever the clipboard holds now, the files of the last copy are no longer the server's to
  // read.
  ++localGeneration_;
  {
    std::lock_guard lock(servedMutex_);
    served_.reset();
  }
  if (!ready_ || clipboard_ == nullptr || detached_) return;
  const QMimeData* mime = clipboard_->mimeData(QClipboard::Clipboard);
  // The server's own copy, put there by us: announcing it back would loop.
  if (qobject_cast<const TRemoteMimeData*>(mime) != nullptr) return;
  TLocalOffer offer;
  localPaths_.clear();
  if (mime != nullptr) {
    localPaths_ = LocalPathsFromMime(*mime);
    offer.files = !localPaths_.isEmpty();
    offer.text = mime->hasText();
    offer.html = mime->hasHtml();
    offer.picture = mime->hasImage();
  }
  qCDebug(lcRdp) << "clipboard: local copy announced, text" << offer.text << "html" << offer.html
                 << "picture" << offer.picture << "files" << localPaths_.size();
  SendFormatList(FormatsForOffer(offer));
}

void TRdpClipboard::OnServerFormats(const TRemoteOffer& offer) {
  PostToThreadOf(this, [this, offer] { ApplyRemoteOffer(offer); });
}

void TRdpClipboard::ApplyRemoteOffer(const TRemoteOffer& offer) {
  if (clipboard_ == nullptr || detached_) return;
  // A remote copy of nothing we can take leaves the local clipboard as it is.
  if (offer.Empty()) return;
  if (transferring_) {
    pendingOffer_ = offer;
    return;
  }
  clipboard_->setMimeData(new TRemoteMimeData(this, offer), QClipboard::Clipboard);
}

void TRdpClipboard::AnswerDataRequest(std::uint32_t formatId) {
  qCDebug(lcRdp) << "clipboard: the server asks for format" << formatId;
  const QMimeData* mime =
      clipboard_ != nullptr ? clipboard_->mimeData(QClipboard::Clipboard) : nullptr;
  if (mime == nullptr || qobject_cast<const TRemoteMimeData*>(mime) != nullptr) {
    SendDataResponse(false, {});
    return;
  }
  switch (formatId) {
    case kCfUnicodeText:
      if (mime->hasText()) {
        SendDataResponse(true, UnicodeTextFromLocal(mime->text()));
        return;
      }
      break;
    case kOurHtmlFormat:
      if (mime->hasHtml()) {
        SendDataResponse(true, HtmlFormatFromLocal(mime->html()));
        return;
      }
      break;
    case kCfDib:
    case kCfDibV5:
    case kOurPngFormat:
      if (mime->hasImage()) {
        const QImage image = qvariant_cast<QImage>(mime->imageData());
        if (!image.isNull()) {
          SendDataResponse(true, formatId == kCfDib     ? DibFromPicture(image)
                                 : formatId == kCfDibV5 ? DibV5FromPicture(image)
                                                        : PngFromPicture(image));
          return;
        }
      }
      break;
    case kOurFileListFormat:
      if (!localPaths_.isEmpty()) {
        if (queuedServes_.fetch_add(1) >= kMaxQueuedFileRequests) {
          queuedServes_.fetch_sub(1);
          break;
        }
        // Walking folders can take a while: on the serving thread, which then answers.
        StartInPool(*serveThread_, [this, paths = localPaths_,
                                    generation = localGeneration_.load()] {
          auto list = std::make_shared<TLocalFileList>(TLocalFileList::FromPaths(paths));
          if (list->Truncated())
            qCWarning(lcRdp) << "clipboard: local file list cut at" << kMaxClipFiles << "entries";
          bool current = false;
          {
            std::lock_guard lock(servedMutex_);
            // The clipboard changed while the folders were walked: that copy is gone.
            current = generation == localGeneration_;
            if (current) served_ = list;
          }
          SendDataResponse(current, current ? list->Descriptors() : QByteArray());
          queuedServes_.fetch_sub(1);
        });
        return;
      }
      break;
    default:
      break;
  }
  SendDataResponse(false, {});
}

bool TRdpClipboard::SendFormatList(const std::vector<TClipFormat>& formats) {
  std::vector<QByteArray> names;
  std::vector<CLIPRDR_FORMAT> entries;
  names.reserve(formats.size());
  for (const TClipFormat& f : formats) names.push_back(f.name.toUtf8());
  for (size_t i = 0; i < formats.size(); ++i)
    entries.push_back({formats[i].id, formats[i].name.isEmpty() ? nullptr : names[i].data()});
  CLIPRDR_FORMAT_LIST list{};
  list.msgType = CB_FORMAT_LIST;
  list.numFormats = static_cast<UINT32>(entries.size());
  list.formats = entries.empty() ? nullptr : entries.data();
  std::lock_guard lock(channelMutex_);
  if (context_ == nullptr || context_->ClientFormatList == nullptr) return false;
  return context_->ClientFormatList(context_, &list) == CHANNEL_RC_OK;
}

bool TRdpClipboard::SendDataResponse(bool ok, const QByteArray& data) {
  qCDebug(lcRdp) << "clipboard: the server's request answered" << (ok ? "with" : "refused,")
                 << data.size() << "bytes";
  CLIPRDR_FORMAT_DATA_RESPONSE response{};
  response.msgType = CB_FORMAT_DATA_RESPONSE;
  response.msgFlags = ok ? CB_RESPONSE_OK : CB_RESPONSE_FAIL;
  response.dataLen = ok ? static_cast<UINT32>(data.size()) : 0;
  response.requestedFormatData = ok ? reinterpret_cast<const BYTE*>(data.constData()) : nullptr;
  std::lock_guard lock(channelMutex_);
  if (context_ == nullptr || context_->ClientFormatDataResponse == nullptr) return false;
  return context_->ClientFormatDataResponse(context_, &response) == CHANNEL_RC_OK;
}

bool TRdpClipboard::SendFileContentsResponse(std::uint32_t streamId, bool ok,
                                             const QByteArray& data) {
  CLIPRDR_FILE_CONTENTS_RESPONSE response{};
  response.msgType = CB_FILECONTENTS_RESPONSE;
  response.msgFlags = ok ? CB_RESPONSE_OK : CB_RESPONSE_FAIL;
  response.streamId = streamId;
  response.cbRequested = ok ? static_cast<UINT32>(data.size()) : 0;
  response.requestedData = ok ? reinterpret_cast<const BYTE*>(data.constData()) : nullptr;
  response.dataLen = 4 + response.cbRequested;
  std::lock_guard lock(channelMutex_);
  if (context_ == nullptr || context_->ClientFileContentsResponse == nullptr) return false;
  return context_->ClientFileContentsResponse(context_, &response) == CHANNEL_RC_OK;
}

void TRdpClipboard::ServeFileContents(std::uint32_t streamId, std::uint32_t index,
                                      std::uint32_t flags, std::uint64_t position,
                                      std::uint32_t requested) {
  std::shared_ptr<TLocalFileList> list;
  {
    std::lock_guard lock(servedMutex_);
    list = served_;
  }
  if (!list) {
    SendFileContentsResponse(streamId, false, {});
    return;
  }
  if ((flags & FILECONTENTS_SIZE) != 0) {
    const auto size = list->Size(index);
    QByteArray answer(8, '\0');
    if (size) qToLittleEndian<quint64>(*size, answer.data());
    SendFileContentsResponse(streamId, size.has_value(), answer);
    return;
  }
  if ((flags & FILECONTENTS_RANGE) != 0) {
    const auto chunk = list->Range(index, position, requested);
    SendFileContentsResponse(streamId, chunk.has_value(), chunk.value_or(QByteArray()));
    return;
  }
  SendFileContentsResponse(streamId, false, {});
}

bool TRdpClipboard::WaitFor(const std::function<bool()>& done, QDeadlineTimer deadline) {
  auto check = [&] {
    std::lock_guard lock(waitMutex_);
    return done();
  };
  if (QThread::currentThread() != thread()) {
    std::unique_lock lock(waitMutex_);
    if (deadline.isForever()) {
      waitDone_.wait(lock, done);
      return true;
    }
    return waitDone_.wait_until(lock, deadline.deadline<std::chrono::steady_clock>(), done);
  }
  // On the UI thread the window keeps painting while the server takes its time.
  if (check()) return true;
  QEventLoop loop;
  const auto woken = connect(this, &TRdpClipboard::Woken, &loop, [&] {
    if (check()) loop.quit();
  });
  QTimer limit;
  limit.setSingleShot(true);
  connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
  if (!deadline.isForever())
    limit.start(std::chrono::milliseconds(std::max<qint64>(0, deadline.remainingTime())));
  ++uiWaits_;
  loop.exec();
  --uiWaits_;
  disconnect(woken);
  return check();
}

std::shared_ptr<TRdpClipboard::DataWait> TRdpClipboard::AskData(std::uint32_t formatId) {
  std::shared_ptr<DataWait> wait;
  {
    std::lock_guard lock(waitMutex_);
    if (detached_) return nullptr;
    if (dataWait_) {
      // The same question from a second program shares the first one's answer; another
      // question waits its turn (the protocol matches answers to questions by order alone).
      return dataWait_->formatId == formatId ? dataWait_ : nullptr;
    }
    wait = dataWait_ = std::make_shared<DataWait>();
    wait->formatId = formatId;
  }
  CLIPRDR_FORMAT_DATA_REQUEST request{};
  request.msgType = CB_FORMAT_DATA_REQUEST;
  request.dataLen = 4;
  request.requestedFormatId = formatId;
  bool sent = false;
  {
    std::lock_guard lock(channelMutex_);
    if (context_ != nullptr && context_->ClientFormatDataRequest != nullptr)
      sent = context_->ClientFormatDataRequest(context_, &request) == CHANNEL_RC_OK;
  }
  if (!sent) {
    std::lock_guard lock(waitMutex_);
    if (dataWait_ == wait) dataWait_.reset();
    wait->done = true;
  }
  return wait;
}

std::optional<QByteArray> TRdpClipboard::RequestData(std::uint32_t formatId,
                                                     QDeadlineTimer deadline) {
  const auto wait = AskData(formatId);
  if (!wait) return std::nullopt;
  const bool answered = WaitFor([&] { return wait->done || detached_; }, deadline);
  DeleteIfLetGo();
  std::lock_guard lock(waitMutex_);
  // Given up: the next question may go. (A late answer to this one is dropped.)
  if (dataWait_ == wait && !wait->done) dataWait_.reset();
  if (!answered || !wait->done)
    qCDebug(lcRdp) << "clipboard: no answer for format" << formatId;
  else if (!wait->ok)
    qCDebug(lcRdp) << "clipboard: the server refused format" << formatId;
  if (!wait->done || !wait->ok) return std::nullopt;
  return wait->data;
}

void TRdpClipboard::OnDataResponse(bool ok, const unsigned char* data, std::uint32_t size) {
  {
    std::lock_guard lock(waitMutex_);
    // An answer nobody waits for any more (it came too late) is dropped.
    if (!dataWait_) return;
    const auto wait = std::move(dataWait_);
    dataWait_.reset();
    wait->done = true;
    wait->ok = ok && (size == 0 || data != nullptr) && size <= kMaxClipDataBytes;
    if (wait->ok && size > 0)
      wait->data = QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    waitDone_.notify_all();
  }
  Wake();
}

void TRdpClipboard::Wake() {
  // Signals of this object are emitted on its own thread only, so that the waits connecting to
  // and disconnecting from them never race an emission from the session thread.
  if (QThread::currentThread() == thread())
    emit Woken();
  else
    PostToThreadOf(this, [this] { emit Woken(); });
}

void TRdpClipboard::DeleteIfLetGo() {
  if (deleteAfterTransfer_ && !transferring_ && uiWaits_ == 0) deleteLater();
}
