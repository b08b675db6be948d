#include "platform/keyinjection.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeyEvent>

#include "platform/scancodes.h"
#include "platform/systemkeyboard.h"

namespace {

// Which modifiers our own key-downs hold, so that the events after them say so as a physical
// keyboard's would.
struct InjectedModifiers {
  bool shift = false;
  bool ctrl = false;
  bool alt = false;
};

InjectedModifiers& Held() {
  static InjectedModifiers held;
  return held;
}

int QtKeyFromVk(int vk) {
  if (vk >= 'A' && vk <= 'Z') return Qt::Key_A + (vk - 'A');
  if (vk >= '0' && vk <= '9') return Qt::Key_0 + (vk - '0');
  if (vk >= 0x70 && vk <= 0x87) return Qt::Key_F1 + (vk - 0x70);
  switch (vk) {
    case 0x08:
      return Qt::Key_Backspace;
    case 0x09:
      return Qt::Key_Tab;
    case 0x0D:
      return Qt::Key_Return;
    case 0x10:
    case 0xA0:
    case 0xA1:
      return Qt::Key_Shift;
    case 0x11:
    case 0xA2:
    case 0xA3:
      return Qt::Key_Control;
    case 0x12:
    case 0xA4:
    case 0xA5:
      return Qt::Key_Alt;
    case 0x14:
      return Qt::Key_CapsLock;
    case 0x1B:
      return Qt::Key_Escape;
    case 0x20:
      return Qt::Key_Space;
    case 0x21:
      return Qt::Key_PageUp;
    case 0x22:
      return Qt::Key_PageDown;
    case 0x23:
      return Qt::Key_End;
    case 0x24:
      return Qt::Key_Home;
    case 0x25:
      return Qt::Key_Left;
    case 0x26:
      return Qt::Key_Up;
    case 0x27:
      return Qt::Key_Right;
    case 0x28:
      return Qt::Key_Down;
    case 0x2D:
      return Qt::Key_Insert;
    case 0x2E:
      return Qt::Key_Delete;
    default:
      return 0;
  }
}

Qt::KeyboardModifiers CurrentModifiers() {
  Qt::KeyboardModifiers m;
  if (Held().shift) m |= Qt::ShiftModifier;
  if (Held().ctrl) m |= Qt::ControlModifier;
  if (Held().alt) m |= Qt::AltModifier;
  return m;
}

void Deliver(QKeyEvent& event) {
  QObject* target = QGuiApplication::focusObject();
  if (target != nullptr) QCoreApplication::sendEvent(target, &event);
}

}  // namespace

void InjectKeyEvent(int vk, int scanCode, bool keyUp) {
  vk &= 0xFF;
  scanCode &= 0xFF;
  switch (vk) {
    case 0x10:
    case 0xA0:
    case 0xA1:
      Held().shift = !keyUp;
      break;
    case 0x11:
    case 0xA2:
    case 0xA3:
      Held().ctrl = !keyUp;
      break;
    case 0x12:
    case 0xA4:
    case 0xA5:
      Held().alt = !keyUp;
      break;
    case 0x14:
      // A Caps Lock press switches the system's Caps Lock, as the physical key does: the labels,
      // this computer and the remote side (which gets the key itself) then agree.
      if (!keyUp) SystemKeyboard().SetCapsLock(!SystemKeyboard().CapsLockOn());
      break;
    default:
      break;
  }
  // Delete, the arrows and their block are the extended keys: scan code 83 alone is the keypad's
  // Del, which types the decimal separator when Num Lock is on at the other end.
  const TScanCode key{static_cast<std::uint16_t>(scanCode), IsExtendedVk(vk)};
  QString text;
  int qtKey = QtKeyFromVk(vk);
  if (scanCode != 0 && !key.extended) {
    const TSystemKeyboard& keyboard = SystemKeyboard();
    TKeyLookupState state;
    state.Shift = Held().shift;
    state.AltGr = Held().ctrl && Held().alt;  // Ctrl+Alt is the third level on the other side
    state.CapsLock = keyboard.CapsLockOn();
    const TKeyCharacters chars = keyboard.Characters(scanCode, state);
    if (!chars.Dead && (!Held().ctrl || state.AltGr) && !(Held().alt && !state.AltGr))
      text = chars.Text;
    if (qtKey == 0 && !chars.Text.isEmpty()) qtKey = chars.Text.at(0).toUpper().unicode();
  }
  QKeyEvent event(keyUp ? QEvent::KeyRelease : QEvent::KeyPress,
                  qtKey == 0 ? Qt::Key_unknown : qtKey, CurrentModifiers(),
                  X11KeyCodeFromScanCode(key), static_cast<quint32>(vk), 0, text);
  Deliver(event);
}

void SendKeyMessage(int vk, bool keyUp) {
  const int qtKey = QtKeyFromVk(vk & 0xFF);
  QKeyEvent event(keyUp ? QEvent::KeyRelease : QEvent::KeyPress,
                  qtKey == 0 ? Qt::Key_unknown : qtKey, Qt::NoModifier, 0,
                  static_cast<quint32>(vk & 0xFF), 0);
  Deliver(event);
}

void ResetInjectedModifiers() {
  Held() = {};
}
