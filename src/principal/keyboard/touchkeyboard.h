#pragma once

#include <QColor>
#include <QString>
#include <QWidget>
#include <memory>
#include <vector>

#include "principal/keyboard/keyboardbutton.h"
#include "principal/keyboard/keyresolution.h"
#include "principal/keyboard/keysink.h"
#include "principal/keyboard/keystatemachine.h"

// Background of the keyboard: plain Color, or a vertical gradient from GradientStart to
// GradientEnd.
enum class TDrawingStyle { dsNormal, dsGradient };

// The on-screen keyboard: keys from a keyboard layout chosen by the input language, typed with
// the mouse or by touch into whatever has the keyboard focus (it never takes the focus itself).
// What the keys do (latches, toggles, dead keys, repeat) is the key state machine's; this widget
// builds the keys, sizes, labels and paints them, and routes pointer input to them.
//
// Keys reach the focused object as key events (platform/keyinjection.h): the X11 key code of the
// key's scan code in nativeScanCode(), which the remote desktop view turns into an RDP keyboard
// event exactly as it does for the physical keyboard. The arrow keys go as key messages, with only
// their virtual-key code.
class TCustomTouchKeyboard : public QWidget, private IKeySink {
  Q_OBJECT

 public:
  explicit TCustomTouchKeyboard(QWidget* parent = nullptr);
  ~TCustomTouchKeyboard() override;

  // The layout type asked for ("Standard"); a different value rebuilds the keys.
  [[nodiscard]] const QString& Layout() const { return FLayout; }
  void SetLayout(const QString& layout);

  [[nodiscard]] TDrawingStyle DrawingStyle() const { return FDrawingStyle; }
  void SetDrawingStyle(TDrawingStyle style);
  [[nodiscard]] QColor GradientStart() const { return FGradientStart; }
  void SetGradientStart(const QColor& color);
  [[nodiscard]] QColor GradientEnd() const { return FGradientEnd; }
  void SetGradientEnd(const QColor& color);
  [[nodiscard]] QColor Color() const { return FColor; }
  void SetColor(const QColor& color);

  [[nodiscard]] int RepeatDelay() const { return FRepeatDelay; }
  void SetRepeatDelay(int milliseconds);
  [[nodiscard]] int RepeatRate() const { return FRepeatRate; }
  void SetRepeatRate(int milliseconds);
  [[nodiscard]] const TCaptionOverrides& CaptionOverrides() const { return FCaptionOverrides; }
  void SetCaptionOverrides(const TCaptionOverrides& overrides);

  // Recomputes every label, then paints.
  void Redraw() override;

  // What the keyboard shows, for the window around it and for tests.
  [[nodiscard]] const QString& Language() const { return FLanguage; }
  [[nodiscard]] const TVirtualKeyLayout* CurrentLayout() const { return FCurrentLayout; }
  [[nodiscard]] const std::vector<std::unique_ptr<TCustomKeyboardButton>>& Buttons() const {
    return FKeys->Buttons();
  }
  // The latched keys, in latch order.
  [[nodiscard]] const std::vector<TCustomKeyboardButton*>& Latched() const {
    return FKeys->Latched();
  }

  // Pointer input as the widget's mouse and touch handlers feed it (0 is the mouse).
  void PointerDown(int id, QPoint at);
  void PointerUp(int id, QPoint at);
  void PointerMove(int id, QPoint at);
  void PointerLeft();

 protected:
  bool event(QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  using Button = TCustomKeyboardButton;

  // IKeySink: the key state machine's effects.
  void InjectKey(int vk, int scanCode, bool keyUp) override;
  void PostKeyMessage(int vk, bool keyUp) override;
  void RepaintButton(const Button& button) override;

  void InputLanguageChanged();
  [[nodiscard]] QString ComputeLanguage() const;
  // Takes the input language from the system keyboard and follows its changes from here on; once.
  void FollowSystemKeyboard();
  void CreateKeys();
  void SizeKeys();
  void UpdateLabels();
  void PaintTo(QPainter& painter) const;
  [[nodiscard]] Button* ButtonAt(QPoint at) const;

  // Settings.
  QString FLayout;
  TDrawingStyle FDrawingStyle = TDrawingStyle::dsNormal;
  QColor FGradientStart{128, 128, 128};
  QColor FGradientEnd{192, 192, 192};
  QColor FColor{Qt::lightGray};
  int FRepeatDelay = 300;
  int FRepeatRate = 50;
  TCaptionOverrides FCaptionOverrides;
  bool FCreated = false;    // keys are built when first shown
  bool FFollowing = false;  // FollowSystemKeyboard has run
  // The size limits set before the keys were first built (the session window's layout).
  QSize FDeclaredMinimum;
  QSize FDeclaredMaximum;

  // Keyboard state: the language and layout here, the keys and what they do in FKeys.
  QString FLanguage;
  const TVirtualKeyLayout* FCurrentLayout = nullptr;
  std::unique_ptr<TKeyStateMachine> FKeys;
};

// The keyboard as the session window places it.
class TTouchKeyboard : public TCustomTouchKeyboard {
  Q_OBJECT

 public:
  using TCustomTouchKeyboard::TCustomTouchKeyboard;
};

// The one text this control shows the user when the input language changes to one it cannot use.
inline constexpr char16_t kFailedToChangeInputLanguage[] = u"Failed to change input language";
inline constexpr char16_t kErrorRetrievingLocaleInformation[] =
    u"Error retrieving locale information";
