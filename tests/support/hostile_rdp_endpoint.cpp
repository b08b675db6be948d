// An RDP endpoint as an attacker on the network would run it, for the end-to-end test of whom the
// program gives the password to. It shows its own certificate on every connection:
//   - the first connection: it chooses NLA, completes TLS and then waits; when the first NLA
//     message arrives (or after HOLD_MS without one) it resets the connection, so that the client
//     retries;
//   - every later connection: TLS only (FreeRDP's server library), up to the Client Info PDU.
// Each step is a line in LOG, as it happens: "connection N: ...", and "PASSWORD ARRIVED" when a
// Client Info PDU carries PASSWORD.
//   hostile_rdp_endpoint ADDRESS PORT CERT KEY PASSWORD LOG [HOLD_MS]
//
// With --display it is instead a server that tells what a client says of its display: every
// connection TLS only, taken as far as an active session, with the display control channel open.
// It writes the core data of the client's MCS Connect Initial once the session is active
// ("connection N: core data: desktop 2048 x 1536, desktop scale 200 %, device scale 180 %,
// physical 271 x 203 mm") and every monitor layout the client sends ("connection N: monitor
// layout: 1 monitor, primary 1800 x 1400 at 0,0, desktop scale 200 %, device scale 180 %,
// physical 238 x 185 mm"). It never changes the desktop's size itself, so a client that waits for
// the new size keeps showing the old one.
//   hostile_rdp_endpoint --display ADDRESS PORT CERT KEY LOG
// Ends on SIGTERM or when its parent goes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <freerdp/channels/channels.h>
#include <freerdp/channels/wtsvc.h>
#include <freerdp/freerdp.h>
#include <freerdp/listener.h>
#include <freerdp/peer.h>
#include <freerdp/server/disp.h>
#include <freerdp/settings.h>
#include <winpr/ssl.h>
#include <winpr/synch.h>
#include <winpr/wtsapi.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

FILE* logFile = nullptr;

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* format, ...) {
  // The display channel reports from a thread of its own: one line at a time.
  ::flockfile(logFile);
  va_list args;
  va_start(args, format);
  std::vfprintf(logFile, format, args);
  va_end(args);
  std::fputc('\n', logFile);
  std::fflush(logFile);
  ::funlockfile(logFile);
}

bool ReadFully(int fd, unsigned char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, data + done, size - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Ends the connection with a reset rather than an orderly close.
void Reset(int fd) {
  const linger hard{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  ::close(fd);
}

// The first connection: NLA chosen, TLS, then a reset before anything of NLA is answered.
void NlaThenReset(int fd, SSL_CTX* tls, int holdMs) {
  unsigned char header[4];
  if (!ReadFully(fd, header, 4) || header[0] != 3) {
    Log("connection 1: no X.224 request");
    ::close(fd);
    return;
  }
  const size_t length = (static_cast<size_t>(header[2]) << 8) | header[3];
  unsigned char request[512];
  if (length < 4 || length - 4 > sizeof request || !ReadFully(fd, request, length - 4)) {
    Log("connection 1: bad X.224 request");
    ::close(fd);
    return;
  }
  // TPKT, X.224 Connection Confirm, RDP_NEG_RSP choosing PROTOCOL_HYBRID (NLA).
  const unsigned char confirm[] = {0x03, 0x00, 0x00, 0x13, 0x0e, 0xd0, 0x00, 0x00, 0x12, 0x34,
                                   0x00, 0x02, 0x00, 0x08, 0x00, 0x02, 0x00, 0x00, 0x00};
  if (::write(fd, confirm, sizeof confirm) != static_cast<ssize_t>(sizeof confirm)) {
    ::close(fd);
    return;
  }
  SSL* ssl = SSL_new(tls);
  SSL_set_fd(ssl, fd);
  if (SSL_accept(ssl) != 1) {
    Log("connection 1: the client ended the TLS handshake");
    SSL_free(ssl);
    ::close(fd);
    return;
  }
  Log("connection 1: NLA chosen, TLS up");
  pollfd watch{fd, POLLIN, 0};
  unsigned char data[4096];
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(holdMs);
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          until - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) {
      Log("connection 1: nothing arrived after the handshake; reset");
      break;
    }
    if (SSL_pending(ssl) == 0 && ::poll(&watch, 1, static_cast<int>(left)) <= 0) continue;
    const int n = SSL_read(ssl, data, sizeof data);
    if (n > 0) {
      Log("connection 1: %d bytes arrived after the handshake (the first NLA message); reset", n);
      break;
    }
    const int error = SSL_get_error(ssl, n);
    if (error == SSL_ERROR_WANT_READ) continue;
    Log("connection 1: the client closed the connection, nothing sent after the handshake");
    break;
  }
  SSL_free(ssl);
  Reset(fd);
}

// A peer of FreeRDP's server library on fd that offers TLS only, with the given certificate, and
// a context of contextSize bytes; nothing (and fd closed) when it cannot be made.
freerdp_peer* NewTlsPeer(int fd, int number, const char* cert, const char* key,
                         size_t contextSize) {
  freerdp_peer* peer = freerdp_peer_new(fd);
  if (peer != nullptr) peer->ContextSize = contextSize;
  if (peer == nullptr || !freerdp_peer_context_new(peer)) {
    Log("connection %d: no peer", number);
    if (peer != nullptr) freerdp_peer_free(peer);
    ::close(fd);
    return nullptr;
  }
  rdpSettings* settings = peer->settings;
  freerdp_settings_set_string(settings, FreeRDP_CertificateFile, cert);
  freerdp_settings_set_string(settings, FreeRDP_PrivateKeyFile, key);
  freerdp_settings_set_string(settings, FreeRDP_RdpKeyFile, key);
  freerdp_settings_set_bool(settings, FreeRDP_RdpSecurity, FALSE);
  freerdp_settings_set_bool(settings, FreeRDP_TlsSecurity, TRUE);
  freerdp_settings_set_bool(settings, FreeRDP_NlaSecurity, FALSE);
  return peer;
}

void FreePeer(freerdp_peer* peer) {
  peer->Disconnect(peer);
  freerdp_peer_context_free(peer);
  freerdp_peer_free(peer);
}

// Later connections: TLS only, served by FreeRDP's server library up to the Client Info PDU.
void TlsUpToClientInfo(int fd, int number, const char* cert, const char* key,
                       const std::string& password) {
  freerdp_peer* peer = NewTlsPeer(fd, number, cert, key, sizeof(rdpContext));
  if (peer == nullptr) return;
  rdpSettings* settings = peer->settings;
  peer->Initialize(peer);
  Log("connection %d: TLS only offered", number);
  bool mcsSeen = false;
  bool infoSeen = false;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < until) {
    HANDLE handles[32];
    const DWORD count = peer->GetEventHandles(peer, handles, 32);
    if (count == 0) break;
    if (WaitForMultipleObjects(count, handles, FALSE, 100) == WAIT_FAILED) break;
    if (!peer->CheckFileDescriptor(peer)) break;
    const int state = freerdp_get_state(peer->context);
    if (!mcsSeen && state > CONNECTION_STATE_NEGO) {
      mcsSeen = true;
      Log("connection %d: MCS Connect Initial arrived", number);
    }
    const char* sent = freerdp_settings_get_string(settings, FreeRDP_Password);
    const char* user = freerdp_settings_get_string(settings, FreeRDP_Username);
    if (!infoSeen &&
        ((sent != nullptr && sent[0] != '\0') || (user != nullptr && user[0] != '\0'))) {
      infoSeen = true;
      const bool arrived = sent != nullptr && password == sent;
      Log("connection %d: Client Info PDU %s", number,
          arrived ? "with the password: PASSWORD ARRIVED" : "without the password");
      break;
    }
  }
  if (!infoSeen) Log("connection %d: ended before a Client Info PDU", number);
  FreePeer(peer);
}

// --display: a connection's state, after FreeRDP's own context (the peer's callbacks get the
// context, the display channel's its custom pointer).
struct DisplayContext {
  rdpContext base;
  int number;
  HANDLE vcm;
  DispServerContext* disp;
  std::atomic<UINT32> dispChannelId;
};

// The largest desktop the client may ask for, as a server without a smaller limit announces it.
constexpr UINT32 kMaxMonitorSide = 8192;
constexpr UINT32 kMaxMonitors = 16;

BOOL ReportCoreData(freerdp_peer* peer) {
  const auto* context = reinterpret_cast<DisplayContext*>(peer->context);
  const rdpSettings* settings = peer->settings;
  Log("connection %d: core data: desktop %u x %u, desktop scale %u %%, device scale %u %%, "
      "physical %u x %u mm",
      context->number, freerdp_settings_get_uint32(settings, FreeRDP_DesktopWidth),
      freerdp_settings_get_uint32(settings, FreeRDP_DesktopHeight),
      freerdp_settings_get_uint32(settings, FreeRDP_DesktopScaleFactor),
      freerdp_settings_get_uint32(settings, FreeRDP_DeviceScaleFactor),
      freerdp_settings_get_uint32(settings, FreeRDP_DesktopPhysicalWidth),
      freerdp_settings_get_uint32(settings, FreeRDP_DesktopPhysicalHeight));
  return TRUE;
}

BOOL ActivateSession(freerdp_peer* peer) {
  Log("connection %d: session active", reinterpret_cast<DisplayContext*>(peer->context)->number);
  return TRUE;
}

// On the display channel's thread; FreeRDP has checked the sizes and the count against ours.
UINT ReportMonitorLayout(DispServerContext* disp, const DISPLAY_CONTROL_MONITOR_LAYOUT_PDU* pdu) {
  const auto* context = static_cast<const DisplayContext*>(disp->custom);
  for (UINT32 i = 0; i < pdu->NumMonitors; ++i) {
    const DISPLAY_CONTROL_MONITOR_LAYOUT& monitor = pdu->Monitors[i];
    Log("connection %d: monitor layout: %u monitor%s, %s%u x %u at %d,%d, desktop scale %u %%, "
        "device scale %u %%, physical %u x %u mm",
        context->number, pdu->NumMonitors, pdu->NumMonitors == 1 ? "" : "s",
        (monitor.Flags & DISPLAY_CONTROL_MONITOR_PRIMARY) != 0 ? "primary " : "", monitor.Width,
        monitor.Height, monitor.Left, monitor.Top, monitor.DesktopScaleFactor,
        monitor.DeviceScaleFactor, monitor.PhysicalWidth, monitor.PhysicalHeight);
  }
  return CHANNEL_RC_OK;
}

BOOL DisplayChannelIdAssigned(DispServerContext* disp, UINT32 channelId) {
  static_cast<DisplayContext*>(disp->custom)->dispChannelId = channelId;
  return TRUE;
}

// The client answered a request to open a dynamic channel. Once the display channel is open the
// capabilities go out: a client sends no layout before it has them.
BOOL DynamicChannelCreated(void* userdata, UINT32 channelId, INT32 status) {
  auto* context = static_cast<DisplayContext*>(userdata);
  if (context->disp == nullptr || channelId != context->dispChannelId) return TRUE;
  if (status < 0) {
    Log("connection %d: the client refused the display control channel (%d)", context->number,
        status);
    return TRUE;
  }
  const UINT sent = context->disp->DisplayControlCaps(context->disp);
  Log("connection %d: display control channel open, capabilities %s", context->number,
      sent == CHANNEL_RC_OK ? "sent" : "not sent");
  return TRUE;
}

void ReportDisplay(int fd, int number, const char* cert, const char* key) {
  freerdp_peer* peer = NewTlsPeer(fd, number, cert, key, sizeof(DisplayContext));
  if (peer == nullptr) return;
  auto* context = reinterpret_cast<DisplayContext*>(peer->context);
  context->number = number;
  context->vcm = WTSOpenServerA(reinterpret_cast<LPSTR>(peer->context));
  if (context->vcm == nullptr || context->vcm == INVALID_HANDLE_VALUE) {
    Log("connection %d: no channel manager", number);
    FreePeer(peer);
    return;
  }
  WTSVirtualChannelManagerSetDVCCreationCallback(context->vcm, DynamicChannelCreated, context);
  freerdp_settings_set_uint32(peer->settings, FreeRDP_ColorDepth, 32);
  peer->PostConnect = ReportCoreData;
  peer->Activate = ActivateSession;
  peer->Initialize(peer);
  Log("connection %d: TLS only offered, reporting the display", number);

  const HANDLE channels = WTSVirtualChannelManagerGetEventHandle(context->vcm);
  while (true) {
    HANDLE handles[32];
    DWORD count = peer->GetEventHandles(peer, handles, 31);
    if (count == 0) break;
    handles[count++] = channels;
    if (WaitForMultipleObjects(count, handles, FALSE, INFINITE) == WAIT_FAILED) break;
    if (!peer->CheckFileDescriptor(peer)) break;
    if (!WTSVirtualChannelManagerCheckFileDescriptor(context->vcm)) break;
    // The dynamic channels start once the client has answered on their static one.
    if (context->disp == nullptr &&
        WTSVirtualChannelManagerIsChannelJoined(context->vcm, "drdynvc") &&
        WTSVirtualChannelManagerGetDrdynvcState(context->vcm) == DRDYNVC_STATE_READY) {
      context->disp = disp_server_context_new(context->vcm);
      if (context->disp == nullptr) break;
      context->disp->custom = context;
      context->disp->rdpcontext = peer->context;
      context->disp->MaxNumMonitors = kMaxMonitors;
      context->disp->MaxMonitorAreaFactorA = kMaxMonitorSide;
      context->disp->MaxMonitorAreaFactorB = kMaxMonitorSide;
      context->disp->DispMonitorLayout = ReportMonitorLayout;
      context->disp->ChannelIdAssigned = DisplayChannelIdAssigned;
      if (context->disp->Open(context->disp) != CHANNEL_RC_OK)
        Log("connection %d: the display control channel could not be opened", number);
    }
  }
  Log("connection %d: ended", number);
  if (context->disp != nullptr) disp_server_context_free(context->disp);
  context->disp = nullptr;
  WTSCloseServer(context->vcm);
  FreePeer(peer);
}

}  // namespace

int main(int argc, char** argv) {
  const bool display = argc > 1 && std::strcmp(argv[1], "--display") == 0;
  if (display ? argc != 7 : (argc < 7 || argc > 8)) {
    std::fprintf(stderr,
                 "usage: hostile_rdp_endpoint ADDRESS PORT CERT KEY PASSWORD LOG [HOLD_MS]\n"
                 "       hostile_rdp_endpoint --display ADDRESS PORT CERT KEY LOG\n");
    return 2;
  }
  if (display) ++argv;
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  std::signal(SIGPIPE, SIG_IGN);
  logFile = std::fopen(display ? argv[5] : argv[6], "a");
  if (logFile == nullptr) return 1;
  const int holdMs = !display && argc == 8 ? std::atoi(argv[7]) : 60000;
  winpr_InitializeSSL(WINPR_SSL_INIT_DEFAULT);
  // The virtual channel calls of WinPR reach FreeRDP's server side only through this table.
  WTSRegisterWtsApiFunctionTable(FreeRDP_InitWtsApi());
  SSL_CTX* tls = SSL_CTX_new(TLS_server_method());
  if (tls == nullptr || SSL_CTX_use_certificate_file(tls, argv[3], SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_use_PrivateKey_file(tls, argv[4], SSL_FILETYPE_PEM) != 1) {
    std::fprintf(stderr, "hostile_rdp_endpoint: certificate or key not usable\n");
    return 1;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[2])));
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::inet_pton(AF_INET, argv[1], &address.sin_addr) != 1 ||
      ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 8) != 0) {
    std::perror("hostile_rdp_endpoint");
    return 1;
  }
  const std::string password = display ? std::string() : argv[5];
  for (int number = 1;; ++number) {
    const int fd = ::accept4(listener, nullptr, nullptr, 0);
    if (fd < 0) continue;
    Log("connection %d: accepted", number);
    if (display)
      ReportDisplay(fd, number, argv[3], argv[4]);
    else if (number == 1)
      NlaThenReset(fd, tls, holdMs);
    else
      TlsUpToClientInfo(fd, number, argv[3], argv[4], password);
  }
}
