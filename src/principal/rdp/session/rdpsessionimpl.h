#pragma once

// The FreeRDP session's state and the helpers its files share: the loop (rdpsession.cpp), the
// settings (rdpsessionsettings.cpp), reconnection (rdpsessionreconnect.cpp) and trust
// (rdpsessiontrust.cpp). Private to the session library.

#include <freerdp/client/disp.h>
#include <freerdp/event.h>
#include <freerdp/freerdp.h>
#include <winpr/synch.h>

#include <QRegion>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "principal/rdp/session/clipboard/rdpclipboard.h"
#include "principal/rdp/session/rdpcontext.h"
#include "principal/rdp/session/rdpframesink.h"
#include "principal/rdp/session/rdppointer.h"
#include "principal/rdp/session/rdpsession.h"

// How often a waiting session thread looks whether it was asked to stop.
inline constexpr auto kAbortPoll = std::chrono::milliseconds(100);
// How long the link's measurement waits for the server's answer; a link slower than this is
// slow for any codec choice.
inline constexpr std::chrono::milliseconds kLinkAnswerLimit{500};
// The session loop wakes at least this often even when nothing happens.
inline constexpr DWORD kLoopTimeoutMs = 1000;

struct TInputEvent {
  enum class Kind { Keyboard, Mouse, ExtendedMouse, Synchronize } kind;
  std::uint16_t flags = 0;
  std::uint16_t a = 0;  // scan code, or x
  std::uint16_t b = 0;  // y
  bool down = false;
};

// A store the compiler may not drop because the memory is about to be freed.
void WipeBytes(void* data, size_t size);
// FreeRDP frees its settings without overwriting them.
void WipeSettingsPassword(rdpSettings* settings);
// Makes FreeRDP's channels that are built into the library known to it (once per process).
void RegisterStaticChannels();

struct TRdpSession::Impl : std::enable_shared_from_this<TRdpSession::Impl>,
                           TRdpFrameSink::Listener {
  TRdpConnectParams params;

  // The UI side. Only touched under linkMutex by the session thread; read on the UI thread.
  std::mutex linkMutex;
  QObject* receiver = nullptr;
  TRdpSessionEvents* events = nullptr;

  std::thread thread;
  std::promise<void> finished;
  std::shared_future<void> finishedFuture = finished.get_future().share();

  // The FreeRDP instance while it exists; Abort reaches it under this lock.
  std::mutex instanceMutex;
  freerdp* instance = nullptr;
  std::atomic<bool> abortRequested = false;
  // While freerdp_connect runs, and the sockets the process had before it (under instanceMutex).
  bool connecting = false;
  std::set<std::string> socketsBefore;

  HANDLE wake = nullptr;
  std::mutex inputMutex;
  std::deque<TInputEvent> input;
  // Set with the queue's first event, so the busy loop looks at the queue only when it has one.
  std::atomic<bool> inputPending = false;

  // Changed screen areas not yet taken by the UI; one queued call is in flight at most.
  std::mutex dirtyMutex;
  QRegion dirty;
  bool dirtyPosted = false;

  TRdpFrameSink frameSink{*this};
  std::shared_ptr<TRdpClipboard> clipboard;  // while the clipboard channel is up (session thread)

  // The certificate the person trusted for the connection under way, remembered only once that
  // connection is complete (session thread).
  struct Approval {
    QString host;
    int port = 0;
    QString fingerprint;
  };
  std::optional<Approval> approval;

  // The display control channel, set and cleared on FreeRDP's dynamic channel thread and used on
  // the session thread; the layout the view wants, set on the UI thread. All under displayMutex.
  std::mutex displayMutex;
  DispClientContext* disp = nullptr;
  bool dispReady = false;  // the server said it takes layouts (its capabilities came)
  std::uint64_t dispMaxArea = 0;
  TRdpDisplayLayout wantedLayout;
  // A new wanted layout or the channel's readiness wakes the loop (set under inputMutex, with
  // wake); the loop looks at the channel only then, or while a layout waits for its turn.
  std::atomic<bool> layoutPending = false;
  // Session thread only: the layouts sent, and the scale asked at the last (re)connection.
  TRdpLayoutPacer pacer;
  TRdpDisplayLayout connectLayout;
  // When the server was last asked for a new size (session thread): how an end is read.
  std::optional<TRdpLayoutPacer::Clock::time_point> lastLayoutSentAt;
  // The server drew past our desktop soon after a new size was asked (session thread): the loop
  // ends and a new connection brings both sides to one size.
  bool outOfStep = false;

  // Whether the codec was chosen for this connection yet, by the link's round trip measured before
  // its capabilities go out (session thread).
  bool linkMeasured = false;

  // The person said no to a certificate question (session thread): reconnecting stops there.
  bool certificateRefused = false;

  Impl() = default;
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;
  ~Impl() {
    if (wake != nullptr) CloseHandle(wake);
  }

  void Post(std::function<void(TRdpSessionEvents&)> call);
  void Run();
  bool Configure(freerdp* inst);
  bool ChooseChannels(rdpSettings* settings);
  static void LogChannels(rdpSettings* settings);
  int Reason(freerdp* inst) const;
  void Loop(freerdp* inst);
  // What ended the connection, as the session and FreeRDP tell it now.
  TRdpSessionEnd End(freerdp* inst) const;
  bool ShouldReconnect(freerdp* inst) const;
  bool Reconnect(freerdp* inst);
  // Sleeps for delay unless Abort comes first; false when it did.
  bool Pause(std::chrono::milliseconds delay) const;
  static bool DropFailedChannel(rdpContext* context);
  void DrainInput(freerdp* inst);
  void Enqueue(const TInputEvent& event);
  // The layout for the next (re)connection: the latest one the view wants.
  bool ApplyConnectLayout(rdpSettings* settings);
  // Sends the view's layout through the display control channel when one is due.
  void PaceLayout(freerdp* inst);
  void WakeForLayout();
  // How long the loop may wait: less than kLoopTimeoutMs while a layout waits for its turn.
  DWORD LoopWaitMs();
  void FrameReplaced(const TRdpFrame& frame) override;
  void FrameChanged(const QRegion& region) override;
  // Asks the person on the UI thread and waits for the answer, Abort, the server's going or the
  // time limit; whatever ends the wait first withdraws the question and closes its box.
  struct AskResult {
    TCertificateQuestion::Outcome outcome;
    bool serverGone;  // withdrawn because the server hung up
  };
  AskResult Ask(std::shared_ptr<TCertificateQuestion> question);
  int CheckCertificate(const BYTE* pem, size_t length, const char* host, UINT16 port);
  [[nodiscard]] QString KnownHostsPath() const;
  void RememberApproval();
  // A connection starts (the first, FreeRDP's own retry, or a reconnection): nothing of an
  // earlier one is trusted.
  void ForgetAcceptedCertificate(rdpSettings* settings);
  // The TCP sockets of the attempt under way (those to the server's port opened since it began).
  [[nodiscard]] std::vector<int> AttemptSockets();
  // Chooses the codec by the link's round trip (exchange: how long the server took to answer a
  // request on sockets, when known), once per connection.
  void MeasureLink(rdpSettings* settings, const std::vector<int>& sockets,
                   std::optional<std::chrono::microseconds> exchange);
  // RemoteFX past the desktop: out of step if a new size was asked just before.
  void SurfacePastDesktop();

  // FreeRDP callbacks
  static BOOL PreConnect(freerdp* inst);
  static void ChannelConnected(void* context, ChannelConnectedEventArgs* e);
  static void ChannelDisconnected(void* context, ChannelDisconnectedEventArgs* e);
  static void ConnectionStateChanged(void* context, ConnectionStateChangeEventArgs* e);
  static void LinkStateChanged(void* context, ConnectionStateChangeEventArgs* e);
  // A reconnection's frame takes the size of its desktop before the first picture.
  static void FrameToDesktop(rdpContext* context);
  static UINT DisplayControlCaps(DispClientContext* context, UINT32 maxMonitors,
                                 UINT32 maxAreaFactorA, UINT32 maxAreaFactorB);
  static BOOL PostConnect(freerdp* inst);
  static void PostDisconnect(freerdp* inst);
  static BOOL Authenticate(freerdp* inst, char** user, char** password, char** domain);
  static int VerifyX509Certificate(freerdp* inst, const BYTE* data, size_t length, const char* host,
                                   UINT16 port, DWORD flags);
};

inline TRdpSession::Impl* SessionOf(rdpContext* context) {
  return reinterpret_cast<TSessionContext*>(context)->session;
}
inline TRdpSession::Impl* SessionOf(freerdp* inst) {
  return SessionOf(inst->context);
}
