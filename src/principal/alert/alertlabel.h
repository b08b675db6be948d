#pragma once

#include <QString>
#include <QWidget>

// A transparent text line of the pop-up. With AutoSize it takes the size of its text in its font
// (one line high even when empty); otherwise it keeps its bounds and ends a text that does not fit
// with an ellipsis.
class TAlertLabel : public QWidget {
  Q_OBJECT

 public:
  explicit TAlertLabel(QWidget* parent);

  [[nodiscard]] const QString& Text() const { return text_; }
  void SetText(const QString& text);
  [[nodiscard]] bool AutoSize() const { return autoSize_; }
  void SetAutoSize(bool autoSize);
  // The text as drawn in the label's current width.
  [[nodiscard]] QString ShownText() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void AdjustToText();

  QString text_;
  bool autoSize_ = false;
};
