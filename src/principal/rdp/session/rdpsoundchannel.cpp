#include "principal/rdp/session/rdpsoundchannel.h"

#include <freerdp/freerdp.h>

#include <atomic>
#include <map>
#include <mutex>

#include "principal/rdp/rdplog.h"

namespace {

// One loaded sound channel: what FreeRDP knows of it (this object is its user parameter) and the
// channel of the connection under way behind it.
struct TSoundChannel {
  PVIRTUALCHANNELENTRYEX entry = nullptr;
  // FreeRDP's entry points, with our init and open in place of its own.
  CHANNEL_ENTRY_POINTS_FREERDP_EX points{};
  PVOID initHandle = nullptr;
  PVIRTUALCHANNELINITEX realInit = nullptr;
  PVIRTUALCHANNELOPENEX realOpen = nullptr;
  // The channel FreeRDP's entry made last, and its handlers. Session thread only.
  LPVOID channel = nullptr;
  PCHANNEL_INIT_EVENT_EX_FN channelInit = nullptr;
  PCHANNEL_OPEN_EVENT_EX_FN channelOpen = nullptr;
  bool registered = false;  // FreeRDP has our handlers for the channel
  bool spent = false;       // the channel has been through a connection and its end
  PVIRTUALCHANNELWRITEEX realWrite = nullptr;
  // The channel answered the server on this connection (written on the channel's own thread).
  std::atomic<bool> answered = false;
};

std::atomic<PVIRTUALCHANNELENTRYEX> realEntry{nullptr};

// Our channels by FreeRDP's handle for them, which is all that FreeRDP's init and open calls
// carry; an entry lives from the channel's entry to its end.
std::mutex channelsMutex;
std::map<PVOID, TSoundChannel*> channels;

TSoundChannel* ChannelOf(PVOID initHandle) {
  std::lock_guard lock(channelsMutex);
  const auto found = channels.find(initHandle);
  return found != channels.end() ? found->second : nullptr;
}

VOID VCAPITYPE OpenEvent(LPVOID userParam, DWORD openHandle, UINT event, LPVOID data,
                         UINT32 dataLength, UINT32 totalLength, UINT32 dataFlags) {
  auto* self = static_cast<TSoundChannel*>(userParam);
  if (self == nullptr || self->channelOpen == nullptr) return;
  self->channelOpen(self->channel, openHandle, event, data, dataLength, totalLength, dataFlags);
}

UINT VCAPITYPE Open(LPVOID initHandle, LPDWORD openHandle, PCHAR name,
                    PCHANNEL_OPEN_EVENT_EX_FN event) {
  TSoundChannel* self = ChannelOf(initHandle);
  if (self == nullptr || self->realOpen == nullptr) return CHANNEL_RC_BAD_INIT_HANDLE;
  self->channelOpen = event;
  return self->realOpen(initHandle, openHandle, name, OpenEvent);
}

UINT VCAPITYPE Write(LPVOID initHandle, DWORD openHandle, LPVOID data, ULONG dataLength,
                     LPVOID userData) {
  TSoundChannel* self = ChannelOf(initHandle);
  if (self == nullptr || self->realWrite == nullptr) return CHANNEL_RC_BAD_INIT_HANDLE;
  const UINT result = self->realWrite(initHandle, openHandle, data, dataLength, userData);
  // The channel's first message of a connection answers the server's list of sound formats:
  // it is working, and the server may play.
  if (result == CHANNEL_RC_OK && !self->answered.exchange(true))
    qCInfo(lcRdp) << "the sound channel is open: it answered the server";
  return result;
}

VOID VCAPITYPE InitEvent(LPVOID userParam, LPVOID initHandle, UINT event, LPVOID data,
                         UINT dataLength);

UINT VCAPITYPE Init(LPVOID userParam, LPVOID clientContext, LPVOID initHandle, PCHANNEL_DEF channel,
                    INT channelCount, ULONG version, PCHANNEL_INIT_EVENT_EX_FN event) {
  TSoundChannel* self = ChannelOf(initHandle);
  if (self == nullptr || self->realInit == nullptr) return CHANNEL_RC_BAD_INIT_HANDLE;
  self->channel = userParam;
  self->channelInit = event;
  // FreeRDP takes a channel's registration once; a channel made again for a later connection
  // takes over the one registered.
  if (self->registered) return CHANNEL_RC_OK;
  const UINT result =
      self->realInit(self, clientContext, initHandle, channel, channelCount, version, InitEvent);
  self->registered = result == CHANNEL_RC_OK;
  return result;
}

void Forward(TSoundChannel* self, UINT event, LPVOID data = nullptr, UINT dataLength = 0) {
  if (self->channelInit != nullptr)
    self->channelInit(self->channel, self->initHandle, event, data, dataLength);
}

// Ends the last connection's channel as a session's end would, and makes a fresh one.
bool Renew(TSoundChannel* self) {
  Forward(self, CHANNEL_EVENT_TERMINATED);
  self->channel = nullptr;
  self->channelInit = nullptr;
  self->channelOpen = nullptr;
  CHANNEL_ENTRY_POINTS_FREERDP_EX points = self->points;
  if (!self->entry(reinterpret_cast<PCHANNEL_ENTRY_POINTS_EX>(&points), self->initHandle) ||
      self->channelInit == nullptr) {
    self->channelInit = nullptr;
    return false;
  }
  Forward(self, CHANNEL_EVENT_INITIALIZED);
  return true;
}

VOID VCAPITYPE InitEvent(LPVOID userParam, LPVOID initHandle, UINT event, LPVOID data,
                         UINT dataLength) {
  auto* self = static_cast<TSoundChannel*>(userParam);
  if (self == nullptr || initHandle != self->initHandle) return;
  switch (event) {
    case CHANNEL_EVENT_CONNECTED:
      self->answered = false;
      if (self->spent) {
        self->spent = false;
        if (!Renew(self)) {
          qCWarning(lcRdp) << "the sound channel could not be made again: no sound on this "
                              "connection";
          return;
        }
        qCDebug(lcRdp) << "the sound channel starts afresh for this connection";
      }
      Forward(self, event, data, dataLength);
      break;
    case CHANNEL_EVENT_DISCONNECTED:
      Forward(self, event, data, dataLength);
      self->spent = true;
      break;
    case CHANNEL_EVENT_TERMINATED: {
      Forward(self, event, data, dataLength);
      {
        std::lock_guard lock(channelsMutex);
        channels.erase(self->initHandle);
      }
      delete self;
      break;
    }
    default:
      Forward(self, event, data, dataLength);
      break;
  }
}

BOOL VCAPITYPE Entry(PCHANNEL_ENTRY_POINTS_EX points, PVOID initHandle) {
  const PVIRTUALCHANNELENTRYEX real = realEntry.load();
  auto* freerdpPoints = reinterpret_cast<CHANNEL_ENTRY_POINTS_FREERDP_EX*>(points);
  if (real == nullptr) return FALSE;
  if (freerdpPoints == nullptr || initHandle == nullptr ||
      freerdpPoints->cbSize < sizeof(CHANNEL_ENTRY_POINTS_FREERDP_EX) ||
      freerdpPoints->MagicNumber != FREERDP_CHANNEL_MAGIC_NUMBER)
    return real(points, initHandle);
  auto* self = new TSoundChannel;
  self->entry = real;
  self->initHandle = initHandle;
  self->points = *freerdpPoints;
  self->realInit = freerdpPoints->pVirtualChannelInitEx;
  self->realOpen = freerdpPoints->pVirtualChannelOpenEx;
  self->points.pVirtualChannelInitEx = Init;
  self->realWrite = freerdpPoints->pVirtualChannelWriteEx;
  self->points.pVirtualChannelOpenEx = Open;
  self->points.pVirtualChannelWriteEx = Write;
  {
    std::lock_guard lock(channelsMutex);
    channels[initHandle] = self;
  }
  // The channel keeps its own copy of the entry points, taken inside its entry.
  CHANNEL_ENTRY_POINTS_FREERDP_EX ours = self->points;
  const BOOL made = real(reinterpret_cast<PCHANNEL_ENTRY_POINTS_EX>(&ours), initHandle);
  // Once FreeRDP holds our handlers, the wrapper lives until FreeRDP ends the channel.
  if (self->registered) return made;
  {
    std::lock_guard lock(channelsMutex);
    channels.erase(initHandle);
  }
  delete self;
  return FALSE;
}

}  // namespace

PVIRTUALCHANNELENTRYEX RdpSoundChannelEntry(PVIRTUALCHANNELENTRYEX real) {
  realEntry = real;
  return Entry;
}
