// halden-app: the hybrid application. With --headless it serves the script
// bridge on standard input and output, for scripts, tests and automation
// without a display.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "HeadlessHost.h"

namespace {

void usage(std::FILE* to) {
  std::fputs(
      "usage: halden-app --headless\n"
      "  --headless  serve the script bridge on standard input and output: one\n"
      "              JSON message [callbackId, service, action, args] per line in,\n"
      "              one answer {\"callbackId\", \"status\", \"message\", \"keepCallback\"}\n"
      "              per line out, log lines on standard error; exits 0 at end of input\n",
      to);
}

}  // namespace

int main(int argc, char** argv) {
  bool headless = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--headless") == 0) {
      headless = true;
    } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      usage(stdout);
      return 0;
    } else {
      std::fprintf(stderr, "halden-app: unknown argument \"%s\"\n", argv[i]);
      usage(stderr);
      return 2;
    }
  }
  if (!headless) {
    std::fputs("halden-app: this build has no window; run it with --headless\n", stderr);
    usage(stderr);
    return 2;
  }
  return HeadlessHost(STDIN_FILENO, stdout).run();
}
