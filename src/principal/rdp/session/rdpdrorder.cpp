#include "principal/rdp/session/rdpdrorder.h"

#include <freerdp/channels/rdpdr.h>
#include <freerdp/client/channels.h>
#include <freerdp/svc.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <set>

#include "principal/rdp/rdplog.h"
#include "principal/rdp/session/rdpsoundchannel.h"

namespace {

// FreeRDP's own functions, the same for every connection.
std::atomic<PVIRTUALCHANNELENTRYEX> realEntry{nullptr};
std::atomic<PVIRTUALCHANNELOPENEX> realOpen{nullptr};
std::atomic<PCHANNEL_OPEN_EVENT_EX_FN> realEvent{nullptr};

// Channels (by FreeRDP's channel object) that got "user logged on" before the client ID confirm.
// An entry lives only between those two messages.
std::mutex heldMutex;
std::set<LPVOID> held;

constexpr UINT32 kHeaderBytes = 4;

VOID VCAPITYPE OpenEvent(LPVOID userParam, DWORD openHandle, UINT event, LPVOID data,
                         UINT32 dataLength, UINT32 totalLength, UINT32 dataFlags) {
  const PCHANNEL_OPEN_EVENT_EX_FN real = realEvent.load();
  if (real == nullptr) return;
  // Only whole messages are looked at; the ones that matter are a few bytes long.
  const bool whole = (dataFlags & CHANNEL_FLAG_ONLY) == CHANNEL_FLAG_ONLY &&
                     dataLength == totalLength && dataLength >= kHeaderBytes && data != nullptr;
  if (event != CHANNEL_EVENT_DATA_RECEIVED || !whole) {
    real(userParam, openHandle, event, data, dataLength, totalLength, dataFlags);
    return;
  }
  const auto* bytes = static_cast<const BYTE*>(data);
  const UINT16 component = static_cast<UINT16>(bytes[0] | (bytes[1] << 8));
  const UINT16 packet = static_cast<UINT16>(bytes[2] | (bytes[3] << 8));
  if (component != RDPDR_CTYP_CORE) {
    real(userParam, openHandle, event, data, dataLength, totalLength, dataFlags);
    return;
  }
  if (packet == PAKID_CORE_SERVER_ANNOUNCE) {
    // A new start of the channel (Windows sends one again after its logon).
    std::lock_guard lock(heldMutex);
    held.erase(userParam);
  } else if (packet == PAKID_CORE_USER_LOGGEDON) {
    std::lock_guard lock(heldMutex);
    if (held.count(userParam) == 0) {
      held.insert(userParam);
      qCDebug(lcRdp) << "devices: the server says the user is logged on before it confirmed our "
                        "ID; that is handed on after the confirm";
      return;
    }
  }
  real(userParam, openHandle, event, data, dataLength, totalLength, dataFlags);
  if (packet == PAKID_CORE_CLIENTID_CONFIRM) {
    bool release = false;
    {
      std::lock_guard lock(heldMutex);
      release = held.erase(userParam) > 0;
    }
    if (release) {
      BYTE loggedOn[kHeaderBytes] = {RDPDR_CTYP_CORE & 0xFF, RDPDR_CTYP_CORE >> 8,
                                     PAKID_CORE_USER_LOGGEDON & 0xFF,
                                     PAKID_CORE_USER_LOGGEDON >> 8};
      real(userParam, openHandle, CHANNEL_EVENT_DATA_RECEIVED, loggedOn, kHeaderBytes, kHeaderBytes,
           CHANNEL_FLAG_ONLY);
    }
  }
}

UINT VCAPITYPE Open(LPVOID initHandle, LPDWORD openHandle, PCHAR name,
                    PCHANNEL_OPEN_EVENT_EX_FN event) {
  const PVIRTUALCHANNELOPENEX real = realOpen.load();
  if (real == nullptr) return CHANNEL_RC_BAD_PROC;
  realEvent = event;
  return real(initHandle, openHandle, name, OpenEvent);
}

BOOL VCAPITYPE DeviceChannelEntry(PCHANNEL_ENTRY_POINTS_EX points, PVOID initHandle) {
  const PVIRTUALCHANNELENTRYEX real = realEntry.load();
  auto* freerdpPoints = reinterpret_cast<CHANNEL_ENTRY_POINTS_FREERDP_EX*>(points);
  if (real == nullptr || freerdpPoints == nullptr ||
      freerdpPoints->cbSize < sizeof(CHANNEL_ENTRY_POINTS_FREERDP_EX))
    return real != nullptr && real(points, initHandle);
  // The channel keeps its own copy of the entry points, taken inside its entry.
  CHANNEL_ENTRY_POINTS_FREERDP_EX ours = *freerdpPoints;
  realOpen = ours.pVirtualChannelOpenEx;
  ours.pVirtualChannelOpenEx = Open;
  return real(reinterpret_cast<PCHANNEL_ENTRY_POINTS_EX>(&ours), initHandle);
}

}  // namespace

PVIRTUALCHANNELENTRY RdpChannelAddinEntry(LPCSTR name, LPCSTR subsystem, LPCSTR type, DWORD flags) {
  PVIRTUALCHANNELENTRY entry =
      freerdp_channels_load_static_addin_entry(name, subsystem, type, flags);
  const DWORD deviceEntry = FREERDP_ADDIN_CHANNEL_STATIC | FREERDP_ADDIN_CHANNEL_ENTRYEX;
  if (entry == nullptr || name == nullptr || subsystem != nullptr ||
      (flags & deviceEntry) != deviceEntry)
    return entry;
  if (std::strcmp(name, "rdpsnd") == 0)
    return reinterpret_cast<PVIRTUALCHANNELENTRY>(reinterpret_cast<void*>(RdpSoundChannelEntry(
        reinterpret_cast<PVIRTUALCHANNELENTRYEX>(reinterpret_cast<void*>(entry)))));
  if (std::strcmp(name, "rdpdr") != 0) return entry;
  realEntry = reinterpret_cast<PVIRTUALCHANNELENTRYEX>(reinterpret_cast<void*>(entry));
  return reinterpret_cast<PVIRTUALCHANNELENTRY>(reinterpret_cast<void*>(DeviceChannelEntry));
}
