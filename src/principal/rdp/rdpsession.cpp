#include "principal/rdp/rdpsession.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/handoff.h"
#include "platform/localdevices.h"
#include "principal/rdp/clipboard/rdpclipboard.h"
#include "principal/rdp/rdpcertificate.h"
#include "principal/rdp/rdpcodecs.h"
#include "principal/rdp/rdpcontext.h"
#include "principal/rdp/rdpdevices.h"
#include "principal/rdp/rdpdrorder.h"
#include "principal/rdp/rdpinputflags.h"
#include "principal/rdp/rdpknownhosts.h"
#include "principal/rdp/rdplog.h"
#include "principal/rdp/rdppointer.h"

#include <freerdp/addin.h>
#include <freerdp/channels/cliprdr.h>
#include <freerdp/channels/disp.h>
#include <freerdp/client/channels.h>
#include <freerdp/client/cliprdr.h>
#include <freerdp/client/cmdline.h>
#include <freerdp/client/disp.h>
#include <freerdp/codec/color.h>
#include <freerdp/error.h>
#include <freerdp/event.h>
#include <freerdp/freerdp.h>
#include <freerdp/gdi/gdi.h>
#include <freerdp/input.h>
#include <freerdp/locale/keyboard.h>
#include <freerdp/settings.h>
#include <winpr/synch.h>

#include <QDir>
#include <QFile>
#include <QMetaObject>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

// How long a connection waits for the person to answer a certificate question.
constexpr auto kCertificateAnswerTimeout = std::chrono::minutes(10);
// Answers to FreeRDP's certificate check. FreeRDP remembers nothing itself (the certificates the
// person trusted are ours to keep), so an accepted certificate is accepted for this connection.
constexpr int kCertificateRefuse = 0;
constexpr int kCertificateAccept = 2;
// The remembered certificates, in the program's configuration folder.
constexpr char kKnownHostsFile[] = "known_hosts2";
// How often a waiting session thread looks whether it was asked to stop.
constexpr auto kAbortPoll = std::chrono::milliseconds(100);
// The session loop wakes at least this often even when nothing happens.
constexpr DWORD kLoopTimeoutMs = 1000;

struct InputEvent {
  enum class Kind { Keyboard, Mouse, ExtendedMouse, Synchronize } kind;
  std::uint16_t flags = 0;
  std::uint16_t a = 0;  // scan code, or x
  std::uint16_t b = 0;  // y
  bool down = false;
};

// A store the compiler may not drop because the memory is about to be freed.
void WipeBytes(void* data, size_t size) {
  if (data != nullptr && size > 0) explicit_bzero(data, size);
}

// The process's open sockets: descriptor and the socket it names ("socket:[inode]"), read from
// the links in /proc/self/fd. The links say what a descriptor is without touching it: most
// descriptors belong to other threads (Qt's, the clipboard's), which may close them meanwhile.
std::map<int, std::string> OpenSockets() {
  std::map<int, std::string> sockets;
  const QDir fds(QStringLiteral("/proc/self/fd"));
  const auto entries = fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
  for (const auto& entry : entries) {
    bool ok = false;
    const int fd = entry.toInt(&ok);
    const QString target = fds.filePath(entry);
    char link[64] = {};
    const ssize_t length =
        ::readlink(QFile::encodeName(target).constData(), link, sizeof(link) - 1);
    if (ok && length > 0 && std::strncmp(link, "socket:[", 8) == 0)
      sockets.emplace(fd, std::string(link, static_cast<size_t>(length)));
  }
  return sockets;
}

// The sockets open now, by the socket, not the descriptor number: a number that is closed and
// given to the attempt's new socket in between would otherwise pass for an old one.
std::set<std::string> SocketsOpenNow() {
  std::set<std::string> sockets;
  for (const auto& [fd, socket] : OpenSockets()) sockets.insert(socket);
  return sockets;
}

// The TCP sockets opened since before that lead to a peer on port.
std::vector<int> NewSocketsTo(const std::set<std::string>& before, int port) {
  std::vector<int> found;
  for (const auto& [fd, socket] : OpenSockets()) {
    if (before.count(socket) != 0) continue;
    sockaddr_storage peer{};
    socklen_t length = sizeof(peer);
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) continue;
    int peerPort = -1;
    if (peer.ss_family == AF_INET)
      peerPort = ntohs(reinterpret_cast<const sockaddr_in*>(&peer)->sin_port);
    else if (peer.ss_family == AF_INET6)
      peerPort = ntohs(reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_port);
    if (peerPort == port) found.push_back(fd);
  }
  return found;
}

// Shuts down the TCP sockets opened since before that lead to a peer on port.
void ShutDownNewSocketsTo(const std::set<std::string>& before, int port) {
  for (const int fd : NewSocketsTo(before, port)) ::shutdown(fd, SHUT_RDWR);
}

// Whether the server closed or reset every one of sockets (and there was one): the attempt has
// nobody left to answer for. (A reset socket no longer names its peer: the sockets are the ones
// found while it was connected.)
bool PeerGone(const std::vector<int>& sockets) {
  if (sockets.empty()) return false;
  for (const int fd : sockets) {
    pollfd watch{fd, POLLRDHUP, 0};
    if (::poll(&watch, 1, 0) != 1 || (watch.revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0)
      return false;
  }
  return true;
}

// FreeRDP frees its settings without overwriting them.
void WipeSettingsPassword(rdpSettings* settings) {
  const char* password = freerdp_settings_get_string(settings, FreeRDP_Password);
  if (password != nullptr) WipeBytes(const_cast<char*>(password), std::strlen(password));
  (void)freerdp_settings_set_string(settings, FreeRDP_Password, nullptr);
}

}  // namespace

void WipePassword(QString& password) {
  if (password.isDetached())
    WipeBytes(password.data(), sizeof(QChar) * static_cast<size_t>(password.size()));
  password = QString();
}

struct TRdpSession::Impl : std::enable_shared_from_this<TRdpSession::Impl>,
                           TRdpFrameSink::Listener {
  RdpConnectParams params;

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
  std::deque<InputEvent> input;
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
  RdpDisplayLayout wantedLayout;
  // A new wanted layout or the channel's readiness wakes the loop (set under inputMutex, with
  // wake); the loop looks at the channel only then, or while a layout waits for its turn.
  std::atomic<bool> layoutPending = false;
  // Session thread only: the layouts sent, and the scale asked at the last (re)connection.
  TRdpLayoutPacer pacer;
  RdpDisplayLayout connectLayout;

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
  RdpSessionEnd End(freerdp* inst) const;
  bool ShouldReconnect(freerdp* inst) const;
  bool Reconnect(freerdp* inst);
  // Sleeps for delay unless Abort comes first; false when it did.
  bool Pause(std::chrono::milliseconds delay) const;
  static bool DropFailedChannel(rdpContext* context);
  void DrainInput(freerdp* inst);
  void Enqueue(const InputEvent& event);
  // The layout for the next (re)connection: the latest one the view wants.
  bool ApplyConnectLayout(rdpSettings* settings);
  // Sends the view's layout through the display control channel when one is due.
  void PaceLayout(freerdp* inst);
  void WakeForLayout();
  // How long the loop may wait: less than kLoopTimeoutMs while a layout waits for its turn.
  DWORD LoopWaitMs();
  void FrameReplaced(const RdpFrame& frame) override;
  void FrameChanged(const QRegion& region) override;
  // Asks the person on the UI thread and waits for the answer, Abort, the server's going or the
  // time limit; whatever ends the wait first withdraws the question and closes its box.
  TCertificateQuestion::Outcome Ask(std::shared_ptr<TCertificateQuestion> question);
  int CheckCertificate(const BYTE* pem, size_t length, const char* host, UINT16 port);
  [[nodiscard]] QString KnownHostsPath() const;
  void RememberApproval();
  // A connection starts (the first, FreeRDP's own retry, or a reconnection): nothing of an
  // earlier one is trusted.
  void ForgetAcceptedCertificate(rdpSettings* settings);

  // FreeRDP callbacks
  static BOOL PreConnect(freerdp* inst);
  static void ChannelConnected(void* context, ChannelConnectedEventArgs* e);
  static void ChannelDisconnected(void* context, ChannelDisconnectedEventArgs* e);
  static void ConnectionStateChanged(void* context, ConnectionStateChangeEventArgs* e);
  static UINT DisplayControlCaps(DispClientContext* context, UINT32 maxMonitors,
                                 UINT32 maxAreaFactorA, UINT32 maxAreaFactorB);
  static BOOL PostConnect(freerdp* inst);
  static void PostDisconnect(freerdp* inst);
  static BOOL Authenticate(freerdp* inst, char** user, char** password, char** domain);
  static int VerifyX509Certificate(freerdp* inst, const BYTE* data, size_t length, const char* host,
                                   UINT16 port, DWORD flags);
};

namespace {

TRdpSession::Impl* SessionOf(rdpContext* context) {
  return reinterpret_cast<SessionContext*>(context)->session;
}
TRdpSession::Impl* SessionOf(freerdp* inst) {
  return SessionOf(inst->context);
}

void RegisterStaticChannels() {
  static std::once_flag once;
  std::call_once(once, [] { freerdp_register_addin_provider(RdpChannelAddinEntry, 0); });
}

}  // namespace

void TRdpSession::Impl::Post(std::function<void(TRdpSessionEvents&)> call) {
  std::lock_guard lock(linkMutex);
  if (receiver == nullptr) return;
  PostToThreadOf(receiver, [self = shared_from_this(), call = std::move(call)] {
    TRdpSessionEvents* target = nullptr;
    {
      std::lock_guard inner(self->linkMutex);
      target = self->events;
    }
    if (target != nullptr) call(*target);
  });
}

bool TRdpSession::Impl::Configure(freerdp* inst) {
  rdpSettings* settings = inst->settings;
  // FreeRDP takes an IPv6 literal without its brackets.
  QString host = params.server;
  if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
    host = host.mid(1, host.size() - 2);
  const std::string server = host.toStdString();
  const std::string user = params.userName.toStdString();
  std::string password = params.password.toStdString();
  // From here on FreeRDP's copy is the session's; ours goes now.
  WipePassword(params.password);
  bool ok =
      freerdp_settings_set_string(settings, FreeRDP_ServerHostname, server.c_str()) &&
      freerdp_settings_set_uint32(settings, FreeRDP_ServerPort, static_cast<UINT32>(params.port)) &&
      freerdp_settings_set_string(settings, FreeRDP_Username, user.c_str()) &&
      freerdp_settings_set_string(settings, FreeRDP_Password, password.c_str());
  // The copy was only the way in; FreeRDP keeps its own for the session.
  WipeBytes(password.data(), password.size());
  ok = ok && ApplyConnectLayout(settings) &&
       // The remote desktop follows the view while connected (the display control channel);
       // a server without it keeps the size asked at connection.
       freerdp_settings_set_bool(settings, FreeRDP_SupportDisplayControl, TRUE) &&
       freerdp_settings_set_bool(settings, FreeRDP_DynamicResolutionUpdate, TRUE) &&
       freerdp_settings_set_uint32(settings, FreeRDP_ColorDepth, 32) &&
       freerdp_settings_set_bool(settings, FreeRDP_SoftwareGdi, TRUE) &&
       ApplyCodecSettings(settings) &&
       // Standard RDP security sends the password to whoever answers: only TLS and NLA are
       // offered, and the certificate rules decide who gets it.
       freerdp_settings_set_bool(settings, FreeRDP_RdpSecurity, FALSE) &&
       freerdp_settings_set_bool(settings, FreeRDP_TlsSecurity, TRUE) &&
       freerdp_settings_set_bool(settings, FreeRDP_NlaSecurity, TRUE) &&
       freerdp_settings_set_bool(settings, FreeRDP_ExtSecurity, FALSE) &&
       freerdp_settings_set_bool(settings, FreeRDP_NegotiateSecurityLayer, TRUE) &&
       freerdp_settings_set_bool(settings, FreeRDP_UseRdpSecurityLayer, FALSE) &&
       // Every certificate decision is ours (CheckCertificate): FreeRDP's own would take what
       // the system's authorities vouch for, for any host, and what its known_hosts2 file or
       // certificate folder holds, both within reach of a redirected drive.
       freerdp_settings_set_bool(settings, FreeRDP_ExternalCertificateManagement, TRUE) &&
       freerdp_settings_set_bool(settings, FreeRDP_IgnoreCertificate, FALSE) &&
       freerdp_settings_set_bool(settings, FreeRDP_AutoAcceptCertificate, FALSE) &&
       // The server's auto-reconnect cookie stays out of the log.
       freerdp_settings_set_bool(settings, FreeRDP_PrintReconnectCookie, FALSE) &&
       // Tells the server that a lost connection may come back: a server that then hands out an
       // auto-reconnect cookie gets it back on our attempts and reattaches the same session.
       // The attempts themselves are ours (Reconnect), not FreeRDP's.
       freerdp_settings_set_bool(settings, FreeRDP_AutoReconnectionEnabled, TRUE) &&
       freerdp_settings_set_uint32(settings, FreeRDP_OsMajorType, OSMAJORTYPE_UNIX) &&
       freerdp_settings_set_uint32(settings, FreeRDP_OsMinorType, OSMINORTYPE_NATIVE_XSERVER);
  if (!params.configFolder.isEmpty())
    ok = ok && freerdp_settings_set_string(settings, FreeRDP_ConfigPath,
                                           QFile::encodeName(params.configFolder).constData());
  if (params.keyboardLayout != 0)
    ok = ok && freerdp_settings_set_uint32(settings, FreeRDP_KeyboardLayout, params.keyboardLayout);
  return ok && ChooseChannels(settings);
}

bool TRdpSession::Impl::ChooseChannels(rdpSettings* settings) {
  // Every channel FreeRDP loads for us is chosen here, and each one has something behind it:
  // a channel without a handler fails as soon as a server opens it and takes the session down.
  // The clipboard's handler is TRdpClipboard, handed the channel when it connects.
  bool ok = freerdp_settings_set_bool(settings, FreeRDP_RedirectClipboard, TRUE);

  if (params.sound) {
    // With no sound output the channel would fail when the server starts playing; the fake
    // output keeps the server's sound (and the device redirection it needs) without one.
    const bool device = SoundOutputAvailable();
    if (!device) qCInfo(lcRdp) << "no sound output here: the session's sound is discarded";
    std::string name = "rdpsnd";
    std::string fake = "sys:fake";
    std::vector<char*> args{name.data()};
    if (!device) args.push_back(fake.data());
    ok = ok && freerdp_client_add_static_channel(settings, args.size(), args.data()) &&
         freerdp_client_add_dynamic_channel(settings, args.size(), args.data());
  }

  const auto devices = RdpDeviceChannels(GatherRedirectionInputs(
      params.redirectDrives, params.redirectPrinters, params.redirectPorts));
  for (const auto& device : devices) {
    std::vector<std::string> texts;
    for (const auto& part : device) texts.push_back(part.toStdString());
    std::vector<char*> pointers;
    for (auto& text : texts) pointers.push_back(text.data());
    // A device FreeRDP refuses is left out; the session goes on with the rest.
    if (!freerdp_client_add_device_channel(settings, pointers.size(), pointers.data()))
      qCInfo(lcRdp) << "device not redirected:" << device.value(0) << device.value(1);
  }
  return ok;
}

void TRdpSession::Impl::LogChannels(rdpSettings* settings) {
  if (!lcRdp().isDebugEnabled()) return;
  auto names = [settings](size_t countId, size_t arrayId) {
    QStringList list;
    const UINT32 count = freerdp_settings_get_uint32(settings, countId);
    auto* const* array =
        static_cast<ADDIN_ARGV* const*>(freerdp_settings_get_pointer(settings, arrayId));
    for (UINT32 i = 0; array != nullptr && i < count; ++i)
      if (array[i] != nullptr && array[i]->argc > 0) list << QString::fromUtf8(array[i]->argv[0]);
    return list;
  };
  qCDebug(lcRdp) << "static channels:"
                 << names(FreeRDP_StaticChannelCount, FreeRDP_StaticChannelArray)
                 << "dynamic channels:"
                 << names(FreeRDP_DynamicChannelCount, FreeRDP_DynamicChannelArray);
}

void TRdpSession::Impl::Run() {
  RegisterStaticChannels();
  freerdp* inst = freerdp_new();
  bool contextMade = false;
  int reason = kDiscReasonRemote;
  if (inst != nullptr) {
    inst->ContextSize = sizeof(SessionContext);
    inst->PreConnect = PreConnect;
    inst->PostConnect = PostConnect;
    inst->PostDisconnect = PostDisconnect;
    inst->Authenticate = Authenticate;
    inst->VerifyX509Certificate = VerifyX509Certificate;
    contextMade = freerdp_context_new(inst) != FALSE;
  }
  if (contextMade) {
    reinterpret_cast<SessionContext*>(inst->context)->session = this;
    reinterpret_cast<SessionContext*>(inst->context)->frame = &frameSink;
    const bool configured = Configure(inst);
    {
      std::lock_guard lock(instanceMutex);
      instance = inst;
    }
    // FreeRDP clears its abort signal when connecting starts, so an Abort that came first is
    // seen only through our own flag: here, in PreConnect, and after connecting.
    {
      std::lock_guard lock(instanceMutex);
      socketsBefore = SocketsOpenNow();
      connecting = true;
    }
    const bool connected = configured && !abortRequested && freerdp_connect(inst);
    {
      std::lock_guard lock(instanceMutex);
      connecting = false;
    }
    if (connected && !abortRequested) {
      // The connection is complete: what the person trusted for it is remembered now.
      RememberApproval();
      Post([](TRdpSessionEvents& e) { e.SessionConnected(); });
      Loop(inst);
      while (ShouldReconnect(inst) && Reconnect(inst)) {
        Post([](TRdpSessionEvents& e) { e.SessionConnected(); });
        Loop(inst);
      }
    }
    reason = Reason(inst);
    clipboard.reset();  // before its channel goes away with the connection
    if (connected) freerdp_disconnect(inst);
    WipeSettingsPassword(inst->settings);
    {
      std::lock_guard lock(instanceMutex);
      instance = nullptr;
    }
    freerdp_context_free(inst);
  }
  if (inst != nullptr) freerdp_free(inst);
  Post([reason](TRdpSessionEvents& e) { e.SessionDisconnected(reason); });
  finished.set_value();
}

int TRdpSession::Impl::Reason(freerdp* inst) const {
  if (frameSink.Refusal() != 0) return frameSink.Refusal();
  if (abortRequested) return kDiscReasonLocal;
  const UINT32 info = freerdp_error_info(inst);
  if (info != ERRINFO_SUCCESS && info != ERRINFO_NONE) return static_cast<int>(info);
  const UINT32 error = freerdp_get_last_error(inst->context);
  if (error != FREERDP_ERROR_SUCCESS && error != FREERDP_ERROR_NONE) return static_cast<int>(error);
  return kDiscReasonRemote;
}

void TRdpSession::Impl::Loop(freerdp* inst) {
  while (!abortRequested && !freerdp_shall_disconnect(inst)) {
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    DWORD count = freerdp_get_event_handles(inst->context, handles, MAXIMUM_WAIT_OBJECTS - 1);
    if (count == 0) break;
    handles[count++] = wake;
    if (WaitForMultipleObjects(count, handles, FALSE, LoopWaitMs()) == WAIT_FAILED) break;
    DrainInput(inst);
    PaceLayout(inst);
    if (!freerdp_check_event_handles(inst->context)) {
      // A channel's failure ends the turn too; only the connection's own failure ends the loop.
      if (DropFailedChannel(inst->context) && !freerdp_shall_disconnect(inst)) continue;
      break;
    }
  }
}

RdpSessionEnd TRdpSession::Impl::End(freerdp* inst) const {
  RdpSessionEnd end;
  end.ourDisconnect = abortRequested;
  end.refusedHere = certificateRefused || frameSink.Refusal() != 0;
  end.closedDuringLogon = freerdp_get_state(inst->context) == CONNECTION_STATE_NLA;
  end.errorInfo = freerdp_error_info(inst);
  end.lastError = freerdp_get_last_error(inst->context);
  return end;
}

bool TRdpSession::Impl::ShouldReconnect(freerdp* inst) const {
  const RdpSessionEnd end = End(inst);
  if (WorthReconnecting(end)) return true;
  if (!end.ourDisconnect)
    qCInfo(lcRdp) << "the session was ended, not lost: no new attempt (error info" << end.errorInfo
                  << "error" << end.lastError << ")";
  return false;
}

bool TRdpSession::Impl::Pause(std::chrono::milliseconds delay) const {
  const auto until = std::chrono::steady_clock::now() + delay;
  while (!abortRequested) {
    const auto left = until - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return true;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, kAbortPoll));
  }
  return false;
}

bool TRdpSession::Impl::Reconnect(freerdp* inst) {
  qCInfo(lcRdp) << "the connection was lost; reconnecting";
  Post([](TRdpSessionEvents& e) { e.SessionReconnecting(); });
  const auto delays = RdpReconnectDelays();
  for (size_t attempt = 0; attempt < delays.size(); ++attempt) {
    if (!Pause(delays[attempt])) return false;
    {
      std::lock_guard lock(instanceMutex);
      socketsBefore = SocketsOpenNow();
      connecting = true;
    }
    // FreeRDP clears its abort signal as the attempt starts: our flag is looked at after it, and
    // Abort shuts the attempt's socket as it does for a first connection. The desktop asked is
    // the one the view wants now, which may have changed since the connection was lost.
    const bool back =
        !abortRequested && ApplyConnectLayout(inst->settings) && freerdp_reconnect(inst) != FALSE;
    {
      std::lock_guard lock(instanceMutex);
      connecting = false;
    }
    if (abortRequested) return false;
    if (back) {
      // New decoders for the new connection, and no PostConnect to prepare them.
      PrepareDecoders(inst->context);
      RememberApproval();
      qCInfo(lcRdp) << "reconnected after" << attempt + 1 << "attempts";
      return true;
    }
    // A server that answers but refuses (the password changed, the account was locked, the
    // certificate is refused) ends the attempts with its reason, as a first connection would.
    if (!ShouldReconnect(inst)) return false;
    // A channel (sound without a device) that failed while coming back does not count.
    DropFailedChannel(inst->context);
    qCDebug(lcRdp) << "reconnection attempt" << attempt + 1 << "failed";
  }
  qCInfo(lcRdp) << "the connection could not be got back";
  return false;
}

bool TRdpSession::Impl::DropFailedChannel(rdpContext* context) {
  // A channel that fails (a sound device that stops, a redirected device that breaks) stops only
  // itself: FreeRDP would end the whole session over it.
  if (WaitForSingleObject(getChannelErrorEventHandle(context), 0) != WAIT_OBJECT_0) return false;
  const char* description = getChannelErrorDescription(context);
  qCWarning(lcRdp) << "a channel failed and is dropped:" << getChannelError(context)
                   << (description != nullptr ? description : "");
  clearChannelError(context);
  return true;
}

void TRdpSession::Impl::DrainInput(freerdp* inst) {
  // The loop turns many times a frame while the screen moves; most turns bring no input.
  if (!inputPending.exchange(false)) return;
  std::deque<InputEvent> pending;
  {
    std::lock_guard lock(inputMutex);
    pending.swap(input);
    if (!layoutPending) ResetEvent(wake);
  }
  rdpInput* in = inst->input;
  for (size_t i = 0; i < pending.size(); ++i) {
    const InputEvent& event = pending[i];
    switch (event.kind) {
      case InputEvent::Kind::Keyboard:
        freerdp_input_send_keyboard_event_ex(in, event.down ? TRUE : FALSE,
                                             MAKE_RDP_SCANCODE(event.a, event.flags != 0));
        break;
      case InputEvent::Kind::Mouse:
        // Only the last of a run of moves matters; the rest would only delay the clicks.
        if (event.flags == PTR_FLAGS_MOVE && i + 1 < pending.size() &&
            pending[i + 1].kind == InputEvent::Kind::Mouse &&
            pending[i + 1].flags == PTR_FLAGS_MOVE)
          break;
        freerdp_input_send_mouse_event(in, event.flags, event.a, event.b);
        break;
      case InputEvent::Kind::ExtendedMouse:
        freerdp_input_send_extended_mouse_event(in, event.flags, event.a, event.b);
        break;
      case InputEvent::Kind::Synchronize:
        freerdp_input_send_synchronize_event(in, event.flags);
        break;
    }
  }
}

void TRdpSession::Impl::Enqueue(const InputEvent& event) {
  std::lock_guard lock(inputMutex);
  input.push_back(event);
  inputPending = true;
  if (wake != nullptr) SetEvent(wake);
}

bool TRdpSession::Impl::ApplyConnectLayout(rdpSettings* settings) {
  {
    std::lock_guard lock(displayMutex);
    connectLayout = wantedLayout;
  }
  const QSize size = BoundedLayoutSize(connectLayout.size);
  const QSize millimetres = connectLayout.PhysicalMillimetres();
  qCInfo(lcRdp) << "asking for a desktop of" << size.width() << "x" << size.height() << "at"
                << connectLayout.desktopScale << "%";
  return freerdp_settings_set_uint32(settings, FreeRDP_DesktopWidth,
                                     static_cast<UINT32>(size.width())) &&
         freerdp_settings_set_uint32(settings, FreeRDP_DesktopHeight,
                                     static_cast<UINT32>(size.height())) &&
         freerdp_settings_set_uint32(settings, FreeRDP_DesktopPhysicalWidth,
                                     static_cast<UINT32>(millimetres.width())) &&
         freerdp_settings_set_uint32(settings, FreeRDP_DesktopPhysicalHeight,
                                     static_cast<UINT32>(millimetres.height())) &&
         freerdp_settings_set_uint16(settings, FreeRDP_DesktopOrientation, ORIENTATION_LANDSCAPE) &&
         freerdp_settings_set_uint32(settings, FreeRDP_DesktopScaleFactor,
                                     static_cast<UINT32>(connectLayout.desktopScale)) &&
         freerdp_settings_set_uint32(settings, FreeRDP_DeviceScaleFactor,
                                     static_cast<UINT32>(connectLayout.deviceScale));
}

void TRdpSession::Impl::WakeForLayout() {
  std::lock_guard lock(inputMutex);
  layoutPending = true;
  if (wake != nullptr) SetEvent(wake);
}

DWORD TRdpSession::Impl::LoopWaitMs() {
  const auto pending = pacer.Pending(TRdpLayoutPacer::Clock::now());
  if (!pending) return kLoopTimeoutMs;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*pending).count();
  return static_cast<DWORD>(std::clamp<long long>(ms, 0, kLoopTimeoutMs));
}

void TRdpSession::Impl::PaceLayout(freerdp* inst) {
  // The loop turns many times a frame while the screen moves; almost none of them has a layout.
  const bool woken = layoutPending.exchange(false);
  if (!woken && !pacer.Pending(TRdpLayoutPacer::Clock::now())) return;
  if (woken) {
    std::lock_guard lock(inputMutex);
    if (!inputPending && !layoutPending) ResetEvent(wake);
  }
  std::lock_guard lock(displayMutex);
  if (disp == nullptr || !dispReady) {
    pacer.Close();
    return;
  }
  if (!pacer.IsOpen()) {
    // What the server shows now, which a server may have chosen otherwise than asked.
    RdpDisplayLayout current = connectLayout;
    current.size =
        QSize(static_cast<int>(freerdp_settings_get_uint32(inst->settings, FreeRDP_DesktopWidth)),
              static_cast<int>(freerdp_settings_get_uint32(inst->settings, FreeRDP_DesktopHeight)));
    pacer.Open(current);
  }
  RdpDisplayLayout wanted = wantedLayout;
  wanted.size = WithinArea(BoundedLayoutSize(wanted.size), dispMaxArea);
  pacer.Want(wanted);
  const auto layout = pacer.Take(TRdpLayoutPacer::Clock::now());
  if (!layout) return;
  const QSize millimetres = layout->PhysicalMillimetres();
  DISPLAY_CONTROL_MONITOR_LAYOUT monitor{};
  monitor.Flags = DISPLAY_CONTROL_MONITOR_PRIMARY;
  monitor.Width = static_cast<UINT32>(layout->size.width());
  monitor.Height = static_cast<UINT32>(layout->size.height());
  monitor.PhysicalWidth = static_cast<UINT32>(millimetres.width());
  monitor.PhysicalHeight = static_cast<UINT32>(millimetres.height());
  monitor.Orientation = ORIENTATION_LANDSCAPE;
  monitor.DesktopScaleFactor = static_cast<UINT32>(layout->desktopScale);
  monitor.DeviceScaleFactor = static_cast<UINT32>(layout->deviceScale);
  const UINT sent = disp->SendMonitorLayout(disp, 1, &monitor);
  qCInfo(lcRdp) << "display layout sent:" << monitor.Width << "x" << monitor.Height << "at"
                << monitor.DesktopScaleFactor << "% (device" << monitor.DeviceScaleFactor
                << "%), result" << sent;
}

UINT TRdpSession::Impl::DisplayControlCaps(DispClientContext* context, UINT32 maxMonitors,
                                           UINT32 maxAreaFactorA, UINT32 maxAreaFactorB) {
  auto* self = static_cast<Impl*>(context->custom);
  if (self == nullptr) return CHANNEL_RC_OK;
  qCDebug(lcRdp) << "the server takes display layouts: monitors" << maxMonitors << "area"
                 << maxAreaFactorA << "x" << maxAreaFactorB;
  {
    std::lock_guard lock(self->displayMutex);
    // The largest area the server takes for all its monitors; ours is one monitor.
    self->dispMaxArea = static_cast<std::uint64_t>(maxAreaFactorA) * maxAreaFactorB *
                        std::max<UINT32>(1, std::min<UINT32>(maxMonitors, 16));
    self->dispReady = maxMonitors > 0 && self->dispMaxArea > 0;
  }
  self->WakeForLayout();
  return CHANNEL_RC_OK;
}

void TRdpSession::Impl::FrameReplaced(const RdpFrame& frame) {
  Post([frame](TRdpSessionEvents& e) { e.SessionFrame(frame); });
}

void TRdpSession::Impl::FrameChanged(const QRegion& region) {
  std::lock_guard lock(dirtyMutex);
  dirty += region;
  if (dirtyPosted) return;
  dirtyPosted = true;
  auto self = shared_from_this();
  Post([self](TRdpSessionEvents& e) {
    QRegion taken;
    {
      std::lock_guard inner(self->dirtyMutex);
      taken.swap(self->dirty);
      self->dirtyPosted = false;
    }
    e.SessionInvalidated(taken);
  });
}

TCertificateQuestion::Outcome TRdpSession::Impl::Ask(
    std::shared_ptr<TCertificateQuestion> question) {
  std::vector<int> sockets;
  {
    std::lock_guard lock(instanceMutex);
    sockets = NewSocketsTo(socketsBefore, params.port);
  }
  Post([question](TRdpSessionEvents& e) { e.SessionAskCertificate(question); });
  // The session thread holds the connection until the person answers. A Disconnect, a control
  // that goes away (Detach), a server that hangs up meanwhile or the time limit end the wait:
  // the question is withdrawn, so an answer given later goes nowhere.
  const auto outcome = question->WaitForAnswer(
      std::chrono::steady_clock::now() + kCertificateAnswerTimeout, [this, &sockets] {
        if (abortRequested) return false;
        std::lock_guard lock(linkMutex);
        return receiver != nullptr && !PeerGone(sockets);
      });
  if (outcome == TCertificateQuestion::Outcome::Withdrawn) {
    qCInfo(lcRdp) << "the certificate question was withdrawn: the attempt ended first";
    Post([question](TRdpSessionEvents& e) { e.SessionCertificateQuestionOver(question); });
  }
  return outcome;
}

int TRdpSession::Impl::CheckCertificate(const BYTE* pem, size_t length, const char* host,
                                        UINT16 port) {
  // Every certificate of every connection comes here (FreeRDP decides nothing itself), before
  // anything that depends on the password leaves: the Client Info PDU, and under NLA the NTLM
  // messages, which go out before the server has proved anything.
  const auto cert = ReadServerCertificate(pem, length);
  if (!cert || host == nullptr) return kCertificateRefuse;
  const QString hostName = QString::fromUtf8(host);
  const auto remembered = TKnownHosts::Load(KnownHostsPath()).Fingerprint(hostName, port);
  if (remembered && remembered->compare(cert->fingerprint, Qt::CaseInsensitive) == 0) {
    qCInfo(lcRdp) << "certificate trusted earlier for" << hostName << port;
    return kCertificateAccept;
  }
  if (VerifiedByProviderAuthority(pem, length, hostName)) {
    qCInfo(lcRdp) << "certificate issued for" << hostName << "by the provider's authority";
    return kCertificateAccept;
  }
  if (HostInsideDomains(hostName, params.providerDomains) &&
      VerifiedBySystemAuthorities(pem, length, hostName)) {
    qCInfo(lcRdp) << "certificate vouched for by the system's authorities for" << hostName
                  << "inside the provider's domain";
    return kCertificateAccept;
  }
  const auto kind =
      remembered ? TCertificateQuestion::Kind::Changed : TCertificateQuestion::Kind::Unknown;
  qCInfo(lcRdp) << (remembered ? "the certificate changed since it was trusted:"
                               : "nothing vouches for the certificate:")
                << "asking before anything is sent to" << hostName;
  const auto outcome =
      Ask(std::make_shared<TCertificateQuestion>(kind, hostName, cert->subject, cert->fingerprint));
  switch (outcome) {
    case TCertificateQuestion::Outcome::Trusted:
      qCInfo(lcRdp) << "the person trusts the certificate; remembered once the session is up";
      approval = Approval{hostName, port, cert->fingerprint};
      return kCertificateAccept;
    case TCertificateQuestion::Outcome::Refused:
      qCInfo(lcRdp) << "the person refused the certificate";
      certificateRefused = true;
      return kCertificateRefuse;
    default:
      return kCertificateRefuse;
  }
}

QString TRdpSession::Impl::KnownHostsPath() const {
  if (params.configFolder.isEmpty()) return {};
  return params.configFolder + QLatin1Char('/') + QLatin1String(kKnownHostsFile);
}

void TRdpSession::Impl::RememberApproval() {
  if (!approval) return;
  const QString path = KnownHostsPath();
  TKnownHosts hosts = TKnownHosts::Load(path);
  hosts.Remember(approval->host, approval->port, approval->fingerprint);
  if (path.isEmpty() || !hosts.Save(path))
    qCWarning(lcRdp) << "the trusted certificate could not be remembered";
  approval.reset();
}

void TRdpSession::Impl::ForgetAcceptedCertificate(rdpSettings* settings) {
  // FreeRDP keeps the certificate it last accepted and takes the same one again without asking:
  // across its own retry after a broken attempt, and across reconnections.
  approval.reset();
  (void)freerdp_settings_set_string(settings, FreeRDP_AcceptedCert, nullptr);
  (void)freerdp_settings_set_uint32(settings, FreeRDP_AcceptedCertLength, 0);
}

BOOL TRdpSession::Impl::PreConnect(freerdp* inst) {
  if (SessionOf(inst)->abortRequested) return FALSE;
  PubSub_SubscribeChannelConnected(inst->context->pubSub, ChannelConnected);
  PubSub_SubscribeChannelDisconnected(inst->context->pubSub, ChannelDisconnected);
  // FreeRDP 2 announces its connection states but never registers the event: unless it is
  // registered here, the announcements go nowhere.
  static wEventType stateEvent[] = {DEFINE_EVENT_ENTRY(ConnectionStateChange)};
  if (PubSub_FindEventType(inst->context->pubSub, stateEvent[0].EventName) == nullptr)
    PubSub_AddEventTypes(inst->context->pubSub, stateEvent, 1);
  if (PubSub_SubscribeConnectionStateChange(inst->context->pubSub, ConnectionStateChanged) < 0)
    return FALSE;
  if (!freerdp_client_load_addins(inst->context->channels, inst->settings)) return FALSE;
  LogChannels(inst->settings);
  return TRUE;
}

void TRdpSession::Impl::ChannelConnected(void* context, ChannelConnectedEventArgs* e) {
  if (GraphicsChannelConnected(static_cast<rdpContext*>(context), e->name, e->pInterface)) return;
  Impl* self = SessionOf(static_cast<rdpContext*>(context));
  if (std::strcmp(e->name, DISP_DVC_CHANNEL_NAME) == 0) {
    // On the dynamic channel thread. Layouts go out once the server has sent its capabilities.
    auto* disp = static_cast<DispClientContext*>(e->pInterface);
    std::lock_guard lock(self->displayMutex);
    disp->custom = self;
    disp->DisplayControlCaps = DisplayControlCaps;
    self->disp = disp;
    self->dispReady = false;
    return;
  }
  if (std::strcmp(e->name, CLIPRDR_SVC_CHANNEL_NAME) != 0) return;
  std::lock_guard lock(self->linkMutex);
  if (self->receiver != nullptr)
    self->clipboard = TRdpClipboard::ForChannel(static_cast<CliprdrClientContext*>(e->pInterface),
                                                self->receiver);
}

void TRdpSession::Impl::ChannelDisconnected(void* context, ChannelDisconnectedEventArgs* e) {
  if (GraphicsChannelDisconnected(static_cast<rdpContext*>(context), e->name, e->pInterface))
    return;
  Impl* self = SessionOf(static_cast<rdpContext*>(context));
  if (std::strcmp(e->name, DISP_DVC_CHANNEL_NAME) == 0) {
    std::lock_guard lock(self->displayMutex);
    self->disp = nullptr;
    self->dispReady = false;
    return;
  }
  if (std::strcmp(e->name, CLIPRDR_SVC_CHANNEL_NAME) != 0) return;
  self->clipboard.reset();
}

void TRdpSession::Impl::ConnectionStateChanged(void* context, ConnectionStateChangeEventArgs* e) {
  // Every connection, FreeRDP's own retry included, begins with the negotiation.
  if (e->state != CONNECTION_STATE_NEGO) return;
  qCDebug(lcRdp) << "a connection starts: nothing of an earlier one is trusted";
  auto* rdp = static_cast<rdpContext*>(context);
  SessionOf(rdp)->ForgetAcceptedCertificate(rdp->settings);
}

BOOL TRdpSession::Impl::PostConnect(freerdp* inst) {
  Impl* self = SessionOf(inst);
  if (!self->frameSink.Attach(inst)) return FALSE;
  PrepareDecoders(inst->context);
  RegisterSessionPointer(inst->context);
  return TRUE;
}

void TRdpSession::Impl::PostDisconnect(freerdp* inst) {
  SessionOf(inst)->frameSink.Detach(inst);
}

BOOL TRdpSession::Impl::Authenticate(freerdp*, char**, char**, char**) {
  // The name and password were set before connecting; there is nobody to ask for others.
  return TRUE;
}

int TRdpSession::Impl::VerifyX509Certificate(freerdp* inst, const BYTE* data, size_t length,
                                             const char* host, UINT16 port, DWORD flags) {
  Impl* self = SessionOf(inst);
  if (self->abortRequested) return kCertificateRefuse;
  // Gateways and redirections get the same rules; FreeRDP only tells them apart in flags.
  qCDebug(lcRdp) << "checking the certificate of" << host << port << "flags" << flags;
  const int answer = self->CheckCertificate(data, length, host, port);
  if (answer == kCertificateRefuse) self->certificateRefused = true;
  return answer;
}

void ReportSessionCursor(rdpContext* context, const QImage& image, QPoint hotSpot, bool visible) {
  SessionOf(context)->Post([image, hotSpot, visible](TRdpSessionEvents& e) {
    e.SessionCursor(image, hotSpot, visible);
  });
}

TRdpSession::TRdpSession(RdpConnectParams params, QObject* receiver, TRdpSessionEvents* events)
    : impl_(std::make_shared<Impl>()) {
  impl_->params = std::move(params);
  impl_->wantedLayout = impl_->params.layout;
  impl_->receiver = receiver;
  impl_->events = events;
  impl_->wake = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

TRdpSession::~TRdpSession() {
  Detach();
  Abort();
  // A thread that has not ended keeps its own reference to the session's state.
  if (impl_->thread.joinable()) {
    if (Wait(0))
      impl_->thread.join();
    else
      impl_->thread.detach();
  }
}

void TRdpSession::Start() {
  auto impl = impl_;
  impl_->thread = std::thread([impl] { impl->Run(); });
}

void TRdpSession::Abort() {
  impl_->abortRequested = true;
  std::lock_guard lock(impl_->instanceMutex);
  if (impl_->instance != nullptr) freerdp_abort_connect(impl_->instance);
  // FreeRDP 2 waits for a server's first answers in a loop that never looks at its abort
  // signal: a server that accepts and stays silent would hold the attempt (and the program's
  // exit) until TCP gives up. Shutting the attempt's socket ends that wait at once.
  if (impl_->connecting) ShutDownNewSocketsTo(impl_->socketsBefore, impl_->params.port);
}

bool TRdpSession::Wait(int timeoutMs) {
  if (!impl_->thread.joinable()) return true;
  return impl_->finishedFuture.wait_for(std::chrono::milliseconds(timeoutMs)) ==
         std::future_status::ready;
}

void TRdpSession::Detach() {
  std::lock_guard lock(impl_->linkMutex);
  impl_->receiver = nullptr;
  impl_->events = nullptr;
}

void TRdpSession::SendScanCode(std::uint16_t code, bool extended, bool down) {
  impl_->Enqueue(
      {InputEvent::Kind::Keyboard, static_cast<std::uint16_t>(extended ? 1 : 0), code, 0, down});
}

void TRdpSession::SendMouseMove(QPoint at) {
  impl_->Enqueue(
      {InputEvent::Kind::Mouse, PTR_FLAGS_MOVE, Clamp16(at.x()), Clamp16(at.y()), false});
}

void TRdpSession::SendMouseButton(Qt::MouseButton button, bool down, QPoint at) {
  const auto flags = MouseButtonFlags(button, down);
  if (!flags) return;
  impl_->Enqueue({flags->extended ? InputEvent::Kind::ExtendedMouse : InputEvent::Kind::Mouse,
                  flags->flags, Clamp16(at.x()), Clamp16(at.y()), down});
}

void TRdpSession::SendWheel(int delta, bool horizontal, QPoint at) {
  for (const std::uint16_t flags : WheelFlags(delta, horizontal))
    impl_->Enqueue({InputEvent::Kind::Mouse, flags, Clamp16(at.x()), Clamp16(at.y()), false});
}

void TRdpSession::SetDisplayLayout(const RdpDisplayLayout& layout) {
  {
    std::lock_guard lock(impl_->displayMutex);
    impl_->wantedLayout = layout;
  }
  impl_->WakeForLayout();
}

void TRdpSession::SendLockState(bool capsLock, bool numLock, bool scrollLock) {
  impl_->Enqueue(
      {InputEvent::Kind::Synchronize, LockStateFlags(capsLock, numLock, scrollLock), 0, 0, false});
}

bool TRdpSession::WorthReconnecting(const RdpSessionEnd& end) {
  if (end.ourDisconnect || end.refusedHere || end.closedDuringLogon) return false;
  // A server that ends the session says why (a logoff, an administrator's disconnect, a refusal);
  // FreeRDP files a disconnection notice that came without a reason as one of these too. It also
  // repeats the server's reason among its own codes.
  if (end.errorInfo != ERRINFO_SUCCESS && end.errorInfo != ERRINFO_NONE) return false;
  if ((end.lastError >> 16) == FREERDP_ERROR_ERRINFO_CLASS) return false;
  switch (end.lastError) {
    // The server would not let this account in: asking again with the same password only
    // counts against the account.
    case FREERDP_ERROR_AUTHENTICATION_FAILED:
    case FREERDP_ERROR_INSUFFICIENT_PRIVILEGES:
    case FREERDP_ERROR_CONNECT_PASSWORD_EXPIRED:
    case FREERDP_ERROR_CONNECT_PASSWORD_CERTAINLY_EXPIRED:
    case FREERDP_ERROR_CONNECT_PASSWORD_MUST_CHANGE:
    case FREERDP_ERROR_CONNECT_CLIENT_REVOKED:
    case FREERDP_ERROR_CONNECT_ACCOUNT_DISABLED:
    case FREERDP_ERROR_CONNECT_LOGON_FAILURE:
    case FREERDP_ERROR_CONNECT_WRONG_PASSWORD:
    case FREERDP_ERROR_CONNECT_ACCESS_DENIED:
    case FREERDP_ERROR_CONNECT_ACCOUNT_RESTRICTION:
    case FREERDP_ERROR_CONNECT_ACCOUNT_LOCKED_OUT:
    case FREERDP_ERROR_CONNECT_ACCOUNT_EXPIRED:
    case FREERDP_ERROR_CONNECT_LOGON_TYPE_NOT_GRANTED:
    case FREERDP_ERROR_CONNECT_NO_OR_MISSING_CREDENTIALS:
      return false;
    default:
      // The network or the server's side of it broke: worth trying again.
      return true;
  }
}

QString TRdpSession::ReasonText(int reason) {
  if (reason == kDiscReasonLocal) return QStringLiteral("The session was disconnected locally");
  if (reason == kDiscReasonRemote) return QStringLiteral("The connection was closed");
  if (reason == kDiscReasonDesktopTooLarge) return QString::fromUtf16(kDesktopTooLargeText);
  if (reason == kDiscReasonNoMemory) return QString::fromUtf16(kNoMemoryText);
  const auto code = static_cast<UINT32>(reason);
  // FreeRDP's own codes carry a class in their high word; the server's error info does not.
  const char* text =
      (code >> 16) != 0 ? freerdp_get_last_error_string(code) : freerdp_get_error_info_string(code);
  return text != nullptr ? QString::fromUtf8(text) : QString();
}

std::uint32_t TRdpSession::LocalKeyboardLayout() {
  static const std::uint32_t layout = freerdp_keyboard_init(0);
  return layout;
}
