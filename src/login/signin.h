#pragma once

#include <QString>

// The text rules of sign-in, kept apart from the window so they can be checked on their own.

// The user name without its digits; every other character stays, in order.
[[nodiscard]] QString StripDigits(const QString& text);

// The user key as it travels in the lookup address: UTF-8, percent-encoded except for the
// unreserved characters A-Z a-z 0-9 - . _ ~, so that a blank, "#", "&", "%", "+", a non-ASCII
// letter or a pasted line break reach the server as the key the user typed.
[[nodiscard]] QString EncodeUserKey(const QString& key);

// The lookup reply split at its first ";": no ";" leaves the host empty and the whole reply as
// the port. Nothing is trimmed.
struct TLookupReply {
  QString host;
  QString port;
};
[[nodiscard]] TLookupReply SplitLookupReply(const QString& reply);

// The port text as one integer: leading blanks, one sign, then decimal digits or hexadecimal
// digits after "$", "x", "X", "0x" or "0X". Anything else fails (Exception).
[[nodiscard]] int PortFromText(const QString& text);
