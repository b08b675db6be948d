#pragma once

#include <QMargins>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <optional>
#include <vector>

class QEventLoop;

// Modal results.
enum TModalResult : int { mrNone = 0, mrOk = 1, mrCancel = 2, mrYes = 6, mrNo = 7 };

// What a close handler may decide.
enum class TCloseAction { caNone, caHide, caFree, caMinimize };

// Where the frame of a window that is not framed yet comes from: the window manager, through the
// platform layer, in the program (see CreateApplicationForms). Without a source such a window has
// no frame.
using TWindowFrameSource = std::function<std::optional<QMargins>(WId)>;
void SetWindowFrameSource(TWindowFrameSource source);

// What the window system is told about a window's place in the application, just before it is
// shown: an owned window (any but the main window) is left out of taskbars and pagers, so that the
// application has one entry. Set by the program through the platform layer; without it nothing
// is said.
using TWindowRoleMark = std::function<void(WId window, bool owned)>;
void SetWindowRoleMark(TWindowRoleMark mark);
// Makes a hidden top-level window that is not a form (a message box) one of the main window's
// owned windows: above it, minimised with it, without a taskbar entry.
void MakeOwnedWindow(QWidget& window);

// The height of "0" in a font as the window layouts were measured: the face's cell height.
[[nodiscard]] int DesignTextHeight(const QFont& font);

// Base of every top-level window: two-phase construction (the application assigns the global
// reference, then Construct loads the layout), the close rule, modal showing and the text-size
// scaling of the designed layout.
class TForm : public QWidget {
  Q_OBJECT

 public:
  // designedTextHeight: height of "0" in the window's font when its layout was designed at 96 dpi.
  explicit TForm(int designedTextHeight = 13);
  ~TForm() override;

  // Loads the layout (SetupLayout), applies the scaling rule and places the window.
  void Construct();
  // Loads the layouts still waiting at start-up (TApplication::DeferHiddenFormLayouts) when this
  // window's is one of them: whatever reaches into a window's controls calls it first; showing
  // does.
  void EnsureLayout() const;

  void Show();
  void Hide();
  // The close rule: a modal window gets "cancel"; otherwise the close handler runs, then the main
  // window ends the application and any other window is hidden.
  void Close();
  // Shows the window modally and returns its modal result.
  int ShowModal();

  [[nodiscard]] int ModalResult() const { return modalResult_; }
  void SetModalResult(int result);
  [[nodiscard]] bool IsModal() const { return modalLoop_ != nullptr; }

  // Multiplies every position and size of the window's children and its client area.
  void ScaleLayout(double factor);
  // Centres the window, frame included, on the primary screen's work area.
  void CentreOnScreen();
  // The frame the window manager puts around the window: the one it has once framed, else the
  // window manager's answer when asked (before the window is first mapped, when Qt does not know
  // it yet); none without a window manager, and none asked for while the window has no native
  // window yet.
  [[nodiscard]] QMargins FrameMargins();

  std::function<void(TCloseAction&)> OnClose;
  std::function<void()> OnShow;
  std::function<void()> OnHide;

 protected:
  // Sets up the declared layout (uic) and binds handlers; runs once, from Construct.
  virtual void SetupLayout() {}
  // Whether the window is centred on the screen when created (all but the session window).
  [[nodiscard]] virtual bool CentredAtCreation() const { return true; }

  void changeEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void ApplyTextSizeScaling();
  // Owned by the main window (stacked above it, minimised with it, no taskbar entry of its own)
  // or, as the main window, owned by none.
  void ApplyWindowRole();
  // The main window minimised or restored: the application's other windows follow.
  void FollowMainWindowState(bool minimised);

  int designedTextHeight_;
  std::optional<QMargins> frameMargins_;  // the window manager's answer, once asked
  // Where creation centred the window without knowing the frame; at the first showing, a window
  // still there is centred again, frame included.
  std::optional<QRect> centredUnframed_;
  int modalResult_ = mrNone;
  QEventLoop* modalLoop_ = nullptr;
  std::vector<QPointer<TForm>> minimisedWithMe_;  // as the main window
};
