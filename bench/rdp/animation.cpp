// A continuous full-screen animation for the session benchmark: moving colour bands over the
// whole 1024 x 768 display, about 30 frames a second, until killed. The top-left block is one grey
// whose level tells the frame (modulo kFrameLevels) to whoever looks at a client's screen; its
// levels lie far enough apart to survive a lossy codec. Beside it, the time the frame was drawn
// (stamp.h).
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "stamp.h"

int main() {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "animation: no display\n");
    return 1;
  }
  constexpr int kWidth = 1024;
  constexpr int kHeight = 768;
  constexpr int kBlock = 64;
  constexpr unsigned kFrameLevels = 8;
  const int screen = DefaultScreen(display);
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  const Window window =
      XCreateWindow(display, RootWindow(display, screen), 0, 0, kWidth, kHeight, 0, CopyFromParent,
                    InputOutput, CopyFromParent, CWOverrideRedirect, &attributes);
  XMapRaised(display, window);
  const GC gc = DefaultGC(display, screen);
  std::vector<std::uint32_t> pixels(static_cast<size_t>(kWidth) * kHeight);
  XImage* image = XCreateImage(display, DefaultVisual(display, screen), 24, ZPixmap, 0,
                               reinterpret_cast<char*>(pixels.data()), kWidth, kHeight, 32, 0);
  for (unsigned frame = 0;; ++frame) {
    for (int y = 0; y < kHeight; ++y) {
      std::uint32_t* row = pixels.data() + static_cast<size_t>(y) * kWidth;
      for (int x = 0; x < kWidth; ++x) {
        const unsigned r = (x + frame * 7) & 0xFF;
        const unsigned g = (y + frame * 5) & 0xFF;
        const unsigned b = ((x + y) / 2 + frame * 3) & 0xFF;
        row[x] = (r << 16) | (g << 8) | b;
      }
    }
    const std::uint32_t grey = (frame % kFrameLevels) * 32 + 16;
    for (int y = 0; y < kBlock; ++y)
      std::fill_n(pixels.data() + static_cast<size_t>(y) * kWidth, kBlock,
                  (grey << 16) | (grey << 8) | grey);
    const std::uint16_t stamp = StampNow();
    for (int y = 0; y < kStampHeight; ++y)
      for (int x = 0; x < kStampWidth; ++x)
        pixels[static_cast<size_t>(kStampY + y) * kWidth + kStampX + x] =
            StampBlockWhite(stamp, x / kStampBlock, y / kStampBlock) ? 0xFFFFFF : 0;
    XPutImage(display, window, gc, image, 0, 0, 0, 0, kWidth, kHeight);
    XFlush(display);
    std::this_thread::sleep_for(std::chrono::milliseconds(33));
  }
}
