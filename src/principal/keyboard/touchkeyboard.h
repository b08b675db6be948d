#pragma once

#include <QColor>
#include <QImage>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <memory>
#include <utility>
#include <vector>

#include "principal/keyboard/keyboardbutton.h"
#include "principal/keyboard/keyresolution.h"

class TTimer;
class TKeyboardLayouts;
class QTouchEvent;

// Background of the keyboard: plain Color, or a vertical gradient from GradientStart to
// GradientEnd.
enum class TDrawingStyle { dsNormal, dsGradient };

// The on-screen keyboard: keys from a keyboard layout chosen by the input language, typed with
// the mouse or by touch into whatever has the keyboard focus (it never takes the focus itself).
// Shift, Ctrl, Alt and AltGr latch until the next key is typed; Caps Lock and Fn toggle; dead
// keys wait for the next key; held keys repeat.
//
// Keys reach the focused object as key events (platform/keyinjection.h): the X11 key code of the
// key's scan code in nativeScanCode(), which the remote desktop view turns into an RDP keyboard
// event exactly as it does for the physical keyboard. The arrow keys go as key messages, with only
// their virtual-key code.
class TCustomTouchKeyboard : public QWidget {
  Q_OBJECT

 public:
  explicit TCustomTouchKeyboard(QWidget* parent = nullptr);
  ~TCustomTouchKeyboard() override;

  // The layout type asked for ("Standard"); a different value rebuilds the keys.
  [[nodiscard]] const QString& Layout() const { return layout_; }
  void SetLayout(const QString& layout);

  [[nodiscard]] TDrawingStyle DrawingStyle() const { return drawingStyle_; }
  void SetDrawingStyle(TDrawingStyle style);
  [[nodiscard]] QColor GradientStart() const { return gradientStart_; }
  void SetGradientStart(const QColor& color);
  [[nodiscard]] QColor GradientEnd() const { return gradientEnd_; }
  void SetGradientEnd(const QColor& color);
  [[nodiscard]] QColor Color() const { return color_; }
  void SetColor(const QColor& color);

  [[nodiscard]] int RepeatDelay() const { return repeatDelay_; }
  void SetRepeatDelay(int milliseconds) { repeatDelay_ = milliseconds; }
  [[nodiscard]] int RepeatRate() const { return repeatRate_; }
  void SetRepeatRate(int milliseconds) { repeatRate_ = milliseconds; }
  [[nodiscard]] const TCaptionOverrides& CaptionOverrides() const { return captionOverrides_; }
  void SetCaptionOverrides(const TCaptionOverrides& overrides);

  // Recomputes every label, then paints.
  void Redraw();

  // What the keyboard shows, for the window around it and for tests.
  [[nodiscard]] const QString& Language() const { return FLanguage; }
  [[nodiscard]] const TVirtualKeyLayout* CurrentLayout() const { return FCurrentLayout; }
  [[nodiscard]] const std::vector<std::unique_ptr<TCustomKeyboardButton>>& Buttons() const {
    return FButtons;
  }
  // The latched keys, in latch order.
  [[nodiscard]] const std::vector<TCustomKeyboardButton*>& Latched() const { return FUnclick; }

  // The list the layouts are chosen from (the process-wide one unless a test sets another).
  void SetLayoutList(const TKeyboardLayouts* layouts);

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

  void InputLanguageChanged();
  [[nodiscard]] QString ComputeLanguage() const;
  void CreateKeys();
  void ReleaseAllKeys();
  void SizeKeys();
  void UpdateLabels();
  void PaintTo(QPainter& painter) const;
  void RepaintButton(Button* button);

  [[nodiscard]] Button* ButtonAt(QPoint at) const;
  [[nodiscard]] Button* HeldBy(int id) const;
  [[nodiscard]] QStringList LatchedModifierNames() const;
  [[nodiscard]] TResolvedKey Resolved(const Button& button) const;
  [[nodiscard]] TResolvedKey LanguageFormOf(const Button& button) const;
  [[nodiscard]] bool IsLatched(const Button* button) const;
  [[nodiscard]] bool IsCapsKey(const Button& button) const;

  void ChangeLook(Button* button, TKeyDrawState state, bool immediate);
  void ApplyChangeStates();
  void UpdateLatchList(Button* button);
  void Unlatch(Button* button);
  void TypeKey(Button* button);
  void RepeatTick();

  void SendKey(const TResolvedKey& key, bool keyUp);
  void SendKeyData(int vk, int scanCode, bool keyUp);
  void SendLanguageForm(const Button& button, bool keyUp);

  // Settings.
  QString layout_;
  TDrawingStyle drawingStyle_ = TDrawingStyle::dsNormal;
  QColor gradientStart_{128, 128, 128};
  QColor gradientEnd_{192, 192, 192};
  QColor color_{Qt::lightGray};
  int repeatDelay_ = 300;
  int repeatRate_ = 50;
  TCaptionOverrides captionOverrides_;
  const TKeyboardLayouts* layouts_ = nullptr;
  bool created_ = false;  // keys are built when first shown

  // Keyboard state.
  QString FLanguage;
  const TVirtualKeyLayout* FCurrentLayout = nullptr;
  std::vector<std::unique_ptr<Button>> FButtons;
  std::vector<Button*> FPressedKeys;
  std::vector<Button*> FUnclick;
  std::pair<int, int> FDeadKey{-1, -1};
  std::vector<Button*> FDeadKeyUnclick;
  std::vector<std::pair<Button*, TKeyDrawState>> FChangeStates;
  TTimer* FChangeTimer = nullptr;
  TTimer* FRepeat = nullptr;
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
