#include "principal/rdp/irdpsession.h"

#include "principal/rdp/rdpsession.h"

#include <algorithm>
#include <mutex>

namespace {

RdpSessionFactory& InstalledFactory() {
  static RdpSessionFactory factory;
  return factory;
}

// A network that drops for a moment comes back within seconds, a restarted server within a
// minute or two: 20 attempts, the pauses doubling from one second up to six, about two minutes
// in all with the attempts' own time.
std::vector<std::chrono::milliseconds> ShippedReconnectDelays() {
  constexpr int kAttempts = 20;
  constexpr auto kFirst = std::chrono::milliseconds(1000);
  constexpr auto kLongest = std::chrono::milliseconds(6000);
  std::vector<std::chrono::milliseconds> delays;
  auto delay = kFirst;
  for (int i = 0; i < kAttempts; ++i) {
    delays.push_back(delay);
    delay = std::min(delay * 2, kLongest);
  }
  return delays;
}

std::mutex& DelaysMutex() {
  static std::mutex mutex;
  return mutex;
}

std::vector<std::chrono::milliseconds>& InstalledDelays() {
  static std::vector<std::chrono::milliseconds> delays;
  return delays;
}

}  // namespace

std::unique_ptr<IRdpSession> MakeRdpSession(RdpConnectParams params, QObject* receiver,
                                            TRdpSessionEvents* events) {
  if (const auto& factory = InstalledFactory()) return factory(std::move(params), receiver, events);
  return std::make_unique<TRdpSession>(std::move(params), receiver, events);
}

void SetRdpSessionFactory(RdpSessionFactory factory) {
  InstalledFactory() = std::move(factory);
}

std::vector<std::chrono::milliseconds> RdpReconnectDelays() {
  {
    std::lock_guard lock(DelaysMutex());
    if (!InstalledDelays().empty()) return InstalledDelays();
  }
  return ShippedReconnectDelays();
}

void SetRdpReconnectDelays(std::vector<std::chrono::milliseconds> delays) {
  std::lock_guard lock(DelaysMutex());
  InstalledDelays() = std::move(delays);
}
