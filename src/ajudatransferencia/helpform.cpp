#include "ajudatransferencia/helpform.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QShowEvent>
#include <QStringList>

#include "platform/jpeg.h"

THelpForm::THelpForm(const char* picture, std::span<const char16_t* const> lines)
    : TForm(13), picture_(picture), lines_(lines) {}

void THelpForm::SetupHelp(QLabel* image, QPlainTextEdit* memo) {
  image_ = image;
  memo_ = memo;
  QStringList text;
  for (const char16_t* line : lines_) text << QString::fromUtf16(line);
  memo_->setPlainText(text.join(u'\n'));
}

void THelpForm::showEvent(QShowEvent* event) {
  if (!event->spontaneous()) {
    if (image_->pixmap().isNull())
      image_->setPixmap(QPixmap::fromImage(LoadJpeg(QString::fromLatin1(picture_))));
    CentreOnScreen();
    memo_->setFocus(Qt::OtherFocusReason);
  }
  TForm::showEvent(event);
}
