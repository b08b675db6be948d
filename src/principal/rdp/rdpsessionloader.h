#pragma once

#include <QObject>
#include <QString>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "principal/rdp/irdpsession.h"

// The program's side of the seam: the session for each Connect, from the session library
// loaded at run time (or a test's factory), and what the library answers besides.

// The reason number of ours (beside the frame's, rdpframe.h) for a session that could not start:
// the FreeRDP session library was not found or did not load (an incomplete installation).
inline constexpr int kDiscReasonNoSessionLibrary = 0x7A03;

// The text for kDiscReasonNoSessionLibrary.
inline constexpr char16_t kNoSessionLibraryText[] =
    u"The remote desktop component of this program is missing or damaged; reinstall the program";

// Makes the session for one Connect. Reports go to events on receiver's thread.
using TRdpSessionFactory = std::function<std::unique_ptr<IRdpSession>(
    TRdpConnectParams params, QObject* receiver, TRdpSessionEvents* events)>;

// The session for one Connect, from the installed factory (FreeRDP's unless a test installed
// another).
[[nodiscard]] std::unique_ptr<IRdpSession> MakeRdpSession(TRdpConnectParams params,
                                                          QObject* receiver,
                                                          TRdpSessionEvents* events);
// Installs a factory; an empty one brings back FreeRDP's.
void SetRdpSessionFactory(TRdpSessionFactory factory);

// What a reason number of SessionDisconnected means, in words (FreeRDP's texts for its own and the
// server's codes).
[[nodiscard]] QString RdpReasonText(int reason);
// The Windows keyboard layout id of the local keyboard, for the server.
[[nodiscard]] std::uint32_t RdpLocalKeyboardLayout();

// FreeRDP and the hundred libraries behind it (codecs, sound, Kerberos) are not needed before the
// first connection, and loading them takes longer than showing the login window: they live in a
// library of their own, loaded the first time a session is made. This loads it ahead, on a thread
// of its own, so the first Connect does not wait for it.
void PreloadRdpSessionLibrary();

// The pauses before the attempts to get a lost connection back, one per attempt (FreeRDP's
// reconnection: the server's auto-reconnect cookie when it sent one, else the same logon).
// The program decides them and hands them to each session in its parameters.
[[nodiscard]] std::vector<std::chrono::milliseconds> RdpReconnectDelays();
// Replaces the pauses (a test's shorter schedule); an empty list brings back the shipped one.
void SetRdpReconnectDelays(std::vector<std::chrono::milliseconds> delays);
