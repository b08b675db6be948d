#pragma once

#include <QByteArray>
#include <QString>

// Turning a reply body into text by its charset name.

// The charset a reply without a charset parameter gets from its media type: "us-ascii" for the
// XML text types, "ISO-8859-1" for other text types, empty for anything else.
[[nodiscard]] QString DefaultCharsetFor(const QString& mediaType);

// Whether the document names its own charset (XML media types outside text/).
[[nodiscard]] bool IsSelfDescribingXml(const QString& mediaType);

// The charset an XML document names: by its byte-order mark, else by the encoding of its
// declaration, else UTF-8 (or UTF-16 when the document starts "<?" in UTF-16 without a mark).
[[nodiscard]] QString XmlDocumentCharset(const QByteArray& body);

// ASCII as it is, and "?" for every byte above 0x7F: one character per byte, so a reply's header
// line keeps its length and a stray byte cannot turn into a character the parser acts on.
[[nodiscard]] QString DecodeAscii(const QByteArray& bytes);

// Decodes by a registered charset name or alias (letter case ignored): "us-ascii" keeps ASCII and
// shows other bytes as "?", "utf-8" is UTF-8, other registered names go through iconv; a name
// not registered, or none, maps each byte to the character of the same code. A byte-order mark
// stays in the text, line ends stay as they came.
[[nodiscard]] QString DecodeText(const QByteArray& body, const QString& charset);
