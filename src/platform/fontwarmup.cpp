#include "platform/fontwarmup.h"

#include <fontconfig/fontconfig.h>

#include <thread>

namespace {

struct WarmUp {
  std::thread thread;
  ~WarmUp() {
    if (thread.joinable()) thread.join();
  }
};

}  // namespace

void WarmUpFontConfiguration() {
  static WarmUp warmUp;
  if (warmUp.thread.joinable()) return;
  warmUp.thread = std::thread([] { FcInit(); });
}
