#include "principal/rdp/session/rdpsoundchannel.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

// The sound channel's wrapper between a stand-in for FreeRDP's channel manager and stand-ins for
// the channel that FreeRDP's entry makes: what each channel made sees over two connections.
namespace {

// One channel made by the entry, and what reached it.
struct TFakeChannel {
  int number = 0;
  std::vector<std::string> seen;
  CHANNEL_ENTRY_POINTS_FREERDP_EX points{};
  PVOID initHandle = nullptr;
};

// FreeRDP's side: the handlers the channel registered through the wrapper.
struct TManager {
  int registrations = 0;
  LPVOID userParam = nullptr;
  PCHANNEL_INIT_EVENT_EX_FN initEvent = nullptr;
  PCHANNEL_OPEN_EVENT_EX_FN openEvent = nullptr;
  std::vector<std::unique_ptr<TFakeChannel>> made;
  std::vector<int> writers;  // the channel behind each write that reached the manager
};
TManager* manager = nullptr;

std::string Name(UINT event) {
  switch (event) {
    case CHANNEL_EVENT_INITIALIZED:
      return "initialized";
    case CHANNEL_EVENT_CONNECTED:
      return "connected";
    case CHANNEL_EVENT_DISCONNECTED:
      return "disconnected";
    case CHANNEL_EVENT_TERMINATED:
      return "terminated";
    case CHANNEL_EVENT_DATA_RECEIVED:
      return "data";
    default:
      return "event " + std::to_string(event);
  }
}

UINT VCAPITYPE ManagerInit(LPVOID userParam, LPVOID, LPVOID, PCHANNEL_DEF, INT, ULONG,
                           PCHANNEL_INIT_EVENT_EX_FN event) {
  ++manager->registrations;
  manager->userParam = userParam;
  manager->initEvent = event;
  return CHANNEL_RC_OK;
}
UINT VCAPITYPE ManagerOpen(LPVOID, LPDWORD openHandle, PCHAR, PCHANNEL_OPEN_EVENT_EX_FN event) {
  manager->openEvent = event;
  *openHandle = 7;
  return CHANNEL_RC_OK;
}
UINT VCAPITYPE ManagerWrite(LPVOID, DWORD, LPVOID data, ULONG, LPVOID) {
  manager->writers.push_back(*static_cast<int*>(data));
  return CHANNEL_RC_OK;
}

VOID VCAPITYPE ChannelOpenEvent(LPVOID userParam, DWORD, UINT event, LPVOID, UINT32, UINT32,
                                UINT32) {
  static_cast<TFakeChannel*>(userParam)->seen.push_back(Name(event));
}
VOID VCAPITYPE ChannelInitEvent(LPVOID userParam, LPVOID initHandle, UINT event, LPVOID, UINT) {
  auto* channel = static_cast<TFakeChannel*>(userParam);
  channel->seen.push_back(Name(event));
  if (event == CHANNEL_EVENT_CONNECTED) {
    DWORD open = 0;
    char name[] = "rdpsnd";
    channel->points.pVirtualChannelOpenEx(initHandle, &open, name, ChannelOpenEvent);
  }
}

// FreeRDP's entry: a new channel that keeps its copy of the entry points, as FreeRDP's does.
BOOL VCAPITYPE FakeEntry(PCHANNEL_ENTRY_POINTS_EX points, PVOID initHandle) {
  auto channel = std::make_unique<TFakeChannel>();
  channel->number = static_cast<int>(manager->made.size()) + 1;
  channel->points = *reinterpret_cast<CHANNEL_ENTRY_POINTS_FREERDP_EX*>(points);
  channel->initHandle = initHandle;
  CHANNEL_DEF def{};
  const UINT result =
      channel->points.pVirtualChannelInitEx(channel.get(), nullptr, initHandle, &def, 1,
                                            VIRTUAL_CHANNEL_VERSION_WIN2000, ChannelInitEvent);
  manager->made.push_back(std::move(channel));
  return result == CHANNEL_RC_OK;
}

TEST(RdpSoundChannel, EachConnectionGetsAFreshChannelAndTheOldOneIsEnded) {
  TManager fake;
  manager = &fake;
  int initHandle = 0;
  CHANNEL_ENTRY_POINTS_FREERDP_EX points{};
  points.cbSize = sizeof(points);
  points.MagicNumber = FREERDP_CHANNEL_MAGIC_NUMBER;
  points.pVirtualChannelInitEx = ManagerInit;
  points.pVirtualChannelOpenEx = ManagerOpen;
  points.pVirtualChannelWriteEx = ManagerWrite;

  const PVIRTUALCHANNELENTRYEX entry = RdpSoundChannelEntry(FakeEntry);
  ASSERT_TRUE(entry(reinterpret_cast<PCHANNEL_ENTRY_POINTS_EX>(&points), &initHandle));
  ASSERT_EQ(fake.made.size(), 1u);
  auto event = [&](UINT what) { fake.initEvent(fake.userParam, &initHandle, what, nullptr, 0); };
  auto data = [&] {
    fake.openEvent(fake.userParam, 7, CHANNEL_EVENT_DATA_RECEIVED, nullptr, 0, 0,
                   CHANNEL_FLAG_ONLY);
  };
  auto write = [&](TFakeChannel& channel) {
    channel.points.pVirtualChannelWriteEx(&initHandle, 7, &channel.number, sizeof(int), nullptr);
  };

  // The first connection is the channel's own; a failed attempt in between changes nothing.
  event(CHANNEL_EVENT_INITIALIZED);
  event(CHANNEL_EVENT_CONNECTED);
  data();
  write(*fake.made[0]);
  event(CHANNEL_EVENT_DISCONNECTED);
  EXPECT_EQ(fake.made.size(), 1u);

  // The next connection: the old channel ended as at a session's end, a fresh one made and
  // initialised before the connection and the server's messages reach it.
  event(CHANNEL_EVENT_CONNECTED);
  ASSERT_EQ(fake.made.size(), 2u);
  data();
  write(*fake.made[1]);
  event(CHANNEL_EVENT_DISCONNECTED);
  event(CHANNEL_EVENT_CONNECTED);
  ASSERT_EQ(fake.made.size(), 3u);
  event(CHANNEL_EVENT_DISCONNECTED);
  event(CHANNEL_EVENT_TERMINATED);  // the session's end; the wrapper goes with it

  using Seen = std::vector<std::string>;
  EXPECT_EQ(fake.made[0]->seen,
            (Seen{"initialized", "connected", "data", "disconnected", "terminated"}));
  EXPECT_EQ(fake.made[1]->seen,
            (Seen{"initialized", "connected", "data", "disconnected", "terminated"}));
  EXPECT_EQ(fake.made[2]->seen, (Seen{"initialized", "connected", "disconnected", "terminated"}));
  EXPECT_EQ(fake.registrations, 1) << "FreeRDP takes a channel's registration once";
  EXPECT_EQ(fake.writers, (std::vector<int>{1, 2})) << "each channel's messages reach FreeRDP";
  manager = nullptr;
}

}  // namespace
