#include "principal/alert/formdesktopalert.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <algorithm>
#include <vector>

#include "principal/alert/alertglyphbutton.h"
#include "principal/alert/alertlabel.h"
#include "principal/alert/fadealertstylehandler.h"
#include "principal/alert/gradient.h"
#include "shell/events.h"
#include "shell/timer.h"

namespace {

constexpr int kMouseInterval = 200;
// Marlett: "r" is the close cross, "6" the menu arrow.
constexpr char16_t kCloseGlyph = u'r';
constexpr char16_t kDropDownGlyph = u'6';
constexpr int kButtonSize = 15;
constexpr int kButtonTop = 10;
// The close button sits this far left of the right edge; the menu button 16 pixels left of it.
constexpr int kCloseFromRight = 17;
constexpr int kDropDownFromClose = 16;
constexpr int kIconTop = 13;
constexpr int kIconToHeader = 5;
constexpr int kHeaderToText = 8;
// The body gradient uses one band per row, and 32 bands from this height on.
constexpr int kManyRows = 255;
constexpr int kManyRowsBands = 32;

// Pop-ups currently shown, in the order they appeared.
std::vector<TFormDesktopAlert*>& ShownAlerts() {
  static std::vector<TFormDesktopAlert*> alerts;
  return alerts;
}

}  // namespace

TFormDesktopAlert::TFormDesktopAlert()
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                           Qt::WindowDoesNotAcceptFocus),
      imIcon(new QLabel(this)),
      lblHeader(new TAlertLabel(this)),
      lblText(new TAlertLabel(this)),
      tbClose(new TAlertGlyphButton(this, QChar(kCloseGlyph))),
      tbDropDown(new TAlertGlyphButton(this, QChar(kDropDownGlyph))),
      MouseTimer(new TTimer(this, kMouseInterval, false)) {
  setObjectName(QStringLiteral("TFormDesktopAlert"));
  setAttribute(Qt::WA_ShowWithoutActivating);
  setAttribute(Qt::WA_X11DoNotAcceptFocus);
  setFocusPolicy(Qt::NoFocus);
  // The system's button face shows where nothing paints over it (the row under the caption strip).
  setBackgroundRole(QPalette::Button);
  setAutoFillBackground(true);
  resize(kAlertWidth, kAlertHeight);

  imIcon->setObjectName(QStringLiteral("imIcon"));
  imIcon->setGeometry(8, 11, 32, 32);
  lblHeader->setObjectName(QStringLiteral("lblHeader"));
  lblHeader->setGeometry(48, 11, 71, 13);
  lblHeader->SetAutoSize(true);
  lblText->setObjectName(QStringLiteral("lblText"));
  lblText->setGeometry(56, 24, 67, 13);
  tbClose->setObjectName(QStringLiteral("tbClose"));
  tbDropDown->setObjectName(QStringLiteral("tbDropDown"));
  tbDropDown->hide();
  for (TAlertGlyphButton* button : {tbClose, tbDropDown}) {
    button->BorderColor = Colors.ButtonBorder;
    button->HotColor = Colors.ButtonHot;
    button->DownColor = Colors.ButtonDown;
  }
  MouseTimer->setObjectName(QStringLiteral("MouseTimer"));
  MouseTimer->OnTimer = [this] { MouseTimerTimer(); };
  resizeEvent(nullptr);
}

TFormDesktopAlert::~TFormDesktopAlert() {
  Unregister();
}

void TFormDesktopAlert::SetAlphaBlendValue(uint8_t alpha) {
  alpha_ = alpha;
  // Where the window system has no per-window opacity Qt ignores this and the pop-up is opaque;
  // Wayland gives programs none, and Qt would say so at every step of a fade.
  if (!QGuiApplication::platformName().startsWith(u"wayland")) setWindowOpacity(alpha / 255.0);
  emit AlphaBlendValueChanged(alpha);
}

void TFormDesktopAlert::ShowAlert() {
  if (styleHandler_ != nullptr) styleHandler_->AbortAnimation();
  for (TAlertGlyphButton* button : {tbClose, tbDropDown}) {
    button->BorderColor = Colors.ButtonBorder;
    button->HotColor = Colors.ButtonHot;
    button->DownColor = Colors.ButtonDown;
  }
  LayoutChildren();
  if (styleHandler_ != nullptr) {
    styleHandler_->DoStartAnimation();
  } else {
    ShowWithoutActivating();
  }
  MouseTimer->SetEnabled(true);
}

void TFormDesktopAlert::LayoutChildren() {
  imIcon->move(imIcon->x(), kIconTop);
  lblHeader->move(imIcon->x() + imIcon->width() + kIconToHeader, imIcon->y());
  const int textLeft = lblHeader->x() + kHeaderToText;
  lblText->setGeometry(textLeft, lblHeader->y() + lblHeader->height(), tbDropDown->x() - textLeft,
                       lblText->height());
  tbDropDown->hide();
  tbClose->setVisible(CanClose);
}

void TFormDesktopAlert::ShowWithoutActivating() {
  // The stays-on-top hint puts it above the other windows; WA_ShowWithoutActivating keeps the
  // focus where it is.
  setVisible(true);
}

void TFormDesktopAlert::CloseAlert() {
  MouseTimer->SetEnabled(false);
  // A hidden pop-up has no animation left to run.
  if (styleHandler_ != nullptr) styleHandler_->StopAnimation();
  Unregister();
  dragging_ = false;
  hide();
}

void TFormDesktopAlert::Unregister() {
  auto& alerts = ShownAlerts();
  alerts.erase(std::remove(alerts.begin(), alerts.end(), this), alerts.end());
}

void TFormDesktopAlert::RegisterShown(const QRect& workArea) {
  auto& alerts = ShownAlerts();
  if (std::find(alerts.begin(), alerts.end(), this) == alerts.end()) alerts.push_back(this);
  int bottom = workArea.y() + workArea.height();
  const QPoint pointer = QCursor::pos();
  for (TFormDesktopAlert* alert : alerts) {
    const int top = bottom - alert->height();
    if (!alert->frameGeometry().contains(pointer)) {
      alert->move(workArea.x() + workArea.width() - alert->width(), top);
    }
    bottom = top;
  }
}

void TFormDesktopAlert::resizeEvent(QResizeEvent*) {
  tbClose->setGeometry(width() - kCloseFromRight, kButtonTop, kButtonSize, kButtonSize);
  tbDropDown->setGeometry(tbClose->x() - kDropDownFromClose, kButtonTop, kButtonSize, kButtonSize);
}

void TFormDesktopAlert::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect client = rect();
  FillVerticalGradient(painter, QRect(0, 0, client.width(), kAlertCaptionRows), kAlertCaptionRows,
                       Colors.CaptionTop, Colors.CaptionBottom);
  // Row kAlertCaptionRows is left to the window background.
  const int bodyTop = kAlertCaptionRows + 1;
  const int bodyRows = client.height() - 1 - bodyTop;
  FillVerticalGradient(painter, QRect(0, bodyTop, client.width(), bodyRows),
                       bodyRows >= kManyRows ? kManyRowsBands : bodyRows, Colors.BodyTop,
                       Colors.BodyBottom);
  painter.setPen(Colors.Frame);
  painter.setBrush(Qt::NoBrush);
  painter.drawRect(client.adjusted(0, 0, -1, -1));
}

void TFormDesktopAlert::enterEvent(QEnterEvent* event) {
  Dispatch(this, [this] {
    mouseInside_ = true;
    if (styleHandler_ != nullptr) styleHandler_->AbortAnimation();
    CheckFadeOut();
  });
  QWidget::enterEvent(event);
}

void TFormDesktopAlert::MouseTimerTimer() {
  mouseInside_ = frameGeometry().contains(QCursor::pos());
  CheckFadeOut();
}

void TFormDesktopAlert::CheckFadeOut() {
  // Only a pop-up with a display time fades out by itself once the pointer has left it.
  if (mouseInside_ || styleHandler_ == nullptr || styleHandler_->Active()) return;
  if (styleHandler_->Options().DisplayDuration() > 0) styleHandler_->DoEndAnimation();
}

void TFormDesktopAlert::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  const QPoint at = event->position().toPoint();
  if (CanMoveAnywhere || (CanMove && at.y() < kAlertCaptionRows)) {
    dragging_ = true;
    dragOffset_ = event->globalPosition().toPoint() - pos();
  }
}

void TFormDesktopAlert::mouseMoveEvent(QMouseEvent* event) {
  if (dragging_) move(event->globalPosition().toPoint() - dragOffset_);
}

void TFormDesktopAlert::mouseReleaseEvent(QMouseEvent*) {
  dragging_ = false;
}

void TFormDesktopAlert::closeEvent(QCloseEvent* event) {
  // Closing by the window system (or at the end of the program) is the same as the cross.
  Dispatch(this, [this] { CloseAlert(); });
  event->accept();
}

bool TFormDesktopAlert::event(QEvent* event) {
  // The pop-up refuses activation: if the window system activates it anyway, the window that had
  // the focus gets it back.
  if (event->type() == QEvent::WindowActivate && focusOwner_ != nullptr && focusOwner_ != this &&
      focusOwner_->isVisible()) {
    QPointer<QWidget> owner = focusOwner_;
    Dispatch(this, [owner] {
      if (owner != nullptr) owner->activateWindow();
    });
    return true;
  }
  return QWidget::event(event);
}
