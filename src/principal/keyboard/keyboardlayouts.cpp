#include "principal/keyboard/keyboardlayouts.h"

#include <algorithm>
#include <future>

#include "principal/keyboard/builtinlayoutdata.h"
#include "principal/keyboard/layoutstream.h"

namespace {

// Start-up loads every built-in block whose name holds this.
const QString kKeyboardBlockMark = QStringLiteral("KEYBOARD");

const QString kNoSuchBlock = QStringLiteral("There is no built-in keyboard layout named %1");

}  // namespace

const TVirtualKeyLayout& TKeyboardLayouts::Append(TVirtualKeyLayout layout) {
  layouts_.push_back(std::make_unique<TVirtualKeyLayout>(std::move(layout)));
  return *layouts_.back();
}

const TVirtualKeyLayout& TKeyboardLayouts::LoadFromBytes(QByteArrayView bytes) {
  return Append(ReadKeyLayout(bytes));
}

const TVirtualKeyLayout& TKeyboardLayouts::LoadFromStream(QIODevice& stream) {
  // Read what is there and give back what the layout did not use, so that a stream holding more
  // than one layout can be read layout by layout.
  const qint64 start = stream.pos();
  const QByteArray bytes = stream.readAll();
  qsizetype consumed = 0;
  TVirtualKeyLayout layout = ReadKeyLayout(bytes, &consumed);
  if (!stream.isSequential()) stream.seek(start + consumed);
  return Append(std::move(layout));
}

const TVirtualKeyLayout& TKeyboardLayouts::LoadFromResourceName(const QString& name) {
  const QByteArrayView block = BuiltInLayoutBlock(name);
  if (block.isNull()) throw EKeyLayoutError(kNoSuchBlock.arg(name));
  return LoadFromBytes(block);
}

const TVirtualKeyLayout* TKeyboardLayouts::Find(const QString& type,
                                                const QString& language) const {
  if (type.isEmpty()) return nullptr;
  for (auto it = layouts_.rbegin(); it != layouts_.rend(); ++it) {
    const TVirtualKeyLayout& layout = **it;
    if (layout.KeyboardType == type && layout.HasLanguage(language)) return &layout;
  }
  return nullptr;
}

const TVirtualKeyLayout* TKeyboardLayouts::Find(const QString& type) const {
  if (type.isEmpty()) return nullptr;
  for (const auto& layout : layouts_) {
    if (layout->KeyboardType == type) return layout.get();
  }
  return nullptr;
}

TKeyboardLayouts& KeyboardLayouts() {
  static TKeyboardLayouts layouts;
  return layouts;
}

QStringList BuiltInLayoutNames() {
  QStringList names;
  for (const TBuiltInLayoutBlock& block : BuiltInLayoutBlocks()) {
    names.append(QString::fromLatin1(block.Name));
  }
  names.sort();
  return names;
}

QByteArrayView BuiltInLayoutBlock(const QString& name) {
  for (const TBuiltInLayoutBlock& block : BuiltInLayoutBlocks()) {
    if (name == QLatin1String(block.Name)) {
      return QByteArrayView(block.Data, static_cast<qsizetype>(block.Size));
    }
  }
  return {};
}

namespace {

std::vector<TVirtualKeyLayout> ReadBuiltInKeyboardLayouts() {
  std::vector<TVirtualKeyLayout> layouts;
  for (const QString& name : BuiltInLayoutNames()) {
    if (!name.contains(kKeyboardBlockMark)) continue;
    const QByteArrayView block = BuiltInLayoutBlock(name);
    if (block.isNull()) throw EKeyLayoutError(kNoSuchBlock.arg(name));
    layouts.push_back(ReadKeyLayout(block));
  }
  return layouts;
}

std::future<std::vector<TVirtualKeyLayout>>& BuiltInLayoutsBeingRead() {
  static std::future<std::vector<TVirtualKeyLayout>> reading;
  return reading;
}

}  // namespace

void StartReadingBuiltInKeyboardLayouts() {
  std::future<std::vector<TVirtualKeyLayout>>& reading = BuiltInLayoutsBeingRead();
  if (!reading.valid()) reading = std::async(std::launch::async, &ReadBuiltInKeyboardLayouts);
}

void LoadBuiltInKeyboardLayouts() {
  static bool loaded = false;
  if (loaded) return;
  std::future<std::vector<TVirtualKeyLayout>>& reading = BuiltInLayoutsBeingRead();
  // A fault in a block is thrown here, on the thread that loads, as if read here.
  std::vector<TVirtualKeyLayout> layouts =
      reading.valid() ? reading.get() : ReadBuiltInKeyboardLayouts();
  for (TVirtualKeyLayout& layout : layouts) KeyboardLayouts().Append(std::move(layout));
  loaded = true;
}
