#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <vector>

// X display numbers that no X server holds as seen from here: no lock file, no socket file and no
// abstract socket in this network namespace; first those that tests/support/netns-run chose
// outside the namespace (ZENTRA_FREE_DISPLAYS), where every server can be seen. A server started
// on an explicit number writes its lock file; one that finds its number taken meanwhile ends, and
// the launcher takes the next number. (-displayfd writes no lock file and, inside a namespace,
// takes the socket file of a server it cannot see.)
std::vector<int> FreeDisplayNumbers(int count);

// Starts Xvfb with the arguments after the display on one of those numbers, and waits (bounded)
// until it holds its lock file and answers; the process dies with the test. Returns the display
// (":N"), or empty with the reason in failure.
[[nodiscard]] QString StartXvfb(QProcess& xvfb, const QStringList& arguments, QString& failure);
