#include "platform/process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;

namespace {

constexpr char kOpener[] = "xdg-open";
constexpr char kProgramFolder[] = "zentra";
constexpr char kDownloadFolderTemplate[] = "download-XXXXXX";

QString ErrorText(int error) {
  return QString::fromLocal8Bit(std::strerror(error));
}

// The folder all download folders go in: made private if it is new, and refused when it is
// anything but our own folder (a link planted in its place would send the download elsewhere).
bool EnsureProgramFolder(const QString& folder, QString& error) {
  const QByteArray path = QFile::encodeName(folder);
  if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) {
    error = ErrorText(errno);
    return false;
  }
  struct stat info {};
  if (::lstat(path.constData(), &info) != 0) {
    error = ErrorText(errno);
    return false;
  }
  if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) {
    error = ErrorText(ENOTDIR);
    return false;
  }
  return true;
}

QString BaseFolder() {
  QString base = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
  if (base.isEmpty()) base = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  return base;
}

}  // namespace

bool CreateDownloadFile(const QString& fileName, QFile& file, QString& path, QString& error) {
  const QString base = BaseFolder();
  const QString programFolder = base + u'/' + QLatin1String(kProgramFolder);
  path = programFolder + u'/' + fileName;
  if (base.isEmpty() || fileName.isEmpty() || fileName.contains(u'/') ||
      fileName == QLatin1String("..") || fileName == QLatin1String(".")) {
    error = ErrorText(EINVAL);
    return false;
  }
  if (!QDir().mkpath(base) || !EnsureProgramFolder(programFolder, error)) {
    if (error.isEmpty()) error = ErrorText(errno);
    return false;
  }
  // mkdtemp makes a new folder of mode 0700 that nobody else can have made or linked.
  QByteArray folder =
      QFile::encodeName(programFolder + u'/' + QLatin1String(kDownloadFolderTemplate));
  if (::mkdtemp(folder.data()) == nullptr) {
    error = ErrorText(errno);
    return false;
  }
  path = QFile::decodeName(folder) + u'/' + fileName;
  const int fd = ::open(QFile::encodeName(path).constData(),
                        O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = ErrorText(errno);
    return false;
  }
  if (!file.open(fd, QIODevice::ReadWrite, QFileDevice::AutoCloseHandle)) {
    error = file.errorString();
    ::close(fd);
    return false;
  }
  return true;
}

StartOutcome StartDownloadedFile(const QString& fullPath) {
  const QByteArray path = QFile::encodeName(fullPath);
  if (::access(path.constData(), F_OK) != 0) return StartOutcome::Failed;
  char* argv[] = {const_cast<char*>(kOpener), const_cast<char*>(path.constData()), nullptr};
  pid_t pid = 0;
  if (::posix_spawnp(&pid, kOpener, nullptr, nullptr, argv, environ) != 0) {
    return StartOutcome::Failed;
  }
  // The opener's answer is not waited for; reap it whenever it ends so it leaves no zombie.
  std::thread([pid] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return StartOutcome::OpenedByDesktop;
}
