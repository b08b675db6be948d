#include "platform/localdevices.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <cstring>

namespace {

constexpr char kMountsFile[] = "/proc/self/mounts";
constexpr char kDevFolder[] = "/dev";
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

QStringList DeviceEntries() {
  return QDir(QString::fromLatin1(kDevFolder)).entryList(QDir::System | QDir::Files);
}

QString DevicePath(const QString& entry) {
  return QDir(QString::fromLatin1(kDevFolder)).filePath(entry);
}

bool SerialPortPresent(const QString& path) {
  const QByteArray native = QFile::encodeName(path);
  const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  bool real = true;
  if (QFileInfo(path).fileName().startsWith(QStringLiteral("ttyS"))) {
    serial_struct info{};
    real = ::ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
  }
  ::close(fd);
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
