#pragma once

#include <QObject>
#include <QString>
#include <memory>

#include "platform/xkblayouts.h"

// The system keyboard layout, as the on-screen keyboard needs it: which Windows virtual-key code
// and which PC scan code (set 1, make code without the E0 prefix) name a key, what a key types
// with and without Shift, which keys are dead keys, whether Caps Lock is on, and the input
// language of the active layout.
//
// Backed by xkbcommon: on X11 the keymap and state of the X server's core keyboard
// (xkbcommon-x11, kept current through XKB events), on Wayland the keymap the compositor hands
// its programs, elsewhere and in tests a keymap compiled from layout names ("br", "us", "de",
// "jp"; "br,us" for two groups).
//
// Key codes on this side of the program: a key event for the focused widget carries in
// QKeyEvent::nativeScanCode() the X11 key code (the Linux input code plus 8), which is what Qt
// reports for the physical keyboard under X11 and what the remote desktop view turns into an RDP
// scan code. platform/scancodes.h converts between the two.

struct xkb_context;
struct xkb_keymap;
struct xkb_state;

// What a key types in one modifier state.
struct TKeyCharacters {
  // The text the key types; for a dead key, the dead key's own (spacing) character.
  QString Text;
  bool Dead = false;
};

// Modifier state for a character lookup.
struct TKeyLookupState {
  bool Shift = false;
  bool AltGr = false;     // the third level (Ctrl+Alt on the other platform)
  bool CapsLock = false;  // Caps Lock toggled on
};

class TSystemKeyboard : public QObject {
  Q_OBJECT

 public:
  ~TSystemKeyboard() override;
  TSystemKeyboard(const TSystemKeyboard&) = delete;
  TSystemKeyboard& operator=(const TSystemKeyboard&) = delete;

  // The X server's keyboard (display name as for xcb_connect; nullptr: $DISPLAY). nullptr when
  // no X server with the XKB extension can be reached.
  [[nodiscard]] static std::unique_ptr<TSystemKeyboard> FromX11(const char* display = nullptr);
  // The keymap a Wayland compositor gives its programs (socket name as for wl_display_connect;
  // nullptr: $WAYLAND_DISPLAY), followed when the compositor replaces it. nullptr when no
  // compositor with a keyboard can be reached.
  [[nodiscard]] static std::unique_ptr<TSystemKeyboard> FromWayland(const char* display = nullptr);
  // A keymap compiled from xkeyboard-config names ("br", "de", "br,us" with variants "abnt2,").
  // Empty names take xkbcommon's defaults ($XKB_DEFAULT_LAYOUT, else "us"). Throws Exception
  // when the names do not compile.
  [[nodiscard]] static std::unique_ptr<TSystemKeyboard> FromLayoutNames(
      const QString& layouts, const QString& variants = {});

  // Windows virtual-key code of the key at a scan code in the active layout, as that platform
  // assigns them (letter keys follow the letter they type, the rest their position); 0 when the
  // scan code names no key.
  [[nodiscard]] int VkFromScanCode(int scanCode) const;
  // The scan code of the key that sends a virtual-key code; 0 when no key does.
  [[nodiscard]] int ScanCodeFromVk(int vk) const;

  // What the key at a scan code types in the active layout with the given modifiers.
  [[nodiscard]] TKeyCharacters Characters(int scanCode, const TKeyLookupState& state) const;
  [[nodiscard]] bool IsDeadKey(int scanCode, const TKeyLookupState& state) const {
    return Characters(scanCode, state).Dead;
  }

  [[nodiscard]] bool CapsLockOn() const;
  // Num Lock locked on; Scroll Lock's light on (the remote desktop is told both with Caps Lock).
  [[nodiscard]] bool NumLockOn() const;
  [[nodiscard]] bool ScrollLockOn() const;
  // Index and xkeyboard-config description of the active layout group.
  [[nodiscard]] int ActiveLayout() const;
  [[nodiscard]] QString ActiveLayoutDescription() const;
  // The xkeyboard-config names of the active layout, found from its description; empty when the
  // registry lists no such description.
  [[nodiscard]] TXkbLayoutName ActiveLayoutName() const;

  // The input language of the active layout as "language-COUNTRY" (ISO 639-1 and ISO 3166, for
  // example "pt-BR"); when the layout names no language, the user's locale; empty when neither
  // gives both parts.
  [[nodiscard]] QString InputLanguage() const;

  // What a user's layout switch does to the X server's keyboard, for a keymap compiled from names
  // (on an X keyboard the server's own state wins at its next event).
  void SelectLayout(int group);
  // Switches Caps Lock on or off: on an X keyboard on the server itself, so that every program
  // and the server's own state agree; for a keymap compiled from names, here.
  void SetCapsLock(bool on);
  // Compiles other names into this keyboard (what changing the system's layout does).
  void SetLayoutNames(const QString& layouts, const QString& variants = {});

 signals:
  // The input language or the layout behind it changed: another group, another keymap (also one
  // of the same language, us and us(dvorak)), or the same keymap loaded again.
  void InputLanguageChanged();
  // Caps Lock or another locked state changed.
  void StateChanged();

 private:
  struct X11Link;
  struct WaylandLink;
  // What the notifications compare.
  struct Snapshot {
    QString language;
    QString layout;
    int group = 0;
    bool caps = false;
  };
  TSystemKeyboard();
  void SetKeymap(xkb_keymap* keymap, xkb_state* state);
  // Takes a new keymap (owned from here on) with a fresh state, and says so.
  void ReplaceKeymap(xkb_keymap* keymap);
  void ReadX11Events();
  [[nodiscard]] Snapshot Snap() const;
  void AfterStateChange(const Snapshot& before, bool newKeymap);
  void LockCaps(bool on);
  [[nodiscard]] int VkFromKeyCode(unsigned keyCode) const;

  xkb_context* context_ = nullptr;
  xkb_keymap* keymap_ = nullptr;
  xkb_state* state_ = nullptr;
  std::unique_ptr<X11Link> x11_;
  std::unique_ptr<WaylandLink> wayland_;
};

// The keyboard the program uses: installed at start-up (or by a test); created on first use
// otherwise, from the X server under the xcb platform and from xkbcommon's default names
// elsewhere.
[[nodiscard]] TSystemKeyboard& SystemKeyboard();
// Replaces the process-wide keyboard (tests: a keymap built from names). nullptr lets the next
// SystemKeyboard() create the default again.
void SetSystemKeyboard(std::unique_ptr<TSystemKeyboard> keyboard);
