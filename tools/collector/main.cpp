// halden-collector: the reference collection service, as a program.

#include <signal.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "tools/collector/Collector.h"
#include "tools/collector/CollectorOptions.h"

int main(int argc, char** argv) {
  using halden::collector::Collector;
  using halden::collector::CollectorOptions;

  const std::vector<std::string_view> arguments(argv + 1, argv + argc);
  CollectorOptions::Parsed parsed = CollectorOptions::parse(arguments);
  if (parsed.action == CollectorOptions::Parsed::Action::kHelp) {
    std::fputs(CollectorOptions::usage().c_str(), stdout);
    return 0;
  }
  if (parsed.action == CollectorOptions::Parsed::Action::kError) {
    std::fprintf(stderr, "halden-collector: %s\nTry \"halden-collector --help\".\n",
                 parsed.error.c_str());
    return 2;
  }

  // Blocked before any thread starts, so every thread inherits the mask and
  // the signals wait for sigwait() below instead of interrupting a request.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  Collector collector(parsed.options);
  std::string error;
  if (!collector.start(error)) {
    std::fprintf(stderr, "halden-collector: %s\n", error.c_str());
    return 1;
  }
  std::printf("halden-collector: listening on %s\n", collector.origin().c_str());
  if (collector.httpsPort() >= 0) {
    std::printf("halden-collector: listening on %s\n", collector.httpsOrigin().c_str());
  }
  std::fflush(stdout);

  sigdelset(&signals, SIGPIPE);
  int received = 0;
  sigwait(&signals, &received);

  collector.stop();
  const auto stats = collector.stats();
  std::printf("halden-collector: stopped on %s after %llu request(s), %llu hit(s), %llu invalid\n",
              received == SIGINT ? "SIGINT" : "SIGTERM",
              static_cast<unsigned long long>(stats.requests),
              static_cast<unsigned long long>(stats.hits),
              static_cast<unsigned long long>(stats.invalidHits));
  return 0;
}
