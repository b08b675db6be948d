#include "platform/printers.h"

#include <cups/cups.h>
#include <dlfcn.h>

#include <QLoggingCategory>

namespace {

Q_LOGGING_CATEGORY(lcPrinters, "zentra.printers")

// libcups and what it brings (GnuTLS, Kerberos, Avahi) are needed only when printers are listed,
// never to start: it is loaded then, by its versioned name, the one its package installs.
constexpr char kCupsLibrary[] = "libcups.so.2";

struct CupsFunctions {
  decltype(&cupsGetDests2) getDests = nullptr;
  decltype(&cupsFreeDests) freeDests = nullptr;
};

CupsFunctions LoadCups() {
  // Never unloaded: CUPS keeps per-thread state of its own.
  void* handle = dlopen(kCupsLibrary, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    qCWarning(lcPrinters) << "CUPS is not available, no printers:" << dlerror();
    return {};
  }
  CupsFunctions cups;
  cups.getDests = reinterpret_cast<decltype(&cupsGetDests2)>(dlsym(handle, "cupsGetDests2"));
  cups.freeDests = reinterpret_cast<decltype(&cupsFreeDests)>(dlsym(handle, "cupsFreeDests"));
  if (cups.getDests == nullptr || cups.freeDests == nullptr) {
    qCWarning(lcPrinters) << "CUPS lacks the functions to list printers";
    return {};
  }
  return cups;
}

const CupsFunctions& Cups() {
  static const CupsFunctions cups = LoadCups();
  return cups;
}

}  // namespace

std::vector<TPrinterInfo> CurrentUserPrinters() {
  const CupsFunctions& cups = Cups();
  if (cups.getDests == nullptr) return {};
  cups_dest_t* dests = nullptr;
  const int count = cups.getDests(CUPS_HTTP_DEFAULT, &dests);
  std::vector<TPrinterInfo> printers;
  for (int i = 0; i < count; ++i) {
    if (dests[i].instance != nullptr) continue;  // an instance is a preset of its queue
    printers.push_back({QString::fromUtf8(dests[i].name), dests[i].is_default != 0});
  }
  cups.freeDests(count, dests);
  return printers;
}
