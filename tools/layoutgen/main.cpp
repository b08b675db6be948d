// Turns the readable keyboard layouts of resources/keyboard/ into the byte streams the program
// embeds, and writes them out as a C++ source file (plus each stream as NAME.bin beside it).
//
//   zentra_layoutgen OUTPUT_DIR BLOCKNAME=SOURCE [BLOCKNAME=SOURCE ...]
//
// The source form has one record a line; "#" starts a comment; texts are in double quotes (UTF-8,
// no escapes). Numbers are decimal.
//
//   layout "Standard101"          KeyboardName
//   type "Standard"               KeyboardType
//   size 848 262                  Width Height (layout units)
//   min 550 180                   MinWidth MinHeight (pixels, 0 = none)
//   max 0 0                       MaxWidth MaxHeight
//   rowheight 48                  RowHeight
//   language "en-GB" "English (United Kingdom)"
//   row [top N] [bottom N]        starts a row; margins 0/2 on the first row, 2/0 on the last,
//                                 2/2 between
//   key FIELDS                    a key of the current row, left to right
//     alt NAME[@LANG] FIELDS      an alternate of the key above while modifier NAME is latched;
//                                 with @LANG only for that language; keeps the key's caption,
//                                 codes and size unless FIELDS say otherwise
//     altlang LANG FIELDS         a language variant of the alternate above
//     lang LANG FIELDS            a language variant of the key above
//
// FIELDS: "caption"  scan N  vk N  combo VK:SCAN (repeatable)  sym NAME (Tab Shift Enter
// Backspace Up Down Left Right NarrowEnter)  image N  w N  h N  lm N  rm N  size N  group N
// S (kfStretch)  T (kfToggle)  R (kfRepeat)  [modifiername]  {publishedname}.
// Key defaults: height 48, size 14, no symbol, codes -1, margins 0 at the row's ends and 2
// between keys. Variants store no symbol and codes -1 unless FIELDS say otherwise.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QStringList>
#include <QTextStream>
#include <cstdio>
#include <optional>
#include <stdexcept>

#include "principal/keyboard/layoutstream.h"

namespace {

struct TToken {
  QString Text;
  bool Quoted = false;
};

class TSourceError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

const QMap<QString, std::uint8_t> kSymbols = {
    {"Tab", kKeyImageTab},
    {"Shift", kKeyImageShift},
    {"Enter", kKeyImageEnter},
    {"Backspace", kKeyImageBackspace},
    {"Up", kKeyImageUp},
    {"Down", kKeyImageDown},
    {"Left", kKeyImageLeft},
    {"Right", kKeyImageRight},
    {"NarrowEnter", kKeyImageNarrowEnter},
};

QList<TToken> Tokenize(const QString& line) {
  QList<TToken> tokens;
  qsizetype i = 0;
  while (i < line.size()) {
    if (line[i].isSpace()) {
      ++i;
    } else if (line[i] == u'#') {
      break;
    } else if (line[i] == u'"') {
      const qsizetype end = line.indexOf(u'"', i + 1);
      if (end < 0) throw TSourceError("text without its closing quote");
      tokens.append({line.mid(i + 1, end - i - 1), true});
      i = end + 1;
    } else {
      qsizetype end = i;
      while (end < line.size() && !line[end].isSpace()) ++end;
      tokens.append({line.mid(i, end - i), false});
      i = end;
    }
  }
  return tokens;
}

// Reads the tokens of one record, in order.
class TFields {
 public:
  explicit TFields(QList<TToken> tokens) : tokens_(std::move(tokens)) {}

  [[nodiscard]] bool AtEnd() const { return pos_ >= tokens_.size(); }
  const TToken& Next() {
    if (AtEnd()) throw TSourceError("record ends too early");
    return tokens_[pos_++];
  }
  QString Word() {
    const TToken& token = Next();
    if (token.Quoted) throw TSourceError("expected a word, found a text");
    return token.Text;
  }
  QString Text() {
    const TToken& token = Next();
    if (!token.Quoted) throw TSourceError("expected a text in quotes");
    return token.Text;
  }
  long Number(long low, long high) {
    const QString word = Word();
    bool ok = false;
    const long value = word.toLong(&ok);
    if (!ok || value < low || value > high) {
      throw TSourceError("number out of range: " + word.toStdString());
    }
    return value;
  }
  std::int16_t Code() { return static_cast<std::int16_t>(Number(-32768, 32767)); }
  std::uint16_t U16() { return static_cast<std::uint16_t>(Number(0, 65535)); }

 private:
  QList<TToken> tokens_;
  qsizetype pos_ = 0;
};

// Fields common to keys, alternates and variants; which of them a record may carry is checked by
// the caller through the pointers it passes.
struct TCommonFields {
  QString* Caption = nullptr;
  std::int16_t* Vk = nullptr;
  std::int16_t* ScanCode = nullptr;
  std::uint8_t* KeyImage = nullptr;
  std::vector<TKeyData>* ComboKeys = nullptr;
  std::uint16_t* FontSize = nullptr;
};

// Returns false when the token is not one of the common fields.
bool ReadCommonField(const TToken& token, TFields& fields, const TCommonFields& target) {
  if (token.Quoted && target.Caption) {
    *target.Caption = token.Text;
  } else if (token.Text == "scan" && target.ScanCode) {
    *target.ScanCode = fields.Code();
  } else if (token.Text == "vk" && target.Vk) {
    *target.Vk = fields.Code();
  } else if (token.Text == "sym" && target.KeyImage) {
    const QString name = fields.Word();
    if (!kSymbols.contains(name)) throw TSourceError("unknown symbol " + name.toStdString());
    *target.KeyImage = kSymbols.value(name);
  } else if (token.Text == "image" && target.KeyImage) {
    *target.KeyImage = static_cast<std::uint8_t>(fields.Number(0, 255));
  } else if (token.Text == "size" && target.FontSize) {
    *target.FontSize = fields.U16();
  } else if (token.Text == "combo" && target.ComboKeys) {
    const QStringList parts = fields.Word().split(u':');
    bool okVk = false;
    bool okScan = false;
    const int vk = parts.value(0).toInt(&okVk);
    const int scan = parts.value(1).toInt(&okScan);
    if (parts.size() != 2 || !okVk || !okScan) throw TSourceError("combo wants VK:SCAN");
    target.ComboKeys->push_back({static_cast<std::int16_t>(vk), static_cast<std::int16_t>(scan)});
  } else {
    return false;
  }
  return true;
}

struct TKeySource {
  TVirtualKey Key;
  std::optional<std::uint16_t> LeftMargin;
  std::optional<std::uint16_t> RightMargin;
};

struct TRowSource {
  std::optional<std::uint8_t> TopMargin;
  std::optional<std::uint8_t> BottomMargin;
  std::vector<TKeySource> Keys;
};

class TLayoutSource {
 public:
  void Record(TFields fields) {
    const QString kind = fields.Word();
    if (kind == "layout") {
      layout_.KeyboardName = fields.Text();
    } else if (kind == "type") {
      layout_.KeyboardType = fields.Text();
    } else if (kind == "size") {
      layout_.Width = fields.U16();
      layout_.Height = fields.U16();
    } else if (kind == "min") {
      layout_.MinWidth = fields.U16();
      layout_.MinHeight = fields.U16();
    } else if (kind == "max") {
      layout_.MaxWidth = fields.U16();
      layout_.MaxHeight = fields.U16();
    } else if (kind == "rowheight") {
      layout_.RowHeight = fields.U16();
    } else if (kind == "language") {
      TKeyboardLanguage language;
      language.Language = fields.Text();
      language.Name = fields.Text();
      layout_.Languages.push_back(language);
    } else if (kind == "row") {
      Row(fields);
    } else if (kind == "key") {
      Key(fields);
    } else if (kind == "alt") {
      Alternate(fields);
    } else if (kind == "altlang") {
      AlternateVariant(fields);
    } else if (kind == "lang") {
      KeyVariant(fields);
    } else {
      throw TSourceError("unknown record " + kind.toStdString());
    }
    if (!fields.AtEnd()) throw TSourceError("unexpected " + fields.Next().Text.toStdString());
  }

  TVirtualKeyLayout Finish() {
    for (std::size_t r = 0; r < rows_.size(); ++r) {
      TRowSource& source = rows_[r];
      TVirtualKeys row;
      row.TopMargin = source.TopMargin.value_or(r == 0 ? 0 : 2);
      row.BottomMargin = source.BottomMargin.value_or(r + 1 == rows_.size() ? 0 : 2);
      for (std::size_t k = 0; k < source.Keys.size(); ++k) {
        TKeySource& key = source.Keys[k];
        key.Key.LeftMargin = key.LeftMargin.value_or(k == 0 ? 0 : 2);
        key.Key.RightMargin = key.RightMargin.value_or(k + 1 == source.Keys.size() ? 0 : 2);
        row.Keys.push_back(std::move(key.Key));
      }
      layout_.Keys.push_back(std::move(row));
    }
    return std::move(layout_);
  }

 private:
  void Row(TFields& fields) {
    TRowSource row;
    while (!fields.AtEnd()) {
      const QString word = fields.Word();
      const auto value = static_cast<std::uint8_t>(fields.Number(0, 255));
      if (word == "top") {
        row.TopMargin = value;
      } else if (word == "bottom") {
        row.BottomMargin = value;
      } else {
        throw TSourceError("row takes top and bottom, not " + word.toStdString());
      }
    }
    rows_.push_back(std::move(row));
  }

  void Key(TFields& fields) {
    if (rows_.empty()) throw TSourceError("key before the first row");
    TKeySource source;
    TVirtualKey& key = source.Key;
    const TCommonFields common{&key.Caption,  &key.Vk,        &key.ScanCode,
                               &key.KeyImage, &key.ComboKeys, &key.FontSize};
    while (!fields.AtEnd()) {
      const TToken token = fields.Next();
      if (ReadCommonField(token, fields, common)) continue;
      const QString& word = token.Text;
      if (word == "w") {
        key.Width = fields.U16();
      } else if (word == "h") {
        key.Height = fields.U16();
      } else if (word == "lm") {
        source.LeftMargin = static_cast<std::uint16_t>(fields.Number(0, 255));
      } else if (word == "rm") {
        source.RightMargin = static_cast<std::uint16_t>(fields.Number(0, 255));
      } else if (word == "group") {
        key.GroupIndex = fields.U16();
      } else if (word == "S") {
        key.Flags |= kfStretch;
      } else if (word == "T") {
        key.Flags |= kfToggle;
      } else if (word == "R") {
        key.Flags |= kfRepeat;
      } else if (word.size() > 2 && word.startsWith(u'[') && word.endsWith(u']')) {
        key.ModifierName = word.mid(1, word.size() - 2);
      } else if (word.size() > 2 && word.startsWith(u'{') && word.endsWith(u'}')) {
        key.PublishedName = word.mid(1, word.size() - 2);
      } else {
        throw TSourceError("unknown key field " + word.toStdString());
      }
    }
    rows_.back().Keys.push_back(std::move(source));
  }

  TVirtualKey& LastKey() {
    if (rows_.empty() || rows_.back().Keys.empty()) throw TSourceError("no key to attach to");
    return rows_.back().Keys.back().Key;
  }

  void Alternate(TFields& fields) {
    TVirtualKey& key = LastKey();
    TKeyModifier alternate;
    alternate.Caption = key.Caption;
    alternate.Vk = key.Vk;
    alternate.ScanCode = key.ScanCode;
    alternate.FontSize = key.FontSize;
    const QStringList name = fields.Word().split(u'@');
    if (name.size() > 2 || name[0].isEmpty()) throw TSourceError("alt wants NAME or NAME@LANG");
    alternate.ModifierName = name[0];
    alternate.Language = name.value(1);
    const TCommonFields common{&alternate.Caption,  &alternate.Vk, &alternate.ScanCode,
                               &alternate.KeyImage, nullptr,       &alternate.FontSize};
    while (!fields.AtEnd()) {
      if (!ReadCommonField(fields.Next(), fields, common)) {
        throw TSourceError("unknown alternate field");
      }
    }
    key.Modifiers.push_back(std::move(alternate));
  }

  void AlternateVariant(TFields& fields) {
    TVirtualKey& key = LastKey();
    if (key.Modifiers.empty()) throw TSourceError("altlang without an alternate");
    TKeyLanguage variant;
    variant.Language = fields.Word();
    const TCommonFields common{&variant.Caption,  &variant.Vk, &variant.ScanCode,
                               &variant.KeyImage, nullptr,     nullptr};
    while (!fields.AtEnd()) {
      if (!ReadCommonField(fields.Next(), fields, common)) {
        throw TSourceError("unknown altlang field");
      }
    }
    key.Modifiers.back().Languages.push_back(std::move(variant));
  }

  void KeyVariant(TFields& fields) {
    TVirtualKey& key = LastKey();
    TKeyLanguage variant;
    variant.Language = fields.Word();
    const TCommonFields common{&variant.Caption,  &variant.Vk,        &variant.ScanCode,
                               &variant.KeyImage, &variant.ComboKeys, nullptr};
    while (!fields.AtEnd()) {
      if (!ReadCommonField(fields.Next(), fields, common)) {
        throw TSourceError("unknown lang field");
      }
    }
    key.Languages.push_back(std::move(variant));
  }

  TVirtualKeyLayout layout_;
  std::vector<TRowSource> rows_;
};

TVirtualKeyLayout ParseLayout(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
    throw TSourceError("cannot read " + path.toStdString());
  }
  TLayoutSource source;
  const QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n');
  for (qsizetype i = 0; i < lines.size(); ++i) {
    try {
      QList<TToken> tokens = Tokenize(lines[i]);
      if (!tokens.isEmpty()) source.Record(TFields(std::move(tokens)));
    } catch (const TSourceError& e) {
      throw TSourceError(QStringLiteral("%1:%2: ").arg(path).arg(i + 1).toStdString() + e.what());
    }
  }
  return source.Finish();
}

void WriteFile(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size()) {
    throw TSourceError("cannot write " + path.toStdString());
  }
}

QByteArray CppSource(const QMap<QString, QByteArray>& blocks) {
  QByteArray out;
  out += "// Generated by zentra_layoutgen from resources/keyboard/. Do not edit.\n";
  out += "#include \"principal/keyboard/builtinlayoutdata.h\"\n\nnamespace {\n";
  int index = 0;
  for (const QByteArray& bytes : blocks) {
    out += "\nconst unsigned char kBlock" + QByteArray::number(index++) + "[] = {";
    for (qsizetype i = 0; i < bytes.size(); ++i) {
      out += (i % 16 == 0) ? "\n   " : "";
      out += " " + QByteArray::number(static_cast<std::uint8_t>(bytes[i])) + ",";
    }
    out += "\n};\n";
  }
  out += "\nconst TBuiltInLayoutBlock kBlocks[] = {\n";
  index = 0;
  for (auto it = blocks.begin(); it != blocks.end(); ++it, ++index) {
    const QByteArray array = "kBlock" + QByteArray::number(index);
    out += "    {\"" + it.key().toLatin1() + "\", " + array + ", sizeof(" + array + ")},\n";
  }
  out += "};\n\n}  // namespace\n\n";
  out += "std::span<const TBuiltInLayoutBlock> BuiltInLayoutBlocks() {\n  return kBlocks;\n}\n";
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  const QStringList args = application.arguments();
  if (args.size() < 3) {
    std::fprintf(stderr, "usage: zentra_layoutgen OUTPUT_DIR BLOCKNAME=SOURCE ...\n");
    return 2;
  }
  try {
    const QDir outputDir(args[1]);
    QMap<QString, QByteArray> blocks;  // sorted by block name, the order start-up loads them in
    for (qsizetype i = 2; i < args.size(); ++i) {
      const qsizetype equals = args[i].indexOf(u'=');
      if (equals <= 0) throw TSourceError("argument is not BLOCKNAME=SOURCE");
      const QString name = args[i].left(equals);
      const TVirtualKeyLayout layout = ParseLayout(args[i].mid(equals + 1));
      const QByteArray bytes = WriteKeyLayout(layout);
      qsizetype consumed = 0;
      if (ReadKeyLayout(bytes, &consumed) != layout || consumed != bytes.size()) {
        throw TSourceError(name.toStdString() + " does not read back as written");
      }
      WriteFile(outputDir.filePath(name + ".bin"), bytes);
      blocks.insert(name, bytes);
      std::printf("%s: %lld bytes\n", qPrintable(name), static_cast<long long>(bytes.size()));
    }
    WriteFile(outputDir.filePath("builtinlayoutdata.cpp"), CppSource(blocks));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zentra_layoutgen: %s\n", e.what());
    return 1;
  }
  return 0;
}
