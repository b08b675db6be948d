#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include "core/errors.h"
#include "principal/keyboard/virtualkeylayout.h"

// The byte-stream form of a keyboard layout: little-endian; a text is one byte giving its length
// in bytes, then that many bytes of UTF-16LE; the first byte is the format version.

// The only version this program reads. A stream that starts with any other byte is an empty
// layout: nothing after that byte is read.
inline constexpr std::uint8_t kKeyLayoutVersion = 1;

// A stream that cannot be a layout: it ends before the layout does, or it holds a count or a
// text length that cannot be right. Nothing read from such a stream is kept.
class EKeyLayoutError : public Exception {
 public:
  using Exception::Exception;
  [[nodiscard]] const char* ClassName() const override { return "EKeyLayoutError"; }
};

// Decodes one layout from the start of data. Returns the layout and, in *consumed when given,
// the number of bytes it took (bytes after the layout are left alone). Never reads past the end
// of data; throws EKeyLayoutError for a stream that ends early or holds impossible values.
[[nodiscard]] TVirtualKeyLayout ReadKeyLayout(QByteArrayView data, qsizetype* consumed = nullptr);

// Encodes a layout in the current version. Throws EKeyLayoutError when a value does not fit its
// field (a text over 127 code units, a list over 65,535 entries, a margin over 255).
[[nodiscard]] QByteArray WriteKeyLayout(const TVirtualKeyLayout& layout);
