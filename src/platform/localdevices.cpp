#include "platform/localdevices.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <cstring>

namespace {

constexpr char kMountsFile[] = "/proc/self/mounts";
constexpr char kDevFolder[] = "/dev";
constexpr char kSysClassTty[] = "/sys/class/tty";
constexpr char kSoundFolder[] = "/dev/snd";
constexpr char kPulseSocket[] = "pulse/native";
// The mount table of even a busy desktop is a few kilobytes; more is not a mount table.
constexpr qint64 kMaxMountTableBytes = 4 * 1024 * 1024;

bool UnixSocketAnswers(const QByteArray& path) {
  sockaddr_un address{};
  if (path.isEmpty() || static_cast<size_t>(path.size()) >= sizeof(address.sun_path)) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.constData(), static_cast<size_t>(path.size()));
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool answered =
      ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
  ::close(fd);
  return answered;
}

bool PulseServerReachable() {
  // A PULSE_SERVER naming a unix socket is tried; one naming a network host is taken on trust,
  // as the sound client would.
  const QString server = qEnvironmentVariable("PULSE_SERVER");
  if (!server.isEmpty()) {
    if (server.startsWith(QStringLiteral("unix:")))
      return UnixSocketAnswers(QFile::encodeName(server.mid(5)));
    if (server.startsWith(QLatin1Char('/'))) return UnixSocketAnswers(QFile::encodeName(server));
    return true;
  }
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (runtime.isEmpty()) return false;
  return UnixSocketAnswers(
      QFile::encodeName(QDir(runtime).filePath(QString::fromLatin1(kPulseSocket))));
}

bool AlsaPlaybackOpens() {
  static const QRegularExpression kPlayback(QStringLiteral("^pcmC[0-9]+D[0-9]+p$"));
  const QDir snd(QString::fromLatin1(kSoundFolder));
  const auto entries = snd.entryList(QDir::System | QDir::Files);
  for (const auto& entry : entries) {
    if (!kPlayback.match(entry).hasMatch()) continue;
    const QByteArray path = QFile::encodeName(snd.filePath(entry));
    const int fd = ::open(path.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      ::close(fd);
      return true;
    }
  }
  return false;
}

}  // namespace

QString MountTable() {
  QFile mounts(QString::fromLatin1(kMountsFile));
  if (!mounts.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(mounts.read(kMaxMountTableBytes));
}

QString DevicePath(const QString& entry) {
  return QDir(QString::fromLatin1(kDevFolder)).filePath(entry);
}

QStringList SerialPortsInSystem(const QString& sysClassTty) {
  const QDir ttys(sysClassTty.isEmpty() ? QString::fromLatin1(kSysClassTty) : sysClassTty);
  QStringList found;
  const auto entries = ttys.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
  for (const auto& entry : entries) {
    const QString folder = ttys.filePath(entry);
    if (!QFileInfo::exists(folder + QStringLiteral("/device"))) continue;
    // Only serial-core ports have a "type"; PORT_UNKNOWN there means no UART answered the probe.
    QFile type(folder + QStringLiteral("/type"));
    if (type.open(QIODevice::ReadOnly)) {
      bool ok = false;
      const int value = type.read(16).trimmed().toInt(&ok);
      if (ok && value == PORT_UNKNOWN) continue;
    }
    found << entry;
  }
  return found;
}

bool DeviceReadWrite(const QString& path) {
  const QByteArray native = QFile::encodeName(path);
  return !native.isEmpty() && ::access(native.constData(), R_OK | W_OK) == 0;
}

QStringList UserFolderPaths() {
  static const QStandardPaths::StandardLocation kKinds[] = {
      QStandardPaths::DocumentsLocation, QStandardPaths::DownloadLocation,
      QStandardPaths::DesktopLocation,   QStandardPaths::PicturesLocation,
      QStandardPaths::MusicLocation,     QStandardPaths::MoviesLocation};
  QStringList paths;
  for (const auto kind : kKinds) paths << QStandardPaths::writableLocation(kind);
  return paths;
}

QStringList PrivateFolderPaths() {
  static const QStandardPaths::StandardLocation kKinds[] = {
      QStandardPaths::GenericConfigLocation, QStandardPaths::GenericCacheLocation,
      QStandardPaths::GenericDataLocation,   QStandardPaths::AppConfigLocation,
      QStandardPaths::AppDataLocation,       QStandardPaths::CacheLocation};
  QStringList locations;
  for (const auto kind : kKinds) locations << QStandardPaths::writableLocation(kind);
  // Read as it is: Qt's runtime location would make a folder in /tmp when it is not set.
  locations << qEnvironmentVariable("XDG_RUNTIME_DIR");
  QStringList paths;
  for (const auto& path : locations) {
    if (path.isEmpty()) continue;
    paths << QDir::cleanPath(path);
    // Where the folder already exists, its real path too: a link must not hide it.
    const QString real = QFileInfo(path).canonicalFilePath();
    if (!real.isEmpty()) paths << real;
  }
  paths.removeDuplicates();
  return paths;
}

QString OwnFolder(const QString& path) {
  if (path.isEmpty()) return {};
  const QString real = QFileInfo(path).canonicalFilePath();
  if (real.isEmpty()) return {};
  struct stat st {};
  const QByteArray native = QFile::encodeName(real);
  if (::stat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
    return {};
  return real;
}

bool FolderShareable(const QString& path) {
  if (path.isEmpty()) return false;
  const QFileInfo info(path);
  if (!info.isDir()) return false;
  const QByteArray native = QFile::encodeName(info.absoluteFilePath());
  return ::access(native.constData(), R_OK | X_OK) == 0;
}

bool SoundOutputAvailable() {
  return PulseServerReachable() || AlsaPlaybackOpens();
}
