#pragma once

#include <QString>
#include <QStringList>

// What the command line asks of the program before any window exists.
struct TCommandLineRequest {
  enum class Action { Run, PrintAndExit };
  Action action = Action::Run;
  // For PrintAndExit: the text for standard output (usage, or name and version).
  QString output;
  // --verbose: our log categories and FreeRDP's own log on standard error.
  bool verbose = false;
};

// Reads the program's options (--help, --version, --verbose). Options it does not know are left
// to Qt's application object, which takes its own (-platform, -display, ...) after this.
[[nodiscard]] TCommandLineRequest ParseCommandLine(const QStringList& arguments);

// Turns on the diagnostics --verbose asks for: every zentra.* log category, and FreeRDP's log at
// INFO. QT_LOGGING_RULES still has the last word on single categories.
void TurnOnVerboseLogging();

// Keeps FreeRDP's log (WinPR's, read from WLOG_* variables when it first logs) on standard error
// and above DEBUG, whatever the environment asks: at DEBUG FreeRDP writes the server's
// auto-reconnect cookie and the client's answer to it, and at TRACE, or with a file, binary or
// network appender, it writes the decrypted packets, the password among them. A quieter level
// from the environment is kept. Call before FreeRDP logs anything, verbose or not.
void ConfineFreeRdpLog();

inline constexpr char kVerboseLoggingRules[] = "zentra.*=true";
// The most FreeRDP may say.
inline constexpr char kFreeRdpMostLevel[] = "INFO";
