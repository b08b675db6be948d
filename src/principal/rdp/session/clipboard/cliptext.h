#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>

// Text as the remote side keeps it (UTF-16LE or an 8-bit code page, CR LF line ends, a NUL at
// the end) and as a local program wants it (LF line ends, no NUL). A refusal is std::nullopt.

// Local text for the remote side: LF becomes CR LF (a CR LF already there stays as it is), UTF-16LE
// with the terminating NUL.
[[nodiscard]] QByteArray UnicodeTextFromLocal(const QString& text);

// The remote side's text for a local program: the text up to the first NUL (or the end), CR LF
// back to LF. An odd byte count loses its last byte; data over the bound is refused.
[[nodiscard]] std::optional<QString> LocalFromUnicodeText(const QByteArray& data);

// The 8-bit text formats, read as a fallback when no Unicode text is offered: CF_TEXT in the
// Western Windows code page, CF_OEMTEXT in the Western OEM one (code page 850).
[[nodiscard]] std::optional<QString> LocalFromAnsiText(const QByteArray& data, bool oem);

// HTML as the remote side's "HTML Format" carries it: a header of byte offsets, then the
// document in UTF-8, with the copied part between fragment markers.
[[nodiscard]] QByteArray HtmlFormatFromLocal(const QString& html);

// The document out of an "HTML Format" block, checked against its own offsets: StartHTML..EndHTML
// when they are given and sane, otherwise StartFragment..EndFragment. Missing or impossible
// offsets are a refusal.
[[nodiscard]] std::optional<QString> LocalFromHtmlFormat(const QByteArray& data);
