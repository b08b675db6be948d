#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

#include "platform/printers.h"

// What the session hands to the remote side when redirection is switched on. Gathering the
// facts (mounts, printers, serial ports, the stored printer mode) is kept apart from deciding the
// device list, so the decision can be checked with any set of facts.

// A folder handed over as a drive: one of the person's own folders (Documentos, Downloads, ...)
// or a mounted file system that a person would call removable media (a USB stick, a card, a disc).
struct TSharedFolder {
  QString name;  // the label the remote side shows, e.g. "Documentos", "PENDRIVE"
  QString path;  // the folder or the mount point
};

// The switches of the control and the facts of this computer at connect time.
struct TRedirectionInputs {
  bool drives = false;
  bool printers = false;
  bool ports = false;

  std::vector<TSharedFolder> userFolders;
  std::vector<TSharedFolder> removable;

  std::vector<TPrinterInfo> printerList;
  std::uint32_t filterQueueType = 0;  // the stored printer mode; kAllPrinters redirects every queue

  QStringList serialPorts;  // device paths, present and readable, in the order they are named
};

// The stored printer mode that asks for every printer instead of the default one.
inline constexpr std::uint32_t kAllPrinters = 0xFFFFFFFFu;

// One device channel as FreeRDP's device-channel call takes it: {"drive", NAME, PATH},
// {"printer", QUEUE}, {"serial", "COM1", PATH}.
using TDeviceChannel = QStringList;

// The device channels for the given switches and facts: each of the person's folders and each
// removable medium as a named drive; the default printer (every printer, the default first, in
// all-printers mode); one serial port per device, named COM1, COM2, ... in order.
[[nodiscard]] std::vector<TDeviceChannel> RdpDeviceChannels(const TRedirectionInputs& inputs);

// Removable media among the mounts listed in /proc/self/mounts form ("dev dir type opts 0 0"):
// real file systems mounted under /media or /run/media (the desktop's automounter puts them
// there). Octal escapes in mount points ("\040" for a blank) are decoded.
[[nodiscard]] std::vector<TSharedFolder> RemovableMountsFrom(const QString& mountsText);

// The person's folders that may be shared, from their real paths (links resolved, each one
// existing and owned by the person; an empty entry stands for one that is not): never the home
// folder itself or a folder around it, nothing hidden (no part of the path starts with a dot),
// never a folder inside or around one of privateFolders (settings, caches, this program's own
// files). Each is named like the folder; a folder named twice is shared once.
[[nodiscard]] std::vector<TSharedFolder> UserFolderShares(const QStringList& realPaths,
                                                          const QString& home,
                                                          const QStringList& privateFolders);

// Candidate serial device names in /dev: ttyS*, ttyUSB*, ttyACM*, in natural order.
[[nodiscard]] QStringList SerialCandidatesFrom(const QStringList& devEntries);

// The facts of this computer for the given switches (the user folders, the mount table, the
// kernel's list of serial ports, CUPS and the stored printer mode; only what a switch that is on
// needs). Folders that cannot be opened and ports this user may not use are left out; no device
// is opened. Slow: call it off the UI thread.
[[nodiscard]] TRedirectionInputs GatherRedirectionInputs(bool drives, bool printers, bool ports);
