#include "principal/keyboard/touchkeyboard.h"

#include <QImage>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPointingDevice>
#include <QTouchEvent>

#include "core/errors.h"
#include "platform/keyinjection.h"
#include "platform/systemkeyboard.h"
#include "principal/keyboard/keyboardlayouts.h"
#include "principal/keyboard/keyboardlog.h"
#include "principal/keyboard/keysizing.h"
#include "shell/events.h"

namespace {

// The face the key labels are drawn in: the classic dialog face, which the application makes
// available from the free metric-compatible fonts.
constexpr char16_t kDialogFontFamily[] = u"Tahoma";

}  // namespace

TCustomTouchKeyboard::TCustomTouchKeyboard(QWidget* parent)
    : QWidget(parent), FKeys(std::make_unique<TKeyStateMachine>(static_cast<IKeySink&>(*this))) {
  // Typing here must leave the focus where the keys go.
  setFocusPolicy(Qt::NoFocus);
  setAttribute(Qt::WA_AcceptTouchEvents);
  setAttribute(Qt::WA_OpaquePaintEvent);  // the whole area is painted in one go, never erased
  setMouseTracking(false);
  FKeys->SetRepeat(FRepeatDelay, FRepeatRate);

  // Reading the system keyboard opens a connection of its own to the X server and fetches the
  // keymap: that waits until the program's first window is up, or until the keys are first built.
  QMetaObject::invokeMethod(
      this, [this] { Dispatch(this, [this] { FollowSystemKeyboard(); }); }, Qt::QueuedConnection);
}

void TCustomTouchKeyboard::FollowSystemKeyboard() {
  if (FFollowing) return;
  FFollowing = true;
  Bind(&SystemKeyboard(), &TSystemKeyboard::InputLanguageChanged, this,
       &TCustomTouchKeyboard::InputLanguageChanged);
  FLanguage = ComputeLanguage();
  FKeys->SetLanguage(FLanguage);
}

TCustomTouchKeyboard::~TCustomTouchKeyboard() {
  // A key-down in force must not outlive the keyboard: the focused window would see the
  // modifier held for good.
  FKeys->ReleaseAllKeys();
}

QString TCustomTouchKeyboard::ComputeLanguage() const {
  const QString tag = SystemKeyboard().InputLanguage();
  if (tag.isEmpty()) throw Exception(QString::fromUtf16(kErrorRetrievingLocaleInformation));
  return tag;
}

void TCustomTouchKeyboard::InputLanguageChanged() {
  const QString tag = SystemKeyboard().InputLanguage();
  qCDebug(lcKeyboard) << "input language changed to" << tag;
  if (tag.isEmpty() || SelectKeyboardLayout(KeyboardLayouts(), FLayout, tag) == nullptr)
    throw Exception(QString::fromUtf16(kFailedToChangeInputLanguage));
  FLanguage = tag;
  FKeys->SetLanguage(FLanguage);
  if (FCreated) CreateKeys();
  Redraw();
}

void TCustomTouchKeyboard::SetLayout(const QString& layout) {
  if (layout == FLayout) return;
  FLayout = layout;
  if (FCreated) {
    CreateKeys();
    Redraw();
  }
}

void TCustomTouchKeyboard::SetDrawingStyle(TDrawingStyle style) {
  FDrawingStyle = style;
  update();
}

void TCustomTouchKeyboard::SetGradientStart(const QColor& color) {
  FGradientStart = color;
  update();
}

void TCustomTouchKeyboard::SetGradientEnd(const QColor& color) {
  FGradientEnd = color;
  update();
}

void TCustomTouchKeyboard::SetColor(const QColor& color) {
  FColor = color;
  update();
}

void TCustomTouchKeyboard::SetRepeatDelay(int milliseconds) {
  FRepeatDelay = milliseconds;
  FKeys->SetRepeat(FRepeatDelay, FRepeatRate);
}

void TCustomTouchKeyboard::SetRepeatRate(int milliseconds) {
  FRepeatRate = milliseconds;
  FKeys->SetRepeat(FRepeatDelay, FRepeatRate);
}

void TCustomTouchKeyboard::SetCaptionOverrides(const TCaptionOverrides& overrides) {
  FCaptionOverrides = overrides;
  FKeys->SetCaptionOverrides(FCaptionOverrides);
  Redraw();
}

// --- Building and sizing -----------------------------------------------------------------------

void TCustomTouchKeyboard::CreateKeys() {
  FollowSystemKeyboard();
  FCurrentLayout = SelectKeyboardLayout(KeyboardLayouts(), FLayout, FLanguage);
  qCDebug(lcKeyboard) << "building keys for" << FLanguage << "from"
                      << (FCurrentLayout != nullptr ? FCurrentLayout->KeyboardName : QString());
  std::vector<std::unique_ptr<Button>> buttons;
  if (FCurrentLayout == nullptr) {
    FKeys->SetButtons(std::move(buttons));
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
      buttons.push_back(std::move(button));
    }
  }
  FKeys->SetButtons(std::move(buttons));
  // The layout's limits where it sets them (0 = none); elsewhere the ones the keyboard was given,
  // so that a layout without a maximum does not undo the session window's 180-pixel height.
  const auto limit = [](int fromLayout, int declared) {
    return fromLayout > 0 ? fromLayout : declared;
  };
  setMinimumSize(limit(FCurrentLayout->MinWidth, FDeclaredMinimum.width()),
                 limit(FCurrentLayout->MinHeight, FDeclaredMinimum.height()));
  setMaximumSize(limit(FCurrentLayout->MaxWidth, FDeclaredMaximum.width()),
                 limit(FCurrentLayout->MaxHeight, FDeclaredMaximum.height()));
  SizeKeys();
  UpdateLabels();
  update();
}

void TCustomTouchKeyboard::SizeKeys() {
  if (FCurrentLayout == nullptr) return;
  const std::vector<TKeyCell> cells = ::SizeKeys(*FCurrentLayout, width(), height());
  const auto& buttons = FKeys->Buttons();
  if (cells.size() != buttons.size()) return;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    Button& b = *buttons[i];
    b.Left = cells[i].Left;
    b.Top = cells[i].Top;
    b.Width = cells[i].Width;
    b.Height = cells[i].Height;
  }
}

// --- Labels and painting -----------------------------------------------------------------------

void TCustomTouchKeyboard::Redraw() {
  UpdateLabels();
  update();
}

void TCustomTouchKeyboard::UpdateLabels() {
  const QStringList latched = FKeys->LatchedModifierNames();
  const bool shiftLatched = FKeys->ShiftLatched();
  const Button* capsKey = FKeys->LatchedCapsKey();
  const TSystemKeyboard& system = SystemKeyboard();
  for (const auto& b : FKeys->Buttons()) {
    const TResolvedKey r = ResolveKey(b->Key, FLanguage, latched, FCaptionOverrides);
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
  if (FDrawingStyle == TDrawingStyle::dsGradient) {
    QLinearGradient gradient(0, 0, 0, height());
    gradient.setColorAt(0, FGradientStart);
    gradient.setColorAt(1, FGradientEnd);
    p.fillRect(rect(), gradient);
  } else {
    p.fillRect(rect(), FColor);
  }
  const QString family = QString::fromUtf16(kDialogFontFamily);
  for (const auto& b : FKeys->Buttons()) b->Paint(p, family);
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

void TCustomTouchKeyboard::RepaintButton(const Button& button) {
  update(QRect(button.Left, button.Top, button.Width + 1, button.Height + 1));
}

void TCustomTouchKeyboard::InjectKey(int vk, int scanCode, bool keyUp) {
  InjectKeyEvent(vk, scanCode, keyUp);
}

void TCustomTouchKeyboard::PostKeyMessage(int vk, bool keyUp) {
  SendKeyMessage(vk, keyUp);
}

void TCustomTouchKeyboard::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!FCreated) {
    FCreated = true;
    FDeclaredMinimum = minimumSize();
    FDeclaredMaximum = maximumSize();
    Dispatch(this, [this] { CreateKeys(); });
  }
}

void TCustomTouchKeyboard::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  SizeKeys();
}

// --- Pointer input ------------------------------------------------------------------------------

TCustomKeyboardButton* TCustomTouchKeyboard::ButtonAt(QPoint at) const {
  for (const auto& b : FKeys->Buttons())
    if (b->CellContains(at.x(), at.y())) return b.get();
  return nullptr;
}

void TCustomTouchKeyboard::PointerDown(int id, QPoint at) {
  if (!isEnabled()) return;
  FKeys->PointerDown(id, ButtonAt(at));
}

void TCustomTouchKeyboard::PointerUp(int id, QPoint at) {
  FKeys->PointerUp(id, ButtonAt(at));
}

void TCustomTouchKeyboard::PointerMove(int id, QPoint at) {
  if (!rect().contains(at)) {
    if (FKeys->Holds(id)) PointerLeft();
    return;
  }
  FKeys->PointerMove(id, ButtonAt(at));
}

void TCustomTouchKeyboard::PointerLeft() {
  FKeys->PointerLeft();
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
