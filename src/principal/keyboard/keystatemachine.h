#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>
#include <utility>
#include <vector>

#include "principal/keyboard/keyboardbutton.h"
#include "principal/keyboard/keyresolution.h"

class IKeySink;
class TTimer;

// What the on-screen keyboard's keys do, apart from where they are and how they look: latched
// modifiers (Shift, Ctrl, Alt, AltGr until the next typed key), toggles (Caps Lock, Fn), dead keys
// waiting for the next key, held keys repeating, faces that return to normal a moment after a key
// is typed. It owns the buttons; pointers arrive already mapped to the button they are over, and
// every effect goes to the sink.
class TKeyStateMachine : public QObject {
  Q_OBJECT

 public:
  using Button = TCustomKeyboardButton;

  explicit TKeyStateMachine(IKeySink& sink);
  ~TKeyStateMachine() override;

  // The language tag keys are resolved for (pt-BR).
  [[nodiscard]] const QString& Language() const { return FLanguage; }
  void SetLanguage(const QString& language) { FLanguage = language; }
  void SetCaptionOverrides(const TCaptionOverrides& overrides) { FCaptionOverrides = overrides; }
  void SetRepeat(int delay, int rate);

  // Replaces the keys. Every key-down in force goes up first; the Caps key starts latched when the
  // system's Caps Lock is on.
  void SetButtons(std::vector<std::unique_ptr<Button>> buttons);
  [[nodiscard]] const std::vector<std::unique_ptr<Button>>& Buttons() const { return FButtons; }
  // The latched keys, in latch order.
  [[nodiscard]] const std::vector<Button*>& Latched() const { return FUnclick; }
  // Sends the key-up of every modifier whose key-down is in force and forgets every latch.
  void ReleaseAllKeys();

  // Pointer input (0 is the mouse). hit: the button under the pointer, nullptr where no key is.
  void PointerDown(int id, Button* hit);
  void PointerUp(int id, Button* hit);
  void PointerMove(int id, Button* hit);
  [[nodiscard]] bool Holds(int id) const { return HeldBy(id) != nullptr; }
  // The pointer left the keyboard: held keys are cancelled, latched modifiers go up.
  void PointerLeft();

  // What the labels are computed from.
  [[nodiscard]] QStringList LatchedModifierNames() const;
  [[nodiscard]] TResolvedKey LanguageFormOf(const Button& button) const;
  [[nodiscard]] bool ShiftLatched() const;
  [[nodiscard]] const Button* LatchedCapsKey() const;

 private:
  [[nodiscard]] Button* HeldBy(int id) const;
  [[nodiscard]] TResolvedKey Resolved(const Button& button) const;
  [[nodiscard]] bool IsLatched(const Button* button) const;
  [[nodiscard]] bool IsCapsKey(const Button& button) const;

  void ChangeLook(Button* button, TKeyDrawState state, bool immediate);
  void ApplyChangeStates();
  void UpdateLatchList(Button* button);
  void Unlatch(Button* button);
  void TypeKey(Button* button);
  void RepeatTick();

  void SendKey(const TResolvedKey& key, bool keyUp);
  void SendKeyData(int vk, int scanCode, bool keyUp);
  void SendLanguageForm(const Button& button, bool keyUp);

  IKeySink& FSink;
  QString FLanguage;
  TCaptionOverrides FCaptionOverrides;
  int FRepeatDelay = 300;
  int FRepeatRate = 50;

  std::vector<std::unique_ptr<Button>> FButtons;
  std::vector<Button*> FPressedKeys;
  std::vector<Button*> FUnclick;
  std::pair<int, int> FDeadKey{-1, -1};
  std::vector<Button*> FDeadKeyUnclick;
  std::vector<std::pair<Button*, TKeyDrawState>> FChangeStates;
  TTimer* FChangeTimer = nullptr;
  TTimer* FRepeat = nullptr;
};
