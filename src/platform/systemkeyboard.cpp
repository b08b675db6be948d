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

#include <QFile>
#include <QGuiApplication>
#include <QHash>
#include <QLocale>
#include <QLoggingCategory>
#include <QMutex>
#include <QSocketNotifier>
#include <QXmlStreamReader>
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>

#include "core/errors.h"
#include "platform/scancodes.h"

Q_LOGGING_CATEGORY(lcSystemKeyboard, "zentra.systemkeyboard", QtWarningMsg)

namespace {

// xkeyboard-config's list of layouts with the countries and languages each one is for.
constexpr char kXkbRulesRegistry[] = "/usr/share/X11/xkb/rules/evdev.xml";

// X11 key codes are the Linux input codes shifted by this much.
constexpr int kX11KeyCodeOffset = 8;
constexpr int kRightAltKeyCode = 100 + kX11KeyCodeOffset;  // KEY_RIGHTALT: the third-level key

// Virtual-key codes by scan code on a US keyboard, as the other platform's layouts assign them
// to positions. Keys of the numeric keypad name their navigation meaning, as scan codes without
// the E0 prefix do there (72 is the up arrow, 83 is Delete).
constexpr std::array<std::uint8_t, 128> kUsVkByScanCode = [] {
  std::array<std::uint8_t, 128> t{};
  const char* row1 = "QWERTYUIOP";
  const char* row2 = "ASDFGHJKL";
  const char* row3 = "ZXCVBNM";
  t[1] = 0x1B;  // Esc
  for (int i = 0; i < 9; ++i) t[2 + i] = static_cast<std::uint8_t>('1' + i);
  t[11] = '0';
  t[12] = 0xBD;  // OEM minus
  t[13] = 0xBB;  // OEM plus
  t[14] = 0x08;  // Backspace
  t[15] = 0x09;  // Tab
  for (int i = 0; i < 10; ++i) t[16 + i] = static_cast<std::uint8_t>(row1[i]);
  t[26] = 0xDB;  // OEM 4 [
  t[27] = 0xDD;  // OEM 6 ]
  t[28] = 0x0D;  // Enter
  t[29] = 0x11;  // Ctrl
  for (int i = 0; i < 9; ++i) t[30 + i] = static_cast<std::uint8_t>(row2[i]);
  t[39] = 0xBA;  // OEM 1 ;
  t[40] = 0xDE;  // OEM 7 '
  t[41] = 0xC0;  // OEM 3 `
  t[42] = 0x10;  // Shift
  t[43] = 0xDC;  // OEM 5 backslash
  for (int i = 0; i < 7; ++i) t[44 + i] = static_cast<std::uint8_t>(row3[i]);
  t[51] = 0xBC;                                                                  // OEM comma
  t[52] = 0xBE;                                                                  // OEM period
  t[53] = 0xBF;                                                                  // OEM 2 /
  t[54] = 0x10;                                                                  // right Shift
  t[55] = 0x6A;                                                                  // keypad *
  t[56] = 0x12;                                                                  // Alt
  t[57] = 0x20;                                                                  // Space
  t[58] = 0x14;                                                                  // Caps Lock
  for (int i = 0; i < 10; ++i) t[59 + i] = static_cast<std::uint8_t>(0x70 + i);  // F1-F10
  t[69] = 0x90;                                                                  // Num Lock
  t[70] = 0x91;                                                                  // Scroll Lock
  t[71] = 0x24;                                                                  // Home
  t[72] = 0x26;                                                                  // Up
  t[73] = 0x21;                                                                  // Page Up
  t[74] = 0x6D;                                                                  // keypad -
  t[75] = 0x25;                                                                  // Left
  t[76] = 0x0C;                                                                  // Clear
  t[77] = 0x27;                                                                  // Right
  t[78] = 0x6B;                                                                  // keypad +
  t[79] = 0x23;                                                                  // End
  t[80] = 0x28;                                                                  // Down
  t[81] = 0x22;                                                                  // Page Down
  t[82] = 0x2D;                                                                  // Insert
  t[83] = 0x2E;                                                                  // Delete
  t[86] = 0xE2;    // OEM 102, the extra key of ISO keyboards
  t[87] = 0x7A;    // F11
  t[88] = 0x7B;    // F12
  t[0x70] = 0x15;  // Kana (Japanese keyboards)
  t[0x73] = 0xC1;  // ABNT C1 / Japanese Ro
  t[0x79] = 0x1C;  // Convert
  t[0x7B] = 0x1D;  // NonConvert
  t[0x7D] = 0xDC;  // Yen
  t[0x7E] = 0xC2;  // ABNT C2, keypad . of Brazilian keyboards
  return t;
}();

// Virtual-key codes that no scan code maps to but that name a key all the same.
struct VkScan {
  int vk;
  int scan;
};
constexpr VkScan kExtraVkScanCodes[] = {
    {0xA0, 42},   {0xA1, 54},   {0xA2, 29},   {0xA3, 29}, {0xA4, 56},
    {0xA5, 56},                                                        // left/right mods
    {0x60, 82},   {0x61, 79},   {0x62, 80},   {0x63, 81}, {0x64, 75},  // keypad 0-4
    {0x65, 76},   {0x66, 77},   {0x67, 71},   {0x68, 72}, {0x69, 73},  // keypad 5-9
    {0x6E, 83},   {0x6F, 53},                                          // keypad . and /
    {0x2F, 0x63}, {0x13, 0x45}, {0x2C, 0x37},                          // Help, Pause, Print
};

// The spacing character of each dead key, which is what the key's label shows.
struct DeadChar {
  xkb_keysym_t sym;
  char16_t ch;
};
constexpr DeadChar kDeadKeyCharacters[] = {
    {XKB_KEY_dead_grave, u'`'},           {XKB_KEY_dead_acute, u'\u00B4'},
    {XKB_KEY_dead_circumflex, u'^'},      {XKB_KEY_dead_tilde, u'~'},
    {XKB_KEY_dead_macron, u'\u00AF'},     {XKB_KEY_dead_breve, u'\u02D8'},
    {XKB_KEY_dead_abovedot, u'\u02D9'},   {XKB_KEY_dead_diaeresis, u'\u00A8'},
    {XKB_KEY_dead_abovering, u'\u02DA'},  {XKB_KEY_dead_doubleacute, u'\u02DD'},
    {XKB_KEY_dead_caron, u'\u02C7'},      {XKB_KEY_dead_cedilla, u'\u00B8'},
    {XKB_KEY_dead_ogonek, u'\u02DB'},     {XKB_KEY_dead_iota, u'\u037A'},
    {XKB_KEY_dead_belowdot, u'.'},        {XKB_KEY_dead_hook, u'\u02C0'},
    {XKB_KEY_dead_horn, u'\u031B'},       {XKB_KEY_dead_stroke, u'/'},
    {XKB_KEY_dead_abovecomma, u'\u02BC'}, {XKB_KEY_dead_abovereversedcomma, u'\u02BD'},
    {XKB_KEY_dead_currency, u'\u00A4'},   {XKB_KEY_dead_greek, u'\u00B5'},
};

bool IsDeadKeysym(xkb_keysym_t sym) {
  return sym >= XKB_KEY_dead_grave && sym <= XKB_KEY_dead_longsolidusoverlay;
}

// Countries and languages of one layout (or variant) of xkeyboard-config, by its description,
// which is also the group name an X server and a compiled keymap report.
struct LayoutInfo {
  QString country;   // ISO 3166 alpha-2
  QString language;  // ISO 639-2 or -3, the first the registry lists
  QString layout;    // xkeyboard-config's name of the layout ("br")
  QString variant;   // and of the variant ("nodeadkeys"); empty for the layout itself
};

// The configuration items the reader meets, by description, with what a variant inherits from
// its layout; the first item of a description wins.
QHash<QString, LayoutInfo> ReadLayoutItems(QXmlStreamReader& xml) {
  QHash<QString, LayoutInfo> result;
  LayoutInfo layout;  // what a variant inherits from its layout
  bool inVariant = false;
  QString name, description;
  LayoutInfo item;
  while (!xml.atEnd()) {
    xml.readNext();
    if (xml.isStartElement()) {
      const auto tag = xml.name();
      if (tag == u"modelList" || tag == u"optionList") {
        xml.skipCurrentElement();  // keyboards and options: their descriptions are not layouts
      } else if (tag == u"layout") {
        layout = {};
        inVariant = false;
      } else if (tag == u"variant") {
        inVariant = true;
      } else if (tag == u"configItem") {
        name.clear();
        description.clear();
        item = {};
      } else if (tag == u"name") {
        name = xml.readElementText();
      } else if (tag == u"description") {
        description = xml.readElementText();
      } else if (tag == u"iso3166Id") {
        const QString v = xml.readElementText();
        if (item.country.isEmpty()) item.country = v;
      } else if (tag == u"iso639Id") {
        const QString v = xml.readElementText();
        if (item.language.isEmpty()) item.language = v;
      }
    } else if (xml.isEndElement() && xml.name() == u"configItem") {
      if (!inVariant) {
        // A layout named after a country is for that country even where the list says nothing.
        if (item.country.isEmpty() && name.size() == 2) item.country = name.toUpper();
        item.layout = name;
        layout = item;
      } else {
        item.layout = layout.layout;
        item.variant = name;
        if (item.country.isEmpty()) item.country = layout.country;
        if (item.language.isEmpty()) item.language = layout.language;
      }
      if (!description.isEmpty() && !result.contains(description)) result.insert(description, item);
    } else if (xml.isEndElement() && xml.name() == u"variant") {
      inVariant = false;
    }
  }
  return result;
}

QHash<QString, LayoutInfo> ReadLayoutRegistry(const QByteArray& registry) {
  QXmlStreamReader xml(registry);
  return ReadLayoutItems(xml);
}

// One layout's item without reading the whole registry (a quarter of a megabyte of XML, read at
// start-up when the on-screen keyboard picks its language): the description is found as text and
// only the layout around it, variants included, is read. Whatever the text search cannot place
// (a description written with character references, say) falls back to the whole registry.
std::optional<LayoutInfo> FindLayout(const QByteArray& registry, const QString& description) {
  const qsizetype list = registry.indexOf("<layoutList>");
  const QByteArray needle =
      "<description>" + description.toHtmlEscaped().toUtf8() + "</description>";
  const qsizetype at = list < 0 ? -1 : registry.indexOf(needle, list);
  if (at >= 0) {
    const QByteArray open = "<layout>";
    const QByteArray close = "</layout>";
    const qsizetype begin = registry.lastIndexOf(open, at);
    const qsizetype end = registry.indexOf(close, at);
    if (begin > list && end > at) {
      QXmlStreamReader xml(registry.sliced(begin, end + close.size() - begin));
      const auto items = ReadLayoutItems(xml);
      if (!xml.hasError()) {
        const auto it = items.constFind(description);
        if (it != items.constEnd()) return *it;
      }
    }
  }
  const auto all = ReadLayoutRegistry(registry);
  const auto it = all.constFind(description);
  if (it == all.constEnd()) return std::nullopt;
  return *it;
}

const QByteArray& RegistryBytes() {
  static const QByteArray bytes = [] {
    QFile file(QString::fromLatin1(kXkbRulesRegistry));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  }();
  return bytes;
}

// The layouts looked up so far, by description: a person switches among two or three.
std::optional<LayoutInfo> LookUpLayout(const QString& description) {
  static QMutex mutex;
  static QHash<QString, std::optional<LayoutInfo>> known;
  const QMutexLocker lock(&mutex);
  const auto it = known.constFind(description);
  if (it != known.constEnd()) return *it;
  return *known.insert(description, FindLayout(RegistryBytes(), description));
}

QString TagFrom(const QString& languageCode, const QString& countryCode) {
  if (languageCode.isEmpty()) return {};
  const QLocale::Language language =
      QLocale::codeToLanguage(languageCode, QLocale::AnyLanguageCode);
  if (language == QLocale::AnyLanguage || language == QLocale::C) return {};
  QString iso639 = QLocale::languageToCode(language, QLocale::ISO639Part1);
  if (iso639.isEmpty()) iso639 = QLocale::languageToCode(language);
  QLocale::Territory territory = QLocale::codeToTerritory(countryCode);
  if (territory == QLocale::AnyTerritory) territory = QLocale(language).territory();
  const QString iso3166 = QLocale::territoryToCode(territory);
  if (iso639.isEmpty() || iso3166.isEmpty()) return {};
  return iso639 + u'-' + iso3166;
}

// The X11 key code of a layout's scan code: the key without the E0 prefix, as the layouts mean it.
int KeyCodeOf(int scanCode) {
  if (scanCode <= 0 || scanCode > 0xFF) return 0;
  return static_cast<int>(X11KeyCodeFromScanCode({static_cast<std::uint16_t>(scanCode), false}));
}

std::unique_ptr<TSystemKeyboard>& Installed() {
  static std::unique_ptr<TSystemKeyboard> keyboard;
  return keyboard;
}

}  // namespace

QString LayoutLanguageTag(const QByteArray& registry, const QString& description) {
  const auto layout = FindLayout(registry, description);
  return layout ? TagFrom(layout->language, layout->country) : QString();
}

TXkbLayoutName LayoutNameOf(const QByteArray& registry, const QString& description) {
  const auto layout = FindLayout(registry, description);
  return layout ? TXkbLayoutName{layout->layout, layout->variant} : TXkbLayoutName{};
}

QHash<QString, QString> LayoutLanguageTags(const QByteArray& registry) {
  QHash<QString, QString> tags;
  const auto all = ReadLayoutRegistry(registry);
  for (auto it = all.constBegin(); it != all.constEnd(); ++it)
    tags.insert(it.key(), TagFrom(it->language, it->country));
  return tags;
}

QString LanguageTagFromLocaleName(const QString& localeName) {
  const QLocale locale(localeName.section(u'.', 0, 0).section(u'@', 0, 0));
  if (locale.language() == QLocale::C) return {};
  const QString name = locale.name();  // "pt_BR"
  if (!name.contains(u'_')) return {};
  return TagFrom(QLocale::languageToCode(locale.language()),
                 QLocale::territoryToCode(locale.territory()));
}

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
  if (const auto layout = LookUpLayout(ActiveLayoutDescription()))
    return {layout->layout, layout->variant};
  return {};
}

QString TSystemKeyboard::InputLanguage() const {
  if (const auto layout = LookUpLayout(ActiveLayoutDescription())) {
    const QString tag = TagFrom(layout->language, layout->country);
    if (!tag.isEmpty()) return tag;
  }
  return LanguageTagFromLocaleName(QLocale::system().name());
}

TKeyCharacters TSystemKeyboard::Characters(int scanCode, const TKeyLookupState& lookup) const {
  const int keyCode = KeyCodeOf(scanCode);
  if (keyCode == 0) return {};
  // A scratch state in the active group with only the asked-for modifiers: the labels must not
  // follow whatever the physical keyboard holds down at the moment.
  xkb_state* scratch = xkb_state_new(keymap_);
  xkb_mod_mask_t mods = 0;
  if (lookup.AltGr) {
    xkb_state_update_key(scratch, kRightAltKeyCode, XKB_KEY_DOWN);
    mods |= xkb_state_serialize_mods(scratch, XKB_STATE_MODS_DEPRESSED);
    xkb_state_update_key(scratch, kRightAltKeyCode, XKB_KEY_UP);
  }
  if (lookup.Shift) {
    const xkb_mod_index_t shift = xkb_keymap_mod_get_index(keymap_, XKB_MOD_NAME_SHIFT);
    if (shift != XKB_MOD_INVALID) mods |= 1u << shift;
  }
  xkb_mod_mask_t locked = 0;
  if (lookup.CapsLock) {
    const xkb_mod_index_t caps = xkb_keymap_mod_get_index(keymap_, XKB_MOD_NAME_CAPS);
    if (caps != XKB_MOD_INVALID) locked |= 1u << caps;
  }
  xkb_state_update_mask(scratch, mods, 0, locked, 0, 0,
                        static_cast<xkb_layout_index_t>(ActiveLayout()));
  TKeyCharacters result;
  const xkb_keysym_t sym = xkb_state_key_get_one_sym(scratch, static_cast<xkb_keycode_t>(keyCode));
  if (IsDeadKeysym(sym)) {
    result.Dead = true;
    for (const auto& d : kDeadKeyCharacters)
      if (d.sym == sym) result.Text = QString(QChar(d.ch));
  } else {
    char buffer[64];
    const int n =
        xkb_state_key_get_utf8(scratch, static_cast<xkb_keycode_t>(keyCode), buffer, sizeof buffer);
    // Control characters (Esc, Tab, Enter, Backspace) are no label.
    if (n > 0 && static_cast<unsigned char>(buffer[0]) >= 0x20 && buffer[0] != 0x7F)
      result.Text = QString::fromUtf8(buffer, n);
  }
  xkb_state_unref(scratch);
  return result;
}

int TSystemKeyboard::VkFromKeyCode(unsigned keyCode) const {
  const TScanCode pc = ScanCodeFromX11KeyCode(keyCode);
  const int scan = pc.code;
  if (pc.extended || scan <= 0 || scan >= static_cast<int>(kUsVkByScanCode.size())) return 0;
  const int usVk = kUsVkByScanCode[static_cast<std::size_t>(scan)];
  if (scan >= 2 && scan <= 11) return usVk;  // the digit row keeps its digits everywhere
  // Letter keys are named after the Latin letter they type (Z and Y trade places on a German
  // keyboard, A and Q on a French one), and so are the comma, period, minus and plus keys.
  const xkb_keysym_t* syms = nullptr;
  const int count = xkb_keymap_key_get_syms_by_level(
      keymap_, keyCode, static_cast<xkb_layout_index_t>(ActiveLayout()), 0, &syms);
  if (count == 1 && usVk != 0x20) {
    const std::uint32_t ch = xkb_keysym_to_utf32(syms[0]);
    if (ch >= 'a' && ch <= 'z') return static_cast<int>(ch - 'a' + 'A');
    if (ch >= 'A' && ch <= 'Z') return static_cast<int>(ch);
    if (scan >= 12 && scan <= 53) {
      if (ch == ',') return 0xBC;
      if (ch == '.') return 0xBE;
      if (ch == '-') return 0xBD;
      if (ch == '+') return 0xBB;
    }
  }
  return usVk;
}

int TSystemKeyboard::VkFromScanCode(int scanCode) const {
  const int keyCode = KeyCodeOf(scanCode);
  return keyCode == 0 ? 0 : VkFromKeyCode(static_cast<unsigned>(keyCode));
}

int TSystemKeyboard::ScanCodeFromVk(int vk) const {
  if (vk <= 0) return 0;
  for (int scan = 1; scan < static_cast<int>(kUsVkByScanCode.size()); ++scan)
    if (VkFromScanCode(scan) == vk) return scan;
  for (const auto& e : kExtraVkScanCodes)
    if (e.vk == vk) return e.scan;
  return 0;
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
