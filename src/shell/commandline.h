#pragma once

#include <QString>
#include <QStringList>

// What the command line asks of the program before any window exists.
struct CommandLineRequest {
  enum class Action { Run, PrintAndExit };
  Action action = Action::Run;
  // For PrintAndExit: the text for standard output (usage, or name and version).
  QString output;
  // --verbose: our log categories and FreeRDP's own log on standard error.
  bool verbose = false;
};

// Reads the program's options (--help, --version, --verbose). Options it does not know are left
// to Qt's application object, which takes its own (-platform, -display, ...) after this.
[[nodiscard]] CommandLineRequest ParseCommandLine(const QStringList& arguments);

// Turns on the diagnostics --verbose asks for: every zentra.* log category, and FreeRDP's log at
// DEBUG unless WLOG_LEVEL already says otherwise. QT_LOGGING_RULES still has the last word on
// single categories. Call before FreeRDP logs anything: it reads WLOG_LEVEL once.
void TurnOnVerboseLogging();

inline constexpr char kVerboseLoggingRules[] = "zentra.*=true";
inline constexpr char kVerboseFreeRdpLevel[] = "DEBUG";
