#include "platform/printers.h"

#include <cups/cups.h>

std::vector<PrinterInfo> CurrentUserPrinters() {
  cups_dest_t* dests = nullptr;
  const int count = cupsGetDests2(CUPS_HTTP_DEFAULT, &dests);
  std::vector<PrinterInfo> printers;
  for (int i = 0; i < count; ++i) {
    if (dests[i].instance != nullptr) continue;  // an instance is a preset of its queue
    printers.push_back({QString::fromUtf8(dests[i].name), dests[i].is_default != 0});
  }
  cupsFreeDests(count, dests);
  return printers;
}
