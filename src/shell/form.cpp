#include "shell/form.h"

#include <QHash>

#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFontMetrics>
#include <QRawFont>
#include <QScreen>
#include <QWindow>
#include <QWindowStateChangeEvent>

#include "core/errors.h"
#include "shell/application.h"
#include "shell/events.h"

namespace {
constexpr char16_t kCannotMakeVisibleWindowModal[] = u"Cannot make a visible window modal";

QRect ScaledRect(const QRect& r, double f) {
  return QRect(qRound(r.x() * f), qRound(r.y() * f), qRound(r.width() * f), qRound(r.height() * f));
}
quint16 BigEndian16(const QByteArray& table, int offset) {
  if (table.size() < offset + 2) return 0;
  return static_cast<quint16>((static_cast<quint8>(table[offset]) << 8) |
                              static_cast<quint8>(table[offset + 1]));
}

TWindowFrameSource& FrameSource() {
  static TWindowFrameSource source;
  return source;
}

TWindowRoleMark& RoleMark() {
  static TWindowRoleMark mark;
  return mark;
}

}  // namespace

void SetWindowFrameSource(TWindowFrameSource source) {
  FrameSource() = std::move(source);
}

void SetWindowRoleMark(TWindowRoleMark mark) {
  RoleMark() = std::move(mark);
}

namespace {

int MeasureDesignTextHeight(const QFont& font) {
  // The layouts were measured with the face's Windows cell height (usWinAscent + usWinDescent of
  // its OS/2 table at the pixel size), which FreeType's line metrics do not report; read it from
  // the face itself so that a face of the designed size leaves the layout unscaled.
  const QRawFont raw = QRawFont::fromFont(font);
  const QByteArray os2 = raw.fontTable("OS/2");
  const QByteArray head = raw.fontTable("head");
  const int unitsPerEm = BigEndian16(head, 18);
  const int winAscent = BigEndian16(os2, 74);
  const int winDescent = BigEndian16(os2, 76);
  if (unitsPerEm > 0 && winAscent + winDescent > 0) {
    const double pixels = raw.pixelSize();
    return qRound(pixels * winAscent / unitsPerEm) + qRound(pixels * winDescent / unitsPerEm);
  }
  return QFontMetrics(font).height();
}

}  // namespace

int DesignTextHeight(const QFont& font) {
  // Every window of the program asks for the same one or two faces at start-up; reading a face's
  // tables is the costly part, so each face is read once.
  static QHash<QString, int> known;
  const QString key = font.key();
  if (const auto it = known.constFind(key); it != known.constEnd()) return *it;
  return *known.insert(key, MeasureDesignTextHeight(font));
}

TForm::TForm(int designedTextHeight) : QWidget(nullptr), designedTextHeight_(designedTextHeight) {
  setAttribute(Qt::WA_DeleteOnClose, false);
}

TForm::~TForm() = default;

void TForm::Construct() {
  SetupLayout();
  ApplyTextSizeScaling();
  if (CentredAtCreation()) {
    CentreOnScreen();
    // Asking the window manager for the frame needs a native window, and making one for every
    // window at start-up, most of them shown much later or never, delays the first one: a window
    // gets its native window when first shown, and is centred by its frame then.
    if (!testAttribute(Qt::WA_WState_Created)) centredUnframed_ = geometry();
  }
}

void TForm::ApplyTextSizeScaling() {
  // Qt already turns point sizes into pixels with the screen's dots per inch; what is left is the
  // face's own size: when "0" is taller or shorter than designed, the layout follows the text.
  const int measured = DesignTextHeight(font());
  if (measured > 0 && measured != designedTextHeight_) {
    ScaleLayout(static_cast<double>(measured) / designedTextHeight_);
  }
}

void TForm::ScaleLayout(double factor) {
  const QList<QWidget*> children = findChildren<QWidget*>();
  for (QWidget* child : children) {
    if (child->isWindow()) continue;
    const bool fixed = child->minimumSize() == child->maximumSize();
    const QRect scaled = ScaledRect(child->geometry(), factor);
    if (fixed) child->setFixedSize(scaled.size());
    child->setGeometry(scaled);
  }
  const QSize client(qRound(width() * factor), qRound(height() * factor));
  if (minimumSize() == maximumSize()) setFixedSize(client);
  resize(client);
}

void TForm::CentreOnScreen() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  // Centred by the outer rectangle, and placed by the client area's corner: whether Qt takes a
  // position as the frame's corner depends on whether it knows the frame yet.
  const QMargins frame = FrameMargins();
  QRect outer(QPoint(), size().grownBy(frame));
  outer.moveCenter(screen->availableGeometry().center());
  setGeometry(outer.marginsRemoved(frame));
}

QMargins TForm::FrameMargins() {
  if (isVisible() && frameGeometry() != geometry()) {
    const QRect frame = frameGeometry(), client = geometry();
    return {client.left() - frame.left(), client.top() - frame.top(),
            frame.right() - client.right(), frame.bottom() - client.bottom()};
  }
  // Before the first mapping Qt knows no frame: the window manager is asked, once.
  if (!testAttribute(Qt::WA_WState_Created)) return {};
  if (!frameMargins_) {
    frameMargins_ = FrameSource() ? FrameSource()(winId()).value_or(QMargins()) : QMargins();
  }
  return *frameMargins_;
}

void MakeOwnedWindow(QWidget& window) {
  TForm* main = Application != nullptr ? Application->MainForm() : nullptr;
  if (main == nullptr || &window == main || window.isVisible()) return;
  main->winId();
  window.winId();
  window.windowHandle()->setTransientParent(main->windowHandle());
  if (RoleMark()) RoleMark()(window.winId(), true);
}

void TForm::ApplyWindowRole() {
  TForm* main = Application != nullptr ? Application->MainForm() : nullptr;
  const bool owned = main != nullptr && main != this;
  // X11 window managers keep a window above its owner, and minimise it with the owner, when it
  // names the owner (WM_TRANSIENT_FOR), which Qt gives dialogs only; the title bar keeps the
  // boxes of a normal window. Wayland compositors get the owner as the toplevel's parent.
  const Qt::WindowType type = owned ? Qt::Dialog : Qt::Window;
  if (windowType() != type) {
    // New flags re-create the native window, which then takes a position as the frame's corner;
    // the client rectangle the window was placed at is given again.
    const QRect placed = geometry();
    setWindowFlags((windowFlags() & ~Qt::WindowType_Mask) | type | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                   Qt::WindowCloseButtonHint);
    setGeometry(placed);
  }
  if (owned) main->winId();
  winId();
  windowHandle()->setTransientParent(owned ? main->windowHandle() : nullptr);
  // The main window's taskbar entry shows the application title where a taskbar labels entries
  // by their icon name, the name of a minimised window.
  if (!owned && Application != nullptr) setWindowIconText(Application->Title());
  if (RoleMark() && !isVisible()) RoleMark()(winId(), owned);
}

void TForm::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() != QEvent::WindowStateChange) return;
  if (Application == nullptr || Application->MainForm() != this) return;
  const bool wasMinimised =
      (static_cast<QWindowStateChangeEvent*>(event)->oldState() & Qt::WindowMinimized) != 0;
  if (isMinimized() != wasMinimised) FollowMainWindowState(isMinimized());
}

void TForm::FollowMainWindowState(bool minimised) {
  if (minimised) {
    minimisedWithMe_.clear();
    for (const QPointer<TForm>& form : Application->Forms()) {
      if (form == nullptr || form == this || !form->isVisible() || form->isMinimized()) continue;
      minimisedWithMe_.emplace_back(form);
      form->setWindowState(form->windowState() | Qt::WindowMinimized);
    }
    return;
  }
  for (const QPointer<TForm>& form : minimisedWithMe_) {
    if (form == nullptr || !form->isVisible()) continue;
    form->setWindowState(form->windowState() & ~Qt::WindowMinimized);
    form->raise();
  }
  minimisedWithMe_.clear();
}

void TForm::EnsureLayout() const {
  if (Application != nullptr && Application->IsPending(this)) Application->ConstructPendingForms();
}

void TForm::Show() {
  EnsureLayout();
  if (!isVisible()) ApplyWindowRole();
  show();
  raise();
  activateWindow();
}

void TForm::Hide() {
  hide();
}

void TForm::Close() {
  if (modalLoop_ != nullptr) {
    SetModalResult(mrCancel);
    return;
  }
  TCloseAction action = TCloseAction::caHide;
  if (OnClose) OnClose(action);
  if (action == TCloseAction::caNone) return;
  if (Application != nullptr && Application->MainForm() == this) {
    Application->Terminate();
  } else {
    Hide();
  }
}

void TForm::closeEvent(QCloseEvent* event) {
  // The window system never closes a window by itself: the close rule decides.
  event->ignore();
  Dispatch(this, [this] { Close(); });
}

void TForm::showEvent(QShowEvent* event) {
  // The native window exists from here on, and is mapped only after this event.
  if (centredUnframed_ && !event->spontaneous()) {
    if (geometry() == *centredUnframed_) CentreOnScreen();
    centredUnframed_.reset();
  }
  QWidget::showEvent(event);
  if (OnShow && !event->spontaneous()) Dispatch(this, OnShow);
}

void TForm::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  if (OnHide && !event->spontaneous()) Dispatch(this, OnHide);
}

void TForm::SetModalResult(int result) {
  modalResult_ = result;
  if (modalLoop_ != nullptr && result != mrNone) modalLoop_->exit();
}

int TForm::ShowModal() {
  EnsureLayout();
  if (isVisible() || !isEnabled() || modalLoop_ != nullptr) {
    throw EInvalidOperation(QString::fromUtf16(kCannotMakeVisibleWindowModal));
  }
  if (QWidget* grabber = QWidget::mouseGrabber()) grabber->releaseMouse();
  const QPointer<QWidget> previousWindow = QApplication::activeWindow();
  const QPointer<QWidget> previousFocus = QApplication::focusWidget();

  setWindowModality(Qt::ApplicationModal);
  modalResult_ = mrNone;
  QEventLoop loop;
  modalLoop_ = &loop;
  Show();
  // A show handler may already have set the result; the loop would then never be told to end.
  if (modalResult_ == mrNone) {
    if (Application != nullptr) {
      Application->RunModalLoop(loop);
    } else {
      loop.exec();
    }
  }
  modalLoop_ = nullptr;
  if (modalResult_ == mrNone) modalResult_ = mrCancel;  // ended by Terminate
  hide();
  setWindowModality(Qt::NonModal);

  if (previousWindow) previousWindow->activateWindow();
  if (previousFocus) previousFocus->setFocus();
  return modalResult_;
}
