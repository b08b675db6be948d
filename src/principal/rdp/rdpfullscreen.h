#pragma once

#include <QWidget>

class TMsRdpClient;
class QToolButton;

// The remote desktop on the whole monitor, which it takes the size of when the server can; shown
// by the window view's rule otherwise (whole, never enlarged). A small bar slides
// in at the top edge under the pointer to restore the window or minimise; Ctrl+Alt+Enter restores
// too. Input goes to the same control as the window's view.
class TRdpFullScreen : public QWidget {
  Q_OBJECT

 public:
  explicit TRdpFullScreen(TMsRdpClient& client);

  // The desktop's rectangle on this screen.
  [[nodiscard]] QRectF Target() const;

 protected:
  bool event(QEvent* event) override;
  bool focusNextPrevChild(bool next) override;
  void paintEvent(QPaintEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void PlaceBar();

  TMsRdpClient& client_;
  QWidget* bar_ = nullptr;
};

// Captions of the full-screen bar.
inline constexpr char16_t kRestoreCaption[] = u"Restaurar";
inline constexpr char16_t kMinimiseCaption[] = u"Minimizar";
