// Counts the benchmark animation's frames that reach an X display (the client's screen) and
// prints the running total once a second, until killed: the soak reads it each minute.
//   zentra_rdp_bench_frames DISPLAY [X Y]   X Y: where the remote desktop's corner is on the screen
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "shownframes.h"

int main(int argc, char** argv) {
  if (argc != 2 && argc != 4) {
    std::fprintf(stderr, "usage: zentra_rdp_bench_frames DISPLAY [X Y]\n");
    return 2;
  }
  ShownFrames shown(argv[1], argc == 4 ? std::atoi(argv[2]) : -1,
                    argc == 4 ? std::atoi(argv[3]) : -1);
  if (!shown.Working()) {
    std::fprintf(stderr, "frames: no damage reports from %s\n", argv[1]);
    return 1;
  }
  for (;;) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::printf("%d\n", shown.Count());
    std::fflush(stdout);
  }
}
