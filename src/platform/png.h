#pragma once

#include <QByteArray>
#include <QImage>

#include "core/errors.h"

// A picture that libpng could not decode; the message names what libpng found.
class EPngError : public Exception {
 public:
  using Exception::Exception;
  [[nodiscard]] const char* ClassName() const override { return "EPngError"; }
};

// Decodes a PNG picture with libpng straight into an ARGB32 QImage at its stored size. Unlike
// Qt's image reader, which loads and asks every image-format plugin installed before it reads a
// byte, this loads nothing. Throws EPngError for data that is not a whole, sound PNG.
[[nodiscard]] QImage DecodePng(const QByteArray& bytes);
