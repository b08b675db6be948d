#pragma once

// Process-wide time scale for every timer of the product. 1.0 in the program; tests shrink it so
// that a 10 s watch runs in milliseconds.
[[nodiscard]] double TimeScale();
void SetTimeScale(double scale);
// An interval in milliseconds as the timers run it under the current scale (at least 1 ms).
[[nodiscard]] int ScaledInterval(int milliseconds);
