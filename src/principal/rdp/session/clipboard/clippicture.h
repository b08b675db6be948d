#pragma once

#include <QByteArray>
#include <QImage>
#include <optional>

// Pictures as the remote side's clipboard holds them: a device-independent bitmap (a
// BITMAPINFOHEADER or one of its longer versions, the colour table or masks, then the rows) or a
// PNG file. CF_DIBV5 carries alpha in its mask; plain CF_DIB does not.

// A DIB (CF_DIB or CF_DIBV5) as a picture, its header checked against the bounds and against the
// data actually there before anything is decoded. A refusal is std::nullopt.
[[nodiscard]] std::optional<QImage> PictureFromDib(const QByteArray& dib);

// A PNG from the remote side, its size checked before it is decoded.
[[nodiscard]] std::optional<QImage> PictureFromPng(const QByteArray& png);

// A picture for the remote side: CF_DIB (24 bits, no alpha), CF_DIBV5 (32 bits with an
// alpha mask, straight alpha) and PNG.
[[nodiscard]] QByteArray DibFromPicture(const QImage& image);
[[nodiscard]] QByteArray DibV5FromPicture(const QImage& image);
[[nodiscard]] QByteArray PngFromPicture(const QImage& image);
