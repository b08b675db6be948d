#pragma once

#include <QColor>
#include <QLabel>
#include <QPointer>
#include <QWidget>
#include <cstdint>

class TAlertLabel;
class TAlertGlyphButton;
class TFadeAlertStyleHandler;
class TTimer;

// Standard size of the pop-up.
inline constexpr int kAlertWidth = 329;
inline constexpr int kAlertHeight = 76;
// Rows of the caption strip at the top; one unpainted row follows it.
inline constexpr int kAlertCaptionRows = 8;

// The colours of the pop-up.
struct TDesktopAlertColors {
  QColor BodyTop{206, 231, 255};
  QColor BodyBottom{123, 166, 231};
  QColor CaptionTop{82, 134, 214};
  QColor CaptionBottom{16, 65, 148};
  QColor Frame{128, 128, 128};
  QColor ButtonBorder{0, 51, 102};
  QColor ButtonHot{181, 190, 214};
  QColor ButtonDown{153, 153, 204};
};

// The pop-up window of the connection status alert: a frameless, top-most tool window that never
// takes the focus, painted with a caption strip and a body gradient, whose whole-window opacity
// the fade animator drives. It is created once and reused for every display.
class TFormDesktopAlert : public QWidget {
  Q_OBJECT

 public:
  TFormDesktopAlert();
  ~TFormDesktopAlert() override;

  QLabel* imIcon;
  TAlertLabel* lblHeader;
  TAlertLabel* lblText;
  TAlertGlyphButton* tbClose;
  TAlertGlyphButton* tbDropDown;
  TTimer* MouseTimer;

  // Flags copied from the component at each display.
  bool CanClose = true;
  bool CanMove = true;
  bool CanMoveAnywhere = true;
  bool CanClick = true;
  TDesktopAlertColors Colors;

  // Whether the pointer is over the pop-up, as last seen.
  [[nodiscard]] bool MouseInside() const { return mouseInside_; }

  void SetStyleHandler(TFadeAlertStyleHandler* handler) { styleHandler_ = handler; }
  [[nodiscard]] TFadeAlertStyleHandler* StyleHandler() const { return styleHandler_; }

  // Whole-window opacity, 0 (invisible) to 255 (opaque).
  [[nodiscard]] uint8_t AlphaBlendValue() const { return alpha_; }
  void SetAlphaBlendValue(uint8_t alpha);

  // The window that keeps the keyboard focus while the pop-up shows; an activation the pop-up
  // receives is handed back to it.
  void SetFocusOwner(QWidget* window) { focusOwner_ = window; }

  // Makes the pop-up visible: cancels a running fade-out, lays out the children, starts the
  // fade-in and the pointer poll.
  void ShowAlert();
  // Shows the window without activating it and keeps it above the others.
  void ShowWithoutActivating();
  // Hides the pop-up at once (close button, end of the fade-out, a new display); it is kept.
  void CloseAlert();
  // Puts every shown pop-up in the bottom-right corner of workArea, piled upwards in the order
  // they were shown; one under the pointer stays where it is.
  void RegisterShown(const QRect& workArea);

  // Places the children for the current icon and fonts.
  void LayoutChildren();

 signals:
  void AlphaBlendValueChanged(int alpha);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool event(QEvent* event) override;

 private:
  void MouseTimerTimer();
  void CheckFadeOut();
  void Unregister();

  TFadeAlertStyleHandler* styleHandler_ = nullptr;
  QPointer<QWidget> focusOwner_;
  uint8_t alpha_ = 255;
  bool mouseInside_ = false;
  bool dragging_ = false;
  QPoint dragOffset_;
};
