#pragma once

#include <freerdp/svc.h>

// FreeRDP's sound channel ("rdpsnd", the static one) made new for every connection.
//
// FreeRDP 2.11 sets the channel up once (its queue and playing thread, when the channel is
// initialised before the first connection) and keeps it across a reconnection, which only
// disconnects and connects it again. What a connection leaves behind then stays: an open device,
// a wave half received, and in Debian's build even the queue itself, torn down with the playing
// thread at the disconnection and never made again, so that the first sound message of the new
// connection fails the channel (error 1359) and the session's sound is gone. The channel FreeRDP
// loads is given a wrapper instead: from the second connection on, the old channel is ended as at
// the end of a session and a fresh one, made by FreeRDP's own entry, takes its place before the
// connection reaches it.
// The entry to hand FreeRDP in place of its own (real: FreeRDP's static sound channel entry).
[[nodiscard]] PVIRTUALCHANNELENTRYEX RdpSoundChannelEntry(PVIRTUALCHANNELENTRYEX real);
