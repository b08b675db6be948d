#pragma once

#include <QProcess>

// Every server a test starts must end with the test, even when the test is killed or crashes
// before its destructors run: the kernel sends the child SIGTERM when the test process goes.
// Call before QProcess::start.
void DieWithTest(QProcess& process);

// Ends a child: SIGTERM, then SIGKILL if it is still there after timeoutMs. Safe on a process
// that never started or has already finished.
void StopChild(QProcess* process, int timeoutMs = 5000);
