// The silent peer (silentlistener.h) for the end-to-end scripts:
//   silent_listener ADDRESS PORT
// Ends on SIGTERM or when its parent goes.
#include <sys/prctl.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "silentlistener.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: silent_listener ADDRESS PORT\n");
    return 2;
  }
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  SilentListener listener;
  if (!listener.Listen(argv[1], std::atoi(argv[2]))) {
    std::perror("silent_listener");
    return 1;
  }
  listener.Serve();
  return 0;
}
