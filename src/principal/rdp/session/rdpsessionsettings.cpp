#include <freerdp/addin.h>
#include <freerdp/client/channels.h>
#include <freerdp/client/cmdline.h>
#include <freerdp/gdi/gdi.h>
#include <freerdp/settings.h>

#include <QFile>
#include <QtGlobal>
#include <cstring>
#include <string>
#include <vector>

#include "platform/localdevices.h"
#include "principal/rdp/rdplog.h"
#include "principal/rdp/session/rdpcodecs.h"
#include "principal/rdp/session/rdpdevices.h"
#include "principal/rdp/session/rdpdrorder.h"
#include "principal/rdp/session/rdpsessionimpl.h"
#include "principal/rdp/session/rdpsessionsockets.h"

// How a connection is set up: FreeRDP's settings from the connection's parameters, the channels
// it loads, and the checks before it connects.

void WipeBytes(void* data, size_t size) {
  if (data != nullptr && size > 0) explicit_bzero(data, size);
}

void WipeSettingsPassword(rdpSettings* settings) {
  const char* password = freerdp_settings_get_string(settings, FreeRDP_Password);
  if (password != nullptr) WipeBytes(const_cast<char*>(password), std::strlen(password));
  (void)freerdp_settings_set_string(settings, FreeRDP_Password, nullptr);
}

void RegisterStaticChannels() {
  static std::once_flag once;
  std::call_once(once, [] { freerdp_register_addin_provider(RdpChannelAddinEntry, 0); });
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

BOOL TRdpSession::Impl::PreConnect(freerdp* inst) {
  if (SessionOf(inst)->abortRequested) return FALSE;
  PubSub_SubscribeChannelConnected(inst->context->pubSub, ChannelConnected);
  PubSub_SubscribeChannelDisconnected(inst->context->pubSub, ChannelDisconnected);
  // FreeRDP 2 announces its connection states but never registers the event: unless it is
  // registered here, the announcements go nowhere.
  static wEventType stateEvent[] = {DEFINE_EVENT_ENTRY(ConnectionStateChange)};
  if (PubSub_FindEventType(inst->context->pubSub, stateEvent[0].EventName) == nullptr)
    PubSub_AddEventTypes(inst->context->pubSub, stateEvent, 1);
  if (PubSub_SubscribeConnectionStateChange(inst->context->pubSub, ConnectionStateChanged) < 0 ||
      PubSub_SubscribeConnectionStateChange(inst->context->pubSub, LinkStateChanged) < 0)
    return FALSE;
  if (!freerdp_client_load_addins(inst->context->channels, inst->settings)) return FALSE;
  LogChannels(inst->settings);
  return TRUE;
}

BOOL TRdpSession::Impl::Authenticate(freerdp*, char**, char**, char**) {
  // The name and password were set before connecting; there is nobody to ask for others.
  return TRUE;
}

void TRdpSession::Impl::LinkStateChanged(void* context, ConnectionStateChangeEventArgs* e) {
  auto* rdp = static_cast<rdpContext*>(context);
  Impl* self = SessionOf(rdp);
  switch (e->state) {
    case CONNECTION_STATE_NEGO:
      // Every connection (a reconnection too) measures its own link.
      self->linkMeasured = false;
      break;
    case CONNECTION_STATE_MCS_ATTACH_USER: {
      // The request to attach a user has just gone out, and nothing else is under way: its
      // answer is a round trip with next to no work on the server, unlike the handshakes before
      // it (key exchanges, the logon), and one that a proxy on the way cannot answer for the
      // server, as it answers TCP. FreeRDP itself looks for the answer only every 100 ms, so the
      // socket is watched here; the wait costs nothing, as the connection waits for it anyway.
      const auto sent = std::chrono::steady_clock::now();
      const std::vector<int> sockets = self->AttemptSockets();
      self->MeasureLink(rdp->settings, sockets, WaitForAnswer(sockets, sent, kLinkAnswerLimit));
      break;
    }
    case CONNECTION_STATE_CAPABILITIES_EXCHANGE:
      // The capabilities that name the codecs go out in this state: the choice is made by now.
      self->MeasureLink(rdp->settings, self->AttemptSockets(), std::nullopt);
      break;
    case CONNECTION_STATE_FINALIZATION:
      FrameToDesktop(rdp);
      break;
    default:
      break;
  }
}

std::vector<int> TRdpSession::Impl::AttemptSockets() {
  std::lock_guard lock(instanceMutex);
  return NewSocketsTo(socketsBefore, params.port);
}

void TRdpSession::Impl::MeasureLink(rdpSettings* settings, const std::vector<int>& sockets,
                                    std::optional<std::chrono::microseconds> exchange) {
  if (linkMeasured) return;
  linkMeasured = true;
  const auto kernel = KernelRoundTrip(sockets);
  const auto roundTrip = LinkRoundTrip(kernel, exchange);
  const QByteArray forced = qgetenv(kSurfaceCodecVariable);
  const TSurfaceCodec codec = ChooseSurfaceCodec(
      roundTrip, std::string_view(forced.constData(), static_cast<size_t>(forced.size())));
  auto ms = [](std::optional<std::chrono::microseconds> time) {
    return time ? QString::number(static_cast<double>(time->count()) / 1000.0, 'f', 2)
                : QStringLiteral("?");
  };
  qCInfo(lcRdp).noquote() << "link round trip" << ms(roundTrip) << "ms (the kernel's" << ms(kernel)
                          << "ms, the server's answer" << ms(exchange) << "ms): asking for"
                          << (codec == TSurfaceCodec::RemoteFx ? "RemoteFX" : "bitmaps")
                          << (forced.isEmpty() ? "" : "(forced)");
  if (!ApplySurfaceCodec(settings, codec))
    qCWarning(lcRdp) << "the codec for the link could not be set";
}

void TRdpSession::Impl::FrameToDesktop(rdpContext* context) {
  // On a reconnection the frame is still the last connection's, and the settings hold the size
  // asked for this one. FreeRDP tells the drawing about a size only where the server's differs
  // from the settings: a server that gives the size asked (xrdp does, after a resize) would draw
  // past a frame of the old size, and the picture would stay cut and out of place.
  const rdpGdi* gdi = context->gdi;
  if (gdi == nullptr || context->update == nullptr || context->update->DesktopResize == nullptr)
    return;
  const UINT32 width = freerdp_settings_get_uint32(context->settings, FreeRDP_DesktopWidth);
  const UINT32 height = freerdp_settings_get_uint32(context->settings, FreeRDP_DesktopHeight);
  if (static_cast<UINT32>(gdi->width) == width && static_cast<UINT32>(gdi->height) == height)
    return;
  qCInfo(lcRdp) << "the desktop is" << width << "x" << height << "on this connection, the picture"
                << gdi->width << "x" << gdi->height << ": the picture follows";
  if (!context->update->DesktopResize(context))
    qCWarning(lcRdp) << "the picture could not take the desktop's size";
}
