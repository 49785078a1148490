// The script bridge's own cost: round trips of getVar and trackEvent through
// the headless host (halden-app --headless, a process of its own spoken to
// over pipes, one message per line each way), beside the same number of
// plain calls in this process: tracker->get() for getVar, and building the
// event hit and tracker->send() for trackEvent.
//
// A round trip is the time from writing a message to reading its answer.
// "one in flight" writes the next message only after the last answer; "N in
// flight" keeps N messages written and unanswered (answers may come back out
// of order, and are matched by callback id). Answers per second are the
// phase's messages over its wall time.
//
// Nothing is sent anywhere: in both processes the dispatch interval is 0
// (nobody dispatches) and the collection host is the loopback discard port.
// A tracker admits 60 hits in a burst and throttles the rest (still answered
// OK), so after the first 60 trackEvent hits, on either side, the hits are
// dropped rather than stored; both sides are throttled alike.
//
//   Bridge_driver [MESSAGES_PER_PHASE] [IN_FLIGHT]     (default 20000, 16)
//
// The host is $HALDEN_APP_PROGRAM, or the halden-app of the build tree this
// driver was built in. The files go to a fresh directory under
// $HALDEN_BENCH_DIR (default /tmp).

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TLM.h"
#include "TLMDictionaryBuilder.h"
#include "TLMTracker.h"
#include "platform/Foundation/Number.h"
#include "support/BenchDirectory.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double micros(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

struct Figures {
  size_t count = 0;
  double perSecond = 0;
  double median = 0;  // microseconds
  double p99 = 0;
};

Figures figures(std::vector<double> samples, Clock::duration wall) {
  std::sort(samples.begin(), samples.end());
  auto at = [&](double q) {
    return samples[std::min(samples.size() - 1, static_cast<size_t>(q * samples.size()))];
  };
  return {samples.size(), samples.size() / std::chrono::duration<double>(wall).count(), at(0.5),
          at(0.99)};
}

void print(const char* what, const Figures& f, const Figures* baseline) {
  std::printf("%-38s %6zu  %10.0f /s  median %8.2f us  p99 %8.2f us", what, f.count, f.perSecond,
              f.median, f.p99);
  if (baseline) {
    std::printf("  (median x%.0f, rate 1/%.0f of in-process)", f.median / baseline->median,
                baseline->perSecond / f.perSecond);
  }
  std::printf("\n");
}

// halden-app --headless on two pipes, its log lines in a file.
class HostProcess {
 public:
  HostProcess(const std::string& program, const std::string& libraryDir) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    const std::string log = libraryDir + ".log";
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> settings = {"HALDEN_LIBRARY_DIR=" + libraryDir,
                                         "HALDEN_HTTP_ORIGIN=http://127.0.0.1:9",
                                         "HALDEN_HTTPS_ORIGIN=http://127.0.0.1:9"};
    std::vector<char*> envp;
    for (std::string& s : settings)
      envp.push_back(s.data());
    for (char** e = environ; *e; ++e) {
      const std::string_view entry(*e);
      if (!entry.starts_with("HALDEN_LIBRARY_DIR=") && !entry.starts_with("HALDEN_HTTP")) {
        envp.push_back(*e);
      }
    }
    envp.push_back(nullptr);
    std::string arg0 = program, arg1 = "--headless";
    char* argv[] = {arg0.data(), arg1.data(), nullptr};
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv, envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    toHost_ = in[1];
    fromHost_ = out[0];
  }

  ~HostProcess() {
    if (toHost_ >= 0) close(toHost_);
    if (fromHost_ >= 0) close(fromHost_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }

  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  bool running() const { return pid_ > 0; }

  bool write(const std::string& message) {
    std::string line = message + '\n';
    for (size_t done = 0; done < line.size();) {
      const ssize_t n = ::write(toHost_, line.data() + done, line.size() - done);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  // The next answer line, or nothing at end of output.
  std::optional<std::string> readLine() {
    for (;;) {
      if (const size_t end = buffer_.find('\n'); end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      char chunk[4096];
      const ssize_t n = ::read(fromHost_, chunk, sizeof chunk);
      if (n <= 0) return std::nullopt;
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

  // Ends the input and answers the host's exit status once it has exited.
  int finish() {
    close(toHost_);
    toHost_ = -1;
    while (readLine()) {
    }
    int status = 0;
    if (waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  int toHost_ = -1;
  int fromHost_ = -1;
  std::string buffer_;
};

// Sends `count` commands made by `message(callbackId)` with up to `inFlight`
// unanswered, timing each round trip. Every answer must be OK.
std::optional<Figures> roundTrips(HostProcess& host, int count, int inFlight,
                                  const std::string& prefix,
                                  const std::string& (*message)(const std::string&)) {
  std::map<std::string, Clock::time_point> sent;
  std::vector<double> samples;
  samples.reserve(static_cast<size_t>(count));
  int written = 0;
  const auto start = Clock::now();
  while (written < count || !sent.empty()) {
    while (written < count && static_cast<int>(sent.size()) < inFlight) {
      const std::string id = prefix + std::to_string(written++);
      sent[id] = Clock::now();
      if (!host.write(message(id))) return std::nullopt;
    }
    const std::optional<std::string> line = host.readLine();
    const auto now = Clock::now();
    if (!line) return std::nullopt;
    const nlohmann::json answer = nlohmann::json::parse(*line, nullptr, false);
    if (!answer.is_object() || answer.value("status", 0) != 1) {
      std::fprintf(stderr, "unexpected answer: %s\n", line->c_str());
      return std::nullopt;
    }
    const auto it = sent.find(answer.value("callbackId", std::string()));
    if (it == sent.end()) continue;
    samples.push_back(micros(now - it->second));
    sent.erase(it);
  }
  return figures(std::move(samples), Clock::now() - start);
}

const std::string& getVarMessage(const std::string& id) {
  static thread_local std::string text;
  text = nlohmann::json::array({id, "OmnistatPlugin", "getVar", {"&cd"}}).dump();
  return text;
}

const std::string& trackEventMessage(const std::string& id) {
  static thread_local std::string text;
  text = nlohmann::json::array({id, "OmnistatPlugin", "trackEvent", {"Video", "Play", "Intro", 42}})
             .dump();
  return text;
}

// The in-process counterparts, one call each, timed each.
Figures inProcess(int count, const std::function<void()>& call) {
  std::vector<double> samples;
  samples.reserve(static_cast<size_t>(count));
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    const auto begin = Clock::now();
    call();
    samples.push_back(micros(Clock::now() - begin));
  }
  return figures(std::move(samples), Clock::now() - start);
}

}  // namespace

int main(int argc, char** argv) {
  const int count = std::max(1, argc > 1 ? std::atoi(argv[1]) : 20000);
  const int inFlight = std::max(1, argc > 2 ? std::atoi(argv[2]) : 16);
  const std::string& dir = halden::bench::BenchDirectory::path();
  setenv("HALDEN_HTTP_ORIGIN", "http://127.0.0.1:9", 1);
  setenv("HALDEN_HTTPS_ORIGIN", "http://127.0.0.1:9", 1);
  const char* given = std::getenv("HALDEN_APP_PROGRAM");
  const std::string program = given && *given ? given : HALDEN_APP_PROGRAM;

  // In this process: the default tracker, set up as the plugin sets it up.
  TLM& root = TLM::sharedInstance();
  root.setDryRun(true);
  root.setDispatchInterval(0);
  std::shared_ptr<TLMTracker> tracker = root.trackerWithTrackingId("UA-1-1");
  if (!tracker) {
    std::fprintf(stderr, "no tracker\n");
    return 1;
  }
  tracker->set("&cd", std::string("Home"));
  const Figures get = inProcess(count, [&] { (void)tracker->get("&cd"); });
  const Figures send = inProcess(count, [&] {
    tracker->send(TLMDictionaryBuilder::createEventWithCategory("Video", "Play", "Intro",
                                                                platform::Number(42))
                      .build());
  });

  // Through the host, started and set up with the same figures.
  HostProcess host(program, dir + "/host");
  if (!host.running()) {
    std::fprintf(stderr, "cannot start %s\n", program.c_str());
    return 1;
  }
  using Json = nlohmann::json;
  for (const Json& setup :
       {Json::array({"start", "OmnistatPlugin", "startTrackerWithId", {"UA-1-1", 0}}),
        Json::array({"set", "OmnistatPlugin", "setVar", {"&cd", "Home"}})}) {
    host.write(setup.dump());
    const std::optional<std::string> answer = host.readLine();
    if (!answer || Json::parse(*answer, nullptr, false).value("status", 0) != 1) {
      std::fprintf(stderr, "set-up failed: %s\n", answer ? answer->c_str() : "no answer");
      return 1;
    }
  }
  // Warm up: the first commands make the host's first-use state.
  if (!roundTrips(host, 200, 1, "w", getVarMessage)) return 1;

  const auto getOne = roundTrips(host, count, 1, "g", getVarMessage);
  const auto getMany = roundTrips(host, count, inFlight, "G", getVarMessage);
  const auto eventOne = roundTrips(host, count, 1, "e", trackEventMessage);
  const auto eventMany = roundTrips(host, count, inFlight, "E", trackEventMessage);
  const int exitStatus = host.finish();
  if (!getOne || !getMany || !eventOne || !eventMany) {
    std::fprintf(stderr, "the host stopped answering\n");
    return 1;
  }

  const std::string many = std::to_string(inFlight) + " in flight";
  print("in process: tracker->get", get, nullptr);
  print("bridge getVar, one in flight", *getOne, &get);
  print(("bridge getVar, " + many).c_str(), *getMany, &get);
  print("in process: build + tracker->send", send, nullptr);
  print("bridge trackEvent, one in flight", *eventOne, &send);
  print(("bridge trackEvent, " + many).c_str(), *eventMany, &send);
  std::printf("host exit status %d\n", exitStatus);
  return exitStatus == 0 ? 0 : 1;
}
