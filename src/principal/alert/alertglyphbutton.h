#pragma once

#include <QChar>
#include <QColor>
#include <QWidget>
#include <functional>

// A flat button of the pop-up that draws one glyph of the Marlett symbol face. Under the pointer
// it gets a border and a fill, a darker fill while the mouse button is held on it.
class TAlertGlyphButton : public QWidget {
  Q_OBJECT

 public:
  TAlertGlyphButton(QWidget* parent, QChar glyph);

  [[nodiscard]] QChar Glyph() const { return glyph_; }
  [[nodiscard]] bool Hot() const { return hot_; }
  [[nodiscard]] bool Pressed() const { return pressed_; }

  QColor BorderColor;
  QColor HotColor;
  QColor DownColor;

  std::function<void()> OnClick;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  QChar glyph_;
  bool hot_ = false;
  bool pressed_ = false;
};
