#pragma once

#include <QColor>
#include <QString>
#include <cstdint>

#include "principal/keyboard/virtualkeylayout.h"

class QPainter;
class TCustomTouchKeyboard;

// How a key face is drawn.
enum class TKeyDrawState { dsNormal, dsPressed, dsDisabled };

// The colours of a key face in one state: a vertical gradient, two borders and the label.
struct TKeyColors {
  QColor GradientTop;
  QColor GradientBottom;
  QColor OuterBorder;
  QColor InnerBorder;
  QColor Label;
};
[[nodiscard]] TKeyColors KeyColors(TKeyDrawState state);

// Who holds a key down (TCustomKeyboardButton::ID): the mouse, a touch point by its own id, or
// nobody.
inline constexpr int kMousePointer = 0;
inline constexpr int kNoPointer = -1;

// One key of the on-screen keyboard: a copy of the layout's key, its cell and what it shows.
class TCustomKeyboardButton {
 public:
  TCustomKeyboardButton(TCustomTouchKeyboard* parent, const TVirtualKey& key);
  virtual ~TCustomKeyboardButton() = default;
  TCustomKeyboardButton(const TCustomKeyboardButton&) = delete;
  TCustomKeyboardButton& operator=(const TCustomKeyboardButton&) = delete;

  TVirtualKey Key;
  QString Caption;                        // label currently shown
  std::uint8_t KeyImage = kKeyImageNone;  // symbol currently shown, kKeyImageNone = text
  std::uint16_t FontSize = 14;            // label size in points
  TKeyDrawState State = TKeyDrawState::dsNormal;
  bool Down = false;                             // latched
  int ID = kNoPointer;                           // the pointer holding the key
  int Left = 0, Top = 0, Width = 0, Height = 0;  // the cell
  int TopMargin = 0, BottomMargin = 0;           // the row's
  int Row = 0;                                   // index of the layout row

  [[nodiscard]] bool Modifier() const { return !Key.ModifierName.isEmpty(); }
  [[nodiscard]] bool Toggle() const { return Key.HasFlag(kfToggle); }
  [[nodiscard]] TCustomTouchKeyboard* Parent() const { return FParent; }
  [[nodiscard]] bool CellContains(int x, int y) const {
    return x >= Left && x < Left + Width && y >= Top && y < Top + Height;
  }

  // Draws the face, the label or the symbol into the keyboard's image.
  virtual void Paint(QPainter& painter, const QString& fontFamily) const;

 private:
  TCustomTouchKeyboard* FParent;
};

class TKeyboardButton : public TCustomKeyboardButton {
 public:
  using TCustomKeyboardButton::TCustomKeyboardButton;
};
