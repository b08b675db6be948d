#include "shell/commandline.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLoggingCategory>

#include <unistd.h>

TCommandLineRequest ParseCommandLine(const QStringList& arguments) {
  QCommandLineParser parser;
  // Qt's own options are single-dash words (-platform xcb); read them as one word each so that
  // they pass through instead of being taken apart as -p -l -a ...
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  parser.setApplicationDescription(
      QStringLiteral("Client of the Zentra Computing hosted remote desktop."));
  const QCommandLineOption help = parser.addHelpOption();
  const QCommandLineOption version = parser.addVersionOption();
  const QCommandLineOption verbose(
      QStringLiteral("verbose"),
      QStringLiteral("Log connection steps, session ends and transfers on standard error "
                     "(never passwords, cookies or lookup replies)."));
  parser.addOption(verbose);

  // A false result only means options we leave to Qt; ours are read all the same.
  (void)parser.parse(arguments);

  TCommandLineRequest request;
  request.verbose = parser.isSet(verbose);
  // --help-all is the help option's longer form; Qt adds it with --help.
  if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
    request.action = TCommandLineRequest::Action::PrintAndExit;
    request.output = parser.helpText();
  } else if (parser.isSet(version)) {
    request.action = TCommandLineRequest::Action::PrintAndExit;
    request.output =
        QCoreApplication::applicationName() + u' ' + QCoreApplication::applicationVersion() + u'\n';
  }
  return request;
}

void TurnOnVerboseLogging() {
  QLoggingCategory::setFilterRules(QString::fromLatin1(kVerboseLoggingRules));
  if (!qEnvironmentVariableIsSet("WLOG_LEVEL")) qputenv("WLOG_LEVEL", kFreeRdpMostLevel);
  ConfineFreeRdpLog();
}

void ConfineFreeRdpLog() {
  // Where the log goes (WLOG_APPENDER and each appender's file, address or name), per-logger
  // levels (WLOG_FILTER) and its line layout (WLOG_PREFIX): all WinPR's defaults, standard error.
  QByteArrayList names;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const QByteArray variable(*entry);
    if (variable.startsWith("WLOG_")) names << variable.left(variable.indexOf('='));
  }
  for (const QByteArray& name : names)
    if (name != "WLOG_LEVEL") qunsetenv(name.constData());
  if (!qEnvironmentVariableIsSet("WLOG_LEVEL")) return;
  static const QByteArrayList kQuietEnough = {"INFO", "WARN", "ERROR", "FATAL", "OFF"};
  if (!kQuietEnough.contains(qgetenv("WLOG_LEVEL").trimmed().toUpper()))
    qputenv("WLOG_LEVEL", kFreeRdpMostLevel);
}
