#pragma once

#include <functional>

// A loopback TCP port nobody listens on right now (0 if none could be had). Someone else may take
// it before the caller binds it, so launchers retry with another port when their server fails.
int FreeLoopbackPort();

// Waits (bounded) until a TCP connection to 127.0.0.1:port succeeds.
// Stops early, with false, once stillStarting (when given) says the server has gone.
bool WaitForPort(int port, int timeoutMs, const std::function<bool()>& stillStarting = {});
