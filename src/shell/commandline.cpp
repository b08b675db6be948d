#include "shell/commandline.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLoggingCategory>

CommandLineRequest ParseCommandLine(const QStringList& arguments) {
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

  CommandLineRequest request;
  request.verbose = parser.isSet(verbose);
  // --help-all is the help option's longer form; Qt adds it with --help.
  if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
    request.action = CommandLineRequest::Action::PrintAndExit;
    request.output = parser.helpText();
  } else if (parser.isSet(version)) {
    request.action = CommandLineRequest::Action::PrintAndExit;
    request.output =
        QCoreApplication::applicationName() + u' ' + QCoreApplication::applicationVersion() + u'\n';
  }
  return request;
}

void TurnOnVerboseLogging() {
  QLoggingCategory::setFilterRules(QString::fromLatin1(kVerboseLoggingRules));
  if (!qEnvironmentVariableIsSet("WLOG_LEVEL")) qputenv("WLOG_LEVEL", kVerboseFreeRdpLevel);
}
