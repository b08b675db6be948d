#include "principal/alert/desktopalert.h"

#include <QApplication>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QWindow>

#include "platform/windowframe.h"
#include "principal/alert/alertglyphbutton.h"
#include "principal/alert/alertlabel.h"
#include "principal/alert/fadealertstylehandler.h"

namespace {

constexpr char kDeclaredMessageText[] = "Conectando...";
constexpr char kHeaderFace[] = "Segoe UI";
constexpr int kHeaderPixelSize = 12;
constexpr char kMessageFace[] = "Tahoma";
constexpr int kMessagePixelSize = 13;
constexpr uint32_t kSessionDisplayDuration = 0;
constexpr uint8_t kSessionMaxAlpha = 200;

}  // namespace

std::optional<QRect> PrimaryScreenWorkArea() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return std::nullopt;
  const QRect area = screen->availableGeometry();
  if (!area.isValid() || area.isEmpty()) return std::nullopt;
  return area;
}

QRect PrimaryScreenRect() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return {};
  return QRect(QPoint(0, 0), screen->size());
}

TDesktopAlert::TDesktopAlert(QObject* owner)
    : QObject(owner), alertWindow_(std::make_unique<TFormDesktopAlert>()) {
  styleHandler_ = new TFadeAlertStyleHandler(alertWindow_.get());
  alertWindow_->SetStyleHandler(styleHandler_);
  HeaderFont = QApplication::font();
  HeaderFont.setBold(true);
  Font = QApplication::font();
}

TDesktopAlert::~TDesktopAlert() {
  // The pop-up is closed before it goes, so nothing keeps it in the list of shown pop-ups.
  if (alertWindow_->isVisible()) alertWindow_->CloseAlert();
}

void TDesktopAlert::SetMessageText(const QString& text) {
  messageText_ = text;
  alertWindow_->lblText->SetText(text);
}

bool TDesktopAlert::Showing() const {
  return alertWindow_->isVisible();
}

QRect TDesktopAlert::PlacementArea() const {
  std::optional<QRect> area = workAreaSource_ ? workAreaSource_() : std::nullopt;
  return area ? *area : PrimaryScreenRect();
}

bool TDesktopAlert::Execute() {
  TFormDesktopAlert& form = *alertWindow_;
  if (form.isVisible()) form.CloseAlert();

  const QRect area = PlacementArea();
  const int width = Location.Width != 0 ? Location.Width : kAlertWidth;
  const int height = Location.Height != 0 ? Location.Height : kAlertHeight;
  form.resize(width, height);
  form.move(area.x() + area.width() - width, area.y() + area.height() - height);

  form.CanMove = Options.testFlag(daoCanMove);
  form.CanMoveAnywhere = Options.testFlag(daoCanMoveAnywhere);
  form.CanClose = Options.testFlag(daoCanClose);
  form.CanClick = Options.testFlag(daoCanClick);
  if (!form.tbClose->OnClick) {
    TFormDesktopAlert* window = &form;
    form.tbClose->OnClick = [window] {
      if (window->CanClose) window->CloseAlert();
    };
  }

  form.imIcon->setPixmap(image_);
  if (!image_.isNull()) form.imIcon->resize(image_.deviceIndependentSize().toSize());
  form.setFont(Font);
  form.lblHeader->setFont(HeaderFont);
  form.lblHeader->SetText(HeaderText);
  form.lblText->setFont(Font);
  form.lblText->SetText(messageText_);
  styleHandler_->SetOptions(StyleOptions);

  const QPointer<QWidget> activeWindow = QApplication::activeWindow();
  const QPointer<QWidget> focusWidget = QApplication::focusWidget();
  form.SetFocusOwner(activeWindow);
  // A notice of the application, not a window of its own in the taskbar.
  MarkWindowRole(form.winId(), true);
  // Off X11 the compositor places windows: kept with the window it reports on, the pop-up is at
  // least not tiled as a window of its own nor buried under that window.
  if (QGuiApplication::platformName() != u"xcb" && activeWindow != nullptr)
    form.windowHandle()->setTransientParent(activeWindow->window()->windowHandle());
  form.ShowAlert();
  if (QApplication::activeWindow() != activeWindow || QApplication::focusWidget() != focusWidget) {
    // Linux has no hidden application window to activate instead; with nothing focused before,
    // nothing is focused after.
    if (activeWindow != nullptr) activeWindow->activateWindow();
    if (focusWidget != nullptr) focusWidget->setFocus();
  }
  form.RegisterShown(area);
  return true;
}

void TDesktopAlert::Close(bool immediate) {
  if (!Showing()) return;
  if (immediate) {
    alertWindow_->CloseAlert();
  } else {
    styleHandler_->DoEndAnimation();
  }
}

void LoadSessionAlertSettings(TDesktopAlert& alert) {
  alert.Options = daoCanClose;
  alert.Location = TDesktopAlertLocation{};
  alert.StyleOptions.SetDisplayDuration(kSessionDisplayDuration);
  alert.StyleOptions.SetMaxAlphaBlendValue(kSessionMaxAlpha);
  alert.SetMessageText(QString::fromUtf8(kDeclaredMessageText));
  QFont header{QString::fromLatin1(kHeaderFace)};
  header.setPixelSize(kHeaderPixelSize);
  header.setBold(true);
  alert.HeaderFont = header;
  QFont message{QString::fromLatin1(kMessageFace)};
  message.setPixelSize(kMessagePixelSize);
  alert.Font = message;
}
