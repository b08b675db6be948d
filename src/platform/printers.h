#pragma once

#include <QString>
#include <vector>

// A printer of the current user as CUPS lists it: local queues and remote ones by their names.
struct TPrinterInfo {
  QString name;
  bool isDefault = false;
};

// The current user's printers (CUPS destinations, instances left out), in CUPS's order.
[[nodiscard]] std::vector<TPrinterInfo> CurrentUserPrinters();
