#include "platform/fontwarmup.h"

#include <fontconfig/fontconfig.h>

#include <thread>

namespace {

struct WarmUp {
  std::thread thread;
  ~WarmUp() { Await(); }
  void Await() {
    if (thread.joinable()) thread.join();
  }
};

WarmUp& TheWarmUp() {
  static WarmUp warmUp;
  return warmUp;
}

}  // namespace

void WarmUpFontConfiguration() {
  static bool started = false;
  if (started) return;
  started = true;
  TheWarmUp().thread = std::thread([] { FcInit(); });
}

void AwaitFontConfiguration() {
  TheWarmUp().Await();
}
