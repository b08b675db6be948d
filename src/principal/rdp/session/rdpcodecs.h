#pragma once

#include <freerdp/freerdp.h>

#include <chrono>
#include <optional>
#include <string_view>

// How the session asks the server for the picture, and how FreeRDP decodes it here.

// Offers the graphics pipeline (its progressive codec and its lossless ones; H.264 is one switch
// away, off by measurement) and plain bitmaps, the fallback every server has (RemoteFX outside the
// pipeline follows the link: ApplySurfaceCodec); frames are marked and acknowledged, so a server
// that paces itself by the acknowledgements skips frames on a slow link instead of queueing them.
[[nodiscard]] bool ApplyCodecSettings(rdpSettings* settings);

// After each connection and reconnection, before the first picture (FreeRDP makes new decoders
// for each): the codecs the server sends are logged as they first appear.
void PrepareDecoders(rdpContext* context);

// A dynamic channel came up or went: true when it was the graphics pipeline's, which this takes
// to FreeRDP's software drawing (or away from it).
bool GraphicsChannelConnected(rdpContext* context, const char* name, void* channel);
bool GraphicsChannelDisconnected(rdpContext* context, const char* name, void* channel);

// The server drew RemoteFX past the desktop (the part inside was drawn): the session decides
// whether the two sides still agree on the desktop's size (rdpsession.cpp).
void ReportSurfacePastDesktop(rdpContext* context);

// What a server without the graphics pipeline is asked for. Bitmaps cost the least CPU here where
// bandwidth is plentiful; on a slow link they fill it and the server queues seconds of pictures,
// where RemoteFX needs a seventh of the bytes.
enum class TSurfaceCodec { Bitmaps, RemoteFx };

// A round trip this long or longer means a link beyond the local network: a wired network answers
// within a millisecond, Wi-Fi within a few, and even a busy server on the same machine well under
// this most of the time; a hosted desktop across the internet takes longer.
inline constexpr std::chrono::microseconds kRemoteFxRoundTrip{5000};
// The one way to override the choice (tests, and a person who knows the link better): "remotefx"
// or "bitmaps".
inline constexpr char kSurfaceCodecVariable[] = "ZENTRA_RDP_SURFACE_CODEC";

// The round trip to the server as the start of a connection showed it: the kernel's estimate for
// its socket, and the time the server took to answer a request that costs it next to nothing.
// The kernel cannot see past a proxy or tunnel on the way, the answer can: the larger stands.
[[nodiscard]] std::optional<std::chrono::microseconds> LinkRoundTrip(
    std::optional<std::chrono::microseconds> kernel,
    std::optional<std::chrono::microseconds> exchange);

// The codec for a link of roundTrip (none: it could not be measured), unless forced names one.
[[nodiscard]] TSurfaceCodec ChooseSurfaceCodec(std::optional<std::chrono::microseconds> roundTrip,
                                               std::string_view forced);

// Sets the codec for the capabilities this connection is about to send.
[[nodiscard]] bool ApplySurfaceCodec(rdpSettings* settings, TSurfaceCodec codec);
