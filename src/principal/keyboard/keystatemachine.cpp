#include "principal/keyboard/keystatemachine.h"

#include <algorithm>

#include "platform/systemkeyboard.h"
#include "principal/keyboard/keysink.h"
#include "shell/timer.h"

namespace {

constexpr int kChangeInterval = 100;  // ms before a typed key's face returns to normal

// Codes the latch list is read by.
constexpr int kVkShift = 16, kVkLeftShift = 0xA0, kVkRightShift = 0xA1, kVkControl = 17,
              kVkMenu = 18, kVkCapital = 20;
constexpr int kScanCtrl = 29, kScanLeftShift = 42, kScanRightShift = 54, kScanAlt = 56,
              kScanCaps = 58;
constexpr int kFirstArrowVk = 37, kLastArrowVk = 40;

template <typename T>
void Remove(std::vector<T>& list, const T& item) {
  list.erase(std::remove(list.begin(), list.end(), item), list.end());
}

template <typename T>
bool Contains(const std::vector<T>& list, const T& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

bool IsShift(const TResolvedKey& k) {
  return k.ScanCode == kScanLeftShift || k.ScanCode == kScanRightShift || k.Vk == kVkShift ||
         k.Vk == kVkLeftShift || k.Vk == kVkRightShift;
}

bool HasCode(const TResolvedKey& k, int vk, int scan) {
  if (k.Vk == vk || k.ScanCode == scan) return true;
  return std::any_of(k.ComboKeys.begin(), k.ComboKeys.end(),
                     [&](const TKeyData& d) { return d.Vk == vk || d.ScanCode == scan; });
}

}  // namespace

TKeyStateMachine::TKeyStateMachine(IKeySink& sink) : FSink(sink) {
  FChangeTimer = new TTimer(this, kChangeInterval, false);
  FChangeTimer->OnTimer = [this] { ApplyChangeStates(); };
  FRepeat = new TTimer(this, FRepeatDelay, false);
  FRepeat->OnTimer = [this] { RepeatTick(); };
}

TKeyStateMachine::~TKeyStateMachine() = default;

void TKeyStateMachine::SetRepeat(int delay, int rate) {
  FRepeatDelay = delay;
  FRepeatRate = rate;
}

// --- Keys ---------------------------------------------------------------------------------------

void TKeyStateMachine::ReleaseAllKeys() {
  FRepeat->SetEnabled(false);
  FChangeTimer->SetEnabled(false);
  FChangeStates.clear();
  // Every modifier whose key-down is in force gets its key-up: the latched ones and one held
  // down for a second press (already out of the latch list). Toggles have sent down and up.
  std::vector<Button*> inForce;
  for (Button* b : FUnclick)
    if (!b->Toggle()) inForce.push_back(b);
  for (Button* b : FPressedKeys)
    if (b->Modifier() && !b->Toggle() && b->ID != kNoPointer && !Contains(inForce, b))
      inForce.push_back(b);
  for (Button* b : inForce) {
    const TResolvedKey form = LanguageFormOf(*b);
    // The AltGr combination goes up in reverse: Alt, then Ctrl.
    for (auto it = form.ComboKeys.rbegin(); it != form.ComboKeys.rend(); ++it)
      SendKeyData(it->Vk, it->ScanCode, true);
    if (form.ComboKeys.empty()) SendKeyData(form.Vk, form.ScanCode, true);
  }
  FUnclick.clear();
  FPressedKeys.clear();
  FDeadKeyUnclick.clear();
  FDeadKey = {-1, -1};
}

void TKeyStateMachine::SetButtons(std::vector<std::unique_ptr<Button>> buttons) {
  ReleaseAllKeys();
  FButtons = std::move(buttons);
  // The Caps key shows the system's Caps Lock as it finds it.
  if (SystemKeyboard().CapsLockOn()) {
    for (auto& b : FButtons) {
      if (b->Modifier() && IsCapsKey(*b)) {
        b->Down = true;
        b->State = TKeyDrawState::dsPressed;
        FUnclick.push_back(b.get());
        break;
      }
    }
  }
}

QStringList TKeyStateMachine::LatchedModifierNames() const {
  QStringList names;
  for (const Button* b : FUnclick) names << b->Key.ModifierName;
  return names;
}

TResolvedKey TKeyStateMachine::Resolved(const Button& button) const {
  return ResolveKey(button.Key, FLanguage, LatchedModifierNames(), FCaptionOverrides);
}

TResolvedKey TKeyStateMachine::LanguageFormOf(const Button& button) const {
  return LanguageForm(button.Key, FLanguage);
}

bool TKeyStateMachine::IsCapsKey(const Button& button) const {
  const TResolvedKey form = LanguageFormOf(button);
  return form.Vk == kVkCapital || form.ScanCode == kScanCaps;
}

bool TKeyStateMachine::IsLatched(const Button* button) const {
  return Contains(FUnclick, const_cast<Button*>(button));
}

bool TKeyStateMachine::ShiftLatched() const {
  return std::any_of(FUnclick.begin(), FUnclick.end(),
                     [this](const Button* b) { return IsShift(LanguageFormOf(*b)); });
}

const TCustomKeyboardButton* TKeyStateMachine::LatchedCapsKey() const {
  const Button* caps = nullptr;
  for (const Button* b : FUnclick)
    if (IsCapsKey(*b)) caps = b;
  return caps;
}

// --- Looks --------------------------------------------------------------------------------------

void TKeyStateMachine::ChangeLook(Button* button, TKeyDrawState state, bool immediate) {
  // Both Shift keys (both Ctrl, both Alt) are one key: they light up together. A combination key
  // changes alone.
  std::vector<Button*> targets{button};
  const TResolvedKey form = LanguageFormOf(*button);
  for (auto& b : FButtons)
    if (b.get() != button && SameKey(form, LanguageFormOf(*b))) targets.push_back(b.get());
  for (Button* b : targets) {
    if (immediate) {
      // A queued return to normal must not undo a newer press of the same key.
      FChangeStates.erase(std::remove_if(FChangeStates.begin(), FChangeStates.end(),
                                         [b](const auto& c) { return c.first == b; }),
                          FChangeStates.end());
      b->State = state;
      FSink.RepaintButton(*b);
    } else {
      FChangeStates.emplace_back(b, state);
    }
  }
  if (!immediate) FChangeTimer->SetEnabled(true);
}

void TKeyStateMachine::ApplyChangeStates() {
  for (auto& [b, state] : FChangeStates) {
    b->State = state;
    FSink.RepaintButton(*b);
  }
  FChangeStates.clear();
  FChangeTimer->SetEnabled(false);
}

// --- The latch list -----------------------------------------------------------------------------

void TKeyStateMachine::UpdateLatchList(Button* button) {
  const TResolvedKey form = LanguageFormOf(*button);
  const auto same = std::find_if(FUnclick.begin(), FUnclick.end(), [&](Button* b) {
    return b == button || SameKey(form, LanguageFormOf(*b));
  });
  if (same != FUnclick.end()) {
    FUnclick.erase(same);
    return;
  }
  // Keys of one group (other than 0, "no group") exclude each other; the one that gives way
  // goes up first, so that no key stays down on the other side. Keys without a group coexist.
  if (button->Key.GroupIndex != 0) {
    for (Button* b : std::vector<Button*>(FUnclick))
      if (b->Key.GroupIndex == button->Key.GroupIndex) Unlatch(b);
  }
  FUnclick.push_back(button);
}

void TKeyStateMachine::Unlatch(Button* button) {
  Remove(FUnclick, button);
  if (!button->Toggle()) SendLanguageForm(*button, true);
  button->Down = false;
  ChangeLook(button, TKeyDrawState::dsNormal, true);
}

// --- Pointer input ------------------------------------------------------------------------------

TCustomKeyboardButton* TKeyStateMachine::HeldBy(int id) const {
  for (Button* b : FPressedKeys)
    if (b->ID == id) return b;
  return nullptr;
}

void TKeyStateMachine::PointerDown(int id, Button* b) {
  if (b == nullptr) return;
  b->ID = id;
  if (!Contains(FPressedKeys, b)) FPressedKeys.push_back(b);
  if (!b->Modifier()) {
    ChangeLook(b, TKeyDrawState::dsPressed, true);
    if (FRepeatRate != 0 && FRepeatDelay != 0) {
      FRepeat->SetInterval(FRepeatDelay);
      FRepeat->SetEnabled(true);
    }
    return;
  }
  if (!b->Toggle()) {
    // Both Shift keys are one key: pressing the twin of a latched one is its second press.
    const TResolvedKey form = LanguageFormOf(*b);
    for (Button*& twin : FUnclick) {
      if (twin != b && SameKey(form, LanguageFormOf(*twin))) {
        twin->Down = false;
        twin = b;
        b->Down = true;
        break;
      }
    }
  }
  if (b->Toggle()) {
    if (!b->Down) ChangeLook(b, TKeyDrawState::dsPressed, true);
  } else if (!b->Down) {
    SendLanguageForm(*b, false);
    ChangeLook(
        b,
        b->State == TKeyDrawState::dsPressed ? TKeyDrawState::dsNormal : TKeyDrawState::dsPressed,
        true);
  }
  UpdateLatchList(b);
  b->Down = !b->Down;
  FSink.Redraw();
}

void TKeyStateMachine::PointerUp(int id, Button* hit) {
  FRepeat->SetEnabled(false);
  Button* b = HeldBy(id);
  if (b == nullptr) return;
  Remove(FPressedKeys, b);
  b->ID = kNoPointer;
  if (b->Modifier()) {
    if (b->Toggle()) {
      SendLanguageForm(*b, false);
      SendLanguageForm(*b, true);
      if (!b->Down) ChangeLook(b, TKeyDrawState::dsNormal, true);
    } else if (!b->Down) {
      // A second press (or a touch-held modifier whose key was typed): its key-up goes now and
      // it leaves the latch list, so that nothing later sends a second key-up for it.
      SendLanguageForm(*b, true);
      Remove(FUnclick, b);
      ChangeLook(b, TKeyDrawState::dsNormal, true);
      FSink.Redraw();
    }
    return;
  }
  if (hit == nullptr) {
    // Released where no key is: the key is cancelled, not typed.
    ChangeLook(b, TKeyDrawState::dsNormal, true);
    return;
  }
  ChangeLook(b, TKeyDrawState::dsNormal, false);
  TypeKey(b);
}

void TKeyStateMachine::PointerMove(int id, Button* hit) {
  Button* old = HeldBy(id);
  if (old == nullptr) return;
  if (hit == nullptr || hit == old) return;
  FRepeat->SetEnabled(false);
  old->ID = kNoPointer;
  Remove(FPressedKeys, old);
  if (old->Toggle()) {
    // The toggle is cancelled: it goes back to how it was before this press.
    old->Down = !old->Down;
    Remove(FUnclick, old);
    if (old->Down) FUnclick.push_back(old);
    ChangeLook(old, old->Down ? TKeyDrawState::dsPressed : TKeyDrawState::dsNormal, true);
    FSink.Redraw();
    return;
  }
  if (old->Modifier()) {
    // Whatever the press slides to, the modifier ends latched with its face pressed and its
    // key-down in force, or up with its key-up sent: never latched but drawn up, which would
    // let its next press send a second key-down and lose the key-up.
    if (!old->Down) {
      // A second press slid away: it is taken back, the key stays latched as it was.
      old->Down = true;
      if (!IsLatched(old)) FUnclick.push_back(old);
      ChangeLook(old, TKeyDrawState::dsPressed, true);
    } else if (hit->Modifier()) {
      // A first press slid onto another modifier or a toggle: it is taken back, key-up and all.
      Unlatch(old);
    }
    // A first press slid onto a normal key stays latched: that key is typed with it.
  } else {
    ChangeLook(old, TKeyDrawState::dsNormal, true);
  }
  // The press moves on to a normal key; a modifier is latched only by a press of its own.
  if (!hit->Modifier()) {
    hit->ID = id;
    FPressedKeys.push_back(hit);
    ChangeLook(hit, TKeyDrawState::dsPressed, true);
  }
  if (old->Modifier()) FSink.Redraw();
}

void TKeyStateMachine::PointerLeft() {
  const bool held = std::any_of(FPressedKeys.begin(), FPressedKeys.end(),
                                [](const Button* b) { return b->ID != kNoPointer; });
  if (!held) return;
  FRepeat->SetEnabled(false);
  FDeadKey = {-1, -1};
  FDeadKeyUnclick.clear();
  for (Button* b : std::vector<Button*>(FPressedKeys)) {
    if (b->ID == kNoPointer) continue;
    b->ID = kNoPointer;
    if (b->Toggle()) {
      // The press is cancelled; the toggle keeps the state the system has.
      b->Down = !b->Down;
      Remove(FUnclick, b);
      if (b->Down) FUnclick.push_back(b);
      ChangeLook(b, b->Down ? TKeyDrawState::dsPressed : TKeyDrawState::dsNormal, true);
    } else {
      if (b->Modifier()) {
        SendLanguageForm(*b, true);
        Remove(FUnclick, b);
      }
      b->Down = false;
      ChangeLook(b, TKeyDrawState::dsNormal, true);
    }
  }
  FPressedKeys.clear();
  // Latched modifiers leave the list too, each with its key-up; toggles stay as the system has
  // them.
  for (Button* b : std::vector<Button*>(FUnclick))
    if (!b->Toggle()) Unlatch(b);
  FSink.Redraw();
}

// --- Typing and sending -------------------------------------------------------------------------

void TKeyStateMachine::TypeKey(Button* button) {
  const TResolvedKey key = Resolved(*button);
  const TSystemKeyboard& system = SystemKeyboard();

  // The modifier state the key is typed in, as our own latched keys make it.
  TKeyLookupState state;
  bool ctrl = false, alt = false;
  for (const Button* b : FUnclick) {
    const TResolvedKey form = LanguageFormOf(*b);
    if (IsShift(form)) state.Shift = true;
    if (IsCapsKey(*b)) state.CapsLock = true;
    if (HasCode(form, kVkControl, kScanCtrl)) ctrl = true;
    if (HasCode(form, kVkMenu, kScanAlt)) alt = true;
  }
  state.AltGr = ctrl && alt;

  if (key.ComboKeys.empty()) {
    int scan = key.ScanCode > 0 ? key.ScanCode : 0;
    int vk = key.Vk > 0 ? key.Vk : 0;
    if (scan == 0 && vk != 0) scan = system.ScanCodeFromVk(vk);
    if (vk == 0 && scan != 0) vk = system.VkFromScanCode(scan);
    if (scan != 0 && system.IsDeadKey(scan, state)) {
      // The dead key waits for the next key; the modifiers it was typed with go up now and are
      // replayed around it then.
      FDeadKey = {vk, scan};
      for (Button* b : std::vector<Button*>(FUnclick)) {
        if (b->Toggle() || b->ID != kNoPointer) continue;
        Remove(FUnclick, b);
        FDeadKeyUnclick.push_back(b);
        ChangeLook(b, TKeyDrawState::dsNormal, true);
        SendLanguageForm(*b, true);
        b->Down = false;
      }
      FSink.Redraw();
      return;
    }
  }

  if (FDeadKey.first != -1) {
    std::vector<Button*> lifted;
    for (Button* b : FUnclick)
      if (!IsCapsKey(*b)) {
        SendLanguageForm(*b, true);
        lifted.push_back(b);
      }
    for (Button* b : FDeadKeyUnclick) SendLanguageForm(*b, false);
    SendKeyData(FDeadKey.first, FDeadKey.second, false);
    for (Button* b : FDeadKeyUnclick) SendLanguageForm(*b, true);
    SendKeyData(FDeadKey.first, FDeadKey.second, true);
    // Every key lifted above goes down again, a touch-held one included: the vowel is typed with
    // the modifiers in force now.
    for (Button* b : lifted) SendLanguageForm(*b, false);
  }

  SendKey(key, false);
  SendKey(key, true);

  if (!FUnclick.empty()) {
    std::vector<Button*> kept;
    for (Button* b : FUnclick) {
      if (b->Modifier() && !b->Toggle() && b->ID != kNoPointer) b->Down = false;
      if (b->Toggle() || (b->ID != kNoPointer && b->ID != kMousePointer)) {
        kept.push_back(b);
        continue;
      }
      SendLanguageForm(*b, true);
      ChangeLook(b, TKeyDrawState::dsNormal, true);
      b->Down = false;
    }
    FUnclick = kept;
    FSink.Redraw();
  }
  FDeadKey = {-1, -1};
  FDeadKeyUnclick.clear();
}

void TKeyStateMachine::RepeatTick() {
  for (Button* b : FPressedKeys)
    if (!b->Modifier() && b->ID != kNoPointer) SendKey(Resolved(*b), false);
  FRepeat->SetInterval(FRepeatRate);
}

void TKeyStateMachine::SendLanguageForm(const Button& button, bool keyUp) {
  SendKey(LanguageFormOf(button), keyUp);
}

void TKeyStateMachine::SendKey(const TResolvedKey& key, bool keyUp) {
  if (!key.ComboKeys.empty()) {
    for (const TKeyData& d : key.ComboKeys) SendKeyData(d.Vk, d.ScanCode, keyUp);
    return;
  }
  SendKeyData(key.Vk, key.ScanCode, keyUp);
}

void TKeyStateMachine::SendKeyData(int vk, int scanCode, bool keyUp) {
  // Codes are completed from the system layout. A zero code counts as missing, as it does for
  // the other platform's input injection; the Fn key (no code of its own) sends nothing.
  const TSystemKeyboard& system = SystemKeyboard();
  const bool hasVk = vk > 0, hasScan = scanCode > 0;
  if (hasScan && !hasVk) vk = system.VkFromScanCode(scanCode);
  if (hasVk && !hasScan) scanCode = system.ScanCodeFromVk(vk);
  if (!hasVk && !hasScan) return;
  if (vk >= kFirstArrowVk && vk <= kLastArrowVk)
    FSink.PostKeyMessage(vk, keyUp);
  else
    FSink.InjectKey(vk, scanCode, keyUp);
}
