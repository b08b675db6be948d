#include <gtest/gtest.h>

#include <exception>
#include <stdexcept>

#include "core/errors.h"
#include "shell/application.h"
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

}  // namespace
