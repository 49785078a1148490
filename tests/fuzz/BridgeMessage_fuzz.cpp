// Fuzzes the script bridge: the parsing of bridge messages and the dispatch
// of commands to the real OmnistatPlugin, which drives the real library in
// dry run (hits are stored and "sent" without leaving the process).
//
// One bridge serves the whole run, as one serves a page for its life. An
// input is split into lines; each line is one message, and the input ends
// with a drain(), so the background work it started has finished before the
// next input begins. An input whose first byte has the high bit set is in
// wrapped mode: that byte picks a plugin action, and every following line is
// taken as the JSON text of that action's argument array, so mutations reach
// the commands' argument handling instead of the message's shape.
//
// Every answer must be one JSON object with a string callback id and a
// status of the framework's, and the sink must never be entered twice at
// once; anything else aborts, as a crash, a leak or a hang does.
//
//   BridgeMessage_fuzz [libFuzzer flags] CORPUS_DIR...
//
// The Library directory is a fresh one under $TMPDIR (default /tmp).

#include <stdlib.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "OmnistatPlugin.h"
#include "TLM.h"
#include "platform/Cordova/CommandBridge.h"
#include "platform/Foundation/RunLoop.h"
#include "support/TestEnvironment.h"

namespace {

constexpr std::string_view kService = "OmnistatPlugin";

constexpr std::string_view kActions[] = {
    "startTrackerWithId",
    "setAllowIDFACollection",
    "getVar",
    "setVar",
    "dispatch",
    "debugMode",
    "setUserId",
    "setAnonymizeIp",
    "setOptOut",
    "setAppVersion",
    "enableUncaughtExceptionReporting",
    "addCustomDimension",
    "trackMetric",
    "trackEvent",
    "trackException",
    "trackView",
    "trackTiming",
    "addTransaction",
    "addTransactionItem",
};

std::atomic<bool> gInSink{false};

// On standard output: the bounded runs close standard error (the bridge's
// log lines), keeping only the fuzzer's and the sanitizers' reports.
[[noreturn]] void fail(const char* what, const std::string& answer) {
  std::printf("BridgeMessage_fuzz: %s: %s\n", what, answer.c_str());
  std::fflush(stdout);
  std::abort();
}

void checkAnswer(const std::string& answer) {
  if (gInSink.exchange(true)) fail("the sink was entered twice at once", answer);
  const nlohmann::json parsed = nlohmann::json::parse(answer, nullptr, false);
  if (!parsed.is_object()) fail("an answer that is not a JSON object", answer);
  const auto id = parsed.find("callbackId");
  if (id == parsed.end() || !id->is_string()) fail("an answer without a callback id", answer);
  const auto status = parsed.find("status");
  if (status == parsed.end() || !status->is_number_integer() || *status < 0 || *status > 9) {
    fail("an answer without a status of the framework's", answer);
  }
  gInSink = false;
}

// Made once and kept for the whole process: the service root it drives is
// never destroyed either.
platform::CommandBridge* gBridge = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = std::getenv("TMPDIR");
  std::string library = std::string(tmp && *tmp ? tmp : "/tmp") + "/halden-fuzz-XXXXXX";
  if (!mkdtemp(library.data())) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  testing_support::TestEnvironment& environment = testing_support::environment();
  environment.set("HALDEN_LIBRARY_DIR", library);
  // Dry run sends nothing; the discard port is named all the same.
  environment.set("HALDEN_HTTP_ORIGIN", "http://127.0.0.1:9");
  environment.set("HALDEN_HTTPS_ORIGIN", "http://127.0.0.1:9");
  platform::RunLoop::startMainLoopThread();
  TLM::sharedInstance().setDryRun(true);

  gBridge = new platform::CommandBridge(checkAnswer);
  gBridge->registerPlugin(std::string(kService), [] { return std::make_unique<OmnistatPlugin>(); });
  if (!gBridge->loadPlugin(kService)) {
    std::fprintf(stderr, "BridgeMessage_fuzz: the plugin could not be loaded\n");
    std::exit(1);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string_view action;
  if (!input.empty() && (static_cast<unsigned char>(input[0]) & 0x80)) {
    action = kActions[(static_cast<unsigned char>(input[0]) & 0x7f) % std::size(kActions)];
    input.remove_prefix(1);
  }
  int wrapped = 0;
  for (;;) {
    const std::size_t end = input.find('\n');
    const std::string_view line = input.substr(0, end);
    if (action.empty()) {
      gBridge->receive(std::string(line));
    } else {
      std::string message = "[\"w" + std::to_string(++wrapped) + "\",\"";
      message.append(kService).append("\",\"").append(action).append("\",");
      message.append(line).append("]");
      gBridge->receive(std::move(message));
    }
    if (end == std::string_view::npos) break;
    input.remove_prefix(end + 1);
  }
  gBridge->drain();
  return 0;
}
