#pragma once

#include <QString>
#include <functional>

// How a start attempt ended. The download windows do not show it; tests and logs read it.
enum class StartOutcome {
  Started,          // the kernel runs it as a program
  OpenedByDesktop,  // not a program for this system; the desktop's default handler took it
  Failed,           // neither worked (missing file, no permission, no handler)
};

// Starts a program file by its full path: sets its run bit for the owner, then spawns it with the
// path as its only argument and the current environment. A file the kernel cannot run as a
// program (ENOEXEC: a Windows installer, an empty or damaged file) is handed to the desktop's
// default handler for that kind of file instead. The child is reaped in the background.
StartOutcome StartProgram(const QString& fullPath);

// Test seam: replaces the desktop's default handler (xdg-open behind Qt), which cannot run on a
// test machine. Pass an empty function to use the desktop again.
using DesktopOpener = std::function<bool(const QString& fullPath)>;
void SetDesktopOpener(DesktopOpener opener);
