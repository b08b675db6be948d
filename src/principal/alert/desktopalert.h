#pragma once

#include <QFlags>
#include <QFont>
#include <QObject>
#include <QPixmap>
#include <QRect>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

#include "principal/alert/alertstyleoptions.h"
#include "principal/alert/formdesktopalert.h"

class TFadeAlertStyleHandler;

enum TDesktopAlertOption : unsigned {
  daoCanClose = 0x1,         // the close cross is shown and closes the pop-up
  daoCanClick = 0x2,         // the message reacts to clicks
  daoCanMove = 0x4,          // the pop-up can be dragged by its caption strip
  daoCanMoveAnywhere = 0x8,  // the pop-up can be dragged by any point
};
Q_DECLARE_FLAGS(TDesktopAlertOptions, TDesktopAlertOption)
Q_DECLARE_OPERATORS_FOR_FLAGS(TDesktopAlertOptions)

enum TDesktopAlertPosition { dapBottomRight };

// Where and how big the pop-up is: a width or height of 0 selects the standard 329 x 76; Left and
// Top play no part in the corner placement.
struct TDesktopAlertLocation {
  int Left = 0;
  int Top = 0;
  int Width = 0;
  int Height = 0;
  TDesktopAlertPosition Position = dapBottomRight;
};

// The work area of the primary screen (the desktop minus panels and docks), or nothing when the
// system cannot tell; the pop-up then uses the whole screen.
using TWorkAreaSource = std::function<std::optional<QRect>()>;
[[nodiscard]] std::optional<QRect> PrimaryScreenWorkArea();
[[nodiscard]] QRect PrimaryScreenRect();

// The connection status alert: a non-visual component owning one pop-up window, reused for every
// display, and the fade animator that drives its opacity. The session window owns it:
//   DesktopAlert1 = new TDesktopAlert(this);
//   LoadSessionAlertSettings(*DesktopAlert1);
//   connecting:    SetMessageText(...); SetImage(AlertImages().at(kAlertImageConnecting));
//   Execute(); connected:     Close(false); disconnected:  SetMessageText(...);
//   SetImage(AlertImages().at(kAlertImageDisconnected)); Execute();
// The daoCanClick flag is kept but no click action exists: the message never reacts to clicks.
class TDesktopAlert : public QObject {
  Q_OBJECT

 public:
  explicit TDesktopAlert(QObject* owner);
  ~TDesktopAlert() override;

  TDesktopAlertOptions Options = {daoCanClose, daoCanClick, daoCanMove, daoCanMoveAnywhere};
  TDesktopAlertLocation Location;
  TAlertStyleOptions StyleOptions;
  QFont HeaderFont;
  QFont Font;
  QString HeaderText;

  [[nodiscard]] const QString& MessageText() const { return messageText_; }
  // Replaces the message line, also while the pop-up shows.
  void SetMessageText(const QString& text);
  // The icon shown at the next display; a 50 x 50 icon makes the picture 50 x 50.
  [[nodiscard]] const QPixmap& Image() const { return image_; }
  void SetImage(const QPixmap& image) { image_ = image; }

  // Shows the pop-up with the current text and icon in the corner of the work area; a pop-up that
  // is already showing is hidden first and fades in anew. The keyboard focus stays where it was.
  bool Execute();
  // Immediate false fades the pop-up out, true hides it at once; nothing happens when it is not
  // showing.
  void Close(bool immediate);
  [[nodiscard]] bool Showing() const;

  // Where the work area comes from; the primary screen's unless a test says otherwise.
  void SetWorkAreaSource(TWorkAreaSource source) { workAreaSource_ = std::move(source); }

  [[nodiscard]] TFormDesktopAlert* AlertWindow() const { return alertWindow_.get(); }
  [[nodiscard]] TFadeAlertStyleHandler* StyleHandler() const { return styleHandler_; }

 private:
  [[nodiscard]] QRect PlacementArea() const;

  std::unique_ptr<TFormDesktopAlert> alertWindow_;
  TFadeAlertStyleHandler* styleHandler_;
  QString messageText_;
  QPixmap image_;
  TWorkAreaSource workAreaSource_ = PrimaryScreenWorkArea;
};

// The settings the session window declares for its alert: close cross only, stays until closed,
// 200 of 255 opacity, its fonts and its declared message.
void LoadSessionAlertSettings(TDesktopAlert& alert);
