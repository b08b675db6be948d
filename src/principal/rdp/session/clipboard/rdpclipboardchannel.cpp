#include <freerdp/client/cliprdr.h>

#include <QtEndian>

#include "core/handoff.h"
#include "principal/rdp/rdplog.h"
#include "principal/rdp/session/clipboard/cliplimits.h"
#include "principal/rdp/session/clipboard/rdpclipboard.h"

// The clipboard's side of FreeRDP's channel: the callbacks FreeRDP calls, and handing them over
// and back.

namespace {

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
