#include "principal/keyboard/touchkeyboard.h"

#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPointingDevice>
#include <QTouchEvent>
#include <algorithm>

#include "core/errors.h"
#include "platform/keyinjection.h"
#include "platform/systemkeyboard.h"
#include "principal/keyboard/keyboardlayouts.h"
#include "shell/events.h"
#include "shell/timer.h"

namespace {

// The face the key labels are drawn in: the classic dialog face, which the application makes
// available from the free metric-compatible fonts.
constexpr char16_t kDialogFontFamily[] = u"Tahoma";

constexpr int kChangeInterval = 100;  // ms before a typed key's face returns to normal
constexpr int kMousePointer = 0;
constexpr int kNoPointer = -1;

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

TCustomTouchKeyboard::TCustomTouchKeyboard(QWidget* parent)
    : QWidget(parent), layouts_(&KeyboardLayouts()) {
  // Typing here must leave the focus where the keys go.
  setFocusPolicy(Qt::NoFocus);
  setAttribute(Qt::WA_AcceptTouchEvents);
  setAttribute(Qt::WA_OpaquePaintEvent);  // the whole area is painted in one go, never erased
  setMouseTracking(false);

  FChangeTimer = new TTimer(this, kChangeInterval, false);
  FChangeTimer->OnTimer = [this] { ApplyChangeStates(); };
  FRepeat = new TTimer(this, repeatDelay_, false);
  FRepeat->OnTimer = [this] { RepeatTick(); };

  Bind(&SystemKeyboard(), &TSystemKeyboard::InputLanguageChanged, this,
       &TCustomTouchKeyboard::InputLanguageChanged);
  Dispatch(this, [this] { FLanguage = ComputeLanguage(); });
}

TCustomTouchKeyboard::~TCustomTouchKeyboard() {
  // A key-down in force must not outlive the keyboard: the focused window would see the
  // modifier held for good.
  ReleaseAllKeys();
}

QString TCustomTouchKeyboard::ComputeLanguage() const {
  const QString tag = SystemKeyboard().InputLanguage();
  if (tag.isEmpty()) throw Exception(QString::fromUtf16(kErrorRetrievingLocaleInformation));
  return tag;
}

void TCustomTouchKeyboard::InputLanguageChanged() {
  const QString tag = SystemKeyboard().InputLanguage();
  if (tag.isEmpty() || SelectKeyboardLayout(*layouts_, layout_, tag) == nullptr)
    throw Exception(QString::fromUtf16(kFailedToChangeInputLanguage));
  FLanguage = tag;
  if (created_) CreateKeys();
  Redraw();
}

void TCustomTouchKeyboard::SetLayoutList(const TKeyboardLayouts* layouts) {
  layouts_ = layouts;
  if (created_) CreateKeys();
}

void TCustomTouchKeyboard::SetLayout(const QString& layout) {
  if (layout == layout_) return;
  layout_ = layout;
  if (created_) {
    CreateKeys();
    Redraw();
  }
}

void TCustomTouchKeyboard::SetDrawingStyle(TDrawingStyle style) {
  drawingStyle_ = style;
  update();
}

void TCustomTouchKeyboard::SetGradientStart(const QColor& color) {
  gradientStart_ = color;
  update();
}

void TCustomTouchKeyboard::SetGradientEnd(const QColor& color) {
  gradientEnd_ = color;
  update();
}

void TCustomTouchKeyboard::SetColor(const QColor& color) {
  color_ = color;
  update();
}

void TCustomTouchKeyboard::SetCaptionOverrides(const TCaptionOverrides& overrides) {
  captionOverrides_ = overrides;
  Redraw();
}

// --- Building and sizing -----------------------------------------------------------------------

void TCustomTouchKeyboard::ReleaseAllKeys() {
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

void TCustomTouchKeyboard::CreateKeys() {
  ReleaseAllKeys();
  FButtons.clear();
  FCurrentLayout = SelectKeyboardLayout(*layouts_, layout_, FLanguage);
  if (FCurrentLayout == nullptr) {
    update();
    return;
  }
  const int rowHeight = FCurrentLayout->RowHeight;
  for (std::size_t r = 0; r < FCurrentLayout->Keys.size(); ++r) {
    const TVirtualKeys& row = FCurrentLayout->Keys[r];
    int x = 0;
    for (const TVirtualKey& key : row.Keys) {
      auto button = std::make_unique<TKeyboardButton>(this, key);
      button->TopMargin = row.TopMargin;
      button->BottomMargin = row.BottomMargin;
      button->Row = static_cast<int>(r);
      button->Left = x;
      button->Top = static_cast<int>(r) * rowHeight;
      button->Width = key.Width;
      button->Height = key.Height;
      x += key.Width;
      FButtons.push_back(std::move(button));
    }
  }
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
  const int minW = FCurrentLayout->MinWidth, minH = FCurrentLayout->MinHeight;
  const int maxW = FCurrentLayout->MaxWidth, maxH = FCurrentLayout->MaxHeight;
  setMinimumSize(minW, minH);
  setMaximumSize(maxW > 0 ? maxW : QWIDGETSIZE_MAX, maxH > 0 ? maxH : QWIDGETSIZE_MAX);
  SizeKeys();
  UpdateLabels();
  update();
}

void TCustomTouchKeyboard::SizeKeys() {
  if (FButtons.empty() || FCurrentLayout == nullptr || FCurrentLayout->Width == 0) return;
  const int W = width(), H = height();
  const int layoutWidth = FCurrentLayout->Width;
  const int rowCount = FButtons.back()->Row + 1;

  for (int row = 0; row < rowCount; ++row) {
    std::vector<Button*> keys;
    for (auto& b : FButtons)
      if (b->Row == row) keys.push_back(b.get());
    int fixed = 0, stretchUnits = 0;
    for (Button* b : keys) {
      if (b->Key.HasFlag(kfStretch)) {
        stretchUnits += b->Key.Width;
      } else {
        b->Width = b->Key.Width * W / layoutWidth;
        fixed += b->Width;
      }
    }
    const int free = W + 1 - fixed;
    for (Button* b : keys)
      if (b->Key.HasFlag(kfStretch)) b->Width = free * b->Key.Width / stretchUnits;
  }
  if (!FButtons.back()->Key.HasFlag(kfStretch)) FButtons.back()->Width -= 1;
  for (std::size_t i = 0; i < FButtons.size(); ++i) {
    Button* b = FButtons[i].get();
    b->Left = (i == 0 || FButtons[i - 1]->Row != b->Row)
                  ? 0
                  : FButtons[i - 1]->Left + FButtons[i - 1]->Width;
  }

  // Rows stacked from the top; the first e rows take the pixel that does not divide evenly.
  const int h = (H - 1) / rowCount;
  const int e = H - h * rowCount;
  std::vector<int> tops(static_cast<std::size_t>(rowCount) + 1, 0);
  for (int row = 0; row < rowCount; ++row)
    tops[static_cast<std::size_t>(row) + 1] =
        tops[static_cast<std::size_t>(row)] + h + (row < e ? 1 : 0);
  for (auto& b : FButtons) {
    const auto row = static_cast<std::size_t>(b->Row);
    b->Top = tops[row];
    b->Height = tops[row + 1] - tops[row];
    if (b->Key.Height != FCurrentLayout->RowHeight && b->Row + 1 < rowCount)
      b->Height += (tops[row + 2] - tops[row + 1]) + b->BottomMargin;
  }
}

// --- Labels and painting -----------------------------------------------------------------------

QStringList TCustomTouchKeyboard::LatchedModifierNames() const {
  QStringList names;
  for (const Button* b : FUnclick) names << b->Key.ModifierName;
  return names;
}

TResolvedKey TCustomTouchKeyboard::Resolved(const Button& button) const {
  return ResolveKey(button.Key, FLanguage, LatchedModifierNames(), captionOverrides_);
}

TResolvedKey TCustomTouchKeyboard::LanguageFormOf(const Button& button) const {
  return LanguageForm(button.Key, FLanguage);
}

bool TCustomTouchKeyboard::IsCapsKey(const Button& button) const {
  const TResolvedKey form = LanguageFormOf(button);
  return form.Vk == kVkCapital || form.ScanCode == kScanCaps;
}

bool TCustomTouchKeyboard::IsLatched(const Button* button) const {
  return Contains(FUnclick, const_cast<Button*>(button));
}

void TCustomTouchKeyboard::Redraw() {
  UpdateLabels();
  update();
}

void TCustomTouchKeyboard::UpdateLabels() {
  const QStringList latched = LatchedModifierNames();
  bool shiftLatched = false;
  const Button* capsKey = nullptr;
  for (const Button* b : FUnclick) {
    if (IsShift(LanguageFormOf(*b))) shiftLatched = true;
    if (IsCapsKey(*b)) capsKey = b;
  }
  const TSystemKeyboard& system = SystemKeyboard();
  for (auto& b : FButtons) {
    const TResolvedKey r = ResolveKey(b->Key, FLanguage, latched, captionOverrides_);
    b->FontSize = LabelFontSize(b->Key, latched);
    if (r.KeyImage != kKeyImageNone) {
      b->KeyImage = r.KeyImage;
      b->Caption = r.Caption;
    } else if (!r.Caption.isEmpty()) {
      b->KeyImage = kKeyImageNone;
      b->Caption = r.Caption;
    } else {
      b->KeyImage = kKeyImageNone;
      b->Caption.clear();
      if (r.ComboKeys.empty()) {
        int scan = r.ScanCode > 0 ? r.ScanCode : 0;
        if (scan == 0 && r.Vk > 0) scan = system.ScanCodeFromVk(r.Vk);
        const bool capsApplies = capsKey != nullptr &&
                                 HasModifierAlternate(b->Key, capsKey->Key.ModifierName, FLanguage);
        TKeyLookupState state;
        state.Shift = shiftLatched != capsApplies;
        if (scan > 0) b->Caption = system.Characters(scan, state).Text;
      }
    }
    // A typed key's face does not stay pressed past a relabelling; one still held does.
    if (!b->Modifier() && b->ID == kNoPointer) b->State = TKeyDrawState::dsNormal;
  }
}

void TCustomTouchKeyboard::PaintTo(QPainter& p) const {
  if (drawingStyle_ == TDrawingStyle::dsGradient) {
    QLinearGradient gradient(0, 0, 0, height());
    gradient.setColorAt(0, gradientStart_);
    gradient.setColorAt(1, gradientEnd_);
    p.fillRect(rect(), gradient);
  } else {
    p.fillRect(rect(), color_);
  }
  const QString family = QString::fromUtf16(kDialogFontFamily);
  for (const auto& b : FButtons) b->Paint(p, family);
}

void TCustomTouchKeyboard::paintEvent(QPaintEvent*) {
  // Drawn off-screen and copied in one step, so that changing keys never flicker.
  QImage image(size(), QImage::Format_ARGB32_Premultiplied);
  {
    QPainter ip(&image);
    PaintTo(ip);
  }
  QPainter p(this);
  p.drawImage(0, 0, image);
}

void TCustomTouchKeyboard::RepaintButton(Button* button) {
  update(QRect(button->Left, button->Top, button->Width + 1, button->Height + 1));
}

void TCustomTouchKeyboard::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!created_) {
    created_ = true;
    Dispatch(this, [this] { CreateKeys(); });
  }
}

void TCustomTouchKeyboard::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  SizeKeys();
}

// --- Looks --------------------------------------------------------------------------------------

void TCustomTouchKeyboard::ChangeLook(Button* button, TKeyDrawState state, bool immediate) {
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
      RepaintButton(b);
    } else {
      FChangeStates.emplace_back(b, state);
    }
  }
  if (!immediate) FChangeTimer->SetEnabled(true);
}

void TCustomTouchKeyboard::ApplyChangeStates() {
  for (auto& [b, state] : FChangeStates) {
    b->State = state;
    RepaintButton(b);
  }
  FChangeStates.clear();
  FChangeTimer->SetEnabled(false);
}

// --- The latch list -----------------------------------------------------------------------------

void TCustomTouchKeyboard::UpdateLatchList(Button* button) {
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

void TCustomTouchKeyboard::Unlatch(Button* button) {
  Remove(FUnclick, button);
  if (!button->Toggle()) SendLanguageForm(*button, true);
  button->Down = false;
  ChangeLook(button, TKeyDrawState::dsNormal, true);
}

// --- Pointer input ------------------------------------------------------------------------------

TCustomKeyboardButton* TCustomTouchKeyboard::ButtonAt(QPoint at) const {
  for (const auto& b : FButtons)
    if (b->CellContains(at.x(), at.y())) return b.get();
  return nullptr;
}

TCustomKeyboardButton* TCustomTouchKeyboard::HeldBy(int id) const {
  for (Button* b : FPressedKeys)
    if (b->ID == id) return b;
  return nullptr;
}

void TCustomTouchKeyboard::PointerDown(int id, QPoint at) {
  if (!isEnabled()) return;
  Button* b = ButtonAt(at);
  if (b == nullptr) return;
  b->ID = id;
  if (!Contains(FPressedKeys, b)) FPressedKeys.push_back(b);
  if (!b->Modifier()) {
    ChangeLook(b, TKeyDrawState::dsPressed, true);
    if (repeatRate_ != 0 && repeatDelay_ != 0) {
      FRepeat->SetInterval(repeatDelay_);
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
  Redraw();
}

void TCustomTouchKeyboard::PointerUp(int id, QPoint at) {
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
      Redraw();
    }
    return;
  }
  if (ButtonAt(at) == nullptr) {
    // Released where no key is: the key is cancelled, not typed.
    ChangeLook(b, TKeyDrawState::dsNormal, true);
    return;
  }
  ChangeLook(b, TKeyDrawState::dsNormal, false);
  TypeKey(b);
}

void TCustomTouchKeyboard::PointerMove(int id, QPoint at) {
  Button* old = HeldBy(id);
  if (old == nullptr) return;
  if (!rect().contains(at)) {
    PointerLeft();
    return;
  }
  Button* hit = ButtonAt(at);
  if (hit == nullptr || hit == old) return;
  FRepeat->SetEnabled(false);
  old->ID = kNoPointer;
  Remove(FPressedKeys, old);
  ChangeLook(old, TKeyDrawState::dsNormal, true);
  if (old->Toggle()) {
    // The toggle is cancelled: it goes back to how it was before this press.
    old->Down = !old->Down;
    Remove(FUnclick, old);
    if (old->Down) {
      FUnclick.push_back(old);
      ChangeLook(old, TKeyDrawState::dsPressed, true);
    }
    Redraw();
    return;
  }
  if (old->Modifier()) {
    old->Down = !old->Down;
    // A second press slid away: the key stays latched as it was, key-down still in force.
    if (old->Down && !IsLatched(old)) {
      FUnclick.push_back(old);
      ChangeLook(old, TKeyDrawState::dsPressed, true);
    }
  }
  // The press moves on to a normal key; a modifier is latched only by a press of its own.
  if (hit->Modifier()) {
    Redraw();
    return;
  }
  hit->ID = id;
  FPressedKeys.push_back(hit);
  ChangeLook(hit, TKeyDrawState::dsPressed, true);
  if (old->Modifier()) Redraw();
}

void TCustomTouchKeyboard::PointerLeft() {
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
  Redraw();
}

bool TCustomTouchKeyboard::event(QEvent* e) {
  switch (e->type()) {
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd: {
      auto* touch = static_cast<QTouchEvent*>(e);
      Dispatch(this, [&] {
        for (const QEventPoint& point : touch->points()) {
          // Touch ids start at 0 in Qt; the mouse is pointer 0 here.
          const int id = point.id() + 1;
          const QPoint at = mapFromGlobal(point.globalPosition()).toPoint();
          switch (point.state()) {
            case QEventPoint::Pressed:
              PointerDown(id, at);
              break;
            case QEventPoint::Released:
              PointerUp(id, at);
              break;
            case QEventPoint::Updated:
              PointerMove(id, at);
              break;
            default:
              break;
          }
        }
      });
      e->accept();
      return true;
    }
    case QEvent::TouchCancel:
      Dispatch(this, [this] { PointerLeft(); });
      e->accept();
      return true;
    default:
      return QWidget::event(e);
  }
}

namespace {
bool FromTouch(const QMouseEvent* event) {
  return event->device() != nullptr &&
         event->device()->type() == QInputDevice::DeviceType::TouchScreen;
}
}  // namespace

void TCustomTouchKeyboard::mousePressEvent(QMouseEvent* event) {
  if (FromTouch(event) || event->button() != Qt::LeftButton) return;
  Dispatch(this, [&] { PointerDown(kMousePointer, event->position().toPoint()); });
}

void TCustomTouchKeyboard::mouseDoubleClickEvent(QMouseEvent* event) {
  mousePressEvent(event);
}

void TCustomTouchKeyboard::mouseReleaseEvent(QMouseEvent* event) {
  if (FromTouch(event) || event->button() != Qt::LeftButton) return;
  Dispatch(this, [&] { PointerUp(kMousePointer, event->position().toPoint()); });
}

void TCustomTouchKeyboard::mouseMoveEvent(QMouseEvent* event) {
  if (FromTouch(event)) return;
  Dispatch(this, [&] { PointerMove(kMousePointer, event->position().toPoint()); });
}

void TCustomTouchKeyboard::leaveEvent(QEvent* event) {
  QWidget::leaveEvent(event);
  Dispatch(this, [this] { PointerLeft(); });
}

// --- Typing and sending -------------------------------------------------------------------------

void TCustomTouchKeyboard::TypeKey(Button* button) {
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
      Redraw();
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
    Redraw();
  }
  FDeadKey = {-1, -1};
  FDeadKeyUnclick.clear();
}

void TCustomTouchKeyboard::RepeatTick() {
  for (Button* b : FPressedKeys)
    if (!b->Modifier() && b->ID != kNoPointer) SendKey(Resolved(*b), false);
  FRepeat->SetInterval(repeatRate_);
}

void TCustomTouchKeyboard::SendLanguageForm(const Button& button, bool keyUp) {
  SendKey(LanguageFormOf(button), keyUp);
}

void TCustomTouchKeyboard::SendKey(const TResolvedKey& key, bool keyUp) {
  if (!key.ComboKeys.empty()) {
    for (const TKeyData& d : key.ComboKeys) SendKeyData(d.Vk, d.ScanCode, keyUp);
    return;
  }
  SendKeyData(key.Vk, key.ScanCode, keyUp);
}

void TCustomTouchKeyboard::SendKeyData(int vk, int scanCode, bool keyUp) {
  // Codes are completed from the system layout. A zero code counts as missing, as it does for
  // the other platform's input injection; the Fn key (no code of its own) sends nothing.
  const TSystemKeyboard& system = SystemKeyboard();
  const bool hasVk = vk > 0, hasScan = scanCode > 0;
  if (hasScan && !hasVk) vk = system.VkFromScanCode(scanCode);
  if (hasVk && !hasScan) scanCode = system.ScanCodeFromVk(vk);
  if (!hasVk && !hasScan) return;
  if (vk >= kFirstArrowVk && vk <= kLastArrowVk)
    SendKeyMessage(vk, keyUp);
  else
    InjectKeyEvent(vk, scanCode, keyUp);
}
