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
#include "principal/rdp/session/clipboard/remotemimedata.h"
#include "shell/boxes.h"

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

// What we ask of the channel: long format names (registered formats are known by name), file
// contents streamed on request without local paths in the list, and sizes beyond 4 GiB. FreeRDP
// drops whatever the server did not offer.
constexpr UINT32 kOurGeneralFlags = CB_USE_LONG_FORMAT_NAMES | CB_STREAM_FILECLIP_ENABLED |
                                    CB_FILECLIP_NO_FILE_PATHS | CB_HUGE_FILE_SUPPORT_ENABLED;

}  // namespace

// The callbacks FreeRDP calls on the session thread; each finds its clipboard in the context.
struct ChannelCallbacks {
  static TRdpClipboard* Of(CliprdrClientContext* context) {
    return static_cast<TRdpClipboard*>(context->custom);
  }

  static UINT ServerCapabilities(CliprdrClientContext*, const CLIPRDR_CAPABILITIES*) {
    // FreeRDP keeps the server's flags and trims ours to them when we answer.
    return CHANNEL_RC_OK;
  }

  static UINT MonitorReady(CliprdrClientContext* context, const CLIPRDR_MONITOR_READY*) {
    TRdpClipboard* self = Of(context);
    if (self == nullptr) return CHANNEL_RC_OK;
    CLIPRDR_GENERAL_CAPABILITY_SET general{};
    general.capabilitySetType = CB_CAPSTYPE_GENERAL;
    general.capabilitySetLength = CB_CAPSTYPE_GENERAL_LEN;
    general.version = CB_CAPS_VERSION_2;
    general.generalFlags = kOurGeneralFlags;
    CLIPRDR_CAPABILITIES capabilities{};
    capabilities.msgType = CB_CLIP_CAPS;
    capabilities.cCapabilitiesSets = 1;
    capabilities.capabilitySets = reinterpret_cast<CLIPRDR_CAPABILITY_SET*>(&general);
    UINT rc = CHANNEL_RC_OK;
    if (context->ClientCapabilities != nullptr)
      rc = context->ClientCapabilities(context, &capabilities);
    // The first format list must follow; the UI thread knows what the local clipboard holds.
    PostToThreadOf(self, [self] { self->OnMonitorReady(); });
    return rc;
  }

  static UINT ServerFormatList(CliprdrClientContext* context, const CLIPRDR_FORMAT_LIST* list) {
    TRdpClipboard* self = Of(context);
    if (self == nullptr || list == nullptr) return CHANNEL_RC_OK;
    std::vector<TClipFormat> formats;
    const UINT32 count = std::min<UINT32>(list->numFormats, kMaxClipFormats);
    for (UINT32 i = 0; list->formats != nullptr && i < count; ++i) {
      const CLIPRDR_FORMAT& f = list->formats[i];
      QString name;
      if (f.formatName != nullptr) {
        const size_t length = strnlen(f.formatName, kMaxClipFormatNameLength * 4 + 1);
        name = QString::fromUtf8(f.formatName, static_cast<qsizetype>(length));
      }
      formats.push_back({f.formatId, name});
    }
    const TRemoteOffer offer = OfferFromFormats(formats);
    if (lcRdp().isDebugEnabled()) {
      QStringList listed;
      for (const TClipFormat& f : formats)
        listed << QString::number(f.id, 16) + (f.name.isEmpty() ? QString() : u' ' + f.name);
      qCDebug(lcRdp) << "clipboard: server offers" << listed << "we take" << offer.MimeTypes();
    }
    CLIPRDR_FORMAT_LIST_RESPONSE response{};
    response.msgType = CB_FORMAT_LIST_RESPONSE;
    response.msgFlags = CB_RESPONSE_OK;
    UINT rc = CHANNEL_RC_OK;
    {
      std::lock_guard lock(self->channelMutex_);
      if (self->context_ != nullptr && context->ClientFormatListResponse != nullptr)
        rc = context->ClientFormatListResponse(context, &response);
    }
    self->OnServerFormats(offer);
    return rc;
  }

  static UINT ServerFormatListResponse(CliprdrClientContext*,
                                       const CLIPRDR_FORMAT_LIST_RESPONSE* response) {
    if (response != nullptr && (response->msgFlags & CB_RESPONSE_FAIL) != 0)
      qCDebug(lcRdp) << "clipboard: the server refused our format list";
    return CHANNEL_RC_OK;
  }

  static UINT ServerFormatDataRequest(CliprdrClientContext* context,
                                      const CLIPRDR_FORMAT_DATA_REQUEST* request) {
    TRdpClipboard* self = Of(context);
    if (self == nullptr || request == nullptr) return CHANNEL_RC_OK;
    const std::uint32_t formatId = request->requestedFormatId;
    PostToThreadOf(self, [self, formatId] { self->AnswerDataRequest(formatId); });
    return CHANNEL_RC_OK;
  }

  static UINT ServerFormatDataResponse(CliprdrClientContext* context,
                                       const CLIPRDR_FORMAT_DATA_RESPONSE* response) {
    TRdpClipboard* self = Of(context);
    if (self == nullptr || response == nullptr) return CHANNEL_RC_OK;
    const bool ok = (response->msgFlags & CB_RESPONSE_OK) != 0;
    self->OnDataResponse(ok, response->requestedFormatData, response->dataLen);
    return CHANNEL_RC_OK;
  }

  static UINT ServerFileContentsRequest(CliprdrClientContext* context,
                                        const CLIPRDR_FILE_CONTENTS_REQUEST* request) {
    TRdpClipboard* self = Of(context);
    if (self == nullptr || request == nullptr) return CHANNEL_RC_OK;
    const std::uint64_t position =
        (static_cast<std::uint64_t>(request->nPositionHigh) << 32) | request->nPositionLow;
    const std::uint32_t streamId = request->streamId;
    const std::uint32_t index = request->listIndex;
    const std::uint32_t flags = request->dwFlags;
    const std::uint32_t requested = request->cbRequested;
    // Disk reads stay off the session thread (and off the UI thread), one request at a time, and
    // only a few wait: a server that asks faster than it takes the answers gets refusals, not
    // our memory.
    if (self->queuedServes_.fetch_add(1) >= kMaxQueuedFileRequests) {
      self->queuedServes_.fetch_sub(1);
      qCDebug(lcRdp) << "clipboard: file request refused, too many waiting";
      self->SendFileContentsResponse(streamId, false, {});
      return CHANNEL_RC_OK;
    }
    StartInPool(*self->serveThread_, [self, streamId, index, flags, position, requested] {
      self->ServeFileContents(streamId, index, flags, position, requested);
      self->queuedServes_.fetch_sub(1);
    });
    return CHANNEL_RC_OK;
  }

  static UINT ServerFileContentsResponse(CliprdrClientContext* context,
                                         const CLIPRDR_FILE_CONTENTS_RESPONSE* response) {
    TRdpClipboard* self = Of(context);
    if (self == nullptr || response == nullptr) return CHANNEL_RC_OK;
    // The channel gives the data's length as cbRequested.
    self->OnFileContentsResponse(response->streamId, (response->msgFlags & CB_RESPONSE_OK) != 0,
                                 response->requestedData, response->cbRequested);
    return CHANNEL_RC_OK;
  }
};

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

// One paste of a remote file list: asking for the list, then fetching on a worker thread. Its
// steps are driven by events, not by the stack of whoever asked first, so every local program
// waiting for it (each in its own nested event loop) sees it end.
struct TRdpClipboard::PasteRun {
  std::uint32_t formatId = 0;
  bool done = false;
  TFetchResult result;
  std::shared_ptr<DataWait> list;  // while the list is asked for
  bool listTimedOut = false;
  std::unique_ptr<QProgressDialog> progress;
  std::thread worker;
};

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

void TRdpClipboard::Attach(CliprdrClientContext* context) {
  {
    std::lock_guard lock(channelMutex_);
    context_ = context;
    detached_ = false;
    queuedServes_ = 0;
    context->custom = this;
    context->ServerCapabilities = ChannelCallbacks::ServerCapabilities;
    context->MonitorReady = ChannelCallbacks::MonitorReady;
    context->ServerFormatList = ChannelCallbacks::ServerFormatList;
    context->ServerFormatListResponse = ChannelCallbacks::ServerFormatListResponse;
    context->ServerFormatDataRequest = ChannelCallbacks::ServerFormatDataRequest;
    context->ServerFormatDataResponse = ChannelCallbacks::ServerFormatDataResponse;
    context->ServerFileContentsRequest = ChannelCallbacks::ServerFileContentsRequest;
    context->ServerFileContentsResponse = ChannelCallbacks::ServerFileContentsResponse;
  }
  PostToThreadOf(this, [this] { Start(); });
}

void TRdpClipboard::Detach() {
  {
    std::lock_guard lock(channelMutex_);
    if (context_ != nullptr) {
      context_->custom = nullptr;
      context_->ServerCapabilities = nullptr;
      context_->MonitorReady = nullptr;
      context_->ServerFormatList = nullptr;
      context_->ServerFormatListResponse = nullptr;
      context_->ServerFormatDataRequest = nullptr;
      context_->ServerFormatDataResponse = nullptr;
      context_->ServerFileContentsRequest = nullptr;
      context_->ServerFileContentsResponse = nullptr;
      context_ = nullptr;
    }
    detached_ = true;
  }
  serveThread_->clear();
  {
    std::lock_guard lock(waitMutex_);
    waitDone_.notify_all();
  }
  Wake();
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
