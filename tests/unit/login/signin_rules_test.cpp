#include <gtest/gtest.h>

#include "core/errors.h"
#include "login/signin.h"

namespace {

TEST(SignInRules, StripDigitsKeepsEverythingElseInOrder) {
  EXPECT_EQ(StripDigits(u"jo4o99silva"_qs), u"joosilva"_qs);
  EXPECT_EQ(StripDigits(u"merovia2024"_qs), u"merovia"_qs);
  EXPECT_EQ(StripDigits(u"0123456789"_qs), QString());
  EXPECT_EQ(StripDigits(u"é ü-_."_qs), u"é ü-_."_qs);
}

TEST(SignInRules, UserKeyIsPercentEncodedAsUtf8BeyondTheUnreservedCharacters) {
  EXPECT_EQ(EncodeUserKey(u"merovia_zirevuvar"_qs), u"merovia_zirevuvar"_qs);
  EXPECT_EQ(EncodeUserKey(u"a-b.c~d"_qs), u"a-b.c~d"_qs);
  EXPECT_EQ(EncodeUserKey(u"joao silva"_qs), u"joao%20silva"_qs);
  EXPECT_EQ(EncodeUserKey(u"a#b&c%d+e"_qs), u"a%23b%26c%25d%2Be"_qs);
  EXPECT_EQ(EncodeUserKey(u"josé"_qs), u"jos%C3%A9"_qs);
  EXPECT_EQ(EncodeUserKey(u"x\r\nHost: evil"_qs), u"x%0D%0AHost%3A%20evil"_qs);
}

TEST(SignInRules, ReplySplitsAtTheFirstSemicolonWithoutTrimming) {
  const struct {
    const char16_t* reply;
    const char16_t* host;
    const char16_t* port;
  } cases[] = {
      {u"srv;3389", u"srv", u"3389"}, {u"srv; 3389", u"srv", u" 3389"}, {u"srv", u"", u"srv"},
      {u";3389", u"", u"3389"},       {u"srv;", u"srv", u""},           {u"", u"", u""},
      {u"a;b;c", u"a", u"b;c"},
  };
  for (const auto& c : cases) {
    const TLookupReply split = SplitLookupReply(QString::fromUtf16(c.reply));
    EXPECT_EQ(split.host, QString::fromUtf16(c.host));
    EXPECT_EQ(split.port, QString::fromUtf16(c.port));
  }
}

TEST(SignInRules, PortConversionAcceptsOneIntegerInDecimalOrHex) {
  const std::pair<const char16_t*, int> good[] = {
      {u"3389", 3389}, {u" 3389", 3389},         {u"  +3389", 3389},        {u"-1", -1},
      {u"$D3D", 3389}, {u"xd3d", 3389},          {u"0xD3D", 3389},          {u"XD3D", 3389},
      {u"-$10", -16},  {u"2147483647", INT_MAX}, {u"-2147483648", INT_MIN}, {u"$FFFFFFFF", -1},
  };
  for (const auto& [text, value] : good) {
    EXPECT_EQ(PortFromText(QString::fromUtf16(text)), value)
        << QString::fromUtf16(text).toStdString();
  }
  for (const char16_t* bad : {u"", u" ", u"3389 ", u"3389\r\n", u"33a9", u"3389;x", u"2147483648",
                              u"$", u"0x", u"x d3d", u"$100000000", u"+-1", u"3,389"}) {
    EXPECT_THROW((void)PortFromText(QString::fromUtf16(bad)), Exception)
        << QString::fromUtf16(bad).toStdString();
  }
}

}  // namespace
