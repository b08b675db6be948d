#include "principal/rdp/session/rdpdevices.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <algorithm>

#include "platform/localdevices.h"
#include "platform/registry.h"
#include "principal/rdp/rdplog.h"

namespace {

constexpr char16_t kDriveChannel[] = u"drive";
constexpr char16_t kPrinterChannel[] = u"printer";
constexpr char16_t kSerialChannel[] = u"serial";
constexpr char16_t kSerialNamePrefix[] = u"COM";

// Mount points in /proc/self/mounts escape blanks, tabs, newlines and backslashes as \ooo.
QString DecodeMountField(const QString& field) {
  QByteArray out;
  const QByteArray in = field.toUtf8();
  for (qsizetype i = 0; i < in.size(); ++i) {
    if (in[i] == '\\' && i + 3 < in.size()) {
      bool ok = false;
      const int value = in.mid(i + 1, 3).toInt(&ok, 8);
      if (ok && value < 256) {
        out.append(static_cast<char>(value));
        i += 3;
        continue;
      }
    }
    out.append(in[i]);
  }
  return QString::fromUtf8(out);
}

// Whether path lies below folder (both clean and absolute).
bool IsInside(const QString& path, const QString& folder) {
  if (folder == QStringLiteral("/")) return path != folder;
  return path.startsWith(folder + u'/');
}

// Labels that the remote side accepts as a share name: no separators or blanks at the ends.
QString DriveLabel(const QString& text) {
  QString label = text.trimmed();
  label.replace(QRegularExpression(QStringLiteral("[\\\\/:*?\"<>|,]")), QStringLiteral("_"));
  return label;
}

}  // namespace

std::vector<TDeviceChannel> RdpDeviceChannels(const TRedirectionInputs& inputs) {
  std::vector<TDeviceChannel> channels;
  if (inputs.drives) {
    QSet<QString> used;
    auto addDrive = [&](const QString& wanted, const QString& path) {
      if (path.isEmpty()) return;
      QString name = DriveLabel(wanted);
      if (name.isEmpty()) name = QStringLiteral("Drive");
      // Two media with the same label still need two names on the remote side.
      QString unique = name;
      for (int n = 2; used.contains(unique.toLower()); ++n) unique = name + QString::number(n);
      used.insert(unique.toLower());
      channels.push_back({QString::fromUtf16(kDriveChannel), unique, path});
    };
    for (const auto& folder : inputs.userFolders) addDrive(folder.name, folder.path);
    for (const auto& medium : inputs.removable) addDrive(medium.name, medium.path);
  }
  if (inputs.printers) {
    const auto isDefault = [](const TPrinterInfo& p) { return p.isDefault; };
    // FreeRDP marks the first printer it registers as the default one.
    auto defaultPrinter =
        std::find_if(inputs.printerList.begin(), inputs.printerList.end(), isDefault);
    if (defaultPrinter != inputs.printerList.end())
      channels.push_back({QString::fromUtf16(kPrinterChannel), defaultPrinter->name});
    if (inputs.filterQueueType == kAllPrinters) {
      for (const auto& printer : inputs.printerList)
        if (!printer.isDefault)
          channels.push_back({QString::fromUtf16(kPrinterChannel), printer.name});
    }
  }
  if (inputs.ports) {
    int number = 1;
    for (const auto& path : inputs.serialPorts)
      channels.push_back({QString::fromUtf16(kSerialChannel),
                          QString::fromUtf16(kSerialNamePrefix) + QString::number(number++), path});
  }
  return channels;
}

std::vector<TSharedFolder> RemovableMountsFrom(const QString& mountsText) {
  static const QSet<QString> kMediaFileSystems = {
      QStringLiteral("vfat"),   QStringLiteral("exfat"),   QStringLiteral("ntfs"),
      QStringLiteral("ntfs3"),  QStringLiteral("fuseblk"), QStringLiteral("ext2"),
      QStringLiteral("ext3"),   QStringLiteral("ext4"),    QStringLiteral("iso9660"),
      QStringLiteral("udf"),    QStringLiteral("btrfs"),   QStringLiteral("xfs"),
      QStringLiteral("hfsplus")};
  std::vector<TSharedFolder> mounts;
  QSet<QString> seen;
  const auto lines = mountsText.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  for (const auto& line : lines) {
    const auto fields = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (fields.size() < 3) continue;
    const QString path = DecodeMountField(fields[1]);
    if (!kMediaFileSystems.contains(fields[2])) continue;
    if (!path.startsWith(QStringLiteral("/media/")) &&
        !path.startsWith(QStringLiteral("/run/media/")))
      continue;
    if (seen.contains(path)) continue;
    seen.insert(path);
    mounts.push_back({QDir(path).dirName(), path});
  }
  return mounts;
}

std::vector<TSharedFolder> UserFolderShares(const QStringList& realPaths, const QString& home,
                                            const QStringList& privateFolders) {
  const QString homeClean = QDir::cleanPath(home);
  std::vector<TSharedFolder> shares;
  QSet<QString> seen;
  for (const auto& raw : realPaths) {
    if (raw.isEmpty() || !QDir::isAbsolutePath(raw)) continue;
    const QString path = QDir::cleanPath(raw);
    if (path == homeClean || IsInside(homeClean, path)) {
      qCInfo(lcRdp) << "folder not shared: it is the home folder or holds it:" << path;
      continue;
    }
    // Below the home folder only the part after it counts (a home under a dotted folder is rare
    // but not hidden from its owner).
    const QString shown = IsInside(path, homeClean) ? path.mid(homeClean.size()) : path;
    const auto parts = shown.split(u'/', Qt::SkipEmptyParts);
    if (std::any_of(parts.begin(), parts.end(),
                    [](const QString& part) { return part.startsWith(u'.'); })) {
      qCInfo(lcRdp) << "folder not shared: it is hidden:" << path;
      continue;
    }
    const bool touchesPrivate =
        std::any_of(privateFolders.begin(), privateFolders.end(), [&](const QString& p) {
          const QString own = QDir::cleanPath(p);
          return !p.isEmpty() && (own == path || IsInside(own, path) || IsInside(path, own));
        });
    if (touchesPrivate) {
      qCInfo(lcRdp) << "folder not shared: it holds or lies in settings or caches:" << path;
      continue;
    }
    if (seen.contains(path)) continue;
    seen.insert(path);
    shares.push_back({QDir(path).dirName(), path});
  }
  return shares;
}

QStringList SerialCandidatesFrom(const QStringList& devEntries) {
  static const QRegularExpression kSerial(QStringLiteral("^tty(S|USB|ACM)[0-9]+$"));
  QStringList found;
  for (const auto& entry : devEntries)
    if (kSerial.match(entry).hasMatch()) found << entry;
  // Kind first (ttyS, ttyUSB, ttyACM), then number: COM1 stays the first UART.
  auto key = [](const QString& name) {
    const auto m = kSerial.match(name);
    const QString kind = m.captured(1);
    const int rank = kind == QStringLiteral("S") ? 0 : kind == QStringLiteral("USB") ? 1 : 2;
    return std::pair(rank, name.mid(name.indexOf(kind) + kind.size()).toInt());
  };
  std::sort(found.begin(), found.end(),
            [&](const QString& a, const QString& b) { return key(a) < key(b); });
  return found;
}

TRedirectionInputs GatherRedirectionInputs(bool drives, bool printers, bool ports) {
  TRedirectionInputs inputs;
  inputs.drives = drives;
  inputs.printers = printers;
  inputs.ports = ports;
  if (drives) {
    // A folder FreeRDP cannot open (another user's stick) would take every other device down
    // with it; it is left out and the rest is shared.
    QStringList real;
    for (const auto& path : UserFolderPaths())
      real << (FolderShareable(path) ? OwnFolder(path) : QString());
    const QString home = QFileInfo(QDir::homePath()).canonicalFilePath();
    inputs.userFolders =
        UserFolderShares(real, home.isEmpty() ? QDir::homePath() : home, PrivateFolderPaths());
    for (auto& medium : RemovableMountsFrom(MountTable())) {
      if (FolderShareable(medium.path))
        inputs.removable.push_back(std::move(medium));
      else
        qCInfo(lcRdp) << "medium not shared: it cannot be opened:" << medium.name;
    }
  }
  if (printers) {
    inputs.printerList = CurrentUserPrinters();
    TRegistry registry;
    if (registry.OpenKey(QString::fromUtf16(kRdpdrKey), false))
      inputs.filterQueueType = registry.ReadCardinal(QString::fromUtf16(kFilterQueueTypeValue), 0);
  }
  if (ports) {
    for (const auto& name : SerialCandidatesFrom(SerialPortsInSystem())) {
      const QString path = DevicePath(name);
      if (DeviceReadWrite(path))
        inputs.serialPorts << path;
      else
        qCInfo(lcRdp) << "serial port not shared: this user may not use it:" << path;
    }
  }
  return inputs;
}
