#include "principal/keyboard/layoutstream.h"

#include <limits>

namespace {

const QString kEndsEarly = QStringLiteral("The keyboard layout data ends before the layout does");
const QString kOddText = QStringLiteral("The keyboard layout data holds a text of odd length");
const QString kImpossibleCount =
    QStringLiteral("The keyboard layout data holds more entries than it has room for");
const QString kTooLong = QStringLiteral("A keyboard layout value does not fit its field");

// The fewest bytes each kind of list entry can take; a count that cannot fit in what is left is
// refused before anything is allocated for it.
constexpr qsizetype kMinLanguage = 2;    // two empty texts
constexpr qsizetype kMinRow = 4;         // margins and an empty key count
constexpr qsizetype kMinKey = 25;        // every field present, texts and lists empty
constexpr qsizetype kMinKeyData = 4;     // Vk and ScanCode
constexpr qsizetype kMinModifier = 12;   // texts and variant list empty
constexpr qsizetype kMinModVariant = 7;  // caption, codes, image, language
constexpr qsizetype kMinKeyVariant = 9;  // as above plus an empty combination count
constexpr int kMaxTextUnits = std::numeric_limits<std::uint8_t>::max() / 2;

class TReader {
 public:
  explicit TReader(QByteArrayView data) : data_(data) {}

  [[nodiscard]] qsizetype Position() const { return pos_; }

  std::uint8_t U8() {
    Need(1);
    return static_cast<std::uint8_t>(data_[pos_++]);
  }

  std::uint16_t U16() {
    Need(2);
    const auto low = static_cast<std::uint8_t>(data_[pos_]);
    const auto high = static_cast<std::uint8_t>(data_[pos_ + 1]);
    pos_ += 2;
    return static_cast<std::uint16_t>(low | (high << 8));
  }

  std::int16_t I16() { return static_cast<std::int16_t>(U16()); }

  QString Str() {
    const qsizetype bytes = U8();
    if (bytes % 2 != 0) throw EKeyLayoutError(kOddText);
    Need(bytes);
    QString text(bytes / 2, Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i) {
      const auto low = static_cast<std::uint8_t>(data_[pos_ + 2 * i]);
      const auto high = static_cast<std::uint8_t>(data_[pos_ + 2 * i + 1]);
      text[i] = QChar(static_cast<char16_t>(low | (high << 8)));
    }
    pos_ += bytes;
    return text;
  }

  // A list count, checked against the room left for entries of at least minEntry bytes.
  std::uint16_t Count(qsizetype minEntry) {
    const std::uint16_t count = U16();
    if (count * minEntry > data_.size() - pos_) throw EKeyLayoutError(kImpossibleCount);
    return count;
  }

 private:
  void Need(qsizetype bytes) const {
    if (bytes > data_.size() - pos_) throw EKeyLayoutError(kEndsEarly);
  }

  QByteArrayView data_;
  qsizetype pos_ = 0;
};

std::vector<TKeyData> ReadCombination(TReader& in) {
  std::vector<TKeyData> keys(in.Count(kMinKeyData));
  for (TKeyData& key : keys) {
    key.Vk = in.I16();
    key.ScanCode = in.I16();
  }
  return keys;
}

TKeyModifier ReadModifier(TReader& in) {
  TKeyModifier modifier;
  modifier.Caption = in.Str();
  modifier.Vk = in.I16();
  modifier.ScanCode = in.I16();
  modifier.KeyImage = in.U8();
  modifier.ModifierName = in.Str();
  modifier.FontSize = in.U16();
  modifier.Language = in.Str();
  modifier.Languages.resize(in.Count(kMinModVariant));
  for (TKeyLanguage& variant : modifier.Languages) {
    variant.Caption = in.Str();
    variant.Vk = in.I16();
    variant.ScanCode = in.I16();
    variant.KeyImage = in.U8();
    variant.Language = in.Str();
  }
  return modifier;
}

TKeyLanguage ReadKeyVariant(TReader& in) {
  TKeyLanguage variant;
  variant.Caption = in.Str();
  variant.Vk = in.I16();
  variant.ScanCode = in.I16();
  variant.ComboKeys = ReadCombination(in);
  variant.KeyImage = in.U8();
  variant.Language = in.Str();
  return variant;
}

TVirtualKey ReadKey(TReader& in) {
  TVirtualKey key;
  key.Caption = in.Str();
  key.KeyImage = in.U8();
  key.Vk = in.I16();
  key.ScanCode = in.I16();
  key.ComboKeys = ReadCombination(in);
  key.Width = in.U16();
  key.Height = in.U16();
  key.LeftMargin = in.U8();
  key.RightMargin = in.U8();
  key.Flags = in.U8();
  key.GroupIndex = in.U16();
  key.ModifierName = in.Str();
  key.PublishedName = in.Str();
  key.FontSize = in.U16();
  key.Modifiers.resize(in.Count(kMinModifier));
  for (TKeyModifier& modifier : key.Modifiers) modifier = ReadModifier(in);
  key.Languages.resize(in.Count(kMinKeyVariant));
  for (TKeyLanguage& variant : key.Languages) variant = ReadKeyVariant(in);
  return key;
}

class TWriter {
 public:
  void U8(unsigned value) {
    if (value > 0xFF) throw EKeyLayoutError(kTooLong);
    bytes_.append(static_cast<char>(value));
  }

  void U16(unsigned value) {
    if (value > 0xFFFF) throw EKeyLayoutError(kTooLong);
    bytes_.append(static_cast<char>(value & 0xFF));
    bytes_.append(static_cast<char>(value >> 8));
  }

  void I16(std::int16_t value) { U16(static_cast<std::uint16_t>(value)); }

  void Str(const QString& text) {
    if (text.size() > kMaxTextUnits) throw EKeyLayoutError(kTooLong);
    U8(static_cast<unsigned>(text.size() * 2));
    for (const QChar unit : text) U16(unit.unicode());
  }

  void Count(std::size_t count) {
    if (count > 0xFFFF) throw EKeyLayoutError(kTooLong);
    U16(static_cast<unsigned>(count));
  }

  [[nodiscard]] QByteArray Bytes() const { return bytes_; }

 private:
  QByteArray bytes_;
};

void WriteCombination(TWriter& out, const std::vector<TKeyData>& keys) {
  out.Count(keys.size());
  for (const TKeyData& key : keys) {
    out.I16(key.Vk);
    out.I16(key.ScanCode);
  }
}

void WriteKey(TWriter& out, const TVirtualKey& key) {
  out.Str(key.Caption);
  out.U8(key.KeyImage);
  out.I16(key.Vk);
  out.I16(key.ScanCode);
  WriteCombination(out, key.ComboKeys);
  out.U16(key.Width);
  out.U16(key.Height);
  out.U8(key.LeftMargin);
  out.U8(key.RightMargin);
  out.U8(key.Flags);
  out.U16(key.GroupIndex);
  out.Str(key.ModifierName);
  out.Str(key.PublishedName);
  out.U16(key.FontSize);
  out.Count(key.Modifiers.size());
  for (const TKeyModifier& modifier : key.Modifiers) {
    out.Str(modifier.Caption);
    out.I16(modifier.Vk);
    out.I16(modifier.ScanCode);
    out.U8(modifier.KeyImage);
    out.Str(modifier.ModifierName);
    out.U16(modifier.FontSize);
    out.Str(modifier.Language);
    out.Count(modifier.Languages.size());
    for (const TKeyLanguage& variant : modifier.Languages) {
      out.Str(variant.Caption);
      out.I16(variant.Vk);
      out.I16(variant.ScanCode);
      out.U8(variant.KeyImage);
      out.Str(variant.Language);
    }
  }
  out.Count(key.Languages.size());
  for (const TKeyLanguage& variant : key.Languages) {
    out.Str(variant.Caption);
    out.I16(variant.Vk);
    out.I16(variant.ScanCode);
    WriteCombination(out, variant.ComboKeys);
    out.U8(variant.KeyImage);
    out.Str(variant.Language);
  }
}

}  // namespace

TVirtualKeyLayout ReadKeyLayout(QByteArrayView data, qsizetype* consumed) {
  TReader in(data);
  TVirtualKeyLayout layout;
  if (in.U8() == kKeyLayoutVersion) {
    layout.KeyboardName = in.Str();
    layout.KeyboardType = in.Str();
    layout.Width = in.U16();
    layout.Height = in.U16();
    layout.MinWidth = in.U16();
    layout.MinHeight = in.U16();
    layout.MaxWidth = in.U16();
    layout.MaxHeight = in.U16();
    layout.RowHeight = in.U16();
    layout.Languages.resize(in.Count(kMinLanguage));
    for (TKeyboardLanguage& language : layout.Languages) {
      language.Language = in.Str();
      language.Name = in.Str();
    }
    layout.Keys.resize(in.Count(kMinRow));
    for (TVirtualKeys& row : layout.Keys) {
      row.TopMargin = in.U8();
      row.BottomMargin = in.U8();
      row.Keys.resize(in.Count(kMinKey));
      for (TVirtualKey& key : row.Keys) key = ReadKey(in);
    }
  }
  if (consumed) *consumed = in.Position();
  return layout;
}

QByteArray WriteKeyLayout(const TVirtualKeyLayout& layout) {
  TWriter out;
  out.U8(kKeyLayoutVersion);
  out.Str(layout.KeyboardName);
  out.Str(layout.KeyboardType);
  out.U16(layout.Width);
  out.U16(layout.Height);
  out.U16(layout.MinWidth);
  out.U16(layout.MinHeight);
  out.U16(layout.MaxWidth);
  out.U16(layout.MaxHeight);
  out.U16(layout.RowHeight);
  out.Count(layout.Languages.size());
  for (const TKeyboardLanguage& language : layout.Languages) {
    out.Str(language.Language);
    out.Str(language.Name);
  }
  out.Count(layout.Keys.size());
  for (const TVirtualKeys& row : layout.Keys) {
    out.U8(row.TopMargin);
    out.U8(row.BottomMargin);
    out.Count(row.Keys.size());
    for (const TVirtualKey& key : row.Keys) WriteKey(out, key);
  }
  return out.Bytes();
}
