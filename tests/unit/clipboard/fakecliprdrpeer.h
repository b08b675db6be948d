#pragma once

#include <freerdp/client/cliprdr.h>

#include <QByteArray>
#include <QString>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "principal/rdp/session/clipboard/clipformats.h"

// The remote side of the clipboard channel, scripted: a CliprdrClientContext whose client calls
// land here, and a thread of its own standing in for FreeRDP's session thread, from which the
// server's messages are delivered to the clipboard under test.
class TFakeCliprdrPeer {
 public:
  TFakeCliprdrPeer();
  ~TFakeCliprdrPeer();
  TFakeCliprdrPeer(const TFakeCliprdrPeer&) = delete;
  TFakeCliprdrPeer& operator=(const TFakeCliprdrPeer&) = delete;

  CliprdrClientContext* Context() { return &context_; }

  // How the server answers the client's requests (run on the peer's thread). nullopt answers
  // with a failure; an unset answer never answers at all.
  std::function<std::optional<QByteArray>(std::uint32_t formatId)> answerData;
  std::function<std::optional<QByteArray>(const CLIPRDR_FILE_CONTENTS_REQUEST&)> answerFile;

  // Server messages, delivered from the peer's thread.
  void SendMonitorReady();
  void SendFormatList(const std::vector<TClipFormat>& formats);
  void SendDataRequest(std::uint32_t formatId);
  void SendFileContentsRequest(std::uint32_t streamId, std::uint32_t index, std::uint32_t flags,
                               std::uint64_t position, std::uint32_t requested);
  // Runs call on the peer's thread and waits for it.
  void RunOnPeer(const std::function<void()>& call);

  // What the client sent, in order (read under Lock()).
  struct FileAnswer {
    std::uint32_t streamId = 0;
    bool ok = false;
    QByteArray data;
  };
  std::unique_lock<std::mutex> Lock() { return std::unique_lock(mutex_); }
  int capabilities = 0;
  std::uint32_t capabilityFlags = 0;
  std::vector<std::vector<TClipFormat>> formatLists;
  int formatListResponses = 0;
  std::vector<std::optional<QByteArray>> dataAnswers;  // nullopt for a failure
  std::vector<FileAnswer> fileAnswers;
  int fileRequests = 0;

 private:
  void Post(std::function<void()> call);
  void Loop();

  static UINT ClientCapabilities(CliprdrClientContext*, const CLIPRDR_CAPABILITIES*);
  static UINT ClientFormatList(CliprdrClientContext*, const CLIPRDR_FORMAT_LIST*);
  static UINT ClientFormatListResponse(CliprdrClientContext*, const CLIPRDR_FORMAT_LIST_RESPONSE*);
  static UINT ClientFormatDataRequest(CliprdrClientContext*, const CLIPRDR_FORMAT_DATA_REQUEST*);
  static UINT ClientFormatDataResponse(CliprdrClientContext*, const CLIPRDR_FORMAT_DATA_RESPONSE*);
  static UINT ClientFileContentsRequest(CliprdrClientContext*,
                                        const CLIPRDR_FILE_CONTENTS_REQUEST*);
  static UINT ClientFileContentsResponse(CliprdrClientContext*,
                                         const CLIPRDR_FILE_CONTENTS_RESPONSE*);
  static TFakeCliprdrPeer* Of(CliprdrClientContext* c);

  CliprdrClientContext context_{};
  std::mutex mutex_;

  std::mutex queueMutex_;
  std::condition_variable queued_;
  std::deque<std::function<void()>> queue_;
  bool stopping_ = false;
  std::thread thread_;
};
