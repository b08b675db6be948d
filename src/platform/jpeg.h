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
// decodes it. Throws EJpegError when the file cannot be read or decoded. The picture given to
// DecodeJpegAhead is taken from there the first time, waiting for it if need be.
[[nodiscard]] QImage LoadJpeg(const QString& path);

// Starts reading and decoding one picture on a thread of its own, so that the first window's
// picture is ready when the window is built instead of being decoded while the window waits;
// started from main, it runs while the toolkit connects to the display. Later calls are ignored;
// the thread is waited for by LoadJpeg or when the program ends.
void DecodeJpegAhead(const QString& path);
