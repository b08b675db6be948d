#pragma once

#include <functional>
#include <vector>

// A loopback TCP port nobody listens on right now (0 if none could be had). Someone else may take
// it before the caller binds it, so launchers retry with another port when their server fails.
int FreeLoopbackPort();

// Waits (bounded) until a TCP connection to 127.0.0.1:port succeeds.
// Stops early, with false, once stillStarting (when given) says the server has gone.
bool WaitForPort(int port, int timeoutMs, const std::function<bool()>& stillStarting = {});

// X display numbers that no X server holds as seen from here: no lock file, no socket file and no
// abstract socket in this network namespace; first those that tests/support/netns-run chose
// outside the namespace (ZENTRA_FREE_DISPLAYS), where every server can be seen. A server started
// on an explicit number writes its lock file; one that finds its number taken meanwhile ends, and
// the launcher takes the next number. (-displayfd writes no lock file and, inside a namespace,
// takes the socket file of a server it cannot see.)
std::vector<int> FreeDisplayNumbers(int count);
