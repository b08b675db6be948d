#include "platform/systemkeyboard.h"

#include <xcb/xcb.h>
// xcb's XKB header names a field "explicit", a C++ keyword.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wkeyword-macro"
#endif
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

#include <QGuiApplication>
#include <QHash>
#include <QLocale>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>

#include "core/errors.h"
#include "platform/scancodes.h"

Q_LOGGING_CATEGORY(lcSystemKeyboard, "zentra.systemkeyboard", QtWarningMsg)

namespace {

std::unique_ptr<TSystemKeyboard>& Installed() {
  static std::unique_ptr<TSystemKeyboard> keyboard;
  return keyboard;
}

}  // namespace

// The link to the X server: our own connection, so that XKB events reach us without going
// through the toolkit's event filter.
struct TSystemKeyboard::X11Link {
  xcb_connection_t* connection = nullptr;
  std::int32_t device = -1;
  std::uint8_t xkbEventBase = 0;
  std::unique_ptr<QSocketNotifier> notifier;

  ~X11Link() {
    notifier.reset();
    if (connection != nullptr) xcb_disconnect(connection);
  }
};

// The link to a Wayland compositor: our own connection and keyboard object, so that the keymap
// reaches us without the toolkit, which keeps its own to itself.
struct TSystemKeyboard::WaylandLink {
  TSystemKeyboard* owner = nullptr;
  wl_display* display = nullptr;
  wl_registry* registry = nullptr;
  wl_seat* seat = nullptr;
  wl_keyboard* keyboard = nullptr;
  std::unique_ptr<QSocketNotifier> notifier;

  ~WaylandLink() {
    notifier.reset();
    if (keyboard != nullptr) wl_keyboard_destroy(keyboard);
    if (seat != nullptr) wl_seat_destroy(seat);
    if (registry != nullptr) wl_registry_destroy(registry);
    if (display != nullptr) wl_display_disconnect(display);
  }

  // A compositor's keymap is a text file shared read-only; a size past this is no keymap.
  static constexpr std::uint32_t kMaxKeymapSize = 4 * 1024 * 1024;
  // wl_seat up to version 5 has what we need and names no event we would not handle.
  static constexpr std::uint32_t kSeatVersion = 5;

  static void Global(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                     std::uint32_t version) {
    auto* link = static_cast<WaylandLink*>(data);
    if (link->seat != nullptr || std::strcmp(interface, wl_seat_interface.name) != 0) return;
    link->seat = static_cast<wl_seat*>(
        wl_registry_bind(registry, name, &wl_seat_interface, std::min(version, kSeatVersion)));
    wl_seat_add_listener(link->seat, &kSeatListener, link);
  }
  static void GlobalRemove(void*, wl_registry*, std::uint32_t) {}
  static void Capabilities(void* data, wl_seat* seat, std::uint32_t capabilities) {
    auto* link = static_cast<WaylandLink*>(data);
    if ((capabilities & WL_SEAT_CAPABILITY_KEYBOARD) == 0 || link->keyboard != nullptr) return;
    link->keyboard = wl_seat_get_keyboard(seat);
    wl_keyboard_add_listener(link->keyboard, &kKeyboardListener, link);
  }
  static void SeatName(void*, wl_seat*, const char*) {}
  static void Keymap(void* data, wl_keyboard*, std::uint32_t format, std::int32_t fd,
                     std::uint32_t size) {
    auto* link = static_cast<WaylandLink*>(data);
    if (format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1 && size > 0 && size <= kMaxKeymapSize) {
      void* text = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
      if (text != MAP_FAILED) {
        // The text ends in a NUL within size; the length given stops before it either way.
        const auto* chars = static_cast<const char*>(text);
        xkb_keymap* keymap =
            xkb_keymap_new_from_buffer(link->owner->context_, chars, ::strnlen(chars, size),
                                       XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
        ::munmap(text, size);
        if (keymap != nullptr) link->owner->ReplaceKeymap(keymap);
      }
    }
    ::close(fd);
  }
  static void Enter(void*, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) {}
  static void Leave(void*, wl_keyboard*, std::uint32_t, wl_surface*) {}
  static void Key(void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {
  }
  static void Modifiers(void* data, wl_keyboard*, std::uint32_t, std::uint32_t depressed,
                        std::uint32_t latched, std::uint32_t locked, std::uint32_t group) {
    auto* link = static_cast<WaylandLink*>(data);
    TSystemKeyboard* owner = link->owner;
    if (owner->state_ == nullptr) return;
    const Snapshot before = owner->Snap();
    xkb_state_update_mask(owner->state_, depressed, latched, locked, 0, 0, group);
    owner->AfterStateChange(before, false);
  }
  static void RepeatInfo(void*, wl_keyboard*, std::int32_t, std::int32_t) {}

  static constexpr wl_registry_listener kRegistryListener = {&Global, &GlobalRemove};
  static constexpr wl_seat_listener kSeatListener = {&Capabilities, &SeatName};
  static constexpr wl_keyboard_listener kKeyboardListener = {&Keymap, &Enter,     &Leave,
                                                             &Key,    &Modifiers, &RepeatInfo};
};

TSystemKeyboard::TSystemKeyboard() : context_(xkb_context_new(XKB_CONTEXT_NO_FLAGS)) {
  if (context_ == nullptr) throw Exception(QStringLiteral("Cannot create the keyboard context"));
}

TSystemKeyboard::~TSystemKeyboard() {
  x11_.reset();
  wayland_.reset();
  xkb_state_unref(state_);
  xkb_keymap_unref(keymap_);
  xkb_context_unref(context_);
}

void TSystemKeyboard::SetKeymap(xkb_keymap* keymap, xkb_state* state) {
  xkb_state_unref(state_);
  xkb_keymap_unref(keymap_);
  keymap_ = keymap;
  state_ = state;
}

std::unique_ptr<TSystemKeyboard> TSystemKeyboard::FromLayoutNames(const QString& layouts,
                                                                  const QString& variants) {
  std::unique_ptr<TSystemKeyboard> keyboard(new TSystemKeyboard());
  keyboard->SetLayoutNames(layouts, variants);
  return keyboard;
}

void TSystemKeyboard::SetLayoutNames(const QString& layouts, const QString& variants) {
  const QByteArray layout = layouts.toUtf8();
  const QByteArray variant = variants.toUtf8();
  xkb_rule_names names{};
  names.layout = layouts.isEmpty() ? nullptr : layout.constData();
  names.variant = variants.isEmpty() ? nullptr : variant.constData();
  xkb_keymap* keymap = xkb_keymap_new_from_names(context_, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
  if (keymap == nullptr)
    throw Exception(QStringLiteral("Unknown keyboard layout \"%1\"").arg(layouts));
  const Snapshot before = keymap_ != nullptr ? Snap() : Snapshot{};
  SetKeymap(keymap, xkb_state_new(keymap));
  // A new keymap does not switch Caps Lock off, on an X server or here.
  if (before.caps) LockCaps(true);
  AfterStateChange(before, true);
}

std::unique_ptr<TSystemKeyboard> TSystemKeyboard::FromX11(const char* display) {
  auto link = std::make_unique<X11Link>();
  link->connection = xcb_connect(display, nullptr);
  if (link->connection == nullptr || xcb_connection_has_error(link->connection) != 0)
    return nullptr;
  if (xkb_x11_setup_xkb_extension(link->connection, XKB_X11_MIN_MAJOR_XKB_VERSION,
                                  XKB_X11_MIN_MINOR_XKB_VERSION,
                                  XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr,
                                  &link->xkbEventBase, nullptr) == 0)
    return nullptr;
  link->device = xkb_x11_get_core_keyboard_device_id(link->connection);
  if (link->device == -1) return nullptr;

  std::unique_ptr<TSystemKeyboard> keyboard(new TSystemKeyboard());
  xkb_keymap* keymap = xkb_x11_keymap_new_from_device(keyboard->context_, link->connection,
                                                      link->device, XKB_KEYMAP_COMPILE_NO_FLAGS);
  if (keymap == nullptr) return nullptr;
  keyboard->SetKeymap(keymap,
                      xkb_x11_state_new_from_device(keymap, link->connection, link->device));
  if (keyboard->state_ == nullptr) return nullptr;

  // A new keyboard, a new keymap (the user picked another layout) and state changes (group
  // switch, Caps Lock) all reach us as XKB events on this connection.
  constexpr std::uint16_t kEvents = XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY |
                                    XCB_XKB_EVENT_TYPE_MAP_NOTIFY | XCB_XKB_EVENT_TYPE_STATE_NOTIFY;
  constexpr std::uint16_t kMapParts =
      XCB_XKB_MAP_PART_KEY_TYPES | XCB_XKB_MAP_PART_KEY_SYMS | XCB_XKB_MAP_PART_MODIFIER_MAP |
      XCB_XKB_MAP_PART_EXPLICIT_COMPONENTS | XCB_XKB_MAP_PART_KEY_ACTIONS |
      XCB_XKB_MAP_PART_VIRTUAL_MODS | XCB_XKB_MAP_PART_VIRTUAL_MOD_MAP;
  xcb_xkb_select_events_details_t details{};
  details.affectNewKeyboard = XCB_XKB_NKN_DETAIL_KEYCODES;
  details.newKeyboardDetails = XCB_XKB_NKN_DETAIL_KEYCODES;
  constexpr std::uint16_t kStateParts =
      XCB_XKB_STATE_PART_MODIFIER_BASE | XCB_XKB_STATE_PART_MODIFIER_LATCH |
      XCB_XKB_STATE_PART_MODIFIER_LOCK | XCB_XKB_STATE_PART_GROUP_BASE |
      XCB_XKB_STATE_PART_GROUP_LATCH | XCB_XKB_STATE_PART_GROUP_LOCK;
  details.affectState = kStateParts;
  details.stateDetails = kStateParts;
  xcb_xkb_select_events_aux(link->connection, static_cast<xcb_xkb_device_spec_t>(link->device),
                            kEvents, 0, 0, kMapParts, kMapParts, &details);
  xcb_flush(link->connection);

  link->notifier = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(link->connection),
                                                     QSocketNotifier::Read);
  TSystemKeyboard* self = keyboard.get();
  QObject::connect(link->notifier.get(), &QSocketNotifier::activated, self,
                   [self] { self->ReadX11Events(); });
  keyboard->x11_ = std::move(link);
  return keyboard;
}

std::unique_ptr<TSystemKeyboard> TSystemKeyboard::FromWayland(const char* display) {
  std::unique_ptr<TSystemKeyboard> keyboard(new TSystemKeyboard());
  auto link = std::make_unique<WaylandLink>();
  link->owner = keyboard.get();
  link->display = wl_display_connect(display);
  if (link->display == nullptr) return nullptr;
  link->registry = wl_display_get_registry(link->display);
  wl_registry_add_listener(link->registry, &WaylandLink::kRegistryListener, link.get());
  // The globals, then the seat's capabilities, then the keyboard's keymap: one round trip each.
  for (int i = 0; i < 3 && keyboard->keymap_ == nullptr; ++i) {
    if (wl_display_roundtrip(link->display) < 0) return nullptr;
  }
  if (keyboard->keymap_ == nullptr) return nullptr;
  qCInfo(lcSystemKeyboard) << "keymap from the Wayland compositor:"
                           << keyboard->ActiveLayoutDescription();

  // A keymap the compositor replaces (the person chose another layout) arrives as an event.
  link->notifier =
      std::make_unique<QSocketNotifier>(wl_display_get_fd(link->display), QSocketNotifier::Read);
  WaylandLink* raw = link.get();
  QObject::connect(link->notifier.get(), &QSocketNotifier::activated, keyboard.get(), [raw] {
    if (wl_display_dispatch(raw->display) < 0) raw->notifier->setEnabled(false);
    wl_display_flush(raw->display);
  });
  keyboard->wayland_ = std::move(link);
  return keyboard;
}

void TSystemKeyboard::ReplaceKeymap(xkb_keymap* keymap) {
  xkb_state* state = xkb_state_new(keymap);
  if (state == nullptr) {
    xkb_keymap_unref(keymap);
    return;
  }
  if (keymap_ == nullptr) {
    SetKeymap(keymap, state);
    return;
  }
  const Snapshot before = Snap();
  SetKeymap(keymap, state);
  AfterStateChange(before, true);
}

void TSystemKeyboard::ReadX11Events() {
  const Snapshot before = Snap();
  bool reload = false;
  while (xcb_generic_event_t* event = xcb_poll_for_event(x11_->connection)) {
    if ((event->response_type & 0x7F) == x11_->xkbEventBase) {
      // Every XKB event starts with the same header; its second byte says which one it is.
      const auto xkbType = reinterpret_cast<const std::uint8_t*>(event)[1];
      if (xkbType == XCB_XKB_NEW_KEYBOARD_NOTIFY || xkbType == XCB_XKB_MAP_NOTIFY) {
        reload = true;
      } else if (xkbType == XCB_XKB_STATE_NOTIFY) {
        const auto* s = reinterpret_cast<const xcb_xkb_state_notify_event_t*>(event);
        xkb_state_update_mask(state_, s->baseMods, s->latchedMods, s->lockedMods,
                              static_cast<xkb_layout_index_t>(s->baseGroup),
                              static_cast<xkb_layout_index_t>(s->latchedGroup), s->lockedGroup);
      }
    }
    free(event);  // NOLINT: xcb hands out malloc'ed events
  }
  if (reload) {
    xkb_keymap* keymap = xkb_x11_keymap_new_from_device(context_, x11_->connection, x11_->device,
                                                        XKB_KEYMAP_COMPILE_NO_FLAGS);
    if (keymap != nullptr) {
      xkb_state* state = xkb_x11_state_new_from_device(keymap, x11_->connection, x11_->device);
      if (state != nullptr)
        SetKeymap(keymap, state);
      else
        xkb_keymap_unref(keymap);
    }
  }
  AfterStateChange(before, reload);
}

TSystemKeyboard::Snapshot TSystemKeyboard::Snap() const {
  return {InputLanguage(), ActiveLayoutDescription(), ActiveLayout(), CapsLockOn()};
}

void TSystemKeyboard::AfterStateChange(const Snapshot& before, bool newKeymap) {
  const Snapshot now = Snap();
  if (now.caps != before.caps) emit StateChanged();
  // Another layout of the same language (us and us(dvorak)) types other characters, and a
  // reloaded keymap may too: both count as a change, not only a new language tag.
  if (newKeymap || now.language != before.language || now.layout != before.layout ||
      now.group != before.group) {
    emit InputLanguageChanged();
  }
}

void TSystemKeyboard::SelectLayout(int group) {
  const Snapshot before = Snap();
  const auto depressed = xkb_state_serialize_mods(state_, XKB_STATE_MODS_DEPRESSED);
  const auto latched = xkb_state_serialize_mods(state_, XKB_STATE_MODS_LATCHED);
  const auto locked = xkb_state_serialize_mods(state_, XKB_STATE_MODS_LOCKED);
  xkb_state_update_mask(state_, depressed, latched, locked, 0, 0,
                        static_cast<xkb_layout_index_t>(group));
  AfterStateChange(before, false);
}

void TSystemKeyboard::SetCapsLock(bool on) {
  const Snapshot before = Snap();
  if (x11_) {
    // The server's keyboard is the one every program reads: lock it there (what XkbLockModifiers
    // does); its state event follows, and our copy is set now so that a lookup made before it
    // arrives agrees.
    xcb_xkb_latch_lock_state(x11_->connection, static_cast<xcb_xkb_device_spec_t>(x11_->device),
                             XCB_MOD_MASK_LOCK, on ? XCB_MOD_MASK_LOCK : 0, 0, 0, 0, 0, 0);
    xcb_flush(x11_->connection);
  }
  LockCaps(on);
  AfterStateChange(before, false);
}

void TSystemKeyboard::LockCaps(bool on) {
  const xkb_mod_index_t caps = xkb_keymap_mod_get_index(keymap_, XKB_MOD_NAME_CAPS);
  if (caps == XKB_MOD_INVALID) return;
  const auto depressed = xkb_state_serialize_mods(state_, XKB_STATE_MODS_DEPRESSED);
  const auto latched = xkb_state_serialize_mods(state_, XKB_STATE_MODS_LATCHED);
  auto locked = xkb_state_serialize_mods(state_, XKB_STATE_MODS_LOCKED);
  locked = on ? (locked | (1u << caps)) : (locked & ~(1u << caps));
  xkb_state_update_mask(state_, depressed, latched, locked, 0, 0,
                        xkb_state_serialize_layout(state_, XKB_STATE_LAYOUT_LOCKED));
}

bool TSystemKeyboard::CapsLockOn() const {
  return xkb_state_mod_name_is_active(state_, XKB_MOD_NAME_CAPS, XKB_STATE_MODS_LOCKED) > 0;
}

bool TSystemKeyboard::NumLockOn() const {
  return xkb_state_mod_name_is_active(state_, XKB_MOD_NAME_NUM, XKB_STATE_MODS_LOCKED) > 0;
}

bool TSystemKeyboard::ScrollLockOn() const {
  return xkb_state_led_name_is_active(state_, XKB_LED_NAME_SCROLL) > 0;
}

int TSystemKeyboard::ActiveLayout() const {
  const xkb_layout_index_t group = xkb_state_serialize_layout(state_, XKB_STATE_LAYOUT_EFFECTIVE);
  return group < xkb_keymap_num_layouts(keymap_) ? static_cast<int>(group) : 0;
}

QString TSystemKeyboard::ActiveLayoutDescription() const {
  const char* name =
      xkb_keymap_layout_get_name(keymap_, static_cast<xkb_layout_index_t>(ActiveLayout()));
  return name != nullptr ? QString::fromUtf8(name) : QString();
}

TXkbLayoutName TSystemKeyboard::ActiveLayoutName() const {
  return InstalledLayoutName(ActiveLayoutDescription());
}

QString TSystemKeyboard::InputLanguage() const {
  const QString tag = InstalledLayoutLanguageTag(ActiveLayoutDescription());
  if (!tag.isEmpty()) return tag;
  return LanguageTagFromLocaleName(QLocale::system().name());
}

TSystemKeyboard& SystemKeyboard() {
  auto& keyboard = Installed();
  if (!keyboard) {
    if (QGuiApplication::platformName() == u"xcb") keyboard = TSystemKeyboard::FromX11();
    if (QGuiApplication::platformName().startsWith(u"wayland"))
      keyboard = TSystemKeyboard::FromWayland();
    if (!keyboard) keyboard = TSystemKeyboard::FromLayoutNames({});
  }
  return *keyboard;
}

void SetSystemKeyboard(std::unique_ptr<TSystemKeyboard> keyboard) {
  Installed() = std::move(keyboard);
}
