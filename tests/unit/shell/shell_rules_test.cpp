#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLoggingCategory>
#include <exception>
#include <stdexcept>

#include "core/errors.h"
#include "shell/application.h"
#include "shell/commandline.h"
#include "shell/startup.h"

namespace {

struct TitleCase {
  const char* path;
  const char* title;
};

TEST(ApplicationTitle, CutAtFirstDotAndLowerCasedAfterFirstCharacter) {
  const TitleCase cases[] = {
      {"CLIENT.EXE", "Client"},
      {"client.new.exe", "client"},
      {"zentra", "zentra"},
      {"/usr/local/bin/zentra", "zentra"},
      {"/opt/ZeNTRA.bin", "Zentra"},
      {"/opt/.hidden", ""},
      {"Z", "Z"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ApplicationTitleFromPath(QString::fromUtf8(c.path)), QString::fromUtf8(c.title))
        << c.path;
  }
}

TEST(ErrorBoxText, GainsAPeriodOnlyAfterCharactersSortingAfterThePeriod) {
  const std::pair<const char*, const char*> cases[] = {
      {"Host not found", "Host not found."},
      {"404", "404."},
      {"path/", "path/."},
      {"Key:", "Key:."},
      {"Done.", "Done."},
      {"(x)", "(x)"},
      {"Stop!", "Stop!"},
      {"a-", "a-"},
      {"a,", "a,"},
      {"trailing ", "trailing "},
      {"", ""},
  };
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(ErrorBoxText(QString::fromUtf8(in)), QString::fromUtf8(out)) << in;
  }
}

std::exception_ptr Chain(const char* outer, const char* inner) {
  try {
    try {
      throw Exception(QString::fromUtf8(inner));
    } catch (...) {
      std::throw_with_nested(Exception(QString::fromUtf8(outer)));
    }
  } catch (...) {
    return std::current_exception();
  }
}

TEST(ExceptionMessage, InnermostNonEmptyMessageOfAChainWins) {
  EXPECT_EQ(ExceptionMessage(Chain("outer", "inner")), QStringLiteral("inner"));
  EXPECT_EQ(ExceptionMessage(Chain("outer", "")), QStringLiteral("outer"));
  EXPECT_EQ(ExceptionMessage(std::make_exception_ptr(std::runtime_error("plain"))),
            QStringLiteral("plain"));
  EXPECT_EQ(ExceptionMessage(std::make_exception_ptr(42)), QStringLiteral("Unknown exception"));
}

TEST(FatalStartupReport, NamesKindModuleAddressAndMessageWithPeriod) {
  EXPECT_EQ(FatalStartupReportText(std::make_exception_ptr(EInvalidOperation(u"Bad layout"_qs)),
                                   u"zentra"_qs),
            u"Exception EInvalidOperation in module zentra at 00000000.\nBad layout."_qs);
  EXPECT_EQ(FatalStartupReportText(std::make_exception_ptr(Exception(u"Ends."_qs)), u"zentra"_qs),
            u"Exception Exception in module zentra at 00000000.\nEnds."_qs);
  EXPECT_EQ(FatalStartupReportText(std::make_exception_ptr(std::runtime_error("x")), u"zentra"_qs),
            u"Exception std::runtime_error in module zentra at 00000000.\nx."_qs);
}

struct CommandLineCase {
  QStringList arguments;
  TCommandLineRequest::Action action;
  bool verbose;
  const char* outputStart;
};

TEST(CommandLine, HelpAndVersionPrintAndExitOthersRunWithQtsOptionsLeftAlone) {
  QCoreApplication::setApplicationName(u"zentra"_qs);
  QCoreApplication::setApplicationVersion(u"1.2.3"_qs);
  using Action = TCommandLineRequest::Action;
  const CommandLineCase cases[] = {
      {{u"zentra"_qs}, Action::Run, false, ""},
      {{u"zentra"_qs, u"--verbose"_qs}, Action::Run, true, ""},
      {{u"zentra"_qs, u"--version"_qs}, Action::PrintAndExit, false, "zentra 1.2.3\n"},
      {{u"zentra"_qs, u"-v"_qs}, Action::PrintAndExit, false, "zentra 1.2.3\n"},
      {{u"zentra"_qs, u"--help"_qs}, Action::PrintAndExit, false, "Usage: "},
      {{u"zentra"_qs, u"-h"_qs, u"--verbose"_qs}, Action::PrintAndExit, true, "Usage: "},
      // Qt's own options reach Qt; they neither stop the program nor hide ours.
      {{u"zentra"_qs, u"-platform"_qs, u"offscreen"_qs, u"--verbose"_qs}, Action::Run, true, ""},
      {{u"zentra"_qs, u"-style=fusion"_qs}, Action::Run, false, ""},
      {{u"zentra"_qs, u"-platform"_qs, u"xcb"_qs, u"--version"_qs},
       Action::PrintAndExit,
       false,
       "zentra 1.2.3\n"},
  };
  for (const auto& c : cases) {
    const TCommandLineRequest request = ParseCommandLine(c.arguments);
    const std::string arguments = c.arguments.join(u' ').toStdString();
    EXPECT_EQ(request.action, c.action) << arguments;
    EXPECT_EQ(request.verbose, c.verbose) << arguments;
    const QString start = QString::fromUtf8(c.outputStart);
    EXPECT_TRUE(start.isEmpty() ? request.output.isEmpty() : request.output.startsWith(start))
        << arguments;
  }
  const QString help = ParseCommandLine({u"zentra"_qs, u"--help"_qs}).output;
  for (const char* option : {"--help", "--version", "--verbose"}) {
    EXPECT_TRUE(help.contains(QString::fromLatin1(option))) << option;
  }
}

TEST(CommandLine, VerboseTurnsOnOurCategoriesAndFreeRdpsLogAtInfo) {
  QLoggingCategory rdp("zentra.rdp", QtWarningMsg);
  QLoggingCategory other("qt.widgets", QtWarningMsg);
  ASSERT_FALSE(rdp.isDebugEnabled());
  qunsetenv("WLOG_LEVEL");
  TurnOnVerboseLogging();
  EXPECT_TRUE(rdp.isDebugEnabled());
  EXPECT_TRUE(rdp.isInfoEnabled());
  EXPECT_FALSE(other.isDebugEnabled());
  EXPECT_EQ(qgetenv("WLOG_LEVEL"), QByteArray("INFO"));
  QLoggingCategory::setFilterRules({});
  qunsetenv("WLOG_LEVEL");
}

// FreeRDP writes the auto-reconnect cookie at DEBUG and decrypted packets (the password among
// them) at TRACE or through a file, binary or network appender: whatever the environment asks,
// its log stays on standard error at INFO or quieter.
TEST(CommandLine, FreeRdpsLogStaysAboveDebugAndOnStandardError) {
  struct Case {
    const char* level;     // WLOG_LEVEL before; nullptr: not set
    const char* expected;  // after; nullptr: not set
  };
  const Case cases[] = {{"TRACE", "INFO"}, {"DEBUG", "INFO"}, {"debug", "INFO"},
                        {"5", "INFO"},     {"INFO", "INFO"},  {"WARN", "WARN"},
                        {"OFF", "OFF"},    {nullptr, nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.level != nullptr ? c.level : "(none)");
    if (c.level != nullptr)
      qputenv("WLOG_LEVEL", c.level);
    else
      qunsetenv("WLOG_LEVEL");
    qputenv("WLOG_APPENDER", "BINARY");
    qputenv("WLOG_FILEAPPENDER_OUTPUT_FILE_PATH", "/tmp");
    qputenv("WLOG_FILTER", "com.freerdp.core.nego:TRACE");
    qputenv("WLOG_PREFIX", "%mn");
    qputenv("WLOG_UDP_TARGET", "127.0.0.1:7");
    ConfineFreeRdpLog();
    if (c.expected != nullptr)
      EXPECT_EQ(qgetenv("WLOG_LEVEL"), QByteArray(c.expected));
    else
      EXPECT_FALSE(qEnvironmentVariableIsSet("WLOG_LEVEL"));
    for (const char* name : {"WLOG_APPENDER", "WLOG_FILEAPPENDER_OUTPUT_FILE_PATH", "WLOG_FILTER",
                             "WLOG_PREFIX", "WLOG_UDP_TARGET"})
      EXPECT_FALSE(qEnvironmentVariableIsSet(name)) << name;
  }
  qputenv("WLOG_LEVEL", "TRACE");
  TurnOnVerboseLogging();
  EXPECT_EQ(qgetenv("WLOG_LEVEL"), QByteArray("INFO")) << "--verbose does not open it up";
  QLoggingCategory::setFilterRules({});
  qunsetenv("WLOG_LEVEL");
}

}  // namespace
