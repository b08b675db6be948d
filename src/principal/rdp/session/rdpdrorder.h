#pragma once

#include <freerdp/addin.h>

// FreeRDP's channel add-in provider with two changes: the sound channel ("rdpsnd") is made anew
// for each connection (rdpsoundchannel.h), and the device redirection channel ("rdpdr") sees the
// server's "user logged on" message in the order the protocol gives it.
//
// FreeRDP 2.11 announces drives, printers and ports only after that message, and only when the
// server's capabilities (sent before it) said the server sends it. xrdp 0.9.21 sends it right
// after the client's name, before its capabilities and before the client ID confirm; FreeRDP,
// not yet knowing the capabilities, drops it ("Checking ExtendedPDU::RDPDR_USER_LOGGEDON_PDU,
// client supported, server unsupported") and never announces a device. The message is held back
// until the client ID confirm has been handled, and handed on then; a server that keeps the
// protocol's order (Windows) is passed through untouched.
[[nodiscard]] PVIRTUALCHANNELENTRY RdpChannelAddinEntry(LPCSTR name, LPCSTR subsystem, LPCSTR type,
                                                        DWORD flags);
