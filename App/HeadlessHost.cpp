#include "HeadlessHost.h"

#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <thread>

#include "TLM.h"
#include "platform/Cordova/CommandBridge.h"
#include "platform/Foundation/Log.h"
#include "platform/Foundation/NotificationCenter.h"
#include "platform/Foundation/RunLoop.h"
#include "platform/UIKit/Application.h"

using platform::CommandBridge;

namespace {

// Reads lines from the descriptor and hands each to the bridge. A line
// longer than the bridge takes is cut just past its limit, so the bridge
// refuses it (and answers its callback id) without this reader holding the
// rest of it.
void readLines(int fd, CommandBridge& bridge) {
  constexpr std::size_t kKeep = CommandBridge::kMaxMessageBytes + 1;
  std::string line;
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::string_view chunk(buffer, static_cast<std::size_t>(n));
    while (!chunk.empty()) {
      const std::size_t end = chunk.find('\n');
      const std::string_view part = chunk.substr(0, end);
      if (line.size() < kKeep) line.append(part.substr(0, kKeep - line.size()));
      if (end == std::string_view::npos) break;
      chunk.remove_prefix(end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.find_first_not_of(" \t") != std::string::npos) bridge.receive(std::move(line));
      line.clear();
    }
  }
  if (line.find_first_not_of(" \t\r") != std::string::npos) bridge.receive(std::move(line));
}

}  // namespace

int HeadlessHost::run() {
  std::FILE* out = output_;
  CommandBridge bridge([out](const std::string& answer) {
    std::fwrite(answer.data(), 1, answer.size(), out);
    std::fputc('\n', out);
    std::fflush(out);
  });
  if (registerPlugins_) registerPlugins_(bridge);
  if (!bridge.loadPlugin("OmnistatPlugin")) {
    platform::NSLog("halden-app: the plugin OmnistatPlugin could not be loaded");
    return 1;
  }

  platform::RunLoop& mainLoop = platform::RunLoop::main();
  std::thread reader([this, &bridge, &mainLoop] {
    readLines(inputFd_, bridge);
    bridge.drain();
    // What the commands stored leaves now, within a bound: a host whose
    // collector is out of reach still ends, and its hits leave with the
    // next run. A run that never reached the client leaves it unmade.
    if (TLM::exists() && !TLM::sharedInstance().flush(kFlushSeconds)) {
      platform::NSLog("halden-app: hits still pending at exit are kept for the next run");
    }
    mainLoop.post([&mainLoop] {
      platform::NotificationCenter::defaultCenter().post(
          platform::kUIApplicationWillTerminateNotification);
      mainLoop.stop();
    });
  });
  mainLoop.run();
  reader.join();
  return 0;
}
