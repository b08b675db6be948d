#include "principal/rdp/clipboard/rdpclipboard.h"

#include <freerdp/client/cliprdr.h>

#include <QClipboard>
#include <QEventLoop>
#include <QGuiApplication>
#include <QImage>
#include <QMimeData>
#include <QProgressDialog>
#include <QThread>
#include <QtEndian>
#include <thread>

#include "core/handoff.h"
#include "principal/rdp/clipboard/cliplimits.h"
#include "principal/rdp/clipboard/clippicture.h"
#include "principal/rdp/clipboard/cliptext.h"
#include "principal/rdp/clipboard/filefetcher.h"
#include "principal/rdp/clipboard/localfiles.h"
#include "principal/rdp/clipboard/remotemimedata.h"
#include "principal/rdp/rdplog.h"

namespace {

const QString kPasteProgressText = QStringLiteral("Copiando arquivos do Zentra...");
const QString kPasteCancelText = QStringLiteral("Cancelar");
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
    std::vector<ClipFormat> formats;
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
    const RemoteOffer offer = OfferFromFormats(formats);
    if (lcRdp().isDebugEnabled()) {
      QStringList listed;
      for (const ClipFormat& f : formats)
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
    // Disk reads stay off the session thread (and off the UI thread), one request at a time.
    StartInPool(*self->serveThread_, [self, streamId, index, flags, position, requested] {
      self->ServeFileContents(streamId, index, flags, position, requested);
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

TRdpClipboard::TRdpClipboard() : serveThread_(new QThreadPool(this)) {
  serveThread_->setMaxThreadCount(1);
}

TRdpClipboard::~TRdpClipboard() {
  Detach();
  serveThread_->clear();
  serveThread_->waitForDone();
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
      if (c->transferring_)
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
  std::lock_guard lock(waitMutex_);
  waitDone_.notify_all();
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
  if (!ready_ || clipboard_ == nullptr || detached_) return;
  const QMimeData* mime = clipboard_->mimeData(QClipboard::Clipboard);
  // The server's own copy, put there by us: announcing it back would loop.
  if (qobject_cast<const TRemoteMimeData*>(mime) != nullptr) return;
  LocalOffer offer;
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

void TRdpClipboard::OnServerFormats(const RemoteOffer& offer) {
  PostToThreadOf(this, [this, offer] { ApplyRemoteOffer(offer); });
}

void TRdpClipboard::ApplyRemoteOffer(const RemoteOffer& offer) {
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
        // Walking folders can take a while: on the serving thread, which then answers.
        StartInPool(*serveThread_, [this, paths = localPaths_] {
          auto list = std::make_shared<TLocalFileList>(TLocalFileList::FromPaths(paths));
          if (list->Truncated())
            qCWarning(lcRdp) << "clipboard: local file list cut at" << kMaxClipFiles << "entries";
          {
            std::lock_guard lock(servedMutex_);
            served_ = list;
          }
          SendDataResponse(true, list->Descriptors());
        });
        return;
      }
      break;
    default:
      break;
  }
  SendDataResponse(false, {});
}

bool TRdpClipboard::SendFormatList(const std::vector<ClipFormat>& formats) {
  std::vector<QByteArray> names;
  std::vector<CLIPRDR_FORMAT> entries;
  names.reserve(formats.size());
  for (const ClipFormat& f : formats) names.push_back(f.name.toUtf8());
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

std::optional<QByteArray> TRdpClipboard::RequestData(std::uint32_t formatId) {
  {
    std::lock_guard lock(waitMutex_);
    if (dataWait_.active || detached_) return std::nullopt;  // one question at a time
    dataWait_ = DataWait{};
    dataWait_.active = true;
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
  std::unique_lock lock(waitMutex_);
  if (sent)
    waitDone_.wait_for(lock, kClipDataTimeout, [this] { return dataWait_.done || detached_; });
  DataWait answer = std::move(dataWait_);
  dataWait_ = DataWait{};
  if (!answer.done)
    qCDebug(lcRdp) << "clipboard: no answer for format" << formatId;
  else if (!answer.ok)
    qCDebug(lcRdp) << "clipboard: the server refused format" << formatId;
  if (!answer.done || !answer.ok) return std::nullopt;
  return answer.data;
}

void TRdpClipboard::OnDataResponse(bool ok, const unsigned char* data, std::uint32_t size) {
  std::lock_guard lock(waitMutex_);
  // An answer nobody waits for any more (it came too late) is dropped.
  if (!dataWait_.active || dataWait_.done) return;
  dataWait_.done = true;
  dataWait_.ok = ok && (size == 0 || data != nullptr) && size <= kMaxClipDataBytes;
  if (dataWait_.ok && size > 0)
    dataWait_.data = QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
  waitDone_.notify_all();
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
  std::lock_guard lock(waitMutex_);
  waitDone_.notify_all();
}

QStringList TRdpClipboard::PasteFiles(std::uint32_t formatId) {
  // One paste at a time: a program that asks again while the first runs gets nothing.
  if (transferring_ || detached_) return {};
  const auto data = RequestData(formatId);
  if (!data) return {};
  const FileListResult list = ParseFileList(*data);
  if (list.error != FileListError::None) {
    qCWarning(lcRdp) << "clipboard: refused the server's file list, fault"
                     << static_cast<int>(list.error);
    return {};
  }
  const QString folder = NewPasteFolder();
  if (folder.isEmpty()) {
    qCWarning(lcRdp) << "clipboard: no private folder for pasted files";
    return {};
  }
  transferring_ = true;
  cancel_ = false;

  QProgressDialog progress(kPasteProgressText, kPasteCancelText, 0, kProgressSteps);
  progress.setObjectName(QStringLiteral("ClipboardProgress"));
  progress.setMinimumDuration(kProgressShowAfterMs);
  progress.setAutoClose(false);
  progress.setAutoReset(false);
  connect(&progress, &QProgressDialog::canceled, this, &TRdpClipboard::CancelTransfer);
  const auto shown = connect(
      this, &TRdpClipboard::TransferProgress, &progress, [&progress](quint64 done, quint64 total) {
        progress.setValue(total == 0 ? kProgressSteps
                                     : static_cast<int>(done * kProgressSteps / total));
      });

  FetchResult result;
  QEventLoop loop;
  std::thread worker([&] {
    ChannelSource source(this);
    int lastStep = -1;
    result = FetchFiles(
        list.files, folder, source,
        [this, &lastStep](std::uint64_t done, std::uint64_t total) {
          const int step =
              total == 0 ? kProgressSteps : static_cast<int>(done * kProgressSteps / total);
          if (step == lastStep) return;
          lastStep = step;
          PostToThreadOf(this, [this, done, total] { emit TransferProgress(done, total); });
        },
        cancel_);
    PostToThreadOf(&loop, [&loop] { loop.quit(); });
  });
  loop.exec();
  worker.join();
  disconnect(shown);
  transferring_ = false;
  if (pendingOffer_) {
    QMetaObject::invokeMethod(
        this, [this, offer = *pendingOffer_] { ApplyRemoteOffer(offer); }, Qt::QueuedConnection);
    pendingOffer_.reset();
  }
  if (!result.Ok())
    qCWarning(lcRdp) << "clipboard: paste of remote files ended:" << result.error;
  else
    qCDebug(lcRdp) << "clipboard: pasted" << list.files.size() << "remote entries into" << folder;
  emit TransferFinished(result.topLevel);
  if (deleteAfterTransfer_) deleteLater();
  return result.topLevel;
}
