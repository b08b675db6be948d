#include "fakecliprdrpeer.h"

#include <future>

TFakeCliprdrPeer::TFakeCliprdrPeer() {
  context_.handle = this;
  context_.ClientCapabilities = ClientCapabilities;
  context_.ClientFormatList = ClientFormatList;
  context_.ClientFormatListResponse = ClientFormatListResponse;
  context_.ClientFormatDataRequest = ClientFormatDataRequest;
  context_.ClientFormatDataResponse = ClientFormatDataResponse;
  context_.ClientFileContentsRequest = ClientFileContentsRequest;
  context_.ClientFileContentsResponse = ClientFileContentsResponse;
  thread_ = std::thread([this] { Loop(); });
}

TFakeCliprdrPeer::~TFakeCliprdrPeer() {
  {
    std::lock_guard lock(queueMutex_);
    stopping_ = true;
  }
  queued_.notify_all();
  thread_.join();
}

TFakeCliprdrPeer* TFakeCliprdrPeer::Of(CliprdrClientContext* c) {
  return static_cast<TFakeCliprdrPeer*>(c->handle);
}

void TFakeCliprdrPeer::Post(std::function<void()> call) {
  {
    std::lock_guard lock(queueMutex_);
    queue_.push_back(std::move(call));
  }
  queued_.notify_all();
}

void TFakeCliprdrPeer::Loop() {
  for (;;) {
    std::function<void()> call;
    {
      std::unique_lock lock(queueMutex_);
      queued_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      call = std::move(queue_.front());
      queue_.pop_front();
    }
    call();
  }
}

void TFakeCliprdrPeer::RunOnPeer(const std::function<void()>& call) {
  std::promise<void> done;
  Post([&] {
    call();
    done.set_value();
  });
  done.get_future().wait();
}

void TFakeCliprdrPeer::SendMonitorReady() {
  Post([this] {
    CLIPRDR_MONITOR_READY ready{};
    ready.msgType = CB_MONITOR_READY;
    if (context_.MonitorReady != nullptr) context_.MonitorReady(&context_, &ready);
  });
}

void TFakeCliprdrPeer::SendFormatList(const std::vector<TClipFormat>& formats) {
  Post([this, formats] {
    std::vector<QByteArray> names;
    for (const TClipFormat& f : formats) names.push_back(f.name.toUtf8());
    std::vector<CLIPRDR_FORMAT> entries;
    for (size_t i = 0; i < formats.size(); ++i)
      entries.push_back({formats[i].id, formats[i].name.isEmpty() ? nullptr : names[i].data()});
    CLIPRDR_FORMAT_LIST list{};
    list.msgType = CB_FORMAT_LIST;
    list.numFormats = static_cast<UINT32>(entries.size());
    list.formats = entries.data();
    if (context_.ServerFormatList != nullptr) context_.ServerFormatList(&context_, &list);
  });
}

void TFakeCliprdrPeer::SendDataRequest(std::uint32_t formatId) {
  Post([this, formatId] {
    CLIPRDR_FORMAT_DATA_REQUEST request{};
    request.msgType = CB_FORMAT_DATA_REQUEST;
    request.requestedFormatId = formatId;
    if (context_.ServerFormatDataRequest != nullptr)
      context_.ServerFormatDataRequest(&context_, &request);
  });
}

void TFakeCliprdrPeer::SendFileContentsRequest(std::uint32_t streamId, std::uint32_t index,
                                               std::uint32_t flags, std::uint64_t position,
                                               std::uint32_t requested) {
  Post([=, this] {
    CLIPRDR_FILE_CONTENTS_REQUEST request{};
    request.msgType = CB_FILECONTENTS_REQUEST;
    request.streamId = streamId;
    request.listIndex = index;
    request.dwFlags = flags;
    request.nPositionLow = static_cast<UINT32>(position & 0xFFFFFFFFu);
    request.nPositionHigh = static_cast<UINT32>(position >> 32);
    request.cbRequested = requested;
    if (context_.ServerFileContentsRequest != nullptr)
      context_.ServerFileContentsRequest(&context_, &request);
  });
}

UINT TFakeCliprdrPeer::ClientCapabilities(CliprdrClientContext* c,
                                          const CLIPRDR_CAPABILITIES* capabilities) {
  auto lock = Of(c)->Lock();
  ++Of(c)->capabilities;
  Of(c)->capabilityFlags =
      reinterpret_cast<const CLIPRDR_GENERAL_CAPABILITY_SET*>(capabilities->capabilitySets)
          ->generalFlags;
  return CHANNEL_RC_OK;
}

UINT TFakeCliprdrPeer::ClientFormatList(CliprdrClientContext* c, const CLIPRDR_FORMAT_LIST* list) {
  std::vector<TClipFormat> formats;
  for (UINT32 i = 0; i < list->numFormats; ++i)
    formats.push_back(
        {list->formats[i].formatId, list->formats[i].formatName != nullptr
                                        ? QString::fromUtf8(list->formats[i].formatName)
                                        : QString()});
  auto lock = Of(c)->Lock();
  Of(c)->formatLists.push_back(formats);
  return CHANNEL_RC_OK;
}

UINT TFakeCliprdrPeer::ClientFormatListResponse(CliprdrClientContext* c,
                                                const CLIPRDR_FORMAT_LIST_RESPONSE*) {
  auto lock = Of(c)->Lock();
  ++Of(c)->formatListResponses;
  return CHANNEL_RC_OK;
}

UINT TFakeCliprdrPeer::ClientFormatDataRequest(CliprdrClientContext* c,
                                               const CLIPRDR_FORMAT_DATA_REQUEST* request) {
  TFakeCliprdrPeer* peer = Of(c);
  const std::uint32_t formatId = request->requestedFormatId;
  if (!peer->answerData) return CHANNEL_RC_OK;
  peer->Post([peer, formatId] {
    const std::optional<QByteArray> data = peer->answerData(formatId);
    CLIPRDR_FORMAT_DATA_RESPONSE response{};
    response.msgType = CB_FORMAT_DATA_RESPONSE;
    response.msgFlags = data ? CB_RESPONSE_OK : CB_RESPONSE_FAIL;
    response.dataLen = data ? static_cast<UINT32>(data->size()) : 0;
    response.requestedFormatData =
        data ? reinterpret_cast<const BYTE*>(data->constData()) : nullptr;
    if (peer->context_.ServerFormatDataResponse != nullptr)
      peer->context_.ServerFormatDataResponse(&peer->context_, &response);
  });
  return CHANNEL_RC_OK;
}

UINT TFakeCliprdrPeer::ClientFormatDataResponse(CliprdrClientContext* c,
                                                const CLIPRDR_FORMAT_DATA_RESPONSE* response) {
  auto lock = Of(c)->Lock();
  if ((response->msgFlags & CB_RESPONSE_OK) != 0)
    Of(c)->dataAnswers.emplace_back(QByteArray(
        reinterpret_cast<const char*>(response->requestedFormatData), response->dataLen));
  else
    Of(c)->dataAnswers.emplace_back(std::nullopt);
  return CHANNEL_RC_OK;
}

UINT TFakeCliprdrPeer::ClientFileContentsRequest(CliprdrClientContext* c,
                                                 const CLIPRDR_FILE_CONTENTS_REQUEST* request) {
  TFakeCliprdrPeer* peer = Of(c);
  {
    auto lock = peer->Lock();
    ++peer->fileRequests;
  }
  if (!peer->answerFile) return CHANNEL_RC_OK;
  const CLIPRDR_FILE_CONTENTS_REQUEST copy = *request;
  peer->Post([peer, copy] {
    const std::optional<QByteArray> data = peer->answerFile(copy);
    CLIPRDR_FILE_CONTENTS_RESPONSE response{};
    response.msgType = CB_FILECONTENTS_RESPONSE;
    response.msgFlags = data ? CB_RESPONSE_OK : CB_RESPONSE_FAIL;
    response.streamId = copy.streamId;
    response.cbRequested = data ? static_cast<UINT32>(data->size()) : 0;
    response.requestedData = data ? reinterpret_cast<const BYTE*>(data->constData()) : nullptr;
    if (peer->context_.ServerFileContentsResponse != nullptr)
      peer->context_.ServerFileContentsResponse(&peer->context_, &response);
  });
  return CHANNEL_RC_OK;
}

UINT TFakeCliprdrPeer::ClientFileContentsResponse(CliprdrClientContext* c,
                                                  const CLIPRDR_FILE_CONTENTS_RESPONSE* response) {
  auto lock = Of(c)->Lock();
  FileAnswer answer;
  answer.streamId = response->streamId;
  answer.ok = (response->msgFlags & CB_RESPONSE_OK) != 0;
  if (answer.ok)
    answer.data =
        QByteArray(reinterpret_cast<const char*>(response->requestedData), response->cbRequested);
  Of(c)->fileAnswers.push_back(answer);
  return CHANNEL_RC_OK;
}
