#pragma once

#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <vector>

// The sockets of one connection attempt, told apart from the rest of the process's by what was
// open before the attempt began. FreeRDP does not hand out its socket while it connects; these
// let the session end an attempt that waits on a silent server, and see a server hang up while a
// question holds the attempt.

// The sockets open now, by the socket, not the descriptor number: a number that is closed and
// given to the attempt's new socket in between would otherwise pass for an old one.
[[nodiscard]] std::set<std::string> SocketsOpenNow();
// The TCP sockets opened since before that lead to a peer on port.
[[nodiscard]] std::vector<int> NewSocketsTo(const std::set<std::string>& before, int port);
// Shuts down the TCP sockets opened since before that lead to a peer on port.
void ShutDownNewSocketsTo(const std::set<std::string>& before, int port);
// Whether the server closed or reset every one of sockets (and there was one): the attempt has
// nobody left to answer for. (A reset socket no longer names its peer: the sockets are the ones
// found while it was connected.)
[[nodiscard]] bool PeerGone(const std::vector<int>& sockets);
// Waits until one of sockets has something to read, until limit after since: how long after since
// that was (limit when nothing came), or none when the sockets broke or there were none.
[[nodiscard]] std::optional<std::chrono::microseconds> WaitForAnswer(
    const std::vector<int>& sockets, std::chrono::steady_clock::time_point since,
    std::chrono::milliseconds limit);
// The kernel's smoothed round-trip time of the slowest of sockets; none while it has no sample.
// It sees only as far as the next TCP end: a proxy or tunnel on the way hides what lies behind it.
[[nodiscard]] std::optional<std::chrono::microseconds> KernelRoundTrip(
    const std::vector<int>& sockets);
