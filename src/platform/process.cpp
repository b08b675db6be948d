#include "platform/process.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <QDesktopServices>
#include <QFile>
#include <QUrl>
#include <cerrno>
#include <thread>

extern char** environ;

namespace {

DesktopOpener& Opener() {
  static DesktopOpener opener;
  return opener;
}

bool OpenWithDesktop(const QString& fullPath) {
  if (Opener()) return Opener()(fullPath);
  return QDesktopServices::openUrl(QUrl::fromLocalFile(fullPath));
}

}  // namespace

void SetDesktopOpener(DesktopOpener opener) {
  Opener() = std::move(opener);
}

StartOutcome StartProgram(const QString& fullPath) {
  const QByteArray path = QFile::encodeName(fullPath);
  struct stat info {};
  if (::stat(path.constData(), &info) != 0) return StartOutcome::Failed;
  if ((info.st_mode & S_IXUSR) == 0) ::chmod(path.constData(), info.st_mode | S_IXUSR);

  char* argv[] = {const_cast<char*>(path.constData()), nullptr};
  pid_t pid = 0;
  // posix_spawn, not posix_spawnp: the program is the file just written, by its full path, never
  // a namesake found on a search path.
  const int error = ::posix_spawn(&pid, path.constData(), nullptr, nullptr, argv, environ);
  if (error == 0) {
    // The program outlives nothing of ours; reap it whenever it ends so it leaves no zombie.
    std::thread([pid] {
      int status = 0;
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
    return StartOutcome::Started;
  }
  if (error == ENOEXEC) {
    return OpenWithDesktop(fullPath) ? StartOutcome::OpenedByDesktop : StartOutcome::Failed;
  }
  return StartOutcome::Failed;
}
