#pragma once

#include <freerdp/freerdp.h>

// How the session asks the server for the picture, and how FreeRDP decodes it here.

// Offers the graphics pipeline (its progressive codec and its lossless ones; H.264 and RemoteFX
// outside the pipeline are one switch away, off by measurement) and plain bitmaps, the fallback
// every server has; frames are marked and acknowledged, so a server that paces itself by the
// acknowledgements skips frames on a slow link instead of queueing them.
[[nodiscard]] bool ApplyCodecSettings(rdpSettings* settings);

// After each connection and reconnection, before the first picture (FreeRDP makes new decoders
// for each): the codecs the server sends are logged as they first appear.
void PrepareDecoders(rdpContext* context);

// A dynamic channel came up or went: true when it was the graphics pipeline's, which this takes
// to FreeRDP's software drawing (or away from it).
bool GraphicsChannelConnected(rdpContext* context, const char* name, void* channel);
bool GraphicsChannelDisconnected(rdpContext* context, const char* name, void* channel);
