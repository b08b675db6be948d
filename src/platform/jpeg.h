#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

#include "core/errors.h"

// A picture that libjpeg could not decode: not a JPEG, cut short, or damaged. The message names
// what libjpeg found, so a broken resource is plain to see instead of showing as a grey area.
class EJpegError : public Exception {
 public:
  using Exception::Exception;
  [[nodiscard]] const char* ClassName() const override { return "EJpegError"; }
};

// Decodes a JPEG picture with libjpeg straight into a QImage: grey pictures as Grayscale8, all
// others as RGB888, at their stored size. Corrupt data is a failure, not a warning: throws
// EJpegError.
[[nodiscard]] QImage DecodeJpeg(const QByteArray& bytes);

// Reads a JPEG file (a Qt resource path such as ":/pictures/x.jpg" or a file on disk) and
// decodes it. Throws EJpegError when the file cannot be read or decoded.
[[nodiscard]] QImage LoadJpeg(const QString& path);
