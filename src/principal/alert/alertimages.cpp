#include "principal/alert/alertimages.h"

#include <QString>

namespace {

constexpr const char* kImageFiles[] = {":/alert/connecting.png", ":/alert/disconnected.png"};

}  // namespace

QList<QPixmap> AlertImages() {
  QList<QPixmap> images;
  for (const char* file : kImageFiles) images.push_back(QPixmap(QString::fromLatin1(file)));
  return images;
}
