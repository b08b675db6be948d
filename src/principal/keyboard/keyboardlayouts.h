#pragma once

#include <QByteArrayView>
#include <QIODevice>
#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

#include "principal/keyboard/virtualkeylayout.h"

// An ordered list of keyboard layouts. The program keeps one for the whole process
// (KeyboardLayouts()); tests may build their own. Layouts are never removed one by one, so a
// pointer handed out stays valid until Clear() or the end of the list's life.
class TKeyboardLayouts {
 public:
  // Reads one layout from the stream's current position and appends it; the stream is left just
  // after the layout when it can seek. A stream with an unknown version byte appends an empty
  // layout (never found by type). Throws EKeyLayoutError, appending nothing, when the stream ends
  // early or holds impossible values. Returns the appended layout.
  const TVirtualKeyLayout& LoadFromStream(QIODevice& stream);
  // The same from bytes in memory.
  const TVirtualKeyLayout& LoadFromBytes(QByteArrayView bytes);
  // The same from the built-in data block of that name ("STANDARD102KEYBOARD"). Throws
  // EKeyLayoutError when there is no such block.
  const TVirtualKeyLayout& LoadFromResourceName(const QString& name);

  // The layout of that type that lists exactly that language tag, searching from the last layout
  // to the first; nullptr when none. Exact, case-sensitive comparisons.
  [[nodiscard]] const TVirtualKeyLayout* Find(const QString& type, const QString& language) const;
  // The first layout of that type in list order; nullptr when none. An empty type finds nothing.
  [[nodiscard]] const TVirtualKeyLayout* Find(const QString& type) const;

  [[nodiscard]] int Count() const { return static_cast<int>(layouts_.size()); }
  [[nodiscard]] const TVirtualKeyLayout& Layout(int index) const { return *layouts_.at(index); }
  void Clear() { layouts_.clear(); }

 private:
  friend void LoadBuiltInKeyboardLayouts();  // appends the layouts read on another thread
  const TVirtualKeyLayout& Append(TVirtualKeyLayout layout);

  std::vector<std::unique_ptr<TVirtualKeyLayout>> layouts_;
};

// The process-wide list the on-screen keyboard draws from.
[[nodiscard]] TKeyboardLayouts& KeyboardLayouts();

// Names of the built-in data blocks, in ascending order.
[[nodiscard]] QStringList BuiltInLayoutNames();
// The bytes of a built-in data block; empty when there is no block of that name.
[[nodiscard]] QByteArrayView BuiltInLayoutBlock(const QString& name);

// Loads every built-in block whose name contains "KEYBOARD", in ascending name order, into the
// process-wide list: NumPad, Standard101, Standard102, Standard106. Runs at start-up before any
// window exists; later calls do nothing, so layouts already handed out stay valid.
void LoadBuiltInKeyboardLayouts();
// Starts reading the built-in blocks on a thread of its own (they are data only, and nothing but
// LoadBuiltInKeyboardLayouts sees what it reads), so that LoadBuiltInKeyboardLayouts finds them
// read, or waits for the rest. Call at most once, before LoadBuiltInKeyboardLayouts.
void StartReadingBuiltInKeyboardLayouts();
