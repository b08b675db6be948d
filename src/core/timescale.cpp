#include "core/timescale.h"

#include <algorithm>
#include <cmath>

namespace {
double gTimeScale = 1.0;
}

double TimeScale() {
  return gTimeScale;
}
void SetTimeScale(double scale) {
  gTimeScale = scale > 0 ? scale : 1.0;
}

int ScaledInterval(int milliseconds) {
  return std::max(1, static_cast<int>(std::lround(milliseconds * gTimeScale)));
}
