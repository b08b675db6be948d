#include <gtest/gtest.h>

#include <QBuffer>

#include "principal/keyboard/keyboardlayouts.h"
#include "principal/keyboard/layoutstream.h"

namespace {

using namespace Qt::StringLiterals;

// Builds a stream field by field in the documented order, independently of the writer.
class TBytes {
 public:
  TBytes& U8(int v) {
    bytes_.append(static_cast<char>(v));
    return *this;
  }
  TBytes& U16(int v) { return U8(v & 0xFF).U8((v >> 8) & 0xFF); }
  TBytes& Str(const QString& s) {
    U8(static_cast<int>(s.size() * 2));
    for (QChar c : s) U16(c.unicode());
    return *this;
  }
  [[nodiscard]] const QByteArray& Bytes() const { return bytes_; }

 private:
  QByteArray bytes_;
};

struct TBuiltIn {
  const char* block;
  qsizetype size;
  const char16_t* name;
  const char16_t* type;
  std::vector<std::size_t> rowSizes;
};

const TBuiltIn kBuiltIns[] = {
    {"NUMPADKEYBOARD", 518, u"NumPad", u"NumPad", {4, 4, 3, 4, 2}},
    {"STANDARD101KEYBOARD", 3645, u"Standard101", u"Standard", {15, 15, 13, 14, 8}},
    {"STANDARD102KEYBOARD", 5224, u"Standard102", u"Standard", {15, 15, 13, 15, 8}},
    {"STANDARD106KEYBOARD", 2993, u"Standard106", u"Standard", {16, 15, 13, 15, 11}},
};

TEST(LayoutsStream, BuiltInStreamsHaveTheirSizesAndReadBackByteForByte) {
  ASSERT_EQ(BuiltInLayoutNames(), QStringList({"NUMPADKEYBOARD", "STANDARD101KEYBOARD",
                                               "STANDARD102KEYBOARD", "STANDARD106KEYBOARD"}));
  for (const TBuiltIn& expected : kBuiltIns) {
    SCOPED_TRACE(expected.block);
    const QByteArrayView block = BuiltInLayoutBlock(QString::fromLatin1(expected.block));
    EXPECT_EQ(block.size(), expected.size);
    qsizetype consumed = 0;
    const TVirtualKeyLayout layout = ReadKeyLayout(block, &consumed);
    EXPECT_EQ(consumed, expected.size);
    EXPECT_EQ(WriteKeyLayout(layout), block.toByteArray());

    EXPECT_EQ(layout.KeyboardName, QString::fromUtf16(expected.name));
    EXPECT_EQ(layout.KeyboardType, QString::fromUtf16(expected.type));
    std::vector<std::size_t> rowSizes;
    for (const TVirtualKeys& row : layout.Keys) rowSizes.push_back(row.Keys.size());
    EXPECT_EQ(rowSizes, expected.rowSizes);
    EXPECT_EQ(layout.RowHeight, 48);
    EXPECT_EQ(layout.MaxWidth, 0);
    EXPECT_EQ(layout.MaxHeight, 0);
  }
}

// Two or four small fields compared as one, so that a failure shows them together.
using TPair = std::pair<int, int>;
using TQuad = std::tuple<int, int, int, int>;

TEST(LayoutsStream, BuiltInSizesAndMargins) {
  TKeyboardLayouts layouts;
  const TVirtualKeyLayout& numPad = layouts.LoadFromResourceName(u"NUMPADKEYBOARD"_s);
  const TVirtualKeyLayout& standard = layouts.LoadFromResourceName(u"STANDARD102KEYBOARD"_s);
  EXPECT_EQ(TQuad(numPad.Width, numPad.Height, numPad.MinWidth, numPad.MinHeight),
            TQuad(190, 229, 180, 150));
  EXPECT_EQ(TQuad(standard.Width, standard.Height, standard.MinWidth, standard.MinHeight),
            TQuad(848, 262, 550, 180));

  // Row margins 0/2, 2/2 ... 2/0; key margins 0 at the row's ends and 2 between keys, except the
  // NumPad's last key, which keeps 2 on its right.
  const std::vector<TVirtualKeys>& rows = standard.Keys;
  EXPECT_EQ(TPair(rows.front().TopMargin, rows.front().BottomMargin), TPair(0, 2));
  EXPECT_EQ(TPair(rows[2].TopMargin, rows[2].BottomMargin), TPair(2, 2));
  EXPECT_EQ(TPair(rows.back().TopMargin, rows.back().BottomMargin), TPair(2, 0));
  const std::vector<TVirtualKey>& row3 = rows[3].Keys;
  EXPECT_EQ(TPair(row3.front().LeftMargin, row3.front().RightMargin), TPair(0, 2));
  EXPECT_EQ(TPair(row3[5].LeftMargin, row3[5].RightMargin), TPair(2, 2));
  EXPECT_EQ(TPair(row3.back().LeftMargin, row3.back().RightMargin), TPair(2, 0));
  const TVirtualKey& decimal = numPad.Keys[4].Keys.back();
  EXPECT_EQ(decimal.Vk, 110);
  EXPECT_EQ(TPair(decimal.LeftMargin, decimal.RightMargin), TPair(2, 2));
}

TEST(LayoutsStream, NumPadPlusAndEnterSpanTwoRows) {
  TKeyboardLayouts layouts;
  const TVirtualKeyLayout& numPad = layouts.LoadFromResourceName(u"NUMPADKEYBOARD"_s);
  const TVirtualKey& plus = numPad.Keys[1].Keys.back();
  const TVirtualKey& enter = numPad.Keys[3].Keys.back();
  EXPECT_EQ(plus.Vk, 107);
  EXPECT_EQ(enter.Vk, 13);
  EXPECT_EQ(enter.KeyImage, kKeyImageNarrowEnter);
  EXPECT_EQ(enter.PublishedName, u"Enter"_s);
  for (const TVirtualKey* key : {&plus, &enter}) {
    EXPECT_EQ(key->Height, 92);
    EXPECT_TRUE(key->HasFlag(kfStretch));
  }
  // The rows below them leave their column free.
  EXPECT_EQ(numPad.Keys[2].Keys.size(), 3u);
  EXPECT_EQ(numPad.Keys[4].Keys[0].Width, 96);
}

// Every field at a distinct value, laid out by hand: catches a field read in the wrong order or
// at the wrong width, which the sizes of the built-in streams alone would not.
TEST(LayoutsStream, ReadsEveryFieldInItsPlace) {
  TBytes in;
  in.U8(1).Str(u"Név"_s).Str(u"Type"_s);
  in.U16(801).U16(802).U16(803).U16(804).U16(805).U16(806).U16(40);
  in.U16(1).Str(u"x-Y"_s).Str(u"Lang 😀"_s);
  in.U16(1).U8(3).U8(4).U16(1);  // one row, margins 3/4, one key
  in.Str(u"Cap"_s).U8(7).U16(0xFFFE).U16(300);
  in.U16(1).U16(17).U16(0x8000);  // combination
  in.U16(61).U16(92).U8(5).U8(6).U8(kfToggle | kfRepeat).U16(9);
  in.Str(u"mod"_s).Str(u"Pub"_s).U16(12);
  in.U16(1);  // one alternate
  in.Str(u"AC"_s).U16(65).U16(30).U8(2).Str(u"caps"_s).U16(11).Str(u"lt"_s);
  in.U16(1).Str(u"AV"_s).U16(66).U16(31).U8(3).Str(u"lt-LT"_s);
  in.U16(1);  // one key variant
  in.Str(u"KV"_s).U16(67).U16(32).U16(2).U16(1).U16(2).U16(3).U16(4).U8(254).Str(u"de"_s);

  qsizetype consumed = 0;
  const TVirtualKeyLayout layout = ReadKeyLayout(in.Bytes() + "trailing", &consumed);
  EXPECT_EQ(consumed, in.Bytes().size());

  TVirtualKeyLayout expected;
  expected.KeyboardName = u"Név"_s;
  expected.KeyboardType = u"Type"_s;
  expected.Width = 801;
  expected.Height = 802;
  expected.MinWidth = 803;
  expected.MinHeight = 804;
  expected.MaxWidth = 805;
  expected.MaxHeight = 806;
  expected.RowHeight = 40;
  expected.Languages = {{u"x-Y"_s, u"Lang 😀"_s}};
  TVirtualKey key;
  key.Caption = u"Cap"_s;
  key.KeyImage = 7;
  key.Vk = -2;
  key.ScanCode = 300;
  key.ComboKeys = {{17, -32768}};
  key.Width = 61;
  key.Height = 92;
  key.LeftMargin = 5;
  key.RightMargin = 6;
  key.Flags = kfToggle | kfRepeat;
  key.GroupIndex = 9;
  key.ModifierName = u"mod"_s;
  key.PublishedName = u"Pub"_s;
  key.FontSize = 12;
  key.Modifiers = {
      {u"AC"_s, 65, 30, 2, u"caps"_s, 11, u"lt"_s, {{u"AV"_s, 66, 31, 3, {}, u"lt-LT"_s}}}};
  key.Languages = {{u"KV"_s, 67, 32, 254, {{1, 2}, {3, 4}}, u"de"_s}};
  expected.Keys = {{3, 4, {key}}};
  EXPECT_EQ(layout, expected);
  EXPECT_EQ(WriteKeyLayout(layout), in.Bytes());
}

TEST(LayoutsStream, OtherVersionIsAnEmptyLayoutThatIsKeptButNeverFound) {
  for (const char version : {'\0', '\2', '\xff'}) {
    TKeyboardLayouts layouts;
    layouts.LoadFromResourceName(u"STANDARD101KEYBOARD"_s);
    QByteArray stream = BuiltInLayoutBlock(u"STANDARD102KEYBOARD"_s).toByteArray();
    stream[0] = version;
    qsizetype consumed = 0;
    EXPECT_EQ(ReadKeyLayout(stream, &consumed), TVirtualKeyLayout{});
    EXPECT_EQ(consumed, 1);

    const TVirtualKeyLayout& empty = layouts.LoadFromBytes(stream);
    EXPECT_EQ(layouts.Count(), 2);
    EXPECT_TRUE(empty.KeyboardName.isEmpty());
    EXPECT_TRUE(empty.Keys.empty());
    EXPECT_EQ(layouts.Find(u"Standard"_s)->KeyboardName, u"Standard101"_s);
    EXPECT_EQ(layouts.Find(QString()), nullptr);
    EXPECT_EQ(layouts.Find(QString(), QString()), nullptr);
  }
}

TEST(LayoutsStream, TruncatedStreamIsRefusedAndAddsNothing) {
  for (const TBuiltIn& builtIn : kBuiltIns) {
    const QByteArrayView block = BuiltInLayoutBlock(QString::fromLatin1(builtIn.block));
    TKeyboardLayouts layouts;
    for (qsizetype length = 0; length < block.size(); ++length) {
      EXPECT_THROW(layouts.LoadFromBytes(block.first(length)), EKeyLayoutError)
          << builtIn.block << " cut at " << length;
    }
    EXPECT_EQ(layouts.Count(), 0);
  }
}

TEST(LayoutsStream, ImpossibleValuesAreRefused) {
  const auto header = [] {
    TBytes in;
    in.U8(1).Str(u"N"_s).Str(u"T"_s);
    for (int i = 0; i < 7; ++i) in.U16(48);
    return in;
  };
  struct {
    const char* what;
    QByteArray bytes;
  } cases[] = {
      {"language count beyond the data", header().U16(0xFFFF).U16(0).Bytes()},
      {"row count beyond the data", header().U16(0).U16(40000).Bytes()},
      {"key count beyond the data", header().U16(0).U16(1).U8(0).U8(0).U16(2).Bytes()},
      {"odd text length", TBytes().U8(1).U8(3).U8('a').U8(0).U8('b').Bytes()},
      {"empty stream", QByteArray()},
  };
  for (const auto& c : cases) {
    TKeyboardLayouts layouts;
    try {
      layouts.LoadFromBytes(c.bytes);
      ADD_FAILURE() << c.what << " was accepted";
    } catch (const EKeyLayoutError& e) {
      EXPECT_FALSE(e.Message().isEmpty()) << c.what;
    }
    EXPECT_EQ(layouts.Count(), 0) << c.what;
  }
}

TEST(LayoutsStream, StreamIsReadLayoutByLayout) {
  QByteArray bytes = BuiltInLayoutBlock(u"NUMPADKEYBOARD"_s).toByteArray();
  bytes += BuiltInLayoutBlock(u"STANDARD106KEYBOARD"_s).toByteArray();
  bytes += BuiltInLayoutBlock(u"STANDARD101KEYBOARD"_s).first(100).toByteArray();
  QBuffer buffer(&bytes);
  ASSERT_TRUE(buffer.open(QIODevice::ReadOnly));
  TKeyboardLayouts layouts;
  EXPECT_EQ(layouts.LoadFromStream(buffer).KeyboardName, u"NumPad"_s);
  EXPECT_EQ(buffer.pos(), 518);
  EXPECT_EQ(layouts.LoadFromStream(buffer).KeyboardName, u"Standard106"_s);
  EXPECT_EQ(buffer.pos(), 518 + 2993);
  EXPECT_THROW(layouts.LoadFromStream(buffer), EKeyLayoutError);
  EXPECT_EQ(layouts.Count(), 2);
}

TEST(LayoutsStream, UnknownBlockNameIsRefused) {
  TKeyboardLayouts layouts;
  EXPECT_THROW(layouts.LoadFromResourceName(u"standard101keyboard"_s), EKeyLayoutError);
  EXPECT_EQ(layouts.Count(), 0);
}

TEST(LayoutsStream, WriterRefusesValuesThatDoNotFit) {
  TVirtualKeyLayout layout;
  layout.KeyboardName = QString(127, u'x');
  EXPECT_EQ(ReadKeyLayout(WriteKeyLayout(layout)).KeyboardName, layout.KeyboardName);
  layout.KeyboardName = QString(128, u'x');
  EXPECT_THROW((void)WriteKeyLayout(layout), EKeyLayoutError);

  layout.KeyboardName.clear();
  TVirtualKey key;
  key.RightMargin = 256;
  layout.Keys = {{0, 0, {key}}};
  EXPECT_THROW((void)WriteKeyLayout(layout), EKeyLayoutError);
}

}  // namespace
