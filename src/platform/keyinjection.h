#pragma once

// Key input made by the program itself (the on-screen keyboard), delivered the way the physical
// keyboard's reaches the application: as key events to the focused object, so that in a session
// the remote desktop view passes them to the server like any typed key.
//
// An injected key event carries the X11 key code of the scan code in nativeScanCode() (what Qt
// reports for a physical key under X11; see platform/scancodes.h), as the extended key where the
// virtual-key code names one (Delete is 0xE053, not the keypad's 0x53), the virtual-key code in
// nativeVirtualKey(), the matching Qt key, the modifiers injected so far and the text the key
// types in the active layout. A key message (the arrow keys) carries only the Qt key and the
// virtual-key code, nativeScanCode() 0, like a message posted straight to a window.

// Injects a key-down or key-up. Codes are taken as given (the caller completes them); only the
// low byte of each counts. Nothing happens when no object has the focus. The key-down of Caps Lock
// (virtual-key code 20) also switches the system's Caps Lock, focus or not.
void InjectKeyEvent(int vk, int scanCode, bool keyUp);

// Sends a key-down or key-up message with only a virtual-key code to the focused object.
void SendKeyMessage(int vk, bool keyUp);

// Forgets which modifiers were injected down (a test's fresh start).
void ResetInjectedModifiers();
