#include "childprocess.h"

#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>

void DieWithTest(QProcess& process) {
  const pid_t test = ::getpid();
  process.setChildProcessModifier([test] {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    // The test may have died between fork and prctl: then nobody would ever send the signal.
    if (::getppid() != test) ::_exit(1);
  });
}

void StopChild(QProcess* process, int timeoutMs) {
  if (process == nullptr || process->state() == QProcess::NotRunning) return;
  process->terminate();
  if (!process->waitForFinished(timeoutMs)) {
    process->kill();
    process->waitForFinished(timeoutMs);
  }
}
